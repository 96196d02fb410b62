"""The example programs against the simulator: small regions, short exposures, fast frames
where the picture need not change, and a quick cooler and mount from a test configuration."""

import json
import os
import struct
import subprocess
import sys
from datetime import UTC, datetime
from pathlib import Path

import numpy as np
import pytest
from astropy.io import fits
from PIL import Image

import asi
from halvarine.corvantis import sim

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))

import cooling  # noqa: E402
import demo  # noqa: E402
import guiding  # noqa: E402
import list_cameras  # noqa: E402
import snap  # noqa: E402
import typed_example  # noqa: E402
import video  # noqa: E402

MONO, GUIDE, GPS = 0, 1, 2  # the built-in cameras, by index and ID
RAW8, RGB24, RAW16, Y8 = (asi.ImgType.IMG_RAW8, asi.ImgType.IMG_RGB24, asi.ImgType.IMG_RAW16,
                          asi.ImgType.IMG_Y8)


@pytest.fixture
def quick(tmp_path, journal):
    """The built-in cameras with a cooler that settles at once and a brisk, steady mount;
    the test's journal."""
    config = tmp_path / "quick.json"
    config.write_text(json.dumps({
        "cooling_rate": 1000,
        "sky": {"seeing_arcsec": 3.5},
        "mount": {"guide_rate": 2.0},
    }))
    sim.load_config(config)
    return journal


@pytest.fixture
def camera():
    """Opens a camera by ID and closes it whatever the test did."""
    opened = []

    def open_camera(camera_id):
        asi.open_camera(camera_id)
        opened.append(camera_id)
        asi.init_camera(camera_id)
        return camera_id

    yield open_camera
    for camera_id in opened:
        asi.close_camera(camera_id)


def names(journal, *functions):
    return [name for name in journal.functions() if name in functions]


# --- command lines --------------------------------------------------------------------------

PROGRAMS = {module.__name__: module for module in (
    cooling, demo, guiding, list_cameras, snap, typed_example, video)}


def test_every_example_program_is_tested_here():
    programs = {path.stem for path in EXAMPLES.glob("*.py")
                if 'if __name__ == "__main__":' in path.read_text()}
    assert programs == set(PROGRAMS)


@pytest.mark.parametrize("name", sorted(PROGRAMS))
def test_help_describes_the_program_and_does_nothing_else(journal, tmp_path, monkeypatch, capsys,
                                                          name):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as exit:
        PROGRAMS[name].main(["--help"])
    assert exit.value.code == 0
    out = capsys.readouterr().out
    assert out.startswith(f"usage: {name}.py ") and "--help" in out
    assert not journal.calls() and not list(tmp_path.iterdir())


@pytest.mark.parametrize("name, argv, complaint", [
    ("cooling", ["warm"], "argument TARGET_C: invalid int value: 'warm'"),
    ("cooling", ["-10", "-20"], "unrecognized arguments: -20"),
    ("demo", ["out", "more"], "unrecognized arguments: more"),
    ("guiding", ["first"], "argument CAMERA_INDEX: not a camera index (0, 1, ...): 'first'"),
    ("guiding", ["-1"], "argument CAMERA_INDEX: not a camera index (0, 1, ...): '-1'"),
    ("list_cameras", ["--all"], "unrecognized arguments: --all"),
    ("snap", ["long"], "argument SECONDS: not a number of seconds above zero: 'long'"),
    ("snap", ["0"], "argument SECONDS: not a number of seconds above zero: '0'"),
    ("snap", ["3", "1.5"], "argument CAMERA_INDEX: not a camera index (0, 1, ...): '1.5'"),
    ("typed_example", ["--fast"], "unrecognized arguments: --fast"),
    ("video", ["nan"], "argument SECONDS: not a number of seconds above zero: 'nan'"),
    ("video", ["inf"], "argument SECONDS: not a number of seconds above zero: 'inf'"),
])
def test_bad_arguments_get_the_usage_and_nothing_runs(journal, tmp_path, monkeypatch, capsys,
                                                      name, argv, complaint):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as exit:
        PROGRAMS[name].main(argv)
    assert exit.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith(f"usage: {name}.py ") and f"error: {complaint}" in err
    assert not journal.calls() and not list(tmp_path.iterdir())


