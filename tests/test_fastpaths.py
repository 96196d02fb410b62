"""The shortcuts the module takes on its hot paths, against what they assume.

Each shortcut holds only while what it relies on is as the module left it: the
namespace and the error table unchanged since their lookups were remembered, the
handler being the module's own, keyword names being the interned parameter names, a
new image buffer being unseen by anyone. These tests change each of those things,
rebinding, subclassing, mutating in place, even in the middle of a call, and check
that the very next call behaves as documented."""

import builtins
import functools
import sys

import pytest

import asi
from halvarine.corvantis import sim
from odd import Int, Valued
from tracebacks import module_entries

MODULE = "halvarine.corvantis.asi"
SUCCESS = asi.ASISuccess


def succeed(camera):
    """A call whose status is 0; from the second on, the module has its lookups by heart."""
    for _ in range(2):
        assert asi.stop_exposure(camera) is None


# ---------------------------------------------------------------------------------------
# Remembered lookups: handle_error_code, the error table and ASISuccess


def rebind_handler(log, monkeypatch):
    asi.handle_error_code = log.append


def wrap_handler(log, monkeypatch):
    original = asi.handle_error_code
    asi.handle_error_code = lambda code: log.append(code) or original(code)


def partial_handler(log, monkeypatch):
    asi.handle_error_code = functools.partial(asi.handle_error_code)


def handler_from_builtins(log, monkeypatch):
    del asi.handle_error_code
    monkeypatch.setattr(builtins, "handle_error_code", log.append, raising=False)


def handler_deleted(log, monkeypatch):
    del asi.handle_error_code


def namespace_refilled(log, monkeypatch):
    namespace = vars(asi)
    refill = dict(namespace, handle_error_code=log.append)
    namespace.clear()
    namespace.update(refill)


def entry_changed(log, monkeypatch):
    asi.ASI_ERROR_CODE_TO_EXCEPTION[0] = asi.ASITimeout


def entry_deleted(log, monkeypatch):
    del asi.ASI_ERROR_CODE_TO_EXCEPTION[0]


def table_cleared(log, monkeypatch):
    asi.ASI_ERROR_CODE_TO_EXCEPTION.clear()


def table_updated(log, monkeypatch):
    asi.ASI_ERROR_CODE_TO_EXCEPTION.update({0: asi.ASIGPSFPGAError})


def table_rebound(log, monkeypatch):
    asi.ASI_ERROR_CODE_TO_EXCEPTION = {0: asi.ASIInvalidMode}


class LoggingTable(dict):
    """A dict subclass with its own get: it must be asked, not read directly."""

    log = None

    def get(self, code, default=None):
        self.log.append(code)
        return super().get(code, default)


def table_subclassed(log, monkeypatch):
    table = LoggingTable(asi.ASI_ERROR_CODE_TO_EXCEPTION)
    table.log = log
    asi.ASI_ERROR_CODE_TO_EXCEPTION = table


def table_deleted(log, monkeypatch):
    del asi.ASI_ERROR_CODE_TO_EXCEPTION


def success_rebound(log, monkeypatch):
    asi.ASISuccess = asi.ASITimeout


def success_deleted(log, monkeypatch):
    del asi.ASISuccess


def success_from_builtins(log, monkeypatch):
    del asi.ASISuccess
    monkeypatch.setattr(builtins, "ASISuccess", SUCCESS, raising=False)


@pytest.mark.parametrize("change, raised, message, logged", [
    (rebind_handler, None, None, [0]),
    (wrap_handler, None, None, [0]),
    (partial_handler, None, None, []),
    (handler_from_builtins, None, None, [0]),
    (handler_deleted, NameError, "name 'handle_error_code' is not defined", []),
    (namespace_refilled, None, None, [0]),
    (entry_changed, asi.ASITimeout, "ASI error code 0.", []),
    (entry_deleted, asi.ASIUnknownErrorCode, "ASI error code 0 (unknown).", []),
    (table_cleared, asi.ASIUnknownErrorCode, "ASI error code 0 (unknown).", []),
    (table_updated, asi.ASIGPSFPGAError, "ASI error code 0.", []),
    (table_rebound, asi.ASIInvalidMode, "ASI error code 0.", []),
    (table_subclassed, None, None, [0]),
    (table_deleted, NameError, "name 'ASI_ERROR_CODE_TO_EXCEPTION' is not defined", []),
    # The table still holds the original class, which is no longer the one named so.
    (success_rebound, SUCCESS, "ASI error code 0.", []),
    (success_deleted, NameError, "name 'ASISuccess' is not defined", []),
    (success_from_builtins, None, None, []),
], ids=lambda v: v.__name__ if callable(v) and not isinstance(v, type) else None)
def test_a_successful_call_follows_every_change(opened, journal, monkeypatch, change, raised,
                                                 message, logged):
    succeed(opened)
    log = []
    change(log, monkeypatch)
    if raised is None:
        assert asi.stop_exposure(opened) is None
    else:
        with pytest.raises(raised) as excinfo:
            asi.stop_exposure(opened)
        assert type(excinfo.value) is raised and excinfo.value.args == (message,)
    assert log == logged and all(type(code) is int for code in log)
    assert len(journal.calls("ASIStopExposure")) == 3 - (change is handler_deleted)


