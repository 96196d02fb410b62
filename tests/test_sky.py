"""The sky file made from astrometry.net's Tycho-2 index files, checked against the sky
and by astrometry.net's own solver: frames rendered from it at a pointing, rotation and
pixel scale must plate-solve back to them.

Skipped where the index files or solve-field are not installed."""

from __future__ import annotations

import glob
import os
import shutil
import struct
import subprocess
import sys
import warnings
import zlib
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

REPO = Path(__file__).resolve().parent.parent
INDEX_FILES = sorted(glob.glob("/usr/share/astrometry/index-tycho2-*.fits"))
needs_index = pytest.mark.skipif(not INDEX_FILES, reason="no Tycho-2 index files installed")
needs_solver = pytest.mark.skipif(
    not INDEX_FILES or shutil.which("solve-field") is None,
    reason="solve-field or its index files not installed",
)

HEADER = struct.Struct("<8sIIIIIhh")
ARCSEC = 1.0 / 3600.0


@dataclass
class Sky:
    right_ascension: np.ndarray  # degrees
    declination: np.ndarray
    magnitude: np.ndarray
    band_starts: np.ndarray


def read_sky(path: Path) -> Sky:
    content = path.read_bytes()
    magic, version, header_size, count, bands, crc, _, _ = HEADER.unpack_from(content)
    assert (magic, version, header_size) == (b"ASISKY\0\0", 1, HEADER.size)
    assert len(content) == HEADER.size + 4 * (bands + 1) + 10 * count
    assert zlib.crc32(content[HEADER.size :]) == crc
    offset = HEADER.size
    starts = np.frombuffer(content, "<u4", bands + 1, offset)
    offset += starts.nbytes
    ra = np.frombuffer(content, "<u4", count, offset)
    dec = np.frombuffer(content, "<i4", count, offset + 4 * count)
    mag = np.frombuffer(content, "<i2", count, offset + 8 * count)
    return Sky(ra * (360.0 / 2**32), dec * (90.0 / 2**30), mag / 1000.0, starts)


