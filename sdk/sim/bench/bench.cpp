// Frame rates of the simulator: how fast it synthesises frames, and what a reader of
// video gets through the SDK for the two benchmark formats, with and without fast frames.
//
//   asisim_bench [seconds per measurement]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
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

// Seconds of CPU this thread has used: a figure for one core that other programs on a
// busy machine do not change.
double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

// Frames per CPU second the renderer alone makes for camera 0 (no clock, no SDK) on one
// thread, the field standing still or trailing over `trail` sensor pixels (a new path
// every frame).
double synthesis_fps(const Format& f, double seconds, double trail = -1) {
    asisim::Config config = asisim::default_config();
    asisim::simulator().render_threads.store(1);
    asisim::Renderer renderer(config.cameras[0], config.sky, 0);
    asisim::FrameRequest request;
    request.width = f.width;
    request.height = f.height;
    request.type = f.type;
    request.exposure_s = 0.001;
    std::vector<std::uint8_t> frame(asisim::image_bytes(f.width, f.height, f.type));
    renderer.render(request, frame.data()); // the scene is made once, not per frame
    int frames = 0;
    double start = thread_seconds();
    while (thread_seconds() - start < seconds) {
        if (trail >= 0) {
            // A drift along a diagonal, moved on by a pixel each frame so that every frame
            // renders its scene again.
            request.path.clear();
            for (int k = 0; k <= 16; ++k)
                request.path.push_back(
                    {frames + trail * k / 16 * 0.8, frames + trail * k / 16 * 0.6});
        }
        renderer.render(request, frame.data());
        ++frames;
    }
    return frames / (thread_seconds() - start);
}

// Frames per second a reader gets from ASIGetVideoData at the shortest exposure and the
// full USB bandwidth; fast frames 0 (real time), 1 (fresh noise) or
// ASISIM_FAST_FRAMES_KEEP_NOISE.
double video_fps(const Format& f, double seconds, int fast, int& dropped) {
    asisim_reset();
    asisim::simulator().render_threads.store(int(std::thread::hardware_concurrency()));
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
    std::printf("%-16s %10s %10s %10s %10s %8s %10s %10s\n", "format", "noise", "scene", "trailed",
                "video", "dropped", "fast", "fast kept");
    std::printf("%-16s %10s %10s %10s %10s %8s %10s %10s\n", "", "fps/core", "fps/core", "fps/core",
                "fps", "", "fps", "fps");
    for (const Format& f : formats) {
        int dropped = 0, fast_dropped = 0;
        double synthesis = synthesis_fps(f, seconds);
        double scene = synthesis_fps(f, seconds, 0);
        double trailed = synthesis_fps(f, seconds, 5);
        double video = video_fps(f, seconds, 0, dropped);
        double fast = video_fps(f, seconds, 1, fast_dropped);
        double kept = video_fps(f, seconds, ASISIM_FAST_FRAMES_KEEP_NOISE, fast_dropped);
        std::printf("%-16s %10.1f %10.1f %10.1f %10.1f %8d %10.1f %10.1f\n", f.name, synthesis,
                    scene, trailed, video, dropped, fast, kept);
    }
    return 0;
}
