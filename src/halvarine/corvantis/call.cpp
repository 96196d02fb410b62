// The function type shared by all module functions, and the steps every call shares:
// binding, boundary coercion, C conversions, global lookup, status check and
// traceback entries.
#include "asi.hpp"

#include <frameobject.h> // PyFrame_New, for traceback entries

#include <climits>
#include <cstring>

namespace asi {

namespace {

// ---------------------------------------------------------------------------------------
// The function object.

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionRow* row;
    PyObject* name;                            ///< interned __name__ and __qualname__
    PyObject* parameter_names[max_parameters]; ///< interned keywords
    PyObject* annotations;                     ///< dict, as __annotations__ shows it
    PyObject* doc;                             ///< str or None
    PyObject* signature;                       ///< inspect.Signature, made on first use
    PyObject* traceback_name;                  ///< "halvarine.corvantis.asi.<name>"
    int line;                                  ///< its line in the module frame's table
};

FunctionObject* as_function(PyObject* self) {
    return reinterpret_cast<FunctionObject*>(self);
}

// Error messages are built off the hot path.

[[gnu::cold, gnu::noinline]] void raise_count_error(const FunctionRow& row, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 row.name, "exactly", static_cast<Py_ssize_t>(row.parameter_count),
                 row.parameter_count == 1 ? "" : "s", given);
}

[[gnu::cold, gnu::noinline]] void raise_no_arguments_error(const FunctionRow& row, Py_ssize_t given,
                                                           bool keywords) {
    if (keywords)
        PyErr_Format(PyExc_TypeError, "%.200s() %s", row.name, "takes no keyword arguments");
    else
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", row.name, "takes no arguments",
                     given);
}

/// Index of the parameter a keyword names, -1 for none, -2 with an exception set.
int find_parameter(const FunctionObject* function, PyObject* keyword) {
    const int count = function->row->parameter_count;
    for (int i = 0; i < count; ++i)
        if (function->parameter_names[i] == keyword)
            return i;
    for (int i = 0; i < count; ++i) {
        // A str subclass may define its own equality; exact strings compare by value.
        int equal = PyUnicode_CheckExact(keyword)
                        ? PyUnicode_Compare(keyword, function->parameter_names[i]) == 0
                        : PyObject_RichCompareBool(keyword, function->parameter_names[i], Py_EQ);
        if (equal < 0)
            return -2;
        if (equal)
            return i;
    }
    return -1;
}

/// The arguments in parameter order (borrowed): without keywords the positional
/// arguments themselves, with keywords `storage` filled from both. Null with TypeError set.
PyObject* const* bind(const FunctionObject* function, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** storage) {
    const FunctionRow& row = *function->row;
    const Py_ssize_t count = row.parameter_count;
    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keyword_count == 0) {
        if (nargs != count) {
            raise_count_error(row, nargs);
            return nullptr;
        }
        return args;
    }
    if (nargs > count) {
        raise_count_error(row, nargs);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i)
        storage[i] = i < nargs ? args[i] : nullptr;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", row.name);
            return nullptr;
        }
        int index = find_parameter(function, keyword);
        if (index == -2)
            return nullptr;
        if (index == -1) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", row.name,
                         keyword);
            return nullptr;
        }
        if (storage[index]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         row.name, keyword);
            return nullptr;
        }
        storage[index] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!storage[i]) {
            raise_count_error(row, i);
            return nullptr;
        }
    }
    return storage;
}

/// The boundary stage, in parameter order. `owned` keeps the ints it makes.
bool coerce(const FunctionRow& row, PyObject* const* bound, Ref* owned, Arguments& out) {
    for (int i = 0; i < row.parameter_count; ++i) {
        const Parameter& parameter = row.parameters[i];
        PyObject* argument = bound[i];
        out.object[i] = argument;
        switch (parameter.kind) {
        case Kind::Int:
        case Kind::Long:
            if (PyLong_CheckExact(argument))
                break;
            if (!PyNumber_Check(argument)) {
                raise_argument_type_error(parameter.name, "int", argument, false);
                return false;
            }
            owned[i] = Ref::steal(PyNumber_Long(argument));
            if (!owned[i])
                return false;
            out.object[i] = owned[i].get();
            break;
        case Kind::Bool: {
            int truth = argument == Py_True                           ? 1
                        : argument == Py_False || argument == Py_None ? 0
                                                                      : PyObject_IsTrue(argument);
            if (truth < 0)
                return false;
            out.truth[i] = truth;
            out.object[i] = truth ? Py_True : Py_False;
            break;
        }
        case Kind::Text:
            if (!PyUnicode_CheckExact(argument)) {
                raise_argument_type_error(parameter.name, "str", argument,
                                          PyUnicode_Check(argument));
                return false;
            }
            break;
        case Kind::Record: {
            PyTypeObject* id_type = record_type(RecordKind::Id);
            if (!PyObject_TypeCheck(argument, id_type)) {
                raise_argument_type_error(parameter.name, id_type->tp_name, argument, false);
                return false;
            }
            break;
        }
        case Kind::Enum:
            break;
        }
    }
    return true;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    FunctionObject* function = as_function(self);
    const FunctionRow& row = *function->row;
    Arguments arguments;
    PyObject* storage[max_parameters];
    Ref owned[max_parameters];
    PyObject* const* bound = bind(function, args, PyVectorcall_NARGS(nargsf), kwnames, storage);
    PyObject* result = nullptr;
    if (bound && coerce(row, bound, owned, arguments))
        result = row.implementation(arguments);
    if (!result)
        add_function_traceback(self);
    return result;
}

