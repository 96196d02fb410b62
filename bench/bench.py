"""The benchmark suite of `make bench`: one table of ratios, each measured in this run
against its yardstick, with the goal beside it. Written to stdout and bench/results.md.

    python3 bench/bench.py --build BUILD_DIR [--quick]

Sections:
  (a) per-call cost of each function family against its idiomatic ctypes equivalent and
      the floors (operator.is_, and a minimal METH_FASTCALL extension making the same SDK
      call from plain ints), plus instructions per call under callgrind;
  (b) frame delivery of get_video_data and get_data_after_exp against a C program doing
      the same work per frame;
  (c) a pure-Python thread's CPU share while another thread waits for a frame;
  (d) the cost of `import asi` beyond `import enum, typing`, and the import times of
      asi and of the camera and simulator layers;
  (e) the simulated video frame rate through get_video_data;
  (f) video through the camera layer (halvarine.corvantis.camera) against a bare
      get_video_data loop;
  (g) a control's value read through the camera layer.
  (h) loading the sky file, and frames of the real sky against the seeded one.
  (i) the simulator with every effect on (bench/simulator.py).

Timings are medians of interleaved repeats: every repeat measures each contender once, in
turn, so a burst of load from elsewhere hits all of them alike. Beside each figure stands
the one the results file held before this run, where it had one."""

import argparse
import ctypes
import ctypes.util
import datetime
import glob
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import asi  # noqa: E402

import families  # noqa: E402
import simulator  # noqa: E402

RAW8, RAW16 = int(asi.ImgType.IMG_RAW8), int(asi.ImgType.IMG_RAW16)


# ---------------------------------------------------------------------------------------
# Helpers built for the run: the METH_FASTCALL floor and the C frame program.

def build_helpers(build_dir):
    out = os.path.join(build_dir, "bench")
    os.makedirs(out, exist_ok=True)
    lib = os.path.join(build_dir, "lib")
    include = [f"-I{os.path.join(REPO, 'sdk', 'include')}"]
    link = [f"-L{lib}", "-lASICamera2", f"-Wl,-rpath,{lib}"]
    floor = os.path.join(out, "_benchfloor" + sysconfig.get_config_var("EXT_SUFFIX"))
    frames = os.path.join(out, "frames")
    jobs = [
        (floor, "floor.c", ["-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}"]),
        (frames, "frames.c", []),
    ]
    for target, source, flags in jobs:
        source = os.path.join(HERE, source)
        subprocess.run(["gcc", "-O2", "-Wall", "-Wextra", "-Werror", *flags, *include,
                        source, "-o", target, *link], check=True)
    return out, frames


# ---------------------------------------------------------------------------------------
# Measuring.

def median(values):
    return statistics.median(values)


def calls_per_sample(loop, target=0.02):
    """Calls per sample so that one sample takes about `target` seconds of CPU."""
    n = 64
    while True:
        start = time.thread_time_ns()
        loop(n)
        elapsed = (time.thread_time_ns() - start) * 1e-9
        if elapsed >= target / 4 or n >= 1 << 24:
            return max(64, int(n * target / max(elapsed, 1e-9)))
        n *= 4


def time_calls(contenders, repeats):
    """Median seconds per call of each (key, loop), interleaved. CPU time of this thread:
    every contender runs on this thread and none of them waits, so time lost to other
    processes on this busy 2-vCPU machine does not count against anyone."""
    sizes = {key: calls_per_sample(loop) for key, loop in contenders}
    samples = {key: [] for key, _ in contenders}
    for _ in range(repeats):
        for key, loop in contenders:
            n = sizes[key]
            start = time.thread_time_ns()
            loop(n)
            samples[key].append((time.thread_time_ns() - start) * 1e-9 / n)
    return {key: median(values) for key, values in samples.items()}


def instructions_per_call(floor_dir, calls):
    """Instructions per call of each candidate under callgrind: the difference between
    2N and N calls, divided by N."""
    valgrind = shutil.which("valgrind")
    if not valgrind:
        return {}
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "cg")
        run = subprocess.run(
            [valgrind, "--tool=callgrind", "--dump-before=bench_mark",
             f"--callgrind-out-file={out}", sys.executable,
             os.path.join(HERE, "callgrind_probe.py"), floor_dir, str(calls)],
            capture_output=True, text=True, cwd=HERE)
        if run.returncode != 0:
            print(run.stderr[-2000:], file=sys.stderr)
            return {}
        keys = run.stdout.split()
        totals = {}
        for path in glob.glob(out + ".*"):
            match = re.search(r"\.(\d+)$", path)
            if not match:
                continue
            with open(path) as dump:
                for line in dump:
                    if line.startswith(("totals:", "summary:")):
                        totals[int(match.group(1))] = int(line.split()[1])
                        break
    # Dumps are numbered from 1 in call order of mark(): per candidate three marks, the
    # second closing the N calls and the third the 2N calls.
    result = {}
    for i, key in enumerate(keys):
        single, double = totals.get(3 * i + 2), totals.get(3 * i + 3)
        if single is not None and double is not None:
            result[key] = (double - single) / calls
    return result


