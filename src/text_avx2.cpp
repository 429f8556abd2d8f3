// UTF-8 lengths and the narrowing of stored text on 256-bit vectors, for CPUs without AVX-512.
#include "text_avx2.hpp"

#include "cpu.hpp"
#include "kernel/vector.hpp"

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

// The byte of a code point that is neither ASCII nor renumbered.
constexpr std::uint8_t k_absent = 0x80 + k_most_renumbered;

// Each renumbered index's byte in every lane, for byte lanes and for 16-bit lanes: read from
// here, not made for each call.
template <class Lane>
constexpr std::array<std::array<Lane, 32 / sizeof(Lane)>, k_most_renumbered> index_bytes() {
    std::array<std::array<Lane, 32 / sizeof(Lane)>, k_most_renumbered> bytes{};
    for (std::size_t index = 0; index < k_most_renumbered; ++index)
        bytes[index].fill(static_cast<Lane>(0x80 + index));
    return bytes;
}

alignas(32) constexpr auto k_index_bytes8 = index_bytes<std::uint8_t>();
alignas(32) constexpr auto k_index_bytes16 = index_bytes<std::uint16_t>();

template <class Lane>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i
index_byte(const std::array<std::array<Lane, 32 / sizeof(Lane)>, k_most_renumbered>& bytes,
           std::uint8_t index) noexcept {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(bytes[index].data()));
}

// The renumbered code points this text can hold, each in every lane as wide as it is compared:
// bytes for 1-byte text, 16-bit lanes for the rest (`near`), and for 4-byte text those from
// 0xFFFF on in 32-bit lanes (`far`), since the others are compared saturated to 16 bits. With
// each its index; last index first, so that the first of equal code points is blended last and
// wins, as `renumber` finds it first.
struct Entries {
    __m256i near[k_most_renumbered];
    __m256i far[k_most_renumbered];
    std::array<std::uint8_t, k_most_renumbered> near_index;
    std::array<std::uint8_t, k_most_renumbered> far_index;
    std::size_t near_count = 0;
    std::size_t far_count = 0;
};

template <class T>
[[CORVANE_TARGET_AVX2]] void gather_entries(std::span<const std::uint32_t> renumbered,
                                            Entries& entries) noexcept {
    for (std::size_t index = renumbered.size(); index-- > 0;) {
        const std::uint32_t point = renumbered[index];
        // ASCII is kept as it is whatever the list says, and wider code points never occur.
        if (!is_renumbered(point) || point > std::numeric_limits<T>::max()) continue;
        if (sizeof(T) == 4 && point >= 0xFFFF) {
            entries.far[entries.far_count] = _mm256_set1_epi32(static_cast<int>(point));
            entries.far_index[entries.far_count++] = static_cast<std::uint8_t>(index);
            continue;
        }
        if constexpr (sizeof(T) == 1)
            entries.near[entries.near_count] = _mm256_set1_epi8(static_cast<char>(point));
        else
            entries.near[entries.near_count] = _mm256_set1_epi16(static_cast<short>(point));
        entries.near_index[entries.near_count++] = static_cast<std::uint8_t>(index);
    }
}

// Sixteen code points in 16-bit lanes narrowed: each renumbered one's byte, ASCII as it is, the
// rest absent.
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i
narrow_lanes(__m256i points, __m256i narrowed, const Entries& entries) noexcept {
    for (std::size_t k = 0; k < entries.near_count; ++k)
        narrowed = _mm256_blendv_epi8(narrowed, index_byte(k_index_bytes16, entries.near_index[k]),
                                      _mm256_cmpeq_epi16(points, entries.near[k]));
    const __m256i ascii = _mm256_cmpeq_epi16(_mm256_srli_epi16(points, 7), _mm256_setzero_si256());
    return _mm256_blendv_epi8(narrowed, points, ascii);
}

// The bytes of 32 code points of 1-byte text.
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i
narrowed_bytes(__m256i points, const Entries& entries) noexcept {
    __m256i bytes = _mm256_set1_epi8(static_cast<char>(k_absent));
    for (std::size_t k = 0; k < entries.near_count; ++k)
        bytes = _mm256_blendv_epi8(bytes, index_byte(k_index_bytes8, entries.near_index[k]),
                                   _mm256_cmpeq_epi8(points, entries.near[k]));
    // ASCII, with its top bit clear, as it is.
    return _mm256_blendv_epi8(points, bytes, points);
}

