// The renderer's state, shared by its stages: render.cpp (the fixed pattern, the scene
// and the exposure) and frame_output.cpp (the noisy frame and the output formats).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <numbers>

#include "sensor.hpp"
#include "sim.hpp"
#include "sky.hpp"
#include "workers.hpp"

namespace asisim::rendering {

// Colour filter response of the simulated Bayer sensors, and of the sky background.
inline constexpr float kFilterResponse[3] = {0.85f, 1.0f, 0.55f};
inline constexpr float kSkyColour[3] = {1.0f, 1.0f, 0.85f};
// A path that moved by less than this (sensor pixels) shows the same scene.
inline constexpr double kShiftTolerance = 0.05;
// Moffat index of the PSF, its half width in FWHMs, and the step (sensor pixels) at which
// a trail is sampled.
inline constexpr double kMoffatBeta = 3.5;
inline constexpr double kPsfReach = 4;
// The least half width of a star, in FWHMs, and the light (e-/s) its drawn wings may
// leave out: far below the sky's in the pixels they would cover.
inline constexpr double kPsfCore = 1.5;
inline constexpr double kWingCut = 1;
inline constexpr double kTrailStep = 0.5;
// A star whose brightest pixel would collect less than this share of the read noise in the
// exposure is not drawn: no stack of a realistic number of frames shows it, and its light
// joins the sky's. Short video frames skip most of a dense field's stars this way.
inline constexpr double kFaintShare = 1e-3;
// Ellipticity of the PSF at the centre and its growth to the corners (where it turns
// tangential, as field curvature and coma make it).
inline constexpr double kCentreEllipticity = 0.05, kCornerEllipticity = 0.06;
// Width in sensor pixels of the blocks in which the scene records where stars were drawn.
inline constexpr int kBlock = 16;

// Channel (0 red, 1 green, 2 blue) of each pixel of a 2x2 Bayer cell, [row][column].
inline void bayer_cell(ASI_BAYER_PATTERN pattern, int cell[2][2]) {
    static const int patterns[4][2][2] = {
        {{0, 1}, {1, 2}}, // RG
        {{2, 1}, {1, 0}}, // BG
        {{1, 0}, {2, 1}}, // GR
        {{1, 2}, {0, 1}}, // GB
    };
    std::memcpy(cell, patterns[pattern & 3], sizeof patterns[0]);
}

struct RegionKey {
    int start_x = -1, start_y = -1, width = 0, height = 0, bin = 0;
    bool operator==(const RegionKey&) const = default;
};

struct ExposureKey {
    std::uint64_t scene = 0;
    double exposure_s = -1;
    int gain = -1, offset = -1, wb_r = -1, wb_b = -1;
    bool dark = false;
    long temperature_decidegrees = 0;
    double transparency = 1;
    bool operator==(const ExposureKey&) const = default;
};

// What a cached frame (fast frames with the noise kept) shows beyond its exposure stage.
struct CachedKey {
    std::uint64_t exposure = 0;
    int type = -1, flip = -1, gamma = -1;
    const DarkFrame* subtract = nullptr;
    bool operator==(const CachedKey&) const = default;
};

inline bool same_path(const std::vector<FieldOffset>& a, const std::vector<FieldOffset>& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::abs(a[i].x - b[i].x) >= kShiftTolerance ||
            std::abs(a[i].y - b[i].y) >= kShiftTolerance)
            return false;
    return true;
}

// One whole-pixel displacement of a star's image and the share of its light there.
struct Tap {
    int x, y;
    float weight;
};

