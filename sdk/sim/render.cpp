// Images of the simulated cameras.
#include <cstring>
#include <fstream>

#include "sim.hpp"

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

ASI_ERROR_CODE load_dark_bmp(const char*, int, int, DarkFrame&) { return ASI_ERROR_INVALID_PATH; }

struct Renderer::Impl {
    Model model;
    std::mutex mutex;
};

Renderer::Renderer(const Model& model, const SkyConfig&, int) : impl_(new Impl{model, {}}) {}
Renderer::~Renderer() = default;

double Renderer::render(const FrameRequest& r, std::uint8_t* out) {
    std::lock_guard lock(impl_->mutex);
    int level = r.dark ? 10 : 100;
    int bpp = static_cast<int>(image_bytes(1, 1, r.type));
    for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x)
            for (int k = 0; k < bpp; ++k)
                out[(long(y) * r.width + x) * bpp + k] = static_cast<std::uint8_t>(level + (x + y) % 16);
    return level;
}

std::shared_ptr<const std::vector<std::uint8_t>> Renderer::cached_frame(const FrameRequest& r) {
    auto frame = std::make_shared<std::vector<std::uint8_t>>(
        static_cast<std::size_t>(image_bytes(r.width, r.height, r.type)));
    render(r, frame->data());
    return frame;
}

} // namespace asisim
