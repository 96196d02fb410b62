// The module frame: the entry point, the create and execute phases, and the order in
// which the namespace is filled.
#include "asi.hpp"

#include <iterator>

// The Python this module is built for; a test build overrides the minor number to
// exercise the version warning.
#ifndef ASI_BUILT_FOR_PYTHON_MAJOR
#define ASI_BUILT_FOR_PYTHON_MAJOR 3
#endif
#ifndef ASI_BUILT_FOR_PYTHON_MINOR
#define ASI_BUILT_FOR_PYTHON_MINOR 14
#endif

namespace asi {

namespace {

// Module functions in binding order, each on the line its traceback entries show.
struct Binding {
    const FunctionRow& row;
    int line;
};

constexpr Binding handler_binding = {rows::handle_error_code, __LINE__};
constexpr Binding function_bindings[] = {
    {rows::get_number_of_connected_cameras, __LINE__},
    {rows::camera_check, __LINE__},
    {rows::get_camera_property, __LINE__},
    {rows::get_sdk_version, __LINE__},
    {rows::get_camera_property_by_id, __LINE__},
    {rows::open_camera, __LINE__},
    {rows::init_camera, __LINE__},
    {rows::close_camera, __LINE__},
    {rows::get_id, __LINE__},
    {rows::set_id, __LINE__},
    {rows::get_serial_number, __LINE__},
    {rows::get_camera_support_mode, __LINE__},
    {rows::get_camera_mode, __LINE__},
    {rows::set_camera_mode, __LINE__},
    {rows::start_exposure, __LINE__},
    {rows::stop_exposure, __LINE__},
    {rows::get_exp_status, __LINE__},
    {rows::get_data_after_exp, __LINE__},
    {rows::get_data_after_exp_gps, __LINE__},
    {rows::start_video_capture, __LINE__},
    {rows::stop_video_capture, __LINE__},
    {rows::get_video_data, __LINE__},
    {rows::get_video_data_gps, __LINE__},
    {rows::get_num_of_controls, __LINE__},
    {rows::get_control_caps, __LINE__},
    {rows::get_control_value, __LINE__},
    {rows::set_control_value, __LINE__},
    {rows::set_roi_format, __LINE__},
    {rows::get_roi_format, __LINE__},
    {rows::set_start_pos, __LINE__},
    {rows::get_start_pos, __LINE__},
    {rows::get_dropped_frames, __LINE__},
    {rows::enable_dark_subtract, __LINE__},
    {rows::disable_dark_subtract, __LINE__},
    {rows::pulse_guide_on, __LINE__},
    {rows::pulse_guide_off, __LINE__},
    {rows::get_gain_offset, __LINE__},
    {rows::get_lmh_gain_offset, __LINE__},
    {rows::send_soft_trigger, __LINE__},
    {rows::set_trigger_output_io_conf, __LINE__},
    {rows::get_trigger_output_io_conf, __LINE__},
    {rows::gps_get_data, __LINE__},
};

// ---------------------------------------------------------------------------------------
// Constants.

struct NameText {
    PyObject* Names::*field;
    const char* text;
};

constexpr NameText name_texts[] = {
    {&Names::handle_error_code, "handle_error_code"},
    {&Names::error_table, "ASI_ERROR_CODE_TO_EXCEPTION"},
    {&Names::success, "ASISuccess"},
    {&Names::unknown_error_code, "ASIUnknownErrorCode"},
    {&Names::error_base, "ASIError"},
    {&Names::int_enum, "IntEnum"},
    {&Names::optional, "Optional"},
    {&Names::bayer_pattern, "BayerPattern"},
    {&Names::img_type, "ImgType"},
    {&Names::control_type, "ControlType"},
    {&Names::camera_mode, "CameraMode"},
    {&Names::exposure_status, "ExposureStatus"},
    {&Names::value, "value"},
    {&Names::member_value, "_value_"},
    {&Names::fget, "fget"},
    {&Names::dunder_get, "__get__"},
    {&Names::get, "get"},
    {&Names::encode, "encode"},
    {&Names::utf_8, "utf-8"},
    {&Names::img_end, "IMG_END"},
    {&Names::mode_end, "ASI_MODE_END"},
    {&Names::supported_camera_mode, "supported_camera_mode"},
    {&Names::name, "name"},
    {&Names::camera_id, "camera_id"},
    {&Names::max_height, "max_height"},
    {&Names::max_width, "max_width"},
    {&Names::dunder_prepare, "__prepare__"},
    {&Names::dunder_module, "__module__"},
    {&Names::dunder_qualname, "__qualname__"},
    {&Names::dunder_doc, "__doc__"},
    {&Names::add_note, "add_note"},
    {&Names::fromhex, "fromhex"},
    {&Names::module_name, qualified_module_name},
};

int create_constants() {
    if (state.constants_ready)
        return 0;
    for (const NameText& entry : name_texts) {
        state.names.*entry.field = PyUnicode_InternFromString(entry.text);
        if (!(state.names.*entry.field))
            return -1;
    }
    state.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0);
    state.empty_str = PyUnicode_New(0, 0);
    if (!state.empty_bytes || !state.empty_str)
        return -1;
    for (int value = smallest_small_int; value <= largest_small_int; ++value) {
        PyObject*& shared = state.small_ints[value - smallest_small_int];
        shared = PyLong_FromLong(value);
        if (!shared)
            return -1;
    }
    state.constants_ready = true;
    return 0;
}

/// Everything the execute phase wrote, dropped again after a failure so that a later
/// import starts afresh. The owning interpreter stays recorded.
void clear_state() {
    Py_CLEAR(state.module);
    Py_CLEAR(state.globals);
    Py_CLEAR(state.builtins);
    for (PyTypeObject*& type : state.records) {
        PyObject* object = reinterpret_cast<PyObject*>(type);
        Py_CLEAR(object);
        type = nullptr;
    }
    Py_CLEAR(state.handle_error_code);
    Py_CLEAR(state.empty_bytes);
    Py_CLEAR(state.empty_str);
    for (PyObject*& value : state.small_ints)
        Py_CLEAR(value);
    for (const NameText& entry : name_texts)
        Py_CLEAR(state.names.*entry.field);
    state.constants_ready = false;
}

// ---------------------------------------------------------------------------------------
// Steps of the execute phase.

/// The running interpreter against the one the module was built for. A mismatch is a
/// warning only, unless warnings are errors.
int check_python_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == ASI_BUILT_FOR_PYTHON_MAJOR && minor == ASI_BUILT_FOR_PYTHON_MINOR)
        return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  ASI_BUILT_FOR_PYTHON_MAJOR, ASI_BUILT_FOR_PYTHON_MINOR, qualified_module_name,
                  "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int register_qualified_name() {
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyMapping_HasKeyWithError(modules, state.names.module_name);
    if (present != 0)
        return present < 0 ? -1 : 0;
    if (PyObject_SetItem(modules, state.names.module_name, state.module) < 0)
        return -1;
    state.registered_qualified_name = true;
    return 0;
}

