// The error value: lazy and normalized errors, the pending-exception protocol, text of objects.
#include "interface/error.hpp"

#include "interface/attach.hpp"
#include "interface/interned_name.hpp"
#include "interface/panic_pickling.hpp"
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

// ---- text forms ----------------------------------------------------------------------------

void fail_after_api_error() {
    PyErr_Print();
    panic_static("Python API call failed");
}

void append_lossy_text(PyObject* text, std::string& sink) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
        sink.append(utf8, static_cast<std::size_t>(size));
        return;
    }
    PyErr_Clear();
    // Lone surrogates: encode them as they are, then decode with one U+FFFD per maximal
    // invalid subsequence (three for an encoded surrogate).
    Owned bytes(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) fail_after_api_error();
    Owned repaired(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                        PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (!repaired) fail_after_api_error();
    const char* utf8 = PyUnicode_AsUTF8AndSize(repaired.get(), &size);
    if (utf8 == nullptr) fail_after_api_error();
    sink.append(utf8, static_cast<std::size_t>(size));
}

std::string lossy_text(PyObject* text) {
    std::string out;
    append_lossy_text(text, out);
    return out;
}

namespace {

void write_rendered(PyObject* object, std::string& sink, PyObject* (*render)(PyObject*)) {
    if (Owned text{render(object)}) {
        append_lossy_text(text.get(), sink);
        return;
    }
    PyErr::fetch_pending().set_pending();
    PyErr_WriteUnraisable(object);
    if (Owned name{PyType_GetName(Py_TYPE(object))}) {
        sink += "<unprintable ";
        display_object(name.get(), sink);
        sink += " object>";
    } else {
        PyErr::fetch_pending();
        sink += "<unprintable object>";
    }
}

/// Appends `text` as a double-quoted string with quotes, backslashes and control characters
/// escaped.
void write_escaped(std::string_view text, std::string& sink) {
    sink += '"';
    for (const char ch : text) {
        switch (ch) {
        case '"':
            sink += "\\\"";
            break;
        case '\\':
            sink += "\\\\";
            break;
        case '\n':
            sink += "\\n";
            break;
        case '\r':
            sink += "\\r";
            break;
        case '\t':
            sink += "\\t";
            break;
        case '\0':
            sink += "\\0";
            break;
        default:
            if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) {
                char escaped[12];
                std::snprintf(escaped, sizeof escaped, "\\u{%x}", static_cast<unsigned>(ch));
                sink += escaped;
            } else {
                sink += ch;
            }
        }
    }
    sink += '"';
}

InternedName io_name("io");
InternedName string_io_name("StringIO");
InternedName getvalue_name("getvalue");

/// The traceback as Python prints it, or the error that prevented formatting it.
std::optional<std::string> format_traceback(PyObject* traceback, std::optional<PyErr>& failure) {
    const auto fail = [&failure] {
        failure.emplace(PyErr::fetch_pending());
        return std::nullopt;
    };
    Owned io(PyImport_Import(io_name.get()));
    if (!io) return fail();
    Owned string_io_type(PyObject_GetAttr(io.get(), string_io_name.get()));
    if (!string_io_type) return fail();
    Owned buffer(PyObject_CallNoArgs(string_io_type.get()));
    if (!buffer) return fail();
    if (PyTraceBack_Print(traceback, buffer.get()) < 0) return fail();
    Owned getvalue(PyObject_GetAttr(buffer.get(), getvalue_name.get()));
    if (!getvalue) return fail();
    Owned value(PyObject_CallNoArgs(getvalue.get()));
    if (!value) return fail();
    if (!PyUnicode_Check(value.get())) {
        PyErr_SetString(PyExc_TypeError, "traceback text is not a str");
        return fail();
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value.get(), &size);
    if (utf8 == nullptr) return fail();
    return std::string(utf8, static_cast<std::size_t>(size));
}

} // namespace

void display_object(PyObject* object, std::string& sink) {
    write_rendered(object, sink, PyObject_Str);
}

void debug_object(PyObject* object, std::string& sink) {
    write_rendered(object, sink, PyObject_Repr);
}

void PyErr::write_debug(std::string& sink) {
    AttachScope attached = AttachScope::acquire();
    PyObject* self = instance();
    sink += "PyErr { type: ";
    debug_object(reinterpret_cast<PyObject*>(Py_TYPE(self)), sink);
    sink += ", value: ";
    debug_object(self, sink);
    sink += ", traceback: ";
    Owned traceback(PyException_GetTraceback(self));
    if (!traceback) {
        sink += "None";
    } else {
        std::optional<PyErr> failure;
        if (std::optional<std::string> text = format_traceback(traceback.get(), failure)) {
            sink += "Some(";
            write_escaped(*text, sink);
            sink += ")";
        } else {
            std::move(*failure).set_pending();
            PyErr_WriteUnraisable(traceback.get());
            sink += "<unformattable ";
            debug_object(traceback.get(), sink);
            sink += ">";
        }
    }
    sink += " }";
}

std::string PyErr::debug() {
    std::string out;
    write_debug(out);
    return out;
}

// ---- the PanicException type ---------------------------------------------------------------

namespace {

constexpr const char* k_panic_exception_doc =
    "\nThe exception raised when native code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

InterpreterOnceCell<PyObject*> panic_type_cell;

// The initializer never consults its own cell: the errors it fetches, here and in the debug form,
// go through take_pending, which only looks for a type that already exists.
PyObject* new_panic_exception_type() {
    Owned base = Owned::borrow(PyExc_BaseException);
    PyObject* type = detail::new_exception_type("pyo3_runtime.PanicException",
                                                k_panic_exception_doc, base.get(), nullptr);
    if (type != nullptr) {
        offer_panic_type_for_pickling(type);
        return type;
    }
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        // Not an internal failure: the panic being raised becomes a MemoryError, and the next
        // one tries again.
        PyErr_Clear();
        throw std::bad_alloc();
    }
    panic("Failed to initialize new exception type.: " + PyErr::fetch_pending().debug());
}

} // namespace

PyObject* panic_exception_type() {
    return panic_type_cell.get_or_init(new_panic_exception_type);
}

PyObject* existing_panic_exception_type() noexcept {
    PyObject* const* type = panic_type_cell.get();
    return type != nullptr ? *type : nullptr;
}

} // namespace corvane
