// Short patterns fed the text from both ends at once on 512-bit vectors, and their portable
// stand-ins where those are not compiled.
#include "kernel/compared_plain.hpp"
#include "kernel/positions_avx512.hpp"
#include "kernel/vector.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if CORVANE_X86_AVX512
#include <immintrin.h>
#endif

namespace corvane::detail {

#if CORVANE_X86_AVX512

namespace {

// The positions below each count of positions: entry k has the k lowest bits set, from no bit
// at entry 0 to all 64 at entry 64 and after.
constexpr auto k_positions_below = [] {
    std::array<std::uint64_t, 72> below{};
    for (std::size_t k = 0; k < below.size(); ++k)
        below[k] = k >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << k) - 1;
    return below;
}();

// The same, counted down from 64: entry k has the 64 - k lowest bits set, and none past 64.
constexpr auto k_positions_below_64_less = [] {
    std::array<std::uint64_t, 72> below{};
    for (std::size_t k = 0; k < below.size(); ++k)
        below[k] = k == 0 ? ~std::uint64_t{0} : k > 64 ? 0 : (std::uint64_t{1} << (64 - k)) - 1;
    return below;
}();

// The sums of the eight splits of one group (see best_split).
[[CORVANE_TARGET_AVX512_BOTH_WAYS, gnu::always_inline]] inline __m512i
split_sums(__m512i before, __m512i after, const std::uint64_t* after_masks,
           std::size_t group) noexcept {
    const __m512i below = _mm512_loadu_si512(k_positions_below.data() + 8 * group);
    const __m512i rest = _mm512_loadu_si512(after_masks + 8 * group);
    return _mm512_add_epi64(_mm512_popcnt_epi64(_mm512_and_si512(before, below)),
                            _mm512_popcnt_epi64(_mm512_and_si512(after, rest)));
}

// The LCS from two rows of a pattern of `size` code points fed from both ends, given their
// matched positions: `before` those of the row fed from the start, `after` those of the row fed
// from the end (its position i is the pattern's size - 1 - i). Lanes hold splits j, j + 1, ...:
// the first row's matches below j and the second row's below size - j; the LCS is the best sum.
// Splits past the pattern count what the split at its end does. The masks come from tables:
// computing them took two variable shifts and two additions a group.
[[CORVANE_TARGET_AVX512_BOTH_WAYS, gnu::always_inline]] inline std::uint64_t
best_split(std::uint64_t before_bits, std::uint64_t after_bits, std::size_t size) noexcept {
    const __m512i before = _mm512_set1_epi64(static_cast<long long>(before_bits));
    const __m512i after = _mm512_set1_epi64(static_cast<long long>(after_bits));
    const std::uint64_t* after_masks = k_positions_below_64_less.data() + (64 - size);
    // Two maxima running side by side halve the chain of them.
    const std::size_t last = size / 8;
    __m512i even = split_sums(before, after, after_masks, 0);
    __m512i odd = _mm512_setzero_si512();
    std::size_t group = 1;
    for (; group + 1 <= last; group += 2) {
        odd = _mm512_max_epu64(odd, split_sums(before, after, after_masks, group));
        even = _mm512_max_epu64(even, split_sums(before, after, after_masks, group + 1));
    }
    if (group <= last) odd = _mm512_max_epu64(odd, split_sums(before, after, after_masks, group));
    return _mm512_reduce_max_epu64(_mm512_max_epu64(even, odd));
}

// Text fed from both ends is checked once a stretch for a row that has matched the whole
// pattern, which makes the LCS the pattern's size: a short pattern against long text stops early.
// Not every code point: the test waits on the row, and would hold back the loop's last branch.
constexpr std::size_t k_both_ways_stretch = 256;

// The LCS of a byte pattern of at most 64 code points with `text`, the text's first half fed to
// a row of the pattern from its start and its second half, backwards, to a row of the pattern
// reversed. The two rows do not wait on each other, so their updates overlap. For every split of
// the pattern, the first row counts the LCS of the part before it with the first half, and the
// second row that of the part after it with the second half; the LCS is the best sum.
template <class T>
[[CORVANE_TARGET_AVX512_BOTH_WAYS]] std::uint64_t lcs_both_ways(const std::uint8_t* points,
                                                                std::size_t size, const T* text,
                                                                std::size_t count) noexcept {
    const std::uint64_t valid[1] = {size == 64 ? ~std::uint64_t{0}
                                               : (std::uint64_t{1} << size) - 1};
    const __m512i ahead[1] = {_mm512_maskz_loadu_epi8(valid[0], points)};
    // The pattern expanded into the top `size` lanes, then reversed: bytes within each 128-bit
    // lane, then the lanes. Nothing outside the pattern is read.
    const __m512i within = _mm512_set_epi64(
        0x0001020304050607, 0x08090A0B0C0D0E0F, 0x0001020304050607, 0x08090A0B0C0D0E0F,
        0x0001020304050607, 0x08090A0B0C0D0E0F, 0x0001020304050607, 0x08090A0B0C0D0E0F);
    const __m512i top = _mm512_shuffle_epi8(
        _mm512_maskz_expandloadu_epi8(~std::uint64_t{0} << (64 - size), points), within);
    const __m512i behind[1] = {_mm512_shuffle_i64x2(top, top, 0x1B)};
    std::uint64_t forward = ~std::uint64_t{0};
    std::uint64_t backward = ~std::uint64_t{0};
    const std::size_t half = count / 2;
    std::uint64_t mask[1];
    for (std::size_t k = 0; k < half;) {
        for (const std::size_t end = std::min(half, k + k_both_ways_stretch); k < end; ++k) {
            positions_of<1, std::uint8_t, T>(ahead, valid, text[k], mask);
            advance_word(forward, mask[0], 0);
            positions_of<1, std::uint8_t, T>(behind, valid, text[count - 1 - k], mask);
            advance_word(backward, mask[0], 0);
        }
        if (k < half && ((forward & valid[0]) == 0 || (backward & valid[0]) == 0)) return size;
    }
    if (count % 2 != 0) {
        positions_of<1, std::uint8_t, T>(behind, valid, text[half], mask);
        advance_word(backward, mask[0], 0);
    }
    // Comparisons outside the pattern are masked off, so neither row has a match there.
    return best_split(~forward, ~backward, size);
}

// Planes of code points: text ends at U+10FFFF, so a code point's high half is below 17.
constexpr std::size_t k_planes = 17;

/// Bit i of `bits` at bit 63 - i.
inline std::uint64_t reversed_bits(std::uint64_t bits) noexcept {
    bits = ((bits >> 1) & 0x5555555555555555) | ((bits & 0x5555555555555555) << 1);
    bits = ((bits >> 2) & 0x3333333333333333) | ((bits & 0x3333333333333333) << 2);
    bits = ((bits >> 4) & 0x0F0F0F0F0F0F0F0F) | ((bits & 0x0F0F0F0F0F0F0F0F) << 4);
    return __builtin_bswap64(bits);
}

// The positions among `lanes` whose low 16 bits are those of the code point at `at`, and whose
// plane is its: `planes` holds the positions in each plane.
template <unsigned Halves, class T>
[[CORVANE_TARGET_AVX512_BOTH_WAYS, gnu::always_inline]] inline std::uint64_t
halves_matching(const __m512i* lanes, const std::uint64_t* planes, const T* at) noexcept {
    // Broadcast from memory: the code point's low half is where it starts.
    const __m512i probe = sizeof(T) == 1 ? _mm512_set1_epi16(static_cast<short>(*at))
                                         : _mm512_broadcastw_epi16(_mm_loadu_si16(at));
    std::uint64_t found;
    if constexpr (Halves == 1)
        found = _mm512_cmpeq_epi16_mask(lanes[0], probe);
    else
        found = _cvtmask64_u64(_mm512_kunpackd(_mm512_cmpeq_epi16_mask(lanes[1], probe),
                                               _mm512_cmpeq_epi16_mask(lanes[0], probe)));
    if constexpr (sizeof(T) < 4) return found & planes[0];
    // The plane is the high half of the (little-endian) code point, read on its own.
    std::uint16_t plane;
    std::memcpy(&plane, reinterpret_cast<const char*>(at) + 2, 2);
    return found & planes[plane];
}

// The both-ways LCS of a 4-byte pattern of 17 to 64 code points, all in the first two planes,
// compared on the low 16 bits of its code points, 32 a vector: half the comparisons of whole
// code points. The low bits match where the code point does or one of the other plane does;
// the pattern's positions in the streamed code point's plane keep the first. The reversed row
// keeps its pattern in the top lanes of the lanes reversed, and its positions are shifted down.
template <unsigned Halves, class T>
[[CORVANE_TARGET_AVX512_BOTH_WAYS]] bool
lcs_halves_both_ways(const std::uint32_t* points, std::size_t size, const T* text,
                     std::size_t count, std::uint64_t& lcs) noexcept {
    constexpr unsigned lanes = 32 * Halves;
    const std::uint64_t whole = size == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << size) - 1;
    // The positions in each plane: only the first two hold any. Code points end at plane 16.
    std::uint64_t planes[k_planes] = {};
    __m256i low[2 * Halves];
    for (unsigned k = 0; k < 2 * Halves; ++k) {
        const auto valid = static_cast<__mmask16>(whole >> (16 * k));
        const __m512i point =
            _mm512_maskz_loadu_epi32(valid, points + std::min<std::size_t>(16 * k, size));
        const __m512i plane = _mm512_srli_epi32(point, 16);
        planes[0] |=
            std::uint64_t{_mm512_mask_cmpeq_epi32_mask(valid, plane, _mm512_setzero_si512())}
            << (16 * k);
        planes[1] |= std::uint64_t{_mm512_mask_cmpeq_epi32_mask(valid, plane, _mm512_set1_epi32(1))}
                     << (16 * k);
        low[k] = _mm512_cvtepi32_epi16(point);
    }
    if ((planes[0] | planes[1]) != whole) return false;
    __m512i ahead[Halves];
    for (unsigned k = 0; k < Halves; ++k)
        ahead[k] = _mm512_inserti64x4(_mm512_castsi256_si512(low[2 * k]), low[2 * k + 1], 1);
    const __m512i reverse =
        _mm512_set_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                         21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    __m512i behind[Halves];
    for (unsigned k = 0; k < Halves; ++k)
        behind[k] = _mm512_permutexvar_epi16(reverse, ahead[Halves - 1 - k]);
    // The reversed row keeps its positions where the reversed lanes have them, from lane
    // lanes - size up; the lanes below never match, so they stay ones and pass no carry.
    std::uint64_t back_planes[k_planes] = {};
    back_planes[0] = reversed_bits(planes[0]) >> (64 - lanes);
    back_planes[1] = reversed_bits(planes[1]) >> (64 - lanes);
    const unsigned shift = lanes - static_cast<unsigned>(size);
    std::uint64_t forward = ~std::uint64_t{0};
    std::uint64_t backward = ~std::uint64_t{0};
    const std::size_t half = count / 2;
    for (std::size_t k = 0; k < half;) {
        for (const std::size_t end = std::min(half, k + k_both_ways_stretch); k < end; ++k) {
            advance_word(forward, halves_matching<Halves, T>(ahead, planes, text + k), 0);
            advance_word(backward,
                         halves_matching<Halves, T>(behind, back_planes, text + count - 1 - k), 0);
        }
        if (k < half && ((forward & whole) == 0 || (backward & (whole << shift)) == 0)) {
            lcs = size;
            return true;
        }
    }
    if (count % 2 != 0)
        advance_word(backward, halves_matching<Halves, T>(behind, back_planes, text + half), 0);
    // Neither row ever matches outside the pattern, so its bits there stay ones: negated, they
    // leave nothing to mask, and the shift leaves zeros above the pattern.
    lcs = best_split(~forward, ~backward >> shift, size);
    return true;
}
} // namespace

