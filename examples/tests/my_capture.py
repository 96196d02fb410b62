"""The program under test in test_my_capture.py: a capture program's camera lookup and
its frame grabbing, which asks again when a frame times out."""

import asi


def find_camera(name: str) -> int:
    """The ID of the first connected camera called `name`."""
    for index in range(asi.get_number_of_connected_cameras()):
        info = asi.get_camera_property(index)
        if info.name == name:
            return info.camera_id
    raise LookupError(f"no camera called {name!r}")


def grab_frame(camera_id: int, size: int, attempts: int = 3) -> bytearray:
    """One video frame of `size` bytes; a timeout is retried up to `attempts` times in
    all, any other error (a removed camera, say) raised at once."""
    attempt = 1
    while True:
        try:
            return asi.get_video_data(camera_id, size, 1000)
        except asi.ASITimeout:
            if attempt == attempts:
                raise
            attempt += 1
