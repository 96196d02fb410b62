"""What users read: the README's snippets and simulator configuration run as written, the
typed example runs, and the type stub says what the built module does — the parts of it
that mypy.stubtest does not compare (annotations, enumeration values, which record
properties are settable), and what help() shows."""

import ast
import enum
import functools
import inspect
import json
import pathlib
import pydoc
import re
import runpy
import sys

import pytest

import asi
from halvarine.corvantis import sim

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
STUB = ROOT / "src" / "halvarine" / "corvantis" / "asi.pyi"
SKIP_MARK = "# Not run by the tests:"

FENCE = re.compile(r"^```(\w+)[^\n]*\n(.*?)^```", re.MULTILINE | re.DOTALL)


def readme_blocks(language, document=README):
    """(first line number, code) of each fenced block of `language` in a Markdown file."""
    text = document.read_text(encoding="utf-8")
    blocks = []
    for match in FENCE.finditer(text):
        if match.group(1) == language:
            first_line = text.count("\n", 0, match.start(2)) + 1
            blocks.append((first_line, match.group(2)))
    return blocks


@functools.cache
def stub_module():
    return ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))


def stub_classes():
    return {node.name: node for node in stub_module().body if isinstance(node, ast.ClassDef)}


def stub_functions():
    return {node.name: node for node in stub_module().body if isinstance(node, ast.FunctionDef)}


def base_names(node):
    return [ast.unparse(base) for base in node.bases]


ENUMERATIONS = [name for name, node in stub_classes().items() if base_names(node) == ["IntEnum"]]
RECORDS = [name for name, node in stub_classes().items() if not node.bases]
FUNCTIONS = list(stub_functions())


# ---------------------------------------------------------------------------------------
# README.md


def test_readme_snippets_run_in_order(capsys, monkeypatch, tmp_path):
    """One namespace for all blocks, as a reader typing them in one session would have;
    compiled with their README line numbers, so a failure points into README.md. Files
    the blocks save land in a temporary folder."""
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__readme__"}
    ran = 0
    for first_line, code in readme_blocks("python"):
        if code.startswith(SKIP_MARK):
            continue
        source = "\n" * (first_line - 1) + code
        exec(compile(source, str(README), "exec"), namespace)
        ran += 1
    assert ran >= 8
    out = capsys.readouterr().out
    # A few results the tour promises in its comments.
    assert "no such camera: ASI error code 2." in out
    assert "[0]" in out.splitlines()[-1]


@pytest.mark.parametrize("document", [README, ROOT / "sdk" / "sim" / "README.md"],
                         ids=lambda path: str(path.relative_to(ROOT)))
def test_documented_simulator_configuration_loads(tmp_path, document):
    (first_line, text), = readme_blocks("json", document)
    path = tmp_path / "asisim.json"
    path.write_text(text, encoding="utf-8")
    sim.load_config(path)
    try:
        cameras = json.loads(text)["cameras"]
        assert asi.get_number_of_connected_cameras() == len(cameras)
        for index, camera in enumerate(cameras):
            info = asi.get_camera_property(index)
            for key, attribute in [("name", "name"), ("width", "max_width"),
                                   ("height", "max_height")]:
                if key in camera:
                    assert getattr(info, attribute) == camera[key], (index, key)
            if "serial" in camera:
                asi.open_camera(info.camera_id)
                assert asi.get_serial_number(info.camera_id).id == camera["serial"].lower()
    finally:
        sim.load_config(None)


def test_readme_make_targets_exist():
    """Every `make TARGET` the README names is a target of the Makefile or a fragment."""
    makefiles = [ROOT / "Makefile", *sorted((ROOT / "tools" / "make").glob("*.mk"))]
    targets = set()
    for makefile in makefiles:
        targets.update(re.findall(r"^([\w-]+)\s*:(?!=)", makefile.read_text(), re.MULTILINE))
    named = set(re.findall(r"`make ([\w-]+)", README.read_text(encoding="utf-8")))
    assert named and named <= targets, named - targets


