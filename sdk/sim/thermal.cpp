// The sensor's temperature: a first-order thermal model driven by the cooler, advanced
// lazily, with the history that exposures still to be rendered integrate their dark
// current over.
//
// The sensor relaxes with the time constant `cooling_time_s` towards the temperature the
// cooler's power holds: ambient + self heating at 0 %, ambient - max_cooling_delta at
// 100 %, in proportion between. The cooler's controller adds to the power that would hold
// the target a part proportional to the distance from it, clamped to 0..100 %: far above
// the target it runs at full power, near it the sensor settles on the target without
// overshoot (time constant cooling_time_s / (1 + kCoolerGain)) and the power on the level
// that holds it. Each phase is an exponential, so any stretch of time is solved exactly.
#include <algorithm>
#include <cmath>
#include <limits>

#include "sim.hpp"

namespace asisim {

namespace {

constexpr double kCoolerGain = 3;
/// Samples of the dark current over an exposure; the temperature moves smoothly.
constexpr int kDarkSamples = 64;
/// Spans kept at most, whatever the horizon (settings changed thousands of times).
constexpr std::size_t kMaxSpans = 4096;

double dark_factor(double celsius) {
    return std::exp2((celsius - 25) / 6);
}

} // namespace

ThermalSettings Camera::thermal_settings() const {
    bool cooling = model->cooler && values[ASI_COOLER_ON] != 0;
    return ThermalSettings{cooling, static_cast<double>(values[ASI_TARGET_TEMP]), ambient_c};
}

double Camera::thermal_after(double start_c, const ThermalSettings& settings, double seconds,
                             double* power) const {
    double warm = settings.ambient_c + model->self_heating;
    double coldest = settings.ambient_c - model->max_cooling_delta;
    double span = warm - coldest;
    double tau = cooling_time_s;
    double t = start_c, left = std::max(0.0, seconds);
    auto relax = [&](double towards, double rate) {
        t = towards + (t - towards) * std::exp(-rate * left / tau);
    };
    if (!settings.cooling || span <= 0) {
        relax(warm, 1);
        if (power)
            *power = 0;
        return t;
    }
    double target = std::clamp(settings.target_c, coldest, warm);
    double hold = 100 * (warm - target) / span;
    auto wanted = [&](double at) { return hold + 100 * kCoolerGain * (at - target) / span; };
    // The controller saturates above `high` (full power) and below `low` (off).
    double high = target + (target - coldest) / kCoolerGain;
    double low = target - (warm - target) / kCoolerGain;
    constexpr double kForever = std::numeric_limits<double>::infinity();
    for (;;) {
        if (t > high) {
            double need =
                high > coldest ? tau * std::log((t - coldest) / (high - coldest)) : kForever;
            if (need >= left) {
                relax(coldest, 1);
                if (power)
                    *power = 100;
                return t;
            }
            left -= need;
            t = high;
        } else if (t < low) {
            double need = low < warm ? tau * std::log((warm - t) / (warm - low)) : kForever;
            if (need >= left) {
                relax(warm, 1);
                if (power)
                    *power = 0;
                return t;
            }
            left -= need;
            t = low;
        } else {
            relax(target, 1 + kCoolerGain);
            if (power)
                *power = std::clamp(wanted(t), 0.0, 100.0);
            return t;
        }
    }
}

void Camera::update_thermal(Clock::time_point now) {
    if (now <= thermal_time)
        return;
    // The settings in force now ran since thermal_time: callers update before changing them.
    ThermalSettings settings = thermal_settings();
    double next =
        thermal_after(temperature_c, settings, seconds_between(thermal_time, now), &cooler_power);
    if (!thermal_history.empty() && thermal_history.back().end == thermal_time &&
        thermal_history.back().settings == settings) {
        thermal_history.back().end = now; // the same law from the same start: one span
    } else {
        thermal_history.push_back(ThermalSpan{thermal_time, now, temperature_c, settings});
        if (thermal_history.size() > kMaxSpans)
            thermal_history.pop_front();
    }
    temperature_c = next;
    thermal_time = now;
}

double Camera::temperature_at(Clock::time_point when) const {
    if (when >= thermal_time)
        return thermal_after(temperature_c, thermal_settings(),
                             seconds_between(thermal_time, when));
    // The span holding `when`: the last one starting at or before it.
    auto span =
        std::upper_bound(thermal_history.begin(), thermal_history.end(), when,
                         [](Clock::time_point at, const ThermalSpan& s) { return at < s.start; });
    if (span == thermal_history.begin())
        return thermal_history.empty() ? temperature_c : span->start_c; // older than we know
    --span;
    return thermal_after(span->start_c, span->settings, seconds_between(span->start, when));
}

double Camera::effective_temperature(Clock::time_point start, Clock::time_point end) const {
    double seconds = seconds_between(start, end);
    if (seconds <= 0)
        return temperature_at(start);
    double sum = 0;
    for (int i = 0; i < kDarkSamples; ++i)
        sum += dark_factor(temperature_at(start + to_duration(seconds * (i + 0.5) / kDarkSamples)));
    return 25 + 6 * std::log2(sum / kDarkSamples);
}

} // namespace asisim
