// The control interface of asisim.h: the journal and its text, forced statuses, scripted
// outputs, and the simulator-wide switches (reset, configuration, version text, camera
// info overrides).
#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>

#include "asisim.h"
#include "control.hpp"
#include "sim.hpp"

namespace asisim {

std::atomic<unsigned> control_bits{0};

namespace {

struct Forced {
    bool set = false;
    int value = 0;
    int remaining = 0; ///< -1: every call
};

struct Script {
    int output;
    std::vector<unsigned char> bytes;
};

struct ControlState {
    std::mutex mutex;
    std::string journal;
    std::array<Forced, kFunctionCount> forced{};
    std::array<std::vector<Script>, kFunctionCount> scripts;
    bool journal_on = false;
};

ControlState& state() {
    static ControlState* created =
        new ControlState; // never destroyed: SDK calls may outlive static teardown
    return *created;
}

// Called with the mutex held: the control bits follow what is set.
void update_bits(ControlState& control) {
    unsigned bits = control.journal_on ? kJournalOn : 0;
    for (int i = 0; i < kFunctionCount; ++i) {
        if (control.forced[i].set)
            bits |= kForcedSet;
        if (!control.scripts[i].empty())
            bits |= kScriptsSet;
    }
    control_bits.store(bits, std::memory_order_relaxed);
}

int find_function(const char* name) {
    if (name == nullptr)
        return -1;
    for (int i = 0; i < kFunctionCount; ++i)
        if (std::strcmp(kFunctions[i].name, name) == 0)
            return i;
    return -1;
}

const char* const kDefaultVersion = "1, 37, 0, sim";
std::atomic<const char*> version_text{kDefaultVersion};

std::string hex_bytes(const unsigned char* bytes, std::size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text = "hex:";
    for (std::size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

} // namespace

std::string journal_number(long long value) {
    return std::to_string(value);
}

std::string journal_pointer(const void* pointer) {
    return pointer == nullptr ? "null" : "ptr";
}

std::string journal_path(const char* path) {
    if (path == nullptr)
        return "null";
    return hex_bytes(reinterpret_cast<const unsigned char*>(path), std::strlen(path));
}

std::string journal_id(const ASI_ID& id) {
    return hex_bytes(id.id, sizeof id.id);
}

void journal_call(Fn fn, std::initializer_list<std::string> values) {
    const FunctionInfo& info = kFunctions[static_cast<int>(fn)];
    std::string line = info.name;
    int i = 0;
    for (const std::string& value : values) {
        line += '\t';
        line += info.params[i++];
        line += '=';
        line += value;
    }
    line += '\n';
    ControlState& control = state();
    std::lock_guard lock(control.mutex);
    if (control.journal_on) // it may have been switched off since the caller looked
        control.journal += line;
}

bool take_forced(Fn fn, int& value) {
    ControlState& control = state();
    std::lock_guard lock(control.mutex);
    Forced& entry = control.forced[static_cast<int>(fn)];
    if (!entry.set)
        return false;
    value = entry.value;
    if (entry.remaining > 0 && --entry.remaining == 0) {
        entry.set = false;
        update_bits(control);
    }
    return true;
}

void write_scripts(Fn fn, const std::vector<Output>& outputs) {
    ControlState& control = state();
    std::lock_guard lock(control.mutex);
    for (const Script& script : control.scripts[static_cast<int>(fn)]) {
        if (script.output >= static_cast<int>(outputs.size()))
            continue;
        const Output& output = outputs[script.output];
        if (output.pointer != nullptr)
            std::memcpy(output.pointer, script.bytes.data(),
                        std::min(output.size, script.bytes.size()));
    }
}

void reset_control() {
    ControlState& control = state();
    std::lock_guard lock(control.mutex);
    control.journal.clear();
    control.journal.shrink_to_fit();
    control.journal_on = false;
    control.forced = {};
    for (auto& scripts : control.scripts)
        scripts.clear();
    update_bits(control);
    version_text.store(kDefaultVersion, std::memory_order_release);
}

const char* sdk_version() {
    return version_text.load(std::memory_order_acquire);
}

} // namespace asisim

using namespace asisim;

extern "C" {

ASICAMERA_API void asisim_reset(void) {
    reset_control();
    clear_clouds();
    reset_configuration();
}

ASICAMERA_API void asisim_journal_enable(int on) {
    ControlState& control = state();
    std::lock_guard lock(control.mutex);
    control.journal_on = on != 0;
    update_bits(control);
}

ASICAMERA_API size_t asisim_journal_read(char* out, size_t capacity) {
    ControlState& control = state();
    std::lock_guard lock(control.mutex);
    size_t needed = control.journal.size() + 1;
    if (out != nullptr && capacity >= needed)
        std::memcpy(out, control.journal.c_str(), needed);
    return needed;
}

ASICAMERA_API void asisim_journal_clear(void) {
    ControlState& control = state();
    std::lock_guard lock(control.mutex);
    control.journal.clear();
}

ASICAMERA_API int asisim_force_status(const char* function, int value, int times) {
    int index = find_function(function);
    if (index < 0)
        return -1;
    ControlState& control = state();
    std::lock_guard lock(control.mutex);
    Forced& entry = control.forced[index];
    entry.set = times != 0;
    entry.value = value;
    entry.remaining = times < 0 ? -1 : times;
    update_bits(control);
    return 0;
}

ASICAMERA_API void asisim_clear_forced(void) {
    ControlState& control = state();
    std::lock_guard lock(control.mutex);
    control.forced = {};
    update_bits(control);
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
    ControlState& control = state();
    std::lock_guard lock(control.mutex);
    auto& scripts = control.scripts[index];
    // A later script of the same output replaces the earlier one.
    std::erase_if(scripts, [&](const Script& old) { return old.output == output; });
    scripts.push_back(std::move(script));
    update_bits(control);
    return 0;
}

ASICAMERA_API void asisim_clear_scripts(void) {
    ControlState& control = state();
    std::lock_guard lock(control.mutex);
    for (auto& scripts : control.scripts)
        scripts.clear();
    update_bits(control);
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
    CameraLock camera = lock_slot(index);
    if (!camera || (bytes == nullptr && length > 0))
        return -1;
    std::memcpy(&camera->info, bytes, std::min(length, sizeof(ASI_CAMERA_INFO)));
    return 0;
}

ASICAMERA_API void asisim_set_fast_frames(int on) {
    Simulator& sim = simulator();
    sim.fast_frames_fresh_noise.store(on != ASISIM_FAST_FRAMES_KEEP_NOISE,
                                      std::memory_order_relaxed);
    sim.fast_frames.store(on != 0, std::memory_order_relaxed);
    // Video threads idle in fast-frames mode; wake them so they notice either way.
    for (int i = 0; i < kMaxCameras; ++i) {
        std::lock_guard lock(sim.cameras[i].mutex);
        sim.cameras[i].producer_wake.notify_all();
    }
}

ASICAMERA_API int asisim_load_config(const char* path) {
    if (!load_configuration(path))
        return -1;
    reset_control();
    clear_clouds();
    return 0;
}

ASICAMERA_API const char* asisim_last_error(void) {
    // A copy per thread, so the text stays put while the caller reads it.
    thread_local std::string copy;
    copy = last_configuration_error();
    return copy.c_str();
}

ASICAMERA_API int asisim_unplug(int index) {
    return unplug_camera(index) ? 0 : -1;
}

ASICAMERA_API int asisim_plug(int index) {
    return plug_camera(index) ? 0 : -1;
}

ASICAMERA_API int asisim_trigger_pulse(int camera_id, long duration_us) {
    return trigger_pulse(camera_id, duration_us * 1e-6) ? 0 : -1;
}

ASICAMERA_API int asisim_set_ambient_temperature(double celsius) {
    return set_ambient_temperature(celsius) ? 0 : -1;
}

ASICAMERA_API int asisim_pass_cloud(double transparency, double seconds) {
    return pass_cloud(transparency, seconds) ? 0 : -1;
}

} // extern "C"
