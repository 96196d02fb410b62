"""The odd objects the tests pass where the module expects ints, bools, enumeration
members, text and records: subclasses, stand-ins with only some of the protocol, and
objects whose methods raise or answer with the wrong type."""

import enum
import functools

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
