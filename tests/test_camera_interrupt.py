"""Ctrl-C in the middle of every long wait of the camera layer, in a child process: it must
stop within half a second and leave exposure, capture and guide pulse stopped and the
camera closed."""

import json
import signal
import subprocess
import sys
import textwrap
import time

import pytest

CHILD = textwrap.dedent("""
    import json, sys, time
    import asi
    from halvarine.corvantis import sim
    from halvarine.corvantis.camera import Camera, Roi

    scenario = sys.argv[1]
    if scenario == "cooling":
        sim.load_config({"cooling_rate": 0.01})
    with sim.journal() as journal:
        try:
            with Camera(0) as cam:
                cam.roi = Roi(64, 48)
                if scenario == "trigger":
                    cam.mode = asi.CameraMode.ASI_MODE_TRIG_HIGH_LEVEL
                print("ready", flush=True)
                if scenario == "snap":
                    cam.snap(60)
                elif scenario in ("video", "trigger", "buffered video"):
                    buffer = 4 if scenario == "buffered video" else 0
                    with cam.video(0.001, buffer=buffer) as video:
                        for frame in video:
                            pass
                elif scenario == "cooling":
                    cam.cool_to(-30)
                elif scenario == "guide pulse":
                    cam.pulse_guide("north", 60)
                elif scenario == "background guide pulse":
                    cam.pulse_guide("west", 60, wait=False)
                    time.sleep(60)
        except KeyboardInterrupt:
            stopped = time.monotonic()
    print(json.dumps({"stopped": stopped, "calls": journal.functions()}))
""")

SCENARIOS = {
    "snap": ["ASIStopExposure"],
    "video": ["ASIStopVideoCapture"],
    "buffered video": ["ASIStopVideoCapture"],
    "trigger": ["ASIStopVideoCapture"],
    "cooling": [],
    "guide pulse": ["ASIPulseGuideOff"],
    "background guide pulse": ["ASIPulseGuideOff"],
}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_ctrl_c_stops_promptly_and_cleans_up(scenario):
    child = subprocess.Popen([sys.executable, "-c", CHILD, scenario],
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.3)
        interrupted = time.monotonic()
        child.send_signal(signal.SIGINT)
        output, _ = child.communicate(timeout=10)
    finally:
        child.kill()
    assert child.returncode == 0
    report = json.loads(output)
    assert report["stopped"] - interrupted < 0.5
    calls = report["calls"]
    after_start = calls[calls.index("ASISetROIFormat") + 1:]
    for function in SCENARIOS[scenario]:
        assert function in after_start
    assert after_start[-1] == "ASICloseCamera"
