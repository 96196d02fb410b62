// The five record types. Each embeds one SDK structure by value, starts zeroed, converts
// a member to a Python value on every property read, and refuses to be pickled.
#include "asi.hpp"

#include <cstring>

namespace asi {

namespace {

template <class Struct> struct RecordObject {
    PyObject_HEAD
    Struct data;
};

using CameraInfoObject = RecordObject<ASI_CAMERA_INFO>;
using ControlCapsObject = RecordObject<ASI_CONTROL_CAPS>;
using IdObject = RecordObject<ASI_ID>;
using SupportedModeObject = RecordObject<ASI_SUPPORTED_MODE>;
using GpsDataObject = RecordObject<ASI_GPS_DATA>;

template <class Struct> Struct& data_of(PyObject* self) {
    return reinterpret_cast<RecordObject<Struct>*>(self)->data;
}

// Property getters shared by all records take the member's place in the object as their
// closure, so one getter serves every member of its C type.
#define ASI_MEMBER(Object, member)                                                                 \
    reinterpret_cast<void*>(offsetof(Object, data) + offsetof(decltype(Object::data), member))

template <class T> const T& member_at(PyObject* self, void* closure) {
    return *reinterpret_cast<const T*>(reinterpret_cast<const char*>(self) +
                                       reinterpret_cast<size_t>(closure));
}

PyObject* get_int(PyObject* self, void* closure) {
    return PyLong_FromLong(member_at<int>(self, closure));
}
PyObject* get_long(PyObject* self, void* closure) {
    return PyLong_FromLong(member_at<long>(self, closure));
}
PyObject* get_bool(PyObject* self, void* closure) {
    return PyBool_FromLong(member_at<int>(self, closure) != 0);
}
PyObject* get_double(PyObject* self, void* closure) {
    return PyFloat_FromDouble(member_at<double>(self, closure));
}
PyObject* get_float(PyObject* self, void* closure) {
    return PyFloat_FromDouble(member_at<float>(self, closure));
}

/// Text of a char array up to its first NUL, never beyond the array.
PyObject* decode_text(const char* text, size_t capacity, const char* errors) {
    const size_t length = strnlen(text, capacity);
    if (length == 0)
        return Py_NewRef(state.empty_str);
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length), errors);
}

int refuse_delete(const char*) {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

// ---------------------------------------------------------------------------------------
// Construction, destruction and pickling, shared by all five types.

template <class Struct> int record_init(PyObject* self, PyObject* args, PyObject* kwds) {
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                     "__init__", "exactly", static_cast<Py_ssize_t>(0), "s", given);
        return -1;
    }
    if (kwds && PyDict_GET_SIZE(kwds) > 0) {
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        PyDict_Next(kwds, &position, &key, &value);
        if (PyUnicode_Check(key))
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         "__init__", key);
        else
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", "__init__");
        return -1;
    }
    std::memset(&data_of<Struct>(self), 0, sizeof(Struct));
    return 0;
}

// Records are heap types: the instance holds a reference to its type.
void record_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

template <const char* message> PyObject* refuse_reduce(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, message);
    return nullptr;
}

constexpr char camera_info_pickling[] =
    "Pickling of struct members such as self.c_info must be explicitly requested with "
    "@auto_pickle(True)";
constexpr char control_caps_pickling[] =
    "Pickling of struct members such as self.control_caps must be explicitly requested with "
    "@auto_pickle(True)";
constexpr char id_pickling[] =
    "Pickling of struct members such as self.c_id must be explicitly requested with "
    "@auto_pickle(True)";
constexpr char supported_mode_pickling[] =
    "Pickling of struct members such as self.c_supported_mode must be explicitly requested "
    "with @auto_pickle(True)";
constexpr char gps_data_pickling[] =
    "Pickling of struct members such as self.c_gps_data must be explicitly requested with "
    "@auto_pickle(True)";

