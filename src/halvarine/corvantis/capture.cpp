// Camera lifecycle and capture: opening and closing, snap exposures, video, camera
// modes and triggers.
#include "asi.hpp"

#include <cstring>

namespace asi {

namespace {

// ---------------------------------------------------------------------------------------
// Image buffers

/// New zero-filled bytes of `size`, the boundary's int, for the SDK to fill; a size
/// bytearray() refuses is refused with its error.
Ref new_image_bytes(PyObject* size) {
    Py_ssize_t length = PyLong_AsSsize_t(size);
    if (length < 0) {
        // Negative or beyond Py_ssize_t: let bytearray() itself say why it refuses.
        PyErr_Clear();
        Ref refused =
            Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyByteArray_Type), size));
        if (refused) {
            PyErr_SetString(PyExc_SystemError, "bytearray() accepted an invalid size");
            return Ref();
        }
        return Ref();
    }
    if (length == 0)
        return Ref::borrow(state.empty_bytes);
    // Nobody sees the bytes before they are returned, so the SDK may fill them in place.
    Ref bytes = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), size));
    if (!bytes && PyErr_ExceptionMatches(PyExc_OverflowError)) {
        // bytes refuses sizes next to Py_SSIZE_T_MAX with OverflowError; bytearray
        // reports any size it cannot allocate as MemoryError.
        PyErr_Clear();
        PyErr_NoMemory();
    }
    return bytes;
}

/// Where the SDK may write the image; never null, even for empty bytes.
unsigned char* image_storage(PyObject* bytes_object) {
    // The empty bytes object is shared by the whole interpreter: hand the SDK a private
    // byte instead, so that nothing it might write there could change it.
    static unsigned char empty_storage[1];
    if (PyBytes_GET_SIZE(bytes_object) == 0)
        return empty_storage;
    return reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes_object));
}

/// A camera ID and one flag: the dark-frame choice, the soft trigger's start or stop.
template <ASI_ERROR_CODE (*sdk_call)(int, ASI_BOOL)>
PyObject* camera_and_flag(const Arguments& arguments) {
    CameraCall call;
    const auto flag = static_cast<ASI_BOOL>(arguments.truth[1]);
    if (!call.begin(arguments) || !call.check(sdk_call(call.camera_id, flag)))
        return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------
// Snap exposures

PyObject* get_exp_status(const Arguments& arguments) {
    CameraCall call;
    ASI_EXPOSURE_STATUS status = ASI_EXP_IDLE;
    if (!call.begin(arguments) || !call.check(ASIGetExpStatus(call.camera_id, &status)))
        return nullptr;
    // Made as an ExposureStatus member, then handed back as the plain int it equals.
    return coerce_int_result(
        Ref::steal(enum_member(state.names.exposure_status, enum_bits(status))));
}

PyObject* get_data_after_exp(const Arguments& arguments) {
    Ref image = new_image_bytes(arguments.object[1]);
    CameraCall call;
    long size;
    if (!image || !call.begin(arguments) || !to_c_long(arguments.object[1], &size) ||
        !call.check(ASIGetDataAfterExp(call.camera_id, image_storage(image.get()), size)))
        return nullptr;
    return image.release();
}

PyObject* get_data_after_exp_gps(const Arguments& arguments) {
    Ref gps = new_record(RecordKind::GpsData);
    if (!gps)
        return nullptr;
    Ref image = new_image_bytes(arguments.object[1]);
    CameraCall call;
    long size;
    if (!image || !call.begin(arguments) || !to_c_long(arguments.object[1], &size) ||
        !call.check(ASIGetDataAfterExpGPS(call.camera_id, image_storage(image.get()), size,
                                          gps_data_of(gps.get()))))
        return nullptr;
    return tuple_of({std::move(image), std::move(gps)});
}

// ---------------------------------------------------------------------------------------
// Video

/// The one call that lets other threads run while it waits: the SDK call alone runs
/// without the interpreter lock, and the handler is resolved only after it.
PyObject* get_video_data(const Arguments& arguments) {
    int camera_id, size, wait_ms;
    if (!to_c_int(arguments.object[0], &camera_id) || !to_c_int(arguments.object[1], &size) ||
        !to_c_int(arguments.object[2], &wait_ms))
        return nullptr;
    if (size < 0) {
        // bytearray() refuses a negative size with its own message.
        Ref number = Ref::steal(PyLong_FromLong(size));
        if (number)
            Ref::steal(
                PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyByteArray_Type), number.get()));
        return nullptr;
    }
    Ref frame = Ref::steal(PyByteArray_FromStringAndSize(nullptr, size));
    if (!frame)
        return nullptr;
    // No other thread can reach the new buffer yet, so it is zeroed without the lock too.
    char* storage = PyByteArray_AS_STRING(frame.get());
    ASI_ERROR_CODE status;
    Py_BEGIN_ALLOW_THREADS
    std::memset(storage, 0, static_cast<size_t>(size));
    status = ASIGetVideoData(camera_id, reinterpret_cast<unsigned char*>(storage), size, wait_ms);
    Py_END_ALLOW_THREADS
    Ref handler = resolve_handler();
    if (!handler || !check_status(handler.get(), status))
        return nullptr;
    return frame.release();
}

