// Interned attribute names, created once per process on first use.
#include "interface/interned_name.hpp"

#include "interface/error.hpp"

namespace corvane {

PyObject* InternedName::make() {
    return cell_.get_or_init([this]() -> PyObject* {
        PyObject* name =
            PyUnicode_FromStringAndSize(text_.data(), static_cast<Py_ssize_t>(text_.size()));
        if (name == nullptr) fail_after_api_error();
        PyUnicode_InternInPlace(&name);
        return name;
    });
}

} // namespace corvane
