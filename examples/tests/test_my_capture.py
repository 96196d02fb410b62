"""A user's own tests of my_capture.py against the simulated cameras, through the
fixture `asi_sim` of the package's pytest plugin:

    python3 -m pytest -p halvarine.corvantis.pytest_plugin examples/tests

(with the package installed, pytest loads the plugin by itself and `-p` is not needed)."""

from collections.abc import Iterator
from types import ModuleType

import pytest

import asi
import my_capture

WIDTH, HEIGHT = 320, 240


@pytest.fixture
def camera(asi_sim: ModuleType) -> Iterator[int]:
    """Camera 0 sending small 8-bit video frames, as fast as they are taken."""
    asi_sim.fast_frames()
    asi.open_camera(0)
    asi.init_camera(0)
    asi.set_roi_format(0, WIDTH, HEIGHT, 1, asi.ImgType.IMG_RAW8)
    asi.start_video_capture(0)
    yield 0
    asi.stop_video_capture(0)


def test_a_timeout_is_asked_again(asi_sim: ModuleType, camera: int) -> None:
    asi_sim.fail("ASIGetVideoData", asi.ASITimeout, times=2)
    with asi_sim.journal() as journal:
        frame = my_capture.grab_frame(camera, WIDTH * HEIGHT)
    assert len(frame) == WIDTH * HEIGHT
    assert len(journal.calls("ASIGetVideoData")) == 3


def test_grabbing_gives_up_after_the_last_attempt(asi_sim: ModuleType, camera: int) -> None:
    asi_sim.fail("ASIGetVideoData", asi.ASITimeout, times=-1)
    with asi_sim.journal() as journal, pytest.raises(asi.ASITimeout):
        my_capture.grab_frame(camera, WIDTH * HEIGHT, attempts=4)
    assert len(journal.calls("ASIGetVideoData")) == 4


def test_a_removed_camera_is_not_asked_again(asi_sim: ModuleType, camera: int) -> None:
    asi_sim.fail("ASIGetVideoData", asi.ASICameraRemoved)
    with asi_sim.journal() as journal, pytest.raises(asi.ASICameraRemoved):
        my_capture.grab_frame(camera, WIDTH * HEIGHT)
    assert [call.args["iCameraID"] for call in journal.calls("ASIGetVideoData")] == [camera]


def test_cameras_are_found_by_name(asi_sim: ModuleType) -> None:
    guide = asi.get_camera_property(1)
    asi_sim.set_camera_info(1, guide, name="Guide Scope")
    assert my_capture.find_camera("Guide Scope") == guide.camera_id
    with pytest.raises(LookupError):
        my_capture.find_camera("Main Scope")
