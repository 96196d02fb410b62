// Camera slots: configuration, physics that follow the clock (cooling, guiding), and the
// video thread.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <numbers>

#include "sim.hpp"

namespace asisim {

namespace {

constexpr std::size_t kRingFrames = 3;
constexpr double kSiderealArcsecPerSecond = 15.041;

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

Clock::duration to_duration(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Field motion in sensor pixels per second of guiding, for each ASI_GUIDE_DIRECTION.
// North moves the field down the image (+y), east to the right (+x), before any flip.
constexpr double kGuideSignX[4] = {0, 0, 1, -1};
constexpr double kGuideSignY[4] = {1, -1, 0, 0};

} // namespace

Simulator& simulator() {
    // Never destroyed: a video thread or a late SDK call may outlive static teardown.
    static Simulator* sim = new Simulator;
    return *sim;
}

const ControlDef* Camera::control(int type) const {
    for (const ControlDef& def : controls)
        if (def.type == type)
            return &def;
    return nullptr;
}

void Camera::update_thermal(Clock::time_point now) {
    double dt = seconds_between(thermal_time, now);
    if (dt <= 0)
        return;
    thermal_time = now;
    double warm = ambient_c + model->self_heating;
    double coldest = ambient_c - model->max_cooling_delta;
    bool cooling = model->cooler && values[ASI_COOLER_ON] != 0;
    double target = cooling ? std::max<double>(values[ASI_TARGET_TEMP], coldest) : warm;
    double step = cooling_rate * dt;
    double diff = target - temperature_c;
    temperature_c = std::abs(diff) <= step ? target : temperature_c + std::copysign(step, diff);
    if (!cooling) {
        cooler_power = 0;
    } else if (temperature_c > target + 0.5) {
        cooler_power = 100; // still pulling down
    } else {
        // Holding: the load grows with the distance below the uncooled temperature.
        cooler_power = std::clamp(100 * (warm - temperature_c) / (warm - coldest), 0.0, 100.0);
    }
}

void Camera::field_shift(Clock::time_point when, double& x, double& y) const {
    double scale = model->plate_scale();
    double guide_px = sky->guide_rate * kSiderealArcsecPerSecond / scale;
    x = guided_x;
    y = guided_y;
    for (int d = 0; d < 4; ++d) {
        if (!pulse_on[d])
            continue;
        double t = std::max(0.0, seconds_between(pulse_start[d], when));
        x += kGuideSignX[d] * guide_px * t;
        y += kGuideSignY[d] * guide_px * t;
    }
    double t = seconds_between(sky_epoch, when);
    x += sky->drift_ra_arcsec_s / scale * t;
    y += sky->drift_dec_arcsec_s / scale * t;
    if (sky->periodic_error_arcsec > 0)
        x += sky->periodic_error_arcsec / scale *
             std::sin(2 * std::numbers::pi * t / sky->periodic_error_period_s);
}

FrameRequest Camera::frame_request(double exposure_s, bool dark_frame, Clock::time_point when) {
    update_thermal(Clock::now());
    FrameRequest r;
    r.start_x = region.start_x;
    r.start_y = region.start_y;
    r.width = region.width;
    r.height = region.height;
    r.bin = region.bin;
    r.type = region.type;
    r.flip = static_cast<int>(values[ASI_FLIP]);
    r.gain = static_cast<int>(values[ASI_GAIN]);
    r.offset = static_cast<int>(values[ASI_OFFSET]);
    r.gamma = static_cast<int>(values[ASI_GAMMA]);
    r.wb_r = model->color ? static_cast<int>(values[ASI_WB_R]) : 50;
    r.wb_b = model->color ? static_cast<int>(values[ASI_WB_B]) : 50;
    r.exposure_s = exposure_s;
    r.dark = dark_frame;
    r.temperature_c = temperature_c;
    field_shift(when, r.shift_x, r.shift_y);
    r.subtract = dark;
    return r;
}

double Camera::frame_interval() const {
    double exposure = values[ASI_EXPOSURE] * 1e-6;
    double line_time = 1.0 / (model->full_frame_fps * model->height);
    if (values[ASI_HIGH_SPEED_MODE])
        line_time /= 2;
    double readout = region.height * region.bin * line_time;
    double link = (model->usb3 ? 450e6 : 42e6) * values[ASI_BANDWIDTHOVERLOAD] / 100.0;
    double bytes = double(region.width) * region.height * (region.type == ASI_IMG_RAW16 ? 2 : 1);
    return std::max({exposure, readout, bytes / link});
}

void reset_camera_settings(Camera& c) {
    c.values.fill(0);
    c.autos.fill(false);
    for (const ControlDef& def : c.controls)
        c.values[def.type] = def.def;
    c.region = Region{c.model->width, c.model->height, 1, ASI_IMG_RAW8, 0, 0};
    c.mode = ASI_MODE_NORMAL;
    c.trigger_outputs = {};
    c.dark.reset();
    c.dropped = 0;
    c.soft_triggers = 0;
    c.trigger_level = false;
    c.level_exposures.clear();
}

std::thread stop_video_locked(Camera& c) {
    if (c.video) {
        c.video = false;
        ++c.video_generation;
    }
    c.ring.clear();
    c.frame_ready.notify_all();
    c.producer_wake.notify_all();
    return std::move(c.producer);
}

void end_pulse(Camera& c, int direction, Clock::time_point now) {
    if (!c.pulse_on[direction])
        return;
    double guide_px = c.sky->guide_rate * kSiderealArcsecPerSecond / c.model->plate_scale();
    double t = std::max(0.0, seconds_between(c.pulse_start[direction], now));
    c.guided_x += kGuideSignX[direction] * guide_px * t;
    c.guided_y += kGuideSignY[direction] * guide_px * t;
    c.pulse_on[direction] = false;
}

void close_camera(CameraLock& locked) {
    Camera& c = *locked.camera;
    std::thread producer = stop_video_locked(c);
    auto now = Clock::now();
    c.update_thermal(now);
    for (int d = 0; d < 4; ++d)
        end_pulse(c, d, now);
    c.open = c.initialised = false;
    c.exposure_status = ASI_EXP_IDLE;
    ++c.exposure_sequence;
    // The SDK powers the cooler down with the camera; the sensor warms up from here.
    c.values[ASI_COOLER_ON] = 0;
    c.dark.reset();
    c.spare_buffers.clear();
    std::shared_ptr<Renderer> renderer = c.renderer;
    locked.lock.unlock();
    renderer->release();
    if (producer.joinable())
        producer.join();
    locked.lock.lock();
}

void apply_config(const Config& config) {
    Simulator& sim = simulator();
    std::lock_guard config_lock(sim.config_mutex);
    sim.config = config;
    auto sky = std::make_shared<const SkyConfig>(config.sky);
    auto site = std::make_shared<const SiteConfig>(config.site);
    int n = static_cast<int>(std::min<std::size_t>(config.cameras.size(), kMaxCameras));
    sim.count.store(0, std::memory_order_release);
    auto now = Clock::now();
    for (int i = 0; i < kMaxCameras; ++i) {
        Camera& c = sim.cameras[i];
        std::unique_lock lock(c.mutex);
        std::thread producer = stop_video_locked(c);
        c.present = i < n;
        c.open = c.initialised = false;
        c.exposure_status = ASI_EXP_IDLE;
        ++c.exposure_sequence;
        if (c.present) {
            auto model = std::make_shared<const Model>(config.cameras[i]);
            c.index = i;
            c.model = model;
            c.sky = sky;
            c.site = site;
            c.renderer = std::make_shared<Renderer>(*model, *sky, i);
            c.controls = model_controls(*model);
            c.info = camera_info(*model, i);
            c.id = ASI_ID{};
            reset_camera_settings(c);
            c.ambient_c = config.ambient_c;
            c.cooling_rate = config.cooling_rate;
            c.temperature_c = config.ambient_c + model->self_heating;
            c.cooler_power = 0;
            c.thermal_time = now;
            c.pulse_on.fill(false);
            c.guided_x = c.guided_y = 0;
            c.sky_epoch = now;
        } else {
            c.renderer.reset();
            c.model.reset();
        }
        lock.unlock();
        if (producer.joinable())
            producer.join();
    }
    sim.count.store(n, std::memory_order_release);
}

CameraLock lock_camera(int id) {
    if (id < 0 || id >= kMaxCameras)
        return {};
    Camera& c = simulator().cameras[id];
    std::unique_lock lock(c.mutex);
    if (!c.present)
        return {};
    return CameraLock{&c, std::move(lock)};
}

void fill_gps(const Camera& c, std::chrono::system_clock::time_point when, ASI_GPS_DATA* out) {
    std::memset(out, 0, sizeof *out);
    if (!c.model->gps)
        return;
    auto since_epoch =
        std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch());
    std::time_t seconds = static_cast<std::time_t>(since_epoch.count() / 1000000);
    long micros = static_cast<long>(since_epoch.count() % 1000000);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    out->Datetime.Year = utc.tm_year + 1900;
    out->Datetime.Month = utc.tm_mon + 1;
    out->Datetime.Day = utc.tm_mday;
    out->Datetime.Hour = utc.tm_hour;
    out->Datetime.Minute = utc.tm_min;
    out->Datetime.Second = utc.tm_sec;
    // Milliseconds, then the microseconds within that millisecond.
    out->Datetime.Msecond = static_cast<int>(micros / 1000);
    out->Datetime.Usecond = static_cast<int>(micros % 1000);
    out->Latitude = c.site->latitude;
    out->Longitude = c.site->longitude;
    out->Altitude = c.site->altitude_m;
    out->SatelliteNum = c.site->satellites;
}

namespace {

// Auto exposure and auto gain: move towards the target brightness by at most a factor of
// two per frame, exposure first, then gain, within the auto limits.
void auto_adjust(Camera& c, double brightness) {
    bool auto_exposure = c.autos[ASI_EXPOSURE], auto_gain = c.autos[ASI_GAIN];
    if (!auto_exposure && !auto_gain)
        return;
    double target = static_cast<double>(c.values[ASI_AUTO_TARGET_BRIGHTNESS]);
    double ratio = std::clamp(target / std::max(brightness, 0.5), 0.5, 2.0);
    if (std::abs(ratio - 1) < 0.04)
        return;
    if (auto_exposure) {
        long old_exposure = c.values[ASI_EXPOSURE];
        long limit = std::max(32L, c.values[ASI_AUTO_MAX_EXP] * 1000);
        long exposure = std::clamp(std::lround(old_exposure * ratio), 32L, limit);
        c.values[ASI_EXPOSURE] = exposure;
        ratio *= double(old_exposure) / double(exposure);
    }
    if (auto_gain && std::abs(ratio - 1) >= 0.04) {
        long gain = c.values[ASI_GAIN] + std::lround(200 * std::log10(ratio));
        c.values[ASI_GAIN] = std::clamp(gain, 0L, c.values[ASI_AUTO_MAX_GAIN]);
    }
}

} // namespace

void produce_video(Camera* camera, std::uint64_t generation) {
    Camera& c = *camera;
    Simulator& sim = simulator();
    std::unique_lock lock(c.mutex);
    auto running = [&] { return c.video && c.video_generation == generation; };
    Clock::time_point last_end = Clock::now();
    bool armed = false; // a triggered exposure is under way
    Clock::time_point armed_due;
    double armed_exposure = 0;
    while (running()) {
        if (sim.fast_frames.load(std::memory_order_relaxed)) {
            // Readers are served pre-rendered frames; nothing to produce.
            c.producer_wake.wait_for(lock, std::chrono::milliseconds(100));
            last_end = Clock::now();
            continue;
        }
        Clock::time_point now = Clock::now();
        Clock::time_point due;
        double exposure;
        if (c.mode == ASI_MODE_NORMAL) {
            exposure = c.values[ASI_EXPOSURE] * 1e-6;
            due = last_end + to_duration(c.frame_interval());
        } else if (armed) {
            exposure = armed_exposure;
            due = armed_due;
        } else if (c.mode == ASI_MODE_TRIG_SOFT_EDGE && c.soft_triggers > 0) {
            --c.soft_triggers;
            armed = true;
            armed_exposure = c.values[ASI_EXPOSURE] * 1e-6;
            armed_due = now + to_duration(armed_exposure);
            continue;
        } else if (c.mode == ASI_MODE_TRIG_SOFT_LEVEL && !c.level_exposures.empty()) {
            armed = true;
            armed_exposure = c.level_exposures.front();
            c.level_exposures.pop_front();
            armed_due = now; // the exposure already happened while the level was high
            continue;
        } else {
            // Waiting for a trigger; hardware triggers never arrive in the simulator.
            c.producer_wake.wait(lock);
            continue;
        }
        if (now < due) {
            // Woken early by a stop or a changed setting: everything is looked at again.
            c.producer_wake.wait_until(lock, due);
            continue;
        }
        armed = false;
        // Stars sit where the field was half way through the exposure.
        FrameRequest request = c.frame_request(exposure, false, due - to_duration(exposure / 2));
        std::shared_ptr<Renderer> renderer = c.renderer;
        std::vector<std::uint8_t> buffer;
        if (!c.spare_buffers.empty()) {
            buffer = std::move(c.spare_buffers.back());
            c.spare_buffers.pop_back();
        }
        auto started = std::chrono::system_clock::now() - to_duration(exposure);
        lock.unlock();
        buffer.resize(
            static_cast<std::size_t>(image_bytes(request.width, request.height, request.type)));
        double brightness = renderer->render(request, buffer.data());
        lock.lock();
        if (!running())
            break;
        if (c.ring.size() >= kRingFrames) {
            // The reader fell behind: the oldest frame goes, as on a camera whose buffer is full.
            c.spare_buffers.push_back(std::move(c.ring.front().data));
            c.ring.pop_front();
            ++c.dropped;
        }
        c.ring.push_back(Frame{std::move(buffer), started});
        c.frame_ready.notify_all();
        auto_adjust(c, brightness);
        double interval = c.frame_interval();
        now = Clock::now();
        last_end = (now - due > to_duration(interval)) ? now : due;
    }
}

} // namespace asisim
