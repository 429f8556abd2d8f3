// The prefix similarity kernel used by the module.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace corvane {

/// Rewrites each requested prefix length of `target` in `lengths`, in place, with the bits of the
/// double 2 x LCS(source, first L code points of target) / (UTF-8 bytes of source + L), or 1.0 for
/// L = 0. Lengths above the code-point count of `target` and up to its byte length give 0.0; a
/// length beyond its byte length panics with "index out of bounds: ..." (the first such length
/// in vector order), before any computing. The LCS row runs bit-parallel, 64 code points of
/// `source` per machine word, over `target` only as far as the longest requested length;
/// results equal the reference kernel's bit for bit. Memory is proportional to `source`.
void prefix_similarities(std::string_view source, std::string_view target,
                         std::span<std::uint64_t> lengths);

} // namespace corvane
