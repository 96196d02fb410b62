"""Steering the simulated cameras from tests: forced failures, scripted outputs, a
journal of SDK calls, fast frames, simulator configurations, and events of the simulated
world (cameras unplugged and plugged back, hardware trigger pulses, the air temperature,
passing clouds).

The substitute ASICamera2 library that ships with `asi` simulates cameras, and this
module reaches its control interface in the library `asi` has loaded. With the camera
maker's library loaded instead, `available()` is False and every other function raises
RuntimeError without calling into the library: nothing here touches real cameras.

    from halvarine.corvantis import sim

    sim.fail("ASIGetVideoData", asi.ASITimeout, times=2)
    with sim.journal() as journal:
        frame = my_program.grab_frame(0)
    assert len(journal.calls("ASIGetVideoData")) == 3

Every function is thread-safe. The pytest plugin `halvarine.corvantis.pytest_plugin`
hands this module to tests through the fixture `asi_sim` and resets it around each test.
"""

from __future__ import annotations

import ctypes
import dataclasses
import json
import math
import os
import tempfile
import threading
from collections.abc import Callable, Iterator, Mapping, Sequence
from types import TracebackType
from typing import Final, TypeAlias

import asi

__all__ = [
    "Call",
    "Journal",
    "available",
    "clear_failures",
    "clear_scripts",
    "fail",
    "fast_frames",
    "journal",
    "load_config",
    "loaded_library",
    "pack",
    "pass_cloud",
    "plug",
    "reset",
    "script",
    "set_ambient_temperature",
    "set_camera_info",
    "set_sdk_version",
    "trigger",
    "unplug",
]

Value: TypeAlias = int | str | bytes
"""A journaled argument: an integer, "ptr" or "null" for a pointer, bytes for data."""
Record: TypeAlias = asi.CameraInfo | asi.ControlCaps | asi.Id | asi.SupportedMode | asi.GpsData
"""The records of asi that `pack` lays out as the SDK does."""
Bytes: TypeAlias = bytes | bytearray | memoryview
"""Raw bytes, as `script` and `set_camera_info` take them."""

# ---------------------------------------------------------------------------------------
# The SDK's records, laid out as in ASICamera2.h (enumerations and ASI_BOOL are C ints,
# long is the platform's C long).


class _CameraInfo(ctypes.Structure):
    _fields_ = [
        ("Name", ctypes.c_char * 64),
        ("CameraID", ctypes.c_int),
        ("MaxHeight", ctypes.c_long),
        ("MaxWidth", ctypes.c_long),
        ("IsColorCam", ctypes.c_int),
        ("BayerPattern", ctypes.c_int),
        ("SupportedBins", ctypes.c_int * 16),
        ("SupportedVideoFormat", ctypes.c_int * 8),
        ("PixelSize", ctypes.c_double),
        ("MechanicalShutter", ctypes.c_int),
        ("ST4Port", ctypes.c_int),
        ("IsCoolerCam", ctypes.c_int),
        ("IsUSB3Host", ctypes.c_int),
        ("IsUSB3Camera", ctypes.c_int),
        ("ElecPerADU", ctypes.c_float),
        ("BitDepth", ctypes.c_int),
        ("IsTriggerCam", ctypes.c_int),
        ("Unused", ctypes.c_char * 16),
    ]


class _ControlCaps(ctypes.Structure):
    _fields_ = [
        ("Name", ctypes.c_char * 64),
        ("Description", ctypes.c_char * 128),
        ("MaxValue", ctypes.c_long),
        ("MinValue", ctypes.c_long),
        ("DefaultValue", ctypes.c_long),
        ("IsAutoSupported", ctypes.c_int),
        ("IsWritable", ctypes.c_int),
        ("ControlType", ctypes.c_int),
        ("Unused", ctypes.c_char * 32),
    ]


class _Id(ctypes.Structure):
    _fields_ = [("id", ctypes.c_ubyte * 8)]


class _SupportedMode(ctypes.Structure):
    _fields_ = [("SupportedCameraMode", ctypes.c_int * 16)]


class _DateTime(ctypes.Structure):
    _fields_ = [
        ("Year", ctypes.c_int),
        ("Month", ctypes.c_int),
        ("Day", ctypes.c_int),
        ("Hour", ctypes.c_int),
        ("Minute", ctypes.c_int),
        ("Second", ctypes.c_int),
        ("Msecond", ctypes.c_int),
        ("Usecond", ctypes.c_int),
        ("Unused", ctypes.c_char * 64),
    ]


class _GpsData(ctypes.Structure):
    _fields_ = [
        ("Datetime", _DateTime),
        ("Latitude", ctypes.c_double),
        ("Longitude", ctypes.c_double),
        ("Altitude", ctypes.c_int),
        ("SatelliteNum", ctypes.c_int),
        ("Unused", ctypes.c_char * 64),
    ]


# ---------------------------------------------------------------------------------------
# Converting fields of asi's records into the C layout, checked the way the SDK's types
# require: ctypes itself would truncate an integer that does not fit.

_INT_BITS: Final = 8 * ctypes.sizeof(ctypes.c_int)
_LONG_BITS: Final = 8 * ctypes.sizeof(ctypes.c_long)
_IMG_END: Final = -1
_MODE_END: Final = -1


