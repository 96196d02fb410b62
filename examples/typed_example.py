"""Find a camera, set a region, take one exposure and read the sensor temperature.

A small capture program written against the type stub of `asi`: `make typecheck` checks
it with `mypy --strict`, and the tests run it against the simulator.
"""

import argparse
import sys
import time
from dataclasses import dataclass

import asi

# Bytes per pixel of each output format.
PIXEL_BYTES: dict[asi.ImgType, int] = {
    asi.ImgType.IMG_RAW8: 1,
    asi.ImgType.IMG_Y8: 1,
    asi.ImgType.IMG_RAW16: 2,
    asi.ImgType.IMG_RGB24: 3,
}


@dataclass(frozen=True)
class Exposure:
    camera: str
    width: int
    height: int
    image_type: asi.ImgType
    data: bytes

    def mean(self) -> float:
        """The mean pixel value (RAW16 is little-endian, two bytes a pixel)."""
        if self.image_type == asi.ImgType.IMG_RAW16:
            pixels = memoryview(self.data).cast("H")
            return sum(pixels) / len(pixels)
        return sum(self.data) / len(self.data)


def find_cameras() -> list[asi.CameraInfo]:
    count = asi.get_number_of_connected_cameras()
    return [asi.get_camera_property(index) for index in range(count)]


def set_region(camera_id: int, width: int, height: int, image_type: asi.ImgType) -> None:
    """A centred region; the SDK wants the width a multiple of 8 and the height of 2."""
    info = asi.get_camera_property_by_id(camera_id)
    width, height = width // 8 * 8, height // 2 * 2
    asi.set_roi_format(camera_id, width, height, 1, image_type)
    asi.set_start_pos(camera_id, (info.max_width - width) // 2, (info.max_height - height) // 2)


def snap(camera_id: int, exposure_us: int, timeout_s: float = 30.0) -> Exposure:
    asi.set_control_value(camera_id, asi.ControlType.ASI_EXPOSURE, exposure_us, False)
    width, height, binning, image_type = asi.get_roi_format(camera_id)
    asi.start_exposure(camera_id, False)
    deadline = time.monotonic() + timeout_s
    while (status := asi.get_exp_status(camera_id)) == asi.ExposureStatus.ASI_EXP_WORKING:
        if time.monotonic() > deadline:
            asi.stop_exposure(camera_id)
            raise TimeoutError(f"exposure of camera {camera_id} took over {timeout_s} s")
        time.sleep(0.005)
    if status != asi.ExposureStatus.ASI_EXP_SUCCESS:
        raise RuntimeError(f"exposure ended as {asi.ExposureStatus(status).name}")
    data = asi.get_data_after_exp(camera_id, width * height * PIXEL_BYTES[image_type])
    name = asi.get_camera_property_by_id(camera_id).name
    return Exposure(name, width, height, image_type, data)


def sensor_temperature(camera_id: int) -> float:
    """Degrees Celsius; the SDK reports tenths of a degree."""
    value, _auto = asi.get_control_value(camera_id, asi.ControlType.ASI_TEMPERATURE)
    return value / 10


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="typed_example.py",
                                     description=(__doc__ or "").split("\n\n")[0])
    parser.parse_args(argv)
    cameras = find_cameras()
    if not cameras:
        print("no camera found", file=sys.stderr)
        return 1
    camera_id = cameras[0].camera_id
    asi.open_camera(camera_id)
    try:
        asi.init_camera(camera_id)
        set_region(camera_id, 640, 480, asi.ImgType.IMG_RAW16)
        exposure = snap(camera_id, 20_000)
        print(f"{exposure.camera}: {exposure.width}x{exposure.height} "
              f"{exposure.image_type.name}, mean {exposure.mean():.1f} ADU, "
              f"sensor at {sensor_temperature(camera_id):.1f} °C")
    except asi.ASIError as error:
        print(f"camera {camera_id}: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    finally:
        asi.close_camera(camera_id)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
