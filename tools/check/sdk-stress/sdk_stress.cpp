// Hammers the substitute ASICamera2 from many threads at once, the way a capture program
// and its test harness do: video readers waiting for frames (some without a time limit)
// while controllers start, stop, reconfigure and close the cameras under them, snap
// exposures, every other SDK call, a thread that works the asisim_ control interface
// (journal, forced statuses, scripted outputs, version text, fast frames, resets), and one
// that makes the world's events: cameras unplugged and plugged back under all of that,
// trigger pulses, ambient temperature, clouds.
//
//   sdk_stress [SECONDS]
//
// Built with a sanitizer (see CMakeLists.txt): any report ends the run with a non-zero
// exit. Without one it still catches deadlocks: the run must end by itself.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ASICamera2.h"
#include "asisim.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCameras = 3;                        // the built-in set
constexpr int kWidth = 64, kHeight = 8;            // small frames keep the threads busy with calls
constexpr long kBufferSize = kWidth * kHeight * 3; // room for every format

std::atomic<bool> running{true};
std::atomic<long> calls{0};
std::atomic<size_t> version_length{0}; ///< keeps the reads of the version text alive

/// A thread's own random numbers.
struct Dice {
    std::mt19937 engine;
    explicit Dice(unsigned seed) : engine(seed) {}
    int below(int n) { return static_cast<int>(engine() % static_cast<unsigned>(n)); }
    template <class T, size_t N> T pick(const std::array<T, N>& items) {
        return items[static_cast<size_t>(below(static_cast<int>(N)))];
    }
};

void count() {
    calls.fetch_add(1, std::memory_order_relaxed);
}

void prepare(int id, Dice& dice) {
    ASIOpenCamera(id);
    ASIInitCamera(id);
    ASISetROIFormat(id, kWidth, kHeight, 1, dice.pick(std::array{ASI_IMG_RAW8, ASI_IMG_RAW16}));
    ASISetControlValue(id, ASI_EXPOSURE, dice.pick(std::array{200L, 1000L, 5000L}), ASI_FALSE);
    count();
}

void reader(int id, unsigned seed) {
    Dice dice(seed);
    std::vector<unsigned char> buffer(kBufferSize);
    ASI_GPS_DATA gps;
    while (running.load()) {
        const int wait_ms = dice.pick(std::array{-1, 0, 5, 50});
        if (dice.below(4) == 0)
            ASIGetVideoDataGPS(id, buffer.data(), kBufferSize, wait_ms < 0 ? 50 : wait_ms, &gps);
        else
            ASIGetVideoData(id, buffer.data(), kBufferSize, wait_ms);
        count();
    }
}

