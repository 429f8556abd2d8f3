// The kernel's AVX-512 routines, and their portable stand-ins where they are not compiled.
#include "kernel/vector.hpp"

#include "kernel/compared_plain.hpp"
#include "kernel/positions_avx512.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <span>
#include <utility>

#if CORVANE_X86_AVX512
#include <immintrin.h>
#endif

namespace corvane::detail {

#if CORVANE_X86_AVX512

namespace {

// One chunk of eight words, the lanes past `lanes` zero in both inputs. Each lane first adds its
// matched bits on its own. A lane generates a carry when its sum wrapped (the sum is below the
// old value) and passes one on when its sum is all ones; the two never hold together, since a
// wrapped sum is at most 2^64 - 2. With the generate bits moved up one lane and the carry in at
// bit 0, adding the propagate bits runs each carry through the lanes that pass it on, so the
// exclusive or with the propagate bits leaves the lanes that receive a carry, and the bit above
// the last lane is the carry out. Zero lanes neither generate nor propagate, so a short chunk
// ends its carry at bit `lanes`. The carry is the only link from chunk to chunk, and on it lie
// just an add and a shift; the rest overlaps with the neighbouring chunks.
[[CORVANE_TARGET_AVX512_ROWS, gnu::always_inline]] inline __m512i
advance_chunk(__m512i bits, __m512i mask, unsigned& carry, unsigned lanes) noexcept {
    const __m512i ones = _mm512_set1_epi64(-1);
    const __m512i sum = _mm512_add_epi64(bits, _mm512_and_si512(bits, mask));
    const unsigned generate = _mm512_cmplt_epu64_mask(sum, bits);
    const unsigned propagate = _mm512_cmpeq_epi64_mask(sum, ones);
    const unsigned lookahead = propagate + (generate << 1);
    const unsigned chained = lookahead + carry;
    carry = chained >> lanes;
    const __mmask8 receive = static_cast<__mmask8>(chained ^ propagate);
    // Subtracting all ones adds one to the receiving lanes; then sum | (bits & ~mask).
    const __m512i carried = _mm512_mask_sub_epi64(sum, receive, sum, ones);
    return _mm512_ternarylogic_epi64(carried, bits, mask, 0xF4);
}

[[CORVANE_TARGET_AVX512_ROWS, gnu::always_inline]] inline __mmask8
tail_lanes(std::size_t lanes) noexcept {
    return static_cast<__mmask8>((1u << lanes) - 1);
}

} // namespace

[[CORVANE_TARGET_AVX512_ROWS]] std::uint64_t
advance_row_avx512(std::uint64_t* bits, const std::uint64_t* mask, std::size_t words) noexcept {
    unsigned carry = 0;
    std::size_t word = 0;
    for (; word + 8 <= words; word += 8) {
        const __m512i row = _mm512_loadu_si512(bits + word);
        const __m512i positions = _mm512_loadu_si512(mask + word);
        _mm512_storeu_si512(bits + word, advance_chunk(row, positions, carry, 8));
    }
    if (const std::size_t rest = words - word; rest != 0) {
        const __mmask8 active = tail_lanes(rest);
        const __m512i row = _mm512_maskz_loadu_epi64(active, bits + word);
        const __m512i positions = _mm512_maskz_loadu_epi64(active, mask + word);
        _mm512_mask_storeu_epi64(bits + word, active,
                                 advance_chunk(row, positions, carry, static_cast<unsigned>(rest)));
    }
    return carry;
}

[[CORVANE_TARGET_AVX512_ROWS]] std::uint64_t advance_row_avx512_pair(std::uint64_t* bits,
                                                                     const std::uint64_t* mask_a,
                                                                     const std::uint64_t* mask_b,
                                                                     std::size_t words) noexcept {
    unsigned carry_a = 0;
    unsigned carry_b = 0;
    std::size_t word = 0;
    for (; word + 8 <= words; word += 8) {
        __m512i row = _mm512_loadu_si512(bits + word);
        row = advance_chunk(row, _mm512_loadu_si512(mask_a + word), carry_a, 8);
        row = advance_chunk(row, _mm512_loadu_si512(mask_b + word), carry_b, 8);
        _mm512_storeu_si512(bits + word, row);
    }
    if (const std::size_t rest = words - word; rest != 0) {
        const __mmask8 active = tail_lanes(rest);
        const unsigned lanes = static_cast<unsigned>(rest);
        __m512i row = _mm512_maskz_loadu_epi64(active, bits + word);
        row = advance_chunk(row, _mm512_maskz_loadu_epi64(active, mask_a + word), carry_a, lanes);
        row = advance_chunk(row, _mm512_maskz_loadu_epi64(active, mask_b + word), carry_b, lanes);
        _mm512_mask_storeu_epi64(bits + word, active, row);
    }
    return std::uint64_t{carry_a} + carry_b;
}

namespace {

// The pattern into `Vectors` vectors, with the mask of the lanes each holds; a masked load never
// faults on what it leaves out, so nothing past the pattern's end is read.
template <unsigned Vectors, class P>
[[CORVANE_TARGET_AVX512_ROWS, gnu::always_inline]] inline void
load_pattern(const P* points, std::size_t size, __m512i* lane, std::uint64_t* valid) noexcept {
    constexpr unsigned per_vector = 64 / sizeof(P);
    for (unsigned k = 0; k < Vectors; ++k) {
        const std::size_t first = std::min<std::size_t>(per_vector * k, size);
        const std::size_t held = std::min<std::size_t>(per_vector, size - first);
        valid[k] = held == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << held) - 1;
        if constexpr (sizeof(P) == 1)
            lane[k] = _mm512_maskz_loadu_epi8(valid[k], points + first);
        else if constexpr (sizeof(P) == 2)
            lane[k] = _mm512_maskz_loadu_epi16(static_cast<__mmask32>(valid[k]), points + first);
        else
            lane[k] = _mm512_maskz_loadu_epi32(static_cast<__mmask16>(valid[k]), points + first);
    }
}

// The pattern is read where it lies, a vector at a time, with the positions past its end masked
// off (a masked load never faults on what it leaves out, and a copy would make each vector load
// wait for the stores of its bytes). Each code point of text is broadcast and compared with
// every vector; the comparison masks are the row's positions directly. Code points are compared
// at the pattern's own width: 64 bytes, 32 2-byte or 16 4-byte code points a vector, so a wider
// code point of text must not match the one of its low bits.
//
// A `Fresh` row, which nothing reads afterwards, counts its LCS once at the end from its zeros,
// rather than adding each code point's carry on the way (positions past the pattern never match,
// so they stay ones).
template <unsigned Vectors, class P, class T, bool Fresh = false>
[[CORVANE_TARGET_AVX512_ROWS]] std::uint64_t
feed_vectors(const P* points, std::size_t size, const T* text, std::size_t count,
             std::uint64_t* bits_io, std::uint64_t lcs) noexcept {
    constexpr unsigned per_vector = 64 / sizeof(P);
    constexpr unsigned words = (Vectors * per_vector + 63) / 64;
    __m512i lane[Vectors];
    std::uint64_t valid[Vectors];
    load_pattern<Vectors>(points, size, lane, valid);
    std::uint64_t bits[words];
    for (unsigned word = 0; word < words; ++word)
        bits[word] = bits_io != nullptr ? bits_io[word] : ~std::uint64_t{0};
    const auto zeros = [&] {
        std::uint64_t found = 0;
        for (unsigned word = 0; word < words; ++word)
            found += static_cast<std::uint64_t>(std::popcount(~bits[word]));
        return found;
    };
    // Whether every pattern position is matched is asked once a stretch, not every code point:
    // that test waits on the row's carry, so the loop's last branch, mispredicted when the
    // length of text changes from call to call, resolved only after the whole chain.
    constexpr std::size_t stretch = 256;
    for (std::size_t done = 0; done < count && lcs < size;) {
        const std::size_t end = std::min(count, done + stretch);
        for (; done < end; ++done) {
            const std::uint32_t point = text[done];
            std::uint64_t mask[words];
            positions_of<Vectors, P, T>(lane, valid, point, mask);
            // The masks are whole before they meet the row: left to itself, the compiler may move
            // the row into a mask register to and it with an unmasked comparison, which puts two
            // moves between mask and general registers on the row's chain.
            if constexpr (!k_masks_each<Vectors, P>)
                for (unsigned word = 0; word < words; ++word)
                    asm("" : "+r"(mask[word]));
            std::uint64_t carry = 0;
            if constexpr (words > 1 && (sizeof(P) == 1 || Vectors <= 4)) {
                [&]<std::size_t... Run>(std::index_sequence<Run...>) {
                    (advance_run<std::min<std::size_t>(4, words - 4 * Run)>(bits + 4 * Run,
                                                                            mask + 4 * Run, carry),
                     ...);
                }(std::make_index_sequence<(words + 3) / 4>());
            } else {
                // One word has no chain to keep whole. With more vectors than mask registers can
                // hold, word by word measured faster: each word's comparisons and update
                // interleave.
                for (unsigned word = 0; word < words; ++word)
                    carry = advance_word(bits[word], mask[word], carry);
            }
            if constexpr (!Fresh) lcs += carry;
        }
        if constexpr (Fresh) lcs = zeros();
    }
    if (bits_io != nullptr)
        for (unsigned word = 0; word < words; ++word)
            bits_io[word] = bits[word];
    return lcs;
}

// `feed_vectors` for a fresh row of one word that nothing reads afterwards: the LCS is counted
// once at the end, from the row's zeros at the pattern's positions, instead of adding each code
// point's carry on the way. Positions past the pattern never match, so they stay ones. Taken for
// 2- and 4-byte patterns, whose masks are joined from several comparisons (Cyrillic at 64 code
// points 9% faster on Zen 5); byte patterns keep the carries, 1 ns faster at 4 to 16 letters.
template <unsigned Vectors, class P, class T>
[[CORVANE_TARGET_AVX512_ROWS, gnu::hot]] std::uint64_t
fresh_word_vectors(const P* points, std::size_t size, const T* text, std::size_t count) noexcept {
    constexpr unsigned per_vector = 64 / sizeof(P);
    static_assert(Vectors * per_vector <= 64, "one word of row");
    __m512i lane[Vectors];
    std::uint64_t valid[Vectors];
    load_pattern<Vectors>(points, size, lane, valid);
    const std::uint64_t pattern = size == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << size) - 1;
    std::uint64_t bits = ~std::uint64_t{0};
    constexpr std::size_t stretch = 256;
    for (std::size_t done = 0; done < count;) {
        const std::size_t end = std::min(count, done + stretch);
        for (; done < end; ++done) {
            std::uint64_t mask[1];
            positions_of<Vectors, P, T>(lane, valid, text[done], mask);
            advance_word(bits, mask[0], 0);
        }
        // Every position matched: the rest of the text changes nothing.
        if ((bits & pattern) == 0) break;
    }
    return static_cast<std::uint64_t>(std::popcount(~bits & pattern));
}

} // namespace

