// The kernel's AVX-512 routines, and their portable stand-ins where they are not compiled.
#include "kernel/vector.hpp"

#include "kernel/compared_plain.hpp"

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
            found[k] =
                _mm512_mask_cmpeq_epi16_mask(static_cast<__mmask32>(valid[k]), lane[k], probe);
        for (unsigned word = 0; word < words; ++word)
            mask[word] = _cvtmask64_u64(_mm512_kunpackd(found[2 * word + 1], found[2 * word]));
    } else {
        const __m512i probe = _mm512_set1_epi32(static_cast<int>(point));
        __mmask16 found[words * 4] = {};
        for (unsigned k = 0; k < Vectors; ++k)
            found[k] =
                _mm512_mask_cmpeq_epi32_mask(static_cast<__mmask16>(valid[k]), lane[k], probe);
        for (unsigned word = 0; word < words; ++word)
            mask[word] = _cvtmask64_u64(
                _mm512_kunpackd(_mm512_kunpackw(found[4 * word + 3], found[4 * word + 2]),
                                _mm512_kunpackw(found[4 * word + 1], found[4 * word])));
    }
    if constexpr (sizeof(T) > sizeof(P))
        for (unsigned word = 0; word < words; ++word)
            mask[word] &= 0 - std::uint64_t{point < (std::uint32_t{1} << (8 * sizeof(P)))};
}

// The pattern is read where it lies, a vector at a time, with the positions past its end masked
// off (a masked load never faults on what it leaves out, and a copy would make each vector load
// wait for the stores of its bytes). Each code point of text is broadcast and compared with
// every vector; the comparison masks are the row's positions directly. Code points are compared
// at the pattern's own width: 64 bytes, 32 2-byte or 16 4-byte code points a vector, so a wider
// code point of text must not match the one of its low bits.
template <unsigned Vectors, class P, class T>
[[CORVANE_TARGET_AVX512_ROWS]] std::uint64_t
feed_vectors(const P* points, std::size_t size, const T* text, std::size_t count,
             std::uint64_t* bits_io, std::uint64_t lcs) noexcept {
    constexpr unsigned per_vector = 64 / sizeof(P);
    constexpr unsigned words = (Vectors * per_vector + 63) / 64;
    __m512i lane[Vectors];
    std::uint64_t valid[Vectors];
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
    std::uint64_t bits[words];
    for (unsigned word = 0; word < words; ++word)
        bits[word] = bits_io != nullptr ? bits_io[word] : ~std::uint64_t{0};
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
            lcs += carry;
        }
    }
    if (bits_io != nullptr)
        for (unsigned word = 0; word < words; ++word)
            bits_io[word] = bits[word];
    return lcs;
}

} // namespace

template <class P, class T>
std::uint64_t feed_compared_avx512(const P* points, std::size_t size, const T* text,
                                   std::size_t count, std::uint64_t* bits,
                                   std::uint64_t lcs) noexcept {
    constexpr std::size_t per_vector = 64 / sizeof(P);
    constexpr std::size_t most = k_compared_up_to<P> / per_vector;
    const std::size_t vectors = (size + per_vector - 1) / per_vector;
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

#define CORVANE_INSTANTIATE(P, T)                                                                  \
    template std::uint64_t feed_compared_avx512(const P*, std::size_t, const T*, std::size_t,      \
                                                std::uint64_t*, std::uint64_t) noexcept;
CORVANE_EACH_WIDTH_PAIR(CORVANE_INSTANTIATE)
#undef CORVANE_INSTANTIATE
#define CORVANE_INSTANTIATE(T)                                                                     \
    template std::uint64_t lcs_both_ways_avx512(const std::uint8_t*, std::size_t, const T*,        \
                                                std::size_t) noexcept;                             \
    template bool lcs_halves_both_ways_avx512(const std::uint32_t*, std::size_t, const T*,         \
                                              std::size_t, std::uint64_t&) noexcept;               \
    template void narrow_text_avx512(const T*, std::size_t, std::span<const std::uint32_t>,        \
                                     std::uint8_t*) noexcept;
CORVANE_EACH_WIDTH(CORVANE_INSTANTIATE)
#undef CORVANE_INSTANTIATE

} // namespace corvane::detail