void controller(int id, unsigned seed) {
    Dice dice(seed);
    std::vector<unsigned char> buffer(kBufferSize);
    while (running.load()) {
        switch (dice.below(16)) {
        case 0:
            ASICloseCamera(id);
            prepare(id, dice);
            ASIStartVideoCapture(id);
            break;
        case 1:
        case 2:
            ASIStopVideoCapture(id);
            ASIStartVideoCapture(id);
            break;
        case 3:
            ASISetControlValue(
                id,
                dice.pick(std::array{ASI_GAIN, ASI_EXPOSURE, ASI_FLIP, ASI_HIGH_SPEED_MODE,
                                     ASI_TARGET_TEMP, ASI_COOLER_ON}),
                dice.below(3000), dice.below(2) ? ASI_TRUE : ASI_FALSE);
            break;
        case 4: {
            long value;
            ASI_BOOL automatic;
            ASIGetControlValue(id,
                               dice.pick(std::array{ASI_GAIN, ASI_TEMPERATURE,
                                                    ASI_COOLER_POWER_PERC, ASI_EXPOSURE}),
                               &value, &automatic);
            int dropped;
            ASIGetDroppedFrames(id, &dropped);
            break;
        }
        case 5: {
            ASIStopVideoCapture(id);
            ASIStartExposure(id, dice.below(2) ? ASI_TRUE : ASI_FALSE);
            ASI_EXPOSURE_STATUS status;
            ASIGetExpStatus(id, &status);
            ASI_GPS_DATA gps;
            if (dice.below(2))
                ASIGetDataAfterExp(id, buffer.data(), kBufferSize);
            else
                ASIGetDataAfterExpGPS(id, buffer.data(), kBufferSize, &gps);
            ASIStopExposure(id);
            ASIStartVideoCapture(id);
            break;
        }
        case 6:
            ASIStopVideoCapture(id);
            ASISetROIFormat(
                id, kWidth, kHeight, 1,
                dice.pick(std::array{ASI_IMG_RAW8, ASI_IMG_RAW16, ASI_IMG_Y8, ASI_IMG_RGB24}));
            ASISetStartPos(id, dice.below(64), dice.below(64));
            ASIStartVideoCapture(id);
            break;
        case 7: {
            int width, height, bin, x, y;
            ASI_IMG_TYPE type;
            ASIGetROIFormat(id, &width, &height, &bin, &type);
            ASIGetStartPos(id, &x, &y);
            break;
        }
        case 8: {
            ASISetCameraMode(id,
                             dice.pick(std::array{ASI_MODE_NORMAL, ASI_MODE_TRIG_SOFT_EDGE,
                                                  ASI_MODE_TRIG_SOFT_LEVEL, ASI_MODE_TRIG_RISE_EDGE,
                                                  ASI_MODE_TRIG_HIGH_LEVEL}));
            ASISendSoftTrigger(id, ASI_TRUE);
            ASISendSoftTrigger(id, ASI_FALSE);
            ASI_CAMERA_MODE mode;
            ASIGetCameraMode(id, &mode);
            ASI_SUPPORTED_MODE modes;
            ASIGetCameraSupportMode(id, &modes);
            break;
        }
        case 9: {
            ASISetTriggerOutputIOConf(id, ASI_TRIG_OUTPUT_PINA, ASI_TRUE, dice.below(100), 10);
            ASI_BOOL high;
            long delay, duration;
            ASIGetTriggerOutputIOConf(id, ASI_TRIG_OUTPUT_PINB, &high, &delay, &duration);
            break;
        }
        case 10: {
            const auto direction = dice.pick(
                std::array{ASI_GUIDE_NORTH, ASI_GUIDE_SOUTH, ASI_GUIDE_EAST, ASI_GUIDE_WEST});
            ASIPulseGuideOn(id, direction);
            ASIPulseGuideOff(id, direction);
            break;
        }
        case 11: {
            char path[] = "no-such-dark-frame.bmp";
            ASIEnableDarkSubtract(id, path);
            ASIDisableDarkSubtract(id);
            break;
        }
        case 12: {
            int a, b, c, d;
            ASIGetGainOffset(id, &a, &b, &c, &d);
            ASIGetLMHGainOffset(id, &a, &b, &c, &d);
            ASI_GPS_DATA start, end;
            ASIGPSGetData(id, &start, &end);
            break;
        }
        case 13: {
            ASI_ID identifier;
            ASIGetID(id, &identifier);
            ASISetID(id, identifier);
            ASIGetSerialNumber(id, &identifier);
            break;
        }
        case 14: {
            int controls = 0;
            ASIGetNumOfControls(id, &controls);
            ASI_CONTROL_CAPS caps;
            ASIGetControlCaps(id, controls > 0 ? dice.below(controls) : 0, &caps);
            break;
        }
        default:
            // A camera plugged back is closed: open it again.
            if (ASIStartVideoCapture(id) == ASI_ERROR_CAMERA_CLOSED) {
                prepare(id, dice);
                ASIStartVideoCapture(id);
            }
            break;
        }
        count();
    }
}

void discoverer(unsigned seed) {
    Dice dice(seed);
    while (running.load()) {
        const int cameras = ASIGetNumOfConnectedCameras();
        ASI_CAMERA_INFO info;
        ASIGetCameraProperty(&info, dice.below(cameras + 1));
        ASIGetCameraPropertyByID(dice.below(kCameras + 1), &info);
        ASICameraCheck(0x1A5C, 0x5301 + dice.below(4));
        // The version text is the SDK's; read it while another thread may replace it.
        if (const char* version = ASIGetSDKVersion())
            version_length.store(std::strlen(version), std::memory_order_relaxed);
        count();
    }
}

