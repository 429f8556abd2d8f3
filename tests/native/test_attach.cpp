// Attach and detach scopes, the depth count and the deferred release of references.
#include "interface/attach.hpp"
#include "interface/owned.hpp"
#include "panic.hpp"

#include <gtest/gtest.h>

#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace corvane {
namespace {

// Owners drop references from noexcept code (destructors, reset), so dropping one must never
// throw: a release that cannot be recorded would otherwise end the process in std::terminate.
static_assert(noexcept(release_reference(std::declval<PyObject*>())));

// Probes report their deallocation, by name, to `log` through a weak-reference callback.
constexpr const char* k_probe_code = R"(
import weakref
log = []
_callbacks = []
class Probe:
    pass
def probe(name):
    made = Probe()
    _callbacks.append(weakref.ref(made, lambda _ref: log.append(name)))
    return made
)";

/// A namespace holding the probe factory and the log of deallocated probes. Caller attached.
class Probes {
  public:
    Probes() : namespace_(PyDict_New()) {
        PyDict_SetItemString(namespace_.get(), "__builtins__", PyEval_GetBuiltins());
        Owned ran(PyRun_String(k_probe_code, Py_file_input, namespace_.get(), namespace_.get()));
        if (!ran) PyErr_Print();
    }

    Owned make(const char* name) const {
        return Owned(
            PyObject_CallFunction(PyDict_GetItemString(namespace_.get(), "probe"), "s", name));
    }

    std::vector<std::string> log() const {
        std::vector<std::string> names;
        PyObject* list = PyDict_GetItemString(namespace_.get(), "log");
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
            names.emplace_back(PyUnicode_AsUTF8(PyList_GET_ITEM(list, i)));
        return names;
    }

  private:
    Owned namespace_;
};

using Names = std::vector<std::string>;

TEST(AttachScopes, OnlyTheOutermostScopeTakesTheLockAndDepthCountsEveryScope) {
    ASSERT_EQ(attach_depth(), 0);
    ASSERT_FALSE(PyGILState_Check());
    {
        auto outer = AttachScope::acquire();
        EXPECT_TRUE(outer.ensured());
        EXPECT_EQ(attach_depth(), 1);
        EXPECT_TRUE(PyGILState_Check());
        {
            auto entry = AttachScope::assume();
            EXPECT_FALSE(entry.ensured());
            EXPECT_EQ(attach_depth(), 2);
            {
                auto nested = AttachScope::acquire();
                EXPECT_FALSE(nested.ensured());
                EXPECT_EQ(attach_depth(), 3);
            }
            EXPECT_EQ(attach_depth(), 2);
        }
        EXPECT_EQ(attach_depth(), 1);
        EXPECT_TRUE(PyGILState_Check());
    }
    EXPECT_EQ(attach_depth(), 0);
    EXPECT_FALSE(PyGILState_Check());
}

TEST(DetachScopes, DetachReadsAsDepthZeroAndReattachRestoresTheDepthOnce) {
    auto outer = AttachScope::acquire();
    auto entry = AttachScope::assume();
    {
        DetachScope detached;
        EXPECT_EQ(attach_depth(), 0);
        EXPECT_FALSE(PyGILState_Check());
        {
            // An acquire inside the wait must take the lock afresh.
            auto inside = AttachScope::acquire();
            EXPECT_TRUE(inside.ensured());
            EXPECT_TRUE(PyGILState_Check());
        }
        EXPECT_EQ(attach_depth(), 0);
        detached.reattach();
        EXPECT_EQ(attach_depth(), 2);
        EXPECT_TRUE(PyGILState_Check());
        detached.reattach();
        EXPECT_EQ(attach_depth(), 2);
    }
    EXPECT_EQ(attach_depth(), 2);
    EXPECT_TRUE(PyGILState_Check());
}

TEST(DeferredRelease, ReferencesDroppedWhileDetachedAreReleasedOnReattachInRecordingOrder) {
    auto attached = AttachScope::acquire();
    Probes probes;
    Owned a = probes.make("a"), b = probes.make("b"), c = probes.make("c");
    ASSERT_TRUE(a && b && c);
    const std::size_t before = pending_release_count();
    {
        DetachScope detached;
        b.reset();
        a.reset();
        c.reset();
        EXPECT_EQ(pending_release_count(), before + 3);
    }
    EXPECT_EQ(pending_release_count(), 0u);
    EXPECT_EQ(probes.log(), (Names{"b", "a", "c"}));
}

