"""The simulated cameras show the real sky: frames taken through the SDK at a configured
pointing and rotation are plate-solved by astrometry.net's solve-field, which must find
that pointing, rotation and pixel scale again. Without a usable sky file the cameras
show the seeded sky, and say why.

The solving tests are skipped where solve-field or the Tycho-2 index files are missing."""

from __future__ import annotations

import ctypes
import shutil
import struct
import subprocess
import time
import warnings
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest
import sep

import asi
from halvarine.corvantis import sim
from test_sky import (ARCSEC, INDEX_FILES, Camera, angle, needs_index, project, read_sky, sky_file,
                      unit_vectors, up_direction)

__all__ = ["sky_file"]  # the fixture, shared with the sky file's own tests

needs_solver = pytest.mark.skipif(
    not INDEX_FILES or shutil.which("solve-field") is None,
    reason="solve-field or its index files not installed",
)

CT = asi.ControlType
ORION = (83.82, -5.39)  # the default pointing
CASSIOPEIA = (30.0, 62.0)


@dataclass(frozen=True)
class Model:
    """A built-in camera and how the tests take its frames."""

    key: str
    width: int
    height: int
    pixel_um: float
    focal_length_mm: float
    bin: int  # binned or downsampled to ~2″ pixels: solved in a second or two
    downsample: int

    def scale(self, bin: int) -> float:
        """Degrees per binned pixel."""
        return float(np.degrees(self.pixel_um * 1e-3 / self.focal_length_mm)) * bin


MONO = Model("mono_cooled", 4144, 2822, 3.76, 800, 2, 2)
GUIDE = Model("color_guide", 1936, 1096, 2.9, 240, 1, 2)
COLOUR = Model("color_gps_cooled", 3096, 2080, 2.4, 500, 2, 1)


def configure(model: Model, pointing: tuple[float, float], rotation: float,
              catalogue: str, **mount: float) -> None:
    sim.load_config({
        "cameras": [{"model": model.key, "rotation_deg": rotation}],
        "sky": {"catalogue": catalogue},
        "mount": {"ra_deg": pointing[0], "dec_deg": pointing[1], **mount},
        "fast_frames": True,
    })


@dataclass(frozen=True)
class Snap:
    image: np.ndarray
    bin: int
    centre: tuple[float, float]  # image position (0-based) of the optical axis


def snap(model: Model, bin: int, exposure_s: float = 1.0) -> Snap:
    """A RAW16 frame of the whole sensor at default gain and offset."""
    asi.open_camera(0)
    asi.init_camera(0)
    width, height = model.width // bin // 8 * 8, model.height // bin // 2 * 2
    asi.set_roi_format(0, width, height, bin, asi.ImgType.IMG_RAW16)
    start_x, start_y = asi.get_start_pos(0)
    asi.set_control_value(0, CT.ASI_EXPOSURE, int(exposure_s * 1e6), False)
    asi.start_exposure(0, False)
    while asi.get_exp_status(0) == asi.ExposureStatus.ASI_EXP_WORKING:
        time.sleep(0.001)
    data = asi.get_data_after_exp(0, width * height * 2)
    asi.close_camera(0)
    image = np.frombuffer(data, "<u2").reshape(height, width)
    # Binned pixel i covers sensor pixels [(start + i) bin, (start + i + 1) bin); the axis
    # passes through the sensor's middle, width / 2 sensor pixels from its edge.
    centre = (model.width / 2 / bin - start_x - 0.5, model.height / 2 / bin - start_y - 0.5)
    return Snap(image, bin, centre)


@dataclass(frozen=True)
class Solution:
    centre: np.ndarray  # unit vector at the optical axis
    up: np.ndarray  # sky direction of the sensor's -y there
    scale: float  # degrees per binned pixel


