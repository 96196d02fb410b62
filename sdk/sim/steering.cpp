// The control interface of asisim.h: journal, forced statuses, scripted outputs, and the
// simulator-wide switches (reset, configuration, version text, camera info overrides).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "asisim.h"
#include "sim.hpp"

namespace asisim {

std::atomic<unsigned> steering{0};

namespace {

// Parameter names exactly as in ASICamera2.h, since the journal shows them.
const FunctionInfo kFunctions[kFunctionCount] = {
    {"ASIGetNumOfConnectedCameras", 0, {}, 0},
    {"ASIGetCameraProperty", 2, {"pASICameraInfo", "iCameraIndex"}, 1},
    {"ASIGetCameraPropertyByID", 2, {"iCameraID", "pASICameraInfo"}, 1},
    {"ASICameraCheck", 2, {"iVID", "iPID"}, 0},
    {"ASIGetSDKVersion", 0, {}, 0},
    {"ASIOpenCamera", 1, {"iCameraID"}, 0},
    {"ASIInitCamera", 1, {"iCameraID"}, 0},
    {"ASICloseCamera", 1, {"iCameraID"}, 0},
    {"ASIGetID", 2, {"iCameraID", "pID"}, 1},
    {"ASISetID", 2, {"iCameraID", "ID"}, 0},
    {"ASIGetSerialNumber", 2, {"iCameraID", "pSN"}, 1},
    {"ASIGetNumOfControls", 2, {"iCameraID", "piNumberOfControls"}, 1},
    {"ASIGetControlCaps", 3, {"iCameraID", "iControlIndex", "pControlCaps"}, 1},
    {"ASIGetControlValue", 4, {"iCameraID", "ControlType", "plValue", "pbAuto"}, 2},
    {"ASISetControlValue", 4, {"iCameraID", "ControlType", "lValue", "bAuto"}, 0},
    {"ASISetROIFormat", 5, {"iCameraID", "iWidth", "iHeight", "iBin", "Img_type"}, 0},
    {"ASIGetROIFormat", 5, {"iCameraID", "piWidth", "piHeight", "piBin", "pImg_type"}, 4},
    {"ASISetStartPos", 3, {"iCameraID", "iStartX", "iStartY"}, 0},
    {"ASIGetStartPos", 3, {"iCameraID", "piStartX", "piStartY"}, 2},
    {"ASIStartExposure", 2, {"iCameraID", "bIsDark"}, 0},
    {"ASIStopExposure", 1, {"iCameraID"}, 0},
    {"ASIGetExpStatus", 2, {"iCameraID", "pExpStatus"}, 1},
    {"ASIGetDataAfterExp", 3, {"iCameraID", "pBuffer", "lBuffSize"}, 1},
    {"ASIGetDataAfterExpGPS", 4, {"iCameraID", "pBuffer", "lBuffSize", "gpsData"}, 2},
    {"ASIStartVideoCapture", 1, {"iCameraID"}, 0},
    {"ASIStopVideoCapture", 1, {"iCameraID"}, 0},
    {"ASIGetVideoData", 4, {"iCameraID", "pBuffer", "lBuffSize", "iWaitms"}, 1},
    {"ASIGetVideoDataGPS", 5, {"iCameraID", "pBuffer", "lBuffSize", "iWaitms", "gpsData"}, 2},
    {"ASIGetDroppedFrames", 2, {"iCameraID", "piDropFrames"}, 1},
    {"ASIPulseGuideOn", 2, {"iCameraID", "direction"}, 0},
    {"ASIPulseGuideOff", 2, {"iCameraID", "direction"}, 0},
    {"ASIEnableDarkSubtract", 2, {"iCameraID", "pcBMPPath"}, 0},
    {"ASIDisableDarkSubtract", 1, {"iCameraID"}, 0},
    {"ASIGetGainOffset",
     5,
     {"iCameraID", "pOffset_HighestDR", "pOffset_UnityGain", "pGain_LowestRN", "pOffset_LowestRN"},
     4},
    {"ASIGetLMHGainOffset", 5, {"iCameraID", "pLGain", "pMGain", "pHGain", "pHOffset"}, 4},
    {"ASIGetCameraSupportMode", 2, {"iCameraID", "pSupportedMode"}, 1},
    {"ASIGetCameraMode", 2, {"iCameraID", "mode"}, 1},
    {"ASISetCameraMode", 2, {"iCameraID", "mode"}, 0},
    {"ASISendSoftTrigger", 2, {"iCameraID", "bStart"}, 0},
    {"ASISetTriggerOutputIOConf", 5, {"iCameraID", "pin", "bPinHigh", "lDelay", "lDuration"}, 0},
    {"ASIGetTriggerOutputIOConf", 5, {"iCameraID", "pin", "bPinHigh", "lDelay", "lDuration"}, 3},
    {"ASIGPSGetData", 3, {"iCameraID", "startLineGPSData", "endLineGPSData"}, 2},
};

struct Forced {
    bool set = false;
    int value = 0;
    int remaining = 0; ///< -1: every call
};

struct Script {
    int output;
    std::vector<unsigned char> bytes;
};

struct Steering {
    std::mutex mutex;
    std::string journal;
    std::array<Forced, kFunctionCount> forced{};
    std::array<std::vector<Script>, kFunctionCount> scripts;
    bool journal_on = false;
};

Steering& state() {
    static Steering* s = new Steering; // never destroyed: SDK calls may outlive static teardown
    return *s;
}

// Called with the mutex held: the steering bits follow what is set.
void update_bits(Steering& s) {
    unsigned bits = s.journal_on ? kJournalOn : 0;
    for (int i = 0; i < kFunctionCount; ++i) {
        if (s.forced[i].set)
            bits |= kForcedSet;
        if (!s.scripts[i].empty())
            bits |= kScriptsSet;
    }
    steering.store(bits, std::memory_order_relaxed);
}

int find_function(const char* name) {
    if (name == nullptr)
        return -1;
    for (int i = 0; i < kFunctionCount; ++i)
        if (std::strcmp(kFunctions[i].name, name) == 0)
            return i;
    return -1;
}

// The configuration asisim_reset returns to: ASISIM_CONFIG when set and valid, else the
// built-in set. A bad file is reported on stderr and through asisim_last_error.
Config environment_config() {
    const char* path = std::getenv("ASISIM_CONFIG");
    if (path == nullptr || *path == '\0')
        return default_config();
    Config config;
    std::string error;
    if (load_config_file(path, config, error))
        return config;
    std::fprintf(stderr, "asisim: %s; using the built-in cameras\n", error.c_str());
    Simulator& sim = simulator();
    std::lock_guard lock(sim.config_mutex);
    sim.last_error = error;
    return default_config();
}

const char* const kDefaultVersion = "1, 37, 0, sim";
std::atomic<const char*> version_text{kDefaultVersion};

void install(const Config& config) {
    apply_config(config);
    Simulator& sim = simulator();
    sim.fast_frames.store(config.fast_frames, std::memory_order_relaxed);
    version_text.store(kDefaultVersion, std::memory_order_release);
}

// Loading the library sets up the cameras, as plugging them in would.
const bool loaded = (install(environment_config()), true);

} // namespace

const FunctionInfo& function_info(Fn fn) {
    return kFunctions[static_cast<int>(fn)];
}

void journal_call(Fn fn, std::initializer_list<std::string> values) {
    const FunctionInfo& info = function_info(fn);
    std::string line = info.name;
    int i = 0;
    for (const std::string& value : values) {
        line += '\t';
        line += info.params[i++];
        line += '=';
        line += value;
    }
    line += '\n';
    Steering& s = state();
    std::lock_guard lock(s.mutex);
    if (s.journal_on) // it may have been switched off since the caller looked
        s.journal += line;
}

bool take_forced(Fn fn, int& value) {
    Steering& s = state();
    std::lock_guard lock(s.mutex);
    Forced& f = s.forced[static_cast<int>(fn)];
    if (!f.set)
        return false;
    value = f.value;
    if (f.remaining > 0 && --f.remaining == 0) {
        f.set = false;
        update_bits(s);
    }
    return true;
}

void write_scripts(Fn fn, std::initializer_list<Output> outputs) {
    Steering& s = state();
    std::lock_guard lock(s.mutex);
    for (const Script& script : s.scripts[static_cast<int>(fn)]) {
        if (script.output >= static_cast<int>(outputs.size()))
            continue;
        const Output& out = outputs.begin()[script.output];
        if (out.ptr != nullptr)
            std::memcpy(out.ptr, script.bytes.data(), std::min(out.size, script.bytes.size()));
    }
}

void reset_steering() {
    Steering& s = state();
    std::lock_guard lock(s.mutex);
    s.journal.clear();
    s.journal.shrink_to_fit();
    s.journal_on = false;
    s.forced = {};
    for (auto& scripts : s.scripts)
        scripts.clear();
    update_bits(s);
}

const char* sdk_version() {
    return version_text.load(std::memory_order_acquire);
}

} // namespace asisim

