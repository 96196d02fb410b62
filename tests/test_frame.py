"""Loading the module: its namespace and function objects, re-import, the registration
under its qualified name, the one-interpreter rule, the version check and failed imports.
Anything that changes the process for good runs in a subprocess."""

import builtins
import copy
import enum
import importlib
import os
import pickle
import subprocess
import sys
import textwrap
import typing

import pytest

import asi
from functions import ALL, FUNCTIONS, HANDLED

RECORDS = "ControlCaps Id SupportedMode GpsData CameraInfo".split()
ENUMERATIONS = ("BayerPattern ImgType ControlType CameraMode GuideDirection FlipStatus "
                "TrigOutput ExposureStatus").split()
EXCEPTIONS = """ASIError ASISuccess ASIInvalidIndex ASIInvalidID ASICameraClosed ASICameraRemoved
    ASITimeout ASIGeneralError ASIInvalidControlType ASIInvalidPath ASIInvalidFileFormat
    ASIInvalidSize ASIInvalidImageType ASIOutOfBoundary ASIInvalidSequence ASIBufferTooSmall
    ASIVideoModeActive ASIExposureInProgress ASIInvalidMode ASIGPSNotSupported ASIGPSVersionError
    ASIGPSFPGAError ASIGPSParamOutOfRange ASIGPSDataInvalid ASIErrorEnd ASIUnknownErrorCode""".split()
PUBLIC = [*RECORDS, "Optional", "IntEnum", *ENUMERATIONS, *EXCEPTIONS,
          "ASI_ERROR_CODE_TO_EXCEPTION", "handle_error_code", *(f.name for f in FUNCTIONS)]
# What the execute phase binds after __builtins__, in this order.
BOUND = [*PUBLIC, "__test__"]


