"""Controls, region of interest, guiding, dark subtraction, gain presets and the GPS query."""

import datetime
import struct
import time

import pytest

import asi
from halvarine.corvantis import sim
from leaks import assert_failing_call_leaks_nothing

CT = asi.ControlType
RAW8, RAW16 = asi.ImgType.IMG_RAW8, asi.ImgType.IMG_RAW16
GUIDE_WIDTH, GUIDE_HEIGHT = 1936, 1096  # sensor of camera 1, which takes the dark frames


@pytest.fixture
def cameras(journal):
    """All three cameras opened and initialised; the journal cleared."""
    for camera_id in range(3):
        asi.open_camera(camera_id)
        asi.init_camera(camera_id)
    journal.clear()


def write_bmp(path, width, height, bits=8, level=0):
    """An uncompressed bottom-up BMP of one grey level: 8-bit with a grey palette, or 24-bit."""
    stride = (width * bits + 31) // 32 * 4
    palette = b"".join(bytes((i, i, i, 0)) for i in range(256)) if bits == 8 else b""
    offset = 14 + 40 + len(palette)
    row = bytes([level]) * (width * bits // 8)
    pixels = row.ljust(stride, b"\0") * height
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, len(pixels), 2835, 2835,
                       256 if bits == 8 else 0, 0)
    path.write_bytes(header + info + palette + pixels)
    return str(path)


def gps_data(year, altitude):
    """An ASI_GPS_DATA with this year and altitude."""
    return sim.pack(asi.GpsData(), year=year, month=6, day=15, hour=12, minute=30, second=45,
                    m_second=123, u_second=456, latitude=47.5, longitude=8.5,
                    altitude=altitude, satellite_num=7)


# ---------------------------------------------------------------------------------------
# Controls


@pytest.mark.parametrize("camera_id, cooled, colour, gps", [(0, True, False, False),
                                                           (1, False, True, False),
                                                           (2, True, True, True)])
def test_control_caps_describe_the_model(camera_id, cooled, colour, gps, cameras, journal):
    count = asi.get_num_of_controls(camera_id=camera_id)
    assert type(count) is int and count > 0
    caps = [asi.get_control_caps(camera_id, index) for index in range(count)]
    assert [c["iControlIndex"] for c in journal.calls("ASIGetControlCaps")] == list(range(count))
    by_type = {c.control_type: c for c in caps}
    assert len(by_type) == count == len({c.name for c in caps})
    for c in caps:
        assert type(c.control_type) is CT and c.name and c.description
        assert c.min_value <= c.default_value <= c.max_value
    assert by_type[CT.ASI_GAIN].name == "Gain"
    assert by_type[CT.ASI_GAIN].is_writable and by_type[CT.ASI_GAIN].is_auto_supported
    assert not by_type[CT.ASI_TEMPERATURE].is_writable
    assert (CT.ASI_COOLER_ON in by_type) is cooled
    assert (CT.ASI_WB_R in by_type) is colour
    assert (CT.ASI_GPS_START_LINE in by_type) is gps
    with pytest.raises(asi.ASIInvalidControlType):
        asi.get_control_caps(camera_id, count)


@pytest.mark.parametrize("camera_id", [0, 1, 2])
def test_controls_keep_to_their_caps(camera_id, cameras):
    for index in range(asi.get_num_of_controls(camera_id)):
        caps = asi.get_control_caps(camera_id, index)
        kind = caps.control_type
        if not caps.is_writable:
            with pytest.raises(asi.ASIGeneralError):
                asi.set_control_value(camera_id, kind, caps.default_value, False)
            continue
        for value in (caps.min_value, caps.max_value):
            asi.set_control_value(camera_id, kind, value, False)
            assert asi.get_control_value(camera_id, kind) == (value, False)
        for value in (caps.min_value - 1, caps.max_value + 1):
            with pytest.raises(asi.ASIGeneralError, match=r"^ASI error code 16\.$"):
                asi.set_control_value(camera_id, kind, value, False)


def test_control_caps_index_is_checked_by_the_sdk(opened, journal):
    with pytest.raises(asi.ASIInvalidControlType):
        asi.get_control_caps(0, -1)
    assert journal.calls("ASIGetControlCaps")[-1]["iControlIndex"] == -1


def test_control_value_is_int_and_exact_bool(opened):
    value, auto = asi.get_control_value(0, CT.ASI_GAIN)
    assert type(value) is int and auto is False
    sim.script("ASIGetControlValue", 0, struct.pack("l", -123456))
    sim.script("ASIGetControlValue", 1, struct.pack("<i", 5))
    result = asi.get_control_value(0, CT.ASI_GAIN)
    assert result == (-123456, True) and result[1] is True


