"""Lists the cameras the SDK sees: the first thing a capture program does."""

import asi


def main():
    count = asi.get_number_of_connected_cameras()
    print(f"SDK version {asi.get_sdk_version()}, {count} camera(s) connected")
    for index in range(count):
        info = asi.get_camera_property(index)
        kind = "colour" if info.is_color_camera else "mono"
        print(f"  [{info.camera_id}] {info.name}: {info.max_width}x{info.max_height} {kind}, "
              f"{info.bit_depth}-bit, {info.pixel_size} um pixels")


if __name__ == "__main__":
    main()
