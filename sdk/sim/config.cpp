// The simulator's configuration: the JSON format that describes cameras, sky and site,
// where it comes from (ASISIM_CONFIG or asisim_load_config), and how it is installed into
// the camera slots. Unknown keys are errors, so that a typo is reported rather than
// silently ignored.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "sim.hpp"
#include "sky_catalogue.hpp"

namespace asisim {

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

void parse_artefacts(const json& object, const std::string& where, SensorArtefacts& out) {
    check_keys(
        object, where,
        {"prnu", "vignetting", "dust", "amp_glow_e", "warm_pixels", "column", "cosmic_rays_cm2_s"});
    read_range(object, "prnu", where, out.prnu, 0, 0.2);
    read_range(object, "vignetting", where, out.vignetting, 0, 0.9);
    double dust = out.dust;
    if (auto it = object.find("dust"); it != object.end() && !it->is_number_integer())
        fail(where + ".dust", "must be an integer");
    read_range(object, "dust", where, dust, 0, 50);
    out.dust = static_cast<int>(dust);
    read_range(object, "amp_glow_e", where, out.amp_glow_e, 0, 1e4);
    read(object, "warm_pixels", where, out.warm_pixels);
    if (auto it = object.find("column"); it != object.end()) {
        static const std::map<std::string, SensorArtefacts::Column> names{
            {"none", SensorArtefacts::Column::none},
            {"hot", SensorArtefacts::Column::hot},
            {"dead", SensorArtefacts::Column::dead}};
        auto name = it->is_string() ? names.find(it->get<std::string>()) : names.end();
        if (name == names.end())
            fail(where + ".column", "must be one of \"none\", \"hot\", \"dead\"");
        out.column = name->second;
    }
    read_range(object, "cosmic_rays_cm2_s", where, out.cosmic_rays_cm2_s, 0, 1000);
}

Model parse_camera(const json& object, int position) {
    std::string where = "cameras[" + std::to_string(position) + "]";
    check_keys(object, where,
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
                "rotation_deg",
                "serial",
                "artefacts"});
    std::string key = "mono_cooled";
    read(object, "model", where, key);
    auto builtin = builtin_models().find(key);
    if (builtin == builtin_models().end())
        fail(where + ".model",
             "unknown model \"" + key + "\" (known: mono_cooled, color_guide, color_gps_cooled)");
    Model model = builtin->second();
    read(object, "name", where, model.name);
    if (model.name.empty() || model.name.size() > 63)
        fail(where + ".name", "must be 1 to 63 characters");
    read(object, "product_id", where, model.product_id);
    read(object, "width", where, model.width);
    read(object, "height", where, model.height);
    if (model.width < 64 || model.width > 16384 || model.width % 8 != 0)
        fail(where + ".width", "must be a multiple of 8 between 64 and 16384");
    if (model.height < 64 || model.height > 16384 || model.height % 2 != 0)
        fail(where + ".height", "must be an even number between 64 and 16384");
    read(object, "color", where, model.color);
    if (auto it = object.find("bayer"); it != object.end()) {
        static const std::map<std::string, ASI_BAYER_PATTERN> names{
            {"RG", ASI_BAYER_RG}, {"BG", ASI_BAYER_BG}, {"GR", ASI_BAYER_GR}, {"GB", ASI_BAYER_GB}};
        auto name = it->is_string() ? names.find(it->get<std::string>()) : names.end();
        if (name == names.end())
            fail(where + ".bayer", "must be one of \"RG\", \"BG\", \"GR\", \"GB\"");
        model.bayer = name->second;
    }
    if (auto it = object.find("bins"); it != object.end()) {
        if (!it->is_array() || it->empty() || it->size() > 15)
            fail(where + ".bins", "must be a list of 1 to 15 bin factors");
        model.bins.clear();
        for (const auto& bin : *it) {
            if (!bin.is_number_integer() || bin.get<int>() < 1 || bin.get<int>() > 8)
                fail(where + ".bins", "bin factors must be integers from 1 to 8");
            model.bins.push_back(bin.get<int>());
        }
        if (model.bins.front() != 1)
            fail(where + ".bins", "must start with 1");
    }
    if (auto it = object.find("formats"); it != object.end()) {
        if (!it->is_array() || it->empty() || it->size() > 7)
            fail(where + ".formats", "must be a list of 1 to 7 formats");
        model.formats.clear();
        for (const auto& format : *it)
            model.formats.push_back(parse_format(format, where + ".formats"));
    }
    read_range(object, "pixel_um", where, model.pixel_um, 0.5, 30);
    read(object, "shutter", where, model.shutter);
    read(object, "st4", where, model.st4);
    read(object, "cooler", where, model.cooler);
    read(object, "usb3", where, model.usb3);
    read(object, "trigger", where, model.trigger);
    read(object, "gps", where, model.gps);
    double elec = model.elec_per_adu;
    read_range(object, "elec_per_adu", where, elec, 0.001, 100);
    model.elec_per_adu = static_cast<float>(elec);
    read(object, "bit_depth", where, model.bit_depth);
    if (model.bit_depth < 8 || model.bit_depth > 16)
        fail(where + ".bit_depth", "must be between 8 and 16");
    read(object, "max_gain", where, model.max_gain);
    read(object, "default_gain", where, model.default_gain);
    read(object, "max_offset", where, model.max_offset);
    read(object, "default_offset", where, model.default_offset);
    if (model.max_gain < 0 || model.default_gain < 0 || model.default_gain > model.max_gain)
        fail(where + ".default_gain", "must be between 0 and max_gain");
    if (model.max_offset < 0 || model.default_offset < 0 || model.default_offset > model.max_offset)
        fail(where + ".default_offset", "must be between 0 and max_offset");
    read_range(object, "full_well_e", where, model.full_well_e, 100, 1e7);
    read_range(object, "read_noise_e", where, model.read_noise_e, 0, 100);
    read_range(object, "read_noise_floor_e", where, model.read_noise_floor_e, 0, 100);
    read_range(object, "dark_current_e", where, model.dark_current_e, 0, 1e4);
    read_range(object, "full_frame_fps", where, model.full_frame_fps, 0.01, 10000);
    read_range(object, "focal_length_mm", where, model.focal_length_mm, 1, 1e5);
    read_range(object, "aperture_mm", where, model.aperture_mm, 1, 1e4);
    read_range(object, "rotation_deg", where, model.rotation_deg, -360, 360);
    bool serial_given = false;
    if (auto it = object.find("serial"); it != object.end()) {
        std::string hex = it->is_string() ? it->get<std::string>() : "";
        if (hex.size() != 16 ||
            hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            fail(where + ".serial", "must be 16 hexadecimal digits");
        for (int i = 0; i < 8; ++i)
            model.serial[i] =
                static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
        serial_given = true;
    }
    if (auto it = object.find("artefacts"); it != object.end())
        parse_artefacts(*it, where + ".artefacts", model.artefacts);
    finish_model(model, position, serial_given, false);
    return model;
}

Config parse_config(const json& object) {
    Config config;
    check_keys(object, "(top level)",
               {"cameras", "sky", "site", "mount", "ambient_c", "cooling_rate", "cooling_time_s",
                "fast_frames", "render_threads"});
    if (auto it = object.find("cameras"); it != object.end()) {
        if (!it->is_array() || it->empty() || it->size() > kMaxCameras)
            fail("cameras", "must be a list of 1 to " + std::to_string(kMaxCameras) + " cameras");
        for (std::size_t i = 0; i < it->size(); ++i)
            config.cameras.push_back(parse_camera((*it)[i], static_cast<int>(i)));
    } else {
        config.cameras = default_config().cameras;
    }
    if (auto it = object.find("sky"); it != object.end()) {
        check_keys(*it, "sky",
                   {"seed", "stars_per_deg2", "counts_slope", "limiting_mag", "brightest_mag",
                    "seeing_arcsec", "background_mag_arcsec2", "catalogue", "seeing_jitter_arcsec",
                    "seeing_coherence_s"});
        read(*it, "seed", "sky", config.sky.seed);
        read_range(*it, "stars_per_deg2", "sky", config.sky.stars_per_deg2, 0, 1e6);
        // Below 0.4 per magnitude the light of the unresolved stars stays finite.
        read_range(*it, "counts_slope", "sky", config.sky.counts_slope, 0.05, 0.38);
        read_range(*it, "limiting_mag", "sky", config.sky.limiting_mag, -5, 25);
        read_range(*it, "brightest_mag", "sky", config.sky.brightest_mag, -5,
                   config.sky.limiting_mag);
        read_range(*it, "seeing_arcsec", "sky", config.sky.seeing_arcsec, 0.1, 30);
        read_range(*it, "background_mag_arcsec2", "sky", config.sky.background_mag_arcsec2, 5, 30);
        read_range(*it, "seeing_jitter_arcsec", "sky", config.sky.seeing_jitter_arcsec, 0, 10);
        read_range(*it, "seeing_coherence_s", "sky", config.sky.seeing_coherence_s, 0.001, 10);
        read(*it, "catalogue", "sky", config.sky.catalogue);
        if (config.sky.catalogue.empty())
            fail("sky.catalogue", "must be \"auto\", \"synthetic\" or the path of a sky file");
    }
    if (auto it = object.find("mount"); it != object.end()) {
        check_keys(*it, "mount",
                   {"guide_rate", "drift_ra_arcsec_s", "drift_dec_arcsec_s",
                    "periodic_error_arcsec", "periodic_error_period_s", "ra_deg", "dec_deg",
                    "dec_backlash_arcsec", "pulse_latency_ms"});
        read_range(*it, "guide_rate", "mount", config.sky.guide_rate, 0, 10);
        read_range(*it, "drift_ra_arcsec_s", "mount", config.sky.drift_ra_arcsec_s, -100, 100);
        read_range(*it, "drift_dec_arcsec_s", "mount", config.sky.drift_dec_arcsec_s, -100, 100);
        read_range(*it, "periodic_error_arcsec", "mount", config.sky.periodic_error_arcsec, 0,
                   1000);
        read_range(*it, "periodic_error_period_s", "mount", config.sky.periodic_error_period_s, 1,
                   1e5);
        read_range(*it, "ra_deg", "mount", config.sky.ra_deg, 0, 360);
        read_range(*it, "dec_deg", "mount", config.sky.dec_deg, -90, 90);
        read_range(*it, "dec_backlash_arcsec", "mount", config.sky.dec_backlash_arcsec, 0, 600);
        read_range(*it, "pulse_latency_ms", "mount", config.sky.pulse_latency_ms, 0, 1000);
    }
    if (auto it = object.find("site"); it != object.end()) {
        check_keys(*it, "site", {"latitude", "longitude", "altitude_m", "satellites"});
        read_range(*it, "latitude", "site", config.site.latitude, -90, 90);
        read_range(*it, "longitude", "site", config.site.longitude, -180, 180);
        read(*it, "altitude_m", "site", config.site.altitude_m);
        read(*it, "satellites", "site", config.site.satellites);
    }
    read_range(object, "ambient_c", "", config.ambient_c, -50, 60);
    if (object.contains("cooling_rate") && object.contains("cooling_time_s"))
        fail("cooling_rate", "give either cooling_rate or cooling_time_s, not both");
    if (object.contains("cooling_rate"))
        read_range(object, "cooling_rate", "", config.cooling_rate, 0.001, 1000);
    read_range(object, "cooling_time_s", "", config.cooling_time_s, 0.01, 1e5);
    read(object, "fast_frames", "", config.fast_frames);
    double threads = config.render_threads;
    if (auto it = object.find("render_threads"); it != object.end() && !it->is_number_integer())
        fail("render_threads", "must be an integer");
    read_range(object, "render_threads", "", threads, 0, 64);
    config.render_threads = static_cast<int>(threads);
    return config;
}

} // namespace

