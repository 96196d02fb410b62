// The mount under a camera and the air above it: where the star field stood at every
// moment of an exposure.
//
// Guide pulses are kept as the intervals the mount felt them (each edge late by the pulse
// latency) until no frame still to be rendered reaches back to them; then they are folded
// into the axes' state at `mount_time`. RA pulses move the field at the guide rate times
// cos(declination), Dec pulses at the guide rate through a gear whose play (the backlash)
// swallows the first motion after a reversal. Drift and periodic error follow the clock.
// The axes are turned against the sensor by the camera's rotation. Seeing moves the whole
// image by a random amount that keeps its value for about the coherence time, so that a
// long exposure averages it down as sqrt(coherence / exposure).
#include <algorithm>
#include <cmath>
#include <numbers>

#include "sky.hpp"

namespace asisim {

namespace {

constexpr double kSiderealArcsecPerSecond = 15.041;
/// Most points of an exposure's path (one per coherence time below that).
constexpr int kMaxPathPoints = 129;
/// Most seeing cells drawn for one exposure; longer ones reuse cells (the mean is tiny).
constexpr std::size_t kMaxSeeingCells = 1 << 20;
/// Pulses kept at most; a program pulsing faster than any mount reacts loses detail only.
constexpr std::size_t kMaxPulses = 256;
/// How far the folded state may lag behind the history's horizon: folding on every call
/// would make a pulse call walk the whole history each time.
constexpr Clock::duration kFoldLag = std::chrono::seconds(1);

// Mount motion of each ASI_GUIDE_DIRECTION: north and south move Dec, east and west RA.
constexpr bool kGuideDec[4] = {true, true, false, false};
constexpr double kGuideSign[4] = {1, -1, 1, -1};

double overlap_seconds(const GuidePulse& pulse, Clock::time_point from, Clock::time_point to) {
    Clock::time_point start = std::max(pulse.start, from), end = std::min(pulse.end, to);
    return end > start ? seconds_between(start, end) : 0.0;
}

} // namespace

void Camera::guide_pulse(int direction, bool on, Clock::time_point now) {
    Clock::time_point felt = now + to_duration(sky->pulse_latency_ms * 1e-3);
    if (on && !pulse_on[direction]) {
        pulse_on[direction] = true;
        pulses.push_back(GuidePulse{direction, felt, Clock::time_point::max()});
    } else if (!on && pulse_on[direction]) {
        pulse_on[direction] = false;
        for (GuidePulse& pulse : pulses)
            if (pulse.direction == direction && pulse.end == Clock::time_point::max())
                pulse.end = felt;
    } else {
        return; // the axis is already as asked: nothing to record
    }
    prune_history(now);
}

std::vector<MountAxes> Camera::mount_at(const std::vector<Clock::time_point>& times) const {
    double guide = sky->guide_rate * kSiderealArcsecPerSecond;
    double ra_rate = guide * std::cos(sky->dec_deg * std::numbers::pi / 180);
    double play = sky->dec_backlash_arcsec;
    // The Dec gear's output only moves at the motor's turning points (pulse edges) and at
    // the times asked for: walk them in order.
    std::vector<std::pair<Clock::time_point, int>> walk; // (time, index in times or -1)
    for (std::size_t i = 0; i < times.size(); ++i)
        walk.emplace_back(times[i], static_cast<int>(i));
    Clock::time_point last = times.empty() ? mount_time : times.back();
    for (const GuidePulse& pulse : pulses) {
        if (!kGuideDec[pulse.direction])
            continue;
        for (Clock::time_point edge : {pulse.start, pulse.end})
            if (edge > mount_time && edge < last)
                walk.emplace_back(edge, -1);
    }
    std::stable_sort(walk.begin(), walk.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<MountAxes> out(times.size());
    double dec = mount.dec;
    for (const auto& [when, index] : walk) {
        MountAxes axes{mount.ra, mount.dec_motor, 0};
        for (const GuidePulse& pulse : pulses) {
            double moved = kGuideSign[pulse.direction] * overlap_seconds(pulse, mount_time, when);
            (kGuideDec[pulse.direction] ? axes.dec_motor : axes.ra) +=
                moved * (kGuideDec[pulse.direction] ? guide : ra_rate);
        }
        // The output sits anywhere within the play around the motor; the motor pushes it
        // only from the far side.
        dec = std::clamp(dec, axes.dec_motor - play / 2, axes.dec_motor + play / 2);
        axes.dec = dec;
        if (index >= 0)
            out[index] = axes;
    }
    return out;
}

FieldOffset Camera::field_offset(const MountAxes& axes, Clock::time_point when) const {
    double since_epoch = seconds_between(sky_epoch, when);
    double ra = axes.ra + sky->drift_ra_arcsec_s * since_epoch;
    double dec = axes.dec + sky->drift_dec_arcsec_s * since_epoch;
    if (sky->periodic_error_arcsec > 0)
        ra += sky->periodic_error_arcsec *
              std::sin(2 * std::numbers::pi * since_epoch / sky->periodic_error_period_s);
    // At rotation 0 RA runs along +x and Dec along +y; the sensor turns from north to east.
    double angle = model->rotation_deg * std::numbers::pi / 180;
    double c = std::cos(angle), s = std::sin(angle), scale = model->plate_scale();
    return FieldOffset{(ra * c - dec * s) / scale, (ra * s + dec * c) / scale};
}

std::vector<FieldOffset> Camera::field_path(Clock::time_point start, Clock::time_point end,
                                            bool jitter) const {
    double exposure = std::max(0.0, seconds_between(start, end));
    double coherence = sky->seeing_coherence_s;
    int points = 1;
    if (exposure > 0)
        points = static_cast<int>(
            std::clamp(std::ceil(exposure / coherence) + 1, 2.0, double(kMaxPathPoints)));
    std::vector<Clock::time_point> times(points, start);
    double step = points > 1 ? exposure / (points - 1) : 0;
    for (int i = 1; i < points; ++i)
        times[i] = start + to_duration(step * i);
    // A frame never looks back past the folded history (it would not have been kept).
    for (Clock::time_point& when : times)
        when = std::max(when, mount_time);
    std::vector<MountAxes> axes = mount_at(times);
    std::vector<FieldOffset> path(points);
    for (int i = 0; i < points; ++i)
        path[i] = field_offset(axes[i], times[i]);
    if (!jitter || points < 2 || sky->seeing_jitter_arcsec <= 0) {
        // A field that stood still is one point: the renderer need not trail it.
        bool still = std::all_of(path.begin(), path.end(), [&](const FieldOffset& point) {
            return point.x == path.front().x && point.y == path.front().y;
        });
        if (still)
            path.resize(1);
        return path;
    }
    // Seeing: one random offset per coherence cell, drawn from the seed and the frame's
    // number; each point takes the mean of the cells its share of the exposure covers.
    Random random(sky->seed * 0x9e3779b97f4a7c15ULL ^ (std::uint64_t(index) << 56) ^
                  (frames_made * 0xbf58476d1ce4e5b9ULL + 0x736565696e67ULL));
    double sigma = sky->seeing_jitter_arcsec / model->plate_scale();
    std::size_t cells = std::min(kMaxSeeingCells, std::size_t(std::ceil(exposure / coherence)) + 1);
    std::vector<FieldOffset> cell(cells);
    for (FieldOffset& offset : cell)
        offset = FieldOffset{sigma * random.normal(), sigma * random.normal()};
    for (int i = 0; i < points; ++i) {
        double from = std::max(0.0, (i - 0.5) * step), to = std::min(exposure, (i + 0.5) * step);
        double x = 0, y = 0, weight = 0;
        auto first = static_cast<std::size_t>(from / coherence);
        for (std::size_t k = first; k < cells && k * coherence < to; ++k) {
            double w = std::min(to, (k + 1) * coherence) - std::max(from, k * coherence);
            if (w <= 0)
                continue;
            x += w * cell[k].x;
            y += w * cell[k].y;
            weight += w;
        }
        if (weight > 0) {
            path[i].x += x / weight;
            path[i].y += y / weight;
        }
    }
    return path;
}

Clock::time_point Camera::history_horizon(Clock::time_point now) const {
    // The longest look back of a video frame (its exposure before its delivery), soft level
    // exposures waiting to be made, and a snap not yet downloaded.
    double back = values[ASI_EXPOSURE] * 1e-6 + frame_interval() + 1;
    for (double seconds : level_exposures)
        back = std::max(back, seconds + 1);
    Clock::time_point horizon = now - to_duration(back);
    if (exposure_status == ASI_EXP_WORKING || exposure_status == ASI_EXP_SUCCESS)
        horizon = std::min(horizon, exposure_start);
    if (trigger_level)
        horizon = std::min(horizon, trigger_level_start);
    return horizon;
}

void Camera::prune_history(Clock::time_point now) {
    Clock::time_point horizon = history_horizon(now);
    // Pulses start in order: past the limit, fold up to the start of the oldest one kept.
    Clock::time_point fold = horizon;
    if (pulses.size() > kMaxPulses)
        fold = std::max(fold, pulses[pulses.size() - kMaxPulses].start);
    if (fold > mount_time && (pulses.size() > kMaxPulses || fold - mount_time >= kFoldLag)) {
        mount = mount_at({fold}).front();
        mount_time = fold;
        std::erase_if(pulses, [&](const GuidePulse& pulse) { return pulse.end <= fold; });
        for (GuidePulse& pulse : pulses)
            pulse.start = std::max(pulse.start, fold);
    }
    while (!thermal_history.empty() && thermal_history.front().end < horizon)
        thermal_history.pop_front();
}

} // namespace asisim
