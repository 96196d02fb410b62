// Simulated camera models, their controls, and the JSON configuration that selects them.
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

} // namespace

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

// ---------------------------------------------------------------------------------------
// The JSON configuration. Unknown keys are errors, so that a typo is reported rather than
// silently ignored.

namespace {

using nlohmann::json;

struct ConfigError {
    std::string what;
};

[[noreturn]] void fail(const std::string& where, const std::string& what) {
    throw ConfigError{where + ": " + what};
}

void check_keys(const json& object, const std::string& where,
                std::initializer_list<const char*> allowed) {
    if (!object.is_object())
        fail(where, "must be an object");
    for (auto it = object.begin(); it != object.end(); ++it) {
        bool known = false;
        for (const char* key : allowed)
            known = known || it.key() == key;
        if (!known)
            fail(where, "unknown key \"" + it.key() + "\"");
    }
}

template <class T>
void read(const json& object, const char* key, const std::string& where, T& out) {
    auto it = object.find(key);
    if (it == object.end())
        return;
    std::string path = where.empty() ? std::string(key) : where + "." + key;
    if constexpr (std::is_same_v<T, bool>) {
        if (!it->is_boolean())
            fail(path, "must be true or false");
        out = it->get<bool>();
    } else if constexpr (std::is_integral_v<T>) {
        if (!it->is_number_integer())
            fail(path, "must be an integer");
        out = it->get<T>();
    } else if constexpr (std::is_floating_point_v<T>) {
        if (!it->is_number())
            fail(path, "must be a number");
        out = it->get<T>();
    } else {
        if (!it->is_string())
            fail(path, "must be a string");
        out = it->get<std::string>();
    }
}

void read_range(const json& object, const char* key, const std::string& where, double& out,
                double low, double high) {
    read(object, key, where, out);
    if (!(out >= low && out <= high)) {
        std::ostringstream text;
        text << "must be between " << low << " and " << high;
        fail(where.empty() ? std::string(key) : where + "." + key, text.str());
    }
}

ASI_IMG_TYPE parse_format(const json& value, const std::string& where) {
    static const std::map<std::string, ASI_IMG_TYPE> names{{"RAW8", ASI_IMG_RAW8},
                                                           {"RGB24", ASI_IMG_RGB24},
                                                           {"RAW16", ASI_IMG_RAW16},
                                                           {"Y8", ASI_IMG_Y8}};
    if (value.is_string()) {
        auto it = names.find(value.get<std::string>());
        if (it != names.end())
            return it->second;
    }
    fail(where, "must be one of \"RAW8\", \"RGB24\", \"RAW16\", \"Y8\"");
}

Model parse_camera(const json& j, int position) {
    std::string where = "cameras[" + std::to_string(position) + "]";
    check_keys(j, where,
               {"model",
                "name",
                "product_id",
                "width",
                "height",
                "color",
                "bayer",
                "bins",
                "formats",
                "pixel_um",
                "shutter",
                "st4",
                "cooler",
                "usb3",
                "trigger",
                "gps",
                "elec_per_adu",
                "bit_depth",
                "max_gain",
                "default_gain",
                "max_offset",
                "default_offset",
                "full_well_e",
                "read_noise_e",
                "read_noise_floor_e",
                "dark_current_e",
                "full_frame_fps",
                "focal_length_mm",
                "aperture_mm",
                "serial"});
    std::string key = "mono_cooled";
    read(j, "model", where, key);
    auto builtin = builtin_models().find(key);
    if (builtin == builtin_models().end())
        fail(where + ".model",
             "unknown model \"" + key + "\" (known: mono_cooled, color_guide, color_gps_cooled)");
    Model m = builtin->second();
    read(j, "name", where, m.name);
    if (m.name.empty() || m.name.size() > 63)
        fail(where + ".name", "must be 1 to 63 characters");
    read(j, "product_id", where, m.product_id);
    read(j, "width", where, m.width);
    read(j, "height", where, m.height);
    if (m.width < 64 || m.width > 16384 || m.width % 8 != 0)
        fail(where + ".width", "must be a multiple of 8 between 64 and 16384");
    if (m.height < 64 || m.height > 16384 || m.height % 2 != 0)
        fail(where + ".height", "must be an even number between 64 and 16384");
    read(j, "color", where, m.color);
    if (auto it = j.find("bayer"); it != j.end()) {
        static const std::map<std::string, ASI_BAYER_PATTERN> names{
            {"RG", ASI_BAYER_RG}, {"BG", ASI_BAYER_BG}, {"GR", ASI_BAYER_GR}, {"GB", ASI_BAYER_GB}};
        auto name = it->is_string() ? names.find(it->get<std::string>()) : names.end();
        if (name == names.end())
            fail(where + ".bayer", "must be one of \"RG\", \"BG\", \"GR\", \"GB\"");
        m.bayer = name->second;
    }
    if (auto it = j.find("bins"); it != j.end()) {
        if (!it->is_array() || it->empty() || it->size() > 15)
            fail(where + ".bins", "must be a list of 1 to 15 bin factors");
        m.bins.clear();
        for (const auto& bin : *it) {
            if (!bin.is_number_integer() || bin.get<int>() < 1 || bin.get<int>() > 8)
                fail(where + ".bins", "bin factors must be integers from 1 to 8");
            m.bins.push_back(bin.get<int>());
        }
        if (m.bins.front() != 1)
            fail(where + ".bins", "must start with 1");
    }
    if (auto it = j.find("formats"); it != j.end()) {
        if (!it->is_array() || it->empty() || it->size() > 7)
            fail(where + ".formats", "must be a list of 1 to 7 formats");
        m.formats.clear();
        for (const auto& format : *it)
            m.formats.push_back(parse_format(format, where + ".formats"));
    }
    read_range(j, "pixel_um", where, m.pixel_um, 0.5, 30);
    read(j, "shutter", where, m.shutter);
    read(j, "st4", where, m.st4);
    read(j, "cooler", where, m.cooler);
    read(j, "usb3", where, m.usb3);
    read(j, "trigger", where, m.trigger);
    read(j, "gps", where, m.gps);
    double elec = m.elec_per_adu;
    read_range(j, "elec_per_adu", where, elec, 0.001, 100);
    m.elec_per_adu = static_cast<float>(elec);
    read(j, "bit_depth", where, m.bit_depth);
    if (m.bit_depth < 8 || m.bit_depth > 16)
        fail(where + ".bit_depth", "must be between 8 and 16");
    read(j, "max_gain", where, m.max_gain);
    read(j, "default_gain", where, m.default_gain);
    read(j, "max_offset", where, m.max_offset);
    read(j, "default_offset", where, m.default_offset);
    if (m.max_gain < 0 || m.default_gain < 0 || m.default_gain > m.max_gain)
        fail(where + ".default_gain", "must be between 0 and max_gain");
    if (m.max_offset < 0 || m.default_offset < 0 || m.default_offset > m.max_offset)
        fail(where + ".default_offset", "must be between 0 and max_offset");
    read_range(j, "full_well_e", where, m.full_well_e, 100, 1e7);
    read_range(j, "read_noise_e", where, m.read_noise_e, 0, 100);
    read_range(j, "read_noise_floor_e", where, m.read_noise_floor_e, 0, 100);
    read_range(j, "dark_current_e", where, m.dark_current_e, 0, 1e4);
    read_range(j, "full_frame_fps", where, m.full_frame_fps, 0.01, 10000);
    read_range(j, "focal_length_mm", where, m.focal_length_mm, 1, 1e5);
    read_range(j, "aperture_mm", where, m.aperture_mm, 1, 1e4);
    bool serial_given = false;
    if (auto it = j.find("serial"); it != j.end()) {
        std::string hex = it->is_string() ? it->get<std::string>() : "";
        if (hex.size() != 16 ||
            hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            fail(where + ".serial", "must be 16 hexadecimal digits");
        for (int i = 0; i < 8; ++i)
            m.serial[i] = static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
        serial_given = true;
    }
    finish_model(m, position, serial_given, false);
    return m;
}

Config parse_config(const json& j) {
    Config c;
    check_keys(j, "(top level)",
               {"cameras", "sky", "site", "mount", "ambient_c", "cooling_rate", "fast_frames"});
    if (auto it = j.find("cameras"); it != j.end()) {
        if (!it->is_array() || it->empty() || it->size() > kMaxCameras)
            fail("cameras", "must be a list of 1 to " + std::to_string(kMaxCameras) + " cameras");
        for (std::size_t i = 0; i < it->size(); ++i)
            c.cameras.push_back(parse_camera((*it)[i], static_cast<int>(i)));
    } else {
        c.cameras = default_config().cameras;
    }
    if (auto it = j.find("sky"); it != j.end()) {
        check_keys(*it, "sky",
                   {"seed", "stars_per_deg2", "limiting_mag", "brightest_mag", "seeing_arcsec",
                    "background_mag_arcsec2"});
        read(*it, "seed", "sky", c.sky.seed);
        read_range(*it, "stars_per_deg2", "sky", c.sky.stars_per_deg2, 0, 1e6);
        read_range(*it, "limiting_mag", "sky", c.sky.limiting_mag, -5, 25);
        read_range(*it, "brightest_mag", "sky", c.sky.brightest_mag, -5, c.sky.limiting_mag);
        read_range(*it, "seeing_arcsec", "sky", c.sky.seeing_arcsec, 0.1, 30);
        read_range(*it, "background_mag_arcsec2", "sky", c.sky.background_mag_arcsec2, 5, 30);
    }
    if (auto it = j.find("mount"); it != j.end()) {
        check_keys(*it, "mount",
                   {"guide_rate", "drift_ra_arcsec_s", "drift_dec_arcsec_s",
                    "periodic_error_arcsec", "periodic_error_period_s"});
        read_range(*it, "guide_rate", "mount", c.sky.guide_rate, 0, 10);
        read_range(*it, "drift_ra_arcsec_s", "mount", c.sky.drift_ra_arcsec_s, -100, 100);
        read_range(*it, "drift_dec_arcsec_s", "mount", c.sky.drift_dec_arcsec_s, -100, 100);
        read_range(*it, "periodic_error_arcsec", "mount", c.sky.periodic_error_arcsec, 0, 1000);
        read_range(*it, "periodic_error_period_s", "mount", c.sky.periodic_error_period_s, 1, 1e5);
    }
    if (auto it = j.find("site"); it != j.end()) {
        check_keys(*it, "site", {"latitude", "longitude", "altitude_m", "satellites"});
        read_range(*it, "latitude", "site", c.site.latitude, -90, 90);
        read_range(*it, "longitude", "site", c.site.longitude, -180, 180);
        read(*it, "altitude_m", "site", c.site.altitude_m);
        read(*it, "satellites", "site", c.site.satellites);
    }
    read_range(j, "ambient_c", "", c.ambient_c, -50, 60);
    read_range(j, "cooling_rate", "", c.cooling_rate, 0.001, 1000);
    read(j, "fast_frames", "", c.fast_frames);
    return c;
}

} // namespace

bool load_config_file(const std::string& path, Config& out, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    try {
        json j = json::parse(file, nullptr, true, /*ignore_comments=*/true);
        out = parse_config(j);
        out.source = path;
        return true;
    } catch (const json::exception& e) {
        error = path + ": not valid JSON: " + e.what();
    } catch (const ConfigError& e) {
        error = path + ": " + e.what;
    } catch (const std::exception& e) {
        error = path + ": " + e.what();
    }
    return false;
}

} // namespace asisim
