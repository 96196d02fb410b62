"""The error model: the exception classes, the status table, handle_error_code, and how
every operation reaches them by name."""

import builtins
import types

import pytest

import asi
from halvarine.corvantis import sim
from odd import Recorder
from tracebacks import module_entries

MODULE = "halvarine.corvantis.asi"

# SDK status -> (class name, docstring), in status order.
MAPPED = [
    ("ASISuccess", "ASI operation completed successfully."),
    ("ASIInvalidIndex", "Invalid index: No camera connected or index value out of boundary."),
    ("ASIInvalidID", "Invalid camera ID provided."),
    ("ASIInvalidControlType", "Invalid control type provided."),
    ("ASICameraClosed", "Failed to open camera: Camera is closed."),
    ("ASICameraRemoved",
     "Camera removed: Failed to find the camera, it might have been disconnected."),
    ("ASIInvalidPath", "Invalid file path provided."),
    ("ASIInvalidFileFormat", "Invalid file format provided."),
    ("ASIInvalidSize", "Invalid video format size."),
    ("ASIInvalidImageType", "Unsupported image format."),
    ("ASIOutOfBoundary", "The start position is out of boundary."),
    ("ASITimeout", "Operation timed out."),
    ("ASIInvalidSequence", "Stop capture first: Invalid sequence of operations."),
    ("ASIBufferTooSmall", "Buffer size is too small for the operation."),
    ("ASIVideoModeActive", "Operation failed because video mode is currently active."),
    ("ASIExposureInProgress", "Cannot perform operation while exposure is in progress."),
    ("ASIGeneralError", "General error: Value is out of valid range."),
    ("ASIInvalidMode", "The current mode is incorrect for this operation."),
    ("ASIGPSNotSupported", "GPS is not supported by this camera."),
    ("ASIGPSVersionError", "The FPGA GPS version is too low for the requested operation."),
    ("ASIGPSFPGAError", "Failed to read or write data to FPGA for GPS."),
    ("ASIGPSParamOutOfRange",
     "GPS parameter out of range: Start line or end line must be between 0 and MaxHeight-1."),
    ("ASIGPSDataInvalid",
     "Invalid GPS data: GPS has not found satellites or FPGA cannot read GPS data."),
    ("ASIErrorEnd", "End of ASI error codes."),
]
UNMAPPED = [
    ("ASIError", "Base exception class for all ASI errors."),
    ("ASIUnknownErrorCode", "End of ASI error codes."),
]
UNKNOWN_CODES = [24, 100, -1, 10**30, -(10**40)]


@pytest.mark.parametrize("name, doc", MAPPED + UNMAPPED)
def test_exception_classes(name, doc):
    cls = getattr(asi, name)
    assert type(cls) is type
    assert cls.__module__ == MODULE
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__doc__ == doc
    assert cls.__bases__ == ((Exception,) if name == "ASIError" else (asi.ASIError,))
    own = set(vars(cls)) - {"__module__", "__doc__", "__weakref__"}
    assert own == set()
    error = cls("message")
    assert error.args == ("message",) and str(error) == "message"


def test_error_table():
    table = asi.ASI_ERROR_CODE_TO_EXCEPTION
    assert type(table) is dict
    assert list(table) == list(range(24))
    assert all(type(code) is int for code in table)
    assert [cls.__name__ for cls in table.values()] == [name for name, _ in MAPPED]
    assert all(cls is getattr(asi, cls.__name__) for cls in table.values())


@pytest.mark.parametrize("code", [0, False, 0.9, -0.5])
def test_success_returns_none(code):
    assert asi.handle_error_code(code) is None
    assert asi.handle_error_code(asi_error_code=code) is None


def expected_error(code):
    if 0 < code < 24:
        return getattr(asi, MAPPED[code][0]), f"ASI error code {code}."
    return asi.ASIUnknownErrorCode, f"ASI error code {code} (unknown)."


@pytest.mark.parametrize("given, code", [(code, code) for code in range(1, 24)] + [
    (code, code) for code in UNKNOWN_CODES] + [
    (True, 1), (2.7, 2), (-1.5, -1),
    (asi.ControlType.ASI_WB_R, 3),  # the message shows the int, not the member
])
def test_failure_codes_raise(given, code):
    with pytest.raises(asi.ASIError) as excinfo:
        asi.handle_error_code(given)
    assert (type(excinfo.value), *excinfo.value.args) == expected_error(code)
    assert module_entries(excinfo.value) == [f"{MODULE}.handle_error_code"]


@pytest.mark.parametrize("given", ["2", None, b"2", [2]])
def test_non_numbers_are_refused(given):
    with pytest.raises(TypeError) as excinfo:
        asi.handle_error_code(given)
    assert str(excinfo.value) == ("Argument 'asi_error_code' has incorrect type "
                                  f"(expected int, got {type(given).__name__})")


def test_table_can_be_extended_and_changed():
    table = asi.ASI_ERROR_CODE_TO_EXCEPTION
    table[99] = asi.ASITimeout
    table[0] = asi.ASITimeout
    del table[5]
    with pytest.raises(asi.ASITimeout, match=r"^ASI error code 99\.$"):
        asi.handle_error_code(99)
    with pytest.raises(asi.ASITimeout, match=r"^ASI error code 0\.$"):
        asi.handle_error_code(0)
    with pytest.raises(asi.ASIUnknownErrorCode, match=r"^ASI error code 5 \(unknown\)\.$"):
        asi.handle_error_code(5)


class EqualToAnything(type):
    def __eq__(cls, other):
        return True

    __hash__ = type.__hash__


