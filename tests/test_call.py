"""How every module function binds, coerces and converts its arguments, finds
`handle_error_code` and the enumeration classes, reports failures and makes its results.
Driven by the table of all functions in tests/functions.py: what holds for every function
is checked here once; each area's own file tests what is particular to a function."""

import builtins
import pathlib
import re
import sys
import warnings

import pytest

import asi
from halvarine.corvantis import sim
from functions import (ALL, BOOL, BY_NAME, ENUM, FUNCTIONS, HANDLE_ERROR_CODE, HANDLED,
                       INT, INTEGER_KINDS, LONG, RECORD, TEXT)
from odd import RAISE, Boom, Int, Level, RaisingTruth, Text, Valued, stand_in
from tracebacks import binding_line, module_entries


WITH_PARAMS = [f for f in ALL if f.params]
STATUSLESS = {f.name for f in FUNCTIONS if not f.handled}


def pairs(functions, kinds, exclude=lambda p: False):
    """Parametrizes over (function, parameter) for the parameters of these kinds."""
    found = [(f, p) for f in functions for p in f.params if p.kind in kinds and not exclude(p)]
    return pytest.mark.parametrize(
        "f, p", found, ids=[f"{f.name}.{p.name}" for f, p in found])


def is_buffer(p):
    # Any value reaching a buffer size is also allocated: keep those out of range tests.
    return p.name == "buffer_size"


def default(p):
    if p.kind in INTEGER_KINDS:
        return 0
    if p.kind == BOOL:
        return False
    if p.kind == TEXT:
        return "dark.bmp"
    if p.kind == RECORD:
        return asi.Id()
    return getattr(asi, p.enum)(0)


def call(f, by_keyword=False, **changes):
    assert set(changes) <= {p.name for p in f.params}
    arguments = {p.name: changes[p.name] if p.name in changes else default(p) for p in f.params}
    function = getattr(asi, f.name)
    if by_keyword:
        return function(**dict(reversed(arguments.items())))
    return function(*arguments.values())


def reach(journal, f, **changes):
    """The one SDK call `f` makes with these arguments; SDK refusals do not matter here."""
    journal.clear()
    try:
        call(f, **changes)
    except asi.ASIError:
        pass
    [sdk_call] = journal.calls(f.sdk)
    return sdk_call


def fails(exception, message, function, *args, **kwargs):
    with pytest.raises(exception) as info:
        function(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message
    return info.value


# ---------------------------------------------------------------------------------------
# Binding


@pytest.mark.parametrize("f", WITH_PARAMS, ids=repr)
def test_count_and_keyword_errors(journal, f):
    n, last = len(f.params), f.params[-1].name
    function = getattr(asi, f.name)
    count = f"{f.name}() takes exactly {n} positional argument{'' if n == 1 else 's'}"
    for given in (n - 1, n + 1):
        fails(TypeError, f"{count} ({given} given)", function, *[None] * given)
    # With keywords, "given" is the position of the first parameter left unfilled.
    for missing in range(n):
        fails(TypeError, f"{count} ({missing} given)", function,
              **{p.name: None for i, p in enumerate(f.params) if i != missing})
    # Too many positionals are counted before any keyword is looked at; an unknown
    # keyword is reported before a parameter left unfilled.
    fails(TypeError, f"{count} ({n + 1} given)", function, *[None] * (n + 1), bogus=1)
    fails(TypeError, f"{f.name}() got an unexpected keyword argument 'bogus'",
          function, *[None] * (n - 1), bogus=None)
    fails(TypeError, f"{f.name}() got multiple values for keyword argument '{last}'",
          function, *[None] * n, **{last: None})
    assert journal.calls() == []


@pytest.mark.parametrize("name", ["get_number_of_connected_cameras", "get_sdk_version"])
@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "takes no arguments (1 given)"),
    ((1, 2), {}, "takes no arguments (2 given)"),
    ((), {"x": 1}, "takes no keyword arguments"),
    ((1,), {"x": 1}, "takes no keyword arguments"),
])
def test_no_argument_functions(journal, name, args, kwargs, message):
    fails(TypeError, f"{name}() {message}", getattr(asi, name), *args, **kwargs)
    assert journal.calls() == []