/// After a failed import: the qualified name must not keep pointing at the half-filled
/// module, or the next import would find its key taken and leave it so.
void unregister_qualified_name() {
    if (!state.registered_qualified_name)
        return;
    state.registered_qualified_name = false;
    PyObject* exception = PyErr_GetRaisedException();
    // Found without allocating: this also runs after a MemoryError.
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* current = nullptr;
    if (modules && PyMapping_GetOptionalItem(modules, state.names.module_name, &current) > 0) {
        if (current == state.module)
            PyObject_DelItem(modules, state.names.module_name);
        Py_DECREF(current);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exception);
}

/// Registered by `import asi`, the qualified name has no package above it, and
/// `import halvarine.corvantis.asi` would find no `corvantis` on `halvarine`. Import the
/// package and bind the module on it, as the import system does for a submodule; without
/// the package's files the module stands alone.
int bind_in_package() {
    if (!state.registered_qualified_name)
        return 0;
    Ref package = Ref::steal(PyImport_ImportModule("halvarine.corvantis"));
    if (!package) {
        if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    return PyObject_SetAttrString(package.get(), "asi", state.module);
}

/// Without the built-in enumerate the import fails, as it always has.
int check_enumerate() {
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(state.builtins, "enumerate", &found) < 0)
        return -1;
    Ref held = Ref::steal(found);
    if (!held) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined",
                     Ref::steal(PyUnicode_FromString("enumerate")).get());
        return -1;
    }
    return 0;
}

