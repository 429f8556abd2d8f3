// Pickling of PanicException: the type is handed to the private Python helper that reduces it.
#pragma once

#include <Python.h>

namespace corvane {

/// Hands a newly created PanicException type to `_corvane_panic._install`, which makes its
/// instances picklable. Where the helper is not installed (an embedded interpreter running the
/// native tests) the type stays as it is. Caller attached; leaves no exception pending.
void offer_panic_type_for_pickling(PyObject* type) noexcept;

} // namespace corvane
