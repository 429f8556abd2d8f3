// The error value, the text forms of objects and the entry frame's panic translation.
#include "interface/attach.hpp"
#include "interface/error.hpp"
#include "interface/object_text.hpp"
#include "interface/panic_translation.hpp"
#include "interface/panic_type.hpp"

#include <gtest/gtest.h>

#include <Python.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace corvane {
namespace {

/// Each test runs attached, with no exception pending at its start or end.
class ErrorTest : public ::testing::Test {
  protected:
    void TearDown() override {
        EXPECT_EQ(PyErr_Occurred(), nullptr);
        PyErr_Clear();
    }
    AttachScope attached_ = AttachScope::acquire();
};

/// Evaluates a Python expression; the test fails when it raises.
Owned evaluate(const char* expression) {
    Owned globals(PyDict_New());
    PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
    Owned result(PyRun_String(expression, Py_eval_input, globals.get(), globals.get()));
    if (!result) PyErr_Print();
    EXPECT_TRUE(result);
    return result;
}

/// Takes the pending exception and returns "TypeName: message".
std::string take_raised() {
    Owned raised(PyErr_GetRaisedException());
    if (!raised) return "<nothing pending>";
    std::string text = Py_TYPE(raised.get())->tp_name;
    text += ": ";
    display_object(raised.get(), text);
    return text;
}

TEST_F(ErrorTest, LazyErrorsRaiseTheirKindAndMessage) {
    PyErr::new_lazy(ExceptionKind::type_error, std::string("bad argument")).set_pending();
    EXPECT_EQ(take_raised(), "TypeError: bad argument");
    PyErr::new_lazy(ExceptionKind::import_error, "no import").set_pending();
    EXPECT_EQ(take_raised(), "ImportError: no import");
}

TEST_F(ErrorTest, FetchWithNothingPendingGivesSystemError) {
    PyErr::fetch_pending().set_pending();
    EXPECT_EQ(take_raised(), "SystemError: attempted to fetch exception but none was set");
}

TEST_F(ErrorTest, PendingExceptionRoundTripsAsTheSameInstance) {
    Owned instance = evaluate("ValueError('kept')");
    PyErr_SetRaisedException(Owned::borrow(instance.get()).release());
    PyErr fetched = PyErr::fetch_pending();
    EXPECT_EQ(PyErr_Occurred(), nullptr);
    EXPECT_EQ(fetched.instance(), instance.get());
    EXPECT_TRUE(fetched.conforms_to(PyExc_Exception));
    EXPECT_FALSE(fetched.conforms_to(PyExc_TypeError));
    std::move(fetched).set_pending();
    Owned again(PyErr_GetRaisedException());
    EXPECT_EQ(again.get(), instance.get());
}

TEST_F(ErrorTest, NonExceptionObjectRaisesTypeErrorAboutBaseException) {
    PyErr::from_object(evaluate("42")).set_pending();
    EXPECT_EQ(take_raised(), "TypeError: exceptions must derive from BaseException");
}

TEST_F(ErrorTest, LazyErrorNormalizesOnceToAnInstance) {
    PyErr error = PyErr::new_lazy(ExceptionKind::type_error, "lazy");
    PyObject* first = error.instance();
    EXPECT_EQ(error.instance(), first);
    EXPECT_EQ(error.exception_type().get(), PyExc_TypeError);
    std::string text;
    display_object(first, text);
    EXPECT_EQ(text, "lazy");
}

TEST_F(ErrorTest, CauseIsReadAndAttachedWithContextSuppressed) {
    PyErr outer = PyErr::new_lazy(ExceptionKind::type_error, "outer");
    EXPECT_FALSE(outer.read_cause().has_value());
    outer.attach_cause(PyErr::from_object(evaluate("KeyError('inner')")));
    std::optional<PyErr> cause = outer.read_cause();
    ASSERT_TRUE(cause.has_value());
    EXPECT_TRUE(cause->conforms_to(PyExc_KeyError));
    EXPECT_EQ(reinterpret_cast<PyBaseExceptionObject*>(outer.instance())->suppress_context, 1);
}

TEST_F(ErrorTest, DebugFormShowsTypeValueAndTraceback) {
    EXPECT_EQ(PyErr::new_lazy(ExceptionKind::type_error, "it's \"odd\"").debug(),
              "PyErr { type: <class 'TypeError'>, value: TypeError('it\\'s \"odd\"'), traceback: "
              "None }");

    PyRun_SimpleString(
        "def _corvane_fail():\n    raise ValueError('deep')\n"
        "try:\n    _corvane_fail()\nexcept ValueError as e:\n    _corvane_caught = e\n");
    Owned main_module(PyImport_AddModuleRef("__main__"));
    Owned caught(PyObject_GetAttrString(main_module.get(), "_corvane_caught"));
    ASSERT_TRUE(caught);
    const std::string debug = PyErr::from_object(std::move(caught)).debug();
    EXPECT_TRUE(debug.starts_with("PyErr { type: <class 'ValueError'>, value: ValueError('deep'), "
                                  "traceback: Some(\"Traceback (most recent call last):\\n"))
        << debug;
    EXPECT_NE(debug.find("in _corvane_fail\\n"), std::string::npos) << debug;
    EXPECT_TRUE(debug.ends_with("\") }")) << debug;
}

TEST_F(ErrorTest, LoneSurrogatesBecomeReplacementCharacters) {
    EXPECT_EQ(lossy_text(evaluate("'a\\ud800b'").get()), "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
                                                         "b");
    EXPECT_EQ(lossy_text(evaluate("'caf\\u00e9'").get()), "caf\xC3\xA9");
}

TEST_F(ErrorTest, UnprintableObjectIsReportedAndNamedByType) {
    Owned hook =
        evaluate("__import__('sys').__dict__.__setitem__('unraisablehook', lambda u: None)");
    Owned object = evaluate("type('Grumpy', (), {'__str__': lambda self: 1 / 0})()");
    std::string text;
    display_object(object.get(), text);
    EXPECT_EQ(text, "<unprintable Grumpy object>");
    evaluate("__import__('sys').__dict__.__setitem__('unraisablehook', "
             "__import__('sys').__unraisablehook__)");
}

TEST_F(ErrorTest, ErrorSharedByThreadsIsNormalizedOnceWhileOthersWaitDetached) {
    std::atomic<int> builds = 0;
    PyErr error = PyErr::from_builder([&builds]() -> RaisableParts {
        ++builds;
        {
            // Give the lock away for a while: a thread that waited for this normalization while
            // holding the lock would deadlock here.
            DetachScope detached;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return {Owned::borrow(PyExc_KeyError), Owned::borrow(Py_None)};
    });
    PyObject* seen_by_other = nullptr;
    std::thread other;
    {
        DetachScope detached;
        other = std::thread([&] {
            AttachScope attached = AttachScope::acquire();
            seen_by_other = error.instance();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    PyObject* seen_here = error.instance();
    {
        DetachScope detached;
        other.join();
    }
    EXPECT_EQ(builds.load(), 1);
    EXPECT_EQ(seen_here, seen_by_other);
    EXPECT_TRUE(error.conforms_to(PyExc_KeyError));
}

TEST_F(ErrorTest, NormalizingAnErrorFromItsOwnBuilderIsRefused) {
    auto holder = std::make_shared<std::optional<PyErr>>();
    holder->emplace(PyErr::from_builder([holder]() -> RaisableParts {
        (*holder)->instance();
        return {Owned::borrow(PyExc_KeyError), Owned::borrow(Py_None)};
    }));
    ::testing::internal::CaptureStderr();
    std::optional<std::string> message;
    try {
        (*holder)->instance();
    } catch (const Panic& failure) {
        message = std::get<const char*>(failure.payload());
    }
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(message, "Re-entrant normalization of PyErrState detected");
    holder->reset(); // the builder keeps the holder alive; break the cycle
}

// ---- the entry frame ---------------------------------------------------------------------------

TEST_F(ErrorTest, EntryReturnsTheBodysValue) {
    PyObject* result =
        run_entry([]() -> std::expected<Owned, PyErr> { return Owned(PyLong_FromLong(7)); });
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(PyLong_AsLong(result), 7);
    Py_DECREF(result);
}

TEST_F(ErrorTest, EntryMakesTheBodysErrorPending) {
    PyObject* result = run_entry([]() -> std::expected<Owned, PyErr> {
        return std::unexpected(PyErr::new_lazy(ExceptionKind::type_error, "refused"));
    });
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(take_raised(), "TypeError: refused");
}

TEST_F(ErrorTest, EntryTurnsAPanicIntoPanicException) {
    ::testing::internal::CaptureStderr();
    PyObject* result = run_entry([]() -> std::expected<Owned, PyErr> { panic("it broke"); });
    const std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, nullptr);
    Owned raised(PyErr_GetRaisedException());
    ASSERT_TRUE(raised);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(raised.get()));
    EXPECT_EQ(type, panic_exception_type());
    Owned module(PyObject_GetAttrString(type, "__module__"));
    Owned name(PyObject_GetAttrString(type, "__name__"));
    EXPECT_EQ(lossy_text(module.get()) + "." + lossy_text(name.get()),
              "pyo3_runtime.PanicException");
    EXPECT_FALSE(PyErr_GivenExceptionMatches(type, PyExc_Exception));
    EXPECT_TRUE(PyErr_GivenExceptionMatches(type, PyExc_BaseException));
    Owned args(PyObject_GetAttrString(raised.get(), "args"));
    ASSERT_TRUE(PyTuple_Check(args.get()));
    ASSERT_EQ(PyTuple_GET_SIZE(args.get()), 1);
    EXPECT_EQ(lossy_text(PyTuple_GET_ITEM(args.get(), 0)), "it broke");
    EXPECT_NE(report.find("panicked at"), std::string::npos) << report;
    EXPECT_NE(report.find("it broke"), std::string::npos) << report;
}

TEST_F(ErrorTest, EntryTurnsMemoryExhaustionIntoMemoryError) {
    PyObject* result = run_entry([]() -> std::expected<Owned, PyErr> { throw std::bad_alloc(); });
    EXPECT_EQ(result, nullptr);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
    PyErr_Clear();
}

TEST_F(ErrorTest, NonTextPanicPayloadGetsAFixedMessage) {
    PyErr error = panic_to_error(PanicPayload(std::monostate{}));
    std::move(error).set_pending();
    EXPECT_EQ(take_raised(),
              "PanicException: panic from native code with a payload that is not text");
}

// The abort paths run in a child process; the parent checks its end and its report.
using EntryDeathTest = ErrorTest;

TEST_F(EntryDeathTest, PanicWhileMakingTheErrorPendingAbortsAtTheBoundary) {
    EXPECT_EXIT(
        {
            run_entry([]() -> std::expected<Owned, PyErr> {
                return std::unexpected(
                    PyErr::from_builder([]() -> RaisableParts { panic("builder broke"); }));
            });
        },
        ::testing::KilledBySignal(SIGABRT),
        "builder broke(.|\n)*uncaught panic at ffi boundary(.|\n)*panic in a function that "
        "cannot unwind");
}

/// Stands in for the creation of the PanicException class: fails with an exception whose repr
/// raises, so that describing the failure fetches a further error.
PyObject* fail_with_unrepresentable_error(const char*, const char*, PyObject*, PyObject*) {
    Owned error =
        evaluate("type('Unrepresentable', (Exception,), {'__repr__': lambda self: 1 / 0})()");
    PyErr_SetRaisedException(error.release());
    return nullptr;
}

// In a fresh process, where the type does not exist yet. The errors fetched while the failure is
// described must not wait for the type being created: that would wait forever on itself.
TEST_F(EntryDeathTest, FailedPanicTypeCreationPanicsWithoutWaitingOnItselfAndIsRetried) {
    EXPECT_EXIT(
        {
            evaluate("__import__('sys').__dict__.__setitem__('unraisablehook', lambda u: None)");
            detail::new_exception_type = fail_with_unrepresentable_error;
            std::string message = "<no panic>";
            try {
                panic_exception_type();
            } catch (const Panic& failure) {
                message = std::get<std::string>(failure.payload());
            }
            detail::new_exception_type = PyErr_NewExceptionWithDoc;
            const bool retried = panic_exception_type() == existing_panic_exception_type() &&
                                 existing_panic_exception_type() != nullptr;
            std::fprintf(stderr, "outcome: %s; retried: %d\n", message.c_str(), retried);
            std::fflush(stderr);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0),
        "outcome: Failed to initialize new exception type.: PyErr \\{ type: <class "
        "'Unrepresentable'>, value: <unprintable Unrepresentable object>, traceback: None "
        "\\}; retried: 1");
}

TEST_F(EntryDeathTest, ForeignExceptionAbortsWithFatalRuntimeError) {
    EXPECT_EXIT(
        {
            run_entry(
                []() -> std::expected<Owned, PyErr> { throw std::runtime_error("not ours"); });
        },
        ::testing::KilledBySignal(SIGABRT), "fatal runtime error: .*not ours");
}

} // namespace
} // namespace corvane
