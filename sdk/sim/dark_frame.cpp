// Dark frames for the SDK's dark subtraction, read from BMP files.
#include <cstdio>
#include <cstring>
#include <limits>

#include "sim.hpp"

namespace asisim {

namespace {

std::uint32_t le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t(p[3]) << 24);
}
std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

} // namespace

ASI_ERROR_CODE load_dark_bmp(const char* path, int width, int height, DarkFrame& out) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return ASI_ERROR_INVALID_PATH;
    // No valid dark frame is larger than a 24-bit one with a full palette and headers;
    // reading no further keeps a device file such as /dev/zero from filling memory.
    std::size_t limit = (std::size_t(width) * 3 + 4) * height + 65536;
    std::vector<unsigned char> bytes;
    unsigned char chunk[65536];
    std::size_t n;
    bool read_error = false;
    while (bytes.size() < limit && (n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    read_error = std::ferror(file) != 0;
    std::fclose(file);
    if (read_error)
        return ASI_ERROR_INVALID_PATH; // a directory, or unreadable
    if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M')
        return ASI_ERROR_INVALID_FILEFORMAT;
    const unsigned char* b = bytes.data();
    std::uint32_t data_offset = le32(b + 10), header_size = le32(b + 14);
    std::int32_t bmp_width = static_cast<std::int32_t>(le32(b + 18));
    std::int32_t bmp_height = static_cast<std::int32_t>(le32(b + 22));
    std::uint16_t bits = le16(b + 28);
    std::uint32_t compression = le32(b + 30), colors = le32(b + 46);
    if (header_size < 40 || (bits != 8 && bits != 24) || compression != 0)
        return ASI_ERROR_INVALID_FILEFORMAT;
    bool bottom_up = bmp_height > 0;
    long rows = bottom_up ? bmp_height : -static_cast<long>(bmp_height);
    if (bmp_width != width || rows != height)
        return ASI_ERROR_INVALID_FILEFORMAT;
    std::size_t stride = ((std::size_t(width) * bits + 31) / 32) * 4;
    if (data_offset > bytes.size() || bytes.size() - data_offset < stride * rows)
        return ASI_ERROR_INVALID_FILEFORMAT;
    std::array<std::uint8_t, 256> palette;
    if (bits == 8) {
        std::size_t entries = colors == 0 ? 256 : std::min<std::uint32_t>(colors, 256);
        std::size_t palette_at = 14 + std::size_t(header_size);
        if (palette_at + entries * 4 > data_offset)
            return ASI_ERROR_INVALID_FILEFORMAT;
        palette.fill(0);
        for (std::size_t i = 0; i < entries; ++i) {
            const unsigned char* e = b + palette_at + 4 * i;
            palette[i] = static_cast<std::uint8_t>((e[0] + e[1] + e[2]) / 3);
        }
    }
    out.width = width;
    out.height = height;
    out.level.resize(std::size_t(width) * height);
    for (long y = 0; y < rows; ++y) {
        const unsigned char* row = b + data_offset + stride * (bottom_up ? rows - 1 - y : y);
        std::uint8_t* dst = out.level.data() + std::size_t(y) * width;
        if (bits == 8) {
            for (int x = 0; x < width; ++x)
                dst[x] = palette[row[x]];
        } else {
            for (int x = 0; x < width; ++x)
                dst[x] =
                    static_cast<std::uint8_t>((row[3 * x] + row[3 * x + 1] + row[3 * x + 2]) / 3);
        }
    }
    return ASI_SUCCESS;
}

} // namespace asisim
