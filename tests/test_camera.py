"""The camera layer against the simulator: small regions and fast frames keep it quick;
failures are injected through the simulator module at every step of every operation."""

import asyncio
import logging
import struct
import sys
import threading
import time
from datetime import UTC, datetime, timedelta

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, rule, run_state_machine_as_test
from astropy.io import fits
from PIL import Image

import asi
from halvarine.corvantis import camera
from halvarine.corvantis import sim
from halvarine.corvantis.camera import Camera, Optics, Roi, Target

MONO, GUIDE, GPS = 0, 1, 2  # the simulator's built-in cameras, by index and ID
RAW8, RGB24, RAW16, Y8 = (asi.ImgType.IMG_RAW8, asi.ImgType.IMG_RGB24, asi.ImgType.IMG_RAW16,
                          asi.ImgType.IMG_Y8)


@pytest.fixture
def fast(journal):
    sim.fast_frames()
    yield journal


@pytest.fixture
def mono(fast):
    with Camera(MONO) as cam:
        cam.roi = Roi(64, 48, 1, RAW16)
        fast.clear()
        yield cam


def settles_quickly(**config):
    sim.load_config({"cooling_rate": 1000, "mount": {"guide_rate": 2.0}, **config})


def note(error):
    return " ".join(getattr(error, "__notes__", []))


# Opening and closing ---------------------------------------------------------------------


def test_list_cameras_and_picking_one_by_name_or_serial():
    names = [info.name for info in camera.list_cameras()]
    assert names == ["Simulated Mono Cooled", "Simulated Color Guide",
                     "Simulated Color GPS Cooled"]
    with Camera.by_name("Simulated Color Guide") as guide:
        assert guide.id == GUIDE and guide.info.name == names[GUIDE]
        serial = guide.identity.serial
    with Camera.by_serial(serial.upper()) as same:
        assert same.id == GUIDE
    with pytest.raises(LookupError, match="Simulated Mono Cooled"):
        Camera.by_name("nothing")


def test_with_block_closes_the_camera_whatever_happens(journal):
    with pytest.raises(ZeroDivisionError):
        with Camera(MONO) as cam:
            names = journal.functions()
            assert names.index("ASIOpenCamera") < names.index("ASIInitCamera")
            1 / 0
    assert cam.closed and len(journal.calls("ASICloseCamera")) == 1
    cam.close()
    assert len(journal.calls("ASICloseCamera")) == 1
    with pytest.raises(camera.CameraError, match="closed"):
        cam.snap(0.001)


def test_a_failing_init_closes_the_camera_again(journal):
    sim.fail("ASIInitCamera", asi.ASIGeneralError)
    with pytest.raises(asi.ASIGeneralError) as caught:
        Camera(MONO)
    assert "while opening camera 0 (Simulated Mono Cooled)" in note(caught.value)
    assert len(journal.calls("ASICloseCamera")) == 1
    Camera(MONO).close()


def test_a_failing_close_is_noted_on_the_error_that_ended_the_block():
    with pytest.raises(KeyError) as caught:
        with Camera(MONO):
            sim.fail("ASICloseCamera", asi.ASICameraRemoved)
            raise KeyError("the program's own error")
    assert "closing camera 0 (Simulated Mono Cooled) failed too: ASICameraRemoved" in note(
        caught.value)


@pytest.mark.parametrize("index, error, message", [
    ("0", TypeError, "index must be an int"),
    (True, TypeError, "index must be an int"),
    (-1, ValueError, "index must not be negative"),
    (3, ValueError, "index 3 is out of range: 3 camera"),
])
def test_bad_index(journal, index, error, message):
    with pytest.raises(error, match=message):
        Camera(index)
    assert not journal.calls("ASIOpenCamera")


# Controls and region ---------------------------------------------------------------------


def test_controls_by_name(mono):
    names = list(mono.controls)
    assert names[:3] == ["Gain", "Exposure", "Offset"] and "CoolerOn" in names
    gain = mono.controls["Gain"]
    assert (gain.min, gain.writable, gain.description) == (0, True, "Gain")
    gain.value = 120
    assert gain.value == 120 and not gain.auto
    gain.auto = True
    assert gain.auto and gain.value == 120
    assert not mono.controls["Temperature"].writable
    with pytest.raises(KeyError, match="no control 'Gian'; the camera has Gain, Exposure"):
        mono.controls["Gian"]


