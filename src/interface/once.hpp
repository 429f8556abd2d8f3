// Thread parking, the poisoning leaf mutex, once-only flags and the process-wide interpreter cells.
#pragma once

#include "interface/attach.hpp"

#include <atomic>
#include <cstdint>
#include <exception>
#include <expected>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

namespace corvane {

/// Sleeps while `word` holds `expected`; returns on a wake, a changed value or a signal.
void park(const std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept;

/// Wakes one thread parked on `word`.
void unpark_one(const std::atomic<std::uint32_t>& word) noexcept;

/// Wakes every thread parked on `word`.
void unpark_all(const std::atomic<std::uint32_t>& word) noexcept;

/// A small lock for a few instructions of work (unlocked, locked, locked with waiters) whose
/// waiters park. It becomes poisoned when an exception unwinds through a held guard, and every
/// later `lock` then panics.
class PoisonMutex {
  public:
    class [[nodiscard]] Guard {
      public:
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        ~Guard();

      private:
        friend class PoisonMutex;
        explicit Guard(PoisonMutex& mutex) noexcept
            : mutex_(mutex), exceptions_at_lock_(std::uncaught_exceptions()) {}

        PoisonMutex& mutex_;
        int exceptions_at_lock_;
    };

    constexpr PoisonMutex() noexcept = default;
    PoisonMutex(const PoisonMutex&) = delete;
    PoisonMutex& operator=(const PoisonMutex&) = delete;

    /// Takes the lock; panics with the poison message, without holding it, when poisoned.
    Guard lock();
    /// Whether a holder unwound with the lock held.
    bool is_poisoned() const noexcept { return poisoned_.load(std::memory_order_relaxed); }

  private:
    void acquire() noexcept;
    void acquire_contended() noexcept;
    void release() noexcept;

    static constexpr std::uint32_t k_unlocked = 0;
    static constexpr std::uint32_t k_locked = 1;
    static constexpr std::uint32_t k_contended = 2;

    std::atomic<std::uint32_t> state_{k_unlocked};
    std::atomic<bool> poisoned_{false};
};

/// A once-only completion flag. Threads that find the routine running park until it completes or
/// fails; they never spin. The flag knows nothing of the interpreter: its waiters must already be
/// detached.
class OnceFlag {
  public:
    constexpr OnceFlag() noexcept = default;
    OnceFlag(const OnceFlag&) = delete;
    OnceFlag& operator=(const OnceFlag&) = delete;

    /// Whether a routine has completed the flag (acquire load).
    bool is_complete() const noexcept {
        return state_.load(std::memory_order_acquire) == k_complete;
    }

    /// Whether a routine is running and at least one thread is parked waiting for it.
    bool has_waiters() const noexcept {
        return state_.load(std::memory_order_relaxed) == k_running_with_waiters;
    }

    /// Runs `routine` (returning bool) on exactly one thread unless the flag is complete; other
    /// callers park until it ends. true completes the flag; false or an exception returns it to
    /// incomplete and wakes the waiters, one of which then runs its own routine. An exception
    /// propagates to the thread that ran the routine. Returns whether the flag is complete.
    template <class Routine>
    bool call_once(Routine&& routine) {
        if (is_complete()) [[likely]]
            return true;
        using Target = std::remove_reference_t<Routine>;
        auto invoke = [](const void* context) -> bool {
            Target& target = *static_cast<Target*>(const_cast<void*>(context));
            return static_cast<bool>(std::invoke(target));
        };
        return run_or_wait(std::addressof(routine), invoke);
    }

  private:
    bool run_or_wait(const void* context, bool (*invoke)(const void*));

    static constexpr std::uint32_t k_incomplete = 0;
    static constexpr std::uint32_t k_running = 1;
    static constexpr std::uint32_t k_running_with_waiters = 2;
    static constexpr std::uint32_t k_complete = 3;

    std::atomic<std::uint32_t> state_{k_incomplete};
};

/// A process-wide once-only cell for interpreter objects (typically a strong reference that is
/// never released). Filled cells cost one acquire load; the initializer runs attached, at most one
/// at a time, while other threads wait detached.
template <class T>
class InterpreterOnceCell {
  public:
    constexpr InterpreterOnceCell() noexcept = default;
    InterpreterOnceCell(const InterpreterOnceCell&) = delete;
    InterpreterOnceCell& operator=(const InterpreterOnceCell&) = delete;

    /// The value when the cell is filled, else null.
    const T* get() const noexcept { return flag_.is_complete() ? &*value_ : nullptr; }

    /// The value, running `init()` once per process to make it. Caller attached.
    template <class Init>
    const T& get_or_init(Init&& init) {
        if (const T* value = get()) [[likely]]
            return *value;
        initialize([&] -> bool {
            value_.emplace(std::invoke(init));
            return true;
        });
        return *value_;
    }

    /// As `get_or_init` for an `init()` returning std::expected<T, E>: an error leaves the cell
    /// empty, wakes the waiters and is returned unchanged. Caller attached.
    template <class Init>
    auto get_or_try_init(Init&& init)
        -> std::expected<std::reference_wrapper<const T>,
                         typename std::invoke_result_t<Init&>::error_type> {
        using Error = typename std::invoke_result_t<Init&>::error_type;
        if (const T* value = get()) [[likely]]
            return std::cref(*value);
        std::optional<Error> error;
        initialize([&] -> bool {
            auto result = std::invoke(init);
            if (!result.has_value()) {
                error.emplace(std::move(result).error());
                return false;
            }
            value_.emplace(std::move(*result));
            return true;
        });
        if (error) return std::unexpected(std::move(*error));
        return std::cref(*value_);
    }

    /// The cell's completion flag, for tests that watch its waiters.
    const OnceFlag& once_flag() const noexcept { return flag_; }

  private:
    // The wait for another thread's initializer happens detached, so that it can take the
    // interpreter lock; the thread that runs the initializer re-attaches first.
    template <class Routine>
    void initialize(Routine&& routine) {
        DetachScope detached;
        if (flag_.is_complete()) return;
        flag_.call_once([&] -> bool {
            detached.reattach();
            return routine();
        });
    }

    OnceFlag flag_;
    std::optional<T> value_;
};

// Process-wide cells are constant-initialized statics that are never torn down.
static_assert(std::is_trivially_destructible_v<InterpreterOnceCell<PyObject*>>);

} // namespace corvane
