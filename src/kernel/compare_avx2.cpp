// Rows of short patterns compared with each streamed code point on 256-bit vectors (AVX2).
#include "kernel/compare_avx2.hpp"
#include "kernel/compared_plain.hpp"

#include "cpu.hpp"
#include "kernel/row.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <iterator>
#include <utility>

#if CORVANE_X86_AVX2
#include <immintrin.h>
#endif

namespace corvane::detail {

#if CORVANE_X86_AVX2

namespace {

// The last `bytes % 4` bytes of a pattern of `bytes` bytes as the low bytes of a 4-byte lane,
// zero above: one load ending at the pattern's end where it has 4 bytes, so nothing past it is
// read.
inline std::uint32_t partial_lane(const unsigned char* base, std::size_t bytes) noexcept {
    const std::size_t rest = bytes % 4;
    if (rest == 0) return 0;
    if (bytes >= 4) {
        std::uint32_t last;
        std::memcpy(&last, base + bytes - 4, 4);
        return last >> (8 * (4 - rest));
    }
    std::uint32_t lane = 0;
    for (std::size_t k = 0; k < rest; ++k)
        lane |= std::uint32_t{base[k]} << (8 * k);
    return lane;
}

// The last vector of a pattern, `bytes` (1 to 32) of it from `start`, zero past its end. Its
// whole 4-byte lanes come from a masked load, which never faults on the lanes it leaves out;
// the partial one, `tail`, is put in its lane.
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i
last_vector(const unsigned char* start, std::size_t bytes, std::uint32_t tail) noexcept {
    const __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i whole = _mm256_set1_epi32(static_cast<int>(bytes / 4));
    const __m256i held = _mm256_maskload_epi32(reinterpret_cast<const int*>(start),
                                               _mm256_cmpgt_epi32(whole, index));
    const __m256i at_tail = _mm256_cmpeq_epi32(index, whole);
    return _mm256_or_si256(held,
                           _mm256_and_si256(at_tail, _mm256_set1_epi32(static_cast<int>(tail))));
}

// The pattern in `Vectors` vectors in its own order, zero past its end.
template <unsigned Vectors, class P>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline void
load_in_order(const P* points, std::size_t size, __m256i* lane) noexcept {
    const auto* base = reinterpret_cast<const unsigned char*>(points);
    const std::size_t bytes = size * sizeof(P);
    for (unsigned k = 0; k + 1 < Vectors; ++k)
        lane[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + 32 * k));
    constexpr std::size_t before_last = 32 * (Vectors - 1);
    lane[Vectors - 1] =
        last_vector(base + before_last, bytes - before_last, partial_lane(base, bytes));
}

// Vectors of a pattern in order, as `load_in_order` leaves them, arranged so that packing the
// comparisons of wide code points down to bytes leaves every 32 positions in order. Packing
// works within each 128-bit half, so a pair of 2-byte vectors X, Y is held as [X.lo, Y.lo],
// [X.hi, Y.hi], and four 4-byte vectors X0..X3 as [X0.lo, X2.lo], [X0.hi, X2.hi], [X1.lo, X3.lo],
// [X1.hi, X3.hi]. A last pair or four the pattern does not fill stays as it is and is compared
// vector by vector.
template <unsigned Vectors, class P>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline void
arrange_for_packing(__m256i* lane) noexcept {
    if constexpr (sizeof(P) == 2) {
        for (unsigned k = 0; k + 1 < Vectors; k += 2) {
            const __m256i x = lane[k];
            const __m256i y = lane[k + 1];
            lane[k] = _mm256_permute2x128_si256(x, y, 0x20);
            lane[k + 1] = _mm256_permute2x128_si256(x, y, 0x31);
        }
    } else if constexpr (sizeof(P) == 4) {
        for (unsigned k = 0; k + 3 < Vectors; k += 4) {
            const __m256i x0 = lane[k];
            const __m256i x1 = lane[k + 1];
            const __m256i x2 = lane[k + 2];
            const __m256i x3 = lane[k + 3];
            lane[k] = _mm256_permute2x128_si256(x0, x2, 0x20);
            lane[k + 1] = _mm256_permute2x128_si256(x0, x2, 0x31);
            lane[k + 2] = _mm256_permute2x128_si256(x1, x3, 0x20);
            lane[k + 3] = _mm256_permute2x128_si256(x1, x3, 0x31);
        }
    }
}

// The pattern in `Vectors` vectors as `positions_of` compares them.
template <unsigned Vectors, class P>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline void
load_pattern(const P* points, std::size_t size, __m256i* lane) noexcept {
    load_in_order<Vectors>(points, size, lane);
    arrange_for_packing<Vectors, P>(lane);
}

template <class P>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i probe_of(std::uint32_t point) noexcept {
    if constexpr (sizeof(P) == 1) return _mm256_set1_epi8(static_cast<char>(point));
    if constexpr (sizeof(P) == 2) return _mm256_set1_epi16(static_cast<short>(point));
    return _mm256_set1_epi32(static_cast<int>(point));
}

// The positions of `probe` in the pattern held by `load_pattern`, a word for every 64 code
// points; positions past the pattern's end are left to the caller to clear. Each 32 positions
// come out of one byte mask: a byte vector's comparison directly, two 2-byte or four 4-byte
// ones packed down to bytes (the saturating packs keep -1 and 0). A last 2-byte vector on its
// own packs its two halves; a last one to three 4-byte vectors take eight bits each.
template <unsigned Vectors, class P>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline void
positions_of(const __m256i* lane, __m256i probe, std::uint64_t* mask) noexcept {
    constexpr unsigned per_vector = 32 / sizeof(P);
    constexpr unsigned words = (Vectors * per_vector + 63) / 64;
    std::uint32_t chunk[2 * words] = {};
    if constexpr (sizeof(P) == 1) {
#pragma GCC unroll 16
        for (unsigned k = 0; k < Vectors; ++k)
            chunk[k] =
                static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lane[k], probe)));
    } else if constexpr (sizeof(P) == 2) {
#pragma GCC unroll 16
        for (unsigned k = 0; k + 1 < Vectors; k += 2)
            chunk[k / 2] = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_packs_epi16(
                _mm256_cmpeq_epi16(lane[k], probe), _mm256_cmpeq_epi16(lane[k + 1], probe))));
        if constexpr (Vectors % 2 != 0) {
            const __m256i found = _mm256_cmpeq_epi16(lane[Vectors - 1], probe);
            chunk[Vectors / 2] = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(
                _mm256_castsi256_si128(found), _mm256_extracti128_si256(found, 1))));
        }
    } else {
#pragma GCC unroll 16
        for (unsigned k = 0; k + 3 < Vectors; k += 4) {
            const __m256i low = _mm256_packs_epi32(_mm256_cmpeq_epi32(lane[k], probe),
                                                   _mm256_cmpeq_epi32(lane[k + 1], probe));
            const __m256i high = _mm256_packs_epi32(_mm256_cmpeq_epi32(lane[k + 2], probe),
                                                    _mm256_cmpeq_epi32(lane[k + 3], probe));
            chunk[k / 4] =
                static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_packs_epi16(low, high)));
        }
        constexpr unsigned whole = Vectors / 4 * 4;
        if constexpr (whole < Vectors) {
#pragma GCC unroll 4
            for (unsigned k = whole; k < Vectors; ++k)
                chunk[whole / 4] |= static_cast<std::uint32_t>(_mm256_movemask_ps(
                                        _mm256_castsi256_ps(_mm256_cmpeq_epi32(lane[k], probe))))
                                    << (8 * (k - whole));
        }
    }
