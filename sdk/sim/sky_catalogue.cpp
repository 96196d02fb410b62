// The sky file, its cone queries and the gnomonic projection. The format is described
// in tools/make-sky, which writes it, and in README.md.
#include "sky_catalogue.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <numbers>
#include <string_view>

#if defined(__unix__) || defined(__APPLE__)
#include <dlfcn.h>
#include <sys/stat.h>
#endif

namespace asisim {

namespace {

static_assert(std::endian::native == std::endian::little,
              "the sky file is little-endian and read as it lies");

constexpr char kMagic[8] = {'A', 'S', 'I', 'S', 'K', 'Y', '\0', '\0'};
constexpr std::size_t kHeaderSize = 32;
// More bands than any sensible file has: a bound that keeps a damaged count from
// asking for gigabytes before the size check can refuse it.
constexpr std::uint32_t kMostBands = 1u << 20;
constexpr double kDegree = std::numbers::pi / 180.0;
constexpr double kRightAscensionUnit = 360.0 / 4294967296.0; // 2^32 units to the circle
constexpr double kDeclinationUnit = 90.0 / 1073741824.0;     // 2^30 units to the pole
constexpr std::int64_t kPoleUnits = std::int64_t{1} << 30;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::uint32_t read_u32(const unsigned char* bytes) {
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

std::int16_t read_i16(const unsigned char* bytes) {
    std::int16_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

/// zlib's CRC-32, the one tools/make-sky stores.
class Crc32 {
public:
    Crc32() {
        for (std::uint32_t byte = 0; byte < 256; ++byte) {
            std::uint32_t crc = byte;
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
            }
            table_[byte] = crc;
        }
    }
    void add(const void* data, std::size_t size) {
        auto bytes = static_cast<const unsigned char*>(data);
        std::uint32_t crc = ~crc_;
        for (std::size_t i = 0; i < size; ++i) {
            crc = table_[(crc ^ bytes[i]) & 0xFFu] ^ (crc >> 8);
        }
        crc_ = ~crc;
    }
    std::uint32_t value() const { return crc_; }

private:
    std::array<std::uint32_t, 256> table_{};
    std::uint32_t crc_ = 0;
};

std::size_t band_of(std::int64_t declination_units, std::size_t band_count) {
    auto band = static_cast<std::size_t>(
        ((declination_units + kPoleUnits) * static_cast<std::int64_t>(band_count)) >> 31);
    return std::min(band, band_count - 1);
}

std::int64_t declination_to_units(double declination) {
    return std::clamp(static_cast<std::int64_t>(std::floor(declination / kDeclinationUnit)),
                      -kPoleUnits, kPoleUnits);
}

void unit_vector(double right_ascension, double declination, double vector[3]) {
    double ra = right_ascension * kDegree, dec = declination * kDegree;
    vector[0] = std::cos(dec) * std::cos(ra);
    vector[1] = std::cos(dec) * std::sin(ra);
    vector[2] = std::sin(dec);
}

double dot(const double a[3], const double b[3]) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

template <typename T> bool read_array(std::FILE* file, std::vector<T>& values, Crc32& crc) {
    if (std::fread(values.data(), sizeof(T), values.size(), file) != values.size()) {
        return false;
    }
    crc.add(values.data(), values.size() * sizeof(T));
    return true;
}

} // namespace

namespace {

/// What the header of a sky file promises.
struct SkyHeader {
    std::uint32_t count = 0, bands = 0, crc = 0;
    std::int16_t brightest = 0, faintest = 0;
};

/// Reads and checks the header of an open sky file against the file's size; leaves the
/// file at the end of the header. Empty when it holds, else what is wrong.
std::string read_header(std::FILE* file, SkyHeader& out) {
    unsigned char header[kHeaderSize];
    std::size_t got = std::fread(header, 1, kHeaderSize, file);
    if (got >= sizeof kMagic && std::memcmp(header, kMagic, sizeof kMagic) != 0) {
        return "not a sky file (made by tools/make-sky)";
    }
    if (got < kHeaderSize) {
        return "truncated sky file (no complete header)";
    }
    std::uint32_t version = read_u32(header + 8);
    if (version != kSkyFileVersion) {
        return "sky file version " + std::to_string(version) + ", this simulator reads " +
               std::to_string(kSkyFileVersion) + " (remake it with tools/make-sky)";
    }
    std::uint32_t header_size = read_u32(header + 12);
    out.count = read_u32(header + 16);
    out.bands = read_u32(header + 20);
    out.crc = read_u32(header + 24);
    out.brightest = read_i16(header + 28);
    out.faintest = read_i16(header + 30);
    if (header_size != kHeaderSize || out.bands == 0 || out.bands > kMostBands) {
        return "damaged sky file (impossible header)";
    }
    std::uint64_t expected =
        kHeaderSize + 4 * (std::uint64_t{out.bands} + 1) + 10 * std::uint64_t{out.count};
    if (std::fseek(file, 0, SEEK_END) != 0) {
        return std::strerror(errno);
    }
    long actual = std::ftell(file);
    if (actual < 0 || std::fseek(file, kHeaderSize, SEEK_SET) != 0) {
        return std::strerror(errno);
    }
    if (static_cast<std::uint64_t>(actual) != expected) {
        return std::string(static_cast<std::uint64_t>(actual) < expected ? "truncated"
                                                                         : "damaged") +
               " sky file (" + std::to_string(actual) + " bytes where the header promises " +
               std::to_string(expected) + ")";
    }
    return {};
}

} // namespace

std::string SkyCatalogue::check(const std::string& path) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return path + ": " + std::strerror(errno);
    }
    SkyHeader header;
    std::string wrong = read_header(file.get(), header);
    return wrong.empty() ? wrong : path + ": " + wrong;
}

