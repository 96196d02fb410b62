"""The substitute SDK's physics, where programs written against it depend on it: image
sizes and formats, light and dark, noise and gain, guiding, cooling, dropped frames and
colour. Exposures are short, regions small, and fast frames are used wherever the
clock is not what is being tested."""

import json
import os
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

import asi
from halvarine.corvantis import sim

CT = asi.ControlType
RAW8, RGB24, RAW16, Y8 = (asi.ImgType.IMG_RAW8, asi.ImgType.IMG_RGB24,
                          asi.ImgType.IMG_RAW16, asi.ImgType.IMG_Y8)
BYTES_PER_PIXEL = {RAW8: 1, RGB24: 3, RAW16: 2, Y8: 1}

# The built-in cameras: 0 mono 14-bit (3.76 um, 800 mm), 1 colour RG 12-bit (ST4, no
# cooler), 2 colour GB 12-bit (cooled, GPS, no ST4).
MONO, GUIDE, GPS = 0, 1, 2


def open_camera(camera_id):
    asi.open_camera(camera_id)
    asi.init_camera(camera_id)
    return camera_id


def snap(camera_id, width, height, fmt, exposure_us, *, bin=1, dark=False, start=None):
    """One exposure of a region, as a numpy array (height, width[, 3])."""
    asi.set_roi_format(camera_id, width, height, bin, fmt)
    if start is not None:
        asi.set_start_pos(camera_id, *start)
    asi.set_control_value(camera_id, CT.ASI_EXPOSURE, exposure_us, False)
    asi.start_exposure(camera_id, dark)
    while (status := asi.get_exp_status(camera_id)) == 1:
        time.sleep(0.001)
    assert status == 2
    data = asi.get_data_after_exp(camera_id, width * height * BYTES_PER_PIXEL[fmt])
    image = np.frombuffer(data, dtype="<u2" if fmt == RAW16 else np.uint8)
    return image.reshape((height, width, 3) if fmt == RGB24 else (height, width))


@pytest.fixture
def fast():
    sim.fast_frames()
    return sim


@pytest.fixture
def synthetic_sky():
    """The seeded star field, whatever the default pointing holds (bright stars that
    saturate where a test wants one it can centroid). Request it before `fast`."""
    from halvarine.corvantis import sim
    sim.load_config({"sky": {"catalogue": "synthetic"}})


# ---------------------------------------------------------------------------------------
# Sizes and formats


@pytest.mark.parametrize("camera_id, width, height, bin, fmt", [
    (MONO, 4096, 2160, 1, RAW16),
    (MONO, 1032, 704, 4, RAW8),
    (MONO, 1376, 940, 3, Y8),
    (GUIDE, 1920, 1080, 1, RAW8),
    (GUIDE, 968, 548, 2, RGB24),
    (GPS, 640, 480, 2, RAW16),
    (GPS, 3096, 2080, 1, Y8),
])
def test_an_image_takes_exactly_its_region_in_its_format(camera_id, width, height, bin, fmt, fast):
    open_camera(camera_id)
    asi.set_roi_format(camera_id, width, height, bin, fmt)
    needed = width * height * BYTES_PER_PIXEL[fmt]
    for read in (asi.get_data_after_exp, lambda cid, size: asi.get_video_data(cid, size, 1000)):
        if read is asi.get_data_after_exp:
            asi.start_exposure(camera_id, False)
        else:
            asi.start_video_capture(camera_id)
        with pytest.raises(asi.ASIBufferTooSmall):
            read(camera_id, needed - 1)
        assert len(read(camera_id, needed)) == needed
    asi.stop_video_capture(camera_id)


@pytest.mark.parametrize("camera_id, low_bits", [(MONO, 2), (GUIDE, 4)])
def test_raw16_is_left_aligned_from_the_sensor_bit_depth(camera_id, low_bits, fast):
    open_camera(camera_id)
    image = snap(camera_id, 256, 256, RAW16, 500_000)
    assert not np.any(image & ((1 << low_bits) - 1))
    assert image.max() > 0


def test_binning_averages_the_level_and_lowers_the_noise(fast):
    open_camera(MONO)
    asi.set_control_value(MONO, CT.ASI_GAIN, 300, False)
    one = snap(MONO, 512, 512, RAW16, 1000, dark=True).astype(float)
    two = snap(MONO, 512, 512, RAW16, 1000, bin=2, dark=True).astype(float)
    assert abs(np.median(two) - np.median(one)) < 0.05 * np.median(one)
    assert robust_std(two) < 0.7 * robust_std(one)