def test_success_is_decided_by_identity_and_looked_up_each_time():
    class LooksLikeSuccess(asi.ASIError, metaclass=EqualToAnything):
        pass

    assert LooksLikeSuccess == asi.ASISuccess
    table = asi.ASI_ERROR_CODE_TO_EXCEPTION
    table[7] = asi.ASISuccess
    assert asi.handle_error_code(7) is None
    table[0] = LooksLikeSuccess
    with pytest.raises(LooksLikeSuccess, match=r"^ASI error code 0\.$"):
        asi.handle_error_code(0)
    original, asi.ASISuccess = asi.ASISuccess, asi.ASITimeout
    assert asi.handle_error_code(11) is None
    with pytest.raises(original, match=r"^ASI error code 7\.$"):
        asi.handle_error_code(7)


def outcome(code):
    """The class handle_error_code raises for `code`, or None."""
    try:
        asi.handle_error_code(code)
    except Exception as error:
        return type(error)
    return None


@pytest.mark.parametrize("name, code, expected", [
    ("ASI_ERROR_CODE_TO_EXCEPTION", 0, None),
    ("ASISuccess", 0, None),
    ("ASISuccess", 4, asi.ASICameraClosed),
    ("ASIUnknownErrorCode", 24, asi.ASIUnknownErrorCode),
])
def test_deleted_names(name, code, expected, monkeypatch):
    original = getattr(asi, name)
    delattr(asi, name)
    with pytest.raises(NameError, match=rf"^name '{name}' is not defined$") as excinfo:
        asi.handle_error_code(code)
    assert module_entries(excinfo.value) == [f"{MODULE}.handle_error_code"]
    # Found among the builtins when the module namespace lacks it.
    monkeypatch.setattr(builtins, name, original, raising=False)
    assert outcome(code) is expected


def test_rebound_table_and_unknown_class():
    asi.ASI_ERROR_CODE_TO_EXCEPTION = {}
    with pytest.raises(asi.ASIUnknownErrorCode, match=r"^ASI error code 0 \(unknown\)\.$"):
        asi.handle_error_code(0)
    asi.ASIUnknownErrorCode = asi.ASITimeout
    with pytest.raises(asi.ASITimeout, match=r"^ASI error code 24 \(unknown\)\.$"):
        asi.handle_error_code(24)


class GetOnly(Recorder):
    """A table that is not a dict: only its get method is used."""

    get = Recorder.answer


class DictWithOwnGet(dict):
    def get(self, code, default=None):
        return asi.ASIGPSFPGAError


@pytest.mark.parametrize("table, cls", [
    (GetOnly(asi.ASIInvalidMode), asi.ASIInvalidMode),
    (GetOnly(None), asi.ASIUnknownErrorCode),
    (DictWithOwnGet({5: asi.ASISuccess}), asi.ASIGPSFPGAError),
    (types.MappingProxyType({5: asi.ASIInvalidPath}), asi.ASIInvalidPath),
    (object(), AttributeError),
    ([asi.ASISuccess], AttributeError),
])
def test_any_table_with_get(table, cls):
    asi.ASI_ERROR_CODE_TO_EXCEPTION = table
    with pytest.raises(cls):
        asi.handle_error_code(5.8)
    if isinstance(table, GetOnly):
        assert table.asked == [5] and type(table.asked[0]) is int


NOT_AN_EXCEPTION = ("raise: exception class must be a subclass of BaseException",)


@pytest.mark.parametrize("mapped, expected_type, expected_args", [
    (lambda message: KeyError("made", message), KeyError, lambda message: ("made", message)),
    (lambda message: LookupError, LookupError, lambda message: ()),
    (lambda message: 42, TypeError, lambda message: NOT_AN_EXCEPTION),
    (str, TypeError, lambda message: NOT_AN_EXCEPTION),
    (42, TypeError, lambda message: ("'int' object is not callable",)),
])
@pytest.mark.parametrize("code, message", [(5, "ASI error code 5."),
                                           (24, "ASI error code 24 (unknown).")])
def test_what_the_table_gives_is_raised_like_raise(mapped, expected_type, expected_args, code,
                                                   message):
    asi.ASI_ERROR_CODE_TO_EXCEPTION[5] = mapped
    asi.ASIUnknownErrorCode = mapped
    with pytest.raises(BaseException) as excinfo:
        asi.handle_error_code(code)
    assert type(excinfo.value) is expected_type
    assert excinfo.value.args == expected_args(message)


# ---------------------------------------------------------------------------------------
# Through a real operation.

@pytest.mark.parametrize("code", list(range(1, 24)) + UNKNOWN_CODES[:3])
def test_operation_raises_the_mapped_exception(journal, code):
    sim.fail("ASIOpenCamera", code)
    with pytest.raises(asi.ASIError) as excinfo:
        asi.open_camera(0)
    assert (type(excinfo.value), *excinfo.value.args) == expected_error(code)
    assert journal.calls() == [sim.Call("ASIOpenCamera", {"iCameraID": 0})]


def test_operation_uses_the_current_table(journal):
    asi.ASI_ERROR_CODE_TO_EXCEPTION[0] = asi.ASITimeout
    with pytest.raises(asi.ASITimeout, match=r"^ASI error code 0\.$"):
        asi.open_camera(0)
    assert len(journal.calls("ASIOpenCamera")) == 1


def test_operation_with_raising_handler(journal):
    def handler(code):
        raise LookupError(code)

    asi.handle_error_code = handler
    with pytest.raises(LookupError) as excinfo:
        asi.open_camera(0)
    assert excinfo.value.args == (0,)
    assert module_entries(excinfo.value) == [f"{MODULE}.open_camera"]
    assert len(journal.calls("ASIOpenCamera")) == 1