@pytest.mark.parametrize("value, auto_mode, stored", [
    (100.9, False, (100, False)),  # the integer coercion truncates
    (150, "auto", (150, True)),
    (200, None, (200, False)),
])
def test_set_control_value(value, auto_mode, stored, opened, journal):
    assert asi.set_control_value(0, CT.ASI_GAIN, value, auto_mode) is None
    assert asi.get_control_value(0, CT.ASI_GAIN) == stored
    [call] = journal.calls("ASISetControlValue")
    assert call.args == {"iCameraID": 0, "ControlType": 0, "lValue": stored[0],
                         "bAuto": int(stored[1])}


def test_control_type_is_read_through_its_value(opened, journal):
    for call in (lambda t: asi.get_control_value(0, t),
                 lambda t: asi.set_control_value(0, t, 1000, False)):
        with pytest.raises(AttributeError):
            call(CT.ASI_EXPOSURE.value)
    assert journal.calls() == []
    asi.set_control_value(0, asi.ImgType.IMG_RGB24, 5000, False)  # value 1, the exposure
    assert asi.get_control_value(0, CT.ASI_EXPOSURE) == (5000, False)
    assert journal.calls()[0]["ControlType"] == 1


# ---------------------------------------------------------------------------------------
# Region of interest


def test_roi_format_round_trip(opened, journal):
    assert asi.set_roi_format(0, 640.5, 480, 2, RAW16) is None
    result = asi.get_roi_format(0)
    assert result == (640, 480, 2, RAW16)
    assert [type(v) for v in result] == [int, int, int, asi.ImgType] and result[3] is RAW16
    assert journal.calls("ASISetROIFormat")[0].args == {
        "iCameraID": 0, "iWidth": 640, "iHeight": 480, "iBin": 2, "Img_type": 2}


@pytest.mark.parametrize("width, height, bin, img_type, error", [
    (100, 100, 1, RAW8, asi.ASIInvalidSize),  # no multiple of 8
    (640, 480, 5, RAW8, asi.ASIInvalidSize),
    (640, 480, 1, asi.ImgType.IMG_RGB24, asi.ASIInvalidImageType),  # a mono camera
])
def test_roi_values_are_checked_by_the_sdk_alone(width, height, bin, img_type, error, opened,
                                                 journal):
    with pytest.raises(error):
        asi.set_roi_format(0, width, height, bin, img_type)
    [call] = journal.calls()
    assert (call["iWidth"], call["iHeight"], call["iBin"], call["Img_type"]) == (
        width, height, bin, img_type.value)


def test_roi_image_type_in_and_out_goes_through_the_enumeration(opened, journal, monkeypatch):
    with pytest.raises(AttributeError):
        asi.set_roi_format(0, 640, 480, 1, 0)
    assert journal.calls() == []
    monkeypatch.setattr(asi, "ImgType", lambda value: ("looked up now", value))
    assert asi.get_roi_format(0)[3] == ("looked up now", 0)


def test_start_position_round_trip(opened, journal):
    asi.set_roi_format(0, 64, 64, 1, RAW8)
    assert asi.set_start_pos(start_y=4, camera_id=0, start_x=8) is None
    position = asi.get_start_pos(0)
    assert position == (8, 4) and [type(v) for v in position] == [int, int]
    assert journal.calls("ASISetStartPos")[0].args == {"iCameraID": 0, "iStartX": 8, "iStartY": 4}
    with pytest.raises(asi.ASIOutOfBoundary):
        asi.set_start_pos(0, 4144, 0)


# ---------------------------------------------------------------------------------------
# Guiding


@pytest.mark.parametrize("name, sdk_name", [("pulse_guide_on", "ASIPulseGuideOn"),
                                            ("pulse_guide_off", "ASIPulseGuideOff")])
def test_pulse_guide_passes_the_directions_value(name, sdk_name, opened, journal):
    guide = getattr(asi, name)
    for direction in asi.GuideDirection:  # switching off what was never on reaches the SDK too
        assert guide(0, direction) is None
    assert [c["direction"] for c in journal.calls(sdk_name)] == [0, 1, 2, 3]
    journal.clear()
    with pytest.raises(AttributeError):
        guide(0, 0)
    assert journal.calls() == []


# ---------------------------------------------------------------------------------------
# Dark subtraction


@pytest.fixture
def guide_camera(journal):
    asi.open_camera(1)
    asi.init_camera(1)
    journal.clear()
    return 1


def snap(camera_id):
    asi.start_exposure(camera_id, False)
    while asi.get_exp_status(camera_id) == asi.ExposureStatus.ASI_EXP_WORKING:
        time.sleep(0.001)
    return asi.get_data_after_exp(camera_id, 64 * 64)


@pytest.mark.parametrize("bits", [8, 24])
def test_dark_frame_is_subtracted(bits, guide_camera, tmp_path, journal):
    asi.set_roi_format(1, 64, 64, 1, RAW8)
    asi.set_control_value(1, CT.ASI_EXPOSURE, 1000, False)
    path = write_bmp(tmp_path / "dark.bmp", GUIDE_WIDTH, GUIDE_HEIGHT, bits, level=255)
    assert asi.enable_dark_subtract(1, path) is None
    assert journal.calls("ASIEnableDarkSubtract")[0]["pcBMPPath"] == path.encode()
    assert snap(1) == bytes(64 * 64)  # a white dark frame takes everything away
    assert asi.disable_dark_subtract(1) is None
    assert snap(1) != bytes(64 * 64)


