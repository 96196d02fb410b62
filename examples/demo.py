"""A short imaging session from start to finish, made of the other example programs.

    python3 demo.py [OUTPUT_DIR]     (default: out)

1. list the cameras;
2. cool the first camera and take a long exposure with it, saved as FITS and as a
   stretched PNG;
3. plate-solve the long exposure with astrometry.net's solve-field, where it is installed,
   and print the solution beside the pointing given with --pointing;
4. take a short exposure with a colour camera, if there is another one;
5. run video on a USB3 camera at 1920x1080 and report the frame rate;
6. calibrate a camera's ST4 guide output and guide a star back to its lock position.

Steps are numbered as they run: one without a camera for it is left out.

`make demo` runs it against the simulated cameras; with real cameras it runs unchanged.
"""

import shutil
import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

import asi
from command_line import parser_for
from guiding import GuidingError, guide
import solve
from halvarine.corvantis.camera import Camera, CameraError, Frame, Roi, Wcs, list_cameras
from list_cameras import describe
from snap import describe as describe_frame
from snap import save, snap_whole_sensor
from video import at_full_speed, record

COOLING_TARGET_C = -10
COOLING_SETTLE_S = 2.0
LONG_EXPOSURE_S = 3.0
COLOUR_EXPOSURE_S = 2.0
VIDEO_SECONDS = 3.0
VIDEO_EXPOSURE_S = 0.002

# What a step may fail with and the session go on: the camera's refusals and the layer's
# and the examples' errors. Anything else is a bug and stops the demo with a traceback.
STEP_ERRORS = (asi.ASIError, CameraError, GuidingError)


def run_step(title: str, step: Callable[[], None]) -> bool:
    print(f"\n== {title}")
    started = time.monotonic()
    try:
        step()
    except STEP_ERRORS as error:
        print(f"   failed: {type(error).__name__}: {error}")
        for note in getattr(error, "__notes__", []):
            print(f"   {note}")
        return False
    print(f"   ({time.monotonic() - started:.1f} s)")
    return True


def report(frame: Frame, files: tuple[Path, Path]) -> None:
    header = frame.fits_header()
    print(f"   {describe_frame(frame)}")
    print("   " + "  ".join(f"{key}={header[key]}" for key in
                             ("EXPTIME", "GAIN", "CCD-TEMP", "SET-TEMP", "BAYERPAT", "DATE-OBS")
                             if key in header))
    print(f"   saved {files[0]} and {files[1]}")


# Where the telescope points, as the user knows it: J2000 degrees and the rotation of the
# frame's up from north towards east; and the telescope's focal length, millimetres.
Pointing = tuple[float, float, float]


def known_wcs(cam: Camera, frame: Frame, pointing: Pointing, focal_length: float) -> Wcs:
    """The WCS of a frame centred on the pointing."""
    height, width = frame.pixels.shape[:2]
    scale = cam.info.pixel_size * frame.binning / focal_length * 206.264806 / 3600
    return Wcs.pointing(*pointing, scale, (width - 1) / 2, (height - 1) / 2)


def exposure(index: int, out: Path, name: str, seconds: float, cool: bool = False,
             pointing: Pointing | None = None, focal_length: float | None = None) -> None:
    """Cool (on request, where there is a cooler), then one exposure of the whole sensor,
    carrying the WCS of the pointing where the user gave it."""
    with Camera(index) as cam:
        if cool and cam.info.is_cooler_cam:
            temperature = cam.cool_to(COOLING_TARGET_C, timeout=60,
                                      settle=COOLING_SETTLE_S)
            print(f"   sensor settled at {temperature:+.1f} °C, cooler at "
                  f"{cam.controls['CoolPowerPerc'].value}%")
        elif cool:
            print("   no cooler: the sensor runs at ambient temperature")
        frame = snap_whole_sensor(cam, seconds)
        if pointing is not None and focal_length is not None:
            frame = frame.with_wcs(known_wcs(cam, frame, pointing, focal_length))
        report(frame, save(frame, out / name))


def plate_solve(fits_file: Path) -> None:
    """solve-field on the frame; the pointing it was saved with, if any, beside it."""
    print("   " + "\n   ".join(solve.solution_lines(fits_file)))