template <class P, class T>
[[gnu::hot]] std::uint64_t feed_compared_avx512(const P* points, std::size_t size, const T* text,
                                                std::size_t count, std::uint64_t* bits,
                                                std::uint64_t lcs) noexcept {
    constexpr std::size_t per_vector = 64 / sizeof(P);
    constexpr std::size_t most = k_compared_up_to<P> / per_vector;
    const std::size_t vectors = (size + per_vector - 1) / per_vector;
    // A fresh row of several words counts its LCS at the end (letters at 128 to 256 code points
    // about 15% faster on Zen 5, Cyrillic and CJK at 200 about 10%).
    if (bits == nullptr && lcs == 0 && size > 64) {
        return with_vector_count<most>(vectors, 0, [&]<std::size_t Vectors>() {
            return feed_vectors<Vectors, P, T, true>(points, size, text, count, nullptr, 0);
        });
    }
    if (sizeof(P) > 1 && bits == nullptr && lcs == 0) {
        return with_vector_count<64 / per_vector>(vectors, 0, [&]<std::size_t Vectors>() {
            return fresh_word_vectors<Vectors, P, T>(points, size, text, count);
        });
    }
    return with_vector_count<most>(vectors, lcs, [&]<std::size_t Vectors>() {
        return feed_vectors<Vectors>(points, size, text, count, bits, lcs);
    });
}