std::optional<SkyCatalogue> SkyCatalogue::load(const std::string& path, std::string& error) {
    auto fail = [&](std::string_view what) {
        error = path + ": " + std::string(what);
        return std::nullopt;
    };
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return fail(std::strerror(errno));
    }
    SkyHeader header;
    if (std::string wrong = read_header(file.get(), header); !wrong.empty()) {
        return fail(wrong);
    }
    std::uint32_t count = header.count, bands = header.bands, stored_crc = header.crc;

    SkyCatalogue sky;
    Crc32 crc;
    try {
        sky.band_starts_.resize(std::size_t{bands} + 1);
        sky.right_ascension_units_.resize(count);
        sky.declination_units_.resize(count);
        sky.millimagnitudes_.resize(count);
    } catch (const std::bad_alloc&) {
        return fail("not enough memory for the sky");
    }
    if (!read_array(file.get(), sky.band_starts_, crc) ||
        !read_array(file.get(), sky.right_ascension_units_, crc) ||
        !read_array(file.get(), sky.declination_units_, crc) ||
        !read_array(file.get(), sky.millimagnitudes_, crc)) {
        return fail(std::ferror(file.get()) ? std::strerror(errno) : "truncated sky file");
    }
    if (crc.value() != stored_crc) {
        return fail("damaged sky file (checksum mismatch)");
    }

    // The queries bisect within bands: they rely on the order the file promises, so a
    // file whose checksum matches but whose writer erred is refused here.
    const auto& starts = sky.band_starts_;
    if (starts.front() != 0 || starts.back() != count) {
        return fail("damaged sky file (bands do not cover the stars)");
    }
    for (std::size_t band = 0; band < bands; ++band) {
        if (starts[band] > starts[band + 1]) {
            return fail("damaged sky file (bands out of order)");
        }
        for (std::uint32_t i = starts[band]; i < starts[band + 1]; ++i) {
            std::int64_t declination = sky.declination_units_[i];
            if (declination < -kPoleUnits || declination > kPoleUnits ||
                band_of(declination, bands) != band ||
                (i > starts[band] &&
                 sky.right_ascension_units_[i - 1] > sky.right_ascension_units_[i])) {
                return fail("damaged sky file (star " + std::to_string(i) + " out of order)");
            }
        }
    }
    sky.brightest_magnitude_ = header.brightest / 1000.0f;
    sky.faintest_magnitude_ = header.faintest / 1000.0f;
    return sky;
}

std::shared_ptr<const SkyCatalogue> SkyCatalogue::shared(const std::string& path,
                                                         std::string& error) {
    // Loaded once per file and kept: every camera and every reset shares it. A file
    // replaced under the same name (tools/make-sky swaps it in whole) is read again.
    struct Loaded {
        std::int64_t size, modified;
        std::shared_ptr<const SkyCatalogue> sky;
    };
    struct Cache {
        std::mutex mutex;
        std::map<std::string, Loaded> loaded;
    };
    // Never destroyed: a renderer may still ask during static teardown.
    static Cache* const cache = new Cache;
    auto& loaded = cache->loaded;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    std::int64_t size = status.st_size,
                 modified = status.st_mtim.tv_sec * 1000000000LL + status.st_mtim.tv_nsec;
    std::lock_guard lock(cache->mutex);
    auto it = loaded.find(path);
    if (it != loaded.end() && it->second.size == size && it->second.modified == modified) {
        return it->second.sky;
    }
    std::optional<SkyCatalogue> sky = load(path, error);
    if (!sky) {
        return nullptr;
    }
    auto kept = std::make_shared<const SkyCatalogue>(std::move(*sky));
    loaded[path] = Loaded{size, modified, kept};
    return kept;
}

