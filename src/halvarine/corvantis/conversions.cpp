// What implementations share between the Python and the C side of a call: names
// looked up in the module namespace, C values from Python objects, and results and
// errors back.
#include "asi.hpp"

#include <climits>
#include <cstdint>

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

namespace {

/// Nearly every argument is a small int: its single digit is read in place. (A compact
/// value is below 2**30 in magnitude, so it fits a C long everywhere, and a C int too.)
inline bool read_compact(PyObject* number, long* out) {
    auto* integer = reinterpret_cast<PyLongObject*>(number);
    if (!PyLong_Check(number) || !PyUnstable_Long_IsCompact(integer))
        return false;
    *out = static_cast<long>(PyUnstable_Long_CompactValue(integer));
    return true;
}

} // namespace

bool to_c_long(PyObject* number, long* out) {
    if (read_compact(number, out))
        return true;
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
    if (read_compact(number, &value)) {
        *out = static_cast<int>(value);
        return true;
    }
    if (!to_c_long(number, &value))
        return false;
    if (value < INT_MIN || value > INT_MAX)
        return raise_too_large("int");
    *out = static_cast<int>(value);
    return true;
}

bool object_to_c_int(PyObject* object, int* out) {
    if (PyLong_Check(object)) // what integer_of would hand back as it is
        return to_c_int(object, out);
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

// ---------------------------------------------------------------------------------------
// Enumeration arguments.
//
// Reading `member.value` runs two Python frames: enum.property.__get__, which calls its
// fget, the function Enum.value, which returns `self._value_`. While the argument's type
// resolves `value` to the standard library's own descriptor, that descriptor's type and
// getter are the ones captured at import, and nothing in the type can intercept
// `_value_`, those frames would find the `_value_` of the member's own dictionary, which
// is read here directly. Anything else, or anything unexpected on the way, is left to
// Python. The checks run no Python code, so nothing can change between them and the read.

namespace {

/// What `name` resolves to on `type` by its method resolution order, as attribute lookup
/// finds it; null with no exception when absent, null with an exception on failure.
Ref find_in_type(PyTypeObject* type, PyObject* name) {
    PyObject* order = type->tp_mro;
    if (!order || !PyTuple_Check(order)) {
        PyErr_SetString(PyExc_TypeError, "type without a method resolution order");
        return Ref();
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(order); ++i) {
        PyObject* base = PyTuple_GET_ITEM(order, i);
        if (!PyType_Check(base)) {
            PyErr_SetString(PyExc_TypeError, "method resolution order of a non-type");
            return Ref();
        }
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        PyObject* found = nullptr;
        if (dict && PyDict_GetItemRef(dict.get(), name, &found) != 0)
            return Ref::steal(found); // a hit, or an error from the dictionary
    }
    return Ref();
}

/// A function's code object, borrowed; null for anything that is not a function.
PyObject* code_of(PyObject* function) {
    return function && PyFunction_Check(function) ? PyFunction_GET_CODE(function) : nullptr;
}

/// Whether enum.property's class is as captured: attribute lookup on its instances
/// generic, a data descriptor (so a member's own dictionary cannot shadow `value`),
/// __get__ the captured function with its captured code, no class attribute `fget` in
/// the way of the instance's. Leaves no exception.
bool judge_property_type(const StandardEnumValue& standard) {
    PyTypeObject* type = standard.property_type;
    if (type->tp_getattro != PyObject_GenericGetAttr || !type->tp_descr_get || !type->tp_descr_set)
        return false;
    Ref get = find_in_type(type, state.names.dunder_get);
    Ref fget = get ? find_in_type(type, state.names.fget) : Ref();
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return get.get() == standard.property_get && code_of(get.get()) == standard.property_get_code &&
           !fget;
}

/// The verdict on enum.property's class in its current state, judged afresh when it has
/// changed since.
bool property_type_as_captured(StandardEnumValue& standard) {
    PyTypeObject* type = standard.property_type;
    if (type->tp_version_tag == standard.property_version && standard.property_version != 0)
        return standard.property_standard;
    if (!PyUnstable_Type_AssignVersionTag(type))
        return false;
    standard.property_version = type->tp_version_tag;
    standard.property_standard = judge_property_type(standard);
    return standard.property_standard;
}

int on_descriptor_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept {
    // Any event, deallocation included, comes before the change: the next call looks again.
    if (dict == state.enum_value.getter_dict)
        state.enum_value.getter_dict = nullptr;
    return 0;
}

/// Whether the descriptor's `fget`, found in its own dictionary (its class has none, as
/// judged), is the captured getter. A dictionary found so is watched and trusted until it
/// changes or the descriptor is given another. Leaves no exception.
bool descriptor_holds_getter(StandardEnumValue& standard) {
    Ref dict = Ref::steal(PyObject_GenericGetDict(standard.descriptor, nullptr));
    if (!dict) {
        PyErr_Clear();
        return false;
    }
    if (dict.get() == standard.getter_dict)
        return true;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(dict.get(), state.names.fget, &found) < 0) {
        PyErr_Clear();
        return false;
    }
    Ref getter = Ref::steal(found);
    if (getter.get() != standard.getter)
        return false;
    if (!standard.tried_watcher) {
        standard.tried_watcher = true;
        standard.watcher = PyDict_AddWatcher(on_descriptor_dict_event);
    }
    if (standard.watcher >= 0 && PyDict_Watch(standard.watcher, dict.get()) == 0)
        standard.getter_dict = dict.get();
    PyErr_Clear(); // without a watcher, the dictionary is searched at every call
    return true;
}

/// Whether instances of `type` read `value` through the captured descriptor and `_value_`
/// from their own dictionary. Leaves no exception.
bool judge_type(PyTypeObject* type, PyObject* descriptor) {
    if (type->tp_getattro != PyObject_GenericGetAttr ||
        (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) && type->tp_dictoffset == 0))
        return false;
    Ref value = find_in_type(type, state.names.value);
    Ref member_value = value ? find_in_type(type, state.names.member_value) : Ref();
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return value.get() == descriptor && !member_value;
}