/// The functions without parameters have nothing to bind: their calls, the cheapest the
/// module has, skip the binder's work space and its stack frame.
PyObject* no_argument_vectorcall(PyObject* self, PyObject* const*, size_t nargsf,
                                 PyObject* kwnames) noexcept {
    FunctionObject* function = as_function(self);
    const FunctionRow& row = *function->row;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const bool keywords = kwnames && PyTuple_GET_SIZE(kwnames) > 0;
    PyObject* result = nullptr;
    if (keywords || nargs > 0) {
        raise_no_arguments_error(row, nargs, keywords);
    } else {
        static constexpr Arguments none = {};
        result = row.implementation(none);
    }
    if (!result)
        add_function_traceback(self);
    return result;
}

// ---------------------------------------------------------------------------------------
// What Python sees of a function object.

PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->name);
}
PyObject* get_module(PyObject*, void*) {
    return Py_NewRef(state.names.module_name);
}
PyObject* get_doc(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->doc);
}
PyObject* get_annotations(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->annotations);
}

/// inspect.Signature from the row, so inspect.signature() and help() show the parameters
/// and annotations exactly as __annotations__ holds them. Made on first use: importing
/// inspect is no business of `import asi`.
PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* function = as_function(self);
    if (function->signature)
        return Py_NewRef(function->signature);
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect)
        return nullptr;
    Ref parameter_type = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature_type = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!parameter_type || !signature_type)
        return nullptr;
    Ref positional_or_keyword =
        Ref::steal(PyObject_GetAttrString(parameter_type.get(), "POSITIONAL_OR_KEYWORD"));
    Ref annotation_keyword = Ref::steal(Py_BuildValue("(s)", "annotation"));
    Ref return_keyword = Ref::steal(Py_BuildValue("(s)", "return_annotation"));
    Ref parameters = Ref::steal(PyList_New(0));
    if (!positional_or_keyword || !annotation_keyword || !return_keyword || !parameters)
        return nullptr;
    const FunctionRow& row = *function->row;
    for (int i = 0; i < row.parameter_count; ++i) {
        PyObject* name = function->parameter_names[i];
        PyObject* annotation = PyDict_GetItemWithError(function->annotations, name);
        if (!annotation)
            return PyErr_Occurred() ? nullptr : PyErr_Format(PyExc_KeyError, "%U", name);
        PyObject* args[] = {name, positional_or_keyword.get(), annotation};
        Ref parameter = Ref::steal(
            PyObject_Vectorcall(parameter_type.get(), args, 2, annotation_keyword.get()));
        if (!parameter || PyList_Append(parameters.get(), parameter.get()) < 0)
            return nullptr;
    }
    Ref return_annotation = Ref::steal(PyUnicode_FromString(row.return_annotation));
    if (!return_annotation)
        return nullptr;
    PyObject* args[] = {parameters.get(), return_annotation.get()};
    PyObject* signature = PyObject_Vectorcall(signature_type.get(), args, 1, return_keyword.get());
    if (!signature)
        return nullptr;
    function->signature = Py_NewRef(signature);
    return signature;
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U>", as_function(self)->traceback_name);
}