@pytest.mark.parametrize("name, value, error, message", [
    ("Gain", 10_000, ValueError, r"Gain must be between 0 and \d+, not 10000"),
    ("Gain", -1, ValueError, "Gain must be between 0"),
    ("Gain", 1.5, TypeError, "value must be an int"),
    ("Temperature", 0, ValueError, "Temperature is read-only"),
])
def test_control_values_refused_before_the_sdk(mono, fast, name, value, error, message):
    with pytest.raises(error, match=message):
        mono.controls[name].value = value
    assert not fast.calls("ASISetControlValue")


def test_region_round_trip(mono):
    mono.roi = Roi(128, 64, 2, "RAW8", (16, 10))
    assert mono.roi == Roi(128, 64, 2, RAW8, (16, 10))
    mono.roi = Roi(64, 32, 1, Y8)
    assert mono.roi.start == ((4144 - 64) // 2, (2822 - 32) // 2)  # centred by the SDK
    assert mono.full_roi(2) == Roi(2072, 1410, 2, RAW8, (0, 0))


@pytest.mark.parametrize("index, roi, message", [
    (MONO, Roi(60, 48), "width must be a multiple of 8 and the height a multiple of 2"),
    (MONO, Roi(64, 47), "width must be a multiple of 8"),
    (GUIDE, Roi(64, 48, 3), r"binning 3 is not supported .* bins \[1, 2\]"),
    (MONO, Roi(64, 48, 1, RGB24), "RGB24 is not supported .* formats RAW8, RAW16, Y8"),
    (MONO, Roi(2080, 48, 2), "does not fit the sensor .* 2072x1411 at bin 2"),
    (MONO, Roi(64, 48, 1, RAW8, (4100, 0)), "at 4100,0 does not fit"),
])
def test_regions_the_camera_cannot_take(fast, index, roi, message):
    with Camera(index) as cam:
        fast.clear()
        with pytest.raises(ValueError, match=message):
            cam.roi = roi
        assert not fast.calls("ASISetROIFormat")


@pytest.mark.parametrize("arguments, error, message", [
    ((0, 48), ValueError, "width must be above 0"),
    ((64.0, 48), TypeError, "width must be an int"),
    ((64, 48, 1, "RAW12"), ValueError, "image_type must be one of RAW8, RGB24, RAW16, Y8"),
    ((64, 48, 1, RAW8, (1, -1)), ValueError, "start must not be negative"),
    ((64, 48, 1, RAW8, [0, 0]), TypeError, "start must be a tuple"),
])
def test_bad_regions(arguments, error, message):
    with pytest.raises(error, match=message):
        Roi(*arguments)


def test_a_region_half_set_is_undone(mono, fast):
    before = mono.roi
    sim.fail("ASISetStartPos", asi.ASIOutOfBoundary)
    with pytest.raises(asi.ASIOutOfBoundary) as caught:
        mono.roi = Roi(128, 64, 1, RAW8, (8, 8))
    assert "while setting the region 128x64 RAW8" in note(caught.value)
    assert mono.roi == before


# Snaps -----------------------------------------------------------------------------------


@pytest.mark.parametrize("index, image_type, shape, dtype", [
    (MONO, RAW8, (48, 64), np.uint8),
    (MONO, Y8, (48, 64), np.uint8),
    (MONO, RAW16, (48, 64), np.dtype("<u2")),
    (GUIDE, RGB24, (48, 64, 3), np.uint8),
])
def test_snap_pixels_look_at_the_sdk_bytes(fast, index, image_type, shape, dtype):
    with Camera(index) as cam:
        cam.roi = Roi(64, 48, 1, image_type)
        frame = cam.snap(timedelta(milliseconds=5))
    assert frame.pixels.shape == shape and frame.pixels.dtype == dtype
    assert not frame.pixels.flags.owndata
    base = frame.pixels
    while isinstance(base, np.ndarray):
        base = base.base
    assert isinstance(base, bytes) and len(base) == np.prod(shape) * np.dtype(dtype).itemsize
    assert frame.exposure == 0.005 and frame.roi.image_type == image_type
    assert abs(frame.started - datetime.now(UTC)) < timedelta(seconds=5)


def test_raw16_is_little_endian_with_the_sensor_bits_on_top(mono):
    pixels = mono.snap(0.01).pixels
    assert pixels.max() > 255 and not np.any(pixels % 4)  # 14-bit sensor: low 2 bits clear


def test_rgb24_is_red_green_blue(fast):
    with Camera(GUIDE) as guide:
        guide.roi = Roi(64, 48, 1, RGB24)
        guide.controls["WB_R"].value, guide.controls["WB_B"].value = 99, 1
        frame = guide.snap(0.05)
    red, blue = frame.pixels[..., 0].mean(), frame.pixels[..., 2].mean()
    assert red > 2 * blue


def test_frame_metadata(fast):
    with Camera(GUIDE) as guide:
        guide.roi = Roi(64, 48, 2, RAW16, (10, 20))
        guide.controls["Gain"].value, guide.controls["Offset"].value = 150, 12
        frame = guide.snap(0.02, frame_type="flat")
    assert (frame.gain, frame.offset, frame.binning, frame.frame_type) == (150, 12, 2, "flat")
    assert frame.camera.name == "Simulated Color Guide" and len(frame.camera.serial) == 16
    assert frame.bayer_pattern == "RGGB" and frame.temperature is not None
    assert frame.target_temperature is None and frame.gps is None
    rgb = frame.debayer()
    assert rgb.pixels.shape == (48, 64, 3) and rgb.pixels.dtype == np.uint16
    assert rgb.bayer_pattern is None
    with pytest.raises(ValueError, match="debayer"):
        rgb.debayer()


@pytest.mark.parametrize("start, pattern", [((0, 0), "GBRG"), ((1, 0), "BGGR"),
                                            ((0, 1), "RGGB"), ((1, 1), "GRBG"),
                                            ((3, 2), "BGGR")])
def test_bayer_pattern_follows_an_odd_origin(start, pattern):
    # The simulated colour cameras keep their regions on even pixels; real ones may not.
    assert camera._bayer_at("GBRG", *start) == pattern


def test_debayer_reproduces_a_flat_colour(fast):
    # A mosaic of a uniform colour: interpolation must give that colour everywhere.
    cell = {"R": 1000, "G": 2000, "B": 3000}
    mosaic = np.empty((8, 8), np.uint16)
    for index, colour in enumerate("GBRG"):
        row, column = divmod(index, 2)
        mosaic[row::2, column::2] = cell[colour]
    rgb = camera._demosaic(mosaic, "GBRG")
    assert np.array_equal(rgb, np.broadcast_to([1000, 2000, 3000], (8, 8, 3)))


def test_dark_bias_and_flat_frames(mono, fast):
    mono.snap(0.001, dark=True)
    mono.snap(0.001, frame_type="bias")
    mono.snap(0.001, frame_type="flat")
    assert [c["bIsDark"] for c in fast.calls("ASIStartExposure")] == [1, 1, 0]
    with pytest.raises(ValueError, match="a light frame cannot be taken with dark=True"):
        mono.snap(0.001, dark=True, frame_type="light")
    with pytest.raises(ValueError, match="frame_type must be one of light, dark, bias, flat"):
        mono.snap(0.001, frame_type="sky")


@pytest.mark.parametrize("arguments, error, message", [
    (("1",), TypeError, "exposure must be a number"),
    ((True,), TypeError, "exposure must be a number"),
    ((0,), ValueError, "exposure must be a finite number above 0"),
    ((float("nan"),), ValueError, "exposure must be a finite number"),
    ((timedelta(seconds=-1),), ValueError, "exposure must be a finite number above 0"),
    ((5000,), ValueError, r"exposure must be between 3.2e-05 and 2000 s .*, not 5000 s"),
    ((1, 1), TypeError, "dark must be a bool"),
    ((1, False, -1), ValueError, "timeout must be a finite number above 0"),
])
def test_bad_snap_arguments_reach_no_sdk_call(mono, fast, arguments, error, message):
    with pytest.raises(error, match=message):
        mono.snap(*arguments)
    assert not fast.calls("ASIStartExposure") and not fast.calls("ASISetControlValue")


def test_a_timeout_stops_the_exposure(journal):
    with Camera(MONO) as cam:
        cam.roi = Roi(64, 48)
        started = time.monotonic()
        with pytest.raises(camera.CaptureTimeout) as caught:
            cam.snap(30, timeout=0.2)
        assert time.monotonic() - started < 1
        assert isinstance(caught.value, asi.ASITimeout) and isinstance(caught.value, TimeoutError)
        assert len(journal.calls("ASIStopExposure")) == 1
        sim.fast_frames()
        assert cam.snap(0.001).pixels.shape == (48, 64)


def test_an_exposure_the_camera_fails(mono, fast):
    sim.script("ASIGetExpStatus", 0, struct.pack("i", asi.ExposureStatus.ASI_EXP_FAILED))
    with pytest.raises(camera.ExposureFailed, match="ended as ASI_EXP_FAILED"):
        mono.snap(0.001)
    sim.clear_scripts()
    assert mono.snap(0.001).pixels.shape == (48, 64)


def test_gps_frames_carry_their_fix(fast):
    with Camera(GPS) as cam:
        cam.roi = Roi(64, 48, 1, RAW16)
        frame = cam.snap(0.001)
    assert fast.calls("ASIGetDataAfterExpGPS") and frame.gps is not None
    assert abs(frame.started - datetime.now(UTC)) < timedelta(seconds=5)
    header = frame.fits_header()
    assert header["SITELAT"] == pytest.approx(frame.gps.latitude)
    assert "(GPS)" in header.comments["DATE-OBS"]


# Saving ----------------------------------------------------------------------------------


def test_fits_file_with_the_keywords_stacking_programs_read(fast, tmp_path):
    with Camera(GPS) as cam:
        cam.roi = Roi(64, 48, 2, RAW16)
        cam.controls["TargetTemp"].value, cam.controls["CoolerOn"].value = -5, 1
        cam.optics, cam.target = Optics(500, 80), Target("M 42", 83.8221, -5.3911)
        frame = cam.snap(0.25, frame_type="dark")
    path = frame.save(tmp_path / "dark.fits")
    with fits.open(path) as hdus:
        header, data = hdus[0].header, hdus[0].data
    assert np.array_equal(data, frame.pixels) and header["BITPIX"] == 16
    expected = {"IMAGETYP": "Dark Frame", "EXPTIME": 0.25, "INSTRUME": cam.info.name,
                "XBINNING": 2, "YBINNING": 2, "XPIXSZ": pytest.approx(4.8),
                "SET-TEMP": -5.0, "GAIN": frame.gain, "OFFSET": frame.offset,
                "BAYERPAT": "GBRG", "ROWORDER": "TOP-DOWN", "FOCALLEN": 500, "APTDIA": 80,
                "OBJECT": "M 42", "RA": pytest.approx(83.8221), "OBJCTDEC": "-05 23 27.96"}
    assert {key: header[key] for key in expected} == expected
    for key in ("DATE-OBS", "CCD-TEMP", "EGAIN", "SITELAT", "SITELONG", "SITEELEV"):
        assert key in header
    with pytest.raises(OSError):
        frame.save(path)


def test_colour_fits_and_stretched_png(fast, tmp_path):
    with Camera(GUIDE) as guide:
        guide.roi = Roi(64, 48, 1, RGB24)
        frame = guide.snap(0.05)
    with fits.open(frame.save(tmp_path / "colour.fit")) as hdus:
        assert np.array_equal(np.moveaxis(hdus[0].data, 0, 2), frame.pixels)
    with Image.open(frame.save(tmp_path / "colour.png")) as image:
        assert image.size == (64, 48) and image.mode == "RGB"
    with pytest.raises(ValueError, match="must end in .fits, .fit, .fts or .png"):
        frame.save(tmp_path / "colour.jpg")


@pytest.mark.parametrize("module, suffix, message", [
    ("astropy.io.fits", ".fits", "saving FITS needs astropy"),
    ("PIL.Image", ".png", "saving PNG needs Pillow"),
])
def test_missing_libraries_are_named(mono, monkeypatch, tmp_path, module, suffix, message):
    frame = mono.snap(0.001)
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError, match=message):
        frame.save(tmp_path / f"frame{suffix}")


