"""The simulated sensor as calibration and stacking programs see it: noise that is new
in every pixel and frame, saturation, binning, the PSF, and the fixed pattern that darks
and flats remove (PRNU, vignetting, dust, amp glow, warm pixels, a bad column) beside the
cosmic rays that they do not. Stars are measured with sep; regions are small and frames
fast wherever the clock is not what is tested."""

import time

import numpy as np
import pytest
import sep

import asi
from halvarine.corvantis import sim

CT = asi.ControlType
RAW16 = asi.ImgType.IMG_RAW16
MONO = 0
# The mono model: 14 bits (RAW16 left-aligned by 2), 3.76 um pixels at 800 mm.
SCALE = 206.264806 * 3.76 / 800
NO_ARTEFACTS = {"prnu": 0, "vignetting": 0, "dust": 0, "amp_glow_e": 0, "warm_pixels": False,
                "column": "none", "cosmic_rays_cm2_s": 0}


def configure(camera=None, **top):
    # The seeded sky: its stars are where these tests expect them, at any pointing.
    sky = {"catalogue": "synthetic", **top.pop("sky", {})}
    sim.load_config({"cameras": [{"model": "mono_cooled", **(camera or {})}], "sky": sky, **top})
    sim.fast_frames()
    asi.open_camera(MONO)
    asi.init_camera(MONO)


def snap(width, height, exposure_us, *, bin=1, dark=False, start=None):
    """One exposure in native ADU (RAW16 shifted back to 14 bits), as floats."""
    asi.set_roi_format(MONO, width, height, bin, RAW16)
    if start is not None:
        asi.set_start_pos(MONO, *start)
    asi.set_control_value(MONO, CT.ASI_EXPOSURE, exposure_us, False)
    asi.start_exposure(MONO, dark)
    while asi.get_exp_status(MONO) == asi.ExposureStatus.ASI_EXP_WORKING:
        time.sleep(0.001)
    data = asi.get_data_after_exp(MONO, width * height * 2)
    return (np.frombuffer(data, "<u2").reshape(height, width) >> 2).astype(float)


# ---------------------------------------------------------------------------------------
# Fast frames and noise


@pytest.mark.parametrize("fresh_noise", [True, False])
def test_fast_frames_follow_the_sensor_temperature(fresh_noise):
    configure({"dark_current_e": 50}, ambient_c=30, cooling_rate=1000)
    sim.fast_frames(fresh_noise=fresh_noise)
    warm = np.median(snap(128, 128, 3_000_000, dark=True))
    asi.set_control_value(MONO, CT.ASI_TARGET_TEMP, 0, False)
    asi.set_control_value(MONO, CT.ASI_COOLER_ON, 1, False)
    deadline = time.monotonic() + 10
    while asi.get_control_value(MONO, CT.ASI_TEMPERATURE)[0] > 5 and time.monotonic() < deadline:
        time.sleep(0.05)
    cold = np.median(snap(128, 128, 3_000_000, dark=True))
    # 33 °C against 0 °C: 380 e- against 8 e- of dark current.
    assert cold < warm - 50


def test_fast_frames_draw_fresh_noise_unless_told_to_keep_it():
    configure({"artefacts": NO_ARTEFACTS})
    asi.set_control_value(MONO, CT.ASI_GAIN, 300, False)
    frames = np.array([snap(128, 128, 1000, dark=True) for _ in range(16)])
    assert not np.array_equal(frames[0], frames[1])
    single = frames[0].std()
    assert frames.mean(axis=0).std() < 0.35 * single  # 1/4 for independent noise
    sim.fast_frames(fresh_noise=False)
    kept = [snap(128, 128, 1000, dark=True) for _ in range(3)]
    assert np.array_equal(kept[0], kept[1]) and np.array_equal(kept[1], kept[2])


def test_noise_is_independent_between_rows_and_frames_and_follows_the_seed():
    configure({"artefacts": NO_ARTEFACTS})
    asi.set_control_value(MONO, CT.ASI_GAIN, 300, False)
    bias = snap(4144, 128, 32, dark=True)
    rows = bias - bias.mean(axis=1, keepdims=True)
    rows /= np.linalg.norm(rows, axis=1, keepdims=True)
    # Every row against the first at every lag: runs repeated anywhere stand out.
    spectra = np.fft.rfft(rows, axis=1)
    lags = np.fft.irfft(spectra[:1].conj() * spectra[1:], n=rows.shape[1], axis=1)
    assert np.abs(lags).max() < 0.1
    second = snap(4144, 128, 32, dark=True)
    a, b = bias - bias.mean(), second - second.mean()
    assert abs((a * b).sum() / np.sqrt((a * a).sum() * (b * b).sum())) < 0.02
    sim.reset()
    configure({"artefacts": NO_ARTEFACTS})
    asi.set_control_value(MONO, CT.ASI_GAIN, 300, False)
    assert np.array_equal(snap(4144, 128, 32, dark=True), bias)
    configure({"artefacts": NO_ARTEFACTS}, sky={"seed": 99})
    asi.set_control_value(MONO, CT.ASI_GAIN, 300, False)
    assert not np.array_equal(snap(4144, 128, 32, dark=True), bias)


