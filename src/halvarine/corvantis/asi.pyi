"""The ASI astronomy-camera SDK (ASICamera2) for Python.

Every function makes one SDK call; a failing status raises the ASIError subclass that
ASI_ERROR_CODE_TO_EXCEPTION maps it to. Integer parameters accept any number (it is
truncated with int()); enumeration parameters are read through their ``value``.
"""

from enum import IntEnum as IntEnum
from typing import Optional as Optional

from typing_extensions import disjoint_base

# ---------------------------------------------------------------------------------------
# Records: one SDK structure each, held by value, converted on every read. Each call of
# the module returns new records; none of them can be pickled or copied.

@disjoint_base
class ControlCaps:
    """What one control of a camera offers (ASI_CONTROL_CAPS)."""
    def __init__(self) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def description(self) -> str: ...
    @property
    def max_value(self) -> int: ...
    @property
    def min_value(self) -> int: ...
    @property
    def default_value(self) -> int: ...
    @property
    def is_auto_supported(self) -> bool: ...
    @property
    def is_writable(self) -> bool: ...
    @property
    def control_type(self) -> ControlType: ...

@disjoint_base
class Id:
    """A camera ID or serial number: eight bytes, read and written as 16 hex digits."""
    def __init__(self) -> None: ...
    @property
    def id(self) -> str: ...
    @id.setter
    def id(self, identifier: str) -> None: ...

@disjoint_base
class SupportedMode:
    """The camera modes a camera supports (ASI_SUPPORTED_MODE)."""
    def __init__(self) -> None: ...
    @property
    def supported_camera_mode(self) -> list[CameraMode]: ...

@disjoint_base
class GpsData:
    """Time stamp and position of a GPS camera (ASI_GPS_DATA)."""
    def __init__(self) -> None: ...
    @property
    def latitude(self) -> float: ...
    @property
    def longitude(self) -> float: ...
    @property
    def altitude(self) -> int: ...
    @property
    def satellite_num(self) -> int: ...
    @property
    def year(self) -> int: ...
    @property
    def month(self) -> int: ...
    @property
    def day(self) -> int: ...
    @property
    def hour(self) -> int: ...
    @property
    def minute(self) -> int: ...
    @property
    def second(self) -> int: ...
    @property
    def m_second(self) -> int: ...
    @property
    def u_second(self) -> int: ...

@disjoint_base
class CameraInfo:
    """A camera's static description (ASI_CAMERA_INFO)."""
    def __init__(self) -> None: ...
    @property
    def name(self) -> str: ...
    @name.setter
    def name(self, value: str) -> None: ...
    @property
    def camera_id(self) -> int: ...
    @property
    def max_height(self) -> int: ...
    @property
    def max_width(self) -> int: ...
    @property
    def is_color_camera(self) -> bool: ...
    @property
    def bayer_pattern(self) -> BayerPattern: ...
    @property
    def supported_bins(self) -> list[int]: ...
    @property
    def supported_video_formats(self) -> list[ImgType]: ...
    @property
    def pixel_size(self) -> float: ...
    @property
    def mechanical_shutter(self) -> bool: ...
    @property
    def st_4_port(self) -> bool: ...
    @property
    def is_cooler_cam(self) -> bool: ...
    @property
    def is_usb3_host(self) -> bool: ...
    @property
    def is_usb3_camera(self) -> bool: ...
    @property
    def elec_per_adu(self) -> float: ...
    @property
    def bit_depth(self) -> int: ...
    @property
    def is_trigger_cam(self) -> bool: ...

# ---------------------------------------------------------------------------------------
# Enumerations: the SDK's constant names and values.

class BayerPattern(IntEnum):
    BAYER_RG = 0
    BAYER_BG = 1
    BAYER_GR = 2
    BAYER_GB = 3

class ImgType(IntEnum):
    IMG_RAW8 = 0
    IMG_RGB24 = 1
    IMG_RAW16 = 2
    IMG_Y8 = 3
    IMG_END = -1

class ControlType(IntEnum):
    ASI_GAIN = 0
    ASI_EXPOSURE = 1
    ASI_GAMMA = 2
    ASI_WB_R = 3
    ASI_WB_B = 4
    ASI_OFFSET = 5
    ASI_BANDWIDTHOVERLOAD = 6
    ASI_OVERCLOCK = 7
    ASI_TEMPERATURE = 8
    ASI_FLIP = 9
    ASI_AUTO_MAX_GAIN = 10
    ASI_AUTO_MAX_EXP = 11
    ASI_AUTO_TARGET_BRIGHTNESS = 12
    ASI_HARDWARE_BIN = 13
    ASI_HIGH_SPEED_MODE = 14
    ASI_COOLER_POWER_PERC = 15
    ASI_TARGET_TEMP = 16
    ASI_COOLER_ON = 17
    ASI_MONO_BIN = 18
    ASI_FAN_ON = 19
    ASI_PATTERN_ADJUST = 20
    ASI_ANTI_DEW_HEATER = 21
    ASI_FAN_ADJUST = 22
    ASI_PWRLED_BRIGNT = 23  # sic: the SDK's spelling
    ASI_USBHUB_RESET = 24
    ASI_GPS_SUPPORT = 25
    ASI_GPS_START_LINE = 26
    ASI_GPS_END_LINE = 27
    ASI_ROLLING_INTERVAL = 28