# Video -----------------------------------------------------------------------------------


def test_video_frames_and_their_count(mono, fast):
    with mono.video(0.001, frames=5) as video:
        frames = list(video)
    assert [f.number for f in frames] == list(range(5)) and video.count == 5
    assert all(f.pixels.shape == (48, 64) and f.pixels.flags.writeable for f in frames)
    assert len(fast.calls("ASIStartVideoCapture")) == len(fast.calls("ASIStopVideoCapture")) == 1
    assert not video.running and video.dropped >= 0
    # Iterating without a with block starts and stops capture around the loop.
    for frame in mono.video(0.001):
        break
    assert len(fast.calls("ASIStopVideoCapture")) == 2
    assert mono.snap(0.001).pixels.shape == (48, 64)


def test_a_slow_consumer_loses_frames_visibly(mono):
    with mono.video(0.001, buffer=2, frames=4) as video:
        time.sleep(0.3)
        frames = list(video)
    assert len(frames) == 4 and video.discarded > 0
    numbers = [f.number for f in frames]
    assert numbers == sorted(numbers) and numbers[-1] > 3
    with video:  # again: counted afresh
        again = [f.number for f in video]
    assert video.count == 4 and again[0] < numbers[-1]


def test_stop_from_another_thread_ends_the_stream(mono):
    with mono.video(0.001) as video:
        threading.Timer(0.2, video.stop).start()
        started = time.monotonic()
        count = sum(1 for _ in video)
    assert count > 0 and time.monotonic() - started < 1


