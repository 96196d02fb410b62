// The sensor's own marks on every frame: counter-based random numbers for noise, the
// fixed pattern a camera's seed decides once (response to light, dark current, amp glow,
// dust, defective column), and the cosmic rays that hit each exposure.
#pragma once

#include <cstdint>
#include <vector>

#include "sim.hpp"

namespace asisim {

/// splitmix64's finaliser: every input bit reaches every output bit.
inline std::uint64_t mix64(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

/// Random bits from a key and a counter: the same pair always gives the same bits, and
/// nearby counters give unrelated ones (splitmix64 at the counter's place in its sequence).
inline std::uint64_t counter_bits(std::uint64_t key, std::uint64_t counter) {
    return mix64(key + (counter + 1) * 0x9e3779b97f4a7c15ULL);
}

/// Uniform in (0, 1) from 53 of the bits.
inline double unit_interval(std::uint64_t bits) {
    return (double(bits >> 11) + 0.5) * 0x1.0p-53;
}

/// Standard normal quantiles at (i + 0.5) / 65536: 16 random bits index a Gaussian
/// sample (tails end at 4.3 sigma).
const float* normal_quantiles();

/// The fixed pattern of a sensor region, per sensor pixel of the region (row-major,
/// `width` x `height` from sensor pixel `x0`, `y0`): the response to light (1 for a
/// perfect pixel) and the dark signal in e-/s at 25 °C (dark current with its spread, hot
/// pixels, hot column, amp glow). Fixed by the camera's seed and position; a region cut
/// from the sensor sees the same values as the full frame.
void sensor_pattern(const Model& model, std::uint64_t seed, int camera_index, int x0, int y0,
                    int width, int height, float* response, float* dark_rate);

/// Energy a cosmic ray left in one sensor pixel.
struct CosmicHit {
    int x, y; ///< sensor pixels
    float electrons;
};

/// The cosmic rays of one exposure over a sensor region, a fresh draw for every frame
/// (`frame` numbers it).
void cosmic_rays(const Model& model, std::uint64_t seed, int camera_index, std::uint64_t frame,
                 int x0, int y0, int width, int height, double seconds,
                 std::vector<CosmicHit>& hits);

} // namespace asisim
