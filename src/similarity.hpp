// The similarity formula and the bound check shared by every kernel.
#pragma once

#include "panic.hpp"

#include <bit>
#include <cstdint>
#include <limits>
#include <string>

namespace corvane {

/// Entries of one LCS row for a target of `target_bytes` UTF-8 bytes: one per byte, plus one.
/// Panics with "capacity overflow" when a row of 8-byte counters of that size could not exist.
inline std::uint64_t row_entries(std::uint64_t target_bytes) {
    constexpr std::uint64_t max_row_bytes = (std::uint64_t{1} << 63) - 8;
    if (target_bytes >= max_row_bytes / 8) panic_static("capacity overflow");
    return target_bytes + 1;
}

/// Panics unless `length` indexes a row of `entries` counters.
[[gnu::cold, noreturn]] inline void length_out_of_bounds(std::uint64_t entries,
                                                         std::uint64_t length) {
    panic("index out of bounds: the len is " + std::to_string(entries) + " but the index is " +
          std::to_string(length));
}

/// 2 x lcs / (source_bytes + length), rounded as the reference computes it, as raw bits.
inline std::uint64_t similarity_bits(std::uint64_t lcs, std::uint64_t source_bytes,
                                     std::uint64_t length) noexcept {
    const double x = static_cast<double>(lcs);
    const double s = static_cast<double>(source_bytes + length);
    return std::bit_cast<std::uint64_t>((x + x) / s);
}

inline constexpr std::uint64_t k_one_bits = std::bit_cast<std::uint64_t>(1.0);

} // namespace corvane