namespace {

// Adds eight code points, widened to the lanes of `point`, to the set of bytes held as four
// 64-bit quarters: each quarter takes one bit per lane, 1 << (byte - 64 x quarter), and a shift
// by a count beyond 63 (a byte below the quarter wraps around to a huge count) leaves no bit.
[[CORVANE_TARGET_AVX512_ROWS, gnu::always_inline]] inline void
add_bytes(__m512i (&quarters)[4], __m512i point, __mmask8 lanes) noexcept {
    for (int quarter = 0; quarter < 4; ++quarter)
        quarters[quarter] = _mm512_or_si512(
            quarters[quarter],
            _mm512_maskz_sllv_epi64(lanes, _mm512_set1_epi64(1),
                                    _mm512_sub_epi64(point, _mm512_set1_epi64(64 * quarter))));
}

} // namespace

[[CORVANE_TARGET_AVX512_ROWS]] std::size_t number_bytes_avx512(const std::uint8_t* points,
                                                               std::size_t size, std::uint32_t* ids,
                                                               std::uint8_t* bytes) noexcept {
    __m512i quarters[4] = {};
    std::size_t k = 0;
    for (; k + 8 <= size; k += 8)
        add_bytes(
            quarters,
            _mm512_cvtepu8_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(points + k))),
            0xFF);
    if (k < size) {
        const auto lanes = static_cast<__mmask8>((1u << (size - k)) - 1);
        add_bytes(quarters, _mm512_cvtepu8_epi64(_mm_maskz_loadu_epi8(lanes, points + k)), lanes);
    }
    std::size_t distinct = 0;
    for (int quarter = 0; quarter < 4; ++quarter) {
        for (std::uint64_t present = _mm512_reduce_or_epi64(quarters[quarter]); present != 0;
             present &= present - 1) {
            const auto byte = static_cast<std::uint8_t>(64 * quarter + std::countr_zero(present));
            bytes[distinct++] = byte;
            ids[byte] = static_cast<std::uint32_t>(distinct);
        }
    }
    return distinct;
}

