"""Take one exposure of the whole sensor and save it as FITS and as a stretched PNG.

    python3 snap.py [SECONDS] [CAMERA_INDEX]    (defaults: 3 s with the first camera)

The FITS file carries the keywords stacking programs sort and calibrate by (EXPTIME,
DATE-OBS, IMAGETYP, GAIN, CCD-TEMP, BAYERPAT...); the PNG is for looking at.
"""

import sys
from pathlib import Path

import numpy as np

import asi
from command_line import add_camera_index, failed, no_camera_at, parser_for, seconds
from halvarine.corvantis.camera import Camera, Frame


def snap_whole_sensor(cam: Camera, exposure: float) -> Frame:
    # Binning 2 suits long focal lengths (the stars stay well sampled) and gives a quarter
    # of the data.
    binning = 2 if 2 in cam.info.supported_bins else 1
    cam.roi = cam.full_roi(binning, "RAW16")
    return cam.snap(exposure)


def save(frame: Frame, stem: Path) -> tuple[Path, Path]:
    """The frame as STEM.fits and STEM.png."""
    stem.parent.mkdir(parents=True, exist_ok=True)
    return (frame.save(stem.with_suffix(".fits"), overwrite=True),
            frame.save(stem.with_suffix(".png"), overwrite=True))


def describe(frame: Frame) -> str:
    height, width = frame.pixels.shape[:2]
    return (f"{width}x{height} {frame.roi.image_type.name.removeprefix('IMG_')} bin "
            f"{frame.binning}, {frame.exposure:g} s: sky {np.median(frame.pixels):.0f} ADU, "
            f"brightest pixel {frame.pixels.max()} ADU")


def main(argv: list[str]) -> int:
    parser = parser_for(__file__, __doc__)
    parser.add_argument("exposure", metavar="SECONDS", type=seconds, nargs="?", default=3.0,
                        help="exposure time (default: 3)")
    add_camera_index(parser)
    arguments = parser.parse_args(argv)
    if no_camera_at(arguments.index):
        return 1
    try:
        with Camera(arguments.index) as cam:
            frame = snap_whole_sensor(cam, arguments.exposure)
    except asi.ASIError as error:
        return failed(error)
    fits_path, png_path = save(frame, Path("out") / "snap")
    print(describe(frame))
    print(f"saved {fits_path} and {png_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
