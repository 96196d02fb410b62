// Discovery and identity: the camera count, the SDK version, camera properties, the USB
// device check, and the camera ID and serial number.
#include "asi.hpp"

#include <cstring>

namespace asi {

namespace {

PyObject* get_number_of_connected_cameras(const Arguments&) {
    // A count, not a status: handed back as the SDK gives it.
    return PyLong_FromLong(ASIGetNumOfConnectedCameras());
}

PyObject* get_sdk_version(const Arguments&) {
    // The text belongs to the SDK; it is copied at once.
    const char* version = ASIGetSDKVersion();
    const size_t length = version ? std::strlen(version) : 0;
    if (length == 0)
        return Py_NewRef(state.empty_str);
    return PyUnicode_DecodeUTF8(version, static_cast<Py_ssize_t>(length), "strict");
}

PyObject* camera_check(const Arguments& arguments) {
    int vendor_id, product_id;
    if (!to_c_int(arguments.object[0], &vendor_id) || !to_c_int(arguments.object[1], &product_id))
        return nullptr;
    // Annotated "int": the SDK's boolean comes back as 1 or 0, never as a bool.
    return PyLong_FromLong(ASICameraCheck(vendor_id, product_id) != ASI_FALSE);
}

/// Both property readers: a fresh record the SDK fills, returned only on success. The
/// first argument is an index for one and a camera ID for the other; both are C ints.
template <ASI_ERROR_CODE (*sdk_call)(ASI_CAMERA_INFO*, int)>
PyObject* read_camera_info(const Arguments& arguments) {
    Ref record = new_record(RecordKind::CameraInfo);
    CameraCall call;
    if (!record || !call.begin(arguments) ||
        !call.check(sdk_call(camera_info_of(record.get()), call.camera_id)))
        return nullptr;
    return record.release();
}

// The SDK takes the structure first when reading by index and last when reading by ID.
ASI_ERROR_CODE property_by_id(ASI_CAMERA_INFO* info, int camera_id) {
    return ASIGetCameraPropertyByID(camera_id, info);
}

/// Both identity readers: an Id record the SDK fills with eight bytes.
template <ASI_ERROR_CODE (*sdk_call)(int, ASI_ID*)>
PyObject* read_identifier(const Arguments& arguments) {
    Ref record = new_record(RecordKind::Id);
    CameraCall call;
    if (!record || !call.begin(arguments) ||
        !call.check(sdk_call(call.camera_id, id_of(record.get()))))
        return nullptr;
    return record.release();
}

PyObject* set_id(const Arguments& arguments) {
    CameraCall call;
    if (!call.begin(arguments))
        return nullptr;
    // The eight bytes travel by value; the caller's Id is not changed.
    const ASI_ID identifier = *id_of(arguments.object[1]);
    if (!call.check(ASISetID(call.camera_id, identifier)))
        return nullptr;
    Py_RETURN_NONE;
}

} // namespace

// In a row's initializer a bare name finds the row before an implementation of that
// name, so implementations are named with asi::.

constinit const FunctionRow rows::get_number_of_connected_cameras = {
    .name = "get_number_of_connected_cameras",
    .implementation = asi::get_number_of_connected_cameras,
    .parameters = {},
    .return_annotation = "int",
    .doc = "Get the count of connected ASI cameras.\n"
           "\n"
           "    Returns:\n"
           "        int: Count of connected cameras.\n"
           "    ",
};

constinit const FunctionRow rows::camera_check = {
    .name = "camera_check",
    .implementation = asi::camera_check,
    .parameters = {{"i_vid", Kind::Int, "int"}, {"i_pid", Kind::Int, "int"}},
    .return_annotation = "int",
    .doc = "Get the count of connected ASI cameras.\n"
           "\n"
           "    Usage: Check if the device is ASI Camera\n"
           "\n"
           "    Args:\n"
           "        i_vid (int): VID (vendor id) of the device.\n"
           "                     This is a unique identifier assigned to the camera maker (the "
           "company that makes\n"
           "                     ASI cameras).\n"
           "        i_pid (int): PID (product id) of the device.\n"
           "                     This is a unique identifier for each specific product or "
           "model from the maker.\n"
           "                     Each ASI camera model will have a different PID.\n"
           "                     For example, one camera model might have a specific PID "
           "different\n"
           "                     from another model\n"
           "\n"
           "    Return:\n"
           "        Whether the device is an ASI Camera.\n"
           "    ",
};

constinit const FunctionRow rows::get_camera_property = {
    .name = "get_camera_property",
    .implementation = asi::read_camera_info<ASIGetCameraProperty>,
    .parameters = {{"camera_index", Kind::Int, "int"}},
    .return_annotation = "CameraInfo",
    .doc = "\n"
           "    Get camera properties by camera index.\n"
           "\n"
           "    Args:\n"
           "        camera_index (int): Index of the camera.\n"
           "\n"
           "    Raises:\n"
           "        AsiException\n"
           "\n"
           "    Returns CameraInfo: the camera info.\n"
           "\n"
           "    ",
};

constinit const FunctionRow rows::get_sdk_version = {
    .name = "get_sdk_version",
    .implementation = asi::get_sdk_version,
    .parameters = {},
    .return_annotation = "str",
    .doc = "Get the SDK version of the ASI camera.\n"
           "\n"
           "    Returns:\n"
           "        str: The SDK version string.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::get_camera_property_by_id = {
    .name = "get_camera_property_by_id",
    .implementation = asi::read_camera_info<property_by_id>,
    .parameters = {{"camera_id", Kind::Int, "int"}},
    .return_annotation = "CameraInfo",
    .doc = "\n"
           "    Get camera properties by camera ID.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID from the CameraInfo object.\n"
           "\n"
           "    Raises:\n"
           "        AsiException\n"
           "\n"
           "\n"
           "    Returns CameraInfo: the camera info.\n"
           "\n"
           "    ",
};

constinit const FunctionRow rows::get_id = {
    .name = "get_id",
    .implementation = asi::read_identifier<ASIGetID>,
    .parameters = {{"i_camera_id", Kind::Int, "int"}},
    .return_annotation = "Id",
    .doc = "Retrieve the camera ID from the camera's flash memory.\n"
           "\n"
           "    Args:\n"
           "        i_camera_id (int): The camera ID.\n"
           "\n"
           "    Returns:\n"
           "        Id: The camera ID.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::set_id = {
    .name = "set_id",
    .implementation = asi::set_id,
    .parameters = {{"camera_id", Kind::Int, "int"}, {"serial_number", Kind::Record, "Id"}},
    .return_annotation = "None",
    .doc = "Write a new camera ID to the camera's flash memory.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "\n"
           "        serial_number (Id): The camera serial number\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

constinit const FunctionRow rows::get_serial_number = {
    .name = "get_serial_number",
    .implementation = asi::read_identifier<ASIGetSerialNumber>,
    .parameters = {{"camera_id", Kind::Int, "int"}},
    .return_annotation = "Id",
    .doc = "Get the serial number of the camera.\n"
           "\n"
           "    Args:\n"
           "        camera_id (int): The camera ID.\n"
           "\n"
           "    Returns:\n"
           "        Id: The camera serial number id.\n"
           "\n"
           "    Raises:\n"
           "        AsiException: Raised if the operation is unsuccessful.\n"
           "    ",
};

} // namespace asi