TEST(DeferredRelease, AnotherThreadsAttachAppliesReleasesDeferredHere) {
    auto attached = AttachScope::acquire();
    Probes probes;
    Owned probe = probes.make("elsewhere");
    Names seen_by_other;
    {
        DetachScope detached;
        probe.reset();
        std::thread other([&] {
            auto scope = AttachScope::acquire();
            seen_by_other = probes.log();
        });
        other.join();
    }
    EXPECT_EQ(seen_by_other, Names{"elsewhere"});
}

TEST(DeferredRelease, ClosingAScopeKeepsPendingReleasesAndTheNextOpeningAppliesThem) {
    auto attached = AttachScope::acquire();
    Probes probes;
    PyObject* probe = probes.make("late").release();
    Names after_close, after_open;
    {
        auto entry = AttachScope::assume();
        // A thread that is not attached drops the reference while this one holds the lock.
        std::thread other([probe] { release_reference(probe); });
        other.join();
    }
    after_close = probes.log();
    EXPECT_EQ(pending_release_count(), 1u);
    {
        auto entry = AttachScope::assume();
    }
    after_open = probes.log();
    EXPECT_EQ(after_close, Names{});
    EXPECT_EQ(after_open, Names{"late"});
}

TEST(DeferredRelease, ImmortalObjectsKeepTheirCountWhetherReleasedAtOnceOrDeferred) {
    auto attached = AttachScope::acquire();
    Owned small_int(PyLong_FromLong(7));
    Owned empty_text(PyUnicode_FromString(""));
    PyObject* const immortals[] = {Py_None, Py_True, Py_False, small_int.get(), empty_text.get()};
    for (PyObject* object : immortals) {
        ASSERT_TRUE(_Py_IsImmortal(object));
        const Py_ssize_t before = Py_REFCNT(object);
        for (int i = 0; i < 3; ++i)
            release_reference(object);
        {
            DetachScope detached;
            for (int i = 0; i < 3; ++i)
                release_reference(object);
        }
        EXPECT_EQ(Py_REFCNT(object), before) << Py_TYPE(object)->tp_name;
    }
}

// The facts below depend on what the process did before, so they run in a fresh child process.
std::string pool_lifecycle_problem() {
    if (pending_release_pool_exists()) return "pool exists at start";
    {
        auto attached = AttachScope::acquire();
        Owned list(PyList_New(0));
        list.reset();
        {
            DetachScope detached;
        }
        drain_pending_releases();
        if (pending_release_pool_exists()) return "pool created without a deferral";
        if (pending_release_count() != 0) return "count without a pool";
        Owned deferred(PyList_New(0));
        const Py_ssize_t before = Py_REFCNT(deferred.get());
        Owned extra = Owned::borrow(deferred.get());
        {
            DetachScope detached;
            extra.reset();
            if (!pending_release_pool_exists()) return "deferral did not create the pool";
            if (pending_release_count() != 1) return "deferral not recorded";
        }
        if (Py_REFCNT(deferred.get()) != before) return "reattach did not apply the release";
        if (pending_release_count() != 0) return "pool not emptied by the drain";
    }
    return pending_release_pool_exists() ? "" : "pool disappeared";
}

TEST(PendingReleasePoolDeathTest, IsCreatedByTheFirstDeferralAndNotBefore) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const std::string problem = pool_lifecycle_problem();
            std::fprintf(stderr, "problem: %s\n", problem.c_str());
            std::_Exit(problem.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "problem: \n");
}

// Counts the not-initialized panics of two attaches after the interpreter was finalized.
int panics_after_finalizing() {
    PyGILState_Ensure();
    if (Py_FinalizeEx() != 0) return -1;
    int panics = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            auto scope = AttachScope::acquire();
        } catch (const Panic& failure) {
            const char* const* text = std::get_if<const char*>(&failure.payload());
            if (text != nullptr && std::strstr(*text, "not initialized") != nullptr) ++panics;
        }
    }
    return panics;
}

TEST(AttachScopesDeathTest, AttachingToAnUninitializedInterpreterPanicsEveryTime) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(panics_after_finalizing()), ::testing::ExitedWithCode(2),
                "assertion failed: the Python interpreter is not initialized and automatic "
                "initialization is not enabled");
}

} // namespace
} // namespace corvane