using namespace asisim;

extern "C" {

ASICAMERA_API void asisim_reset(void) {
    reset_steering();
    {
        Simulator& sim = simulator();
        std::lock_guard lock(sim.config_mutex);
        sim.last_error.clear();
    }
    install(environment_config());
}

ASICAMERA_API void asisim_journal_enable(int on) {
    Steering& s = state();
    std::lock_guard lock(s.mutex);
    s.journal_on = on != 0;
    update_bits(s);
}

ASICAMERA_API size_t asisim_journal_read(char* out, size_t capacity) {
    Steering& s = state();
    std::lock_guard lock(s.mutex);
    size_t needed = s.journal.size() + 1;
    if (out != nullptr && capacity >= needed)
        std::memcpy(out, s.journal.c_str(), needed);
    return needed;
}

ASICAMERA_API void asisim_journal_clear(void) {
    Steering& s = state();
    std::lock_guard lock(s.mutex);
    s.journal.clear();
}

ASICAMERA_API int asisim_force_status(const char* function, int value, int times) {
    int index = find_function(function);
    if (index < 0)
        return -1;
    Steering& s = state();
    std::lock_guard lock(s.mutex);
    Forced& f = s.forced[index];
    f.set = times != 0;
    f.value = value;
    f.remaining = times < 0 ? -1 : times;
    update_bits(s);
    return 0;
}

ASICAMERA_API void asisim_clear_forced(void) {
    Steering& s = state();
    std::lock_guard lock(s.mutex);
    s.forced = {};
    update_bits(s);
}

ASICAMERA_API int asisim_script_output(const char* function, int output, const void* bytes,
                                       size_t length) {
    int index = find_function(function);
    if (index < 0 || output < 0 || output >= kFunctions[index].outputs)
        return -1;
    if (bytes == nullptr && length > 0)
        return -1;
    Script script{output, {}};
    if (length > 0) {
        auto* first = static_cast<const unsigned char*>(bytes);
        script.bytes.assign(first, first + length);
    }
    Steering& s = state();
    std::lock_guard lock(s.mutex);
    auto& scripts = s.scripts[index];
    // A later script of the same output replaces the earlier one.
    std::erase_if(scripts, [&](const Script& old) { return old.output == output; });
    scripts.push_back(std::move(script));
    update_bits(s);
    return 0;
}

ASICAMERA_API void asisim_clear_scripts(void) {
    Steering& s = state();
    std::lock_guard lock(s.mutex);
    for (auto& scripts : s.scripts)
        scripts.clear();
    update_bits(s);
}

ASICAMERA_API void asisim_set_sdk_version(const char* bytes, long length) {
    if (length < 0) {
        version_text.store(nullptr, std::memory_order_release);
        return;
    }
    // Every text handed out stays valid: a caller may still be reading an older one.
    static std::mutex mutex;
    static auto* texts = new std::deque<std::string>;
    std::lock_guard lock(mutex);
    texts->emplace_back(bytes == nullptr ? "" : std::string(bytes, static_cast<size_t>(length)));
    version_text.store(texts->back().c_str(), std::memory_order_release);
}

ASICAMERA_API int asisim_set_camera_info(int index, const void* bytes, size_t length) {
    CameraLock camera = lock_camera(index);
    if (!camera || (bytes == nullptr && length > 0))
        return -1;
    std::memcpy(&camera->info, bytes, std::min(length, sizeof(ASI_CAMERA_INFO)));
    return 0;
}

ASICAMERA_API void asisim_set_fast_frames(int on) {
    Simulator& sim = simulator();
    sim.fast_frames.store(on != 0, std::memory_order_relaxed);
    // Video threads idle in fast-frames mode; wake them so they notice either way.
    for (int i = 0; i < kMaxCameras; ++i) {
        std::lock_guard lock(sim.cameras[i].mutex);
        sim.cameras[i].producer_wake.notify_all();
    }
}

ASICAMERA_API int asisim_load_config(const char* path) {
    Config config;
    if (path == nullptr) {
        config = default_config();
    } else {
        std::string error;
        if (!load_config_file(path, config, error)) {
            Simulator& sim = simulator();
            std::lock_guard lock(sim.config_mutex);
            sim.last_error = error;
            return -1;
        }
    }
    reset_steering();
    {
        Simulator& sim = simulator();
        std::lock_guard lock(sim.config_mutex);
        sim.last_error.clear();
    }
    install(config);
    return 0;
}

ASICAMERA_API const char* asisim_last_error(void) {
    // A copy per thread, so the text stays put while the caller reads it.
    thread_local std::string copy;
    Simulator& sim = simulator();
    std::lock_guard lock(sim.config_mutex);
    copy = sim.last_error;
    return copy.c_str();
}

} // extern "C"
