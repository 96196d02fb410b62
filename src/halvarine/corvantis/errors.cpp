// The error model: ASIError and one subclass per SDK status, the table from status to
// class, handle_error_code, and the status check through which every status-returning
// operation reaches it.
//
// Every name here is looked up at each use, so users can extend the table or rebind the
// classes and the handler.
#include "asi.hpp"

#include <iterator>

namespace asi {

namespace {

struct ErrorClass {
    const char* name;
    const char* doc;
};

// In creation and binding order. ASIError comes first and is the base of all others.
constexpr ErrorClass error_classes[] = {
    {"ASIError", "Base exception class for all ASI errors."},
    {"ASISuccess", "ASI operation completed successfully."},
    {"ASIInvalidIndex", "Invalid index: No camera connected or index value out of boundary."},
    {"ASIInvalidID", "Invalid camera ID provided."},
    {"ASICameraClosed", "Failed to open camera: Camera is closed."},
    {"ASICameraRemoved",
     "Camera removed: Failed to find the camera, it might have been disconnected."},
    {"ASITimeout", "Operation timed out."},
    {"ASIGeneralError", "General error: Value is out of valid range."},
    {"ASIInvalidControlType", "Invalid control type provided."},
    {"ASIInvalidPath", "Invalid file path provided."},
    {"ASIInvalidFileFormat", "Invalid file format provided."},
    {"ASIInvalidSize", "Invalid video format size."},
    {"ASIInvalidImageType", "Unsupported image format."},
    {"ASIOutOfBoundary", "The start position is out of boundary."},
    {"ASIInvalidSequence", "Stop capture first: Invalid sequence of operations."},
    {"ASIBufferTooSmall", "Buffer size is too small for the operation."},
    {"ASIVideoModeActive", "Operation failed because video mode is currently active."},
    {"ASIExposureInProgress", "Cannot perform operation while exposure is in progress."},
    {"ASIInvalidMode", "The current mode is incorrect for this operation."},
    {"ASIGPSNotSupported", "GPS is not supported by this camera."},
    {"ASIGPSVersionError", "The FPGA GPS version is too low for the requested operation."},
    {"ASIGPSFPGAError", "Failed to read or write data to FPGA for GPS."},
    {"ASIGPSParamOutOfRange",
     "GPS parameter out of range: Start line or end line must be between 0 and MaxHeight-1."},
    {"ASIGPSDataInvalid",
     "Invalid GPS data: GPS has not found satellites or FPGA cannot read GPS data."},
    {"ASIErrorEnd", "End of ASI error codes."},
    {"ASIUnknownErrorCode", "End of ASI error codes."},
};

// The class of each SDK status, in status order 0..23.
constexpr const char* classes_by_status[] = {
    "ASISuccess",         "ASIInvalidIndex",       "ASIInvalidID",       "ASIInvalidControlType",
    "ASICameraClosed",    "ASICameraRemoved",      "ASIInvalidPath",     "ASIInvalidFileFormat",
    "ASIInvalidSize",     "ASIInvalidImageType",   "ASIOutOfBoundary",   "ASITimeout",
    "ASIInvalidSequence", "ASIBufferTooSmall",     "ASIVideoModeActive", "ASIExposureInProgress",
    "ASIGeneralError",    "ASIInvalidMode",        "ASIGPSNotSupported", "ASIGPSVersionError",
    "ASIGPSFPGAError",    "ASIGPSParamOutOfRange", "ASIGPSDataInvalid",  "ASIErrorEnd",
};
static_assert(std::size(classes_by_status) == ASI_ERROR_END + 1);
// The table's keys are the shared small ints.
static_assert(ASI_SUCCESS >= smallest_small_int && ASI_ERROR_END <= largest_small_int);

/// An ordinary class made by the metaclass of its base, with a namespace of
/// __module__, __qualname__ and __doc__ only.
Ref new_error_class(const ErrorClass& entry, PyObject* base) {
    Ref name = Ref::steal(PyUnicode_FromString(entry.name));
    Ref doc = Ref::steal(PyUnicode_FromString(entry.doc));
    Ref bases = Ref::steal(PyTuple_Pack(1, base));
    Ref namespace_ = Ref::steal(PyDict_New());
    if (!name || !doc || !bases || !namespace_)
        return Ref();
    if (PyDict_SetItem(namespace_.get(), state.names.dunder_module, state.names.module_name) < 0 ||
        PyDict_SetItem(namespace_.get(), state.names.dunder_qualname, name.get()) < 0 ||
        PyDict_SetItem(namespace_.get(), state.names.dunder_doc, doc.get()) < 0)
        return Ref();
    PyObject* args[] = {name.get(), bases.get(), namespace_.get()};
    return Ref::steal(
        PyObject_Vectorcall(reinterpret_cast<PyObject*>(Py_TYPE(base)), args, 3, nullptr));
}

/// Calls `exception_type` with `message` and raises what that returns, as the raise
/// statement would: an instance as it is, a class by calling it without arguments,
/// anything else is a TypeError. Always -1.
int raise_with_message(PyObject* exception_type, Ref message) {
    if (!message)
        return -1;
    Ref raised = Ref::steal(PyObject_CallOneArg(exception_type, message.get()));
    if (!raised)
        return -1;
    if (PyExceptionInstance_Check(raised.get())) {
        PyErr_SetRaisedException(raised.release());
    } else if (PyExceptionClass_Check(raised.get())) {
        PyErr_SetObject(raised.get(), nullptr);
    } else {
        PyErr_SetString(PyExc_TypeError,
                        "raise: exception class must be a subclass of BaseException");
    }
    return -1;
}

/// The exception class the table maps `code` to, or None; through `get`, which an exact
/// dict cannot have overridden.
Ref mapped_class(PyObject* table, PyObject* code) {
    if (PyDict_CheckExact(table)) {
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(table, code, &found) < 0)
            return Ref();
        return found ? Ref::steal(found) : Ref::borrow(Py_None);
    }
    Ref get = Ref::steal(PyObject_GetAttr(table, state.names.get));
    if (!get)
        return Ref();
    return Ref::steal(PyObject_CallOneArg(get.get(), code));
}

// ---------------------------------------------------------------------------------------
// Remembered lookups.
//
// A successful call looks up handle_error_code, the error table, its entry for 0 and
// ASISuccess. A dict watcher on the namespace and the table reports every change before
// it happens, so the outcome is kept until then. It is kept only while no key's own
// __eq__ could run during those lookups (exact str keys in the namespace, exact int keys
// in the table); otherwise, or without a watcher, every call looks up by name.

bool is_remembered_name(PyObject* key) {
    if (!state.constants_ready)
        return true; // the names are gone with a failed import: assume the worst
    for (PyObject* name :
         {state.names.handle_error_code, state.names.error_table, state.names.success})
        if (key == name || PyUnicode_Equal(key, name) == 1)
            return true;
    return false;
}

int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) noexcept {
    if (dict == state.lookups.watched_table) {
        if (event == PyDict_EVENT_DEALLOCATED)
            state.lookups.watched_table = nullptr;
        state.lookups.stale = true;
    } else if (dict == state.lookups.watched_globals) {
        if (event == PyDict_EVENT_DEALLOCATED)
            state.lookups.watched_globals = nullptr;
        // A new or changed entry under another exact-str name cannot change our lookups.
        const bool entry_event = event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ||
                                 event == PyDict_EVENT_DELETED;
        if (!entry_event || !PyUnicode_CheckExact(key) || is_remembered_name(key))
            state.lookups.stale = true;
    }
    return 0;
}

