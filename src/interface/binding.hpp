// Argument binding: placing a fast call's positional and keyword arguments into parameter slots.
#pragma once

#include "interface/error.hpp"
#include "interface/interned_name.hpp"

#include <Python.h>

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

namespace corvane {

struct KeywordOnlyParameter {
    std::string_view name;
    bool required;
};

/// The static description of a native function's parameters, for binding and its messages.
struct ArgumentDescriptor {
    std::string_view function_name;
    std::optional<std::string_view> owner_class_name;
    std::span<const std::string_view> parameter_names;
    std::size_t positional_only_count;
    std::size_t required_positional_count;
    std::span<const KeywordOnlyParameter> keyword_only_parameters;
    /// The parameter names as interned str objects, one per name in `parameter_names`, or none:
    /// keywords written in source code are these very objects, matched without reading text.
    std::span<InternedName> interned_parameter_names = {};
};

/// Fills `slots` (one per parameter, then one per keyword-only parameter; all null on entry) with
/// borrowed references from a fast call's arguments, or fails with a TypeError worded as the
/// interpreter words its own binding errors.
std::expected<void, PyErr> bind_any_arguments(const ArgumentDescriptor& descriptor,
                                              PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames, std::span<PyObject*> slots);

/// Whether `kwnames` are the parameters after the `nargs` positional ones, each by its interned
/// name and in their order, as a call written with those keywords in that order passes them: the
/// values then already stand in parameter order.
inline bool keywords_in_parameter_order(const ArgumentDescriptor& descriptor, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    const auto positional = static_cast<std::size_t>(nargs);
    const auto keywords = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    if (descriptor.interned_parameter_names.empty() ||
        !descriptor.keyword_only_parameters.empty() ||
        positional < descriptor.positional_only_count ||
        positional + keywords != descriptor.parameter_names.size())
        return false;
    for (std::size_t k = 0; k < keywords; ++k)
        if (PyTuple_GET_ITEM(kwnames, static_cast<Py_ssize_t>(k)) !=
            descriptor.interned_parameter_names[positional + k].get())
            return false;
    return true;
}

/// Binds as bind_any_arguments does and gives where the bound arguments are, one per parameter:
/// when the call passes every parameter by position, or the last ones by keyword in their own
/// order, that is `args` itself, so nothing is copied; otherwise it is `slots`.
inline std::expected<PyObject* const*, PyErr> bind_arguments(const ArgumentDescriptor& descriptor,
                                                             PyObject* const* args,
                                                             Py_ssize_t nargs, PyObject* kwnames,
                                                             std::span<PyObject*> slots) {
    if (kwnames == nullptr &&
        static_cast<std::size_t>(nargs) == descriptor.parameter_names.size() &&
        descriptor.keyword_only_parameters.empty()) [[likely]]
        return args;
    if (kwnames != nullptr && keywords_in_parameter_order(descriptor, nargs, kwnames)) return args;
    if (auto bound = bind_any_arguments(descriptor, args, nargs, kwnames, slots); !bound)
        return std::unexpected(std::move(bound.error()));
    return slots.data();
}

} // namespace corvane