# ---------------------------------------------------------------------------------------
# (a) per-call cost

def section_calls(floor_dir, repeats, callgrind_calls):
    import _benchfloor

    sim = families.Simulator()
    families.prepare_cameras(sim)
    families.check_equivalence()
    contenders = [(key, families.make_loop(f, args))
                  for key, f, args in families.candidates(_benchfloor)]
    seconds = time_calls(contenders, repeats)
    instructions = instructions_per_call(floor_dir, callgrind_calls) if callgrind_calls else {}

    rows = []
    floor = seconds["floor:is_"]
    floor_instr = instructions.get("floor:is_")
    for family in families.FAMILIES:
        ours, theirs = seconds[f"asi:{family.name}"], seconds[f"ctypes:{family.name}"]
        instr = instructions.get(f"asi:{family.name}")
        instr_ctypes = instructions.get(f"ctypes:{family.name}")
        twin = seconds.get(f"fastcall:{family.name}")
        twin_instr = instructions.get(f"fastcall:{family.name}")
        detail = f"asi {ours * 1e9:.0f} ns, ctypes {theirs * 1e9:.0f} ns"
        if instr and instr_ctypes:
            detail += (f"; instructions/call asi {instr:,.0f}, ctypes {instr_ctypes:,.0f}"
                       f" ({instr_ctypes / instr:.1f}×)")
        value = seconds.get(f"value:{family.name}")
        if value:
            # ctypes pays it; asi reads a standard member's `_value_` itself.
            detail += f"; ctypes's `member.value` alone {value * 1e9:.0f} ns"
        rows.append(("a", f"`{family.name}` ({family.family}): ctypes ÷ asi",
                     theirs / ours, family.goal, ">=", detail,
                     call_note(family, ours, theirs, floor, twin, instr, instr_ctypes,
                               twin_instr)))
        goal = {"no argument": 1.2, "status only": 4.0}.get(family.family)
        detail = f"operator.is_ {floor * 1e9:.0f} ns"
        if instr and floor_instr:
            detail += (f"; instructions/call asi {instr:,.0f}, is_ {floor_instr:,.0f}"
                       f" ({instr / floor_instr:.1f}×)")
        if twin:
            detail += f"; minimal METH_FASTCALL twin {twin * 1e9:.0f} ns (asi ÷ twin {ours / twin:.2f}×)"
        note = None
        if instr and floor_instr:
            note = (f"Instructions per call, which do not drift with the machine's load: asi "
                    f"{instr:,.0f}, operator.is_ {floor_instr:,.0f} "
                    f"({instr / floor_instr:.2f}×); the times of this run say "
                    f"{ours / floor:.2f}×.")
        rows.append(("a", f"`{family.name}` ({family.family}): asi ÷ floor",
                     ours / floor, goal, "<=", detail, note))
    return rows


def call_note(family, ours, theirs, floor, twin, instr, instr_ctypes, twin_instr):
    """Why a per-call goal is missed, from this run's measurements: how much of the call
    the SDK itself takes, and what the module adds to it."""
    if not twin:
        return (f"ctypes itself is only {theirs / floor:.1f}× the floor here (operator.is_, "
                f"{floor * 1e9:.0f} ns), and asi is {ours / floor:.2f}× the floor.")
    note = (f"The same SDK call made by a minimal METH_FASTCALL function from plain ints "
            f"takes {twin * 1e9:.0f} ns, the loop's {floor * 1e9:.0f} ns included: ctypes ÷ "
            f"that is {theirs / twin:.1f}×, the most any binding could show here; asi adds "
            f"{(ours - twin) * 1e9:.0f} ns to it")
    if instr and twin_instr and instr_ctypes:
        note += (f" ({instr - twin_instr:,.0f} instructions; by instructions the ceiling is "
                 f"{instr_ctypes / twin_instr:.1f}×)")
    return note + "."


# ---------------------------------------------------------------------------------------
# (b) frame delivery