# ---------------------------------------------------------------------------------------
# Saturation and binning

# Many bright stars, counted steeply, so that the brightest in a small region stands alone.
BRIGHT_SKY = {"stars_per_deg2": 20000, "limiting_mag": 12, "brightest_mag": 8,
              "counts_slope": 0.38, "seeing_arcsec": 4}


def test_binned_saturated_stars_hold_the_flux_of_unbinned_ones():
    # Sharp stars whose cores saturate a pixel or two: binned, each pixel still clips.
    configure({"artefacts": NO_ARTEFACTS}, sky={**BRIGHT_SKY, "seeing_arcsec": 2})
    one = snap(512, 512, 10_000_000)
    two = snap(256, 256, 10_000_000, bin=2)
    saturated = one.max()
    assert (one >= saturated).sum() > 20  # the brightest stars are well past full well
    fluxes = []
    for image, bin in ((one, 1), (two, 2)):
        image = image - sep.Background(image)
        objects = sep.extract(image, 2000)
        inside = objects[(np.minimum(objects["x"], objects["y"]) > 40 / bin) &
                         (np.maximum(objects["x"], objects["y"]) < (512 - 40) / bin)]
        brightest = inside[np.argmax(inside["flux"])]
        flux, _, _ = sep.sum_circle(image, [brightest["x"]], [brightest["y"]], [12 / bin])
        fluxes.append(flux[0] * bin * bin)  # binning averages
    assert fluxes[1] == pytest.approx(fluxes[0], rel=0.02)


def test_no_pixel_reads_above_the_saturated_level():
    configure({"artefacts": NO_ARTEFACTS},
              sky={"stars_per_deg2": 0, "background_mag_arcsec2": 12})
    asi.set_control_value(MONO, CT.ASI_GAIN, 0, False)  # the full well, not the converter, limits
    saturated = snap(256, 256, 600_000_000).min()
    assert snap(256, 256, 600_000_000).max() == saturated < 16383
    # Sky just under the full well: the noise must not lift a pixel past saturation.
    rate = (np.median(snap(256, 256, 10_000_000)) - np.median(snap(256, 256, 10_000_000,
                                                                    dark=True))) / 10
    bias = np.median(snap(256, 256, 32, dark=True))
    near = snap(256, 256, int(1e6 * 0.995 * (saturated - bias) / rate))
    assert near.max() <= saturated
    assert (near == saturated).sum() > 100


# ---------------------------------------------------------------------------------------
# The PSF


def test_a_short_exposure_keeps_the_light_of_the_stars_too_faint_to_show_in_it():
    # A dense field of faint stars under a dark sky: at 1 ms most of its stars are too
    # faint to draw, and their light must still reach the pixels, as it does at 100 ms.
    configure({"artefacts": NO_ARTEFACTS},
              sky={"brightest_mag": 13, "stars_per_deg2": 20000, "background_mag_arcsec2": 23})
    asi.set_control_value(MONO, CT.ASI_GAIN, 300, False)

    def light_per_second(exposure_us, frames):
        light = sum(snap(1024, 1024, exposure_us).mean() for _ in range(frames))
        dark = sum(snap(1024, 1024, exposure_us, dark=True).mean() for _ in range(frames))
        return (light - dark) / frames / (exposure_us * 1e-6)

    # Without the faint stars' light the short exposure reads about 14% less.
    assert light_per_second(1000, 12) == pytest.approx(light_per_second(100_000, 2), rel=0.05)


def moffat_fit(cutout):
    """FWHM (pixels) and beta of the circular Moffat profile that best fits a
    background-free star image, by a grid over width and index (amplitude by least
    squares); beta at the top of the grid stands for a Gaussian."""
    y, x = np.indices(cutout.shape)
    total = cutout.sum()
    cx, cy = (cutout * x).sum() / total, (cutout * y).sum() / total
    r2 = ((x - cx) ** 2 + (y - cy) ** 2).ravel()
    values = cutout.ravel()
    best = (np.inf, 0.0, 0.0)
    for beta in np.arange(1.5, 12.01, 0.25):
        for fwhm in np.arange(3.0, 14.0, 0.05):
            alpha = fwhm / (2 * np.sqrt(2 ** (1 / beta) - 1))
            model = (1 + r2 / alpha ** 2) ** -beta
            amplitude = (model * values).sum() / (model * model).sum()
            residual = ((values - amplitude * model) ** 2).sum()
            if residual < best[0]:
                best = (residual, fwhm, beta)
    return best[1], best[2]