def test_controls_while_video_runs(mono):
    with mono.video(0.001, buffer=4) as video:
        for number, frame in enumerate(video):
            mono.controls["Gain"].value = 100 + number
            if number == 20:
                break
    assert mono.controls["Gain"].value == 120


def test_async_video(mono):
    async def main():
        frames = []
        async with mono.video(0.001, frames=3) as video:
            async for frame in video:
                frames.append(frame)
        async for frame in mono.video(0.001, frames=2):
            frames.append(frame)
        return frames

    assert [f.number for f in asyncio.run(main())] == [0, 1, 2, 0, 1]


def test_trigger_modes():
    with Camera(MONO) as cam:
        cam.roi = Roi(64, 48)
        cam.mode = asi.CameraMode.ASI_MODE_TRIG_SOFT_EDGE
        with cam.video(0.001, timeout=0.3) as video:
            cam.trigger()
            assert next(video).pixels.shape == (48, 64)
            # No trigger, no frame: the time-out says so.
            with pytest.raises(camera.CaptureTimeout, match="no video frame from camera 0"):
                next(video)
        cam.mode = asi.CameraMode.ASI_MODE_NORMAL
    with Camera(GUIDE) as guide, pytest.raises(camera.NotSupported, match="no trigger"):
        guide.mode = asi.CameraMode.ASI_MODE_TRIG_SOFT_EDGE


