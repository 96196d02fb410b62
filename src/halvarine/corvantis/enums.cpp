// The SDK's enumerations as IntEnum classes, made at import by the ordinary
// class-creation protocol: base looked up as IntEnum in the namespace, namespace from the
// metaclass's __prepare__, members assigned one by one in table order.
#include "asi.hpp"

#include <initializer_list>

namespace asi {

namespace {

struct Member {
    const char* name;
    int value;     ///< the value Python sees
    int sdk_value; ///< the SDK header's constant of that name
};

struct Enumeration {
    const char* name;
    std::initializer_list<Member> members;
};

constexpr Enumeration enumerations[] = {
    {"BayerPattern",
     {{"BAYER_RG", 0, ASI_BAYER_RG},
      {"BAYER_BG", 1, ASI_BAYER_BG},
      {"BAYER_GR", 2, ASI_BAYER_GR},
      {"BAYER_GB", 3, ASI_BAYER_GB}}},
    {"ImgType",
     {{"IMG_RAW8", 0, ASI_IMG_RAW8},
      {"IMG_RGB24", 1, ASI_IMG_RGB24},
      {"IMG_RAW16", 2, ASI_IMG_RAW16},
      {"IMG_Y8", 3, ASI_IMG_Y8},
      {"IMG_END", -1, ASI_IMG_END}}},
    {"ControlType",
     {{"ASI_GAIN", 0, ASI_GAIN},
      {"ASI_EXPOSURE", 1, ASI_EXPOSURE},
      {"ASI_GAMMA", 2, ASI_GAMMA},
      {"ASI_WB_R", 3, ASI_WB_R},
      {"ASI_WB_B", 4, ASI_WB_B},
      {"ASI_OFFSET", 5, ASI_OFFSET},
      {"ASI_BANDWIDTHOVERLOAD", 6, ASI_BANDWIDTHOVERLOAD},
      {"ASI_OVERCLOCK", 7, ASI_OVERCLOCK},
      {"ASI_TEMPERATURE", 8, ASI_TEMPERATURE},
      {"ASI_FLIP", 9, ASI_FLIP},
      {"ASI_AUTO_MAX_GAIN", 10, ASI_AUTO_MAX_GAIN},
      {"ASI_AUTO_MAX_EXP", 11, ASI_AUTO_MAX_EXP},
      {"ASI_AUTO_TARGET_BRIGHTNESS", 12, ASI_AUTO_TARGET_BRIGHTNESS},
      {"ASI_HARDWARE_BIN", 13, ASI_HARDWARE_BIN},
      {"ASI_HIGH_SPEED_MODE", 14, ASI_HIGH_SPEED_MODE},
      {"ASI_COOLER_POWER_PERC", 15, ASI_COOLER_POWER_PERC},
      {"ASI_TARGET_TEMP", 16, ASI_TARGET_TEMP},
      {"ASI_COOLER_ON", 17, ASI_COOLER_ON},
      {"ASI_MONO_BIN", 18, ASI_MONO_BIN},
      {"ASI_FAN_ON", 19, ASI_FAN_ON},
      {"ASI_PATTERN_ADJUST", 20, ASI_PATTERN_ADJUST},
      {"ASI_ANTI_DEW_HEATER", 21, ASI_ANTI_DEW_HEATER},
      {"ASI_FAN_ADJUST", 22, ASI_FAN_ADJUST},
      {"ASI_PWRLED_BRIGNT", 23, ASI_PWRLED_BRIGNT},
      {"ASI_USBHUB_RESET", 24, ASI_USBHUB_RESET},
      {"ASI_GPS_SUPPORT", 25, ASI_GPS_SUPPORT},
      {"ASI_GPS_START_LINE", 26, ASI_GPS_START_LINE},
      {"ASI_GPS_END_LINE", 27, ASI_GPS_END_LINE},
      {"ASI_ROLLING_INTERVAL", 28, ASI_ROLLING_INTERVAL}}},
    {"CameraMode",
     {{"ASI_MODE_NORMAL", 0, ASI_MODE_NORMAL},
      {"ASI_MODE_TRIG_SOFT_EDGE", 1, ASI_MODE_TRIG_SOFT_EDGE},
      {"ASI_MODE_TRIG_RISE_EDGE", 2, ASI_MODE_TRIG_RISE_EDGE},
      {"ASI_MODE_TRIG_FALL_EDGE", 3, ASI_MODE_TRIG_FALL_EDGE},
      {"ASI_MODE_TRIG_SOFT_LEVEL", 4, ASI_MODE_TRIG_SOFT_LEVEL},
      {"ASI_MODE_TRIG_HIGH_LEVEL", 5, ASI_MODE_TRIG_HIGH_LEVEL},
      {"ASI_MODE_TRIG_LOW_LEVEL", 6, ASI_MODE_TRIG_LOW_LEVEL},
      {"ASI_MODE_END", -1, ASI_MODE_END}}},
    {"GuideDirection",
     {{"ASI_GUIDE_NORTH", 0, ASI_GUIDE_NORTH},
      {"ASI_GUIDE_SOUTH", 1, ASI_GUIDE_SOUTH},
      {"ASI_GUIDE_EAST", 2, ASI_GUIDE_EAST},
      {"ASI_GUIDE_WEST", 3, ASI_GUIDE_WEST}}},
    {"FlipStatus",
     {{"ASI_FLIP_NONE", 0, ASI_FLIP_NONE},
      {"ASI_FLIP_HORIZ", 1, ASI_FLIP_HORIZ},
      {"ASI_FLIP_VERT", 2, ASI_FLIP_VERT},
      {"ASI_FLIP_BOTH", 3, ASI_FLIP_BOTH}}},
    {"TrigOutput",
     {{"ASI_TRIG_OUTPUT_PINA", 0, ASI_TRIG_OUTPUT_PINA},
      {"ASI_TRIG_OUTPUT_PINB", 1, ASI_TRIG_OUTPUT_PINB},
      {"ASI_TRIG_OUTPUT_NONE", -1, ASI_TRIG_OUTPUT_NONE}}},
    {"ExposureStatus",
     {{"ASI_EXP_IDLE", 0, ASI_EXP_IDLE},
      {"ASI_EXP_WORKING", 1, ASI_EXP_WORKING},
      {"ASI_EXP_SUCCESS", 2, ASI_EXP_SUCCESS},
      {"ASI_EXP_FAILED", 3, ASI_EXP_FAILED}}},
};

/// Every member's value is the SDK's own constant for it, and a shared small int.
consteval bool members_agree() {
    for (const Enumeration& enumeration : enumerations)
        for (const Member& member : enumeration.members)
            if (member.value != member.sdk_value || member.value < smallest_small_int ||
                member.value > largest_small_int)
                return false;
    return true;
}
static_assert(members_agree(), "an enumeration value differs from the SDK or the small ints");

int create_enumeration(const Enumeration& enumeration) {
    Ref base = lookup_global(state.names.int_enum);
    if (!base)
        return -1;
    Ref name = Ref::steal(PyUnicode_InternFromString(enumeration.name));
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!name || !bases)
        return -1;
    // The metaclass of a single base is its type.
    PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base.get()));
    PyObject* prepare_args[] = {metaclass, name.get(), bases.get()};
    Ref namespace_ =
        Ref::steal(PyObject_VectorcallMethod(state.names.dunder_prepare, prepare_args, 3, nullptr));
    if (!namespace_)
        return -1;
    if (PyObject_SetItem(namespace_.get(), state.names.dunder_module, state.names.module_name) <
            0 ||
        PyObject_SetItem(namespace_.get(), state.names.dunder_qualname, name.get()) < 0)
        return -1;
    for (const Member& member : enumeration.members) {
        Ref member_name = Ref::steal(PyUnicode_InternFromString(member.name));
        if (!member_name ||
            PyObject_SetItem(namespace_.get(), member_name.get(), small_int(member.value)) < 0)
            return -1;
    }
    PyObject* args[] = {name.get(), bases.get(), namespace_.get()};
    Ref cls = Ref::steal(PyObject_Vectorcall(metaclass, args, 3, nullptr));
    if (!cls)
        return -1;
    return PyDict_SetItem(state.globals, name.get(), cls.get());
}

} // namespace

int create_enumerations() {
    capture_standard_enum_value();
    for (const Enumeration& enumeration : enumerations)
        if (create_enumeration(enumeration) < 0)
            return -1;
    return 0;
}

} // namespace asi
