// Images of the simulated cameras: a seeded star field seen through the camera's optics
// and sensor.
//
// A frame is made in three stages, each cached until what it depends on changes:
//   scene     light in e-/s per output pixel: stars as Gaussian PSFs integrated over the
//             pixel, sky background, the colour filter of a Bayer sensor. Depends on the
//             region and the field's position (re-rendered when the stars moved by more
//             than kShiftTolerance pixels).
//   exposure  mean and noise sigma of every pixel in native ADU: exposure time, dark
//             current (doubling every 6 °C), hot pixels, gain (0.1 dB per step), read
//             noise, bias from the offset, white balance, full-well saturation.
//   frame     mean + sigma x Gaussian noise from a precomputed table, clamped to the bit
//             depth, less the dark frame if one is set, then written in the output format.
// Only the last stage runs for every video frame.
//
// Binning averages the bin x bin sensor pixels (so the level stays put and noise drops).
// On colour sensors binning joins pixels of the same colour, so a binned RAW image is
// still a mosaic in the model's Bayer pattern. Flip mirrors the finished image; a
// mirrored RAW mosaic therefore starts on another colour. Gamma applies to the 8-bit
// formats (RAW8, Y8, RGB24) only; RAW16 stays linear.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <numbers>

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
constexpr double kShiftTolerance = 0.05;
constexpr std::size_t kNoiseTable = 1 << 18;

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