def test_hardware_trigger_stream():
    with Camera(MONO) as cam:
        cam.roi = Roi(64, 48)
        cam.mode = asi.CameraMode.ASI_MODE_TRIG_RISE_EDGE
        with cam.video(0.001) as video:
            sim.trigger(MONO)
            assert next(video).number == 0
        assert video._wait == float("inf")  # a trigger stream waits without a limit


def test_a_camera_that_stops_answering_ends_the_stream():
    # Every call fails, closing included: the failures end up as notes on the first.
    sim.fast_frames()
    started = time.monotonic()
    with pytest.raises(asi.ASICameraRemoved) as caught:
        with Camera(MONO) as cam:
            cam.roi = Roi(64, 48)
            with cam.video(0.001) as video:
                next(video)
                for function in ("ASIGetVideoData", "ASIGetDroppedFrames",
                                 "ASIStopVideoCapture", "ASICloseCamera"):
                    sim.fail(function, asi.ASICameraRemoved, times=-1)
                for _ in video:
                    pass
    assert time.monotonic() - started < 1
    notes = caught.value.__notes__
    assert notes[0] == ("while reading a 64x48 RAW8 video frame from camera 0 "
                        "(Simulated Mono Cooled)")
    # A capture ends with its camera: only the failed close is worth a note.
    assert [n.split(" failed too")[0] for n in notes[1:]] == [
        "closing camera 0 (Simulated Mono Cooled)"]
    assert cam.closed and not video.running


def test_an_unplugged_camera_ends_the_stream(mono):
    with mono.video(0.001) as video:
        next(video)
        sim.unplug(MONO)
        with pytest.raises(asi.ASICameraRemoved) as caught:
            for _ in video:
                pass
    assert "video frame from camera 0 (Simulated Mono Cooled)" in note(caught.value)


# Cooling ---------------------------------------------------------------------------------


def test_cooling_to_a_temperature_and_warming_up():
    settles_quickly()
    readings = []
    with Camera(MONO) as cam:
        reached = cam.cool_to(-5, settle=0.05,
                              progress=lambda temperature, power: readings.append(power))
        assert abs(reached + 5) <= 0.5 and readings
        assert (cam.controls["CoolerOn"].value, cam.controls["TargetTemp"].value) == (1, -5)
        cam.warm_up()
        assert cam.controls["CoolerOn"].value == 0


def test_cooling_beyond_what_the_cooler_can():
    settles_quickly(ambient_c=25)  # the cooler holds 35 °C below ambient at most
    with Camera(MONO) as cam:
        with pytest.raises(camera.CoolingError, match=r"cannot reach -40 °C: .* -10.0 °C"):
            cam.cool_to(-40, stall=0.2)


