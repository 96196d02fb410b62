"""What the per-call benchmark compares: one representative call of each function family,
as `asi` offers it and as the ctypes equivalent, and the floors.

Shared by the timing run (bench.py) and the instruction-count run under callgrind
(callgrind_probe.py), so both measure exactly the same calls."""

import ctypes
import enum
import operator
import os
from dataclasses import dataclass

import asi

import ctypes_binding

# Per-call samples call through a local loop like this one, the same for every callable,
# so the loop's own cost is the same in every figure (and is part of the floor).
_LOOP = """
def loop(n, f=f, {defaults}):
    for _ in range(n):
        f({names})
"""


def make_loop(function, args):
    """A function loop(n) that calls function(*args) n times, arguments held in locals."""
    names = [f"a{i}" for i in range(len(args))]
    source = _LOOP.format(
        defaults=", ".join(f"{n}={n}" for n in names) or "_unused=None",
        names=", ".join(names),
    )
    namespace = {"f": function, **dict(zip(names, args))}
    exec(source, namespace)
    return namespace["loop"]


@dataclass
class Family:
    family: str  # the row label
    name: str  # the asi function
    args: tuple
    floor_name: str = ""  # the hand-written METH_FASTCALL twin in _benchfloor, if any
    floor_args: tuple = ()  # plain ints: the twin converts as little as there is
    goal: float = 5.0  # ctypes ÷ asi at least

    def module_function(self):
        return getattr(asi, self.name)

    def ctypes_function(self):
        return getattr(ctypes_binding, self.name)


FAMILIES = [
    Family("no argument", "get_number_of_connected_cameras", (), "count", ()),
    Family("status only", "stop_exposure", (0,), "stop_exposure", (0,), goal=10.0),
    Family("out-parameters", "get_control_value", (0, asi.ControlType.ASI_GAIN),
           "control_value", (0, 0), goal=15.0),
    Family("record-creating", "get_control_caps", (0, 0)),
    Family("record-creating", "get_camera_property", (0,)),
    Family("enumeration argument", "set_camera_mode", (0, asi.CameraMode.ASI_MODE_NORMAL),
           "set_camera_mode", (0, 0), goal=10.0),
    Family("enumeration argument", "pulse_guide_on", (0, asi.GuideDirection.ASI_GUIDE_NORTH),
           "pulse_guide_on", (0, 0), goal=10.0),
    Family("four-argument setter", "set_control_value", (0, asi.ControlType.ASI_GAIN, 100, False),
           goal=10.0),
]

# The plainest call CPython makes to a C function with two arguments.
IS_ARGS = (object(), None)


class Simulator:
    """The few asisim_ controls the benchmark needs, on the library asi loaded."""

    def __init__(self):
        self.lib = ctypes.CDLL(os.path.join(os.path.dirname(asi.__file__), "libASICamera2.so"))

    # asisim_set_fast_frames: fresh noise in every frame, or the first frame repeated.
    FRESH_NOISE, KEEP_NOISE = 1, 2

    def reset(self, fast_frames=False, fresh_noise=False):
        # After a reset the journal is off and empty: no SDK call pays for it. Fast
        # frames repeat one frame unless asked for fresh noise, so that a call's cost is
        # the binding's and not the simulated sensor's.
        self.lib.asisim_reset()
        self.lib.asisim_journal_enable(0)
        mode = self.FRESH_NOISE if fresh_noise else self.KEEP_NOISE
        self.lib.asisim_set_fast_frames(mode if fast_frames else 0)


def prepare_cameras(sim):
    """Camera 0 open and initialised, every family's call succeeding."""
    sim.reset()
    asi.open_camera(0)
    asi.init_camera(0)


def check_equivalence():
    """The ctypes equivalents give the same results and raise the same exceptions."""
    for family in FAMILIES:
        ours = family.module_function()(*family.args)
        theirs = family.ctypes_function()(*family.args)
        if family.name == "get_control_caps":
            ours = (ours.name, ours.max_value, ours.min_value, ours.default_value)
            theirs = (theirs.Name.decode(), theirs.MaxValue, theirs.MinValue, theirs.DefaultValue)
        elif family.name == "get_camera_property":
            ours = (ours.name, ours.camera_id, ours.max_width, ours.max_height)
            theirs = (theirs.Name.decode(), theirs.CameraID, theirs.MaxWidth, theirs.MaxHeight)
        assert ours == theirs, (family.name, ours, theirs)
        if not family.args:
            continue
        # A camera that does not exist: the same class and message from both.
        bad = (99,) + family.args[1:]
        raised = []
        for function in (family.module_function(), family.ctypes_function()):
            try:
                function(*bad)
            except asi.ASIError as error:
                raised.append((type(error), error.args))
        assert len(raised) == 2 and raised[0] == raised[1], (family.name, raised)


def candidates(floor_module):
    """(key, callable, args) of everything timed per call, floors first."""
    result = [("floor:is_", operator.is_, IS_ARGS)]
    for family in FAMILIES:
        if floor_module is not None and family.floor_name:
            result.append((f"fastcall:{family.name}", getattr(floor_module, family.floor_name),
                           family.floor_args))
    for family in FAMILIES:
        result.append((f"asi:{family.name}", family.module_function(), family.args))
        result.append((f"ctypes:{family.name}", family.ctypes_function(), family.args))
        # Reading an enumeration argument's `value`, which both of them must do, alone.
        for arg in family.args:
            if isinstance(arg, enum.Enum):
                result.append((f"value:{family.name}", operator.attrgetter("value"), (arg,)))
                break
    return result
