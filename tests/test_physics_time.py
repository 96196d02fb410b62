"""The simulated cameras over time: a frame shows the mount and the sensor as they were
during its exposure (guide pulses when they happened, seeing jitter, the dark current of
the temperatures it was taken at), the mount's guiding geometry, the snap's readout and
transfer, the cooler's approach to its target, and control calls that never wait for a
frame being rendered. Stars are measured with sep; regions are small and exposures short."""

import time

import numpy as np
import pytest
import sep

import asi
from halvarine.corvantis import sim

CT = asi.ControlType
RAW16 = asi.ImgType.IMG_RAW16
NORTH, SOUTH, EAST, WEST = (asi.GuideDirection.ASI_GUIDE_NORTH, asi.GuideDirection.ASI_GUIDE_SOUTH,
                            asi.GuideDirection.ASI_GUIDE_EAST, asi.GuideDirection.ASI_GUIDE_WEST)
MONO, GUIDE = 0, 1
# The mono camera: 3.76 um pixels at 800 mm; guide rate 0.5x sidereal.
ARCSEC_PER_PX = 206.265 * 3.76 / 800
GUIDE_PX_S = 0.5 * 15.041 / ARCSEC_PER_PX
# A mount and a sky that hold still unless a test moves them.
STILL = {"sky": {"seeing_jitter_arcsec": 0, "catalogue": "synthetic"},
         "mount": {"dec_backlash_arcsec": 0, "pulse_latency_ms": 0}}


def configure(base=STILL, fast=False, **sections):
    config = {key: dict(value) if isinstance(value, dict) else value for key, value in base.items()}
    for key, value in sections.items():
        if isinstance(value, dict):
            config.setdefault(key, {}).update(value)
        else:
            config[key] = value
    config["fast_frames"] = fast
    sim.load_config(config)
    asi.open_camera(MONO)
    asi.init_camera(MONO)
    asi.set_control_value(MONO, CT.ASI_GAIN, 200, False)
    asi.set_roi_format(MONO, 512, 512, 1, RAW16)


def start(exposure_s, camera_id=MONO, dark=False):
    asi.set_control_value(camera_id, CT.ASI_EXPOSURE, round(exposure_s * 1e6), False)
    asi.start_exposure(camera_id, dark)


def finish(camera_id=MONO):
    while (status := asi.get_exp_status(camera_id)) == asi.ExposureStatus.ASI_EXP_WORKING:
        time.sleep(0.002)
    assert status == asi.ExposureStatus.ASI_EXP_SUCCESS


def download(camera_id=MONO, shape=(512, 512)):
    data = asi.get_data_after_exp(camera_id, shape[0] * shape[1] * 2)
    return np.frombuffer(data, dtype="<u2").reshape(shape).astype(np.float64)


def snap(exposure_s, camera_id=MONO, dark=False, shape=(512, 512)):
    start(exposure_s, camera_id, dark)
    finish(camera_id)
    return download(camera_id, shape)


def brightest(image):
    """sep's (x, y, elongation) of the brightest star."""
    image = np.ascontiguousarray(image)
    background = sep.Background(image)
    stars = sep.extract(image - background, 8, err=background.globalrms, minarea=5)
    assert len(stars), "no star in the frame"
    star = stars[np.argmax(stars["flux"])]
    return star["x"], star["y"], star["a"] / star["b"]


def moved(before, after):
    return np.array(after[:2]) - np.array(before[:2])


# ---------------------------------------------------------------------------------------
# Guide pulses at the time they happened


def test_a_pulse_after_the_exposure_does_not_move_its_stars():
    configure()
    reference = brightest(snap(0.3))
    start(0.3)
    finish()
    asi.pulse_guide_on(MONO, EAST)
    time.sleep(0.5)
    asi.pulse_guide_off(MONO, EAST)
    downloaded_late = brightest(download())
    after = brightest(snap(0.3))
    assert np.abs(moved(reference, downloaded_late)).max() < 0.3
    assert moved(reference, after)[0] == pytest.approx(0.5 * GUIDE_PX_S, abs=0.6)


