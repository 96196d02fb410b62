"""The five record types: construction, properties read from raw SDK structures, the two
settable properties, and what the types refuse (pickling, attributes, weak references)."""

import copy
import pickle
import struct
import types
import weakref

import pytest

import asi
from halvarine.corvantis import sim
from leaks import assert_failing_call_leaks_nothing
from odd import Recorder, Text

MODULE = "halvarine.corvantis.asi"

# SDK structures as this 64-bit Linux build lays them out (long is 8 bytes).
CAMERA_INFO = struct.Struct("<64si4xqqii16i8idiiiiifii16s")
CONTROL_CAPS = struct.Struct("<64s128sqqqiii32s4x")
GPS_DATA = struct.Struct("<8i64sddii64s")
SUPPORTED_MODE = struct.Struct("<16i")
assert (CAMERA_INFO.size, CONTROL_CAPS.size, GPS_DATA.size) == (248, 264, 184)

B, I, M = asi.BayerPattern, asi.ImgType, asi.CameraMode

DEFAULTS = {
    "CameraInfo": ("c_info", dict(
        name="", camera_id=0, max_height=0, max_width=0, is_color_camera=False,
        bayer_pattern=B.BAYER_RG, supported_bins=[], supported_video_formats=[I.IMG_RAW8] * 8,
        pixel_size=0.0, mechanical_shutter=False, st_4_port=False, is_cooler_cam=False,
        is_usb3_host=False, is_usb3_camera=False, elec_per_adu=0.0, bit_depth=0,
        is_trigger_cam=False)),
    "ControlCaps": ("control_caps", dict(
        name="", description="", max_value=0, min_value=0, default_value=0,
        is_auto_supported=False, is_writable=False, control_type=asi.ControlType.ASI_GAIN)),
    "Id": ("c_id", dict(id="0" * 16)),
    "SupportedMode": ("c_supported_mode", dict(supported_camera_mode=[M.ASI_MODE_NORMAL] * 16)),
    "GpsData": ("c_gps_data", dict(
        latitude=0.0, longitude=0.0, altitude=0, satellite_num=0, year=0, month=0, day=0,
        hour=0, minute=0, second=0, m_second=0, u_second=0)),
}
SETTABLE = {("CameraInfo", "name"), ("Id", "id")}
READ_ONLY = [(record, prop) for record, (_, props) in DEFAULTS.items() for prop in props
             if (record, prop) not in SETTABLE]


def pack_camera_info(name=b"", camera_id=0, max_height=0, max_width=0, color=0, bayer=0,
                     bins=(), formats=(), pixel_size=0.0, flags=(0, 0, 0, 0, 0),
                     elec_per_adu=0.0, bit_depth=0, trigger=0):
    return CAMERA_INFO.pack(name, camera_id, max_height, max_width, color, bayer,
                            *bins, *[0] * (16 - len(bins)), *formats, *[0] * (8 - len(formats)),
                            pixel_size, *flags, elec_per_adu, bit_depth, trigger, b"\xff" * 16)


def pack_control_caps(name=b"", description=b"", maximum=0, minimum=0, default=0, auto=0,
                      writable=0, control_type=0):
    return CONTROL_CAPS.pack(name, description, maximum, minimum, default, auto, writable,
                             control_type, b"\xff" * 32)


def scripted(function, *outputs):
    """The SDK succeeds and writes these bytes to its outputs 0, 1, ..."""
    for index, data in enumerate(outputs):
        sim.script(function, index, data)
    sim.fail(function, 0, -1)


def record_name(record):
    return next(c.__name__ for c in type(record).__mro__ if c.__module__ == MODULE)


def read_all(record):
    return {prop: getattr(record, prop) for prop in DEFAULTS[record_name(record)][1]}


# ---------------------------------------------------------------------------------------
# What all five share.

@pytest.mark.parametrize("name", DEFAULTS)
def test_type_and_fresh_record(name):
    cls = getattr(asi, name)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == (MODULE, name, name)
    assert cls.__doc__ is None
    properties = {k: v for k, v in vars(cls).items() if type(v) is types.GetSetDescriptorType}
    assert list(properties) == list(DEFAULTS[name][1])
    assert all(p.__doc__ is None for p in properties.values())
    with pytest.raises(TypeError, match="immutable type"):
        cls.extra = 1
    record = cls()
    values = read_all(record)
    assert values == DEFAULTS[name][1]
    assert [type(v) for v in values.values()] == [type(v) for v in DEFAULTS[name][1].values()]
    assert not hasattr(record, "__dict__")
    with pytest.raises(TypeError, match="weak reference"):
        weakref.ref(record)
    with pytest.raises(AttributeError):
        record.extra = 1
    assert record == record and record != cls()


