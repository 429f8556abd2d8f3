// The leaf mutex, once-only flags and interpreter once-cells, across threads.
#include "interface/attach.hpp"
#include "interface/once.hpp"
#include "interface/owned.hpp"
#include "panic.hpp"

#include <gtest/gtest.h>

#include <Python.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace corvane {
namespace {

using namespace std::chrono_literals;

/// Ends the process with SIGALRM unless dismissed in time, so that a deadlock fails instead of
/// hanging.
struct Watchdog {
    explicit Watchdog(unsigned seconds) { ::alarm(seconds); }
    ~Watchdog() { ::alarm(0); }
};

/// Polls, with the interpreter lock given up, until a thread is parked on `flag`; true when one
/// was seen before the deadline. Caller attached.
bool wait_detached_for_parked_waiter(const OnceFlag& flag) {
    DetachScope detached;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!flag.has_waiters()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(PoisonMutex, ExcludesConcurrentHoldersAndWakesEveryWaiter) {
    PoisonMutex mutex;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                const auto held = mutex.lock();
                counter = counter + 1;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(counter, 8 * 20000);
    EXPECT_FALSE(mutex.is_poisoned());
}

// Taken and released in a destructor that runs during unwinding: not poisoned by that unwinding.
struct LocksWhileUnwinding {
    PoisonMutex& mutex;
    ~LocksWhileUnwinding() { const auto held = mutex.lock(); }
};

TEST(PoisonMutex, OnlyUnwindingThroughAHeldGuardPoisonsAndLockThenPanicsEveryTime) {
    PoisonMutex mutex;
    try {
        LocksWhileUnwinding probe{mutex};
        throw std::runtime_error("unwinding");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(mutex.is_poisoned());

    try {
        const auto held = mutex.lock();
        throw std::runtime_error("failure while held");
    } catch (const std::runtime_error&) {
    }
    ASSERT_TRUE(mutex.is_poisoned());
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            const auto held = mutex.lock();
            ADD_FAILURE() << "a poisoned mutex was locked";
        } catch (const Panic& failure) {
            EXPECT_STREQ(std::get<const char*>(failure.payload()),
                         "called `Result::unwrap()` on an `Err` value: PoisonError { .. }");
        }
    }
}

TEST(OnceFlag, ManyCallersRunTheRoutineOnceAndAllSeeItComplete) {
    OnceFlag flag;
    std::atomic<int> runs{0};
    std::atomic<int> completed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            const bool complete = flag.call_once([&] {
                ++runs;
                std::this_thread::sleep_for(20ms);
                return true;
            });
            if (complete && flag.is_complete()) ++completed;
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(completed.load(), 8);
}

TEST(InterpreterOnceCell, OneInitializerRunsAttachedWhileTheOtherThreadWaitsDetached) {
    Watchdog watchdog(60);
    InterpreterOnceCell<Owned> cell;
    std::atomic<int> runs{0};
    std::atomic<bool> saw_waiter{false}, attached_in_init{true};
    auto init = [&] {
        ++runs;
        attached_in_init = attached_in_init && attach_depth() == 1 && PyGILState_Check();
        // Lets the other thread in; re-attaching afterwards only succeeds if its wait on the
        // cell does not hold the interpreter lock.
        saw_waiter = wait_detached_for_parked_waiter(cell.once_flag());
        attached_in_init = attached_in_init && attach_depth() == 1 && PyGILState_Check();
        return Owned(PyUnicode_FromString("made once"));
    };
    PyObject* seen[2] = {nullptr, nullptr};
    bool attached_after[2] = {false, false};
    auto caller = [&](int index) {
        auto scope = AttachScope::acquire();
        seen[index] = cell.get_or_init(init).get();
        attached_after[index] = attach_depth() == 1 && PyGILState_Check();
    };
    std::thread other(caller, 1);
    caller(0);
    other.join();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_TRUE(saw_waiter.load());
    EXPECT_TRUE(attached_in_init.load());
    EXPECT_TRUE(attached_after[0] && attached_after[1]);
    ASSERT_NE(seen[0], nullptr);
    EXPECT_EQ(seen[0], seen[1]);
    auto scope = AttachScope::acquire();
    ASSERT_NE(cell.get(), nullptr);
    EXPECT_STREQ(PyUnicode_AsUTF8(cell.get()->get()), "made once");
}

TEST(InterpreterOnceCell, FailingFallibleInitLeavesItEmptyReturnsTheErrorAndRunsAgainNextTime) {
    auto scope = AttachScope::acquire();
    InterpreterOnceCell<int> cell;
    auto error = std::make_unique<std::string>("not yet");
    const std::string* const error_identity = error.get();
    auto failed = cell.get_or_try_init([&]() -> std::expected<int, std::unique_ptr<std::string>> {
        return std::unexpected(std::move(error));
    });
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().get(), error_identity);
    EXPECT_EQ(cell.get(), nullptr);

    int runs = 0;
    auto make = [&]() -> std::expected<int, std::unique_ptr<std::string>> { return ++runs * 42; };
    auto made = cell.get_or_try_init(make);
    auto again = cell.get_or_try_init(make);
    ASSERT_TRUE(made.has_value() && again.has_value());
    EXPECT_EQ(made->get(), 42);
    EXPECT_EQ(&made->get(), &again->get());
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(cell.get_or_init([] { return 0; }), 42);
}

enum class Failure { returns_error, panics };

std::string failure_name(const ::testing::TestParamInfo<Failure>& info) {
    return info.param == Failure::panics ? "panics" : "returns_error";
}

class FailedInit : public ::testing::TestWithParam<Failure> {};

TEST_P(FailedInit, LeavesTheCellEmptyAndTheWaiterInitializesItInstead) {
    Watchdog watchdog(60);
    InterpreterOnceCell<int> cell;
    using Result = std::expected<int, std::string>;
    std::atomic<bool> first_running{false};
    bool saw_waiter = false, first_panicked = false;
    std::string first_error;
    std::thread first([&] {
        auto scope = AttachScope::acquire();
        try {
            auto result = cell.get_or_try_init([&]() -> Result {
                first_running = true;
                saw_waiter = wait_detached_for_parked_waiter(cell.once_flag());
                if (GetParam() == Failure::panics) panic_static("init failed");
                return std::unexpected("init refused");
            });
            if (!result) first_error = result.error();
        } catch (const Panic&) {
            first_panicked = true;
        }
        EXPECT_EQ(attach_depth(), 1);
    });
    while (!first_running)
        std::this_thread::yield();
    int second_value = 0;
    {
        auto scope = AttachScope::acquire();
        second_value = cell.get_or_init([] { return 7; });
    }
    first.join();
    EXPECT_TRUE(saw_waiter);
    EXPECT_EQ(second_value, 7);
    if (GetParam() == Failure::panics)
        EXPECT_TRUE(first_panicked);
    else
        EXPECT_EQ(first_error, "init refused");
    ASSERT_NE(cell.get(), nullptr);
    EXPECT_EQ(*cell.get(), 7);
}

INSTANTIATE_TEST_SUITE_P(Failures, FailedInit,
                         ::testing::Values(Failure::returns_error, Failure::panics), failure_name);

} // namespace
} // namespace corvane
