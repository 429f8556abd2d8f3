// Attach and detach scopes and the process-wide pool of releases deferred while detached.
#include "interface/attach.hpp"

#include "interface/once.hpp"
#include "panic.hpp"

#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace corvane {

/// The references dropped while their thread was detached, in the order they were dropped.
class PendingReleasePool {
  public:
    PoisonMutex mutex;
    std::vector<PyObject*> pending;
};

namespace {

// Passed once, the first time an attach finds the interpreter initialized after having found it
// not initialized; after that the check is skipped.
constinit OnceFlag initialized_check;

PendingReleasePool& pool_for_recording() {
    PendingReleasePool* pool = detail::pending_release_pool.load(std::memory_order_acquire);
    if (pool != nullptr) [[likely]]
        return *pool;
    // The pool lives until the process ends: the pointer that wins the race is never freed.
    auto fresh = std::make_unique<PendingReleasePool>();
    if (detail::pending_release_pool.compare_exchange_strong(
            pool, fresh.get(), std::memory_order_acq_rel, std::memory_order_acquire))
        return *fresh.release();
    return *pool;
}

// Py_DECREF leaves immortal objects untouched and deallocates at zero.
void release_now(PyObject* object) noexcept {
    Py_DECREF(object);
}

} // namespace

namespace detail {

void drain_on_open(bool ensured, PyGILState_STATE state) {
    try {
        drain_pending_releases();
    } catch (...) {
        if (ensured) PyGILState_Release(state);
        --attach_depth;
        throw;
    }
}

} // namespace detail

AttachScope AttachScope::acquire_detached() {
    if (Py_IsInitialized() == 0) {
        initialized_check.call_once([] {
            if (Py_IsInitialized() == 0)
                panic_static("assertion failed: the Python interpreter is not initialized and "
                             "automatic initialization is not enabled.\n\nInitialize the "
                             "interpreter (for example with Py_InitializeEx) before using its "
                             "API.");
            return true;
        });
    } else if (Py_IsFinalizing() != 0) {
        panic_static("Cannot attach to the Python interpreter while it is finalizing.");
    }
    const PyGILState_STATE state = PyGILState_Ensure();
    ++detail::attach_depth;
    if (detail::pending_release_pool.load(std::memory_order_acquire) != nullptr)
        detail::drain_on_open(true, state);
    return AttachScope(true, state);
}

DetachScope::DetachScope() noexcept : saved_depth_(detail::attach_depth) {
    detail::attach_depth = 0;
    thread_state_ = PyEval_SaveThread();
}

DetachScope::~DetachScope() noexcept(false) {
    reattach();
}

void DetachScope::reattach() {
    if (thread_state_ == nullptr) return;
    detail::attach_depth = saved_depth_;
    PyEval_RestoreThread(std::exchange(thread_state_, nullptr));
    if (detail::pending_release_pool.load(std::memory_order_acquire) != nullptr)
        drain_pending_releases();
}

void release_reference(PyObject* object) noexcept {
    if (detail::attach_depth > 0) {
        release_now(object);
        return;
    }
    // Without the interpreter lock a reference that cannot be recorded (no memory for the pool or
    // its array) can only be kept: the object lives on, which is safe. Nothing throws while the
    // pool's lock is held, so it never becomes poisoned; were it ever, the reference is kept too.
    try {
        PendingReleasePool& pool = pool_for_recording();
        const PoisonMutex::Guard held = pool.mutex.lock();
        try {
            pool.pending.push_back(object);
        } catch (const std::bad_alloc&) {
        }
    } catch (...) {
    }
}

void drain_pending_releases() {
    PendingReleasePool* pool = detail::pending_release_pool.load(std::memory_order_acquire);
    if (pool == nullptr) return;
    std::vector<PyObject*> taken;
    {
        const PoisonMutex::Guard held = pool->mutex.lock();
        if (pool->pending.empty()) return;
        taken.swap(pool->pending);
    }
    // Releasing may run arbitrary finalizers, which may defer or drain further releases; the lock
    // is not held, and what they record lands in the fresh array.
    for (PyObject* object : taken)
        release_now(object);
}

std::size_t pending_release_count() {
    PendingReleasePool* pool = detail::pending_release_pool.load(std::memory_order_acquire);
    if (pool == nullptr) return 0;
    const PoisonMutex::Guard held = pool->mutex.lock();
    return pool->pending.size();
}

} // namespace corvane
