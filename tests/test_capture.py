"""Camera lifecycle, snap exposures, video capture, camera modes and triggers."""

import struct
import threading
import time
import tracemalloc

import pytest

import asi
from halvarine.corvantis import sim
from leaks import assert_failing_call_leaks_nothing

FRAME = 64 * 64  # bytes of a 64x64 RAW8 image, the region these tests use
PINA, PINB = asi.TrigOutput.ASI_TRIG_OUTPUT_PINA, asi.TrigOutput.ASI_TRIG_OUTPUT_PINB

# Every function that takes a camera ID, with its arguments after the ID.
PER_CAMERA = [
    ("init_camera", ()),
    ("start_exposure", (False,)),
    ("stop_exposure", ()),
    ("get_exp_status", ()),
    ("get_data_after_exp", (FRAME,)),
    ("get_data_after_exp_gps", (FRAME,)),
    ("start_video_capture", ()),
    ("stop_video_capture", ()),
    ("get_video_data", (FRAME, 0)),
    ("get_video_data_gps", (FRAME, 0)),
    ("get_dropped_frames", ()),
    ("get_camera_support_mode", ()),
    ("get_camera_mode", ()),
    ("set_camera_mode", (asi.CameraMode.ASI_MODE_NORMAL,)),
    ("send_soft_trigger", (True,)),
    ("set_trigger_output_io_conf", (PINA, True, 0, 10)),
    ("get_trigger_output_io_conf", (0,)),
]

# The four image readers: SDK function, arguments after the size, image type, GPS record.
IMAGE_CALLS = {
    "get_data_after_exp": ("ASIGetDataAfterExp", (), bytes, False),
    "get_data_after_exp_gps": ("ASIGetDataAfterExpGPS", (), bytes, True),
    "get_video_data": ("ASIGetVideoData", (1000,), bytearray, False),
    "get_video_data_gps": ("ASIGetVideoDataGPS", (1000,), bytes, True),
}


def read_image(name, size, camera_id=0):
    """(image, GpsData or None) from one of the four image readers."""
    _, rest, _, gps = IMAGE_CALLS[name]
    result = getattr(asi, name)(camera_id, size, *rest)
    if gps:
        assert type(result) is tuple and len(result) == 2
        return result
    return result, None


@pytest.fixture
def small(opened, journal):
    """Camera 0 with a 64x64 RAW8 region and a 1 ms exposure; journal cleared."""
    asi.set_roi_format(0, 64, 64, 1, asi.ImgType.IMG_RAW8)
    asi.set_control_value(0, asi.ControlType.ASI_EXPOSURE, 1000, False)
    journal.clear()
    return 0


@pytest.fixture
def idle_video(small, journal):
    """Video running on camera 0 with a one-minute exposure: no frame arrives soon."""
    asi.set_control_value(0, asi.ControlType.ASI_EXPOSURE, 60_000_000, False)
    asi.start_video_capture(0)
    journal.clear()
    return 0


def make_ready(name):
    """Puts camera 0 where `name` can deliver an image (fast frames on)."""
    if "video" in name:
        asi.start_video_capture(0)
    else:
        asi.start_exposure(0, False)
        assert asi.get_exp_status(0) == asi.ExposureStatus.ASI_EXP_SUCCESS


# ---------------------------------------------------------------------------------------
# Lifecycle


def test_lifecycle_reaches_the_sdk_in_order(journal):
    with pytest.raises(asi.ASICameraClosed):
        asi.init_camera(0)
    assert asi.open_camera(0) is None
    with pytest.raises(asi.ASIInvalidSequence):
        asi.start_exposure(0, False)  # opened, not initialised
    assert asi.init_camera(camera_id=0) is None
    assert asi.get_exp_status(0) == asi.ExposureStatus.ASI_EXP_IDLE
    assert asi.close_camera(0) is None
    with pytest.raises(asi.ASICameraClosed):
        asi.get_exp_status(0)
    assert [(c.function, c["iCameraID"]) for c in journal.calls()] == [
        ("ASIInitCamera", 0), ("ASIOpenCamera", 0), ("ASIStartExposure", 0),
        ("ASIInitCamera", 0), ("ASIGetExpStatus", 0), ("ASICloseCamera", 0),
        ("ASIGetExpStatus", 0)]


