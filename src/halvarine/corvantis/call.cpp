// The function type shared by all module functions: binding, boundary coercion, what
// Python sees of a function, and the traceback entries of failed calls.
#include "asi.hpp"

#include <frameobject.h> // PyFrame_New, for traceback entries

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
                 row.name, "exactly", static_cast<Py_ssize_t>(row.parameters.size()),
                 row.parameters.size() == 1 ? "" : "s", given);
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
    const int count = function->row->parameters.size();
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
    const Py_ssize_t count = row.parameters.size();
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
    for (int i = 0; i < row.parameters.size(); ++i) {
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

/// The usual call: every argument given by position and already what the boundary would
/// make of it, so that it passes as it is. False, having changed nothing, otherwise.
bool arguments_as_given(const FunctionRow& row, PyObject* const* args, Arguments& out) {
    for (int i = 0; i < row.parameters.size(); ++i) {
        PyObject* argument = args[i];
        out.object[i] = argument;
        switch (row.parameters[i].kind) {
        case Kind::Int:
        case Kind::Long:
            if (!PyLong_CheckExact(argument))
                return false;
            break;
        case Kind::Bool:
            // Any other object's truth may run its code: the binder's turn.
            if (argument != Py_True && argument != Py_False)
                return false;
            out.truth[i] = argument == Py_True;
            break;
        case Kind::Text:
            if (!PyUnicode_CheckExact(argument))
                return false;
            break;
        case Kind::Record:
            if (!PyObject_TypeCheck(argument, record_type(RecordKind::Id)))
                return false;
            break;
        case Kind::Enum:
            break;
        }
    }
    return true;
}

/// Every other call: bound and coerced, the boundary's ints kept until it returns.
[[gnu::noinline]] PyObject* bind_and_call(FunctionObject* function, PyObject* const* args,
                                          size_t nargsf, PyObject* kwnames) {
    const FunctionRow& row = *function->row;
    Arguments arguments;
    PyObject* storage[max_parameters];
    Ref owned[max_parameters];
    PyObject* const* bound = bind(function, args, PyVectorcall_NARGS(nargsf), kwnames, storage);
    if (bound && coerce(row, bound, owned, arguments))
        return row.implementation(arguments);
    return nullptr;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    FunctionObject* function = as_function(self);
    const FunctionRow& row = *function->row;
    Arguments arguments;
    PyObject* result = !kwnames && PyVectorcall_NARGS(nargsf) == row.parameters.size() &&
                               arguments_as_given(row, args, arguments)
                           ? row.implementation(arguments)
                           : bind_and_call(function, args, nargsf, kwnames);
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

/// inspect.Signature from the row, as __annotations__ holds it; made on first use, so
/// that `import asi` does not import inspect.
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
    for (int i = 0; i < row.parameters.size(); ++i) {
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

/// Pickled by reference, through pkgutil.resolve_name("asi:<name>"): the bare name would
/// make pickle import `__module__`, whose parent packages need not be importable.
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

} // namespace

int ready_function_type() {
    if (state.function_type)
        return 0;
    state.function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return state.function_type ? 0 : -1;
}

PyObject* new_function(const FunctionRow& row, int line) {
    Ref object =
        Ref::steal(reinterpret_cast<PyObject*>(PyObject_New(FunctionObject, state.function_type)));
    if (!object)
        return nullptr;
    FunctionObject* function = as_function(object.get());
    // Clear the fields first: the deallocator must see nulls if a step below fails.
    function->vectorcall =
        row.parameters.size() == 0 ? no_argument_vectorcall : function_vectorcall;
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
    for (int i = 0; i < row.parameters.size(); ++i) {
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

} // namespace asi
