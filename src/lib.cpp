// The corvane module: compute_lcs_similarity and the import entry.
#include "interface/binding.hpp"
#include "interface/conversions.hpp"
#include "interface/error.hpp"
#include "interface/module_init.hpp"
#include "interface/panic_translation.hpp"
#include "kernel/kernel.hpp"

#include <Python.h>

#include <expected>
#include <optional>
#include <string_view>

namespace corvane {
namespace {

// ---- the function ------------------------------------------------------------------------------

constexpr std::string_view k_parameter_names[] = {"source", "target",
                                                  "length_of_prefixes_of_target"};

InternedName k_interned_parameter_names[] = {InternedName(k_parameter_names[0]),
                                             InternedName(k_parameter_names[1]),
                                             InternedName(k_parameter_names[2])};

constexpr ArgumentDescriptor k_descriptor{
    .function_name = "compute_lcs_similarity",
    .owner_class_name = std::nullopt,
    .parameter_names = k_parameter_names,
    .positional_only_count = 0,
    .required_positional_count = 3,
    .keyword_only_parameters = {},
    .interned_parameter_names = k_interned_parameter_names,
};

std::expected<Owned, PyErr> compute_lcs_similarity(PyObject* const* args, Py_ssize_t nargs,
                                                   PyObject* kwnames) {
    PyObject* slots[3] = {};
    auto bound = bind_arguments(k_descriptor, args, nargs, kwnames, slots);
    if (!bound) return std::unexpected(std::move(bound.error()));
    PyObject* const* arguments = *bound;
    // A caller's prepared pairs are seldom in cache. Asking for the list's items now overlaps
    // their misses with the texts' own, which the conversions would otherwise wait for in turn.
    if (PyList_CheckExact(arguments[2]))
        __builtin_prefetch(reinterpret_cast<PyListObject*>(arguments[2])->ob_item);
    TextView source;
    if (auto extracted = extract_text(arguments[0], source); !extracted)
        return std::unexpected(wrap_argument_error("source", std::move(extracted.error())));
    TextView target;
    if (auto extracted = extract_text(arguments[1], target); !extracted)
        return std::unexpected(wrap_argument_error("target", std::move(extracted.error())));
    LengthVector lengths;
    if (auto extracted =
            extract_length_vector(arguments[2], "length_of_prefixes_of_target", lengths);
        !extracted)
        return std::unexpected(std::move(extracted.error()));
    prefix_similarities(source, target, lengths.span());
    return doubles_to_list(lengths);
}

// Hot, as are the kernel's answer and its AVX2 short paths: the compiler gathers hot functions at
// the start of the module's code, so a short call runs through a few neighbouring lines that stay
// put however the rest of the module grows. Left where the linker put them, an unrelated change
// moved them and made short calls 6 to 9 ns slower on Zen 3.
[[gnu::hot]] PyObject* compute_lcs_similarity_entry(PyObject* /*module*/, PyObject* const* args,
                                                    Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_entry([&] { return compute_lcs_similarity(args, nargs, kwnames); });
}

// ---- the module --------------------------------------------------------------------------------

PyMethodDef method_definition = {
    "compute_lcs_similarity",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compute_lcs_similarity_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "compute_lcs_similarity(source, target, length_of_prefixes_of_target)\n--\n\n",
};

std::expected<void, PyErr> populate_module(PyObject* module) {
    auto function = new_function_object(&method_definition, module);
    if (!function) return std::unexpected(std::move(function.error()));
    return add_named_function(module, std::move(*function));
}

ModuleRecord module_record{
    .initialiser = populate_module,
    .definition =
        {
            PyModuleDef_HEAD_INIT,
            "corvane", // m_name
            "",        // m_doc: __doc__ is the empty string
            0,         // m_size
            nullptr,   // m_methods: the function is added by populate_module
            nullptr,   // m_slots: single-phase initialisation
            nullptr,
            nullptr,
            nullptr,
        },
};

} // namespace
} // namespace corvane

PyMODINIT_FUNC PyInit_corvane() {
    return corvane::run_entry([] { return corvane::obtain_module(corvane::module_record); });
}
