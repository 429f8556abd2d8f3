// The PanicException type: created once per process, on first use.
#include "interface/panic_type.hpp"

#include "interface/error.hpp"
#include "interface/once.hpp"
#include "interface/owned.hpp"
#include "interface/panic_pickling.hpp"
#include "panic.hpp"

#include <new>

namespace corvane {

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
