// What implementations share between the Python and the C side of a call: names
// looked up in the module namespace, C values from Python objects, and results and
// errors back.
#include "asi.hpp"

#include <climits>

namespace asi {

// ---------------------------------------------------------------------------------------
// Global lookup.

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
    // A char item is a signed byte on every platform, including those (ARM) where C's
    // char is unsigned and CHAR_MIN/CHAR_MAX span 0..255.
    if (value < SCHAR_MIN || value > SCHAR_MAX)
        return raise_too_large("char");
    *out = static_cast<char>(static_cast<signed char>(value));
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

} // namespace asi
