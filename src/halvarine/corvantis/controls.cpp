// Controls and imaging set-up: control capabilities and values, the region of interest,
// pulse guiding, dark subtraction, gain and offset presets, and the GPS query.
//
// The module checks no value here: the SDK validates every argument and reports a
// refusal through its status.
#include "asi.hpp"

#include <cstring>

namespace asi {

namespace {

// ---------------------------------------------------------------------------------------
// Controls

PyObject* get_control_caps(const Arguments& arguments) {
    Ref record = new_record(RecordKind::ControlCaps);
    CameraCall call;
    int control_index;
    if (!record || !call.begin(arguments) || !to_c_int(arguments.object[1], &control_index) ||
        !call.check(
            ASIGetControlCaps(call.camera_id, control_index, control_caps_of(record.get()))))
        return nullptr;
    return record.release();
}

PyObject* get_control_value(const Arguments& arguments) {
    CameraCall call;
    int control_type;
    if (!call.begin(arguments) || !enum_value(arguments.object[1], &control_type))
        return nullptr;
    long value = 0;
    ASI_BOOL auto_mode = ASI_FALSE;
    if (!call.check(ASIGetControlValue(call.camera_id, static_cast<ASI_CONTROL_TYPE>(control_type),
                                       &value, &auto_mode)))
        return nullptr;
    return tuple_of({new_int(value), new_bool(enum_bits(auto_mode) != 0)});
}

PyObject* set_control_value(const Arguments& arguments) {
    CameraCall call;
    int control_type;
    long value;
    if (!call.begin(arguments) || !enum_value(arguments.object[1], &control_type) ||
        !to_c_long(arguments.object[2], &value))
        return nullptr;
    const auto auto_mode = static_cast<ASI_BOOL>(arguments.truth[3]);
    if (!call.check(ASISetControlValue(call.camera_id, static_cast<ASI_CONTROL_TYPE>(control_type),
                                       value, auto_mode)))
        return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------
// Region of interest

PyObject* set_roi_format(const Arguments& arguments) {
    CameraCall call;
    int width, height, bin, img_type;
    if (!call.begin(arguments) || !to_c_int(arguments.object[1], &width) ||
        !to_c_int(arguments.object[2], &height) || !to_c_int(arguments.object[3], &bin) ||
        !enum_value(arguments.object[4], &img_type))
        return nullptr;
    if (!call.check(ASISetROIFormat(call.camera_id, width, height, bin,
                                    static_cast<ASI_IMG_TYPE>(img_type))))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_roi_format(const Arguments& arguments) {
    CameraCall call;
    int width = 0, height = 0, bin = 0;
    ASI_IMG_TYPE img_type = ASI_IMG_RAW8;
    if (!call.begin(arguments) ||
        !call.check(ASIGetROIFormat(call.camera_id, &width, &height, &bin, &img_type)))
        return nullptr;
    // The integers first, then the image type through ImgType as it is bound now.
    Ref numbers[] = {new_int(width), new_int(height), new_int(bin)};
    if (!numbers[0] || !numbers[1] || !numbers[2])
        return nullptr;
    return tuple_of({std::move(numbers[0]), std::move(numbers[1]), std::move(numbers[2]),
                     Ref::steal(enum_member(state.names.img_type, enum_bits(img_type)))});
}

PyObject* set_start_pos(const Arguments& arguments) {
    CameraCall call;
    int start_x, start_y;
    if (!call.begin(arguments) || !to_c_int(arguments.object[1], &start_x) ||
        !to_c_int(arguments.object[2], &start_y) ||
        !call.check(ASISetStartPos(call.camera_id, start_x, start_y)))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_start_pos(const Arguments& arguments) {
    CameraCall call;
    int start_x = 0, start_y = 0;
    if (!call.begin(arguments) || !call.check(ASIGetStartPos(call.camera_id, &start_x, &start_y)))
        return nullptr;
    return tuple_of({new_int(start_x), new_int(start_y)});
}

// ---------------------------------------------------------------------------------------
// Dark subtraction, presets, GPS

PyObject* enable_dark_subtract(const Arguments& arguments) {
    CameraCall call;
    if (!call.begin(arguments))
        return nullptr;
    Ref path = Ref::steal(PyUnicode_AsUTF8String(arguments.object[1]));
    if (!path)
        return nullptr;
    char* bytes = PyBytes_AS_STRING(path.get());
    // The SDK reads the path up to its first NUL: a path holding one would name another
    // file than the caller's.
    if (std::strlen(bytes) != static_cast<size_t>(PyBytes_GET_SIZE(path.get()))) {
        PyErr_SetString(PyExc_ValueError, "embedded null character in bmp_path");
        return nullptr;
    }
    const ASI_ERROR_CODE status = ASIEnableDarkSubtract(call.camera_id, bytes);
    path.reset(); // released before the status check
    if (!call.check(status))
        return nullptr;
    Py_RETURN_NONE;
}

/// Both preset readers: four C ints, handed back in the SDK's pointer order.
template <ASI_ERROR_CODE (*sdk_call)(int, int*, int*, int*, int*)>
PyObject* read_presets(const Arguments& arguments) {
    CameraCall call;
    int first = 0, second = 0, third = 0, fourth = 0;
    if (!call.begin(arguments) ||
        !call.check(sdk_call(call.camera_id, &first, &second, &third, &fourth)))
        return nullptr;
    return tuple_of({new_int(first), new_int(second), new_int(third), new_int(fourth)});
}

PyObject* gps_get_data(const Arguments& arguments) {
    // Start line first, then end line, each a record of its own.
    Ref start_line = new_record(RecordKind::GpsData);
    if (!start_line)
        return nullptr;
    Ref end_line = new_record(RecordKind::GpsData);
    CameraCall call;
    if (!end_line || !call.begin(arguments) ||
        !call.check(ASIGPSGetData(call.camera_id, gps_data_of(start_line.get()),
                                  gps_data_of(end_line.get()))))
        return nullptr;
    return tuple_of({std::move(start_line), std::move(end_line)});
}

} // namespace

// In a row's initializer a bare name finds the row before an implementation of that
// name, so implementations are named with asi::.

constinit const FunctionRow rows::get_num_of_controls = {
    .name = "get_num_of_controls",
    .implementation = asi::read_count<ASIGetNumOfControls>,
    .parameters = {{"camera_id", Kind::Int, "int"}},
    .return_annotation = "int",
    .doc = "\n"
           "    Get the number of control settings available on the camera.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "\n"
           "    Raises:\n"
           "        AsiException\n"
           "\n"
           "    Returns:\n"
           "        int: Number of controls.\n"
           "    ",
};

constinit const FunctionRow rows::get_control_caps = {
    .name = "get_control_caps",
    .implementation = asi::get_control_caps,
    .parameters = {{"camera_id", Kind::Int, "int"}, {"control_index", Kind::Int, "int"}},
    .return_annotation = "ControlCaps",
    .doc = "\n"
           "    Get the capabilities of a specific control on the camera.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "\n"
           "        control_index (int): The control index.\n"
           "\n"
           "    Raises:\n"
           "        AsiException\n"
           "\n"
           "    Returns:\n"
           "        Controlaps: THe control caps\n"
           "    ",
};

constinit const FunctionRow rows::get_control_value = {
    .name = "get_control_value",
    .implementation = asi::get_control_value,
    .parameters = {{"camera_id", Kind::Int, "int"}, {"control_type", Kind::Enum, "ControlType"}},
    .return_annotation = "tuple[int, bool]",
    .doc = "\n"
           "    Get the value of a control setting on the camera.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "        control_type (int): The control type.\n"
           "\n"
           "    Raises:\n"
           "        AsiException\n"
           "\n"
           "    Returns:\n"
           "        tuple[int, bool]: The value of the control and whether it's in auto mode.\n"
           "    ",
};

constinit const FunctionRow rows::set_control_value = {
    .name = "set_control_value",
    .implementation = asi::set_control_value,
    .parameters = {{"camera_id", Kind::Int, "int"},
                   {"control_type", Kind::Enum, "ControlType"},
                   {"value", Kind::Long, "int"},
                   {"auto_mode", Kind::Bool, "bool"}},
    .return_annotation = "None",
    .doc = "\n"
           "    Set the value of a control setting on the camera.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "        control_type (int): The control type.\n"
           "        value (long): The new control value.\n"
           "        auto_mode (bool): Whether to enable auto mode.\n"
           "\n"
           "    Raises:\n"
           "        AsiException\n"
           "\n"
           "    ",
};

constinit const FunctionRow rows::set_roi_format = {
    .name = "set_roi_format",
    .implementation = asi::set_roi_format,
    .parameters = {{"camera_id", Kind::Int, "int"},
                   {"width", Kind::Int, "int"},
                   {"height", Kind::Int, "int"},
                   {"bin", Kind::Int, "int"},
                   {"img_type", Kind::Enum, "ImgType"}},
    .return_annotation = "None",
    .doc = "Set the Region of Interest (ROI) format before starting capture.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "        width (int): The width of the ROI area (must be a multiple of 8).\n"
           "        height (int): The height of the ROI area (must be a multiple of 2).\n"
           "        bin (int): The binning method (e.g., bin1=1, bin2=2).\n"
           "        img_type (ImgType): The output format type.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::get_roi_format = {
    .name = "get_roi_format",
    .implementation = asi::get_roi_format,
    .parameters = {{"camera_id", Kind::Int, "int"}},
    .return_annotation = "tuple[int, int, int, ImgType]",
    .doc = "Get the Region of Interest (ROI) format.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "\n"
           "    Returns: tuple[int, int, int, ImgType]\n"
           "        - width (int): The width of the ROI area (must be a multiple of 8).\n"
           "        - height (int): The height of the ROI area (must be a multiple of 2).\n"
           "        - bin (int): The binning method (e.g., bin1=1, bin2=2).\n"
           "        - img_type (ImgType): The output format type.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::set_start_pos = {
    .name = "set_start_pos",
    .implementation = asi::set_start_pos,
    .parameters = {{"camera_id", Kind::Int, "int"},
                   {"start_x", Kind::Int, "int"},
                   {"start_y", Kind::Int, "int"}},
    .return_annotation = "None",
    .doc = "Set the start position of the ROI area.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "        start_x (int): Start X coordinate.\n"
           "        start_y (int): Start Y coordinate.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::get_start_pos = {
    .name = "get_start_pos",
    .implementation = asi::get_start_pos,
    .parameters = {{"camera_id", Kind::Int, "int"}},
    .return_annotation = "tuple[int, int]",
    .doc = "Get the start position of the current ROI area.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "\n"
           "    Returns:\n"
           "        tuple[int, int]: Start X and Start Y coordinates.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::enable_dark_subtract = {
    .name = "enable_dark_subtract",
    .implementation = asi::enable_dark_subtract,
    .parameters = {{"camera_id", Kind::Int, "int"}, {"bmp_path", Kind::Text, "str"}},
    .return_annotation = "None",
    .doc = "Enable dark subtract using a dark frame BMP file.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "        bmp_path (str): Path to the dark frame BMP file.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::disable_dark_subtract = {
    .name = "disable_dark_subtract",
    .implementation = asi::camera_status_only<ASIDisableDarkSubtract>,
    .parameters = {{"camera_id", Kind::Int, "int"}},
    .return_annotation = "None",
    .doc = "Disable the dark subtract feature.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::pulse_guide_on = {
    .name = "pulse_guide_on",
    .implementation = asi::camera_and_enum<ASI_GUIDE_DIRECTION, ASIPulseGuideOn>,
    .parameters = {{"camera_id", Kind::Int, "int"}, {"direction", Kind::Enum, "GuideDirection"}},
    .return_annotation = "None",
    .doc = "Activate guiding in the specified direction using the ST4 port.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "        direction (GuideDirection): The guiding direction (e.g., NORTH, SOUTH, "
           "etc.).\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::pulse_guide_off = {
    .name = "pulse_guide_off",
    .implementation = asi::camera_and_enum<ASI_GUIDE_DIRECTION, ASIPulseGuideOff>,
    .parameters = {{"camera_id", Kind::Int, "int"}, {"direction", Kind::Enum, "GuideDirection"}},
    .return_annotation = "None",
    .doc = "Deactivate guiding in the specified direction using the ST4 port.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "        direction (GuideDirection): The guiding direction (e.g., NORTH, SOUTH, "
           "etc.).\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::get_gain_offset = {
    .name = "get_gain_offset",
    .implementation = asi::read_presets<ASIGetGainOffset>,
    .parameters = {{"camera_id", Kind::Int, "int"}},
    .return_annotation = "tuple[int, int, int, int]",
    .doc = "Get preset gain and offset values for the camera.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "\n"
           "    Returns:\n"
           "        tuple[int, int, int, int]: Offset at highest dynamic range, offset at "
           "unity gain,\n"
           "                                   gain at lowest read noise, and offset at lowest "
           "read noise.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::get_lmh_gain_offset = {
    .name = "get_lmh_gain_offset",
    .implementation = asi::read_presets<ASIGetLMHGainOffset>,
    .parameters = {{"camera_id", Kind::Int, "int"}},
    .return_annotation = "tuple[int, int, int, int]",
    .doc = "Get low, medium, and high gain and offset settings for the camera.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "\n"
           "    Returns:\n"
           "        tuple[int, int, int, int]: Low gain, medium gain, high gain, and high "
           "offset values.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::gps_get_data = {
    .name = "gps_get_data",
    .implementation = asi::gps_get_data,
    .parameters = {{"camera_id", Kind::Int, "int"}},
    .return_annotation = "tuple[GpsData, GpsData]",
    .doc = "Get GPS data for the start and end lines.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "\n"
           "    Returns:\n"
           "        tuple[DateTime, DateTime]: GPS data for the start and end lines.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

} // namespace asi
