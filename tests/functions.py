"""The module's 42 operation functions, and handle_error_code, as data: parameters with
their kinds, the result annotation, the SDK function each one calls (named as the
simulator's journal names it), and the order of the steps of its implementation stage
where it differs from the common one. The one table behind the table-driven tests, the
fuzzer and the reliability checks."""

from dataclasses import dataclass, field

# Parameter kinds, as the call rules name them.
INT, LONG, BOOL, TEXT, RECORD, ENUM = "int", "long", "bool", "text", "record", "enum"
INTEGER_KINDS = (INT, LONG)


@dataclass(frozen=True)
class Param:
    name: str
    kind: str
    sdk: str                  # the SDK argument it feeds, as the journal names it
    enum: str | None = None   # the enumeration class an ENUM parameter takes

    @property
    def annotation(self):
        return self.enum or {INT: "int", LONG: "int", BOOL: "bool", TEXT: "str",
                             RECORD: "Id"}[self.kind]


@dataclass(frozen=True)
class Function:
    name: str
    sdk: str | None
    returns: str              # the result annotation
    params: tuple = ()
    # The implementation stage, step by step: "handler" resolves handle_error_code,
    # "convert:P" converts parameter P to C, "buffer:P" makes the image buffer from P,
    # "sdk" calls the SDK. The common order is the handler, then every parameter.
    steps: tuple = field(default=None)

    def __post_init__(self):
        if self.steps is None:
            common = ("handler", *(f"convert:{p.name}" for p in self.params), "sdk")
            object.__setattr__(self, "steps", common)

    @property
    def handled(self):
        """Whether the SDK's status goes through handle_error_code."""
        return "handler" in self.steps

    def param(self, name):
        return next(p for p in self.params if p.name == name)

    def __repr__(self):
        return self.name


CAMERA = Param("camera_id", INT, "iCameraID")


def _f(name, sdk, returns, *params, steps=None):
    return Function(name, sdk, returns, tuple(params), steps)


def _image(name, sdk, returns, *params):
    """Snap readers: the buffer (after any record) comes before the handler."""
    return _f(name, sdk, returns, CAMERA, *params,
              steps=("buffer:buffer_size", "handler", "convert:camera_id",
                     "convert:buffer_size", "sdk"))


