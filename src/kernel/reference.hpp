// The straightforward two-row LCS kernel: the reference that faster kernels are checked against.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace corvane::reference {

/// Rewrites each requested prefix length of `target` in `lengths` with the bits of its similarity
/// to `source` (both well-formed UTF-8). Panics on a length beyond the byte length of `target`.
void prefix_similarities(std::string_view source, std::string_view target,
                         std::span<std::uint64_t> lengths);

} // namespace corvane::reference
