// Module initialisation: the once-per-process module object and the registration of its functions.
#pragma once

#include "interface/error.hpp"
#include "interface/once.hpp"
#include "interface/owned.hpp"

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <expected>

namespace corvane {

using ModuleBody = std::expected<void, PyErr> (*)(PyObject* module);

/// Everything the import entry needs, in writable static storage for the life of the process (the
/// interpreter writes into the embedded definition during import).
struct ModuleRecord {
    ModuleBody initialiser;
    PyModuleDef definition;
    std::atomic<std::int64_t> interpreter_id{-1};
    InterpreterOnceCell<PyObject*> module_cache{};
};

/// A new reference to the module of `record`, created once per process and only ever handed to
/// the interpreter that asked first.
std::expected<Owned, PyErr> obtain_module(ModuleRecord& record);

/// A built-in function object for `definition`, bound to `module`, with the module's name as
/// its __module__.
std::expected<Owned, PyErr> new_function_object(PyMethodDef* definition, PyObject* module);

/// Adds `function` to `module` under its __name__ and lists it in __all__.
std::expected<void, PyErr> add_named_function(PyObject* module, Owned function);

/// Lists `name` in __all__ and sets the attribute.
std::expected<void, PyErr> add_module_entry(PyObject* module, PyObject* name, PyObject* value);

/// A new reference to the module's __all__ list, created empty when missing.
std::expected<Owned, PyErr> exported_names(PyObject* module);

} // namespace corvane