#pragma GCC unroll 8
    for (unsigned word = 0; word < words; ++word)
        mask[word] = chunk[2 * word] | std::uint64_t{chunk[2 * word + 1]} << 32;
}

// Each code point of text is broadcast and compared with every vector of the pattern, at the
// pattern's width: 32 bytes, 16 2-byte or 8 4-byte code points a vector. A code point of wider
// text than the pattern's must then not match the one of its low bits. With more vectors than
// registers, the rest are compared from their copy on the stack, the load folded into the compare.
//
// The LCS is counted from the row's zeros at the pattern's positions, once a stretch, rather than
// from each code point's carry out of a row cut to the pattern. The zeros past the pattern, which
// text may hold too, change only bits above it: a carry never passes down. That is four
// instructions fewer a code point (the cut and the carry's count) and no registers to save (place
// names about 5% faster on Zen 3 with one word; on Zen 5 with two words, letters at 128 a fifth
// and Cyrillic at 128 a sixth sooner, and with a row kept between calls, three lengths of 128
// letters or CJK code points 15 to 20% sooner).
//
// A fresh row that nothing reads afterwards (not `Kept`) has an instance of its own: with the
// kept row's loads and stores beside it, 128 letters took 5% longer on Zen 5.
template <unsigned Vectors, bool Kept, class P, class T>
[[CORVANE_TARGET_AVX2, gnu::hot]] std::uint64_t
feed_vectors(const P* points, std::size_t size, const T* text, std::size_t count,
             std::uint64_t* bits_io, std::uint64_t lcs) noexcept {
    // A kept row whose every position is matched stays as it is.
    if (Kept && lcs >= size) return lcs;
    constexpr unsigned words = (Vectors * (32 / sizeof(P)) + 63) / 64;
    __m256i lane[Vectors];
    load_pattern<Vectors>(points, size, lane);
    std::uint64_t bits[words];
    for (unsigned word = 0; word < words; ++word)
        bits[word] = Kept ? bits_io[word] : k_all_ones;
    // The pattern's positions in each word.
    const auto valid = [&](unsigned word) {
        const std::size_t held = std::min<std::size_t>(64, size - 64 * word);
        return held == 64 ? k_all_ones : (std::uint64_t{1} << held) - 1;
    };
    const auto zeros = [&] {
        std::uint64_t found = 0;
        for (unsigned word = 0; word < words; ++word)
            found += static_cast<std::uint64_t>(std::popcount(~bits[word] & valid(word)));
        return found;
    };
    constexpr std::size_t stretch = 256;
    for (std::size_t done = 0; done < count;) {
        const std::size_t end = std::min(count, done + stretch);
        for (; done < end; ++done) {
            const std::uint32_t point = text[done];
            std::uint64_t mask[words];
            positions_of<Vectors, P>(lane, probe_of<P>(point), mask);
            if constexpr (sizeof(T) > sizeof(P)) {
                const std::uint64_t narrow = (point >> (8 * sizeof(P))) == 0;
                for (unsigned word = 0; word < words; ++word)
                    mask[word] &= 0 - narrow;
            }
            if constexpr (words > 1) {
                for (unsigned word = 0; word < words; ++word)
                    asm("" : "+r"(mask[word]));
                std::uint64_t carry = 0;
                [&]<std::size_t... Run>(std::index_sequence<Run...>) {
                    (advance_run<std::min<std::size_t>(4, words - 4 * Run)>(bits + 4 * Run,
                                                                            mask + 4 * Run, carry),
                     ...);
                }(std::make_index_sequence<(words + 3) / 4>());
            } else {
                advance_word(bits[0], mask[0], 0);
            }
        }
        // Every position matched: the rest of the text changes nothing.
        if (done < count && zeros() == size) break;
    }
    lcs = zeros();
    // A kept row leaves with the positions past the pattern as ones, as a row cut to the pattern
    // has them.
    if constexpr (Kept)
        for (unsigned word = 0; word < words; ++word)
            bits_io[word] = bits[word] | ~valid(word);
    return lcs;
}

