"""Run video for a few seconds and report the frame rate and the frames the camera dropped.

    python3 video.py [SECONDS] [CAMERA_INDEX]    (defaults: 5 s on the first camera)

This is how planetary and lucky imaging capture, and how a guide camera can stream: the
camera exposes continuously and the program must fetch each frame before the camera's
buffer fills, or the camera drops frames.
"""

import sys
import time
from dataclasses import dataclass

from tqdm import tqdm

import asi
from session import (argument_parser, camera_at, camera_index, failed, opened,
                     positive_seconds)
from snap import frame_bytes, set_region, to_array


@dataclass(frozen=True)
class VideoStats:
    frames: int
    seconds: float
    dropped: int          # frames the camera dropped because they were not fetched in time
    timeouts: int         # waits that ended without a frame

    @property
    def fps(self) -> float:
        return self.frames / self.seconds if self.seconds > 0 else 0.0


def record(camera_id: int, seconds: float, exposure_us: int, progress: bool = True,
           on_frame=None) -> VideoStats:
    """Capture for `seconds` with the region already set; `on_frame(array)` sees every frame."""
    width, height, _binning, img_type = asi.get_roi_format(camera_id)
    size = frame_bytes(width, height, img_type)
    asi.set_control_value(camera_id, asi.ControlType.ASI_EXPOSURE, exposure_us, False)
    # Each frame needs its exposure plus readout and transfer, and the first one the camera's
    # start-up too: twice the exposure plus a second is ample. A longer silence is counted
    # as a time-out, not an error.
    wait_ms = 2 * exposure_us // 1000 + 1000
    frames = timeouts = 0
    asi.start_video_capture(camera_id)
    try:
        started = time.monotonic()
        # disable=None: no bar when the output is not a terminal (a log file).
        with tqdm(desc="video", unit=" frames", disable=None if progress else True) as bar:
            while (elapsed := time.monotonic() - started) < seconds:
                try:
                    data = asi.get_video_data(camera_id, size, wait_ms)
                except asi.ASITimeout:
                    timeouts += 1
                    continue
                frames += 1
                if on_frame is not None:
                    on_frame(to_array(data, width, height, img_type))
                bar.update()
            elapsed = time.monotonic() - started
        # Read before stopping: the count belongs to this capture.
        dropped = asi.get_dropped_frames(camera_id)
    finally:
        asi.stop_video_capture(camera_id)
    return VideoStats(frames, elapsed, dropped, timeouts)


def main(argv: list[str]) -> int:
    parser = argument_parser(__file__, __doc__)
    parser.add_argument("seconds", metavar="SECONDS", type=positive_seconds, nargs="?",
                        default=5.0, help="how long to capture (default: 5)")
    parser.add_argument("index", metavar="CAMERA_INDEX", type=camera_index, nargs="?",
                        default=0, help="the camera to use (default: 0, the first)")
    arguments = parser.parse_args(argv)
    camera_id = camera_at(arguments.index)
    if camera_id is None:
        return 1
    try:
        with opened(camera_id):
            width, height = set_region(camera_id, 1920, 1080, 1, asi.ImgType.IMG_RAW8)
            stats = record(camera_id, arguments.seconds, exposure_us=10_000)
    except asi.ASIError as error:
        return failed(camera_id, error)
    print(f"{width}x{height} RAW8: {stats.frames} frames in {stats.seconds:.1f} s = "
          f"{stats.fps:.1f} fps, {stats.dropped} dropped, {stats.timeouts} time-outs")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
