"""Arbitrary Python objects at every parameter of every module function.

Each example binds a drawn mix of positional and keyword arguments, sets how
`handle_error_code` is bound and what status the substitute SDK returns, calls the
function and compares what happened with the model of the call rules
(tests/reliability/model.py): the exception's type, message and notes, the warnings, and
whether the SDK was called and with exactly which values (from the simulator's journal).

The SDK's status is forced on every call, so the simulator never does the work and no
camera state carries from one example to the next. Buffer sizes that would really be
allocated are kept small. Deterministic: a fixed derandomised search and no example
database; ASI_FUZZ_EXAMPLES raises the number of examples for a longer run."""

import contextlib
import decimal
import fractions
import os
import sys
import warnings

import pytest
from hypothesis import HealthCheck, assume, event, given, settings
from hypothesis import strategies as st

import asi
from halvarine.corvantis import sim
from functions import BOOL, ENUM, FUNCTIONS, INT, LONG, RECORD, TEXT, WITH_PARAMS
from odd import (ENUM_PATCHES, ODD_MEMBERS, RAISE, AsksPython, IdSub, Int, Text, Valued,
                 ValueRaises, stand_in)
from reliability import model

EXAMPLES = int(os.environ.get("ASI_FUZZ_EXAMPLES", "50"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, derandomize=True, database=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture,
                                       HealthCheck.too_slow])
# A buffer size at or above this would really be allocated: such examples are dropped.
BUFFER_CAP = 1 << 16

# ---------------------------------------------------------------------------------------
# Drawn arguments

EDGE_INTS = [0, 1, -1, 2, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**63 - 1, 2**63,
             -(2**63), -(2**63) - 1, 2**64, 10**30, -(10**30)]
ENUM_MEMBERS = [m for cls in (asi.ControlType, asi.ImgType, asi.CameraMode,
                              asi.GuideDirection, asi.TrigOutput, asi.BayerPattern)
                for m in cls]

ints = st.one_of(st.sampled_from(EDGE_INTS), st.integers(-3, 40), st.integers())
int_like = st.one_of(ints, ints.map(Int), st.booleans())
texts = st.one_of(st.text(max_size=12),
                  st.text(st.characters(codec="utf-8") | st.sampled_from(["\0", "\ud800"]),
                          max_size=6))
answers = st.one_of(int_like, st.floats(), st.just("7"), st.just(RAISE))
odd = st.fixed_dictionaries({}, optional={
    "__index__": answers, "__int__": answers, "__float__": st.one_of(st.floats(), st.just(RAISE)),
    "__bool__": st.one_of(st.booleans(), st.just(1), st.just(RAISE)),
    "__len__": st.one_of(st.integers(-2, 5), st.just(2**70), st.just(RAISE)),
}).map(lambda answers: stand_in(**answers))

plain = st.one_of(
    int_like,
    st.floats(),
    st.none(),
    texts,
    texts.map(Text),
    st.binary(max_size=4),
    st.complex_numbers(max_magnitude=1e12),
    st.sampled_from([decimal.Decimal("2.5"), decimal.Decimal("-7"), decimal.Decimal("NaN"),
                     decimal.Decimal("Infinity"), fractions.Fraction(7, 2)]),
    st.sampled_from(ENUM_MEMBERS),
    st.sampled_from(ODD_MEMBERS),
    st.sampled_from([[], [0], (), {}]),
    st.builds(asi.Id), st.builds(IdSub), st.builds(asi.CameraInfo),
    odd,
)
anything = st.one_of(plain, plain.map(Valued), st.builds(ValueRaises),
                    st.sampled_from(ODD_MEMBERS).map(AsksPython))


def plausible(kind):
    """Values of the kind the parameter expects, so that later parameters get reached."""
    if kind in (INT, LONG):
        return st.integers(-1, 3)
    if kind == ENUM:
        return st.one_of(st.sampled_from(ENUM_MEMBERS), st.sampled_from(ODD_MEMBERS))
    if kind == TEXT:
        return st.sampled_from(["dark.bmp", "", "/tmp/Dunkel-ä.bmp"])
    if kind == RECORD:
        return st.builds(asi.Id)
    return st.booleans()