@pytest.mark.parametrize("f", [f for f in FUNCTIONS if f.params], ids=repr)
def test_keywords_bind_to_their_parameters(journal, f):
    values = {p.name: 3 + i for i, p in enumerate(f.params) if p.kind in INTEGER_KINDS}
    positional = reach(journal, f, **values)
    assert all(positional[p.sdk] == values[p.name] for p in f.params if p.name in values)
    journal.clear()
    try:
        call(f, by_keyword=True, **values)
    except asi.ASIError:
        pass
    assert journal.calls(f.sdk) == [positional]


class Folded(str):
    def __eq__(self, other):
        return str.__eq__(self.lower(), other)

    __hash__ = str.__hash__


class NeverEqual(str):
    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


class RaisingEqual(str):
    def __eq__(self, other):
        raise ZeroDivisionError("compared")

    __hash__ = str.__hash__


# A keyword that is not the interned parameter name is matched by equality, its own
# __eq__ included.
@pytest.mark.parametrize("keyword, raised, message", [
    ("".join(["start", "_x"]), None, None),
    (Folded("Start_X"), None, None),
    (NeverEqual("start_x"), TypeError,
     "set_start_pos() got an unexpected keyword argument 'start_x'"),
    (RaisingEqual("start_x"), ZeroDivisionError, "compared"),
], ids=["equal-str", "subclass-equal", "subclass-never-equal", "subclass-raising"])
def test_keywords_that_are_not_the_interned_name(journal, keyword, raised, message):
    assert keyword is not sys.intern("start_x")
    asi.handle_error_code = lambda code: None
    if raised is None:
        asi.set_start_pos(**{Folded("CAMERA_ID"): 1, keyword: 5, "start_y": 6})
        assert journal.calls("ASISetStartPos")[0].args == {"iCameraID": 1, "iStartX": 5,
                                                           "iStartY": 6}
    else:
        fails(raised, message, lambda: asi.set_start_pos(1, start_y=6, **{keyword: 5}))
        assert journal.calls() == []


# ---------------------------------------------------------------------------------------
# Integer kinds


@pairs(ALL, INTEGER_KINDS)
def test_integer_rejects_non_numbers(journal, f, p):
    for value in (None, "1", b"1", object()):
        fails(TypeError, f"Argument '{p.name}' has incorrect type (expected int, "
              f"got {type(value).__name__})", call, f, **{p.name: value})
    assert journal.calls() == []


@pairs(FUNCTIONS, INTEGER_KINDS)
def test_integer_coercion_reaches_the_sdk(journal, f, p):
    cases = [(True, 1), (1.9, 1), (Level.TWO, 2), (7, 7)]
    if not is_buffer(p):
        cases.append((-2.5, -2))
    for value, expected in cases:
        sdk_value = reach(journal, f, **{p.name: value})[p.sdk]
        assert sdk_value == expected and type(sdk_value) is int


@pairs(FUNCTIONS, {INT})
def test_c_int_range(journal, f, p):
    for value in (2**31, -2**31 - 1):
        fails(OverflowError, "value too large to convert to int", call, f, **{p.name: value})
    fails(OverflowError, "Python int too large to convert to C long", call, f, **{p.name: 2**64})
    assert journal.calls() == []
    if not is_buffer(p):
        for value in (-2**31, 2**31 - 1):
            assert reach(journal, f, **{p.name: value})[p.sdk] == value


@pairs(FUNCTIONS, {LONG})
def test_c_long_range(journal, f, p):
    # The SDK's long is the platform's: 64 bits on this Linux build. A buffer size is
    # refused by the buffer, made before the conversion.
    if not is_buffer(p):
        for value in (2**31, 2**63 - 1, -2**63):
            assert reach(journal, f, **{p.name: value})[p.sdk] == value
    journal.clear()
    message = ("cannot fit 'int' into an index-sized integer" if is_buffer(p)
               else "Python int too large to convert to C long")
    fails(OverflowError, message, call, f, **{p.name: 2**63})
    assert journal.calls() == []