namespace {

template <std::size_t Words>
[[CORVANE_TARGET_AVX512_ROWS]] void byte_rows(const std::uint8_t* points, std::size_t size,
                                              const std::uint8_t* bytes, std::size_t distinct,
                                              std::uint64_t* rows) noexcept {
    // The pattern in registers, the last vector's load leaving out what lies past it.
    __m512i lane[Words];
    std::uint64_t valid[Words];
    for (std::size_t word = 0; word < Words; ++word) {
        const std::size_t held = std::min<std::size_t>(64, size - 64 * word);
        valid[word] = held == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << held) - 1;
        lane[word] = _mm512_maskz_loadu_epi8(valid[word], points + 64 * word);
    }
    for (std::size_t word = 0; word < Words; ++word) {
        rows[word] = 0;
        rows[Words + word] = ~std::uint64_t{0};
    }
    for (std::size_t id = 1; id <= distinct; ++id) {
        const __m512i probe = _mm512_set1_epi8(static_cast<char>(bytes[id - 1]));
        std::uint64_t* row = rows + id * 2 * Words;
        for (std::size_t word = 0; word < Words; ++word) {
            const std::uint64_t mask = _mm512_mask_cmpeq_epi8_mask(valid[word], lane[word], probe);
            row[word] = mask;
            row[Words + word] = ~mask;
        }
    }
}

} // namespace

void byte_rows_avx512(const std::uint8_t* points, std::size_t size, std::size_t words,
                      const std::uint8_t* bytes, std::size_t distinct,
                      std::uint64_t* rows) noexcept {
    // The instance for this many words.
    [&]<std::size_t... Less>(std::index_sequence<Less...>) {
        (void)((words == Less + 1 &&
                (byte_rows<Less + 1>(points, size, bytes, distinct, rows), true)) ||
               ...);
    }(std::make_index_sequence<8>());
}

