// The star catalogue of each camera's field.
#include <algorithm>

#include "sky.hpp"

namespace asisim {

double zero_point(const Model& model) {
    // ~4e7 e-/s from a magnitude 0 star through a 100 mm aperture.
    return 4e7 * std::pow(model.aperture_mm / 100.0, 2);
}

Catalogue make_catalogue(const Model& model, const SkyConfig& sky, int camera_index) {
    Catalogue catalogue;
    double scale = model.plate_scale();
    catalogue.margin = std::max(64.0, 0.1 * std::max(model.width, model.height));
    catalogue.field_width = model.width + 2 * catalogue.margin;
    catalogue.field_height = model.height + 2 * catalogue.margin;
    double width = catalogue.field_width, height = catalogue.field_height;

    // Star counts grow by 10^0.4 per magnitude down to the limit.
    double area_deg2 = (width * scale / 3600) * (height * scale / 3600);
    double count = area_deg2 * sky.stars_per_deg2 * std::pow(10.0, 0.4 * (sky.limiting_mag - 14));
    std::size_t stars = static_cast<std::size_t>(std::min(count, 2e6));
    Random random(sky.seed ^ (0x5eedULL * (camera_index + 1)));
    double faint_fraction = std::pow(10.0, 0.4 * (sky.brightest_mag - sky.limiting_mag));
    double zero = zero_point(model);
    catalogue.stars.reserve(stars);
    for (std::size_t i = 0; i < stars; ++i) {
        Star star;
        star.x = random.uniform() * width - catalogue.margin;
        star.y = random.uniform() * height - catalogue.margin;
        double uniform = random.uniform();
        double magnitude =
            sky.limiting_mag + 2.5 * std::log10(uniform * (1 - faint_fraction) + faint_fraction);
        star.flux = static_cast<float>(zero * std::pow(10.0, -0.4 * magnitude));
        double colour = random.uniform() * 1.7 - 0.2; // B-V
        star.rgb[0] = static_cast<float>(0.8 + 0.3 * colour);
        star.rgb[1] = 1.0f;
        star.rgb[2] = static_cast<float>(std::max(0.2, 1.1 - 0.4 * colour));
        catalogue.stars.push_back(star);
    }
    std::size_t hot = std::size_t(model.width) * model.height / 250000 + 3;
    for (std::size_t i = 0; i < hot; ++i) {
        HotPixel pixel;
        pixel.x = static_cast<int>(random.next() % model.width);
        pixel.y = static_cast<int>(random.next() % model.height);
        pixel.rate = static_cast<float>(20 + 400 * random.uniform());
        catalogue.hot_pixels.push_back(pixel);
    }
    return catalogue;
}

} // namespace asisim