def tricky(kind):
    """Values of the kind that pass the boundary and fail later, in the conversion: two of
    them in one call tell which conversion comes first. (A boolean or a record has no
    later conversion; theirs fail at the boundary.)"""
    overflow = st.sampled_from([2**31, -(2**31) - 1, 2**63, -(2**63) - 1, 10**30])
    if kind == INT:
        return st.one_of(overflow, overflow.map(Int), st.sampled_from([1e10, -3e18]))
    if kind == LONG:
        return st.sampled_from([2**63, -(2**63) - 1, 10**30, 1e19])
    if kind == ENUM:
        return st.one_of(st.sampled_from([0, None, "x", ValueRaises()]),
                         st.sampled_from([2**31, "3", stand_in(__int__=1.5), 1.5j]).map(Valued))
    if kind == TEXT:
        return st.sampled_from(["\0", "a\0b", "\ud800", "x\udfff"])
    if kind == RECORD:
        return st.sampled_from([None, "0011223344556677"])
    return st.builds(lambda: stand_in(__bool__=RAISE))


def argument(param):
    return st.one_of(plausible(param.kind), tricky(param.kind), anything)


@st.composite
def calls(draw, function):
    """Arguments for every parameter, split into positionals and keywords in a drawn
    order, sometimes with one too many, one missing, a duplicate or an unknown name.
    Mostly one parameter gets an arbitrary object and the others values of their kind,
    so that every parameter's own rules are reached, not only the first one's."""
    params = function.params
    style = draw(st.sampled_from(["one", "one", "every", "late", "pair"]))
    if not params:
        values = []
    elif style == "every":
        values = [draw(argument(p)) for p in params]
    elif style == "late":
        # Every conversion from a drawn parameter on would fail: the first in the
        # function's order must win.
        first = draw(st.integers(0, len(params) - 1))
        values = [draw(plausible(p.kind) if i < first or p.kind in (BOOL, RECORD)
                       else tricky(p.kind)) for i, p in enumerate(params)]
    elif style == "pair":
        chosen = draw(st.sets(st.integers(0, len(params) - 1), min_size=1, max_size=2))
        values = [draw(tricky(p.kind) if i in chosen else plausible(p.kind))
                  for i, p in enumerate(params)]
    else:
        wild = draw(st.integers(0, len(params) - 1))
        values = [draw(anything if i == wild else plausible(p.kind))
                  for i, p in enumerate(params)]
    positional = draw(st.integers(0, len(params)))
    args = values[:positional]
    keywords = [(p.name, v) for p, v in zip(params[positional:], values[positional:])]
    keywords = draw(st.permutations(keywords)) if keywords else []
    mishap = draw(st.sampled_from(["none"] * 12 + ["extra", "missing", "duplicate", "unknown"]))
    if mishap == "extra":
        args.append(draw(anything))
    elif mishap == "missing" and keywords:
        keywords.pop(draw(st.integers(0, len(keywords) - 1)))
    elif mishap == "duplicate" and positional:
        keywords.append((params[draw(st.integers(0, positional - 1))].name, 0))
    elif mishap == "unknown":
        keywords.insert(draw(st.integers(0, len(keywords))), ("camera", 0))
    return args, dict(keywords)


# ---------------------------------------------------------------------------------------
# Running a call


def buffer_would_allocate(function, args, kwargs):
    """Whether a buffer size in this call would come out of coercion as a large size."""
    names = [p.name for p in function.params]
    if "buffer_size" not in names:
        return False
    index = names.index("buffer_size")
    value = kwargs.get("buffer_size", args[index] if index < len(args) else None)
    if value is None or not model.is_number(value) or isinstance(value, str):
        return False
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            size = int(value)
        except Exception:
            return False
    return BUFFER_CAP <= size <= sys.maxsize


def record_codes():
    codes = []

    def recorder(code):
        codes.append(code)
        return "ignored"
    return recorder, codes


