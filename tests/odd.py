"""The odd objects the tests pass where the module expects ints, bools, enumeration
members, text and records: subclasses, stand-ins with only some of the protocol, and
objects whose methods raise or answer with the wrong type."""

import enum

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


class IntReturns:
    """Has only __int__, answering `result` (which need not be an int)."""

    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class IndexOnly:
    def __index__(self):
        return 1


class RaisingIndex:
    def __index__(self):
        raise Boom("index")


class RaisingTruth:
    """Its truth test raises Boom(label): the label tells which argument was tested."""

    def __init__(self, label="bool"):
        self.label = label

    def __bool__(self):
        raise Boom(self.label)


class Sized:
    """Has only __len__; its truth is whether the length is nonzero."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length
