// The sensor's fixed pattern and cosmic rays, all drawn from counter-based random numbers
// keyed by the camera's seed, so that a pixel is what it is whatever region reads it.
#include "sensor.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace asisim {

namespace {

// Separate streams of the same seed, one per kind of artefact.
enum Stream : std::uint64_t {
    kResponse = 0x7072,
    kDark = 0x6461,
    kGlow = 0x676c,
    kDust = 0x6475,
    kColumn = 0x636f,
    kCosmic = 0x6372,
};

std::uint64_t stream_key(std::uint64_t seed, int camera_index, Stream stream) {
    return mix64(mix64(seed ^ 0xa5a5a5a5a5a5a5a5ULL) + 1000003ULL * std::uint64_t(camera_index) +
                 (std::uint64_t(stream) << 32));
}

// Probability that a pixel's dark current belongs to the warm tail, and the scale of
// that tail (Pareto with index 1.5: mean excess 2 x kWarmScale, capped).
constexpr double kWarmShare = 0.005, kWarmScale = 5, kWarmCap = 200;
// Lognormal spread of the ordinary pixels' dark current.
constexpr double kDarkSpread = 0.25;
// Hot column's dark current, in multiples of the sensor's.
constexpr double kHotColumn = 20;

struct Dust {
    double x, y, outer, inner, depth;
};

} // namespace

const float* normal_quantiles() {
    static const std::vector<float> table = [] {
        std::vector<float> quantiles(65536);
        // Inverse of the normal distribution by Newton's method on erfc, from a good start.
        for (int i = 0; i < 65536; ++i) {
            double p = (i + 0.5) / 65536.0;
            double x = 0;
            for (int step = 0; step < 60; ++step) {
                double cdf = 0.5 * std::erfc(-x / std::numbers::sqrt2);
                double density = std::exp(-0.5 * x * x) / std::sqrt(2 * std::numbers::pi);
                double next = x - (cdf - p) / density;
                next = std::clamp(next, x - 1.0, x + 1.0);
                if (std::abs(next - x) < 1e-13)
                    break;
                x = next;
            }
            quantiles[i] = static_cast<float>(x);
        }
        return quantiles;
    }();
    return table.data();
}

