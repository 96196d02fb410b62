// The sky a camera looks at: its field of real and seeded stars, and the random numbers
// the seeded ones are drawn from.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "sim.hpp"
#include "sky_catalogue.hpp"

namespace asisim {

/// Small, fast and good enough for noise: xoshiro256+ seeded by splitmix64.
class Random {
public:
    explicit Random(std::uint64_t seed) {
        for (auto& word : s_) {
            seed += 0x9e3779b97f4a7c15ULL;
            std::uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            word = z ^ (z >> 31);
        }
    }
    std::uint64_t next() {
        std::uint64_t result = s_[0] + s_[3];
        std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = (s_[3] << 45) | (s_[3] >> 19);
        return result;
    }
    /// Uniform in (0, 1].
    double uniform() { return ((next() >> 11) + 1) * 0x1.0p-53; }
    double normal() {
        double u = uniform(), v = uniform();
        return std::sqrt(-2 * std::log(u)) * std::cos(2 * std::numbers::pi * v);
    }

private:
    std::uint64_t s_[4];
};

struct Star {
    double x, y;  ///< sensor pixels, within the extended field
    float flux;   ///< e-/s, all colours
    float rgb[3]; ///< colour relative to a white star
};

struct HotPixel {
    int x, y;
    float rate; ///< e-/s at 25 °C
};

/// What a camera's seed and pointing decide once: the stars of a field that extends
/// `margin` sensor pixels beyond each edge (so that stars drift in), the light of the
/// stars too faint to draw, and the sensor's hot pixels.
struct Catalogue {
    double margin = 0;
    double field_width = 0, field_height = 0; ///< sensor pixels
    /// Seeded stars, placed on a field that repeats beyond its edges (drift never
    /// empties it).
    std::vector<Star> stars;
    /// Stars of the real sky at their places: a field moved further than the margin
    /// loses them at the edge.
    std::vector<Star> sky_stars;
    /// Magnitude the seeded stars start at: the sky file's local completeness with one,
    /// else brightest_mag.
    double synthetic_from = 0;
    double unresolved_rate = 0; ///< e-/s per sensor pixel from stars beyond limiting_mag
    std::vector<HotPixel> hot_pixels;
};

/// e-/s from a magnitude 0 star through the model's aperture.
double zero_point(const Model& model);
/// The field of a camera: with a sky file (`real`), its stars at the mount's pointing
/// and seeded ones only fainter than it holds; without, seeded stars alone.
Catalogue make_catalogue(const Model& model, const SkyConfig& sky, int camera_index,
                         const SkyCatalogue* real);

} // namespace asisim