/// The verdict on `type` in its current state, judged afresh when the type is new to the
/// cache or has changed since.
bool type_reads_standard_value(StandardEnumValue& standard, PyTypeObject* type) {
    const auto address = reinterpret_cast<uintptr_t>(type);
    EnumTypeVerdict& verdict = standard.verdicts[(address >> 4) % enum_type_verdicts];
    if (verdict.type == type && verdict.version == type->tp_version_tag && verdict.version != 0)
        return verdict.standard;
    // A type that can have no tag (one changed too often) is never judged, nor cached.
    if (!PyUnstable_Type_AssignVersionTag(type))
        return false;
    verdict = {type, type->tp_version_tag, judge_type(type, standard.descriptor)};
    return verdict.standard;
}

/// The int `_value_` of an enumeration member whose `value` is the standard one, as the
/// standard getter would return it; null, with no exception, where Python must be asked.
Ref standard_member_value(PyObject* argument) {
    StandardEnumValue& standard = state.enum_value;
    PyObject* descriptor = standard.descriptor;
    if (!descriptor || !type_reads_standard_value(standard, Py_TYPE(argument)))
        return Ref();
    // The descriptor's class may have been reassigned or changed, its getter replaced,
    // the getter's code swapped: any of it since the last call.
    if (Py_TYPE(descriptor) != standard.property_type || !property_type_as_captured(standard))
        return Ref();
    if (!descriptor_holds_getter(standard) || code_of(standard.getter) != standard.getter_code)
        return Ref();
    Ref dict = Ref::steal(PyObject_GenericGetDict(argument, nullptr));
    PyObject* value = nullptr;
    if (!dict || PyDict_GetItemRef(dict.get(), state.names.member_value, &value) < 0) {
        PyErr_Clear();
        return Ref();
    }
    Ref held = Ref::steal(value);
    if (!held || !PyLong_Check(held.get()))
        return Ref(); // no `_value_`, or an odd one: Python tells what that means
    return held;
}

} // namespace

void capture_standard_enum_value() {
    StandardEnumValue& standard = state.enum_value;
    if (standard.descriptor)
        return;
    Ref module = Ref::steal(PyImport_ImportModule("enum"));
    Ref enum_class = module ? Ref::steal(PyObject_GetAttrString(module.get(), "Enum")) : Ref();
    Ref descriptor;
    if (enum_class && PyType_Check(enum_class.get()))
        descriptor =
            find_in_type(reinterpret_cast<PyTypeObject*>(enum_class.get()), state.names.value);
    PyTypeObject* property_type = descriptor ? Py_TYPE(descriptor.get()) : nullptr;
    Ref getter =
        descriptor ? Ref::steal(PyObject_GetAttr(descriptor.get(), state.names.fget)) : Ref();
    Ref get = getter ? find_in_type(property_type, state.names.dunder_get) : Ref();
    PyErr_Clear(); // whatever failed, the shortcut stays off
    if (!get || !code_of(get.get()) || !code_of(getter.get()))
        return;
    standard.property_get_code = Py_NewRef(code_of(get.get()));
    standard.getter_code = Py_NewRef(code_of(getter.get()));
    standard.property_get = get.release();
    standard.getter = getter.release();
    standard.property_type =
        reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(property_type)));
    standard.descriptor = descriptor.release();
}

bool enum_value(PyObject* argument, int* out) {
    Ref value = standard_member_value(argument);
    if (!value)
        value = Ref::steal(PyObject_GetAttr(argument, state.names.value));
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
