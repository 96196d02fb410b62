"""A pure-Python model of the rules by which every module function takes its arguments:
binding, the boundary coercion of each parameter kind, the order of the implementation
stage (handler lookup, buffers, C conversions, the SDK call) and the status check.

`predict` tells, for a call with arbitrary arguments, what the module must do: raise which
exception with which message (and which warnings on the way), and whether the SDK is
called and with which values. It works only from the documented rules; where a rule
says "as int(value)" or "as bytearray(size)", the model asks Python itself, so the
exact messages of the runtime come for free."""

import sys
import warnings
from dataclasses import dataclass, field

import asi

from functions import BOOL, ENUM, HANDLE_ERROR_CODE, INT, LONG, RECORD, TEXT

C_INT = (-(2**31), 2**31 - 1)
C_LONG = (-(2**63), 2**63 - 1)
PY_TPFLAGS_IMMUTABLETYPE = 1 << 8
PY_TPFLAGS_HEAPTYPE = 1 << 9

# Status codes and the classes the module's table maps them to.
ERROR_CLASSES = [
    "ASISuccess", "ASIInvalidIndex", "ASIInvalidID", "ASIInvalidControlType",
    "ASICameraClosed", "ASICameraRemoved", "ASIInvalidPath", "ASIInvalidFileFormat",
    "ASIInvalidSize", "ASIInvalidImageType", "ASIOutOfBoundary", "ASITimeout",
    "ASIInvalidSequence", "ASIBufferTooSmall", "ASIVideoModeActive",
    "ASIExposureInProgress", "ASIGeneralError", "ASIInvalidMode", "ASIGPSNotSupported",
    "ASIGPSVersionError", "ASIGPSFPGAError", "ASIGPSParamOutOfRange", "ASIGPSDataInvalid",
    "ASIErrorEnd",
]

# How handle_error_code is bound when a call looks it up.
HANDLER_MODULE, HANDLER_MISSING, HANDLER_RECORDER = "module", "missing", "recorder"


@dataclass
class Outcome:
    """What a call does. `raised` is (exception type, message, number of notes) or None;
    `sdk` the SDK arguments the journal must show (None: the SDK is not called)."""

    raised: tuple | None = None
    sdk: dict | None = None
    warned: list = field(default_factory=list)
    handler_codes: list = field(default_factory=list)


class _Stop(Exception):
    """Ends the model's walk through a call with the exception the module must raise."""

    def __init__(self, raised):
        super().__init__()
        self.raised = raised


def tp_name(cls):
    """The type name the C API prints (tp_name), which is not always __name__."""
    if cls.__module__ == "builtins":
        return cls.__name__
    heap = cls.__flags__ & PY_TPFLAGS_HEAPTYPE
    if not heap or cls.__flags__ & PY_TPFLAGS_IMMUTABLETYPE:
        return f"{cls.__module__}.{cls.__name__}"   # C types: their dotted tp_name
    return cls.__name__                              # classes written in Python


def describe(exception):
    return (type(exception), str(exception), len(getattr(exception, "__notes__", ())))


def _runtime(work, outcome):
    """Runs a rule that the runtime itself defines, keeping its warnings and errors."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = work()
        except Exception as error:
            raised = describe(error)
        else:
            raised = None
    outcome.warned += [(w.category, str(w.message)) for w in caught]
    if raised:
        raise _Stop(raised)
    return result


def _type_error(param, expected, value, note=False):
    message = (f"Argument '{param}' has incorrect type "
               f"(expected {expected}, got {tp_name(type(value))})")
    raise _Stop((TypeError, message, 1 if note else 0))


def _count_error(name, count, given):
    plural = "" if count == 1 else "s"
    message = f"{name}() takes exactly {count} positional argument{plural} ({given} given)"
    raise _Stop((TypeError, message, 0))


def bind(function, args, kwargs):
    """The parameters in order, filled from positionals then keywords."""
    name, params = function.name, function.params
    count = len(params)
    if count == 0:
        if kwargs:
            raise _Stop((TypeError, f"{name}() takes no keyword arguments", 0))
        if args:
            raise _Stop((TypeError, f"{name}() takes no arguments ({len(args)} given)", 0))
        return []
    if not kwargs:
        if len(args) != count:
            _count_error(name, count, len(args))
        return list(args)
    if len(args) > count:
        _count_error(name, count, len(args))
    bound = list(args) + [_UNFILLED] * (count - len(args))
    names = [p.name for p in params]
    for keyword, value in kwargs.items():
        if keyword not in names:
            raise _Stop((TypeError, f"{name}() got an unexpected keyword argument '{keyword}'", 0))
        index = names.index(keyword)
        if bound[index] is not _UNFILLED:
            message = f"{name}() got multiple values for keyword argument '{keyword}'"
            raise _Stop((TypeError, message, 0))
        bound[index] = value
    for index, value in enumerate(bound):
        if value is _UNFILLED:
            _count_error(name, count, index)
    return bound


_UNFILLED = object()


def is_number(value):
    """The C API's numeric-protocol test (PyNumber_Check)."""
    cls = type(value)
    return (any(hasattr(cls, slot) for slot in ("__index__", "__int__", "__float__"))
            or isinstance(value, complex))


