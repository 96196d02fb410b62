"""Cool a camera's sensor to a set temperature and wait, with a progress bar, until it is there.

    python3 cooling.py [TARGET_C]     cool the first cooled camera (default -10 °C)

Dark current halves with every few degrees of cooling, so long exposures are taken with the
sensor held at a fixed temperature; the same temperature later lets dark frames match.
"""

import sys
import time
from dataclasses import dataclass

from tqdm import tqdm

import asi
from session import argument_parser, failed, first_camera_with, opened


@dataclass(frozen=True)
class CoolingResult:
    temperature_c: float
    cooler_power: int   # percent
    settled: bool       # within the tolerance before the time ran out


def sensor_temperature(camera_id: int) -> float:
    """Degrees Celsius; the SDK reports the sensor temperature in tenths of a degree."""
    tenths, _auto = asi.get_control_value(camera_id, asi.ControlType.ASI_TEMPERATURE)
    return tenths / 10


def cooler_power(camera_id: int) -> int:
    power, _auto = asi.get_control_value(camera_id, asi.ControlType.ASI_COOLER_POWER_PERC)
    return power


def start_cooling(camera_id: int, target_c: int) -> None:
    """Set the target first: switched on before it, the cooler would chase the old target."""
    asi.set_control_value(camera_id, asi.ControlType.ASI_TARGET_TEMP, target_c, False)
    asi.set_control_value(camera_id, asi.ControlType.ASI_COOLER_ON, 1, False)


def cool(camera_id: int, target_c: int, tolerance_c: float = 0.5, timeout_s: float = 30.0,
         poll_s: float = 0.25, progress: bool = True) -> CoolingResult:
    """Switch the cooler on and wait until the sensor is within `tolerance_c` of the target.

    The wait is bounded: a cooler that cannot reach the target on a warm night still lets the
    session go on, at whatever temperature it holds (the result says so).
    """
    start_cooling(camera_id, target_c)
    start_c = sensor_temperature(camera_id)
    # The bar counts degrees cooled, from the starting temperature down to the target.
    span = max(abs(start_c - target_c), tolerance_c)
    deadline = time.monotonic() + timeout_s
    # disable=None: no bar when the output is not a terminal, where its redraws would
    # fill a log file.
    with tqdm(total=round(span, 1), desc=f"cooling to {target_c} °C",
              bar_format="{desc}: {bar} {postfix}", disable=None if progress else True) as bar:
        while True:
            temperature = sensor_temperature(camera_id)
            power = cooler_power(camera_id)
            bar.n = round(min(span, abs(start_c - temperature)), 1)
            bar.set_postfix_str(f"sensor {temperature:+.1f} °C, cooler {power}%")
            settled = abs(temperature - target_c) <= tolerance_c
            if settled or time.monotonic() >= deadline:
                return CoolingResult(temperature, power, settled)
            time.sleep(poll_s)


def main(argv: list[str]) -> int:
    parser = argument_parser(__file__, __doc__)
    parser.add_argument("target_c", metavar="TARGET_C", type=int, nargs="?", default=-10,
                        help="sensor temperature to reach, in °C (default: -10)")
    target_c = parser.parse_args(argv).target_c
    cooled = first_camera_with(lambda info: info.is_cooler_cam, "a cooler")
    if cooled is None:
        return 1
    camera_id = cooled.camera_id
    try:
        with opened(camera_id):
            result = cool(camera_id, target_c)
    except asi.ASIError as error:
        return failed(camera_id, error)
    state = "settled" if result.settled else "still settling"
    print(f"{cooled.name}: {result.temperature_c:+.1f} °C ({state}), "
          f"cooler at {result.cooler_power}%")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
