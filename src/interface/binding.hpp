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

/// Binds as bind_any_arguments does and gives where the bound arguments are, one per parameter:
/// in the common call (every parameter by position, no keywords) that is `args` itself, so
/// nothing is copied; otherwise it is `slots`.
inline std::expected<PyObject* const*, PyErr> bind_arguments(const ArgumentDescriptor& descriptor,
                                                             PyObject* const* args,
                                                             Py_ssize_t nargs, PyObject* kwnames,
                                                             std::span<PyObject*> slots) {
    if (kwnames == nullptr &&
        static_cast<std::size_t>(nargs) == descriptor.parameter_names.size() &&
        descriptor.keyword_only_parameters.empty()) [[likely]]
        return args;
    if (auto bound = bind_any_arguments(descriptor, args, nargs, kwnames, slots); !bound)
        return std::unexpected(std::move(bound.error()));
    return slots.data();
}

} // namespace corvane
