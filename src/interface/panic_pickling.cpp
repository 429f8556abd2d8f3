// Pickling of PanicException: the type is handed to the private Python helper that reduces it.
#include "interface/panic_pickling.hpp"

#include "interface/owned.hpp"

namespace corvane {

void offer_panic_type_for_pickling(PyObject* type) noexcept {
    // The type belongs to no importable module, so pickling it by reference cannot work; the
    // helper gives it a reduction that rebuilds an instance of the receiving process's own type.
    Owned helper(PyImport_ImportModule("_corvane_panic"));
    if (!helper) {
        PyErr_Clear();
        return;
    }
    Owned installed(PyObject_CallMethod(helper.get(), "_install", "(O)", type));
    if (!installed) PyErr_WriteUnraisable(type);
}

} // namespace corvane
