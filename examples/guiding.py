"""Closed-loop guiding through the camera's ST4 port: centre a star and keep it there.

    python3 guiding.py [CAMERA_INDEX]    (default: the first camera with an ST4 port)

What an autoguider does, in its simplest form: pick a guide star, calibrate (a test pulse
west and one north show which way and how fast each pulse moves the star on the sensor),
then repeatedly measure the star and send the pulses that move it back to the target.
"""

import sys
import time
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

import asi
from session import argument_parser, camera_index, failed, first_camera_with, opened
from snap import expose, set_region

WEST, EAST = asi.GuideDirection.ASI_GUIDE_WEST, asi.GuideDirection.ASI_GUIDE_EAST
NORTH, SOUTH = asi.GuideDirection.ASI_GUIDE_NORTH, asi.GuideDirection.ASI_GUIDE_SOUTH


class GuidingError(Exception):
    """Guiding cannot go on: no star, or a calibration that makes no sense."""


@dataclass(frozen=True)
class Star:
    x: float            # centroid, pixels from the left edge of the frame
    y: float            # from the top
    snr: float          # peak signal over the sky's noise

    @property
    def position(self) -> np.ndarray:
        return np.array([self.x, self.y])


@dataclass(frozen=True)
class Calibration:
    """Star motion in pixels per second of pulse: the columns are west and north."""

    rates: np.ndarray   # 2x2: [[west x, north x], [west y, north y]]

    def pulses_for(self, offset: np.ndarray) -> np.ndarray:
        """Seconds of west and north pulse that move the star by `offset` pixels (negative
        seconds mean east and south)."""
        return np.linalg.solve(self.rates, offset)


@dataclass(frozen=True)
class GuideStep:
    star: Star
    error: np.ndarray       # star minus target, pixels
    west_s: float           # the pulses sent after this measurement; negative is east
    north_s: float          # negative is south


@dataclass(frozen=True)
class GuideResult:
    calibration: Calibration
    steps: list[GuideStep]
    centred: bool


def median3x3(image: np.ndarray) -> np.ndarray:
    """Median of each pixel's 3x3 neighbourhood (edges shrink by one pixel).

    It removes hot pixels and cosmic-ray hits, which are a single pixel wide, while a star,
    spread over several pixels by the seeing, survives.
    """
    height, width = image.shape
    shifted = [image[dy:height - 2 + dy, dx:width - 2 + dx] for dy in range(3) for dx in range(3)]
    return np.median(np.stack(shifted), axis=0)


def sky_level(image: np.ndarray) -> tuple[float, float]:
    """Sky background and its noise; a sparse sample is enough and much faster."""
    sample = image[::4, ::4].astype(np.float32)
    background = float(np.median(sample))
    # The median absolute deviation ignores the stars; 1.4826 turns it into a sigma.
    noise = 1.4826 * float(np.median(np.abs(sample - background)))
    return background, max(noise, 1.0)


def find_star(image: np.ndarray, near: np.ndarray, radius: float, box: int = 4,
              min_snr: float = 8.0) -> Star | None:
    """The brightest star within `radius` pixels of `near`, centroided, or None."""
    background, noise = sky_level(image)
    height, width = image.shape
    x0, y0 = (int(max(box + 1, v - radius)) for v in near)
    x1 = int(min(width - box - 1, near[0] + radius + 1))
    y1 = int(min(height - box - 1, near[1] + radius + 1))
    if x1 - x0 < 3 or y1 - y0 < 3:
        return None
    # Search the median-filtered window, so a hot pixel is never taken for the star.
    filtered = median3x3(image[y0 - 1:y1 + 1, x0 - 1:x1 + 1].astype(np.float32))
    row, column = np.unravel_index(np.argmax(filtered), filtered.shape)
    snr = (float(filtered[row, column]) - background) / noise
    if snr < min_snr:
        return None
    peak_x, peak_y = int(column) + x0, int(row) + y0
    # Centroid: the intensity-weighted mean position of the pixels clearly above the sky.
    cutout = image[peak_y - box:peak_y + box + 1, peak_x - box:peak_x + box + 1]
    signal = cutout.astype(np.float32) - background
    weights = np.where(signal > 3 * noise, signal, 0)
    ys, xs = np.mgrid[peak_y - box:peak_y + box + 1, peak_x - box:peak_x + box + 1]
    total = weights.sum()
    if total <= 0:
        return None
    return Star(float((weights * xs).sum() / total), float((weights * ys).sum() / total), snr)


def pulse(camera_id: int, direction: asi.GuideDirection, seconds: float) -> None:
    """Move the mount for `seconds` at its guide rate."""
    asi.pulse_guide_on(camera_id, direction)
    try:
        time.sleep(seconds)
    finally:
        # Whatever happens while sleeping (Ctrl-C included), the mount must stop moving.
        asi.pulse_guide_off(camera_id, direction)


def send_pulses(camera_id: int, west_s: float, north_s: float,
                min_pulse_s: float) -> tuple[float, float]:
    """One pulse per axis, one after the other; returns the seconds sent. Pulses too short
    for the mount to act on are skipped."""
    west_s = west_s if abs(west_s) >= min_pulse_s else 0.0
    north_s = north_s if abs(north_s) >= min_pulse_s else 0.0
    if west_s:
        pulse(camera_id, WEST if west_s > 0 else EAST, abs(west_s))
    if north_s:
        pulse(camera_id, NORTH if north_s > 0 else SOUTH, abs(north_s))
    return west_s, north_s


