"""Cameras as Python objects: the everyday layer over `asi`.

`asi` is the SDK itself, one call per function. This module adds what every program
writes on top of it: a camera that opens and closes itself, controls by name, a region
checked against the camera's rules, exposures that wait and clean up after themselves,
frames as numpy arrays with their metadata (saved as FITS or PNG), video as an iterator,
cooling and timed guide pulses.

    from halvarine.corvantis.camera import Camera

    with Camera(0) as cam:
        cam.controls["Gain"].value = 100
        frame = cam.snap(2.5)
        frame.save("m42.fits")
"""

from __future__ import annotations

import asyncio
import contextlib
import enum
import functools
import importlib
import logging
import math
import numbers
import queue
import sys
import threading
import time
from collections.abc import AsyncIterator, Callable, Iterator, Mapping
from dataclasses import dataclass, field, replace
from datetime import UTC, datetime, timedelta
from os import PathLike
from pathlib import Path
from types import TracebackType
from typing import Any, Literal, Self

import numpy as np
import numpy.typing as npt

import asi

__all__ = [
    "Camera",
    "CameraError",
    "CaptureTimeout",
    "Control",
    "Controls",
    "CoolingError",
    "ExposureFailed",
    "Frame",
    "FrameType",
    "GuidePulse",
    "Identity",
    "NotSupported",
    "Optics",
    "Roi",
    "Target",
    "Video",
    "Wcs",
    "list_cameras",
    "log_sdk_calls",
]

ImageType = asi.ImgType
FrameType = Literal["light", "dark", "bias", "flat"]
Exposure = float | int | timedelta


# ---------------------------------------------------------------------------------------
# Errors of the layer's own; the SDK's failures stay the `asi` exceptions, with a note.


class CameraError(Exception):
    """Something the camera layer itself found wrong."""


class NotSupported(CameraError):
    """The camera lacks the feature asked for (a cooler, an ST4 port, triggers)."""


class ExposureFailed(CameraError):
    """The camera ended an exposure without an image."""


class CoolingError(CameraError):
    """The cooler cannot bring the sensor to the temperature asked for."""


class CoolingTimeout(CoolingError, TimeoutError):
    """The sensor did not settle at the temperature in the time given."""


class CaptureTimeout(asi.ASITimeout, TimeoutError):
    """No image in the time given; caught as `asi.ASITimeout` or `TimeoutError`."""


# ---------------------------------------------------------------------------------------
# Small values.

# Bytes per pixel and numpy type of each output format. RAW16 is little-endian with the
# sensor's bits at the top; RGB24 comes from the SDK in B, G, R order.
_LAYOUT: dict[asi.ImgType, tuple[str, int]] = {
    asi.ImgType.IMG_RAW8: ("u1", 1),
    asi.ImgType.IMG_RGB24: ("u1", 3),
    asi.ImgType.IMG_RAW16: ("<u2", 1),
    asi.ImgType.IMG_Y8: ("u1", 1),
}
_FORMAT_NAMES = {t: t.name.removeprefix("IMG_") for t in _LAYOUT}
_BAYER_CELLS = {
    asi.BayerPattern.BAYER_RG: "RGGB",
    asi.BayerPattern.BAYER_BG: "BGGR",
    asi.BayerPattern.BAYER_GR: "GRBG",
    asi.BayerPattern.BAYER_GB: "GBRG",
}
_FRAME_TYPES: dict[str, str] = {
    "light": "Light Frame",
    "dark": "Dark Frame",
    "bias": "Bias Frame",
    "flat": "Flat Frame",
}
_DIRECTIONS = {
    "north": asi.GuideDirection.ASI_GUIDE_NORTH,
    "south": asi.GuideDirection.ASI_GUIDE_SOUTH,
    "east": asi.GuideDirection.ASI_GUIDE_EAST,
    "west": asi.GuideDirection.ASI_GUIDE_WEST,
}

# Longest single wait inside the SDK: Ctrl-C and stop requests are seen this often.
_STEP_S = 0.15
# Time a finished exposure may take to be read out and transferred, beyond its length.
_READOUT_S = 30.0


def _number(name: str, value: object, *, positive: bool = True) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number) or (positive and number <= 0):
        raise ValueError(f"{name} must be a finite number{' above 0' if positive else ''}, "
                         f"not {value!r}")
    return number


def _seconds(name: str, value: object) -> float:
    if isinstance(value, timedelta):
        value = value.total_seconds()
    return _number(name, value)