/// Pickled by reference: the name is looked up in the module again on loading. Not by
/// returning the bare name: pickle would then import `__module__`, whose parent packages
/// `halvarine` and `halvarine.corvantis` do not exist. pkgutil.resolve_name("asi:<name>")
/// imports the module by the name users import it under.
PyObject* function_reduce(PyObject* self, PyObject*) {
    Ref pkgutil = Ref::steal(PyImport_ImportModule("pkgutil"));
    if (!pkgutil)
        return nullptr;
    Ref resolve_name = Ref::steal(PyObject_GetAttrString(pkgutil.get(), "resolve_name"));
    Ref reference = Ref::steal(PyUnicode_FromFormat("asi:%U", as_function(self)->name));
    if (!resolve_name || !reference)
        return nullptr;
    return Py_BuildValue("(O(O))", resolve_name.get(), reference.get());
}

/// Like built-in functions, a module function stays unbound when stored in a class.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) {
    return Py_NewRef(self);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void function_dealloc(PyObject* self) {
    FunctionObject* function = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(function->name);
    for (PyObject* name : function->parameter_names)
        Py_XDECREF(name);
    Py_XDECREF(function->annotations);
    Py_XDECREF(function->doc);
    Py_XDECREF(function->signature);
    Py_XDECREF(function->traceback_name);
    type->tp_free(self);
    Py_DECREF(type); // instances of a heap type own a reference to it
}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "halvarine.corvantis.asi.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

/// Made once per process and never released: function objects may outlive a failed
/// import that created them.
PyTypeObject* function_type = nullptr;

} // namespace

int ready_function_type() {
    if (function_type)
        return 0;
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return function_type ? 0 : -1;
}

PyObject* new_function(const FunctionRow& row, int line) {
    Ref object =
        Ref::steal(reinterpret_cast<PyObject*>(PyObject_New(FunctionObject, function_type)));
    if (!object)
        return nullptr;
    FunctionObject* function = as_function(object.get());
    // Clear the fields first: the deallocator must see nulls if a step below fails.
    function->vectorcall = row.parameter_count == 0 ? no_argument_vectorcall : function_vectorcall;
    function->row = &row;
    function->name = nullptr;
    for (PyObject*& name : function->parameter_names)
        name = nullptr;
    function->annotations = nullptr;
    function->doc = nullptr;
    function->signature = nullptr;
    function->traceback_name = nullptr;
    function->line = line;

    function->name = PyUnicode_InternFromString(row.name);
    function->traceback_name = PyUnicode_FromFormat("%s.%s", qualified_module_name, row.name);
    function->annotations = PyDict_New();
    if (!function->name || !function->traceback_name || !function->annotations)
        return nullptr;
    for (int i = 0; i < row.parameter_count; ++i) {
        function->parameter_names[i] = PyUnicode_InternFromString(row.parameters[i].name);
        if (!function->parameter_names[i])
            return nullptr;
        Ref annotation = Ref::steal(PyUnicode_FromString(row.parameters[i].annotation));
        if (!annotation || PyDict_SetItem(function->annotations, function->parameter_names[i],
                                          annotation.get()) < 0)
            return nullptr;
    }
    Ref return_annotation = Ref::steal(PyUnicode_FromString(row.return_annotation));
    if (!return_annotation ||
        PyDict_SetItemString(function->annotations, "return", return_annotation.get()) < 0)
        return nullptr;
    function->doc = row.doc ? PyUnicode_FromString(row.doc) : Py_NewRef(Py_None);
    if (!function->doc)
        return nullptr;
    return object.release();
}

void add_traceback(const char* qualified_name, int line) {
    // Building the entry must not disturb the exception it is added to.
    PyObject* exception = PyErr_GetRaisedException();
    Ref code = Ref::steal(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(traceback_file_name, qualified_name, line)));
    Ref frame;
    if (code && state.globals)
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                        state.globals, nullptr)));
    PyErr_Clear();
    PyErr_SetRaisedException(exception);
    if (frame)
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

void add_function_traceback(PyObject* self) {
    FunctionObject* function = as_function(self);
    add_traceback(PyUnicode_AsUTF8(function->traceback_name), function->line);
}

// ---------------------------------------------------------------------------------------
// Global lookup and the status check.

Ref lookup_global(PyObject* name) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(state.globals, name, &found) != 0)
        return Ref::steal(found); // a hit, or an error from the dictionary
    if (PyObject_GetOptionalAttr(state.builtins, name, &found) != 0)
        return Ref::steal(found);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