// The trail of a path as taps around its mean: the path sampled every kTrailStep pixels at
// equal shares of time, each sample split bilinearly between four pixels. A field that
// stood still gives the single tap (0, 0) of weight 1.
inline void trail_taps(const std::vector<FieldOffset>& path, FieldOffset& mean,
                       std::vector<Tap>& taps) {
    std::vector<FieldOffset> samples;
    std::vector<double> weights;
    if (path.size() <= 1) {
        samples.push_back(path.empty() ? FieldOffset{} : path.front());
        weights.push_back(1);
    } else {
        double segment_share = 1.0 / double(path.size() - 1);
        for (std::size_t k = 0; k + 1 < path.size(); ++k) {
            const FieldOffset &a = path[k], &b = path[k + 1];
            double length = std::hypot(b.x - a.x, b.y - a.y);
            int steps = std::max(1, static_cast<int>(std::ceil(length / kTrailStep)));
            for (int i = 0; i < steps; ++i) {
                double t = (i + 0.5) / steps;
                samples.push_back({a.x + t * (b.x - a.x), a.y + t * (b.y - a.y)});
                weights.push_back(segment_share / steps);
            }
        }
    }
    mean = {};
    for (std::size_t i = 0; i < samples.size(); ++i) {
        mean.x += weights[i] * samples[i].x;
        mean.y += weights[i] * samples[i].y;
    }
    int low_x = 0, low_y = 0, high_x = 0, high_y = 0;
    for (const FieldOffset& s : samples) {
        low_x = std::min(low_x, static_cast<int>(std::floor(s.x - mean.x)));
        low_y = std::min(low_y, static_cast<int>(std::floor(s.y - mean.y)));
        high_x = std::max(high_x, static_cast<int>(std::floor(s.x - mean.x)) + 1);
        high_y = std::max(high_y, static_cast<int>(std::floor(s.y - mean.y)) + 1);
    }
    int columns = high_x - low_x + 1, rows = high_y - low_y + 1;
    std::vector<double> grid(std::size_t(columns) * rows, 0.0);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        double dx = samples[i].x - mean.x, dy = samples[i].y - mean.y;
        int fx = static_cast<int>(std::floor(dx)), fy = static_cast<int>(std::floor(dy));
        double tx = dx - fx, ty = dy - fy;
        double* cell = grid.data() + std::size_t(fy - low_y) * columns + (fx - low_x);
        cell[0] += weights[i] * (1 - tx) * (1 - ty);
        cell[1] += weights[i] * tx * (1 - ty);
        cell[columns] += weights[i] * (1 - tx) * ty;
        cell[columns + 1] += weights[i] * tx * ty;
    }
    taps.clear();
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < columns; ++x)
            if (double w = grid[std::size_t(y) * columns + x]; w > 1e-7)
                taps.push_back({x + low_x, y + low_y, static_cast<float>(w)});
}

// Bands a stage splits `rows` into for `threads` threads: a few per thread, so that a
// thread slowed by others' work on the machine leaves its share to the rest, and none so
// thin that stars reaching over their edges are drawn twice too often.
inline int band_count(int rows, int threads) {
    return threads <= 1 ? 1 : std::clamp(rows / 64, 1, 4 * threads);
}

// First row of band `band` of `bands`.
inline int band_start(int band, int bands, int rows) {
    return static_cast<int>(std::int64_t(rows) * band / bands);
}

template <class T> inline void fit(std::vector<T>& v, std::size_t n) {
    if (v.capacity() > 2 * n + 4096)
        std::vector<T>().swap(v); // a much smaller region: give the memory back
    v.resize(n);
}

} // namespace asisim::rendering

namespace asisim {

using namespace rendering;

struct Renderer::Impl {
    Model model;
    SkyConfig sky;
    std::mutex mutex;
    int cell[2][2];
    double alpha_px; ///< Moffat core width in sensor pixels
    double sky_rate; ///< background e-/s per sensor pixel
    int index;
    bool catalogue_made = false;
    Catalogue catalogue;
    std::uint64_t noise_key;
    std::uint64_t frames = 0; ///< noisy frames made: the noise generator's frame number
    /// The PSF's ellipticity at the centre times cos and sin of twice its position angle.
    double centre_ellipticity[2];
    std::vector<int> reaches; ///< stamp half width of each star, sky file's first

    // Per sensor pixel of the region (width x bin by height x bin).
    RegionKey pattern_key;
    std::vector<float> response;  ///< relative response to light
    std::vector<float> dark_rate; ///< e-/s at 25 °C

    RegionKey scene_key;
    std::vector<FieldOffset> scene_path;
    std::uint64_t scene_version = 0;
    std::vector<float> scene; ///< light, e-/s per sensor pixel
    /// Stars fainter than this (e-/s) are not drawn; their light, spread over the field,
    /// is faint_rate (e-/s per sensor pixel).
    double scene_faint_limit = -1, faint_rate = 0;
    std::vector<Tap> taps;
    /// A star of the frame: its index (sky file's first) and where it stands.
    struct PlacedStar {
        int star;
        double x, y;
    };
    std::vector<std::vector<PlacedStar>> band_stars; ///< the stars each band of rows draws
    // Blocks (kBlock sensor pixels of a row) the stars of the scene cover, and those the
    // last change of the scene touched (the stars' old and new places); changed_all when
    // it was drawn afresh. A moved field redraws only its stars, and the exposure stage
    // follows only what changed.
    std::vector<std::uint8_t> starred, changed;
    bool changed_all = true;

    ExposureKey exposure_key;
    std::uint64_t exposure_version = 0;
    std::vector<float> mean, sigma; ///< native ADU per output pixel
    float electrons_to_adu[3];      ///< of one binned sensor pixel's electrons, per colour
    float saturated[3];             ///< highest level per colour

    int lut_gamma = -1;
    std::vector<std::uint8_t> lut8; ///< native ADU -> 8-bit, with gamma

    std::vector<std::uint16_t> native; ///< the noisy frame
    std::vector<std::uint16_t> padded; ///< for demosaicing
    std::vector<CosmicHit> hits;

