"""Calls that walk every module function along its success path and every failure path:
bad arguments of every kind, binding errors, SDK statuses forced through the simulator,
`handle_error_code` and the other looked-up names deleted or rebound, scripted SDK
outputs the enumerations refuse, and the record types' setters, getters and refusals.

Each case is one callable plus the state it needs (a context manager entered around all
its repetitions) and the outcome it must have, checked once before the harnesses repeat
it: the reference-leak harness runs each case in a loop, the memory-failure harness
makes every allocation of each case fail in turn."""

import builtins
import contextlib
import copy
import inspect
import pickle
import warnings
from dataclasses import dataclass, field
from typing import Callable

import asi
from halvarine.corvantis import sim
from functions import BOOL, ENUM, FUNCTIONS, INT, LONG, RECORD, TEXT
from odd import (ENUM_PATCHES, ODD_MEMBERS, RAISE, AsksPython, Boom, IdSub, Int, RaisingTruth,
                 Text, Valued, ValueRaises, stand_in)

# Camera 2 of the built-in set has GPS, a trigger input and a cooler: every function can
# succeed on it. A 32 x 2 RAW8 region keeps every image buffer a small object.
CAMERA = 2
WIDTH, HEIGHT = 32, 2
FRAME = WIDTH * HEIGHT
VENDOR, PRODUCT = 0x1A5C, 0x5301

ANY = "any"                      # success or an SDK error: whatever the simulator says
DELETE = object()


@dataclass
class Case:
    label: str
    call: Callable[[], object]
    expect: object = None        # None: must return; an exception type; or ANY
    setup: Callable = field(default=contextlib.nullcontext)
    memory_sweep: bool = True    # also worth failing every allocation of

    def check(self, raised):
        """None if `raised` (an exception or None) is what the case must do."""
        if self.expect is ANY:
            if raised is None or isinstance(raised, asi.ASIError):
                return None
        elif self.expect is None:
            if raised is None:
                return None
        elif isinstance(raised, self.expect):
            return None
        return f"expected {getattr(self.expect, '__name__', self.expect)}, got {raised!r}"


# ---------------------------------------------------------------------------------------
# States


@contextlib.contextmanager
def ready(video=False, mode=None):
    """The camera opened, initialised and set to a tiny region; frames come at once."""
    sim.reset()
    sim.fast_frames(True)
    asi.open_camera(CAMERA)
    asi.init_camera(CAMERA)
    asi.set_roi_format(CAMERA, WIDTH, HEIGHT, 1, asi.ImgType.IMG_RAW8)
    if mode is not None:
        asi.set_camera_mode(CAMERA, mode)
    if video:
        asi.start_video_capture(CAMERA)
    try:
        yield
    finally:
        sim.reset()


@contextlib.contextmanager
def rebound(name, value, where=asi):
    """`where.name` bound to `value` (or deleted) while the case runs."""
    missing = object()
    saved = getattr(where, name, missing)
    if value is DELETE:
        if saved is not missing:
            delattr(where, name)
    else:
        setattr(where, name, value)
    try:
        yield
    finally:
        if saved is missing:
            if hasattr(where, name):
                delattr(where, name)
        else:
            setattr(where, name, saved)


@contextlib.contextmanager
def table_entry(code, value):
    table = asi.ASI_ERROR_CODE_TO_EXCEPTION
    saved = table[code]
    table[code] = value
    try:
        yield
    finally:
        table[code] = saved


@contextlib.contextmanager
def forced(function, status):
    sim.fail(function, status, -1)
    try:
        yield
    finally:
        sim.clear_failures()


@contextlib.contextmanager
def scripted(function, output, data):
    sim.script(function, output, data)
    try:
        yield
    finally:
        sim.clear_scripts()


@contextlib.contextmanager
def warnings_as_errors():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        yield


@contextlib.contextmanager
def version(data):
    sim.set_sdk_version(data)
    try:
        yield
    finally:
        sim.reset()