@pytest.fixture(scope="module")
def sky_file(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The build's sky file, or one made here when the build made none."""
    build = REPO / os.environ.get("ASI_BUILD_DIR", "build") / "lib" / "asisim-sky.bin"
    if build.exists():
        return build
    path = tmp_path_factory.mktemp("sky") / "asisim-sky.bin"
    subprocess.run([sys.executable, REPO / "tools" / "make-sky", "--quiet", path], check=True)
    return path


@pytest.fixture(scope="module")
def sky(sky_file: Path) -> Sky:
    return read_sky(sky_file)


def unit_vectors(ra: np.ndarray, dec: np.ndarray) -> np.ndarray:
    ra, dec = np.radians(ra), np.radians(dec)
    return np.stack([np.cos(dec) * np.cos(ra), np.cos(dec) * np.sin(ra), np.sin(dec)], axis=-1)


@needs_index
def test_file_is_sorted_into_bands_without_duplicates(sky: Sky) -> None:
    count = len(sky.right_ascension)
    assert 1_000_000 < count < 3_000_000
    starts = sky.band_starts
    assert starts[0] == 0 and starts[-1] == count and np.all(np.diff(starts.astype(int)) >= 0)
    band_height = 180.0 / (len(starts) - 1)
    for band in (0, len(starts) // 2, len(starts) - 2):
        members = slice(starts[band], starts[band + 1])
        assert np.all(np.diff(sky.right_ascension[members]) >= 0)
        lowest = -90.0 + band * band_height
        assert np.all(sky.declination[members] >= lowest)
        assert np.all(sky.declination[members] < lowest + band_height + 1e-9)
    positions = np.stack([sky.right_ascension, sky.declination], axis=1)
    assert len(np.unique(positions, axis=0)) == count


# Stars of small proper motion (the file keeps the epoch of the Tycho observations),
# with J2000 positions and V magnitudes; Tycho's VT is within a few tenths of V for them.
KNOWN_STARS = [
    ("Rigel", 78.634467, -8.201638, 0.13),
    ("Antares", 247.351915, -26.432003, 1.06),
    ("Alnilam", 84.053389, -1.201919, 1.69),
    ("Deneb", 310.357980, 45.280339, 1.25),
]


@needs_index
@pytest.mark.parametrize(
    ("name", "ra", "dec", "magnitude"), KNOWN_STARS, ids=[star[0] for star in KNOWN_STARS]
)
def test_bright_stars_where_the_sky_has_them(
    sky: Sky, name: str, ra: float, dec: float, magnitude: float
) -> None:
    cosines = unit_vectors(sky.right_ascension, sky.declination) @ unit_vectors(ra, dec)
    separations = np.degrees(np.arccos(np.clip(cosines, -1.0, 1.0)))
    nearest = int(np.argmin(separations))
    assert separations[nearest] < 0.5 * ARCSEC
    assert abs(sky.magnitude[nearest] - magnitude) < 0.4


# --- Rendering and solving ------------------------------------------------------------


@dataclass
class Camera:
    width: int
    height: int
    pixel_um: float
    focal_length_mm: float

    @property
    def scale(self) -> float:
        """Degrees per pixel at the centre."""
        return np.degrees(self.pixel_um * 1e-3 / self.focal_length_mm)


def project(
    sky: Sky, ra0: float, dec0: float, rotation: float, camera: Camera
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Gnomonic projection onto the sensor: +x right, +y down the rows, and at rotation 0
    north up (-y) and east left (-x); the rotation turns the sensor's up from north
    towards east."""
    centre = unit_vectors(ra0, dec0)
    a, d = np.radians(ra0), np.radians(dec0)
    east = np.array([-np.sin(a), np.cos(a), 0.0])
    north = np.array([-np.sin(d) * np.cos(a), -np.sin(d) * np.sin(a), np.cos(d)])
    half_diagonal = np.hypot(camera.width, camera.height) / 2 * camera.scale
    # A declination cut first keeps the vector arithmetic to a few bands' worth.
    near = np.abs(sky.declination - dec0) < half_diagonal + 0.1
    stars = unit_vectors(sky.right_ascension[near], sky.declination[near])
    depth = stars @ centre
    ahead = depth > np.cos(np.radians(half_diagonal + 0.1))
    stars, depth = stars[ahead], depth[ahead]
    xi, eta = stars @ east / depth, stars @ north / depth
    theta = np.radians(rotation)
    radians_per_pixel = np.radians(camera.scale)
    x = (-np.cos(theta) * xi + np.sin(theta) * eta) / radians_per_pixel + (camera.width - 1) / 2
    y = (-np.sin(theta) * xi - np.cos(theta) * eta) / radians_per_pixel + (camera.height - 1) / 2
    return x, y, sky.magnitude[near][ahead]


def render(x: np.ndarray, y: np.ndarray, magnitude: np.ndarray, camera: Camera) -> np.ndarray:
    """Gaussian stars on a sky background with Poisson and read noise, 16-bit ADU."""
    rng = np.random.default_rng(18)
    image = np.full((camera.height, camera.width), 200.0)
    sigma = 1.3
    radius = 8
    on_sensor = (x > -radius) & (x < camera.width + radius)
    on_sensor &= (y > -radius) & (y < camera.height + radius)
    for sx, sy, m in zip(x[on_sensor], y[on_sensor], magnitude[on_sensor]):
        flux = 2.0e5 * 10 ** (-0.4 * (m - 8.0))
        x0, x1 = max(int(sx) - radius, 0), min(int(sx) + radius + 1, camera.width)
        y0, y1 = max(int(sy) - radius, 0), min(int(sy) + radius + 1, camera.height)
        if x0 >= x1 or y0 >= y1:
            continue
        gx = np.exp(-0.5 * ((np.arange(x0, x1) - sx) / sigma) ** 2)
        gy = np.exp(-0.5 * ((np.arange(y0, y1) - sy) / sigma) ** 2)
        image[y0:y1, x0:x1] += flux / (2 * np.pi * sigma**2) * np.outer(gy, gx)
    image = rng.poisson(image) + rng.normal(0.0, 5.0, image.shape)
    return np.clip(image, 0, 65535).astype(np.uint16)


@dataclass
class Solution:
    centre: np.ndarray  # unit vector of the sensor's centre
    up: np.ndarray  # sky direction of the sensor's -y there
    scale: float  # degrees per pixel there


def solve(image: np.ndarray, camera: Camera, folder: Path) -> Solution | None:
    from astropy.io import fits
    from astropy.wcs import WCS, FITSFixedWarning

    path = folder / "frame.fits"
    fits.PrimaryHDU(image).writeto(path, overwrite=True)
    arcsec_per_pixel = camera.scale * 3600
    subprocess.run(
        [
            "solve-field", path, "--dir", folder, "--overwrite", "--no-plots",
            "--no-verify", "--tweak-order", "1", "--cpulimit", "20",
            "--scale-units", "arcsecperpix", "--scale-low", f"{arcsec_per_pixel * 0.95}",
            "--scale-high", f"{arcsec_per_pixel * 1.05}", "--new-fits", "none",
            "--index-xyls", "none", "--rdls", "none", "--corr", "none", "--match", "none",
        ],
        check=True,
        capture_output=True,
        timeout=60,
    )
    solved = folder / "frame.wcs"
    if not solved.exists():
        return None
    # Read at the sensor's centre rather than from CRVAL and CD: near the pole the solver
    # keeps its reference point off the centre, and its rotation angle there depends on
    # the right ascension it picked.
    with warnings.catch_warnings():
        # The solver's WCS file has no image, which astropy remarks on.
        warnings.simplefilter("ignore", FITSFixedWarning)
        wcs = WCS(fits.getheader(solved))
    cx, cy, step = (camera.width - 1) / 2, (camera.height - 1) / 2, 10.0
    ra, dec = wcs.pixel_to_world_values([cx, cx, cx + step], [cy, cy - step, cy])
    centre, up, right = unit_vectors(np.asarray(ra), np.asarray(dec))
    towards_up = up - centre - (up - centre) @ centre * centre
    scale = (angle(centre, up) + angle(centre, right)) / (2 * step)
    return Solution(centre, towards_up / np.linalg.norm(towards_up), scale)


def angle(a: np.ndarray, b: np.ndarray) -> float:
    """Degrees between two directions."""
    return float(np.degrees(np.arctan2(np.linalg.norm(np.cross(a, b)), a @ b)))


def up_direction(ra: float, dec: float, rotation: float) -> np.ndarray:
    """The sky direction of the sensor's up (-y) at its centre: unlike a rotation angle,
    it means the same at the pole whatever right ascension the pointing names there."""
    a, d, theta = np.radians(ra), np.radians(dec), np.radians(rotation)
    east = np.array([-np.sin(a), np.cos(a), 0.0])
    north = np.array([-np.sin(d) * np.cos(a), -np.sin(d) * np.sin(a), np.cos(d)])
    return np.sin(theta) * east + np.cos(theta) * north


# The main camera binned 4×4 (about 1.1° × 0.8°), the guide camera at full size (1.3° ×
# 0.8°): the Tycho-2 index files hold quads of 30′ to 60′, so fields much narrower
# than a degree do not solve with them.
MAIN_BINNED = Camera(1036, 705, 4 * 3.76, 800.0)
GUIDE = Camera(1936, 1096, 2.9, 240.0)


@needs_solver
@pytest.mark.timeout(120)
@pytest.mark.parametrize(
    ("ra", "dec", "rotation", "camera"),
    [
        (83.8, -5.4, 0.0, MAIN_BINNED),
        (250.0, 65.0, 37.5, MAIN_BINNED),
        (0.0, 90.0, -120.0, MAIN_BINNED),
        (300.0, 20.0, 200.0, GUIDE),
    ],
    ids=["orion", "draco", "pole", "guide"],
)
def test_rendered_frame_solves_back_to_its_pointing(
    sky: Sky, tmp_path: Path, ra: float, dec: float, rotation: float, camera: Camera
) -> None:
    image = render(*project(sky, ra, dec, rotation, camera), camera)
    solution = solve(image, camera, tmp_path)
    assert solution is not None, "solve-field found no solution"
    assert angle(solution.centre, unit_vectors(ra, dec)) < 2 * ARCSEC
    assert angle(solution.up, up_direction(ra, dec, rotation)) < 0.05
    assert solution.scale == pytest.approx(camera.scale, rel=1e-3)
