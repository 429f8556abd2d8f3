// The long-row update on 256-bit vectors (AVX2), and its scalar stand-in where that is not built.
#include "kernel/row_avx2.hpp"

#include "kernel/vector.hpp"

#include <array>

#if CORVANE_X86_AVX2
#include <immintrin.h>
#endif

namespace corvane::detail {

#if CORVANE_X86_AVX2

namespace {

// For each set of lanes that receive a carry, 1 in those lanes and 0 in the others. The set is
// the low four bits of the index; bit 4, the carry out, is ignored, so the index needs no mask.
alignas(32) constexpr auto k_carried_lanes = [] {
    std::array<std::array<std::uint64_t, 4>, 32> lanes{};
    for (unsigned receive = 0; receive < 32; ++receive)
        for (unsigned lane = 0; lane < 4; ++lane)
            lanes[receive][lane] = (receive >> lane) & 1;
    return lanes;
}();

[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i
load(const std::uint64_t* words) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words));
}

[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline void store(std::uint64_t* words,
                                                              __m256i value) noexcept {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(words), value);
}

// One chunk of four words. Each lane first adds its matched bits on its own. A lane generates a
// carry when its sum wrapped, and passes one on when its sum is all ones; a wrapped sum is at most
// 2^64 - 2, so the two never hold together. With the generate bits moved up one lane and the
// carry in at bit 0, adding the propagate bits runs each carry through the lanes that pass it on:
// the exclusive or with the propagate bits leaves the lanes that receive a carry, and bit 4 is
// the carry out. Only that add and the shift lie on the chain from chunk to chunk; the rest
// overlaps with the neighbouring chunks.
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i
advance_chunk(__m256i bits, const std::uint64_t* mask_words, unsigned& carry) noexcept {
    const __m256i mask = load(mask_words);
    const __m256i matched = _mm256_and_si256(bits, mask);
    const __m256i sum = _mm256_add_epi64(bits, matched);
    const __m256i kept = _mm256_andnot_si256(mask, bits);
    // AVX2 has no unsigned compare. The sum wraps when the top bit is set in both terms, or in
    // `bits` only and the carry into it cleared it in the sum; matched being a subset of bits,
    // that is the top bit of matched | (bits & ~sum).
    const __m256i wrapped = _mm256_or_si256(matched, _mm256_andnot_si256(sum, bits));
    // A lane sums to all ones only with nothing matched in a lane of ones, so the test need not
    // wait for the sum.
    const __m256i full = _mm256_cmpeq_epi64(kept, _mm256_set1_epi64x(-1));
    const auto generate = static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(wrapped)));
    const auto propagate = static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(full)));
    const unsigned chained = propagate + (generate << 1) + carry;
    carry = chained >> 4;
    // A table row rather than a broadcast and compare: one load that folds into the add, and
    // measured faster.
    const __m256i one = _mm256_load_si256(
        reinterpret_cast<const __m256i*>(k_carried_lanes[chained ^ propagate].data()));
    return _mm256_or_si256(_mm256_add_epi64(sum, one), kept);
}

} // namespace

[[CORVANE_TARGET_AVX2]] std::uint64_t
advance_row_avx2(std::uint64_t* bits, const std::uint64_t* mask, std::size_t words) noexcept {
    unsigned carry = 0;
    for (std::size_t word = 0; word < words; word += 4)
        store(bits + word, advance_chunk(load(bits + word), mask + word, carry));
    return carry;
}

[[CORVANE_TARGET_AVX2]] std::uint64_t advance_row_avx2_pair(std::uint64_t* bits,
                                                            const std::uint64_t* mask_a,
                                                            const std::uint64_t* mask_b,
                                                            std::size_t words) noexcept {
    unsigned carry_a = 0;
    unsigned carry_b = 0;
    for (std::size_t word = 0; word < words; word += 4) {
        const __m256i middle = advance_chunk(load(bits + word), mask_a + word, carry_a);
        store(bits + word, advance_chunk(middle, mask_b + word, carry_b));
    }
    return std::uint64_t{carry_a} + carry_b;
}

#else

// Without the AVX2 paths these never run where speed matters; they keep the names defined.
std::uint64_t advance_row_avx2(std::uint64_t* bits, const std::uint64_t* mask,
                               std::size_t words) noexcept {
    return advance_row_scalar(bits, mask, words);
}

std::uint64_t advance_row_avx2_pair(std::uint64_t* bits, const std::uint64_t* mask_a,
                                    const std::uint64_t* mask_b, std::size_t words) noexcept {
    return advance_row_scalar_pair(bits, mask_a, mask_b, words);
}

#endif

} // namespace corvane::detail
