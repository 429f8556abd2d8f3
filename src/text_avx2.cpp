// UTF-8 lengths of stored text on 256-bit vectors, for CPUs without AVX-512.
#include "text.hpp"

#include "cpu.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>

#if CORVANE_X86_AVX2
#include <immintrin.h>
#endif

namespace corvane::detail {

#if CORVANE_X86_AVX2

namespace {

// Thirty-two clear lanes, then thirty-two set: a vector loaded from `window + x` has lane j set
// where j + x >= 32. Such lanes keep the code points of a vector read again at the end of the text
// that the vectors before it have not counted.
template <class Lane>
constexpr std::array<Lane, 64> lane_window() {
    std::array<Lane, 64> window{};
    for (std::size_t k = 32; k < 64; ++k)
        window[k] = -1;
    return window;
}

alignas(64) constexpr std::array<std::int16_t, 64> k_window16 = lane_window<std::int16_t>();
alignas(64) constexpr std::array<std::int32_t, 64> k_window32 = lane_window<std::int32_t>();

template <class Lane>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i kept(const std::array<Lane, 64>& window,
                                                                std::size_t x) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(window.data() + x));
}

template <class Lane>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m128i
kept_128(const std::array<Lane, 64>& window, std::size_t x) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(window.data() + x));
}

