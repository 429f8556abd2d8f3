// The kernel's AVX-512 routines: the row update, compared rows, byte rows, both-ways rows and the
// narrowing of text.
#pragma once

#include "cpu.hpp"
#include "kernel/row.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace corvane::detail {

// Every routine here gives the same bits and carries as its scalar model, and must only be called
// where `cpu::has` holds for the feature set its comment names. They are compiled for AVX-512 in
// their own functions only, so the module loads and runs on any x86-64 CPU; elsewhere, and in
// builds capped below AVX-512, portable versions keep the names defined.

/// Calls `run.template operator()<N>()` for N = `count`, 1 to `Most`: the instance of a
/// vector routine for a pattern of that many vectors.
template <std::size_t Most, class Run>
std::uint64_t with_vector_count(std::size_t count, std::uint64_t otherwise, Run&& run) {
    return [&]<std::size_t... Less>(std::index_sequence<Less...>) {
        std::uint64_t result = otherwise;
        (void)((count == Less + 1 && (result = run.template operator()<Less + 1>(), true)) || ...);
        return result;
    }(std::make_index_sequence<Most>());
}

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

/// The update of `advance_row_scalar` on 512-bit vectors, for any `words` >= 1. Needs
/// `cpu::k_avx512_rows`, as do all the routines below unless their comment says otherwise.
std::uint64_t advance_row_avx512(std::uint64_t* bits, const std::uint64_t* mask,
                                 std::size_t words) noexcept;

/// The pair update of `advance_row_scalar_pair` on 512-bit vectors.
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
/// LCS `lcs` reaches `size`, and returns the new LCS.
/// Instantiated for every pair of 1-, 2- and 4-byte code points.
template <class P, class T>
std::uint64_t feed_compared_avx512(const P* points, std::size_t size, const T* text,
                                   std::size_t count, std::uint64_t* bits,
                                   std::uint64_t lcs) noexcept;

/// The LCS of a byte pattern of 1 to 64 code points with `count` code points of `text`, fed to
/// two rows at once: the text's first half from the pattern's start and its second half,
/// backwards, from the pattern's end. Needs `cpu::k_avx512_both_ways`.
/// Instantiated for 1-, 2- and 4-byte text.
template <class T>
std::uint64_t lcs_both_ways_avx512(const std::uint8_t* points, std::size_t size, const T* text,
                                   std::size_t count) noexcept;

/// Numbers the distinct bytes of a pattern of `size` (1 or more) bytes from 1, in increasing
/// order: writes each one's number to `ids` (256 entries; the others are left as they are) and
/// the byte itself to `bytes` at its number - 1. Returns how many there are.
std::size_t number_bytes_avx512(const std::uint8_t* points, std::size_t size, std::uint32_t* ids,
                                std::uint8_t* bytes) noexcept;

/// Writes the rows of a byte pattern of `size` code points, `words` (1 to 8) words of them,
/// numbered by `number_bytes_avx512`: row 0 for bytes the pattern lacks, then one for each of its
/// `distinct` `bytes`. A row is `words` words of positions followed by their complement, so
/// `rows` holds (distinct + 1) x 2 x words words.
void byte_rows_avx512(const std::uint8_t* points, std::size_t size, std::size_t words,
                      const std::uint8_t* bytes, std::size_t distinct,
                      std::uint64_t* rows) noexcept;

/// The LCS of a 4-byte pattern of 17 to 64 code points with `count` code points of `text`, fed
/// both ways as `lcs_both_ways_avx512` does, into `lcs`; returns false, touching nothing, when a
/// code point of the pattern lies beyond the first two planes. Needs `cpu::k_avx512_both_ways`.
/// Instantiated for 1-, 2- and 4-byte text.
template <class T>
bool lcs_halves_both_ways_avx512(const std::uint32_t* points, std::size_t size, const T* text,
                                 std::size_t count, std::uint64_t& lcs) noexcept;

/// What `number_bytes_avx512` does, in plain C++: the distinct bytes of a pattern numbered from 1
/// in increasing order, each one's number in `ids` and the bytes in `bytes`; returns how many.
inline std::size_t number_bytes(const std::uint8_t* points, std::size_t size, std::uint32_t* ids,
                                std::uint8_t* bytes) noexcept {
    bool present[256] = {};
    for (std::size_t k = 0; k < size; ++k)
        present[points[k]] = true;
    std::size_t distinct = 0;
    for (std::size_t byte = 0; byte < 256; ++byte)
        if (present[byte]) {
            bytes[distinct++] = static_cast<std::uint8_t>(byte);
            ids[byte] = static_cast<std::uint32_t>(distinct);
        }
    return distinct;
}

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

/// What `narrow_text_avx512` and `narrow_text_avx2` write, one code point at a time.
template <class T>
void narrow_text_plain(const T* text, std::size_t count, std::span<const std::uint32_t> renumbered,
                       std::uint8_t* narrowed) noexcept {
    for (std::size_t k = 0; k < count; ++k)
        narrowed[k] = is_renumbered(text[k]) ? renumber(text[k], renumbered)
                                             : static_cast<std::uint8_t>(text[k]);
}

/// For comparing a wide pattern of mostly ASCII as bytes: narrows `count` code points of `text`,
/// sixteen at a time, into bytes that match the pattern's narrowed the same way. ASCII stays as
/// it is, each of the pattern's `renumbered` code points (at most k_most_renumbered) becomes
/// `renumber`'s byte, and every other code point the byte no pattern code point has.
/// Instantiated for 1-, 2- and 4-byte text.
template <class T>
void narrow_text_avx512(const T* text, std::size_t count, std::span<const std::uint32_t> renumbered,
                        std::uint8_t* narrowed) noexcept;

} // namespace corvane::detail
