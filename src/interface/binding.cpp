// Argument binding: placing a fast call's positional and keyword arguments into parameter slots.
#include "interface/binding.hpp"

#include "interface/object_text.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace corvane {
namespace {

std::string display_name(const ArgumentDescriptor& descriptor) {
    std::string name;
    if (descriptor.owner_class_name) {
        name += *descriptor.owner_class_name;
        name += '.';
    }
    name += descriptor.function_name;
    name += "()";
    return name;
}

/// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
template <class Names>
void append_joined(const Names& names, std::string& sink) {
    const std::size_t count = names.size();
    for (std::size_t k = 0; k < count; ++k) {
        if (k > 0) sink += count == 2 ? " and " : (k + 1 == count ? ", and " : ", ");
        sink += '\'';
        sink += names[k];
        sink += '\'';
    }
}

PyErr binding_error(std::string message) {
    return PyErr::new_lazy(ExceptionKind::type_error, std::move(message));
}

[[gnu::cold]] PyErr too_many_positional(const ArgumentDescriptor& descriptor, Py_ssize_t given) {
    const std::size_t most = descriptor.parameter_names.size();
    const std::size_t least = descriptor.required_positional_count;
    std::string message = display_name(descriptor) + " takes ";
    message += least == most ? std::to_string(most)
                             : "from " + std::to_string(least) + " to " + std::to_string(most);
    message += " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was" : " were") + " given";
    return binding_error(std::move(message));
}

[[gnu::cold]] PyErr unexpected_keyword(const ArgumentDescriptor& descriptor, PyObject* keyword) {
    std::string message = display_name(descriptor) + " got an unexpected keyword argument '";
    display_object(keyword, message);
    message += '\'';
    return binding_error(std::move(message));
}

[[gnu::cold]] PyErr multiple_values(const ArgumentDescriptor& descriptor, std::string_view name) {
    return binding_error(display_name(descriptor) + " got multiple values for argument '" +
                         std::string(name) + "'");
}

[[gnu::cold]] PyErr missing_arguments(const ArgumentDescriptor& descriptor,
                                      const std::vector<std::string_view>& names,
                                      std::string_view kind) {
    std::string message = display_name(descriptor) + " missing " + std::to_string(names.size()) +
                          " required " + std::string(kind) +
                          (names.size() == 1 ? " argument: " : " arguments: ");
    append_joined(names, message);
    return binding_error(std::move(message));
}

[[gnu::cold]] PyErr positional_only_as_keyword(const ArgumentDescriptor& descriptor,
                                               const std::vector<std::string_view>& names) {
    std::string message = display_name(descriptor) +
                          " got some positional-only arguments passed as keyword arguments: ";
    append_joined(names, message);
    return binding_error(std::move(message));
}

std::optional<std::size_t> find_name(auto names, std::string_view wanted, auto name_of) {
    for (std::size_t k = 0; k < names.size(); ++k)
        if (name_of(names[k]) == wanted) return k;
    return std::nullopt;
}

/// Places keyword arguments that are the parameters' own interned names, each once, filling
/// every parameter after the positional ones; false (slots untouched) for any other call.
bool bind_interned_keywords(const ArgumentDescriptor& descriptor, PyObject* const* args,
                            std::size_t positional, PyObject* kwnames, std::span<PyObject*> slots) {
    const std::size_t parameters = descriptor.parameter_names.size();
    const auto keywords = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    if (positional + keywords != parameters) return false;
    std::array<PyObject*, 8> placed{};
    if (parameters > placed.size()) return false;
    for (std::size_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, static_cast<Py_ssize_t>(k));
        std::size_t index = positional;
        while (index < parameters && descriptor.interned_parameter_names[index].get() != keyword)
            ++index;
        if (index == parameters || placed[index] != nullptr) return false;
        placed[index] = args[positional + k];
    }
    std::copy_n(args, positional, slots.begin());
    std::copy(placed.begin() + static_cast<std::ptrdiff_t>(positional),
              placed.begin() + static_cast<std::ptrdiff_t>(parameters),
              slots.begin() + static_cast<std::ptrdiff_t>(positional));
    return true;
}

} // namespace

std::expected<void, PyErr> bind_any_arguments(const ArgumentDescriptor& descriptor,
                                              PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames, std::span<PyObject*> slots) {
    const std::size_t parameters = descriptor.parameter_names.size();
    const auto positional = static_cast<std::size_t>(nargs);
    // The remaining parameters by keyword, out of their order (in order they are bound inline).
    if (kwnames != nullptr && !descriptor.interned_parameter_names.empty() &&
        descriptor.positional_only_count == 0 && descriptor.keyword_only_parameters.empty() &&
        positional <= parameters &&
        bind_interned_keywords(descriptor, args, positional, kwnames, slots)) [[likely]]
        return {};
    if (args != nullptr) {
        for (std::size_t k = 0; k < std::min(positional, parameters); ++k)
            slots[k] = args[k];
        if (positional > parameters) return std::unexpected(too_many_positional(descriptor, nargs));
    }

    std::vector<std::string_view> misplaced;
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
        if (utf8 == nullptr) {
            PyErr::fetch_pending();
            return std::unexpected(unexpected_keyword(descriptor, keyword));
        }
        const std::string_view text(utf8, static_cast<std::size_t>(size));

        if (auto only = find_name(descriptor.keyword_only_parameters, text,
                                  [](const KeywordOnlyParameter& p) { return p.name; })) {
            PyObject*& slot = slots[parameters + *only];
            if (slot != nullptr) return std::unexpected(multiple_values(descriptor, text));
            slot = value;
            continue;
        }
        auto index =
            find_name(descriptor.parameter_names, text, [](std::string_view n) { return n; });
        if (!index) return std::unexpected(unexpected_keyword(descriptor, keyword));
        if (*index < descriptor.positional_only_count) {
            misplaced.push_back(text);
            continue;
        }
        if (slots[*index] != nullptr) return std::unexpected(multiple_values(descriptor, text));
        slots[*index] = value;
    }
    if (!misplaced.empty()) [[unlikely]]
        return std::unexpected(positional_only_as_keyword(descriptor, misplaced));

    const std::size_t required = descriptor.required_positional_count;
    if (positional < required) {
        std::vector<std::string_view> missing;
        bool any_from_nargs = false;
        for (std::size_t k = 0; k < required; ++k) {
            if (slots[k] != nullptr) continue;
            missing.push_back(descriptor.parameter_names[k]);
            any_from_nargs = any_from_nargs || k >= positional;
        }
        if (any_from_nargs)
            return std::unexpected(missing_arguments(descriptor, missing, "positional"));
    }
    std::vector<std::string_view> missing_keywords;
    for (std::size_t k = 0; k < descriptor.keyword_only_parameters.size(); ++k)
        if (descriptor.keyword_only_parameters[k].required && slots[parameters + k] == nullptr)
            missing_keywords.push_back(descriptor.keyword_only_parameters[k].name);
    if (!missing_keywords.empty()) [[unlikely]]
        return std::unexpected(missing_arguments(descriptor, missing_keywords, "keyword"));
    return {};
}

} // namespace corvane