// ---------------------------------------------------------------------------------------
// Remembered lookups.
//
// A successful call resolves handle_error_code, and the module's own handler then looks
// up ASI_ERROR_CODE_TO_EXCEPTION, reads its entry for 0 and looks up ASISuccess: four
// dictionary lookups per call whose outcome changes only when the namespace or the table
// changes. A dict watcher on both reports every change before it happens, so the outcome
// is kept until then and each call costs a flag test instead.
//
// It is kept only while the lookups have no side effect a user could see: every key of
// the namespace an exact str and every key of the table an exact int, so that no key's
// own __eq__ would run during a lookup. Otherwise, or when no watcher can be had, every
// call looks up by name as before.

namespace {

struct LookupCache {
    bool stale = true; ///< something changed since the fields below were set
    bool tried_watcher = false;
    int watcher = -1;                    ///< dict watcher id; -1: none, look up every time
    PyObject* watched_globals = nullptr; ///< borrowed; the namespace being watched
    PyObject* watched_table = nullptr;   ///< borrowed; the error table being watched
    PyObject* handler = nullptr;         ///< borrowed from the namespace; null: look it up
    bool zero_is_success = false;        ///< the table's entry for 0 is the namespace's ASISuccess
};

LookupCache cache;

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
    if (dict == cache.watched_table) {
        if (event == PyDict_EVENT_DEALLOCATED)
            cache.watched_table = nullptr;
        cache.stale = true;
    } else if (dict == cache.watched_globals) {
        if (event == PyDict_EVENT_DEALLOCATED)
            cache.watched_globals = nullptr;
        // A new or changed entry under another exact-str name cannot change our lookups.
        const bool entry_event = event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ||
                                 event == PyDict_EVENT_DELETED;
        if (!entry_event || !PyUnicode_CheckExact(key) || is_remembered_name(key))
            cache.stale = true;
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
    if (PyDict_Watch(cache.watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    watched = dict;
    return true;
}

/// Takes the outcome of the lookups afresh. Leaves no exception behind: whatever fails
/// here fails again, and is reported, on the ordinary path.
void refresh_cache() {
    cache.stale = false;
    cache.handler = nullptr;
    cache.zero_is_success = false;
    if (!cache.tried_watcher) {
        cache.tried_watcher = true;
        cache.watcher = PyDict_AddWatcher(on_dict_event);
        if (cache.watcher < 0)
            PyErr_Clear();
    }
    PyObject* globals = state.globals;
    if (cache.watcher < 0 || !globals || !state.constants_ready ||
        !watch(globals, cache.watched_globals))
        return;
    if (!all_keys(globals, [](PyObject* key) { return PyUnicode_CheckExact(key) != 0; }))
        return;
    // Borrowed: the watcher hears of any change to these entries before it happens.
    cache.handler = PyDict_GetItemWithError(globals, state.names.handle_error_code);
    PyObject* table = PyDict_GetItemWithError(globals, state.names.error_table);
    PyObject* success = PyDict_GetItemWithError(globals, state.names.success);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        cache.handler = nullptr;
        return;
    }
    if (!table || !success || !PyDict_CheckExact(table) || !watch(table, cache.watched_table))
        return;
    if (!all_keys(table, [](PyObject* key) { return PyLong_CheckExact(key) != 0; }))
        return;
    PyObject* entry = PyDict_GetItemWithError(table, small_int(0));
    if (!entry && PyErr_Occurred())
        PyErr_Clear();
    cache.zero_is_success = entry == success;
}

} // namespace

Ref resolve_handler() {
    if (cache.stale)
        refresh_cache();
    if (cache.handler)
        return Ref::borrow(cache.handler);
    return lookup_global(state.names.handle_error_code);
}

bool zero_known_to_succeed() {
    if (cache.stale)
        refresh_cache();
    return cache.zero_is_success;
}

bool check_status(PyObject* handler, int status) {
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

// ---------------------------------------------------------------------------------------
// Conversions.

bool to_c_long(PyObject* number, long* out) {
    // Nearly every argument is a small int: its single digit is read in place. (A compact
    // value is below 2**30 in magnitude, so it fits a C long everywhere.)
    auto* integer = reinterpret_cast<PyLongObject*>(number);
    if (PyLong_Check(number) && PyUnstable_Long_IsCompact(integer)) {
        *out = static_cast<long>(PyUnstable_Long_CompactValue(integer));
        return true;
    }
    long value = PyLong_AsLong(number);
    if (value == -1 && PyErr_Occurred())
        return false;
    *out = value;
    return true;
}

namespace {

[[gnu::cold, gnu::noinline]] bool raise_too_large(const char* type_name) {
    PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", type_name);
    return false;
}

/// The int behind any object by the enumeration-value rule: an int (or subclass) as
/// it is; anything else through its __int__ alone, never __index__.
Ref integer_of(PyObject* object) {
    if (PyLong_Check(object))
        return Ref::borrow(object);
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (!number || !number->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return Ref();
    }
    Ref result = Ref::steal(number->nb_int(object));
    if (!result || PyLong_CheckExact(result.get()))
        return result;
    if (!PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                     Py_TYPE(result.get())->tp_name);
        return Ref();
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an "
                         "instance of a strict subclass of int is deprecated, and may be "
                         "removed in a future version of Python.",
                         Py_TYPE(result.get())->tp_name) < 0)
        return Ref();
    return result;
}

} // namespace