def states(*factories):
    """Several states entered in order, as one."""
    @contextlib.contextmanager
    def combined():
        with contextlib.ExitStack() as stack:
            for factory in factories:
                stack.enter_context(factory())
            yield
    return combined


# ---------------------------------------------------------------------------------------
# Odd arguments beyond those of tests/odd.py


class EncodesToIterator:
    """A text stand-in whose encode() yields 64 byte values without a length."""

    def encode(self, encoding):
        return iter([65] * 64)


class EncodesToObjects:
    def encode(self, encoding):
        return [Valued(1)] * 64


class Handler:
    def __init__(self):
        self.codes = 0

    def handle(self, code):
        self.codes += 1


def raising_handler(code):
    raise Boom(f"handler {code}")


class Table:
    """An error table that is not a dict: looked up through its get()."""

    def get(self, code):
        return asi.ASIGeneralError if code else asi.ASISuccess


class RefusingError(asi.ASIError):
    def __init__(self, message):
        raise Boom("constructor")


# ---------------------------------------------------------------------------------------
# The cases


def valid_args(function):
    """Arguments with which `function` reaches the SDK on the ready camera."""
    values = {
        "camera_id": CAMERA, "i_camera_id": CAMERA, "camera_index": 0, "i_vid": VENDOR,
        "i_pid": PRODUCT, "serial_number": asi.Id(), "mode": asi.CameraMode.ASI_MODE_NORMAL,
        "is_dark": False, "buffer_size": FRAME, "wait_ms": 1000, "control_index": 0,
        "control_type": asi.ControlType.ASI_GAIN, "value": 10, "auto_mode": False,
        "width": WIDTH, "height": HEIGHT, "bin": 1, "img_type": asi.ImgType.IMG_RAW8,
        "start_x": 0, "start_y": 0, "bmp_path": "missing-dark.bmp",
        "direction": asi.GuideDirection.ASI_GUIDE_NORTH, "start": False,
        "pin": asi.TrigOutput.ASI_TRIG_OUTPUT_PINA, "pin_high": True, "delay": 0,
        "duration": 10,
    }
    args = [values[p.name] for p in function.params]
    if function.name == "get_trigger_output_io_conf":
        args[1] = 0
    return args


def bad_values(param):
    """(label, value, expected exception or ANY) for one parameter."""
    if param.kind in (INT, LONG):
        if param.name == "buffer_size":
            return [("none", None, TypeError), ("negative", -1, ValueError),
                    ("beyond-index", 2**63, OverflowError), ("index-raises", stand_in(__index__=RAISE), Boom)]
        limit = 2**63 if param.kind == LONG else 2**31
        return [("none", None, TypeError), ("str", "1", TypeError),
                ("overflow", limit, OverflowError), ("huge", 2**80, OverflowError),
                ("float", 1.5, ANY), ("index-raises", stand_in(__index__=RAISE), Boom)]
    if param.kind == BOOL:
        return [("truth-raises", RaisingTruth(), Boom), ("list", [0], ANY)]
    if param.kind == ENUM:
        return [("plain-int", 0, AttributeError), ("value-str", Valued("x"), TypeError),
                ("int-gives-float", Valued(stand_in(__int__=1.5)), TypeError),
                ("value-overflow", Valued(2**40), OverflowError),
                ("value-raises", ValueRaises(), Boom), ("value-float", Valued(0.5), ANY)]
    if param.kind == TEXT:
        return [("none", None, TypeError), ("subclass", Text("a.bmp"), TypeError),
                ("surrogate", "\ud800.bmp", UnicodeEncodeError),
                ("embedded-nul", "a\0.bmp", ValueError)]
    assert param.kind == RECORD
    return [("none", None, TypeError), ("subclass", IdSub(), ANY)]


def call_of(function, args=None, kwargs=None):
    target = getattr(asi, function.name)
    args = tuple(valid_args(function) if args is None else args)
    kwargs = dict(kwargs or {})
    if kwargs:
        return lambda: target(*args, **kwargs)
    return lambda: target(*args)