constexpr std::array kSdkFunctions{
    "ASIGetVideoData",    "ASIGetVideoDataGPS",   "ASIOpenCamera",
    "ASIInitCamera",      "ASIStartVideoCapture", "ASIStopVideoCapture",
    "ASIGetControlValue", "ASIGetExpStatus",      "ASIGetDataAfterExp",
    "ASIGetROIFormat",    "ASIGetCameraProperty", "ASIGetNumOfConnectedCameras",
    "ASICameraCheck",     "ASIGetCameraMode",     "ASIGPSGetData",
};

void control_interface(unsigned seed) {
    Dice dice(seed);
    std::vector<char> journal;
    auto last_reset = Clock::now();
    while (running.load()) {
        switch (dice.below(12)) {
        case 0:
            asisim_journal_enable(dice.below(2));
            break;
        case 1: {
            journal.resize(asisim_journal_read(nullptr, 0) + 64);
            asisim_journal_read(journal.data(), journal.size());
            break;
        }
        case 2:
            asisim_journal_clear();
            break;
        case 3:
            asisim_force_status(dice.pick(kSdkFunctions), dice.below(24), 1);
            break;
        case 4:
            asisim_clear_forced();
            break;
        case 5: {
            const unsigned char bytes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
            asisim_script_output(dice.pick(kSdkFunctions), dice.below(2), bytes,
                                 1 + static_cast<size_t>(dice.below(sizeof bytes)));
            break;
        }
        case 6:
            asisim_clear_scripts();
            break;
        case 7: {
            const std::string text = "stress " + std::to_string(dice.below(1000));
            asisim_set_sdk_version(text.data(), static_cast<long>(text.size()));
            break;
        }
        case 8:
            asisim_set_fast_frames(dice.below(2));
            break;
        case 9: {
            ASI_CAMERA_INFO info;
            if (ASIGetCameraProperty(&info, dice.below(kCameras)) == ASI_SUCCESS)
                asisim_set_camera_info(info.CameraID, &info, sizeof info);
            break;
        }
        case 10:
            (void)asisim_last_error();
            break;
        default:
            // Resets end every capture at once; a few per second keep the cameras useful.
            if (Clock::now() - last_reset > std::chrono::milliseconds(300)) {
                asisim_reset();
                last_reset = Clock::now();
            }
            break;
        }
        count();
    }
}

// Unplugs and plugs back cameras while readers wait on them, snaps run and controllers
// close them; pulses their trigger inputs, changes the air and passes clouds.
void events(unsigned seed) {
    Dice dice(seed);
    while (running.load()) {
        const int id = dice.below(kCameras);
        switch (dice.below(8)) {
        case 0:
        case 1:
            asisim_unplug(id);
            std::this_thread::sleep_for(std::chrono::microseconds(dice.below(20000)));
            asisim_plug(id);
            break;
        case 2:
            asisim_unplug(id); // back at a later round, or by a reset
            break;
        case 3:
            asisim_plug(id);
            break;
        case 4:
        case 5:
            asisim_trigger_pulse(id, dice.below(3000));
            break;
        case 6:
            asisim_set_ambient_temperature(dice.below(60) - 20);
            break;
        default:
            asisim_pass_cloud(dice.below(101) / 100.0, 0.01 + dice.below(100) / 100.0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(dice.below(2000)));
        count();
    }
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    asisim_reset();
    {
        Dice dice(1);
        for (int id = 0; id < kCameras; ++id) {
            prepare(id, dice);
            ASIStartVideoCapture(id);
        }
    }
    std::vector<std::thread> workers, readers;
    unsigned seed = 100;
    for (int id = 0; id < kCameras; ++id) {
        for (int i = 0; i < 2; ++i)
            readers.emplace_back(reader, id, ++seed);
        workers.emplace_back(controller, id, ++seed);
    }
    workers.emplace_back(discoverer, ++seed);
    workers.emplace_back(control_interface, ++seed);
    workers.emplace_back(events, ++seed);

    const auto started = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    running.store(false);
    for (std::thread& worker : workers)
        worker.join();
    // Nothing restarts the capture now; stopping it wakes every reader still waiting.
    asisim_clear_forced();
    for (int id = 0; id < kCameras; ++id)
        ASIStopVideoCapture(id);
    for (std::thread& reader : readers)
        reader.join();
    asisim_reset();
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("sdk_stress: %ld SDK and control calls from %zu threads in %.1f s\n", calls.load(),
                workers.size() + readers.size(), elapsed);
    return 0;
}
