"""Run video for a few seconds and report the frame rate and the frames the camera dropped.

    python3 video.py [SECONDS] [CAMERA_INDEX]    (defaults: 5 s with the first camera)

This is how planetary and lucky imaging capture: the camera exposes continuously, and the
program must fetch each frame before the camera's buffer fills, or the camera drops it.
"""

import sys
import time
from dataclasses import dataclass

import asi
from command_line import add_camera_index, failed, no_camera_at, parser_for, seconds
from halvarine.corvantis.camera import Camera, Roi


@dataclass(frozen=True)
class VideoStats:
    frames: int
    seconds: float
    dropped: int        # frames the camera dropped because they were not fetched in time

    @property
    def fps(self) -> float:
        return self.frames / self.seconds if self.seconds > 0 else 0.0


def at_full_speed(cam: Camera) -> None:
    """All of the USB link for this camera, and the sensor's fast readout where it has one."""
    bandwidth = cam.controls["BandWidth"]
    bandwidth.value = bandwidth.max
    if "HighSpeedMode" in cam.controls:
        cam.controls["HighSpeedMode"].value = 1


def record(cam: Camera, seconds: float, exposure: float) -> VideoStats:
    """Video for `seconds` in the camera's region, at `exposure` seconds a frame."""
    started = time.monotonic()
    with cam.video(exposure) as video:
        for frame in video:
            if time.monotonic() - started >= seconds:
                break
        elapsed = time.monotonic() - started
    return VideoStats(video.count, elapsed, video.dropped)


def main(argv: list[str]) -> int:
    parser = parser_for(__file__, __doc__)
    parser.add_argument("seconds", metavar="SECONDS", type=seconds, nargs="?", default=5.0,
                        help="how long to capture (default: 5)")
    add_camera_index(parser)
    arguments = parser.parse_args(argv)
    if no_camera_at(arguments.index):
        return 1
    try:
        with Camera(arguments.index) as cam:
            cam.roi = Roi(1920, 1080, 1, asi.ImgType.IMG_RAW8)
            at_full_speed(cam)
            stats = record(cam, arguments.seconds, exposure=0.002)
    except asi.ASIError as error:
        return failed(error)
    print(f"1920x1080 RAW8, 2 ms exposures: {stats.frames} frames in {stats.seconds:.1f} s "
          f"= {stats.fps:.1f} fps, {stats.dropped} dropped")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