# ---------------------------------------------------------------------------------------
# Boolean kind


@pairs(FUNCTIONS, {BOOL})
def test_boolean_truth_value(journal, f, p):
    for value, expected in [(True, 1), (False, 0), (None, 0), ([0], 1), ([], 0), ("", 0),
                            ("no", 1), (stand_in(__len__=3), 1), (stand_in(__len__=0), 0), (0.0, 0)]:
        assert reach(journal, f, **{p.name: value})[p.sdk] == expected, value


# ---------------------------------------------------------------------------------------
# Enumeration kind


@pairs(FUNCTIONS, {ENUM})
def test_enumeration_needs_a_value_attribute(journal, f, p):
    fails(AttributeError, None, call, f, **{p.name: 0})
    # Read after the camera ID is converted, and after handle_error_code is resolved.
    fails(OverflowError, None, call, f, camera_id=2**31, **{p.name: 0})
    del asi.handle_error_code
    fails(NameError, "name 'handle_error_code' is not defined", call, f, **{p.name: 0})
    assert journal.calls() == []


@pairs(FUNCTIONS, {ENUM})
def test_enumeration_value_reaches_the_sdk(journal, f, p):
    for value, expected in [(Level.TWO, 2), (asi.BayerPattern(3), 3),
                            (Valued(4), 4),
                            (Valued(2.9), 2),
                            (Valued(True), 1),
                            (Valued(stand_in(__int__=5)), 5)]:
        assert reach(journal, f, **{p.name: value})[p.sdk] == expected


