// The shared machinery of the `asi` module: reference ownership, the process-wide
// state, parameter kinds, the table rows that declare every module function, and the
// steps every call shares.
//
// A call travels one way: Python objects are bound and coerced by the function object
// (call.cpp), the row's implementation converts them to C (conversions.cpp), makes one
// SDK call, hands the status to `handle_error_code` (errors.cpp) and builds the result
// from the out-values.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <type_traits>
#include <utility>

#include "ASICamera2.h"

namespace asi {

/// The dotted name the module presents itself under.
inline constexpr const char* qualified_module_name = "halvarine.corvantis.asi";
/// File name shown in the traceback entries the module adds.
inline constexpr const char* traceback_file_name = "src/halvarine/corvantis/asi.cpp";

// ---------------------------------------------------------------------------------------
// Ref: the one owner of a strong reference.

/// Owns one strong reference (or none). A raw PyObject* elsewhere is always borrowed.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            // The decref may run arbitrary Python code; take the new value first.
            PyObject* old = object_;
            object_ = other.object_;
            other.object_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    /// Adopts a new reference, typically a C-API result (null when the call failed).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    /// Takes a reference of its own to a borrowed object.
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    /// Hands the reference back to the caller (to CPython, usually).
    PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }
    void reset() noexcept { Py_CLEAR(object_); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// ---------------------------------------------------------------------------------------
// Process-wide state, written during import (the remembered lookups also at calls).

/// Names the module looks up or uses as attribute names; interned, so their hashes are
/// cached and keyword matching can try identity first.
struct Names {
    PyObject* handle_error_code;  ///< the status handler's global name
    PyObject* error_table;        ///< "ASI_ERROR_CODE_TO_EXCEPTION"
    PyObject* success;            ///< "ASISuccess"
    PyObject* unknown_error_code; ///< "ASIUnknownErrorCode"
    PyObject* error_base;         ///< "ASIError"
    PyObject* int_enum;           ///< "IntEnum"
    PyObject* optional;           ///< "Optional"
    PyObject* bayer_pattern;      ///< enumeration class names looked up at call time
    PyObject* img_type;
    PyObject* control_type;
    PyObject* camera_mode;
    PyObject* exposure_status;
    PyObject* value;                 ///< attribute read from enumeration arguments
    PyObject* member_value;          ///< "_value_", where enum.Enum keeps a member's value
    PyObject* fget;                  ///< the getter attribute of enum.property
    PyObject* dunder_get;            ///< "__get__"
    PyObject* get;                   ///< the error table's lookup method
    PyObject* encode;                ///< CameraInfo.name assignment
    PyObject* utf_8;                 ///< "utf-8"
    PyObject* img_end;               ///< "IMG_END"
    PyObject* mode_end;              ///< "ASI_MODE_END"
    PyObject* supported_camera_mode; ///< SupportedMode's property
    PyObject* name;                  ///< CameraInfo's repr reads these four
    PyObject* camera_id;
    PyObject* max_height;
    PyObject* max_width;
    PyObject* dunder_prepare;  ///< "__prepare__"
    PyObject* dunder_module;   ///< "__module__"
    PyObject* dunder_qualname; ///< "__qualname__"
    PyObject* dunder_doc;      ///< "__doc__"
    PyObject* add_note;        ///< BaseException.add_note
    PyObject* fromhex;         ///< bytes.fromhex
    PyObject* module_name;     ///< "halvarine.corvantis.asi"
};

/// The ints made once and shared: enumeration values and error table keys.
inline constexpr int smallest_small_int = -1;
inline constexpr int largest_small_int = 28;

/// The record types, in the order they are created and bound.
enum class RecordKind : int { ControlCaps, Id, SupportedMode, GpsData, CameraInfo, Count };

/// What the status check last found by its lookups, kept while a dict watcher reports
/// no change to them (errors.cpp).
struct LookupCache {
    bool stale = true; ///< something changed since the fields below were set
    bool tried_watcher = false;
    int watcher = -1;                    ///< dict watcher id; -1: none, look up every time
    PyObject* watched_globals = nullptr; ///< borrowed; the namespace being watched
    PyObject* watched_table = nullptr;   ///< borrowed; the error table being watched
    PyObject* handler = nullptr;         ///< borrowed from the namespace; null: look it up
    bool zero_is_success = false;        ///< the table's entry for 0 is the namespace's ASISuccess
};

/// Whether one argument type's `value` is the standard one (conversions.cpp). The type
/// and its version tag together name one state of one type: a type that changes, or a
/// new type at a freed one's address, has another tag.
struct EnumTypeVerdict {
    PyTypeObject* type = nullptr; ///< only compared, never dereferenced
    unsigned int version = 0;     ///< its version tag when judged; 0: an empty slot
    bool standard = false;        ///< `value` is the standard descriptor, `_value_` undisturbed
};

inline constexpr int enum_type_verdicts = 16;

/// The standard library's `Enum.value`, captured during import, against which each
/// enumeration argument is compared before its `_value_` is read without asking Python
/// (conversions.cpp). All null: never captured, every argument is asked.
struct StandardEnumValue {
    PyObject* descriptor = nullptr;        ///< strong; enum.Enum.__dict__["value"]
    PyTypeObject* property_type = nullptr; ///< strong; its type, enum.property
    PyObject* property_get = nullptr;      ///< strong; enum.property.__get__, a function
    PyObject* property_get_code = nullptr; ///< strong; its __code__
    PyObject* getter = nullptr;            ///< strong; the descriptor's fget, a function
    PyObject* getter_code = nullptr;       ///< strong; its __code__
    unsigned int property_version = 0;     ///< enum.property's tag when last judged
    bool property_standard = false;        ///< its verdict then: as captured
    int watcher = -1;                      ///< dict watcher id; -1: none, look fget up every time
    bool tried_watcher = false;            ///< its registration was attempted
    PyObject* getter_dict = nullptr;       ///< borrowed; the descriptor's __dict__, unchanged since
                                           ///< it was found holding the getter; null: look again
    EnumTypeVerdict verdicts[enum_type_verdicts]; ///< per argument type, by its address
};

/// Everything the module keeps between calls. One instance per process: the module can
/// live in one interpreter only, and there is no unload.
struct State {
    int64_t owner_interpreter = -1; ///< interpreter that first created the module
    PyObject* module = nullptr;     ///< strong; set once the execute phase runs
    PyObject* globals = nullptr;    ///< strong; the module's namespace dictionary
    PyObject* builtins = nullptr;   ///< strong; the builtins module
    PyTypeObject* records[static_cast<int>(RecordKind::Count)] = {}; ///< strong
    PyObject* handle_error_code = nullptr; ///< strong; the module's own handler function
    PyObject* empty_bytes = nullptr;       ///< strong
    PyObject* empty_str = nullptr;         ///< strong
    PyObject* small_ints[largest_small_int - smallest_small_int + 1] = {}; ///< strong
    Names names = {};                                                      ///< strong
    bool constants_ready = false;           ///< names and constants exist
    bool registered_qualified_name = false; ///< this import added the qualified name to sys.modules

    // Kept when a failed import clears the rest: function objects made by that import
    // may outlive it, and the watcher stays registered.
    PyTypeObject* function_type = nullptr; ///< strong
    LookupCache lookups;
    StandardEnumValue enum_value; ///< captured by the first import that gets that far
};

/// Defined here rather than by any one file: every file reads it.
inline State state;

/// The shared int object for a value in the small-int range.
inline PyObject* small_int(int value) {
    return state.small_ints[value - smallest_small_int];
}

inline PyTypeObject* record_type(RecordKind kind) {
    return state.records[static_cast<int>(kind)];
}

// ---------------------------------------------------------------------------------------
// Function rows.

/// How a parameter is taken at the call boundary and converted for the SDK.
enum class Kind : uint8_t {
    Int,    ///< number coerced to int; C int
    Long,   ///< number coerced to int; C long
    Bool,   ///< any object, reduced to its truth value 1 or 0
    Enum,   ///< any object; its `value` attribute becomes a C int
    Text,   ///< exactly str; UTF-8 bytes
    Record, ///< an Id (or subclass); its ASI_ID passed by value
};

inline constexpr int max_parameters = 5;

/// One parameter of a module function.
struct Parameter {
    const char* name; ///< also the keyword
    Kind kind;
    const char* annotation; ///< stored as text in __annotations__
};

/// The arguments after binding and boundary coercion, in parameter order. Integer kinds
/// hold an exact int, booleans hold Py_True/Py_False and `truth`; other kinds the
/// argument as given. Borrowed: from the caller, or, for ints the boundary made, from
/// the binder, which owns them until the call returns.
struct Arguments {
    PyObject* object[max_parameters];
    int truth[max_parameters];
};

/// What is particular to one function: C conversion, the SDK call, the result.
/// Returns a new reference, or null with an exception set.
using Implementation = PyObject* (*)(const Arguments&);

/// A function's parameters, as many as its row's initializer lists. More than
/// max_parameters do not compile: the copy would write past the array.
class ParameterList {
public:
    constexpr ParameterList() = default;
    consteval ParameterList(std::initializer_list<Parameter> parameters) {
        for (const Parameter& parameter : parameters)
            items_[count_++] = parameter;
    }
    constexpr int size() const { return count_; }
    constexpr const Parameter& operator[](int index) const { return items_[index]; }

private:
    Parameter items_[max_parameters] = {};
    int count_ = 0;
};

/// One module function, declared as data.
struct FunctionRow {
    const char* name;
    Implementation implementation;
    ParameterList parameters;
    const char* return_annotation;
    const char* doc; ///< null: no docstring
};

/// The row of each module function, defined by its area; the module frame binds them.
namespace rows {
// discovery.cpp
extern const FunctionRow get_number_of_connected_cameras, camera_check, get_camera_property,
    get_sdk_version, get_camera_property_by_id, get_id, set_id, get_serial_number;
// capture.cpp
extern const FunctionRow open_camera, init_camera, close_camera, get_camera_support_mode,
    get_camera_mode, set_camera_mode, start_exposure, stop_exposure, get_exp_status,
    get_data_after_exp, get_data_after_exp_gps, start_video_capture, stop_video_capture,
    get_video_data, get_video_data_gps, get_dropped_frames, send_soft_trigger,
    set_trigger_output_io_conf, get_trigger_output_io_conf;
// controls.cpp
extern const FunctionRow get_num_of_controls, get_control_caps, get_control_value,
    set_control_value, set_roi_format, get_roi_format, set_start_pos, get_start_pos,
    enable_dark_subtract, disable_dark_subtract, pulse_guide_on, pulse_guide_off, get_gain_offset,
    get_lmh_gain_offset, gps_get_data;
// errors.cpp
extern const FunctionRow handle_error_code;
} // namespace rows

// ---------------------------------------------------------------------------------------
// The function type (call.cpp).

/// Readies the function type; once per process.
int ready_function_type();
/// A new module function object for a row; `line` is where the module frame binds it,
/// the line its traceback entries show.
PyObject* new_function(const FunctionRow& row, int line);
/// Adds a traceback entry to the pending exception: `qualified_name` at `line` of the
/// module frame's source.
void add_traceback(const char* qualified_name, int line);
/// Adds the entry "halvarine.corvantis.asi.<name>" of a module function.
void add_function_traceback(PyObject* function);

// ---------------------------------------------------------------------------------------
// The status check (errors.cpp).

/// Resolves `handle_error_code` for this call: the global lookup, or what it found last
/// time while nothing it depends on has changed since.
Ref resolve_handler();
/// Passes the SDK status to the resolved handler; false if the handler raised.
bool check_status(PyObject* handler, int status);

// ---------------------------------------------------------------------------------------
// Shared steps of an implementation (conversions.cpp).

/// Looks `name` up in the module namespace, then in builtins; NameError otherwise.
Ref lookup_global(PyObject* name);

/// C int from an int that passed the boundary; OverflowError outside the range.
bool to_c_int(PyObject* number, int* out);
/// C long from an int that passed the boundary.
bool to_c_long(PyObject* number, long* out);
/// C int from any object by the enumeration-value rule: an int is range-checked,
/// anything else goes through its __int__ alone.
bool object_to_c_int(PyObject* object, int* out);
/// C int from an enumeration argument's `value` attribute.
bool enum_value(PyObject* argument, int* out);
/// Captures the standard `Enum.value` (once per process). Never fails: what cannot be
/// captured leaves every enumeration argument to be asked for its `value`.
void capture_standard_enum_value();
/// C long/char/unsigned char from any object by the same rule as object_to_c_int. A char
/// takes -128..127 wherever char is unsigned too.
bool object_to_c_char(PyObject* object, char* out);
bool object_to_c_uchar(PyObject* object, unsigned char* out);

/// The int an SDK enumeration holds, read from its bits. The SDK may store any int in an
/// enumeration (an out-parameter, a structure member); reading one outside the
/// enumerators' range through the C++ enum type is undefined behaviour.
template <class Enum> int enum_bits(const Enum& value) {
    static_assert(std::is_enum_v<Enum> && sizeof(Enum) == sizeof(int));
    int bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

/// A tuple that takes the items over (made left to right, as a braced list is
/// evaluated); null with the error set if an item or the tuple could not be made.
template <size_t N> PyObject* tuple_of(Ref (&&items)[N]) {
    for (const Ref& item : items)
        if (!item)
            return nullptr;
    PyObject* tuple = PyTuple_New(N);
    if (!tuple)
        return nullptr;
    for (size_t i = 0; i < N; ++i)
        PyTuple_SET_ITEM(tuple, i, items[i].release());
    return tuple;
}
inline Ref new_int(long value) {
    return Ref::steal(PyLong_FromLong(value));
}
inline Ref new_bool(bool value) {
    return Ref::borrow(value ? Py_True : Py_False);
}

/// Return coercion of functions annotated "int": exact int or None pass, other numbers
/// become int(value), anything else is a TypeError. Steals `value`.
PyObject* coerce_int_result(Ref value);

/// TypeError "Argument '...' has incorrect type (expected ..., got ...)"; adds a note
/// when a subclass of an exact built-in type was refused.
void raise_argument_type_error(const char* parameter, const char* expected, PyObject* given,
                               bool subclass_of_builtin);

/// The enumeration class bound to `class_name` now, called with an SDK value: the
/// member for that value, or the class's own ValueError.
PyObject* enum_member(PyObject* class_name, int value);

/// The steps every per-camera call shares, in their order: the handler resolved, then
/// the camera ID (always the first argument) converted; after the SDK call, the status
/// passed to that same handler.
class CameraCall {
public:
    /// False, with the exception set, when either step fails: the SDK is not to be called.
    bool begin(const Arguments& arguments) {
        handler_ = resolve_handler();
        return handler_ && to_c_int(arguments.object[0], &camera_id);
    }
    /// The status check; false if the handler raised.
    bool check(int status) { return check_status(handler_.get(), status); }

    int camera_id = 0;

private:
    Ref handler_;
};

/// The plainest call: a camera ID in, nothing out.
template <ASI_ERROR_CODE (*sdk_call)(int)>
PyObject* camera_status_only(const Arguments& arguments) {
    CameraCall call;
    if (!call.begin(arguments) || !call.check(sdk_call(call.camera_id)))
        return nullptr;
    Py_RETURN_NONE;
}

/// A camera ID and an enumeration argument, read through its `value` after the ID.
template <class Enum, ASI_ERROR_CODE (*sdk_call)(int, Enum)>
PyObject* camera_and_enum(const Arguments& arguments) {
    CameraCall call;
    int value;
    if (!call.begin(arguments) || !enum_value(arguments.object[1], &value) ||
        !call.check(sdk_call(call.camera_id, static_cast<Enum>(value))))
        return nullptr;
    Py_RETURN_NONE;
}

/// A count the SDK writes for a camera.
template <ASI_ERROR_CODE (*sdk_call)(int, int*)> PyObject* read_count(const Arguments& arguments) {
    CameraCall call;
    int count = 0;
    if (!call.begin(arguments) || !call.check(sdk_call(call.camera_id, &count)))
        return nullptr;
    return PyLong_FromLong(count);
}

// ---------------------------------------------------------------------------------------
// Import-time builders of each area, called by the execute phase in binding order.

int create_record_types(); ///< records.cpp; binds the five types
int create_enumerations(); ///< enums.cpp; binds the eight IntEnums
int create_exceptions();   ///< errors.cpp; binds ASIError and subclasses
int create_error_table();  ///< errors.cpp; binds ASI_ERROR_CODE_TO_EXCEPTION

/// A new, zeroed record of the module's own type (records.cpp).
Ref new_record(RecordKind kind);
/// SDK record structures, for the functions that pass them to the SDK (records.cpp).
ASI_CAMERA_INFO* camera_info_of(PyObject* record);
ASI_CONTROL_CAPS* control_caps_of(PyObject* record);
ASI_ID* id_of(PyObject* record);
ASI_SUPPORTED_MODE* supported_mode_of(PyObject* record);
ASI_GPS_DATA* gps_data_of(PyObject* record);

} // namespace asi