std::size_t SkyCatalogue::memory_bytes() const {
    return band_starts_.capacity() * sizeof(std::uint32_t) +
           right_ascension_units_.capacity() * sizeof(std::uint32_t) +
           declination_units_.capacity() * sizeof(std::int32_t) +
           millimagnitudes_.capacity() * sizeof(std::int16_t);
}

CatalogueStar SkyCatalogue::star(std::size_t index) const {
    return {right_ascension_units_[index] * kRightAscensionUnit,
            declination_units_[index] * kDeclinationUnit, millimagnitudes_[index] / 1000.0f};
}

void SkyCatalogue::query_cone(double right_ascension, double declination, double radius,
                              float faintest, std::vector<CatalogueStar>& stars) const {
    if (!(radius >= 0) || size() == 0) {
        return;
    }
    double faintest_millimagnitude = faintest * 1000.0;
    auto bright_enough = [&](std::size_t i) {
        return millimagnitudes_[i] <= faintest_millimagnitude;
    };
    if (radius >= 180) {
        for (std::size_t i = 0; i < size(); ++i) {
            if (bright_enough(i)) {
                stars.push_back(star(i));
            }
        }
        return;
    }

    double centre[3];
    unit_vector(right_ascension, declination, centre);
    double cos_radius = std::cos(radius * kDegree);
    // The windows below are a little wider than the cone; the exact test is the angle.
    double slack = 1e-7;
    double lowest = declination - radius - slack, highest = declination + radius + slack;
    std::size_t bands = band_starts_.size() - 1;
    std::size_t first_band = band_of(declination_to_units(lowest), bands);
    std::size_t last_band = band_of(declination_to_units(highest), bands);

    // Right ascension windows in file units, two where the cone straddles 0h.
    std::array<std::pair<std::uint32_t, std::uint32_t>, 2> windows{};
    std::size_t window_count = 0;
    bool holds_pole = lowest <= -90 || highest >= 90;
    double half_width = holds_pole ? 180
                                   : std::asin(std::min(1.0, std::sin(radius * kDegree) /
                                                                 std::cos(declination * kDegree))) /
                                             kDegree +
                                         slack;
    if (half_width >= 180) {
        windows[window_count++] = {0, UINT32_MAX};
    } else {
        double start = std::fmod(right_ascension - half_width, 360.0);
        if (start < 0) {
            start += 360;
        }
        double end = start + 2 * half_width;
        auto to_units = [](double degrees) {
            return static_cast<std::uint32_t>(
                std::clamp(degrees / kRightAscensionUnit, 0.0, double(UINT32_MAX)));
        };
        if (end < 360) {
            windows[window_count++] = {to_units(start), to_units(end) + 1};
        } else {
            windows[window_count++] = {to_units(start), UINT32_MAX};
            windows[window_count++] = {0, to_units(end - 360) + 1};
        }
    }

    for (std::size_t band = first_band; band <= last_band; ++band) {
        auto band_begin = right_ascension_units_.begin() + band_starts_[band];
        auto band_end = right_ascension_units_.begin() + band_starts_[band + 1];
        for (std::size_t w = 0; w < window_count; ++w) {
            auto begin = std::lower_bound(band_begin, band_end, windows[w].first);
            auto end = std::upper_bound(begin, band_end, windows[w].second);
            for (auto it = begin; it != end; ++it) {
                auto i = static_cast<std::size_t>(it - right_ascension_units_.begin());
                if (!bright_enough(i)) {
                    continue;
                }
                CatalogueStar candidate = star(i);
                double position[3];
                unit_vector(candidate.right_ascension, candidate.declination, position);
                if (dot(position, centre) >= cos_radius) {
                    stars.push_back(candidate);
                }
            }
        }
    }
}

std::string find_sky_file(const std::string& configured) {
    if (!configured.empty()) {
        return configured;
    }
    if (const char* named = std::getenv("ASISIM_SKY"); named != nullptr && *named != '\0') {
        return named;
    }
#if defined(__unix__) || defined(__APPLE__)
    Dl_info library;
    if (dladdr(reinterpret_cast<void*>(&find_sky_file), &library) != 0 &&
        library.dli_fname != nullptr) {
        std::string beside(library.dli_fname);
        beside.erase(beside.find_last_of('/') + 1);
        beside += kSkyFileName;
        if (File file(std::fopen(beside.c_str(), "rb")); file) {
            return beside;
        }
    }
#endif
    return {};
}

