// The PanicException type.
#pragma once

#include <Python.h>

namespace corvane {

/// The PanicException type, created on first use (module initialisation creates it). Creation
/// failing for lack of memory throws std::bad_alloc; any other failure panics.
PyObject* panic_exception_type();
/// The PanicException type if it has been created, else null; never creates it.
PyObject* existing_panic_exception_type() noexcept;

namespace detail {

using NewExceptionType = PyObject* (*)(const char* name, const char* doc, PyObject* base,
                                       PyObject* dict);
/// Makes the PanicException class; tests replace it to make that creation fail.
inline constinit NewExceptionType new_exception_type = PyErr_NewExceptionWithDoc;

} // namespace detail

} // namespace corvane