def _integer(value: object, bits: int, what: str) -> int:
    if not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    low, high = -(1 << (bits - 1)), (1 << (bits - 1)) - 1
    if not low <= value <= high:
        raise ValueError(f"{what} = {value} does not fit a {bits}-bit C integer")
    return int(value)


def _flag(value: object, what: str) -> int:
    if not isinstance(value, int):
        raise TypeError(f"{what} must be a bool, not {type(value).__name__}")
    return 1 if value else 0


def _real(value: object, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{what} must be a float, not {type(value).__name__}")
    return float(value)


def _text(value: object, capacity: int, what: str) -> bytes:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    data = value.encode("utf-8")
    if len(data) > capacity:
        raise ValueError(f"{what} takes at most {capacity} bytes of UTF-8, not {len(data)}")
    return data


def _terminated(value: object, capacity: int, end: int, what: str) -> list[int]:
    """A list of C ints ended by `end` when shorter than the array."""
    if isinstance(value, (str, bytes)) or not isinstance(value, Sequence):
        raise TypeError(f"{what} must be a list of ints, not {type(value).__name__}")
    if len(value) > capacity:
        raise ValueError(f"{what} holds at most {capacity} entries, not {len(value)}")
    items = [_integer(item, _INT_BITS, f"{what}[{i}]") for i, item in enumerate(value)]
    return items + [end] * (capacity - len(items))


def _camera_info(fields: dict[str, object]) -> bytes:
    c = _CameraInfo()
    c.Name = _text(fields["name"], 64, "name")
    c.CameraID = _integer(fields["camera_id"], _INT_BITS, "camera_id")
    c.MaxHeight = _integer(fields["max_height"], _LONG_BITS, "max_height")
    c.MaxWidth = _integer(fields["max_width"], _LONG_BITS, "max_width")
    c.IsColorCam = _flag(fields["is_color_camera"], "is_color_camera")
    c.BayerPattern = _integer(fields["bayer_pattern"], _INT_BITS, "bayer_pattern")
    c.SupportedBins[:] = _terminated(fields["supported_bins"], 16, 0, "supported_bins")
    c.SupportedVideoFormat[:] = _terminated(
        fields["supported_video_formats"], 8, _IMG_END, "supported_video_formats")
    c.PixelSize = _real(fields["pixel_size"], "pixel_size")
    c.MechanicalShutter = _flag(fields["mechanical_shutter"], "mechanical_shutter")
    c.ST4Port = _flag(fields["st_4_port"], "st_4_port")
    c.IsCoolerCam = _flag(fields["is_cooler_cam"], "is_cooler_cam")
    c.IsUSB3Host = _flag(fields["is_usb3_host"], "is_usb3_host")
    c.IsUSB3Camera = _flag(fields["is_usb3_camera"], "is_usb3_camera")
    c.ElecPerADU = _real(fields["elec_per_adu"], "elec_per_adu")
    c.BitDepth = _integer(fields["bit_depth"], _INT_BITS, "bit_depth")
    c.IsTriggerCam = _flag(fields["is_trigger_cam"], "is_trigger_cam")
    return bytes(c)


def _control_caps(fields: dict[str, object]) -> bytes:
    c = _ControlCaps()
    c.Name = _text(fields["name"], 64, "name")
    c.Description = _text(fields["description"], 128, "description")
    c.MaxValue = _integer(fields["max_value"], _LONG_BITS, "max_value")
    c.MinValue = _integer(fields["min_value"], _LONG_BITS, "min_value")
    c.DefaultValue = _integer(fields["default_value"], _LONG_BITS, "default_value")
    c.IsAutoSupported = _flag(fields["is_auto_supported"], "is_auto_supported")
    c.IsWritable = _flag(fields["is_writable"], "is_writable")
    c.ControlType = _integer(fields["control_type"], _INT_BITS, "control_type")
    return bytes(c)


def _id(fields: dict[str, object]) -> bytes:
    value = fields["id"]
    if not isinstance(value, str):
        raise TypeError(f"id must be a str of 16 hex digits, not {type(value).__name__}")
    try:
        data = bytes.fromhex(value)
    except ValueError:
        raise ValueError(f"id must be 16 hex digits, not {value!r}") from None
    if len(data) != ctypes.sizeof(_Id):
        raise ValueError(f"id must be 16 hex digits, not {value!r}")
    return data


def _supported_mode(fields: dict[str, object]) -> bytes:
    c = _SupportedMode()
    c.SupportedCameraMode[:] = _terminated(
        fields["supported_camera_mode"], 16, _MODE_END, "supported_camera_mode")
    return bytes(c)


_DATE_TIME_FIELDS: Final = [("year", "Year"), ("month", "Month"), ("day", "Day"),
                            ("hour", "Hour"), ("minute", "Minute"), ("second", "Second"),
                            ("m_second", "Msecond"), ("u_second", "Usecond")]


def _gps_data(fields: dict[str, object]) -> bytes:
    c = _GpsData()
    for name, member in _DATE_TIME_FIELDS:
        setattr(c.Datetime, member, _integer(fields[name], _INT_BITS, name))
    c.Latitude = _real(fields["latitude"], "latitude")
    c.Longitude = _real(fields["longitude"], "longitude")
    c.Altitude = _integer(fields["altitude"], _INT_BITS, "altitude")
    c.SatelliteNum = _integer(fields["satellite_num"], _INT_BITS, "satellite_num")
    return bytes(c)


@dataclasses.dataclass(frozen=True)
class _Layout:
    """How one of asi's records is written in C: its fields by attribute name."""

    fields: tuple[str, ...]
    pack: Callable[[dict[str, object]], bytes]
    size: int


_LAYOUTS: Final[dict[type[Record], _Layout]] = {
    asi.CameraInfo: _Layout(
        ("name", "camera_id", "max_height", "max_width", "is_color_camera", "bayer_pattern",
         "supported_bins", "supported_video_formats", "pixel_size", "mechanical_shutter",
         "st_4_port", "is_cooler_cam", "is_usb3_host", "is_usb3_camera", "elec_per_adu",
         "bit_depth", "is_trigger_cam"),
        _camera_info, ctypes.sizeof(_CameraInfo)),
    asi.ControlCaps: _Layout(
        ("name", "description", "max_value", "min_value", "default_value",
         "is_auto_supported", "is_writable", "control_type"),
        _control_caps, ctypes.sizeof(_ControlCaps)),
    asi.Id: _Layout(("id",), _id, ctypes.sizeof(_Id)),
    asi.SupportedMode: _Layout(("supported_camera_mode",), _supported_mode,
                               ctypes.sizeof(_SupportedMode)),
    asi.GpsData: _Layout(
        ("latitude", "longitude", "altitude", "satellite_num",
         *(name for name, _ in _DATE_TIME_FIELDS)),
        _gps_data, ctypes.sizeof(_GpsData)),
}


def pack(record: Record, /, **fields: object) -> bytes:
    """The bytes of `record` as the SDK lays it out, with `fields` (named as the record's
    properties) replacing its own values.

    Records of asi are read-only; this is how a test builds the one it wants the SDK to
    report, for `script` and `set_camera_info`:

        pack(asi.GpsData(), latitude=47.37, longitude=8.54, year=2026)

    Raises TypeError for a record of another type, a field the record does not have or a
    value of the wrong type, and ValueError for a value the C field cannot hold."""
    layout = _LAYOUTS.get(type(record))
    if layout is None:
        kinds = ", ".join(f"asi.{kind.__name__}" for kind in _LAYOUTS)
        raise TypeError(f"pack() takes one of {kinds}, not {type(record).__name__}")
    for name in fields:
        if name not in layout.fields:
            raise TypeError(f"{type(record).__name__} has no field {name!r}")
    values: dict[str, object] = {name: getattr(record, name) for name in layout.fields}
    values.update(fields)
    return layout.pack(values)


# ---------------------------------------------------------------------------------------
# The SDK's functions and the outputs a script can write: the pointer parameters each
# function fills, in declaration order, with the kind of value each holds.

_FUNCTIONS: Final = (
    "ASIGetNumOfConnectedCameras", "ASIGetCameraProperty", "ASIGetCameraPropertyByID",
    "ASICameraCheck", "ASIGetSDKVersion", "ASIOpenCamera", "ASIInitCamera",
    "ASICloseCamera", "ASIGetID", "ASISetID", "ASIGetSerialNumber", "ASIGetNumOfControls",
    "ASIGetControlCaps", "ASIGetControlValue", "ASISetControlValue", "ASISetROIFormat",
    "ASIGetROIFormat", "ASISetStartPos", "ASIGetStartPos", "ASIStartExposure",
    "ASIStopExposure", "ASIGetExpStatus", "ASIGetDataAfterExp", "ASIGetDataAfterExpGPS",
    "ASIStartVideoCapture", "ASIStopVideoCapture", "ASIGetVideoData", "ASIGetVideoDataGPS",
    "ASIGetDroppedFrames", "ASIPulseGuideOn", "ASIPulseGuideOff", "ASIEnableDarkSubtract",
    "ASIDisableDarkSubtract", "ASIGetGainOffset", "ASIGetLMHGainOffset",
    "ASIGetCameraSupportMode", "ASIGetCameraMode", "ASISetCameraMode", "ASISendSoftTrigger",
    "ASISetTriggerOutputIOConf", "ASIGetTriggerOutputIOConf", "ASIGPSGetData",
)

# An output holds a record, a C int ("int", also enumerations), a C long ("long"), an
# ASI_BOOL ("bool") or image data of any length up to the call's buffer size ("buffer").
_Kind: TypeAlias = type[Record] | str
_OUTPUTS: Final[dict[str, tuple[tuple[str, _Kind], ...]]] = {
    "ASIGetCameraProperty": (("pASICameraInfo", asi.CameraInfo),),
    "ASIGetCameraPropertyByID": (("pASICameraInfo", asi.CameraInfo),),
    "ASIGetID": (("pID", asi.Id),),
    "ASIGetSerialNumber": (("pSN", asi.Id),),
    "ASIGetNumOfControls": (("piNumberOfControls", "int"),),
    "ASIGetControlCaps": (("pControlCaps", asi.ControlCaps),),
    "ASIGetControlValue": (("plValue", "long"), ("pbAuto", "bool")),
    "ASIGetROIFormat": (("piWidth", "int"), ("piHeight", "int"), ("piBin", "int"),
                        ("pImg_type", "int")),
    "ASIGetStartPos": (("piStartX", "int"), ("piStartY", "int")),
    "ASIGetExpStatus": (("pExpStatus", "int"),),
    "ASIGetDataAfterExp": (("pBuffer", "buffer"),),
    "ASIGetDataAfterExpGPS": (("pBuffer", "buffer"), ("gpsData", asi.GpsData)),
    "ASIGetVideoData": (("pBuffer", "buffer"),),
    "ASIGetVideoDataGPS": (("pBuffer", "buffer"), ("gpsData", asi.GpsData)),
    "ASIGetDroppedFrames": (("piDropFrames", "int"),),
    "ASIGetGainOffset": (("pOffset_HighestDR", "int"), ("pOffset_UnityGain", "int"),
                         ("pGain_LowestRN", "int"), ("pOffset_LowestRN", "int")),
    "ASIGetLMHGainOffset": (("pLGain", "int"), ("pMGain", "int"), ("pHGain", "int"),
                            ("pHOffset", "int")),
    "ASIGetCameraSupportMode": (("pSupportedMode", asi.SupportedMode),),
    "ASIGetCameraMode": (("mode", "int"),),
    "ASIGetTriggerOutputIOConf": (("bPinHigh", "bool"), ("lDelay", "long"),
                                  ("lDuration", "long")),
    "ASIGPSGetData": (("startLineGPSData", asi.GpsData), ("endLineGPSData", asi.GpsData)),
}


def _function_name(function: object) -> str:
    if not isinstance(function, str):
        raise TypeError(f"the SDK function must be named by a str, not {type(function).__name__}")
    if function not in _FUNCTIONS:
        raise ValueError(f"not an SDK function: {function!r}")
    return function


def _output(function: str, output: object) -> tuple[int, str, _Kind]:
    """(index, name, kind) of an output given by index or by parameter name."""
    outputs = _OUTPUTS.get(function, ())
    listed = ", ".join(name for name, _ in outputs) or "none"
    if isinstance(output, str):
        for index, (name, kind) in enumerate(outputs):
            if name == output:
                return index, name, kind
        raise ValueError(f"{function} has no output {output!r} (its outputs: {listed})")
    if isinstance(output, bool) or not isinstance(output, int):
        raise TypeError(f"an output is an int or a parameter name, not {type(output).__name__}")
    if not 0 <= output < len(outputs):
        raise ValueError(f"{function} has no output {output} (its outputs: {listed})")
    name, kind = outputs[output]
    return output, name, kind


def _output_bytes(function: str, name: str, kind: _Kind, value: object) -> bytes:
    what = f"{function} {name}"
    if isinstance(value, (bytes, bytearray, memoryview)):
        data = bytes(value)
        size = _output_size(kind)
        if size is not None and len(data) != size:
            raise ValueError(f"{what} takes {size} bytes, not {len(data)}")
        return data
    if isinstance(kind, type):
        if not isinstance(value, kind):
            raise TypeError(f"{what} takes asi.{kind.__name__} or bytes, "
                            f"not {type(value).__name__}")
        return pack(value)
    if kind == "buffer":
        raise TypeError(f"{what} takes bytes, not {type(value).__name__}")
    if not isinstance(value, int):
        raise TypeError(f"{what} takes an int or bytes, not {type(value).__name__}")
    if kind == "long":
        return bytes(ctypes.c_long(_integer(value, _LONG_BITS, what)))
    if kind == "bool":
        return bytes(ctypes.c_int(1 if value else 0))
    return bytes(ctypes.c_int(_integer(value, _INT_BITS, what)))


def _output_size(kind: _Kind) -> int | None:
    if isinstance(kind, type):
        return _LAYOUTS[kind].size
    return {"int": ctypes.sizeof(ctypes.c_int), "bool": ctypes.sizeof(ctypes.c_int),
            "long": ctypes.sizeof(ctypes.c_long)}.get(kind)


# ---------------------------------------------------------------------------------------
# The library asi loaded.

# The control interface by symbol: (result type, argument types).
_SIGNATURES: Final[dict[str, tuple[object, list[object]]]] = {
    "asisim_reset": (None, []),
    "asisim_journal_enable": (None, [ctypes.c_int]),
    "asisim_journal_read": (ctypes.c_size_t, [ctypes.c_char_p, ctypes.c_size_t]),
    "asisim_journal_clear": (None, []),
    "asisim_force_status": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]),
    "asisim_clear_forced": (None, []),
    "asisim_script_output": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                                            ctypes.c_size_t]),
    "asisim_clear_scripts": (None, []),
    "asisim_set_sdk_version": (None, [ctypes.c_char_p, ctypes.c_long]),
    "asisim_set_camera_info": (ctypes.c_int, [ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t]),
    "asisim_set_fast_frames": (None, [ctypes.c_int]),
    "asisim_load_config": (ctypes.c_int, [ctypes.c_char_p]),
    "asisim_last_error": (ctypes.c_char_p, []),
    "asisim_unplug": (ctypes.c_int, [ctypes.c_int]),
    "asisim_plug": (ctypes.c_int, [ctypes.c_int]),
    "asisim_trigger_pulse": (ctypes.c_int, [ctypes.c_int, ctypes.c_long]),
    "asisim_set_ambient_temperature": (ctypes.c_int, [ctypes.c_double]),
    "asisim_pass_cloud": (ctypes.c_int, [ctypes.c_double, ctypes.c_double]),
}