// The code points of a vector in reverse order.
template <class P>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i reversed_points(__m256i x) noexcept {
    if constexpr (sizeof(P) == 4)
        return _mm256_permutevar8x32_epi32(x, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
    const __m256i within =
        sizeof(P) == 1 ? _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 15,
                                          14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
                       : _mm256_setr_epi8(14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1, 14,
                                          15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1);
    // The byte shuffle stays within 128-bit halves; the halves are swapped after it.
    return _mm256_permute4x64_epi64(_mm256_shuffle_epi8(x, within), 0x4E);
}

// The lanes of `lane` that hold `at`, the pattern's and the zeros past it.
template <unsigned Vectors, class P, class T>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline std::uint64_t matched_at(const __m256i* lane,
                                                                            T at) noexcept {
    const std::uint32_t point = at;
    std::uint64_t mask[1];
    positions_of<Vectors, P>(lane, probe_of<P>(point), mask);
    if constexpr (sizeof(T) > sizeof(P))
        mask[0] &= 0 - std::uint64_t{(point >> (8 * sizeof(P))) == 0};
    return mask[0];
}

// The steps of the best split (see `best_split`) two at a time: for each index r << 2 | f, f
// holding the forward row's bits at two splits and r the backward row's in reverse order, the LCS's
// change over the two, and its best rise after none, one or both; in both 128-bit halves.
constexpr auto k_pair_steps = [] {
    std::array<std::array<std::int8_t, 32>, 2> steps{};
    for (unsigned index = 0; index < 32; ++index) {
        const int first = static_cast<int>((index >> 3) & 1) - static_cast<int>(index & 1);
        const int second = static_cast<int>((index >> 2) & 1) - static_cast<int>((index >> 1) & 1);
        steps[0][index] = static_cast<std::int8_t>(first + second);
        steps[1][index] = static_cast<std::int8_t>(std::max({0, first, first + second}));
    }
    return steps;
}();

// Each run of steps in `sum` and `best` (its change and its best rise) followed by the next one,
// given as the same vectors shifted down by a run.
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline void
join_runs(__m128i& sum, __m128i& best, __m128i next_sum, __m128i next_best) noexcept {
    best = _mm_max_epi8(best, _mm_add_epi8(sum, next_best));
    sum = _mm_add_epi8(sum, next_sum);
}

[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline void
join_runs(__m256i& sum, __m256i& best, __m256i next_sum, __m256i next_best) noexcept {
    best = _mm256_max_epi8(best, _mm256_add_epi8(sum, next_best));
    sum = _mm256_add_epi8(sum, next_sum);
}

// The LCS from the rows of a pattern of `size` code points after both halves of the text:
// `forward`, fed from the pattern's start, its position i at bit i, and `backward`, fed from its
// end, its position i (the pattern's size - 1 - i) at bit Lanes - size + i, with zeros below. At
// split j the LCS h(j) is the forward row's zeros below j plus the backward row's zeros among its
// first size - j positions, so h(0) is the backward row's zeros and h(j + 1) - h(j) is
// b(j) - forward(j), where b(j) is the backward row's bit for pattern position j. Past the
// pattern's end b(j) is one of the zeros below the backward row, so the steps there are never
// rises, and the best rise over every split is the best prefix sum of the steps.
//
// Steps go two at a time through byte shuffles of a table, and runs of them are joined in a tree
// of byte shifts five levels deep: some 45 instructions for 64 splits, where a table of four steps
// at a time read from general registers takes three times as many. Byte k of the forward row
// holds splits 8k to 8k + 7 at bits 0 to 7, and byte k of the backward row shifted to the top and
// byte-swapped holds them at bits 7 to 0. Each 128-bit half takes 32 splits, in four copies of 32
// bits: copy q takes splits 8k + 2q and 8k + 2q + 1 of every byte k, the forward row's bits to
// bits 0 and 1, the backward row's to bits 3 and 2. Byte k of copy q then holds pair 4k + q, and
// the runs join copies 0 and 1 and copies 2 and 3, then those two, then bytes 0 and 1 and bytes
// 2 and 3, then those two.
template <unsigned Lanes>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline std::uint64_t
best_split(std::uint64_t forward, std::uint64_t backward, std::size_t size) noexcept {
    // The backward row's bits past the lanes take carries out of the pattern: shifted out.
    const std::uint64_t top = backward << (64 - Lanes);
    const std::uint64_t start = size - static_cast<std::uint64_t>(std::popcount(top));
    const std::uint64_t behind = __builtin_bswap64(top);
    if constexpr (Lanes <= 32) {
        // One half: the splits the lanes hold are the first 32.
        const __m128i f = _mm_set1_epi32(static_cast<int>(forward));
        const __m128i b = _mm_set1_epi32(static_cast<int>(behind));
        const __m128i index = _mm_or_si128(
            _mm_and_si128(_mm_srlv_epi32(f, _mm_setr_epi32(0, 2, 4, 6)), _mm_set1_epi8(0x03)),
            _mm_and_si128(_mm_or_si128(_mm_srlv_epi32(b, _mm_setr_epi32(4, 2, 0, 32)),
                                       _mm_sllv_epi32(b, _mm_setr_epi32(32, 32, 32, 2))),
                          _mm_set1_epi8(0x0C)));
        __m128i sum = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(k_pair_steps[0].data())), index);
        __m128i best = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(k_pair_steps[1].data())), index);
        join_runs(sum, best, _mm_bsrli_si128(sum, 4), _mm_bsrli_si128(best, 4));
        join_runs(sum, best, _mm_bsrli_si128(sum, 8), _mm_bsrli_si128(best, 8));
        join_runs(sum, best, _mm_srli_epi16(sum, 8), _mm_srli_epi16(best, 8));
        join_runs(sum, best, _mm_srli_epi32(sum, 16), _mm_srli_epi32(best, 16));
        return start + static_cast<std::uint8_t>(_mm_cvtsi128_si32(best));
    } else {
        const __m256i halves = _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1);
        const __m256i f = _mm256_permutevar8x32_epi32(
            _mm256_castsi128_si256(_mm_cvtsi64_si128(static_cast<long long>(forward))), halves);
        const __m256i b = _mm256_permutevar8x32_epi32(
            _mm256_castsi128_si256(_mm_cvtsi64_si128(static_cast<long long>(behind))), halves);
        const __m256i index = _mm256_or_si256(
            _mm256_and_si256(_mm256_srlv_epi32(f, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)),
                             _mm256_set1_epi8(0x03)),
            _mm256_and_si256(
                _mm256_or_si256(
                    _mm256_srlv_epi32(b, _mm256_setr_epi32(4, 2, 0, 32, 4, 2, 0, 32)),
                    _mm256_sllv_epi32(b, _mm256_setr_epi32(32, 32, 32, 2, 32, 32, 32, 2))),
                _mm256_set1_epi8(0x0C)));
        __m256i sum = _mm256_shuffle_epi8(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(k_pair_steps[0].data())), index);
        __m256i best = _mm256_shuffle_epi8(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(k_pair_steps[1].data())), index);
        join_runs(sum, best, _mm256_bsrli_epi128(sum, 4), _mm256_bsrli_epi128(best, 4));
        join_runs(sum, best, _mm256_bsrli_epi128(sum, 8), _mm256_bsrli_epi128(best, 8));
        join_runs(sum, best, _mm256_srli_epi16(sum, 8), _mm256_srli_epi16(best, 8));
        join_runs(sum, best, _mm256_srli_epi32(sum, 16), _mm256_srli_epi32(best, 16));
        // The halves' runs joined: the first's change and best rise, and the second's best.
        const int first_sum = static_cast<std::int8_t>(_mm256_cvtsi256_si32(sum));
        const int first_best = static_cast<std::int8_t>(_mm256_cvtsi256_si32(best));
        const int second_best =
            static_cast<std::int8_t>(_mm_cvtsi128_si32(_mm256_extracti128_si256(best, 1)));
        return start + static_cast<std::uint64_t>(std::max(first_best, first_sum + second_best));
    }
}