def run_python(code, *options, pythonpath=None):
    """Runs `code` in a new interpreter that imports from where this one does."""
    env = dict(os.environ)
    if pythonpath is not None:
        env["PYTHONPATH"] = pythonpath
    prelude = f"BOUND = {BOUND!r}\n"
    result = subprocess.run([sys.executable, *options, "-c", prelude + textwrap.dedent(code)],
                            env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    return result


# ---------------------------------------------------------------------------------------
# The namespace


def test_namespace_order():
    assert len(PUBLIC) == 85
    names = list(vars(asi))
    start = names.index("__builtins__")
    assert set(names[:start]) == {"__name__", "__doc__", "__package__", "__loader__",
                                  "__spec__", "__file__"}
    assert names[start + 1:] == BOUND
    assert asi.__builtins__ is builtins
    assert asi.Optional is typing.Optional and asi.IntEnum is enum.IntEnum
    star = {}
    exec("from asi import *", star)
    assert set(star) - {"__builtins__"} == set(PUBLIC)


def test_module_attributes():
    found = asi.__spec__  # what the import system found, copied by the create phase
    assert asi.__name__ == found.name == "asi"
    assert asi.__doc__ is None
    assert asi.__file__ == found.origin and asi.__loader__ is found.loader
    assert asi.__package__ == found.parent
    assert not hasattr(asi, "__path__") and not hasattr(asi, "__all__")
    assert type(asi.__test__) is dict and asi.__test__ == {}


@pytest.mark.parametrize("f", ALL, ids=repr)
def test_function_object(f):
    function = getattr(asi, f.name)
    assert function.__name__ == function.__qualname__ == f.name
    assert function.__module__ == "halvarine.corvantis.asi"
    expected = [(p.name, p.annotation) for p in f.params] + [("return", f.returns)]
    assert list(function.__annotations__.items()) == expected

    class Holder:
        attribute = function

    assert Holder().attribute is function and Holder.attribute is function
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
    assert copy.deepcopy(function) is function


@pytest.mark.parametrize("f", FUNCTIONS, ids=repr)
def test_docstring_sections(f):
    doc = getattr(asi, f.name).__doc__
    assert type(doc) is str and doc.endswith("\n    ")
    assert ("\n    Args:\n" in doc) == bool(f.params)
    for p in f.params:
        assert f"\n        {p.name} (" in doc
    if f.returns != "None":
        assert "\n    Return" in doc
    if f in HANDLED:
        assert "\n    Raises:\n" in doc


def test_module_classes_pickle_by_reference():
    error = pickle.loads(pickle.dumps(asi.ASITimeout("ASI error code 11.")))
    assert type(error) is asi.ASITimeout and error.args == ("ASI error code 11.",)
    assert pickle.loads(pickle.dumps(asi.ImgType.IMG_RAW16)) is asi.ImgType.IMG_RAW16


def test_pickles_load_in_a_process_that_never_imported_asi():
    # What a multiprocessing worker sends back: an exception, a member, a function.
    data = pickle.dumps((asi.ASITimeout("ASI error code 11."), asi.ControlType.ASI_GAIN,
                         asi.open_camera))
    code = ("import pickle, sys\n"
            "error, member, function = pickle.loads(sys.stdin.buffer.read())\n"
            "import asi\n"
            "assert type(error) is asi.ASITimeout and error.args == ('ASI error code 11.',)\n"
            "assert member is asi.ControlType.ASI_GAIN and function is asi.open_camera\n"
            "assert sys.modules['halvarine.corvantis.asi'] is asi\n")
    done = subprocess.run([sys.executable, "-c", code], input=data, capture_output=True)
    assert done.returncode == 0, done.stderr.decode()


def test_handle_error_code_has_no_docstring():
    assert asi.handle_error_code.__doc__ is None


@pytest.mark.parametrize("name, lines", [
    ("get_number_of_connected_cameras", [
        "Get the count of connected ASI cameras.", "", "    Returns:",
        "        int: Count of connected cameras.", "    "]),
    ("camera_check", [
        "Get the count of connected ASI cameras.", "",
        "    Usage: Check if the device is ASI Camera", "", "    Args:",
        "        i_vid (int): VID (vendor id) of the device.",
        "                     This is a unique identifier assigned to the camera maker "
        "(the company that makes",
        "                     ASI cameras).",
        "        i_pid (int): PID (product id) of the device.",
        "                     This is a unique identifier for each specific product or model "
        "from the maker.",
        "                     Each ASI camera model will have a different PID.",
        "                     For example, one camera model might have a specific PID different",
        "                     from another model", "", "    Return:",
        "        Whether the device is an ASI Camera.", "    "]),
    ("open_camera", [
        "", "    Open a camera for use.", "", "    Raises:", "        AsiException", "",
        "    Args:", "        camera_id (int): The camera ID.", "    "]),
    ("set_control_value", [
        "", "    Set the value of a control setting on the camera.", "", "    Args:",
        "        camera_id (int): The camera ID.", "        control_type (int): The control type.",
        "        value (long): The new control value.",
        "        auto_mode (bool): Whether to enable auto mode.", "", "    Raises:",
        "        AsiException", "", "    "]),
])
def test_docstring_text(name, lines):
    assert getattr(asi, name).__doc__ == "\n".join(lines)


# ---------------------------------------------------------------------------------------
# Importing again


def test_import_again_yields_the_same_module(monkeypatch):
    import asi as again

    assert again is asi and importlib.import_module("asi") is asi
    assert sys.modules["halvarine.corvantis.asi"] is asi
    marker = object()
    asi.handle_error_code = marker
    monkeypatch.delitem(sys.modules, "asi")
    assert importlib.import_module("asi") is asi
    assert importlib.reload(asi) is asi
    # Nothing ran again: what the user rebound is still there.
    assert asi.handle_error_code is marker
    assert list(vars(asi))[-len(BOUND):] == BOUND


def test_taken_qualified_name_is_left_alone():
    run_python("""
        import sys, types
        taken = types.ModuleType("taken")
        sys.modules["halvarine.corvantis.asi"] = taken
        import asi
        assert sys.modules["halvarine.corvantis.asi"] is taken
        assert asi.open_camera.__module__ == "halvarine.corvantis.asi"
    """)


def test_one_interpreter_per_process():
    run_python("""
        import sys, asi, _interpreters
        from concurrent import interpreters

        def import_fails(interpreter):
            try:
                interpreter.exec("import asi")
            except interpreters.ExecutionFailed as failure:
                assert failure.excinfo.type.__name__ == "ImportError", failure
                return failure.excinfo.msg
            finally:
                interpreter.close()
            raise AssertionError("a second interpreter imported asi")

        # An isolated interpreter is refused by the import system before the module runs;
        # one sharing the GIL reaches the module, which refuses it too.
        import_fails(interpreters.create())
        shared = _interpreters.create(_interpreters.new_config("legacy"))
        assert import_fails(interpreters.Interpreter(shared)) == (
            "Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.")
        assert sys.modules["asi"] is asi is sys.modules["halvarine.corvantis.asi"]
        assert asi.get_number_of_connected_cameras() >= 0
        assert list(vars(asi))[-len(BOUND):] == BOUND
    """)


# ---------------------------------------------------------------------------------------
# The version check, through a build that believes it was made for Python 3.13

VERSION_WARNING = ("compile time Python version 3.13 of module 'halvarine.corvantis.asi' "
                   "does not match runtime version 3.14")


@pytest.fixture
def probe_path():
    path = os.path.join(os.path.dirname(asi.__file__), "version-probe")
    assert os.path.isdir(path), "the build has no version-probe module"
    return path


@pytest.mark.build_tree
def test_version_mismatch_warns_once_and_imports(probe_path):
    run_python(f"""
        import os, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import asi
        assert os.path.dirname(asi.__file__) == {probe_path!r}
        assert [(w.category, str(w.message)) for w in caught] == [
            (RuntimeWarning, {VERSION_WARNING!r})], caught
        assert list(vars(asi))[-len(BOUND):] == BOUND
    """, pythonpath=probe_path)


@pytest.mark.build_tree
def test_version_mismatch_as_error_fails_the_import(probe_path):
    run_python(f"""
        import sys, traceback, warnings
        try:
            import asi
        except RuntimeWarning as error:
            assert str(error) == {VERSION_WARNING!r}
            # The check comes before the module's own traceback entries start.
            names = [frame.name for frame in traceback.extract_tb(error.__traceback__)]
            assert "init halvarine.corvantis.asi" not in names, names
        else:
            raise AssertionError("imported despite -W error")
        assert "asi" not in sys.modules and "halvarine.corvantis.asi" not in sys.modules
        warnings.simplefilter("ignore")
        import asi
        assert list(vars(asi))[-len(BOUND):] == BOUND
    """, "-W", "error", pythonpath=probe_path)


# ---------------------------------------------------------------------------------------
# A failed import, and the next one


@pytest.mark.parametrize("breakage, repair, error, message", [
    ("sys.modules['enum'] = types.ModuleType('enum')", "sys.modules['enum'] = enum",
     "ImportError", "cannot import name IntEnum"),
    ("sys.modules['typing'] = Broken('typing')", "sys.modules['typing'] = typing",
     "RuntimeError", "typing is broken"),
    ("sys.modules['enum'] = types.SimpleNamespace(IntEnum=42)", "sys.modules['enum'] = enum",
     "TypeError", None),
    ("del builtins.enumerate", "builtins.enumerate = saved_enumerate",
     "NameError", "name 'enumerate' is not defined"),
], ids=["enum-without-IntEnum", "typing-raising", "IntEnum-not-a-class", "no-enumerate"])
def test_failed_import_then_a_complete_one(breakage, repair, error, message):
    run_python(f"""
        import builtins, enum, sys, traceback, types, typing
        saved_enumerate = enumerate

        class Broken(types.ModuleType):
            def __getattr__(self, name):
                raise RuntimeError("typing is broken")

        {breakage}
        try:
            import asi
        except {error} as failure:
            assert {message!r} is None or str(failure) == {message!r}, failure
            names = [frame.name for frame in traceback.extract_tb(failure.__traceback__)]
            assert names.count("init halvarine.corvantis.asi") == 1, names
        else:
            raise AssertionError("the import succeeded")
        assert "asi" not in sys.modules and "halvarine.corvantis.asi" not in sys.modules
        {repair}
        import asi
        assert list(vars(asi))[-len(BOUND):] == BOUND
        assert sys.modules["halvarine.corvantis.asi"] is asi
        asi.handle_error_code(0)
        assert asi.get_number_of_connected_cameras() >= 0
    """)