def sdk_needs(function):
    """The state a function needs to get past the SDK's own checks."""
    if function.name in ("get_video_data", "get_video_data_gps"):
        return lambda: ready(video=True)
    if function.name == "send_soft_trigger":
        return lambda: ready(mode=asi.CameraMode.ASI_MODE_TRIG_SOFT_EDGE)
    return ready


def function_cases(function):
    name, params, state = function.name, function.params, sdk_needs(function)
    args = valid_args(function)
    yield Case(f"{name}/sdk", call_of(function), ANY, state)
    if name in ("get_data_after_exp", "get_data_after_exp_gps"):
        target = getattr(asi, name)

        def snap():
            asi.start_exposure(CAMERA, False)
            return target(CAMERA, FRAME)
        yield Case(f"{name}/after-exposure", snap, None, state)
    if function.sdk and name != "get_sdk_version":
        yield Case(f"{name}/forced-success", call_of(function), None,
                   states(state, lambda: forced(function.sdk, 0)))
    if function.handled:
        yield Case(f"{name}/forced-16", call_of(function), asi.ASIGeneralError,
                   states(state, lambda: forced(function.sdk, 16)))
        yield Case(f"{name}/forced-unknown", call_of(function), asi.ASIUnknownErrorCode,
                   states(state, lambda: forced(function.sdk, 99)))
        yield Case(f"{name}/handler-missing", call_of(function), NameError,
                   states(state, lambda: rebound("handle_error_code", DELETE)))
        yield Case(f"{name}/handler-python", call_of(function), None,
                   states(state, lambda: forced(function.sdk, 16),
                          lambda: rebound("handle_error_code", lambda code: code)))
        yield Case(f"{name}/handler-raises", call_of(function), Boom,
                   states(state, lambda: rebound("handle_error_code", raising_handler)))
    # Binding
    if params:
        yield Case(f"{name}/no-arguments", lambda: getattr(asi, name)(), TypeError)
        yield Case(f"{name}/extra-argument", call_of(function, [*args, 0]), TypeError)
        yield Case(f"{name}/by-keyword", call_of(function, [], {p.name: a for p, a in zip(params, args)}),
                   ANY, state)
        yield Case(f"{name}/multiple-values", call_of(function, args, {params[0].name: 0}), TypeError)
        yield Case(f"{name}/unknown-keyword", call_of(function, args[:-1], {"bogus": 0}), TypeError)
        yield Case(f"{name}/missing-keyword",
                   call_of(function, [], {p.name: a for p, a in zip(params[1:], args[1:])}),
                   TypeError)
    else:
        yield Case(f"{name}/positional", lambda: getattr(asi, name)(1), TypeError)
        yield Case(f"{name}/keyword", lambda: getattr(asi, name)(x=1), TypeError)
    # Every bad value of every parameter
    for index, param in enumerate(params):
        for label, value, expect in bad_values(param):
            bad = list(args)
            bad[index] = value
            yield Case(f"{name}/{param.name}={label}", call_of(function, bad), expect, state)
        if param.kind == ENUM:
            bad = list(args)
            bad[index] = Valued(stand_in(__int__=Int(1)))
            yield Case(f"{name}/{param.name}=int-subclass-deprecated", call_of(function, bad),
                       DeprecationWarning, states(state, warnings_as_errors))


