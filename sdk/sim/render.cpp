// Images of the simulated cameras: the star field (real or seeded) seen through the
// camera's optics and sensor.
//
// A frame is made in four stages, each cached until what it depends on changes:
//   pattern   the sensor's fixed pattern over the region (sensor.cpp): response to light
//             (PRNU, vignetting, dust) and dark signal (spread of dark current, hot pixels,
//             hot or dead column, amp glow). Depends on the region only.
//   scene     light in e-/s per sensor pixel of the region: stars as Moffat PSFs trailed
//             along the field's path over the exposure, sky background, the colour filter
//             of a Bayer sensor. Depends on the region and the path.
//   exposure  mean and noise sigma of every output pixel in native ADU: exposure time,
//             dark signal (doubling every 6 °C), each sensor pixel clipped at its full well
//             before binning sums them, gain (0.1 dB per step), read noise, bias from the
//             offset, white balance.
//   frame     mean + sigma x Gaussian noise from a counter-based generator keyed by seed,
//             frame number and pixel, clamped at the saturated level, cosmic-ray hits,
//             less the dark frame if one is set, then written in the output format.
// Only the last stage runs for every video frame.
//
// Binning sums the bin x bin sensor pixels and scales the sum to their average (so the
// level stays put and noise drops). On colour sensors binning joins pixels of the same
// colour, so a binned RAW image is still a mosaic in the model's Bayer pattern. Flip
// mirrors the finished image; a mirrored RAW mosaic therefore starts on another colour.
// Gamma applies to the 8-bit formats (RAW8, Y8, RGB24) only; RAW16 stays linear.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <numbers>

#include "sensor.hpp"
#include "sky.hpp"