# ---------------------------------------------------------------------------------------
# Light, dark, noise


def robust_std(image):
    """Noise without the hot pixels and stars: from the interquartile range."""
    q1, q3 = np.percentile(image, [25, 75])
    return (q3 - q1) / 1.349


def test_dark_frames_are_darker_than_light_ones(fast):
    open_camera(MONO)
    light = snap(MONO, 512, 512, RAW16, 5_000_000)
    dark = snap(MONO, 512, 512, RAW16, 5_000_000, dark=True)
    assert np.median(light) > np.median(dark) + 3 * robust_std(dark) / np.sqrt(512)
    assert light.max() > dark.max()  # stars


def test_noise_grows_with_gain(fast):
    open_camera(MONO)
    noise = []
    for gain in (0, 200, 400):
        asi.set_control_value(MONO, CT.ASI_GAIN, gain, False)
        noise.append(robust_std(snap(MONO, 256, 256, RAW16, 10_000, dark=True).astype(float)))
    assert noise[0] < noise[1] < noise[2]
    assert noise[2] > 4 * noise[0]


def test_offset_raises_the_bias(fast):
    open_camera(MONO)
    levels = []
    for offset in (0, 100):
        asi.set_control_value(MONO, CT.ASI_OFFSET, offset, False)
        levels.append(np.median(snap(MONO, 256, 256, RAW16, 1000, dark=True)))
    # The offset counts 12-bit ADU: 100 of them are 1600 units of the 16-bit output.
    assert levels[1] - levels[0] == pytest.approx(1600, rel=0.05)


def test_dark_current_grows_with_exposure(fast):
    open_camera(MONO)
    short = snap(MONO, 256, 256, RAW16, 1000, dark=True)
    long = snap(MONO, 256, 256, RAW16, 600_000_000, dark=True)
    assert np.median(long) > np.median(short) + 50


# ---------------------------------------------------------------------------------------
# Guiding


def brightest_star(image, radius=6):
    """Centroid (x, y) of the brightest star, background removed."""
    image = image.astype(float)
    background = np.median(image)
    y, x = np.unravel_index(np.argmax(image), image.shape)
    assert radius <= y < image.shape[0] - radius and radius <= x < image.shape[1] - radius
    window = image[y - radius:y + radius + 1, x - radius:x + radius + 1] - background
    assert window.max() > 50 * robust_std(image)  # a real star, not noise
    window = np.clip(window, 0, None)
    ys, xs = np.mgrid[-radius:radius + 1, -radius:radius + 1]
    return x + (xs * window).sum() / window.sum(), y + (ys * window).sum() / window.sum()


@pytest.mark.parametrize("direction, axis, sign", [
    (asi.GuideDirection.ASI_GUIDE_NORTH, 1, +1),
    (asi.GuideDirection.ASI_GUIDE_SOUTH, 1, -1),
    (asi.GuideDirection.ASI_GUIDE_EAST, 0, +1),
    (asi.GuideDirection.ASI_GUIDE_WEST, 0, -1),
])
def test_a_guide_pulse_moves_the_stars_at_the_guide_rate(direction, axis, sign):
    # Without backlash, so that the first south pulse is not taken up by the Dec gear's play.
    sim.load_config({"mount": {"dec_backlash_arcsec": 0}, "fast_frames": True})
    open_camera(MONO)
    asi.set_control_value(MONO, CT.ASI_GAIN, 200, False)
    before = brightest_star(snap(MONO, 512, 512, RAW16, 1_000_000))
    started = time.monotonic()
    asi.pulse_guide_on(MONO, direction)
    on = time.monotonic()
    time.sleep(0.4)
    stopping = time.monotonic()
    asi.pulse_guide_off(MONO, direction)
    stopped = time.monotonic()
    after = brightest_star(snap(MONO, 512, 512, RAW16, 1_000_000))
    # 0.5x sidereal (15.041"/s) over 206.265 * 3.76 um / 800 mm per pixel.
    rate = 0.5 * 15.041 / (206.265 * 3.76 / 800)
    moved = after[axis] - before[axis]
    assert sign * moved == pytest.approx(rate * 0.4, abs=rate * 0.4)  # moved, and this way
    assert rate * (stopping - on) - 0.3 < sign * moved < rate * (stopped - started) + 0.3
    assert abs(after[1 - axis] - before[1 - axis]) < 0.3


