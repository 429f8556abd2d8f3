// The error value: lazy and normalized errors, and the pending-exception protocol.
#include "interface/error.hpp"

#include "interface/attach.hpp"
#include "interface/object_text.hpp"
#include "interface/panic_type.hpp"
#include "panic.hpp"

#include <cstdio>
#include <exception>
#include <new>

namespace corvane {

// ---- state -------------------------------------------------------------------------------------

using InnerState = std::variant<ErrorBuilder, Owned>;

/// The inner state of a PyErr and the bookkeeping that makes its normalization happen once, on
/// whichever thread asks first, with the others waiting detached.
class PyErrState {
  public:
    explicit PyErrState(ErrorBuilder builder) : inner(InnerState(std::move(builder))) {}
    explicit PyErrState(Owned instance) : inner(InnerState(std::move(instance))) {
        normalized.call_once([] { return true; });
    }

    OnceFlag normalized;
    std::optional<InnerState> inner;

    /// Runs `step` on the record of the normalizing thread, under its mutex.
    template <class Step>
    void with_thread_record(Step&& step) {
        PoisonMutex::Guard guard = thread_mutex_.lock();
        step(normalizing_thread_);
    }

  private:
    PoisonMutex thread_mutex_;
    std::optional<std::thread::id> normalizing_thread_;
};

PyErr::PyErr(std::unique_ptr<PyErrState> state) noexcept : state_(std::move(state)) {}
PyErr::PyErr(PyErr&&) noexcept = default;
PyErr& PyErr::operator=(PyErr&&) noexcept = default;
PyErr::~PyErr() = default;

namespace {

[[noreturn, gnu::cold]] void unreachable_state() {
    panic_static("internal error: entered unreachable code");
}

PyObject* normalized_instance_of(PyErrState& state) {
    if (!state.inner) unreachable_state();
    Owned* instance = std::get_if<Owned>(&*state.inner);
    if (instance == nullptr) unreachable_state();
    return instance->get();
}

/// Raises a lazy error's parts in the interpreter; the builder is consumed.
void raise_built(ErrorBuilder builder) {
    RaisableParts parts = builder();
    builder = nullptr;
    if (PyExceptionClass_Check(parts.type.get()))
        PyErr_SetObject(parts.type.get(), parts.value.get());
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    parts.value.reset();
    parts.type.reset();
}

[[gnu::cold]] PyObject* normalize_slow(PyErrState& state) {
    state.with_thread_record([](std::optional<std::thread::id>& thread) {
        if (thread == std::this_thread::get_id())
            panic_static("Re-entrant normalization of PyErrState detected");
    });
    {
        DetachScope detached;
        state.normalized.call_once([&state, &detached] {
            state.with_thread_record([](std::optional<std::thread::id>& thread) {
                thread = std::this_thread::get_id();
            });
            if (!state.inner)
                panic_static("Cannot normalize a PyErr while already normalizing it.");
            InnerState inner = std::move(*state.inner);
            state.inner.reset();
            // The thread that normalizes takes back the lock it gave up, as it was. Attaching
            // afresh would consult the interpreter's initialization, which a call made while the
            // interpreter shuts down (a finalizer, an exit handler) would fail.
            detached.reattach();
            if (auto* builder = std::get_if<ErrorBuilder>(&inner)) {
                raise_built(std::move(*builder));
                Owned instance(PyErr_GetRaisedException());
                if (!instance) panic_static("exception missing after writing to the interpreter");
                state.inner.emplace(std::move(instance));
            } else {
                state.inner.emplace(std::move(std::get<Owned>(inner)));
            }
            return true;
        });
    }
    return normalized_instance_of(state);
}

PyObject* kind_type(ExceptionKind kind) {
    switch (kind) {
    case ExceptionKind::system_error:
        return PyExc_SystemError;
    case ExceptionKind::type_error:
        return PyExc_TypeError;
    case ExceptionKind::import_error:
        return PyExc_ImportError;
    case ExceptionKind::panic_exception:
        return panic_exception_type();
    }
    unreachable_state();
}

/// After a failed interpreter call that had to succeed: memory exhaustion is not an internal
/// failure, so a pending MemoryError becomes std::bad_alloc (a MemoryError at the entry);
/// anything else is fatal.
[[noreturn, gnu::cold]] void fail_unless_out_of_memory() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    fail_after_api_error();
}

Owned new_str(std::string_view text) {
    Owned str(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!str) fail_unless_out_of_memory();
    return str;
}

/// The builder of a lazy error of a standard kind: a str argument, or for PanicException a
/// 1-tuple holding it.
template <class Message>
ErrorBuilder kind_builder(ExceptionKind kind, Message message) {
    return [kind, message = std::move(message)]() -> RaisableParts {
        Owned type = Owned::borrow(kind_type(kind));
        Owned text = new_str(message);
        if (kind != ExceptionKind::panic_exception) return {std::move(type), std::move(text)};
        Owned args(PyTuple_New(1));
        if (!args) fail_unless_out_of_memory();
        PyTuple_SET_ITEM(args.get(), 0, text.release());
        return {std::move(type), std::move(args)};
    };
}

/// A PanicException raised by Python code turns back into the panic it stands for: the banner
/// and the Python traceback are printed, and the unwinding resumes with the same message.
[[noreturn]] void resume_after_panic_exception(PyErr error, std::string message) {
    std::fputs("--- corvane is resuming a panic after fetching a PanicException from Python. "
               "---\nPython stack trace below:\n",
               stderr);
    std::fflush(stderr);
    std::move(error).set_pending();
    PyErr_PrintEx(0);
    resume_panic(std::move(message));
}

} // namespace

