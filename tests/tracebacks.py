"""The entries the module adds to a traceback, and the lines of its source they point at."""

import pathlib
import re
import traceback

# As the module names its source file in the entries it adds.
SOURCE = "src/halvarine/corvantis/asi.cpp"
ROOT = pathlib.Path(__file__).resolve().parent.parent


def module_entries(exception, with_lines=False):
    """The names (and with_lines, the line numbers) of the module's entries, outermost first."""
    frames = [frame for frame in traceback.extract_tb(exception.__traceback__)
              if frame.filename == SOURCE]
    if with_lines:
        return [(frame.name, frame.lineno) for frame in frames]
    return [frame.name for frame in frames]


def binding_line(name):
    """The line of the module frame that binds function `name`: the one line of the source
    that names the function (or its table row) beside the __LINE__ it hands the function."""
    pattern = re.compile(rf"\b{re.escape(name)}(_row)?\b")
    lines = (ROOT / SOURCE).read_text().splitlines()
    found = [number for number, line in enumerate(lines, 1)
             if "__LINE__" in line and pattern.search(line)]
    assert len(found) == 1, f"{name} is bound on lines {found} of {SOURCE}"
    return found[0]