def solve(frame: Snap, model: Model, folder: Path) -> Solution | None:
    from astropy.io import fits
    from astropy.wcs import WCS, FITSFixedWarning

    path = folder / "frame.fits"
    fits.PrimaryHDU(frame.image).writeto(path, overwrite=True)
    arcsec = model.scale(frame.bin) * 3600
    subprocess.run(
        ["solve-field", path, "--dir", folder, "--overwrite", "--no-plots", "--no-verify",
         "--tweak-order", "1", "--cpulimit", "20",
         "--downsample", str(model.downsample), "--scale-units", "arcsecperpix",
         "--scale-low", f"{arcsec * 0.95}", "--scale-high", f"{arcsec * 1.05}",
         "--new-fits", "none", "--index-xyls", "none", "--rdls", "none", "--corr", "none",
         "--match", "none"],
        check=True, capture_output=True, timeout=60,
    )
    solved = folder / "frame.wcs"
    if not solved.exists():
        return None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FITSFixedWarning)  # a WCS file without an image
        wcs = WCS(fits.getheader(solved))
    # Read at the optical axis: near the pole the solver's own reference point and
    # rotation angle depend on the right ascension it picked. Its tangent point stays
    # where the matched quad put it: moved onto the pole (--crpix-center), the tweak's
    # small shifts there are large turns in right ascension, which leave the fit rotated
    # against its own matched stars by up to a few tenths of a degree.
    cx, cy = frame.centre
    step = 10.0
    ra, dec = wcs.pixel_to_world_values([cx, cx, cx + step], [cy, cy - step, cy])
    centre, up, right = unit_vectors(np.asarray(ra), np.asarray(dec))
    towards_up = up - centre - (up - centre) @ centre * centre
    scale = (angle(centre, up) + angle(centre, right)) / (2 * step)
    return Solution(centre, towards_up / np.linalg.norm(towards_up), scale)


def assert_solves_to(solution: Solution | None, model: Model, bin: int,
                     pointing: tuple[float, float], rotation: float,
                     centre_tolerance: float = 2 * ARCSEC) -> None:
    assert solution is not None, "solve-field found no solution"
    assert angle(solution.centre, unit_vectors(*pointing)) < centre_tolerance
    assert angle(solution.up, up_direction(*pointing, rotation)) < 0.05
    assert solution.scale == pytest.approx(model.scale(bin), rel=1e-3)


@needs_solver
@pytest.mark.timeout(120)
@pytest.mark.parametrize("model", [MONO, GUIDE, COLOUR], ids=lambda model: model.key)
@pytest.mark.parametrize(("pointing", "rotation"), [(ORION, 30.0), (CASSIOPEIA, -140.0)],
                         ids=["equator", "north"])
def test_frames_solve_to_the_configured_pointing(
    sky_file: Path, tmp_path: Path, model: Model, pointing: tuple[float, float],
    rotation: float,
) -> None:
    configure(model, pointing, rotation, str(sky_file))
    solution = solve(snap(model, model.bin), model, tmp_path)
    assert_solves_to(solution, model, model.bin, pointing, rotation)


@needs_solver
@pytest.mark.timeout(120)
def test_a_frame_at_the_pole_solves(sky_file: Path, tmp_path: Path) -> None:
    # At the pole the pointing's right ascension says which way north is.
    configure(MONO, (200.0, 90.0), 20.0, str(sky_file))
    solution = solve(snap(MONO, 4), MONO, tmp_path)
    assert_solves_to(solution, MONO, 4, (200.0, 90.0), 20.0)