@pairs(FUNCTIONS, {ENUM})
def test_enumeration_value_conversion_errors(journal, f, p):
    for inner, error, message in [
        (2**31, OverflowError, "value too large to convert to int"),
        (Int(-2**31 - 1), OverflowError, "value too large to convert to int"),
        (2**64, OverflowError, "Python int too large to convert to C long"),
        (stand_in(__index__=1), TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        ("3", TypeError, "an integer is required"),
        (stand_in(__int__=2.5), TypeError, "__int__ returned non-int (type float)"),
    ]:
        fails(error, message, call, f, **{p.name: Valued(inner)})
    assert journal.calls() == []


@pairs(FUNCTIONS, {ENUM})
def test_enumeration_value_int_subclass_from_int_is_deprecated(journal, f, p):
    value = Valued(stand_in(__int__=Int(3)))
    text = ("__int__ returned non-int (type Int).  The ability to return an instance of a "
            "strict subclass of int is deprecated, and may be removed in a future version of "
            "Python.")
    with pytest.warns(DeprecationWarning) as record:
        assert reach(journal, f, **{p.name: value})[p.sdk] == 3
    assert [str(w.message) for w in record] == [text]
    journal.clear()
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        fails(DeprecationWarning, text, call, f, **{p.name: value})
    assert journal.calls() == []


# ---------------------------------------------------------------------------------------
# Text and record kinds

@pytest.mark.parametrize("value", [None, b"dark.bmp", Text("dark.bmp"),
                                   pathlib.PurePosixPath("dark.bmp")], ids=type)
def test_text_must_be_exactly_str(journal, value):
    error = fails(TypeError, "Argument 'bmp_path' has incorrect type (expected str, "
                  f"got {type(value).__name__})", asi.enable_dark_subtract, 0, value)
    # A str subclass, and only that, is told why it was refused.
    assert len(getattr(error, "__notes__", [])) == (1 if isinstance(value, str) else 0)
    assert journal.calls() == []


@pytest.mark.parametrize("path", ["dark.bmp", "", "/data/Dunkelbild-ä.bmp", "暗い.bmp"])
def test_text_reaches_the_sdk_as_utf8(journal, path):
    sdk_path = reach(journal, BY_NAME["enable_dark_subtract"], bmp_path=path)["pcBMPPath"]
    assert sdk_path == path.encode("utf-8")


def test_text_that_cannot_be_passed_on(journal):
    fails(UnicodeEncodeError, None, asi.enable_dark_subtract, 0, "dark\udc80.bmp")
    # Cutting the path at a NUL would hand the SDK another file than the one named.
    fails(ValueError, "embedded null character in bmp_path", asi.enable_dark_subtract, 0,
          "dark.bmp\0.evil")
    fails(OverflowError, None, asi.enable_dark_subtract, 2**31, "a\0b")
    del asi.handle_error_code
    fails(NameError, None, asi.enable_dark_subtract, 0, "a\0b")
    assert journal.calls() == []


def test_record_kind(journal):
    class Serial(asi.Id):
        pass

    for record in (asi.Id(), Serial()):
        record.id = "0123456789abcdef"
        sdk_id = reach(journal, BY_NAME["set_id"], serial_number=record)["ID"]
        assert sdk_id == bytes.fromhex(record.id)
    journal.clear()
    for value in (None, "0123456789abcdef", bytes(8)):
        fails(TypeError, "Argument 'serial_number' has incorrect type (expected "
              f"halvarine.corvantis.asi.Id, got {type(value).__name__})",
              asi.set_id, 0, value)
    assert journal.calls() == []


# ---------------------------------------------------------------------------------------
# Which failure wins


def bad(p):
    return RaisingTruth(p.name) if p.kind == BOOL else None


@pytest.mark.parametrize("f, first", [(f, i) for f in WITH_PARAMS
                                      for i, p in enumerate(f.params) if p.kind != ENUM],
                         ids=lambda v: repr(v))
def test_boundary_failures_in_parameter_order(journal, f, first):
    if f is not HANDLE_ERROR_CODE:
        del asi.handle_error_code  # the boundary stage, truth tests included, comes first
    arguments = {p.name: bad(p) for p in f.params[first:] if p.kind != ENUM}
    p = f.params[first]
    if p.kind == BOOL:
        fails(Boom, p.name, call, f, **arguments)
    else:
        expected = {RECORD: "halvarine.corvantis.asi.Id"}.get(p.kind, p.annotation)
        fails(TypeError, f"Argument '{p.name}' has incorrect type (expected {expected}, "
              "got NoneType)", call, f, **arguments)
    assert journal.calls() == []


@pytest.mark.parametrize("f", [f for f in HANDLED if f.name != "get_video_data"], ids=repr)
def test_handler_is_resolved_before_conversion(journal, f):
    del asi.handle_error_code
    fails(NameError, "name 'handle_error_code' is not defined", call, f,
          **{f.params[0].name: 2**31})
    assert journal.calls() == []


def test_get_video_data_converts_first_and_resolves_the_handler_after_the_sdk(journal):
    del asi.handle_error_code
    fails(OverflowError, None, asi.get_video_data, 0, 0, 2**31)
    assert journal.calls() == []
    fails(NameError, "name 'handle_error_code' is not defined", asi.get_video_data, 0, 0, 0)
    assert journal.functions() == ["ASIGetVideoData"]


@pytest.mark.parametrize("name, args", [("get_number_of_connected_cameras", ()),
                                        ("get_sdk_version", ()), ("camera_check", (1, 2))])
def test_statusless_functions_need_no_handler(journal, name, args):
    del asi.handle_error_code
    getattr(asi, name)(*args)
    assert len(journal.calls()) == 1


# ---------------------------------------------------------------------------------------
# Global lookup

# Out-values start at zero, and only a handler that lets a failure pass shows them.
AFTER_FAILURE = {
    "get_exp_status": 0, "get_num_of_controls": 0, "get_dropped_frames": 0,
    "get_control_value": (0, False), "get_start_pos": (0, 0),
    "get_roi_format": (0, 0, 0, asi.ImgType(0)), "get_gain_offset": (0, 0, 0, 0),
    "get_lmh_gain_offset": (0, 0, 0, 0), "get_trigger_output_io_conf": (False, 0, 0),
    "get_camera_mode": asi.CameraMode(0),
}


@pytest.mark.parametrize("f", HANDLED, ids=repr)
def test_rebound_handler_gets_the_status_and_its_result_is_ignored(f):
    codes = []
    asi.handle_error_code = lambda code: codes.append(code) or "ignored"
    for status in (0, 5):
        sim.fail(f.sdk, status)
        result = call(f)
        assert codes[-1] == status and type(codes[-1]) is int
        if f.returns == "None":
            assert result is None
        if f.name in AFTER_FAILURE:
            assert result == AFTER_FAILURE[f.name]
    assert len(codes) == 2


def test_bound_method_as_handler():
    class Recorder:
        codes = []

        def record(self, code):
            self.codes.append((self, code))

    recorder = Recorder()
    asi.handle_error_code = recorder.record
    asi.open_camera(99)
    assert recorder.codes == [(recorder, 2)]


def test_handler_found_in_builtins(monkeypatch):
    codes = []
    del asi.handle_error_code
    monkeypatch.setattr(builtins, "handle_error_code", codes.append, raising=False)
    asi.open_camera(99)
    asi.get_video_data(99, 0, 0)
    assert codes == [2, 2]
    asi.handle_error_code = lambda code: codes.append(-code)  # the module namespace wins
    asi.open_camera(99)
    assert codes[-1] == -2


@pytest.mark.parametrize("name, function, index", [("ImgType", "get_roi_format", 3),
                                                   ("CameraMode", "get_camera_mode", None)])
def test_enumeration_classes_are_looked_up_per_call(journal, opened, name, function, index):
    def pick(result):
        return result if index is None else result[index]

    setattr(asi, name, lambda value: (name, value))
    assert pick(getattr(asi, function)(opened)) == (name, 0)
    delattr(asi, name)
    fails(NameError, f"name '{name}' is not defined", getattr(asi, function), opened)
    assert len(journal.calls()) == 2  # the SDK answered both times


# ---------------------------------------------------------------------------------------
# Traceback entries and results


# Each entry names the function and points at the line of the module frame that binds it.
def entry(f):
    return (f"halvarine.corvantis.asi.{f.name}", binding_line(f.name))


@pytest.mark.parametrize("f", ALL, ids=repr)
def test_argument_error_carries_one_entry(f):
    error = fails(TypeError, None, getattr(asi, f.name), *[0] * (len(f.params) + 1))
    assert module_entries(error, with_lines=True) == [entry(f)]


@pytest.mark.parametrize("f", HANDLED, ids=repr)
def test_sdk_error_carries_the_handler_entry_innermost(f):
    sim.fail(f.sdk, 2)
    error = fails(asi.ASIInvalidID, "ASI error code 2.", call, f)
    assert module_entries(error, with_lines=True) == [entry(f), entry(HANDLE_ERROR_CODE)]


def test_int_results_are_plain_ints(opened):
    assert type(asi.get_exp_status(opened)) is int
    for produced, expected in [(2.5, 2), (True, 1), (Level.TWO, 2), (None, None)]:
        asi.ExposureStatus = lambda value: produced
        result = asi.get_exp_status(opened)
        assert result == expected and type(result) is type(expected)
    asi.ExposureStatus = lambda value: "x"
    fails(TypeError, "Expected int, got str", asi.get_exp_status, opened)


# The records a function returns are made from the types held since import, whatever the
# namespace binds now, and are new on every call.
RECORD_TYPES = ("CameraInfo", "ControlCaps", "Id", "GpsData")
WITH_RECORDS = [f for f in FUNCTIONS
                if set(re.findall(r"\w+", f.returns)) & set(RECORD_TYPES)]


def flattened(result):
    return list(result) if isinstance(result, tuple) else [result]


@pytest.mark.parametrize("f", WITH_RECORDS, ids=repr)
def test_records_are_new_and_of_the_modules_own_types(f):
    own = {name: getattr(asi, name) for name in RECORD_TYPES}
    expected = [own[name] for name in re.findall(r"\w+", f.returns) if name in own]
    records = []
    for replacement in (lambda cls: type("Other", (cls,), {}), lambda cls: None):
        for name, cls in own.items():
            setattr(asi, name, replacement(cls))
        for _ in range(2):
            sim.fail(f.sdk, 0)
            found = [r for r in flattened(call(f)) if not isinstance(r, (bytes, bytearray))]
            assert [type(r) for r in found] == expected
            records += found
    assert len({id(r) for r in records}) == len(records)