PyObject* get_video_data_gps(const Arguments& arguments) {
    Ref gps = new_record(RecordKind::GpsData);
    if (!gps)
        return nullptr;
    Ref frame = new_image_bytes(arguments.object[1]);
    CameraCall call;
    long size;
    int wait_ms;
    if (!frame || !call.begin(arguments) || !to_c_long(arguments.object[1], &size) ||
        !to_c_int(arguments.object[2], &wait_ms))
        return nullptr;
    // Unlike get_video_data, the wait keeps the interpreter lock.
    if (!call.check(ASIGetVideoDataGPS(call.camera_id, image_storage(frame.get()), size, wait_ms,
                                       gps_data_of(gps.get()))))
        return nullptr;
    return tuple_of({std::move(frame), std::move(gps)});
}

// ---------------------------------------------------------------------------------------
// Camera modes and triggers

PyObject* get_camera_support_mode(const Arguments& arguments) {
    Ref record = new_record(RecordKind::SupportedMode);
    CameraCall call;
    if (!record || !call.begin(arguments) ||
        !call.check(ASIGetCameraSupportMode(call.camera_id, supported_mode_of(record.get()))))
        return nullptr;
    // The caller gets the list, read through ordinary attribute access; not the record.
    Ref modes = Ref::steal(PyObject_GetAttr(record.get(), state.names.supported_camera_mode));
    if (!modes || PyList_CheckExact(modes.get()) || modes.get() == Py_None)
        return modes.release();
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(modes.get())->tp_name);
    return nullptr;
}

PyObject* get_camera_mode(const Arguments& arguments) {
    CameraCall call;
    ASI_CAMERA_MODE mode = ASI_MODE_NORMAL;
    if (!call.begin(arguments) || !call.check(ASIGetCameraMode(call.camera_id, &mode)))
        return nullptr;
    return enum_member(state.names.camera_mode, enum_bits(mode));
}

/// The pin is read through its `value` here, while the getter takes it as an integer.
PyObject* set_trigger_output_io_conf(const Arguments& arguments) {
    CameraCall call;
    int pin;
    long delay, duration;
    if (!call.begin(arguments) || !enum_value(arguments.object[1], &pin) ||
        !to_c_long(arguments.object[3], &delay) || !to_c_long(arguments.object[4], &duration))
        return nullptr;
    const auto pin_high = static_cast<ASI_BOOL>(arguments.truth[2]);
    if (!call.check(ASISetTriggerOutputIOConf(call.camera_id, static_cast<ASI_TRIG_OUTPUT>(pin),
                                              pin_high, delay, duration)))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_trigger_output_io_conf(const Arguments& arguments) {
    CameraCall call;
    int pin;
    if (!call.begin(arguments) || !to_c_int(arguments.object[1], &pin))
        return nullptr;
    ASI_BOOL pin_high = ASI_FALSE;
    long delay = 0, duration = 0;
    if (!call.check(ASIGetTriggerOutputIOConf(call.camera_id, static_cast<ASI_TRIG_OUTPUT>(pin),
                                              &pin_high, &delay, &duration)))
        return nullptr;
    return tuple_of({new_bool(enum_bits(pin_high) != 0), new_int(delay), new_int(duration)});
}

} // namespace

// In a row's initializer a bare name finds the row before an implementation of that
// name, so implementations are named with asi::.

