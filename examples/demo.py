"""A short imaging session from start to finish, using the other example programs.

    python3 demo.py [OUTPUT_DIR]     (default: out)

1. list the cameras;
2. cool the first camera and take a long exposure with it, saved as FITS and as a
   stretched PNG;
3. take a short exposure with a colour camera, if there is another one;
4. run video on the guide camera and report the frame rate and dropped frames;
5. calibrate the guide camera's ST4 output and guide a star to its lock position.

Steps are numbered as they run: one without a camera for it is left out.

`make demo` runs it against the simulated cameras; with real cameras it runs unchanged.
"""

import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

import asi
from cooling import cool
from guiding import GuidingError, guide
from list_cameras import describe, find_cameras
from session import argument_parser, opened
from snap import ExposureFailed, Frame, expose, fits_header, save, set_gain, set_region, unity_gain
from video import record

COOLING_TARGET_C = -10
LONG_EXPOSURE_S = 3.0
COLOUR_EXPOSURE_S = 2.0
VIDEO_SECONDS = 3.0

# What a step may fail with and the session survive: the camera's own refusals and the
# examples' errors. Anything else is a bug and stops the demo with a traceback.
STEP_ERRORS = (asi.ASIError, ExposureFailed, GuidingError, TimeoutError)


def run_step(title: str, step: Callable[[], None]) -> bool:
    print(f"\n== {title}")
    started = time.monotonic()
    try:
        step()
    except STEP_ERRORS as error:
        print(f"   failed: {type(error).__name__}: {error}")
        return False
    print(f"   ({time.monotonic() - started:.1f} s)")
    return True


def report_frame(frame: Frame, fits_path: Path, png_path: Path) -> None:
    height, width = frame.pixels.shape[:2]
    header = fits_header(frame)
    print(f"   {width}x{height} {frame.img_type.name.removeprefix('IMG_')}, "
          f"bin {frame.binning}: sky "
          f"{np.median(frame.pixels):.0f} ADU, brightest pixel {frame.pixels.max()} ADU")
    print("   " + "  ".join(f"{key}={header[key]}" for key in
                             ("EXPTIME", "GAIN", "CCD-TEMP", "SET-TEMP", "BAYERPAT", "DATE-OBS")
                             if key in header))
    print(f"   saved {fits_path} and {png_path}")


def exposure_session(info: asi.CameraInfo, out: Path, name: str, exposure_s: float,
                     cool_to: int | None = None) -> None:
    """Cool (on request), then one exposure of the whole sensor at unity gain, saved."""
    with opened(info.camera_id) as camera_id:
        if cool_to is not None and info.is_cooler_cam:
            result = cool(camera_id, cool_to)
            state = "settled" if result.settled else "not settled yet, going on"
            print(f"   sensor at {result.temperature_c:+.1f} °C ({state}), "
                  f"cooler at {result.cooler_power}%")
        elif cool_to is not None:
            print("   no cooler: the sensor runs at ambient temperature")
        # Binning 2 suits long focal lengths (the stars stay well sampled) and gives a
        # quarter of the data.
        binning = 2 if 2 in info.supported_bins else 1
        set_region(camera_id, info.max_width, info.max_height, binning, asi.ImgType.IMG_RAW16)
        set_gain(camera_id, *unity_gain(camera_id))
        frame = expose(camera_id, exposure_s)
        report_frame(frame, *save(frame, out / name))


def video_run(info: asi.CameraInfo) -> None:
    with opened(info.camera_id) as camera_id:
        width, height = set_region(camera_id, 1920, 1080, 1, asi.ImgType.IMG_RAW8)
        stats = record(camera_id, VIDEO_SECONDS, exposure_us=10_000)
        print(f"   {width}x{height} RAW8, 10 ms exposures: {stats.frames} frames in "
              f"{stats.seconds:.1f} s = {stats.fps:.1f} fps; {stats.dropped} dropped, "
              f"{stats.timeouts} time-outs")


def guiding_run(info: asi.CameraInfo) -> None:
    with opened(info.camera_id) as camera_id:
        set_region(camera_id, info.max_width, info.max_height, 1, asi.ImgType.IMG_RAW16)
        result = guide(camera_id, log=lambda line: print("   " + line))
        outcome = "centred" if result.centred else "not centred within the step limit"
        print(f"   {outcome} after {len(result.steps)} step(s), "
              f"{np.hypot(*result.steps[-1].error):.2f} px from the lock position")


def main(argv: list[str]) -> int:
    parser = argument_parser(__file__, __doc__)
    parser.add_argument("out", metavar="OUTPUT_DIR", type=Path, nargs="?", default=Path("out"),
                        help="where the pictures are saved (default: out)")
    out = parser.parse_args(argv).out
    out.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()

    print(f"== 1. Cameras (SDK {asi.get_sdk_version()})")
    cameras = find_cameras()
    for info in cameras:
        print(describe(info))
    if not cameras:
        print("no camera connected")
        return 1
    main_camera = cameras[0]
    # A guide camera is usually an uncooled one with an ST4 port; the main camera will do.
    st4 = [info for info in cameras if info.st_4_port]
    guide_camera = next((info for info in st4 if not info.is_cooler_cam), st4[0] if st4 else None)
    busy = {main_camera.camera_id} | ({guide_camera.camera_id} if guide_camera else set())
    colour = next((info for info in cameras
                   if info.is_color_camera and info.camera_id not in busy), None)

    steps: list[tuple[str, Callable[[], None]]] = [
        (f"Cooling and a {LONG_EXPOSURE_S:g} s exposure: {main_camera.name}",
         lambda: exposure_session(main_camera, out, "long-exposure", LONG_EXPOSURE_S,
                                  cool_to=COOLING_TARGET_C))]
    if colour is not None:
        # A raw colour frame: its FITS header carries the Bayer pattern (and the GPS time
        # and place on a GPS camera); its PNG is debayered.
        steps.append((f"A {COLOUR_EXPOSURE_S:g} s colour exposure: {colour.name}",
                      lambda: exposure_session(colour, out, "colour", COLOUR_EXPOSURE_S)))
    video_camera = guide_camera or main_camera
    steps.append((f"{VIDEO_SECONDS:g} s of video: {video_camera.name}",
                  lambda: video_run(video_camera)))
    if guide_camera is not None:
        steps.append((f"Guiding: {guide_camera.name}", lambda: guiding_run(guide_camera)))
    # The listing was step 1.
    results = [True] + [run_step(f"{number}. {title}", step)
                        for number, (title, step) in enumerate(steps, start=2)]
    if guide_camera is None:
        print("\n== Guiding: no camera with an ST4 port, skipped")

    failed = results.count(False)
    print(f"\n{len(results) - failed} of {len(results)} steps done in "
          f"{time.monotonic() - started:.0f} s; files in {out}/")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
