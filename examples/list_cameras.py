"""List the connected cameras and what each can do: the first thing a capture program does.

    python3 list_cameras.py              the cameras and their properties
    python3 list_cameras.py --controls   also open each camera and list its controls
"""

import sys

import asi
from command_line import parser_for
from halvarine.corvantis.camera import Camera, list_cameras


def bayer_cell(pattern: asi.BayerPattern) -> str:
    """The 2x2 colour cell read left to right, top to bottom: BAYER_GB -> "GBRG"."""
    top = str(pattern.name).removeprefix("BAYER_")
    # The bottom row holds the other two colours in the opposite order.
    return top + {"RG": "GB", "BG": "GR", "GR": "BG", "GB": "RG"}[top]


def describe(index: int, info: asi.CameraInfo) -> str:
    """A few lines about one camera, as an astronomer would want them listed."""
    kind = f"colour ({bayer_cell(info.bayer_pattern)})" if info.is_color_camera else "mono"
    features = [name for name, present in (
        ("cooler", info.is_cooler_cam),
        ("ST4 guide port", info.st_4_port),
        ("mechanical shutter", info.mechanical_shutter),
        ("trigger", info.is_trigger_cam),
        ("USB3", info.is_usb3_camera),
    ) if present]
    formats = ", ".join(f.name.removeprefix("IMG_") for f in info.supported_video_formats)
    return (
        f"[{index}] {info.name}\n"
        f"    sensor  {info.max_width} x {info.max_height} {kind}, {info.bit_depth}-bit, "
        f"{info.pixel_size:g} um pixels, {info.elec_per_adu:.2f} e-/ADU at gain 0\n"
        f"    modes   binning {', '.join(map(str, info.supported_bins))}; formats {formats}\n"
        f"    has     {', '.join(features) or 'no extras'}"
    )


def describe_controls(cam: Camera) -> list[str]:
    """One line per control: name, range, default, present value."""
    lines = []
    for control in cam.controls.values():
        notes = [note for note, present in (
            ("auto", control.auto_supported and control.auto),
            ("read-only", not control.writable),
            # The SDK says degrees but reports tenths of a degree.
            ("tenths of °C", control.name == "Temperature"),
        ) if present]
        lines.append(f"    {control.name:<24} {control.min:>6} .. {control.max:<10} "
                     f"default {control.default:<6} now {control.value:<6} "
                     f"{', '.join(notes)}".rstrip())
    return lines


def main(argv: list[str]) -> int:
    parser = parser_for(__file__, __doc__)
    parser.add_argument("--controls", action="store_true",
                        help="also open each camera and list its controls")
    with_controls = parser.parse_args(argv).controls
    cameras = list_cameras()
    print(f"SDK {asi.get_sdk_version()}: {len(cameras)} camera(s) connected")
    for index, info in enumerate(cameras):
        print(describe(index, info))
        if with_controls:
            with Camera(index) as cam:
                print("\n".join(describe_controls(cam)))
    return 0 if cameras else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
