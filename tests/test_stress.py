"""Several Python threads on two cameras at once: video readers waiting for frames (the one
wait that runs without the interpreter lock), controllers that stop, restart and close
the capture under them, and a thread that calls every module function with valid
arguments, and cameras unplugged and plugged back under all of them. Nothing may crash,
hang, or fail in any other way than with an SDK status.

Bounded: ASI_STRESS_SECONDS (default 3) of work per test. A hang is reported with every
thread's stack by faulthandler and ends the process rather than the run waiting forever.
`make check-stress` runs the same tests for longer."""

import faulthandler
import os
import random
import sys
import threading
import time

import pytest

import asi
from functions import FUNCTIONS
from halvarine.corvantis import sim
from halvarine.corvantis.camera import Camera, Roi
from reliability.cases import valid_args

# Millions of calls a minute: a journal of them would fill the memory.
pytestmark = pytest.mark.unjournaled

SECONDS = float(os.environ.get("ASI_STRESS_SECONDS", "3"))
# Far beyond any wait here: only a deadlock or a lost wake-up comes near it.
HANG = 60 + 2 * SECONDS
CAMERAS = (0, 2)
RECORDED = 1  # the camera the layer above asi records from
WIDTH, HEIGHT = 64, 8
FRAME = WIDTH * HEIGHT