def test_snaps_while_cooling_waits():
    settles_quickly(cooling_rate=0.5)
    sim.fast_frames()
    with Camera(MONO) as cam:
        cam.roi = Roi(64, 48)
        outcome = []
        cooler = threading.Thread(target=lambda: outcome.append(
            pytest.raises(camera.CoolingTimeout, cam.cool_to, -20, timeout=1)))
        cooler.start()
        time.sleep(0.1)
        started = time.monotonic()
        cam.snap(0.001)
        assert time.monotonic() - started < 0.5
        cooler.join()
    assert outcome


def test_cooling_progress_bar_on_a_terminal(monkeypatch, capsys):
    settles_quickly()
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
    with Camera(MONO) as cam:
        cam.cool_to(5, settle=0.05, progress=True)
    assert "cooling to 5 °C" in capsys.readouterr().err


def test_cooling_that_takes_too_long():
    settles_quickly(cooling_rate=0.01)
    with Camera(MONO) as cam, pytest.raises(camera.CoolingTimeout, match="in 0.2 s"):
        cam.cool_to(-10, timeout=0.2)


@pytest.mark.parametrize("arguments, error, message", [
    (("-5",), TypeError, "celsius must be a number"),
    ((-80,), ValueError, "celsius must be between -40 and 30"),
    ((-5, 0), ValueError, "timeout must be a finite number above 0"),
])
def test_bad_cooling_arguments(mono, fast, arguments, error, message):
    with pytest.raises(error, match=message):
        mono.cool_to(*arguments[:1], **({"timeout": arguments[1]} if arguments[1:] else {}))
    assert not fast.calls("ASISetControlValue")


def test_cameras_without_cooler_or_guide_port(fast):
    with Camera(GUIDE) as guide, pytest.raises(camera.NotSupported, match="no cooler"):
        guide.cool_to(0)
    with Camera(GPS) as gps, pytest.raises(camera.NotSupported, match="no ST4 guide port"):
        gps.pulse_guide("north", 0.1)


# Guiding ---------------------------------------------------------------------------------


def guide_calls(journal):
    return [(c.function.removeprefix("ASIPulseGuide"),
             asi.GuideDirection(c["direction"]).name[10:])
            for c in journal.calls() if c.function.startswith("ASIPulseGuide")]


def test_a_blocking_pulse_lasts_its_time(mono, fast):
    started = time.monotonic()
    pulse = mono.pulse_guide(asi.GuideDirection.ASI_GUIDE_WEST, 0.1)
    assert 0.1 <= time.monotonic() - started < 0.3 and pulse.done
    assert guide_calls(fast) == [("On", "WEST"), ("Off", "WEST")]


def test_pulses_in_both_axes_at_once(mono, fast):
    north = mono.pulse_guide("north", 0.2, wait=False)
    east = mono.pulse_guide("E", 0.05, wait=False)
    assert not north.done
    assert east.wait(1) and north.wait(1)
    assert guide_calls(fast) == [("On", "NORTH"), ("On", "EAST"), ("Off", "EAST"),
                                 ("Off", "NORTH")]


def test_a_new_pulse_in_an_axis_ends_the_running_one(mono, fast):
    first = mono.pulse_guide("south", 5, wait=False)
    started = time.monotonic()
    mono.pulse_guide("north", 0.05)
    assert first.done and time.monotonic() - started < 1
    assert guide_calls(fast) == [("On", "SOUTH"), ("Off", "SOUTH"), ("On", "NORTH"),
                                 ("Off", "NORTH")]


def test_closing_ends_a_running_pulse(fast):
    with Camera(MONO) as cam:
        pulse = cam.pulse_guide("west", 30, wait=False)
    assert pulse.done and guide_calls(fast)[-1] == ("Off", "WEST")


@pytest.mark.parametrize("arguments, error, message", [
    (("up", 1), ValueError, "direction must be north, south, east or west"),
    ((0, 1), TypeError, "direction must be an asi.GuideDirection"),
    (("north", -1), ValueError, "seconds must be a finite number above 0"),
    (("north", "1"), TypeError, "seconds must be a number"),
])
def test_bad_pulses(mono, fast, arguments, error, message):
    with pytest.raises(error, match=message):
        mono.pulse_guide(*arguments)
    assert not guide_calls(fast)


# Failures at every step ------------------------------------------------------------------


def snap(cam):
    cam.snap(0.001)


def video(cam):
    with cam.video(0.001, frames=3) as stream:
        list(stream)


def buffered_video(cam):
    with cam.video(0.001, frames=3, buffer=2) as stream:
        list(stream)


def cooling(cam):
    cam.cool_to(10, settle=0.01)


def guiding(cam):
    cam.pulse_guide("north", 0.01)