def namespace_cases():
    """The names the module looks up at call time, deleted or rebound."""
    open_camera = lambda: asi.open_camera(CAMERA)
    with_status = lambda status: lambda: forced("ASIOpenCamera", status)
    yield Case("handler/bound-method", open_camera, None,
               states(ready, lambda: rebound("handle_error_code", Handler().handle)))
    yield Case("handler/in-builtins", open_camera, None,
               states(ready, lambda: rebound("handle_error_code", DELETE),
                      lambda: rebound("handle_error_code", lambda code: None, builtins)))
    yield Case("table/missing", open_camera, NameError,
               states(ready, with_status(16), lambda: rebound("ASI_ERROR_CODE_TO_EXCEPTION", DELETE)))
    yield Case("table/mapping", open_camera, asi.ASIGeneralError,
               states(ready, with_status(16), lambda: rebound("ASI_ERROR_CODE_TO_EXCEPTION", Table())))
    yield Case("table/mapping-success", open_camera, None,
               states(ready, lambda: rebound("ASI_ERROR_CODE_TO_EXCEPTION", Table())))
    yield Case("table/not-an-exception", open_camera, TypeError,
               states(ready, with_status(16), lambda: table_entry(16, 42)))
    yield Case("table/gives-instance", open_camera, KeyError,
               states(ready, with_status(16), lambda: table_entry(16, KeyError)))
    yield Case("table/gives-class", open_camera, KeyError,
               states(ready, with_status(16), lambda: table_entry(16, lambda message: KeyError)))
    yield Case("table/instance-not-callable", open_camera, TypeError,
               states(ready, with_status(16), lambda: table_entry(16, KeyError("x"))))
    yield Case("table/constructor-raises", open_camera, Boom,
               states(ready, with_status(16), lambda: table_entry(16, RefusingError)))
    yield Case("success/missing", open_camera, NameError,
               states(ready, lambda: rebound("ASISuccess", DELETE)))
    yield Case("unknown/missing", open_camera, NameError,
               states(ready, with_status(99), lambda: rebound("ASIUnknownErrorCode", DELETE)))
    yield Case("unknown/not-callable", open_camera, TypeError,
               states(ready, with_status(99), lambda: rebound("ASIUnknownErrorCode", 3)))
    exp_status = lambda: asi.get_exp_status(CAMERA)
    yield Case("ExposureStatus/missing", exp_status, NameError,
               states(ready, lambda: rebound("ExposureStatus", DELETE)))
    yield Case("ExposureStatus/gives-str", exp_status, TypeError,
               states(ready, lambda: rebound("ExposureStatus", str)))
    yield Case("ExposureStatus/gives-float", exp_status, None,
               states(ready, lambda: rebound("ExposureStatus", float)))
    yield Case("CameraMode/missing", lambda: asi.get_camera_mode(CAMERA), NameError,
               states(ready, lambda: rebound("CameraMode", DELETE)))
    yield Case("CameraMode/missing-in-list", lambda: asi.get_camera_support_mode(CAMERA),
               NameError, states(ready, lambda: rebound("CameraMode", DELETE)))
    yield Case("CameraMode/without-end", lambda: asi.get_camera_support_mode(CAMERA),
               AttributeError, states(ready, lambda: rebound("CameraMode", int)))
    yield Case("ImgType/missing", lambda: asi.get_roi_format(CAMERA), NameError,
               states(ready, lambda: rebound("ImgType", DELETE)))
    yield Case("ImgType/missing-in-formats", lambda: asi.CameraInfo().supported_video_formats,
               NameError, lambda: rebound("ImgType", DELETE))
    yield Case("BayerPattern/missing", lambda: asi.CameraInfo().bayer_pattern, NameError,
               lambda: rebound("BayerPattern", DELETE))
    yield Case("ControlType/missing", lambda: asi.ControlCaps().control_type, NameError,
               lambda: rebound("ControlType", DELETE))


def overwritten(record, data, at=0):
    """The SDK's bytes of `record` with `data` written over them from byte `at`."""
    raw = sim.pack(record)
    return raw[:at] + data + raw[at + len(data):]