@pytest.mark.parametrize("name, rest", PER_CAMERA + [("open_camera", ()), ("close_camera", ())],
                         ids=lambda v: v if isinstance(v, str) else "")
def test_unknown_camera_is_reported_by_the_sdk(name, rest, journal):
    with pytest.raises(asi.ASIInvalidID, match=r"^ASI error code 2\.$"):
        getattr(asi, name)(7, *rest)
    assert [c["iCameraID"] for c in journal.calls()] == [7]


@pytest.mark.parametrize("name, rest", PER_CAMERA, ids=lambda v: v if isinstance(v, str) else "")
def test_closed_camera_is_reported_by_the_sdk(name, rest, journal):
    with pytest.raises(asi.ASICameraClosed, match=r"^ASI error code 4\.$"):
        getattr(asi, name)(1, *rest)
    assert [c["iCameraID"] for c in journal.calls()] == [1]


# ---------------------------------------------------------------------------------------
# Snap exposure


def test_snap_exposure_end_to_end(small, journal):
    assert asi.start_exposure(0, False) is None
    while (status := asi.get_exp_status(0)) == asi.ExposureStatus.ASI_EXP_WORKING:
        time.sleep(0.001)
    assert type(status) is int and status == 2
    image = asi.get_data_after_exp(0, FRAME + 100)
    assert type(image) is bytes and len(image) == FRAME + 100
    assert image[:FRAME] != bytes(FRAME)
    assert image[FRAME:] == bytes(100)  # beyond the image: the zero fill
    assert journal.calls("ASIGetDataAfterExp")[0]["lBuffSize"] == FRAME + 100


def test_stopped_exposure_has_no_image(small):
    asi.set_control_value(0, asi.ControlType.ASI_EXPOSURE, 10_000_000, False)
    asi.start_exposure(0, True)
    assert asi.stop_exposure(0) is None
    assert asi.get_exp_status(0) == asi.ExposureStatus.ASI_EXP_FAILED
    with pytest.raises(asi.ASIGeneralError):
        asi.get_data_after_exp(0, FRAME)


# ---------------------------------------------------------------------------------------
# Image buffers, shared by the snap and video readers


@pytest.mark.parametrize("name", IMAGE_CALLS)
def test_too_small_buffer_is_refused_by_the_sdk(name, small, journal):
    sim.fast_frames()
    make_ready(name)
    with pytest.raises(asi.ASIBufferTooSmall, match=r"^ASI error code 13\.$"):
        read_image(name, FRAME - 1)
    assert journal.calls(IMAGE_CALLS[name][0])[0]["lBuffSize"] == FRAME - 1


@pytest.mark.parametrize("name", IMAGE_CALLS)
def test_empty_buffer_is_a_valid_pointer_of_size_zero(name, small, journal):
    sdk_name, _, image_type, _ = IMAGE_CALLS[name]
    sim.fail(sdk_name, 0)
    image, _ = read_image(name, 0)
    assert type(image) is image_type and len(image) == 0
    [call] = journal.calls()
    assert (call["pBuffer"], call["lBuffSize"]) == ("ptr", 0)


@pytest.mark.parametrize("name", IMAGE_CALLS)
def test_negative_size_is_bytearrays_error_without_sdk_call(name, small, journal, monkeypatch):
    monkeypatch.delattr(asi, "handle_error_code")
    with pytest.raises(ValueError, match=r"^negative count$"):
        read_image(name, -1)
    assert journal.calls() == []


# ---------------------------------------------------------------------------------------
# Video


def test_video_frames_and_dropped_count(small, journal):
    sim.fast_frames()
    assert asi.start_video_capture(0) is None
    frame = asi.get_video_data(0, FRAME, 1000)
    assert type(frame) is bytearray and len(frame) == FRAME and any(frame)
    image, gps = asi.get_video_data_gps(camera_id=0, buffer_size=FRAME, wait_ms=1000)
    assert type(image) is bytes and len(image) == FRAME and type(gps) is asi.GpsData
    dropped = asi.get_dropped_frames(0)
    assert type(dropped) is int and dropped == 0
    assert asi.stop_video_capture(0) is None
    with pytest.raises(asi.ASIInvalidSequence):
        asi.get_video_data(0, FRAME, 0)
    assert [c["iWaitms"] for c in journal.calls("ASIGetVideoData")] == [1000, 0]


