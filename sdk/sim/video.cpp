// The video ring of a camera: the thread that exposes frames into it, the readers that take
// them out, and the spare buffers that pass between the two.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "sim.hpp"

namespace asisim {

namespace {

/// Frames the ring holds before the oldest is dropped; as many spare buffers are kept.
constexpr std::size_t kRingFrames = 3;

// Auto exposure and auto gain: move towards the target brightness by at most a factor of
// two per frame, exposure first, then gain, within the auto limits.
void auto_adjust(Camera& camera, double brightness) {
    bool auto_exposure = camera.autos[ASI_EXPOSURE], auto_gain = camera.autos[ASI_GAIN];
    if (!auto_exposure && !auto_gain)
        return;
    double target = static_cast<double>(camera.values[ASI_AUTO_TARGET_BRIGHTNESS]);
    double ratio = std::clamp(target / std::max(brightness, 0.5), 0.5, 2.0);
    if (std::abs(ratio - 1) < 0.04)
        return;
    if (auto_exposure) {
        long old_exposure = camera.values[ASI_EXPOSURE];
        long limit = std::max(32L, camera.values[ASI_AUTO_MAX_EXP] * 1000);
        long exposure = std::clamp(std::lround(old_exposure * ratio), 32L, limit);
        camera.values[ASI_EXPOSURE] = exposure;
        ratio *= double(old_exposure) / double(exposure);
    }
    if (auto_gain && std::abs(ratio - 1) >= 0.04) {
        long gain = camera.values[ASI_GAIN] + std::lround(200 * std::log10(ratio));
        camera.values[ASI_GAIN] = std::clamp(gain, 0L, camera.values[ASI_AUTO_MAX_GAIN]);
    }
}

// A buffer that held a frame goes back for the next, up to the ring's size; one beyond
// that comes back to be freed once the camera's lock is released (giving a full frame's
// pages back to the system takes about a millisecond).
[[nodiscard]] std::vector<std::uint8_t> keep_spare(Camera& camera,
                                                   std::vector<std::uint8_t>&& buffer) {
    if (camera.spare_buffers.size() >= kRingFrames)
        return std::move(buffer);
    camera.spare_buffers.push_back(std::move(buffer));
    return {};
}

// Runs the video thread of `camera` for one capture generation.
void produce_video(Camera* target, std::uint64_t generation) {
    Camera& camera = *target;
    std::vector<std::uint8_t> unwanted; // freed while a frame renders, without the lock
    std::unique_lock lock(camera.mutex);
    auto running = [&] { return camera.video && camera.video_generation == generation; };
    Clock::time_point last_end = Clock::now();
    bool armed = false; // a triggered exposure is under way
    Clock::time_point armed_due;
    double armed_exposure = 0;
    while (running()) {
        if (fast_frames()) {
            // Readers are served pre-rendered frames; nothing to produce.
            camera.producer_wake.wait_for(lock, std::chrono::milliseconds(100));
            last_end = Clock::now();
            continue;
        }
        Clock::time_point now = Clock::now();
        Clock::time_point due;
        double exposure;
        if (camera.mode == ASI_MODE_NORMAL) {
            exposure = camera.values[ASI_EXPOSURE] * 1e-6;
            due = last_end + to_duration(camera.frame_interval());
        } else if (armed) {
            exposure = armed_exposure;
            due = armed_due;
        } else if (camera.mode == ASI_MODE_TRIG_SOFT_EDGE && camera.soft_triggers > 0) {
            --camera.soft_triggers;
            armed = true;
            armed_exposure = camera.values[ASI_EXPOSURE] * 1e-6;
            armed_due = now + to_duration(armed_exposure);
            continue;
        } else if (camera.mode == ASI_MODE_TRIG_SOFT_LEVEL && !camera.level_exposures.empty()) {
            armed = true;
            armed_exposure = camera.level_exposures.front();
            camera.level_exposures.pop_front();
            armed_due = now; // the exposure already happened while the level was high
            continue;
        } else if (!camera.hardware_pulses.empty()) {
            // Filled only in the hardware modes: an edge starts an exposure of the time
            // set, a level exposes while it lasts.
            TriggerPulse pulse = camera.hardware_pulses.front();
            camera.hardware_pulses.pop_front();
            bool level =
                camera.mode == ASI_MODE_TRIG_HIGH_LEVEL || camera.mode == ASI_MODE_TRIG_LOW_LEVEL;
            armed = true;
            armed_exposure = level ? pulse.seconds : camera.values[ASI_EXPOSURE] * 1e-6;
            armed_due = pulse.start + to_duration(armed_exposure);
            continue;
        } else {
            // Waiting for a trigger.
            camera.producer_wake.wait(lock);
            continue;
        }
        if (now < due) {
            // Woken early by a stop or a changed setting: everything is looked at again.
            camera.producer_wake.wait_until(lock, due);
            continue;
        }
        armed = false;
        FrameRequest request =
            camera.frame_request(exposure, false, due - to_duration(exposure), due);
        std::shared_ptr<Renderer> renderer = camera.renderer;
        std::vector<std::uint8_t> buffer;
        if (!camera.spare_buffers.empty()) {
            buffer = std::move(camera.spare_buffers.back());
            camera.spare_buffers.pop_back();
        }
        auto started = std::chrono::system_clock::now() - to_duration(exposure);
        lock.unlock();
        unwanted = {};
        buffer.resize(
            static_cast<std::size_t>(image_bytes(request.width, request.height, request.type)));
        double brightness = renderer->render(request, buffer.data());
        lock.lock();
        if (!running())
            break;
        if (camera.ring.size() >= kRingFrames) {
            // The reader fell behind: the oldest frame goes, as on a camera whose buffer is full.
            unwanted = keep_spare(camera, std::move(camera.ring.front().data));
            camera.ring.pop_front();
            ++camera.dropped;
        }
        camera.ring.push_back(Frame{std::move(buffer), started});
        camera.frame_ready.notify_all();
        auto_adjust(camera, brightness);
        double interval = camera.frame_interval();
        now = Clock::now();
        last_end = (now - due > to_duration(interval)) ? now : due;
    }
}

} // namespace

std::thread start_video_locked(Camera& camera) {
    if (camera.video)
        return {}; // already running
    // A thread of an earlier capture may still be finishing; it sees the new generation
    // and leaves on its own, but must be joined before its handle goes.
    std::thread previous = std::move(camera.producer);
    camera.video = true;
    ++camera.video_generation;
    camera.ring.clear();
    camera.dropped = 0;
    camera.soft_triggers = 0;
    camera.level_exposures.clear();
    camera.hardware_pulses.clear();
    camera.producer = std::thread(produce_video, &camera, camera.video_generation);
    return previous;
}

std::thread stop_video_locked(Camera& camera) {
    if (camera.video) {
        camera.video = false;
        ++camera.video_generation;
    }
    camera.ring.clear();
    camera.frame_ready.notify_all();
    camera.producer_wake.notify_all();
    return std::move(camera.producer);
}

ASI_ERROR_CODE take_video_frame(int camera_id, unsigned char* buffer, long size, int wait_ms,
                                ASI_GPS_DATA* gps, bool want_gps) {
    CameraLock locked = lock_camera(camera_id);
    if (!locked)
        return locked.missing;
    Camera& camera = *locked.camera;
    if (!camera.open)
        return ASI_ERROR_CAMERA_CLOSED;
    if (!camera.video)
        return ASI_ERROR_INVALID_SEQUENCE;
    if (buffer == nullptr || (want_gps && gps == nullptr))
        return ASI_ERROR_GENERAL_ERROR;
    if (size < image_bytes(camera.region.width, camera.region.height, camera.region.type))
        return ASI_ERROR_BUFFER_TOO_SMALL;

    if (fast_frames()) {
        auto now = Clock::now();
        FrameRequest request =
            camera.frame_request(camera.value(ASI_EXPOSURE) * 1e-6, false, now, now);
        std::shared_ptr<Renderer> renderer = camera.renderer;
        locked.lock.unlock();
        renderer->fast_frame(request, buffer);
        locked.lock.lock();
        if (want_gps)
            fill_gps(camera, std::chrono::system_clock::now(), gps);
        return ASI_SUCCESS;
    }

    std::uint64_t generation = camera.video_generation;
    auto current = [&] { return camera.video && camera.video_generation == generation; };
    auto ready = [&] { return !camera.ring.empty() || !current(); };
    if (wait_ms < 0)
        camera.frame_ready.wait(locked.lock, ready);
    else
        camera.frame_ready.wait_for(locked.lock, std::chrono::milliseconds(wait_ms), ready);
    if (!camera.connected)
        return ASI_ERROR_CAMERA_REMOVED; // unplugged while we waited
    if (!current())
        return ASI_ERROR_INVALID_SEQUENCE; // stopped (or closed) while we waited
    if (camera.ring.empty())
        return ASI_ERROR_TIMEOUT;
    Frame frame = std::move(camera.ring.front());
    camera.ring.pop_front();
    locked.lock.unlock();
    std::memcpy(buffer, frame.data.data(), std::min<std::size_t>(frame.data.size(), size));
    locked.lock.lock();
    std::vector<std::uint8_t> unwanted = camera.video_generation == generation
                                             ? keep_spare(camera, std::move(frame.data))
                                             : std::move(frame.data);
    if (want_gps)
        fill_gps(camera, frame.started, gps);
    locked.lock.unlock(); // before the frame that was not kept is freed
    return ASI_SUCCESS;
}

} // namespace asisim