// Text fed from both ends is checked once a stretch for a row that holds the whole pattern.
constexpr std::size_t k_both_ways_stretch = 256;

// The both-ways LCS of a pattern of `size` code points in `Vectors` vectors. The reversed pattern
// comes from the pattern's vectors reversed: it sits in the top `size` of the lanes, zeros below.
// Lanes past either pattern are not masked off, which would put an AND on the rows' chains: the
// forward row's bits there take no part below them, and the backward row's start as zeros, which
// never match and pass no carry.
template <unsigned Vectors, class P, class T>
[[CORVANE_TARGET_AVX2, gnu::hot]] std::uint64_t
both_ways_vectors(const P* points, std::size_t size, const T* text, std::size_t count) noexcept {
    constexpr unsigned lanes = Vectors * (32 / sizeof(P));
    __m256i ahead[Vectors];
    load_in_order<Vectors>(points, size, ahead);
    __m256i behind[Vectors];
    for (unsigned k = 0; k < Vectors; ++k)
        behind[k] = reversed_points<P>(ahead[Vectors - 1 - k]);
    arrange_for_packing<Vectors, P>(ahead);
    arrange_for_packing<Vectors, P>(behind);
    const std::uint64_t valid = size == 64 ? k_all_ones : (std::uint64_t{1} << size) - 1;
    std::uint64_t forward = k_all_ones;
    std::uint64_t backward = k_all_ones << (lanes - size);
    const std::size_t half = count / 2;
    for (std::size_t k = 0; k < half;) {
        for (const std::size_t end = std::min(half, k + k_both_ways_stretch); k < end; ++k) {
            advance_word(forward, matched_at<Vectors, P>(ahead, text[k]), 0);
            advance_word(backward, matched_at<Vectors, P>(behind, text[count - 1 - k]), 0);
        }
        if (k < half && ((forward & valid) == 0 || backward << (64 - lanes) == 0)) return size;
    }
    if (count % 2 != 0) advance_word(backward, matched_at<Vectors, P>(behind, text[half]), 0);
    return best_split<lanes>(forward, backward, size);
}

} // namespace