def test_demo_help_from_the_command_line_makes_no_folder(tmp_path):
    done = subprocess.run([sys.executable, str(EXAMPLES / "demo.py"), "--help"], cwd=tmp_path,
                          env=dict(os.environ), capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout.startswith("usage: demo.py"), done.stderr
    assert not list(tmp_path.iterdir())


# --- listing ------------------------------------------------------------------------------

@pytest.mark.parametrize("pattern, cell", [
    (asi.BayerPattern.BAYER_RG, "RGGB"),
    (asi.BayerPattern.BAYER_BG, "BGGR"),
    (asi.BayerPattern.BAYER_GR, "GRBG"),
    (asi.BayerPattern.BAYER_GB, "GBRG"),
])
def test_bayer_cell_names_the_whole_2x2_cell(pattern, cell):
    assert list_cameras.bayer_cell(pattern) == cell


@pytest.mark.parametrize("index, expected", [
    (MONO, ["Simulated Mono Cooled", "4144 x 2822 mono", "cooler", "ST4 guide port"]),
    (GUIDE, ["Simulated Color Guide", "colour (RGGB)", "binning 1, 2", "RAW8, RGB24, RAW16, Y8"]),
    (GPS, ["Simulated Color GPS Cooled", "colour (GBRG)", "cooler", "trigger"]),
])
def test_describe_lists_the_properties(index, expected):
    text = list_cameras.describe(asi.get_camera_property(index))
    for part in expected:
        assert part in text


def test_listing_controls_closes_every_camera_it_opens(journal, capsys):
    assert list_cameras.main(["--controls"]) == 0
    out = capsys.readouterr().out
    assert "TargetTemp" in out and "Temperature" in out and "read-only" in out
    opened = [c["iCameraID"] for c in journal.calls("ASIOpenCamera")]
    closed = [c["iCameraID"] for c in journal.calls("ASICloseCamera")]
    assert opened == closed == [MONO, GUIDE, GPS]


# --- cooling ------------------------------------------------------------------------------

@pytest.mark.parametrize("target, settled", [
    (-10, True),
    (-40, False),  # 35 °C below ambient is the most the simulated cooler can do
])
def test_cool_waits_for_the_target_or_gives_up(quick, camera, target, settled):
    camera(MONO)
    result = cooling.cool(MONO, target, timeout_s=0.5, poll_s=0.05, progress=False)
    assert result.settled is settled
    assert (abs(result.temperature_c - target) <= 0.5) is settled
    # The target is set before the cooler starts chasing it.
    controls = [c["ControlType"] for c in quick.calls("ASISetControlValue")]
    assert controls[:2] == [asi.ControlType.ASI_TARGET_TEMP, asi.ControlType.ASI_COOLER_ON]


# --- image bytes ----------------------------------------------------------------------------

@pytest.mark.parametrize("img_type, raw, expected", [
    (RAW8, bytes([1, 2, 3, 4]), [[1, 2], [3, 4]]),
    (Y8, bytes([9, 8, 7, 6]), [[9, 8], [7, 6]]),
    (RAW16, struct.pack("<4H", 0x0102, 0xFFF0, 16, 0), [[0x0102, 0xFFF0], [16, 0]]),
    # RGB24 comes as B, G, R: the array is R, G, B.
    (RGB24, bytes([1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12]),
     [[[3, 2, 1], [6, 5, 4]], [[9, 8, 7], [12, 11, 10]]]),
])
def test_image_bytes_become_pixel_rows(img_type, raw, expected):
    assert snap.frame_bytes(2, 2, img_type) == len(raw)
    assert snap.to_array(raw, 2, 2, img_type).tolist() == expected


@pytest.mark.parametrize("pattern", ["RGGB", "BGGR", "GRBG", "GBRG"])
def test_superpixel_rgb_takes_each_colour_from_its_place(pattern):
    level = {"R": 100, "G": 50, "B": 10}
    cell = np.array([[level[pattern[0]], level[pattern[1]]],
                     [level[pattern[2]], level[pattern[3]]]], dtype=np.uint16)
    rgb = snap.superpixel_rgb(np.tile(cell, (3, 4)), pattern)
    assert rgb.shape == (3, 4, 3)
    assert (rgb == [100, 50, 10]).all()


@pytest.mark.parametrize("image", [
    np.full((40, 60), 500, dtype=np.uint16),                   # nothing but sky
    np.random.default_rng(1).normal(400, 8, (40, 60)).astype(np.uint16),
    np.random.default_rng(2).normal(300, 8, (20, 30, 3)).astype(np.float32),
], ids=["flat", "mono", "colour"])
def test_stretch_gives_8_bit_pixels_with_stars_brightest(image):
    image = image.copy()
    image[10, 10] = 60000  # a star
    stretched = snap.stretch(image)
    assert stretched.dtype == np.uint8 and stretched.shape == image.shape
    assert (stretched[10, 10] == 255).all()
    assert np.median(stretched) < 128


# --- snap -----------------------------------------------------------------------------------

@pytest.mark.parametrize("camera_id, binning, bayer, gps", [
    (MONO, 2, None, False),
    (GUIDE, 1, "RGGB", False),
    (GPS, 2, "GBRG", True),
])
def test_snap_saves_fits_with_the_usual_headers_and_a_png(camera, tmp_path,
                                                          camera_id, binning, bayer, gps):
    sim.fast_frames()
    camera(camera_id)
    info = asi.get_camera_property_by_id(camera_id)
    width, height = snap.set_region(camera_id, 250, 101, binning, RAW16)
    assert (width, height) == (248, 100)  # the SDK's multiples of 8 and 2
    snap.set_gain(camera_id, 120, 15)
    before = datetime.now(UTC)
    frame = snap.expose(camera_id, 0.25, progress=False)
    fits_path, png_path = snap.save(frame, tmp_path / "frame")

    with fits.open(fits_path) as hdus:
        header, data = hdus[0].header, hdus[0].data
        assert (header["BITPIX"], header["BZERO"], header["BSCALE"]) == (16, 32768, 1)
        assert data.dtype == np.uint16 and (data == frame.pixels).all()
        assert header["INSTRUME"] == info.name
        assert (header["EXPTIME"], header["GAIN"], header["OFFSET"]) == (0.25, 120, 15)
        assert header["XBINNING"] == header["YBINNING"] == binning
        assert header["XPIXSZ"] == header["YPIXSZ"] == pytest.approx(info.pixel_size * binning)
        assert header["CCD-TEMP"] == frame.sensor_c
        assert "SET-TEMP" not in header  # the cooler is off
        assert header.get("BAYERPAT") == bayer
        assert ("SITELAT" in header) is gps
        assert ("(GPS)" in header.comments["DATE-OBS"]) is gps
        date_obs = datetime.fromisoformat(header["DATE-OBS"]).replace(tzinfo=UTC)
        assert abs((date_obs - before).total_seconds()) < 60

    with Image.open(png_path) as png:
        if bayer:  # debayered into RGB cells of 2x2 pixels
            assert (png.mode, png.size) == ("RGB", (width // 2, height // 2))
        else:
            assert (png.mode, png.size) == ("L", (width, height))


def test_snap_of_a_cooled_camera_records_the_set_point(quick, camera, tmp_path):
    camera(MONO)
    cooling.cool(MONO, -5, progress=False)
    snap.set_region(MONO, 64, 64, 1, RAW16)
    frame = snap.expose(MONO, 0.01, progress=False)
    header = snap.fits_header(frame)
    assert header["SET-TEMP"] == -5
    assert header["CCD-TEMP"] == pytest.approx(-5, abs=0.5)


def test_an_exposure_the_camera_reports_failed_raises(journal, camera):
    camera(MONO)
    snap.set_region(MONO, 64, 64, 1, RAW16)
    sim.script("ASIGetExpStatus", 0, struct.pack("<i", asi.ExposureStatus.ASI_EXP_FAILED))
    with pytest.raises(snap.ExposureFailed, match="ASI_EXP_FAILED"):
        snap.expose(MONO, 0.01, progress=False)
    assert not journal.calls("ASIGetDataAfterExp")


def test_an_interrupted_exposure_is_stopped(journal, camera, monkeypatch):
    camera(MONO)
    snap.set_region(MONO, 64, 64, 1, RAW16)

    def interrupt(seconds):
        raise KeyboardInterrupt

    monkeypatch.setattr(snap.time, "sleep", interrupt)
    with pytest.raises(KeyboardInterrupt):
        snap.expose(MONO, 5.0, progress=False)
    assert names(journal, "ASIStartExposure", "ASIStopExposure") == ["ASIStartExposure",
                                                                      "ASIStopExposure"]


# --- video ----------------------------------------------------------------------------------

class Boom(Exception):
    pass


@pytest.mark.parametrize("failing", [False, True])
def test_video_counts_frames_and_always_stops(journal, camera, failing):
    sim.fast_frames()
    camera(GUIDE)
    snap.set_region(GUIDE, 64, 48, 1, RAW8)
    shapes = []

    def on_frame(pixels):
        shapes.append(pixels.shape)
        if failing:
            raise Boom

    if failing:
        with pytest.raises(Boom):
            video.record(GUIDE, 0.2, exposure_us=1000, progress=False, on_frame=on_frame)
    else:
        stats = video.record(GUIDE, 0.2, exposure_us=1000, progress=False, on_frame=on_frame)
        assert stats.frames == len(shapes) > 0 and stats.dropped == 0
        # The dropped count is read while its capture is still running.
        assert names(journal, "ASIGetDroppedFrames", "ASIStopVideoCapture") == [
            "ASIGetDroppedFrames", "ASIStopVideoCapture"]
    assert set(shapes) == {(48, 64)}
    assert names(journal, "ASIStopVideoCapture") == ["ASIStopVideoCapture"]


# --- guiding --------------------------------------------------------------------------------

def star_image(x, y, sigma=1.2, flux=20000.0, hot=None):
    rng = np.random.default_rng(7)
    ys, xs = np.mgrid[0:80, 0:100]
    image = rng.normal(1000, 10, (80, 100))
    image += flux / (2 * np.pi * sigma**2) * np.exp(-((xs - x)**2 + (ys - y)**2) / (2 * sigma**2))
    if hot is not None:
        image[hot[1], hot[0]] = 60000  # brighter than the star, but one pixel wide
    return image.astype(np.uint16)


@pytest.mark.parametrize("x, y, hot", [
    (50.0, 40.0, None),
    (47.3, 35.8, None),
    (61.7, 44.25, (40, 30)),
])
def test_find_star_centroids_to_a_tenth_of_a_pixel_and_ignores_hot_pixels(x, y, hot):
    star = guiding.find_star(star_image(x, y, hot=hot), np.array([50.0, 40.0]), 30)
    assert star is not None
    assert star.x == pytest.approx(x, abs=0.1) and star.y == pytest.approx(y, abs=0.1)


@pytest.mark.parametrize("image", [
    np.random.default_rng(3).normal(1000, 10, (80, 100)).astype(np.uint16),
    star_image(95.0, 40.0),  # a star, but outside the search window
], ids=["sky only", "star out of reach"])
def test_find_star_finds_nothing_without_a_star_in_reach(image):
    assert guiding.find_star(image, np.array([40.0, 40.0]), 20) is None


def test_a_pulse_always_ends(journal, camera, monkeypatch):
    camera(GUIDE)

    def interrupt(seconds):
        raise KeyboardInterrupt

    monkeypatch.setattr(guiding.time, "sleep", interrupt)
    with pytest.raises(KeyboardInterrupt):
        guiding.pulse(GUIDE, guiding.NORTH, 1.0)
    assert names(journal, "ASIPulseGuideOn", "ASIPulseGuideOff") == ["ASIPulseGuideOn",
                                                                      "ASIPulseGuideOff"]


QUICK_GUIDING = dict(exposure_s=0.1, calibration_pulse_s=0.5, max_pulse_s=1.0, max_steps=8,
                     log=lambda line: None)


# A mirror image turns the motion of west pulses around on the sensor and swaps the handedness
# of the two axes: guiding that assumed either would push the star away.
@pytest.mark.parametrize("flip", [asi.FlipStatus.ASI_FLIP_NONE, asi.FlipStatus.ASI_FLIP_HORIZ])
def test_guiding_calibrates_and_returns_the_star_to_its_lock_position(quick, camera, flip):
    camera(GUIDE)
    snap.set_region(GUIDE, 640, 480, 1, RAW16)
    asi.set_control_value(GUIDE, asi.ControlType.ASI_FLIP, flip, False)
    result = guiding.guide(GUIDE, **QUICK_GUIDING)
    assert result.centred
    assert np.hypot(*result.steps[-1].error) <= 0.5
    assert len(result.steps) > 1  # the calibration pulses had moved the star away
    west_x = result.calibration.rates[0, 0]
    assert bool(west_x > 0) == (flip == asi.FlipStatus.ASI_FLIP_HORIZ)


def test_guiding_without_a_responding_mount_stops_at_calibration(camera, tmp_path):
    config = tmp_path / "still.json"
    config.write_text(json.dumps({"mount": {"guide_rate": 0}}))
    sim.load_config(config)
    camera(GUIDE)
    snap.set_region(GUIDE, 640, 480, 1, RAW16)
    with pytest.raises(guiding.GuidingError, match="ST4 cable"):
        guiding.guide(GUIDE, **QUICK_GUIDING)


# --- the demo -------------------------------------------------------------------------------

@pytest.fixture
def demo_run(quick, monkeypatch):
    """The demo with fast frames and guiding left out: guiding needs the sky to move, which
    fast frames do not show, and has its own tests. Returns the cameras guided."""
    sim.fast_frames()
    guided = []

    def guide(camera_id, log):
        guided.append(camera_id)
        star = guiding.Star(10.0, 10.0, 50.0)
        return guiding.GuideResult(guiding.Calibration(np.eye(2)),
                                   [guiding.GuideStep(star, np.zeros(2), 0.0, 0.0)], True)

    monkeypatch.setattr(demo, "guide", guide)
    monkeypatch.setattr(demo, "VIDEO_SECONDS", 0.2)
    return guided


def step_numbers(log):
    return [int(line.split(".")[0].removeprefix("== ")) for line in log.splitlines()
            if line.startswith("== ")]


def test_demo_runs_every_step_and_writes_its_files(quick, demo_run, tmp_path, capsys):
    assert demo.main([str(tmp_path)]) == 0
    log = capsys.readouterr().out
    assert step_numbers(log) == [1, 2, 3, 4, 5]
    assert "5 of 5 steps done" in log and "failed" not in log
    assert demo_run == [GUIDE]
    for name in ("long-exposure.fits", "long-exposure.png", "colour.fits", "colour.png"):
        assert (tmp_path / name).stat().st_size > 0
    header = fits.getheader(tmp_path / "long-exposure.fits")
    assert (header["INSTRUME"], header["XBINNING"]) == ("Simulated Mono Cooled", 2)
    assert header["SET-TEMP"] == demo.COOLING_TARGET_C
    assert fits.getheader(tmp_path / "colour.fits")["BAYERPAT"] == "GBRG"
    opened = [c["iCameraID"] for c in quick.calls("ASIOpenCamera")]
    assert sorted(opened) == sorted(c["iCameraID"] for c in quick.calls("ASICloseCamera"))


def test_a_failing_step_is_reported_and_the_others_still_run(quick, demo_run, tmp_path, capsys):
    sim.fail("ASIStartVideoCapture", 16, times=-1)  # ASI_ERROR_GENERAL_ERROR
    assert demo.main([str(tmp_path)]) == 1
    log = capsys.readouterr().out
    assert "failed: ASIGeneralError" in log and "4 of 5 steps done" in log
    assert demo_run == [GUIDE]
    assert [c["iCameraID"] for c in quick.calls("ASICloseCamera")].count(GUIDE) == 2


def test_demo_numbers_only_the_steps_it_has_cameras_for(quick, demo_run, tmp_path, capsys,
                                                        monkeypatch):
    # The first two cameras only: no colour camera beside the main and the guide camera.
    cameras = demo.find_cameras()[:2]
    monkeypatch.setattr(demo, "find_cameras", lambda: cameras)
    assert demo.main([str(tmp_path)]) == 0
    log = capsys.readouterr().out
    assert step_numbers(log) == [1, 2, 3, 4]
    assert "4 of 4 steps done" in log and not (tmp_path / "colour.fits").exists()
