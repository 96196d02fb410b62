"""List the connected cameras and what each can do: the first thing a capture program does.

    python3 list_cameras.py              the cameras and their properties
    python3 list_cameras.py --controls   also open each camera and list its controls
"""

import sys

import asi
from session import argument_parser


def find_cameras() -> list[asi.CameraInfo]:
    """The properties of every connected camera, in the SDK's index order.

    The index only counts cameras; every later call names a camera by the `camera_id` of
    its CameraInfo.
    """
    count = asi.get_number_of_connected_cameras()
    return [asi.get_camera_property(index) for index in range(count)]


def describe(info: asi.CameraInfo) -> str:
    """A few lines about one camera, as an astronomer would want them listed."""
    if info.is_color_camera:
        # BAYER_RG -> "RGGB": the 2x2 colour cell read left to right, top to bottom.
        kind = f"colour ({bayer_cell(info.bayer_pattern)})"
    else:
        kind = "mono"
    features = [name for name, present in (
        ("cooler", info.is_cooler_cam),
        ("ST4 guide port", info.st_4_port),
        ("mechanical shutter", info.mechanical_shutter),
        ("trigger", info.is_trigger_cam),
        ("USB3", info.is_usb3_camera),
    ) if present]
    formats = ", ".join(f.name.removeprefix("IMG_") for f in info.supported_video_formats)
    bins = ", ".join(str(b) for b in info.supported_bins)
    return (
        f"[{info.camera_id}] {info.name}\n"
        f"    sensor  {info.max_width} x {info.max_height} {kind}, {info.bit_depth}-bit, "
        f"{info.pixel_size:g} um pixels, {info.elec_per_adu:.2f} e-/ADU at gain 0\n"
        f"    modes   binning {bins}; formats {formats}\n"
        f"    has     {', '.join(features) or 'no extras'}"
    )


def bayer_cell(pattern: asi.BayerPattern) -> str:
    """The FITS/astropy name of a Bayer pattern: BAYER_GB -> "GBRG"."""
    top = pattern.name.removeprefix("BAYER_")
    # The bottom row holds the other two colours in the opposite order.
    bottom = {"RG": "GB", "BG": "GR", "GR": "BG", "GB": "RG"}[top]
    return top + bottom


def describe_controls(camera_id: int) -> list[str]:
    """One line per control of an open camera: name, range, default, present value."""
    lines = []
    for index in range(asi.get_num_of_controls(camera_id)):
        caps = asi.get_control_caps(camera_id, index)
        value, auto = asi.get_control_value(camera_id, caps.control_type)
        notes = [note for note, present in (
            ("auto", auto),
            ("auto-capable", caps.is_auto_supported and not auto),
            ("read-only", not caps.is_writable),
            # The SDK says degrees but reports tenths of a degree.
            ("tenths of °C", caps.control_type == asi.ControlType.ASI_TEMPERATURE),
        ) if present]
        lines.append(f"    {caps.name:<24} {caps.min_value:>6} .. {caps.max_value:<10} "
                     f"default {caps.default_value:<6} now {value:<6} {', '.join(notes)}"
                     .rstrip())
    return lines


def main(argv: list[str]) -> int:
    parser = argument_parser(__file__, __doc__)
    parser.add_argument("--controls", action="store_true",
                        help="also open each camera and list its controls")
    list_controls = parser.parse_args(argv).controls
    cameras = find_cameras()
    print(f"SDK {asi.get_sdk_version()}: {len(cameras)} camera(s) connected")
    for info in cameras:
        print(describe(info))
        if list_controls:
            # Control values can only be read from an open camera.
            asi.open_camera(info.camera_id)
            try:
                print("\n".join(describe_controls(info.camera_id)))
            except asi.ASIError as error:
                print(f"    controls unavailable: {type(error).__name__}: {error}")
            finally:
                asi.close_camera(info.camera_id)
    return 0 if cameras else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
