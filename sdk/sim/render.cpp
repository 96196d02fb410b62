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

#include "render_state.hpp"

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

void Renderer::Impl::ensure_catalogue() {
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

void Renderer::Impl::ensure_pattern(const FrameRequest& request) {
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

void Renderer::Impl::psf_shape(double x, double y, float form[3]) const {
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

auto Renderer::Impl::stamp_grid(int reach) -> const StampGrid& {
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

void Renderer::Impl::set_faint_limit(double limit) {
    double faint = 0;
    for (const auto* stars : {&catalogue.sky_stars, &catalogue.stars})
        for (const Star& star : *stars)
            if (star.flux < limit)
                faint += star.flux;
    scene_faint_limit = limit;
    faint_rate = faint / (catalogue.field_width * catalogue.field_height);
}

void Renderer::Impl::render_scene(const FrameRequest& request) {
    int bin = request.bin;
    int width = request.width * bin, height = request.height * bin;
    std::size_t n = std::size_t(width) * height;
    int blocks = (width + kBlock - 1) / kBlock;
    std::size_t block_count = std::size_t(blocks) * height;
    // The same region: only the stars move, so the sky goes back where they were.
    double limit = faint_limit(request);
    bool redraw = scene_key == region_of(request) && scene.size() == n &&
                  starred.size() == block_count && limit == scene_faint_limit;
    if (limit != scene_faint_limit)
        set_faint_limit(limit);
    float drawn_from = static_cast<float>(limit);
    fit(scene, n);
    // The sky glows with the light of the stars too faint to draw as well.
    double sky_rate = this->sky_rate + catalogue.unresolved_rate + faint_rate;
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
        changed.swap(starred);
    } else {
        fit(changed, block_count);
    }
    fit(starred, block_count);
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
    double margin = catalogue.margin;
    // Draws a star's stamp into rows top to bottom - 1 of the scene. A star that reaches
    // into two bands is evaluated in both, the same way, so its pixels do not depend on
    // how the rows were split.
    auto draw = [&](const Star& star, int reach, double sx, double sy, int top, int bottom,
                    float* stamp) {
        if (star.flux < drawn_from)
            return;
        double u = sx - origin_x, v = sy - origin_y;
        // Most stars of the field lie beyond the region even at the widest stamp.
        if (u + widest + 1 + tap_high_x <= 0 || v + widest + 1 + tap_high_y <= top ||
            u - widest - 1 + tap_low_x >= width || v - widest - 1 + tap_low_y >= bottom)
            return;
        int side = 2 * reach + 1;
        int x0 = static_cast<int>(std::floor(u)) - reach,
            y0 = static_cast<int>(std::floor(v)) - reach;
        if (x0 + side + tap_high_x <= 0 || y0 + side + tap_high_y <= top ||
            x0 + tap_low_x >= width || y0 + tap_low_y >= bottom)
            return;
        float form[3];
        psf_shape(sx, sy, form);
        // The Moffat profile at pixel centres, scaled to the star's flux.
        float fu = static_cast<float>(u - x0 - 0.5), fv = static_cast<float>(v - y0 - 0.5);
        // One loop over the whole stamp, and partial sums in lanes: both vectorise.
        const StampGrid& grid = stamp_grids[reach];
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
        for (int y = std::max(top, y0 + tap_low_y); y < std::min(bottom, y0 + side + tap_high_y);
             ++y)
            std::fill_n(starred.data() + std::size_t(y) * blocks + mark_x0, mark_x1 - mark_x0 + 1,
                        std::uint8_t(1));
        for (const Tap& tap : taps) {
            int left = x0 + tap.x, upper = y0 + tap.y;
            int ia = std::max(0, -left), ib = std::min(side, width - left);
            int ja = std::max(0, top - upper), jb = std::min(side, bottom - upper);
            float scale = flux * tap.weight;
            for (int j = ja; j < jb; ++j) {
                const float* in = stamp + std::size_t(j) * side;
                float* out = scene.data() + std::size_t(upper + j) * width + left;
                if (model.color) {
                    for (int i = ia; i < ib; ++i)
                        out[i] += scale * in[i] * tint[colour(left + i, upper + j)];
                } else {
                    for (int i = ia; i < ib; ++i)
                        out[i] += scale * in[i];
                }
            }
        }
    };
    for (int reach = 0; reach <= widest; ++reach)
        stamp_grid(reach); // made here: the bands only read them
    int threads = render_threads();
    int bands = band_count(height, threads);
    // Where each star stands, and the bands its stamp reaches into (in the catalogue's
    // order, so that every pixel adds its stars' light in the same order however the rows
    // are split). A single band draws straight from the catalogue.
    fit(band_stars, std::size_t(bands));
    for (std::vector<PlacedStar>& list : band_stars)
        list.clear();
    auto place = [&](int star, int reach, double sx, double sy) {
        double u = sx - origin_x, v = sy - origin_y;
        // Most stars of the field lie beyond the region even at the widest stamp.
        if (u + widest + 1 + tap_high_x <= 0 || v + widest + 1 + tap_high_y <= 0 ||
            u - widest - 1 + tap_low_x >= width || v - widest - 1 + tap_low_y >= height)
            return;
        int x0 = static_cast<int>(std::floor(u)) - reach,
            y0 = static_cast<int>(std::floor(v)) - reach;
        int first_row = std::max(0, y0 + tap_low_y),
            last_row = std::min(height - 1, y0 + 2 * reach + tap_high_y);
        if (x0 + 2 * reach + 1 + tap_high_x <= 0 || x0 + tap_low_x >= width || first_row > last_row)
            return;
        int band = static_cast<int>(std::int64_t(first_row) * bands / height);
        while (band_start(band + 1, bands, height) <= first_row)
            ++band;
        for (; band < bands && band_start(band, bands, height) <= last_row; ++band)
            band_stars[band].push_back({star, sx, sy});
    };
    int sky_count = static_cast<int>(catalogue.sky_stars.size());
    for (int i = 0; i < sky_count && bands > 1; ++i) {
        const Star& star = catalogue.sky_stars[i];
        if (star.flux >= drawn_from)
            place(i, reaches[i], star.x + centre.x, star.y + centre.y);
    }
    // Seeded stars wrap round the field, so a field that drifts far keeps its density.
    for (std::size_t i = 0; i < catalogue.stars.size() && bands > 1; ++i) {
        const Star& star = catalogue.stars[i];
        int at = sky_count + static_cast<int>(i);
        if (star.flux >= drawn_from)
            place(at, reaches[at], wrap(star.x + centre.x, -margin, catalogue.field_width),
                  wrap(star.y + centre.y, -margin, catalogue.field_height));
    }
    run_bands(bands, threads, [&](int band) {
        int top = band_start(band, bands, height), bottom = band_start(band + 1, bands, height);
        // The sky, where stars were or everywhere.
        for (int y = top; y < bottom; ++y) {
            std::uint8_t* marks = changed.data() + std::size_t(y) * blocks;
            if (redraw) {
                for (int b = 0; b < blocks; ++b)
                    if (marks[b])
                        fill_sky(y, b * kBlock, std::min(width, (b + 1) * kBlock));
            } else {
                fill_sky(y, 0, width);
            }
            std::fill_n(starred.data() + std::size_t(y) * blocks, blocks, std::uint8_t(0));
        }
        std::vector<float> stamp(std::size_t(2 * widest + 1) * (2 * widest + 1));
        if (bands == 1) {
            const int* reach = reaches.data();
            for (const Star& star : catalogue.sky_stars)
                draw(star, *reach++, star.x + centre.x, star.y + centre.y, top, bottom,
                     stamp.data());
            for (const Star& star : catalogue.stars)
                draw(star, *reach++, wrap(star.x + centre.x, -margin, catalogue.field_width),
                     wrap(star.y + centre.y, -margin, catalogue.field_height), top, bottom,
                     stamp.data());
        }
        for (const PlacedStar& placed : band_stars[band]) {
            const Star& star = placed.star < sky_count
                                   ? catalogue.sky_stars[placed.star]
                                   : catalogue.stars[std::size_t(placed.star - sky_count)];
            draw(star, reaches[placed.star], placed.x, placed.y, top, bottom, stamp.data());
        }
        // What changed: where stars were (the sky put back) and where they are now.
        std::size_t first = std::size_t(top) * blocks, last = std::size_t(bottom) * blocks;
        if (redraw)
            for (std::size_t i = first; i < last; ++i)
                changed[i] |= starred[i];
    });
    scene_key = region_of(request);
    scene_path = request.path;
    ++scene_version;
}

void Renderer::Impl::ensure_scene(const FrameRequest& request) {
    ensure_catalogue();
    ensure_pattern(request);
    if (!(scene_key == region_of(request)) || !same_path(scene_path, request.path) ||
        faint_limit(request) != scene_faint_limit)
        render_scene(request);
}

void Renderer::Impl::ensure_exposure(const FrameRequest& request) {
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
        // Copies, not the captured references: stores to the rows could alias those.
        const float light_scale = light_f, dark_scale = dark_f, read_variance = read2,
                    offset = bias_f, top = ceiling;
        if (bin == 1) {
            const float* light = scene.data() + row;
            const float* gains = response.data() + row;
            const float* darks = dark_rate.data() + row;
            for (int x = x_begin; x < x_end; ++x) {
                float scale = (x & 1) ? odd : even;
                float full_well = (x & 1) ? full_odd : full_even;
                float e = light[x] * gains[x] * light_scale + darks[x] * dark_scale;
                bool full = e >= full_well;
                // The root taken for every pixel, so that the loop has no branch.
                float noise = std::sqrt(e + read_variance) * scale;
                means[x] = std::min((full ? full_well : e) * scale + offset, top);
                sigmas[x] = full ? 0.0f : noise;
            }
            return;
        }
        for (int x = x_begin; x < x_end; ++x) {
            float full_well = (x & 1) ? full_odd : full_even;
            float sum = 0, shot = 0;
            int unsaturated = 0;
            for (int j = 0; j < bin; ++j) {
                std::size_t at = (std::size_t(y) * bin + j) * sensor_width + std::size_t(x) * bin;
                for (int i = 0; i < bin; ++i) {
                    float e = scene[at + i] * response[at + i] * light_scale +
                              dark_rate[at + i] * dark_scale;
                    bool full = e >= full_well;
                    sum += full ? full_well : e;
                    shot += full ? 0.0f : e;
                    unsaturated += full ? 0 : 1;
                }
            }
            float scale = (x & 1) ? odd : even;
            means[x] = std::min(sum * scale + offset, top);
            sigmas[x] = unsaturated ? std::sqrt(shot + unsaturated * read_variance) * scale : 0.0f;
        }
    };
    int threads = render_threads();
    int bands = band_count(request.height, threads);
    run_bands(bands, threads, [&](int band) {
        int top = band_start(band, bands, request.height);
        int bottom = band_start(band + 1, bands, request.height);
        if (!follow) {
            for (int y = top; y < bottom; ++y)
                expose(y, 0, width);
            return;
        }
        // Runs of changed blocks in any of an output row's sensor rows.
        int blocks = (sensor_width + kBlock - 1) / kBlock;
        std::vector<std::uint8_t> any(blocks);
        for (int y = top; y < bottom; ++y) {
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
    });
    exposure_key = key;
    ++exposure_version;
}

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
