"""Discovery and identity: camera count, SDK version, camera properties, the USB device
check, camera ID and serial number."""

import struct

import pytest

import asi
from halvarine.corvantis import sim

CAMERA_INFO = struct.Struct("<64si4xqqii16i8idiiiiifii16s")


def test_camera_count(journal):
    assert asi.get_number_of_connected_cameras() == 3
    for forced in (-3, 0, 2**31 - 1):
        sim.fail("ASIGetNumOfConnectedCameras", forced)
        count = asi.get_number_of_connected_cameras()
        assert count == forced and type(count) is int
    assert len(journal.calls("ASIGetNumOfConnectedCameras")) == 4
    journal.clear()
    with pytest.raises(TypeError):
        asi.get_number_of_connected_cameras(1)
    assert journal.calls() == []


@pytest.mark.parametrize("version, expected", [
    (b"", ""),
    (None, ""),
    (b"1, 13, 0503", "1, 13, 0503"),
    (b" 007 ,x ", " 007 ,x "),
    (b"v\xc3\xa9", "v\u00e9"),
    (b"1.2\x00hidden", "1.2"),
])
def test_sdk_version(version, expected):
    sim.set_sdk_version(version)
    text = asi.get_sdk_version()
    assert text == expected and type(text) is str


def test_sdk_version_invalid_utf8():
    sim.set_sdk_version(b"1.\xff")
    with pytest.raises(UnicodeDecodeError) as excinfo:
        asi.get_sdk_version()
    assert excinfo.value.encoding == "utf-8"


# ---------------------------------------------------------------------------------------
# Camera properties.

READERS = pytest.mark.parametrize("read, function, order, missing", [
    (asi.get_camera_property, "ASIGetCameraProperty", ["pASICameraInfo", "iCameraIndex"],
     (asi.ASIInvalidIndex, "ASI error code 1.")),
    (asi.get_camera_property_by_id, "ASIGetCameraPropertyByID", ["iCameraID", "pASICameraInfo"],
     (asi.ASIInvalidID, "ASI error code 2.")),
], ids=["by_index", "by_id"])
DEFAULT_CAMERAS = [
    dict(name="Simulated Mono Cooled", is_color_camera=False, is_cooler_cam=True,
         st_4_port=True, is_trigger_cam=True, max_width=4144, max_height=2822),
    dict(name="Simulated Color Guide", is_color_camera=True, is_cooler_cam=False,
         st_4_port=True, is_trigger_cam=False, max_width=1936, max_height=1096),
    dict(name="Simulated Color GPS Cooled", is_color_camera=True, is_cooler_cam=True,
         is_trigger_cam=True),
]


@READERS
@pytest.mark.parametrize("camera", range(3))
def test_default_cameras(journal, read, function, order, missing, camera):
    info = read(camera)
    assert type(info) is asi.CameraInfo and info.camera_id == camera
    expected = DEFAULT_CAMERAS[camera]
    assert {key: getattr(info, key) for key in expected} == expected
    # The structure goes first when reading by index, last when reading by ID.
    args = [(key, "ptr" if key == "pASICameraInfo" else camera) for key in order]
    assert [(c.function, list(c.args.items())) for c in journal.calls()] == [(function, args)]


@READERS
def test_property_records(read, function, order, missing):
    raw = CAMERA_INFO.pack(b"Raw \xc3\xa9", 41, 7, -8, 1, 2, *range(1, 17), *[3] * 8, 1.25,
                           1, 1, 0, 1, 0, 0.5, 12, 1, b"")
    sim.set_camera_info(1, raw)
    first, second = read(1), read(1)
    assert first is not second
    assert repr(first) == "CameraInfo(Name=Raw \u00e9, CameraID=41, MaxHeight=7, MaxWidth=-8)"
    assert first.supported_bins == list(range(1, 17))
    assert first.supported_video_formats == [asi.ImgType.IMG_Y8] * 8
    assert (first.pixel_size, first.elec_per_adu, first.bit_depth) == (1.25, 0.5, 12)
    assert repr(first) == repr(second)


@READERS
def test_property_errors(read, function, order, missing):
    cls, message = missing
    with pytest.raises(asi.ASIError) as excinfo:
        read(3)
    assert type(excinfo.value) is cls and excinfo.value.args == (message,)
    sim.fail(function, 5)
    with pytest.raises(asi.ASICameraRemoved):
        read(0)


@pytest.mark.parametrize("forced, expected", [(None, 0), (1, 1), (0, 0), (7, 1), (-1, 1)])
def test_camera_check(journal, forced, expected):
    if forced is not None:
        sim.fail("ASICameraCheck", forced)
    result = asi.camera_check(0x1234, i_pid=0x5678)
    assert result == expected and type(result) is int
    assert journal.calls() == [sim.Call("ASICameraCheck", {"iVID": 0x1234, "iPID": 0x5678})]


# ---------------------------------------------------------------------------------------
# Camera ID and serial number.

def test_set_id_passes_the_bytes_by_value(journal, opened):
    ident = asi.Id()
    ident.id = "0102030405060708"
    assert asi.set_id(0, ident) is None
    assert journal.calls() == [sim.Call("ASISetID", {"iCameraID": 0, "ID": bytes(range(1, 9))})]
    assert ident.id == "0102030405060708"
    sim.fail("ASISetID", 4)
    with pytest.raises(asi.ASICameraClosed):
        asi.set_id(0, ident)
    assert ident.id == "0102030405060708"


def test_get_id_reads_what_set_id_wrote(opened):
    asi.open_camera(1)
    before = asi.get_id(1).id
    ident = type("MyId", (asi.Id,), {})()
    ident.id = "a1b2c3d4e5f60718"
    asi.set_id(0, ident)
    asi.close_camera(0)
    asi.open_camera(0)
    read = asi.get_id(i_camera_id=0)
    assert type(read) is asi.Id and read.id == "a1b2c3d4e5f60718"
    assert read is not ident
    assert asi.get_id(1).id == before


def test_serial_numbers(journal):
    for camera in range(3):
        asi.open_camera(camera)
    serials = [asi.get_serial_number(camera).id for camera in range(3)]
    assert len(set(serials)) == 3
    assert serials == [asi.get_serial_number(camera_id=camera).id for camera in range(3)]
    written = asi.Id()
    written.id = "ffffffffffffffff"
    asi.set_id(0, written)
    assert asi.get_serial_number(0).id == serials[0]
    assert [c["iCameraID"] for c in journal.calls("ASIGetSerialNumber")] == [0, 1, 2, 0, 1, 2, 0]


@pytest.mark.parametrize("call, function", [
    (lambda camera: asi.get_id(camera), "ASIGetID"),
    (lambda camera: asi.get_serial_number(camera), "ASIGetSerialNumber"),
    (lambda camera: asi.set_id(camera, asi.Id()), "ASISetID"),
])
def test_identity_errors(journal, call, function):
    with pytest.raises(asi.ASICameraClosed, match=r"^ASI error code 4\.$"):
        call(0)
    with pytest.raises(asi.ASIInvalidID):
        call(9)
    assert [c["iCameraID"] for c in journal.calls(function)] == [0, 9]