constinit const FunctionRow rows::open_camera = {
    .name = "open_camera",
    .implementation = asi::camera_status_only<ASIOpenCamera>,
    .parameters = {{"camera_id", Kind::Int, "int"}},
    .return_annotation = "None",
    .doc = "\n"
           "    Open a camera for use.\n"
           "\n"
           "    Raises:\n"
           "        AsiException\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "    ",
};

constinit const FunctionRow rows::init_camera = {
    .name = "init_camera",
    .implementation = asi::camera_status_only<ASIInitCamera>,
    .parameters = {{"camera_id", Kind::Int, "int"}},
    .return_annotation = "None",
    .doc = "\n"
           "    Initialize the camera for capturing images.\n"
           "\n"
           "    Raises:\n"
           "        AsiException\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "    ",
};

constinit const FunctionRow rows::close_camera = {
    .name = "close_camera",
    .implementation = asi::camera_status_only<ASICloseCamera>,
    .parameters = {{"camera_id", Kind::Int, "int"}},
    .return_annotation = "None",
    .doc = "\n"
           "    Close the camera.\n"
           "\n"
           "    Raises:\n"
           "        AsiException\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "    ",
};

constinit const FunctionRow rows::get_camera_support_mode = {
    .name = "get_camera_support_mode",
    .implementation = asi::get_camera_support_mode,
    .parameters = {{"camera_id", Kind::Int, "int"}},
    .return_annotation = "list[CameraMode]",
    .doc = "Get the supported camera modes for the camera.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "\n"
           "    Returns:\n"
           "        SupportedMode: The supported mode that contains a list of supported camera "
           "modes.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::get_camera_mode = {
    .name = "get_camera_mode",
    .implementation = asi::get_camera_mode,
    .parameters = {{"camera_id", Kind::Int, "int"}},
    .return_annotation = "CameraMode",
    .doc = "Get the current camera mode.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "\n"
           "    Returns:\n"
           "        CameraMode: The current camera mode.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::set_camera_mode = {
    .name = "set_camera_mode",
    .implementation = asi::camera_and_enum<ASI_CAMERA_MODE, ASISetCameraMode>,
    .parameters = {{"camera_id", Kind::Int, "int"}, {"mode", Kind::Enum, "CameraMode"}},
    .return_annotation = "None",
    .doc = "Set the camera mode.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "        mode (CameraMode): The camera mode to set.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::start_exposure = {
    .name = "start_exposure",
    .implementation = asi::camera_and_flag<ASIStartExposure>,
    .parameters = {{"camera_id", Kind::Int, "int"}, {"is_dark", Kind::Bool, "bool"}},
    .return_annotation = "None",
    .doc = "Start a camera exposure.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "        is_dark (bool): True for a dark frame exposure, False otherwise.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::stop_exposure = {
    .name = "stop_exposure",
    .implementation = asi::camera_status_only<ASIStopExposure>,
    .parameters = {{"camera_id", Kind::Int, "int"}},
    .return_annotation = "None",
    .doc = "Stop the ongoing camera exposure.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::get_exp_status = {
    .name = "get_exp_status",
    .implementation = asi::get_exp_status,
    .parameters = {{"camera_id", Kind::Int, "int"}},
    .return_annotation = "int",
    .doc = "Get the status of the camera exposure.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "\n"
           "    Returns:\n"
           "        ExposureStatus: The exposure status.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::get_data_after_exp = {
    .name = "get_data_after_exp",
    .implementation = asi::get_data_after_exp,
    .parameters = {{"camera_id", Kind::Int, "int"}, {"buffer_size", Kind::Long, "int"}},
    .return_annotation = "bytes",
    .doc = "Get the image data after an exposure has completed.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "        buffer_size (int): The size of the buffer to store the image data.\n"
           "\n"
           "    Returns:\n"
           "        bytes: The captured image data.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::get_data_after_exp_gps = {
    .name = "get_data_after_exp_gps",
    .implementation = asi::get_data_after_exp_gps,
    .parameters = {{"camera_id", Kind::Int, "int"}, {"buffer_size", Kind::Long, "int"}},
    .return_annotation = "tuple[bytes, GpsData]",
    .doc = "Get the image data after an exposure has completed.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "        buffer_size (int): The size of the buffer to store the image data.\n"
           "\n"
           "    Returns:\n"
           "        tuple(bytes, GpsData): The captured image data and the gps data.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::start_video_capture = {
    .name = "start_video_capture",
    .implementation = asi::camera_status_only<ASIStartVideoCapture>,
    .parameters = {{"camera_id", Kind::Int, "int"}},
    .return_annotation = "None",
    .doc = "Start video capture.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::stop_video_capture = {
    .name = "stop_video_capture",
    .implementation = asi::camera_status_only<ASIStopVideoCapture>,
    .parameters = {{"camera_id", Kind::Int, "int"}},
    .return_annotation = "None",
    .doc = "Stop video capture.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::get_video_data = {
    .name = "get_video_data",
    .implementation = asi::get_video_data,
    .parameters = {{"camera_id", Kind::Int, "int"},
                   {"buffer_size", Kind::Int, "int"},
                   {"wait_ms", Kind::Int, "int"}},
    .return_annotation = "bytearray",
    .doc = "Get video data from the camera.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "        buffer_size (int): The size of the buffer to store the image data.\n"
           "        wait_ms (int): Time to wait for an image in milliseconds (-1 for infinite "
           "wait).\n"
           "\n"
           "    Returns:\n"
           "        bytes: The captured image data.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful or timeout occurs.\n"
           "    ",
};

constinit const FunctionRow rows::get_video_data_gps = {
    .name = "get_video_data_gps",
    .implementation = asi::get_video_data_gps,
    .parameters = {{"camera_id", Kind::Int, "int"},
                   {"buffer_size", Kind::Long, "int"},
                   {"wait_ms", Kind::Int, "int"}},
    .return_annotation = "tuple[bytes, GpsData]",
    .doc = "Get video data from the camera.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "        buffer_size (int): The size of the buffer to store the image data.\n"
           "        wait_ms (int): Time to wait for an image in milliseconds (-1 for infinite "
           "wait).\n"
           "\n"
           "    Returns:\n"
           "        tuple(bytes, GpsData): The captured image data and the gps data.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful or timeout occurs.\n"
           "    ",
};

constinit const FunctionRow rows::get_dropped_frames = {
    .name = "get_dropped_frames",
    .implementation = asi::read_count<ASIGetDroppedFrames>,
    .parameters = {{"camera_id", Kind::Int, "int"}},
    .return_annotation = "int",
    .doc = "Get the number of dropped frames during video capture.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "\n"
           "    Returns:\n"
           "        int: The number of dropped frames.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::send_soft_trigger = {
    .name = "send_soft_trigger",
    .implementation = asi::camera_and_flag<ASISendSoftTrigger>,
    .parameters = {{"camera_id", Kind::Int, "int"}, {"start", Kind::Bool, "bool"}},
    .return_annotation = "None",
    .doc = "Send a soft trigger to the camera to start or stop exposure.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "        start (bool): True to start exposure, False to stop.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::set_trigger_output_io_conf = {
    .name = "set_trigger_output_io_conf",
    .implementation = asi::set_trigger_output_io_conf,
    .parameters = {{"camera_id", Kind::Int, "int"},
                   {"pin", Kind::Enum, "TrigOutput"},
                   {"pin_high", Kind::Bool, "bool"},
                   {"delay", Kind::Long, "int"},
                   {"duration", Kind::Long, "int"}},
    .return_annotation = "None",
    .doc = "Configure the trigger output IO.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "        pin (int): Trigger output pin (e.g., PINA or PINB).\n"
           "        pin_high (bool): True to output a high signal, False for a low signal.\n"
           "        delay (int): Delay time in microseconds.\n"
           "        duration (int): Duration time in microseconds.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::get_trigger_output_io_conf = {
    .name = "get_trigger_output_io_conf",
    .implementation = asi::get_trigger_output_io_conf,
    .parameters = {{"camera_id", Kind::Int, "int"}, {"pin", Kind::Int, "int"}},
    .return_annotation = "tuple[bool, int, int]",
    .doc = "Get the trigger output IO configuration.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "        pin (int): Trigger output pin (e.g., PINA or PINB).\n"
           "\n"
           "    Returns:\n"
           "        tuple[bool, int, int]: Pin high status, delay, and duration.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

} // namespace asi