def test_dropped_frames_is_what_the_sdk_wrote(opened):
    sim.script("ASIGetDroppedFrames", 0, struct.pack("<i", 7))
    assert asi.get_dropped_frames(0) == 7


def test_timeout_when_no_frame_arrives(idle_video):
    with pytest.raises(asi.ASITimeout, match=r"^ASI error code 11\.$"):
        asi.get_video_data(0, FRAME, 0)


def test_get_video_data_converts_before_allocating(small, journal):
    tracemalloc.start()
    try:
        with pytest.raises(OverflowError, match=r"^value too large to convert to int$"):
            asi.get_video_data(0, 2**31, 0)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 2**20
    # The C int conversion of wait_ms comes before the buffer, unlike in the GPS twin.
    with pytest.raises(OverflowError):
        asi.get_video_data(0, -1, 2**31)
    with pytest.raises(ValueError, match=r"^negative count$"):
        asi.get_video_data_gps(0, -1, 2**31)
    assert journal.calls() == []


def test_waiting_reader_lets_python_run_and_is_released_by_stop(idle_video, journal):
    outcome = []

    def reader():
        try:
            outcome.append(asi.get_video_data(0, FRAME, 10_000))
        except Exception as error:
            outcome.append(error)

    thread = threading.Thread(target=reader)
    thread.start()
    try:
        # Python runs here while the reader sits in the SDK's wait.
        deadline = time.monotonic() + 5
        while not journal.calls("ASIGetVideoData") and time.monotonic() < deadline:
            time.sleep(0.001)
        iterations = sum(1 for _ in range(100_000))
        assert asi.get_dropped_frames(0) == 0  # another module call on the same camera
        assert thread.is_alive() and iterations == 100_000
        asi.stop_video_capture(0)
    finally:
        thread.join(timeout=10)
    assert not thread.is_alive()
    [error] = outcome
    assert type(error) is asi.ASIInvalidSequence


# Under valgrind a spinning thread can starve the waiting one past its timeout.
@pytest.mark.no_valgrind
@pytest.mark.parametrize("name, lock_released", [("get_video_data", True),
                                                 ("get_video_data_gps", False)])
def test_other_threads_run_during_the_wait_only_without_gps(name, lock_released, idle_video,
                                                            journal, monkeypatch):
    sdk_name = IMAGE_CALLS[name][0]
    returned = []  # filled by the handler, in C, while the interpreter lock is still held
    monkeypatch.setattr(asi, "handle_error_code", returned.append)
    counts = {"all": 0, "during_call": 0}
    stop = threading.Event()

    def counter():
        while not stop.is_set():
            in_call = bool(journal.calls(sdk_name))  # the journal shows the call once it started
            if in_call and not returned:
                counts["during_call"] += 1
            counts["all"] += 1

    thread = threading.Thread(target=counter)
    thread.start()
    try:
        while counts["all"] == 0:
            time.sleep(0.001)
        getattr(asi, name)(0, FRAME, 300)  # no frame comes: the SDK times out
    finally:
        stop.set()
        thread.join()
    assert returned == [11]
    assert (counts["during_call"] > 0) is lock_released


# ---------------------------------------------------------------------------------------
# Camera modes and triggers


def test_supported_modes_are_a_new_list_of_members(opened):
    modes = asi.get_camera_support_mode(0)
    assert type(modes) is list
    assert modes == [asi.CameraMode(v) for v in range(7)]
    assert all(type(m) is asi.CameraMode for m in modes)
    assert asi.get_camera_support_mode(0) is not modes


