// Events of the simulated world that no SDK call causes: cameras pulled off the bus and
// plugged back, pulses on a trigger input, the air temperature, clouds passing.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "sim.hpp"

namespace asisim {

namespace {

/// Transparency falls from 1 to `transparency` and back as sin² over `seconds`.
struct Cloud {
    Clock::time_point start;
    double seconds = 1;
    double transparency = 1;

    /// Mean transparency over [from, to] in seconds since the start (from < to).
    double mean(double from, double to) const {
        double a = std::clamp(from / seconds, 0.0, 1.0), b = std::clamp(to / seconds, 0.0, 1.0);
        double two_pi = 2 * std::numbers::pi;
        // Integral of sin²(πx) from a to b.
        double covered = (b - a) / 2 - (std::sin(two_pi * b) - std::sin(two_pi * a)) / (2 * two_pi);
        return 1 - (1 - transparency) * covered * seconds / (to - from);
    }
    double at(double when) const {
        double x = when / seconds;
        if (x <= 0 || x >= 1)
            return 1;
        double s = std::sin(std::numbers::pi * x);
        return 1 - (1 - transparency) * s * s;
    }
};

struct Sky {
    std::mutex mutex;
    std::vector<Cloud> clouds;
};

Sky& sky() {
    static Sky* created = new Sky; // never destroyed: video threads may outlive teardown
    return *created;
}

/// Clouds long gone no longer matter to any exposure a reader may still take.
constexpr double kCloudMemorySeconds = 3600;

bool hardware_trigger_mode(ASI_CAMERA_MODE mode) {
    return mode == ASI_MODE_TRIG_RISE_EDGE || mode == ASI_MODE_TRIG_FALL_EDGE ||
           mode == ASI_MODE_TRIG_HIGH_LEVEL || mode == ASI_MODE_TRIG_LOW_LEVEL;
}

} // namespace

bool unplug_camera(int id) {
    Simulator& sim = simulator();
    std::lock_guard config_lock(sim.config_mutex);
    CameraLock slot = lock_slot(id);
    if (!slot)
        return false;
    if (!slot->connected)
        return true;
    // Off the bus first: from here on every call answers the removed status, and a
    // reader waiting for a frame is woken by the stop below.
    slot->connected = false;
    sim.count.fetch_sub(1, std::memory_order_acq_rel);
    // Closed as the SDK closes it: capture stopped (its thread joined), exposure gone.
    if (slot->open)
        close_camera(slot);
    return true;
}

bool plug_camera(int id) {
    Simulator& sim = simulator();
    std::lock_guard config_lock(sim.config_mutex);
    CameraLock slot = lock_slot(id);
    if (!slot)
        return false;
    if (slot->connected)
        return true;
    // As after a reconnect: closed, nothing pending.
    slot->open = slot->initialised = false;
    slot->exposure_status = ASI_EXP_IDLE;
    ++slot->exposure_sequence;
    slot->clear_triggers();
    slot->connected = true;
    sim.count.fetch_add(1, std::memory_order_acq_rel);
    return true;
}

CameraLock connected_camera(int index) {
    Simulator& sim = simulator();
    std::lock_guard config_lock(sim.config_mutex);
    if (index < 0)
        return {};
    for (int id = 0; id < kMaxCameras; ++id) {
        const Camera& camera = sim.cameras[id];
        // Both fields change only under config_mutex, which this holds.
        if (camera.present && camera.connected && index-- == 0)
            return lock_camera(id);
    }
    return {};
}

bool trigger_pulse(int id, double seconds) {
    if (!(seconds >= 0))
        return false;
    CameraLock slot = lock_slot(id);
    if (!slot || !slot->model->trigger)
        return false;
    // Only a capturing camera in a hardware trigger mode listens to its input.
    if (slot->connected && slot->video && hardware_trigger_mode(slot->mode)) {
        slot->hardware_pulses.push_back({Clock::now(), seconds});
        slot->producer_wake.notify_all();
    }
    return true;
}

bool set_ambient_temperature(double celsius) {
    if (!(celsius >= -100 && celsius <= 100))
        return false;
    Simulator& sim = simulator();
    std::lock_guard config_lock(sim.config_mutex);
    auto now = Clock::now();
    for (Camera& camera : sim.cameras) {
        std::lock_guard lock(camera.mutex);
        if (!camera.present)
            continue;
        camera.update_thermal(now); // the old air acted until now
        camera.ambient_c = celsius;
    }
    return true;
}

bool pass_cloud(double transparency, double seconds) {
    if (!(transparency >= 0 && transparency <= 1) || !(seconds > 0 && std::isfinite(seconds)))
        return false;
    Sky& state = sky();
    auto now = Clock::now();
    std::lock_guard lock(state.mutex);
    std::erase_if(state.clouds, [&](const Cloud& cloud) {
        return seconds_between(cloud.start, now) > cloud.seconds + kCloudMemorySeconds;
    });
    state.clouds.push_back({now, seconds, transparency});
    return true;
}

double sky_transparency(Clock::time_point from, Clock::time_point to) {
    Sky& state = sky();
    std::lock_guard lock(state.mutex);
    double result = 1;
    // Overlapping clouds multiply their means: close enough for a few at once.
    for (const Cloud& cloud : state.clouds) {
        double a = seconds_between(cloud.start, from), b = seconds_between(cloud.start, to);
        result *= b > a ? cloud.mean(a, b) : cloud.at(a);
    }
    return std::clamp(result, 0.0, 1.0);
}

void clear_clouds() {
    Sky& state = sky();
    std::lock_guard lock(state.mutex);
    state.clouds.clear();
}

} // namespace asisim