bool to_c_int(PyObject* number, int* out) {
    long value;
    if (!to_c_long(number, &value))
        return false;
    if (value < INT_MIN || value > INT_MAX)
        return raise_too_large("int");
    *out = static_cast<int>(value);
    return true;
}

bool object_to_c_int(PyObject* object, int* out) {
    Ref integer = integer_of(object);
    return integer && to_c_int(integer.get(), out);
}

bool object_to_c_char(PyObject* object, char* out) {
    Ref integer = integer_of(object);
    long value;
    if (!integer || !to_c_long(integer.get(), &value))
        return false;
    if (value < CHAR_MIN || value > CHAR_MAX)
        return raise_too_large("char");
    *out = static_cast<char>(value);
    return true;
}

bool object_to_c_uchar(PyObject* object, unsigned char* out) {
    Ref integer = integer_of(object);
    long value;
    if (!integer || !to_c_long(integer.get(), &value))
        return false;
    if (value < 0) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to unsigned char");
        return false;
    }
    if (value > UCHAR_MAX)
        return raise_too_large("unsigned char");
    *out = static_cast<unsigned char>(value);
    return true;
}

bool enum_value(PyObject* argument, int* out) {
    Ref value = Ref::steal(PyObject_GetAttr(argument, state.names.value));
    return value && object_to_c_int(value.get(), out);
}

PyObject* enum_member(PyObject* class_name, int value) {
    Ref cls = lookup_global(class_name);
    Ref number = Ref::steal(PyLong_FromLong(value));
    if (!cls || !number)
        return nullptr;
    return PyObject_CallOneArg(cls.get(), number.get());
}

PyObject* coerce_int_result(Ref value) {
    if (!value || PyLong_CheckExact(value.get()) || value.get() == Py_None)
        return value.release();
    if (PyNumber_Check(value.get()))
        return PyNumber_Long(value.get());
    PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "int",
                 Py_TYPE(value.get())->tp_name);
    return nullptr;
}

void raise_argument_type_error(const char* parameter, const char* expected, PyObject* given,
                               bool subclass_of_builtin) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", parameter,
                 expected, Py_TYPE(given)->tp_name);
    if (!subclass_of_builtin)
        return;
    PyObject* exception = PyErr_GetRaisedException();
    Ref note = Ref::steal(PyUnicode_FromFormat(
        "Subclasses of built-in types are refused here: pass an exact %s, e.g. %s(value).",
        expected, expected));
    Ref added =
        note ? Ref::steal(PyObject_CallMethodOneArg(exception, state.names.add_note, note.get()))
             : Ref();
    if (!added)
        PyErr_Clear(); // the TypeError itself matters more than its note
    PyErr_SetRaisedException(exception);
}

// ---------------------------------------------------------------------------------------
// Image buffers and records.

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
    // A new bytes object is private until returned, so the SDK may fill it in place:
    // the caller gets the very bytes a buffer-then-copy would have produced. bytes(n)
    // takes zeroed memory from calloc, so pages the SDK never writes are never touched.
    Ref bytes = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), size));
    if (!bytes && PyErr_ExceptionMatches(PyExc_OverflowError)) {
        // bytes refuses sizes next to Py_SSIZE_T_MAX with OverflowError; bytearray
        // reports any size it cannot allocate as MemoryError.
        PyErr_Clear();
        PyErr_NoMemory();
    }
    return bytes;
}

unsigned char* image_storage(PyObject* bytes_object) {
    // The empty bytes object is shared by the whole interpreter: hand the SDK a private
    // byte instead, so that nothing it might write there could change it.
    static unsigned char empty_storage[1];
    if (PyBytes_GET_SIZE(bytes_object) == 0)
        return empty_storage;
    return reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes_object));
}

Ref new_record(RecordKind kind) {
    PyTypeObject* type = record_type(kind);
    // tp_alloc zero-fills, which is all that calling the type with no arguments does.
    return Ref::steal(type->tp_alloc(type, 0));
}

} // namespace asi