def observe(journal, function, args, kwargs, handler, status):
    """Calls the function as drawn; returns the outcome, the result and the SDK calls."""
    journal.clear()
    sim.clear_failures()
    if function.sdk and function.sdk != "ASIGetSDKVersion":
        sim.fail(function.sdk, status, 1)
    saved = asi.handle_error_code
    recorder, codes = record_codes()
    if handler == model.HANDLER_MISSING:
        del asi.handle_error_code
    elif handler == model.HANDLER_RECORDER:
        asi.handle_error_code = recorder
    outcome, result = model.Outcome(handler_codes=codes), None
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                result = getattr(asi, function.name)(*args, **kwargs)
            except Exception as error:
                outcome.raised = model.describe(error)
        outcome.warned = [(w.category, str(w.message)) for w in caught]
    finally:
        asi.handle_error_code = saved
        sim.clear_failures()
    return outcome, result, journal.calls()


def check_sdk_calls(function, expected, journal):
    if expected.sdk is None:
        assert journal == [], f"{function.name} must not reach the SDK"
        return
    assert [c.function for c in journal] == [function.sdk]
    (call,) = journal
    for name, value in call.args.items():
        if value in ("ptr", "null"):
            assert value == "ptr", f"{name}: the SDK got a null pointer"
    assert {k: call.args[k] for k in expected.sdk} == expected.sdk


def check_result(function, args, kwargs, result, status):
    """On success, the shape of the result made from untouched (zero) out-values."""
    name = function.name
    if name in ("get_data_after_exp", "get_video_data", "get_data_after_exp_gps",
                "get_video_data_gps"):
        image = result[0] if name.endswith("_gps") else result
        size = kwargs.get("buffer_size", args[1] if len(args) > 1 else None)
        assert type(image) is (bytearray if name == "get_video_data" else bytes)
        assert len(image) == int(size) and not any(image)
    elif name == "get_number_of_connected_cameras":
        assert type(result) is int and result == status
    elif name == "camera_check":
        assert type(result) is int and result == (1 if status else 0)


@pytest.mark.parametrize("function", FUNCTIONS, ids=repr)
@FUZZ
@given(data=st.data(),
       handler=st.sampled_from([model.HANDLER_MODULE] * 3 +
                               [model.HANDLER_MISSING, model.HANDLER_RECORDER]),
       status=st.sampled_from([0, 0, 0, 1, 11, 13, 23, 24, 99, -5]),
       patch=st.sampled_from([contextlib.nullcontext] * 6 + ENUM_PATCHES))
def test_calls_follow_the_model(journal, function, data, handler, status, patch):
    args, kwargs = data.draw(calls(function), label="call")
    assume(not buffer_would_allocate(function, args, kwargs))
    # The standard Enum.value changed, or not, for the model and the call alike.
    with patch():
        expected = model.predict(function, args, kwargs, handler=handler, status=status)
        actual, result, journal = observe(journal, function, args, kwargs, handler, status)
    event(expected.raised[0].__name__ if expected.raised else "returned")
    event("reached the SDK" if expected.sdk is not None else "stopped before the SDK")
    assert actual.raised == expected.raised
    assert actual.warned == expected.warned
    assert actual.handler_codes == expected.handler_codes
    check_sdk_calls(function, expected, journal)
    if actual.raised is None:
        check_result(function, args, kwargs, result, status)


@FUZZ
@given(value=anything, by_keyword=st.booleans())
def test_handle_error_code_follows_the_model(value, by_keyword):
    args, kwargs = ((), {"asi_error_code": value}) if by_keyword else ((value,), {})
    expected = model.predict_handle_error_code(args, kwargs)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            asi.handle_error_code(*args, **kwargs)
        except Exception as error:
            raised = model.describe(error)
        else:
            raised = None
    assert raised == expected.raised
    assert [(w.category, str(w.message)) for w in caught] == expected.warned


@pytest.mark.parametrize("function", WITH_PARAMS, ids=repr)
def test_model_knows_every_parameter(function):
    """The table the fuzzer draws from names the parameters as the module does."""
    names = [p.name for p in function.params]
    annotated = [n for n in getattr(asi, function.name).__annotations__ if n != "return"]
    assert names == annotated