class _Library:
    """The ASICamera2 library in this process, and whether it is the simulator."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.cdll = ctypes.CDLL(path)
        self.is_simulator = hasattr(self.cdll, "asisim_reset")
        if self.is_simulator:
            for symbol, (result, arguments) in _SIGNATURES.items():
                function = getattr(self.cdll, symbol)
                function.restype = result
                function.argtypes = arguments


_LIBRARY_NAMES: Final = ("libASICamera2.so", "ASICamera2.dll", "libASICamera2.dylib")


def _library_path() -> str:
    """The file of the ASICamera2 library asi loaded: on Linux the one mapped into the
    process (whatever its name or folder), elsewhere the one beside the module."""
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="surrogateescape") as maps:
            for line in maps:
                fields = line.rstrip("\n").split(maxsplit=5)
                if len(fields) == 6 and fields[5].startswith("/"):
                    if os.path.basename(fields[5]).startswith("libASICamera2.so"):
                        return fields[5]
    except OSError:
        pass
    folder = os.path.dirname(os.path.abspath(asi.__file__ or "."))
    for name in _LIBRARY_NAMES:
        candidate = os.path.join(folder, name)
        if os.path.exists(candidate):
            return candidate
    raise RuntimeError(f"cannot find the ASICamera2 library that asi ({asi.__file__}) loaded")


# asisim_set_fast_frames's value for fast frames that repeat their first frame's noise.
_KEEP_NOISE: Final = 2

_lock: Final = threading.RLock()
_library: _Library | None = None
# The journals recording now, in any thread. The simulator's journal is on exactly while
# this list is not empty, and cleared when it empties: each journal reads from the
# length the text had when it began.
_recording: Final[list[Journal]] = []


def _loaded() -> _Library:
    global _library
    with _lock:
        if _library is None:
            _library = _Library(_library_path())
        return _library


def _simulator() -> ctypes.CDLL:
    library = _loaded()
    if not library.is_simulator:
        raise RuntimeError(f"the ASICamera2 library asi loaded ({library.path}) is not the "
                           "simulator; halvarine.corvantis.sim steers simulated cameras only")
    return library.cdll


def loaded_library() -> str:
    """The path of the ASICamera2 library asi loaded, simulator or not. Raises
    RuntimeError when it cannot be found."""
    return _loaded().path


def available() -> bool:
    """Whether the ASICamera2 library asi loaded is the simulator, which this module
    steers. With the camera maker's library every other function raises RuntimeError."""
    try:
        return _loaded().is_simulator
    except (OSError, RuntimeError):
        return False