def test_a_pulse_during_the_exposure_moves_its_stars_for_the_part_it_covered():
    configure()
    reference = brightest(snap(0.3))
    exposure = 1.0
    begun = time.monotonic()
    start(exposure)
    time.sleep(0.25)
    on = time.monotonic() - begun
    asi.pulse_guide_on(MONO, EAST)
    time.sleep(0.5)
    off = time.monotonic() - begun
    asi.pulse_guide_off(MONO, EAST)
    finish()
    star = brightest(download())
    # The field stood still, moved during the pulse, then stood at the pulse's full length:
    # the stars' centroid is the mean position over the exposure.
    length = off - on
    mean = GUIDE_PX_S * (length ** 2 / 2 + length * (exposure - off)) / exposure
    assert moved(reference, star)[0] == pytest.approx(mean, abs=0.35)
    assert 0.3 * GUIDE_PX_S * length < mean < 0.7 * GUIDE_PX_S * length  # a part, not all


def test_a_pulse_felt_after_the_latency():
    configure(mount={"pulse_latency_ms": 400}, fast=True)
    reference = brightest(snap(0.1))
    asi.pulse_guide_on(MONO, EAST)
    time.sleep(0.2)
    asi.pulse_guide_off(MONO, EAST)
    not_yet = brightest(snap(0.1))
    time.sleep(0.5)
    felt = brightest(snap(0.1))
    assert np.abs(moved(reference, not_yet)).max() < 0.3
    assert moved(reference, felt)[0] == pytest.approx(0.2 * GUIDE_PX_S, abs=0.4)


# ---------------------------------------------------------------------------------------
# Guiding geometry: rotated axes, cos(declination), backlash


@pytest.mark.parametrize("rotation, dec, direction, along", [
    (0, 0, NORTH, (0, 1)),
    (90, 0, NORTH, (-1, 0)),
    (90, 0, EAST, (0, 1)),
    (30, 0, WEST, (-np.cos(np.radians(30)), -np.sin(np.radians(30)))),
    (0, 60, EAST, (0.5, 0)),
])
def test_guide_pulses_move_along_the_rotated_axes_and_ra_with_cos_dec(rotation, dec, direction,
                                                                     along):
    configure(mount={"dec_deg": dec}, cameras=[{"model": "mono_cooled", "rotation_deg": rotation}],
              fast=True)
    reference = brightest(snap(0.1))
    on = time.monotonic()
    asi.pulse_guide_on(MONO, direction)
    time.sleep(0.4)
    asi.pulse_guide_off(MONO, direction)
    length = time.monotonic() - on
    shift = moved(reference, brightest(snap(0.1)))
    assert shift == pytest.approx(np.array(along) * GUIDE_PX_S * length, abs=0.35)


def test_dec_backlash_swallows_the_start_of_a_reversal():
    backlash = 3.0
    configure(mount={"dec_backlash_arcsec": backlash}, fast=True)
    reference = brightest(snap(0.1))
    steps = []
    # The gear starts engaged northwards: north moves at once, the first south does not.
    for direction in (NORTH, SOUTH):
        on = time.monotonic()
        asi.pulse_guide_on(MONO, direction)
        time.sleep(0.6)
        asi.pulse_guide_off(MONO, direction)
        steps.append(time.monotonic() - on)
        reference, before = brightest(snap(0.1)), reference
        steps[-1] = (moved(before, reference)[1], GUIDE_PX_S * steps[-1])
    (north, north_expected), (south, south_expected) = steps
    assert north == pytest.approx(north_expected, abs=0.35)
    assert -south == pytest.approx(south_expected - backlash / ARCSEC_PER_PX, abs=0.35)


# ---------------------------------------------------------------------------------------
# Seeing


def test_seeing_jitter_moves_short_frames_and_averages_down_in_long_ones():
    sky = {"seeing_jitter_arcsec": 3 * ARCSEC_PER_PX, "seeing_coherence_s": 0.01}
    # A large aperture, so that a star shows in a few milliseconds.
    cameras = [{"model": "mono_cooled", "aperture_mm": 800}]
    configure(sky=sky, cameras=cameras)
    short = np.array([brightest(snap(0.004))[:2] for _ in range(10)])
    long = np.array([brightest(snap(0.16))[:2] for _ in range(10)])
    spread_short = short.std(axis=0, ddof=1).mean()
    spread_long = long.std(axis=0, ddof=1).mean()
    assert 1.8 < spread_short < 4.5  # 3 px per axis
    assert spread_long < 0.5 * spread_short  # 0.75 px: sqrt(0.01 / 0.16) of it
    # The same seed and frames give the same motion.
    configure(sky=sky, cameras=cameras)
    again = np.array([brightest(snap(0.004))[:2] for _ in range(3)])
    assert again == pytest.approx(short[:3], abs=0.1)