void sensor_pattern(const Model& model, std::uint64_t seed, int camera_index, int x0, int y0,
                    int width, int height, float* response, float* dark_rate) {
    const SensorArtefacts& a = model.artefacts;
    const float* normal = normal_quantiles();
    std::uint64_t response_key = stream_key(seed, camera_index, kResponse);
    std::uint64_t dark_key = stream_key(seed, camera_index, kDark);
    double cx = 0.5 * model.width, cy = 0.5 * model.height;
    double corner2 = cx * cx + cy * cy;

    // Dust on the window: shadows of the aperture, a ring around the secondary's hole.
    std::vector<Dust> motes;
    std::uint64_t dust_key = stream_key(seed, camera_index, kDust);
    double size = std::min(model.width, model.height);
    for (int i = 0; i < a.dust; ++i) {
        auto u = [&](int k) { return unit_interval(counter_bits(dust_key, 8 * i + k)); };
        double outer = size * (0.006 + 0.01 * u(2));
        motes.push_back(
            {u(0) * model.width, u(1) * model.height, outer, 0.35 * outer, 0.03 + 0.07 * u(3)});
    }
    // Amp glow from one corner, fading over a few hundred pixels.
    std::uint64_t glow_bits = counter_bits(stream_key(seed, camera_index, kGlow), 0);
    double glow_x = (glow_bits & 1) ? model.width : 0, glow_y = (glow_bits & 2) ? model.height : 0;
    double glow_length = 0.03 * (model.width + model.height);
    double glow_reach = 12 * glow_length;
    // One defective column.
    int column = static_cast<int>(counter_bits(stream_key(seed, camera_index, kColumn), 0) %
                                  std::uint64_t(model.width));

    double dark = model.dark_current_e;
    // Ordinary pixels scaled so that the mean over the sensor stays the model's.
    double base = a.warm_pixels ? (1 - kWarmShare * 2 * kWarmScale) : 1;
    for (int j = 0; j < height; ++j) {
        int y = y0 + j;
        double dy = y + 0.5 - cy;
        float* responses = response + std::size_t(j) * width;
        float* darks = dark_rate + std::size_t(j) * width;
        for (int i = 0; i < width; ++i) {
            int x = x0 + i;
            std::uint64_t pixel = std::uint64_t(y) * std::uint64_t(model.width) + std::uint64_t(x);
            double r = 1;
            if (a.prnu > 0)
                r += a.prnu * normal[counter_bits(response_key, pixel) >> 48];
            if (a.vignetting > 0) {
                double dx = x + 0.5 - cx;
                r *= 1 - a.vignetting * (dx * dx + dy * dy) / corner2;
            }
            double d = dark;
            if (a.warm_pixels) {
                std::uint64_t bits = counter_bits(dark_key, pixel);
                double spread =
                    std::exp(kDarkSpread * normal[bits >> 48] - 0.5 * kDarkSpread * kDarkSpread);
                double u = double(bits & 0xffffffffULL) * 0x1.0p-32 + 0x1.0p-33;
                double warm = 0;
                if (u < kWarmShare)
                    warm =
                        std::min(kWarmCap, kWarmScale * (std::pow(u / kWarmShare, -1 / 1.5) - 1));
                d = dark * (base * spread + warm);
            }
            if (a.amp_glow_e > 0) {
                double gx = x + 0.5 - glow_x, gy = y + 0.5 - glow_y;
                double distance = std::sqrt(gx * gx + gy * gy);
                if (distance < glow_reach)
                    d += a.amp_glow_e * std::exp(-distance / glow_length);
            }
            if (x == column && a.column == SensorArtefacts::Column::hot)
                d += kHotColumn * dark;
            if (x == column && a.column == SensorArtefacts::Column::dead)
                r = d = 0;
            responses[i] = static_cast<float>(r);
            darks[i] = static_cast<float>(d);
        }
        for (const Dust& mote : motes) {
            double my = y + 0.5 - mote.y;
            if (std::abs(my) >= mote.outer + 1)
                continue;
            int first = std::max(x0, static_cast<int>(mote.x - mote.outer - 1));
            int last = std::min(x0 + width, static_cast<int>(mote.x + mote.outer + 2));
            for (int x = first; x < last; ++x) {
                double mx = x + 0.5 - mote.x;
                double radius = std::sqrt(mx * mx + my * my);
                // Soft one-pixel edges; the hole in the middle lets a third of it through.
                double in_outer = std::clamp(mote.outer + 0.5 - radius, 0.0, 1.0);
                double in_inner = std::clamp(mote.inner + 0.5 - radius, 0.0, 1.0);
                double shade = mote.depth * (in_outer - 0.7 * in_inner);
                responses[x - x0] *= static_cast<float>(1 - shade);
            }
        }
    }
}

void cosmic_rays(const Model& model, std::uint64_t seed, int camera_index, std::uint64_t frame,
                 int x0, int y0, int width, int height, double seconds,
                 std::vector<CosmicHit>& hits) {
    hits.clear();
    double rate = model.artefacts.cosmic_rays_cm2_s;
    if (rate <= 0 || seconds <= 0 || width <= 0 || height <= 0)
        return;
    double pixel_cm = model.pixel_um * 1e-4;
    double expected = rate * seconds * double(width) * height * pixel_cm * pixel_cm;
    std::uint64_t key = mix64(stream_key(seed, camera_index, kCosmic) ^ mix64(frame));
    std::uint64_t counter = 0;
    auto uniform = [&] { return unit_interval(counter_bits(key, counter++)); };
    // Poisson: by products of uniforms while small, else its normal approximation.
    long count = 0;
    if (expected < 30) {
        double limit = std::exp(-expected), product = uniform();
        while (product > limit) {
            ++count;
            product *= uniform();
        }
    } else {
        double g = std::sqrt(-2 * std::log(uniform())) * std::cos(2 * std::numbers::pi * uniform());
        count = std::max(0L, std::lround(expected + std::sqrt(expected) * g));
    }
    count = std::min(count, 100000L);
    for (long i = 0; i < count; ++i) {
        double x = x0 + uniform() * width, y = y0 + uniform() * height;
        double angle = 2 * std::numbers::pi * uniform();
        // Most hits are steep and light up a pixel or two; a few graze the sensor.
        int length = std::min(20, static_cast<int>(-std::log(uniform()) * 1.5));
        double electrons = 300 + 1500 * uniform();
        for (int step = 0; step <= length; ++step) {
            int px = static_cast<int>(std::floor(x + step * std::cos(angle)));
            int py = static_cast<int>(std::floor(y + step * std::sin(angle)));
            if (px < x0 || py < y0 || px >= x0 + width || py >= y0 + height)
                break;
            hits.push_back({px, py, static_cast<float>(electrons * (0.7 + 0.6 * uniform()))});
        }
    }
}

} // namespace asisim