bool load_config_file(const std::string& path, Config& out, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    try {
        json object = json::parse(file, nullptr, true, /*ignore_comments=*/true);
        out = parse_config(object);
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

namespace {

// The configuration asisim_reset returns to: ASISIM_CONFIG when set and valid, else the
// built-in set. A bad file is reported on stderr and kept for asisim_last_error.
Config environment_config(std::string& error) {
    const char* path = std::getenv("ASISIM_CONFIG");
    Config config;
    if (path == nullptr || *path == '\0' || !load_config_file(path, config, error))
        config = default_config();
    if (!error.empty())
        std::fprintf(stderr, "asisim: %s; using the built-in cameras\n", error.c_str());
    return config;
}

// A problem with the sky file: said on stderr once per process, kept for
// asisim_last_error until the next configuration. Its own lock, since renderers report
// too and must not wait for a reset in progress; never destroyed, like the simulator,
// since a video thread may report during static teardown.
struct SkyProblem {
    std::mutex mutex;
    std::string text;
    std::set<std::string> said;
};

SkyProblem& sky_problem() {
    static SkyProblem* const problem = new SkyProblem;
    return *problem;
}

// Which sky file the configuration renders (sky.catalogue_path, empty for the seeded
// sky). "auto" without any sky file (a wheel, a build without the index files) and a sky
// file named but unusable are reported; both render the seeded sky.
void resolve_sky(SkyConfig& sky) {
    sky.catalogue_path.clear();
    {
        std::lock_guard lock(sky_problem().mutex);
        sky_problem().text.clear();
    }
    if (sky.catalogue == "synthetic")
        return;
    std::string path = find_sky_file(sky.catalogue == "auto" ? "" : sky.catalogue);
    if (path.empty()) {
        // "auto" takes the sky file where there is one; a wheel carries none, and its
        // users are not to be told so by every process.
        if (sky.catalogue != "auto")
            report_sky_problem(std::string("no sky file (neither ASISIM_SKY nor ") + kSkyFileName +
                               " beside the library)");
        return;
    }
    if (std::string problem = SkyCatalogue::check(path); !problem.empty()) {
        report_sky_problem(problem);
        return;
    }
    sky.catalogue_path = path;
}

// Brings every slot to the closed state of `config` (stopping video threads first).
void install(Simulator& simulator, const Config& given, const std::string& error) {
    std::lock_guard config_lock(simulator.config_mutex);
    Config config = given;
    resolve_sky(config.sky);
    simulator.config = config;
    simulator.last_error = error;
    simulator.fast_frames.store(config.fast_frames, std::memory_order_relaxed);
    simulator.fast_frames_fresh_noise.store(true, std::memory_order_relaxed);
    simulator.render_threads.store(config.render_threads, std::memory_order_relaxed);
    auto sky = std::make_shared<const SkyConfig>(config.sky);
    auto site = std::make_shared<const SiteConfig>(config.site);
    int count = static_cast<int>(std::min<std::size_t>(config.cameras.size(), kMaxCameras));
    simulator.count.store(0, std::memory_order_release);
    auto now = Clock::now();
    for (int index = 0; index < kMaxCameras; ++index) {
        Camera& camera = simulator.cameras[index];
        std::unique_lock lock(camera.mutex);
        std::thread producer = stop_video_locked(camera);
        camera.present = index < count;
        camera.connected = true;
        camera.open = camera.initialised = false;
        camera.exposure_status = ASI_EXP_IDLE;
        ++camera.exposure_sequence;
        if (camera.present) {
            auto model = std::make_shared<const Model>(config.cameras[index]);
            camera.index = index;
            camera.model = model;
            camera.sky = sky;
            camera.site = site;
            camera.renderer = std::make_shared<Renderer>(*model, *sky, index);
            camera.controls = model_controls(*model);
            camera.info = camera_info(*model, index);
            camera.id = ASI_ID{};
            reset_camera_settings(camera);
            camera.ambient_c = config.ambient_c;
            // cooling_rate: the pull-down rate at full power from the uncooled temperature.
            camera.cooling_time_s =
                config.cooling_rate > 0
                    ? (model->self_heating + model->max_cooling_delta) / config.cooling_rate
                    : config.cooling_time_s;
            camera.thermal_history.clear();
            camera.temperature_c = config.ambient_c + model->self_heating;
            camera.cooler_power = 0;
            camera.thermal_time = now;
            camera.pulse_on.fill(false);
            camera.pulses.clear();
            // The Dec gear starts engaged northwards: a south pulse first takes up the play.
            camera.mount = MountAxes{0, config.sky.dec_backlash_arcsec / 2, 0};
            camera.mount_time = now;
            camera.sky_epoch = now;
            camera.frames_made = 0;
        } else {
            camera.renderer.reset();
            camera.model.reset();
        }
        lock.unlock();
        if (producer.joinable())
            producer.join();
    }
    simulator.count.store(count, std::memory_order_release);
}

} // namespace

Simulator& simulator() {
    // Made and configured on first use, as plugging the cameras in would; never destroyed,
    // since a video thread or a late SDK call may outlive static teardown.
    static Simulator* const instance = [] {
        auto* created = new Simulator;
        std::string error;
        install(*created, environment_config(error), error);
        return created;
    }();
    return *instance;
}

void reset_configuration() {
    std::string error;
    Config config = environment_config(error);
    install(simulator(), config, error);
}

bool load_configuration(const char* path) {
    Config config;
    std::string error;
    if (path == nullptr) {
        config = default_config();
    } else if (!load_config_file(path, config, error)) {
        Simulator& sim = simulator();
        std::lock_guard lock(sim.config_mutex);
        sim.last_error = error;
        return false;
    }
    install(simulator(), config, "");
    return true;
}

std::string last_configuration_error() {
    Simulator& sim = simulator();
    {
        std::lock_guard lock(sim.config_mutex);
        if (!sim.last_error.empty())
            return sim.last_error;
    }
    SkyProblem& sky = sky_problem();
    std::lock_guard lock(sky.mutex);
    return sky.text;
}

void report_sky_problem(const std::string& problem) {
    SkyProblem& sky = sky_problem();
    std::lock_guard lock(sky.mutex);
    sky.text = problem + "; rendering the synthetic sky";
    if (sky.said.insert(problem).second)
        std::fprintf(stderr, "asisim: %s\n", sky.text.c_str());
}

bool configured_product(int product_id) {
    Simulator& sim = simulator();
    std::lock_guard lock(sim.config_mutex);
    for (const Model& model : sim.config.cameras)
        if (model.product_id == product_id)
            return true;
    return false;
}

} // namespace asisim
