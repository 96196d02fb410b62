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
    std::array<unsigned char, 8> serial{};
    GainPresets presets{};

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
    double limiting_mag = 16;
    double brightest_mag = 6;
    double seeing_arcsec = 2.5; ///< FWHM of the Gaussian PSF
    double background_mag_arcsec2 = 19.0;
    double guide_rate = 0.5;          ///< of sidereal rate
    double drift_ra_arcsec_s = 0;     ///< slow drift of the field, x
    double drift_dec_arcsec_s = 0;    ///< y
    double periodic_error_arcsec = 0; ///< amplitude in RA
    double periodic_error_period_s = 480;
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
    double cooling_rate = 1.0; ///< °C per second the cooler moves the sensor
    bool fast_frames = false;
    std::string source; ///< file it came from, empty for the built-in set
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
    double shift_x = 0, shift_y = 0; ///< star field displacement, sensor pixels
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
    /// A frame rendered once and kept while the request's format stays the same (fast frames).
    std::shared_ptr<const std::vector<std::uint8_t>> cached_frame(const FrameRequest& request);
    /// Gives back the memory of the caches (a full-frame region holds ~150 MB).
    void release();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------------------
// Cameras (camera.cpp, video.cpp)

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

    // Thermal state, advanced lazily to `thermal_time`.
    double temperature_c = 20;
    double cooler_power = 0;
    Clock::time_point thermal_time;
    double ambient_c = 15;
    double cooling_rate = 1;

    // Guiding: the star field's displacement in sensor pixels.
    std::array<bool, 4> pulse_on{};
    std::array<Clock::time_point, 4> pulse_start{};
    double guided_x = 0, guided_y = 0;
    Clock::time_point sky_epoch;

    long value(ASI_CONTROL_TYPE type) const { return values[type]; }
    const ControlDef* control(int type) const;
    /// A snap turns from working to done once its time is up.
    void advance_exposure();
    bool exposing();
    /// Forgets pending soft triggers and level exposures.
    void clear_triggers();
    void update_thermal(Clock::time_point now);
    /// Star field displacement (sensor pixels) at `when`, from guiding, drift and PE.
    void field_shift(Clock::time_point when, double& x, double& y) const;
    /// The request for a frame of the current settings, the stars where they are at `when`.
    FrameRequest frame_request(double exposure_s, bool dark, Clock::time_point when);
    /// Seconds between video frames: the longer of exposure and readout.
    double frame_interval() const;
};

/// The process-wide simulator: camera slots and the configuration in force. Made, with
/// ASISIM_CONFIG or the built-in set installed, on first use.
struct Simulator {
    std::array<Camera, kMaxCameras> cameras;
    std::atomic<int> count{0};
    std::atomic<bool> fast_frames{false};

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
/// Folds a running guide pulse into the accumulated field offset and ends it.
void end_pulse(Camera& camera, int direction, Clock::time_point now);
/// Closes the camera (stopping video, snap and guide pulses) and joins its thread.
void close_camera(CameraLock& locked);
/// Control defaults, region and mode as after opening.
void reset_camera_settings(Camera& camera);
void fill_gps(const Camera& camera, std::chrono::system_clock::time_point when, ASI_GPS_DATA* out);

} // namespace asisim
