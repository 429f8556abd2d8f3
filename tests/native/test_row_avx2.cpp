// The AVX2 row update checked against the scalar one, word for word and carry for carry.
#include "cpu.hpp"
#include "kernel/row_avx2.hpp"
#include "kernel/vector.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace corvane::detail {
namespace {

using Row = std::vector<std::uint64_t>;

// A mask with each bit set with probability about `density` / 64. Density 0 sets one bit in one
// random word and leaves the rest zero, so the row stays mostly ones and carries run through long
// stretches of all-ones words, across many chunks.
Row random_mask(std::size_t words, unsigned density, std::mt19937_64& random) {
    Row mask(words, 0);
    if (density == 0) {
        mask[random() % words] = std::uint64_t{1} << (random() % 64);
        return mask;
    }
    for (auto& word : mask)
        for (unsigned k = 0; k < density; ++k)
            word |= std::uint64_t{1} << (random() % 64);
    return mask;
}

// Rows of one chunk, of a few, and long ones; masks from one bit in the whole row to most bits.
// Each row starts from all ones and takes many steps, single and in pairs, against the scalar
// update. Then a match at bit 0 of an all-ones row, which must carry out of the top word.
TEST(Avx2RowUpdate, MatchesScalarOnEveryRowLengthAndMaskDensity) {
    if (!cpu::has(cpu::k_avx2_paths)) GTEST_SKIP() << "this CPU lacks AVX2";
    std::mt19937_64 random(23);
    for (const std::size_t words : {4, 8, 12, 16, 100, 1564})
        for (const unsigned density : {0u, 1u, 4u, 16u, 64u}) {
            Row scalar(words, k_all_ones), vector = scalar, vector_pair = scalar;
            for (int step = 0; step < 300; ++step) {
                const Row a = random_mask(words, density, random);
                const Row b = random_mask(words, density, random);
                std::uint64_t want = advance_row_scalar(scalar.data(), a.data(), words);
                ASSERT_EQ(advance_row_avx2(vector.data(), a.data(), words), want)
                    << words << " words, density " << density << ", step " << step;
                ASSERT_EQ(vector, scalar)
                    << words << " words, density " << density << ", step " << step;
                const std::uint64_t want_b = advance_row_scalar(scalar.data(), b.data(), words);
                ASSERT_EQ(advance_row_avx2(vector.data(), b.data(), words), want_b);
                ASSERT_EQ(advance_row_avx2_pair(vector_pair.data(), a.data(), b.data(), words),
                          want + want_b)
                    << words << " words, density " << density << ", step " << step;
                ASSERT_EQ(vector_pair, scalar)
                    << words << " words, density " << density << ", step " << step;
            }
        }
    for (const std::size_t words : {4, 8, 12, 100}) {
        Row row(words, k_all_ones), pair_row = row, bit_zero(words, 0);
        bit_zero[0] = 1;
        Row want(words, k_all_ones);
        want[0] = ~std::uint64_t{1};
        EXPECT_EQ(advance_row_avx2(row.data(), bit_zero.data(), words), 1u) << words;
        EXPECT_EQ(row, want) << words;
        // The second match finds bit 0 already cleared, so only the first carries out.
        EXPECT_EQ(advance_row_avx2_pair(pair_row.data(), bit_zero.data(), bit_zero.data(), words),
                  1u)
            << words;
        EXPECT_EQ(pair_row, want) << words;
    }
}

} // namespace
} // namespace corvane::detail
