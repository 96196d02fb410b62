"""What every example does around its own work with a camera: read its command line, open
and initialise the camera, close it again whatever happens, and report the SDK's refusal
the way a user reads it."""

import argparse
import math
import sys
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path

import asi


def argument_parser(program_file: str, program_doc: str | None) -> argparse.ArgumentParser:
    """The command line of an example program: named after its file, described by the first
    paragraph of its docstring; argparse answers --help and refuses bad arguments."""
    summary = (program_doc or "").split("\n\n")[0]
    return argparse.ArgumentParser(prog=Path(program_file).name, description=summary)


def positive_seconds(text: str) -> float:
    """A command-line duration: a number of seconds above zero."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError(f"not a number of seconds above zero: {text!r}")
    return value


def camera_index(text: str) -> int:
    """A command-line camera index: 0 for the first camera the SDK lists."""
    try:
        index = int(text)
    except ValueError:
        index = -1
    if index < 0:
        raise argparse.ArgumentTypeError(f"not a camera index (0, 1, ...): {text!r}")
    return index


@contextmanager
def opened(camera_id: int) -> Iterator[int]:
    """The camera opened and initialised for the block, and closed after it whatever
    happens, so that a failing step never leaves it open."""
    asi.open_camera(camera_id)
    try:
        asi.init_camera(camera_id)
        yield camera_id
    finally:
        asi.close_camera(camera_id)


def camera_at(index: int) -> int | None:
    """The camera ID of the camera at `index` of the SDK's list, or None (reported)."""
    if not 0 <= index < asi.get_number_of_connected_cameras():
        print(f"no camera at index {index}", file=sys.stderr)
        return None
    return asi.get_camera_property(index).camera_id


def first_camera_with(feature: Callable[[asi.CameraInfo], bool], what: str,
                      index: int | None = None) -> asi.CameraInfo | None:
    """The first camera that has `feature` (only the one at `index` if given), or None
    (reported as missing `what`)."""
    indices = range(asi.get_number_of_connected_cameras())
    if index is not None:
        indices = indices[index:index + 1]
    for i in indices:
        info = asi.get_camera_property(i)
        if feature(info):
            return info
    print(f"no camera with {what} found", file=sys.stderr)
    return None


def failed(camera_id: int, error: Exception) -> int:
    """Reports what went wrong with a camera; the exit status of a program that failed."""
    print(f"camera {camera_id}: {type(error).__name__}: {error}", file=sys.stderr)
    return 1
