// The small check harness of the simulator's C++ test drivers: each check counts, a failed
// one prints its place, and the driver closes with "N passed, N failed".
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace checks {

inline int passed = 0, failed = 0;

inline void check(bool ok, const char* what, const char* file, int line) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED %s:%d: %s\n", file, line, what);
    }
}

/// The closing line, and the driver's exit status.
inline int report() {
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

/// A path of this process's own in the temporary folder: drivers of several builds may
/// run at once, and /tmp may be shared with them.
inline std::string temporary_path(const std::string& name) {
    const char* folder = std::getenv("TMPDIR");
    return std::string(folder && *folder ? folder : "/tmp") + "/asisim_test_" +
           std::to_string(::getpid()) + "_" + name;
}

} // namespace checks

#define CHECK(cond) ::checks::check((cond), #cond, __FILE__, __LINE__)
#define CHECK_EQ(a, b) ::checks::check((a) == (b), #a " == " #b, __FILE__, __LINE__)
