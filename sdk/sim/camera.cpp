// One camera: its settings, the snap exposure's clock, and the physics that follow the
// clock (cooling, the mount's guiding, drift and periodic error), GPS stamps.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <numbers>

#include "sim.hpp"

namespace asisim {

namespace {

constexpr double kSiderealArcsecPerSecond = 15.041;

// Field motion in sensor pixels per second of guiding, for each ASI_GUIDE_DIRECTION.
// North moves the field down the image (+y), east to the right (+x), before any flip.
constexpr double kGuideSignX[4] = {0, 0, 1, -1};
constexpr double kGuideSignY[4] = {1, -1, 0, 0};

} // namespace

void Camera::advance_exposure() {
    if (exposure_status == ASI_EXP_WORKING && Clock::now() >= exposure_end)
        exposure_status = ASI_EXP_SUCCESS;
}

bool Camera::exposing() {
    advance_exposure();
    return exposure_status == ASI_EXP_WORKING;
}

void Camera::clear_triggers() {
    soft_triggers = 0;
    trigger_level = false;
    level_exposures.clear();
    hardware_pulses.clear();
}

const ControlDef* Camera::control(int type) const {
    for (const ControlDef& def : controls)
        if (def.type == type)
            return &def;
    return nullptr;
}

void Camera::update_thermal(Clock::time_point now) {
    double elapsed = seconds_between(thermal_time, now);
    if (elapsed <= 0)
        return;
    thermal_time = now;
    double warm = ambient_c + model->self_heating;
    double coldest = ambient_c - model->max_cooling_delta;
    bool cooling = model->cooler && values[ASI_COOLER_ON] != 0;
    double target = cooling ? std::max<double>(values[ASI_TARGET_TEMP], coldest) : warm;
    double step = cooling_rate * elapsed;
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
    for (int direction = 0; direction < 4; ++direction) {
        if (!pulse_on[direction])
            continue;
        double seconds = std::max(0.0, seconds_between(pulse_start[direction], when));
        x += kGuideSignX[direction] * guide_px * seconds;
        y += kGuideSignY[direction] * guide_px * seconds;
    }
    double since_epoch = seconds_between(sky_epoch, when);
    x += sky->drift_ra_arcsec_s / scale * since_epoch;
    y += sky->drift_dec_arcsec_s / scale * since_epoch;
    if (sky->periodic_error_arcsec > 0)
        x += sky->periodic_error_arcsec / scale *
             std::sin(2 * std::numbers::pi * since_epoch / sky->periodic_error_period_s);
}

FrameRequest Camera::frame_request(double exposure_s, bool dark_frame, Clock::time_point when) {
    update_thermal(Clock::now());
    FrameRequest request;
    request.start_x = region.start_x;
    request.start_y = region.start_y;
    request.width = region.width;
    request.height = region.height;
    request.bin = region.bin;
    request.type = region.type;
    request.flip = static_cast<int>(values[ASI_FLIP]);
    request.gain = static_cast<int>(values[ASI_GAIN]);
    request.offset = static_cast<int>(values[ASI_OFFSET]);
    request.gamma = static_cast<int>(values[ASI_GAMMA]);
    request.wb_r = model->color ? static_cast<int>(values[ASI_WB_R]) : 50;
    request.wb_b = model->color ? static_cast<int>(values[ASI_WB_B]) : 50;
    request.exposure_s = exposure_s;
    request.dark = dark_frame;
    request.temperature_c = temperature_c;
    field_shift(when, request.shift_x, request.shift_y);
    request.path = {FieldOffset{request.shift_x, request.shift_y}};
    request.transparency =
        sky_transparency(when - to_duration(exposure_s / 2), when + to_duration(exposure_s / 2));
    request.subtract = dark;
    return request;
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

void reset_camera_settings(Camera& camera) {
    camera.values.fill(0);
    camera.autos.fill(false);
    for (const ControlDef& def : camera.controls)
        camera.values[def.type] = def.def;
    camera.region = Region{camera.model->width, camera.model->height, 1, ASI_IMG_RAW8, 0, 0};
    camera.mode = ASI_MODE_NORMAL;
    camera.trigger_outputs = {};
    camera.dark.reset();
    camera.dropped = 0;
    camera.clear_triggers();
}

void end_pulse(Camera& camera, int direction, Clock::time_point now) {
    if (!camera.pulse_on[direction])
        return;
    double guide_px =
        camera.sky->guide_rate * kSiderealArcsecPerSecond / camera.model->plate_scale();
    double seconds = std::max(0.0, seconds_between(camera.pulse_start[direction], now));
    camera.guided_x += kGuideSignX[direction] * guide_px * seconds;
    camera.guided_y += kGuideSignY[direction] * guide_px * seconds;
    camera.pulse_on[direction] = false;
}

void close_camera(CameraLock& locked) {
    Camera& camera = *locked.camera;
    std::thread producer = stop_video_locked(camera);
    auto now = Clock::now();
    camera.update_thermal(now);
    for (int direction = 0; direction < 4; ++direction)
        end_pulse(camera, direction, now);
    camera.open = camera.initialised = false;
    camera.exposure_status = ASI_EXP_IDLE;
    ++camera.exposure_sequence;
    // The SDK powers the cooler down with the camera; the sensor warms up from here.
    camera.values[ASI_COOLER_ON] = 0;
    camera.dark.reset();
    camera.spare_buffers.clear();
    std::shared_ptr<Renderer> renderer = camera.renderer;
    locked.lock.unlock();
    renderer->release();
    if (producer.joinable())
        producer.join();
    locked.lock.lock();
}

CameraLock lock_slot(int id) {
    if (id < 0 || id >= kMaxCameras)
        return {};
    Camera& camera = simulator().cameras[id];
    std::unique_lock lock(camera.mutex);
    if (!camera.present)
        return {};
    return CameraLock{&camera, std::move(lock)};
}

CameraLock lock_camera(int id) {
    CameraLock slot = lock_slot(id);
    if (slot && !slot->connected)
        return CameraLock{nullptr, {}, ASI_ERROR_CAMERA_REMOVED};
    return slot;
}

void fill_gps(const Camera& camera, std::chrono::system_clock::time_point when, ASI_GPS_DATA* out) {
    std::memset(out, 0, sizeof *out);
    if (!camera.model->gps)
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
    out->Latitude = camera.site->latitude;
    out->Longitude = camera.site->longitude;
    out->Altitude = camera.site->altitude_m;
    out->SatelliteNum = camera.site->satellites;
}

} // namespace asisim
