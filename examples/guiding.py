"""Closed-loop guiding through the camera's ST4 port: calibrate, then bring a star back to
where it was found and hold it there.

    python3 guiding.py [CAMERA_INDEX]    (default: the first camera with an ST4 port)

What an autoguider does, in its simplest form. Calibration learns, for each axis of the
mount, which way and how fast a pulse moves the star on the sensor: a vector, since the
camera may sit at any angle to the sky (and the optics may mirror it), and RA moves are
slower away from the celestial equator. Declination gears have backlash: after a reversal
the first part of a pulse only takes up the slack, so the slack is taken up before that
axis is calibrated, measured, and made up for whenever guiding reverses the axis.
"""

import math
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

import asi
from command_line import add_camera_index, failed, parser_for
from halvarine.corvantis.camera import Camera, list_cameras


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


def median3x3(image: np.ndarray) -> np.ndarray:
    """Median of each pixel's 3x3 neighbourhood (edges shrink by one pixel).

    It removes hot pixels and cosmic-ray hits, which are a single pixel wide, while a star,
    spread over several pixels by the seeing, survives.
    """
    height, width = image.shape
    shifted = [image[dy:height - 2 + dy, dx:width - 2 + dx] for dy in range(3) for dx in range(3)]
    filtered: np.ndarray = np.median(np.stack(shifted), axis=0)
    return filtered


def sky_level(image: np.ndarray) -> tuple[float, float]:
    """Sky background and its noise; a sparse sample is enough and much faster."""
    sample = image[::4, ::4].astype(np.float32)
    background = float(np.median(sample))
    # The median absolute deviation ignores the stars; 1.4826 turns it into a sigma.
    noise = 1.4826 * float(np.median(np.abs(sample - background)))
    return background, max(noise, 1.0)


def local_peaks(image: np.ndarray, floor: float) -> np.ndarray:
    """(row, column) of every pixel at or above `floor` that no neighbour outshines."""
    height, width = image.shape
    padded = np.pad(image, 1, constant_values=-np.inf)
    neighbours = np.stack([padded[dy:dy + height, dx:dx + width]
                           for dy in range(3) for dx in range(3)])
    return np.argwhere((image >= neighbours.max(axis=0)) & (image >= floor))


def near_saturation(image: np.ndarray) -> float:
    """The level above which a pixel may have lost light: nine tenths of the range."""
    return 0.9 * float(np.iinfo(image.dtype).max)


def find_star(image: np.ndarray, near: np.ndarray, radius: float, box: int = 4,
              min_snr: float = 8.0, saturation: float | None = None,
              nearest: bool = False) -> Star | None:
    """The brightest star within `radius` pixels of `near` (or, with `nearest`, the one
    closest to it), centroided, or None. Stars with a pixel at `saturation` or above are
    passed over: their light is cut off, so their centroid is not to be trusted."""
    background, noise = sky_level(image)
    height, width = image.shape
    x0, y0 = (int(max(box + 1, v - radius)) for v in near)
    x1 = int(min(width - box - 1, near[0] + radius + 1))
    y1 = int(min(height - box - 1, near[1] + radius + 1))
    if x1 - x0 < 3 or y1 - y0 < 3:
        return None
    # Search the median-filtered window, so a hot pixel is never taken for the star.
    filtered = median3x3(image[y0 - 1:y1 + 1, x0 - 1:x1 + 1].astype(np.float32))
    if saturation is not None:
        # Blank everything a centroid box around a saturated pixel would reach.
        reach = 2 * box + 1
        for row, column in np.argwhere(image[y0:y1, x0:x1] >= saturation):
            filtered[max(0, row - reach):row + reach + 1,
                     max(0, column - reach):column + reach + 1] = -np.inf
    if nearest:
        # Following a star, a brighter neighbour must not take its place.
        peaks = local_peaks(filtered, background + min_snr * noise)
        if len(peaks) == 0:
            return None
        offsets = peaks + [y0, x0] - near[::-1]
        row, column = peaks[np.argmin(np.hypot(offsets[:, 0], offsets[:, 1]))]
    else:
        row, column = np.unravel_index(np.argmax(filtered), filtered.shape)
    snr = (float(filtered[row, column]) - background) / noise
    if snr < min_snr:
        return None
    x, y = float(int(column) + x0), float(int(row) + y0)
    # Centroid: the intensity-weighted mean position of the pixels clearly above the sky,
    # in a box centred again on each result: the peak of a saturated star may be anywhere
    # on its flat top, its centroid is not.
    for _ in range(3):
        cx = int(np.clip(round(x), box, width - box - 1))
        cy = int(np.clip(round(y), box, height - box - 1))
        cutout = image[cy - box:cy + box + 1, cx - box:cx + box + 1]
        signal = cutout.astype(np.float32) - background
        weights = np.where(signal > 3 * noise, signal, 0)
        ys, xs = np.mgrid[cy - box:cy + box + 1, cx - box:cx + box + 1]
        total = weights.sum()
        if total <= 0:
            return None
        x, y = float((weights * xs).sum() / total), float((weights * ys).sum() / total)
    return Star(x, y, snr)