// The bytes of 32 code points of 2-byte text, sixteen in each vector.
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i
narrowed_bytes(__m256i low, __m256i high, const Entries& entries) noexcept {
    const __m256i absent = _mm256_set1_epi16(k_absent);
    // Packing works within 128-bit halves; the permutation puts the four quarters in order.
    return _mm256_permute4x64_epi64(_mm256_packus_epi16(narrow_lanes(low, absent, entries),
                                                        narrow_lanes(high, absent, entries)),
                                    0xD8);
}

// The bytes of 32 code points of 4-byte text, eight in each vector.
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i
narrowed_bytes(__m256i v0, __m256i v1, __m256i v2, __m256i v3, const Entries& entries) noexcept {
    const __m256i points[4] = {v0, v1, v2, v3};
    // Saturated to 16 bits, code points from 0xFFFF on are all 0xFFFF, which is no near entry
    // and no ASCII.
    const __m256i most = _mm256_set1_epi32(0xFFFF);
    const __m256i absent = _mm256_set1_epi16(k_absent);
    __m256i pair[2];
    for (int k = 0; k < 2; ++k) {
        __m256i narrowed16 = absent;
        for (std::size_t f = 0; f < entries.far_count; ++f) {
            const __m256i equal =
                _mm256_packs_epi32(_mm256_cmpeq_epi32(points[2 * k], entries.far[f]),
                                   _mm256_cmpeq_epi32(points[2 * k + 1], entries.far[f]));
            narrowed16 = _mm256_blendv_epi8(
                narrowed16, index_byte(k_index_bytes16, entries.far_index[f]), equal);
        }
        pair[k] = narrow_lanes(_mm256_packus_epi32(_mm256_min_epu32(points[2 * k], most),
                                                   _mm256_min_epu32(points[2 * k + 1], most)),
                               narrowed16, entries);
    }
    // After two packs each 128-bit half holds four code points of each of the four vectors.
    return _mm256_permutevar8x32_epi32(_mm256_packus_epi16(pair[0], pair[1]),
                                       _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

// The bytes of the 32 code points at `text`.
template <class T>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i
narrowed_at(const T* text, const Entries& entries) noexcept {
    if constexpr (sizeof(T) == 1)
        return narrowed_bytes(load(text), entries);
    else if constexpr (sizeof(T) == 2)
        return narrowed_bytes(load(text), load(text + 16), entries);
    else
        return narrowed_bytes(load(text), load(text + 8), load(text + 16), load(text + 24),
                              entries);
}

[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m128i load_128(const void* from) noexcept {
    return _mm_loadu_si128(static_cast<const __m128i*>(from));
}

[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m128i load_64(const void* from) noexcept {
    return _mm_loadl_epi64(static_cast<const __m128i*>(from));
}

// Short text, `half` <= count < 2 `half` code points for `half` 16, 8 or 4: the bytes of its
// first `half` code points, then those of its last `half`, which may overlap them.
template <class T>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i
narrowed_ends(const T* text, std::size_t count, std::size_t half, const Entries& entries) noexcept {
    const T* last = text + count - half;
    const __m256i zero = _mm256_setzero_si256();
    if constexpr (sizeof(T) == 1) {
        if (half == 16)
            return narrowed_bytes(_mm256_set_m128i(load_128(last), load_128(text)), entries);
        if (half == 8)
            return narrowed_bytes(
                _mm256_zextsi128_si256(_mm_unpacklo_epi64(load_64(text), load_64(last))), entries);
        return narrowed_bytes(
            _mm256_zextsi128_si256(_mm_unpacklo_epi32(_mm_loadu_si32(text), _mm_loadu_si32(last))),
            entries);
    } else if constexpr (sizeof(T) == 2) {
        if (half == 16) return narrowed_bytes(load(text), load(last), entries);
        if (half == 8)
            return narrowed_bytes(_mm256_set_m128i(load_128(last), load_128(text)), zero, entries);
        return narrowed_bytes(
            _mm256_zextsi128_si256(_mm_unpacklo_epi64(load_64(text), load_64(last))), zero,
            entries);
    } else {
        if (half == 16)
            return narrowed_bytes(load(text), load(text + 8), load(last), load(last + 8), entries);
        if (half == 8) return narrowed_bytes(load(text), load(last), zero, zero, entries);
        return narrowed_bytes(_mm256_set_m128i(load_128(last), load_128(text)), zero, zero, zero,
                              entries);
    }
}

template <class T>
[[CORVANE_TARGET_AVX2]] void narrow_text(const T* text, std::size_t count,
                                         std::span<const std::uint32_t> renumbered,
                                         std::uint8_t* narrowed) noexcept {
    if (count < 4 || renumbered.size() > k_most_renumbered) {
        // Too short for a vector, or beyond the contract and kept exact rather than vectorised.
        for (std::size_t k = 0; k < count; ++k)
            narrowed[k] = is_renumbered(text[k]) ? renumber(text[k], renumbered)
                                                 : static_cast<std::uint8_t>(text[k]);
        return;
    }
    Entries entries;
    gather_entries<T>(renumbered, entries);
    if (count < 32) {
        // The first and the last `half` code points, so nothing is read or written past the end;
        // the bytes written twice are the same.
        const std::size_t half = count >= 16 ? 16 : count >= 8 ? 8 : 4;
        const __m256i bytes = narrowed_ends(text, count, half, entries);
        const __m128i low = _mm256_castsi256_si128(bytes);
        if (half == 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(narrowed), low);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(narrowed + count - 16),
                             _mm256_extracti128_si256(bytes, 1));
        } else if (half == 8) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(narrowed), low);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(narrowed + count - 8),
                             _mm_srli_si128(low, 8));
        } else {
            _mm_storeu_si32(narrowed, low);
            _mm_storeu_si32(narrowed + count - 4, _mm_srli_si128(low, 4));
        }
        return;
    }
    std::size_t k = 0;
    for (; k + 32 <= count; k += 32)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(narrowed + k),
                            narrowed_at(text + k, entries));
    if (k < count)
        // The last 32 again: the bytes written twice are the same.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(narrowed + count - 32),
                            narrowed_at(text + count - 32, entries));
}

} // namespace

