// The built-in camera models, their controls, and what the SDK reports about them.
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "sim.hpp"

namespace asisim {

double Model::electrons_per_adu(int gain) const {
    double at_gain0 = elec_per_adu * std::ldexp(1.0, 16 - bit_depth);
    return at_gain0 * std::pow(10.0, -gain / 200.0);
}

double Model::read_noise(int gain) const {
    return read_noise_floor_e + (read_noise_e - read_noise_floor_e) * std::exp(-gain / 120.0);
}

namespace {

GainPresets presets_for(const Model& model) {
    // Unity gain is where one electron makes one native ADU.
    int unity = static_cast<int>(std::lround(200.0 * std::log10(model.electrons_per_adu(0))));
    unity = std::clamp(unity, 0, model.max_gain);
    int high = std::min(model.max_gain, unity + 2 * model.max_gain / 5);
    return GainPresets{
        .offset_highest_dr = model.default_offset,
        .offset_unity_gain = std::min(model.max_offset, model.default_offset * 2),
        .gain_lowest_rn = high,
        .offset_lowest_rn = std::min(model.max_offset, model.default_offset * 5),
        .low_gain = 0,
        .medium_gain = unity,
        .high_gain = high,
        .high_offset = std::min(model.max_offset, model.default_offset * 5),
    };
}

std::array<unsigned char, 8> default_serial(int product_id, int position) {
    return {0x53,
            0x49,
            0x4D,
            static_cast<unsigned char>(product_id >> 8),
            static_cast<unsigned char>(product_id),
            0x20,
            0x24,
            static_cast<unsigned char>(position + 1)};
}

Model mono_cooled() {
    Model model;
    model.key = "mono_cooled";
    model.name = "Simulated Mono Cooled";
    model.product_id = 0x5301;
    model.width = 4144;
    model.height = 2822;
    model.bins = {1, 2, 3, 4};
    model.formats = {ASI_IMG_RAW8, ASI_IMG_RAW16, ASI_IMG_Y8};
    model.pixel_um = 3.76;
    model.shutter = model.st4 = model.cooler = model.usb3 = model.trigger = true;
    model.elec_per_adu = 0.25f;
    model.bit_depth = 14;
    model.max_gain = 570;
    model.default_gain = 100;
    model.max_offset = 250;
    model.default_offset = 20;
    model.full_well_e = 16000;
    model.read_noise_e = 3.5;
    model.read_noise_floor_e = 1.2;
    model.dark_current_e = 0.05;
    model.full_frame_fps = 45;
    model.focal_length_mm = 800;
    model.aperture_mm = 130;
    return model;
}

Model color_guide() {
    Model model;
    model.key = "color_guide";
    model.name = "Simulated Color Guide";
    model.product_id = 0x5302;
    model.width = 1936;
    model.height = 1096;
    model.color = true;
    model.bayer = ASI_BAYER_RG;
    model.bins = {1, 2};
    model.formats = {ASI_IMG_RAW8, ASI_IMG_RGB24, ASI_IMG_RAW16, ASI_IMG_Y8};
    model.pixel_um = 2.9;
    model.st4 = true;
    model.usb3 = false;
    model.elec_per_adu = 0.23f;
    model.bit_depth = 12;
    model.max_gain = 400;
    model.default_gain = 50;
    model.max_offset = 80;
    model.default_offset = 8;
    model.full_well_e = 15000;
    model.read_noise_e = 3.0;
    model.read_noise_floor_e = 0.8;
    model.dark_current_e = 0.3;
    model.full_frame_fps = 120;
    model.focal_length_mm = 240;
    model.aperture_mm = 60;
    return model;
}

Model color_gps_cooled() {
    Model model;
    model.key = "color_gps_cooled";
    model.name = "Simulated Color GPS Cooled";
    model.product_id = 0x5303;
    model.width = 3096;
    model.height = 2080;
    model.color = true;
    model.bayer = ASI_BAYER_GB;
    model.bins = {1, 2, 3, 4};
    model.formats = {ASI_IMG_RAW8, ASI_IMG_RGB24, ASI_IMG_RAW16, ASI_IMG_Y8};
    model.pixel_um = 2.4;
    model.cooler = model.usb3 = model.trigger = model.gps = true;
    model.elec_per_adu = 0.17f;
    model.bit_depth = 12;
    model.max_gain = 500;
    model.default_gain = 0;
    model.max_offset = 120;
    model.default_offset = 10;
    model.full_well_e = 11000;
    model.read_noise_e = 2.6;
    model.read_noise_floor_e = 0.6;
    model.dark_current_e = 0.1;
    model.full_frame_fps = 45;
    model.focal_length_mm = 500;
    model.aperture_mm = 100;
    return model;
}

} // namespace

const std::map<std::string, std::function<Model()>>& builtin_models() {
    static const std::map<std::string, std::function<Model()>> models{
        {"mono_cooled", mono_cooled},
        {"color_guide", color_guide},
        {"color_gps_cooled", color_gps_cooled},
    };
    return models;
}

void finish_model(Model& model, int position, bool serial_given, bool presets_given) {
    if (!serial_given)
        model.serial = default_serial(model.product_id, position);
    if (!presets_given)
        model.presets = presets_for(model);
}

Config default_config() {
    Config config;
    config.cameras = {mono_cooled(), color_guide(), color_gps_cooled()};
    for (int i = 0; i < static_cast<int>(config.cameras.size()); ++i)
        finish_model(config.cameras[i], i, false, false);
    return config;
}

std::vector<ControlDef> model_controls(const Model& model) {
    std::vector<ControlDef> controls;
    controls.push_back(
        {"Gain", "Gain", 0, model.max_gain, model.default_gain, true, true, ASI_GAIN});
    controls.push_back(
        {"Exposure", "Exposure Time(us)", 32, 2000000000L, 10000, true, true, ASI_EXPOSURE});
    controls.push_back(
        {"Offset", "offset", 0, model.max_offset, model.default_offset, false, true, ASI_OFFSET});
    controls.push_back({"Gamma", "Gamma", 1, 100, 50, false, true, ASI_GAMMA});
    if (model.color) {
        controls.push_back(
            {"WB_R", "White balance: Red component", 1, 99, 52, true, true, ASI_WB_R});
        controls.push_back(
            {"WB_B", "White balance: Blue component", 1, 99, 95, true, true, ASI_WB_B});
    }
    controls.push_back({"BandWidth", "The total data transfer rate percentage", 40, 100, 50, true,
                        true, ASI_BANDWIDTHOVERLOAD});
    controls.push_back(
        {"Flip", "Flip: 0->None 1->Horiz 2->Vert 3->Both", 0, 3, 0, false, true, ASI_FLIP});
    controls.push_back({"HighSpeedMode", "Is high speed mode:0->No 1->Yes", 0, 1, 0, false, true,
                        ASI_HIGH_SPEED_MODE});
    controls.push_back({"Temperature", "Sensor temperature(degrees Celsius)", -500, 1000, 20, false,
                        false, ASI_TEMPERATURE});
    controls.push_back({"AutoExpMaxGain", "Auto exposure maximum gain value", 0, model.max_gain,
                        model.max_gain / 2, false, true, ASI_AUTO_MAX_GAIN});
    controls.push_back({"AutoExpMaxExpMS", "Auto exposure maximum exposure value(unit ms)", 1,
                        60000, 30000, false, true, ASI_AUTO_MAX_EXP});
    controls.push_back({"AutoExpTargetBrightness", "Auto exposure target brightness value", 50, 160,
                        100, false, true, ASI_AUTO_TARGET_BRIGHTNESS});
    if (model.cooler) {
        controls.push_back({"CoolerOn", "turn on/off cooler", 0, 1, 0, false, true, ASI_COOLER_ON});
        controls.push_back({"TargetTemp", "Target temperature(cool camera only)", -40, 30, 0, false,
                            true, ASI_TARGET_TEMP});
        controls.push_back({"CoolPowerPerc", "Cooler power percent", 0, 100, 0, false, false,
                            ASI_COOLER_POWER_PERC});
        controls.push_back({"FanOn", "turn on/off fan", 0, 1, 1, false, true, ASI_FAN_ON});
        controls.push_back({"AntiDewHeater", "turn on/off anti dew heater", 0, 1, 0, false, true,
                            ASI_ANTI_DEW_HEATER});
    }
    if (model.gps) {
        controls.push_back(
            {"GPSSupport", "the camera supports GPS", 0, 1, 1, false, false, ASI_GPS_SUPPORT});
        controls.push_back({"GPSStartLine", "GPS start line", 0, model.height - 1, 0, false, true,
                            ASI_GPS_START_LINE});
        controls.push_back({"GPSEndLine", "GPS end line", 0, model.height - 1, model.height - 1,
                            false, true, ASI_GPS_END_LINE});
    }
    return controls;
}

ASI_CAMERA_INFO camera_info(const Model& model, int index) {
    ASI_CAMERA_INFO info;
    std::memset(&info, 0, sizeof info);
    std::memcpy(info.Name, model.name.data(), std::min(model.name.size(), sizeof info.Name));
    info.CameraID = index;
    info.MaxHeight = model.height;
    info.MaxWidth = model.width;
    info.IsColorCam = model.color ? ASI_TRUE : ASI_FALSE;
    info.BayerPattern = model.bayer;
    std::size_t b = 0;
    for (; b < model.bins.size() && b < 15; ++b)
        info.SupportedBins[b] = model.bins[b];
    info.SupportedBins[b] = 0;
    // Every unused entry holds the end value, as on a real camera: readers may scan the
    // whole array rather than stop at the first end value.
    for (auto& format : info.SupportedVideoFormat)
        format = ASI_IMG_END;
    for (std::size_t f = 0; f < model.formats.size() && f < 7; ++f)
        info.SupportedVideoFormat[f] = model.formats[f];
    info.PixelSize = model.pixel_um;
    info.MechanicalShutter = model.shutter ? ASI_TRUE : ASI_FALSE;
    info.ST4Port = model.st4 ? ASI_TRUE : ASI_FALSE;
    info.IsCoolerCam = model.cooler ? ASI_TRUE : ASI_FALSE;
    // The simulated host always has USB3 ports; a USB2 camera still runs at USB2 speed.
    info.IsUSB3Host = ASI_TRUE;
    info.IsUSB3Camera = model.usb3 ? ASI_TRUE : ASI_FALSE;
    info.ElecPerADU = model.elec_per_adu;
    info.BitDepth = model.bit_depth;
    info.IsTriggerCam = model.trigger ? ASI_TRUE : ASI_FALSE;
    return info;
}

} // namespace asisim