@dataclass(frozen=True)
class Calibration:
    west: np.ndarray        # star motion on the sensor, pixels per second of west pulse
    north: np.ndarray       # the same for north
    backlash_s: float       # seconds of declination pulse a reversal loses to the slack

    @property
    def angle(self) -> float:
        """Degrees from the sensor's +x axis to the way a west pulse moves the star
        (towards +y positive): 180 for a camera square to the sky with north up."""
        return math.degrees(math.atan2(self.west[1], self.west[0])) % 360

    def pulses_for(self, offset: np.ndarray) -> np.ndarray:
        """Seconds of west and north pulse that move the star by `offset` pixels (negative
        seconds mean east and south)."""
        return np.linalg.solve(np.column_stack([self.west, self.north]), offset)


@dataclass(frozen=True)
class GuideStep:
    star: Star
    error: np.ndarray       # star minus lock position, pixels
    west_s: float           # the pulses sent after this measurement; negative is east
    north_s: float          # negative is south; backlash make-up included


@dataclass(frozen=True)
class GuideResult:
    calibration: Calibration
    steps: list[GuideStep]
    centred: bool


class Guider:
    """A camera guiding a mount: it measures the guide star and pulses both axes at once."""

    def __init__(self, cam: Camera, exposure: float, search_px: float, settle_s: float,
                 log: Callable[[str], None]) -> None:
        self.cam, self.exposure, self.search_px, self.log = cam, exposure, search_px, log
        self.settle_s = settle_s

    def measure(self, near: np.ndarray, what: str) -> Star:
        image = self.cam.snap(self.exposure).pixels
        star = find_star(image, near, self.search_px, saturation=near_saturation(image),
                         nearest=True)
        if star is None:
            raise GuidingError(f"star lost {what}")
        return star

    def pulse(self, west_s: float, north_s: float) -> None:
        ra = None
        if west_s:
            ra = self.cam.pulse_guide("west" if west_s > 0 else "east", abs(west_s), wait=False)
        if north_s:
            self.cam.pulse_guide("north" if north_s > 0 else "south", abs(north_s))
        if ra is not None:
            ra.wait()
        # A mount acts on a pulse a moment late: the next frame waits until it has.
        time.sleep(self.settle_s)

    def axis_rate(self, star: Star, axis: str, pulse_s: float,
                  steps: int) -> tuple[np.ndarray, Star]:
        """Star motion in pixels per second of `axis` ("west" or "north") pulse: the slope
        of its positions over `steps` equal pulses, so that a delay before the mount moves
        does not count."""
        seconds, positions = [0.0], [star.position]
        for step in range(1, steps + 1):
            self.pulse(pulse_s if axis == "west" else 0.0, pulse_s if axis == "north" else 0.0)
            star = self.measure(star.position, f"during the {axis} calibration")
            seconds.append(step * pulse_s)
            positions.append(star.position)
        return np.polyfit(seconds, np.array(positions), 1)[0], star

    def take_up_backlash(self, star: Star, pulse_s: float,
                         limit: int = 10) -> tuple[float, np.ndarray, Star]:
        """North pulses until the star moves: the seconds sent, how far it moved, the star."""
        start = star.position
        for count in range(1, limit + 1):
            self.pulse(0.0, pulse_s)
            star = self.measure(star.position, "while taking up the declination backlash")
            if np.hypot(*(star.position - start)) >= 1.0:
                return count * pulse_s, star.position - start, star
        raise GuidingError(f"{limit} north pulses of {pulse_s:g} s did not move the star: "
                           f"is the ST4 cable connected?")

    def calibrate(self, star: Star, pulse_s: float, steps: int) -> tuple[Calibration, Star]:
        west, star = self.axis_rate(star, "west", pulse_s, steps)
        moved = np.hypot(*west) * pulse_s * steps
        if moved < 1.0:
            raise GuidingError(f"{steps} west pulses of {pulse_s:g} s moved the star only "
                               f"{moved:.2f} px: is the ST4 cable connected?")
        sent_s, shift, star = self.take_up_backlash(star, pulse_s)
        north, star = self.axis_rate(star, "north", pulse_s, steps)
        # The part of the clearing pulses that did not move the star along north.
        speed = np.hypot(*north)
        backlash_s = max(0.0, sent_s - float(shift @ north) / speed**2)
        # The axes must be far from parallel, or no pair of pulses corrects every error.
        sine = abs(west[0] * north[1] - west[1] * north[0]) / (np.hypot(*west) * speed)
        if sine < 0.5:
            raise GuidingError(f"west and north move the star almost the same way "
                               f"({math.degrees(math.asin(sine)):.0f} degrees apart)")
        calibration = Calibration(west, north, backlash_s)
        self.log(f"calibration: RA axis at {calibration.angle:.1f}° on the sensor; west "
                 f"{np.hypot(*west):.2f} px/s, north {speed:.2f} px/s, "
                 f"declination backlash {backlash_s:.2f} s")
        return calibration, star