def background_guiding(cam):
    cam.pulse_guide("east", 0.01, wait=False).wait()


STEPS = [
    (snap, "ASISetControlValue", "while preparing a 0.001 s exposure (64x48 RAW16)"),
    (snap, "ASIGetROIFormat", "while preparing a 0.001 s exposure with camera 0"),
    (snap, "ASIStartExposure", "while taking a 0.001 s exposure (64x48 RAW16) with camera 0"),
    (snap, "ASIGetExpStatus", "while taking"),
    (snap, "ASIGetDataAfterExp", "while reading a 64x48 RAW16 frame from camera 0 (Simulated"),
    (snap, "ASIGetControlValue", "while reading"),
    (video, "ASIStartVideoCapture", "while starting video (64x48 RAW16) on camera 0"),
    (video, "ASIGetVideoData", "while reading a 64x48 RAW16 video frame from camera 0"),
    (buffered_video, "ASIGetVideoData", "while reading a 64x48 RAW16 video frame"),
    (cooling, "ASISetControlValue", "while cooling camera 0 (Simulated Mono Cooled) to 10 °C"),
    (cooling, "ASIGetControlValue", "while cooling"),
    (guiding, "ASIPulseGuideOn", "while starting a 0.01 s guide pulse north on camera 0"),
]


@pytest.mark.parametrize("error", [asi.ASIGeneralError, asi.ASICameraClosed])
@pytest.mark.parametrize("operation, function, expected_note", STEPS,
                         ids=[f"{op.__name__}-{fn}" for op, fn, _ in STEPS])
def test_a_failing_step_leaves_the_camera_usable(journal, operation, function, expected_note,
                                                 error):
    settles_quickly()
    sim.fast_frames()
    with Camera(MONO) as cam:
        cam.roi = Roi(64, 48, 1, RAW16)
        sim.fail(function, error)
        with pytest.raises(error) as caught:
            operation(cam)
        if expected_note is not None:
            assert expected_note in note(caught.value)
        for next_operation in (snap, video, guiding):
            next_operation(cam)
    assert len(journal.calls("ASIPulseGuideOn")) == len(journal.calls("ASIPulseGuideOff"))


SINGLE_CALLS = [
    (lambda cam: cam.temperature, "ASIGetControlValue", "reading the temperature of camera 0"),
    (lambda cam: cam.controls["Gain"].value, "ASIGetControlValue", "reading Gain of camera 0"),
    (lambda cam: setattr(cam.controls["Gain"], "value", 5), "ASISetControlValue",
     "setting Gain to 5 on camera 0"),
    (lambda cam: cam.roi, "ASIGetStartPos", "reading the region of camera 0"),
    (lambda cam: cam.mode, "ASIGetCameraMode", "reading the mode of camera 0"),
    (lambda cam: setattr(cam, "mode", asi.CameraMode.ASI_MODE_TRIG_SOFT_EDGE),
     "ASISetCameraMode", "switching camera 0 (Simulated Mono Cooled) to ASI_MODE_TRIG_SOFT_EDGE"),
    (lambda cam: cam.trigger(), "ASISendSoftTrigger", "sending a software trigger to camera 0"),
    (lambda cam: cam.warm_up(), "ASISetControlValue", "switching the cooler of camera 0"),
]


@pytest.mark.parametrize("operation, function, expected_note", SINGLE_CALLS,
                         ids=[fn for _, fn, _ in SINGLE_CALLS])
def test_single_calls_name_what_failed(mono, operation, function, expected_note):
    sim.fail(function, asi.ASIGeneralError)
    with pytest.raises(asi.ASIGeneralError) as caught:
        operation(mono)
    assert note(caught.value).startswith(f"while {expected_note}")


STOPS = [
    (video, "ASIStopVideoCapture", "while stopping video on camera 0"),
    (guiding, "ASIPulseGuideOff", "while ending a guide pulse north on camera 0"),
    (background_guiding, "ASIPulseGuideOff", "while ending a guide pulse east on camera 0"),
]


@pytest.mark.parametrize("operation, function, expected_note", STOPS,
                         ids=[f"{op.__name__}-{fn}" for op, fn, _ in STOPS])
def test_stopping_gets_a_second_try(journal, operation, function, expected_note):
    # Video left running keeps the camera busy, a pulse left on moves the mount.
    sim.fast_frames()
    with Camera(MONO) as cam:
        cam.roi = Roi(64, 48, 1, RAW16)
        sim.fail(function, asi.ASIGeneralError)
        operation(cam)
        assert len(journal.calls(function)) == 2
        snap(cam)
        sim.fail(function, asi.ASIGeneralError, times=2)
        with pytest.raises(asi.ASIGeneralError) as caught:
            operation(cam)
        assert expected_note in note(caught.value)