template <class Point>
std::uint64_t utf8_length_avx2(const Point* points, std::size_t length) noexcept {
    if constexpr (sizeof(Point) == 1)
        return count_bytes(points, length);
    else
        return count_points(points, length);
}

template <class T>
void narrow_text_avx2(const T* text, std::size_t count, std::span<const std::uint32_t> renumbered,
                      std::uint8_t* narrowed) noexcept {
    narrow_text(text, count, renumbered, narrowed);
}

#else

// Without AVX2 in the build these never run; plain loops keep the names defined.
template <class Point>
std::uint64_t utf8_length_avx2(const Point* points, std::size_t length) noexcept {
    return utf8_length_or_none(points, length);
}

template <class T>
void narrow_text_avx2(const T* text, std::size_t count, std::span<const std::uint32_t> renumbered,
                      std::uint8_t* narrowed) noexcept {
    narrow_text_plain(text, count, renumbered, narrowed);
}

#endif

template std::uint64_t utf8_length_avx2(const std::uint8_t*, std::size_t) noexcept;
template std::uint64_t utf8_length_avx2(const std::uint16_t*, std::size_t) noexcept;
template std::uint64_t utf8_length_avx2(const std::uint32_t*, std::size_t) noexcept;

template void narrow_text_avx2(const std::uint8_t*, std::size_t, std::span<const std::uint32_t>,
                               std::uint8_t*) noexcept;
template void narrow_text_avx2(const std::uint16_t*, std::size_t, std::span<const std::uint32_t>,
                               std::uint8_t*) noexcept;
template void narrow_text_avx2(const std::uint32_t*, std::size_t, std::span<const std::uint32_t>,
                               std::uint8_t*) noexcept;

} // namespace corvane::detail