template <class P, class T>
[[gnu::hot]] std::uint64_t feed_compared_avx2(const P* points, std::size_t size, const T* text,
                                              std::size_t count, std::uint64_t* bits,
                                              std::uint64_t lcs) noexcept {
    constexpr std::size_t per_vector = 32 / sizeof(P);
    constexpr std::size_t most = k_compared_up_to<P> / per_vector;
    const std::size_t vectors = (size + per_vector - 1) / per_vector;
    if (bits == nullptr && lcs == 0) {
        return with_vector_count<most>(vectors, 0, [&]<std::size_t Vectors>() {
            return feed_vectors<Vectors, false>(points, size, text, count, nullptr, 0);
        });
    }
    return with_vector_count<most>(vectors, lcs, [&]<std::size_t Vectors>() {
        return feed_vectors<Vectors, true>(points, size, text, count, bits, lcs);
    });
}

template <class P, class T>
[[gnu::hot]] std::uint64_t lcs_both_ways_avx2(const P* points, std::size_t size, const T* text,
                                              std::size_t count) noexcept {
    constexpr std::size_t per_vector = 32 / sizeof(P);
    const std::size_t vectors = (size + per_vector - 1) / per_vector;
    // The instance for this many vectors.
    return [&]<std::size_t... Less>(std::index_sequence<Less...>) {
        std::uint64_t result = 0;
        (void)((vectors == Less + 1 &&
                (result = both_ways_vectors<Less + 1>(points, size, text, count), true)) ||
               ...);
        return result;
    }(std::make_index_sequence<64 / per_vector>());
}