@needs_index
@pytest.mark.parametrize("bin", [1, 4])
def test_stars_stand_where_the_projection_puts_them(sky_file: Path, bin: int) -> None:
    # The pole frame measured without the solver: star centres against the catalogue's
    # projection, through a linear map that must be the identity. A scale differing
    # between x and y, binning that moves stars or centres pulled by the PSF's shape or
    # by saturation show there before they turn a solved field.
    pointing, rotation = (200.0, 90.0), 20.0
    configure(MONO, pointing, rotation, str(sky_file))
    frame = snap(MONO, bin)
    image = frame.image.astype(np.float64)
    background = sep.Background(image)
    found = sep.extract(image - background, 5, err=background.globalrms, minarea=4)
    camera = Camera(MONO.width, MONO.height, MONO.pixel_um, MONO.focal_length_mm)
    x, y, magnitude = project(read_sky(sky_file), *pointing, rotation, camera)
    # Sensor pixel centres to binned ones, both counted from the first pixel's centre.
    height, width = frame.image.shape
    cx, cy = frame.centre
    x = (x - (MONO.width - 1) / 2) / bin + cx
    y = (y - (MONO.height - 1) / 2) / bin + cy
    pairs = []
    for i in np.flatnonzero((magnitude < 12) & (x > 8) & (x < width - 8) & (y > 8)
                            & (y < height - 8)):
        crowded = np.hypot(x - x[i], y - y[i]) < 8  # a neighbour's light shifts the centre
        distance = np.hypot(found["x"] - x[i], found["y"] - y[i])
        if crowded.sum() == 1 and distance.min() < 3:
            nearest = np.argmin(distance)
            pairs.append((x[i] - cx, y[i] - cy, found["x"][nearest] - cx, found["y"][nearest] - cy))
    assert len(pairs) >= 10
    expected_x, expected_y, measured_x, measured_y = np.array(pairs).T
    design = np.stack([expected_x, expected_y, np.ones(len(pairs))], axis=1)
    row_x, *_ = np.linalg.lstsq(design, measured_x, rcond=None)
    row_y, *_ = np.linalg.lstsq(design, measured_y, rcond=None)
    linear = np.array([row_x[:2], row_y[:2]])
    assert np.linalg.norm(linear[:, 0]) == pytest.approx(1, abs=5e-4)  # x scale
    assert np.linalg.norm(linear[:, 1]) == pytest.approx(1, abs=5e-4)  # y scale
    turn = np.degrees(np.arctan2(linear[1, 0] - linear[0, 1], linear[0, 0] + linear[1, 1]))
    assert abs(turn) < 0.01
    assert np.hypot(row_x[2], row_y[2]) < 0.1  # pixels
    residual = np.hypot(measured_x - design @ row_x, measured_y - design @ row_y)
    assert np.sqrt(np.mean(residual**2)) < 0.15


@needs_solver
@pytest.mark.timeout(120)
def test_a_frame_trailed_by_drift_still_solves(sky_file: Path, tmp_path: Path) -> None:
    drift = 4.0  # ″/s in declination: 8″ over the exposure, 4 binned pixels
    loaded = time.monotonic()
    configure(MONO, ORION, 0.0, str(sky_file), drift_dec_arcsec_s=drift)
    frame = snap(MONO, MONO.bin, exposure_s=2.0)
    # The field moves from the configuration's load on: the solved centre lies on the way.
    moved = drift * (time.monotonic() - loaded + 2.0) * ARCSEC
    solution = solve(frame, MONO, tmp_path)
    assert_solves_to(solution, MONO, MONO.bin, ORION, 0.0, moved + 2 * ARCSEC)


# --- Without the sky file -------------------------------------------------------------


def last_error() -> str:
    library = ctypes.CDLL(sim.loaded_library())
    library.asisim_last_error.restype = ctypes.c_char_p
    return library.asisim_last_error().decode()


def small_frame(exposure_s: float = 1.0) -> np.ndarray:
    asi.open_camera(0)
    asi.init_camera(0)
    asi.set_roi_format(0, 512, 512, 1, asi.ImgType.IMG_RAW16)
    asi.set_control_value(0, CT.ASI_EXPOSURE, int(exposure_s * 1e6), False)
    asi.start_exposure(0, False)
    while asi.get_exp_status(0) == asi.ExposureStatus.ASI_EXP_WORKING:
        time.sleep(0.001)
    data = asi.get_data_after_exp(0, 512 * 512 * 2)
    asi.close_camera(0)
    return np.frombuffer(data, "<u2").reshape(512, 512)


