"""Take one long exposure and save it as a FITS file and as a stretched PNG to look at.

    python3 snap.py [SECONDS] [CAMERA_INDEX]    (defaults: 3 s on the first camera)

The FITS file keeps the raw 16-bit pixels with the headers that stacking and plate-solving
programs read (EXPTIME, GAIN, CCD-TEMP, DATE-OBS, binning, pixel size, Bayer pattern...);
the PNG is for the eye only: its brightness is stretched so faint stars show.
"""

import sys
import time
from dataclasses import dataclass
from datetime import UTC, datetime
from pathlib import Path

import numpy as np
from astropy.io import fits
from PIL import Image
from tqdm import tqdm

import asi
from cooling import sensor_temperature
from list_cameras import bayer_cell
from session import (argument_parser, camera_at, camera_index, failed, opened,
                     positive_seconds)

# How the SDK lays out one pixel of each output format: numpy type and samples per pixel.
# RAW16 is little-endian, with the sensor's bits at the top (a 12-bit value times 16).
PIXEL_LAYOUT: dict[asi.ImgType, tuple[str, int]] = {
    asi.ImgType.IMG_RAW8: ("u1", 1),
    asi.ImgType.IMG_Y8: ("u1", 1),
    asi.ImgType.IMG_RAW16: ("<u2", 1),
    asi.ImgType.IMG_RGB24: ("u1", 3),
}


@dataclass(frozen=True)
class Frame:
    """One exposure and everything needed to describe it in a FITS header."""

    pixels: np.ndarray          # (height, width), or (height, width, 3) RGB for RGB24
    camera: asi.CameraInfo
    img_type: asi.ImgType
    exposure_s: float
    gain: int
    offset: int
    binning: int
    start_x: int                # region origin, in binned pixels
    start_y: int
    date_obs: datetime          # start of the exposure, UTC
    time_source: str            # "GPS" or "system clock"
    sensor_c: float
    target_c: int | None        # None when the cooler is off
    gps: asi.GpsData | None     # the fix stamped on the frame, on GPS cameras
    dark: bool = False


class ExposureFailed(Exception):
    """The camera ended the exposure without an image."""


def frame_bytes(width: int, height: int, img_type: asi.ImgType) -> int:
    """Buffer size of one image: the module leaves this to the caller."""
    dtype, samples = PIXEL_LAYOUT[img_type]
    return width * height * samples * np.dtype(dtype).itemsize


def to_array(data: bytes | bytearray, width: int, height: int,
             img_type: asi.ImgType) -> np.ndarray:
    """The SDK's image bytes as a numpy array of rows, without copying."""
    dtype, samples = PIXEL_LAYOUT[img_type]
    pixels = np.frombuffer(data, dtype=dtype)
    if samples == 3:
        # RGB24 arrives in B, G, R order; reversing the last axis gives R, G, B.
        return pixels.reshape(height, width, 3)[:, :, ::-1]
    return pixels.reshape(height, width)


def set_region(camera_id: int, width: int, height: int, binning: int,
               img_type: asi.ImgType) -> tuple[int, int]:
    """A region centred on the sensor, sizes in binned pixels; returns the size set.

    The SDK wants the width a multiple of 8 and the height a multiple of 2, and no more than
    the binned sensor; on a colour sensor the origin stays on even pixels so the region still
    starts on the same colour of the Bayer cell.
    """
    info = asi.get_camera_property_by_id(camera_id)
    full_width, full_height = info.max_width // binning, info.max_height // binning
    width = min(width, full_width) // 8 * 8
    height = min(height, full_height) // 2 * 2
    asi.set_roi_format(camera_id, width, height, binning, img_type)
    start_x, start_y = (full_width - width) // 2, (full_height - height) // 2
    if info.is_color_camera:
        start_x, start_y = start_x & ~1, start_y & ~1
    asi.set_start_pos(camera_id, start_x, start_y)
    return width, height