def test_video_frames_jitter_as_snaps_do():
    sky = {"seeing_jitter_arcsec": 3 * ARCSEC_PER_PX, "seeing_coherence_s": 0.05}
    configure(sky=sky, cameras=[{"model": "mono_cooled", "aperture_mm": 800}])
    asi.set_control_value(MONO, CT.ASI_EXPOSURE, 10_000, False)
    asi.start_video_capture(MONO)
    try:
        frames = [asi.get_video_data(MONO, 512 * 512 * 2, 2000) for _ in range(8)]
    finally:
        asi.stop_video_capture(MONO)
    stars = np.array([brightest(np.frombuffer(frame, dtype="<u2").reshape(512, 512)
                                .astype(np.float64))[:2] for frame in frames])
    assert 1.5 < stars.std(axis=0, ddof=1).mean() < 5  # 3 px per axis


# ---------------------------------------------------------------------------------------
# Dark current over the exposure


def dark_config(cooling_time_s=0.2):
    configure(ambient_c=30, cooling_time_s=cooling_time_s,
              cameras=[{"model": "mono_cooled", "dark_current_e": 400}])
    asi.set_control_value(MONO, CT.ASI_GAIN, 0, False)
    asi.set_roi_format(MONO, 128, 128, 1, RAW16)


def dark_level(exposure_s):
    return np.median(snap(exposure_s, dark=True, shape=(128, 128)))


def temperature():
    return asi.get_control_value(MONO, CT.ASI_TEMPERATURE)[0] / 10


def test_a_dark_reads_the_temperature_of_its_exposure_not_of_its_download():
    dark_config()
    bias = dark_level(32e-6)
    warm = dark_level(0.5) - bias  # 33 °C: ambient and the camera's own heat
    start(0.5, dark=True)
    finish()
    asi.set_control_value(MONO, CT.ASI_TARGET_TEMP, 0, False)
    asi.set_control_value(MONO, CT.ASI_COOLER_ON, 1, False)
    deadline = time.monotonic() + 5
    while temperature() > 0.5 and time.monotonic() < deadline:
        time.sleep(0.02)
    assert temperature() <= 0.5
    downloaded_cold = np.median(download(shape=(128, 128))) - bias
    cold = dark_level(0.5) - bias
    assert downloaded_cold == pytest.approx(warm, rel=0.05)
    assert cold < 0.1 * warm  # 2^(-33/6): the cooler matters


def test_a_dark_integrates_the_dark_current_while_the_sensor_cools():
    dark_config(cooling_time_s=0.5)
    bias = dark_level(32e-6)
    warm = dark_level(0.6) - bias
    start(0.6, dark=True)
    asi.set_control_value(MONO, CT.ASI_TARGET_TEMP, 0, False)
    asi.set_control_value(MONO, CT.ASI_COOLER_ON, 1, False)
    finish()
    time.sleep(1.0)  # cold by the download
    cooling = np.median(download(shape=(128, 128))) - bias
    cold = dark_level(0.6) - bias
    assert cold + 0.1 * warm < cooling < 0.9 * warm


# ---------------------------------------------------------------------------------------
# The cooler


def test_the_cooler_approaches_its_target_first_order_and_holds_it_at_part_power():
    configure(ambient_c=20, cooling_time_s=0.4)
    warm = temperature()
    asi.set_control_value(MONO, CT.ASI_TARGET_TEMP, -10, False)
    asi.set_control_value(MONO, CT.ASI_COOLER_ON, 1, False)
    begun = time.monotonic()
    readings = []
    while time.monotonic() - begun < 2.5:
        readings.append((time.monotonic() - begun, temperature(),
                         asi.get_control_value(MONO, CT.ASI_COOLER_POWER_PERC)[0]))
        time.sleep(0.01)
    times, temperatures, powers = map(np.array, zip(*readings))
    assert warm == pytest.approx(23)  # ambient and the camera's own heat
    assert powers[0] == 100  # pulling down at full power
    assert np.all(np.diff(temperatures) <= 0)  # downhill, no overshoot
    assert temperatures[-1] == pytest.approx(-10, abs=0.1)
    assert 0 < powers[-1] < 100  # holding -10 from 23 takes part of what the cooler has
    # First order: the second half of the way takes longer than the first, not as long.
    half = times[np.argmax(temperatures <= (warm - 10) / 2)]
    near = times[np.argmax(temperatures <= -9.5)]
    assert near - half > 1.5 * half