def _integer(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    return int(value)


def _image_type(value: object) -> asi.ImgType:
    if isinstance(value, asi.ImgType):
        if value not in _LAYOUT:
            raise ValueError(f"image_type {value.name} is no image format")
        return value
    if isinstance(value, str):
        for image_type, name in _FORMAT_NAMES.items():
            if value.upper().removeprefix("IMG_") == name:
                return image_type
        raise ValueError(f"image_type must be one of {', '.join(_FORMAT_NAMES.values())}, "
                         f"not {value!r}")
    raise TypeError(f"image_type must be an asi.ImgType or its name, not "
                    f"{type(value).__name__}")


def _direction(value: object) -> asi.GuideDirection:
    if isinstance(value, asi.GuideDirection):
        return value
    if isinstance(value, str):
        word = value.lower().removeprefix("asi_guide_")
        for name, direction in _DIRECTIONS.items():
            if word in (name, name[0]):
                return direction
        raise ValueError(f"direction must be north, south, east or west, not {value!r}")
    raise TypeError(f"direction must be an asi.GuideDirection or a compass word, not "
                    f"{type(value).__name__}")


def _add_cleanup_failure(error: BaseException, what: str, failure: BaseException) -> None:
    error.add_note(f"{what} failed too: {type(failure).__name__}: {failure}")


@contextlib.contextmanager
def _noted(what: str) -> Iterator[None]:
    """An SDK failure in the block gets the note "while <what>"."""
    try:
        yield
    except asi.ASIError as error:
        error.add_note(f"while {what}")
        raise


def _retried(function: Callable[..., None], *args: Any) -> None:
    """A call that stops something (video, a guide pulse, an exposure): left undone it
    keeps the camera busy or the mount moving, so one failure gets a second try."""
    try:
        function(*args)
    except asi.ASIError:
        function(*args)


def _stop(error: BaseException, what: str, function: Callable[..., None], *args: Any) -> None:
    """Stop something while `error` is on its way; a failure to stop is noted on it."""
    try:
        _retried(function, *args)
    except asi.ASIError as failure:
        _add_cleanup_failure(error, what, failure)


@dataclass(frozen=True)
class Roi:
    """The part of the sensor read out: size in binned pixels, binning, output format and
    the top left corner in binned pixels (None: centred, as the SDK places a new region)."""

    width: int
    height: int
    binning: int = 1
    image_type: asi.ImgType = asi.ImgType.IMG_RAW8
    start: tuple[int, int] | None = None

    def __post_init__(self) -> None:
        for name in ("width", "height", "binning"):
            if _integer(name, getattr(self, name)) <= 0:
                raise ValueError(f"{name} must be above 0, not {getattr(self, name)}")
        object.__setattr__(self, "image_type", _image_type(self.image_type))
        if self.start is not None:
            if not isinstance(self.start, tuple) or len(self.start) != 2:
                raise TypeError(f"start must be a tuple (x, y) or None, not {self.start!r}")
            x, y = (_integer("start", v) for v in self.start)
            if x < 0 or y < 0:
                raise ValueError(f"start must not be negative, not {self.start}")

    @functools.cached_property
    def frame_bytes(self) -> int:
        """The size of one image of this region."""
        dtype, samples = _LAYOUT[self.image_type]
        return self.width * self.height * samples * np.dtype(dtype).itemsize

    def describe(self) -> str:
        return f"{self.width}x{self.height} {_FORMAT_NAMES[self.image_type]}"


@dataclass(frozen=True)
class Optics:
    """The telescope in front of the camera, for the FITS header (millimetres)."""

    focal_length: float
    aperture: float | None = None


@dataclass(frozen=True)
class Target:
    """What the camera looks at, for the FITS header: a name and J2000 degrees."""

    name: str
    ra: float | None = None
    dec: float | None = None


@dataclass(frozen=True)
class Wcs:
    """Where a frame's pixels look on the sky (gnomonic projection): the J2000 degrees
    `ra`, `dec` at pixel (`x`, `y`) (0-based, x along a row, y down the rows) and the
    degrees of sky per pixel step `cd` ((dRA·cos dec/dx, dRA·cos dec/dy), (dDec/dx,
    dDec/dy)). A frame carries one only where it was given one (Frame.with_wcs): from a
    plate solver, or from a pointing the user knows."""

    ra: float
    dec: float
    x: float
    y: float
    cd: tuple[tuple[float, float], tuple[float, float]]
    source: str
    """Where it comes from, for the FITS header: "solve-field", "configured"..."""

    @classmethod
    def pointing(cls, ra: float, dec: float, rotation: float, scale: float,
                 x: float, y: float, source: str = "configured") -> Wcs:
        """Looking at (`ra`, `dec`) from pixel (`x`, `y`), `scale` degrees per pixel; at
        `rotation` 0 north is up (-y) and east left (-x), and the rotation turns the
        frame's up from north towards east (degrees)."""
        cos, sin = math.cos(math.radians(rotation)), math.sin(math.radians(rotation))
        return cls(ra, dec, x, y, ((-scale * cos, -scale * sin), (scale * sin, -scale * cos)),
                   source)

    @classmethod
    def from_header(cls, header: Mapping[str, Any], source: str) -> Wcs:
        """The linear part of a FITS TAN header (CRVAL, CRPIX, CD or CDELT and PC), as
        solve-field writes; KeyError or ValueError where it is not one."""
        axes = str(header.get("CTYPE1", ""))[:8], str(header.get("CTYPE2", ""))[:8]
        if axes != ("RA---TAN", "DEC--TAN"):
            raise ValueError("not a gnomonic (TAN) WCS header")
        if "CD1_1" in header:
            cd = [[float(header.get(f"CD{i}_{j}", 0.0)) for j in (1, 2)] for i in (1, 2)]
        else:
            cd = [[float(header.get(f"PC{i}_{j}", float(i == j))) * float(header[f"CDELT{i}"])
                   for j in (1, 2)] for i in (1, 2)]
        return cls(float(header["CRVAL1"]), float(header["CRVAL2"]),
                   float(header["CRPIX1"]) - 1, float(header["CRPIX2"]) - 1,
                   ((cd[0][0], cd[0][1]), (cd[1][0], cd[1][1])), source)

    def cards(self) -> Iterator[tuple[str, object, str]]:
        yield "WCSAXES", 2, "celestial coordinates"
        yield "CTYPE1", "RA---TAN", "gnomonic projection"
        yield "CTYPE2", "DEC--TAN", "gnomonic projection"
        yield "CUNIT1", "deg", ""
        yield "CUNIT2", "deg", ""
        yield "RADESYS", "ICRS", ""
        yield "EQUINOX", 2000.0, ""
        yield "CRVAL1", self.ra, "[deg] right ascension at the reference pixel"
        yield "CRVAL2", self.dec, "[deg] declination at the reference pixel"
        yield "CRPIX1", self.x + 1, "reference pixel, x (1-based)"
        yield "CRPIX2", self.y + 1, "reference pixel, y (1-based)"
        for i in (1, 2):
            for j in (1, 2):
                yield f"CD{i}_{j}", self.cd[i - 1][j - 1], "[deg/pixel]"
        yield "WCSSRC", self.source[:68], "where the WCS comes from"


class Identity(tuple[str, str | None]):
    """A camera's name and serial number (None where the camera has none)."""

    __slots__ = ()

    def __new__(cls, name: str, serial: str | None) -> Identity:
        return super().__new__(cls, (name, serial))

    @property
    def name(self) -> str:
        return self[0]

    @property
    def serial(self) -> str | None:
        return self[1]


# ---------------------------------------------------------------------------------------
# Frames.


@dataclass(frozen=True)
class _Settings:
    """What all frames of one exposure or video stream share."""

    exposure: float
    gain: int | None
    offset: int | None
    temperature: float | None
    target_temperature: float | None
    roi: Roi
    bayer_pattern: str | None
    camera: Identity
    pixel_size: float
    elec_per_adu: float
    frame_type: FrameType
    optics: Optics | None
    target: Target | None


def _as_pixels(data: bytes | bytearray, roi: Roi) -> npt.NDArray[Any]:
    """The SDK's image bytes as an array of rows, without copying them."""
    dtype, samples = _LAYOUT[roi.image_type]
    pixels = np.frombuffer(data, dtype=dtype)
    if samples == 3:
        return pixels.reshape(roi.height, roi.width, 3)[:, :, ::-1]
    return pixels.reshape(roi.height, roi.width)


def _bayer_at(cell: str, x: int, y: int) -> str:
    """The Bayer cell seen from (x, y): an odd origin starts one column or row further on."""
    if x % 2:
        cell = cell[1] + cell[0] + cell[3] + cell[2]
    if y % 2:
        cell = cell[2:] + cell[:2]
    return cell


def _gps_time(gps: asi.GpsData) -> datetime | None:
    """The GPS time stamp in UTC, or None while the receiver has no fix."""
    if gps.year == 0:
        return None
    return datetime(gps.year, gps.month, gps.day, gps.hour, gps.minute, gps.second,
                    gps.m_second * 1000 + gps.u_second, tzinfo=UTC)


@dataclass(frozen=True, slots=True, eq=False)
class Frame:
    """One image and what describes it. `pixels` looks at the SDK's bytes directly:
    (height, width) uint8 or little-endian uint16, or (height, width, 3) R, G, B."""

    pixels: npt.NDArray[Any]
    started: datetime
    """UTC start of the exposure: from GPS where the camera has a fix, else the clock."""
    gps: asi.GpsData | None
    number: int
    """Position in its video stream, from 0; 0 for a snap."""
    _settings: _Settings = field(repr=False)
    wcs: Wcs | None = None
    """Where the pixels look on the sky, where known (with_wcs); saved in FITS headers."""

    def with_wcs(self, wcs: Wcs | None) -> Frame:
        """The same frame with this WCS (None: without one)."""
        return replace(self, wcs=wcs)

    @property
    def exposure(self) -> float:
        """Seconds."""
        return self._settings.exposure

    @property
    def gain(self) -> int | None:
        return self._settings.gain

    @property
    def offset(self) -> int | None:
        return self._settings.offset

    @property
    def temperature(self) -> float | None:
        """Sensor temperature in °C, where the camera measures it."""
        return self._settings.temperature

    @property
    def target_temperature(self) -> float | None:
        """The cooler's set point in °C while the cooler is on."""
        return self._settings.target_temperature

    @property
    def binning(self) -> int:
        return self._settings.roi.binning

    @property
    def roi(self) -> Roi:
        return self._settings.roi

    @property
    def bayer_pattern(self) -> str | None:
        """The colour filter cell at the frame's top left ("RGGB"...), for raw frames of
        colour cameras; None otherwise."""
        return self._settings.bayer_pattern

    @property
    def camera(self) -> Identity:
        return self._settings.camera

    @property
    def frame_type(self) -> FrameType:
        return self._settings.frame_type

    def debayer(self) -> Frame:
        """The raw colour frame as (height, width, 3) R, G, B of the same type, each
        missing colour interpolated from its neighbours (bilinear)."""
        pattern = self.bayer_pattern
        if pattern is None:
            raise ValueError("debayer() needs a raw frame of a colour camera")
        rgb = _demosaic(self.pixels, pattern)
        return Frame(rgb, self.started, self.gps, self.number,
                     replace(self._settings, bayer_pattern=None), self.wcs)

    def fits_header(self) -> Any:
        """The frame's FITS header (an astropy.io.fits.Header)."""
        fits = _require("astropy.io.fits", "astropy", "FITS")
        return fits.Header([(k, v, c) for k, v, c in self._fits_cards()])

    def _fits_cards(self) -> Iterator[tuple[str, object, str]]:
        s = self._settings
        yield "IMAGETYP", _FRAME_TYPES[s.frame_type], "type of image"
        yield "INSTRUME", s.camera.name, "camera"
        yield ("DATE-OBS", self.started.strftime("%Y-%m-%dT%H:%M:%S.%f"),
               f"UTC start of exposure ({'GPS' if self.gps is not None else 'system clock'})")
        yield "EXPTIME", s.exposure, "[s] exposure time"
        if s.gain is not None:
            yield "GAIN", s.gain, "camera gain setting"
        if s.offset is not None:
            yield "OFFSET", s.offset, "camera offset (bias) setting"
        egain = self._electrons_per_adu()
        if egain is not None:
            yield "EGAIN", round(egain, 6), "[e-/ADU] electrons per ADU"
        if s.temperature is not None:
            yield "CCD-TEMP", s.temperature, "[degC] sensor temperature"
        if s.target_temperature is not None:
            yield "SET-TEMP", s.target_temperature, "[degC] cooler set point"
        yield "XBINNING", s.roi.binning, "binning factor in x"
        yield "YBINNING", s.roi.binning, "binning factor in y"
        # Binned pixel sizes, as stacking and plate-solving programs expect.
        yield "XPIXSZ", s.pixel_size * s.roi.binning, "[um] pixel width, binned"
        yield "YPIXSZ", s.pixel_size * s.roi.binning, "[um] pixel height, binned"
        if s.roi.start is not None:
            yield "XORGSUBF", s.roi.start[0], "region origin in x, binned pixels"
            yield "YORGSUBF", s.roi.start[1], "region origin in y, binned pixels"
        # The SDK delivers the top row first; debayering programs need to know.
        yield "ROWORDER", "TOP-DOWN", "order of the rows in the image"
        if s.bayer_pattern is not None:
            # The pattern is already that of the frame's first pixel.
            yield "BAYERPAT", s.bayer_pattern, "colour filter mosaic"
            yield "XBAYROFF", 0, "Bayer pattern x offset"
            yield "YBAYROFF", 0, "Bayer pattern y offset"
        if self.gps is not None:
            yield "SITELAT", self.gps.latitude, "[deg] latitude from GPS"
            yield "SITELONG", self.gps.longitude, "[deg] longitude from GPS"
            yield "SITEELEV", self.gps.altitude, "[m] altitude from GPS"
        if s.optics is not None:
            yield "FOCALLEN", s.optics.focal_length, "[mm] focal length"
            if s.optics.aperture is not None:
                yield "APTDIA", s.optics.aperture, "[mm] aperture diameter"
        if s.target is not None:
            yield "OBJECT", s.target.name, "target"
            if s.target.ra is not None and s.target.dec is not None:
                yield "RA", s.target.ra, "[deg] right ascension of the target (J2000)"
                yield "DEC", s.target.dec, "[deg] declination of the target (J2000)"
                yield "OBJCTRA", _sexagesimal(s.target.ra / 15, False), "[h m s] J2000"
                yield "OBJCTDEC", _sexagesimal(s.target.dec, True), "[d m s] J2000"
        if self.wcs is not None:
            yield from self.wcs.cards()

    def _electrons_per_adu(self) -> float | None:
        """The camera reports e-/ADU at gain 0 in 16-bit units; gain counts 0.1 dB."""
        s = self._settings
        if s.elec_per_adu <= 0 or s.gain is None or s.roi.image_type == ImageType.IMG_RGB24:
            return None
        per_adu16 = s.elec_per_adu * 10 ** (-s.gain / 200)
        return per_adu16 if s.roi.image_type == ImageType.IMG_RAW16 else per_adu16 * 256

    def save(self, path: str | PathLike[str], *, overwrite: bool = False) -> Path:
        """Write the frame as FITS (.fits, .fit, .fts: the pixels as they are, with the
        usual headers) or PNG (.png: stretched for the eye). Returns the path."""
        target = Path(path)
        suffix = target.suffix.lower()
        if suffix in (".fits", ".fit", ".fts"):
            self._save_fits(target, overwrite)
        elif suffix == ".png":
            if target.exists() and not overwrite:
                raise FileExistsError(f"{target} exists (pass overwrite=True to replace it)")
            image = _require("PIL.Image", "Pillow", "PNG")
            image.fromarray(self.preview()).save(target)
        else:
            raise ValueError(f"path must end in .fits, .fit, .fts or .png, not {target.name!r}")
        return target

    def _save_fits(self, path: Path, overwrite: bool) -> None:
        fits = _require("astropy.io.fits", "astropy", "FITS")
        data = self.pixels
        if data.ndim == 3:
            data = np.moveaxis(data, 2, 0)  # FITS keeps colour planes as the slowest axis
        header = fits.Header([(k, v, c) for k, v, c in self._fits_cards()])
        # astropy writes uint16 as BITPIX 16 with BZERO 32768, as FITS readers expect.
        fits.PrimaryHDU(data=np.ascontiguousarray(data), header=header).writeto(
            path, overwrite=overwrite)

    def preview(self) -> npt.NDArray[np.uint8]:
        """8-bit pixels to look at: black just below the sky, white at the brightest
        stars, an asinh curve between; a raw colour frame is debayered first."""
        pixels = self.pixels if self.bayer_pattern is None else self.debayer().pixels
        return _stretch(pixels)


def _sexagesimal(value: float, signed: bool) -> str:
    sign = "-" if value < 0 else ("+" if signed else "")
    total = round(abs(value) * 3600, 2)
    whole, seconds = divmod(total, 60)
    degrees, minutes = divmod(int(whole), 60)
    return f"{sign}{degrees:02d} {minutes:02d} {seconds:05.2f}"


def _require(module: str, package: str, purpose: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(f"saving {purpose} needs {package}, which is not installed") from error


def _demosaic(mosaic: npt.NDArray[Any], pattern: str) -> npt.NDArray[Any]:
    """Bilinear demosaicing: each colour plane's samples spread over their neighbours."""
    height, width = mosaic.shape
    padded = np.pad(mosaic.astype(np.float32), 1, mode="reflect")
    planes = []
    for colour in "RGB":
        mask = np.zeros((height + 2, width + 2), np.float32)
        for index, cell in enumerate(pattern):
            if cell == colour:
                row, column = divmod(index, 2)
                # The padding shifts the pattern by one pixel both ways.
                mask[1 - row::2, 1 - column::2] = 1
        mask[0, :], mask[-1, :] = mask[2, :], mask[-3, :]
        mask[:, 0], mask[:, -1] = mask[:, 2], mask[:, -3]
        values, weights = padded * mask, mask
        total = np.zeros((height, width), np.float32)
        count = np.zeros((height, width), np.float32)
        for dy, dx, weight in _KERNEL:
            total += weight * values[1 + dy:1 + dy + height, 1 + dx:1 + dx + width]
            count += weight * weights[1 + dy:1 + dy + height, 1 + dx:1 + dx + width]
        planes.append(total / np.maximum(count, 1e-6))
    rgb = np.dstack(planes)
    limit = np.iinfo(mosaic.dtype).max if mosaic.dtype.kind in "ui" else None
    if limit is not None:
        rgb = np.clip(np.rint(rgb), 0, limit)
    return rgb.astype(mosaic.dtype)


# 3x3 neighbourhood weights: nearer samples count twice, diagonal ones once.
_KERNEL = [(dy, dx, 4.0 if dy == dx == 0 else (1.0 if dy and dx else 2.0))
           for dy in (-1, 0, 1) for dx in (-1, 0, 1)]


def _stretch(image: npt.NDArray[Any], strength: float = 30.0) -> npt.NDArray[np.uint8]:
    data = image.astype(np.float32)
    # Each colour's sky is subtracted on its own, which also takes out its colour cast.
    sky = np.median(data.reshape(-1, data.shape[2]) if data.ndim == 3 else data.ravel(), axis=0)
    data -= sky
    noise = 1.4826 * float(np.median(np.abs(data)))
    black, white = -noise, float(np.percentile(data, 99.98))
    scaled = np.clip((data - black) / max(white - black, 1e-6), 0, 1)
    stretched = np.arcsinh(strength * scaled) / np.arcsinh(strength)
    result: npt.NDArray[np.uint8] = np.round(stretched * 255).astype(np.uint8)
    return result


# ---------------------------------------------------------------------------------------
# Controls.


class Control:
    """One control of an open camera, named as the camera names it."""

    __slots__ = ("_camera_id", "_camera", "_caps", "_type", "name", "description", "min",
                 "max", "default", "writable", "auto_supported")

    def __init__(self, camera_id: int, caps: asi.ControlCaps, camera: str) -> None:
        self._camera_id = camera_id
        self._camera = camera
        self._caps = caps
        self._type = caps.control_type
        self.name = caps.name
        self.description = caps.description
        self.min = caps.min_value
        self.max = caps.max_value
        self.default = caps.default_value
        self.writable = caps.is_writable
        self.auto_supported = caps.is_auto_supported

    @property
    def control_type(self) -> asi.ControlType:
        return self._type

    @property
    def value(self) -> int:
        try:
            return asi.get_control_value(self._camera_id, self._type)[0]
        except asi.ASIError as error:
            error.add_note(f"while reading {self.name} of {self._camera}")
            raise

    @value.setter
    def value(self, value: int) -> None:
        """Setting a value switches automatic mode off."""
        self.set(value, auto=False)

    @property
    def auto(self) -> bool:
        try:
            return asi.get_control_value(self._camera_id, self._type)[1]
        except asi.ASIError as error:
            error.add_note(f"while reading {self.name} of {self._camera}")
            raise

    @auto.setter
    def auto(self, auto: bool) -> None:
        self.set(self.value, auto=auto)

    def set(self, value: int, auto: bool = False) -> None:
        """The value and automatic mode in one call."""
        value = _integer("value", value)
        if not isinstance(auto, bool):
            raise TypeError(f"auto must be a bool, not {type(auto).__name__}")
        if not self.writable:
            raise ValueError(f"control {self.name} is read-only")
        if auto and not self.auto_supported:
            raise ValueError(f"control {self.name} has no automatic mode")
        if not self.min <= value <= self.max:
            raise ValueError(f"{self.name} must be between {self.min} and {self.max}, "
                             f"not {value}")
        try:
            asi.set_control_value(self._camera_id, self._type, value, auto)
        except asi.ASIError as error:
            error.add_note(f"while setting {self.name} to {value}{' (auto)' if auto else ''} "
                           f"on {self._camera}")
            raise

    def __repr__(self) -> str:
        return (f"<Control {self.name} [{self.min}, {self.max}] default {self.default}"
                f"{'' if self.writable else ', read-only'}>")


class Controls(Mapping[str, Control]):
    """The camera's controls by name, in the camera's order."""

    def __init__(self, controls: list[Control]) -> None:
        self._by_name = {control.name: control for control in controls}
        self._by_type = {control.control_type: control for control in controls}

    def __getitem__(self, name: str) -> Control:
        try:
            return self._by_name[name]
        except KeyError:
            raise KeyError(f"no control {name!r}; the camera has "
                           f"{', '.join(self._by_name)}") from None

    def __iter__(self) -> Iterator[str]:
        return iter(self._by_name)

    def __len__(self) -> int:
        return len(self._by_name)

    def by_type(self, control_type: asi.ControlType) -> Control | None:
        return self._by_type.get(control_type)


# ---------------------------------------------------------------------------------------
# Cameras.


def list_cameras() -> list[asi.CameraInfo]:
    """The description of every connected camera, in the SDK's order."""
    return [asi.get_camera_property(i) for i in range(asi.get_number_of_connected_cameras())]


# Camera IDs this process has open through Camera objects: looking for a camera by its
# serial number must not open (and so reset) one of them.
_open_ids: set[int] = set()
_open_ids_lock = threading.Lock()


class Camera:
    """An opened and initialised camera. Use it as a context manager, or call close().

    `Camera(0)` opens the camera at index 0 of `list_cameras()`; `Camera.by_name()` and
    `Camera.by_serial()` find one. Multi-step operations hold the camera's lock; single
    control reads and writes may come from any thread, also while video runs.
    """

    optics: Optics | None
    """The telescope, when told: frames write its focal length and aperture to FITS."""
    target: Target | None
    """What the camera looks at, when told: frames write OBJECT, RA and DEC to FITS."""

    def __init__(self, index: int = 0) -> None:
        index = _integer("index", index)
        if index < 0:
            raise ValueError(f"index must not be negative, not {index}")
        count = asi.get_number_of_connected_cameras()
        if index >= count:
            raise ValueError(f"index {index} is out of range: {count} camera(s) connected")
        self._open(asi.get_camera_property(index), index)

    @classmethod
    def by_name(cls, name: str) -> Camera:
        """The first camera with this name."""
        if not isinstance(name, str):
            raise TypeError(f"name must be a str, not {type(name).__name__}")
        cameras = list_cameras()
        for index, info in enumerate(cameras):
            if info.name == name:
                return cls(index)
        raise LookupError(f"no camera named {name!r}; connected: "
                          f"{', '.join(info.name for info in cameras) or 'none'}")

    @classmethod
    def by_serial(cls, serial: str) -> Camera:
        """The camera with this serial number (16 hex digits)."""
        if not isinstance(serial, str):
            raise TypeError(f"serial must be a str, not {type(serial).__name__}")
        wanted = serial.lower()
        for index, info in enumerate(list_cameras()):
            with _open_ids_lock:
                if info.camera_id in _open_ids:
                    continue  # open here already, so not the one asked for
                asi.open_camera(info.camera_id)
                try:
                    found = _serial_of(info.camera_id)
                finally:
                    asi.close_camera(info.camera_id)
            if found is not None and found.lower() == wanted:
                return cls(index)
        raise LookupError(f"no unopened camera with serial number {serial!r}")

    def _open(self, info: asi.CameraInfo, index: int) -> None:
        self.info = info
        self.index = index
        self.id = info.camera_id
        self.optics = None
        self.target = None
        self._closed = True
        self._lock = threading.RLock()
        self._pulses: dict[int, GuidePulse] = {}
        # One pulse starts at a time; the map of running pulses has a lock of its own,
        # taken by pulses as they end (a starting pulse may wait for one to end).
        self._pulse_lock = threading.Lock()
        self._pulses_by_axis_lock = threading.Lock()
        self._videos: set[Video] = set()
        with _open_ids_lock:
            try:
                asi.open_camera(self.id)
            except asi.ASIError as error:
                error.add_note(f"while opening {self}")
                raise
            _open_ids.add(self.id)
        self._closed = False
        try:
            asi.init_camera(self.id)
            self.controls = Controls([Control(self.id, asi.get_control_caps(self.id, i), str(self))
                                      for i in range(asi.get_num_of_controls(self.id))])
            self.identity = Identity(info.name, _serial_of(self.id))
        except BaseException as error:
            error.add_note(f"while opening {self}")
            try:
                self.close()
            except asi.ASIError as failure:
                _add_cleanup_failure(error, "closing it again", failure)
            raise

    def __str__(self) -> str:
        return f"camera {self.id} ({self.info.name})"

    def __repr__(self) -> str:
        return f"<Camera {self.id} {self.info.name!r}{' closed' if self._closed else ''}>"

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if error is None:
            self.close()
        else:
            # The error that ended the block matters more than one in closing (an
            # unplugged camera fails both): the latter becomes a note on the former.
            try:
                self.close()
            except asi.ASIError as failure:
                _add_cleanup_failure(error, f"closing {self}", failure)

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Stop what runs (video, guide pulses) and close the camera; again: nothing."""
        if self._closed:
            return
        self._closed = True
        try:
            for video in list(self._videos):
                video.stop()
            with self._pulses_by_axis_lock:
                pulses = list(self._pulses.values())
            for pulse in pulses:
                pulse.cancel()
        finally:
            with _open_ids_lock:
                _open_ids.discard(self.id)
            # Closing also ends a running exposure and switches the cooler off.
            try:
                asi.close_camera(self.id)
            except asi.ASIError as error:
                error.add_note(f"while closing {self}")
                raise

    def _check_open(self) -> None:
        if self._closed:
            raise CameraError(f"{self} is closed")

    # Region ----------------------------------------------------------------------------

    @property
    def roi(self) -> Roi:
        try:
            width, height, binning, image_type = asi.get_roi_format(self.id)
            return Roi(width, height, binning, image_type, asi.get_start_pos(self.id))
        except asi.ASIError as error:
            error.add_note(f"while reading the region of {self}")
            raise

    @roi.setter
    def roi(self, roi: Roi) -> None:
        if not isinstance(roi, Roi):
            raise TypeError(f"roi must be a Roi, not {type(roi).__name__}")
        self._check_roi(roi)
        with self._lock:
            previous = self.roi
            try:
                asi.set_roi_format(self.id, roi.width, roi.height, roi.binning, roi.image_type)
                if roi.start is not None:
                    asi.set_start_pos(self.id, *roi.start)
            except asi.ASIError as error:
                error.add_note(f"while setting the region {roi.describe()} bin "
                               f"{roi.binning} of {self}")
                try:  # all or nothing: the region as it was
                    asi.set_roi_format(self.id, previous.width, previous.height,
                                       previous.binning, previous.image_type)
                    if previous.start is not None:
                        asi.set_start_pos(self.id, *previous.start)
                except asi.ASIError as failure:
                    _add_cleanup_failure(error, "restoring the region", failure)
                raise

    def full_roi(self, binning: int = 1,
                 image_type: asi.ImgType | str = asi.ImgType.IMG_RAW8) -> Roi:
        """The largest region the camera takes at this binning."""
        binning = _integer("binning", binning)
        if binning not in self.info.supported_bins:
            raise ValueError(f"binning must be one of {self.info.supported_bins} for {self}, "
                             f"not {binning}")
        width = self.info.max_width // binning // 8 * 8
        height = self.info.max_height // binning // 2 * 2
        return Roi(width, height, binning, _image_type(image_type), (0, 0))

    def _check_roi(self, roi: Roi) -> None:
        info = self.info
        if roi.binning not in info.supported_bins:
            raise ValueError(f"binning {roi.binning} is not supported by {self}: "
                             f"bins {info.supported_bins}")
        if roi.image_type not in info.supported_video_formats:
            formats = ", ".join(_FORMAT_NAMES[t] for t in info.supported_video_formats
                                if t in _FORMAT_NAMES)
            raise ValueError(f"image type {_FORMAT_NAMES[roi.image_type]} is not supported "
                             f"by {self}: formats {formats}")
        if roi.width % 8 or roi.height % 2:
            raise ValueError(f"region {roi.width}x{roi.height} refused: the width must be "
                             f"a multiple of 8 and the height a multiple of 2")
        full_width, full_height = info.max_width // roi.binning, info.max_height // roi.binning
        x, y = roi.start if roi.start is not None else (0, 0)
        if x + roi.width > full_width or y + roi.height > full_height:
            raise ValueError(f"region {roi.width}x{roi.height} at {x},{y} does not fit the "
                             f"sensor of {self}: {full_width}x{full_height} at bin "
                             f"{roi.binning}")

    # Metadata --------------------------------------------------------------------------

    @property
    def temperature(self) -> float | None:
        """The sensor's temperature in °C, or None if the camera has no sensor for it."""
        if self.controls.by_type(asi.ControlType.ASI_TEMPERATURE) is None:
            return None
        with _noted(f"reading the temperature of {self}"):
            return asi.get_control_value(self.id, asi.ControlType.ASI_TEMPERATURE)[0] / 10

    def _value(self, control_type: asi.ControlType) -> int | None:
        if self.controls.by_type(control_type) is None:
            return None
        return asi.get_control_value(self.id, control_type)[0]

    def _has_gps(self) -> bool:
        return self._value(asi.ControlType.ASI_GPS_SUPPORT) == 1

    def _settings(self, roi: Roi, exposure: float, frame_type: FrameType) -> _Settings:
        # Read back rather than remembered: auto gain, or another thread, may change them.
        cooling = self._value(asi.ControlType.ASI_COOLER_ON) == 1
        target = self._value(asi.ControlType.ASI_TARGET_TEMP) if cooling else None
        pattern = None
        if self.info.is_color_camera and roi.image_type in (ImageType.IMG_RAW8,
                                                             ImageType.IMG_RAW16):
            pattern = _bayer_at(_BAYER_CELLS[self.info.bayer_pattern], *(roi.start or (0, 0)))
        return _Settings(
            exposure=exposure,
            gain=self._value(asi.ControlType.ASI_GAIN),
            offset=self._value(asi.ControlType.ASI_OFFSET),
            temperature=self.temperature,
            target_temperature=None if target is None else float(target),
            roi=roi,
            bayer_pattern=pattern,
            camera=self.identity,
            pixel_size=self.info.pixel_size,
            elec_per_adu=self.info.elec_per_adu,
            frame_type=frame_type,
            optics=self.optics,
            target=self.target,
        )

    def _set_exposure(self, seconds: float) -> None:
        control = self.controls.by_type(asi.ControlType.ASI_EXPOSURE)
        microseconds = round(seconds * 1e6)
        if control is not None and not control.min <= microseconds <= control.max:
            raise ValueError(f"exposure must be between {control.min / 1e6:g} and "
                             f"{control.max / 1e6:g} s for {self}, not {seconds:g} s")
        asi.set_control_value(self.id, asi.ControlType.ASI_EXPOSURE, microseconds, False)

    # Snap ------------------------------------------------------------------------------

    def snap(self, exposure: Exposure, dark: bool = False, timeout: float | None = None, *,
             frame_type: FrameType | None = None) -> Frame:
        """Take one exposure (seconds, or a timedelta) and return its frame.

        `dark` keeps the shutter closed. `frame_type` (light, dark, bias or flat; from
        `dark` if not given) is what the FITS header says the frame is. Blocks until the
        image is read; Ctrl-C or `timeout` (seconds; default: the exposure plus readout
        time) stop the exposure and leave the camera ready for the next one.
        """
        seconds = _seconds("exposure", exposure)
        if not isinstance(dark, bool):
            raise TypeError(f"dark must be a bool, not {type(dark).__name__}")
        limit = seconds + _READOUT_S if timeout is None else _number("timeout", timeout)
        if frame_type is None:
            frame_type = "dark" if dark else "light"
        elif frame_type not in _FRAME_TYPES:
            raise ValueError(f"frame_type must be one of {', '.join(_FRAME_TYPES)}, "
                             f"not {frame_type!r}")
        elif dark and frame_type in ("light", "flat"):
            raise ValueError(f"a {frame_type} frame cannot be taken with dark=True")
        shutter_closed = frame_type in ("dark", "bias")
        self._check_open()
        with self._lock:
            what = f"a {seconds:g} s exposure with {self}"
            try:
                roi = self.roi
                what = f"a {seconds:g} s exposure ({roi.describe()}) with {self}"
                self._set_exposure(seconds)
                gps = self._has_gps()
            except asi.ASIError as error:
                error.add_note(f"while preparing {what}")
                raise
            started = datetime.now(UTC)
            try:
                asi.start_exposure(self.id, shutter_closed)
                self._wait_for_exposure(seconds, limit, what)
            except BaseException as error:
                # Ctrl-C, a time-out or a failed step: ready for the next exposure.
                if isinstance(error, asi.ASIError):
                    error.add_note(f"while taking {what}")
                _stop(error, "stopping the exposure", asi.stop_exposure, self.id)
                raise
            try:
                fix = None
                if gps:
                    data, fix = asi.get_data_after_exp_gps(self.id, roi.frame_bytes)
                else:
                    data = asi.get_data_after_exp(self.id, roi.frame_bytes)
                settings = self._settings(roi, seconds, frame_type)
            except asi.ASIError as error:
                error.add_note(f"while reading a {roi.describe()} frame from {self}")
                raise
        gps_start = None if fix is None else _gps_time(fix)
        return Frame(_as_pixels(data, roi), gps_start or started,
                     None if gps_start is None else fix, 0, settings)

    def _wait_for_exposure(self, seconds: float, limit: float, what: str) -> None:
        # Short sleeps: the status is cheap to ask, and Ctrl-C is handled between them.
        poll = min(0.05, max(0.001, seconds / 20))
        deadline = time.monotonic() + limit
        while (status := asi.get_exp_status(self.id)) == asi.ExposureStatus.ASI_EXP_WORKING:
            if time.monotonic() >= deadline:
                raise CaptureTimeout(f"{what}: no image after {limit:g} s")
            time.sleep(poll)
        if status != asi.ExposureStatus.ASI_EXP_SUCCESS:
            raise ExposureFailed(f"{what}: the exposure ended as "
                                 f"{asi.ExposureStatus(status).name}")

    # Video -----------------------------------------------------------------------------

    def video(self, exposure: Exposure, *, frames: int | None = None,
              timeout: float | None = None, buffer: int = 0) -> Video:
        """A video stream: a context manager that starts capture on enter and stops it on
        exit, and an iterator (also `async for`) of frames. See `Video`."""
        return Video(self, exposure, frames=frames, timeout=timeout, buffer=buffer)

    @property
    def mode(self) -> asi.CameraMode:
        """Normal or one of the trigger modes (trigger cameras only)."""
        with _noted(f"reading the mode of {self}"):
            return asi.get_camera_mode(self.id)

    @mode.setter
    def mode(self, mode: asi.CameraMode) -> None:
        if not isinstance(mode, asi.CameraMode):
            raise TypeError(f"mode must be an asi.CameraMode, not {type(mode).__name__}")
        if mode != asi.CameraMode.ASI_MODE_NORMAL and not self.info.is_trigger_cam:
            raise NotSupported(f"{self} has no trigger modes")
        with _noted(f"switching {self} to {mode.name}"):
            asi.set_camera_mode(self.id, mode)

    def trigger(self) -> None:
        """A software trigger: one frame in soft edge mode."""
        with _noted(f"sending a software trigger to {self}"):
            asi.send_soft_trigger(self.id, True)

    # Cooling ---------------------------------------------------------------------------

    def cool_to(self, celsius: float, *, timeout: float = 600.0, tolerance: float = 0.5,
                settle: float = 5.0, stall: float = 60.0,
                progress: bool | Callable[[float, int], object] = False) -> float:
        """Switch the cooler on to `celsius` and wait until the sensor holds within
        `tolerance` for `settle` seconds; returns its temperature.

        CoolingError if the cooler runs at full power for `stall` seconds without getting
        closer, CoolingTimeout after `timeout` seconds. `progress`: a callable given the
        temperature and the cooler power at every reading, or True for a tqdm bar (when
        tqdm is installed and stderr is a terminal). The cooler stays on afterwards.
        """
        celsius = _number("celsius", celsius, positive=False)
        timeout = _number("timeout", timeout)
        tolerance = _number("tolerance", tolerance)
        settle = _number("settle", settle, positive=False)
        stall = _number("stall", stall)
        if not (isinstance(progress, bool) or callable(progress)):
            raise TypeError(f"progress must be a bool or a callable, not "
                            f"{type(progress).__name__}")
        target = self.controls.by_type(asi.ControlType.ASI_TARGET_TEMP)
        if target is None or self.controls.by_type(asi.ControlType.ASI_COOLER_ON) is None:
            raise NotSupported(f"{self} has no cooler")
        if not target.min <= celsius <= target.max:
            raise ValueError(f"celsius must be between {target.min} and {target.max} for "
                             f"{self}, not {celsius:g}")
        self._check_open()
        report = progress if callable(progress) else None
        bar = _cooling_bar(celsius) if progress is True else None
        try:
            try:
                with self._lock:
                    # The target first: switched on before it, the cooler chases the old one.
                    asi.set_control_value(self.id, asi.ControlType.ASI_TARGET_TEMP,
                                          round(celsius), False)
                    asi.set_control_value(self.id, asi.ControlType.ASI_COOLER_ON, 1, False)
                # The wait holds no lock: snaps and video may run meanwhile.
                return self._wait_for_temperature(celsius, timeout, tolerance, settle,
                                                  stall, report, bar)
            except asi.ASIError as error:
                error.add_note(f"while cooling {self} to {celsius:g} °C")
                raise
        finally:
            if bar is not None:
                bar.close()

    def _wait_for_temperature(self, celsius: float, timeout: float, tolerance: float,
                              settle: float, stall: float,
                              report: Callable[[float, int], object] | None,
                              bar: Any) -> float:
        now = time.monotonic()
        deadline = now + timeout
        held_since: float | None = None
        best, best_at = math.inf, now
        while True:
            temperature = asi.get_control_value(self.id, asi.ControlType.ASI_TEMPERATURE)[0] / 10
            power = self._value(asi.ControlType.ASI_COOLER_POWER_PERC) or 0
            now = time.monotonic()
            if report is not None:
                report(temperature, power)
            if bar is not None:
                bar.set_postfix_str(f"sensor {temperature:+.1f} °C, cooler {power}%")
                bar.update(0)
            distance = abs(temperature - celsius)
            if distance <= tolerance:
                held_since = now if held_since is None else held_since
                if now - held_since >= settle:
                    return temperature
            else:
                held_since = None
            if distance < best - 0.1:
                best, best_at = distance, now
            elif distance > tolerance and power >= 99 and now - best_at >= stall:
                raise CoolingError(
                    f"{self} cannot reach {celsius:g} °C: the sensor stays at "
                    f"{temperature:+.1f} °C with the cooler at {power}%")
            if now >= deadline:
                raise CoolingTimeout(f"{self} did not settle at {celsius:g} °C in "
                                     f"{timeout:g} s: the sensor is at {temperature:+.1f} °C")
            time.sleep(min(0.25, max(0.01, settle / 10), max(0.0, deadline - now)))

    def warm_up(self) -> None:
        """Switch the cooler off; the sensor warms to the ambient temperature."""
        if self.controls.by_type(asi.ControlType.ASI_COOLER_ON) is None:
            raise NotSupported(f"{self} has no cooler")
        try:
            asi.set_control_value(self.id, asi.ControlType.ASI_COOLER_ON, 0, False)
        except asi.ASIError as error:
            error.add_note(f"while switching the cooler of {self} off")
            raise

    # Guiding ---------------------------------------------------------------------------

    def pulse_guide(self, direction: asi.GuideDirection | str, seconds: float, *,
                    wait: bool = True) -> GuidePulse:
        """A guide pulse through the ST4 port for `seconds`. With wait=False it runs in
        the background; the returned handle waits for it or cancels it. Pulses in the two
        axes run at once; a new pulse in an axis ends the one running in it."""
        direction = _direction(direction)
        seconds = _seconds("seconds", seconds)
        if not isinstance(wait, bool):
            raise TypeError(f"wait must be a bool, not {type(wait).__name__}")
        if not self.info.st_4_port:
            raise NotSupported(f"{self} has no ST4 guide port")
        self._check_open()
        axis = int(direction) // 2
        with self._pulse_lock:
            with self._pulses_by_axis_lock:
                running = self._pulses.get(axis)
            if running is not None:
                running.cancel()
            pulse = GuidePulse(self, direction, seconds)
            with self._pulses_by_axis_lock:
                self._pulses[axis] = pulse
            pulse._start(background=not wait)
        if wait:
            pulse._run()
        return pulse

    def _pulse_over(self, pulse: GuidePulse) -> None:
        axis = int(pulse.direction) // 2
        with self._pulses_by_axis_lock:
            if self._pulses.get(axis) is pulse:
                del self._pulses[axis]


def _serial_of(camera_id: int) -> str | None:
    try:
        return asi.get_serial_number(camera_id).id
    except asi.ASIError:
        return None  # cameras without a serial number say so by failing


def _cooling_bar(celsius: float) -> Any:
    if not sys.stderr.isatty():
        return None
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return None
    return tqdm(desc=f"cooling to {celsius:g} °C", bar_format="{desc}: {postfix}")


class GuidePulse:
    """A guide pulse: on for its seconds, then off; cancel() ends it early."""

    def __init__(self, camera: Camera, direction: asi.GuideDirection, seconds: float) -> None:
        self.camera = camera
        self.direction = direction
        self.seconds = seconds
        self._cancelled = threading.Event()
        self._finished = threading.Event()
        self._error: BaseException | None = None
        self._thread: threading.Thread | None = None
        self._runner: threading.Thread | None = None

    def _describe(self) -> str:
        return (f"guide pulse {self.direction.name.removeprefix('ASI_GUIDE_').lower()} on "
                f"{self.camera}")

    def _start(self, background: bool) -> None:
        try:
            asi.pulse_guide_on(self.camera.id, self.direction)
        except asi.ASIError as error:
            error.add_note(f"while starting a {self.seconds:g} s {self._describe()}")
            # Whether the line went on is unknown: off is the safe state.
            _stop(error, "switching the pulse off", asi.pulse_guide_off, self.camera.id,
                  self.direction)
            self._finished.set()
            self.camera._pulse_over(self)
            raise
        if background:
            self._thread = threading.Thread(target=self._run_in_background, daemon=True,
                                            name=f"guide pulse {self.direction.name}")
            self._thread.start()

    def _run_in_background(self) -> None:
        try:
            self._run()
        except BaseException as error:  # kept for wait() to raise
            self._error = error

    def _run(self) -> None:
        self._runner = threading.current_thread()
        try:
            # Waiting on the event, not sleeping: cancel() ends it at once, and Ctrl-C
            # interrupts it in the main thread.
            self._cancelled.wait(self.seconds)
        finally:
            try:
                _retried(asi.pulse_guide_off, self.camera.id, self.direction)
            except asi.ASIError as error:
                error.add_note(f"while ending a {self._describe()}")
                raise
            finally:
                self._finished.set()
                self.camera._pulse_over(self)

    @property
    def done(self) -> bool:
        return self._finished.is_set()

    def wait(self, timeout: float | None = None) -> bool:
        """Wait until the pulse is over; True if it is. Raises what ended it badly."""
        if timeout is not None:
            timeout = _number("timeout", timeout, positive=False)
        deadline = None if timeout is None else time.monotonic() + timeout
        # Finite steps, so Ctrl-C is handled promptly.
        while not self._finished.wait(_STEP_S if deadline is None
                                      else min(_STEP_S, max(0, deadline - time.monotonic()))):
            if deadline is not None and time.monotonic() >= deadline:
                return False
        if self._error is not None:
            error, self._error = self._error, None
            raise error
        return True

    def cancel(self) -> None:
        """End the pulse now; it is off when this returns."""
        self._cancelled.set()
        if self._runner is not threading.current_thread():
            self._finished.wait()


# ---------------------------------------------------------------------------------------
# Video.


class Video:
    """A video stream of one camera: `with cam.video(0.01) as video: for frame in video`.

    Waits for frames in steps of at most 0.15 s, so Ctrl-C and stop() are seen promptly.
    `frames` ends the stream after that many frames; `timeout` (seconds; default: twice
    the exposure plus 5 s, and no limit in trigger modes) ends it with CaptureTimeout when
    no frame comes. With `buffer` > 0 a background thread takes the frames into a queue of
    that many; when the consumer falls behind, the oldest are discarded and counted in
    `discarded` rather than holding capture up. Iterating without `with` starts and stops
    the capture around the loop.
    """

    def __init__(self, camera: Camera, exposure: Exposure, *, frames: int | None = None,
                 timeout: float | None = None, buffer: int = 0) -> None:
        self.camera = camera
        self.exposure = _seconds("exposure", exposure)
        if frames is not None and _integer("frames", frames) < 0:
            raise ValueError(f"frames must not be negative, not {frames}")
        self.limit = frames
        self.timeout = None if timeout is None else _number("timeout", timeout)
        if _integer("buffer", buffer) < 0:
            raise ValueError(f"buffer must not be negative, not {buffer}")
        self.buffer = buffer
        self.count = 0
        """Frames delivered so far."""
        self.discarded = 0
        """Frames the background thread took but the consumer never got (buffer full)."""
        self._dropped = 0
        self._running = self._started = False
        self._stopping = threading.Event()
        self._queue: queue.Queue[Frame | BaseException] | None = None
        self._thread: threading.Thread | None = None
        self._taken = 0
        self._roi = Roi(8, 2)
        self._settings: _Settings | None = None
        self._settings_at = 0.0
        self._gps = False
        self._wait = -1.0

    # Starting and stopping ---------------------------------------------------------------

    def __enter__(self) -> Self:
        self.start()
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.stop(error)

    async def __aenter__(self) -> Self:
        self.start()
        return self

    async def __aexit__(self, kind: type[BaseException] | None, error: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await asyncio.to_thread(self.stop, error)

    def start(self) -> None:
        if self._running:
            raise CameraError("the video stream runs already")
        camera = self.camera
        camera._check_open()
        with camera._lock:
            try:
                self._roi = camera.roi
                camera._set_exposure(self.exposure)
                self._gps = camera._has_gps()
                trigger = (camera.info.is_trigger_cam
                           and camera.mode != asi.CameraMode.ASI_MODE_NORMAL)
                self._settings = camera._settings(self._roi, self.exposure, "light")
                self._settings_at = time.monotonic()
                asi.start_video_capture(camera.id)
            except asi.ASIError as error:
                error.add_note(f"while starting video ({self._roi.describe()}) on {camera}")
                raise
            if self.timeout is not None:
                self._wait = self.timeout
            else:
                self._wait = math.inf if trigger else 2 * self.exposure + 5
            self._running = self._started = True
            self._stopping.clear()
            # A stream started again counts afresh, as the camera's dropped frames do.
            self.count = self.discarded = self._taken = 0
            self._queue = self._thread = None
            camera._videos.add(self)
        if self.buffer:
            self._queue = queue.Queue(self.buffer)
            self._thread = threading.Thread(target=self._take_in_background, daemon=True,
                                            name=f"video of {camera}")
            self._thread.start()

    def stop(self, error: BaseException | None = None) -> None:
        """Stop capture (from any thread); the camera is ready for anything else.
        A failure while stopping is raised, or noted on `error` if one is on its way."""
        if not self._running:
            return
        self._running = False
        self._stopping.set()
        camera = self.camera
        camera._videos.discard(self)
        try:
            # Read before stopping: the count belongs to this capture.
            self._dropped = asi.get_dropped_frames(camera.id)
        except asi.ASIError:
            pass
        try:
            _retried(asi.stop_video_capture, camera.id)
        except asi.ASICameraRemoved:
            pass  # the capture ended with the camera
        except asi.ASIError as failure:
            if error is not None:
                _add_cleanup_failure(error, "stopping video", failure)
            else:
                failure.add_note(f"while stopping video on {camera}")
                raise
        finally:
            thread = self._thread
            if thread is not None and thread is not threading.current_thread():
                thread.join()

    @property
    def running(self) -> bool:
        return self._running

    @property
    def dropped(self) -> int:
        """Frames the camera dropped in this capture because they were not fetched in time."""
        if self._running:
            try:
                self._dropped = asi.get_dropped_frames(self.camera.id)
            except asi.ASIError:
                pass
        return self._dropped

    # Taking frames -------------------------------------------------------------------

    def _take(self) -> Frame:
        """The next frame from the SDK, waiting in finite steps."""
        camera, roi = self.camera, self._roi
        waited = 0.0
        data: bytes | bytearray
        while True:
            if self._stopping.is_set():
                raise StopIteration
            step = min(_STEP_S, self._wait - waited)
            started = time.monotonic()
            try:
                if self._gps:
                    data, fix = asi.get_video_data_gps(camera.id, roi.frame_bytes,
                                                       max(1, round(step * 1000)))
                else:
                    data, fix = asi.get_video_data(camera.id, roi.frame_bytes,
                                                   max(1, round(step * 1000))), None
                break
            except asi.ASITimeout:
                waited += time.monotonic() - started
                if waited >= self._wait:
                    raise CaptureTimeout(f"no video frame from {camera} in {self._wait:g} s")
            except asi.ASIError as error:
                if self._stopping.is_set():
                    raise StopIteration from None  # stopped while it waited
                error.add_note(f"while reading a {roi.describe()} video frame from {camera}")
                raise
        now = time.monotonic()
        settings = self._settings
        assert settings is not None
        if now - self._settings_at >= 1.0:
            # Gain, temperature... change slowly: read once a second, not every frame.
            try:
                settings = self._settings = camera._settings(roi, self.exposure, "light")
            except asi.ASIError as error:
                error.add_note(f"while reading the settings of {camera} during video")
                raise
            self._settings_at = now
        gps_start = None if fix is None else _gps_time(fix)
        frame = Frame(_as_pixels(data, roi), gps_start or datetime.now(UTC),
                      None if gps_start is None else fix, self._taken, settings)
        self._taken += 1
        return frame

    def _take_in_background(self) -> None:
        frames = self._queue
        assert frames is not None
        while not self._stopping.is_set():
            try:
                item: Frame | BaseException = self._take()
            except StopIteration:
                return
            except BaseException as error:
                item = error
            while True:
                try:
                    frames.put_nowait(item)
                    break
                except queue.Full:
                    try:
                        frames.get_nowait()
                        self.discarded += 1
                    except queue.Empty:
                        pass
            if isinstance(item, BaseException):
                return

    def read(self) -> Frame:
        """The next frame; StopIteration once the stream is over."""
        if not self._running and self._queue is None:
            if self._started:
                raise StopIteration  # stopped
            raise CameraError("the video stream is not running: use it in a with block")
        if self.limit is not None and self.count >= self.limit:
            raise StopIteration
        frames = self._queue
        if frames is None:
            frame = self._take()
        else:
            while True:
                try:
                    item = frames.get(timeout=_STEP_S)
                    break
                except queue.Empty:
                    thread = self._thread
                    if thread is None or not thread.is_alive():
                        if frames.empty():
                            raise StopIteration from None
            if isinstance(item, BaseException):
                raise item
            frame = item
        self.count += 1
        return frame

    def __iter__(self) -> Iterator[Frame]:
        if self._running:
            return self
        return self._run_while_iterated()

    def _run_while_iterated(self) -> Iterator[Frame]:
        with self:
            yield from self

    def __next__(self) -> Frame:
        return self.read()

    def __aiter__(self) -> AsyncIterator[Frame]:
        if self._running:
            return self
        return self._arun_while_iterated()

    async def _arun_while_iterated(self) -> AsyncIterator[Frame]:
        async with self:
            async for frame in self:
                yield frame

    async def __anext__(self) -> Frame:
        # The blocking wait runs in a worker thread, one finite step at a time.
        frame = await asyncio.to_thread(self._read_or_none)
        if frame is None:
            raise StopAsyncIteration
        return frame

    def _read_or_none(self) -> Frame | None:
        try:
            return self.read()
        except StopIteration:
            return None  # a Future cannot carry StopIteration


# ---------------------------------------------------------------------------------------
# Logging.

_logged: dict[str, Callable[..., Any]] = {}
_unlogged_handler: Callable[[int], None] | None = None


def log_sdk_calls(enabled: bool = True, *, logger: logging.Logger | None = None,
                  level: int = logging.DEBUG) -> None:
    """Log every SDK call (name and arguments) and its status through `logging`, the
    program's own calls of `asi` included; log_sdk_calls(False) ends it."""
    global _unlogged_handler
    if not isinstance(enabled, bool):
        raise TypeError(f"enabled must be a bool, not {type(enabled).__name__}")
    namespace = vars(asi)
    # Undo any earlier wrapping first, so that calling this twice never wraps twice.
    for name, original in _logged.items():
        if getattr(namespace.get(name), "__wrapped__", None) is original:
            namespace[name] = original
    _logged.clear()
    if _unlogged_handler is not None:
        if getattr(asi.handle_error_code, "__wrapped__", None) is _unlogged_handler:
            setattr(asi, "handle_error_code", _unlogged_handler)
        _unlogged_handler = None
    if not enabled:
        return
    log = logger if logger is not None else logging.getLogger("halvarine.corvantis.asi")
    handler = asi.handle_error_code

    @functools.wraps(handler)
    def logged_status(code: int) -> None:
        exception = asi.ASI_ERROR_CODE_TO_EXCEPTION.get(code, asi.ASIUnknownErrorCode)
        log.log(level, "  -> status %d (%s)", code, exception.__name__)
        handler(code)

    _unlogged_handler = handler
    setattr(asi, "handle_error_code", logged_status)
    for name, function in list(namespace.items()):
        if (callable(function) and not isinstance(function, type)
                and not name.startswith("_") and name != "handle_error_code"):
            namespace[name] = _logged_call(name, function, log, level)
            _logged[name] = function


def _logged_call(name: str, function: Callable[..., Any], log: logging.Logger,
                 level: int) -> Callable[..., Any]:
    @functools.wraps(function)
    def call(*args: Any) -> Any:
        if log.isEnabledFor(level):
            log.log(level, "%s(%s)", name, ", ".join(map(_brief, args)))
        return function(*args)

    return call


def _brief(value: object) -> str:
    return value.name if isinstance(value, enum.IntEnum) else repr(value)