def has_control(camera_id: int, control_type: asi.ControlType) -> bool:
    """Whether the open camera offers a control (a GPS or cooler control, say)."""
    return any(asi.get_control_caps(camera_id, index).control_type == control_type
               for index in range(asi.get_num_of_controls(camera_id)))


def control(camera_id: int, control_type: asi.ControlType) -> int:
    value, _auto = asi.get_control_value(camera_id, control_type)
    return value


def unity_gain(camera_id: int) -> tuple[int, int]:
    """Gain and offset where one electron gives about one ADU: a good default for deep sky."""
    _low, unity, _high, _high_offset = asi.get_lmh_gain_offset(camera_id)
    _offset_dr, offset_unity, _gain_rn, _offset_rn = asi.get_gain_offset(camera_id)
    return unity, offset_unity


def set_gain(camera_id: int, gain: int, offset: int) -> None:
    asi.set_control_value(camera_id, asi.ControlType.ASI_GAIN, gain, False)
    asi.set_control_value(camera_id, asi.ControlType.ASI_OFFSET, offset, False)


def wait_for_exposure(camera_id: int, exposure_s: float, progress: bool) -> None:
    """Poll until the exposure is over; the module itself never waits."""
    poll_s = min(0.1, max(0.005, exposure_s / 20))
    # Reading a full frame out over USB2 can take seconds beyond the exposure itself.
    deadline = time.monotonic() + exposure_s + 30
    started = time.monotonic()
    # disable=None: no bar when the output is not a terminal (a log file).
    with tqdm(total=round(exposure_s, 1), desc="exposing", disable=None if progress else True,
              bar_format="{desc}: {bar} {n:.1f}/{total:.1f} s") as bar:
        while (status := asi.get_exp_status(camera_id)) == asi.ExposureStatus.ASI_EXP_WORKING:
            if time.monotonic() > deadline:
                raise TimeoutError(f"camera {camera_id}: exposure still running after "
                                   f"{time.monotonic() - started:.0f} s")
            bar.n = round(min(exposure_s, time.monotonic() - started), 1)
            bar.refresh()
            time.sleep(poll_s)
        bar.n = bar.total
    if status != asi.ExposureStatus.ASI_EXP_SUCCESS:
        raise ExposureFailed(f"camera {camera_id}: exposure ended as "
                             f"{asi.ExposureStatus(status).name}")


def gps_time(gps: asi.GpsData) -> datetime | None:
    """The GPS time stamp as a UTC datetime, or None while the receiver has no fix."""
    if gps.year == 0:
        return None
    # The SDK splits the fraction into milliseconds and the microseconds within them.
    return datetime(gps.year, gps.month, gps.day, gps.hour, gps.minute, gps.second,
                    gps.m_second * 1000 + gps.u_second, tzinfo=UTC)


def expose(camera_id: int, exposure_s: float, dark: bool = False,
           progress: bool = True) -> Frame:
    """Take one exposure with the region and gain already set, and fetch its image."""
    width, height, binning, img_type = asi.get_roi_format(camera_id)
    start_x, start_y = asi.get_start_pos(camera_id)
    with_gps = (has_control(camera_id, asi.ControlType.ASI_GPS_SUPPORT)
                and control(camera_id, asi.ControlType.ASI_GPS_SUPPORT) == 1)
    asi.set_control_value(camera_id, asi.ControlType.ASI_EXPOSURE, round(exposure_s * 1e6),
                          False)
    clock_start = datetime.now(UTC)
    asi.start_exposure(camera_id, dark)
    try:
        wait_for_exposure(camera_id, exposure_s, progress)
    except BaseException:
        # Ctrl-C or a time-out: leave the camera ready for the next exposure.
        asi.stop_exposure(camera_id)
        raise
    size = frame_bytes(width, height, img_type)
    gps = None
    if with_gps:
        data, gps = asi.get_data_after_exp_gps(camera_id, size)
    else:
        data = asi.get_data_after_exp(camera_id, size)
    gps_start = gps_time(gps) if gps is not None else None
    cooling = (has_control(camera_id, asi.ControlType.ASI_COOLER_ON)
               and control(camera_id, asi.ControlType.ASI_COOLER_ON) == 1)
    return Frame(
        pixels=to_array(data, width, height, img_type),
        camera=asi.get_camera_property_by_id(camera_id),
        img_type=img_type,
        exposure_s=exposure_s,
        # Read back rather than remembered: auto gain, or the camera, may have changed them.
        gain=control(camera_id, asi.ControlType.ASI_GAIN),
        offset=control(camera_id, asi.ControlType.ASI_OFFSET),
        binning=binning,
        start_x=start_x,
        start_y=start_y,
        date_obs=gps_start or clock_start,
        time_source="GPS" if gps_start else "system clock",
        sensor_c=sensor_temperature(camera_id),
        target_c=control(camera_id, asi.ControlType.ASI_TARGET_TEMP) if cooling else None,
        gps=gps if gps_start else None,
        dark=dark,
    )