@pytest.mark.parametrize("seeing", [5.0, 8.0])
def test_stars_are_moffat_profiles_as_wide_as_the_seeing(seeing):
    configure({"artefacts": NO_ARTEFACTS}, sky={**BRIGHT_SKY, "seeing_arcsec": seeing})
    image = snap(512, 512, 4_000_000)
    background = sep.Background(image)
    image = image - background
    objects = sep.extract(image, 10, err=background.globalrms)
    half = 16
    positions = np.stack([objects["x"], objects["y"]], axis=1)

    def alone(star):
        distances = np.hypot(*(positions - (star["x"], star["y"])).T)
        return (distances < 2 * half).sum() == 1

    isolated = [o for o in objects
                if o["flag"] == 0 and 1000 < o["peak"] < 10000 and alone(o)
                and half < o["x"] < 512 - half and half < o["y"] < 512 - half]
    assert len(isolated) >= 3
    fits = []
    for star in sorted(isolated, key=lambda o: -o["peak"])[:5]:
        x, y = int(round(star["x"])), int(round(star["y"]))
        fits.append(moffat_fit(image[y - half:y + half + 1, x - half:x + half + 1]))
    fwhm, beta = np.median(fits, axis=0)
    assert fwhm * SCALE == pytest.approx(seeing, rel=0.03)
    assert 3 <= beta <= 4.5


# ---------------------------------------------------------------------------------------
# The fixed pattern: what darks and flats remove

QUIET = {**NO_ARTEFACTS}
FLAT_SKY = {"stars_per_deg2": 0, "background_mag_arcsec2": 14}


def artefacts(**changes):
    return {"artefacts": {**NO_ARTEFACTS, **changes}}


@pytest.mark.parametrize("warm", [True, False])
def test_the_same_pixels_are_warm_in_every_dark(warm):
    configure(artefacts(warm_pixels=warm))
    darks = [snap(256, 256, 60_000_000, dark=True) for _ in range(2)]
    hottest = [set(np.argsort(dark, axis=None)[-20:]) for dark in darks]
    shared = len(hottest[0] & hottest[1])
    if warm:
        assert shared >= 18
        assert darks[0].max() - np.median(darks[0]) > 50 * (darks[0] - darks[1]).std()
    else:
        assert shared <= 3


@pytest.mark.parametrize("prnu", [0.0, 0.01, 0.03])
def test_flats_vary_from_pixel_to_pixel_by_the_prnu(prnu):
    configure(artefacts(prnu=prnu), sky=FLAT_SKY)
    exposure = 2_000_000
    a, b = snap(128, 128, exposure), snap(128, 128, exposure)
    bias = np.median(snap(128, 128, exposure, dark=True))
    fixed = np.sqrt(max(0.0, ((a + b) / 2).var() - ((a - b) / 2).var()))
    assert fixed / (np.mean(a + b) / 2 - bias) == pytest.approx(prnu, abs=0.002)


@pytest.mark.parametrize("vignetting, dust", [(0.0, 0), (0.2, 0), (0.3, 5)])
def test_flats_fall_off_to_the_corners_and_show_dust(vignetting, dust):
    configure(artefacts(vignetting=vignetting, dust=dust), sky=FLAT_SKY)
    flat = snap(1032, 704, 10_000_000, bin=4) - np.median(snap(1032, 704, 32, bin=4, dark=True))
    # The region starts 2 binned pixels in; the sensor's centre is at (518, 352.75).
    y, x = np.indices(flat.shape)
    rho2 = ((x + 2.5 - 518) ** 2 + (y + 0.5 - 352.75) ** 2) / (518 ** 2 + 352.75 ** 2)
    centre = np.median(flat[330:374, 494:538])
    assert np.median(flat[:20, :20]) / centre == pytest.approx(1 - vignetting * 0.97, abs=0.01)
    shadows = flat / (centre * (1 - vignetting * rho2)) - 1
    blocks = shadows[:, :1032].reshape(176, 4, 258, 4).mean(axis=(1, 3))  # less noise
    assert (blocks.min() < -0.02) == (dust > 0)


@pytest.mark.parametrize("glow", [0.0, 2.0])
def test_amp_glow_grows_with_the_exposure_in_a_corner(glow):
    configure(artefacts(amp_glow_e=glow))
    excess = []
    for seconds in (10, 60):
        dark = snap(1032, 704, seconds * 1_000_000, bin=4, dark=True)
        corners = [dark[:8, :8], dark[:8, -8:], dark[-8:, :8], dark[-8:, -8:]]
        excess.append(max(np.mean(c) for c in corners) - np.median(dark))
    if glow:
        assert excess[0] > 5 and excess[1] == pytest.approx(6 * excess[0], rel=0.15)
    else:
        assert max(excess) < 1


