"""The odd objects the tests pass where the module expects ints, bools, enumeration
members, text and records: subclasses, stand-ins with only some of the protocol, and
objects whose methods raise or answer with the wrong type."""

import contextlib
import enum
import functools
import signal

import asi


class Boom(Exception):
    """Raised by the methods of the odd objects below."""


class Text(str):
    pass


class Int(int):
    pass


class IdSub(asi.Id):
    pass


class Level(enum.IntEnum):
    TWO = 2


class Valued:
    """Carries a `value` attribute, as an enumeration member does."""

    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"Valued({self.value!r})"


class ValueRaises:
    @property
    def value(self):
        raise Boom("value")


RAISE = ("raise",)


@functools.cache
def _stand_in_class(methods):
    def method(name):
        def answer(self, *args):
            result = self.answers[name]
            if result is RAISE:
                raise Boom(f"{name} refused")
            return result
        answer.__name__ = name
        return answer

    namespace = {name: method(name) for name in methods}
    namespace["__init__"] = lambda self, answers: setattr(self, "answers", answers)
    namespace["__repr__"] = lambda self: f"StandIn({self.answers!r})"
    return type("StandIn", (), namespace)


def stand_in(**answers):
    """An object whose class defines exactly the methods named, each answering with the
    value given (which need not be of the type the protocol wants), or raising Boom for
    RAISE: stand_in(__int__=1.5), stand_in(__index__=RAISE)."""
    return _stand_in_class(tuple(sorted(answers)))(answers)


class RaisingTruth:
    """Its truth test raises Boom(label): the label tells which argument was tested."""

    def __init__(self, label="bool"):
        self.label = label

    def __bool__(self):
        raise Boom(self.label)


class Recorder:
    """Answers through its one method (a subclass names it) with `result`, noting each
    argument in `asked`."""

    def __init__(self, result):
        self.result = result
        self.asked = []

    def answer(self, argument):
        self.asked.append(argument)
        return self.result


# ---------------------------------------------------------------------------------------
# Enumeration members whose `value` is not simply their `_value_`, or whose `_value_` is
# odd: the module may read `_value_` itself only where `member.value` would give it.


class OwnValue(enum.IntEnum):
    """Defines `value` itself."""

    ONE = 1

    @property
    def value(self):
        return self._value_ + 1


class DoublingBase(enum.IntEnum):
    """No members of its own; its subclasses inherit its `value`."""

    @property
    def value(self):
        return self._value_ * 2


class Doubling(DoublingBase):
    ONE = 1


class Mangled(enum.IntEnum):
    """Members whose `_value_` was deleted or replaced after the class was made."""

    NO_VALUE = 1
    TEXT = 2
    FLOAT = 3
    HUGE = 4
    SUBCLASS = 5
    NEGATIVE = 6

    def __repr__(self):
        return f"Mangled.{self._name_}"


del Mangled.NO_VALUE._value_
Mangled.TEXT._value_ = "2"
Mangled.FLOAT._value_ = 2.5
Mangled.HUGE._value_ = 2**70
Mangled.SUBCLASS._value_ = Int(2)
Mangled.NEGATIVE._value_ = -(2**31) - 1


class Intercepted(enum.IntEnum):
    """`_value_` is a property of the class, which wins over the member's own."""

    ONE = 1


Intercepted._value_ = property(lambda self: 3)


class Hooked(enum.IntEnum):
    """Has a __getattr__, so attribute lookup on its members is no longer the generic one."""

    ONE = 1

    def __getattr__(self, name):
        raise AttributeError(name)


class IntMixin(int, enum.Enum):
    ONE = 1


class FloatMixin(float, enum.Enum):
    ONE_AND_A_HALF = 1.5


class TextMixin(str, enum.Enum):
    ONE = "1"


class Plain(enum.Enum):
    """Not an int itself, but its values are."""

    TWO = 2


class Flags(enum.IntFlag):
    ONE = 1
    TWO = 2


# Each is read through `value` exactly as Python would read it.
ODD_MEMBERS = [
    OwnValue.ONE, Doubling.ONE, *Mangled, Intercepted.ONE, Hooked.ONE, IntMixin.ONE,
    FloatMixin.ONE_AND_A_HALF, TextMixin.ONE, Plain.TWO, Flags.ONE | Flags.TWO,
    signal.Signals.SIGHUP,
]


class AsksPython:
    """Exposes another object's `value` through a property of its own: the module has to
    ask Python for it, whatever the other object is."""

    def __init__(self, argument):
        self.argument = argument

    @property
    def value(self):
        return self.argument.value

    def __repr__(self):
        return f"AsksPython({self.argument!r})"


# ---------------------------------------------------------------------------------------
# Changes to the standard `Enum.value` machinery, each made on entry and undone on exit.
# While one holds, `member.value` gives `_value_ + 1` (or 7) for every member.

_DESCRIPTOR = enum.Enum.__dict__["value"]
_GETTER = _DESCRIPTOR.fget


@contextlib.contextmanager
def _restoring(target, name, replacement):
    saved = getattr(target, name) if name != "value" else vars(target)[name]
    setattr(target, name, replacement)
    try:
        yield
    finally:
        setattr(target, name, saved)


def value_replaced():
    """enum.Enum.value rebound to another enum.property."""
    return _restoring(enum.Enum, "value", enum.property(lambda self: self._value_ + 1))


def getter_replaced():
    return _restoring(_DESCRIPTOR, "fget", lambda self: self._value_ + 1)


def getter_code_replaced():
    return _restoring(_GETTER, "__code__", (lambda self: self._value_ + 1).__code__)


def descriptor_get_replaced():
    original = enum.property.__get__

    def get(self, instance, owner=None):
        return 7 if instance is not None else original(self, instance, owner)
    return _restoring(enum.property, "__get__", get)


class _SevenProperty(enum.property):
    def __get__(self, instance, owner=None):
        return 7 if instance is not None else super().__get__(instance, owner)


def descriptor_class_replaced():
    return _restoring(_DESCRIPTOR, "__class__", _SevenProperty)


def descriptor_dict_replaced():
    return _restoring(_DESCRIPTOR, "__dict__",
                      dict(vars(_DESCRIPTOR), fget=lambda self: self._value_ + 1))


ENUM_PATCHES = [value_replaced, getter_replaced, getter_code_replaced, descriptor_get_replaced,
                descriptor_class_replaced, descriptor_dict_replaced]