/// `from <module_name> import <name>`, bound in the namespace.
int bind_from_import(const char* module_name, PyObject* name) {
    Ref module_text = Ref::steal(PyUnicode_FromString(module_name));
    if (!module_text)
        return -1;
    PyObject* modules = PyImport_GetModuleDict();
    Ref module;
    if (modules) {
        PyObject* found = nullptr;
        if (PyMapping_GetOptionalItem(modules, module_text.get(), &found) < 0)
            return -1;
        module = Ref::steal(found);
        if (module) {
            int has = PyObject_HasAttrWithError(module.get(), name);
            if (has < 0)
                return -1;
            if (!has)
                module.reset();
        }
    }
    if (!module) {
        Ref from_list = Ref::steal(PyTuple_Pack(1, name));
        if (!from_list)
            return -1;
        module = Ref::steal(PyImport_ImportModuleLevelObject(module_text.get(), state.globals,
                                                             nullptr, from_list.get(), 0));
        if (!module)
            return -1;
    }
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(module.get(), name, &value) < 0)
        return -1;
    Ref bound = Ref::steal(value);
    if (!bound) {
        // A submodule of that name registered on its own.
        Ref full_name = Ref::steal(PyUnicode_FromFormat("%s.%U", module_name, name));
        if (!full_name)
            return -1;
        PyObject* submodule = nullptr;
        modules = PyImport_GetModuleDict();
        if (modules && PyMapping_GetOptionalItem(modules, full_name.get(), &submodule) < 0)
            return -1;
        bound = Ref::steal(submodule);
        if (!bound) {
            PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
            return -1;
        }
    }
    return PyDict_SetItem(state.globals, name, bound.get());
}

int bind_functions() {
    Ref handler = Ref::steal(new_function(handler_binding.row, handler_binding.line));
    if (!handler || PyDict_SetItem(state.globals, state.names.handle_error_code, handler.get()) < 0)
        return -1;
    state.handle_error_code = handler.release();
    for (const Binding& binding : function_bindings) {
        Ref function = Ref::steal(new_function(binding.row, binding.line));
        if (!function || PyDict_SetItemString(state.globals, binding.row.name, function.get()) < 0)
            return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------
// The two phases.

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1)
        return nullptr;
    if (state.owner_interpreter == -1) {
        state.owner_interpreter = interpreter;
    } else if (state.owner_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only "
                                           "be loaded into one interpreter per process.");
        return nullptr;
    }
    if (state.module)
        return Py_NewRef(state.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module)
        return nullptr;
    PyObject* namespace_ = PyModule_GetDict(module.get()); // borrowed
    struct Copy {
        const char* from;
        const char* to;
        bool none_too;
    };
    for (Copy copy : {Copy{"loader", "__loader__", true}, Copy{"origin", "__file__", true},
                      Copy{"parent", "__package__", true},
                      Copy{"submodule_search_locations", "__path__", false}}) {
        PyObject* value = nullptr;
        // A missing attribute is skipped; any other failure fails the phase.
        if (PyObject_GetOptionalAttrString(spec, copy.from, &value) < 0)
            return nullptr;
        Ref owned = Ref::steal(value);
        if (!owned || (owned.get() == Py_None && !copy.none_too))
            continue;
        if (PyDict_SetItemString(namespace_, copy.to, owned.get()) < 0)
            return nullptr;
    }
    return module.release();
}

int execute_steps(PyObject* module, bool& add_init_entry) {
    state.module = Py_NewRef(module);
    state.globals = Py_XNewRef(PyModule_GetDict(module));
    if (!state.globals)
        return -1;

    state.builtins = PyImport_ImportModule("builtins");
    if (!state.builtins || PyObject_SetAttrString(module, "__builtins__", state.builtins) < 0)
        return -1;
    if (check_python_version() < 0)
        return -1;
    if (create_constants() < 0)
        return -1;

    // From here on a failure carries the module's "init" traceback entry.
    add_init_entry = true;
    if (register_qualified_name() < 0 || check_enumerate() < 0)
        return -1;
    if (ready_function_type() < 0)
        return -1;
    if (create_record_types() < 0)
        return -1;
    if (bind_from_import("typing", state.names.optional) < 0 ||
        bind_from_import("enum", state.names.int_enum) < 0)
        return -1;
    if (create_enumerations() < 0 || create_exceptions() < 0 || create_error_table() < 0)
        return -1;
    if (bind_functions() < 0)
        return -1;
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItemString(state.globals, "__test__", test.get()) < 0)
        return -1;
    // Last: a failed import must leave no binding behind in the package.
    return bind_in_package();
}

int execute_module(PyObject* module) noexcept {
    if (state.module) {
        if (state.module == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'asi' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    bool add_init_entry = false;
    if (execute_steps(module, add_init_entry) == 0)
        return 0;
    if (add_init_entry)
        add_traceback("init halvarine.corvantis.asi", __LINE__);
    unregister_qualified_name();
    clear_state();
    return -1;
}

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(execute_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "asi",      // m_name
    nullptr,    // m_doc: the module has no docstring
    0,          // m_size: no per-module state; the state is process-wide
    no_methods, // m_methods: every function is made by the execute phase
    slots,      // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free: no unload
};

} // namespace

} // namespace asi

PyMODINIT_FUNC PyInit_asi() {
    return PyModuleDef_Init(&asi::definition);
}