[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i load(const void* from) noexcept {
    return _mm256_loadu_si256(static_cast<const __m256i*>(from));
}

[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline unsigned top_bits(__m128i v) noexcept {
    return static_cast<unsigned>(_mm_movemask_epi8(v));
}

[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline unsigned top_bits(__m256i v) noexcept {
    return static_cast<unsigned>(_mm256_movemask_epi8(v));
}

// ---- 1-byte text: one byte more for each code point from 0x80 on, and no surrogates ----------

// Bytes summed into byte lanes for at most this many vectors, then into 64-bit lanes.
constexpr std::size_t k_byte_stretch = 254;

[[CORVANE_TARGET_AVX2]] std::uint64_t count_bytes(const std::uint8_t* points,
                                                  std::size_t length) noexcept {
    // Short text: the first and the last few bytes, the top bits of the last moved up past those
    // of the first, so that a byte read twice sets one bit.
    if (length < 4) {
        unsigned wide = 0;
        for (std::size_t k = 0; k < length; ++k)
            wide += points[k] >> 7;
        return length + wide;
    }
    if (length <= 8) {
        const unsigned first = top_bits(_mm_loadu_si32(points));
        const unsigned last = top_bits(_mm_loadu_si32(points + length - 4));
        return length + static_cast<unsigned>(std::popcount(first | last << (length - 4)));
    }
    if (length <= 16) {
        const unsigned first = top_bits(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(points)));
        const unsigned last =
            top_bits(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(points + length - 8)));
        return length + static_cast<unsigned>(std::popcount(first | last << (length - 8)));
    }
    if (length <= 32) {
        const unsigned first = top_bits(_mm_loadu_si128(reinterpret_cast<const __m128i*>(points)));
        const unsigned last =
            top_bits(_mm_loadu_si128(reinterpret_cast<const __m128i*>(points + length - 16)));
        return length + static_cast<unsigned>(std::popcount(first | last << (length - 16)));
    }
    if (length <= 64) {
        const std::uint64_t first = top_bits(load(points));
        const std::uint64_t last = top_bits(load(points + length - 32));
        return length + static_cast<unsigned>(std::popcount(first | last << (length - 32)));
    }
    std::uint64_t wide = 0;
    std::size_t k = 0;
    if (length >= 4 * 32) {
        // Long text: byte lanes count the code points from 0x80 on (a comparison gives -1), four
        // vectors a step into two sets of lanes, which are summed before they can wrap.
        const __m256i zero = _mm256_setzero_si256();
        __m256i sums = zero;
        while (length - k >= 4 * 32) {
            const std::size_t end =
                k + std::min((length - k) / (4 * 32), k_byte_stretch / 2) * (4 * 32);
            __m256i a = zero;
            __m256i b = zero;
            for (; k < end; k += 4 * 32) {
                a = _mm256_sub_epi8(a, _mm256_cmpgt_epi8(zero, load(points + k)));
                b = _mm256_sub_epi8(b, _mm256_cmpgt_epi8(zero, load(points + k + 32)));
                a = _mm256_sub_epi8(a, _mm256_cmpgt_epi8(zero, load(points + k + 64)));
                b = _mm256_sub_epi8(b, _mm256_cmpgt_epi8(zero, load(points + k + 96)));
            }
            sums = _mm256_add_epi64(
                sums, _mm256_add_epi64(_mm256_sad_epu8(a, zero), _mm256_sad_epu8(b, zero)));
        }
        const __m128i half =
            _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
        wide = static_cast<std::uint64_t>(_mm_cvtsi128_si64(half) + _mm_extract_epi64(half, 1));
    }
    for (; k + 32 <= length; k += 32)
        wide += static_cast<unsigned>(std::popcount(top_bits(load(points + k))));
    if (k < length) {
        // The last 32 bytes again, only the top bits of those not yet counted.
        const unsigned last = top_bits(load(points + length - 32));
        wide += static_cast<unsigned>(std::popcount(last >> (32 - (length - k))));
    }
    return length + wide;
}

// ---- 2- and 4-byte text ----------------------------------------------------------------------
//
// Sixteen code points at a time, each shifted down 7 bits into a 16-bit lane: 0 below 0x80, at
// most 15 below 0x800, at most 511 below 0x10000, and 0x1B0..0x1BF for the surrogates. 4-byte
// code points from 0x400000 on saturate to 0x7FFF, which keeps all of that true, so the lanes of
// both widths are counted alike with signed 16-bit comparisons.

[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i shifted(__m256i points16) noexcept {
    return _mm256_srli_epi16(points16, 7);
}

[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i shifted(__m256i low32,
                                                                   __m256i high32) noexcept {
    // The lanes come out in another order, which no count depends on.
    return _mm256_packs_epi32(_mm256_srli_epi32(low32, 7), _mm256_srli_epi32(high32, 7));
}

// Sixteen whole code points from `points`.
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i
block(const std::uint16_t* points) noexcept {
    return shifted(load(points));
}

[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i
block(const std::uint32_t* points) noexcept {
    return shifted(load(points), load(points + 8));
}

// Sixteen code points from `points`, those of lanes j with j + x < 32 zero: zero lanes count
// nothing and are no surrogates.
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i masked_block(const std::uint16_t* points,
                                                                        std::size_t x) noexcept {
    return shifted(_mm256_and_si256(load(points), kept(k_window16, x)));
}

[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i masked_block(const std::uint32_t* points,
                                                                        std::size_t x) noexcept {
    return shifted(_mm256_and_si256(load(points), kept(k_window32, x)),
                   _mm256_and_si256(load(points + 8), kept(k_window32, x + 8)));
}

// Text of up to 64 code points is one to four blocks, whose counts are moved out as masks and
// counted there: fewer dependent steps than adding up lanes.
template <bool Astral>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline unsigned extra_count(__m256i s) noexcept {
    const __m256i zero = _mm256_setzero_si256();
    unsigned extra = static_cast<unsigned>(std::popcount(top_bits(_mm256_packs_epi16(
        _mm256_cmpgt_epi16(s, zero), _mm256_cmpgt_epi16(s, _mm256_set1_epi16(15))))));
    if constexpr (Astral)
        // Two bits a lane.
        extra += static_cast<unsigned>(
                     std::popcount(top_bits(_mm256_cmpgt_epi16(s, _mm256_set1_epi16(511))))) /
                 2;
    return extra;
}

[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i surrogate_lanes(__m256i s) noexcept {
    return _mm256_cmpeq_epi16(_mm256_srli_epi16(s, 4), _mm256_set1_epi16(0xD800 >> 11));
}

template <class Point, class... Blocks>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline std::uint64_t
count_blocks(std::size_t length, Blocks... blocks) noexcept {
    constexpr bool astral = sizeof(Point) == 4;
    const __m256i surrogates = (surrogate_lanes(blocks) | ...);
    if (!_mm256_testz_si256(surrogates, surrogates)) return k_no_utf8_form;
    return length + (extra_count<astral>(blocks) + ...);
}

// Longer text goes 32 code points, two blocks, at a time. Their lanes saturate once more, to
// bytes of 0..127, which still tell the first two thresholds apart, and are counted in byte lanes:
// `first` counts code points from 0x80 and from 0x10000 on (at most 2 a group), `second` those
// from 0x800 on. `least` keeps each 16-bit lane's least s ^ 0x1B0, which falls below 16 only at
// a surrogate.
struct GroupSums {
    __m256i first;
    __m256i second;
    __m256i least;
};

template <bool Astral>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline void add_group(__m256i low, __m256i high,
                                                                  GroupSums& sums) noexcept {
    const __m256i bytes = _mm256_packs_epi16(low, high);
    __m256i first = _mm256_cmpgt_epi8(bytes, _mm256_setzero_si256());
    if constexpr (Astral) {
        const __m256i above = _mm256_set1_epi16(511);
        first = _mm256_add_epi8(first, _mm256_packs_epi16(_mm256_cmpgt_epi16(low, above),
                                                          _mm256_cmpgt_epi16(high, above)));
    }
    sums.first = _mm256_sub_epi8(sums.first, first);
    sums.second = _mm256_sub_epi8(sums.second, _mm256_cmpgt_epi8(bytes, _mm256_set1_epi8(15)));
    const __m256i surrogate = _mm256_set1_epi16(0xD800 >> 7);
    sums.least = _mm256_min_epu16(sums.least, _mm256_min_epu16(_mm256_xor_si256(low, surrogate),
                                                               _mm256_xor_si256(high, surrogate)));
}

// Byte lanes gain at most 2 a group: summed after this many groups and a last one, they stay
// within 255.
constexpr std::size_t k_group_stretch = 126;

template <class Point>
[[CORVANE_TARGET_AVX2]] std::uint64_t count_long(const Point* points, std::size_t length) noexcept {
    constexpr bool astral = sizeof(Point) == 4;
    const __m256i zero = _mm256_setzero_si256();
    const std::size_t whole = length - length % 32;
    GroupSums sums{zero, zero, _mm256_set1_epi16(0x7FFF)};
    __m256i total = zero;
    std::size_t k = 0;
    for (;;) {
        const std::size_t end = std::min(whole, k + 32 * k_group_stretch);
        for (; k < end; k += 32)
            add_group<astral>(block(points + k), block(points + k + 16), sums);
        if (k == whole && k < length) {
            // The last 32 code points again, those already counted cleared.
            const std::size_t rest = length - k;
            add_group<astral>(masked_block(points + length - 32, rest),
                              masked_block(points + length - 16, rest + 16), sums);
        }
        total = _mm256_add_epi64(total, _mm256_add_epi64(_mm256_sad_epu8(sums.first, zero),
                                                         _mm256_sad_epu8(sums.second, zero)));
        if (k == whole) break;
        sums.first = zero;
        sums.second = zero;
    }
    if (top_bits(_mm256_cmpgt_epi16(_mm256_set1_epi16(16), sums.least)) != 0) return k_no_utf8_form;
    const __m128i half =
        _mm_add_epi64(_mm256_castsi256_si128(total), _mm256_extracti128_si256(total, 1));
    return length + static_cast<std::uint64_t>(_mm_cvtsi128_si64(half)) +
           static_cast<std::uint64_t>(_mm_extract_epi64(half, 1));
}

// More than 16 code points: one to four blocks of 16, or 32 at a time.
template <class Point>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline std::uint64_t
count_from_blocks(const Point* points, std::size_t length) noexcept {
    if (length <= 32)
        return count_blocks<Point>(length, block(points),
                                   masked_block(points + length - 16, length));
    if (length <= 64)
        return count_blocks<Point>(length, block(points), block(points + 16),
                                   masked_block(points + length - 32, length - 32),
                                   masked_block(points + length - 16, length - 16));
    return count_long(points, length);
}

[[CORVANE_TARGET_AVX2]] std::uint64_t count_points(const std::uint16_t* points,
                                                   std::size_t length) noexcept {
    if (length < 4) return utf8_length(points, length).value_or(k_no_utf8_form);
    if (length <= 8) {
        // Four code points and the last four, those read twice cleared.
        const __m128i first = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(points));
        const __m128i last =
            _mm_and_si128(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(points + length - 4)),
                          kept_128(k_window16, 24 + length));
        return count_blocks<std::uint16_t>(
            length, shifted(_mm256_zextsi128_si256(_mm_unpacklo_epi64(first, last))));
    }
    if (length <= 16) {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(points));
        const __m128i last =
            _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(points + length - 8)),
                          kept_128(k_window16, 16 + length));
        return count_blocks<std::uint16_t>(length, shifted(_mm256_set_m128i(last, first)));
    }
    return count_from_blocks(points, length);
}

[[CORVANE_TARGET_AVX2]] std::uint64_t count_points(const std::uint32_t* points,
                                                   std::size_t length) noexcept {
    if (length < 8) {
        // A masked load reads only the code points it keeps and never faults on the rest, which
        // it leaves zero.
        const __m256i keep = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(length)),
                                                _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        const __m256i first = _mm256_maskload_epi32(reinterpret_cast<const int*>(points), keep);
        return count_blocks<std::uint32_t>(length, shifted(first, _mm256_setzero_si256()));
    }
    if (length <= 16) {
        const __m256i last =
            _mm256_and_si256(load(points + length - 8), kept(k_window32, 16 + length));
        return count_blocks<std::uint32_t>(length, shifted(load(points), last));
    }
    return count_from_blocks(points, length);
}

// ---- narrowing -------------------------------------------------------------------------------

} // namespace

template <class Point>
std::uint64_t utf8_length_avx2(const Point* points, std::size_t length) noexcept {
    if constexpr (sizeof(Point) == 1)
        return count_bytes(points, length);
    else
        return count_points(points, length);
}

#else

// Without AVX2 in the build these never run; plain loops keep the names defined.
template <class Point>
std::uint64_t utf8_length_avx2(const Point* points, std::size_t length) noexcept {
    return utf8_length_or_none(points, length);
}

#endif

template std::uint64_t utf8_length_avx2(const std::uint8_t*, std::size_t) noexcept;
template std::uint64_t utf8_length_avx2(const std::uint16_t*, std::size_t) noexcept;
template std::uint64_t utf8_length_avx2(const std::uint32_t*, std::size_t) noexcept;

} // namespace corvane::detail