template <const char* message>
PyMethodDef pickling_methods[] = {
    {"__reduce__", refuse_reduce<message>, METH_NOARGS, nullptr},
    {"__setstate__", refuse_reduce<message>, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------------------
// CameraInfo

PyObject* camera_info_get_name(PyObject* self, void*) {
    const ASI_CAMERA_INFO& info = data_of<ASI_CAMERA_INFO>(self);
    return decode_text(info.Name, sizeof info.Name, "strict");
}

/// Only a text whose UTF-8 form is exactly 64 single-byte (ASCII) characters fits:
/// the items go through a signed char each and no NUL is added.
int camera_info_set_name(PyObject* self, PyObject* value, void*) {
    if (!value)
        return refuse_delete("name");
    Ref encoded =
        Ref::steal(PyObject_CallMethodOneArg(value, state.names.encode, state.names.utf_8));
    if (!encoded)
        return -1;
    constexpr Py_ssize_t capacity = sizeof(ASI_CAMERA_INFO::Name);
    Py_ssize_t length = PyObject_Length(encoded.get());
    if (length < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            return -1;
        PyErr_Clear(); // no len(): counted while iterating below
    } else if (length != capacity) {
        goto wrong_length;
    }
    {
        char name[capacity];
        Ref iterator = Ref::steal(PyObject_GetIter(encoded.get()));
        if (!iterator)
            return -1;
        Py_ssize_t count = 0;
        while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
            if (count == capacity) {
                length = capacity + 1;
                goto wrong_length;
            }
            if (!object_to_c_char(item.get(), &name[count]))
                return -1;
            ++count;
        }
        if (PyErr_Occurred())
            return -1;
        if (count != capacity) {
            length = count;
            goto wrong_length;
        }
        std::memcpy(data_of<ASI_CAMERA_INFO>(self).Name, name, sizeof name);
        return 0;
    }
wrong_length:
    if (length > capacity)
        PyErr_Format(PyExc_IndexError,
                     "too many values found during array assignment, expected %zd", capacity);
    else
        PyErr_Format(PyExc_IndexError,
                     "not enough values found during array assignment, expected %zd, got %zd",
                     capacity, length);
    return -1;
}

/// Compares `number` by `op` with the end marker `end_name` of the enumeration bound to
/// `class_name`, or with its `value` when `by_value`: 1, 0, or -1 with an exception set.
int compare_with_end(PyObject* number, PyObject* class_name, PyObject* end_name, bool by_value,
                     int op) {
    Ref enumeration = lookup_global(class_name);
    if (!enumeration)
        return -1;
    Ref end = Ref::steal(PyObject_GetAttr(enumeration.get(), end_name));
    if (end && by_value)
        end = Ref::steal(PyObject_GetAttr(end.get(), state.names.value));
    if (!end)
        return -1;
    return PyObject_RichCompareBool(number, end.get(), op);
}

/// Appends the member for `number` of the enumeration bound to `class_name` now.
int append_member(PyObject* list, PyObject* class_name, PyObject* number) {
    Ref enumeration = lookup_global(class_name);
    if (!enumeration)
        return -1;
    Ref member = Ref::steal(PyObject_CallOneArg(enumeration.get(), number));
    return member ? PyList_Append(list, member.get()) : -1;
}

PyObject* camera_info_get_bayer_pattern(PyObject* self, void*) {
    return enum_member(state.names.bayer_pattern,
                       enum_bits(data_of<ASI_CAMERA_INFO>(self).BayerPattern));
}

PyObject* camera_info_get_supported_bins(PyObject* self, void*) {
    const ASI_CAMERA_INFO& info = data_of<ASI_CAMERA_INFO>(self);
    Ref bins = Ref::steal(PyList_New(0));
    if (!bins)
        return nullptr;
    // Zero and negative entries are skipped, not taken as the end.
    for (int bin : info.SupportedBins) {
        if (bin <= 0)
            continue;
        Ref number = Ref::steal(PyLong_FromLong(bin));
        if (!number || PyList_Append(bins.get(), number.get()) < 0)
            return nullptr;
    }
    return bins.release();
}

PyObject* camera_info_get_supported_video_formats(PyObject* self, void*) {
    const ASI_CAMERA_INFO& info = data_of<ASI_CAMERA_INFO>(self);
    Ref formats = Ref::steal(PyList_New(0));
    if (!formats)
        return nullptr;
    // Entries equal to IMG_END are skipped and the scan goes on to the end of the array.
    for (const ASI_IMG_TYPE& format : info.SupportedVideoFormat) {
        Ref number = Ref::steal(PyLong_FromLong(enum_bits(format)));
        if (!number)
            return nullptr;
        int differs =
            compare_with_end(number.get(), state.names.img_type, state.names.img_end, false, Py_NE);
        if (differs < 0)
            return nullptr;
        if (differs && append_member(formats.get(), state.names.img_type, number.get()) < 0)
            return nullptr;
    }
    return formats.release();
}

/// Attributes read through ordinary attribute access, so a subclass's properties count.
PyObject* camera_info_repr(PyObject* self) {
    PyObject* names[] = {state.names.name, state.names.camera_id, state.names.max_height,
                         state.names.max_width};
    Ref texts[4];
    for (int i = 0; i < 4; ++i) {
        Ref value = Ref::steal(PyObject_GetAttr(self, names[i]));
        if (!value)
            return nullptr;
        texts[i] = Ref::steal(PyObject_Format(value.get(), state.empty_str));
        if (!texts[i])
            return nullptr;
    }
    return PyUnicode_FromFormat("CameraInfo(Name=%U, CameraID=%U, MaxHeight=%U, MaxWidth=%U)",
                                texts[0].get(), texts[1].get(), texts[2].get(), texts[3].get());
}

PyGetSetDef camera_info_getset[] = {
    {"name", camera_info_get_name, camera_info_set_name, nullptr, nullptr},
    {"camera_id", get_int, nullptr, nullptr, ASI_MEMBER(CameraInfoObject, CameraID)},
    {"max_height", get_long, nullptr, nullptr, ASI_MEMBER(CameraInfoObject, MaxHeight)},
    {"max_width", get_long, nullptr, nullptr, ASI_MEMBER(CameraInfoObject, MaxWidth)},
    {"is_color_camera", get_bool, nullptr, nullptr, ASI_MEMBER(CameraInfoObject, IsColorCam)},
    {"bayer_pattern", camera_info_get_bayer_pattern, nullptr, nullptr, nullptr},
    {"supported_bins", camera_info_get_supported_bins, nullptr, nullptr, nullptr},
    {"supported_video_formats", camera_info_get_supported_video_formats, nullptr, nullptr, nullptr},
    {"pixel_size", get_double, nullptr, nullptr, ASI_MEMBER(CameraInfoObject, PixelSize)},
    {"mechanical_shutter", get_bool, nullptr, nullptr,
     ASI_MEMBER(CameraInfoObject, MechanicalShutter)},
    {"st_4_port", get_bool, nullptr, nullptr, ASI_MEMBER(CameraInfoObject, ST4Port)},
    {"is_cooler_cam", get_bool, nullptr, nullptr, ASI_MEMBER(CameraInfoObject, IsCoolerCam)},
    {"is_usb3_host", get_bool, nullptr, nullptr, ASI_MEMBER(CameraInfoObject, IsUSB3Host)},
    {"is_usb3_camera", get_bool, nullptr, nullptr, ASI_MEMBER(CameraInfoObject, IsUSB3Camera)},
    {"elec_per_adu", get_float, nullptr, nullptr, ASI_MEMBER(CameraInfoObject, ElecPerADU)},
    {"bit_depth", get_int, nullptr, nullptr, ASI_MEMBER(CameraInfoObject, BitDepth)},
    {"is_trigger_cam", get_bool, nullptr, nullptr, ASI_MEMBER(CameraInfoObject, IsTriggerCam)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------------------
// ControlCaps

/// Unlike CameraInfo.name, invalid UTF-8 is replaced rather than refused.
PyObject* control_caps_get_name(PyObject* self, void*) {
    const ASI_CONTROL_CAPS& caps = data_of<ASI_CONTROL_CAPS>(self);
    return decode_text(caps.Name, sizeof caps.Name, "replace");
}

PyObject* control_caps_get_description(PyObject* self, void*) {
    const ASI_CONTROL_CAPS& caps = data_of<ASI_CONTROL_CAPS>(self);
    return decode_text(caps.Description, sizeof caps.Description, "replace");
}

PyObject* control_caps_get_control_type(PyObject* self, void*) {
    return enum_member(state.names.control_type,
                       enum_bits(data_of<ASI_CONTROL_CAPS>(self).ControlType));
}

PyGetSetDef control_caps_getset[] = {
    {"name", control_caps_get_name, nullptr, nullptr, nullptr},
    {"description", control_caps_get_description, nullptr, nullptr, nullptr},
    {"max_value", get_long, nullptr, nullptr, ASI_MEMBER(ControlCapsObject, MaxValue)},
    {"min_value", get_long, nullptr, nullptr, ASI_MEMBER(ControlCapsObject, MinValue)},
    {"default_value", get_long, nullptr, nullptr, ASI_MEMBER(ControlCapsObject, DefaultValue)},
    {"is_auto_supported", get_bool, nullptr, nullptr,
     ASI_MEMBER(ControlCapsObject, IsAutoSupported)},
    {"is_writable", get_bool, nullptr, nullptr, ASI_MEMBER(ControlCapsObject, IsWritable)},
    {"control_type", control_caps_get_control_type, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------------------
// Id

PyObject* id_get_id(PyObject* self, void*) {
    static constexpr char digits[] = "0123456789abcdef";
    const ASI_ID& id = data_of<ASI_ID>(self);
    char text[2 * sizeof id.id];
    for (size_t i = 0; i < sizeof id.id; ++i) {
        text[2 * i] = digits[id.id[i] >> 4];
        text[2 * i + 1] = digits[id.id[i] & 0xf];
    }
    return PyUnicode_FromStringAndSize(text, sizeof text);
}

/// The record changes only once the whole new value has been checked.
int id_set_id(PyObject* self, PyObject* value, void*) {
    if (!value)
        return refuse_delete("id");
    if (!PyUnicode_CheckExact(value)) {
        raise_argument_type_error("identifier", "str", value, PyUnicode_Check(value));
        return -1;
    }
    Ref bytes = Ref::steal(PyObject_CallMethodOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type),
                                                     state.names.fromhex, value));
    if (!bytes)
        return -1;
    ASI_ID& id = data_of<ASI_ID>(self);
    if (PyBytes_GET_SIZE(bytes.get()) != static_cast<Py_ssize_t>(sizeof id.id)) {
        PyErr_SetString(PyExc_ValueError, "ASI_ID must be exactly 8 bytes (16 hex characters).");
        return -1;
    }
    std::memcpy(id.id, PyBytes_AS_STRING(bytes.get()), sizeof id.id);
    return 0;
}

PyGetSetDef id_getset[] = {
    {"id", id_get_id, id_set_id, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------------------
// SupportedMode

/// Unlike CameraInfo.supported_video_formats, the first end value ends the list.
PyObject* supported_mode_get_modes(PyObject* self, void*) {
    const ASI_SUPPORTED_MODE& modes = data_of<ASI_SUPPORTED_MODE>(self);
    Ref list = Ref::steal(PyList_New(0));
    if (!list)
        return nullptr;
    for (const ASI_CAMERA_MODE& mode : modes.SupportedCameraMode) {
        Ref number = Ref::steal(PyLong_FromLong(enum_bits(mode)));
        if (!number)
            return nullptr;
        int is_end = compare_with_end(number.get(), state.names.camera_mode, state.names.mode_end,
                                      true, Py_EQ);
        if (is_end < 0)
            return nullptr;
        if (is_end)
            break;
        if (append_member(list.get(), state.names.camera_mode, number.get()) < 0)
            return nullptr;
    }
    return list.release();
}

PyGetSetDef supported_mode_getset[] = {
    {"supported_camera_mode", supported_mode_get_modes, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------------------
// GpsData

PyGetSetDef gps_data_getset[] = {
    {"latitude", get_double, nullptr, nullptr, ASI_MEMBER(GpsDataObject, Latitude)},
    {"longitude", get_double, nullptr, nullptr, ASI_MEMBER(GpsDataObject, Longitude)},
    {"altitude", get_int, nullptr, nullptr, ASI_MEMBER(GpsDataObject, Altitude)},
    {"satellite_num", get_int, nullptr, nullptr, ASI_MEMBER(GpsDataObject, SatelliteNum)},
    {"year", get_int, nullptr, nullptr, ASI_MEMBER(GpsDataObject, Datetime.Year)},
    {"month", get_int, nullptr, nullptr, ASI_MEMBER(GpsDataObject, Datetime.Month)},
    {"day", get_int, nullptr, nullptr, ASI_MEMBER(GpsDataObject, Datetime.Day)},
    {"hour", get_int, nullptr, nullptr, ASI_MEMBER(GpsDataObject, Datetime.Hour)},
    {"minute", get_int, nullptr, nullptr, ASI_MEMBER(GpsDataObject, Datetime.Minute)},
    {"second", get_int, nullptr, nullptr, ASI_MEMBER(GpsDataObject, Datetime.Second)},
    {"m_second", get_int, nullptr, nullptr, ASI_MEMBER(GpsDataObject, Datetime.Msecond)},
    {"u_second", get_int, nullptr, nullptr, ASI_MEMBER(GpsDataObject, Datetime.Usecond)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef ASI_MEMBER

// ---------------------------------------------------------------------------------------
// The types.

struct RecordSpec {
    RecordKind kind;
    const char* binding;
    PyType_Spec spec;
};

template <class Struct, const char* pickling, PyGetSetDef* getset, reprfunc repr = nullptr>
PyType_Slot record_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(record_init<Struct>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc)},
    {Py_tp_methods, pickling_methods<pickling>},
    {Py_tp_getset, getset},
    // Without a repr this slot ends the list early.
    {repr != nullptr ? Py_tp_repr : 0, reinterpret_cast<void*>(repr)},
    {0, nullptr},
};

constexpr unsigned record_flags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE;

RecordSpec record_specs[] = {
    {RecordKind::ControlCaps,
     "ControlCaps",
     {"halvarine.corvantis.asi.ControlCaps", sizeof(ControlCapsObject), 0, record_flags,
      record_slots<ASI_CONTROL_CAPS, control_caps_pickling, control_caps_getset>}},
    {RecordKind::Id,
     "Id",
     {"halvarine.corvantis.asi.Id", sizeof(IdObject), 0, record_flags,
      record_slots<ASI_ID, id_pickling, id_getset>}},
    {RecordKind::SupportedMode,
     "SupportedMode",
     {"halvarine.corvantis.asi.SupportedMode", sizeof(SupportedModeObject), 0, record_flags,
      record_slots<ASI_SUPPORTED_MODE, supported_mode_pickling, supported_mode_getset>}},
    {RecordKind::GpsData,
     "GpsData",
     {"halvarine.corvantis.asi.GpsData", sizeof(GpsDataObject), 0, record_flags,
      record_slots<ASI_GPS_DATA, gps_data_pickling, gps_data_getset>}},
    {RecordKind::CameraInfo,
     "CameraInfo",
     {"halvarine.corvantis.asi.CameraInfo", sizeof(CameraInfoObject), 0, record_flags,
      record_slots<ASI_CAMERA_INFO, camera_info_pickling, camera_info_getset, camera_info_repr>}},
};

} // namespace

int create_record_types() {
    for (RecordSpec& record : record_specs) {
        PyObject* type = PyType_FromSpec(&record.spec);
        if (!type)
            return -1;
        state.records[static_cast<int>(record.kind)] = reinterpret_cast<PyTypeObject*>(type);
        if (PyDict_SetItemString(state.globals, record.binding, type) < 0)
            return -1;
    }
    return 0;
}

Ref new_record(RecordKind kind) {
    PyTypeObject* type = record_type(kind);
    // tp_alloc zero-fills, which is all that calling the type with no arguments does.
    return Ref::steal(type->tp_alloc(type, 0));
}

ASI_CAMERA_INFO* camera_info_of(PyObject* record) {
    return &data_of<ASI_CAMERA_INFO>(record);
}
ASI_CONTROL_CAPS* control_caps_of(PyObject* record) {
    return &data_of<ASI_CONTROL_CAPS>(record);
}
ASI_ID* id_of(PyObject* record) {
    return &data_of<ASI_ID>(record);
}
ASI_SUPPORTED_MODE* supported_mode_of(PyObject* record) {
    return &data_of<ASI_SUPPORTED_MODE>(record);
}
ASI_GPS_DATA* gps_data_of(PyObject* record) {
    return &data_of<ASI_GPS_DATA>(record);
}

} // namespace asi