def is_mosaic(frame: Frame) -> bool:
    """Raw pixels of a colour sensor: each one saw a single colour of the Bayer pattern."""
    return frame.camera.is_color_camera and frame.img_type in (asi.ImgType.IMG_RAW8,
                                                                asi.ImgType.IMG_RAW16)


def fits_header(frame: Frame) -> fits.Header:
    """The usual FITS keywords of an astronomy camera frame."""
    info = frame.camera
    header = fits.Header()
    header["IMAGETYP"] = ("Dark Frame" if frame.dark else "Light Frame", "type of image")
    header["INSTRUME"] = (info.name, "camera")
    header["DATE-OBS"] = (frame.date_obs.strftime("%Y-%m-%dT%H:%M:%S.%f"),
                          f"UTC start of exposure ({frame.time_source})")
    header["EXPTIME"] = (frame.exposure_s, "[s] exposure time")
    header["GAIN"] = (frame.gain, "camera gain setting")
    header["OFFSET"] = (frame.offset, "camera offset (bias) setting")
    header["CCD-TEMP"] = (frame.sensor_c, "[degC] sensor temperature")
    if frame.target_c is not None:
        header["SET-TEMP"] = (float(frame.target_c), "[degC] cooler set point")
    header["XBINNING"] = (frame.binning, "binning factor in x")
    header["YBINNING"] = (frame.binning, "binning factor in y")
    # Pixel sizes are of the binned pixel, as stacking and plate-solving programs expect.
    header["XPIXSZ"] = (info.pixel_size * frame.binning, "[um] pixel width, binned")
    header["YPIXSZ"] = (info.pixel_size * frame.binning, "[um] pixel height, binned")
    header["XORGSUBF"] = (frame.start_x, "region origin in x, binned pixels")
    header["YORGSUBF"] = (frame.start_y, "region origin in y, binned pixels")
    # The SDK delivers the top row first; programs that debayer need to know.
    header["ROWORDER"] = ("TOP-DOWN", "order of the rows in the image")
    if is_mosaic(frame):
        header["BAYERPAT"] = (bayer_cell(info.bayer_pattern), "colour filter mosaic")
        # An odd region origin would shift the pattern by a pixel; set_region keeps it even.
        header["XBAYROFF"] = (frame.start_x % 2, "Bayer pattern x offset")
        header["YBAYROFF"] = (frame.start_y % 2, "Bayer pattern y offset")
    if frame.gps is not None:
        header["SITELAT"] = (frame.gps.latitude, "[deg] latitude from GPS")
        header["SITELONG"] = (frame.gps.longitude, "[deg] longitude from GPS")
        header["SITEELEV"] = (frame.gps.altitude, "[m] altitude from GPS")
    return header