class CameraMode(IntEnum):
    ASI_MODE_NORMAL = 0
    ASI_MODE_TRIG_SOFT_EDGE = 1
    ASI_MODE_TRIG_RISE_EDGE = 2
    ASI_MODE_TRIG_FALL_EDGE = 3
    ASI_MODE_TRIG_SOFT_LEVEL = 4
    ASI_MODE_TRIG_HIGH_LEVEL = 5
    ASI_MODE_TRIG_LOW_LEVEL = 6
    ASI_MODE_END = -1

class GuideDirection(IntEnum):
    ASI_GUIDE_NORTH = 0
    ASI_GUIDE_SOUTH = 1
    ASI_GUIDE_EAST = 2
    ASI_GUIDE_WEST = 3

class FlipStatus(IntEnum):
    ASI_FLIP_NONE = 0
    ASI_FLIP_HORIZ = 1
    ASI_FLIP_VERT = 2
    ASI_FLIP_BOTH = 3

class TrigOutput(IntEnum):
    ASI_TRIG_OUTPUT_PINA = 0
    ASI_TRIG_OUTPUT_PINB = 1
    ASI_TRIG_OUTPUT_NONE = -1

class ExposureStatus(IntEnum):
    ASI_EXP_IDLE = 0
    ASI_EXP_WORKING = 1
    ASI_EXP_SUCCESS = 2
    ASI_EXP_FAILED = 3

# ---------------------------------------------------------------------------------------
# Errors: one class per SDK status, all derived from ASIError.

class ASIError(Exception): ...
class ASISuccess(ASIError): ...
class ASIInvalidIndex(ASIError): ...
class ASIInvalidID(ASIError): ...
class ASICameraClosed(ASIError): ...
class ASICameraRemoved(ASIError): ...
class ASITimeout(ASIError): ...
class ASIGeneralError(ASIError): ...
class ASIInvalidControlType(ASIError): ...
class ASIInvalidPath(ASIError): ...
class ASIInvalidFileFormat(ASIError): ...
class ASIInvalidSize(ASIError): ...
class ASIInvalidImageType(ASIError): ...
class ASIOutOfBoundary(ASIError): ...
class ASIInvalidSequence(ASIError): ...
class ASIBufferTooSmall(ASIError): ...
class ASIVideoModeActive(ASIError): ...
class ASIExposureInProgress(ASIError): ...
class ASIInvalidMode(ASIError): ...
class ASIGPSNotSupported(ASIError): ...
class ASIGPSVersionError(ASIError): ...
class ASIGPSFPGAError(ASIError): ...
class ASIGPSParamOutOfRange(ASIError): ...
class ASIGPSDataInvalid(ASIError): ...
class ASIErrorEnd(ASIError): ...
class ASIUnknownErrorCode(ASIError): ...

ASI_ERROR_CODE_TO_EXCEPTION: dict[int, type[ASIError]]
"""SDK status code (0 to 23) to exception class; looked up at every call, so it may be
extended or rebound."""

def handle_error_code(asi_error_code: int) -> None:
    """Return for a code that maps to ASISuccess; otherwise raise the mapped exception
    (ASIUnknownErrorCode for an unmapped code) with the message "ASI error code N."."""

# ---------------------------------------------------------------------------------------
# Discovery and identity.

def get_number_of_connected_cameras() -> int:
    """The number of cameras the SDK sees."""

def camera_check(i_vid: int, i_pid: int) -> int:
    """1 if the USB vendor and product IDs belong to a supported camera, else 0."""

def get_camera_property(camera_index: int) -> CameraInfo:
    """The description of the camera at this position (0 to count - 1)."""

def get_sdk_version() -> str:
    """The SDK's version text."""

def get_camera_property_by_id(camera_id: int) -> CameraInfo:
    """The description of the camera with this ID."""

# ---------------------------------------------------------------------------------------
# Lifecycle.

def open_camera(camera_id: int) -> None:
    """Open the camera; the first call for every camera."""

def init_camera(camera_id: int) -> None:
    """Initialise an opened camera; needed before capture and controls."""

def close_camera(camera_id: int) -> None:
    """Close the camera."""

def get_id(i_camera_id: int) -> Id:
    """The camera ID kept in the camera's flash memory."""