@pytest.mark.parametrize("flip, mirror_x, mirror_y", [(1, True, False), (2, False, True),
                                                      (3, True, True)])
def test_flip_mirrors_the_image(flip, mirror_x, mirror_y, synthetic_sky, fast):
    open_camera(MONO)
    asi.set_control_value(MONO, CT.ASI_GAIN, 200, False)
    x, y = brightest_star(snap(MONO, 512, 512, RAW16, 1_000_000))
    asi.set_control_value(MONO, CT.ASI_FLIP, flip, False)
    fx, fy = brightest_star(snap(MONO, 512, 512, RAW16, 1_000_000))
    assert fx == pytest.approx(511 - x if mirror_x else x, abs=0.3)
    assert fy == pytest.approx(511 - y if mirror_y else y, abs=0.3)


def test_gamma_lifts_the_shadows_of_8_bit_images_only(fast):
    open_camera(MONO)
    asi.set_control_value(MONO, CT.ASI_OFFSET, 100, False)
    levels = {}
    for gamma in (50, 100):
        asi.set_control_value(MONO, CT.ASI_GAMMA, gamma, False)
        levels[gamma] = (np.median(snap(MONO, 256, 256, RAW8, 1000, dark=True)),
                         np.median(snap(MONO, 256, 256, RAW16, 1000, dark=True)))
    assert levels[100][0] > 2 * levels[50][0]
    assert levels[100][1] == pytest.approx(levels[50][1], rel=0.02)


# ---------------------------------------------------------------------------------------
# Cooling


def test_the_cooler_brings_the_sensor_to_the_target(tmp_path):
    config = tmp_path / "fast-cooler.json"
    config.write_text(json.dumps({"cooling_rate": 40, "ambient_c": 20}))
    sim.load_config(config)
    open_camera(MONO)

    def temperature():
        return asi.get_control_value(MONO, CT.ASI_TEMPERATURE)[0]

    warm = temperature()
    assert warm > 200  # tenths of a degree: ambient plus the camera's own heat
    asi.set_control_value(MONO, CT.ASI_TARGET_TEMP, -10, False)
    asi.set_control_value(MONO, CT.ASI_COOLER_ON, 1, False)
    readings = [temperature()]
    for _ in range(500):
        time.sleep(0.01)
        readings.append(temperature())
        if readings[-1] == -100:
            break
    assert readings[-1] == -100
    assert readings == sorted(readings, reverse=True)  # downhill all the way, no overshoot
    power = asi.get_control_value(MONO, CT.ASI_COOLER_POWER_PERC)[0]
    assert 0 < power < 100  # holding -10 from 23 takes part of what the cooler has


# ---------------------------------------------------------------------------------------
# Video


def test_a_slow_reader_loses_frames_and_they_are_counted():
    open_camera(MONO)
    asi.set_roi_format(MONO, 64, 64, 1, RAW8)
    asi.set_control_value(MONO, CT.ASI_EXPOSURE, 1000, False)
    asi.start_video_capture(MONO)
    asi.get_video_data(MONO, 64 * 64, 1000)
    assert asi.get_dropped_frames(MONO) == 0
    time.sleep(0.2)  # some 200 frames made while the ring holds a few
    asi.get_video_data(MONO, 64 * 64, 1000)
    assert asi.get_dropped_frames(MONO) > 0
    asi.stop_video_capture(MONO)
    asi.start_video_capture(MONO)
    assert asi.get_dropped_frames(MONO) == 0  # counted per capture
    asi.stop_video_capture(MONO)


def test_video_frames_are_different_exposures():
    open_camera(GUIDE)
    asi.set_roi_format(GUIDE, 128, 128, 1, RAW16)
    asi.set_control_value(GUIDE, CT.ASI_EXPOSURE, 1000, False)
    asi.start_video_capture(GUIDE)
    first, second = (asi.get_video_data(GUIDE, 128 * 128 * 2, 1000) for _ in range(2))
    asi.stop_video_capture(GUIDE)
    assert first != second  # fresh noise in every frame


