// One camera: its settings, the snap exposure's clock, the request that describes a frame
// (the mount's motion from mount.cpp, the sensor temperature from thermal.cpp), GPS stamps.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>

#include "sim.hpp"

namespace asisim {

void Camera::advance_exposure() {
    if (exposure_status == ASI_EXP_WORKING && Clock::now() >= exposure_ready)
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

FrameRequest Camera::frame_request(double exposure_s, bool dark_frame, Clock::time_point start,
                                   Clock::time_point end) {
    auto now = Clock::now();
    update_thermal(now);
    prune_history(now);
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
    request.temperature_c = effective_temperature(start, end);
    // Fast frames take no time: no image motion, so their cached image holds.
    bool exposed = end > start;
    request.path = field_path(start, end, exposed);
    if (exposed)
        ++frames_made;
    // A fast frame's exposure takes no time here; the sky it shows is that of an exposure
    // of its length centred on now.
    request.transparency = exposed ? sky_transparency(start, end)
                                   : sky_transparency(start - to_duration(exposure_s / 2),
                                                      start + to_duration(exposure_s / 2));
    request.subtract = dark;
    return request;
}

double Camera::delivery_time() const {
    double line_time = 1.0 / (model->full_frame_fps * model->height);
    if (values[ASI_HIGH_SPEED_MODE])
        line_time /= 2;
    double readout = region.height * region.bin * line_time;
    double link = (model->usb3 ? 450e6 : 42e6) * values[ASI_BANDWIDTHOVERLOAD] / 100.0;
    double bytes = double(region.width) * region.height * (region.type == ASI_IMG_RAW16 ? 2 : 1);
    return std::max(readout, bytes / link);
}

double Camera::frame_interval() const {
    return std::max(values[ASI_EXPOSURE] * 1e-6, delivery_time());
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

void close_camera(CameraLock& locked) {
    Camera& camera = *locked.camera;
    std::thread producer = stop_video_locked(camera);
    auto now = Clock::now();
    camera.update_thermal(now);
    for (int direction = 0; direction < 4; ++direction)
        camera.guide_pulse(direction, false, now);
    camera.open = camera.initialised = false;
    camera.exposure_status = ASI_EXP_IDLE;
    ++camera.exposure_sequence;
    // The SDK powers the cooler down with the camera; the sensor warms up from here.
    camera.values[ASI_COOLER_ON] = 0;
    camera.dark.reset();
    // Freed after the lock is released, with the renderer's memory.
    std::vector<std::vector<std::uint8_t>> spares = std::move(camera.spare_buffers);
    camera.spare_buffers.clear();
    std::shared_ptr<Renderer> renderer = camera.renderer;
    locked.lock.unlock();
    spares.clear();
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