# ---------------------------------------------------------------------------------------
# The simulator as a whole.


def reset() -> None:
    """Back to the state after loading: the cameras of ASISIM_CONFIG or the built-in set
    (not those of a configuration `load_config` loaded), all closed, no failures armed,
    no scripts, the default version text, fast frames off, clear sky. Journals recording
    go on recording, keeping the calls made so far."""
    with _lock:
        cdll = _simulator()
        text = _read_journal(cdll) if _recording else b""
        cdll.asisim_reset()
        _carry_over(cdll, text)


def load_config(config: Mapping[str, object] | str | os.PathLike[str] | None) -> None:
    """Loads a simulator configuration and resets the simulator.

    `config` is the configuration itself (a dict, written as JSON to a temporary file),
    the path of a JSON file, or None for the built-in cameras. The format is that of
    ASISIM_CONFIG (see "The simulator" in the README). A configuration the simulator
    refuses raises ValueError with the simulator's message, and changes nothing."""
    cdll = _simulator()
    if config is None or isinstance(config, (str, os.PathLike)):
        path = None if config is None else os.fsencode(config)
        if path is not None and b"\0" in path:
            raise ValueError(f"a path cannot hold a NUL character: {config!r}")
        with _lock:
            # A load resets the simulator, clearing its journal: the calls recorded so
            # far are read first. A refused one changes nothing.
            text = _read_journal(cdll) if _recording else b""
            if cdll.asisim_load_config(path) != 0:
                raise ValueError(cdll.asisim_last_error().decode("utf-8", "replace"))
            _carry_over(cdll, text)
        return
    if not isinstance(config, Mapping):
        raise TypeError(f"a configuration is a dict, a path or None, not {type(config).__name__}")
    document = json.dumps(config)
    file = tempfile.NamedTemporaryFile("w", suffix=".json", encoding="utf-8", delete=False)
    try:
        with file:
            file.write(document)
        load_config(file.name)
    except ValueError as error:
        # The temporary file's name means nothing to the caller.
        raise ValueError(str(error).replace(file.name, "configuration")) from None
    finally:
        os.unlink(file.name)


