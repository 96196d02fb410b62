// The substitute ASICamera2 library: shared declarations.
//
// Layout: models.cpp describes the built-in cameras and their controls, config.cpp the
// configuration that selects them and its installation into the camera slots; sky.cpp
// makes the star field, render.cpp the sensor's images of it, dark_frame.cpp reads dark
// frames; camera.cpp is one camera's state (timing, cooling, mount) and video.cpp its
// video ring; control.hpp/control.cpp the control interface of asisim.h (function table,
// journal, forced statuses, scripted outputs); sdk_cameras.cpp and sdk_capture.cpp do
// the work of the SDK functions that exports.cpp exports.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ASICamera2.h"

namespace asisim {

using Clock = std::chrono::steady_clock;

inline double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

inline Clock::duration to_duration(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

/// Highest number of simulated cameras; camera slots are allocated once and never freed.
inline constexpr int kMaxCameras = 16;
/// Number of ASI_CONTROL_TYPE values (ASI_GAIN .. ASI_ROLLING_INTERVAL).
inline constexpr int kControlTypes = ASI_ROLLING_INTERVAL + 1;
/// Fictional USB vendor ID of the simulated cameras, answered by ASICameraCheck.
inline constexpr int kVendorId = 0x1A5C;

// ---------------------------------------------------------------------------------------
// Models (models.cpp) and configuration (config.cpp)

/// Gain and offset presets reported by ASIGetGainOffset and ASIGetLMHGainOffset.
struct GainPresets {
    int offset_highest_dr, offset_unity_gain, gain_lowest_rn, offset_lowest_rn;
    int low_gain, medium_gain, high_gain, high_offset;
};

/// The sensor's defects and fixed patterns (sensor.cpp); each is off at 0, false or none.
struct SensorArtefacts {
    enum class Column { none, hot, dead };
    double prnu = 0.01;              ///< RMS pixel-to-pixel variation of the response
    double vignetting = 0.2;         ///< share of the light lost in the corners
    int dust = 3;                    ///< dust shadows ("donuts")
    double amp_glow_e = 0.5;         ///< e-/s at 25 °C in the glowing corner's pixel
    bool warm_pixels = true;         ///< spread of dark current: warm tail, hot pixels
    Column column = Column::hot;     ///< one defective column
    double cosmic_rays_cm2_s = 0.02; ///< hits per cm² and second
};

/// Everything that makes one simulated camera what it is: sensor, electronics, optics.
struct Model {
    std::string key;           ///< built-in model this one was derived from
    std::string name;          ///< ASI_CAMERA_INFO.Name
    int product_id = 0;        ///< USB product ID for ASICameraCheck
    int width = 0, height = 0; ///< sensor pixels
    bool color = false;
    ASI_BAYER_PATTERN bayer = ASI_BAYER_RG;
    std::vector<int> bins;
    std::vector<ASI_IMG_TYPE> formats;
    double pixel_um = 3.76;
    bool shutter = false, st4 = false, cooler = false, usb3 = true, trigger = false, gps = false;
    float elec_per_adu = 0.3f; ///< e-/ADU at gain 0, in 16-bit output units
    int bit_depth = 12;
    int max_gain = 500;
    int default_gain = 0;
    int max_offset = 100;
    int default_offset = 10;
    double full_well_e = 20000;
    double read_noise_e = 2.0;       ///< at gain 0
    double read_noise_floor_e = 1.0; ///< approached at high gain
    double dark_current_e = 0.02;    ///< e-/s/pixel at 25 °C, doubling every 6 °C
    double full_frame_fps = 20;      ///< sensor readout limit at full height
    double focal_length_mm = 400;
    double aperture_mm = 80;
    double max_cooling_delta = 35; ///< °C below ambient the cooler can hold
    double self_heating = 3;       ///< °C above ambient with the cooler off
    /// The sensor's up (-y) turned from north towards east; also the guide axes.
    double rotation_deg = 0;
    std::array<unsigned char, 8> serial{};
    GainPresets presets{};
    SensorArtefacts artefacts;

    /// Native ADU full scale (2^bit_depth - 1).
    int max_adu() const { return (1 << bit_depth) - 1; }
    /// Electrons per native ADU at this gain (0.1 dB per gain step, as ASI cameras).
    double electrons_per_adu(int gain) const;
    /// Read noise in electrons at this gain.
    double read_noise(int gain) const;
    /// Arcseconds per sensor pixel.
    double plate_scale() const { return 206.264806 * pixel_um / focal_length_mm; }
};

/// The sky and the mount every camera looks through.
struct SkyConfig {
    std::uint64_t seed = 20240611;
    double stars_per_deg2 = 1500; ///< down to magnitude 14; more below
    double counts_slope = 0.3;    ///< star counts grow by 10^counts_slope per magnitude
    double limiting_mag = 19;     ///< fainter stars light the background unresolved
    double brightest_mag = 6;
    /// Which stars: "auto" (the sky file where find_sky_file finds one, else synthetic),
    /// "synthetic", or the path of a sky file.
    std::string catalogue = "auto";
    std::string catalogue_path; ///< the sky file to render, empty for the synthetic sky
    double seeing_arcsec = 2.5; ///< FWHM of the PSF
    double background_mag_arcsec2 = 19.0;
    double guide_rate = 0.5;          ///< of sidereal rate
    double drift_ra_arcsec_s = 0;     ///< slow drift of the field, x
    double drift_dec_arcsec_s = 0;    ///< y
    double periodic_error_arcsec = 0; ///< amplitude in RA
    double periodic_error_period_s = 480;
    double ra_deg = 83.82, dec_deg = -5.39; ///< where the telescope points, J2000
    double dec_backlash_arcsec = 3;         ///< Dec motion lost when the axis reverses
    double pulse_latency_ms = 5;            ///< from a guide pulse's edge to the mount's
    double seeing_jitter_arcsec = 0.5;      ///< RMS image motion per axis, short exposures
    double seeing_coherence_s = 0.075;      ///< how long the image motion keeps its value
};

struct SiteConfig {
    double latitude = 47.3769, longitude = 8.5417;
    int altitude_m = 408;
    int satellites = 9;
};

/// A complete simulator configuration: what asisim_reset returns to.
struct Config {
    std::vector<Model> cameras;
    SkyConfig sky;
    SiteConfig site;
    double ambient_c = 15;
    double cooling_time_s = 120; ///< the sensor's thermal time constant
    double cooling_rate = 0;     ///< °C/s at full power, instead of cooling_time_s (0: unset)
    bool fast_frames = false;
    int render_threads = 0; ///< threads a frame may use, 0 for one per core but one
    std::string source;     ///< file it came from, empty for the built-in set
};

/// The built-in camera set.
Config default_config();
/// The built-in models by the key a configuration names them with.
const std::map<std::string, std::function<Model()>>& builtin_models();
/// Fills in a model's serial number and gain presets where the configuration gave none.
void finish_model(Model& model, int position, bool serial_given, bool presets_given);
/// Parses a configuration file; on failure returns false with a message naming the file.
bool load_config_file(const std::string& path, Config& out, std::string& error);

/// Installs ASISIM_CONFIG (read again) or, without it, the built-in set.
void reset_configuration();
/// Installs the configuration file at `path` (null: the built-in set); false, with the
/// message kept for last_configuration_error, when it cannot be loaded.
bool load_configuration(const char* path);
std::string last_configuration_error();
/// A sky file that cannot be used: on stderr once per process, and asisim_last_error's
/// until the next configuration (the seeded sky is rendered instead).
void report_sky_problem(const std::string& problem);
/// Whether a configured camera has this USB product ID.
bool configured_product(int product_id);

/// One control of a model, as ASIGetControlCaps reports it.
struct ControlDef {
    const char* name;
    const char* description;
    long min, max, def;
    bool auto_supported, writable;
    ASI_CONTROL_TYPE type;
};
std::vector<ControlDef> model_controls(const Model& model);

/// What ASIGetCameraProperty reports for a model at an index.
ASI_CAMERA_INFO camera_info(const Model& model, int index);

// ---------------------------------------------------------------------------------------
// Images (dark_frame.cpp, sky.cpp, render.cpp)

/// A dark frame from a BMP file: one 8-bit level per sensor pixel.
struct DarkFrame {
    int width = 0, height = 0;
    std::vector<std::uint8_t> level;
};
/// Reads an 8-bit palette or 24-bit BMP. Returns ASI_SUCCESS, ASI_ERROR_INVALID_PATH or
/// ASI_ERROR_INVALID_FILEFORMAT (also for a size other than width x height).
ASI_ERROR_CODE load_dark_bmp(const char* path, int width, int height, DarkFrame& out);

/// Bytes an image of this region and format takes.
long image_bytes(int width, int height, ASI_IMG_TYPE type);

/// A displacement of the star field, in sensor pixels.
struct FieldOffset {
    double x = 0, y = 0;
};

/// Everything one frame depends on, snapshotted under the camera lock.
struct FrameRequest {
    int start_x = 0, start_y = 0; ///< in binned pixels, as the SDK counts
    int width = 0, height = 0, bin = 1;
    ASI_IMG_TYPE type = ASI_IMG_RAW8;
    int flip = 0, gain = 0, offset = 0, gamma = 50, wb_r = 50, wb_b = 50;
    double exposure_s = 0.01;
    bool dark = false;
    double temperature_c = 20;
    /// Where the star field stood while the sensor integrated: displacements in sensor
    /// pixels at equal steps of time from the exposure's start to its end (one entry for a
    /// field that stood still).
    std::vector<FieldOffset> path;
    /// Share of the light of stars and sky that passes the clouds, mean over the exposure.
    double transparency = 1;
    std::shared_ptr<const DarkFrame> subtract;
};

/// Makes the images of one camera. Caches the noise-free scene and the per-pixel mean and
/// noise so that a video frame costs one pass of cheap noise plus the format conversion.
/// Thread-safe: one frame at a time under its own lock, never the camera's.
class Renderer {
public:
    Renderer(const Model& model, const SkyConfig& sky, int camera_index);
    ~Renderer();
    /// Writes the image (image_bytes of the request) to out; returns the mean level on an
    /// 8-bit scale, for auto exposure.
    double render(const FrameRequest& request, std::uint8_t* out);
    /// A frame rendered once, noise and all, and kept while nothing that changes the image
    /// changes (fast frames for benchmarks).
    std::shared_ptr<const std::vector<std::uint8_t>> cached_frame(const FrameRequest& request);
    /// A fast frame into out: fresh noise over the cached scene, or the cached frame when
    /// the simulator keeps the noise.
    void fast_frame(const FrameRequest& request, std::uint8_t* out);
    /// Gives back the memory of the caches (a full-frame region holds ~240 MB).
    void release();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------------------
// Cameras (camera.cpp, thermal.cpp, mount.cpp, video.cpp)

/// A frame waiting in the video ring.
struct Frame {
    std::vector<std::uint8_t> data;
    std::chrono::system_clock::time_point started;
};

/// Region of interest as the SDK sees it.
struct Region {
    int width = 0, height = 0, bin = 1;
    ASI_IMG_TYPE type = ASI_IMG_RAW8;
    int start_x = 0, start_y = 0;
};

/// What the cooler works with over a stretch of time.
struct ThermalSettings {
    bool cooling = false;
    double target_c = 0, ambient_c = 15;
    bool operator==(const ThermalSettings&) const = default;
};

/// A stretch of time over which the cooler's settings stayed put.
struct ThermalSpan {
    Clock::time_point start, end;
    double start_c; ///< sensor temperature at `start`
    ThermalSettings settings;
};

/// A guide pulse as the mount felt it (latency included); `end` is far away while it is on.
struct GuidePulse {
    int direction;
    Clock::time_point start, end;
};

/// The mount's displacement along its axes, arcseconds on the sky, in the sense the stars
/// move: `ra` as an east pulse moves them, `dec` as a north pulse. The Dec gear's output
/// `dec` follows its motor `dec_motor` with the backlash as play.
struct MountAxes {
    double ra = 0, dec_motor = 0, dec = 0;
};

/// A pulse on the hardware trigger input, at the level the camera's mode waits for.
struct TriggerPulse {
    Clock::time_point start;
    double seconds = 0;
};

struct TriggerOutput {
    bool high = true;
    long delay_us = 0, duration_us = 0;
};

/// One camera slot. All fields after `mutex` are guarded by it unless noted.
struct Camera {
    std::mutex mutex;
    std::condition_variable frame_ready;   ///< video readers wait here
    std::condition_variable producer_wake; ///< the video thread waits here

    bool present = false;
    /// On the bus; an unplugged camera answers ASI_ERROR_CAMERA_REMOVED. Written under
    /// both this mutex and the simulator's config_mutex, so either guards a read.
    bool connected = true;
    int index = 0;
    std::shared_ptr<const Model> model;
    std::shared_ptr<const SkyConfig> sky;
    std::shared_ptr<const SiteConfig> site;
    std::shared_ptr<Renderer> renderer; ///< shared so a frame in flight outlives a reset
    std::vector<ControlDef> controls;
    ASI_CAMERA_INFO info{}; ///< what the SDK reports (may be overridden)
    ASI_ID id{};
    bool open = false, initialised = false;

    std::array<long, kControlTypes> values{};
    std::array<bool, kControlTypes> autos{};
    Region region;
    ASI_CAMERA_MODE mode = ASI_MODE_NORMAL;
    std::array<TriggerOutput, 2> trigger_outputs;
    std::shared_ptr<const DarkFrame> dark;

    // Snap exposure. Timed by the clock: WORKING turns into SUCCESS once `exposure_end`
    // has passed, so no thread is needed.
    ASI_EXPOSURE_STATUS exposure_status = ASI_EXP_IDLE;
    Clock::time_point exposure_start, exposure_end;
    Clock::time_point exposure_ready; ///< end, then readout and transfer of the image
    std::chrono::system_clock::time_point exposure_wall_start;
    bool exposure_dark = false;
    std::uint64_t exposure_sequence = 0; ///< tells a finishing read its snap is still current

    // Video.
    bool video = false;
    std::uint64_t video_generation = 0; ///< bumped by every start and stop
    std::thread producer;
    std::deque<Frame> ring;
    std::vector<std::vector<std::uint8_t>> spare_buffers;
    int dropped = 0;
    int soft_triggers = 0;      ///< pending soft edge triggers
    bool trigger_level = false; ///< soft level: exposure running
    Clock::time_point trigger_level_start;
    std::deque<double> level_exposures;       ///< soft level exposures ended, seconds
    std::deque<TriggerPulse> hardware_pulses; ///< pulses on the trigger input, not yet taken

    // Thermal state, advanced lazily to `thermal_time`; behind it the spans back to the
    // oldest exposure that may still be rendered (history_horizon).
    double temperature_c = 20;
    double cooler_power = 0;
    Clock::time_point thermal_time;
    double ambient_c = 15;
    double cooling_time_s = 120;
    std::deque<ThermalSpan> thermal_history;

    // Guiding: the mount's axes at `mount_time`, and the pulses since.
    std::array<bool, 4> pulse_on{};
    std::vector<GuidePulse> pulses;
    MountAxes mount;
    Clock::time_point mount_time;
    Clock::time_point sky_epoch;
    std::uint64_t frames_made = 0; ///< numbers each frame's seeing jitter

    long value(ASI_CONTROL_TYPE type) const { return values[type]; }
    const ControlDef* control(int type) const;
    /// A snap turns from working to done once its time is up.
    void advance_exposure();
    bool exposing();
    /// Forgets pending soft triggers and level exposures.
    void clear_triggers();
    /// Brings the sensor temperature and cooler power to `now` under the settings in force.
    void update_thermal(Clock::time_point now);
    ThermalSettings thermal_settings() const;
    /// Sensor temperature after `seconds` from `start_c` under `settings`; the cooler's
    /// power then into `power` when given.
    double thermal_after(double start_c, const ThermalSettings& settings, double seconds,
                         double* power = nullptr) const;
    double temperature_at(Clock::time_point when) const;
    /// The temperature whose dark current is the mean dark current over [start, end].
    double effective_temperature(Clock::time_point start, Clock::time_point end) const;
    /// A pulse starts (on) or ends at `now`, felt by the mount after the latency.
    void guide_pulse(int direction, bool on, Clock::time_point now);
    /// The mount's axes at each of `times` (ascending, none before mount_time).
    std::vector<MountAxes> mount_at(const std::vector<Clock::time_point>& times) const;
    /// Star field displacement (sensor pixels) for the mount's axes at `when`, with drift
    /// and periodic error.
    FieldOffset field_offset(const MountAxes& axes, Clock::time_point when) const;
    /// Where the field stood from `start` to `end`; with seeing jitter for a real exposure.
    std::vector<FieldOffset> field_path(Clock::time_point start, Clock::time_point end,
                                        bool jitter) const;
    /// Earliest time a frame still to be rendered may look back to.
    Clock::time_point history_horizon(Clock::time_point now) const;
    /// Folds guiding and thermal history older than history_horizon into the state.
    void prune_history(Clock::time_point now);
    /// The request for a frame of the current settings exposed from `start` to `end`
    /// (equal for fast frames, which show `exposure_s` all the same).
    FrameRequest frame_request(double exposure_s, bool dark, Clock::time_point start,
                               Clock::time_point end);
    /// Seconds the sensor's readout and the USB transfer of one frame take (they overlap).
    double delivery_time() const;
    /// Seconds between video frames: the longest of exposure, readout and transfer.
    double frame_interval() const;
};

/// The process-wide simulator: camera slots and the configuration in force. Made, with
/// ASISIM_CONFIG or the built-in set installed, on first use.
struct Simulator {
    std::array<Camera, kMaxCameras> cameras;
    std::atomic<int> count{0};
    std::atomic<bool> fast_frames{false};
    std::atomic<bool> fast_frames_fresh_noise{true}; ///< else the first frame's noise is kept
    std::atomic<int> render_threads{0};              ///< of the configuration in force

    std::mutex config_mutex; ///< guards the fields below and serialises resets
    Config config;
    std::string last_error; ///< of the last failed configuration load
};
Simulator& simulator();

// ---------------------------------------------------------------------------------------
// Events of the simulated world (events.cpp)

/// Pulls the camera in slot `id` off the bus (stopping its capture, failing its exposure)
/// or puts it back, closed. False for a slot with no camera.
bool unplug_camera(int id);
bool plug_camera(int id);
/// The connected camera at enumeration `index`, locked, or null.
struct CameraLock;
CameraLock connected_camera(int index);
/// A pulse on a trigger camera's input; false for an ID with no trigger camera.
bool trigger_pulse(int id, double seconds);
/// False for a temperature outside what the simulator models.
bool set_ambient_temperature(double celsius);
/// A cloud passing from now on: transparency down to `transparency` and back over `seconds`.
bool pass_cloud(double transparency, double seconds);
/// Mean transparency of the sky between two times (1: clear).
double sky_transparency(Clock::time_point from, Clock::time_point to);
/// Clear sky again (a reset).
void clear_clouds();

inline bool fast_frames() {
    return simulator().fast_frames.load(std::memory_order_relaxed);
}
/// The camera at `id` locked, or null (with the status to return) if there is none.
struct CameraLock {
    Camera* camera = nullptr;
    std::unique_lock<std::mutex> lock;
    ASI_ERROR_CODE missing = ASI_ERROR_INVALID_ID; ///< or ASI_ERROR_CAMERA_REMOVED
    explicit operator bool() const { return camera != nullptr; }
    Camera* operator->() const { return camera; }
};
CameraLock lock_camera(int id);
/// The slot at `id` locked if it holds a camera, connected or not.
CameraLock lock_slot(int id);

/// The work of an SDK call on an open camera, under its lock; the status for a missing or
/// closed camera otherwise.
template <class Work> ASI_ERROR_CODE with_open(int id, Work&& work) {
    CameraLock camera = lock_camera(id);
    if (!camera)
        return camera.missing;
    if (!camera->open)
        return ASI_ERROR_CAMERA_CLOSED;
    return work(camera);
}

template <class... Pointers> bool any_null(Pointers*... pointers) {
    return ((pointers == nullptr) || ...);
}

/// with_open for a call that reports through `outputs`, refusing a null one before the
/// work: with_outputs(id, a, b)([&](Camera& camera) { ... }).
template <class... Pointers> auto with_outputs(int id, Pointers*... outputs) {
    return [=](auto&& work) {
        return with_open(id, [&](CameraLock& camera) {
            return any_null(outputs...) ? ASI_ERROR_GENERAL_ERROR : work(*camera.camera);
        });
    };
}

/// Starts video under the lock (nothing if it runs), and returns an earlier capture's
/// thread for the caller to join after unlocking.
std::thread start_video_locked(Camera& camera);
/// Stops video under the lock, and returns the thread for the caller to join after
/// unlocking (joining under the lock would deadlock with the producer).
std::thread stop_video_locked(Camera& camera);
/// Takes the next frame of the video ring (waiting up to wait_ms, -1 for ever) into buffer.
ASI_ERROR_CODE take_video_frame(int camera_id, unsigned char* buffer, long size, int wait_ms,
                                ASI_GPS_DATA* gps, bool want_gps);
/// Closes the camera (stopping video, snap and guide pulses) and joins its thread.
void close_camera(CameraLock& locked);
/// Control defaults, region and mode as after opening.
void reset_camera_settings(Camera& camera);
void fill_gps(const Camera& camera, std::chrono::system_clock::time_point when, ASI_GPS_DATA* out);

} // namespace asisim