// ---- construction ------------------------------------------------------------------------------

PyErr PyErr::new_lazy(ExceptionKind kind, std::string message) {
    return from_builder(kind_builder(kind, std::move(message)));
}

PyErr PyErr::new_lazy(ExceptionKind kind, const char* static_message) {
    return from_builder(kind_builder(kind, std::string_view(static_message)));
}

PyErr PyErr::from_builder(ErrorBuilder builder) {
    return PyErr(std::make_unique<PyErrState>(std::move(builder)));
}

PyErr PyErr::from_object(Owned object) {
    if (PyExceptionInstance_Check(object.get()))
        return PyErr(std::make_unique<PyErrState>(std::move(object)));
    return from_builder([type = std::move(object)]() mutable -> RaisableParts {
        return {std::move(type), Owned::borrow(Py_None)};
    });
}

std::optional<PyErr> PyErr::take_pending() {
    Owned exception(PyErr_GetRaisedException());
    if (!exception) return std::nullopt;
    Owned type = Owned::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
    // Until the PanicException type exists no exception can be one; not creating it here keeps
    // the type's own initializer, which fetches errors, from waiting on itself.
    PyObject* const panic_type = existing_panic_exception_type();
    if (panic_type == nullptr || type.get() != panic_type)
        return PyErr(std::make_unique<PyErrState>(std::move(exception)));
    type.reset();
    std::string message;
    if (Owned text{PyObject_Str(exception.get())}) {
        message = lossy_text(text.get());
    } else {
        PyErr_Clear();
        message = "Unwrapped panic from Python code";
    }
    resume_after_panic_exception(PyErr(std::make_unique<PyErrState>(std::move(exception))),
                                 std::move(message));
}

PyErr PyErr::fetch_pending() {
    if (std::optional<PyErr> pending = take_pending()) return std::move(*pending);
    return new_lazy(ExceptionKind::system_error, "attempted to fetch exception but none was set");
}

void PyErr::set_pending() && {
    std::unique_ptr<PyErrState> state = std::move(state_);
    if (!state || !state->inner)
        panic_static("PyErr state should never be invalid outside of normalization");
    if (auto* instance = std::get_if<Owned>(&*state->inner))
        PyErr_SetRaisedException(instance->release());
    else
        raise_built(std::move(std::get<ErrorBuilder>(*state->inner)));
}

// ---- inspection ----------------------------------------------------------------------------

PyObject* PyErr::instance() {
    if (!state_) panic_static("PyErr state should never be invalid outside of normalization");
    if (state_->normalized.is_complete()) return normalized_instance_of(*state_);
    return normalize_slow(*state_);
}

Owned PyErr::exception_type() {
    return Owned::borrow(reinterpret_cast<PyObject*>(Py_TYPE(instance())));
}

bool PyErr::conforms_to(PyObject* type) {
    return PyErr_GivenExceptionMatches(reinterpret_cast<PyObject*>(Py_TYPE(instance())), type) != 0;
}

std::optional<PyErr> PyErr::read_cause() {
    Owned cause(PyException_GetCause(instance()));
    if (!cause) return std::nullopt;
    return from_object(std::move(cause));
}

void PyErr::attach_cause(std::optional<PyErr> cause) {
    PyObject* self = instance();
    PyException_SetCause(self, cause ? std::move(*cause).into_instance().release() : nullptr);
}

Owned PyErr::into_instance() && {
    PyErr consumed = std::move(*this);
    return Owned::borrow(consumed.instance());
}

void fail_after_api_error() {
    PyErr_Print();
    panic_static("Python API call failed");
}

} // namespace corvane