@pytest.mark.parametrize("auto_control", [CT.ASI_EXPOSURE, CT.ASI_GAIN])
def test_auto_exposure_and_gain_reach_the_target_brightness(auto_control, tmp_path):
    config = tmp_path / "twilight.json"
    config.write_text(json.dumps({"sky": {"background_mag_arcsec2": 7}}))
    sim.load_config(config)
    open_camera(GUIDE)
    asi.set_roi_format(GUIDE, 320, 240, 1, RAW8)
    asi.set_control_value(GUIDE, CT.ASI_GAIN, 350, False)  # far too bright to start with
    asi.set_control_value(GUIDE, CT.ASI_EXPOSURE, 5000, False)
    asi.set_control_value(GUIDE, auto_control, asi.get_control_value(GUIDE, auto_control)[0], True)
    asi.set_control_value(GUIDE, CT.ASI_AUTO_TARGET_BRIGHTNESS, 90, False)
    asi.start_video_capture(GUIDE)
    levels = [np.mean(asi.get_video_data(GUIDE, 320 * 240, 2000)) for _ in range(30)]
    asi.stop_video_capture(GUIDE)
    assert levels[0] > 200
    assert levels[-1] == pytest.approx(90, rel=0.15)
    assert asi.get_control_value(GUIDE, auto_control)[1] is True


# ---------------------------------------------------------------------------------------
# Colour


@pytest.mark.parametrize("camera_id, red, blue", [
    (GUIDE, (0, 0), (1, 1)),  # BAYER_RG
    (GPS, (1, 0), (0, 1)),    # BAYER_GB; (row, column) in the 2x2 cell
])
@pytest.mark.parametrize("warm", [True, False])
@pytest.mark.parametrize("start", [None, (101, 57)], ids=["centred", "odd-start"])
def test_bayer_mosaic_and_bgr_order_follow_the_white_balance(camera_id, red, blue, warm, start,
                                                             fast):
    open_camera(camera_id)
    asi.set_control_value(camera_id, CT.ASI_GAIN, 200, False)
    asi.set_control_value(camera_id, CT.ASI_WB_R, 99 if warm else 1, False)
    asi.set_control_value(camera_id, CT.ASI_WB_B, 1 if warm else 99, False)
    raw = snap(camera_id, 256, 256, RAW16, 60_000_000, start=start).astype(float)
    if start is not None:  # a colour sensor moves by whole Bayer cells
        assert asi.get_start_pos(camera_id) == (100, 56)
    red_level = np.median(raw[red[0]::2, red[1]::2])
    blue_level = np.median(raw[blue[0]::2, blue[1]::2])
    assert (red_level > 2 * blue_level) if warm else (blue_level > 2 * red_level)

    bgr = snap(camera_id, 256, 256, RGB24, 60_000_000, start=start).astype(int)
    redder = np.mean(bgr[..., 2] > bgr[..., 0])
    assert redder > 0.95 if warm else redder < 0.05

    gray = snap(camera_id, 256, 256, Y8, 60_000_000).astype(float)
    assert np.median(gray) == pytest.approx(
        np.median(0.299 * bgr[..., 2] + 0.587 * bgr[..., 1] + 0.114 * bgr[..., 0]), abs=3)


def test_gps_camera_stamps_frames_from_the_clock(fast):
    open_camera(GPS)
    asi.set_roi_format(GPS, 64, 64, 1, RAW8)
    asi.start_exposure(GPS, False)
    _, gps = asi.get_data_after_exp_gps(GPS, 64 * 64)
    now = time.gmtime()
    assert (gps.year, gps.month, gps.day) == (now.tm_year, now.tm_mon, now.tm_mday)
    assert gps.satellite_num > 0
    assert 0 <= gps.m_second < 1000 and 0 <= gps.u_second < 1000


# ---------------------------------------------------------------------------------------
# The camera's state machine: what each call answers in each state


def _closed(camera_id):
    pass


def _opened(camera_id):
    asi.open_camera(camera_id)


def _initialised(camera_id):
    open_camera(camera_id)
    asi.set_roi_format(camera_id, 64, 64, 1, RAW8)


def _exposing(camera_id):
    _initialised(camera_id)
    asi.set_control_value(camera_id, CT.ASI_EXPOSURE, 60_000_000, False)
    asi.start_exposure(camera_id, False)


def _capturing(camera_id):
    _initialised(camera_id)
    asi.set_control_value(camera_id, CT.ASI_EXPOSURE, 60_000_000, False)
    asi.start_video_capture(camera_id)


STATES = {"closed": _closed, "opened": _opened, "initialised": _initialised,
          "exposing": _exposing, "capturing": _capturing}

