// The stars of each camera's field: the real sky at the pointing where the sky file is in
// use, seeded stars fainter than it reaches (or alone without it), and the hot pixels.
#include <algorithm>

#include "sky.hpp"

namespace asisim {

namespace {

constexpr double kDegreesPerRadian = 180 / std::numbers::pi;

/// Square degrees of a cone of `radius` degrees.
double cone_area(double radius) {
    return 2 * std::numbers::pi * (1 - std::cos(radius / kDegreesPerRadian)) * kDegreesPerRadian *
           kDegreesPerRadian;
}

/// The sky file's stars on the extended field, and how deep the file is around it: the
/// index files it was made from keep the brightest few stars of every small cell, so it
/// is complete to about magnitude 11.4 in the Milky Way and 13 away from it. Returns the
/// density (per square degree) of the stars down to that depth, which the seeded stars
/// continue.
double add_sky_stars(const Model& model, const SkyConfig& sky, const SkyCatalogue& real,
                     Catalogue& catalogue) {
    Pointing pointing{std::fmod(sky.ra_deg, 360.0), sky.dec_deg, model.rotation_deg};
    GnomonicProjection projection(pointing, model.focal_length_mm, model.pixel_um,
                                  (model.width - 1) / 2.0, (model.height - 1) / 2.0);
    std::vector<SensorStar> found;
    projection.stars_on_sensor(real, model.width, model.height, catalogue.margin,
                               static_cast<float>(sky.limiting_mag), found);
    double zero = zero_point(model);
    for (const SensorStar& star : found) {
        // The projection counts from the first pixel's centre, the renderer from its edge.
        catalogue.sky_stars.push_back(
            {star.x + 0.5,
             star.y + 0.5,
             static_cast<float>(zero * std::pow(10.0, -0.4 * star.magnitude)),
             {1.0f, 1.0f, 1.0f}});
    }
    // The depth from enough stars to be steady: a cone of at least half a degree.
    double radius = std::max(0.5, projection.covering_radius(model.width, model.height, 0));
    std::vector<CatalogueStar> around;
    for (;; radius *= 2) {
        around.clear();
        real.query_cone(pointing.right_ascension, pointing.declination, radius, 99.0f, around);
        if (around.size() >= 40 || radius >= 8)
            break;
    }
    if (around.empty()) {
        catalogue.synthetic_from = real.faintest_magnitude();
        return 0;
    }
    // The faintest few percent are the stragglers of cells that reach deeper.
    std::vector<float> magnitudes;
    for (const CatalogueStar& star : around)
        magnitudes.push_back(star.magnitude);
    auto depth = magnitudes.begin() + static_cast<std::ptrdiff_t>(0.95 * (magnitudes.size() - 1));
    std::nth_element(magnitudes.begin(), depth, magnitudes.end());
    catalogue.synthetic_from = *depth;
    return double(depth - magnitudes.begin() + 1) / cone_area(radius);
}

} // namespace

double zero_point(const Model& model) {
    // ~4e7 e-/s from a magnitude 0 star through a 100 mm aperture.
    return 4e7 * std::pow(model.aperture_mm / 100.0, 2);
}

Catalogue make_catalogue(const Model& model, const SkyConfig& sky, int camera_index,
                         const SkyCatalogue* real) {
    Catalogue catalogue;
    double scale = model.plate_scale();
    catalogue.margin = std::max(64.0, 0.1 * std::max(model.width, model.height));
    catalogue.field_width = model.width + 2 * catalogue.margin;
    catalogue.field_height = model.height + 2 * catalogue.margin;
    double width = catalogue.field_width, height = catalogue.field_height;

    // Cumulative star counts per square degree grow by 10^counts_slope per magnitude:
    // stars_per_deg2 down to magnitude 14 for the seeded sky, the sky file's own density
    // down to its depth with one.
    double slope = sky.counts_slope;
    double density = sky.stars_per_deg2, density_mag = 14;
    catalogue.synthetic_from = sky.brightest_mag;
    if (real != nullptr) {
        density = add_sky_stars(model, sky, *real, catalogue);
        density_mag = catalogue.synthetic_from;
    }
    double from = std::min(catalogue.synthetic_from, sky.limiting_mag);
    auto counts = [&](double magnitude) {
        return density * std::pow(10.0, slope * (magnitude - density_mag));
    };
    double area_deg2 = (width * scale / 3600) * (height * scale / 3600);
    double count = area_deg2 * (counts(sky.limiting_mag) - counts(from));
    std::size_t stars = static_cast<std::size_t>(std::clamp(count, 0.0, 2e6));
    Random random(sky.seed ^ (0x5eedULL * (camera_index + 1)));
    double faint_fraction = std::pow(10.0, slope * (from - sky.limiting_mag));
    double zero = zero_point(model);
    catalogue.stars.reserve(stars);
    for (std::size_t i = 0; i < stars; ++i) {
        Star star;
        star.x = random.uniform() * width - catalogue.margin;
        star.y = random.uniform() * height - catalogue.margin;
        double uniform = random.uniform();
        double magnitude =
            sky.limiting_mag + std::log10(uniform * (1 - faint_fraction) + faint_fraction) / slope;
        star.flux = static_cast<float>(zero * std::pow(10.0, -0.4 * magnitude));
        double colour = random.uniform() * 1.7 - 0.2; // B-V
        star.rgb[0] = static_cast<float>(0.8 + 0.3 * colour);
        star.rgb[1] = 1.0f;
        star.rgb[2] = static_cast<float>(std::max(0.2, 1.1 - 0.4 * colour));
        catalogue.stars.push_back(star);
    }
    // The stars beyond the limit still light the sky: their flux summed over the counts,
    // which converges while the counts grow more slowly than the flux falls (slope < 0.4).
    double per_arcsec2 = slope / (0.4 - slope) * counts(sky.limiting_mag) / (3600.0 * 3600.0) *
                         zero * std::pow(10.0, -0.4 * sky.limiting_mag);
    catalogue.unresolved_rate = per_arcsec2 * scale * scale;

    // The hot pixels draw from their own stream: the same pixels whichever sky is in use.
    Random sensor(sky.seed ^ (0x407ULL * (camera_index + 1)));
    std::size_t hot = std::size_t(model.width) * model.height / 250000 + 3;
    for (std::size_t i = 0; i < hot; ++i) {
        HotPixel pixel;
        pixel.x = static_cast<int>(sensor.next() % model.width);
        pixel.y = static_cast<int>(sensor.next() % model.height);
        pixel.rate = static_cast<float>(20 + 400 * sensor.uniform());
        catalogue.hot_pixels.push_back(pixel);
    }
    return catalogue;
}

} // namespace asisim