@pytest.mark.parametrize("column", ["none", "hot", "dead"])
def test_one_column_is_hot_or_dead_as_configured(column):
    configure(artefacts(column=column), sky=FLAT_SKY)
    dead = column == "dead"
    light = snap(4144, 32, 2_000_000 if dead else 60_000_000, dark=not dead).mean(axis=0)
    level = np.median(light)
    spread = np.percentile(light, 75) - np.percentile(light, 25)
    outliers = np.abs(light - level) > 8 * spread
    if column == "none":
        assert not outliers.any()
    else:
        assert outliers.sum() == 1
        assert (light[outliers][0] > level) == (not dead)


def test_cosmic_rays_hit_every_frame_somewhere_else():
    rate = 500  # per cm² and second; about 0.02 at sea level
    configure(artefacts(cosmic_rays_cm2_s=rate))
    seconds = 10
    darks = [snap(256, 256, seconds * 1_000_000, dark=True) for _ in range(2)]
    noise = (darks[0] - darks[1]).std() / np.sqrt(2)
    hit = [dark > np.median(dark) + 20 * noise for dark in darks]
    area = (256 * 3.76e-4) ** 2
    expected = rate * seconds * area  # tracks of one to a few pixels each
    assert expected <= hit[0].sum() <= 8 * expected
    assert (hit[0] & hit[1]).sum() <= 2
    configure(artefacts())
    assert not (snap(256, 256, seconds * 1_000_000, dark=True) > np.median(darks[0]) +
                20 * noise).any()


@pytest.mark.parametrize("model, img_type, bin", [
    ("mono_cooled", RAW16, 1),
    ("mono_cooled", asi.ImgType.IMG_RAW8, 2),
    ("color_guide", asi.ImgType.IMG_RGB24, 1),
])
def test_frames_are_the_same_on_any_number_of_threads(model, img_type, bin):
    # Rows are split into bands that threads share; a star reaching over a band's edge,
    # the noise and the cosmic rays must come out the same however they were split. Real
    # exposures: the second frame's seeing jitter moves the field, which redraws stars.
    width, height = 512, 384
    size = width * height * {RAW16: 2, asi.ImgType.IMG_RGB24: 3}.get(img_type, 1)
    frames = {}
    for threads in (1, 3):
        sim.load_config({"cameras": [{"model": model}], "sky": {"catalogue": "synthetic"},
                         "render_threads": threads})
        asi.open_camera(0)
        asi.init_camera(0)
        asi.set_roi_format(0, width, height, bin, img_type)
        asi.set_control_value(0, CT.ASI_EXPOSURE, 2000, False)
        frames[threads] = []
        for _ in range(2):
            asi.start_exposure(0, False)
            while asi.get_exp_status(0) == asi.ExposureStatus.ASI_EXP_WORKING:
                time.sleep(0.001)
            frames[threads].append(asi.get_data_after_exp(0, size))
        asi.close_camera(0)
    assert frames[1][0] != frames[1][1]
    assert frames[1] == frames[3]


@pytest.mark.parametrize("artefacts_value, message", [
    ({"glitter": 1}, 'cameras[0].artefacts: unknown key "glitter"'),
    ({"prnu": "1%"}, "cameras[0].artefacts.prnu: must be a number"),
    ({"prnu": 0.5}, "cameras[0].artefacts.prnu: must be between 0 and 0.2"),
    ({"vignetting": -0.1}, "cameras[0].artefacts.vignetting: must be between 0 and 0.9"),
    ({"dust": 2.5}, "cameras[0].artefacts.dust: must be an integer"),
    ({"dust": 51}, "cameras[0].artefacts.dust: must be between 0 and 50"),
    ({"warm_pixels": 1}, "cameras[0].artefacts.warm_pixels: must be true or false"),
    ({"column": "cold"}, 'cameras[0].artefacts.column: must be one of "none", "hot", "dead"'),
    ({"amp_glow_e": -1}, "cameras[0].artefacts.amp_glow_e: must be between 0 and 10000"),
    ({"cosmic_rays_cm2_s": None}, "cameras[0].artefacts.cosmic_rays_cm2_s: must be a number"),
    ([], "cameras[0].artefacts: must be an object"),
])
def test_bad_artefact_settings_are_named_and_change_nothing(artefacts_value, message):
    sim.load_config({"cameras": [{"name": "Before"}]})
    with pytest.raises(ValueError) as error:
        sim.load_config({"cameras": [{"name": "After", "artefacts": artefacts_value}]})
    assert message in str(error.value)
    assert asi.get_camera_property(0).name == "Before"