def scripted_cases():
    """SDK outputs that the enumerations refuse, or that are no plain 0 or 1."""
    def word(value):
        return value.to_bytes(4, "little", signed=True)
    yield Case("get_camera_mode/not-a-member", lambda: asi.get_camera_mode(CAMERA), ValueError,
               states(ready, lambda: scripted("ASIGetCameraMode", 0, word(100))))
    yield Case("get_exp_status/not-a-member", lambda: asi.get_exp_status(CAMERA), ValueError,
               states(ready, lambda: scripted("ASIGetExpStatus", 0, word(7))))
    yield Case("get_roi_format/not-a-member", lambda: asi.get_roi_format(CAMERA), ValueError,
               states(ready, lambda: scripted("ASIGetROIFormat", 3, word(9))))
    yield Case("get_control_value/auto-is-5",
               lambda: asi.get_control_value(CAMERA, asi.ControlType.ASI_GAIN), None,
               states(ready, lambda: scripted("ASIGetControlValue", 1, word(5))))
    yield Case("get_trigger_output_io_conf/level-is-2",
               lambda: asi.get_trigger_output_io_conf(CAMERA, 0), None,
               states(ready, lambda: scripted("ASIGetTriggerOutputIOConf", 0, word(2))))
    yield Case("get_camera_property/bad-name", lambda: asi.get_camera_property(0).name,
               UnicodeDecodeError,
               states(ready, lambda: scripted("ASIGetCameraProperty", 0, overwritten(
                   asi.get_camera_property(0), b"\xff\xfe"))))
    yield Case("get_control_caps/bad-name", lambda: asi.get_control_caps(CAMERA, 0).name, None,
               states(ready, lambda: scripted("ASIGetControlCaps", 0, overwritten(
                   asi.get_control_caps(CAMERA, 0), b"\xff\xfe"))))
    # BayerPattern follows Name[64], CameraID, MaxHeight, MaxWidth and IsColorCam: byte 92.
    yield Case("get_camera_property/bad-bayer", lambda: asi.get_camera_property(0).bayer_pattern,
               ValueError, states(ready, lambda: scripted("ASIGetCameraProperty", 0, overwritten(
                   asi.get_camera_property(0), word(7), at=92))))
    for label, data, expect in [("text", b"1, 37, 0", None), ("empty", b"", None),
                                ("invalid-utf8", b"\xff", UnicodeDecodeError), ("null", None, None)]:
        yield Case(f"get_sdk_version/{label}", asi.get_sdk_version, expect,
                   lambda data=data: version(data))


def record_cases():
    """The five record types: construction, every getter, the setters and refusals."""
    for cls in (asi.CameraInfo, asi.ControlCaps, asi.Id, asi.SupportedMode, asi.GpsData):
        name = cls.__name__
        getters = [n for n, v in vars(cls).items() if inspect.isdatadescriptor(v)
                   and not n.startswith("__")]
        record = cls()
        for getter in getters:
            yield Case(f"{name}.{getter}", lambda record=record, getter=getter:
                       getattr(record, getter), None)
        yield Case(f"{name}/new", cls, None)
        yield Case(f"{name}/positional", lambda cls=cls: cls(1), TypeError)
        yield Case(f"{name}/keyword", lambda cls=cls: cls(x=1), TypeError)
        # The pickler itself loses a block when an allocation fails under it (for classes
        # written in Python too), so the memory sweep calls __reduce__ directly instead.
        yield Case(f"{name}/pickle", lambda record=record: pickle.dumps(record), TypeError,
                   memory_sweep=False)
        yield Case(f"{name}/reduce", record.__reduce__, TypeError)
        yield Case(f"{name}/copy", lambda record=record: copy.copy(record), TypeError)
        yield Case(f"{name}/setstate", lambda record=record: record.__setstate__({}), TypeError)
        yield Case(f"{name}/subclass", lambda cls=cls: type("Sub", (cls,), {})(), None,
                   memory_sweep=False)
    info = asi.CameraInfo()

    def set_name(value):
        return lambda: setattr(info, "name", value)
    yield Case("CameraInfo/repr", lambda: repr(info), None)
    yield Case("CameraInfo/name=64", set_name("n" * 64), None)
    yield Case("CameraInfo/name=short", set_name("n" * 3), IndexError)
    yield Case("CameraInfo/name=long", set_name("n" * 65), IndexError)
    yield Case("CameraInfo/name=int", set_name(5), AttributeError)
    yield Case("CameraInfo/name=non-ascii", set_name("é" * 32), OverflowError)
    yield Case("CameraInfo/name=iterator", set_name(EncodesToIterator()), None)
    yield Case("CameraInfo/name=objects", set_name(EncodesToObjects()), TypeError)
    yield Case("CameraInfo/name-delete", lambda: delattr(info, "name"), NotImplementedError)
    ident = asi.Id()

    def set_id(value):
        return lambda: setattr(ident, "id", value)
    yield Case("Id/id=ok", set_id("0011223344556677"), None)
    yield Case("Id/id=bad-hex", set_id("zz"), ValueError)
    yield Case("Id/id=short", set_id("0011"), ValueError)
    yield Case("Id/id=subclass", set_id(Text("0011223344556677")), TypeError)
    yield Case("Id/id=int", set_id(7), TypeError)
    yield Case("Id/id-delete", lambda: delattr(ident, "id"), NotImplementedError)


