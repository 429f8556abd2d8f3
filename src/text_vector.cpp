// UTF-8 lengths of stored text counted on 512-bit vectors.
#include "text.hpp"

#include <algorithm>
#include <bit>

#if CORVANE_X86_AVX512
#include <immintrin.h>
#endif

namespace corvane::detail {

#if CORVANE_X86_AVX512

namespace {

// A masked load reads only the code points it keeps and never faults on the rest; the lanes it
// leaves out are zero, which count as one byte each and are no surrogates.
template <class Point>
[[CORVANE_TARGET_AVX512_TEXT, gnu::always_inline]] inline __m512i
load_points(const Point* points, std::size_t count) noexcept {
    const std::uint64_t keep = _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(count));
    if constexpr (sizeof(Point) == 1)
        return _mm512_maskz_loadu_epi8(keep, points);
    else if constexpr (sizeof(Point) == 2)
        return _mm512_maskz_loadu_epi16(static_cast<__mmask32>(keep), points);
    else
        return _mm512_maskz_loadu_epi32(static_cast<__mmask16>(keep), points);
}

// The UTF-8 length of 1-byte text: one byte more for each code point from 0x80 on, the top bit
// of each lane moved out as a mask and counted. Latin-1 text has no surrogates.
[[CORVANE_TARGET_AVX512_TEXT]] std::uint64_t count_bytes(const std::uint8_t* points,
                                                         std::size_t length) noexcept {
    std::uint64_t extra = 0;
    std::size_t k = 0;
    for (; k + 64 <= length; k += 64)
        extra += static_cast<unsigned>(
            std::popcount(_mm512_movepi8_mask(_mm512_loadu_si512(points + k))));
    if (k < length)
        extra += static_cast<unsigned>(
            std::popcount(_mm512_movepi8_mask(load_points(points + k, length - k))));
    return length + extra;
}

// The bytes beyond one of each 2- or 4-byte code point in `v`, summed into 32-bit lanes with no
// mask moved out: a code point adds min(point >> 7, 1) for reaching 0x80, and so on.
[[CORVANE_TARGET_AVX512_TEXT, gnu::always_inline]] inline __m512i
extra_lanes(__m512i v, std::uint16_t, __mmask64& surrogates) noexcept {
    const __m512i one = _mm512_set1_epi16(1);
    const __m512i extra = _mm512_add_epi16(_mm512_min_epu16(_mm512_srli_epi16(v, 7), one),
                                           _mm512_min_epu16(_mm512_srli_epi16(v, 11), one));
    surrogates |= _mm512_cmpeq_epi16_mask(_mm512_and_si512(v, _mm512_set1_epi16(-0x800)),
                                          _mm512_set1_epi16(-0x2800));
    return _mm512_madd_epi16(extra, one);
}

// A 4-byte code point's extra bytes follow from its leading zeros: none from 25 on (7 bits or
// fewer), 1 from 21, 2 from 16 and 3 from 11, the most a code point has. The table is indexed by
// their five low bits, so the 32 of NUL land on entry 0, which no code point reaches otherwise.
[[CORVANE_TARGET_AVX512_TEXT, gnu::always_inline]] inline __m512i
extra_lanes(__m512i v, std::uint32_t, __mmask64& surrogates) noexcept {
    const __m512i entries_0_to_15 =
        _mm512_set_epi32(3, 3, 3, 3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m512i entries_16_to_31 =
        _mm512_set_epi32(0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 2);
    surrogates |=
        _mm512_cmpeq_epi32_mask(_mm512_srli_epi32(v, 11), _mm512_set1_epi32(0xD800 >> 11));
    return _mm512_permutex2var_epi32(entries_0_to_15, _mm512_lzcnt_epi32(v), entries_16_to_31);
}

// The UTF-8 length of 2- and 4-byte text: the counts stay in the vector's lanes, only the last
// load masked, and are added up once a stretch. Short text, the common case, is done in a
// few dependent steps; a lane gains at most 4 a vector, so a stretch of 2^24 code points cannot
// wrap it.
template <class Point>
[[CORVANE_TARGET_AVX512_TEXT]] std::uint64_t count_wide_vectors(const Point* points,
                                                                std::size_t length) noexcept {
    constexpr std::size_t per_vector = 64 / sizeof(Point);
    constexpr std::size_t stretch = std::size_t{1} << 24;
    std::uint64_t extra = 0;
    __mmask64 surrogates = 0;
    for (std::size_t start = 0; start < length; start += stretch) {
        const std::size_t end = std::min(length, start + stretch);
        __m512i sum = _mm512_setzero_si512();
        std::size_t k = start;
        for (; k + per_vector <= end; k += per_vector)
            sum = _mm512_add_epi32(
                sum, extra_lanes(_mm512_loadu_si512(points + k), Point{}, surrogates));
        if (k < end)
            sum = _mm512_add_epi32(
                sum, extra_lanes(load_points(points + k, end - k), Point{}, surrogates));
        extra += static_cast<std::uint32_t>(_mm512_reduce_add_epi32(sum));
    }
    if (surrogates != 0) return k_no_utf8_form;
    return length + extra;
}

} // namespace

template <class Point>
std::uint64_t utf8_length_avx512(const Point* points, std::size_t length) noexcept {
    if constexpr (sizeof(Point) == 1)
        return count_bytes(points, length);
    else
        return count_wide_vectors(points, length);
}

#else

// Without AVX-512 the vector count never runs where `cpu::has` is asked first; this keeps the
// name defined and gives the same counts.
template <class Point>
std::uint64_t utf8_length_avx512(const Point* points, std::size_t length) noexcept {
    return utf8_length_or_none(points, length);
}

#endif

template std::uint64_t utf8_length_avx512(const std::uint8_t*, std::size_t) noexcept;
template std::uint64_t utf8_length_avx512(const std::uint16_t*, std::size_t) noexcept;
template std::uint64_t utf8_length_avx512(const std::uint32_t*, std::size_t) noexcept;

} // namespace corvane::detail