@pytest.fixture
def watchdog():
    # The real stderr: under output capture sys.stderr may have no file descriptor.
    faulthandler.dump_traceback_later(HANG, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


def prepare(camera, exposure_us=2000):
    asi.open_camera(camera)
    asi.init_camera(camera)
    asi.set_roi_format(camera, WIDTH, HEIGHT, 1, asi.ImgType.IMG_RAW8)
    asi.set_control_value(camera, asi.ControlType.ASI_EXPOSURE, exposure_us, False)


class Crew:
    """Threads that repeat one task until the time is up, and each at least once however
    slowly the process runs (under valgrind, say), keeping anything that went wrong other
    than an SDK status."""

    def __init__(self, seconds):
        self.deadline = time.monotonic() + seconds
        self.threads, self.errors = [], []
        self.lock = threading.Lock()

    def add(self, name, task):
        def run():
            count = 0
            rng = random.Random(name)
            try:
                while count == 0 or time.monotonic() < self.deadline:
                    try:
                        task(rng)
                    except asi.ASIError:
                        pass
                    count += 1
            except BaseException as error:   # kept for the assertion below
                with self.lock:
                    self.errors.append((name, error))
        self.threads.append(threading.Thread(target=run, name=name, daemon=True))

    def run(self):
        for thread in self.threads:
            thread.start()
        for thread in self.threads:
            thread.join(HANG)
        hung = [t.name for t in self.threads if t.is_alive()]
        assert not hung, f"threads still running: {hung}"
        assert not self.errors, self.errors


def read_frame(camera, wait_ms):
    frame = asi.get_video_data(camera, FRAME, wait_ms)
    assert type(frame) is bytearray and len(frame) == FRAME


def call_anything(rng):
    """One module function with valid arguments, on either camera."""
    function = rng.choice(FUNCTIONS)
    args = valid_args(function)
    if args and function.params[0].name in ("camera_id", "i_camera_id"):
        args[0] = rng.choice(CAMERAS)
    if function.name in ("get_data_after_exp", "get_data_after_exp_gps",
                         "get_video_data_gps"):
        args[1] = FRAME
    if function.name == "get_video_data":
        args[1:] = [FRAME, rng.choice([0, 5, 50])]
    if function.name == "close_camera":
        return   # the controllers close; this thread would only starve the readers
    getattr(asi, function.name)(*args)


def test_threads_share_two_cameras_while_video_runs(watchdog):
    for camera in CAMERAS:
        prepare(camera)
        asi.start_video_capture(camera)
    crew = Crew(SECONDS)
    for camera in CAMERAS:
        for reader in range(2):
            crew.add(f"reader-{camera}-{reader}",
                     lambda rng, camera=camera: read_frame(camera, rng.choice([-1, 0, 20, 200])))
        crew.add(f"gps-reader-{camera}",
                 lambda rng, camera=camera: asi.get_video_data_gps(camera, FRAME, 10))

        def control(rng, camera=camera):
            action = rng.randrange(10)
            if action < 6:
                asi.stop_video_capture(camera)
                asi.start_video_capture(camera)
            elif action < 8:
                asi.set_control_value(camera, asi.ControlType.ASI_EXPOSURE,
                                      rng.choice([500, 2000, 20000]), False)
                asi.get_dropped_frames(camera)
            else:
                asi.close_camera(camera)
                prepare(camera, rng.choice([500, 2000]))
                asi.start_video_capture(camera)
        crew.add(f"controller-{camera}", control)
    for index in range(2):
        crew.add(f"caller-{index}", call_anything)
    crew.run()
    for camera in CAMERAS:
        asi.close_camera(camera)


@pytest.mark.parametrize("action", ["stop_video_capture", "close_camera"])
def test_ending_the_capture_wakes_every_waiting_reader(watchdog, action):
    """Readers that wait without a time limit must all come back when the capture ends
    under them; one that never does is a lost wake-up (and trips the watchdog)."""
    deadline = time.monotonic() + SECONDS
    while time.monotonic() < deadline:
        for camera in CAMERAS:
            prepare(camera, exposure_us=10_000_000)   # no frame arrives meanwhile
            asi.start_video_capture(camera)
        outcomes, started = [], threading.Barrier(2 * len(CAMERAS) + 1)

        def wait_forever(camera):
            started.wait()
            try:
                asi.get_video_data(camera, FRAME, -1)
                outcomes.append("frame")
            except asi.ASIError as error:
                outcomes.append(type(error))

        readers = [threading.Thread(target=wait_forever, args=(camera,))
                   for camera in CAMERAS for _ in range(2)]
        for reader in readers:
            reader.start()
        started.wait()
        # Some readers may not be waiting yet: the action must serve them either way.
        for camera in CAMERAS:
            getattr(asi, action)(camera)
        for reader in readers:
            reader.join(HANG)
        assert not any(r.is_alive() for r in readers), "a reader was never woken"
        assert len(outcomes) == len(readers)
        assert all(o in (asi.ASIInvalidSequence, asi.ASICameraClosed) for o in outcomes), outcomes
        for camera in CAMERAS:
            asi.close_camera(camera)


def test_unplugging_races_readers_snaps_recording_and_close(watchdog):
    """Cameras pulled out and plugged back while threads wait for their frames, snap,
    record through the camera layer and close them: every call ends with a status."""
    for camera in CAMERAS:
        prepare(camera)
        asi.start_video_capture(camera)
    crew = Crew(SECONDS)
    for camera in CAMERAS:
        crew.add(f"reader-{camera}",
                 lambda rng, camera=camera: read_frame(camera, rng.choice([-1, 0, 20])))

        def snap(rng, camera=camera):
            asi.stop_video_capture(camera)
            asi.start_exposure(camera, False)
            asi.get_exp_status(camera)
            asi.get_data_after_exp(camera, FRAME)

        def control(rng, camera=camera):
            if rng.randrange(3) == 0:
                asi.close_camera(camera)
            # A camera plugged back is closed: open it again.
            prepare(camera, rng.choice([500, 2000]))
            asi.start_video_capture(camera)

        def unplug(rng, camera=camera):
            sim.unplug(camera)
            time.sleep(rng.random() * 0.01)
            sim.plug(camera)
            time.sleep(rng.random() * 0.01)

        crew.add(f"snapper-{camera}", snap)
        crew.add(f"controller-{camera}", control)
        crew.add(f"unplugger-{camera}", unplug)

    def record(rng):
        # The camera layer's stream ends with the camera; the block leaves nothing open.
        try:
            with Camera(RECORDED) as cam:
                cam.roi = Roi(WIDTH, HEIGHT)
                with cam.video(0.001) as video:
                    for _, _ in zip(video, range(rng.randrange(1, 30))):
                        pass
        except asi.ASIError:
            pass
        except ValueError as error:  # unplugged, the index names no camera
            assert "out of range" in str(error)
        if rng.randrange(2):
            sim.unplug(RECORDED)
            time.sleep(rng.random() * 0.005)
            sim.plug(RECORDED)

    crew.add("recorder", record)
    crew.add("recorder-unplugger", lambda rng: (sim.unplug(RECORDED), time.sleep(0.003),
                                                sim.plug(RECORDED), time.sleep(0.01)))
    crew.run()
    assert asi.get_number_of_connected_cameras() == 3
    for camera in (*CAMERAS, RECORDED):
        asi.close_camera(camera)
