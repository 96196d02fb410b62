"""The command line the example programs share: named after the program, described by the
first paragraph of its docstring; argparse answers --help and refuses bad arguments with
the usage. Errors from the camera are reported with the notes that say what was going on."""

import argparse
import math
import sys
from pathlib import Path

from halvarine.corvantis.camera import list_cameras


def parser_for(program_file: str, program_doc: str | None) -> argparse.ArgumentParser:
    summary = (program_doc or "").split("\n\n")[0]
    return argparse.ArgumentParser(prog=Path(program_file).name, description=summary)


def seconds(text: str) -> float:
    """A duration: a number of seconds above zero."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError(f"not a number of seconds above zero: {text!r}")
    return value


def camera_index(text: str) -> int:
    """0 for the first camera listed."""
    try:
        index = int(text)
    except ValueError:
        index = -1
    if index < 0:
        raise argparse.ArgumentTypeError(f"not a camera index (0, 1, ...): {text!r}")
    return index


def add_camera_index(parser: argparse.ArgumentParser, default: int | None = 0,
                     help: str = "the camera to use (default: 0, the first)") -> None:
    parser.add_argument("index", metavar="CAMERA_INDEX", type=camera_index, nargs="?",
                        default=default, help=help)


def no_camera_at(index: int) -> bool:
    """Whether no camera is listed at `index`; says so on stderr when there is none."""
    if index < len(list_cameras()):
        return False
    print(f"no camera at index {index}", file=sys.stderr)
    return True


def failed(error: Exception) -> int:
    """Reports an error and its notes ("while reading a frame from camera 0 ..."); the exit
    status of a program that failed."""
    print(f"{type(error).__name__}: {error}", *getattr(error, "__notes__", []),
          sep="\n  ", file=sys.stderr)
    return 1