    CachedKey cached_key;
    std::shared_ptr<const std::vector<std::uint8_t>> cached;

    Impl(const Model& camera_model, const SkyConfig& sky_config, int camera_index)
        : model(camera_model), sky(sky_config), index(camera_index),
          noise_key(mix64(sky_config.seed * 1000003 + static_cast<std::uint64_t>(camera_index))) {
        bayer_cell(model.bayer, cell);
        double scale = model.plate_scale();
        double fwhm_px = sky.seeing_arcsec / scale;
        alpha_px = fwhm_px / (2 * std::sqrt(std::exp2(1 / kMoffatBeta) - 1));
        sky_rate =
            zero_point(model) * std::pow(10.0, -0.4 * sky.background_mag_arcsec2) * scale * scale;
        double psf_angle = std::numbers::pi * unit_interval(counter_bits(noise_key, 0x70736661));
        centre_ellipticity[0] = kCentreEllipticity * std::cos(2 * psf_angle);
        centre_ellipticity[1] = kCentreEllipticity * std::sin(2 * psf_angle);
    }

    int channel(int x, int y) const { return cell[y & 1][x & 1]; }

    static double wrap(double v, double low, double size) {
        if (v - low >= 0 && v - low < size)
            return v - low + low; // fmod's answer, without its cost for every star
        v = std::fmod(v - low, size);
        if (v < 0)
            v += size;
        return v + low;
    }

    static RegionKey region_of(const FrameRequest& request) {
        return {request.start_x, request.start_y, request.width, request.height, request.bin};
    }

    void ensure_catalogue();

    void ensure_pattern(const FrameRequest& request);

    // The PSF's quadratic form (x^2, 2xy, y^2 terms over alpha^2) at a sensor position:
    // elongated a little at the centre, more and tangentially towards the corners, with
    // the geometric mean of its axes (and so the FWHM) the same everywhere.
    void psf_shape(double x, double y, float form[3]) const;

    // Column and row of each pixel of a stamp, in the order of its pixels.
    struct StampGrid {
        std::vector<float> column, row;
    };
    std::vector<StampGrid> stamp_grids; ///< by reach

    const StampGrid& stamp_grid(int reach);

    int widest_reach() const {
        double fwhm = alpha_px * 2 * std::sqrt(std::exp2(1 / kMoffatBeta) - 1);
        return static_cast<int>(std::ceil(kPsfReach * fwhm)) + 1;
    }

    // A star's wings end where the light beyond them is below kWingCut; the profile is
    // normalised over what is drawn, so the flux stays. Most stars are faint, and their
    // stamps small.
    int star_reach(float flux) const {
        double fwhm = alpha_px * 2 * std::sqrt(std::exp2(1 / kMoffatBeta) - 1);
        int widest = widest_reach();
        int narrowest = std::min(widest, static_cast<int>(std::ceil(kPsfCore * fwhm)) + 1);
        double beyond = std::min(1.0, kWingCut / std::max(double(flux), 1e-6));
        double radius = alpha_px * std::sqrt(std::pow(beyond, 1 / (1 - kMoffatBeta)) - 1);
        return std::clamp(static_cast<int>(std::ceil(radius)) + 1, narrowest, widest);
    }

    // The faint limit for an exposure, in powers of two so that small changes of exposure
    // or gain keep the drawn stars; and the light of the stars below it.
    double faint_limit(const FrameRequest& request) const {
        double peak_share = (kMoffatBeta - 1) / (std::numbers::pi * alpha_px * alpha_px);
        double seconds = std::max(request.exposure_s, 1e-9);
        double limit = kFaintShare * model.read_noise(request.gain) / (seconds * peak_share);
        return std::exp2(std::floor(std::log2(limit)));
    }
    void set_faint_limit(double limit);

    void render_scene(const FrameRequest& request);

    void ensure_scene(const FrameRequest& request);

    void ensure_exposure(const FrameRequest& request);

    void ensure_lut(int gamma);

    // Draws the noisy frame over the exposure stage's levels and writes it to out in the
    // requested format, mirrored as the flip asks.
    void make_frame(const FrameRequest& request, std::uint8_t* out);

    // Bilinear demosaicing into 8-bit R, G, B per pixel (through the gamma table).
    void demosaic(const FrameRequest& request, std::uint8_t* rgb);

    // Rows top to bottom - 1 of the noisy frame in a format of one sample per pixel
    // (RAW8, RAW16, Y8 of a mono sensor).
    void write_rows(const FrameRequest& request, std::uint8_t* out, int top, int bottom);

    // The noisy frame demosaiced: RGB24, or Y8 of a colour sensor.
    void write_colour(const FrameRequest& request, std::uint8_t* out);

    // Mean level on an 8-bit scale from a sparse sample of the frame.
    double brightness() const;

    double render(const FrameRequest& request, std::uint8_t* out);
};

} // namespace asisim
