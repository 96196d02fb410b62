// The real sky: catalogue stars from the sky file tools/make-sky writes (Tycho-2, from
// astrometry.net's index files), cone queries around a pointing, and the gnomonic
// projection that puts them on a sensor. Independent of the rest of the simulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace asisim {

/// Name of the sky file beside the library, where the build puts it.
inline constexpr const char* kSkyFileName = "asisim-sky.bin";
/// Version of the sky file format this library reads.
inline constexpr std::uint32_t kSkyFileVersion = 1;

/// One catalogue star.
struct CatalogueStar {
    double right_ascension; ///< degrees, [0, 360)
    double declination;     ///< degrees, [-90, 90]
    float magnitude;        ///< Tycho VT
};

/// The stars of a sky file, kept as the file stores them (about 10 bytes a star): sorted
/// into declination bands, by right ascension within each band.
class SkyCatalogue {
public:
    /// Reads and checks a sky file. On failure returns nothing and sets `error` to
    /// "PATH: what is wrong" (missing, truncated, damaged, not a sky file, other version).
    static std::optional<SkyCatalogue> load(const std::string& path, std::string& error);
    /// The catalogue of a sky file loaded once for the whole process (loaded again only
    /// when the file changed); null, with `error` set as `load` does, when it cannot be.
    static std::shared_ptr<const SkyCatalogue> shared(const std::string& path, std::string& error);
    /// Checks what can be checked without reading the stars (the file opens, its header
    /// and size, its version): empty when it holds, else "PATH: what is wrong".
    static std::string check(const std::string& path);

    /// Number of stars.
    std::size_t size() const { return right_ascension_units_.size(); }
    /// Magnitude of the brightest and of the faintest star.
    float brightest_magnitude() const { return brightest_magnitude_; }
    float faintest_magnitude() const { return faintest_magnitude_; }
    /// Bytes the stars and their index occupy.
    std::size_t memory_bytes() const;

    /// Appends to `stars` every star within `radius` degrees of (right_ascension,
    /// declination), degrees J2000, that is no fainter than `faintest`. Any pointing
    /// works, the poles included; a radius of 180 or more returns the whole sky.
    void query_cone(double right_ascension, double declination, double radius, float faintest,
                    std::vector<CatalogueStar>& stars) const;

private:
    SkyCatalogue() = default;
    CatalogueStar star(std::size_t index) const;

    std::vector<std::uint32_t> band_starts_;           ///< first star of each band, then size()
    std::vector<std::uint32_t> right_ascension_units_; ///< 360° / 2^32
    std::vector<std::int32_t> declination_units_;      ///< 90° / 2^30
    std::vector<std::int16_t> millimagnitudes_;
    float brightest_magnitude_ = 0, faintest_magnitude_ = 0;
};

/// Where the sky file is: `configured` when not empty, else the file $ASISIM_SKY names,
/// else kSkyFileName beside this library. Returns the path to load (which may not exist:
/// `load` then says so) or an empty string when nothing was configured and no file lies
/// beside the library.
std::string find_sky_file(const std::string& configured);

/// Where a camera looks and how its sensor is turned.
struct Pointing {
    double right_ascension = 0; ///< degrees J2000 of the sensor's centre, [0, 360)
    double declination = 0;     ///< degrees, [-90, 90]
    double rotation = 0;        ///< degrees the sensor's up (-y) is turned from north to east
};

/// Empty when the pointing is usable, else what is wrong with it ("declination 91 is
/// outside -90 to 90").
std::string check_pointing(const Pointing& pointing);

/// Catalogue star at a position on the sensor.
struct SensorStar {
    double x, y; ///< sensor pixels: x along a row, y down the rows; (0, 0) the first pixel's centre
    float magnitude; ///< Tycho VT
};

/// The gnomonic (tangent-plane) projection of an ideal lens from the sky onto a sensor.
/// At rotation 0 north is up (-y) and east left (-x), the sky as seen through a
/// telescope without a mirror; right ascension offsets shrink with cos(declination)
/// by the geometry itself, and the poles are ordinary points (the pointing's right
/// ascension then fixes which way north is).
class GnomonicProjection {
public:
    /// `centre_x`, `centre_y`: the sensor position of the optical axis, in pixels.
    GnomonicProjection(const Pointing& pointing, double focal_length_mm, double pixel_um,
                       double centre_x, double centre_y);

    /// Sensor position of a sky position (degrees); false for positions 90° or more
    /// from the centre, which have none.
    bool to_sensor(double right_ascension, double declination, double& x, double& y) const;
    /// Sky position (degrees) seen at a sensor position: the inverse of to_sensor.
    void to_sky(double x, double y, double& right_ascension, double& declination) const;

    /// Degrees per pixel at the centre.
    double pixel_scale() const;
    /// Radius in degrees of the cone around the centre that holds a width × height
    /// sensor (pixels) with `margin` pixels round it: the radius to query the catalogue with.
    double covering_radius(int width, int height, double margin) const;

    /// Appends the catalogue's stars, no fainter than `faintest`, that fall on a width ×
    /// height sensor or within `margin` pixels of its edge (whose light still reaches it).
    void stars_on_sensor(const SkyCatalogue& catalogue, int width, int height, double margin,
                         float faintest, std::vector<SensorStar>& stars) const;

private:
    Pointing pointing_;
    double centre_[3], east_[3], north_[3]; ///< unit vectors of the tangent point
    double radians_per_pixel_;
    double cos_rotation_, sin_rotation_;
    double centre_x_, centre_y_;
};

} // namespace asisim
