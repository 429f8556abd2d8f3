// The error value: lazy and normalized errors, and the pending-exception protocol.
#pragma once

#include "interface/once.hpp"
#include "interface/owned.hpp"

#include <Python.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>

namespace corvane {

/// The exception kinds that lazy errors are made of.
enum class ExceptionKind { system_error, type_error, import_error, panic_exception };

/// What a lazy error's builder hands over when it is raised: the exception type and its argument.
struct RaisableParts {
    Owned type;
    Owned value;
};

/// A one-shot builder, called with the interpreter lock held.
using ErrorBuilder = std::move_only_function<RaisableParts()>;

class PyErrState;

/// The one error value of the interface layer: lazy (a builder, run only when the error is raised
/// or inspected) or normalized (a live exception instance). Move-only.
class PyErr {
  public:
    PyErr(PyErr&&) noexcept;
    PyErr& operator=(PyErr&&) noexcept;
    ~PyErr();

    /// A lazy error of `kind` whose message is built into a str only when needed.
    static PyErr new_lazy(ExceptionKind kind, std::string message);
    static PyErr new_lazy(ExceptionKind kind, const char* static_message);
    /// A lazy error with a custom builder.
    static PyErr from_builder(ErrorBuilder builder);
    /// Normalized when `object` is an exception instance; otherwise lazy with the object as type
    /// and None as argument (raising it then reports that exceptions must derive from
    /// BaseException).
    static PyErr from_object(Owned object);

    /// The interpreter's pending exception, if any. A PanicException raised by Python code is not
    /// returned: it resumes the panic instead.
    static std::optional<PyErr> take_pending();
    /// As take_pending, with SystemError "attempted to fetch exception but none was set" when
    /// nothing is pending. Used after every interpreter call that signalled failure.
    static PyErr fetch_pending();
    /// Hands the error to the interpreter: it becomes the pending exception.
    void set_pending() &&;

    /// The exception instance (borrowed from this error), normalizing on demand.
    PyObject* instance();
    /// A new reference to the instance's type.
    Owned exception_type();
    /// Whether the instance's type matches `type` (subclasses included).
    bool conforms_to(PyObject* type);
    /// The instance's __cause__ as an error, if it has one.
    std::optional<PyErr> read_cause();
    /// Sets (or clears, when empty) the instance's __cause__; this also suppresses its context.
    void attach_cause(std::optional<PyErr> cause);
    /// A new reference to the normalized instance; the error is consumed.
    Owned into_instance() &&;

    /// Appends "PyErr { type: ..., value: ..., traceback: ... }".
    void write_debug(std::string& sink);
    std::string debug();

  private:
    explicit PyErr(std::unique_ptr<PyErrState> state) noexcept;
    std::unique_ptr<PyErrState> state_;
};

/// Prints the pending exception (PyErr_Print) and panics with "Python API call failed". For
/// interpreter calls that cannot fail in a working interpreter.
[[noreturn, gnu::cold]] void fail_after_api_error();

} // namespace corvane