def test_a_rebound_table_is_followed_in_its_turn(opened):
    succeed(opened)
    asi.ASI_ERROR_CODE_TO_EXCEPTION = dict(asi.ASI_ERROR_CODE_TO_EXCEPTION)
    succeed(opened)  # remembered again, from the new table
    asi.ASI_ERROR_CODE_TO_EXCEPTION[0] = asi.ASIInvalidPath
    with pytest.raises(asi.ASIInvalidPath, match=r"^ASI error code 0\.$"):
        asi.stop_exposure(opened)


def test_the_namespace_itself_as_table_and_back(opened):
    # The namespace maps no int: every status is unknown while it serves as the table.
    asi.ASI_ERROR_CODE_TO_EXCEPTION = vars(asi)
    with pytest.raises(asi.ASIUnknownErrorCode, match=r"^ASI error code 0 \(unknown\)\.$"):
        asi.stop_exposure(opened)
    asi.ASI_ERROR_CODE_TO_EXCEPTION = {0: SUCCESS}
    succeed(opened)
    log = []
    asi.handle_error_code = log.append  # the namespace must still be followed
    asi.stop_exposure(opened)
    assert log == [0]


def test_undone_changes_leave_the_documented_behaviour(opened):
    table = asi.ASI_ERROR_CODE_TO_EXCEPTION
    for _ in range(3):
        succeed(opened)
        table[0] = asi.ASITimeout
        with pytest.raises(asi.ASITimeout):
            asi.stop_exposure(opened)
        table[0] = SUCCESS


class ValueWithSideEffect:
    """An enumeration argument whose `value` runs code in the middle of the call: after
    the handler was resolved, before the SDK call and the status check."""

    def __init__(self, action):
        self.action = action

    @property
    def value(self):
        self.action()
        return 0


def test_changes_made_during_a_call(opened, journal):
    succeed(opened)
    # The table is read by the status check, after the change: this very call sees it.
    table = asi.ASI_ERROR_CODE_TO_EXCEPTION
    with pytest.raises(asi.ASITimeout, match=r"^ASI error code 0\.$"):
        asi.set_camera_mode(opened, ValueWithSideEffect(lambda: table.update({0: asi.ASITimeout})))
    table[0] = SUCCESS
    succeed(opened)
    # The handler was resolved before the change: this call keeps it, the next one not.
    log = []
    assert asi.set_camera_mode(
        opened, ValueWithSideEffect(lambda: setattr(asi, "handle_error_code", log.append))) is None
    assert log == []
    asi.stop_exposure(opened)
    assert log == [0]
    assert [c["mode"] for c in journal.calls("ASISetCameraMode")] == [0, 0]


class Colliding:
    """A key equal to nothing, hashing like `twin`, that counts how often a lookup
    compares it: lookups made by the module must do so exactly as a plain one does."""

    def __init__(self, twin):
        self.twin_hash = hash(twin)
        self.compared = 0

    def __hash__(self):
        return self.twin_hash

    def __eq__(self, other):
        self.compared += 1
        return False


def comparisons_per_lookup(key, lookup):
    before = key.compared
    lookup()
    per_lookup = key.compared - before
    assert per_lookup >= 1  # the key sits before the one looked up
    return per_lookup


def test_table_lookup_with_a_comparing_key(opened):
    succeed(opened)
    key = Colliding(0)
    table = {key: asi.ASIGeneralError}
    table.update(asi.ASI_ERROR_CODE_TO_EXCEPTION)
    asi.ASI_ERROR_CODE_TO_EXCEPTION = table
    per_lookup = comparisons_per_lookup(key, lambda: table.get(0))
    start = key.compared
    for calls in range(1, 4):
        asi.stop_exposure(opened)
        assert key.compared == start + per_lookup * calls


def test_namespace_lookup_with_a_comparing_key(opened):
    succeed(opened)
    namespace = vars(asi)
    handler = namespace.pop("handle_error_code")
    key = Colliding("handle_error_code")
    namespace[key] = None
    namespace["handle_error_code"] = handler
    per_lookup = comparisons_per_lookup(key, lambda: namespace.get("handle_error_code"))
    start = key.compared
    for calls in range(1, 4):
        asi.stop_exposure(opened)
        assert key.compared == start + per_lookup * calls


