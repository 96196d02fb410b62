"""Enumeration arguments read without asking Python, against asking it.

The module reads a member's `_value_` itself where `member.value` would run the standard
library's own descriptor and getter. Each test here passes an argument as it is and
wrapped in AsksPython, which the module can only ask, and expects the same outcome from
both: the same result and SDK call, or the same exception, message and warnings. Members
that define or intercept `value` or `_value_` come from tests/odd.py, as do the changes
to `enum.Enum.value`, its getter and its class, made in the middle of a run and undone."""

import enum
import warnings

import pytest

import asi
from odd import ENUM_PATCHES, ODD_MEMBERS, AsksPython, Int, Mangled, Plain, Valued

# Functions taking an enumeration member last, and the arguments between the camera ID
# and it (set_roi_format converts three ints first).
TAKERS = {"set_camera_mode": (), "get_control_value": (), "set_roi_format": (64, 64, 1)}


def outcome(journal, name, argument, before=()):
    """What the call does: ("returned", result, value the SDK got), or the exception's
    type, message and notes; with the warnings on the way."""
    journal.clear()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = getattr(asi, name)(0, *before, argument)
        except Exception as error:
            happened = (type(error), str(error), getattr(error, "__notes__", None))
        else:
            (call,) = journal.calls()
            happened = ("returned", result, list(call.args.values())[len(before) + 1])
    return happened, [(w.category, str(w.message)) for w in caught]


def assert_same_as_asking(journal, name, argument, before=()):
    """The argument gives what Python gives through `value`; returns that outcome."""
    direct = outcome(journal, name, argument, before)
    asked = outcome(journal, name, AsksPython(argument), before)
    assert direct == asked, argument
    return direct


@pytest.fixture
def camera(opened):
    # A plain member first: the types involved are judged and remembered.
    asi.set_camera_mode(opened, asi.CameraMode.ASI_MODE_NORMAL)
    return opened


@pytest.mark.parametrize("name, before", TAKERS.items(), ids=list(TAKERS))
@pytest.mark.parametrize("argument", ODD_MEMBERS + [asi.CameraMode.ASI_MODE_NORMAL,
                                                    asi.ControlType.ASI_EXPOSURE,
                                                    asi.ImgType.IMG_RAW16],
                         ids=repr)
def test_every_member_gives_what_python_gives(camera, journal, name, before, argument):
    assert_same_as_asking(journal, name, argument, before)


@pytest.mark.parametrize("argument, expected", [
    (asi.ImgType.IMG_RAW16, ("returned", None, 2)),
    (Plain.TWO, ("returned", None, 2)),
    (Mangled.SUBCLASS, ("returned", None, 2)),
    (Mangled.NO_VALUE, (AttributeError, "'Mangled' object has no attribute '_value_'", None)),
    (Mangled.TEXT, (TypeError, "an integer is required", None)),
    (Mangled.HUGE, (OverflowError, "Python int too large to convert to C long", None)),
    (Valued(2**40), (OverflowError, "value too large to convert to int", None)),
    (Mangled.NEGATIVE, (OverflowError, "value too large to convert to int", None)),
    (Mangled.FLOAT, ("returned", None, 2)),
], ids=repr)
def test_what_the_sdk_gets(camera, journal, argument, expected):
    """Not only alike: right."""
    happened, warned = assert_same_as_asking(journal, "set_roi_format", argument, (64, 64, 1))
    assert happened == expected and warned == []


@pytest.mark.parametrize("patch", ENUM_PATCHES, ids=lambda p: p.__name__)
@pytest.mark.parametrize("name", ["set_camera_mode", "get_control_value"])
def test_changes_to_the_standard_value_are_seen_at_once(camera, journal, patch, name):
    members = [asi.CameraMode.ASI_MODE_TRIG_SOFT_EDGE, asi.ControlType.ASI_EXPOSURE, Plain.TWO,
               Mangled.SUBCLASS, Mangled.NO_VALUE]
    unpatched = [assert_same_as_asking(journal, name, m) for m in members]
    with patch():
        # Twice: the first call may be the one that notices, the second must not forget.
        for _ in range(2):
            patched = [assert_same_as_asking(journal, name, m) for m in members]
            assert patched != unpatched
    assert [assert_same_as_asking(journal, name, m) for m in members] == unpatched


def test_a_getter_replaced_while_an_argument_is_read(camera, journal):
    """The argument's own `value` replaces the standard getter: the very next member read
    sees the new one, and the one after the restoring the old one."""
    descriptor = enum.Enum.__dict__["value"]
    saved = descriptor.fget

    class Patches:
        @property
        def value(self):
            descriptor.fget = lambda member: member._value_ + 1
            return 1

    try:
        asi.set_camera_mode(camera, Patches())
        asi.set_camera_mode(camera, asi.CameraMode.ASI_MODE_NORMAL)
        assert journal.calls()[-1].args["mode"] == 1
    finally:
        descriptor.fget = saved
    asi.set_camera_mode(camera, asi.CameraMode.ASI_MODE_NORMAL)
    assert journal.calls()[-1].args["mode"] == 0


def test_a_class_changed_after_its_members_were_read(camera, journal):
    class Changing(enum.IntEnum):
        ONE = 1

    assert outcome(journal, "set_camera_mode", Changing.ONE)[0][-1] == 1
    Changing.value = property(lambda member: 3)
    assert assert_same_as_asking(journal, "set_camera_mode", Changing.ONE)[0][-1] == 3
    del Changing.value
    assert assert_same_as_asking(journal, "set_camera_mode", Changing.ONE)[0][-1] == 1
    Changing._value_ = property(lambda member: 2)
    assert assert_same_as_asking(journal, "set_camera_mode", Changing.ONE)[0][-1] == 2


def test_a_member_changed_after_it_was_read(camera, journal):
    class Changing(enum.IntEnum):
        ONE = 1

    member = Changing.ONE
    vars(member)["value"] = 5  # the descriptor wins over the member's own dictionary
    assert assert_same_as_asking(journal, "set_camera_mode", member)[0][-1] == 1
    member._value_ = Int(3)
    assert assert_same_as_asking(journal, "set_camera_mode", member)[0][-1] == 3
    member._value_ = Valued(1)
    assert assert_same_as_asking(journal, "set_camera_mode", member)[0][0] is TypeError
    del member._value_
    assert assert_same_as_asking(journal, "set_camera_mode", member)[0][0] is AttributeError


def test_many_types_in_turn(camera, journal):
    """More argument types than the module remembers verdicts for, each still right."""
    classes = [enum.IntEnum(f"Mode{i}", [("A", i % 7)]) for i in range(40)]
    for _ in range(2):
        for cls in classes:
            assert outcome(journal, "set_camera_mode", cls.A)[0][-1] == cls.A._value_