@pytest.mark.parametrize("name", DEFAULTS)
@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, r"__init__\(\) takes exactly 0 positional arguments \(1 given\)"),
    ((1, 2), {"x": 1}, r"__init__\(\) takes exactly 0 positional arguments \(2 given\)"),
    ((), {"x": 1}, r"__init__\(\) got an unexpected keyword argument 'x'"),
])
def test_constructor_takes_no_arguments(name, args, kwargs, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        getattr(asi, name)(*args, **kwargs)


@pytest.mark.parametrize("record, prop", READ_ONLY)
def test_read_only_properties(record, prop):
    instance = getattr(asi, record)()
    with pytest.raises(AttributeError, match="not writable"):
        setattr(instance, prop, getattr(instance, prop))
    with pytest.raises(AttributeError, match="not writable"):
        delattr(instance, prop)


@pytest.mark.parametrize("name", DEFAULTS)
@pytest.mark.parametrize("refuse", [
    pickle.dumps, copy.copy, copy.deepcopy, lambda r: r.__setstate__({})])
def test_pickling_refused(name, refuse):
    member = DEFAULTS[name][0]
    message = (f"Pickling of struct members such as self.{member} must be explicitly "
               "requested with @auto_pickle(True)")
    with pytest.raises(TypeError) as excinfo:
        refuse(getattr(asi, name)())
    assert str(excinfo.value) == message


@pytest.mark.parametrize("name", DEFAULTS)
def test_subclass(name):
    sub = type("Sub", (getattr(asi, name),), {"label": "mine"})
    record = sub()
    record.extra = 5
    assert (record.extra, record.label) == (5, "mine")
    assert read_all(record) == DEFAULTS[name][1]
    with pytest.raises(TypeError, match="must be explicitly requested"):
        copy.copy(record)


@pytest.mark.parametrize("fill", [
    lambda: asi.get_camera_property(0),
    lambda: asi.get_control_caps(0, 1),
    lambda: asi.get_serial_number(0),
    lambda: asi.gps_get_data(0)[0],
])
def test_init_again_clears(opened, fill):
    scripted("ASIGPSGetData", GPS_DATA.pack(*range(1, 9), b"", 1.0, 2.0, 3, 4, b""))
    record = fill()
    assert read_all(record) != DEFAULTS[record_name(record)][1]
    record.__init__()
    assert read_all(record) == DEFAULTS[record_name(record)][1]


# ---------------------------------------------------------------------------------------
# Raw SDK structures read back through the properties.

def test_camera_info_from_raw_bytes():
    sim.set_camera_info(0, pack_camera_info(
        name=b"Test Cam", camera_id=-7, max_height=-1, max_width=123456, color=2, bayer=3,
        bins=(1, 2, 0, 4, -3, *[0] * 10, 8), formats=(0, 2, -1, 1, -1, -1, -1, 3),
        pixel_size=2.9, flags=(1, 0, 1, 0, 7), elec_per_adu=0.3, bit_depth=-16, trigger=1))
    info = asi.get_camera_property(0)
    assert read_all(info) == dict(
        name="Test Cam", camera_id=-7, max_height=-1, max_width=123456, is_color_camera=True,
        bayer_pattern=B.BAYER_GB, supported_bins=[1, 2, 4, 8],
        supported_video_formats=[I.IMG_RAW8, I.IMG_RAW16, I.IMG_RGB24, I.IMG_Y8],
        pixel_size=2.9, mechanical_shutter=True, st_4_port=False, is_cooler_cam=True,
        is_usb3_host=False, is_usb3_camera=True, elec_per_adu=0.30000001192092896,
        bit_depth=-16, is_trigger_cam=True)
    assert repr(info) == str(info) == (
        "CameraInfo(Name=Test Cam, CameraID=-7, MaxHeight=-1, MaxWidth=123456)")
    bins = info.supported_bins
    bins.append(99)
    assert info.supported_bins == [1, 2, 4, 8]


def test_camera_info_name_without_nul_or_invalid():
    # The bytes right after Name are CameraID: "BBBB" if read as text.
    sim.set_camera_info(0, pack_camera_info(name=b"A" * 64, camera_id=0x42424242))
    assert repr(asi.get_camera_property(0)) == (
        f"CameraInfo(Name={'A' * 64}, CameraID=1111638594, MaxHeight=0, MaxWidth=0)")
    sim.set_camera_info(0, pack_camera_info(name=b"G\xff\x00", camera_id=3))
    info = asi.get_camera_property(0)
    with pytest.raises(UnicodeDecodeError, match="'utf-8' codec"):
        info.name
    with pytest.raises(UnicodeDecodeError):
        repr(info)
    assert info.camera_id == 3


@pytest.mark.parametrize("raw, expected", [
    (pack_control_caps(b"Gain", b"Analog gain", 600, -5, -2**31, 3, 0, 28),
     dict(name="Gain", description="Analog gain", max_value=600, min_value=-5,
          default_value=-2**31, is_auto_supported=True, is_writable=False,
          control_type=asi.ControlType.ASI_ROLLING_INTERVAL)),
    # Invalid UTF-8 becomes U+FFFD; text with no NUL ends with its array.
    (pack_control_caps(b"G\xff\x00", b"x\xc3(", writable=1),
     dict(DEFAULTS["ControlCaps"][1], name="G\ufffd", description="x\ufffd(",
          is_writable=True)),
    (pack_control_caps(b"N" * 64, b"D" * 128, maximum=int.from_bytes(b"X" * 8, "little")),
     dict(DEFAULTS["ControlCaps"][1], name="N" * 64, description="D" * 128,
          max_value=int.from_bytes(b"X" * 8, "little"))),
], ids=["plain", "invalid-utf-8", "no-nul"])
def test_control_caps_from_raw_bytes(opened, raw, expected):
    scripted("ASIGetControlCaps", raw)
    assert read_all(asi.get_control_caps(0, 0)) == expected


@pytest.mark.parametrize("function, reader", [
    ("ASIGetID", asi.get_id), ("ASIGetSerialNumber", asi.get_serial_number)])
def test_id_from_raw_bytes(opened, function, reader):
    scripted(function, bytes([1, 0, 0, 0, 0, 0, 0, 2]))
    assert reader(0).id == "0100000000000002"
    scripted(function, bytes.fromhex("ffa0b1c2d3e4f509"))
    assert reader(0).id == "ffa0b1c2d3e4f509"


@pytest.mark.parametrize("modes, expected", [
    ((0, 1, 2, -1, 5, 6), [M.ASI_MODE_NORMAL, M.ASI_MODE_TRIG_SOFT_EDGE, M.ASI_MODE_TRIG_RISE_EDGE]),
    ((-1, 1, 2), []),
    ((0, -1, 9), [M.ASI_MODE_NORMAL]),
    (tuple(i % 7 for i in range(16)), [M(i % 7) for i in range(16)]),
    ((0, 9, -1), ValueError),
])
def test_supported_mode_from_raw_bytes(opened, modes, expected):
    scripted("ASIGetCameraSupportMode", SUPPORTED_MODE.pack(*modes, *[-1] * (16 - len(modes))))
    if expected is ValueError:
        with pytest.raises(ValueError, match="9 is not a valid CameraMode"):
            asi.get_camera_support_mode(0)
    else:
        assert asi.get_camera_support_mode(0) == expected


def test_gps_data_from_raw_bytes(opened):
    start = GPS_DATA.pack(2024, 13, 0, -1, 59, 60, 999, -7, b"\xff" * 64,
                          -33.85, -70.5, -120, 9, b"\xff" * 64)
    end = GPS_DATA.pack(1999, 1, 2, 3, 4, 5, 6, 7, b"", 1.5, 2.5, 3, 4, b"")
    scripted("ASIGPSGetData", start, end)
    first, last = asi.gps_get_data(0)
    assert read_all(first) == dict(latitude=-33.85, longitude=-70.5, altitude=-120,
                                   satellite_num=9, year=2024, month=13, day=0, hour=-1,
                                   minute=59, second=60, m_second=999, u_second=-7)
    assert read_all(last) == dict(latitude=1.5, longitude=2.5, altitude=3, satellite_num=4,
                                  year=1999, month=1, day=2, hour=3, minute=4, second=5,
                                  m_second=6, u_second=7)


# ---------------------------------------------------------------------------------------
# Enumeration classes are looked up when a property is read.

class Recorded:
    """Stands in for an enumeration class: calling it records the value."""

    IMG_END = -1
    ASI_MODE_END = types.SimpleNamespace(value=-1)

    def __new__(cls, value):
        return ("called", value, type(value))


@pytest.mark.parametrize("record, prop, enum_name, count", [
    ("CameraInfo", "bayer_pattern", "BayerPattern", None),
    ("CameraInfo", "supported_video_formats", "ImgType", 8),
    ("ControlCaps", "control_type", "ControlType", None),
    ("SupportedMode", "supported_camera_mode", "CameraMode", 16),
])
def test_enum_class_looked_up_at_each_read(record, prop, enum_name, count):
    instance = getattr(asi, record)()
    delattr(asi, enum_name)
    with pytest.raises(NameError, match=rf"^name '{enum_name}' is not defined$"):
        getattr(instance, prop)
    setattr(asi, enum_name, Recorded)
    called = ("called", 0, int)
    assert getattr(instance, prop) == (called if count is None else [called] * count)


@pytest.mark.parametrize("record, prop", [
    ("CameraInfo", "supported_video_formats"), ("SupportedMode", "supported_camera_mode")])
def test_end_value_taken_from_the_class_found_now(record, prop):
    asi.ImgType = asi.CameraMode = type("EndIsZero", (Recorded,), {
        "IMG_END": 0, "ASI_MODE_END": types.SimpleNamespace(value=0)})
    assert getattr(getattr(asi, record)(), prop) == []


@pytest.mark.parametrize("raw, prop, message", [
    (pack_camera_info(bayer=4), "bayer_pattern", "4 is not a valid BayerPattern"),
    (pack_camera_info(formats=(0, 7)), "supported_video_formats", "7 is not a valid ImgType"),
])
def test_enum_value_not_a_member(raw, prop, message):
    sim.set_camera_info(0, raw)
    with pytest.raises(ValueError, match=message):
        getattr(asi.get_camera_property(0), prop)


# ---------------------------------------------------------------------------------------
# CameraInfo: repr through subclasses, the name setter.

class Formatted:
    def __format__(self, pattern):
        return f"formatted[{pattern}]"


def test_repr_uses_ordinary_attribute_access():
    assert repr(asi.CameraInfo()) == "CameraInfo(Name=, CameraID=0, MaxHeight=0, MaxWidth=0)"
    sub = type("Sub", (asi.CameraInfo,), {"name": property(lambda self: "Over"),
                                          "camera_id": 1.5, "max_width": Formatted()})
    assert repr(sub()) == "CameraInfo(Name=Over, CameraID=1.5, MaxHeight=0, MaxWidth=formatted[])"
    broken = type("Broken", (asi.CameraInfo,),
                  {"max_height": property(lambda self: 1 / 0)})
    with pytest.raises(ZeroDivisionError):
        repr(broken())


class Encodes(Recorder):
    """Anything with an encode method can be assigned to CameraInfo.name; a callable
    result makes what encode returns anew on every call."""

    def encode(self, encoding):
        result = self.answer(encoding)
        return result() if callable(result) else result


def generated(items):
    return lambda: (item for item in items)


def test_name_accepts_exactly_64_single_bytes():
    info = asi.CameraInfo()
    info.name = "x" * 64
    assert info.name == "x" * 64
    value = Encodes(generated([ord("y")] * 64))
    info.name = value
    assert value.asked == ["utf-8"] and info.name == "y" * 64
    info.name = Encodes([-1] * 64)  # signed chars: 0xff bytes, not valid UTF-8
    with pytest.raises(UnicodeDecodeError):
        info.name


# The name's items are signed chars wherever C's char is unsigned too (aarch64): -128..-1
# store the bytes 0x80..0xff, and 128..255 are refused (below) as they are on x86_64.
@pytest.mark.parametrize("item", [-128, -127, -64, -23, -1])
def test_name_items_are_signed_chars_on_every_platform(item):
    info = asi.CameraInfo()
    info.name = Encodes([65] * 63 + [item])
    with pytest.raises(UnicodeDecodeError) as excinfo:
        info.name
    assert excinfo.value.object == b"A" * 63 + bytes([item + 256])


def fresh(value):
    """An equal value in a new object (an Encodes makes a new result per call itself), so
    that a reference a refusing setter kept would keep a block alive."""
    if isinstance(value, bytes):
        return bytes(bytearray(value))
    if isinstance(value, str):
        return type(value)("".join(list(value)))
    return value


def refusals_leak_nothing(record, name, value, error):
    assert_failing_call_leaks_nothing(lambda: setattr(record, name, fresh(value)), error,
                                      [type(value)])


def raises_midway():
    yield from [65] * 10
    raise LookupError("midway")


@pytest.mark.parametrize("value, error, message", [
    ("abc", IndexError, "not enough values found during array assignment, expected 64, got 3"),
    ("", IndexError, "not enough values found during array assignment, expected 64, got 0"),
    ("a" * 65, IndexError, "too many values found during array assignment, expected 64"),
    ("a" * 62 + "é", OverflowError, "value too large to convert to char"),
    (b"a" * 64, AttributeError, "'bytes' object has no attribute 'encode'"),
    ("\ud800" * 64, UnicodeEncodeError, None),
    (Encodes(generated([65] * 3)), IndexError,
     "not enough values found during array assignment, expected 64, got 3"),
    (Encodes(generated([65] * 65)), IndexError,
     "too many values found during array assignment, expected 64"),
    (Encodes(generated([65] * 63 + [128])), OverflowError, "value too large to convert to char"),
    (Encodes([65] * 63 + [0xFF]), OverflowError, "value too large to convert to char"),
    (Encodes([65] * 63 + [-129]), OverflowError, "value too large to convert to char"),
    (Encodes([65] * 63 + ["A"]), TypeError, "an integer is required"),
    (Encodes(raises_midway), LookupError, "midway"),
    (Encodes(42), TypeError, None),
])
def test_name_refusals_keep_the_old_name(value, error, message):
    info = asi.CameraInfo()
    info.name = "k" * 64
    with pytest.raises(error) as excinfo:
        info.name = value
    if message is not None:
        assert str(excinfo.value) == message
    assert info.name == "k" * 64
    refusals_leak_nothing(info, "name", value, error)
    assert info.name == "k" * 64


def test_name_cannot_be_deleted():
    info = asi.CameraInfo()
    with pytest.raises(NotImplementedError, match="^__del__$"):
        del info.name


# ---------------------------------------------------------------------------------------
# Id: the id setter.

@pytest.mark.parametrize("text", [
    "0123456789ABCDEF", "01 23 45 67 89 ab cd ef", "0123456789aBcDeF"])
def test_id_accepts_hex_digits(text):
    record = asi.Id()
    record.id = text
    assert record.id == "0123456789abcdef"


LENGTH = "ASI_ID must be exactly 8 bytes (16 hex characters)."


def fromhex_message(text):
    with pytest.raises(ValueError) as excinfo:
        bytes.fromhex(text)
    return str(excinfo.value)


@pytest.mark.parametrize("value, error, message", [
    ("00" * 7, ValueError, LENGTH),
    ("00" * 9, ValueError, LENGTH),
    ("", ValueError, LENGTH),
    ("0123456789abcdeg", ValueError, fromhex_message("0123456789abcdeg")),
    ("0123456789abcde", ValueError, fromhex_message("0123456789abcde")),
    (b"0123456789abcdef", TypeError,
     "Argument 'identifier' has incorrect type (expected str, got bytes)"),
    (None, TypeError, "Argument 'identifier' has incorrect type (expected str, got NoneType)"),
    (Text("0123456789abcdef"), TypeError,
     "Argument 'identifier' has incorrect type (expected str, got Text)"),
])
def test_id_refusals_keep_the_old_bytes(value, error, message):
    record = asi.Id()
    record.id = "fedcba9876543210"
    with pytest.raises(error) as excinfo:
        record.id = value
    assert str(excinfo.value) == message
    notes = getattr(excinfo.value, "__notes__", [])
    assert len(notes) == (1 if isinstance(value, Text) else 0)
    assert record.id == "fedcba9876543210"
    refusals_leak_nothing(record, "id", value, error)
    assert record.id == "fedcba9876543210"
    with pytest.raises(NotImplementedError, match="^__del__$"):
        del record.id
    assert record.id == "fedcba9876543210"
