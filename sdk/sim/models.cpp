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

GainPresets presets_for(const Model& m) {
    // Unity gain is where one electron makes one native ADU.
    int unity = static_cast<int>(std::lround(200.0 * std::log10(m.electrons_per_adu(0))));
    unity = std::clamp(unity, 0, m.max_gain);
    int high = std::min(m.max_gain, unity + 2 * m.max_gain / 5);
    return GainPresets{
        .offset_highest_dr = m.default_offset,
        .offset_unity_gain = std::min(m.max_offset, m.default_offset * 2),
        .gain_lowest_rn = high,
        .offset_lowest_rn = std::min(m.max_offset, m.default_offset * 5),
        .low_gain = 0,
        .medium_gain = unity,
        .high_gain = high,
        .high_offset = std::min(m.max_offset, m.default_offset * 5),
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
    Model m;
    m.key = "mono_cooled";
    m.name = "Simulated Mono Cooled";
    m.product_id = 0x5301;
    m.width = 4144;
    m.height = 2822;
    m.bins = {1, 2, 3, 4};
    m.formats = {ASI_IMG_RAW8, ASI_IMG_RAW16, ASI_IMG_Y8};
    m.pixel_um = 3.76;
    m.shutter = m.st4 = m.cooler = m.usb3 = m.trigger = true;
    m.elec_per_adu = 0.25f;
    m.bit_depth = 14;
    m.max_gain = 570;
    m.default_gain = 100;
    m.max_offset = 250;
    m.default_offset = 20;
    m.full_well_e = 16000;
    m.read_noise_e = 3.5;
    m.read_noise_floor_e = 1.2;
    m.dark_current_e = 0.05;
    m.full_frame_fps = 45;
    m.focal_length_mm = 800;
    m.aperture_mm = 130;
    return m;
}

Model color_guide() {
    Model m;
    m.key = "color_guide";
    m.name = "Simulated Color Guide";
    m.product_id = 0x5302;
    m.width = 1936;
    m.height = 1096;
    m.color = true;
    m.bayer = ASI_BAYER_RG;
    m.bins = {1, 2};
    m.formats = {ASI_IMG_RAW8, ASI_IMG_RGB24, ASI_IMG_RAW16, ASI_IMG_Y8};
    m.pixel_um = 2.9;
    m.st4 = true;
    m.usb3 = false;
    m.elec_per_adu = 0.23f;
    m.bit_depth = 12;
    m.max_gain = 400;
    m.default_gain = 50;
    m.max_offset = 80;
    m.default_offset = 8;
    m.full_well_e = 15000;
    m.read_noise_e = 3.0;
    m.read_noise_floor_e = 0.8;
    m.dark_current_e = 0.3;
    m.full_frame_fps = 120;
    m.focal_length_mm = 240;
    m.aperture_mm = 60;
    return m;
}

Model color_gps_cooled() {
    Model m;
    m.key = "color_gps_cooled";
    m.name = "Simulated Color GPS Cooled";
    m.product_id = 0x5303;
    m.width = 3096;
    m.height = 2080;
    m.color = true;
    m.bayer = ASI_BAYER_GB;
    m.bins = {1, 2, 3, 4};
    m.formats = {ASI_IMG_RAW8, ASI_IMG_RGB24, ASI_IMG_RAW16, ASI_IMG_Y8};
    m.pixel_um = 2.4;
    m.cooler = m.usb3 = m.trigger = m.gps = true;
    m.elec_per_adu = 0.17f;
    m.bit_depth = 12;
    m.max_gain = 500;
    m.default_gain = 0;
    m.max_offset = 120;
    m.default_offset = 10;
    m.full_well_e = 11000;
    m.read_noise_e = 2.6;
    m.read_noise_floor_e = 0.6;
    m.dark_current_e = 0.1;
    m.full_frame_fps = 45;
    m.focal_length_mm = 500;
    m.aperture_mm = 100;
    return m;
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

void finish_model(Model& m, int position, bool serial_given, bool presets_given) {
    if (!serial_given)
        m.serial = default_serial(m.product_id, position);
    if (!presets_given)
        m.presets = presets_for(m);
}

Config default_config() {
    Config config;
    config.cameras = {mono_cooled(), color_guide(), color_gps_cooled()};
    for (int i = 0; i < static_cast<int>(config.cameras.size()); ++i)
        finish_model(config.cameras[i], i, false, false);
    return config;
}

std::vector<ControlDef> model_controls(const Model& m) {
    std::vector<ControlDef> c;
    c.push_back({"Gain", "Gain", 0, m.max_gain, m.default_gain, true, true, ASI_GAIN});
    c.push_back(
        {"Exposure", "Exposure Time(us)", 32, 2000000000L, 10000, true, true, ASI_EXPOSURE});
    c.push_back({"Offset", "offset", 0, m.max_offset, m.default_offset, false, true, ASI_OFFSET});
    c.push_back({"Gamma", "Gamma", 1, 100, 50, false, true, ASI_GAMMA});
    if (m.color) {
        c.push_back({"WB_R", "White balance: Red component", 1, 99, 52, true, true, ASI_WB_R});
        c.push_back({"WB_B", "White balance: Blue component", 1, 99, 95, true, true, ASI_WB_B});
    }
    c.push_back({"BandWidth", "The total data transfer rate percentage", 40, 100, 50, true, true,
                 ASI_BANDWIDTHOVERLOAD});
    c.push_back({"Flip", "Flip: 0->None 1->Horiz 2->Vert 3->Both", 0, 3, 0, false, true, ASI_FLIP});
    c.push_back({"HighSpeedMode", "Is high speed mode:0->No 1->Yes", 0, 1, 0, false, true,
                 ASI_HIGH_SPEED_MODE});
    c.push_back({"Temperature", "Sensor temperature(degrees Celsius)", -500, 1000, 20, false, false,
                 ASI_TEMPERATURE});
    c.push_back({"AutoExpMaxGain", "Auto exposure maximum gain value", 0, m.max_gain,
                 m.max_gain / 2, false, true, ASI_AUTO_MAX_GAIN});
    c.push_back({"AutoExpMaxExpMS", "Auto exposure maximum exposure value(unit ms)", 1, 60000,
                 30000, false, true, ASI_AUTO_MAX_EXP});
    c.push_back({"AutoExpTargetBrightness", "Auto exposure target brightness value", 50, 160, 100,
                 false, true, ASI_AUTO_TARGET_BRIGHTNESS});
    if (m.cooler) {
        c.push_back({"CoolerOn", "turn on/off cooler", 0, 1, 0, false, true, ASI_COOLER_ON});
        c.push_back({"TargetTemp", "Target temperature(cool camera only)", -40, 30, 0, false, true,
                     ASI_TARGET_TEMP});
        c.push_back({"CoolPowerPerc", "Cooler power percent", 0, 100, 0, false, false,
                     ASI_COOLER_POWER_PERC});
        c.push_back({"FanOn", "turn on/off fan", 0, 1, 1, false, true, ASI_FAN_ON});
        c.push_back({"AntiDewHeater", "turn on/off anti dew heater", 0, 1, 0, false, true,
                     ASI_ANTI_DEW_HEATER});
    }
    if (m.gps) {
        c.push_back(
            {"GPSSupport", "the camera supports GPS", 0, 1, 1, false, false, ASI_GPS_SUPPORT});
        c.push_back({"GPSStartLine", "GPS start line", 0, m.height - 1, 0, false, true,
                     ASI_GPS_START_LINE});
        c.push_back({"GPSEndLine", "GPS end line", 0, m.height - 1, m.height - 1, false, true,
                     ASI_GPS_END_LINE});
    }
    return c;
}

ASI_CAMERA_INFO camera_info(const Model& m, int index) {
    ASI_CAMERA_INFO info;
    std::memset(&info, 0, sizeof info);
    std::memcpy(info.Name, m.name.data(), std::min(m.name.size(), sizeof info.Name));
    info.CameraID = index;
    info.MaxHeight = m.height;
    info.MaxWidth = m.width;
    info.IsColorCam = m.color ? ASI_TRUE : ASI_FALSE;
    info.BayerPattern = m.bayer;
    std::size_t b = 0;
    for (; b < m.bins.size() && b < 15; ++b)
        info.SupportedBins[b] = m.bins[b];
    info.SupportedBins[b] = 0;
    // Every unused entry holds the end value, as on a real camera: readers may scan the
    // whole array rather than stop at the first end value.
    for (auto& format : info.SupportedVideoFormat)
        format = ASI_IMG_END;
    for (std::size_t f = 0; f < m.formats.size() && f < 7; ++f)
        info.SupportedVideoFormat[f] = m.formats[f];
    info.PixelSize = m.pixel_um;
    info.MechanicalShutter = m.shutter ? ASI_TRUE : ASI_FALSE;
    info.ST4Port = m.st4 ? ASI_TRUE : ASI_FALSE;
    info.IsCoolerCam = m.cooler ? ASI_TRUE : ASI_FALSE;
    // The simulated host always has USB3 ports; a USB2 camera still runs at USB2 speed.
    info.IsUSB3Host = ASI_TRUE;
    info.IsUSB3Camera = m.usb3 ? ASI_TRUE : ASI_FALSE;
    info.ElecPerADU = m.elec_per_adu;
    info.BitDepth = m.bit_depth;
    info.IsTriggerCam = m.trigger ? ASI_TRUE : ASI_FALSE;
    return info;
}

} // namespace asisim