@pytest.mark.parametrize("content, error", [
    (None, asi.ASIInvalidPath),
    (lambda path: write_bmp(path, 64, 64), asi.ASIInvalidFileFormat),
    (lambda path: path.write_bytes(b"not an image\n" * 100), asi.ASIInvalidFileFormat),
], ids=["missing", "wrong size", "not a bmp"])
def test_dark_frame_file_is_checked_by_the_sdk(content, error, guide_camera, tmp_path):
    path = tmp_path / "dark.bmp"
    if content:
        content(path)
    with pytest.raises(error):
        asi.enable_dark_subtract(1, str(path))


@pytest.mark.parametrize("path", ["", "Dunkelbild-ß-暗.bmp"])
def test_dark_frame_path_reaches_the_sdk_as_utf8(path, guide_camera, tmp_path, journal,
                                                 monkeypatch):
    monkeypatch.chdir(tmp_path)
    if path:
        write_bmp(tmp_path / path, GUIDE_WIDTH, GUIDE_HEIGHT)
        assert asi.enable_dark_subtract(1, path) is None
    else:
        with pytest.raises(asi.ASIInvalidPath):
            asi.enable_dark_subtract(1, path)
    assert journal.calls()[0]["pcBMPPath"] == path.encode("utf-8")


# ---------------------------------------------------------------------------------------
# Gain presets


@pytest.mark.parametrize("name, sdk_name", [("get_gain_offset", "ASIGetGainOffset"),
                                            ("get_lmh_gain_offset", "ASIGetLMHGainOffset")])
def test_presets_come_in_pointer_order(name, sdk_name, opened):
    written = (11, -22, 33, 2**31 - 1)
    for output, value in enumerate(written):
        sim.script(sdk_name, output, struct.pack("<i", value))
    result = getattr(asi, name)(0)
    assert type(result) is tuple and result == written
    assert all(type(v) is int for v in result)


# ---------------------------------------------------------------------------------------
# GPS query


def test_gps_query_of_a_gps_camera(cameras):
    start, end = asi.gps_get_data(2)
    assert type(start) is asi.GpsData and type(end) is asi.GpsData and start is not end
    now = datetime.datetime.now(datetime.UTC)
    for record in (start, end):
        assert abs(record.year - now.year) <= 1 and 1 <= record.month <= 12
        assert 1 <= record.day <= 31 and 0 <= record.hour < 24 and 0 <= record.second < 61
        assert -90 <= record.latitude <= 90 and -180 <= record.longitude <= 180
        assert record.satellite_num > 0
    times = [(r.year, r.month, r.day, r.hour, r.minute, r.second, r.m_second, r.u_second)
             for r in (start, end)]
    assert times[0] <= times[1]  # the end line is read out after the start line
    assert asi.gps_get_data(2)[0] is not start


def test_gps_query_start_line_first(cameras, monkeypatch):
    sim.script("ASIGPSGetData", 0, gps_data(2001, 100))
    sim.script("ASIGPSGetData", 1, gps_data(2002, 200))
    record_type = asi.GpsData
    monkeypatch.setattr(asi, "GpsData", None)
    start, end = asi.gps_get_data(2)
    assert type(start) is record_type and type(end) is record_type
    assert (start.year, start.altitude, end.year, end.altitude) == (2001, 100, 2002, 200)
    assert (start.m_second, start.u_second, start.latitude) == (123, 456, 47.5)


def test_gps_query_of_a_camera_without_gps(opened):
    with pytest.raises(asi.ASIGPSNotSupported, match=r"^ASI error code 18\.$"):
        asi.gps_get_data(0)


# ---------------------------------------------------------------------------------------
# Failure paths release what they made


@pytest.mark.parametrize("force, call", [
    ("ASIGetControlCaps", lambda: asi.get_control_caps(0, 0)),
    ("ASIGPSGetData", lambda: asi.gps_get_data(0)),
    ("ASIEnableDarkSubtract", lambda: asi.enable_dark_subtract(0, "dark-" + "x" * 4000)),
    ("ASIGetROIFormat", lambda: asi.get_roi_format(0)),
    (None, lambda: asi.gps_get_data(2)),  # no handler: both records made, then dropped
], ids=["caps", "gps", "dark", "roi", "gps-no-handler"])
@pytest.mark.unjournaled
def test_failing_calls_leak_nothing(force, call, opened, monkeypatch):
    if force:
        sim.fail(force, 16, -1)
        error = asi.ASIGeneralError
    else:
        monkeypatch.delattr(asi, "handle_error_code")
        error = NameError

    assert_failing_call_leaks_nothing(call, error, (asi.ControlCaps, asi.GpsData))