def fast_frames(on: bool = True, *, fresh_noise: bool = True) -> None:
    """Exposures finish at once and video frames are ready whenever asked for, so a test
    runs at the speed of the program under test. The image still shows the exposure.

    Every frame gets fresh noise, so a stack of fast frames averages down as real ones
    do; with `fresh_noise=False` a frame is rendered once per change of what the image
    depends on and repeated bit for bit, for benchmarks that measure the caller alone."""
    _simulator().asisim_set_fast_frames(0 if not on else 1 if fresh_noise else _KEEP_NOISE)


def set_sdk_version(text: str | bytes | None) -> None:
    """The text ASIGetSDKVersion returns from now on (str as UTF-8), or None for the null
    pointer a broken SDK might hand back."""
    if text is None:
        data, length = None, -1
    elif isinstance(text, str):
        data = text.encode("utf-8")
        length = len(data)
    elif isinstance(text, bytes):
        data, length = text, len(text)
    else:
        raise TypeError(f"the version is a str, bytes or None, not {type(text).__name__}")
    _simulator().asisim_set_sdk_version(data, length)


# ---------------------------------------------------------------------------------------
# Forced statuses and scripted outputs.


def _status(error: object) -> int:
    if isinstance(error, type) and issubclass(error, asi.ASIError):
        # A program's own subclass of asi.ASITimeout stands for the timeout status.
        for kind in error.__mro__:
            codes = [code for code, known in asi.ASI_ERROR_CODE_TO_EXCEPTION.items()
                     if known is kind]
            if codes:
                return min(codes)
        raise ValueError(f"{error.__name__} stands for no SDK status")
    if isinstance(error, bool) or not isinstance(error, int):
        raise TypeError("the error is an asi.ASIError subclass or a status code, "
                        f"not {error!r}")
    return _integer(error, _INT_BITS, "the status")


