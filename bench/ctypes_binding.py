"""The same SDK calls as a user writes them with ctypes: argtypes set, out-values through
byref, the status checked against a dict of exception classes, and the same Python result
(tuples of int/bool, a structure standing in for the record) and the same exceptions as
the `asi` module. This is the baseline the module has to beat."""

import ctypes
import os
from ctypes import POINTER, Structure, byref, c_char, c_double, c_float, c_int, c_long

import asi

lib = ctypes.CDLL(os.path.join(os.path.dirname(asi.__file__), "libASICamera2.so"))


class ASI_CAMERA_INFO(Structure):
    _fields_ = [
        ("Name", c_char * 64),
        ("CameraID", c_int),
        ("MaxHeight", c_long),
        ("MaxWidth", c_long),
        ("IsColorCam", c_int),
        ("BayerPattern", c_int),
        ("SupportedBins", c_int * 16),
        ("SupportedVideoFormat", c_int * 8),
        ("PixelSize", c_double),
        ("MechanicalShutter", c_int),
        ("ST4Port", c_int),
        ("IsCoolerCam", c_int),
        ("IsUSB3Host", c_int),
        ("IsUSB3Camera", c_int),
        ("ElecPerADU", c_float),
        ("BitDepth", c_int),
        ("IsTriggerCam", c_int),
        ("Unused", c_char * 16),
    ]


class ASI_CONTROL_CAPS(Structure):
    _fields_ = [
        ("Name", c_char * 64),
        ("Description", c_char * 128),
        ("MaxValue", c_long),
        ("MinValue", c_long),
        ("DefaultValue", c_long),
        ("IsAutoSupported", c_int),
        ("IsWritable", c_int),
        ("ControlType", c_int),
        ("Unused", c_char * 32),
    ]





def _declare(name, argtypes, restype=c_int):
    function = getattr(lib, name)
    function.argtypes = argtypes
    function.restype = restype
    return function


_count = _declare("ASIGetNumOfConnectedCameras", [])
_property = _declare("ASIGetCameraProperty", [POINTER(ASI_CAMERA_INFO), c_int])
_stop_exposure = _declare("ASIStopExposure", [c_int])
_get_control_value = _declare("ASIGetControlValue", [c_int, c_int, POINTER(c_long), POINTER(c_int)])
_set_control_value = _declare("ASISetControlValue", [c_int, c_int, c_long, c_int])
_control_caps = _declare("ASIGetControlCaps", [c_int, c_int, POINTER(ASI_CONTROL_CAPS)])
_set_camera_mode = _declare("ASISetCameraMode", [c_int, c_int])
_pulse_guide_on = _declare("ASIPulseGuideOn", [c_int, c_int])

ERRORS = dict(asi.ASI_ERROR_CODE_TO_EXCEPTION)
SUCCESS = asi.ASISuccess
UNKNOWN = asi.ASIUnknownErrorCode


def check(status):
    error = ERRORS.get(status)
    if error is None:
        raise UNKNOWN(f"ASI error code {status} (unknown).")
    if error is not SUCCESS:
        raise error(f"ASI error code {status}.")


def get_number_of_connected_cameras():
    return _count()


def stop_exposure(camera_id):
    check(_stop_exposure(camera_id))


def get_control_value(camera_id, control_type):
    value = c_long()
    auto = c_int()
    check(_get_control_value(camera_id, control_type.value, byref(value), byref(auto)))
    return value.value, bool(auto.value)


def set_control_value(camera_id, control_type, value, auto):
    check(_set_control_value(camera_id, control_type.value, value, bool(auto)))


def get_control_caps(camera_id, control_index):
    caps = ASI_CONTROL_CAPS()
    check(_control_caps(camera_id, control_index, byref(caps)))
    return caps


def get_camera_property(camera_index):
    info = ASI_CAMERA_INFO()
    check(_property(byref(info), camera_index))
    return info


def set_camera_mode(camera_id, mode):
    check(_set_camera_mode(camera_id, mode.value))


def pulse_guide_on(camera_id, direction):
    check(_pulse_guide_on(camera_id, direction.value))