FUNCTIONS = [
    _f("get_number_of_connected_cameras", "ASIGetNumOfConnectedCameras", "int", steps=("sdk",)),
    _f("camera_check", "ASICameraCheck", "int", Param("i_vid", INT, "iVID"),
       Param("i_pid", INT, "iPID"), steps=("convert:i_vid", "convert:i_pid", "sdk")),
    _f("get_camera_property", "ASIGetCameraProperty", "CameraInfo",
       Param("camera_index", INT, "iCameraIndex")),
    _f("get_sdk_version", "ASIGetSDKVersion", "str", steps=("sdk",)),
    _f("get_camera_property_by_id", "ASIGetCameraPropertyByID", "CameraInfo", CAMERA),
    _f("open_camera", "ASIOpenCamera", "None", CAMERA),
    _f("init_camera", "ASIInitCamera", "None", CAMERA),
    _f("close_camera", "ASICloseCamera", "None", CAMERA),
    _f("get_id", "ASIGetID", "Id", Param("i_camera_id", INT, "iCameraID")),
    _f("set_id", "ASISetID", "None", CAMERA, Param("serial_number", RECORD, "ID")),
    _f("get_serial_number", "ASIGetSerialNumber", "Id", CAMERA),
    _f("get_camera_support_mode", "ASIGetCameraSupportMode", "list[CameraMode]", CAMERA),
    _f("get_camera_mode", "ASIGetCameraMode", "CameraMode", CAMERA),
    _f("set_camera_mode", "ASISetCameraMode", "None", CAMERA,
       Param("mode", ENUM, "mode", "CameraMode")),
    _f("start_exposure", "ASIStartExposure", "None", CAMERA, Param("is_dark", BOOL, "bIsDark")),
    _f("stop_exposure", "ASIStopExposure", "None", CAMERA),
    _f("get_exp_status", "ASIGetExpStatus", "int", CAMERA),
    _image("get_data_after_exp", "ASIGetDataAfterExp", "bytes",
           Param("buffer_size", LONG, "lBuffSize")),
    _image("get_data_after_exp_gps", "ASIGetDataAfterExpGPS", "tuple[bytes, GpsData]",
           Param("buffer_size", LONG, "lBuffSize")),
    _f("start_video_capture", "ASIStartVideoCapture", "None", CAMERA),
    _f("stop_video_capture", "ASIStopVideoCapture", "None", CAMERA),
    # The one call that converts first, waits without the interpreter lock and resolves
    # the handler after the SDK call.
    _f("get_video_data", "ASIGetVideoData", "bytearray", CAMERA,
       Param("buffer_size", INT, "lBuffSize"), Param("wait_ms", INT, "iWaitms"),
       steps=("convert:camera_id", "convert:buffer_size", "convert:wait_ms",
              "buffer:buffer_size", "sdk", "handler")),
    _f("get_video_data_gps", "ASIGetVideoDataGPS", "tuple[bytes, GpsData]", CAMERA,
       Param("buffer_size", LONG, "lBuffSize"), Param("wait_ms", INT, "iWaitms"),
       steps=("buffer:buffer_size", "handler", "convert:camera_id", "convert:buffer_size",
              "convert:wait_ms", "sdk")),
    _f("get_num_of_controls", "ASIGetNumOfControls", "int", CAMERA),
    _f("get_control_caps", "ASIGetControlCaps", "ControlCaps", CAMERA,
       Param("control_index", INT, "iControlIndex")),
    _f("get_control_value", "ASIGetControlValue", "tuple[int, bool]", CAMERA,
       Param("control_type", ENUM, "ControlType", "ControlType")),
    _f("set_control_value", "ASISetControlValue", "None", CAMERA,
       Param("control_type", ENUM, "ControlType", "ControlType"), Param("value", LONG, "lValue"),
       Param("auto_mode", BOOL, "bAuto")),
    _f("set_roi_format", "ASISetROIFormat", "None", CAMERA, Param("width", INT, "iWidth"),
       Param("height", INT, "iHeight"), Param("bin", INT, "iBin"),
       Param("img_type", ENUM, "Img_type", "ImgType")),
    _f("get_roi_format", "ASIGetROIFormat", "tuple[int, int, int, ImgType]", CAMERA),
    _f("set_start_pos", "ASISetStartPos", "None", CAMERA, Param("start_x", INT, "iStartX"),
       Param("start_y", INT, "iStartY")),
    _f("get_start_pos", "ASIGetStartPos", "tuple[int, int]", CAMERA),
    _f("get_dropped_frames", "ASIGetDroppedFrames", "int", CAMERA),
    _f("enable_dark_subtract", "ASIEnableDarkSubtract", "None", CAMERA,
       Param("bmp_path", TEXT, "pcBMPPath")),
    _f("disable_dark_subtract", "ASIDisableDarkSubtract", "None", CAMERA),
    _f("pulse_guide_on", "ASIPulseGuideOn", "None", CAMERA,
       Param("direction", ENUM, "direction", "GuideDirection")),
    _f("pulse_guide_off", "ASIPulseGuideOff", "None", CAMERA,
       Param("direction", ENUM, "direction", "GuideDirection")),
    _f("get_gain_offset", "ASIGetGainOffset", "tuple[int, int, int, int]", CAMERA),
    _f("get_lmh_gain_offset", "ASIGetLMHGainOffset", "tuple[int, int, int, int]", CAMERA),
    _f("send_soft_trigger", "ASISendSoftTrigger", "None", CAMERA, Param("start", BOOL, "bStart")),
    _f("set_trigger_output_io_conf", "ASISetTriggerOutputIOConf", "None", CAMERA,
       Param("pin", ENUM, "pin", "TrigOutput"), Param("pin_high", BOOL, "bPinHigh"),
       Param("delay", LONG, "lDelay"), Param("duration", LONG, "lDuration")),
    _f("get_trigger_output_io_conf", "ASIGetTriggerOutputIOConf", "tuple[bool, int, int]", CAMERA,
       Param("pin", INT, "pin")),
    _f("gps_get_data", "ASIGPSGetData", "tuple[GpsData, GpsData]", CAMERA),
]

# The module's own status check, bound before them: one integer, no SDK call.
HANDLE_ERROR_CODE = Function("handle_error_code", None, "None",
                             (Param("asi_error_code", INT, "-"),),
                             steps=("convert:asi_error_code",))
ALL = [HANDLE_ERROR_CODE, *FUNCTIONS]

BY_NAME = {f.name: f for f in ALL}
WITH_PARAMS = [f for f in FUNCTIONS if f.params]
HANDLED = [f for f in FUNCTIONS if f.handled]
