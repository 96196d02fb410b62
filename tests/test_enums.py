"""The SDK's enumerations as IntEnum classes: members, values, order."""

import enum

import pytest

import asi

CONTROL_TYPES = """ASI_GAIN ASI_EXPOSURE ASI_GAMMA ASI_WB_R ASI_WB_B ASI_OFFSET
    ASI_BANDWIDTHOVERLOAD ASI_OVERCLOCK ASI_TEMPERATURE ASI_FLIP ASI_AUTO_MAX_GAIN
    ASI_AUTO_MAX_EXP ASI_AUTO_TARGET_BRIGHTNESS ASI_HARDWARE_BIN ASI_HIGH_SPEED_MODE
    ASI_COOLER_POWER_PERC ASI_TARGET_TEMP ASI_COOLER_ON ASI_MONO_BIN ASI_FAN_ON
    ASI_PATTERN_ADJUST ASI_ANTI_DEW_HEATER ASI_FAN_ADJUST ASI_PWRLED_BRIGNT ASI_USBHUB_RESET
    ASI_GPS_SUPPORT ASI_GPS_START_LINE ASI_GPS_END_LINE ASI_ROLLING_INTERVAL""".split()

# In creation order; members in definition order.
ENUMERATIONS = {
    "BayerPattern": [("BAYER_RG", 0), ("BAYER_BG", 1), ("BAYER_GR", 2), ("BAYER_GB", 3)],
    "ImgType": [("IMG_RAW8", 0), ("IMG_RGB24", 1), ("IMG_RAW16", 2), ("IMG_Y8", 3),
                ("IMG_END", -1)],
    "ControlType": [(name, value) for value, name in enumerate(CONTROL_TYPES)],
    "CameraMode": [("ASI_MODE_NORMAL", 0), ("ASI_MODE_TRIG_SOFT_EDGE", 1),
                   ("ASI_MODE_TRIG_RISE_EDGE", 2), ("ASI_MODE_TRIG_FALL_EDGE", 3),
                   ("ASI_MODE_TRIG_SOFT_LEVEL", 4), ("ASI_MODE_TRIG_HIGH_LEVEL", 5),
                   ("ASI_MODE_TRIG_LOW_LEVEL", 6), ("ASI_MODE_END", -1)],
    "GuideDirection": [("ASI_GUIDE_NORTH", 0), ("ASI_GUIDE_SOUTH", 1), ("ASI_GUIDE_EAST", 2),
                       ("ASI_GUIDE_WEST", 3)],
    "FlipStatus": [("ASI_FLIP_NONE", 0), ("ASI_FLIP_HORIZ", 1), ("ASI_FLIP_VERT", 2),
                   ("ASI_FLIP_BOTH", 3)],
    "TrigOutput": [("ASI_TRIG_OUTPUT_PINA", 0), ("ASI_TRIG_OUTPUT_PINB", 1),
                   ("ASI_TRIG_OUTPUT_NONE", -1)],
    "ExposureStatus": [("ASI_EXP_IDLE", 0), ("ASI_EXP_WORKING", 1), ("ASI_EXP_SUCCESS", 2),
                       ("ASI_EXP_FAILED", 3)],
}


@pytest.mark.parametrize("name, members", ENUMERATIONS.items())
def test_enumeration(name, members):
    cls = getattr(asi, name)
    assert cls.__bases__ == (enum.IntEnum,)
    assert cls.__module__ == "halvarine.corvantis.asi"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__doc__ is None
    # Iteration order is definition order, and __members__ (which would list aliases too)
    # holds exactly the same names: no two members share a value.
    assert [(m.name, m.value) for m in cls] == members
    assert list(cls.__members__) == [member_name for member_name, _ in members]
    for member_name, value in members:
        member = cls[member_name]
        assert cls(value) is member
        assert member == value and type(member.value) is int
        assert type(member) is cls and member.__class__.__module__ == "halvarine.corvantis.asi"
    for outside in (min(v for _, v in members) - 1, max(v for _, v in members) + 1):
        with pytest.raises(ValueError, match=f"{outside} is not a valid {name}"):
            cls(outside)


def test_sdk_spelling_of_the_led_control():
    assert asi.ControlType.ASI_PWRLED_BRIGNT == 23
    assert "ASI_PWRLED_BRIGHT" not in asi.ControlType.__members__
