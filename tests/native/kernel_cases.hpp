// Shared helpers for the kernel tests: running a kernel on lengths and reading its doubles.
#pragma once

#include "panic.hpp"

#include <bit>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::testing {

using Kernel = std::function<void(std::string_view, std::string_view, std::span<std::uint64_t>)>;

inline std::vector<double> similarities(const Kernel& kernel, std::string_view source,
                                        std::string_view target,
                                        std::vector<std::uint64_t> lengths) {
    kernel(source, target, lengths);
    std::vector<double> out;
    for (std::uint64_t bits : lengths)
        out.push_back(std::bit_cast<double>(bits));
    return out;
}

/// The panic message of a kernel run, or nothing when it did not panic.
inline std::optional<std::string> panic_message(const Kernel& kernel, std::string_view source,
                                                std::string_view target,
                                                std::vector<std::uint64_t> lengths) {
    try {
        kernel(source, target, lengths);
    } catch (const Panic& failure) {
        if (const auto* text = std::get_if<std::string>(&failure.payload())) return *text;
        if (const auto* text = std::get_if<const char*>(&failure.payload())) return *text;
        return "<non-text payload>";
    }
    return std::nullopt;
}

} // namespace corvane::testing