def fail(function: str, error: type[asi.ASIError] | int, times: int = 1) -> None:
    """The next `times` calls of the SDK function `function` (its C name, such as
    "ASIGetVideoData") return the status of `error` instead of doing their work;
    `times` -1 for every call from now on, 0 to cancel.

    `error` is an exception class of asi (asi.ASITimeout, say; its status is found
    through asi.ASI_ERROR_CODE_TO_EXCEPTION) or a status code. For
    ASIGetNumOfConnectedCameras and ASICameraCheck, which return no status, an int is
    the count or flag they return. A failing call is still journaled, and its scripted
    outputs are still written.

    Raises ValueError for a name that is not an SDK function or a count below -1, and
    TypeError for an error of any other kind; nothing is armed then."""
    name = _function_name(function)
    code = _status(error)
    if isinstance(times, bool) or not isinstance(times, int):
        raise TypeError(f"times is an int, not {type(times).__name__}")
    if times < -1:
        raise ValueError(f"times is a count, -1 (every call) or 0 (cancel), not {times}")
    times = _integer(times, _INT_BITS, "times")
    if _simulator().asisim_force_status(name.encode("ascii"), code, times) != 0:
        raise ValueError(f"not an SDK function: {function!r}")


def clear_failures() -> None:
    """Cancels every failure `fail` armed."""
    _simulator().asisim_clear_forced()


def script(function: str, output: int | str,
           value: Bytes | Record | int) -> None:
    """From now on every call of `function` writes `value` into one of its outputs just
    before it returns, whatever its status -- until `clear_scripts` or `reset`. A later
    script of the same output replaces this one.

    `output` is the pointer parameter's name in ASICamera2.h ("plValue") or its number
    among the function's outputs, counted from 0. `value` is a record of asi for record
    outputs (see `pack` to change its fields), an int or bool for number outputs, or the
    raw bytes: exactly the output's size, or any length for image data (written over the
    start of the caller's buffer).

    Raises ValueError for an unknown function or output, a value of the wrong size or
    out of range, and TypeError for a value of the wrong type; nothing is scripted then."""
    name = _function_name(function)
    index, output_name, kind = _output(name, output)
    data = _output_bytes(name, output_name, kind, value)
    if _simulator().asisim_script_output(name.encode("ascii"), index, data, len(data)) != 0:
        raise ValueError(f"{name} has no output {output!r}")


def clear_scripts() -> None:
    """Removes every script: outputs are the simulator's own again."""
    _simulator().asisim_clear_scripts()


def set_camera_info(index: int, info: asi.CameraInfo | Bytes, /, **fields: object) -> None:
    """What the SDK reports about the camera at `index` (ASIGetCameraProperty and
    ASIGetCameraPropertyByID) from now on: `info` with `fields` replaced, named as the
    properties of asi.CameraInfo. The camera keeps simulating its model; only its
    description changes, until `reset`.

        sim.set_camera_info(0, asi.get_camera_property(0), name="ASI120MM", is_cooler_cam=False)

    Raises ValueError for an index with no camera and as `pack` does for the fields."""
    if isinstance(index, bool) or not isinstance(index, int):
        raise TypeError(f"the camera index is an int, not {type(index).__name__}")
    if isinstance(info, (bytes, bytearray, memoryview)):
        if fields:
            raise TypeError("fields cannot be replaced in raw bytes; pass an asi.CameraInfo")
        data = _output_bytes("set_camera_info", "info", asi.CameraInfo, info)
    elif isinstance(info, asi.CameraInfo):
        data = pack(info, **fields)
    else:
        raise TypeError(f"info is an asi.CameraInfo or bytes, not {type(info).__name__}")
    index = _integer(index, _INT_BITS, "the camera index")
    if _simulator().asisim_set_camera_info(index, data, len(data)) != 0:
        raise ValueError(f"no simulated camera at index {index}")