def damaged(kind: str, good: Path, folder: Path) -> Path:
    path = folder / f"{kind}.bin"
    content = good.read_bytes() if good.exists() else b"ASISKY\0\0" + bytes(24)
    if kind == "truncated":
        path.write_bytes(content[: len(content) // 2])
    elif kind == "other-version":
        path.write_bytes(content[:8] + struct.pack("<I", 99) + content[12:])
    elif kind == "damaged":  # the header holds: found out when the stars are read
        path.write_bytes(content[:-1] + bytes([content[-1] ^ 1]))
    elif kind == "not-a-sky-file":
        path.write_bytes(b"SIMPLE  =                    T" + bytes(100))
    return path


@pytest.mark.parametrize(("kind", "says"), [
    ("missing", "No such file"),
    ("truncated", "truncated sky file"),
    ("other-version", "sky file version 99"),
    ("not-a-sky-file", "not a sky file"),
    ("damaged", "checksum mismatch"),
])
def test_an_unusable_sky_file_falls_back_to_the_seeded_sky(
    tmp_path: Path, capfd: pytest.CaptureFixture[str], kind: str, says: str,
) -> None:
    sky_file = Path(sim.loaded_library()).with_name("asisim-sky.bin")
    if kind == "damaged" and not sky_file.exists():
        pytest.skip("no sky file to damage")
    configure(MONO, ORION, 0.0, "synthetic")
    seeded = small_frame()
    path = damaged(kind, sky_file, tmp_path)
    configure(MONO, ORION, 0.0, str(path))
    # The seeded sky as it is without any sky file, frame for frame.
    assert np.array_equal(small_frame(), seeded)
    message = last_error()
    assert str(path) in message and says in message and "synthetic sky" in message
    assert capfd.readouterr().err.count(says) == 1
    configure(MONO, ORION, 0.0, str(path))  # said once per process, not at every load
    small_frame()
    assert capfd.readouterr().err == ""
    assert says in last_error()
    configure(MONO, ORION, 0.0, "synthetic")
    assert last_error() == ""


@pytest.mark.skipif(not INDEX_FILES, reason="no Tycho-2 index files installed")
def test_the_real_sky_differs_from_the_seeded_one_and_follows_the_pointing(
    sky_file: Path,
) -> None:
    frames = []
    for catalogue, pointing in [("synthetic", ORION), (str(sky_file), ORION),
                                (str(sky_file), CASSIOPEIA)]:
        configure(MONO, pointing, 0.0, catalogue)
        frames.append(small_frame())
        assert last_error() == ""
    seeded, orion, cassiopeia = frames
    assert not np.array_equal(seeded, orion)
    assert not np.array_equal(orion, cassiopeia)


@pytest.mark.parametrize(("config", "named"), [
    ({"mount": {"ra_deg": 360.5}}, "mount.ra_deg"),
    ({"mount": {"dec_deg": -90.01}}, "mount.dec_deg"),
    ({"mount": {"dec_deg": "north"}}, "mount.dec_deg"),
    ({"cameras": [{"rotation_deg": 400}]}, "cameras[0].rotation_deg"),
    ({"sky": {"catalogue": ""}}, "sky.catalogue"),
    ({"sky": {"catalogue": 1}}, "sky.catalogue"),
    ({"sky": {"counts_slope": 0.4}}, "sky.counts_slope"),
])
def test_a_bad_pointing_or_sky_is_a_configuration_error(
    config: dict[str, object], named: str
) -> None:
    with pytest.raises(ValueError, match=named.replace("[", r"\[").replace("]", r"\]")):
        sim.load_config(config)


def test_deep_frames_show_more_stars() -> None:
    sep = pytest.importorskip("sep")
    counts = []
    for exposure in (0.5, 8.0, 60.0):
        configure(MONO, ORION, 0.0, "synthetic")
        image = small_frame(exposure).astype(np.float64)
        background = sep.Background(image)
        found = sep.extract(image - background.back(), 5.0, err=background.globalrms)
        counts.append(len(found))
    assert counts[0] < counts[1] < counts[2]
    assert counts[2] > 1.5 * counts[1]


# --- Frames saved with a WCS, and the example that solves them ------------------------


EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def test_a_frame_saves_a_wcs_only_where_it_was_given_one(tmp_path: Path) -> None:
    from astropy.io import fits
    from astropy.wcs import WCS, FITSFixedWarning

    from halvarine.corvantis.camera import Camera, Wcs

    configure(MONO, CASSIOPEIA, 25.0, "synthetic")
    with Camera(0) as camera:
        camera.roi = camera.full_roi(4, "RAW16")
        frame = camera.snap(0.01)
    plain = fits.getheader(frame.save(tmp_path / "plain.fits"))
    assert "CTYPE1" not in plain and "CRVAL1" not in plain
    axis = (MONO.width / 8 - 0.5, MONO.height / 8 - 0.5)
    wcs = Wcs.pointing(*CASSIOPEIA, 25.0, MONO.scale(4), *axis)
    header = fits.getheader(frame.with_wcs(wcs).save(tmp_path / "placed.fits"))
    assert header["WCSSRC"] == "configured"
    read = Wcs.from_header(header, "configured")
    assert (read.ra, read.dec, read.x, read.y) == (wcs.ra, wcs.dec, wcs.x, wcs.y)
    assert np.allclose(read.cd, wcs.cd, rtol=1e-12, atol=0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FITSFixedWarning)  # it derives MJD-OBS from DATE-OBS
        projection = WCS(header)
    ra, dec = projection.pixel_to_world_values([axis[0], axis[0]], [axis[1], axis[1] - 10])
    assert angle(unit_vectors(ra[0], dec[0]), unit_vectors(*CASSIOPEIA)) < 1e-3 * ARCSEC
    # The sensor's up points 25° east of north, as the simulator renders it.
    centre, up = unit_vectors(np.asarray(ra), np.asarray(dec))
    towards = up - centre - (up - centre) @ centre * centre
    assert angle(towards / np.linalg.norm(towards), up_direction(*CASSIOPEIA, 25.0)) < 1e-3


@needs_solver
@pytest.mark.timeout(120)
def test_the_solve_example_prints_solution_beside_configuration(
    sky_file: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    from halvarine.corvantis.camera import Camera, Wcs

    monkeypatch.syspath_prepend(str(EXAMPLES))
    monkeypatch.chdir(tmp_path)
    import solve

    configure(MONO, ORION, 30.0, str(sky_file))
    with Camera(0) as camera:
        camera.roi = camera.full_roi(2, "RAW16")
        frame = camera.snap(1.0)
    axis = (MONO.width / 4 - 0.5, MONO.height / 4 - 0.5)
    path = frame.with_wcs(Wcs.pointing(*ORION, 30.0, MONO.scale(2), *axis)).save(
        tmp_path / "orion.fits")
    assert solve.main([str(path)]) == 0
    solved, configured, difference = capsys.readouterr().out.splitlines()
    assert solved.startswith("solved") and configured.startswith("configured")
    numbers = [float(word.rstrip("°″/px%,")) for word in difference.split()
               if word[0] in "+-0123456789"]
    apart, turn, scale = numbers
    assert apart < 2 and abs(turn) < 0.05 and abs(scale) < 0.1
    # The solution beside the frame, and nothing else left behind.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["orion.fits", "orion.wcs"]


def test_auto_takes_the_sky_file_asisim_sky_names(
    tmp_path: Path, capfd: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch,
) -> None:
    configure(MONO, ORION, 0.0, "synthetic")
    seeded = small_frame()
    missing = tmp_path / "elsewhere.bin"
    monkeypatch.setenv("ASISIM_SKY", str(missing))
    configure(MONO, ORION, 0.0, "auto")
    assert str(missing) in last_error() and "No such file" in last_error()
    assert str(missing) in capfd.readouterr().err
    assert np.array_equal(small_frame(), seeded)
