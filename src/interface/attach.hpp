// Attachment to the interpreter: attach and detach scopes, and deferred release of references.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace corvane {

class PendingReleasePool;

namespace detail {

// How many attachment scopes this thread has open; 0 while it is not attached as far as this
// module knows. Never negative.
inline thread_local constinit std::intptr_t attach_depth = 0;

// The pool of releases deferred while detached; null until the first deferral, then never reset.
inline constinit std::atomic<PendingReleasePool*> pending_release_pool{nullptr};

// Applies the pending releases when a scope opens; undoes the scope's opening if that panics.
void drain_on_open(bool ensured, PyGILState_STATE state);

} // namespace detail

/// This thread's count of open attachment scopes.
inline std::intptr_t attach_depth() noexcept {
    return detail::attach_depth;
}

/// One open attachment to the interpreter: either assumed (the thread already held the
/// interpreter lock) or ensured (taken with PyGILState_Ensure, handed back on close).
class AttachScope {
  public:
    AttachScope(const AttachScope&) = delete;
    AttachScope& operator=(const AttachScope&) = delete;

    /// Opens a scope on a thread that holds the interpreter lock, applying pending releases.
    [[nodiscard]] static AttachScope assume();
    /// Opens a scope, taking the interpreter lock when the thread is not attached yet.
    [[nodiscard]] static AttachScope acquire();
    /// Hands the lock back when it was taken here, then closes the scope. Does not drain.
    ~AttachScope();

    /// Whether this scope took the interpreter lock itself.
    bool ensured() const noexcept { return ensured_; }

  private:
    AttachScope(bool ensured, PyGILState_STATE state) noexcept : ensured_(ensured), state_(state) {}
    [[gnu::cold]] static AttachScope acquire_detached();

    bool ensured_;
    PyGILState_STATE state_;
};

inline AttachScope AttachScope::assume() {
    ++detail::attach_depth;
    if (detail::pending_release_pool.load(std::memory_order_acquire) != nullptr)
        detail::drain_on_open(false, PyGILState_UNLOCKED);
    return AttachScope(false, PyGILState_UNLOCKED);
}

inline AttachScope AttachScope::acquire() {
    if (detail::attach_depth > 0) return assume();
    return acquire_detached();
}

inline AttachScope::~AttachScope() {
    if (ensured_) PyGILState_Release(state_);
    --detail::attach_depth;
}

/// Gives up the interpreter lock around a wait that another attached thread may have to end.
/// While detached, the thread's depth reads 0, so releases are deferred and an acquire inside the
/// wait takes the lock afresh.
class DetachScope {
  public:
    /// Saves the depth, sets it to 0 and releases the interpreter lock. Caller attached.
    DetachScope() noexcept;
    DetachScope(const DetachScope&) = delete;
    DetachScope& operator=(const DetachScope&) = delete;
    /// Re-attaches unless `reattach` already did.
    ~DetachScope() noexcept(false);

    /// Restores the depth, takes the interpreter lock back and applies pending releases. Only the
    /// first call does anything.
    void reattach();

  private:
    std::intptr_t saved_depth_;
    PyThreadState* thread_state_;
};

/// Drops one owned reference to a non-null object: at once when attached (immortal objects are left
/// alone), else recorded in the pending-release pool. Never throws: a release that cannot be
/// recorded for lack of memory keeps the object alive instead.
void release_reference(PyObject* object) noexcept;

/// Applies every recorded release, in recording order, without holding the pool's lock while
/// doing so. Caller attached.
void drain_pending_releases();

/// Whether any release was ever deferred in this process.
inline bool pending_release_pool_exists() noexcept {
    return detail::pending_release_pool.load(std::memory_order_acquire) != nullptr;
}

/// How many releases are recorded and not yet applied.
std::size_t pending_release_count();

} // namespace corvane
