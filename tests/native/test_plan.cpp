// The kernel's plan: the path chosen at each threshold and either side of it, and a table of
// shapes that must reach every path this machine can run, each checked against the reference.
#include "cpu.hpp"
#include "kernel/plan.hpp"
#include "kernel/reference.hpp"
#include "stored_text.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <string>
#include <vector>

namespace corvane::plan {
namespace {

using testing::encode_utf8;
using testing::stored_kernel;

constexpr cpu::Features k_portable = cpu::k_levels[0].features;
constexpr cpu::Features k_sse2 = cpu::k_levels[1].features;
constexpr cpu::Features k_avx2 = cpu::k_levels[2].features;
constexpr cpu::Features k_avx512 = cpu::k_levels[3].features;
// AVX-512 without the both-ways extensions (VBMI2, VPOPCNTDQ), as on Skylake servers.
constexpr cpu::Features k_avx512_only = k_avx512 & ~cpu::k_avx512vbmi2;

struct Choice {
    Shape shape;
    cpu::Features features;
    Path path;
};

std::string_view name_of(Path path) {
    return k_paths[static_cast<std::size_t>(path)].name;
}

TEST(Plan, ChoosesEachPathAtItsThresholdsAndEitherSide) {
    using enum Path;
    // {pattern width, text width, pattern size, text size, one length}, features, path.
    const Choice choices[] = {
        // Machines: bytes are compared from 16 code points to 320.
        {{1, 1, 15, 40, false}, k_avx512, word_rows},
        {{1, 1, 16, 40, false}, k_avx512, compared_avx512},
        {{1, 1, 320, 400, false}, k_avx2, compared_avx2},
        {{1, 1, 321, 400, false}, k_avx2, register_rows},
        // Wide patterns up to 256, 4-byte ones only against text of at most 256.
        {{2, 2, 256, 5000, false}, k_avx512, compared_avx512},
        {{2, 2, 257, 5000, false}, k_avx512, register_rows},
        {{4, 4, 64, 256, false}, k_avx512, compared_avx512},
        {{4, 4, 64, 257, false}, k_avx512, word_rows},
        // Beyond 64, 4-byte patterns narrow: compared against short text, rows beyond 256.
        {{4, 4, 65, 256, false}, k_avx2, narrowed_compared_avx2},
        {{4, 4, 65, 257, false}, k_avx2, register_rows},
        {{4, 1, 256, 100, false}, k_avx512, narrowed_compared_avx512},
        {{4, 1, 257, 100, false}, k_avx512, narrowed_rows_avx512},
        {{4, 4, 257, 100, false}, k_avx2, narrowed_rows_avx2},
        {{4, 4, 257, 100, false}, k_sse2, register_rows},
        // SSE2 compares wide patterns of one word against text of at most 256.
        {{2, 1, 64, 256, false}, k_sse2, compared_sse2},
        {{2, 1, 65, 256, false}, k_sse2, register_rows},
        {{2, 1, 64, 257, false}, k_sse2, word_rows},
        {{1, 2, 40, 100, false}, k_sse2, word_rows},
        {{2, 2, 40, 100, false}, k_portable, word_rows},
        // Rows: one word, up to eight in registers, then blocks.
        {{1, 1, 512, 600, false}, k_portable, register_rows},
        {{1, 1, 513, 600, false}, k_portable, block_rows},
        // Short calls without vectors: up to six words, a byte table for bytes and rows for one
        // side wide (one word in a Latin-1 table), unless SSE2 compares a 4-byte pattern of up to
        // 32 against text of up to 256.
        {{1, 1, 384, 400, true}, k_sse2, short_byte_table},
        {{1, 1, 385, 400, true}, k_sse2, register_rows},
        {{1, 2, 64, 300, true}, k_portable, short_latin1_rows},
        {{1, 2, 65, 300, true}, k_portable, short_wide_rows},
        {{1, 2, 384, 400, true}, k_portable, short_wide_rows},
        {{1, 2, 385, 400, true}, k_portable, register_rows},
        // Wide patterns beyond four words only against text of up to twice their size.
        {{2, 2, 256, 2000, true}, k_portable, short_wide_rows},
        {{2, 2, 300, 600, true}, k_portable, short_wide_rows},
        {{2, 2, 300, 601, true}, k_portable, register_rows},
        {{2, 2, 300, 601, true}, k_avx2, register_rows},
        {{4, 4, 32, 256, true}, k_sse2, compared_sse2},
        {{4, 4, 33, 256, true}, k_sse2, short_latin1_rows},
        {{2, 2, 32, 256, true}, k_sse2, short_latin1_rows},
        {{2, 2, 32, 257, true}, k_sse2, short_latin1_rows},
        {{2, 2, 32, 256, true}, k_portable, short_latin1_rows},
        // Without vectors, a 4-byte pattern from 97 against text of up to 256 is narrowed.
        {{4, 4, 96, 256, true}, k_portable, short_wide_rows},
        {{4, 1, 97, 256, true}, k_sse2, short_narrowed_plain},
        {{4, 4, 97, 257, true}, k_portable, short_wide_rows},
        // Short calls on vectors: compared up to 320 bytes or 256 wide, else a machine, but for
        // wide patterns of up to six words, which take the rows of the level without vectors.
        {{1, 1, 320, 400, true}, k_avx512, short_compared_avx512},
        // Except that AVX2 looks bytes of 225 to 384 up in a table, on AMD's before Zen 4 from 97.
        {{1, 1, 224, 300, true}, k_avx2, short_compared_avx2},
        {{1, 1, 225, 300, true}, k_avx2, short_byte_table},
        {{1, 1, 96, 300, true}, k_avx2 | cpu::k_amd_before_zen4, short_compared_avx2},
        {{1, 1, 97, 300, true}, k_avx2 | cpu::k_amd_before_zen4, short_byte_table},
        {{1, 1, 97, 300, true}, k_avx512 | cpu::k_amd_before_zen4, short_compared_avx512},
        {{1, 1, 256, 300, true}, k_avx512, short_compared_avx512},
        {{1, 1, 385, 400, true}, k_avx2, register_rows},
        {{1, 1, 321, 400, true}, k_avx512, register_rows},
        {{2, 2, 257, 300, true}, k_avx512, short_wide_rows},
        {{2, 1, 384, 400, true}, k_avx2, short_wide_rows},
        {{2, 2, 385, 400, true}, k_avx512, register_rows},
        {{4, 4, 40, 257, true}, k_avx512, word_rows},
        // 4-byte patterns narrow beyond 64.
        {{4, 4, 64, 100, true}, k_avx512, short_halves_both_ways},
        {{4, 4, 65, 100, true}, k_avx512, short_narrowed_avx512},
        {{4, 4, 65, 100, true}, k_avx2, short_narrowed_avx2},
        // On AMD's before Zen 4 from 97, looked up in a table.
        {{4, 4, 96, 256, true}, k_avx2 | cpu::k_amd_before_zen4, short_narrowed_avx2},
        {{4, 2, 97, 256, true}, k_avx2 | cpu::k_amd_before_zen4, short_narrowed_table},
        // Both ways from 28 code points of text, for patterns of one word.
        {{1, 1, 64, 27, true}, k_avx512, short_compared_avx2},
        {{1, 1, 64, 28, true}, k_avx512, short_both_ways_avx512},
        {{1, 4, 65, 100, true}, k_avx512, short_compared_avx512},
        {{1, 1, 20, 28, true}, k_avx512_only, short_both_ways_avx2},
        {{1, 1, 20, 28, true}, k_avx2, short_both_ways_avx2},
        {{2, 2, 20, 28, true}, k_avx512, short_compared_avx512},
        {{2, 2, 20, 28, true}, k_avx2, short_both_ways_avx2},
        {{4, 4, 16, 28, true}, k_avx512, short_compared_avx512},
        {{4, 4, 17, 28, true}, k_avx512, short_halves_both_ways},
        {{4, 4, 17, 28, true}, k_avx512_only, short_compared_avx512},
        {{4, 4, 17, 28, true}, k_avx2, short_compared_avx2},
    };
    for (const Choice& choice : choices) {
        const Shape& s = choice.shape;
        EXPECT_EQ(name_of(choose(s, choice.features)), name_of(choice.path))
            << "widths " << s.pattern_width << "/" << s.text_width << ", sizes " << s.pattern_size
            << "/" << s.text_size << (s.one_length ? ", one length" : "") << ", features "
            << choice.features;
    }
    // What a declined path falls back to: the same shape without narrowing, or one row.
    EXPECT_EQ(name_of(fallback(narrowed_compared_avx2, {4, 4, 65, 256, false}, k_avx2)),
              name_of(compared_avx2));
    EXPECT_EQ(name_of(fallback(narrowed_rows_avx512, {4, 4, 600, 100, false}, k_avx512)),
              name_of(block_rows));
    EXPECT_EQ(name_of(fallback(short_halves_both_ways, {4, 4, 40, 100, true}, k_avx512)),
              name_of(short_compared_avx512));
    EXPECT_EQ(name_of(fallback(short_narrowed_avx2, {4, 4, 100, 100, true}, k_avx2)),
              name_of(short_compared_avx2));
    EXPECT_EQ(name_of(fallback(short_latin1_rows, {2, 2, 40, 100, true}, k_portable)),
              name_of(short_wide_rows));
    // With vectors, short texts of up to 64 code points are compared whole; without, never.
    EXPECT_FALSE(cuts_shared_ends(64, k_avx2));
    EXPECT_TRUE(cuts_shared_ends(65, k_avx512));
    EXPECT_TRUE(cuts_shared_ends(8, k_sse2));
    // Long rows: 512-bit from 17 words, 256-bit from 20.
    EXPECT_EQ(choose_row_update(16, k_avx512), RowUpdate::scalar);
    EXPECT_EQ(choose_row_update(17, k_avx512), RowUpdate::avx512);
    EXPECT_EQ(choose_row_update(19, k_avx2), RowUpdate::scalar);
    EXPECT_EQ(choose_row_update(20, k_avx2), RowUpdate::avx2);
    EXPECT_EQ(choose_row_update(1000, k_sse2), RowUpdate::scalar);
}

// ---- every path, run ----------------------------------------------------------------------------

/// `count` code points drawn from `points`.
std::string text_of(const std::u32string& points, std::size_t count, std::mt19937_64& random) {
    std::uniform_int_distribution<std::size_t> pick(0, points.size() - 1);
    std::string text;
    for (std::size_t k = 0; k < count; ++k)
        text += encode_utf8(points[pick(random)]);
    return text;
}

struct Call {
    const char* alphabet;
    std::size_t source_size;
    std::size_t target_size;
    bool one_length;
};

const std::u32string k_letters = U"abcdefghijklmnopqrstuvwxyz";
const std::u32string k_cyrillic = U"\u0430\u0431\u0432\u0433\u0434\u0435\u043e ";
// Mostly ASCII with a few emoji: narrows to bytes.
const std::u32string k_ascii_emoji = U"abcdefghij \U0001F600\U0001F601";
// Letters with one emoji among them: Latin-1 but for a few, looked up in a table of 256 without
// vectors.
const std::u32string k_few_emoji = U"abcdefghij \U0001F600";
// Twenty emoji and more: too many beyond ASCII to narrow.
const std::u32string k_many_emoji = U"ab\U0001F600\U0001F601\U0001F602\U0001F603\U0001F604"
                                    U"\U0001F605\U0001F606\U0001F607\U0001F608\U0001F609\U0001F60A"
                                    U"\U0001F60B\U0001F60C\U0001F60D\U0001F60E\U0001F60F\U0001F610"
                                    U"\U0001F611\U0001F612\U0001F613";
// Beyond the first two planes: the halves decline.
const std::u32string k_plane_two = U"ab\U00020000\U00020001\U0001F600";

const std::u32string& alphabet(std::string_view name) {
    if (name == "letters") return k_letters;
    if (name == "cyrillic") return k_cyrillic;
    if (name == "ascii_emoji") return k_ascii_emoji;
    if (name == "few_emoji") return k_few_emoji;
    if (name == "many_emoji") return k_many_emoji;
    return k_plane_two;
}

// Shapes that between them reach every path at some level: short calls (one length, the whole
// target) and machines (every length), across the thresholds above.
const Call k_calls[] = {
    {"letters", 10, 40, true},        {"letters", 40, 60, true},
    {"letters", 20, 24, true},        {"letters", 150, 200, true},
    {"letters", 240, 260, true},      {"cyrillic", 40, 60, true},
    {"cyrillic", 20, 100, true},      {"few_emoji", 40, 60, true},
    {"ascii_emoji", 40, 60, true},    {"ascii_emoji", 70, 90, true},
    {"ascii_emoji", 100, 120, true},  {"many_emoji", 100, 120, true},
    {"plane_two", 40, 60, true},      {"letters", 10, 40, false},
    {"letters", 20, 40, false},       {"cyrillic", 40, 60, false},
    {"letters", 400, 500, false},     {"letters", 1500, 1600, false},
    {"ascii_emoji", 100, 200, false}, {"ascii_emoji", 400, 450, false},
    {"ascii_emoji", 700, 720, false}, {"many_emoji", 100, 200, false},
};

TEST(Plan, EveryPathThisMachineRunsIsReachedAndMatchesTheReference) {
    std::vector<std::uint64_t> paths_before(k_path_count);
    for (std::size_t k = 0; k < k_path_count; ++k)
        paths_before[k] = runs(static_cast<Path>(k));
    std::vector<std::uint64_t> updates_before(k_row_update_count);
    for (std::size_t k = 0; k < k_row_update_count; ++k)
        updates_before[k] = runs(static_cast<RowUpdate>(k));
    std::mt19937_64 random(7);
    for (const Call& run : k_calls) {
        const std::string source = text_of(alphabet(run.alphabet), run.source_size, random);
        const std::string target = text_of(alphabet(run.alphabet), run.target_size, random);
        std::vector<std::uint64_t> lengths;
        if (run.one_length) {
            lengths = {run.target_size};
        } else {
            for (std::uint64_t length = 0; length <= run.target_size; length += 7)
                lengths.push_back(length);
        }
        std::vector<std::uint64_t> want = lengths;
        reference::prefix_similarities(source, target, want);
        for (const cpu::Level& level : cpu::runnable_levels()) {
            const cpu::Scope scope(level.features);
            std::vector<std::uint64_t> got = lengths;
            stored_kernel(source, target, got, 0, 0);
            EXPECT_EQ(got, want) << run.alphabet << " " << run.source_size << "/" << run.target_size
                                 << " at level " << level.name;
        }
    }
    for (std::size_t k = 0; k < k_path_count; ++k) {
        if (has(cpu::available(), k_paths[k].needs)) {
            EXPECT_GT(runs(static_cast<Path>(k)), paths_before[k])
                << k_paths[k].name << " never ran: add a shape that reaches it";
        }
    }
    for (std::size_t k = 0; k < k_row_update_count; ++k) {
        if (has(cpu::available(), k_row_updates[k].needs)) {
            EXPECT_GT(runs(static_cast<RowUpdate>(k)), updates_before[k])
                << k_row_updates[k].name << " never ran: add a shape that reaches it";
        }
    }
}

} // namespace
} // namespace corvane::plan
