// The prefix similarity kernel used by the module.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace corvane {

/// Rewrites each requested prefix length of `target` in `lengths`, in place, with the bits of the
/// double 2 x LCS(source, first L code points of target) / (UTF-8 bytes of source + L), or 1.0 for
/// L = 0. Lengths above the code-point count of `target` and up to its byte length give 0.0; a
/// length beyond its byte length panics with "index out of bounds: ...".
void prefix_similarities(std::string_view source, std::string_view target,
                         std::span<std::uint64_t> lengths);

} // namespace corvane
