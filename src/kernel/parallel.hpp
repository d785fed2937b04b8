// Work shared between threads of one call.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace plov {

// Runs `body(0)`, ..., `body(count - 1)` at once, `body(0)` on the calling thread, and
// waits for all of them. The first failure (in the order of the shares) is rethrown
// once every thread has ended; `stop` is set as soon as one share fails, and shares
// that run long check it now and then. Shares must not wait for each other: those whose
// thread could not be started run on the calling thread after its own. Only the calling
// thread's share may call back into the caller (for example to ask whether to go on).
template <class F>
void run_parallel(std::size_t count, std::atomic<bool>& stop, F&& body) {
    std::vector<std::exception_ptr> failures(count);
    std::vector<std::thread> threads;
    std::size_t started = 1;
    try {
        threads.reserve(count > 1 ? count - 1 : 0);
        for (; started < count; ++started)
            threads.emplace_back([&body, &failures, &stop, t = started] {
                try {
                    body(t);
                } catch (...) {
                    failures[t] = std::current_exception();
                    stop.store(true, std::memory_order_relaxed);
                }
            });
    } catch (const std::exception&) {
        // no more threads (std::system_error, or no memory for one): the rest run here
    }
    try {
        body(std::size_t{0});
        for (std::size_t t = started; t < count; ++t) body(t);
    } catch (...) {
        // the calling thread's own failure wins; it is rethrown as it is, which a
        // forced unwind requires
        stop.store(true, std::memory_order_relaxed);
        for (std::thread& t : threads) t.join();
        throw;
    }
    for (std::thread& t : threads) t.join();
    for (const std::exception_ptr& f : failures)
        if (f) std::rethrow_exception(f);
}

// The bounds of share `t` of `count` items cut into `shares` nearly equal runs.
inline std::size_t share_begin(std::size_t count, std::size_t shares, std::size_t t) noexcept {
    return count / shares * t + std::min(t, count % shares);
}

}  // namespace plov
