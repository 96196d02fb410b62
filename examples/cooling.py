"""Cool a camera's sensor to a set temperature and wait until it holds there.

    python3 cooling.py [TARGET_C] [--timeout SECONDS]    (default: -10 °C, at most 300 s)

Dark current halves with every few degrees of cooling, so long exposures are taken with the
sensor held at a fixed temperature; the same temperature later lets dark frames match.
"""

import sys

import asi
from command_line import failed, parser_for, seconds
from halvarine.corvantis.camera import Camera, CoolingError, list_cameras

# How long the sensor must stay within half a degree to count as settled.
SETTLE_S = 5.0


def main(argv: list[str]) -> int:
    parser = parser_for(__file__, __doc__)
    parser.add_argument("target", metavar="TARGET_C", type=int, nargs="?", default=-10,
                        help="sensor temperature to reach, in °C (default: -10)")
    parser.add_argument("--timeout", metavar="SECONDS", type=seconds, default=300.0,
                        help="give up after this long (default: 300)")
    arguments = parser.parse_args(argv)
    cooled = [index for index, info in enumerate(list_cameras()) if info.is_cooler_cam]
    if not cooled:
        print("no camera with a cooler found", file=sys.stderr)
        return 1
    try:
        with Camera(cooled[0]) as cam:
            # progress=True: a bar on a terminal, nothing in a log file.
            temperature = cam.cool_to(arguments.target, timeout=arguments.timeout,
                                      settle=SETTLE_S, progress=True)
            power = cam.controls["CoolPowerPerc"].value
    except (asi.ASIError, CoolingError) as error:
        return failed(error)
    print(f"{cam.info.name}: settled at {temperature:+.1f} °C, cooler at {power}%")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