[[gnu::target("avx2,bmi2,popcnt")]] void
byte_rows_avx2(const std::uint8_t* points, std::size_t size, std::size_t words,
               const std::uint8_t* bytes, std::size_t distinct, std::uint64_t* rows) noexcept {
    // The pattern copied once into whole vectors, so no load reads past its end; the zeros after
    // it may equal a byte of the pattern, so the last word keeps only the pattern's positions.
    alignas(32) std::uint8_t padded[8 * 64];
    std::memcpy(padded, points, size);
    std::memset(padded + size, 0, words * 64 - size);
    const std::size_t last_held = size - 64 * (words - 1);
    const std::uint64_t last_valid =
        last_held == 64 ? k_all_ones : (std::uint64_t{1} << last_held) - 1;
    for (std::size_t word = 0; word < words; ++word) {
        rows[word] = 0;
        rows[words + word] = k_all_ones;
    }
    for (std::size_t id = 1; id <= distinct; ++id) {
        const __m256i probe = _mm256_set1_epi8(static_cast<char>(bytes[id - 1]));
        std::uint64_t* row = rows + id * 2 * words;
        for (std::size_t word = 0; word < words; ++word) {
            const auto* at = reinterpret_cast<const __m256i*>(padded + 64 * word);
            const auto low = static_cast<std::uint32_t>(
                _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_load_si256(at), probe)));
            const auto high = static_cast<std::uint32_t>(
                _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_load_si256(at + 1), probe)));
            std::uint64_t mask = low | std::uint64_t{high} << 32;
            if (word + 1 == words) mask &= last_valid;
            row[word] = mask;
            row[words + word] = ~mask;
        }
    }
}

#else

// Without the AVX2 paths these never run where speed matters; they keep the names defined.
template <class P, class T>
std::uint64_t feed_compared_avx2(const P* points, std::size_t size, const T* text,
                                 std::size_t count, std::uint64_t* bits,
                                 std::uint64_t lcs) noexcept {
    return feed_compared_plain(points, size, text, count, bits, lcs);
}

// The same result from a fresh row fed the whole text.
template <class P, class T>
std::uint64_t lcs_both_ways_avx2(const P* points, std::size_t size, const T* text,
                                 std::size_t count) noexcept {
    return feed_compared_plain(points, size, text, count, nullptr, 0);
}

void byte_rows_avx2(const std::uint8_t* points, std::size_t size, std::size_t words,
                    const std::uint8_t* bytes, std::size_t distinct, std::uint64_t* rows) noexcept {
    byte_rows_plain(points, size, words, bytes, distinct, rows);
}

#endif

#define CORVANE_INSTANTIATE(P, T)                                                                  \
    template std::uint64_t feed_compared_avx2(const P*, std::size_t, const T*, std::size_t,        \
                                              std::uint64_t*, std::uint64_t) noexcept;             \
    template std::uint64_t lcs_both_ways_avx2(const P*, std::size_t, const T*,                     \
                                              std::size_t) noexcept;
CORVANE_EACH_WIDTH_PAIR(CORVANE_INSTANTIATE)
#undef CORVANE_INSTANTIATE

} // namespace corvane::detail