class FrameProgram:
    """The C yardstick, kept running between samples; it delivers N frames per request."""

    def __init__(self, path, mode, camera, width, height, img_type):
        self.process = subprocess.Popen(
            [path, mode, str(camera), str(width), str(height), str(img_type)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if self.process.stdout.readline().strip() != "ready":
            raise RuntimeError(f"{path} {mode} did not start")

    def request(self, amount):
        self.process.stdin.write(f"{amount}\n")
        self.process.stdin.flush()
        return self.process.stdout.readline()

    def seconds(self, frames):
        return float(self.request(frames))

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def same_allocator_policy_as_the_c_program():
    """glibc's malloc by default gives freed memory back to the system once the free top
    of the heap exceeds a threshold it adapts as it goes, and then faults every page of
    the next frame in again: whether a process does so each frame depends on what else
    its heap holds, and makes a process two times slower or not from one run to the next.
    The C program keeps freed memory (frames.c); this process does the same, so the two
    differ only in the work each does per frame."""
    try:
        libc = ctypes.CDLL(None)
        m_trim_threshold, m_mmap_threshold = -1, -3  # <malloc.h>
        libc.mallopt(m_mmap_threshold, 1 << 30)
        libc.mallopt(m_trim_threshold, 1 << 30)
    except (OSError, AttributeError):
        pass  # not glibc: its allocator has its own ways


def section_frames(frames_program, repeats):
    same_allocator_policy_as_the_c_program()
    sim = families.Simulator()
    rows = []
    formats = [(0, 4096, 2160, RAW16, "4096×2160 RAW16"), (1, 1920, 1080, RAW8, "1920×1080 RAW8")]
    for mode, name in (("video", "get_video_data"), ("snap", "get_data_after_exp")):
        for camera, width, height, img_type, label in formats:
            size = width * height * (2 if img_type == RAW16 else 1)
            sim.reset(fast_frames=True)
            asi.open_camera(camera)
            asi.init_camera(camera)
            asi.set_roi_format(camera, width, height, 1, asi.ImgType(img_type))
            if mode == "video":
                asi.start_video_capture(camera)
                get_video_data = asi.get_video_data

                def one_frame():
                    get_video_data(camera, size, 1000)
            else:
                start_exposure, get_data_after_exp = asi.start_exposure, asi.get_data_after_exp

                def one_frame():
                    start_exposure(camera, False)
                    get_data_after_exp(camera, size)
            one_frame()  # the first frame of a format is rendered, later ones are copies
            program = FrameProgram(frames_program, mode, camera, width, height, img_type)
            count = max(4, int(0.06 * 5e9 / size))  # about 60 ms a sample at 5 GB/s
            ours, theirs = [], []
            try:
                for _ in range(repeats):
                    start = time.thread_time()
                    for _ in range(count):
                        one_frame()
                    ours.append((time.thread_time() - start) / count)
                    theirs.append(program.seconds(count) / count)
            finally:
                program.close()
            ours_rate, theirs_rate = size / median(ours) / 1e9, size / median(theirs) / 1e9
            work = "allocate, zero, SDK copy" + (", copy to bytes" if mode == "snap" else "")
            # Shown when the goal is missed: how far each side's own samples spread.
            spread = {side: (size / max(samples) / 1e9, size / min(samples) / 1e9)
                      for side, samples in (("asi", ours), ("C", theirs))}
            note = ("Both sides do the work the function is documented to do and run at the "
                    "memory's bandwidth here, which on this machine moves with other load and "
                    "with where a process's buffers land: in this run asi's samples ranged "
                    "{:.1f}-{:.1f} GB/s and the C program's {:.1f}-{:.1f} GB/s.".format(
                        *spread["asi"], *spread["C"]))
            rows.append(("b", f"`{name}` {label}: asi ÷ C bandwidth", ours_rate / theirs_rate,
                         0.9, ">=", f"asi {ours_rate:.1f} GB/s, C ({work}) {theirs_rate:.1f} GB/s",
                         note))
            if mode == "video":
                asi.stop_video_capture(camera)
            asi.close_camera(camera)
    sim.reset()
    return rows


# ---------------------------------------------------------------------------------------
# (c) CPU share of a Python thread while another waits for a frame

def busy_share(duration):
    """Share of wall time this thread spent on the CPU running pure Python."""
    wall_start, cpu_start = time.perf_counter(), time.thread_time()
    x = 0
    while time.perf_counter() - wall_start < duration:
        for _ in range(1000):
            x += 1
    return (time.thread_time() - cpu_start) / (time.perf_counter() - wall_start)


def section_share(repeats, duration=0.25, wait_ms=5):
    sim = families.Simulator()
    sim.reset()
    camera, width, height = 0, 640, 480
    size = width * height
    asi.open_camera(camera)
    asi.init_camera(camera)
    asi.set_roi_format(camera, width, height, 1, asi.ImgType.IMG_RAW8)
    # A minute's exposure: no frame arrives while we measure, every call waits wait_ms.
    asi.set_control_value(camera, asi.ControlType.ASI_EXPOSURE, 60_000_000, False)
    asi.start_video_capture(camera)

    def waiting(function, stop):
        while not stop.is_set():
            try:
                function(camera, size, wait_ms)
            except asi.ASITimeout:
                pass

    def with_waiter(function):
        stop = threading.Event()
        thread = threading.Thread(target=waiting, args=(function, stop))
        thread.start()
        time.sleep(0.02)
        try:
            return busy_share(duration)
        finally:
            stop.set()
            thread.join()

    # Each share is divided by a solo run right before it, so that load from other
    # processes, which comes and goes, weighs on both sides of each ratio alike.
    names = ("get_video_data", "get_video_data_gps")
    ratios = {name: [] for name in names}
    shares = {name: [] for name in ("solo", *names)}
    for _ in range(repeats):
        for name in names:
            solo = busy_share(duration)
            share = with_waiter(getattr(asi, name))
            ratios[name].append(share / solo)
            shares["solo"].append(solo)
            shares[name].append(share)
    asi.stop_video_capture(camera)
    sim.reset()
    solo = median(shares["solo"])
    # Why a share can fall short without the lock being held: after each wait the waiting
    # thread must take the lock back, and the busy thread gives it up and waits until the
    # other has been scheduled, has run its status check and has let go again.
    note = (f"The busy thread ran {solo * 100:.0f}% of the time even alone: other processes "
            f"had the CPUs. Each lock hand-off after a {wait_ms} ms wait then waits for the "
            f"scheduler too; on a quiet machine the ratio measured 0.98-1.00.")
    rows = []
    for name, goal in (("get_video_data", 0.95), ("get_video_data_gps", None)):
        contrast = "" if goal else " (keeps the lock: for contrast)"
        rows.append(("c", f"busy thread's CPU share while another waits in `{name}`: ÷ solo"
                          f"{contrast}", median(ratios[name]), goal, ">=",
                     f"{median(shares[name]) * 100:.0f}% of wall time vs {solo * 100:.0f}% solo; "
                     f"{wait_ms} ms waits", note))
    return rows


# ---------------------------------------------------------------------------------------
# (d) import time

# CPU time of the import statement alone, in a fresh interpreter. `before` runs first,
# untimed.
IMPORT_PROBE = """
import time
{before}
start = time.process_time()
import {name}
print(time.process_time() - start)
"""
SDK_DIRECTORY = ("next(p for p in sys.path "
                 "if os.path.exists(os.path.join(p, 'libASICamera2.so')))")
PRELOAD_SDK = ("import ctypes, enum, os, sys, typing; "
               f"ctypes.CDLL(os.path.join({SDK_DIRECTORY}, 'libASICamera2.so'))")
# CPU time of loading one shared library, in a fresh interpreter.
LOAD_PROBE = """
import ctypes, os, sys, time
path = {path}
start = time.process_time()
ctypes.CDLL(path)
print(time.process_time() - start)
"""


def fresh_process_seconds(code):
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True)
    return float(run.stdout)


def section_import(repeats):
    probes = {
        "asi": IMPORT_PROBE.format(before="", name="asi"),
        "enum, typing": IMPORT_PROBE.format(before="", name="enum, typing"),
        "asi after SDK": IMPORT_PROBE.format(before=PRELOAD_SDK, name="asi"),
        "load SDK": LOAD_PROBE.format(
            path=f"os.path.join({SDK_DIRECTORY}, 'libASICamera2.so')"),
    }
    # A system library of about the same size with next to no start-up code of its own:
    # what loading any library of that size costs on this machine.
    yardstick = ctypes.util.find_library("sqlite3")
    if yardstick:
        probes["load yardstick"] = LOAD_PROBE.format(path=repr(yardstick))
    # The Python layers above the module, and what the camera layer's own import pulls in.
    for name in ("halvarine.corvantis.camera", "halvarine.corvantis.sim", "numpy"):
        probes[name] = IMPORT_PROBE.format(before="", name=name)
    samples = {key: [] for key in probes}
    for _ in range(repeats):
        for key, code in probes.items():
            samples[key].append(fresh_process_seconds(code))
    ours, theirs = median(samples["asi"]), median(samples["enum, typing"])
    own = median(samples["asi after SDK"])
    note = (f"Of the {(ours - theirs) * 1e3:.1f} ms, the module's own work is "
            f"{own * 1e3:.1f} ms (next row); the rest is loading the substitute SDK library "
            f"({median(samples['load SDK']) * 1e3:.1f} ms alone)")
    if yardstick:
        note += (f", about what loading {yardstick} costs here "
                 f"({median(samples['load yardstick']) * 1e3:.1f} ms): the kernel's mapping "
                 f"of the library, not its start-up code, which callgrind counts at about "
                 f"50,000 instructions (`valgrind --tool=callgrind python3 -c \"import ctypes; "
                 f"ctypes.CDLL('.../libASICamera2.so')\"`)")
    note += "."
    return [
        ("d", "`import asi` ÷ `import enum, typing` (fresh process)", ours / theirs,
         (theirs + 0.003) / theirs, "<=",
         f"asi {ours * 1e3:.1f} ms, enum+typing {theirs * 1e3:.1f} ms of CPU: "
         f"+{(ours - theirs) * 1e3:.1f} ms (goal: at most +3 ms)", note),
        ("d", "the module's own part: `import asi` with enum, typing and the SDK library "
              "loaded before, ÷ `import enum, typing`", (theirs + own) / theirs,
         (theirs + 0.003) / theirs, "<=",
         f"+{own * 1e3:.1f} ms of CPU; loading the SDK library is the rest"),
        ("d", "`import asi` (fresh process)", ours * 1e3, None, "<=",
         f"{ours * 1e3:.1f} ms of CPU", None, " ms"),
        ("d", "`import halvarine.corvantis.camera` (fresh process)",
         median(samples["halvarine.corvantis.camera"]) * 1e3, None, "<=",
         f"{median(samples['halvarine.corvantis.camera']) * 1e3:.1f} ms of CPU; it imports "
         f"numpy, {median(samples['numpy']) * 1e3:.1f} ms alone, and asi", None, " ms"),
        ("d", "`import halvarine.corvantis.sim` (fresh process)",
         median(samples["halvarine.corvantis.sim"]) * 1e3, None, "<=",
         f"{median(samples['halvarine.corvantis.sim']) * 1e3:.1f} ms of CPU, asi included",
         None, " ms"),
    ]


# ---------------------------------------------------------------------------------------
# (e) video frame rate, simulated in real time

def video_fps(camera, size, duration):
    """Frames per second read in real time for `duration` seconds, from capture start."""
    get_video_data = asi.get_video_data
    asi.start_video_capture(camera)
    try:
        get_video_data(camera, size, 5000)  # the first frame also builds the scene
        frames, start = 0, time.perf_counter()
        while time.perf_counter() - start < duration:
            get_video_data(camera, size, 5000)
            frames += 1
        return frames / (time.perf_counter() - start)
    finally:
        asi.stop_video_capture(camera)


def section_fps(frames_program, repeats, duration):
    sim = families.Simulator()
    rows = []
    for camera, width, height, img_type, label, goal in (
            # The goal is the simulator's: camera 0 is a USB 3 model that can deliver it;
            # camera 1 is modelled on a USB 2 guide camera, whose link caps it far lower.
            (0, 1920, 1080, RAW8, "1920×1080 RAW8 (camera 0, USB 3 model)", 100),
            (0, 4096, 2160, RAW16, "4096×2160 RAW16 (camera 0)", None),
            (1, 1920, 1080, RAW8, "1920×1080 RAW8 (camera 1, USB 2 model)", None)):
        size = width * height * (2 if img_type == RAW16 else 1)
        sim.reset()
        asi.open_camera(camera)
        asi.init_camera(camera)
        asi.set_roi_format(camera, width, height, 1, asi.ImgType(img_type))
        # The shortest exposure and the full link: the simulated camera's top speed.
        asi.set_control_value(camera, asi.ControlType.ASI_EXPOSURE, 32, False)
        asi.set_control_value(camera, asi.ControlType.ASI_BANDWIDTHOVERLOAD, 100, False)
        asi.set_control_value(camera, asi.ControlType.ASI_HIGH_SPEED_MODE, 1, False)
        program = FrameProgram(frames_program, "live", camera, width, height, img_type)
        ours, theirs = [], []
        try:
            for _ in range(repeats):
                ours.append(video_fps(camera, size, duration))
                frames, seconds = program.request(duration).split()
                theirs.append(int(frames) / float(seconds))
        finally:
            program.close()
        asi.close_camera(camera)
        usb3 = asi.get_camera_property(camera).is_usb3_camera
        fps, reference = median(ours), median(theirs)
        note = (f"A C program reading the same simulated camera gets {reference:.1f} fps: the "
                f"rate is the simulated camera's (a USB {'3' if usb3 else '2'} model at its "
                f"shortest exposure and full bandwidth), not the reader's; see the other "
                f"rows of (e) for the same simulator on other cameras and formats.")
        rows.append(("e", f"video frames through `get_video_data`, {label}", fps, goal, ">=",
                     f"{fps:.1f} fps; a C reader of the same simulated camera {reference:.1f} fps"
                     f" (asi ÷ C {fps / reference:.2f}×)", note))
    # Fast frames: with fresh noise every frame is the sensor's noise pass and the output
    # conversion (the cost of a real-time frame without the clock); kept, a copy.
    for fresh, goal in ((True, 300), (False, 4000)):
        sim.reset(fast_frames=True, fresh_noise=fresh)
        asi.open_camera(0)
        asi.init_camera(0)
        asi.set_roi_format(0, 1920, 1080, 1, asi.ImgType(RAW8))
        fps = median([video_fps(0, 1920 * 1080, duration) for _ in range(repeats)])
        asi.close_camera(0)
        noise = "fresh noise in every frame" if fresh else "the first frame's noise kept"
        rows.append(("e", f"fast frames through `get_video_data`, 1920×1080 RAW8, {noise}",
                     fps, goal, ">=", f"{fps:.1f} fps"))
    sim.reset()
    return rows


# ---------------------------------------------------------------------------------------
# (f) video through the camera layer, (g) its control reads

def frame_seconds(loops, count, repeats):
    """Median thread CPU seconds per frame of each (key, loop), interleaved; each loop
    takes `count` frames."""
    samples = {key: [] for key, _ in loops}
    for _ in range(repeats):
        for key, loop in loops:
            start = time.thread_time()
            loop(count)
            samples[key].append((time.thread_time() - start) / count)
    return {key: median(values) for key, values in samples.items()}


def section_layer_video(repeats, count=500):
    """The same fast-frames video stream, read through `cam.video()` as numpy frames and
    by two bare `get_video_data` loops: one keeping each frame until the next arrives, as
    a program that looks at its frames does, and one dropping it at once (for contrast).
    Keeping a frame decides where the next one's buffer comes from, so the fair yardstick
    is the loop that keeps it, as `for frame in video` does."""
    from itertools import islice

    from halvarine.corvantis.camera import Camera, Roi

    same_allocator_policy_as_the_c_program()
    sim = families.Simulator()
    sim.reset(fast_frames=True)
    width, height = 1920, 1080
    size = width * height
    get_video_data = asi.get_video_data
    with Camera(0) as cam:
        cam.roi = Roi(width, height, 1, "RAW8")
        with cam.video(0.001) as video:
            camera = cam.id

            def layer(count):
                for frame in islice(video, count):
                    pass

            def keeping(count):
                for _ in range(count):
                    frame = get_video_data(camera, size, 1000)  # noqa: F841

            def dropping(count):
                for _ in range(count):
                    get_video_data(camera, size, 1000)

            loops = [("layer", layer), ("keeping", keeping), ("dropping", dropping)]
            for _, loop in loops:
                loop(10)  # the first frame of a format is rendered, later ones are copies
            seconds = frame_seconds(loops, count, repeats)
    sim.reset()
    fps = {key: 1 / value for key, value in seconds.items()}
    extra_us = (seconds["layer"] - seconds["keeping"]) * 1e6
    detail = (f"layer {fps['layer']:,.0f} fps, bare loop keeping its frame "
              f"{fps['keeping']:,.0f} fps: {extra_us:+.1f} µs a frame")
    note = ("Every frame costs the layer a numpy view of the bytes, the time stamp and the "
            "Frame record; at this frame size a frame's copy takes "
            f"{seconds['keeping'] * 1e6:.0f} µs, so a few µs more show as a few per cent. "
            "The figure moves with the memory's bandwidth, which other load here shares.")
    return [
        ("f", "video through `cam.video()`, 1920×1080 RAW8, fast frames: layer ÷ bare "
              "`get_video_data` loop keeping its frame (frame rate)",
         fps["layer"] / fps["keeping"], 0.95, ">=", detail, note),
        ("f", "the same ÷ a bare loop dropping each frame at once (for contrast)",
         fps["layer"] / fps["dropping"], None, ">=",
         f"bare loop dropping its frame {fps['dropping']:,.0f} fps"),
    ]


def section_layer_controls(repeats):
    from halvarine.corvantis.camera import Camera

    sim = families.Simulator()
    sim.reset()
    gain = asi.ControlType.ASI_GAIN
    get_control_value = asi.get_control_value
    with Camera(0) as cam:
        camera = cam.id

        def layer(n):
            for _ in range(n):
                cam.controls["Gain"].value

        def bare(n):
            for _ in range(n):
                get_control_value(camera, gain)

        seconds = time_calls([("layer", layer), ("bare", bare)], repeats)
    sim.reset()
    ours, theirs = seconds["layer"] * 1e6, seconds["bare"] * 1e6
    return [("g", "`cam.controls[\"Gain\"].value` read through the camera layer (µs a read)",
             ours, 2.0, "<=",
             f"{ours:.2f} µs; `asi.get_control_value` alone {theirs:.2f} µs "
             f"(the layer adds {ours - theirs:.2f} µs)")]


# (h) the real sky: loading the sky file, and frames of it against the seeded sky

SKY_PROBE = """
import resource, time
import asi
from halvarine.corvantis import sim

def first_frame(catalogue):
    sim.load_config({{"sky": {{"catalogue": catalogue}}, "fast_frames": True}})
    asi.open_camera(0)
    asi.init_camera(0)
    asi.set_roi_format(0, 64, 64, 1, asi.ImgType.IMG_RAW16)
    started = time.perf_counter()
    asi.start_exposure(0, False)
    while asi.get_exp_status(0) == 1:
        pass
    asi.get_data_after_exp(0, 64 * 64 * 2)
    seconds = time.perf_counter() - started
    asi.close_camera(0)
    return seconds

def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()

first_frame("synthetic")
before = resident_bytes()
first = first_frame({path!r})
grown = resident_bytes() - before
again = first_frame({path!r})
print(first - again, grown)
"""


def full_frame_seconds(catalogue):
    """A full frame of camera 0 after a reset: its field made and drawn from scratch."""
    from halvarine.corvantis import sim

    sim.load_config({"sky": {"catalogue": catalogue}, "fast_frames": True})
    asi.open_camera(0)
    try:
        asi.init_camera(0)
        info = asi.get_camera_property(0)
        asi.set_roi_format(0, info.max_width, info.max_height, 1, asi.ImgType.IMG_RAW16)
        started = time.perf_counter()
        asi.start_exposure(0, False)
        while asi.get_exp_status(0) == 1:
            pass
        asi.get_data_after_exp(0, info.max_width * info.max_height * 2)
        return time.perf_counter() - started
    finally:
        asi.close_camera(0)


def section_sky(build_dir, repeats):
    path = os.path.join(build_dir, "lib", "asisim-sky.bin")
    if not os.path.exists(path):
        print(f"(h) skipped: no sky file at {path}", file=sys.stderr)
        return []
    loads, sizes = [], []
    for _ in range(repeats):
        run = subprocess.run([sys.executable, "-c", SKY_PROBE.format(path=path)],
                             capture_output=True, text=True, check=True)
        seconds, size = run.stdout.split()
        loads.append(float(seconds))
        sizes.append(float(size))
    load, size = median(loads), median(sizes)
    real, seeded = [], []
    for _ in range(repeats):
        real.append(full_frame_seconds(path))
        seeded.append(full_frame_seconds("synthetic"))
    from halvarine.corvantis import sim
    sim.load_config(None)
    return [
        ("h", "loading the sky file at the first frame ÷ 0.5 s", load / 0.5, 1.0, "<=",
         f"{load * 1e3:.0f} ms (the first frame's time less a later first frame's)"),
        ("h", "memory the sky file takes ÷ 50 MB", size / 50e6, 1.0, "<=",
         f"{size / 1e6:.1f} MB (resident size's growth over the first frame)"),
        ("h", "a full frame of the real sky ÷ of the seeded sky (camera 0, fresh field)",
         median(real) / median(seeded), 1.0, "<=",
         f"real {median(real) * 1e3:.0f} ms, seeded {median(seeded) * 1e3:.0f} ms"),
    ]


# ---------------------------------------------------------------------------------------
# The table.

# The unit of each section's figures; ratios elsewhere.
UNITS = {"e": " fps", "g": " µs"}

def verdict(value, goal, sense):
    if goal is None:
        return "—", "—"
    met = value >= goal if sense == ">=" else value <= goal
    return f"{'≥' if sense == '>=' else '≤'} {goal:.2f}".replace(".00", ""), "met" if met else "NOT met"


def format_table(rows, previous=None):
    """The table, then a note on each goal it shows as not met. Each row is (section,
    measure, figure, goal, sense, detail[, note[, unit]]); `previous` maps (section,
    measure) to the figure an earlier run wrote, shown beside the new one."""
    previous = previous or {}
    lines = ["| | Measure | Figure | Before | Goal | Met | Measured |",
             "|---|---|---|---|---|---|---|"]
    notes = []
    for section, measure, value, goal, sense, detail, *rest in rows:
        note = rest[0] if rest else None
        unit = rest[1] if len(rest) > 1 else UNITS.get(section, "×")
        figure = f"{value:.1f}{unit}" if value >= 10 or section == "e" else f"{value:.2f}{unit}"
        before = previous.get((section, measure), "—")
        goal_text, met = verdict(value, goal, sense)
        if goal is not None:
            goal_text += unit
        lines.append(f"| {section} | {measure} | {figure} | {before} | {goal_text} | {met} "
                     f"| {detail} |")
        if met == "NOT met" and note:
            notes.append(f"- ({section}) {measure}: {note}")
    if notes:
        lines += ["", "Goals not met:", "", *notes]
    return "\n".join(lines)


def previous_figures(path):
    """(section, measure) -> figure of the table in an earlier results file, if any."""
    figures = {}
    try:
        with open(path) as results:
            lines = results.read().splitlines()
    except OSError:
        return figures
    columns = None
    for line in lines:
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if columns is None:
            if line.startswith("|") and "Figure" in cells and "Measure" in cells:
                columns = cells
            continue
        if not line.startswith("|"):
            break
        if len(cells) == len(columns) and not cells[0].startswith("---"):
            row = dict(zip(columns, cells))
            figures[(row[""], row["Measure"])] = row["Figure"]
    return figures


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    return (f"{model}, {os.cpu_count()} logical cores; {platform.system()} {platform.release()}; "
            f"Python {platform.python_version()} ({sys.implementation.name}); "
            f"load average at start {load:.1f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("ASI_BUILD_DIR", "build"))
    parser.add_argument("--quick", action="store_true", help="fewer repeats, no callgrind")
    parser.add_argument("--results", default=os.path.join(HERE, "results.md"))
    parser.add_argument("--only", nargs="*", choices=["a", "b", "c", "d", "e", "f", "g", "h", "i"],
                        help="run these sections only (results.md is not written)")
    options = parser.parse_args()
    build_dir = os.path.join(REPO, options.build) if not os.path.isabs(options.build) else options.build

    repeats = 3 if options.quick else 9
    started = time.perf_counter()
    about = machine()
    floor_dir, frames_program = build_helpers(build_dir)
    sys.path.insert(0, floor_dir)

    sections = {
        "a": lambda: section_calls(floor_dir, 3 if options.quick else 15,
                                   0 if options.quick else 2000),
        "b": lambda: section_frames(frames_program, repeats),
        "c": lambda: section_share(3 if options.quick else 9),
        "d": lambda: section_import(5 if options.quick else 21),
        "e": lambda: section_fps(frames_program, 1 if options.quick else 3,
                                 1.0 if options.quick else 2.0),
        "f": lambda: section_layer_video(3 if options.quick else 15),
        "g": lambda: section_layer_controls(3 if options.quick else 15),
        "h": lambda: section_sky(build_dir, 3 if options.quick else 7),
        "i": lambda: simulator.section(1 if options.quick else 3, 1.0 if options.quick else 2.0),
    }
    rows = []
    for name, run in sections.items():
        if not options.only or name in options.only:
            rows += run()

    table = format_table(rows, previous_figures(options.results))
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    print(table)
    print(f"\n{about}; {when}; {time.perf_counter() - started:.0f} s")
    if options.quick or options.only:
        return
    with open(options.results, "w") as results:
        results.write(f"# Benchmark results\n\n"
                      f"Measured {when} by `make bench` on {about}.\n\n"
                      f"{table}\n\n{METHOD}")


METHOD = """\
How to read it: every figure is a ratio of two measurements from this same run, but for
section (e), whose goal is a rate (frames per second), and (g), whose goal is a time (µs).
Times are medians of interleaved repeats (each repeat measures every contender once, in
turn). "Before" is the figure of the run this file held until this one, where it has one.

- (a) CPU time of the calling thread per call, loop included, for the module's function,
  its ctypes equivalent (bench/ctypes_binding.py: argtypes set, out-values through byref,
  the status checked through a dict of exception classes, the same result and the same
  exception), `operator.is_(a, b)`, and, where there is one, a minimal METH_FASTCALL
  function making the same SDK call from plain int arguments (bench/floor.c): what is
  left of a call once the binding does next to nothing, so ctypes ÷ that twin is the
  most any binding could show. An enumeration member costs ctypes its `member.value`,
  two Python frames; asi reads a standard member's `_value_` itself. Instructions per
  call under callgrind are (2N calls − N calls) ÷ N, so interpreter start-up cancels
  out; they do not drift with the machine's load.
- (b) CPU time per frame, as bandwidth, against bench/frames.c (gcc -O2) doing the
  documented work per frame through the same substitute SDK in fast-frames mode:
  allocate, zero, the SDK's copy, and for get_data_after_exp one more copy into a new
  buffer, the `bytes` it returns. The module makes that `bytes` object first and lets the
  SDK fill it, which nobody can tell apart, so it may beat the program there.
- (c) Thread CPU time of a pure-Python loop per wall-clock second while another thread
  calls the named function in a loop on a video camera whose frame never comes (5 ms
  timeouts), divided by the same loop's share alone.
- (d) CPU time of the import statement in fresh processes: `asi` against `enum, typing`,
  which it imports, and alone; the camera layer (which imports numpy, timed alone
  beside it) and the simulator's control module, each with asi.
- (e) The simulator in real time (not fast frames) at its shortest exposure and full
  bandwidth, read through `get_video_data` and by a C program (bench/frames.c live).
  Then fast frames of camera 0 through `get_video_data`: with fresh noise every frame
  costs the simulated sensor's noise pass and format conversion; with the noise kept it
  is a copy of one rendered frame (the mode (b) and bench/frames.c measure in).
- (f) CPU time per frame of one running fast-frames video stream, read in turn as numpy
  frames through `for frame in cam.video(...)` and by bare `get_video_data` loops, one
  keeping each frame until the next (as `for frame in video` does), one dropping it at
  once; shown as the ratio of the frame rates.
- (g) CPU time per read of `cam.controls["Gain"].value`, the whole expression as a user
  writes it, beside `asi.get_control_value` alone.
- (h) The sky file (build/lib/asisim-sky.bin): in fresh processes, the first frame (64×64)
  that loads it against a later one that finds it loaded, and the growth of the peak
  resident size over that first frame; then the first full RAW16 frame of camera 0 after
  a reset (its field made and drawn) with the real sky against the seeded sky.
- (i) The simulator with every effect on (bench/simulator.py's docstring says how).
"""


if __name__ == "__main__":
    main()