struct SceneKey {
    int start_x = -1, start_y = -1, width = 0, height = 0, bin = 0;
    double shift_x = 0, shift_y = 0;
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

struct CachedKey {
    int start_x, start_y, width, height, bin, type, flip, gain, offset, gamma, wb_r, wb_b;
    double exposure_s;
    bool dark;
    const DarkFrame* subtract;
    double shift_x, shift_y;
    double transparency;
    bool same_frame(const CachedKey& o) const {
        return start_x == o.start_x && start_y == o.start_y && width == o.width &&
               height == o.height && bin == o.bin && type == o.type && flip == o.flip &&
               gain == o.gain && offset == o.offset && gamma == o.gamma && wb_r == o.wb_r &&
               wb_b == o.wb_b && exposure_s == o.exposure_s && dark == o.dark &&
               subtract == o.subtract && std::abs(shift_x - o.shift_x) < kShiftTolerance &&
               std::abs(shift_y - o.shift_y) < kShiftTolerance && transparency == o.transparency;
    }
};

// Standard normal samples shared by every renderer: made once, on first use, read-only
// afterwards.
const std::vector<float>& noise_table() {
    static const std::vector<float> table = [] {
        std::vector<float> samples(kNoiseTable);
        Random random(0x6e6f697365ULL);
        for (float& sample : samples)
            sample = static_cast<float>(random.normal());
        return samples;
    }();
    return table;
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
    double sigma_px; ///< PSF sigma in sensor pixels
    double sky_rate; ///< background e-/s per sensor pixel
    int index;
    bool catalogue_made = false;
    Catalogue catalogue;
    Random random;

    SceneKey scene_key;
    std::uint64_t scene_version = 0;
    std::vector<float> scene; ///< e-/s summed over the bin
    std::vector<std::pair<std::size_t, float>> hot_in_region;

    ExposureKey exposure_key;
    std::vector<float> mean, sigma; ///< native ADU

    int lut_gamma = -1;
    std::vector<std::uint8_t> lut8; ///< native ADU -> 8-bit, with gamma

    std::vector<std::uint16_t> native; ///< the noisy frame
    std::vector<std::uint16_t> padded; ///< for demosaicing

    bool cached_valid = false;
    CachedKey cached_key{};
    std::shared_ptr<const std::vector<std::uint8_t>> cached;

    Impl(const Model& camera_model, const SkyConfig& sky_config, int camera_index)
        : model(camera_model), sky(sky_config), index(camera_index),
          random(sky_config.seed * 1000003 + static_cast<std::uint64_t>(camera_index)) {
        bayer_cell(model.bayer, cell);
        double scale = model.plate_scale();
        sigma_px = sky.seeing_arcsec / 2.3548 / scale;
        sky_rate =
            zero_point(model) * std::pow(10.0, -0.4 * sky.background_mag_arcsec2) * scale * scale;
    }

    int channel(int x, int y) const { return cell[y & 1][x & 1]; }

    static double wrap(double v, double low, double size) {
        v = std::fmod(v - low, size);
        if (v < 0)
            v += size;
        return v + low;
    }

    void render_scene(const FrameRequest& request) {
        std::size_t n = std::size_t(request.width) * request.height;
        fit(scene, n);
        int bin = request.bin;
        double bin2 = double(bin) * bin;
        if (model.color) {
            for (int y = 0; y < request.height; ++y)
                for (int x = 0; x < request.width; ++x) {
                    int c = channel(x, y);
                    scene[std::size_t(y) * request.width + x] =
                        static_cast<float>(sky_rate * bin2 * kFilterResponse[c] * kSkyColour[c]);
                }
        } else {
            std::fill(scene.begin(), scene.end(), static_cast<float>(sky_rate * bin2));
        }
        // Stars in binned pixel units: pixel x covers [x, x+1).
        double origin_x = double(request.start_x) * bin, origin_y = double(request.start_y) * bin;
        double s = sigma_px / bin;
        double k = 1 / (s * std::numbers::sqrt2);
        int reach = static_cast<int>(std::ceil(5 * s)) + 1;
        std::vector<float> fx(2 * reach + 2), fy(2 * reach + 2);
        double margin = catalogue.margin;
        for (const Star& star : catalogue.stars) {
            double sx = wrap(star.x + request.shift_x, -margin, catalogue.field_width);
            double sy = wrap(star.y + request.shift_y, -margin, catalogue.field_height);
            double u = (sx - origin_x) / bin, v = (sy - origin_y) / bin;
            int x0 = static_cast<int>(std::floor(u)) - reach,
                y0 = static_cast<int>(std::floor(v)) - reach;
            int x1 = x0 + 2 * reach + 1, y1 = y0 + 2 * reach + 1;
            if (x1 < 0 || y1 < 0 || x0 >= request.width || y0 >= request.height)
                continue;
            // The Gaussian is separable: integrate it over each column and each row once.
            double previous = std::erf((x0 - u) * k);
            for (int i = 0; i <= x1 - x0; ++i) {
                double next = std::erf((x0 + i + 1 - u) * k);
                fx[i] = static_cast<float>(0.5 * (next - previous));
                previous = next;
            }
            previous = std::erf((y0 - v) * k);
            for (int j = 0; j <= y1 - y0; ++j) {
                double next = std::erf((y0 + j + 1 - v) * k);
                fy[j] = static_cast<float>(0.5 * (next - previous));
                previous = next;
            }
            int xa = std::max(x0, 0), xb = std::min(x1, request.width - 1);
            int ya = std::max(y0, 0), yb = std::min(y1, request.height - 1);
            for (int y = ya; y <= yb; ++y) {
                float* row = scene.data() + std::size_t(y) * request.width;
                float wy = star.flux * fy[y - y0];
                if (model.color) {
                    for (int x = xa; x <= xb; ++x) {
                        int c = channel(x, y);
                        row[x] += wy * fx[x - x0] * kFilterResponse[c] * star.rgb[c];
                    }
                } else {
                    for (int x = xa; x <= xb; ++x)
                        row[x] += wy * fx[x - x0];
                }
            }
        }
        // Hot pixels of the region, each in the output pixel its bin falls in.
        hot_in_region.clear();
        for (const HotPixel& pixel : catalogue.hot_pixels) {
            int x = pixel.x / bin - request.start_x, y = pixel.y / bin - request.start_y;
            if (x >= 0 && y >= 0 && x < request.width && y < request.height)
                hot_in_region.emplace_back(std::size_t(y) * request.width + x, pixel.rate);
        }
        scene_key = SceneKey{request.start_x, request.start_y, request.width,  request.height,
                             request.bin,     request.shift_x, request.shift_y};
        ++scene_version;
    }

    void ensure_scene(const FrameRequest& request) {
        // The catalogue waits for the first frame: a reset makes renderers for every camera,
        // and most of them never render.
        if (!catalogue_made) {
            catalogue = make_catalogue(model, sky, index);
            catalogue_made = true;
        }
        const SceneKey& k = scene_key;
        bool same = k.start_x == request.start_x && k.start_y == request.start_y &&
                    k.width == request.width && k.height == request.height &&
                    k.bin == request.bin &&
                    std::abs(k.shift_x - request.shift_x) < kShiftTolerance &&
                    std::abs(k.shift_y - request.shift_y) < kShiftTolerance;
        if (!same)
            render_scene(request);
    }

    void ensure_exposure(const FrameRequest& request) {
        ExposureKey key{scene_version,       request.exposure_s,
                        request.gain,        request.offset,
                        request.wb_r,        request.wb_b,
                        request.dark,        std::lround(request.temperature_c * 10),
                        request.transparency};
        if (key == exposure_key && mean.size() == scene.size())
            return;
        std::size_t n = scene.size();
        fit(mean, n);
        fit(sigma, n);
        double seconds = request.exposure_s;
        double pixels = double(request.bin) * request.bin;
        double epa = model.electrons_per_adu(request.gain);
        double read_noise = model.read_noise(request.gain);
        double thermal = std::exp2((key.temperature_decidegrees / 10.0 - 25) / 6);
        double dark_e = model.dark_current_e * thermal * seconds * pixels;
        double bias = request.offset * std::ldexp(1.0, model.bit_depth - 12);
        double full_scale = model.max_adu();
        double wb[3] = {request.wb_r / 50.0, 1.0, request.wb_b / 50.0};
        double light = request.dark ? 0.0 : seconds * request.transparency;
        // Per output pixel: electrons e over the bin, scaled by k[colour] to the average in
        // ADU; noise from shot noise and one read per binned pixel. Float and branch-free
        // so that it vectorises: this runs again whenever exposure, gain or temperature move.
        float k[3], full_e = static_cast<float>(model.full_well_e * pixels);
        for (int c = 0; c < 3; ++c)
            k[c] = static_cast<float>((model.color ? wb[c] : 1.0) / (epa * pixels));
        float reads = static_cast<float>(pixels * read_noise * read_noise);
        float bias_f = static_cast<float>(bias), ceiling = static_cast<float>(full_scale);
        float light_f = static_cast<float>(light), dark_f = static_cast<float>(dark_e);
        auto level = [&](std::size_t i, float e, float scale) {
            bool saturated = e >= full_e;
            mean[i] = std::min((saturated ? full_e : e) * scale + bias_f, ceiling);
            sigma[i] = saturated ? 0.0f : std::sqrt(e + reads) * scale;
        };
        int width = std::max(1, scene_key.width);
        for (int y = 0; y < scene_key.height; ++y) {
            std::size_t row = std::size_t(y) * width;
            const float* in = scene.data() + row;
            float* means = mean.data() + row;
            float* sigmas = sigma.data() + row;
            float even = k[model.color ? channel(0, y) : 1],
                  odd = k[model.color ? channel(1, y) : 1];
            for (int x = 0; x < width; ++x) {
                float scale = (x & 1) ? odd : even;
                float e = in[x] * light_f + dark_f;
                bool saturated = e >= full_e;
                means[x] = std::min((saturated ? full_e : e) * scale + bias_f, ceiling);
                sigmas[x] = saturated ? 0.0f : std::sqrt(e + reads) * scale;
            }
        }
        for (auto [i, rate] : hot_in_region) {
            float scale = k[model.color ? channel(int(i % width), int(i / width)) : 1];
            level(i, static_cast<float>(scene[i] * light + dark_e + rate * thermal * seconds),
                  scale);
        }
        exposure_key = key;
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
        // The table is made at the first noisy frame, not when the library is loaded:
        // programs that never take a picture should not pay for it at start-up.
        const std::vector<float>& gauss = noise_table();
        std::size_t n = mean.size();
        fit(native, n);
        float full = static_cast<float>(model.max_adu());
        for (int y = 0; y < request.height; ++y) {
            std::size_t row = std::size_t(y) * request.width;
            // A random stretch of the noise table per row: cheap, and no two frames alike.
            const float* g = gauss.data() + random.next() % (kNoiseTable - request.width);
            const float* means = mean.data() + row;
            const float* sigmas = sigma.data() + row;
            std::uint16_t* out = native.data() + row;
            for (int x = 0; x < request.width; ++x) {
                float v = means[x] + sigmas[x] * g[x] + 0.5f;
                v = std::min(std::max(v, 0.0f), full);
                out[x] = static_cast<std::uint16_t>(v);
            }
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
    for (auto* v : {&i.scene, &i.mean, &i.sigma})
        std::vector<float>().swap(*v);
    std::vector<std::uint16_t>().swap(i.native);
    std::vector<std::uint16_t>().swap(i.padded);
    i.hot_in_region.clear();
    i.scene_key = SceneKey{};
    i.exposure_key = ExposureKey{};
    i.cached.reset();
    i.cached_valid = false;
}

std::shared_ptr<const std::vector<std::uint8_t>>
Renderer::cached_frame(const FrameRequest& request) {
    std::lock_guard lock(impl_->mutex);
    // The cached frame stays while the settings do and the field has not moved (guiding).
    CachedKey key{request.start_x,    request.start_y,     request.width,          request.height,
                  request.bin,        request.type,        request.flip,           request.gain,
                  request.offset,     request.gamma,       request.wb_r,           request.wb_b,
                  request.exposure_s, request.dark,        request.subtract.get(), request.shift_x,
                  request.shift_y,    request.transparency};
    if (impl_->cached_valid && impl_->cached_key.same_frame(key))
        return impl_->cached;
    std::size_t size =
        static_cast<std::size_t>(image_bytes(request.width, request.height, request.type));
    std::shared_ptr<std::vector<std::uint8_t>> frame;
    if (impl_->cached && impl_->cached.use_count() == 1 && impl_->cached->size() == size) {
        // Nobody copies from the old frame any more: render over it, sparing a large
        // allocation and its page faults. use_count() reads the count without ordering;
        // taking a copy is an acquire on the count, so the last reader's memcpy out of
        // the frame happens before the rendering over it.
        std::shared_ptr<const std::vector<std::uint8_t>>(impl_->cached).reset();
        frame = std::const_pointer_cast<std::vector<std::uint8_t>>(std::move(impl_->cached));
    } else {
        frame = std::make_shared<std::vector<std::uint8_t>>(size);
    }
    impl_->cached.reset();
    impl_->cached_valid = false;
    impl_->render(request, frame->data());
    impl_->cached = std::move(frame);
    impl_->cached_key = key;
    impl_->cached_valid = true;
    return impl_->cached;
}

} // namespace asisim
