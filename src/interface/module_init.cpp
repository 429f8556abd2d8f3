// Module initialisation: the once-per-process module object and the registration of its functions.
#include "interface/module_init.hpp"

#include "interface/conversions.hpp"
#include "interface/interned_name.hpp"
#include "interface/panic_type.hpp"
#include "panic.hpp"

#include <new>

namespace corvane {
namespace {

constexpr const char* k_subinterpreter_refusal =
    "corvane modules do not yet support subinterpreters, see "
    "https://github.com/corvane/corvane/issues/7";

InternedName all_name("__all__");
InternedName name_name("__name__");

/// Binds the module to the first interpreter that imports it; the record is never reset.
std::expected<void, PyErr> claim_interpreter(ModuleRecord& record) {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return std::unexpected(PyErr::fetch_pending());
    std::int64_t expected = -1;
    if (record.interpreter_id.compare_exchange_strong(expected, current) || expected == current)
        return {};
    return std::unexpected(PyErr::new_lazy(ExceptionKind::import_error, k_subinterpreter_refusal));
}

std::expected<PyObject*, PyErr> build_module(ModuleRecord& record) {
    // What the first panic needs is made with the module, not while that panic is raised,
    // perhaps just when memory has run out: the PanicException type (kept out of the module's
    // namespace), and the importing thread's unwinding state, which the C++ runtime allocates on
    // a thread's first throw and cannot do without.
    panic_exception_type();
    try {
        throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
    }
    Owned module(PyModule_Create2(&record.definition, PYTHON_API_VERSION));
    if (!module) return std::unexpected(PyErr::fetch_pending());
    if (auto populated = record.initialiser(module.get()); !populated)
        return std::unexpected(std::move(populated.error()));
    return module.release();
}

} // namespace

std::expected<Owned, PyErr> obtain_module(ModuleRecord& record) {
    if (auto claimed = claim_interpreter(record); !claimed)
        return std::unexpected(std::move(claimed.error()));
    if (PyObject* const* cached = record.module_cache.get()) return Owned::borrow(*cached);
    auto built = record.module_cache.get_or_try_init([&record] { return build_module(record); });
    if (!built) return std::unexpected(std::move(built.error()));
    return Owned::borrow(built->get());
}

std::expected<Owned, PyErr> new_function_object(PyMethodDef* definition, PyObject* module) {
    Owned name(PyModule_GetNameObject(module));
    if (!name) return std::unexpected(PyErr::fetch_pending());
    Owned function(PyCMethod_New(definition, module, name.get(), nullptr));
    if (!function) return std::unexpected(PyErr::fetch_pending());
    return function;
}

std::expected<void, PyErr> add_named_function(PyObject* module, Owned function) {
    Owned name(PyObject_GetAttr(function.get(), name_name.get()));
    if (!name) return std::unexpected(PyErr::fetch_pending());
    if (!PyUnicode_Check(name.get()))
        return std::unexpected(
            cast_failure(name.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    return add_module_entry(module, name.get(), function.get());
}

std::expected<void, PyErr> add_module_entry(PyObject* module, PyObject* name, PyObject* value) {
    {
        std::expected<Owned, PyErr> all = exported_names(module);
        if (!all) return std::unexpected(std::move(all.error()));
        if (PyList_Append(all->get(), name) < 0)
            panic("could not append __name__ to __all__: " + PyErr::fetch_pending().debug());
    }
    if (PyObject_SetAttr(module, name, value) < 0) return std::unexpected(PyErr::fetch_pending());
    return {};
}

std::expected<Owned, PyErr> exported_names(PyObject* module) {
    if (Owned all{PyObject_GetAttr(module, all_name.get())}) {
        if (PyList_Check(all.get())) return all;
        return std::unexpected(cast_failure(all.get(), reinterpret_cast<PyObject*>(&PyList_Type)));
    }
    PyErr missing = PyErr::fetch_pending();
    if (!missing.conforms_to(PyExc_AttributeError)) return std::unexpected(std::move(missing));
    Owned all(PyList_New(0));
    if (!all) fail_after_api_error();
    if (PyObject_SetAttr(module, all_name.get(), all.get()) < 0)
        return std::unexpected(PyErr::fetch_pending());
    return all;
}

} // namespace corvane