def save_fits(frame: Frame, path: Path) -> None:
    """Write the frame; astropy stores unsigned 16-bit data as BITPIX 16 with BZERO 32768."""
    data = frame.pixels
    if data.ndim == 3:
        data = np.moveaxis(data, 2, 0)  # FITS keeps colour planes as the slowest axis
    fits.PrimaryHDU(data=np.ascontiguousarray(data), header=fits_header(frame)).writeto(
        path, overwrite=True)


def superpixel_rgb(mosaic: np.ndarray, pattern: str) -> np.ndarray:
    """Half-size RGB from a Bayer mosaic: each 2x2 cell becomes one pixel, greens averaged.

    Cruder than interpolating, but it never invents colour and is enough for a preview.
    """
    height, width = mosaic.shape[0] // 2 * 2, mosaic.shape[1] // 2 * 2
    cell: dict[str, list[np.ndarray]] = {}
    for index, colour in enumerate(pattern):  # e.g. "RGGB": top-left, top-right, ...
        row, column = divmod(index, 2)
        cell.setdefault(colour, []).append(
            mosaic[row:height:2, column:width:2].astype(np.float32))
    return np.dstack([sum(cell[c]) / len(cell[c]) for c in "RGB"])


def stretch(image: np.ndarray, strength: float = 30.0) -> np.ndarray:
    """8-bit pixels to look at: black just below the sky, white at the brightest stars, and
    an asinh curve in between that lifts faint stars without burning out the bright ones."""
    data = image.astype(np.float32)
    # The sky of each colour is subtracted on its own, which also takes out its colour cast.
    sky = np.median(data.reshape(-1, data.shape[2]) if data.ndim == 3 else data.ravel(), axis=0)
    data -= sky
    noise = 1.4826 * float(np.median(np.abs(data)))  # the sky's noise, unswayed by stars
    # Black one sigma below the sky: its grain stays visible as a dark grey, not clipped.
    black, white = -noise, float(np.percentile(data, 99.98))
    scaled = np.clip((data - black) / max(white - black, 1e-6), 0, 1)
    stretched = np.arcsinh(strength * scaled) / np.arcsinh(strength)
    return np.round(stretched * 255).astype(np.uint8)


def preview(frame: Frame) -> np.ndarray:
    """The frame stretched for the eye; a colour mosaic becomes RGB first."""
    pixels = frame.pixels
    if is_mosaic(frame):
        pixels = superpixel_rgb(pixels, bayer_cell(frame.camera.bayer_pattern))
    return stretch(pixels)


def save_png(frame: Frame, path: Path) -> None:
    Image.fromarray(preview(frame)).save(path)


def save(frame: Frame, stem: Path) -> tuple[Path, Path]:
    """The frame as STEM.fits and STEM.png."""
    stem.parent.mkdir(parents=True, exist_ok=True)
    fits_path, png_path = stem.with_suffix(".fits"), stem.with_suffix(".png")
    save_fits(frame, fits_path)
    save_png(frame, png_path)
    return fits_path, png_path


def main(argv: list[str]) -> int:
    parser = argument_parser(__file__, __doc__)
    parser.add_argument("exposure_s", metavar="SECONDS", type=positive_seconds, nargs="?",
                        default=3.0, help="exposure time (default: 3)")
    parser.add_argument("index", metavar="CAMERA_INDEX", type=camera_index, nargs="?",
                        default=0, help="the camera to use (default: 0, the first)")
    arguments = parser.parse_args(argv)
    exposure_s = arguments.exposure_s
    camera_id = camera_at(arguments.index)
    if camera_id is None:
        return 1
    try:
        with opened(camera_id):
            binning = 2 if 2 in asi.get_camera_property_by_id(camera_id).supported_bins else 1
            set_region(camera_id, 99_999, 99_999, binning, asi.ImgType.IMG_RAW16)  # whole sensor
            set_gain(camera_id, *unity_gain(camera_id))
            frame = expose(camera_id, exposure_s)
    except asi.ASIError as error:
        return failed(camera_id, error)
    fits_path, png_path = save(frame, Path("out") / "snap")
    print(f"saved {fits_path} and {png_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