namespace asisim {

long image_bytes(int width, int height, ASI_IMG_TYPE type) {
    long pixels = long(width) * height;
    switch (type) {
    case ASI_IMG_RAW16:
        return pixels * 2;
    case ASI_IMG_RGB24:
        return pixels * 3;
    default:
        return pixels;
    }
}

// ---------------------------------------------------------------------------------------
// The renderer

namespace {

// Colour filter response of the simulated Bayer sensors, and of the sky background.
constexpr float kFilterResponse[3] = {0.85f, 1.0f, 0.55f};
constexpr float kSkyColour[3] = {1.0f, 1.0f, 0.85f};
// A path that moved by less than this (sensor pixels) shows the same scene.
constexpr double kShiftTolerance = 0.05;
// Moffat index of the PSF, its half width in FWHMs, and the step (sensor pixels) at which
// a trail is sampled.
constexpr double kMoffatBeta = 3.5;
constexpr double kPsfReach = 4;
// The least half width of a star, in FWHMs, and the light (e-/s) its drawn wings may
// leave out: far below the sky's in the pixels they would cover.
constexpr double kPsfCore = 1.5;
constexpr double kWingCut = 1;
constexpr double kTrailStep = 0.5;
// Ellipticity of the PSF at the centre and its growth to the corners (where it turns
// tangential, as field curvature and coma make it).
constexpr double kCentreEllipticity = 0.05, kCornerEllipticity = 0.06;
// Width in sensor pixels of the blocks in which the scene records where stars were drawn.
constexpr int kBlock = 16;

// Channel (0 red, 1 green, 2 blue) of each pixel of a 2x2 Bayer cell, [row][column].
void bayer_cell(ASI_BAYER_PATTERN pattern, int cell[2][2]) {
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

bool same_path(const std::vector<FieldOffset>& a, const std::vector<FieldOffset>& b) {
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
void trail_taps(const std::vector<FieldOffset>& path, FieldOffset& mean, std::vector<Tap>& taps) {
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

template <class T> void fit(std::vector<T>& v, std::size_t n) {
    if (v.capacity() > 2 * n + 4096)
        std::vector<T>().swap(v); // a much smaller region: give the memory back
    v.resize(n);
}

} // namespace

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
    std::vector<Tap> taps;
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

    void ensure_catalogue() {
        // The catalogue waits for the first frame: a reset makes renderers for every camera,
        // and most of them never render.
        if (!catalogue_made) {
            std::shared_ptr<const SkyCatalogue> real;
            if (!sky.catalogue_path.empty()) {
                std::string error;
                real = SkyCatalogue::shared(sky.catalogue_path, error);
                if (!real)
                    report_sky_problem(error);
            }
            catalogue = make_catalogue(model, sky, index, real.get());
            catalogue_made = true;
            reaches.clear();
            for (const auto* stars : {&catalogue.sky_stars, &catalogue.stars})
                for (const Star& star : *stars)
                    reaches.push_back(star_reach(star.flux));
        }
    }

    void ensure_pattern(const FrameRequest& request) {
        RegionKey key = region_of(request);
        if (key == pattern_key && !response.empty())
            return;
        int bin = request.bin, x0 = request.start_x * bin, y0 = request.start_y * bin;
        int width = request.width * bin, height = request.height * bin;
        std::size_t n = std::size_t(width) * height;
        fit(response, n);
        fit(dark_rate, n);
        sensor_pattern(model, sky.seed, index, x0, y0, width, height, response.data(),
                       dark_rate.data());
        if (model.artefacts.warm_pixels) {
            for (const HotPixel& pixel : catalogue.hot_pixels) {
                int x = pixel.x - x0, y = pixel.y - y0;
                if (x >= 0 && y >= 0 && x < width && y < height)
                    dark_rate[std::size_t(y) * width + x] += pixel.rate;
            }
        }
        pattern_key = key;
        ++scene_version; // the exposure stage reads the pattern too
    }

    // The PSF's quadratic form (x^2, 2xy, y^2 terms over alpha^2) at a sensor position:
    // elongated a little at the centre, more and tangentially towards the corners, with
    // the geometric mean of its axes (and so the FWHM) the same everywhere.
    void psf_shape(double x, double y, float form[3]) const {
        // Double angles throughout, from the vectors themselves: no trigonometry per star.
        double cx = 0.5 * model.width, cy = 0.5 * model.height;
        double dx = x - cx, dy = y - cy;
        double r2 = dx * dx + dy * dy;
        double rho2 = r2 / (cx * cx + cy * cy);
        // The tangential direction: twice the position angle, turned by half a circle.
        double tangent_cos = r2 > 0 ? (dy * dy - dx * dx) / r2 : -1;
        double tangent_sin = r2 > 0 ? -2 * dx * dy / r2 : 0;
        double ex = centre_ellipticity[0] + kCornerEllipticity * rho2 * tangent_cos;
        double ey = centre_ellipticity[1] + kCornerEllipticity * rho2 * tangent_sin;
        double length = std::hypot(ex, ey), e = std::min(0.5, length);
        // cos and sin of twice the major axis' angle.
        double c2 = length > 0 ? ex / length : 1, s2 = length > 0 ? ey / length : 0;
        double major2 = alpha_px * alpha_px / (1 - e), minor2 = alpha_px * alpha_px * (1 - e);
        double cc = 0.5 * (1 + c2), ss = 0.5 * (1 - c2);
        form[0] = static_cast<float>(cc / major2 + ss / minor2);
        form[1] = static_cast<float>(s2 * (1 / major2 - 1 / minor2));
        form[2] = static_cast<float>(ss / major2 + cc / minor2);
    }

    // Column and row of each pixel of a stamp, in the order of its pixels.
    struct StampGrid {
        std::vector<float> column, row;
    };
    std::vector<StampGrid> stamp_grids; ///< by reach

    const StampGrid& stamp_grid(int reach) {
        if (stamp_grids.size() <= std::size_t(reach))
            stamp_grids.resize(reach + 1);
        StampGrid& grid = stamp_grids[reach];
        int side = 2 * reach + 1;
        if (grid.column.empty())
            for (int j = 0; j < side; ++j)
                for (int i = 0; i < side; ++i) {
                    grid.column.push_back(float(i));
                    grid.row.push_back(float(j));
                }
        return grid;
    }

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

    void render_scene(const FrameRequest& request) {
        int bin = request.bin;
        int width = request.width * bin, height = request.height * bin;
        std::size_t n = std::size_t(width) * height;
        int blocks = (width + kBlock - 1) / kBlock;
        std::size_t block_count = std::size_t(blocks) * height;
        // The same region: only the stars move, so the sky goes back where they were.
        bool redraw =
            scene_key == region_of(request) && scene.size() == n && starred.size() == block_count;
        fit(scene, n);
        // The sky glows with the light of the stars too faint to draw as well.
        double sky_rate = this->sky_rate + catalogue.unresolved_rate;
        // Colour of a sensor pixel: that of the output pixel it is binned into.
        auto colour = [&](int x, int y) { return channel(x / bin, y / bin); };
        auto fill_sky = [&](int y, int x_begin, int x_end) {
            float* row = scene.data() + std::size_t(y) * width;
            if (model.color) {
                for (int x = x_begin; x < x_end; ++x) {
                    int c = colour(x, y);
                    row[x] = static_cast<float>(sky_rate * kFilterResponse[c] * kSkyColour[c]);
                }
            } else {
                std::fill(row + x_begin, row + x_end, static_cast<float>(sky_rate));
            }
        };
        if (redraw) {
            for (int y = 0; y < height; ++y) {
                const std::uint8_t* marks = starred.data() + std::size_t(y) * blocks;
                for (int b = 0; b < blocks; ++b)
                    if (marks[b])
                        fill_sky(y, b * kBlock, std::min(width, (b + 1) * kBlock));
            }
            changed.swap(starred);
        } else {
            for (int y = 0; y < height; ++y)
                fill_sky(y, 0, width);
            fit(changed, block_count);
        }
        fit(starred, block_count);
        std::fill(starred.begin(), starred.end(), std::uint8_t(0));
        changed_all = !redraw;
        FieldOffset centre;
        trail_taps(request.path, centre, taps);
        int tap_low_x = 0, tap_low_y = 0, tap_high_x = 0, tap_high_y = 0;
        for (const Tap& tap : taps) {
            tap_low_x = std::min(tap_low_x, tap.x);
            tap_low_y = std::min(tap_low_y, tap.y);
            tap_high_x = std::max(tap_high_x, tap.x);
            tap_high_y = std::max(tap_high_y, tap.y);
        }
        // Stars in sensor pixels of the region: pixel x covers [x, x+1).
        double origin_x = double(request.start_x) * bin, origin_y = double(request.start_y) * bin;
        int widest = widest_reach();
        std::vector<float> stamp(std::size_t(2 * widest + 1) * (2 * widest + 1));
        double margin = catalogue.margin;
        auto draw = [&](const Star& star, int reach, double sx, double sy) {
            double u = sx - origin_x, v = sy - origin_y;
            // Most stars of the field lie beyond the region even at the widest stamp.
            if (u + widest + 1 + tap_high_x <= 0 || v + widest + 1 + tap_high_y <= 0 ||
                u - widest - 1 + tap_low_x >= width || v - widest - 1 + tap_low_y >= height)
                return;
            int side = 2 * reach + 1;
            int x0 = static_cast<int>(std::floor(u)) - reach,
                y0 = static_cast<int>(std::floor(v)) - reach;
            if (x0 + side + tap_high_x <= 0 || y0 + side + tap_high_y <= 0 ||
                x0 + tap_low_x >= width || y0 + tap_low_y >= height)
                return;
            float form[3];
            psf_shape(sx, sy, form);
            // The Moffat profile at pixel centres, scaled to the star's flux.
            float fu = static_cast<float>(u - x0 - 0.5), fv = static_cast<float>(v - y0 - 0.5);
            // One loop over the whole stamp, and partial sums in lanes: both vectorise.
            const StampGrid& grid = stamp_grid(reach);
            int area = side * side;
            float lanes[8] = {};
            for (int p = 0; p < area; ++p) {
                float dx = grid.column[p] - fu, dy = grid.row[p] - fv;
                float t = 1 + form[0] * dx * dx + form[1] * dx * dy + form[2] * dy * dy;
                stamp[p] = 1 / (t * t * t * std::sqrt(t));
            }
            int p = 0;
            for (; p + 8 <= area; p += 8)
                for (int l = 0; l < 8; ++l)
                    lanes[l] += stamp[p + l];
            for (; p < area; ++p)
                lanes[p & 7] += stamp[p];
            float total = 0;
            for (float lane : lanes)
                total += lane;
            float flux = star.flux / total;
            float tint[3] = {1, 1, 1};
            if (model.color)
                for (int c = 0; c < 3; ++c)
                    tint[c] = kFilterResponse[c] * star.rgb[c];
            int mark_x0 = std::max(0, x0 + tap_low_x) / kBlock,
                mark_x1 = (std::min(width, x0 + side + tap_high_x) - 1) / kBlock;
            for (int y = std::max(0, y0 + tap_low_y); y < std::min(height, y0 + side + tap_high_y);
                 ++y)
                std::fill_n(starred.data() + std::size_t(y) * blocks + mark_x0,
                            mark_x1 - mark_x0 + 1, std::uint8_t(1));
            for (const Tap& tap : taps) {
                int left = x0 + tap.x, top = y0 + tap.y;
                int ia = std::max(0, -left), ib = std::min(side, width - left);
                int ja = std::max(0, -top), jb = std::min(side, height - top);
                float scale = flux * tap.weight;
                for (int j = ja; j < jb; ++j) {
                    const float* in = stamp.data() + std::size_t(j) * side;
                    float* out = scene.data() + std::size_t(top + j) * width + left;
                    if (model.color) {
                        for (int i = ia; i < ib; ++i)
                            out[i] += scale * in[i] * tint[colour(left + i, top + j)];
                    } else {
                        for (int i = ia; i < ib; ++i)
                            out[i] += scale * in[i];
                    }
                }
            }
        };
        // Stars of the sky file stand where they are; seeded ones wrap round the field, so
        // a field that drifts far keeps its density.
        const int* reach = reaches.data();
        for (const Star& star : catalogue.sky_stars)
            draw(star, *reach++, star.x + centre.x, star.y + centre.y);
        for (const Star& star : catalogue.stars)
            draw(star, *reach++, wrap(star.x + centre.x, -margin, catalogue.field_width),
                 wrap(star.y + centre.y, -margin, catalogue.field_height));
        if (redraw)
            for (std::size_t i = 0; i < block_count; ++i)
                changed[i] |= starred[i];
        scene_key = region_of(request);
        scene_path = request.path;
        ++scene_version;
    }

    void ensure_scene(const FrameRequest& request) {
        ensure_catalogue();
        ensure_pattern(request);
        if (!(scene_key == region_of(request)) || !same_path(scene_path, request.path))
            render_scene(request);
    }

    void ensure_exposure(const FrameRequest& request) {
        ExposureKey key{scene_version,       request.exposure_s,
                        request.gain,        request.offset,
                        request.wb_r,        request.wb_b,
                        request.dark,        std::lround(request.temperature_c * 10),
                        request.transparency};
        std::size_t n = std::size_t(request.width) * request.height;
        if (key == exposure_key && mean.size() == n)
            return;
        // Only the scene moved on, by its stars: follow the blocks they left and reached.
        ExposureKey moved = exposure_key;
        moved.scene = key.scene;
        bool follow =
            moved == key && exposure_key.scene + 1 == key.scene && !changed_all && mean.size() == n;
        fit(mean, n);
        fit(sigma, n);
        int bin = request.bin;
        double seconds = request.exposure_s;
        double pixels = double(bin) * bin;
        double epa = model.electrons_per_adu(request.gain);
        double read_noise = model.read_noise(request.gain);
        double thermal = std::exp2((key.temperature_decidegrees / 10.0 - 25) / 6);
        double bias = request.offset * std::ldexp(1.0, model.bit_depth - 12);
        double full_scale = model.max_adu();
        double wb[3] = {request.wb_r / 50.0, 1.0, request.wb_b / 50.0};
        // Per output pixel: the electrons of its sensor pixels, each clipped where that
        // pixel saturates (its full well, or the converter's top at high gain: binning
        // adds digitised pixels), summed and scaled by k[colour] to their average in ADU;
        // noise from shot noise of the unsaturated ones and one read per binned pixel.
        // Float and branch-free where it can be, so that it vectorises: this runs again
        // whenever exposure, gain or temperature move.
        float k[3], clip[3];
        for (int c = 0; c < 3; ++c) {
            double adu_per_electron = (model.color ? wb[c] : 1.0) / epa;
            k[c] = static_cast<float>(adu_per_electron / pixels);
            clip[c] = static_cast<float>(
                std::clamp((full_scale - bias) / adu_per_electron, 0.0, model.full_well_e));
            electrons_to_adu[c] = k[c];
            saturated[c] = static_cast<float>(clip[c] * adu_per_electron + bias);
        }
        float read2 = static_cast<float>(read_noise * read_noise);
        float bias_f = static_cast<float>(bias), ceiling = static_cast<float>(full_scale);
        float light_f = static_cast<float>(request.dark ? 0.0 : seconds * request.transparency);
        float dark_f = static_cast<float>(seconds * thermal);
        int width = request.width, sensor_width = width * bin;
        // Output pixels x_begin to x_end of row y.
        auto expose = [&](int y, int x_begin, int x_end) {
            std::size_t row = std::size_t(y) * width;
            float* means = mean.data() + row;
            float* sigmas = sigma.data() + row;
            int even_colour = model.color ? channel(0, y) : 1;
            int odd_colour = model.color ? channel(1, y) : 1;
            float even = k[even_colour], odd = k[odd_colour];
            float full_even = clip[even_colour], full_odd = clip[odd_colour];
            if (bin == 1) {
                const float* light = scene.data() + row;
                const float* gains = response.data() + row;
                const float* darks = dark_rate.data() + row;
                for (int x = x_begin; x < x_end; ++x) {
                    float scale = (x & 1) ? odd : even;
                    float full_well = (x & 1) ? full_odd : full_even;
                    float e = light[x] * gains[x] * light_f + darks[x] * dark_f;
                    bool full = e >= full_well;
                    means[x] = std::min((full ? full_well : e) * scale + bias_f, ceiling);
                    sigmas[x] = full ? 0.0f : std::sqrt(e + read2) * scale;
                }
                return;
            }
            for (int x = x_begin; x < x_end; ++x) {
                float full_well = (x & 1) ? full_odd : full_even;
                float sum = 0, shot = 0;
                int unsaturated = 0;
                for (int j = 0; j < bin; ++j) {
                    std::size_t at =
                        (std::size_t(y) * bin + j) * sensor_width + std::size_t(x) * bin;
                    for (int i = 0; i < bin; ++i) {
                        float e =
                            scene[at + i] * response[at + i] * light_f + dark_rate[at + i] * dark_f;
                        bool full = e >= full_well;
                        sum += full ? full_well : e;
                        shot += full ? 0.0f : e;
                        unsaturated += full ? 0 : 1;
                    }
                }
                float scale = (x & 1) ? odd : even;
                means[x] = std::min(sum * scale + bias_f, ceiling);
                sigmas[x] = unsaturated ? std::sqrt(shot + unsaturated * read2) * scale : 0.0f;
            }
        };
        if (!follow) {
            for (int y = 0; y < request.height; ++y)
                expose(y, 0, width);
        } else {
            // Runs of changed blocks in any of an output row's sensor rows.
            int blocks = (sensor_width + kBlock - 1) / kBlock;
            std::vector<std::uint8_t> any(blocks);
            for (int y = 0; y < request.height; ++y) {
                const std::uint8_t* marks = changed.data() + std::size_t(y) * bin * blocks;
                std::copy_n(marks, blocks, any.begin());
                for (int j = 1; j < bin; ++j)
                    for (int b = 0; b < blocks; ++b)
                        any[b] |= marks[std::size_t(j) * blocks + b];
                for (int b = 0; b < blocks;) {
                    if (!any[b]) {
                        ++b;
                        continue;
                    }
                    int end = b;
                    while (end < blocks && any[end])
                        ++end;
                    expose(y, b * kBlock / bin, std::min(width, (end * kBlock + bin - 1) / bin));
                    b = end;
                }
            }
        }
        exposure_key = key;
        ++exposure_version;
    }

    void ensure_lut(int gamma) {
        if (lut_gamma == gamma && !lut8.empty())
            return;
        int full = model.max_adu();
        lut8.resize(std::size_t(full) + 1);
        // Gamma 50 is linear; higher brightens the shadows, lower darkens them.
        double power = 50.0 / std::max(gamma, 1);
        for (int v = 0; v <= full; ++v) {
            double x = double(v) / full;
            lut8[v] = static_cast<std::uint8_t>(std::lround(255 * std::pow(x, power)));
        }
        lut_gamma = gamma;
    }

    void make_noisy_frame(const FrameRequest& request) {
        const float* normal = normal_quantiles();
        std::size_t n = mean.size();
        fit(native, n);
        int w = request.width;
        // Every frame draws its own noise: pixel p of frame f takes 16 bits of counter
        // p / 4 (four pixels per 64 bits) of the key made from the seed and f.
        std::uint64_t key = mix64(noise_key ^ mix64(++frames));
        std::uint64_t quads = (std::uint64_t(w) + 3) / 4;
        for (int y = 0; y < request.height; ++y) {
            std::size_t row = std::size_t(y) * w;
            const float* means = mean.data() + row;
            const float* sigmas = sigma.data() + row;
            std::uint16_t* out = native.data() + row;
            float ceilings[2] = {saturated[model.color ? channel(0, y) : 1] + 0.5f,
                                 saturated[model.color ? channel(1, y) : 1] + 0.5f};
            std::uint64_t counter = std::uint64_t(y) * quads;
            auto pixel = [&](int x, std::uint64_t bits, float ceiling) {
                float v = means[x] + sigmas[x] * normal[bits & 0xffff] + 0.5f;
                out[x] = static_cast<std::uint16_t>(std::min(std::max(v, 0.0f), ceiling));
            };
            int x = 0;
            for (; x + 4 <= w; x += 4, ++counter) {
                std::uint64_t bits = counter_bits(key, counter);
                pixel(x, bits, ceilings[0]);
                pixel(x + 1, bits >> 16, ceilings[1]);
                pixel(x + 2, bits >> 32, ceilings[0]);
                pixel(x + 3, bits >> 48, ceilings[1]);
            }
            for (std::uint64_t bits = counter_bits(key, counter); x < w; ++x, bits >>= 16)
                pixel(x, bits, ceilings[x & 1]);
        }
        int bin = request.bin;
        cosmic_rays(model, sky.seed, index, frames, request.start_x * bin, request.start_y * bin,
                    w * bin, request.height * bin, request.exposure_s, hits);
        for (const CosmicHit& hit : hits) {
            int x = hit.x / bin - request.start_x, y = hit.y / bin - request.start_y;
            int c = model.color ? channel(x, y) : 1;
            std::uint16_t& level = native[std::size_t(y) * w + x];
            float v = level + hit.electrons * electrons_to_adu[c];
            level = static_cast<std::uint16_t>(std::min(v, saturated[c] + 0.5f));
        }
        if (const DarkFrame* dark = request.subtract.get()) {
            int shift = model.bit_depth - 8;
            for (int y = 0; y < request.height; ++y) {
                std::size_t sensor_y = std::size_t(request.start_y + y) * request.bin;
                if (sensor_y >= std::size_t(dark->height))
                    break;
                const std::uint8_t* levels = dark->level.data() + sensor_y * dark->width;
                std::uint16_t* out = native.data() + std::size_t(y) * request.width;
                for (int x = 0; x < request.width; ++x) {
                    std::size_t sensor_x = std::size_t(request.start_x + x) * request.bin;
                    int level = sensor_x < std::size_t(dark->width) ? levels[sensor_x] << shift : 0;
                    out[x] = static_cast<std::uint16_t>(std::max(0, out[x] - level));
                }
            }
        }
    }

    // Bilinear demosaicing into 8-bit R, G, B per pixel (through the gamma table).
    void demosaic(const FrameRequest& request, std::uint8_t* rgb) {
        int w = request.width, h = request.height, pw = w + 2;
        padded.resize(std::size_t(pw) * (h + 2));
        // Mirror one pixel beyond each edge: the mirrored pixel two away has the same colour.
        auto src = [&](int x, int y) {
            x = x < 0 ? 1 : (x >= w ? w - 2 : x);
            y = y < 0 ? 1 : (y >= h ? h - 2 : y);
            return native[std::size_t(y) * w + x];
        };
        for (int y = -1; y <= h; ++y) {
            std::uint16_t* row = padded.data() + std::size_t(y + 1) * pw;
            if (y >= 0 && y < h) {
                std::memcpy(row + 1, native.data() + std::size_t(y) * w, w * sizeof(std::uint16_t));
                row[0] = src(-1, y);
                row[w + 1] = src(w, y);
            } else {
                for (int x = -1; x <= w; ++x)
                    row[x + 1] = src(x, y);
            }
        }
        const std::uint8_t* lut = lut8.data();
        for (int y = 0; y < h; ++y) {
            const std::uint16_t* up = padded.data() + std::size_t(y) * pw + 1;
            const std::uint16_t* mid = up + pw;
            const std::uint16_t* down = mid + pw;
            std::uint8_t* out = rgb + std::size_t(y) * w * 3;
            for (int x = 0; x < w; ++x) {
                int c = channel(x, y);
                unsigned own = mid[x];
                unsigned cross = (unsigned(up[x]) + down[x] + mid[x - 1] + mid[x + 1] + 2) / 4;
                unsigned diagonal =
                    (unsigned(up[x - 1]) + up[x + 1] + down[x - 1] + down[x + 1] + 2) / 4;
                unsigned across = (unsigned(mid[x - 1]) + mid[x + 1] + 1) / 2;
                unsigned vertical = (unsigned(up[x]) + down[x] + 1) / 2;
                unsigned value[3];
                if (c == 1) {
                    // Green: red and blue sit in this row and the column, one each.
                    int row_colour = channel(x + 1, y);
                    value[1] = own;
                    value[row_colour] = across;
                    value[2 - row_colour] = vertical;
                } else {
                    value[c] = own;
                    value[1] = cross;
                    value[2 - c] = diagonal;
                }
                out[3 * x] = lut[value[0]];
                out[3 * x + 1] = lut[value[1]];
                out[3 * x + 2] = lut[value[2]];
            }
        }
    }

    // Writes the noisy frame in the requested format, mirrored as the flip asks.
    void write_output(const FrameRequest& request, std::uint8_t* out) {
        int w = request.width, h = request.height;
        bool flip_x = request.flip & ASI_FLIP_HORIZ, flip_y = request.flip & ASI_FLIP_VERT;
        const std::uint8_t* lut = lut8.data();
        auto dest_row = [&](int y) { return flip_y ? h - 1 - y : y; };
        if (request.type == ASI_IMG_RAW16) {
            int shift = 16 - model.bit_depth;
            for (int y = 0; y < h; ++y) {
                const std::uint16_t* src = native.data() + std::size_t(y) * w;
                std::uint8_t* dst = out + std::size_t(dest_row(y)) * w * 2;
                for (int x = 0; x < w; ++x) {
                    unsigned v = unsigned(src[x]) << shift;
                    int dx = flip_x ? w - 1 - x : x;
                    dst[2 * dx] = static_cast<std::uint8_t>(v);
                    dst[2 * dx + 1] = static_cast<std::uint8_t>(v >> 8);
                }
            }
            return;
        }
        if (request.type == ASI_IMG_RAW8 || (request.type == ASI_IMG_Y8 && !model.color)) {
            for (int y = 0; y < h; ++y) {
                const std::uint16_t* src = native.data() + std::size_t(y) * w;
                std::uint8_t* dst = out + std::size_t(dest_row(y)) * w;
                if (flip_x) {
                    for (int x = 0; x < w; ++x)
                        dst[w - 1 - x] = lut[src[x]];
                } else {
                    for (int x = 0; x < w; ++x)
                        dst[x] = lut[src[x]];
                }
            }
            return;
        }
        // RGB24 (stored B, G, R as the SDK does) and Y8 of a colour sensor.
        std::vector<std::uint8_t> rgb(std::size_t(w) * h * 3);
        demosaic(request, rgb.data());
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* src = rgb.data() + std::size_t(y) * w * 3;
            int ty = dest_row(y);
            for (int x = 0; x < w; ++x) {
                int dx = flip_x ? w - 1 - x : x;
                const std::uint8_t* p = src + 3 * x;
                if (request.type == ASI_IMG_RGB24) {
                    std::uint8_t* d = out + (std::size_t(ty) * w + dx) * 3;
                    d[0] = p[2];
                    d[1] = p[1];
                    d[2] = p[0];
                } else {
                    out[std::size_t(ty) * w + dx] =
                        static_cast<std::uint8_t>((77 * p[0] + 150 * p[1] + 29 * p[2] + 128) >> 8);
                }
            }
        }
    }

    // Mean level on an 8-bit scale from a sparse sample of the frame.
    double brightness() const {
        std::size_t n = native.size();
        if (n == 0)
            return 0;
        std::size_t step = std::max<std::size_t>(1, n / 4099);
        double sum = 0;
        std::size_t count = 0;
        for (std::size_t i = 0; i < n; i += step, ++count)
            sum += lut8[native[i]];
        return sum / double(count);
    }

    double render(const FrameRequest& request, std::uint8_t* out) {
        ensure_scene(request);
        ensure_exposure(request);
        ensure_lut(request.gamma);
        make_noisy_frame(request);
        write_output(request, out);
        return brightness();
    }
};

Renderer::Renderer(const Model& model, const SkyConfig& sky, int camera_index)
    : impl_(std::make_unique<Impl>(model, sky, camera_index)) {}
Renderer::~Renderer() = default;

double Renderer::render(const FrameRequest& request, std::uint8_t* out) {
    std::lock_guard lock(impl_->mutex);
    return impl_->render(request, out);
}

void Renderer::release() {
    std::lock_guard lock(impl_->mutex);
    Impl& i = *impl_;
    for (auto* v : {&i.response, &i.dark_rate, &i.scene, &i.mean, &i.sigma})
        std::vector<float>().swap(*v);
    std::vector<std::uint16_t>().swap(i.native);
    std::vector<std::uint16_t>().swap(i.padded);
    std::vector<std::uint8_t>().swap(i.starred);
    std::vector<std::uint8_t>().swap(i.changed);
    i.pattern_key = RegionKey{};
    i.scene_key = RegionKey{};
    i.scene_path.clear();
    i.exposure_key = ExposureKey{};
    i.cached.reset();
    i.cached_key = CachedKey{};
}

std::shared_ptr<const std::vector<std::uint8_t>>
Renderer::cached_frame(const FrameRequest& request) {
    std::lock_guard lock(impl_->mutex);
    Impl& i = *impl_;
    // The cached frame stays while everything the image depends on does: the exposure
    // stage's key holds region, path, exposure, gain, offset, white balance, temperature.
    i.ensure_scene(request);
    i.ensure_exposure(request);
    CachedKey key{i.exposure_version, request.type, request.flip, request.gamma,
                  request.subtract.get()};
    if (i.cached && i.cached_key == key)
        return i.cached;
    std::size_t size =
        static_cast<std::size_t>(image_bytes(request.width, request.height, request.type));
    std::shared_ptr<std::vector<std::uint8_t>> frame;
    if (i.cached && i.cached.use_count() == 1 && i.cached->size() == size) {
        // Nobody copies from the old frame any more: render over it, sparing a large
        // allocation and its page faults. use_count() reads the count without ordering;
        // taking a copy is an acquire on the count, so the last reader's memcpy out of
        // the frame happens before the rendering over it.
        std::shared_ptr<const std::vector<std::uint8_t>>(i.cached).reset();
        frame = std::const_pointer_cast<std::vector<std::uint8_t>>(std::move(i.cached));
    } else {
        frame = std::make_shared<std::vector<std::uint8_t>>(size);
    }
    i.cached.reset();
    i.render(request, frame->data());
    i.cached = std::move(frame);
    i.cached_key = key;
    return i.cached;
}

void Renderer::fast_frame(const FrameRequest& request, std::uint8_t* out) {
    if (simulator().fast_frames_fresh_noise.load(std::memory_order_relaxed)) {
        render(request, out);
        return;
    }
    auto frame = cached_frame(request);
    std::memcpy(out, frame->data(), frame->size());
}

} // namespace asisim
