// Rows of short patterns compared with each streamed code point on 256-bit vectors (AVX2).
#pragma once

#include "kernel/vector.hpp"

#include <cstddef>
#include <cstdint>

namespace corvane::detail {

/// The rows of `feed_compared_avx512` on 256-bit vectors, with the same contract: the pattern is
/// `points[0, size)` with 1 <= size <= k_compared_up_to<P>, read in place; `bits` holds
/// (size + 63) / 64 words of row, or is null for a fresh row (all ones) that the caller does not
/// keep. Feeds `count` code points of `text` to the row until the LCS `lcs` reaches `size`, and
/// returns the new LCS. Must only be called where `cpu::has(cpu::k_avx2_paths)` holds; in builds
/// without the AVX2 paths it is a plain scalar loop. Instantiated for every pair of 1-, 2- and
/// 4-byte code points.
template <class P, class T>
std::uint64_t feed_compared_avx2(const P* points, std::size_t size, const T* text,
                                 std::size_t count, std::uint64_t* bits,
                                 std::uint64_t lcs) noexcept;

/// The LCS of a pattern of 1 to 64 code points with `count` code points of `text`, the text's
/// first half fed to a row of the pattern from its start and its second half, backwards, to a
/// row of the pattern reversed; the two rows' updates do not wait on each other. Needs
/// cpu::k_avx2_paths; in builds without the AVX2 paths it feeds one row. Instantiated for every
/// pair of 1-, 2- and 4-byte code points.
template <class P, class T>
std::uint64_t lcs_both_ways_avx2(const P* points, std::size_t size, const T* text,
                                 std::size_t count) noexcept;

/// The rows of `byte_rows_avx512` on 256-bit vectors, for a pattern numbered by `number_bytes`.
/// Needs `cpu::k_avx2_paths`; in builds without the AVX2 paths it sets the bits one by one.
void byte_rows_avx2(const std::uint8_t* points, std::size_t size, std::size_t words,
                    const std::uint8_t* bytes, std::size_t distinct, std::uint64_t* rows) noexcept;

} // namespace corvane::detail