namespace {

template <class T>
[[CORVANE_TARGET_AVX512_ROWS]] void narrow_text(const T* text, std::size_t count,
                                                std::span<const std::uint32_t> renumbered,
                                                std::uint8_t* narrowed) noexcept {
    const __m512i beyond_ascii = _mm512_set1_epi32(0x7F);
    const __m128i absent = _mm_set1_epi8(static_cast<char>(0x80 + k_most_renumbered));
    for (std::size_t k = 0; k < count; k += 16) {
        const auto keep = static_cast<__mmask16>((1u << std::min<std::size_t>(16, count - k)) - 1);
        __m512i points;
        if constexpr (sizeof(T) == 1)
            points = _mm512_cvtepu8_epi32(_mm_maskz_loadu_epi8(keep, text + k));
        else if constexpr (sizeof(T) == 2)
            points = _mm512_cvtepu16_epi32(_mm256_maskz_loadu_epi16(keep, text + k));
        else
            points = _mm512_maskz_loadu_epi32(keep, text + k);
        // ASCII as it is, everything else the absent byte unless it is renumbered.
        __m128i bytes = _mm_mask_blend_epi8(_mm512_cmpgt_epu32_mask(points, beyond_ascii),
                                            _mm512_cvtepi32_epi8(points), absent);
        for (std::size_t index = 0; index < renumbered.size(); ++index)
            bytes = _mm_mask_blend_epi8(
                _mm512_cmpeq_epi32_mask(points,
                                        _mm512_set1_epi32(static_cast<int>(renumbered[index]))),
                bytes, _mm_set1_epi8(static_cast<char>(0x80 + index)));
        _mm_mask_storeu_epi8(narrowed + k, keep, bytes);
    }
}

} // namespace

template <class T>
void narrow_text_avx512(const T* text, std::size_t count, std::span<const std::uint32_t> renumbered,
                        std::uint8_t* narrowed) noexcept {
    narrow_text(text, count, renumbered, narrowed);
}

#else

// Without AVX-512 these never run where `cpu::has` is asked first; they keep the names defined
// and give the same results.
std::uint64_t advance_row_avx512(std::uint64_t* bits, const std::uint64_t* mask,
                                 std::size_t words) noexcept {
    return advance_row_scalar(bits, mask, words);
}

std::uint64_t advance_row_avx512_pair(std::uint64_t* bits, const std::uint64_t* mask_a,
                                      const std::uint64_t* mask_b, std::size_t words) noexcept {
    return advance_row_scalar_pair(bits, mask_a, mask_b, words);
}

template <class P, class T>
std::uint64_t feed_compared_avx512(const P* points, std::size_t size, const T* text,
                                   std::size_t count, std::uint64_t* bits,
                                   std::uint64_t lcs) noexcept {
    return feed_compared_plain(points, size, text, count, bits, lcs);
}

std::size_t number_bytes_avx512(const std::uint8_t* points, std::size_t size, std::uint32_t* ids,
                                std::uint8_t* bytes) noexcept {
    return number_bytes(points, size, ids, bytes);
}

void byte_rows_avx512(const std::uint8_t* points, std::size_t size, std::size_t words,
                      const std::uint8_t* bytes, std::size_t distinct,
                      std::uint64_t* rows) noexcept {
    byte_rows_plain(points, size, words, bytes, distinct, rows);
}

template <class T>
void narrow_text_avx512(const T* text, std::size_t count, std::span<const std::uint32_t> renumbered,
                        std::uint8_t* narrowed) noexcept {
    narrow_text_plain(text, count, renumbered, narrowed);
}

#endif

#define CORVANE_INSTANTIATE(P, T)                                                                  \
    template std::uint64_t feed_compared_avx512(const P*, std::size_t, const T*, std::size_t,      \
                                                std::uint64_t*, std::uint64_t) noexcept;
CORVANE_EACH_WIDTH_PAIR(CORVANE_INSTANTIATE)
#undef CORVANE_INSTANTIATE
#define CORVANE_INSTANTIATE(T)                                                                     \
    template void narrow_text_avx512(const T*, std::size_t, std::span<const std::uint32_t>,        \
                                     std::uint8_t*) noexcept;
CORVANE_EACH_WIDTH(CORVANE_INSTANTIATE)
#undef CORVANE_INSTANTIATE

} // namespace corvane::detail
