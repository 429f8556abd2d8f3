// UTF-8 lengths of stored text counted on 512-bit vectors, and the choice of count.
#include "text.hpp"

#include <bit>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace corvane::detail {

#if defined(__x86_64__)

#define CORVANE_AVX512 gnu::target("avx512f,avx512bw,popcnt,bmi2")

namespace {

// A masked load reads only the code points it keeps and never faults on the rest; the lanes it
// leaves out are zero, which count as one byte each and are no surrogates.
template <class Point>
[[CORVANE_AVX512, gnu::always_inline]] inline __m512i load_points(const Point* points,
                                                                  std::size_t count) noexcept {
    const std::uint64_t keep = _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(count));
    if constexpr (sizeof(Point) == 1)
        return _mm512_maskz_loadu_epi8(keep, points);
    else if constexpr (sizeof(Point) == 2)
        return _mm512_maskz_loadu_epi16(static_cast<__mmask32>(keep), points);
    else
        return _mm512_maskz_loadu_epi32(static_cast<__mmask16>(keep), points);
}

// Bytes beyond one of each code point in `v`, and whether any of them is a surrogate.
[[CORVANE_AVX512, gnu::always_inline]] inline unsigned extra_bytes(__m512i v, std::uint8_t,
                                                                   std::uint32_t&) noexcept {
    return static_cast<unsigned>(std::popcount(_mm512_movepi8_mask(v)));
}

[[CORVANE_AVX512, gnu::always_inline]] inline unsigned
extra_bytes(__m512i v, std::uint16_t, std::uint32_t& surrogates) noexcept {
    const __mmask32 from_0x80 = _mm512_cmpge_epu16_mask(v, _mm512_set1_epi16(0x80));
    const __mmask32 from_0x800 = _mm512_cmpge_epu16_mask(v, _mm512_set1_epi16(0x800));
    surrogates |= _mm512_cmpeq_epi16_mask(_mm512_and_si512(v, _mm512_set1_epi16(-0x800)),
                                          _mm512_set1_epi16(-0x2800));
    return static_cast<unsigned>(std::popcount(from_0x80) + std::popcount(from_0x800));
}

[[CORVANE_AVX512, gnu::always_inline]] inline unsigned
extra_bytes(__m512i v, std::uint32_t, std::uint32_t& surrogates) noexcept {
    const __mmask16 from_0x80 = _mm512_cmpge_epu32_mask(v, _mm512_set1_epi32(0x80));
    const __mmask16 from_0x800 = _mm512_cmpge_epu32_mask(v, _mm512_set1_epi32(0x800));
    const __mmask16 from_0x10000 = _mm512_cmpge_epu32_mask(v, _mm512_set1_epi32(0x10000));
    surrogates |= _mm512_cmplt_epu32_mask(_mm512_sub_epi32(v, _mm512_set1_epi32(0xD800)),
                                          _mm512_set1_epi32(0x800));
    return static_cast<unsigned>(std::popcount(from_0x80) + std::popcount(from_0x800) +
                                 std::popcount(from_0x10000));
}

template <class Point>
[[CORVANE_AVX512]] std::optional<std::uint64_t> count_vectors(const Point* points,
                                                              std::size_t length) noexcept {
    constexpr std::size_t per_vector = 64 / sizeof(Point);
    std::uint64_t extra = 0;
    std::uint32_t surrogates = 0;
    std::size_t k = 0;
    for (; k + per_vector <= length; k += per_vector)
        extra += extra_bytes(_mm512_loadu_si512(points + k), Point{}, surrogates);
    if (k < length) extra += extra_bytes(load_points(points + k, length - k), Point{}, surrogates);
    if (surrogates != 0) return std::nullopt;
    return length + extra;
}

} // namespace

template <class Point>
std::optional<std::uint64_t> utf8_length_avx512(const Point* points, std::size_t length) noexcept {
    return count_vectors(points, length);
}

#undef CORVANE_AVX512

const bool vector_text_supported = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi2");
}();

#else

// Elsewhere the vector count never runs; this keeps the names defined.
template <class Point>
std::optional<std::uint64_t> utf8_length_avx512(const Point* points, std::size_t length) noexcept {
    return utf8_length(points, length);
}

const bool vector_text_supported = false;

#endif

template std::optional<std::uint64_t> utf8_length_avx512(const std::uint8_t*, std::size_t) noexcept;
template std::optional<std::uint64_t> utf8_length_avx512(const std::uint16_t*,
                                                         std::size_t) noexcept;
template std::optional<std::uint64_t> utf8_length_avx512(const std::uint32_t*,
                                                         std::size_t) noexcept;

} // namespace corvane::detail