std::string check_pointing(const Pointing& pointing) {
    auto number = [](double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", value);
        return std::string(text);
    };
    if (!(pointing.right_ascension >= 0 && pointing.right_ascension < 360)) {
        return "right ascension " + number(pointing.right_ascension) + " is outside 0 to 360";
    }
    if (!(pointing.declination >= -90 && pointing.declination <= 90)) {
        return "declination " + number(pointing.declination) + " is outside -90 to 90";
    }
    if (!std::isfinite(pointing.rotation)) {
        return "rotation " + number(pointing.rotation) + " is not a number of degrees";
    }
    return {};
}

GnomonicProjection::GnomonicProjection(const Pointing& pointing, double focal_length_mm,
                                       double pixel_um, double centre_x, double centre_y)
    : pointing_(pointing), radians_per_pixel_(pixel_um * 1e-3 / focal_length_mm),
      cos_rotation_(std::cos(pointing.rotation * kDegree)),
      sin_rotation_(std::sin(pointing.rotation * kDegree)), centre_x_(centre_x),
      centre_y_(centre_y) {
    double ra = pointing.right_ascension * kDegree, dec = pointing.declination * kDegree;
    unit_vector(pointing.right_ascension, pointing.declination, centre_);
    // The directions of growing right ascension and declination at the centre; at a
    // pole they stay defined by the pointing's right ascension.
    east_[0] = -std::sin(ra), east_[1] = std::cos(ra), east_[2] = 0;
    north_[0] = -std::sin(dec) * std::cos(ra);
    north_[1] = -std::sin(dec) * std::sin(ra);
    north_[2] = std::cos(dec);
}

bool GnomonicProjection::to_sensor(double right_ascension, double declination, double& x,
                                   double& y) const {
    double position[3];
    unit_vector(right_ascension, declination, position);
    double depth = dot(position, centre_);
    if (depth <= 1e-9) {
        return false;
    }
    // Standard coordinates on the tangent plane, then turned and scaled onto the sensor.
    double xi = dot(position, east_) / depth, eta = dot(position, north_) / depth;
    x = centre_x_ + (-cos_rotation_ * xi + sin_rotation_ * eta) / radians_per_pixel_;
    y = centre_y_ + (-sin_rotation_ * xi - cos_rotation_ * eta) / radians_per_pixel_;
    return true;
}

void GnomonicProjection::to_sky(double x, double y, double& right_ascension,
                                double& declination) const {
    double dx = (x - centre_x_) * radians_per_pixel_, dy = (y - centre_y_) * radians_per_pixel_;
    double xi = -cos_rotation_ * dx - sin_rotation_ * dy;
    double eta = sin_rotation_ * dx - cos_rotation_ * dy;
    double position[3];
    for (int i = 0; i < 3; ++i) {
        position[i] = centre_[i] + xi * east_[i] + eta * north_[i];
    }
    right_ascension = std::atan2(position[1], position[0]) / kDegree;
    if (right_ascension < 0) {
        right_ascension += 360;
    }
    declination = std::atan2(position[2], std::hypot(position[0], position[1])) / kDegree;
}

double GnomonicProjection::pixel_scale() const {
    return radians_per_pixel_ / kDegree;
}

double GnomonicProjection::covering_radius(int width, int height, double margin) const {
    // The pixel edges lie half a pixel beyond the outer pixels' centres.
    double left = centre_x_ + 0.5 + margin, right = width - 0.5 + margin - centre_x_;
    double top = centre_y_ + 0.5 + margin, bottom = height - 0.5 + margin - centre_y_;
    double farthest = std::hypot(std::max(left, right), std::max(top, bottom));
    return std::atan(farthest * radians_per_pixel_) / kDegree;
}

void GnomonicProjection::stars_on_sensor(const SkyCatalogue& catalogue, int width, int height,
                                         double margin, float faintest,
                                         std::vector<SensorStar>& stars) const {
    std::vector<CatalogueStar> near;
    catalogue.query_cone(pointing_.right_ascension, pointing_.declination,
                         covering_radius(width, height, margin), faintest, near);
    for (const CatalogueStar& star : near) {
        double x, y;
        if (to_sensor(star.right_ascension, star.declination, x, y) && x >= -0.5 - margin &&
            x <= width - 0.5 + margin && y >= -0.5 - margin && y <= height - 0.5 + margin) {
            stars.push_back({x, y, star.magnitude});
        }
    }
}

} // namespace asisim