def set_id(camera_id: int, serial_number: Id) -> None:
    """Write a new camera ID into the camera's flash memory."""

def get_serial_number(camera_id: int) -> Id:
    """The camera's serial number."""

# ---------------------------------------------------------------------------------------
# Modes.

def get_camera_support_mode(camera_id: int) -> list[CameraMode]:
    """The modes the camera supports (normal and trigger modes)."""

def get_camera_mode(camera_id: int) -> CameraMode:
    """The camera's current mode."""

def set_camera_mode(camera_id: int, mode: CameraMode) -> None:
    """Switch the camera to another mode."""

# ---------------------------------------------------------------------------------------
# Snap exposures.

def start_exposure(camera_id: int, is_dark: bool) -> None:
    """Start one exposure (a dark frame when is_dark is true)."""

def stop_exposure(camera_id: int) -> None:
    """End the running exposure early."""

def get_exp_status(camera_id: int) -> int:
    """The exposure's state, an ExposureStatus value as a plain int."""

def get_data_after_exp(camera_id: int, buffer_size: int) -> bytes:
    """The finished exposure's image: buffer_size bytes."""

def get_data_after_exp_gps(camera_id: int, buffer_size: int) -> tuple[bytes, GpsData]:
    """The finished exposure's image and its GPS data."""

# ---------------------------------------------------------------------------------------
# Video.

def start_video_capture(camera_id: int) -> None:
    """Start video capture."""

def stop_video_capture(camera_id: int) -> None:
    """Stop video capture; may be called from another thread during get_video_data."""

def get_video_data(camera_id: int, buffer_size: int, wait_ms: int) -> bytearray:
    """The next frame, waiting up to wait_ms milliseconds (-1: no limit). Releases the
    interpreter lock while it waits."""

def get_video_data_gps(camera_id: int, buffer_size: int, wait_ms: int) -> tuple[bytes, GpsData]:
    """The next frame and its GPS data; holds the interpreter lock while it waits."""

# ---------------------------------------------------------------------------------------
# Controls, region, guiding, presets and GPS.

def get_num_of_controls(camera_id: int) -> int:
    """How many controls the camera offers."""

def get_control_caps(camera_id: int, control_index: int) -> ControlCaps:
    """The capabilities of the control at this position (0 to count - 1)."""

def get_control_value(camera_id: int, control_type: ControlType) -> tuple[int, bool]:
    """The control's value and whether it runs automatically."""

def set_control_value(camera_id: int, control_type: ControlType, value: int, auto_mode: bool) -> None:
    """Set the control's value and automatic mode."""

def set_roi_format(camera_id: int, width: int, height: int, bin: int, img_type: ImgType) -> None:
    """Set the region's size, binning and image type (width a multiple of 8, height of 2)."""

def get_roi_format(camera_id: int) -> tuple[int, int, int, ImgType]:
    """Width, height, binning and image type of the region."""

def set_start_pos(camera_id: int, start_x: int, start_y: int) -> None:
    """Move the region's top left corner (in binned pixels)."""

def get_start_pos(camera_id: int) -> tuple[int, int]:
    """The region's top left corner, X then Y."""

def get_dropped_frames(camera_id: int) -> int:
    """How many video frames the SDK has dropped."""

def enable_dark_subtract(camera_id: int, bmp_path: str) -> None:
    """Subtract the dark frame in this BMP file from every image."""

def disable_dark_subtract(camera_id: int) -> None:
    """Stop subtracting a dark frame."""

def pulse_guide_on(camera_id: int, direction: GuideDirection) -> None:
    """Start a guide pulse on the ST4 port in one direction."""

def pulse_guide_off(camera_id: int, direction: GuideDirection) -> None:
    """End the guide pulse in that direction."""

def get_gain_offset(camera_id: int) -> tuple[int, int, int, int]:
    """Offset at highest dynamic range, offset at unity gain, gain and offset at lowest
    read noise."""

def get_lmh_gain_offset(camera_id: int) -> tuple[int, int, int, int]:
    """Low, medium and high gain, and the high offset."""

def send_soft_trigger(camera_id: int, start: bool) -> None:
    """Start (true) or stop (false) a software-triggered exposure."""

def set_trigger_output_io_conf(
    camera_id: int, pin: TrigOutput, pin_high: bool, delay: int, duration: int
) -> None:
    """Configure a trigger output pin: level, delay and duration in microseconds."""

def get_trigger_output_io_conf(camera_id: int, pin: int) -> tuple[bool, int, int]:
    """A trigger output pin's level, delay and duration."""

def gps_get_data(camera_id: int) -> tuple[GpsData, GpsData]:
    """GPS data of the start line and of the end line."""

# doctest's hook, bound empty at import: the module has no doctests.
__test__: dict[str, object]
