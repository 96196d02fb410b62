// Checks of the sky catalogue and its projection. Build with -DASISIM_TESTS=ON; run
// build-dir/lib/asisim_sky_test [SKY_FILE]. With a sky file (the build's
// asisim-sky.bin) it also measures loading and queries of the whole catalogue. Prints one
// line per failed check and closes with "N passed, N failed".
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "sky.hpp"
#include "sky_catalogue.hpp"

namespace {

using asisim::CatalogueStar;
using asisim::GnomonicProjection;
using asisim::Pointing;
using asisim::SkyCatalogue;

constexpr double kDegree = 3.14159265358979323846 / 180.0;

std::uint32_t crc32(const std::vector<unsigned char>& bytes, std::size_t from) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = from; i < bytes.size(); ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

template <typename T> void append(std::vector<unsigned char>& bytes, T value) {
    unsigned char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    bytes.insert(bytes.end(), raw, raw + sizeof(T));
}

/// A star as the file stores it.
struct Encoded {
    std::uint32_t right_ascension;
    std::int32_t declination;
    std::int16_t millimagnitude;
    std::size_t band;
};

/// The bytes tools/make-sky would write for these stars (a writer of its own, so that a
/// mistake shared by the tool and the loader cannot hide).
std::vector<unsigned char> sky_file(const std::vector<CatalogueStar>& stars, std::uint32_t bands,
                                    bool sorted = true) {
    std::vector<Encoded> encoded;
    for (const CatalogueStar& star : stars) {
        Encoded e;
        e.right_ascension = static_cast<std::uint32_t>(
            std::fmod(std::llround(star.right_ascension / 360.0 * 4294967296.0), 4294967296.0));
        e.declination =
            static_cast<std::int32_t>(std::llround(star.declination / 90.0 * 1073741824.0));
        e.millimagnitude = static_cast<std::int16_t>(std::lround(star.magnitude * 1000));
        e.band = std::min<std::size_t>(bands - 1,
                                       ((std::int64_t{e.declination} + (1ll << 30)) * bands) >> 31);
        encoded.push_back(e);
    }
    if (sorted) {
        std::sort(encoded.begin(), encoded.end(), [](const Encoded& a, const Encoded& b) {
            return a.band != b.band ? a.band < b.band : a.right_ascension < b.right_ascension;
        });
    }
    std::vector<unsigned char> bytes(32, 0); // the header, its checksum filled in last
    std::memcpy(bytes.data(), "ASISKY\0\0", 8);
    std::uint32_t fields[4] = {1, 32, static_cast<std::uint32_t>(stars.size()), bands};
    std::memcpy(bytes.data() + 8, fields, sizeof fields);
    for (std::uint32_t band = 0, i = 0; band <= bands; ++band) {
        while (i < encoded.size() && encoded[i].band < band) {
            ++i;
        }
        append(bytes, i);
    }
    for (const Encoded& e : encoded)
        append(bytes, e.right_ascension);
    for (const Encoded& e : encoded)
        append(bytes, e.declination);
    for (const Encoded& e : encoded)
        append(bytes, e.millimagnitude);
    std::uint32_t crc = crc32(bytes, 32);
    std::memcpy(bytes.data() + 24, &crc, 4);
    return bytes;
}

std::string write(const std::string& name, const std::vector<unsigned char>& bytes) {
    std::string path = checks::temporary_path("sky_" + name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

std::string load_error(const std::string& name, const std::vector<unsigned char>& bytes) {
    std::string path = write(name, bytes), error;
    bool loaded = SkyCatalogue::load(path, error).has_value();
    std::remove(path.c_str());
    return loaded ? "(loaded)" : error;
}

bool mentions(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

void unit_vector(double ra, double dec, double v[3]) {
    v[0] = std::cos(dec * kDegree) * std::cos(ra * kDegree);
    v[1] = std::cos(dec * kDegree) * std::sin(ra * kDegree);
    v[2] = std::sin(dec * kDegree);
}

double separation(double ra1, double dec1, double ra2, double dec2) {
    double a[3], b[3];
    unit_vector(ra1, dec1, a);
    unit_vector(ra2, dec2, b);
    double cross =
        std::hypot(a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]);
    return std::atan2(cross, a[0] * b[0] + a[1] * b[1] + a[2] * b[2]) / kDegree;
}

std::vector<CatalogueStar> random_sky(std::size_t count, std::mt19937_64& random) {
    std::uniform_real_distribution<double> uniform(0, 1);
    std::vector<CatalogueStar> stars;
    for (std::size_t i = 0; i < count; ++i) {
        double ra = 360 * uniform(random);
        double dec = std::asin(2 * uniform(random) - 1) / kDegree;
        stars.push_back({ra, dec, float(std::round((15 * uniform(random) - 1) * 1000) / 1000)});
    }
    // The poles and 0h themselves, where windows wrap or cover every right ascension.
    stars.push_back({0, 90, 2});
    stars.push_back({180, -90, 3});
    stars.push_back({0, 0, 4});
    stars.push_back({359.9999999, 10, 5});
    return stars;
}

void test_cone_queries_find_what_a_full_scan_finds() {
    std::mt19937_64 random(18);
    std::string error;
    std::string path = write("cones", sky_file(random_sky(20000, random), 16));
    auto sky = SkyCatalogue::load(path, error);
    std::remove(path.c_str());
    CHECK(sky.has_value());
    if (!sky) {
        std::printf("  %s\n", error.c_str());
        return;
    }
    CHECK(sky->size() == 20004);

    // Every star as the catalogue decodes it, from a query of the whole sky.
    std::vector<CatalogueStar> all;
    sky->query_cone(0, 0, 180, 99, all);
    CHECK(all.size() == sky->size());

    std::uniform_real_distribution<double> uniform(0, 1);
    struct Cone {
        double ra, dec, radius;
        float faintest;
    };
    std::vector<Cone> cones = {{0, 90, 5, 99},     {123, -90, 0.5, 99}, {0, 0, 3, 99},
                               {359.5, 10, 2, 99}, {10, 89, 2, 99},     {200, -60, 30, 8}};
    for (int i = 0; i < 300; ++i) {
        cones.push_back({360 * uniform(random), std::asin(2 * uniform(random) - 1) / kDegree,
                         0.2 + 20 * uniform(random) * uniform(random),
                         float(16 * uniform(random))});
    }
    bool all_agree = true;
    for (const Cone& cone : cones) {
        std::vector<CatalogueStar> found;
        sky->query_cone(cone.ra, cone.dec, cone.radius, cone.faintest, found);
        std::size_t expected = 0;
        for (const CatalogueStar& star : all) {
            // Stars a hair from the edge may fall either way between two formulas.
            double distance = separation(cone.ra, cone.dec, star.right_ascension, star.declination);
            if (star.magnitude <= cone.faintest && std::abs(distance - cone.radius) < 1e-9) {
                expected = SIZE_MAX;
                break;
            }
            expected += star.magnitude <= cone.faintest && distance <= cone.radius;
        }
        bool inside = std::all_of(found.begin(), found.end(), [&](const CatalogueStar& star) {
            return star.magnitude <= cone.faintest &&
                   separation(cone.ra, cone.dec, star.right_ascension, star.declination) <=
                       cone.radius + 1e-9;
        });
        if (expected != SIZE_MAX && (found.size() != expected || !inside)) {
            std::printf("  cone (%g, %g) r %g to mag %g: %zu stars, a full scan finds %zu\n",
                        cone.ra, cone.dec, cone.radius, cone.faintest, found.size(), expected);
            all_agree = false;
        }
    }
    CHECK(all_agree);
}

void test_bad_files_are_refused_with_their_fault() {
    std::mt19937_64 random(7);
    auto good = sky_file(random_sky(1000, random), 8);
    CHECK(load_error("good", good) == "(loaded)");

    std::string error;
    CHECK(!SkyCatalogue::load("/nonexistent/sky.bin", error));
    CHECK(mentions(error, "/nonexistent/sky.bin: No such file"));

    auto magic = good;
    magic[0] = 'X';
    CHECK(mentions(load_error("magic", magic), "not a sky file"));
    CHECK(mentions(load_error("empty", {}), "truncated sky file (no complete header)"));
    CHECK(mentions(load_error("header", {good.begin(), good.begin() + 20}), "truncated"));

    auto version = good;
    version[8] = 2;
    CHECK(mentions(load_error("version", version), "sky file version 2, this simulator reads 1"));

    auto short_file = good;
    short_file.pop_back();
    CHECK(mentions(load_error("short", short_file), "truncated sky file"));
    auto long_file = good;
    long_file.push_back(0);
    CHECK(mentions(load_error("long", long_file), "damaged sky file"));

    auto flipped = good;
    flipped[flipped.size() / 2] ^= 0x10;
    CHECK(mentions(load_error("flipped", flipped), "checksum mismatch"));

    // A consistent checksum over stars in the wrong order: the bisection would miss stars.
    CHECK(mentions(load_error("unsorted", sky_file(random_sky(1000, random), 8, false)),
                   "out of order"));

    auto huge = good;
    std::uint32_t count = 0xFFFFFFFFu;
    std::memcpy(huge.data() + 16, &count, 4);
    CHECK(mentions(load_error("huge", huge), "truncated sky file"));
}

void test_projection_geometry() {
    // 800 mm and 3.76 µm: 0.9694″ a pixel.
    Pointing orion{83.8, -5.4, 0};
    GnomonicProjection projection(orion, 800, 3.76, 2071.5, 1410.5);
    CHECK(std::abs(projection.pixel_scale() * 3600 - 0.96941) < 1e-4);
    double x, y;
    CHECK(projection.to_sensor(83.8, -5.4, x, y));
    CHECK(std::abs(x - 2071.5) < 1e-6 && std::abs(y - 1410.5) < 1e-6);
    // North is up, east left; a right ascension step is cos(declination) as wide.
    CHECK(projection.to_sensor(83.8, -5.4 + 0.01, x, y));
    CHECK(std::abs(x - 2071.5) < 1e-3 && std::abs(y - (1410.5 - 36 / 0.96941)) < 0.01);
    CHECK(projection.to_sensor(83.8 + 0.01, -5.4, x, y));
    CHECK(std::abs(x - (2071.5 - 36 * std::cos(5.4 * kDegree) / 0.96941)) < 0.01);
    CHECK(!projection.to_sensor(83.8 + 180, 5.4, x, y));

    // Turned by 90°: east is up.
    GnomonicProjection turned({83.8, -5.4, 90}, 800, 3.76, 0, 0);
    CHECK(turned.to_sensor(83.8 + 0.01, -5.4, x, y));
    CHECK(std::abs(x) < 1e-3 && y < -30);

    // At the pole the pointing's right ascension fixes north: stars at that right
    // ascension lie south of the pole, below it on the sensor.
    GnomonicProjection pole({30, 90, 0}, 800, 3.76, 0, 0);
    CHECK(pole.to_sensor(30, 89.99, x, y));
    CHECK(std::abs(x) < 1e-6 && std::abs(y - 36 / 0.96941) < 0.01);
    CHECK(pole.to_sensor(210, 89.99, x, y));
    CHECK(std::abs(x) < 1e-6 && std::abs(y + 36 / 0.96941) < 0.01);

    // to_sky undoes to_sensor everywhere, the poles included.
    std::mt19937_64 random(3);
    std::uniform_real_distribution<double> uniform(-1, 1);
    double worst = 0;
    for (const Pointing& pointing :
         {orion, Pointing{0, 90, 33}, Pointing{359.99, -90, -170}, Pointing{250, 65, 37.5}}) {
        GnomonicProjection p(pointing, 240, 2.9, 968, 548);
        for (int i = 0; i < 200; ++i) {
            double ra, dec, sx = 968 + 2000 * uniform(random), sy = 548 + 2000 * uniform(random);
            p.to_sky(sx, sy, ra, dec);
            CHECK(ra >= 0 && ra < 360 && dec >= -90 && dec <= 90);
            p.to_sensor(ra, dec, x, y);
            worst = std::max(worst, std::hypot(x - sx, y - sy));
        }
    }
    CHECK(worst < 1e-6);
}

void test_stars_on_sensor_are_the_stars_in_the_frame() {
    std::vector<CatalogueStar> stars;
    // A grid round the pole and over 0h; the sensor covers part of it.
    for (int i = -20; i <= 20; ++i) {
        for (int j = 0; j < 360; j += 10) {
            stars.push_back({double(j), 89.5 + i * 0.02, 9});
        }
    }
    std::string error, path = write("grid", sky_file(stars, 720));
    auto sky = SkyCatalogue::load(path, error);
    std::remove(path.c_str());
    CHECK(sky.has_value());
    if (!sky)
        return;
    GnomonicProjection projection({0, 90, 15}, 240, 2.9, 967.5, 547.5);
    std::vector<asisim::SensorStar> on_sensor;
    projection.stars_on_sensor(*sky, 1936, 1096, 0, 99, on_sensor);
    std::size_t expected = 0;
    for (const CatalogueStar& star : stars) {
        double x, y;
        expected += projection.to_sensor(star.right_ascension, star.declination, x, y) &&
                    x >= -0.5 && x <= 1935.5 && y >= -0.5 && y <= 1095.5;
    }
    CHECK(expected > 50 && on_sensor.size() == expected);
}

void test_pointing_checks_and_lookup() {
    CHECK(asisim::check_pointing({0, -90, 0}).empty());
    CHECK(asisim::check_pointing({359.9, 90, -400}).empty());
    CHECK(asisim::check_pointing({360, 0, 0}) == "right ascension 360 is outside 0 to 360");
    CHECK(asisim::check_pointing({10, 91, 0}) == "declination 91 is outside -90 to 90");
    CHECK(mentions(asisim::check_pointing({10, NAN, 0}), "declination nan"));
    CHECK(mentions(asisim::check_pointing({10, 0, INFINITY}), "rotation inf"));

    CHECK(asisim::find_sky_file("/configured/sky.bin") == "/configured/sky.bin");
    setenv("ASISIM_SKY", "/named/sky.bin", 1);
    CHECK(asisim::find_sky_file("") == "/named/sky.bin");
    CHECK(asisim::find_sky_file("/configured/sky.bin") == "/configured/sky.bin");
    unsetenv("ASISIM_SKY");

    // Beside the code: here the test driver itself, which has the loader linked in.
    std::string folder = std::filesystem::canonical("/proc/self/exe").parent_path();
    std::string beside = folder + "/" + asisim::kSkyFileName;
    if (!std::filesystem::exists(beside)) {
        CHECK(asisim::find_sky_file("").empty());
        std::ofstream(beside) << "sky";
        // The path as the program was started, which may be relative.
        std::string found = asisim::find_sky_file("");
        CHECK(!found.empty() && std::filesystem::equivalent(found, beside));
        std::filesystem::remove(beside);
    }
}

long resident_kilobytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

void measure(const char* path) {
    using Clock = std::chrono::steady_clock;
    long before = resident_kilobytes();
    auto start = Clock::now();
    std::string error;
    auto sky = SkyCatalogue::load(path, error);
    double load_seconds = std::chrono::duration<double>(Clock::now() - start).count();
    CHECK(sky.has_value());
    if (!sky) {
        std::printf("  %s\n", error.c_str());
        return;
    }
    long grown = resident_kilobytes() - before;
    std::printf("sky: %zu stars, magnitudes %.3f to %.3f\n", sky->size(),
                sky->brightest_magnitude(), sky->faintest_magnitude());
    std::printf("sky: loaded in %.3f s; %.1f MB of stars, resident memory grew %.1f MB\n",
                load_seconds, sky->memory_bytes() / 1e6, grown / 1e3);
    CHECK(load_seconds <= 0.5);
    CHECK(sky->memory_bytes() <= 50'000'000 && grown <= 50'000);

    // The main camera's full sensor at random pointings.
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> uniform(0, 1);
    std::vector<asisim::SensorStar> stars;
    std::size_t total = 0;
    const int frames = 2000;
    start = Clock::now();
    for (int i = 0; i < frames; ++i) {
        Pointing pointing{360 * uniform(random), std::asin(2 * uniform(random) - 1) / kDegree,
                          360 * uniform(random)};
        GnomonicProjection projection(pointing, 800, 3.76, 2071.5, 1410.5);
        stars.clear();
        projection.stars_on_sensor(*sky, 4144, 2822, 20, 99, stars);
        total += stars.size();
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("sky: %.1f µs per 4144×2822 frame at 800 mm, %.1f stars on it on average\n",
                seconds / frames * 1e6, double(total) / frames);
}

} // namespace

void test_header_check_agrees_with_loading() {
    std::mt19937_64 random(11);
    auto good = sky_file(random_sky(500, random), 8);
    std::string path = write("check", good), error;
    CHECK(SkyCatalogue::check(path).empty());
    auto shared = SkyCatalogue::shared(path, error);
    CHECK(shared != nullptr && shared->size() == 504);
    CHECK(SkyCatalogue::shared(path, error) == shared); // loaded once
    auto version = good;
    version[8] = 2;
    write("check", version);
    CHECK(mentions(SkyCatalogue::check(path), "sky file version 2"));
    good.pop_back();
    write("check", good);
    CHECK(mentions(SkyCatalogue::check(path), "truncated sky file"));
    std::remove(path.c_str());
    CHECK(mentions(SkyCatalogue::check(path), "No such file"));
    CHECK(SkyCatalogue::shared(path, error) == nullptr && mentions(error, "No such file"));
}

// A camera's field from a dense made-up sky: its stars where the projection puts them, and
// seeded stars only fainter than the sky reaches there.
void test_fields_hold_the_sky_and_fainter_seeded_stars() {
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> uniform(0, 1);
    std::vector<CatalogueStar> stars;
    for (int i = 0; i < 4000; ++i) { // 4° × 4° round the pole, down to magnitude 12
        stars.push_back({360 * uniform(random), 86 + 4 * uniform(random),
                         float(8 + 4 * std::sqrt(uniform(random)))});
    }
    std::string path = write("field", sky_file(stars, 720)), error;
    auto sky = SkyCatalogue::load(path, error);
    std::remove(path.c_str());
    CHECK(sky.has_value());
    asisim::Model model;
    model.width = 1000, model.height = 800, model.pixel_um = 4, model.focal_length_mm = 400;
    model.rotation_deg = 30;
    asisim::SkyConfig config;
    config.ra_deg = 10, config.dec_deg = 90;
    asisim::Catalogue field = asisim::make_catalogue(model, config, 0, &*sky);
    std::vector<asisim::SensorStar> expected;
    GnomonicProjection({10, 90, 30}, 400, 4, 499.5, 399.5)
        .stars_on_sensor(*sky, 1000, 800, field.margin, 99, expected);
    CHECK(!expected.empty() && field.sky_stars.size() == expected.size());
    bool placed = field.sky_stars.size() == expected.size();
    for (std::size_t i = 0; placed && i < expected.size(); ++i) {
        placed = std::abs(field.sky_stars[i].x - (expected[i].x + 0.5)) < 1e-9 &&
                 std::abs(field.sky_stars[i].y - (expected[i].y + 0.5)) < 1e-9;
    }
    CHECK(placed);
    CHECK(field.synthetic_from > 11.5 && field.synthetic_from < 12.01);
    double zero = asisim::zero_point(model);
    float brightest_seeded = 0;
    for (const asisim::Star& star : field.stars) {
        brightest_seeded = std::max(brightest_seeded, star.flux);
    }
    CHECK(!field.stars.empty());
    CHECK(brightest_seeded <= zero * std::pow(10.0, -0.4 * field.synthetic_from));
    CHECK(field.unresolved_rate > 0);

    asisim::Catalogue seeded = asisim::make_catalogue(model, config, 0, nullptr);
    CHECK(seeded.sky_stars.empty() && seeded.synthetic_from == config.brightest_mag);
    CHECK(seeded.hot_pixels.size() == field.hot_pixels.size() &&
          seeded.hot_pixels[0].x == field.hot_pixels[0].x); // the sensor is the same
}

int main(int argc, char** argv) {
    test_cone_queries_find_what_a_full_scan_finds();
    test_bad_files_are_refused_with_their_fault();
    test_projection_geometry();
    test_stars_on_sensor_are_the_stars_in_the_frame();
    test_pointing_checks_and_lookup();
    test_header_check_agrees_with_loading();
    test_fields_hold_the_sky_and_fainter_seeded_stars();
    if (argc > 1) {
        measure(argv[1]);
    }
    return checks::report();
}
