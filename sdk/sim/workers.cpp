// The simulator's worker threads: started on the first frame that wants them, waiting for
// bands of rows until the process ends.
#include "workers.hpp"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

#include "sim.hpp"

namespace asisim {

namespace {

/// Helpers beyond the caller, at most.
constexpr int kMostHelpers = 15;

class Workers {
public:
    explicit Workers(int helpers) {
        try {
            for (; helpers_ < helpers; ++helpers_)
                std::thread([this] { serve(); }).detach();
        } catch (const std::system_error&) {
            // No more threads to be had: the ones started serve.
        }
    }

    int helpers() const { return helpers_; }

    // One job at a time: `busy` is held by its caller until every band has finished.
    std::mutex busy;

    void run(int bands, int threads, const std::function<void(int)>& band) {
        std::unique_lock lock(mutex_);
        job_ = &band;
        bands_ = bands;
        next_ = done_ = 0;
        // Helpers beyond the threads asked for stay asleep.
        wanted_ = std::min(threads - 1, helpers_);
        ++generation_;
        wake_.notify_all();
        take_bands(lock);
        finished_.wait(lock, [&] { return done_ == bands_; });
        job_ = nullptr;
        // A band that failed on a worker fails the caller, as it would have on its own.
        if (std::exception_ptr failed = std::exchange(failure_, nullptr))
            std::rethrow_exception(failed);
    }

private:
    void serve() {
        std::unique_lock lock(mutex_);
        std::uint64_t seen = 0;
        for (;;) {
            wake_.wait(lock, [&] { return generation_ != seen && wanted_ > 0; });
            seen = generation_;
            --wanted_;
            take_bands(lock);
        }
    }

    // Runs bands of the current job until none is left; the lock is held between bands.
    void take_bands(std::unique_lock<std::mutex>& lock) {
        while (job_ != nullptr && next_ < bands_) {
            int index = next_++;
            const std::function<void(int)>& band = *job_;
            lock.unlock();
            std::exception_ptr failed;
            try {
                band(index);
            } catch (...) {
                failed = std::current_exception();
            }
            lock.lock();
            if (failed && !failure_)
                failure_ = failed;
            if (++done_ == bands_)
                finished_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    const std::function<void(int)>* job_ = nullptr;
    int bands_ = 0, next_ = 0, done_ = 0, wanted_ = 0, helpers_ = 0;
    std::uint64_t generation_ = 0;
    std::exception_ptr failure_; ///< the first band of the job that threw
};

// The pool, grown when more threads are asked for. Never destroyed: its threads wait for
// work until the process ends. A child process made by fork has none of its parent's
// threads, so it starts a pool of its own.
Workers* pool(int helpers) {
    static std::mutex mutex;
    static Workers* workers = nullptr;
    static pid_t owner = 0;
    std::lock_guard lock(mutex);
    if (workers == nullptr || owner != getpid() || workers->helpers() < helpers) {
        if (workers != nullptr && owner == getpid()) {
            // Wait for its job to finish; its threads stay asleep from then on.
            std::lock_guard quiet(workers->busy);
        }
        auto* grown = new (std::nothrow) Workers(helpers);
        if (grown == nullptr)
            return workers != nullptr && owner == getpid() ? workers : nullptr;
        workers = grown;
        owner = getpid();
    }
    return workers;
}

} // namespace

int render_threads() {
    int configured = simulator().render_threads.load(std::memory_order_relaxed);
    if (configured > 0)
        return configured;
    // A core is left to the program under test (capture, guiding), whose timing matters.
    unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(cores > 1 ? cores - 1 : 1u, 1u, 1u + kMostHelpers));
}

void run_bands(int bands, int threads, const std::function<void(int)>& band) {
    threads = std::min({threads, bands, 1 + kMostHelpers});
    if (threads > 1) {
        Workers* workers = pool(threads - 1);
        std::unique_lock<std::mutex> busy;
        if (workers != nullptr)
            busy = std::unique_lock(workers->busy, std::try_to_lock);
        if (busy) {
            workers->run(bands, threads, band);
            return;
        }
    }
    for (int index = 0; index < bands; ++index)
        band(index);
}

} // namespace asisim
