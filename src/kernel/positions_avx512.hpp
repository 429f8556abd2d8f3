// The positions of a code point in a pattern held in 512-bit vectors, for the routines that
// compare a pattern with each streamed code point.
#pragma once

#include "cpu.hpp"

#if CORVANE_X86_AVX512

#include <immintrin.h>

#include <cstdint>

namespace corvane::detail {

/// Whether every comparison of `positions_of` takes its vector's mask. Up to four vectors it
/// costs nothing. Beyond, only the last vector, partly past the pattern's end, takes one: with a
/// mask register held for every vector as well as one for each comparison, seven vectors of
/// 2-byte code points ran out of mask registers and reloaded them from the stack on every code
/// point (Cyrillic at 200 code points took a quarter longer than on 256-bit vectors). Bytes take
/// at most five vectors and keep every mask.
template <unsigned Vectors, class P>
inline constexpr bool k_masks_each = sizeof(P) == 1 || Vectors <= 4;

// The positions of `point` in a pattern held in `lane` (the lanes past its end masked off by
// `valid`), a word for every 64 code points. A code point of wider text than the pattern's must
// not match the one of its low bits.
template <unsigned Vectors, class P, class T>
[[CORVANE_TARGET_AVX512_ROWS, gnu::always_inline]] inline void
positions_of(const __m512i* lane, const std::uint64_t* valid, std::uint32_t point,
             std::uint64_t* mask) noexcept {
    constexpr unsigned words = (Vectors * (64 / sizeof(P)) + 63) / 64;
    if constexpr (sizeof(P) == 1) {
        const __m512i probe = _mm512_set1_epi8(static_cast<char>(point));
        for (unsigned k = 0; k < Vectors; ++k)
            mask[k] = _mm512_mask_cmpeq_epi8_mask(valid[k], lane[k], probe);
    } else if constexpr (sizeof(P) == 2) {
        // The comparisons' masks are joined in mask registers, and a word moved out once.
        const __m512i probe = _mm512_set1_epi16(static_cast<short>(point));
        __mmask32 found[words * 2] = {};
        for (unsigned k = 0; k < Vectors; ++k)
            found[k] = k + 1 < Vectors && !k_masks_each<Vectors, P>
                           ? _mm512_cmpeq_epi16_mask(lane[k], probe)
                           : _mm512_mask_cmpeq_epi16_mask(static_cast<__mmask32>(valid[k]), lane[k],
                                                          probe);
        for (unsigned word = 0; word < words; ++word)
            mask[word] = _cvtmask64_u64(_mm512_kunpackd(found[2 * word + 1], found[2 * word]));
    } else {
        const __m512i probe = _mm512_set1_epi32(static_cast<int>(point));
        __mmask16 found[words * 4] = {};
        for (unsigned k = 0; k < Vectors; ++k)
            found[k] = k + 1 < Vectors && !k_masks_each<Vectors, P>
                           ? _mm512_cmpeq_epi32_mask(lane[k], probe)
                           : _mm512_mask_cmpeq_epi32_mask(static_cast<__mmask16>(valid[k]), lane[k],
                                                          probe);
        for (unsigned word = 0; word < words; ++word)
            mask[word] = _cvtmask64_u64(
                _mm512_kunpackd(_mm512_kunpackw(found[4 * word + 3], found[4 * word + 2]),
                                _mm512_kunpackw(found[4 * word + 1], found[4 * word])));
    }
    if constexpr (sizeof(T) > sizeof(P))
        for (unsigned word = 0; word < words; ++word)
            mask[word] &= 0 - std::uint64_t{point < (std::uint32_t{1} << (8 * sizeof(P)))};
}

} // namespace corvane::detail

#endif
