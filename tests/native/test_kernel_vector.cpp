// The vector row update checked against the scalar one, word for word and carry for carry.
#include "cpu.hpp"
#include "kernel/vector.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace corvane::detail {
namespace {

using Row = std::vector<std::uint64_t>;

// A mask with each bit set with probability about `density` / 64; density 0 sets bits in one
// random word only, with the rest of the row zero, so that carries run through long stretches of
// untouched all-ones words.
Row random_mask(std::size_t words, unsigned density, std::mt19937_64& random) {
    Row mask(words, 0);
    if (density == 0) {
        mask[random() % words] = random() & random() & random();
        return mask;
    }
    for (auto& word : mask)
        for (unsigned k = 0; k < density; ++k)
            word |= std::uint64_t{1} << (random() % 64);
    return mask;
}

// Rows that are and are not whole chunks of eight words, and densities from one bit per word to
// most bits. Each row starts from all ones and takes many steps, single and in pairs.
TEST(VectorRowUpdate, MatchesScalarOnEveryRowLengthAndMaskDensity) {
    if (!cpu::has(cpu::k_avx512_rows)) GTEST_SKIP() << "this CPU lacks AVX-512";
    std::mt19937_64 random(11);
    for (const std::size_t words : {1, 7, 8, 9, 15, 16, 17, 100})
        for (const unsigned density : {0u, 1u, 4u, 16u, 64u}) {
            Row scalar(words, k_all_ones), vector = scalar, scalar_pair = scalar;
            Row vector_pair = scalar;
            for (int step = 0; step < 400; ++step) {
                const Row a = random_mask(words, density, random);
                const Row b = random_mask(words, density, random);
                std::uint64_t want = advance_row_scalar(scalar.data(), a.data(), words);
                const std::uint64_t got = advance_row_avx512(vector.data(), a.data(), words);
                ASSERT_EQ(got, want) << words << " words, density " << density << ", step " << step;
                ASSERT_EQ(vector, scalar)
                    << words << " words, density " << density << ", step " << step;
                want += advance_row_scalar(scalar.data(), b.data(), words);
                advance_row_avx512(vector.data(), b.data(), words);
                ASSERT_EQ(advance_row_scalar_pair(scalar_pair.data(), a.data(), b.data(), words),
                          want);
                ASSERT_EQ(advance_row_avx512_pair(vector_pair.data(), a.data(), b.data(), words),
                          want);
                ASSERT_EQ(scalar_pair, scalar) << words << " words, step " << step;
                ASSERT_EQ(vector_pair, scalar) << words << " words, step " << step;
            }
        }
    // A match at bit 0 of an all-ones row carries through every word and out of the top one.
    for (const std::size_t words : {8, 9, 24, 31}) {
        Row row(words, k_all_ones), bit_zero(words, 0);
        bit_zero[0] = 1;
        EXPECT_EQ(advance_row_avx512(row.data(), bit_zero.data(), words), 1u) << words;
        Row want(words, k_all_ones);
        want[0] = ~std::uint64_t{1};
        EXPECT_EQ(row, want) << words;
    }
}

TEST(CpuFeatures, ScopesNarrowWhatIsUsedAndRestoreItNested) {
    const cpu::Features before = cpu::g_enabled.load();
    EXPECT_EQ(before, cpu::available());
    {
        const cpu::Scope plain(0);
        EXPECT_FALSE(cpu::has(cpu::k_avx2));
        EXPECT_TRUE(cpu::has(0));
        {
            // A scope never grants what the CPU lacks.
            const cpu::Scope everything(~cpu::Features{0});
            EXPECT_EQ(cpu::g_enabled.load(), cpu::available());
        }
        EXPECT_EQ(cpu::g_enabled.load(), cpu::available() & cpu::k_amd_before_zen4);
    }
    EXPECT_EQ(cpu::g_enabled.load(), before);
    const auto levels = cpu::runnable_levels();
    ASSERT_FALSE(levels.empty());
    for (const cpu::Level& level : levels)
        EXPECT_EQ(level.features & cpu::available(), level.features) << level.name;
}

} // namespace
} // namespace corvane::detail