# Logging ---------------------------------------------------------------------------------


def test_logging_every_sdk_call(mono, caplog):
    original = asi.get_control_value
    caplog.set_level(logging.DEBUG, logger="halvarine.corvantis.asi")
    camera.log_sdk_calls()
    camera.log_sdk_calls()  # twice: still one line per call
    mono.controls["Gain"].value = 5
    assert mono.controls["Gain"].value == 5
    with pytest.raises(asi.ASIInvalidID):
        asi.open_camera(99)
    camera.log_sdk_calls(False)
    assert asi.get_control_value is original
    mono.controls["Gain"].value = 6
    assert caplog.messages == [
        "set_control_value(0, ASI_GAIN, 5, False)", "  -> status 0 (ASISuccess)",
        "get_control_value(0, ASI_GAIN)", "  -> status 0 (ASISuccess)",
        "open_camera(99)", "  -> status 2 (ASIInvalidID)",
    ]


# Random sessions -------------------------------------------------------------------------

FAILING_FUNCTIONS = ["ASISetControlValue", "ASIGetControlValue", "ASIGetROIFormat",
                     "ASISetROIFormat", "ASISetStartPos", "ASIStartExposure", "ASIGetExpStatus",
                     "ASIGetDataAfterExp", "ASIStopExposure", "ASIStartVideoCapture",
                     "ASIGetVideoData", "ASIStopVideoCapture", "ASIGetDroppedFrames",
                     "ASIPulseGuideOn", "ASIPulseGuideOff"]


class Session(RuleBasedStateMachine):
    """Random operations, some with an SDK failure injected: each either works or raises
    the asi exception with a note, and the camera is never left busy."""

    def __init__(self):
        super().__init__()
        sim.load_config({"cooling_rate": 1000})
        sim.fast_frames()
        self.cam = Camera(MONO)
        self.cam.roi = Roi(64, 48)
        self.failing = None

    def attempt(self, operation):
        try:
            operation()
        except asi.ASIError as error:
            assert self.failing is not None, "an SDK failure without one injected"
            assert "camera 0 (Simulated Mono Cooled)" in note(error)
        finally:
            sim.clear_failures()
            self.failing = None
        assert not self.cam._videos and asi.get_exp_status(MONO) != 1

    @rule(function=st.sampled_from(FAILING_FUNCTIONS),
          error=st.sampled_from([asi.ASIGeneralError, asi.ASITimeout, asi.ASICameraRemoved]))
    def fail_next(self, function, error):
        sim.fail(function, error)
        self.failing = function

    @rule(image_type=st.sampled_from([RAW8, RAW16, Y8]), binning=st.sampled_from([1, 2]),
          width=st.integers(1, 8).map(lambda n: 8 * n), height=st.integers(1, 8).map(
              lambda n: 2 * n))
    def region(self, image_type, binning, width, height):
        roi = Roi(width, height, binning, image_type)
        self.attempt(lambda: setattr(self.cam, "roi", roi))

    @rule(dark=st.booleans())
    def snap(self, dark):
        self.attempt(lambda: self.cam.snap(0.001, dark))

    @rule(frames=st.integers(1, 3), buffer=st.sampled_from([0, 2]))
    def video(self, frames, buffer):
        def run():
            with self.cam.video(0.001, frames=frames, buffer=buffer, timeout=1) as stream:
                assert len(list(stream)) == frames
        self.attempt(run)

    @rule(gain=st.integers(0, 300))
    def gain(self, gain):
        self.attempt(lambda: setattr(self.cam.controls["Gain"], "value", gain))

    @rule(direction=st.sampled_from(["north", "south", "east", "west"]), wait=st.booleans())
    def pulse(self, direction, wait):
        self.attempt(lambda: self.cam.pulse_guide(direction, 0.002, wait=wait).wait())

    @rule(celsius=st.integers(-10, 10))
    def cool(self, celsius):
        self.attempt(lambda: self.cam.cool_to(celsius, settle=0.001))

    def teardown(self):
        sim.clear_failures()
        self.cam.snap(0.001)
        with self.cam.video(0.001, frames=1) as stream:
            next(stream)
        self.cam.close()


def test_random_sessions_with_failures():
    run_state_machine_as_test(Session, settings=settings(
        max_examples=30, stateful_step_count=12, deadline=None,
        suppress_health_check=list(HealthCheck)))