def coerce(param, value, outcome):
    """The boundary stage for one parameter."""
    if param.kind in (INT, LONG):
        if type(value) is int:
            return value
        if not is_number(value):
            _type_error(param.name, "int", value)
        return _runtime(lambda: int(value), outcome)
    if param.kind == BOOL:
        if value is True:
            return 1
        if value is False or value is None:
            return 0
        return int(_runtime(lambda: bool(value), outcome))
    if param.kind == TEXT:
        if type(value) is not str:
            _type_error(param.name, "str", value, note=isinstance(value, str))
        return value
    if param.kind == RECORD:
        if not isinstance(value, asi.Id):
            _type_error(param.name, tp_name(asi.Id), value)
        return value
    return value   # enumerations pass untouched


def c_int(number):
    if not C_LONG[0] <= number <= C_LONG[1]:
        raise _Stop((OverflowError, "Python int too large to convert to C long", 0))
    if not C_INT[0] <= number <= C_INT[1]:
        raise _Stop((OverflowError, "value too large to convert to int", 0))
    return number


def c_long(number):
    if not C_LONG[0] <= number <= C_LONG[1]:
        raise _Stop((OverflowError, "Python int too large to convert to C long", 0))
    return number


def enumeration_value(value, outcome):
    """The C int behind an enumeration argument's `value`: an int as it is, anything else
    through its __int__ alone."""
    if isinstance(value, int):
        return c_int(int.__int__(value))
    cls = type(value)
    if not hasattr(cls, "__int__"):
        raise _Stop((TypeError, "an integer is required", 0))
    result = _runtime(lambda: cls.__int__(value), outcome)
    if type(result) is not int:
        if not isinstance(result, int):
            message = f"__int__ returned non-int (type {tp_name(type(result))})"
            raise _Stop((TypeError, message, 0))
        outcome.warned.append((DeprecationWarning, (
            f"__int__ returned non-int (type {tp_name(type(result))}).  The ability to "
            "return an instance of a strict subclass of int is deprecated, and may be "
            "removed in a future version of Python.")))
    return c_int(int.__int__(result))


def convert(param, value, outcome):
    """The implementation stage's C conversion of one coerced argument, as the journal
    will show it."""
    if param.kind == INT:
        return c_int(value)
    if param.kind == LONG:
        return c_long(value)
    if param.kind == ENUM:
        attribute = _runtime(lambda: value.value, outcome)
        return enumeration_value(attribute, outcome)
    if param.kind == TEXT:
        data = _runtime(lambda: value.encode("utf-8"), outcome)
        if b"\0" in data:
            raise _Stop((ValueError, f"embedded null character in {param.name}", 0))
        return data
    if param.kind == RECORD:
        return bytes.fromhex(value.id)
    return value   # booleans are 1 or 0 already


def make_buffer(size, outcome):
    """bytearray(size), evaluated only where it refuses; a size that it would accept is
    never allocated here."""
    if size < 0 or size > sys.maxsize:
        _runtime(lambda: bytearray(size), outcome)


def status_exception(code):
    """What the module's handle_error_code raises for a status, or None."""
    if 0 <= code < len(ERROR_CLASSES):
        if code == 0:
            return None
        return (getattr(asi, ERROR_CLASSES[code]), f"ASI error code {code}.", 0)
    return (asi.ASIUnknownErrorCode, f"ASI error code {code} (unknown).", 0)


def predict(function, args, kwargs, *, handler=HANDLER_MODULE, status=0):
    """What calling `function(*args, **kwargs)` must do, the SDK returning `status`."""
    outcome = Outcome()
    try:
        bound = bind(function, args, kwargs)
        coerced = {p.name: coerce(p, v, outcome) for p, v in zip(function.params, bound)}
        converted = {}
        for step in function.steps:
            action, _, name = step.partition(":")
            if action == "handler":
                if handler == HANDLER_MISSING:
                    raise _Stop((NameError, "name 'handle_error_code' is not defined", 0))
                if outcome.sdk is not None:
                    _check_status(function, handler, status, outcome)
            elif action == "buffer":
                make_buffer(coerced[name], outcome)
            elif action == "convert":
                converted[name] = convert(function.param(name), coerced[name], outcome)
            elif action == "sdk":
                outcome.sdk = {p.sdk: converted.get(p.name, coerced[p.name])
                               for p in function.params}
                if function.handled and function.steps.index("handler") < function.steps.index("sdk"):
                    _check_status(function, handler, status, outcome)
    except _Stop as stop:
        outcome.raised = stop.raised
    return outcome


def _check_status(function, handler, status, outcome):
    if handler == HANDLER_RECORDER:
        outcome.handler_codes.append(status)
        return
    raised = status_exception(status)
    if raised:
        raise _Stop(raised)


def predict_handle_error_code(args, kwargs):
    """handle_error_code itself: one integer parameter, then the table."""
    handler = HANDLE_ERROR_CODE
    outcome = Outcome()
    try:
        (value,) = bind(handler, args, kwargs)
        code = coerce(handler.params[0], value, outcome)
        raised = status_exception(code)
        if raised:
            raise _Stop(raised)
    except _Stop as stop:
        outcome.raised = stop.raised
    return outcome