def function_object_cases():
    function = asi.set_control_value
    yield Case("function/signature", lambda: inspect.signature(function), None)
    yield Case("function/reduce", function.__reduce__, None)
    yield Case("function/pickle", lambda: pickle.loads(pickle.dumps(function)), None,
               memory_sweep=False)
    yield Case("function/repr", lambda: repr(function), None)
    yield Case("function/attributes", lambda: (function.__name__, function.__qualname__,
                                               function.__module__, function.__doc__,
                                               function.__annotations__), None)
    yield Case("function/as-method", lambda: type("C", (), {"f": function})().f, None,
               memory_sweep=False)


def handle_error_code_cases():
    for code, expect in [(0, None), (11, asi.ASITimeout), (23, asi.ASIErrorEnd),
                         (99, asi.ASIUnknownErrorCode), (2**80, asi.ASIUnknownErrorCode)]:
        yield Case(f"handle_error_code/{code}", lambda code=code: asi.handle_error_code(code),
                   expect)
    yield Case("handle_error_code/str", lambda: asi.handle_error_code("0"), TypeError)
    yield Case("handle_error_code/keyword",
               lambda: asi.handle_error_code(asi_error_code=True), asi.ASIInvalidIndex)


def enumeration_cases():
    """Members read directly and members left to Python, alone and while the standard
    `Enum.value` is changed; each also wrapped, so that Python is asked."""
    members = [asi.CameraMode.ASI_MODE_NORMAL, *ODD_MEMBERS]
    refused = {"NO_VALUE": AttributeError, "TEXT": TypeError, "HUGE": OverflowError,
               "NEGATIVE": OverflowError}
    for member in members:
        label = f"{type(member).__name__}.{member._name_}"
        expect = TypeError if isinstance(member, str) else refused.get(member._name_, ANY)
        for argument, how in ((member, "direct"), (AsksPython(member), "asked")):
            yield Case(f"enumeration/{label}/{how}",
                       lambda argument=argument: asi.set_camera_mode(CAMERA, argument), expect,
                       ready)
    for patch in ENUM_PATCHES:
        for member in (asi.CameraMode.ASI_MODE_NORMAL, members[1]):
            yield Case(f"enumeration/{patch.__name__}/{type(member).__name__}",
                       lambda member=member: asi.set_camera_mode(CAMERA, member), ANY,
                       states(ready, patch))


def all_cases():
    for function in FUNCTIONS:
        yield from function_cases(function)
    yield from enumeration_cases()
    yield from namespace_cases()
    yield from scripted_cases()
    yield from record_cases()
    yield from function_object_cases()
    yield from handle_error_code_cases()


def run_once(case):
    """Calls the case once; returns the exception it raised, or None."""
    try:
        case.call()
    except Exception as error:
        return error
    return None