def test_typed_example_runs(capsys, monkeypatch):
    monkeypatch.setattr(sys, "argv", ["typed_example.py"])
    with pytest.raises(SystemExit) as exit:
        runpy.run_path(str(ROOT / "examples" / "typed_example.py"), run_name="__main__")
    assert exit.value.code == 0
    assert "IMG_RAW16" in capsys.readouterr().out


def test_where_the_readme_says_docstrings_and_behaviour_differ():
    """README.md, "Waiting and interrupting": if one of these changes, so does the README."""
    assert "AsiException" in asi.open_camera.__doc__ and not hasattr(asi, "AsiException")
    camera_id = asi.get_camera_property(0).camera_id
    asi.open_camera(camera_id)
    try:
        asi.init_camera(camera_id)
        asi.set_roi_format(camera_id, 64, 48, 1, asi.ImgType.IMG_RAW8)
        asi.set_control_value(camera_id, asi.ControlType.ASI_EXPOSURE, 1_000, False)
        asi.start_exposure(camera_id, False)
        assert "ExposureStatus: The exposure status." in asi.get_exp_status.__doc__
        assert type(asi.get_exp_status(camera_id)) is int
        asi.stop_exposure(camera_id)
        asi.start_video_capture(camera_id)
        assert "bytes: The captured image data." in asi.get_video_data.__doc__
        assert type(asi.get_video_data(camera_id, 64 * 48, 2_000)) is bytearray
        asi.stop_video_capture(camera_id)
    finally:
        asi.close_camera(camera_id)


# ---------------------------------------------------------------------------------------
# The stub against the module


def stub_parameters(node):
    arguments = node.args
    assert not (arguments.posonlyargs or arguments.vararg or arguments.kwonlyargs
                or arguments.kwarg or arguments.defaults), node.name
    return [(argument.arg, ast.unparse(argument.annotation)) for argument in arguments.args]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_matches_stub_and_help_shows_it(name):
    node = stub_functions()[name]
    function = getattr(asi, name)
    parameters = stub_parameters(node)
    returns = ast.unparse(node.returns)
    assert list(function.__annotations__.items()) == [*parameters, ("return", returns)]
    signature = "(" + ", ".join(f"{p}: {a}" for p, a in parameters) + f") -> {returns}"
    assert inspect.signature(function).format(quote_annotation_strings=False) == signature
    # pydoc puts a long signature one parameter a line; fold that back.
    text = " ".join(pydoc.render_doc(function, renderer=pydoc.plaintext).split())
    text = text.replace("( ", "(").replace(" )", ")")
    assert f"{name}{signature}" in text
    if function.__doc__:
        assert " ".join(function.__doc__.split()) in text


@pytest.mark.parametrize("name", ENUMERATIONS)
def test_stub_enumeration_members_match_module(name):
    stub = [(target.id, ast.literal_eval(statement.value))
            for statement in stub_classes()[name].body if isinstance(statement, ast.Assign)
            for target in statement.targets]
    runtime = getattr(asi, name)
    assert issubclass(runtime, enum.IntEnum)
    assert stub == [(member.name, member.value) for member in runtime]


def stub_properties(node):
    """{property name: settable} from the decorators of a stub class."""
    properties = {}
    for method in node.body:
        if not isinstance(method, ast.FunctionDef):
            continue
        decorators = [ast.unparse(d) for d in method.decorator_list]
        if "property" in decorators:
            properties[method.name] = False
        elif f"{method.name}.setter" in decorators:
            properties[method.name] = True
    return properties


@pytest.mark.parametrize("name", RECORDS)
def test_stub_record_properties_match_module(name):
    record_type = getattr(asi, name)
    stub = stub_properties(stub_classes()[name])
    runtime_names = [key for key, value in vars(record_type).items()
                     if inspect.isgetsetdescriptor(value)]
    assert list(stub) == runtime_names
    record = record_type()
    for attribute, settable in stub.items():
        # A read-only property refuses any value with AttributeError; a settable one
        # takes the empty string far enough to judge it by its own rules.
        try:
            setattr(record, attribute, "")
        except AttributeError as error:
            assert not settable, f"{name}.{attribute}: {error}"
        except (ValueError, IndexError):
            assert settable, f"{name}.{attribute} accepts assignment"
        else:
            assert settable, f"{name}.{attribute} accepts assignment"
