"""The module's 42 operation functions as data: parameters with their kinds, the SDK
function each one calls (named as the simulator's journal names it), and the order of the
steps of its implementation stage where it differs from the common one."""

from dataclasses import dataclass, field

# Parameter kinds, as the call rules name them.
INT, LONG, BOOL, TEXT, RECORD, ENUM = "int", "long", "bool", "text", "record", "enum"
INTEGER_KINDS = (INT, LONG)


@dataclass(frozen=True)
class Param:
    name: str
    kind: str
    sdk: str                  # the SDK argument it feeds, as the journal names it


@dataclass(frozen=True)
class Function:
    name: str
    sdk: str | None
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


def _f(name, sdk, *params, steps=None):
    return Function(name, sdk, tuple(params), steps)


def _image(name, sdk, *params):
    """Snap readers: the buffer (after any record) comes before the handler."""
    return _f(name, sdk, CAMERA, *params,
              steps=("buffer:buffer_size", "handler", "convert:camera_id",
                     "convert:buffer_size", "sdk"))


FUNCTIONS = [
    _f("get_number_of_connected_cameras", "ASIGetNumOfConnectedCameras", steps=("sdk",)),
    _f("camera_check", "ASICameraCheck", Param("i_vid", INT, "iVID"),
       Param("i_pid", INT, "iPID"), steps=("convert:i_vid", "convert:i_pid", "sdk")),
    _f("get_camera_property", "ASIGetCameraProperty", Param("camera_index", INT, "iCameraIndex")),
    _f("get_sdk_version", "ASIGetSDKVersion", steps=("sdk",)),
    _f("get_camera_property_by_id", "ASIGetCameraPropertyByID", CAMERA),
    _f("open_camera", "ASIOpenCamera", CAMERA),
    _f("init_camera", "ASIInitCamera", CAMERA),
    _f("close_camera", "ASICloseCamera", CAMERA),
    _f("get_id", "ASIGetID", Param("i_camera_id", INT, "iCameraID")),
    _f("set_id", "ASISetID", CAMERA, Param("serial_number", RECORD, "ID")),
    _f("get_serial_number", "ASIGetSerialNumber", CAMERA),
    _f("get_camera_support_mode", "ASIGetCameraSupportMode", CAMERA),
    _f("get_camera_mode", "ASIGetCameraMode", CAMERA),
    _f("set_camera_mode", "ASISetCameraMode", CAMERA, Param("mode", ENUM, "mode")),
    _f("start_exposure", "ASIStartExposure", CAMERA, Param("is_dark", BOOL, "bIsDark")),
    _f("stop_exposure", "ASIStopExposure", CAMERA),
    _f("get_exp_status", "ASIGetExpStatus", CAMERA),
    _image("get_data_after_exp", "ASIGetDataAfterExp", Param("buffer_size", LONG, "lBuffSize")),
    _image("get_data_after_exp_gps", "ASIGetDataAfterExpGPS",
           Param("buffer_size", LONG, "lBuffSize")),
    _f("start_video_capture", "ASIStartVideoCapture", CAMERA),
    _f("stop_video_capture", "ASIStopVideoCapture", CAMERA),
    # The one call that converts first, waits without the interpreter lock and resolves
    # the handler after the SDK call.
    _f("get_video_data", "ASIGetVideoData", CAMERA, Param("buffer_size", INT, "lBuffSize"),
       Param("wait_ms", INT, "iWaitms"),
       steps=("convert:camera_id", "convert:buffer_size", "convert:wait_ms",
              "buffer:buffer_size", "sdk", "handler")),
    _f("get_video_data_gps", "ASIGetVideoDataGPS", CAMERA,
       Param("buffer_size", LONG, "lBuffSize"), Param("wait_ms", INT, "iWaitms"),
       steps=("buffer:buffer_size", "handler", "convert:camera_id", "convert:buffer_size",
              "convert:wait_ms", "sdk")),
    _f("get_num_of_controls", "ASIGetNumOfControls", CAMERA),
    _f("get_control_caps", "ASIGetControlCaps", CAMERA,
       Param("control_index", INT, "iControlIndex")),
    _f("get_control_value", "ASIGetControlValue", CAMERA,
       Param("control_type", ENUM, "ControlType")),
    _f("set_control_value", "ASISetControlValue", CAMERA,
       Param("control_type", ENUM, "ControlType"), Param("value", LONG, "lValue"),
       Param("auto_mode", BOOL, "bAuto")),
    _f("set_roi_format", "ASISetROIFormat", CAMERA, Param("width", INT, "iWidth"),
       Param("height", INT, "iHeight"), Param("bin", INT, "iBin"),
       Param("img_type", ENUM, "Img_type")),
    _f("get_roi_format", "ASIGetROIFormat", CAMERA),
    _f("set_start_pos", "ASISetStartPos", CAMERA, Param("start_x", INT, "iStartX"),
       Param("start_y", INT, "iStartY")),
    _f("get_start_pos", "ASIGetStartPos", CAMERA),
    _f("get_dropped_frames", "ASIGetDroppedFrames", CAMERA),
    _f("enable_dark_subtract", "ASIEnableDarkSubtract", CAMERA,
       Param("bmp_path", TEXT, "pcBMPPath")),
    _f("disable_dark_subtract", "ASIDisableDarkSubtract", CAMERA),
    _f("pulse_guide_on", "ASIPulseGuideOn", CAMERA, Param("direction", ENUM, "direction")),
    _f("pulse_guide_off", "ASIPulseGuideOff", CAMERA, Param("direction", ENUM, "direction")),
    _f("get_gain_offset", "ASIGetGainOffset", CAMERA),
    _f("get_lmh_gain_offset", "ASIGetLMHGainOffset", CAMERA),
    _f("send_soft_trigger", "ASISendSoftTrigger", CAMERA, Param("start", BOOL, "bStart")),
    _f("set_trigger_output_io_conf", "ASISetTriggerOutputIOConf", CAMERA,
       Param("pin", ENUM, "pin"), Param("pin_high", BOOL, "bPinHigh"),
       Param("delay", LONG, "lDelay"), Param("duration", LONG, "lDuration")),
    _f("get_trigger_output_io_conf", "ASIGetTriggerOutputIOConf", CAMERA,
       Param("pin", INT, "pin")),
    _f("gps_get_data", "ASIGPSGetData", CAMERA),
]

BY_NAME = {f.name: f for f in FUNCTIONS}
WITH_PARAMS = [f for f in FUNCTIONS if f.params]
HANDLED = [f for f in FUNCTIONS if f.handled]
