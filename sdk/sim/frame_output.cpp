// The last stages of a frame: noise drawn over the exposure stage's levels, cosmic rays,
// dark subtraction, and the output formats (RAW8/RAW16/Y8, demosaiced RGB24, gamma, flip).
#include "render_state.hpp"

namespace asisim {

void Renderer::Impl::ensure_lut(int gamma) {
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

void Renderer::Impl::make_frame(const FrameRequest& request, std::uint8_t* out) {
    const float* normal = normal_quantiles();
    std::size_t n = mean.size();
    fit(native, n);
    int w = request.width, bin = request.bin;
    // Every frame draws its own noise: pixel p of frame f takes 16 bits of counter
    // p / 4 (four pixels per 64 bits) of the key made from the seed and f.
    std::uint64_t key = mix64(noise_key ^ mix64(++frames));
    std::uint64_t quads = (std::uint64_t(w) + 3) / 4;
    cosmic_rays(model, sky.seed, index, frames, request.start_x * bin, request.start_y * bin,
                w * bin, request.height * bin, request.exposure_s, hits);
    const DarkFrame* dark = request.subtract.get();
    int dark_shift = model.bit_depth - 8;
    // Formats written row by row; a demosaiced one needs the rows around each pixel.
    bool by_rows = request.type == ASI_IMG_RAW16 || request.type == ASI_IMG_RAW8 ||
                   (request.type == ASI_IMG_Y8 && !model.color);
    auto noise_row = [&](int y) {
        std::size_t row = std::size_t(y) * w;
        const float* means = mean.data() + row;
        const float* sigmas = sigma.data() + row;
        std::uint16_t* levels = native.data() + row;
        float ceilings[2] = {saturated[model.color ? channel(0, y) : 1] + 0.5f,
                             saturated[model.color ? channel(1, y) : 1] + 0.5f};
        std::uint64_t counter = std::uint64_t(y) * quads;
        auto pixel = [&](int x, std::uint64_t bits, float ceiling) {
            float v = means[x] + sigmas[x] * normal[bits & 0xffff] + 0.5f;
            levels[x] = static_cast<std::uint16_t>(std::min(std::max(v, 0.0f), ceiling));
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
    };
    auto subtract_row = [&](int y) {
        std::size_t sensor_y = std::size_t(request.start_y + y) * bin;
        if (sensor_y >= std::size_t(dark->height))
            return;
        const std::uint8_t* dark_levels = dark->level.data() + sensor_y * dark->width;
        std::uint16_t* levels = native.data() + std::size_t(y) * w;
        for (int x = 0; x < w; ++x) {
            std::size_t sensor_x = std::size_t(request.start_x + x) * bin;
            int level =
                sensor_x < std::size_t(dark->width) ? dark_levels[sensor_x] << dark_shift : 0;
            levels[x] = static_cast<std::uint16_t>(std::max(0, levels[x] - level));
        }
    };
    // Each band's rows go through noise, cosmic rays, the dark frame and, where the format
    // allows, the output while they are still in the cache.
    int threads = render_threads();
    int bands = band_count(request.height, threads);
    run_bands(bands, threads, [&](int band) {
        int top = band_start(band, bands, request.height);
        int bottom = band_start(band + 1, bands, request.height);
        for (int y = top; y < bottom; ++y)
            noise_row(y);
        for (const CosmicHit& hit : hits) {
            int x = hit.x / bin - request.start_x, y = hit.y / bin - request.start_y;
            if (y < top || y >= bottom)
                continue;
            int c = model.color ? channel(x, y) : 1;
            std::uint16_t& level = native[std::size_t(y) * w + x];
            float v = level + hit.electrons * electrons_to_adu[c];
            level = static_cast<std::uint16_t>(std::min(v, saturated[c] + 0.5f));
        }
        if (dark != nullptr)
            for (int y = top; y < bottom; ++y)
                subtract_row(y);
        if (by_rows)
            write_rows(request, out, top, bottom);
    });
    if (!by_rows)
        write_colour(request, out);
}

void Renderer::Impl::demosaic(const FrameRequest& request, std::uint8_t* rgb) {
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

void Renderer::Impl::write_rows(const FrameRequest& request, std::uint8_t* out, int top,
                                int bottom) {
    int w = request.width, h = request.height;
    bool flip_x = request.flip & ASI_FLIP_HORIZ, flip_y = request.flip & ASI_FLIP_VERT;
    const std::uint8_t* lut = lut8.data();
    auto dest_row = [&](int y) { return flip_y ? h - 1 - y : y; };
    if (request.type == ASI_IMG_RAW16) {
        int shift = 16 - model.bit_depth;
        for (int y = top; y < bottom; ++y) {
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
    for (int y = top; y < bottom; ++y) {
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
}

void Renderer::Impl::write_colour(const FrameRequest& request, std::uint8_t* out) {
    int w = request.width, h = request.height;
    bool flip_x = request.flip & ASI_FLIP_HORIZ, flip_y = request.flip & ASI_FLIP_VERT;
    auto dest_row = [&](int y) { return flip_y ? h - 1 - y : y; };
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

double Renderer::Impl::brightness() const {
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

double Renderer::Impl::render(const FrameRequest& request, std::uint8_t* out) {
    ensure_scene(request);
    ensure_exposure(request);
    ensure_lut(request.gamma);
    make_frame(request, out);
    return brightness();
}

} // namespace asisim
