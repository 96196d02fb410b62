// Frame rates of the simulator: how fast it synthesises frames, and what a reader of
// video gets through the SDK for the two benchmark formats, with and without fast frames.
//
//   asisim_bench [seconds per measurement]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "asisim.h"
#include "sim.hpp"

namespace {

using Seconds = std::chrono::duration<double>;

struct Format {
    const char* name;
    int width, height;
    ASI_IMG_TYPE type;
};

// Frames per second the renderer alone makes for camera 0 (no clock, no SDK).
double synthesis_fps(const Format& f, double seconds) {
    asisim::Config config = asisim::default_config();
    asisim::Renderer renderer(config.cameras[0], config.sky, 0);
    asisim::FrameRequest request;
    request.width = f.width;
    request.height = f.height;
    request.type = f.type;
    request.exposure_s = 0.001;
    std::vector<std::uint8_t> frame(asisim::image_bytes(f.width, f.height, f.type));
    renderer.render(request, frame.data()); // the scene is made once, not per frame
    int frames = 0;
    auto start = std::chrono::steady_clock::now();
    while (Seconds(std::chrono::steady_clock::now() - start).count() < seconds) {
        renderer.render(request, frame.data());
        ++frames;
    }
    return frames / Seconds(std::chrono::steady_clock::now() - start).count();
}

// Frames per second a reader gets from ASIGetVideoData at the shortest exposure and the
// full USB bandwidth.
double video_fps(const Format& f, double seconds, bool fast, int& dropped) {
    asisim_reset();
    asisim_set_fast_frames(fast);
    ASIOpenCamera(0);
    ASIInitCamera(0);
    if (ASISetROIFormat(0, f.width, f.height, 1, f.type) != ASI_SUCCESS) {
        std::fprintf(stderr, "cannot set %s\n", f.name);
        std::exit(1);
    }
    ASISetControlValue(0, ASI_EXPOSURE, 32, ASI_FALSE);
    ASISetControlValue(0, ASI_BANDWIDTHOVERLOAD, 100, ASI_FALSE);
    ASISetControlValue(0, ASI_HIGH_SPEED_MODE, 1, ASI_FALSE);
    long size = asisim::image_bytes(f.width, f.height, f.type);
    std::vector<unsigned char> buffer(size);
    ASIStartVideoCapture(0);
    ASIGetVideoData(0, buffer.data(), size, 1000); // the first frame renders the scene
    int frames = 0;
    auto start = std::chrono::steady_clock::now();
    while (Seconds(std::chrono::steady_clock::now() - start).count() < seconds) {
        if (ASIGetVideoData(0, buffer.data(), size, 1000) == ASI_SUCCESS)
            ++frames;
    }
    double elapsed = Seconds(std::chrono::steady_clock::now() - start).count();
    ASIGetDroppedFrames(0, &dropped);
    ASIStopVideoCapture(0);
    ASICloseCamera(0);
    return frames / elapsed;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const Format formats[] = {
        {"1920x1080 RAW8", 1920, 1080, ASI_IMG_RAW8},
        {"4096x2160 RAW16", 4096, 2160, ASI_IMG_RAW16},
    };
    std::printf("%-16s %14s %14s %10s %14s\n", "format", "synthesis fps", "video fps", "dropped",
                "fast-frame fps");
    for (const Format& f : formats) {
        int dropped = 0, fast_dropped = 0;
        double synthesis = synthesis_fps(f, seconds);
        double video = video_fps(f, seconds, false, dropped);
        double fast = video_fps(f, seconds, true, fast_dropped);
        std::printf("%-16s %14.1f %14.1f %10d %14.1f\n", f.name, synthesis, video, dropped, fast);
    }
    return 0;
}