def calibrate(camera_id: int, take: Callable[[], np.ndarray], star: Star, pulse_s: float,
              search_px: float, log: Callable[[str], None] = print) -> tuple[Calibration, Star]:
    """A test pulse west, then north; returns the rates and where the star ended up.

    The mount's guide rate, the camera's orientation and any mirror in the optics all show
    in the two measured motions, so nothing about them needs to be known beforehand.
    """
    columns = []
    for direction in (WEST, NORTH):
        pulse(camera_id, direction, pulse_s)
        moved = find_star(take(), star.position, search_px)
        if moved is None:
            raise GuidingError(f"star lost during the {direction.name} calibration pulse")
        shift = moved.position - star.position
        if np.hypot(*shift) < 1.0:
            raise GuidingError(f"a {pulse_s:g} s {direction.name} pulse moved the star only "
                               f"{np.hypot(*shift):.2f} px: is the ST4 cable connected?")
        columns.append(shift / pulse_s)
        log(f"calibration: {direction.name.removeprefix('ASI_GUIDE_').lower()} moves the "
            f"star ({shift[0] / pulse_s:+.2f}, {shift[1] / pulse_s:+.2f}) px/s")
        star = moved
    rates = np.column_stack(columns)
    west, north = columns
    # The two axes must be far from parallel, or no pulse pair can correct every error.
    sine = abs(west[0] * north[1] - west[1] * north[0]) / (np.hypot(*west) * np.hypot(*north))
    if sine < 0.5:
        raise GuidingError(f"west and north move the star almost the same way "
                           f"({np.degrees(np.arcsin(sine)):.0f} degrees apart)")
    return Calibration(rates), star


def guide(camera_id: int, exposure_s: float = 0.5, target: tuple[float, float] | None = None,
          tolerance_px: float = 0.5, max_steps: int = 12, calibration_pulse_s: float = 2.0,
          max_pulse_s: float = 4.0, min_pulse_s: float = 0.02, aggressiveness: float = 0.8,
          search_px: float = 48, log: Callable[[str], None] = print) -> GuideResult:
    """Bring the guide star to `target` (x, y) and stop once it is within `tolerance_px`.

    Region and gain must be set. The guide star is the brightest one in the frame, away from
    the edges; without a target it is guided back to where it was found (its lock position,
    as autoguiders do), which the calibration pulses have moved it away from. Each step moves
    the star `aggressiveness` of the way, so that noise in one measurement does not make the
    mount overshoot.
    """
    def take() -> np.ndarray:
        return expose(camera_id, exposure_s, progress=False).pixels

    frame = take()
    height, width = frame.shape
    centre = np.array([(width - 1) / 2, (height - 1) / 2])
    # Far enough from the edges that calibration and drift cannot push it out of the frame.
    star = find_star(frame, centre, min(width, height) / 2 - search_px)
    if star is None:
        raise GuidingError("no star bright enough to guide on")
    lock = star.position if target is None else np.array(target, dtype=float)
    log(f"guide star at ({star.x:.1f}, {star.y:.1f}), SNR {star.snr:.0f}"
        + ("" if target is None else f"; target ({lock[0]:.1f}, {lock[1]:.1f})"))
    calibration, star = calibrate(camera_id, take, star, calibration_pulse_s, search_px, log)
    steps: list[GuideStep] = []
    expected = star.position
    for number in range(1, max_steps + 1):
        # The star should be where the last pulses sent it; looking only close to there
        # keeps a brighter neighbour from being taken for it.
        measured = find_star(take(), expected, search_px / 2)
        if measured is None:
            raise GuidingError(f"star lost at step {number}")
        star = measured
        error = star.position - lock
        if np.hypot(*error) <= tolerance_px:
            steps.append(GuideStep(star, error, 0.0, 0.0))
            log(f"step {number:2}: star at ({star.x:7.2f}, {star.y:7.2f}), off by "
                f"({error[0]:+6.2f}, {error[1]:+6.2f}) px: centred")
            return GuideResult(calibration, steps, True)
        wanted = np.clip(aggressiveness * calibration.pulses_for(-error),
                         -max_pulse_s, max_pulse_s)
        log(f"step {number:2}: star at ({star.x:7.2f}, {star.y:7.2f}), off by "
            f"({error[0]:+6.2f}, {error[1]:+6.2f}) px -> "
            f"{'west' if wanted[0] >= 0 else 'east'} {abs(wanted[0]):.2f} s, "
            f"{'north' if wanted[1] >= 0 else 'south'} {abs(wanted[1]):.2f} s")
        west_s, north_s = send_pulses(camera_id, float(wanted[0]), float(wanted[1]),
                                      min_pulse_s)
        steps.append(GuideStep(star, error, west_s, north_s))
        expected = star.position + calibration.rates @ np.array([west_s, north_s])
    return GuideResult(calibration, steps, False)


def main(argv: list[str]) -> int:
    parser = argument_parser(__file__, __doc__)
    parser.add_argument("index", metavar="CAMERA_INDEX", type=camera_index, nargs="?",
                        help="the camera to guide with (default: the first with an ST4 port)")
    index = parser.parse_args(argv).index
    guider = first_camera_with(lambda info: info.st_4_port, "an ST4 guide port", index)
    if guider is None:
        return 1
    camera_id = guider.camera_id
    try:
        with opened(camera_id):
            set_region(camera_id, 99_999, 99_999, 1, asi.ImgType.IMG_RAW16)
            result = guide(camera_id)
    except (asi.ASIError, GuidingError) as error:
        return failed(camera_id, error)
    print("star centred" if result.centred else "star not centred in time")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