template <class T>
std::uint64_t lcs_both_ways_avx512(const std::uint8_t* points, std::size_t size, const T* text,
                                   std::size_t count) noexcept {
    return lcs_both_ways(points, size, text, count);
}

template <class T>
bool lcs_halves_both_ways_avx512(const std::uint32_t* points, std::size_t size, const T* text,
                                 std::size_t count, std::uint64_t& lcs) noexcept {
    return size <= 32 ? lcs_halves_both_ways<1>(points, size, text, count, lcs)
                      : lcs_halves_both_ways<2>(points, size, text, count, lcs);
}

#else

// Without AVX-512 these never run where `cpu::has` is asked first; they keep the names defined
// and give the same results.
template <class T>
std::uint64_t lcs_both_ways_avx512(const std::uint8_t* points, std::size_t size, const T* text,
                                   std::size_t count) noexcept {
    return feed_compared_plain(points, size, text, count, nullptr, 0);
}

template <class T>
bool lcs_halves_both_ways_avx512(const std::uint32_t*, std::size_t, const T*, std::size_t,
                                 std::uint64_t&) noexcept {
    return false;
}

#endif

#define CORVANE_INSTANTIATE(T)                                                                     \
    template std::uint64_t lcs_both_ways_avx512(const std::uint8_t*, std::size_t, const T*,        \
                                                std::size_t) noexcept;                             \
    template bool lcs_halves_both_ways_avx512(const std::uint32_t*, std::size_t, const T*,         \
                                              std::size_t, std::uint64_t&) noexcept;
CORVANE_EACH_WIDTH(CORVANE_INSTANTIATE)
#undef CORVANE_INSTANTIATE

} // namespace corvane::detail
