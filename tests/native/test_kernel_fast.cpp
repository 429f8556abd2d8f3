// The bit-parallel kernel checked against the two-row reference, bit for bit.
#include "cpu.hpp"
#include "kernel/kernel.hpp"
#include "kernel/reference.hpp"
#include "kernel/vector.hpp"
#include "kernel_cases.hpp"
#include "stored_text.hpp"
#include "text.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace corvane {
namespace {

using testing::decode_utf8;
using testing::encode_utf8;
using testing::panic_message;
using testing::stored_kernel;
using testing::StoredText;

struct Alphabet {
    const char* name;
    std::vector<std::string> points;
};

const Alphabet k_alphabets[] = {
    {"letters", {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m",
                 "n", "o", "p", "q", "r", "s", "t", "u", "v", "w", "x", "y", "z"}},
    {"dna", {"A", "C", "G", "T"}},
    // Latin-1 beyond ASCII: one byte a code point where stored, two in UTF-8.
    {"latin1", {"a", "b", "e", "\u00e9", "\u00e8", "\u00df", "\u00ff", " "}},
    // One block of 256 above Latin-1, looked up directly, and a space from ASCII.
    {"cyrillic", {"\u0430", "\u0431", "\u0432", "\u0433", "\u0434", "\u0435", "\u043e", " "}},
    // One to four bytes each; é and è share their lead byte, so do the two emoji their first three.
    {"mixed",
     {"a", "b", "\u00e9", "\u00e8", "\u00df", "\u65e5", "\u672c", "\U0001F600", "\U0001F601"}},
};

void PrintTo(const Alphabet& alphabet, std::ostream* out) {
    *out << alphabet.name;
}

std::string random_text(const std::vector<std::string>& points, std::size_t count,
                        std::mt19937_64& random) {
    std::uniform_int_distribution<std::size_t> pick(0, points.size() - 1);
    std::string text;
    for (std::size_t k = 0; k < count; ++k)
        text += points[pick(random)];
    return text;
}

std::vector<std::uint64_t> every_length(std::string_view target) {
    std::vector<std::uint64_t> lengths(target.size() + 1);
    std::iota(lengths.begin(), lengths.end(), std::uint64_t{0});
    return lengths;
}

// Every storage width a text fits in: as the interpreter stores it, and wider.
std::vector<unsigned> kinds_for(std::string_view text) {
    const StoredText narrowest(text);
    std::vector<unsigned> kinds;
    for (const unsigned kind : {1u, 2u, 4u})
        if (kind >= narrowest.view().kind) kinds.push_back(kind);
    return kinds;
}

void expect_same_as_reference(std::string_view source, std::string_view target,
                              std::vector<std::uint64_t> lengths) {
    std::vector<std::uint64_t> want = lengths;
    reference::prefix_similarities(source, target, want);
    // Every level of vector code this machine runs takes its own paths.
    for (const cpu::Level& level : cpu::runnable_levels()) {
        const cpu::Scope scope(level.features);
        for (const unsigned source_kind : kinds_for(source))
            for (const unsigned target_kind : kinds_for(target)) {
                std::vector<std::uint64_t> got = lengths;
                stored_kernel(source, target, got, source_kind, target_kind);
                for (std::size_t k = 0; k < lengths.size(); ++k)
                    if (got[k] != want[k]) {
                        ADD_FAILURE()
                            << "at level " << level.name << ", source " << source.size()
                            << " bytes \"" << source.substr(0, 80) << "\" (kind " << source_kind
                            << "), target " << target.size() << " bytes \"" << target.substr(0, 80)
                            << "\" (kind " << target_kind << "), length " << lengths[k] << ": "
                            << std::bit_cast<double>(got[k])
                            << " != " << std::bit_cast<double>(want[k]);
                        return;
                    }
            }
    }
}

/// The reference on every prefix length, on a few lengths with long runs between them, on the
/// whole of target alone, where a shared end of the texts counts without computing, and on single
/// lengths, which short texts answer on a path of their own.
void expect_same_for_lengths(std::string_view source, std::string_view target) {
    const std::uint64_t points = decode_utf8(target).size();
    expect_same_as_reference(source, target, every_length(target));
    expect_same_as_reference(source, target, {target.size(), target.size() / 2});
    expect_same_as_reference(source, target, {points, 0, points});
    if (points == 0) return;
    expect_same_as_reference(source, target, {points});
    expect_same_as_reference(source, target, {(points + 1) / 2});
}

// Code-point counts around the one-word limit, the compare lanes, the short rows' six words and
// the fixed row sizes.
const std::size_t k_source_sizes[] = {0,   1,   15,  16,  17,  33,  48,  63,  64,  65, 80,
                                      127, 128, 129, 250, 300, 384, 511, 512, 513, 700};
const std::size_t k_target_sizes[] = {0, 1, 63, 64, 65, 127, 128, 129, 256, 300};

class FastKernel : public ::testing::TestWithParam<Alphabet> {};

TEST_P(FastKernel, MatchesReferenceForEveryPrefixAcrossWordEdges) {
    std::mt19937_64 random(1);
    for (const std::size_t source_size : k_source_sizes)
        for (const std::size_t target_size : k_target_sizes) {
            const std::string source = random_text(GetParam().points, source_size, random);
            const std::string target = random_text(GetParam().points, target_size, random);
            expect_same_for_lengths(source, target);
        }
}

TEST_P(FastKernel, MatchesReferenceForUnsortedDuplicateLengths) {
    std::mt19937_64 random(2);
    for (const std::size_t count : {1, 2, 3, 16, 17, 40})
        for (const std::size_t source_size : {10, 64, 200, 600}) {
            const std::string source = random_text(GetParam().points, source_size, random);
            const std::string target = random_text(GetParam().points, 150, random);
            std::uniform_int_distribution<std::uint64_t> pick(0, target.size());
            std::vector<std::uint64_t> lengths(count);
            for (std::uint64_t& length : lengths)
                length = pick(random);
            lengths.push_back(lengths.front());
            expect_same_as_reference(source, target, lengths);
        }
}

TEST_P(FastKernel, MatchesReferenceWhenTextsShareAPrefix) {
    std::mt19937_64 random(3);
    for (const std::size_t shared : {0, 1, 7, 8, 9, 63, 64, 65, 300}) {
        const std::string common = random_text(GetParam().points, shared, random);
        for (const std::size_t tail : {0, 1, 5, 70, 600}) {
            const std::string source = common + random_text(GetParam().points, tail, random);
            const std::string target = common + random_text(GetParam().points, tail / 2, random);
            expect_same_for_lengths(source, target);
            expect_same_for_lengths(target, source);
            // The same start and end around different middles.
            expect_same_for_lengths(source + common, target + common);
        }
    }
}

TEST_P(FastKernel, MatchesReferenceOnRowsOfManyWords) {
    // Rows of 18 to 20 words and of more than 64: both sides of the vector update's thresholds.
    std::mt19937_64 random(7);
    for (const auto& [source_size, target_size] :
         {std::pair{1100, 1200}, std::pair{1250, 1150}, std::pair{4200, 4300}}) {
        const std::string source = random_text(GetParam().points, source_size, random);
        const std::string target = random_text(GetParam().points, target_size, random);
        expect_same_as_reference(source, target, every_length(target));
    }
}

INSTANTIATE_TEST_SUITE_P(Alphabets, FastKernel, ::testing::ValuesIn(k_alphabets),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FastKernelPrefix, MismatchInsideACodePointDoesNotCountItsSharedBytes) {
    const std::string cases[][2] = {
        {"ab\u00e9cd", "ab\u00e8cd"},     // same lead byte, different second byte
        {"x\U0001F600y", "x\U0001F601y"}, // three shared bytes of four
        {"\U0001F600\U0001F600", "\U0001F600\U0001F601"},
        {"abcdefg\u00e9", "abcdefg\u00e8"}, // the mismatch straddles an 8-byte compare
        {"\u65e5\u672c", "\u65e5\u672c"},   // identical
        {"\u65e5\u672c\u8a9e", "\u65e5"},   // target is a prefix of source
        {"a", "a\u00e9\u00e9\u00e9"},       // source is a prefix of target
    };
    for (const auto& [source, target] : cases) {
        expect_same_as_reference(source, target, every_length(target));
        expect_same_as_reference(target, source, every_length(source));
    }
}

TEST(FastKernelPrefix, WideCodePointsNeverMatchThePointOfTheirLowBits) {
    // Patterns of narrow code points against text whose wider code points end in the same bits:
    // U+0161, U+4E62 and U+1F663 must not match a, b and c, nor U+10430 and U+10431 match
    // U+0430 and U+0431. Wide patterns of mostly ASCII are compared as bytes, their other code
    // points renumbered from 0x80: with 16 such code points (all renumbered) and 17 (too many),
    // text holding U+0080 to U+008F, the next emoji and the value for none must still not match,
    // whether the pattern is short enough to compare or indexed. Patterns in the first two planes
    // are compared on the low 16 bits of code points: U+F600, U+1F600 and U+2F600 share theirs,
    // in a pattern holding two of them or all three, against 4-, 2- and 1-byte text. Patterns of
    // Latin-1 and Latin Extended-A with a few code points beyond, in a table without vectors,
    // must not match the lookalikes of those in the table nor of those beyond.
    struct Case {
        std::vector<std::string> pattern;
        std::vector<std::string> text;
    };
    std::vector<std::string> sixteen_emoji = {"a", "b"};
    for (char32_t point = 0x1F600; point < 0x1F610; ++point)
        sixteen_emoji.push_back(encode_utf8(point));
    std::vector<std::string> seventeen_emoji = sixteen_emoji;
    seventeen_emoji.push_back(encode_utf8(0x1F610));
    std::vector<std::string> renumbered_lookalikes = seventeen_emoji;
    for (char32_t point = 0x80; point <= 0x90; ++point)
        renumbered_lookalikes.push_back(encode_utf8(point));
    renumbered_lookalikes.push_back("\U0001F661");
    const Case cases[] = {
        {{"a", "b", "c"}, {"a", "b", "c", "\u0161", "\u4e62", "\U0001F663"}},
        {{"\u0430", "\u0431"}, {"\u0430", "\u0431", "\U00010430", "\U00010431"}},
        {sixteen_emoji, renumbered_lookalikes},
        {seventeen_emoji, renumbered_lookalikes},
        {{"a", "\uf600", "\U0001F600", "\U0001F601"},
         {"a", "\uf600", "\uf601", "\U0001F600", "\U0001F601", "\U0002F600"}},
        {{"a", "\uf600", "\U0001F600", "\U0002F600"}, {"a", "\uf600", "\U0001F600", "\U0002F600"}},
        {{"a", "\u0100", "\U0001F600", "\U00010100"}, {"a", "\u0100", "\uf600"}},
        {{"a", "\u00e9", "\U0001F600"}, {"a", "\u00e9", "b"}},
        {{"a", "b", "c", "d", "e", "\u00e9", "\u0161", "\U0001F600"},
         {"a", "b", "\u00e9", "\u0161", "\u0162", "\u01e9", "\U0001F600", "\U0001F661"}},
        {{"a", "b", "c", "d", "e", "f", "g", "\u0161", "\u0263"},
         {"a", "c", "\u0161", "\u0162", "\u0263", "\u0363", "\u01e3"}},
    };
    std::mt19937_64 random(9);
    for (const Case& alphabets : cases)
        for (const std::size_t size : {15, 17, 33, 64, 65, 200, 256, 300, 600})
            for (const std::size_t other : {size, size + 40}) {
                const std::string pattern = random_text(alphabets.pattern, size, random);
                const std::string text = random_text(alphabets.text, other, random);
                expect_same_as_reference(pattern, text, every_length(text));
                expect_same_as_reference(text, pattern, {decode_utf8(pattern).size()});
            }
    // Patterns that only start beyond the table, an emoji or a letter beyond Latin-1 before
    // ASCII, are looked up in it, the first position among the others.
    for (const char* lead : {"\U0001F600", "\u0161"})
        for (const std::size_t size : {15, 33, 64}) {
            const std::string pattern = lead + random_text(k_alphabets[0].points, size - 1, random);
            const std::string text = random_text({"a", "b", "c", lead, "\U0001F661"}, size, random);
            expect_same_as_reference(pattern, text, every_length(text));
            expect_same_as_reference(pattern, text, {size});
        }
}

/// Both counts of the UTF-8 length, the vector one where the CPU has it, against `expected`.
template <class Point>
::testing::AssertionResult counts_utf8_length(const Point* points, std::size_t length,
                                              std::optional<std::uint64_t> expected) {
    if (utf8_length(points, length) != expected)
        return ::testing::AssertionFailure() << "word count, length " << length;
    if (cpu::has(cpu::k_avx512_text) &&
        detail::utf8_length_avx512(points, length) != expected.value_or(detail::k_no_utf8_form))
        return ::testing::AssertionFailure() << "vector count, length " << length;
    return ::testing::AssertionSuccess();
}

TEST(FastKernelPrefix, TextFedFromBothEndsStopsOnlyWhenOneRowHoldsTheWholePattern) {
    // A short pattern against text of a few stretches: the pattern whole near the start or near
    // the end (one row matches all of it), split between the two ends (each row holds half, and
    // streaming must go on), or only partly present. Byte patterns and emoji with ASCII.
    std::mt19937_64 random(12);
    const std::vector<std::string> letters = {"a", "b", "c", "d"};
    const std::vector<std::string> emoji = {"a", "b", "\U0001F600", "\uf600"};
    for (const auto* alphabet : {&letters, &emoji})
        for (const std::size_t size : {1, 17, 40, 64}) {
            const std::string first = random_text(*alphabet, size / 2, random);
            const std::string second = random_text(*alphabet, size - size / 2, random);
            const std::string pattern = first + second;
            const std::string filler(1500, 'z');
            const std::string texts[] = {"zz" + pattern + filler, filler + pattern + "z",
                                         first + filler + second, first + filler + "z"};
            for (const std::string& text : texts) {
                expect_same_as_reference(text, pattern, {decode_utf8(pattern).size()});
                expect_same_as_reference(pattern, text, {decode_utf8(text).size()});
            }
        }
}

TEST(Utf8Length, WideTextOfEveryLengthWithAndWithoutASurrogate) {
    // Code points of 1 to 4 UTF-8 bytes, among them NUL and the edges 0x7F, 0x80, 0x7FF, 0x800,
    // 0xFFFF, 0x10000 and the neighbours of the surrogates; then a surrogate at every place of
    // short text.
    const auto check = [](auto width, std::span<const std::uint32_t> edges) {
        using Point = decltype(width);
        std::vector<Point> points(150);
        std::mt19937 random(6);
        for (Point& point : points)
            point = static_cast<Point>(edges[random() % edges.size()]);
        for (std::size_t length = 0; length <= points.size(); ++length) {
            std::uint64_t expected = 0;
            for (std::size_t k = 0; k < length; ++k)
                expected += points[k] < 0x80      ? 1
                            : points[k] < 0x800   ? 2
                            : points[k] < 0x10000 ? 3
                                                  : 4;
            ASSERT_TRUE(counts_utf8_length(points.data(), length, expected));
            for (std::size_t at = 0; at < length && length < 40; ++at)
                for (const Point surrogate : {0xD800, 0xDBFF, 0xDC00, 0xDFFF}) {
                    std::vector<Point> broken(points.begin(), points.begin() + length);
                    broken[at] = surrogate;
                    ASSERT_TRUE(counts_utf8_length(broken.data(), length, std::nullopt))
                        << "surrogate at " << at;
                }
        }
    };
    const std::uint32_t narrow[] = {0,     0x41,   0x7F,   0x80,   0x7FF,
                                    0x800, 0xD7FF, 0xE000, 0xFFFF, 0x430};
    const std::uint32_t wide[] = {0,      0x41,   0x7F,   0x80,    0x7FF,   0x800,
                                  0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
    check(std::uint16_t{}, narrow);
    check(std::uint32_t{}, wide);
}

TEST(Utf8Length, OneByteTextOfEveryLengthAndAlignment) {
    // Latin-1 text, each code point 1 or 2 bytes of UTF-8, counted a word at a time with the
    // last partial word read again: every length and starting offset up to a few words.
    std::vector<std::uint8_t> points(200);
    std::mt19937 random(5);
    for (std::uint8_t& point : points)
        point =
            static_cast<std::uint8_t>(random() % 3 == 0 ? 0x80 + random() % 128 : random() % 128);
    for (std::size_t start = 0; start < 8; ++start)
        for (std::size_t length = 0; start + length <= points.size(); ++length) {
            std::uint64_t expected = 0;
            for (std::size_t k = start; k < start + length; ++k)
                expected += points[k] < 0x80 ? 1 : 2;
            ASSERT_TRUE(counts_utf8_length(points.data() + start, length, expected))
                << "start " << start;
        }
}

TEST(FastKernelRows, LargeAlphabetsAndCarriesThroughWordsWithoutMatches) {
    // A match in word 0 carries through a word of ones into word 2.
    const std::string spaced = "\u672c" + std::string(130, 'a') + "\u672c";
    expect_same_as_reference(spaced, "\u672c\u672c\u672ca\u672c",
                             every_length("\u672c\u672c\u672ca\u672c"));

    // Thousands of distinct code points grow the table of non-ASCII code points many times.
    std::vector<std::string> wide;
    for (char32_t point = 0x4E00; point < 0x4E00 + 3000; ++point)
        wide.push_back(encode_utf8(point));
    std::mt19937_64 random(4);
    for (const std::size_t size : {64, 500, 1500}) {
        const std::string source = random_text(wide, size, random);
        const std::string target =
            source.substr(0, source.size() / 2) + random_text(wide, size, random);
        expect_same_as_reference(source, target, every_length(target));
        expect_same_as_reference(random_text(wide, size, random), source, every_length(source));
    }
}

TEST(FastKernelRows, BytePatternsOfSixToEightWordsOverEveryByte) {
    // Byte patterns past the compared sizes get table rows found by comparing the pattern with
    // each byte it holds: every byte value, NUL and the edges of the 64-value quarters among
    // them, and patterns that end inside a word.
    std::vector<std::string> every;
    for (char32_t point = 0; point < 256; ++point)
        every.push_back(encode_utf8(point));
    std::vector<std::string> edges;
    for (const char32_t point : {0, 63, 64, 127, 128, 191, 192, 255})
        edges.push_back(encode_utf8(point));
    std::mt19937_64 random(6);
    for (const auto* points : {&every, &edges})
        for (const std::size_t size : {321, 449, 512}) {
            const std::string source = random_text(*points, size, random);
            const std::string target = random_text(*points, size + 40, random);
            expect_same_for_lengths(source, target);
            expect_same_for_lengths(target, source);
        }
}

TEST(FastKernelFailures, ReportTheFirstOffenderInVectorOrder) {
    struct Case {
        const char* source;
        const char* target;
        std::vector<std::uint64_t> lengths;
        const char* message;
    };
    const Case cases[] = {
        {"abc", "abd", {0, 1, 99, 7}, "index out of bounds: the len is 4 but the index is 99"},
        {"x", "abc", {3, 2, 1, 4, 5}, "index out of bounds: the len is 4 but the index is 4"},
        {"", "", {0, 0, 1}, "index out of bounds: the len is 1 but the index is 1"},
        // The bound is the byte length of target, not its code-point count.
        {"\u65e5",
         "\u65e5\u672c",
         {6, 2, 7, 8},
         "index out of bounds: the len is 7 but the index is 7"},
        {"abc",
         "abd",
         {UINT64_MAX, 4},
         "index out of bounds: the len is 4 but the index is 18446744073709551615"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(panic_message([](auto s, auto t, auto l) { stored_kernel(s, t, l); }, c.source,
                                c.target, c.lengths),
                  c.message);
        EXPECT_EQ(panic_message(reference::prefix_similarities, c.source, c.target, c.lengths),
                  c.message);
    }
}

} // namespace
} // namespace corvane