def test_camera_mode_round_trip_reads_only_value(opened, journal):
    mode = asi.get_camera_mode(0)
    assert type(mode) is asi.CameraMode and mode is asi.CameraMode.ASI_MODE_NORMAL
    # Any object with a fitting value will do, even a member of another enumeration.
    assert asi.set_camera_mode(0, asi.ImgType.IMG_RGB24) is None
    assert asi.get_camera_mode(0) is asi.CameraMode.ASI_MODE_TRIG_SOFT_EDGE
    assert journal.calls("ASISetCameraMode")[0]["mode"] == 1
    journal.clear()
    with pytest.raises(AttributeError):
        asi.set_camera_mode(0, 0)
    assert journal.calls() == []


def test_soft_trigger_releases_one_frame(small, journal):
    asi.set_camera_mode(0, asi.CameraMode.ASI_MODE_TRIG_SOFT_EDGE)
    asi.start_video_capture(0)
    with pytest.raises(asi.ASITimeout):
        asi.get_video_data(0, FRAME, 0)
    assert asi.send_soft_trigger(0, True) is None
    assert len(asi.get_video_data(0, FRAME, 5000)) == FRAME
    assert [c["bStart"] for c in journal.calls("ASISendSoftTrigger")] == [1]


def test_trigger_output_round_trip(opened, journal):
    assert asi.set_trigger_output_io_conf(0, PINB, "high", 100.7, 2000) is None
    assert asi.get_trigger_output_io_conf(0, 1) == (True, 100, 2000)
    assert asi.get_trigger_output_io_conf(0, PINB) == (True, 100, 2000)
    asi.set_trigger_output_io_conf(0, PINB, 0, 5, 6)
    result = asi.get_trigger_output_io_conf(0, PINB)
    assert result == (False, 5, 6) and [type(v) for v in result] == [bool, int, int]
    assert [c.args for c in journal.calls("ASISetTriggerOutputIOConf")] == [
        {"iCameraID": 0, "pin": 1, "bPinHigh": 1, "lDelay": 100, "lDuration": 2000},
        {"iCameraID": 0, "pin": 1, "bPinHigh": 0, "lDelay": 5, "lDuration": 6}]
    assert [c["pin"] for c in journal.calls("ASIGetTriggerOutputIOConf")] == [1, 1, 1]


@pytest.mark.parametrize("level, expected", [(0, False), (1, True), (7, True), (-1, True)])
def test_trigger_output_level_is_a_bool(level, expected, opened):
    sim.script("ASIGetTriggerOutputIOConf", 0, struct.pack("<i", level))
    sim.script("ASIGetTriggerOutputIOConf", 1, struct.pack("l", -5))
    assert asi.get_trigger_output_io_conf(0, 0)[:2] == (expected, -5)
    assert asi.get_trigger_output_io_conf(0, 0)[0] is expected


@pytest.mark.parametrize("name, rest", [p for p in PER_CAMERA if "mode" in p[0] or "trig" in p[0]],
                         ids=lambda v: v if isinstance(v, str) else "")
def test_camera_without_trigger_refuses_modes_and_triggers(name, rest):
    asi.open_camera(1)
    asi.init_camera(1)
    with pytest.raises(asi.ASIInvalidMode, match=r"^ASI error code 17\.$"):
        getattr(asi, name)(1, *rest)


# ---------------------------------------------------------------------------------------
# Failure paths release what they made


@pytest.mark.parametrize("sdk_name, call", [
    ("ASIGetDataAfterExpGPS", lambda: asi.get_data_after_exp_gps(0, FRAME)),
    ("ASIGetVideoData", lambda: asi.get_video_data(0, FRAME, 0)),
    ("ASIGetVideoDataGPS", lambda: asi.get_video_data_gps(0, FRAME, 0)),
    ("ASIGetCameraSupportMode", lambda: asi.get_camera_support_mode(0)),
    ("ASIGetTriggerOutputIOConf", lambda: asi.get_trigger_output_io_conf(0, 0)),
], ids=lambda v: v if isinstance(v, str) else "")
@pytest.mark.unjournaled
def test_failing_calls_leak_nothing(sdk_name, call, opened):
    sim.fail(sdk_name, 16, -1)

    assert_failing_call_leaks_nothing(call, asi.ASIGeneralError,
                                      (asi.GpsData, asi.SupportedMode))