def guide(cam: Camera, exposure: float = 0.5, tolerance_px: float = 0.5, max_steps: int = 12,
          calibration_pulse_s: float = 1.0, calibration_steps: int = 3,
          max_pulse_s: float = 4.0, min_pulse_s: float = 0.02, aggressiveness: float = 0.8,
          search_px: float = 48, settle_s: float = 0.1,
          log: Callable[[str], None] = print) -> GuideResult:
    """Calibrate, then bring the guide star back to where it was found (its lock position,
    which calibration moved it away from) until it is within `tolerance_px`.

    The guide star is the brightest one in the camera's region, away from the edges. Each
    step moves the star `aggressiveness` of the way, so that noise in one measurement does
    not make the mount overshoot.
    """
    guider = Guider(cam, exposure, search_px, settle_s, log)
    image = cam.snap(exposure).pixels
    height, width = image.shape[:2]
    # Far enough from the edges that calibration cannot push it out of the frame.
    star = find_star(image, np.array([(width - 1) / 2, (height - 1) / 2]),
                     min(width, height) / 2 - search_px, saturation=near_saturation(image))
    if star is None:
        raise GuidingError("no star bright enough to guide on")
    lock = star.position
    log(f"guide star at ({star.x:.1f}, {star.y:.1f}), SNR {star.snr:.0f}")
    calibration, star = guider.calibrate(star, calibration_pulse_s, calibration_steps)
    steps: list[GuideStep] = []
    north_last = 1.0    # calibration left the gears pushing north
    expected = star.position
    for number in range(1, max_steps + 1):
        # Looking where the last pulses should have sent the star keeps a brighter
        # neighbour from being taken for it.
        star = guider.measure(expected, f"at step {number}")
        error = star.position - lock
        line = (f"step {number:2}: star at ({star.x:7.2f}, {star.y:7.2f}), off by "
                f"({error[0]:+6.2f}, {error[1]:+6.2f}) px")
        if np.hypot(*error) <= tolerance_px:
            steps.append(GuideStep(star, error, 0.0, 0.0))
            log(line + ": centred")
            return GuideResult(calibration, steps, True)
        wanted = np.clip(aggressiveness * calibration.pulses_for(-error),
                         -max_pulse_s, max_pulse_s)
        # Pulses too short for the mount to act on are left out; but if that left nothing
        # while the star is still off, the larger one is sent at the shortest length.
        if np.all(np.abs(wanted) < min_pulse_s):
            larger = int(np.argmax(np.abs(wanted)))
            wanted[larger] = math.copysign(min_pulse_s, wanted[larger])
        west_s, north_s = (float(s) if abs(s) >= min_pulse_s else 0.0 for s in wanted)
        expected = star.position + calibration.west * west_s + calibration.north * north_s
        if north_s and math.copysign(1.0, north_s) != north_last:
            north_last = math.copysign(1.0, north_s)
            north_s += north_last * calibration.backlash_s
        pulses = [f"{name} {abs(s):.2f} s" for name, s in (
            ("west" if west_s > 0 else "east", west_s),
            ("north" if north_s > 0 else "south", north_s)) if s]
        log(f"{line} -> {', '.join(pulses)}")
        guider.pulse(west_s, north_s)
        steps.append(GuideStep(star, error, west_s, north_s))
    return GuideResult(calibration, steps, False)


def main(argv: list[str]) -> int:
    parser = parser_for(__file__, __doc__)
    add_camera_index(parser, default=None,
                     help="the camera to guide with (default: the first with an ST4 port)")
    index = parser.parse_args(argv).index
    guiders = [i for i, info in enumerate(list_cameras()) if info.st_4_port
               and index in (None, i)]
    if not guiders:
        print("no camera with an ST4 guide port found", file=sys.stderr)
        return 1
    try:
        with Camera(guiders[0]) as cam:
            cam.roi = cam.full_roi(1, "RAW16")
            result = guide(cam)
    except (asi.ASIError, GuidingError) as error:
        return failed(error)
    print("star centred" if result.centred else "star not centred in time")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
