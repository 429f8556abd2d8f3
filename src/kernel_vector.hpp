// The row update on 512-bit vectors, and the run-time choice between it and the scalar one.
#pragma once

#include "kernel_row.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

namespace corvane::detail {

// Both paths give the same bits and the same carries for every row length. The vector path is
// compiled for AVX-512 in its own functions only, so the module still loads and runs on any
// x86-64 machine; the CPU is asked once per process whether the path may run.
//
// Choosing a path: the process starts on the vector path where the CPU has it and on the scalar
// path otherwise. `select_row_path` changes the choice for the whole process (it refuses the
// vector path on a CPU without it, and the choice stays as it was). A native test can also call
// `advance_row_scalar` and `advance_row_avx512` directly, after checking
// `vector_rows_supported()`; a test or fuzz target that runs the whole kernel selects each path
// in turn and restores the previous one afterwards.

/// A row update: `words` words of `bits` for one code point whose positions are `mask`; returns
/// the carry out of the top word.
using RowUpdate = std::uint64_t (*)(std::uint64_t* bits, const std::uint64_t* mask,
                                    std::size_t words) noexcept;

/// Rows shorter than this many words are updated faster by the scalar path. Measured by
/// benchmarks/row_update_bench.cpp (`--scan`) on a 2.3 GHz Xeon: a call costs about 25 cycles
/// of latency whatever the length, since each chunk waits for its own update by the previous
/// code point, so below this the scalar update of four-word groups, two code points per pass,
/// wins; from here the vector pair update is faster, and the single one from about 21 words.
inline constexpr std::size_t k_vector_row_min_words = 17;

/// The scalar update for two code points in turn, `mask_a` first; returns the sum of their
/// carries. Equal to two calls of `advance_row_scalar`, with one pass over the row.
inline std::uint64_t advance_row_scalar_pair(std::uint64_t* bits, const std::uint64_t* mask_a,
                                             const std::uint64_t* mask_b,
                                             std::size_t words) noexcept {
    std::uint64_t carry_a = 0;
    std::uint64_t carry_b = 0;
    for (std::size_t word = 0; word < words; ++word) {
        carry_a = advance_word(bits[word], mask_a[word], carry_a);
        carry_b = advance_word(bits[word], mask_b[word], carry_b);
    }
    return carry_a + carry_b;
}

/// Whether this CPU runs the vector path (AVX-512 F, BW, DQ and VL); asked once per process.
bool vector_rows_supported() noexcept;

/// The update of `advance_row_scalar` on 512-bit vectors, for any `words` >= 1. Must only be
/// called where `vector_rows_supported()` holds.
std::uint64_t advance_row_avx512(std::uint64_t* bits, const std::uint64_t* mask,
                                 std::size_t words) noexcept;

/// The pair update of `advance_row_scalar_pair` on 512-bit vectors; the same condition holds.
std::uint64_t advance_row_avx512_pair(std::uint64_t* bits, const std::uint64_t* mask_a,
                                      const std::uint64_t* mask_b, std::size_t words) noexcept;

/// The most code points of a pattern that `feed_compared_avx512` takes: five words of bytes (from
/// six, table rows compared out of the pattern are faster even for all of printable ASCII), 256
/// of wider code points.
template <class P>
inline constexpr std::size_t k_compared_up_to = sizeof(P) == 1 ? 320 : 256;

/// Rows for patterns of 1 to `k_compared_up_to<P>` code points, compared with each streamed code
/// point rather than looked up: `points` are the pattern's `size` code points, read in place, and
/// `bits` holds (size + 63) / 64 words, or is null for a fresh row (all ones) that the caller does
/// not keep. Feeds `count` code points of `text` to the row until the
/// LCS `lcs` reaches `size`, and returns the new LCS. The same condition as above holds.
/// Instantiated for every pair of 1-, 2- and 4-byte code points.
template <class P, class T>
std::uint64_t feed_compared_avx512(const P* points, std::size_t size, const T* text,
                                   std::size_t count, std::uint64_t* bits,
                                   std::uint64_t lcs) noexcept;

/// Whether this CPU also has AVX-512 VBMI2 and VPOPCNTDQ, asked once when the module loads.
extern const bool both_ways_available;

/// Whether `lcs_both_ways_avx512` and `lcs_halves_both_ways_avx512` may run: one load.
inline bool both_ways_supported() noexcept {
    return both_ways_available;
}

/// The LCS of a byte pattern of 1 to 64 code points with `count` code points of `text`, fed to
/// two rows at once: the text's first half from the pattern's start and its second half,
/// backwards, from the pattern's end. Must only be called where `both_ways_supported()` holds.
/// Instantiated for 1-, 2- and 4-byte text.
template <class T>
std::uint64_t lcs_both_ways_avx512(const std::uint8_t* points, std::size_t size, const T* text,
                                   std::size_t count) noexcept;

/// Numbers the distinct bytes of a pattern of `size` (1 or more) bytes from 1, in increasing
/// order: writes each one's number to `ids` (256 entries; the others are left as they are) and
/// the byte itself to `bytes` at its number - 1. Returns how many there are. Must only be
/// called where `vector_rows_supported()` holds.
std::size_t number_bytes_avx512(const std::uint8_t* points, std::size_t size, std::uint32_t* ids,
                                std::uint8_t* bytes) noexcept;

/// Writes the rows of a byte pattern of `size` code points, `words` (1 to 8) words of them,
/// numbered by `number_bytes_avx512`: row 0 for bytes the pattern lacks, then one for each of its
/// `distinct` `bytes`. A row is `words` words of positions followed by their complement, so
/// `rows` holds (distinct + 1) x 2 x words words. The same condition holds.
void byte_rows_avx512(const std::uint8_t* points, std::size_t size, std::size_t words,
                      const std::uint8_t* bytes, std::size_t distinct,
                      std::uint64_t* rows) noexcept;

/// The LCS of a 4-byte pattern of 17 to 64 code points with `count` code points of `text`, fed
/// both ways as `lcs_both_ways_avx512` does, into `lcs`; returns false, touching nothing, when a
/// code point of the pattern lies beyond the first two planes. The same condition holds.
/// Instantiated for 1-, 2- and 4-byte text.
template <class T>
bool lcs_halves_both_ways_avx512(const std::uint32_t* points, std::size_t size, const T* text,
                                 std::size_t count, std::uint64_t& lcs) noexcept;

/// At most this many distinct code points of a pattern are renumbered.
inline constexpr std::size_t k_most_renumbered = 16;

/// Whether a code point of a wide pattern compared as bytes is renumbered: everything beyond
/// ASCII.
inline bool is_renumbered(std::uint32_t point) noexcept {
    return point >= 0x80;
}

/// The byte of a renumbered code point: 0x80 + its index in `renumbered`, or
/// 0x80 + k_most_renumbered, which no pattern code point has, when it is not there.
inline std::uint8_t renumber(std::uint32_t point,
                             std::span<const std::uint32_t> renumbered) noexcept {
    std::size_t k = 0;
    while (k < renumbered.size() && renumbered[k] != point)
        ++k;
    return static_cast<std::uint8_t>(0x80 + (k < renumbered.size() ? k : k_most_renumbered));
}

/// For comparing a wide pattern of mostly ASCII as bytes: narrows `count` code points of `text`,
/// sixteen at a time, into bytes that match the pattern's narrowed the same way. ASCII stays as
/// it is, each of the pattern's `renumbered` code points (at most k_most_renumbered) becomes
/// `renumber`'s byte, and every other code point the byte no pattern code point has. Must only
/// be called where `vector_rows_supported()` holds. Instantiated for 1-, 2- and 4-byte text.
template <class T>
void narrow_text_avx512(const T* text, std::size_t count, std::span<const std::uint32_t> renumbered,
                        std::uint8_t* narrowed) noexcept;

enum class RowPath { scalar, vector };

/// The path the process uses now, set when the module loads (until then, and where the CPU lacks
/// the vectors, the scalar one) and changed only by `select_row_path`.
extern std::atomic<RowPath> current_row_path;

/// The path the process uses now: one load, which every short call makes a few times.
inline RowPath row_path() noexcept {
    return current_row_path.load(std::memory_order_relaxed);
}

/// Makes `path` the process's path; returns false, changing nothing, for the vector path on a
/// CPU without it.
bool select_row_path(RowPath path) noexcept;

/// The update function of the path the process uses now, for a caller to keep over many rows.
RowUpdate row_update() noexcept;

/// Updates a row through the path the process uses now.
inline std::uint64_t advance_row(std::uint64_t* bits, const std::uint64_t* mask,
                                 std::size_t words) noexcept {
    return row_update()(bits, mask, words);
}

} // namespace corvane::detail