def test_namespace_lookup_with_a_str_subclass_key(opened):
    class Text(str):
        compared = 0

        def __eq__(self, other):
            Text.compared += 1
            return str.__eq__(self, other)

        __hash__ = str.__hash__

    succeed(opened)
    namespace = vars(asi)
    success = namespace.pop("ASISuccess")
    namespace[Text("ASISuccess")] = success
    # Found through the subclass key's own __eq__, on every call.
    for calls in range(1, 4):
        asi.stop_exposure(opened)
        assert Text.compared == calls


# ---------------------------------------------------------------------------------------
# The module's own handler entered directly, and handlers that only wrap it


@pytest.mark.parametrize("wrap", [
    lambda original: original,
    functools.partial,
    lambda original: lambda code: original(code),
    lambda original: lambda code: original(asi_error_code=code),
], ids=["itself", "partial", "wrapper", "by-keyword"])
def test_failures_through_the_handler_and_its_wrappers(opened, wrap):
    asi.handle_error_code = wrap(asi.handle_error_code)
    succeed(opened)
    sim.fail("ASIStopExposure", 11)
    with pytest.raises(asi.ASITimeout) as excinfo:
        asi.stop_exposure(opened)
    assert excinfo.value.args == ("ASI error code 11.",)
    assert module_entries(excinfo.value) == [f"{MODULE}.stop_exposure",
                                             f"{MODULE}.handle_error_code"]


def test_a_wrapper_that_misuses_the_handler(opened):
    asi.handle_error_code = functools.partial(asi.handle_error_code, 0)
    with pytest.raises(TypeError, match=r"^handle_error_code\(\) takes exactly 1 positional "
                                        r"argument \(2 given\)$") as excinfo:
        asi.stop_exposure(opened)
    assert module_entries(excinfo.value) == [f"{MODULE}.stop_exposure",
                                             f"{MODULE}.handle_error_code"]


# ---------------------------------------------------------------------------------------
# C integers: a small int's single digit is read in place, anything larger converted


SINGLE_DIGIT = 2**30


@pytest.mark.parametrize("value", [0, -1, SINGLE_DIGIT - 1, SINGLE_DIGIT, -SINGLE_DIGIT + 1,
                                   -SINGLE_DIGIT, 2**31 - 1, -2**31])
def test_integers_either_side_of_one_digit_reach_the_sdk(journal, value):
    asi.handle_error_code = lambda code: None
    asi.camera_check(value, -value - 1)
    asi.set_camera_mode(0, Valued(value))
    asi.set_camera_mode(0, Valued(Int(value)))
    assert [tuple(c.args.values())[-2:] for c in journal.calls("ASICameraCheck")] == [
        (value, -value - 1)]
    assert [c["mode"] for c in journal.calls("ASISetCameraMode")] == [value, value]


# ---------------------------------------------------------------------------------------
# Image buffers: made directly as the type returned, zeroed by the module (outside the
# interpreter lock in get_video_data), whatever memory they were carved from


IMAGE_CALLS = [
    ("ASIGetVideoData", lambda size: asi.get_video_data(0, size, 0), bytearray),
    ("ASIGetVideoDataGPS", lambda size: asi.get_video_data_gps(0, size, 0)[0], bytes),
    ("ASIGetDataAfterExp", lambda size: asi.get_data_after_exp(0, size), bytes),
    ("ASIGetDataAfterExpGPS", lambda size: asi.get_data_after_exp_gps(0, size)[0], bytes),
]


@pytest.mark.parametrize("sdk_name, image, kind", IMAGE_CALLS, ids=[c[0] for c in IMAGE_CALLS])
def test_image_buffers_start_zeroed(opened, sdk_name, image, kind):
    size = 1 << 20
    sim.fail(sdk_name, 0, -1)  # succeeds without writing anything of its own
    sim.script(sdk_name, 0, b"\xa5" * size)
    for _ in range(3):
        # Freed at once: the next buffer of that size is likely the same memory.
        assert image(size) == b"\xa5" * size
    sim.clear_scripts()
    sim.script(sdk_name, 0, b"abc")
    for _ in range(3):
        result = image(size)
        assert type(result) is kind and len(result) == size
        assert result[:3] == b"abc" and result.count(0) == size - 3


@pytest.mark.parametrize("sdk_name, image, kind", IMAGE_CALLS, ids=[c[0] for c in IMAGE_CALLS])
def test_every_call_returns_its_own_image(opened, sdk_name, image, kind):
    sim.fail(sdk_name, 0, -1)
    first, second = image(16), image(16)
    assert first is not second and first == second == bytes(16)
    empty = image(0)
    assert type(empty) is kind and empty == b""
    if kind is bytearray:
        assert image(0) is not empty  # mutable: never shared