CALLS = {
    "init_camera": lambda c: asi.init_camera(c),
    "set_roi_format": lambda c: asi.set_roi_format(c, 64, 64, 1, RAW8),
    "set_camera_mode": lambda c: asi.set_camera_mode(c, asi.CameraMode.ASI_MODE_NORMAL),
    "start_exposure": lambda c: asi.start_exposure(c, False),
    "stop_exposure": lambda c: asi.stop_exposure(c),
    "get_exp_status": lambda c: asi.get_exp_status(c),
    "get_data_after_exp": lambda c: asi.get_data_after_exp(c, 64 * 64),
    "start_video_capture": lambda c: asi.start_video_capture(c),
    "stop_video_capture": lambda c: asi.stop_video_capture(c),
    "get_video_data": lambda c: asi.get_video_data(c, 64 * 64, 0),
    "get_dropped_frames": lambda c: asi.get_dropped_frames(c),
    "close_camera": lambda c: asi.close_camera(c),
}

OK = None
CLOSED, SEQUENCE, GENERAL = asi.ASICameraClosed, asi.ASIInvalidSequence, asi.ASIGeneralError
EXPOSING, VIDEO, TIMEOUT = asi.ASIExposureInProgress, asi.ASIVideoModeActive, asi.ASITimeout

# Expected outcome per call, in the order of STATES.
LIFECYCLE = {
    "init_camera":         (CLOSED, OK, OK, EXPOSING, VIDEO),
    "set_roi_format":      (CLOSED, OK, OK, EXPOSING, VIDEO),
    "set_camera_mode":     (CLOSED, OK, OK, OK, VIDEO),
    "start_exposure":      (CLOSED, SEQUENCE, OK, EXPOSING, VIDEO),
    "stop_exposure":       (CLOSED, OK, OK, OK, OK),
    "get_exp_status":      (CLOSED, OK, OK, OK, OK),
    "get_data_after_exp":  (CLOSED, GENERAL, GENERAL, GENERAL, GENERAL),
    "start_video_capture": (CLOSED, SEQUENCE, OK, EXPOSING, OK),
    "stop_video_capture":  (CLOSED, OK, OK, OK, OK),
    "get_video_data":      (CLOSED, SEQUENCE, SEQUENCE, SEQUENCE, TIMEOUT),
    "get_dropped_frames":  (CLOSED, OK, OK, OK, OK),
    "close_camera":        (OK, OK, OK, OK, OK),
}


def test_the_lifecycle_table_covers_every_call():
    assert LIFECYCLE.keys() == CALLS.keys()


@pytest.mark.parametrize("state_index, state", list(enumerate(STATES)))
@pytest.mark.parametrize("call", CALLS)
def test_each_call_answers_by_the_camera_state(call, state_index, state):
    STATES[state](MONO)
    expected = LIFECYCLE[call][state_index]
    if expected is OK:
        CALLS[call](MONO)
    else:
        with pytest.raises(expected):
            CALLS[call](MONO)


# ---------------------------------------------------------------------------------------
# The control interface costs nothing while unused; what is asked for still happens
# with the journal off


@pytest.mark.unjournaled
def test_control_interface_without_the_journal():
    opened = open_camera(MONO)
    asi.stop_exposure(opened)
    sim.fail("ASIStopExposure", 11)
    with pytest.raises(asi.ASITimeout):
        asi.stop_exposure(opened)
    assert asi.stop_exposure(opened) is None  # forced once only
    sim.script("ASIGetControlValue", 0, (1234).to_bytes(struct.calcsize("l"), sys.byteorder))
    assert asi.get_control_value(opened, asi.ControlType.ASI_GAIN)[0] == 1234
    with sim.journal() as journal:
        asi.stop_exposure(opened)
    assert journal.functions() == ["ASIStopExposure"]


@pytest.mark.build_tree
@pytest.mark.parametrize("driver, arguments", [
    ("asisim_test", []),
    # The sky catalogue's loader, queries and projection, on the build's sky file if any.
    ("asisim_sky_test", ["asisim-sky.bin"]),
])
def test_the_simulators_own_checks_pass(driver, arguments):
    """The C++ drivers' checks of the library's parts, built beside it."""
    folder = os.path.dirname(asi.__file__)
    path = os.path.join(folder, driver)
    assert os.path.isfile(path), f"the build has no {driver} driver"
    arguments = [os.path.join(folder, name) for name in arguments
                 if os.path.exists(os.path.join(folder, name))]
    result = subprocess.run([path, *arguments], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.rstrip().endswith(" 0 failed"), result.stdout