# ---------------------------------------------------------------------------------------
# The journal.


def _parse_value(text: str) -> Value:
    if text.startswith("hex:"):
        return bytes.fromhex(text[4:])
    if text in ("ptr", "null"):
        return text
    try:
        return int(text)
    except ValueError:
        return text


@dataclasses.dataclass(frozen=True)
class Call:
    """One SDK call: its C name, and its arguments by their names in ASICamera2.h.

    Integers and enumerations are ints, pointers "ptr" or "null" (what they point to is
    not recorded), ASIEnableDarkSubtract's path and ASISetID's ID are bytes."""

    function: str
    args: Mapping[str, Value]

    def __getitem__(self, parameter: str) -> Value:
        """The argument `parameter`, as `args[parameter]`."""
        return self.args[parameter]


def _parse_journal(text: str) -> list[Call]:
    """The calls of the simulator's journal text: one line per call, the function name
    and then name=value fields, separated by tabs."""
    calls = []
    for line in text.splitlines():
        if not line:
            continue
        function, *fields = line.split("\t")
        args = {}
        for field in fields:
            key, _, value = field.partition("=")
            args[key] = _parse_value(value)
        calls.append(Call(function, args))
    return calls


def _read_journal(cdll: ctypes.CDLL) -> bytes:
    size = cdll.asisim_journal_read(None, 0)
    while True:
        buffer = ctypes.create_string_buffer(size)
        needed = cdll.asisim_journal_read(buffer, size)
        if needed <= size:
            return buffer.raw[: needed - 1]
        size = needed  # calls from other threads made it grow meanwhile


class Journal:
    """The SDK calls made while the `with` block of `journal()` runs, in order.

    Inside the block the calls so far are read afresh each time; after it, the list is
    fixed."""

    def __init__(self) -> None:
        self._start = 0  # where this journal's calls begin in the simulator's text
        self._earlier: list[Call] = []  # recorded before a reset cleared that text
        self._state = "new"
        self._calls: list[Call] = []

    def __enter__(self) -> Journal:
        if self._state != "new":
            raise RuntimeError("a journal records only once; call sim.journal() again")
        cdll = _simulator()
        with _lock:
            if _recording:
                # Others are recording: keep their calls, read from here on.
                self._start = len(_read_journal(cdll))
            else:
                cdll.asisim_journal_clear()
                cdll.asisim_journal_enable(1)
            _recording.append(self)
            self._state = "recording"
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        with _lock:
            if self._state != "recording":
                return  # ended by reset() or load_config()
            cdll = _simulator()
            self._finish(_read_journal(cdll))
            _recording.remove(self)
            if not _recording:
                cdll.asisim_journal_enable(0)
                cdll.asisim_journal_clear()

    def _finish(self, text: bytes) -> None:
        self._calls = self._recorded(text)
        self._state = "done"

    def _recorded(self, text: bytes) -> list[Call]:
        return self._earlier + _parse_journal(text[self._start:].decode("ascii", "replace"))

    def calls(self, function: str | None = None) -> list[Call]:
        """The calls recorded, or only those of the SDK function `function` (C name)."""
        if function is not None:
            _function_name(function)
        with _lock:
            if self._state == "recording":
                recorded = self._recorded(_read_journal(_simulator()))
            else:
                recorded = self._calls
        return [call for call in recorded if function is None or call.function == function]

    def clear(self) -> None:
        """Forgets the calls recorded so far; recording goes on. A test sets the scene,
        clears, and then looks only at what the code under test called."""
        with _lock:
            if self._state != "recording":
                self._calls = []
                return
            cdll = _simulator()
            self._earlier = []
            if _recording == [self]:
                cdll.asisim_journal_clear()  # nobody else reads the text
                self._start = 0
            else:
                self._start = len(_read_journal(cdll))

    def functions(self) -> list[str]:
        """The C names of the functions called, in order."""
        return [call.function for call in self.calls()]

    def __iter__(self) -> Iterator[Call]:
        """The calls recorded, as `calls()` gives them."""
        return iter(self.calls())

    def __len__(self) -> int:
        """The number of calls recorded."""
        return len(self.calls())


def _carry_over(cdll: ctypes.CDLL, text: bytes) -> None:
    """Keeps the journals recording across a reset of the simulator, which turns its
    journal off and clears it. `text` is the journal read just before."""
    if _recording:
        for recording in _recording:
            recording._earlier = recording._recorded(text)
            recording._start = 0
        cdll.asisim_journal_enable(1)