def test_the_cooler_cannot_go_below_ambient_less_its_maximum_difference():
    configure(ambient_c=20, cooling_time_s=0.1)
    asi.set_control_value(MONO, CT.ASI_TARGET_TEMP, -40, False)
    asi.set_control_value(MONO, CT.ASI_COOLER_ON, 1, False)
    time.sleep(1.0)
    assert temperature() == pytest.approx(-15, abs=0.2)  # 20 - 35
    assert temperature() >= -15
    assert asi.get_control_value(MONO, CT.ASI_COOLER_POWER_PERC)[0] == 100


# ---------------------------------------------------------------------------------------
# Snap timing


@pytest.mark.parametrize("bandwidth, least_s", [(100, 0.095), (40, 0.24)])
def test_a_snap_is_done_after_its_readout_and_usb_transfer(bandwidth, least_s):
    # The guide camera on USB2: 1936 x 1096 RAW16 is 4.2 MB at 42 MB/s times the bandwidth.
    configure()
    asi.open_camera(GUIDE)
    asi.init_camera(GUIDE)
    asi.set_roi_format(GUIDE, 1936, 1096, 1, RAW16)
    asi.set_control_value(GUIDE, CT.ASI_BANDWIDTHOVERLOAD, bandwidth, False)
    begun = time.monotonic()
    start(0.001, GUIDE)
    finish(GUIDE)
    assert time.monotonic() - begun >= least_s


def test_fast_frames_complete_at_once():
    configure(fast=True)
    asi.set_roi_format(MONO, 4144, 2822, 1, RAW16)
    begun = time.monotonic()
    start(0.001)
    assert asi.get_exp_status(MONO) == asi.ExposureStatus.ASI_EXP_SUCCESS
    assert time.monotonic() - begun < 0.05


# ---------------------------------------------------------------------------------------
# Configuration


@pytest.mark.parametrize("config, named", [
    ({"mount": {"dec_backlash_arcsec": -1}}, "mount.dec_backlash_arcsec"),
    ({"mount": {"pulse_latency_ms": "5"}}, "mount.pulse_latency_ms"),
    ({"mount": {"dec_deg": 91}}, "mount.dec_deg"),
    ({"mount": {"ra_deg": 361}}, "mount.ra_deg"),
    ({"sky": {"seeing_jitter_arcsec": 11}}, "sky.seeing_jitter_arcsec"),
    ({"sky": {"seeing_coherence_s": 0}}, "sky.seeing_coherence_s"),
    ({"cameras": [{"rotation_deg": 400}]}, "cameras[0].rotation_deg"),
    ({"cameras": [{"rotation": 10}]}, "rotation"),
    ({"cooling_time_s": 0}, "cooling_time_s"),
    ({"cooling_time_s": 60, "cooling_rate": 1}, "cooling_rate"),
    ({"render_threads": -1}, "render_threads"),
    ({"render_threads": 65}, "render_threads"),
    ({"render_threads": 2.0}, "render_threads"),
])
def test_bad_keys_are_named_and_change_nothing(config, named):
    sim.load_config({"cameras": [{"model": "color_guide"}]})
    with pytest.raises(ValueError, match=named.replace("[", r"\[").replace("]", r"\]")):
        sim.load_config(config)
    assert asi.get_number_of_connected_cameras() == 1


# ---------------------------------------------------------------------------------------
# Rendering outside the camera's lock


def test_control_calls_answer_while_video_frames_render():
    # The video thread renders full frames without the interpreter lock; were it to hold
    # the camera's lock meanwhile, a control call would wait for a whole frame. The figure
    # in milliseconds is the bench's.
    configure()
    asi.set_roi_format(MONO, 4144, 2822, 1, RAW16)
    asi.set_control_value(MONO, CT.ASI_EXPOSURE, 1000, False)
    asi.start_video_capture(MONO)
    try:
        begun = time.perf_counter()
        asi.get_video_data(MONO, 4144 * 2822 * 2, 10_000)
        one_frame = time.perf_counter() - begun  # a render and its delivery, at least
        polls = []
        while time.perf_counter() < begun + 3 * one_frame:
            before = time.perf_counter()
            asi.get_control_value(MONO, CT.ASI_GAIN)
            polls.append(time.perf_counter() - before)
            time.sleep(0.001)
    finally:
        asi.stop_video_capture(MONO)
    assert one_frame > 0.02 and max(polls) < one_frame / 2