def video(index: int) -> None:
    with Camera(index) as cam:
        cam.roi = Roi(1920, 1080, 1, asi.ImgType.IMG_RAW8)
        at_full_speed(cam)
        stats = record(cam, VIDEO_SECONDS, VIDEO_EXPOSURE_S)
    print(f"   1920x1080 RAW8, {VIDEO_EXPOSURE_S * 1000:g} ms exposures: {stats.frames} frames "
          f"in {stats.seconds:.1f} s = {stats.fps:.1f} fps, {stats.dropped} dropped")


def guiding(index: int) -> None:
    with Camera(index) as cam:
        cam.roi = cam.full_roi(1, "RAW16")
        result = guide(cam, exposure=0.3, calibration_pulse_s=0.5, max_pulse_s=2.0,
                       log=lambda line: print("   " + line))
    outcome = "centred" if result.centred else "not centred within the step limit"
    print(f"   {outcome} after {len(result.steps)} step(s), "
          f"{np.hypot(*result.steps[-1].error):.2f} px from the lock position")


def main(argv: list[str]) -> int:
    parser = parser_for(__file__, __doc__)
    parser.add_argument("out", metavar="OUTPUT_DIR", type=Path, nargs="?", default=Path("out"),
                        help="where the pictures are saved (default: out)")
    parser.add_argument("--pointing", metavar=("RA", "DEC", "ROTATION"), type=float, nargs=3,
                        help="where the telescope points (J2000 degrees, and the rotation of "
                             "the frame's up from north towards east), if you know it")
    parser.add_argument("--focal-length", metavar="MM", type=float,
                        help="the telescope's focal length, for the pointing's pixel scale")
    arguments = parser.parse_args(argv)
    if (arguments.pointing is None) != (arguments.focal_length is None):
        parser.error("--pointing and --focal-length go together")
    out = arguments.out
    out.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()

    print(f"== 1. Cameras (SDK {asi.get_sdk_version()})")
    cameras = list_cameras()
    for index, info in enumerate(cameras):
        print(describe(index, info))
    if not cameras:
        print("no camera connected")
        return 1

    def first(wanted: Callable[[asi.CameraInfo], bool]) -> int | None:
        return next((i for i, info in enumerate(cameras) if wanted(info)), None)

    # A guide camera is usually an uncooled one with an ST4 port; any with a port will do.
    guider = first(lambda info: info.st_4_port and not info.is_cooler_cam)
    guider = first(lambda info: info.st_4_port) if guider is None else guider
    colour = first(lambda info: info.is_color_camera and cameras.index(info) not in (0, guider))
    fast = first(lambda info: info.is_usb3_camera)
    fast = 0 if fast is None else fast

    steps: list[tuple[str, Callable[[], None]]] = [
        (f"Cooling and a {LONG_EXPOSURE_S:g} s exposure: {cameras[0].name}",
         lambda: exposure(0, out, "long-exposure", LONG_EXPOSURE_S, cool=True,
                          pointing=arguments.pointing, focal_length=arguments.focal_length))]
    if shutil.which("solve-field") is not None:
        steps.append(("Plate solving the long exposure",
                      lambda: plate_solve(out / "long-exposure.fits")))
    if colour is not None:
        # A raw colour frame: its FITS header carries the Bayer pattern (and the GPS time
        # and place on a GPS camera); its PNG is debayered.
        steps.append((f"A {COLOUR_EXPOSURE_S:g} s colour exposure: {cameras[colour].name}",
                      lambda: exposure(colour, out, "colour", COLOUR_EXPOSURE_S)))
    steps.append((f"{VIDEO_SECONDS:g} s of video: {cameras[fast].name}", lambda: video(fast)))
    if guider is not None:
        steps.append((f"Guiding: {cameras[guider].name}", lambda: guiding(guider)))
    # The listing was step 1.
    results = [True] + [run_step(f"{number}. {title}", step)
                        for number, (title, step) in enumerate(steps, start=2)]
    if guider is None:
        print("\n== Guiding: no camera with an ST4 port, skipped")

    failed = results.count(False)
    print(f"\n{len(results) - failed} of {len(results)} steps done in "
          f"{time.monotonic() - started:.0f} s; files in {out}/")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