def _stop_journals() -> None:
    """Ends every journal still recording, as if its block had ended (the pytest plugin
    cleans up after a test that left one open)."""
    with _lock:
        for recording in list(_recording):
            recording.__exit__(None, None, None)


def journal() -> Journal:
    """A context manager that records the SDK calls made inside its `with` block, from
    every thread, and hands them back parsed:

        with sim.journal() as journal:
            asi.open_camera(0)
        assert journal.calls("ASIOpenCamera")[0].args["iCameraID"] == 0

    Journals may nest and may record in several threads at once; the simulator's journal
    is off again when the last one ends. A `reset` or `load_config` inside the block
    does not interrupt the recording. `Journal.clear()` forgets what was recorded so
    far, for a test that looks only at the calls after its setup."""
    return Journal()


# ---------------------------------------------------------------------------------------
# Events of the simulated world: cameras that come and go, trigger pulses, the sky.


_CAMERA_SLOTS: Final = 16  # the simulator's camera slots (kMaxCameras)


def _status_of(result: int, message: str) -> None:
    if result != 0:
        raise ValueError(message)


def _camera_number(value: object, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} is an int, not {type(value).__name__}")
    return _integer(value, _INT_BITS, what)


def _slot(index: object) -> int:
    index = _camera_number(index, "the camera index")
    if not 0 <= index < _CAMERA_SLOTS:
        raise ValueError(f"no simulated camera at index {index}")
    return index


def unplug(index: int) -> None:
    """Pulls the camera at `index` out, as a USB cable pulled: it leaves the count of
    connected cameras, the cameras after it move down one index in the SDK's
    enumeration (their camera IDs stay), and its calls answer asi.ASICameraRemoved -- a
    `get_video_data` waiting for a frame returns at once, a running exposure fails, its
    capture stops.

    `index` is the camera's position in the simulator's configuration, which is also
    its camera ID, so it names the same camera however many are unplugged. Unplugging
    an unplugged camera changes nothing. Raises ValueError for an index with no camera."""
    index = _slot(index)
    _status_of(_simulator().asisim_unplug(index), f"no simulated camera at index {index}")


def plug(index: int) -> None:
    """Plugs the camera at `index` (as for `unplug`) back in: it takes its place in the
    enumeration again and appears closed, as after a real reconnect, so a program opens
    it anew. Plugging a connected camera changes nothing. Raises ValueError for an index
    with no camera."""
    index = _slot(index)
    _status_of(_simulator().asisim_plug(index), f"no simulated camera at index {index}")


def trigger(camera_id: int, duration_us: int = 1000) -> None:
    """A pulse on the hardware trigger input of the camera `camera_id`: the input goes to
    the level its trigger mode waits for (high for the rising edge and high level modes,
    low for the others) for `duration_us` microseconds, then back. During video capture
    an edge mode takes one frame of the exposure time set, a level mode one frame
    exposed for the pulse; in other modes, or with no capture running, the camera
    ignores the pulse, as a real one does. Returns at once.

    Raises ValueError for an ID with no trigger camera or a negative duration."""
    camera_id = _camera_number(camera_id, "the camera ID")
    if isinstance(duration_us, bool) or not isinstance(duration_us, int):
        raise TypeError(f"duration_us is an int, not {type(duration_us).__name__}")
    if duration_us < 0:
        raise ValueError(f"duration_us must not be negative, not {duration_us}")
    duration_us = _integer(duration_us, _LONG_BITS, "duration_us")
    _status_of(_simulator().asisim_trigger_pulse(camera_id, duration_us),
               f"no simulated trigger camera with ID {camera_id}")


_AMBIENT_RANGE: Final = (-100.0, 100.0)


def set_ambient_temperature(celsius: float) -> None:
    """The air temperature around every camera, in degrees Celsius (-100 to 100), until
    `reset`: sensors of uncooled cameras drift towards it, and coolers work against it.
    Raises ValueError for a temperature outside that range."""
    value = _real(celsius, "celsius")
    low, high = _AMBIENT_RANGE
    if not low <= value <= high:
        raise ValueError(f"the ambient temperature lies between {low:g} and {high:g} °C, "
                         f"not {value}")
    _status_of(_simulator().asisim_set_ambient_temperature(value),
               f"the simulator refuses an ambient temperature of {value} °C")


def pass_cloud(transparency: float, seconds: float) -> None:
    """A cloud passes over the sky, starting now: the share of light that gets through
    falls smoothly from 1 to `transparency` (0 opaque, 1 clear) at half time and back
    to 1 after `seconds`. Stars and sky background of every exposure dim by the mean
    over the exposure; dark frames do not change. Clouds passing together multiply, and
    `reset` clears the sky. Raises ValueError for a transparency outside 0..1 or a
    duration that is not positive."""
    value = _real(transparency, "transparency")
    duration = _real(seconds, "seconds")
    if not 0.0 <= value <= 1.0:
        raise ValueError(f"transparency lies between 0 and 1, not {value}")
    if not (math.isfinite(duration) and duration > 0.0):
        raise ValueError(f"seconds must be a positive duration, not {duration}")
    _status_of(_simulator().asisim_pass_cloud(value, duration),
               "the simulator refuses this cloud")
