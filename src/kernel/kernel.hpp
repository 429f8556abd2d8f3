// The prefix similarity kernel used by the module.
#pragma once

#include "text.hpp"

#include <cstdint>
#include <span>

namespace corvane {

/// Rewrites each requested prefix length of `target` in `lengths`, in place, with the bits of the
/// double 2 x LCS(source, first L code points of target) / (UTF-8 bytes of source + L), or 1.0 for
/// L = 0. Lengths above the code-point count of `target` and up to its UTF-8 byte length give
/// 0.0; a length beyond its byte length panics with "index out of bounds: ..." (the first such
/// length in vector order), before any computing. The LCS runs bit-parallel, 64 code points per
/// machine word, with the pattern built over the shorter of `source` and the part of `target`
/// that the longest length needs; memory and set-up follow that shorter text. Results equal the
/// reference kernel's bit for bit. Text left uncounted has its UTF-8 length counted here, and
/// target's only when a length reaches past its code points.
void prefix_similarities(const TextView& source, const TextView& target,
                         std::span<std::uint64_t> lengths);

} // namespace corvane