template <class Predicate> bool all_keys(PyObject* dict, Predicate predicate) {
    Py_ssize_t position = 0;
    PyObject* key;
    while (PyDict_Next(dict, &position, &key, nullptr))
        if (!predicate(key))
            return false;
    return true;
}

/// Watches `dict` as the namespace or the table. The dict it replaces stays watched: it
/// may be the other one too (a user can bind the namespace itself as the table), and
/// the events of a dict that is neither are ignored anyway.
bool watch(PyObject* dict, PyObject*& watched) {
    if (watched == dict)
        return true;
    watched = nullptr;
    if (PyDict_Watch(state.lookups.watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    watched = dict;
    return true;
}

/// Takes the outcome of the lookups afresh. Leaves no exception behind: whatever fails
/// here fails again, and is reported, on the ordinary path.
void refresh_lookups() {
    state.lookups.stale = false;
    state.lookups.handler = nullptr;
    state.lookups.zero_is_success = false;
    if (!state.lookups.tried_watcher) {
        state.lookups.tried_watcher = true;
        state.lookups.watcher = PyDict_AddWatcher(on_dict_event);
        if (state.lookups.watcher < 0)
            PyErr_Clear();
    }
    PyObject* globals = state.globals;
    if (state.lookups.watcher < 0 || !globals || !state.constants_ready ||
        !watch(globals, state.lookups.watched_globals))
        return;
    if (!all_keys(globals, [](PyObject* key) { return PyUnicode_CheckExact(key) != 0; }))
        return;
    // Borrowed: the watcher hears of any change to these entries before it happens.
    state.lookups.handler = PyDict_GetItemWithError(globals, state.names.handle_error_code);
    PyObject* table = PyDict_GetItemWithError(globals, state.names.error_table);
    PyObject* success = PyDict_GetItemWithError(globals, state.names.success);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        state.lookups.handler = nullptr;
        return;
    }
    if (!table || !success || !PyDict_CheckExact(table) ||
        !watch(table, state.lookups.watched_table))
        return;
    if (!all_keys(table, [](PyObject* key) { return PyLong_CheckExact(key) != 0; }))
        return;
    PyObject* entry = PyDict_GetItemWithError(table, small_int(0));
    if (!entry && PyErr_Occurred())
        PyErr_Clear();
    state.lookups.zero_is_success = entry == success;
}

bool zero_known_to_succeed() {
    if (state.lookups.stale)
        refresh_lookups();
    return state.lookups.zero_is_success;
}

// ---------------------------------------------------------------------------------------
// The status check.

/// The handler's own work: 0 for success, -1 with the mapped exception set.
int raise_for_code(PyObject* code) {
    // Nearly every status is 0, and the remembered lookups say what the lookups below
    // would find for it.
    if (code == small_int(0) && zero_known_to_succeed())
        return 0;
    Ref table = lookup_global(state.names.error_table);
    if (!table)
        return -1;
    Ref exception_type = mapped_class(table.get(), code);
    if (!exception_type)
        return -1;
    if (exception_type.get() == Py_None) {
        Ref unknown = lookup_global(state.names.unknown_error_code);
        if (!unknown)
            return -1;
        return raise_with_message(
            unknown.get(), Ref::steal(PyUnicode_FromFormat("ASI error code %S (unknown).", code)));
    }
    Ref success = lookup_global(state.names.success);
    if (!success)
        return -1;
    if (exception_type.get() == success.get())
        return 0;
    return raise_with_message(exception_type.get(),
                              Ref::steal(PyUnicode_FromFormat("ASI error code %S.", code)));
}

PyObject* handle_error_code(const Arguments& arguments) {
    if (raise_for_code(arguments.object[0]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

} // namespace

Ref resolve_handler() {
    if (state.lookups.stale)
        refresh_lookups();
    if (state.lookups.handler)
        return Ref::borrow(state.lookups.handler);
    return lookup_global(state.names.handle_error_code);
}

bool check_status(PyObject* handler, int status) {
    // The usual outcome, known without making the status an int.
    if (status == 0 && handler == state.handle_error_code && zero_known_to_succeed())
        return true;
    Ref code = Ref::steal(PyLong_FromLong(status));
    if (!code)
        return false;
    if (handler == state.handle_error_code) {
        // The module's own handler: its work without a second trip through the binder.
        if (raise_for_code(code.get()) == 0)
            return true;
        add_function_traceback(state.handle_error_code);
        return false;
    }
    Ref result = Ref::steal(PyObject_CallOneArg(handler, code.get()));
    return static_cast<bool>(result);
}

int create_exceptions() {
    for (const ErrorClass& entry : error_classes) {
        const bool is_base = entry.name == error_classes[0].name;
        // Each subclass takes its base from the namespace at the moment it is made.
        Ref base = is_base ? Ref::borrow(PyExc_Exception) : lookup_global(state.names.error_base);
        if (!base)
            return -1;
        Ref cls = new_error_class(entry, base.get());
        if (!cls || PyDict_SetItemString(state.globals, entry.name, cls.get()) < 0)
            return -1;
    }
    return 0;
}

int create_error_table() {
    Ref table = Ref::steal(PyDict_New());
    if (!table)
        return -1;
    for (int status = 0; status <= ASI_ERROR_END; ++status) {
        Ref name = Ref::steal(PyUnicode_InternFromString(classes_by_status[status]));
        if (!name)
            return -1;
        Ref cls = lookup_global(name.get());
        if (!cls || PyDict_SetItem(table.get(), small_int(status), cls.get()) < 0)
            return -1;
    }
    return PyDict_SetItem(state.globals, state.names.error_table, table.get());
}

constinit const FunctionRow rows::handle_error_code = {
    .name = "handle_error_code",
    .implementation = asi::handle_error_code, // the bare name would be the row
    .parameters = {{"asi_error_code", Kind::Int, "int"}},
    .return_annotation = "None",
    .doc = nullptr,
};

} // namespace asi
