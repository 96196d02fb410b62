"""Plate-solve a FITS frame with astrometry.net's solve-field and print the solved centre,
rotation and pixel scale beside the configured ones.

    python3 solve.py FRAME.fits [--ra DEG --dec DEG --rotation DEG --scale ARCSEC]

The configured values are the options given, else those of the WCS the frame was saved
with (Frame.save writes one where it was given one: WCSSRC says where it came from); a
frame with neither is solved without hints and only the solution is printed. The solved
WCS is written beside the frame (FRAME.wcs). solve-field comes with Debian's
astrometry.net package and reads the index files of astrometry-data-tycho2-*.
"""

from __future__ import annotations

import argparse
import math
import shutil
import subprocess
import sys
import tempfile
import warnings
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from astropy.io import fits  # type: ignore[import-untyped]
from astropy.wcs import WCS, FITSFixedWarning  # type: ignore[import-untyped]

from halvarine.corvantis.camera import Wcs


@dataclass(frozen=True)
class Pointing:
    """What a WCS says at the frame's centre."""

    ra: float  # degrees J2000
    dec: float
    rotation: float  # degrees the frame's up (-y) is turned from north towards east
    scale: float  # arcseconds per pixel

    def row(self, name: str) -> str:
        return (f"{name:<11} RA {self.ra:11.6f}°  Dec {self.dec:+11.6f}°  "
                f"rotation {self.rotation:9.4f}°  scale {self.scale:.5f}″/px")


def at_centre(wcs: Wcs, width: int, height: int) -> Pointing:
    """Centre, rotation and scale of `wcs` at the middle of a width × height frame."""
    header = fits.Header([(key, value, comment) for key, value, comment in wcs.cards()])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FITSFixedWarning)
        projection = WCS(header)
    x, y, step = (width - 1) / 2, (height - 1) / 2, 1.0
    ra, dec = projection.pixel_to_world_values([x, x, x + step], [y, y - step, y])
    centre, up, right = (unit_vector(a, d) for a, d in zip(ra, dec))
    north = np.array([-math.sin(math.radians(dec[0])) * math.cos(math.radians(ra[0])),
                      -math.sin(math.radians(dec[0])) * math.sin(math.radians(ra[0])),
                      math.cos(math.radians(dec[0]))])
    east = np.cross(north, centre)  # towards growing right ascension
    towards = up - centre
    rotation = math.degrees(math.atan2(towards @ east, towards @ north))
    scale = (separation(centre, up) + separation(centre, right)) / (2 * step) * 3600
    return Pointing(float(ra[0]) % 360, float(dec[0]), rotation, scale)


def unit_vector(ra: float, dec: float) -> np.ndarray:
    a, d = math.radians(ra), math.radians(dec)
    return np.array([math.cos(d) * math.cos(a), math.cos(d) * math.sin(a), math.sin(d)])


def separation(a: np.ndarray, b: np.ndarray) -> float:
    """Degrees between two directions."""
    return math.degrees(math.atan2(float(np.linalg.norm(np.cross(a, b))), float(a @ b)))


def solve(frame: Path, scale: float | None, timeout: float = 120) -> Wcs | None:
    """The solve-field solution of `frame` (arcseconds per pixel `scale` narrows the
    search), or None where it found none."""
    # No --crpix-center: near a pole it leaves the solution turned against its own stars.
    command = ["solve-field", str(frame), "--overwrite", "--no-plots", "--no-verify",
               "--tweak-order", "1", "--cpulimit", str(int(timeout)),
               "--new-fits", "none", "--index-xyls", "none", "--rdls", "none",
               "--corr", "none", "--match", "none"]
    if scale is not None:
        command += ["--scale-units", "arcsecperpix", "--scale-low", f"{scale * 0.95}",
                    "--scale-high", f"{scale * 1.05}"]
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run([*command, "--dir", folder], check=True, capture_output=True,
                       timeout=timeout + 30)
        solved = Path(folder) / (frame.stem + ".wcs")
        if not solved.exists():
            return None
        shutil.copyfile(solved, frame.with_suffix(".wcs"))
        return Wcs.from_header(fits.getheader(solved), "solve-field")


def configured(arguments: argparse.Namespace, header: fits.Header, width: int,
               height: int) -> Pointing | None:
    """The pointing the options give, else the frame's own WCS; None without either."""
    given = (arguments.ra, arguments.dec, arguments.rotation, arguments.scale)
    if all(value is not None for value in given):
        ra, dec, rotation, scale = given
        return Pointing(ra, dec, rotation, scale)
    if any(value is not None for value in given):
        raise SystemExit("solve.py: give all of --ra, --dec, --rotation and --scale, or none")
    try:
        return at_centre(Wcs.from_header(header, "frame"), width, height)
    except (KeyError, ValueError):
        return None


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="solve.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("frame", type=Path, help="a FITS file of one frame")
    parser.add_argument("--ra", type=float, help="configured right ascension, degrees")
    parser.add_argument("--dec", type=float, help="configured declination, degrees")
    parser.add_argument("--rotation", type=float, help="configured rotation, degrees")
    parser.add_argument("--scale", type=float, help="configured scale, arcseconds per pixel")
    arguments = parser.parse_args(argv)
    if shutil.which("solve-field") is None:
        print("solve.py: solve-field not found (Debian package astrometry.net)", file=sys.stderr)
        return 2
    try:
        header = fits.getheader(arguments.frame)
    except OSError as error:
        print(f"solve.py: {arguments.frame}: {error}", file=sys.stderr)
        return 2
    width, height = int(header["NAXIS1"]), int(header["NAXIS2"])
    expected = configured(arguments, header, width, height)
    lines = solution_lines(arguments.frame, expected, width, height)
    print("\n".join(lines))
    return 1 if lines[0].endswith("found no solution") else 0


def solution_lines(frame: Path, expected: Pointing | None = None, width: int = 0,
                   height: int = 0) -> list[str]:
    """What solve-field makes of `frame`: the solution at the frame's centre and, given the
    expected pointing (else the frame's own WCS, if it has one), that and the difference."""
    if not width:
        header = fits.getheader(frame)
        width, height = int(header["NAXIS1"]), int(header["NAXIS2"])
        try:
            expected = at_centre(Wcs.from_header(header, "frame"), width, height)
        except (KeyError, ValueError):
            expected = None
    solution = solve(frame, expected.scale if expected is not None else None)
    if solution is None:
        return [f"{frame}: solve-field found no solution"]
    solved = at_centre(solution, width, height)
    lines = [solved.row("solved")]
    if expected is not None:
        offset = separation(unit_vector(solved.ra, solved.dec),
                            unit_vector(expected.ra, expected.dec)) * 3600
        turn = (solved.rotation - expected.rotation + 180) % 360 - 180
        lines += [expected.row("configured"),
                  f"{'difference':<11} {offset:.2f}″ apart, rotation {turn:+.4f}°, "
                  f"scale {100 * (solved.scale / expected.scale - 1):+.4f}%"]
    return lines


if __name__ == "__main__":
    sys.exit(main())
