// Threads that share the rows of a frame: the renderer's stages split their rows into
// bands, and the simulator's workers take bands beside the thread that asked.
#pragma once

#include <functional>

namespace asisim {

/// Threads a frame may use: the configured number, or for 0 one per core but one.
int render_threads();

/// Runs band(0) .. band(bands - 1) on up to `threads` threads, the caller's among them, and
/// returns when all have finished. Bands must write disjoint data; what each computes may
/// not depend on which thread runs it, so frames stay the same for any number of threads.
/// While another frame has the workers, the caller runs every band itself.
void run_bands(int bands, int threads, const std::function<void(int)>& band);

} // namespace asisim
