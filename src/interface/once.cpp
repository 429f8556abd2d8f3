// Parking on futexes, the poisoning leaf mutex and the slow path of once-only flags.
#include "interface/once.hpp"

#include "panic.hpp"

#include <climits>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace corvane {
namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "futex words must be plain 32-bit integers");

long futex(const std::atomic<std::uint32_t>& word, int operation, std::uint32_t value) noexcept {
    return ::syscall(SYS_futex, reinterpret_cast<const std::uint32_t*>(&word), operation, value,
                     nullptr, nullptr, 0);
}

} // namespace

void park(const std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
    futex(word, FUTEX_WAIT_PRIVATE, expected);
}

void unpark_one(const std::atomic<std::uint32_t>& word) noexcept {
    futex(word, FUTEX_WAKE_PRIVATE, 1);
}

void unpark_all(const std::atomic<std::uint32_t>& word) noexcept {
    futex(word, FUTEX_WAKE_PRIVATE, INT_MAX);
}

PoisonMutex::Guard PoisonMutex::lock() {
    acquire();
    if (poisoned_.load(std::memory_order_relaxed)) [[unlikely]] {
        release();
        panic_static("called `Result::unwrap()` on an `Err` value: PoisonError { .. }");
    }
    return Guard(*this);
}

PoisonMutex::Guard::~Guard() {
    if (std::uncaught_exceptions() > exceptions_at_lock_)
        mutex_.poisoned_.store(true, std::memory_order_relaxed);
    mutex_.release();
}

void PoisonMutex::acquire() noexcept {
    std::uint32_t expected = k_unlocked;
    if (state_.compare_exchange_strong(expected, k_locked, std::memory_order_acquire,
                                       std::memory_order_relaxed)) [[likely]]
        return;
    acquire_contended();
}

// Whoever takes the lock after having waited marks it contended, since other waiters may remain;
// that costs at most one needless wake.
void PoisonMutex::acquire_contended() noexcept {
    std::uint32_t seen = state_.exchange(k_contended, std::memory_order_acquire);
    while (seen != k_unlocked) {
        park(state_, k_contended);
        seen = state_.exchange(k_contended, std::memory_order_acquire);
    }
}

void PoisonMutex::release() noexcept {
    if (state_.exchange(k_unlocked, std::memory_order_release) == k_contended) unpark_one(state_);
}

bool OnceFlag::run_or_wait(const void* context, bool (*invoke)(const void*)) {
    std::uint32_t state = state_.load(std::memory_order_acquire);
    for (;;) {
        switch (state) {
        case k_complete:
            return true;
        case k_incomplete: {
            if (!state_.compare_exchange_weak(state, k_running, std::memory_order_acquire,
                                              std::memory_order_acquire))
                continue;
            // Publishes the outcome and wakes the waiters however the routine ends.
            struct Outcome {
                OnceFlag& flag;
                std::uint32_t final_state = k_incomplete;
                ~Outcome() {
                    if (flag.state_.exchange(final_state, std::memory_order_release) ==
                        k_running_with_waiters)
                        unpark_all(flag.state_);
                }
            } outcome{*this};
            const bool completed = invoke(context);
            if (completed) outcome.final_state = k_complete;
            return completed;
        }
        case k_running:
            if (!state_.compare_exchange_weak(state, k_running_with_waiters,
                                              std::memory_order_acquire, std::memory_order_acquire))
                continue;
            [[fallthrough]];
        default:
            park(state_, k_running_with_waiters);
            state = state_.load(std::memory_order_acquire);
        }
    }
}

} // namespace corvane
