// The AVX2 compared rows checked against a plain scalar row, for every pair of code point widths.
#include "cpu.hpp"
#include "kernel/compare_avx2.hpp"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <random>
#include <vector>

namespace corvane::detail {
namespace {

using Row = std::vector<std::uint64_t>;

// The row update written out on its own, one word and one code point at a time, so that the
// kernel's helpers are not their own oracle.
template <class P, class T>
std::uint64_t scalar_feed(const std::vector<P>& pattern, const std::vector<T>& text,
                          std::size_t from, std::size_t to, Row& row, std::uint64_t lcs) {
    for (std::size_t j = from; j < to && lcs < pattern.size(); ++j) {
        std::uint64_t carry = 0;
        for (std::size_t word = 0; word < row.size(); ++word) {
            std::uint64_t mask = 0;
            for (std::size_t k = 64 * word; k < std::min(pattern.size(), 64 * word + 64); ++k)
                if (std::uint32_t{pattern[k]} == std::uint32_t{text[j]})
                    mask |= std::uint64_t{1} << (k % 64);
            const std::uint64_t v = row[word];
            const unsigned __int128 sum = static_cast<unsigned __int128>(v) + (v & mask) + carry;
            row[word] = static_cast<std::uint64_t>(sum) | (v & ~mask);
            carry = static_cast<std::uint64_t>(sum >> 64);
        }
        lcs += carry;
    }
    return lcs;
}

// A copy of the pattern that ends where an unreadable page starts, so that reading past its
// end faults.
class GuardedCopy {
  public:
    GuardedCopy() {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void* map =
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) return;
        base_ = static_cast<unsigned char*>(map);
        if (mprotect(base_ + page_, page_, PROT_NONE) != 0) base_ = nullptr;
    }
    ~GuardedCopy() {
        if (base_ != nullptr) munmap(base_, 2 * page_);
    }
    GuardedCopy(const GuardedCopy&) = delete;
    GuardedCopy& operator=(const GuardedCopy&) = delete;

    bool ready() const { return base_ != nullptr; }

    template <class P>
    const P* place(const std::vector<P>& pattern) {
        const std::size_t bytes = pattern.size() * sizeof(P);
        std::memcpy(base_ + page_ - bytes, pattern.data(), bytes);
        return reinterpret_cast<const P*>(base_ + page_ - bytes);
    }

  private:
    std::size_t page_ = 0;
    unsigned char* base_ = nullptr;
};

// The pattern's alphabets, small to large; text draws from the same code points and, where it
// is wider than the pattern, from each one plus 1 << (8 x pattern width), whose low bits equal
// the pattern's (0x161 against 0x61).
template <class P>
std::vector<std::vector<std::uint32_t>> alphabets() {
    const std::uint32_t top = sizeof(P) == 1 ? 0xFF : sizeof(P) == 2 ? 0xFFFF : 0x10FFFF;
    const std::uint32_t start = sizeof(P) == 1 ? 0x30 : sizeof(P) == 2 ? 0x4E00 : 0x1F300;
    std::vector<std::uint32_t> many;
    for (std::uint32_t k = 0; k < 40; ++k)
        many.push_back(start + k);
    return {{0x61, 0x62}, {0x00, 0x61, 0x62, 0x63, top}, many};
}

template <class P, class T>
void check_width_pair(GuardedCopy& guarded, std::mt19937& random) {
    const std::size_t sizes[] = {1,  15,  16,  17,  31,  32,  33,  63,  64,
                                 65, 127, 128, 129, 255, 256, 257, 319, 320};
    for (const std::vector<std::uint32_t>& alphabet : alphabets<P>()) {
        std::vector<std::uint32_t> text_alphabet = alphabet;
        if constexpr (sizeof(T) > sizeof(P))
            for (const std::uint32_t point : alphabet)
                text_alphabet.push_back(point + (std::uint32_t{1} << (8 * sizeof(P))));
        for (const std::size_t size : sizes) {
            if (size > k_compared_up_to<P>) continue;
            for (const std::size_t count :
                 {std::size_t{0}, std::size_t{1}, size + 5, std::size_t{600}}) {
                SCOPED_TRACE(testing::Message() << "pattern width " << sizeof(P) << ", text width "
                                                << sizeof(T) << ", alphabet of " << alphabet.size()
                                                << ", size " << size << ", text of " << count);
                std::vector<P> pattern(size);
                for (P& point : pattern)
                    point = static_cast<P>(alphabet[random() % alphabet.size()]);
                std::vector<T> text(count);
                for (T& point : text)
                    point = static_cast<T>(text_alphabet[random() % text_alphabet.size()]);
                const P* points = guarded.place(pattern);

                Row want((size + 63) / 64, k_all_ones);
                const std::uint64_t want_lcs = scalar_feed(pattern, text, 0, count, want, 0);
                EXPECT_EQ(feed_compared_avx2(points, size, text.data(), count, nullptr, 0),
                          want_lcs);

                // A kept row fed in two calls, the second starting from the first one's row.
                Row row((size + 63) / 64, k_all_ones);
                const std::size_t split = count / 3;
                std::uint64_t lcs =
                    feed_compared_avx2(points, size, text.data(), split, row.data(), 0);
                lcs = feed_compared_avx2(points, size, text.data() + split, count - split,
                                         row.data(), lcs);
                EXPECT_EQ(lcs, want_lcs);
                EXPECT_EQ(row, want);
            }
        }
    }
}

// Sizes on each side of a vector's, a word's and a group of packed vectors' edges, texts that
// stop short of the pattern, cross stretches of 256 code points and match it whole, and wide
// text whose code points have the pattern's low bits.
TEST(ComparedRowsAvx2, MatchTheScalarRowForEveryWidthPairSizeAndText) {
    if (!cpu::has(cpu::k_avx2_paths)) GTEST_SKIP() << "this CPU lacks AVX2, BMI2 or POPCNT";
    GuardedCopy guarded;
    ASSERT_TRUE(guarded.ready());
    std::mt19937 random(7);
    check_width_pair<std::uint8_t, std::uint8_t>(guarded, random);
    check_width_pair<std::uint8_t, std::uint16_t>(guarded, random);
    check_width_pair<std::uint8_t, std::uint32_t>(guarded, random);
    check_width_pair<std::uint16_t, std::uint8_t>(guarded, random);
    check_width_pair<std::uint16_t, std::uint16_t>(guarded, random);
    check_width_pair<std::uint16_t, std::uint32_t>(guarded, random);
    check_width_pair<std::uint32_t, std::uint8_t>(guarded, random);
    check_width_pair<std::uint32_t, std::uint16_t>(guarded, random);
    check_width_pair<std::uint32_t, std::uint32_t>(guarded, random);
}

// The LCS by the textbook table, on whole code points.
template <class P, class T>
std::uint64_t plain_lcs(const std::vector<P>& pattern, const std::vector<T>& text) {
    std::vector<std::uint64_t> above(pattern.size() + 1, 0);
    std::vector<std::uint64_t> row(pattern.size() + 1, 0);
    for (const T point : text) {
        for (std::size_t k = 0; k < pattern.size(); ++k)
            row[k + 1] = std::uint32_t{pattern[k]} == std::uint32_t{point}
                             ? above[k] + 1
                             : std::max(row[k], above[k + 1]);
        std::swap(above, row);
    }
    return above.back();
}

// Where the pattern is put in text: among code points drawn from its alphabet, or, where it is
// put whole or in two parts, among code points it lacks.
enum class Layout {
    random,    // nowhere on purpose
    at_start,  // whole in the first half, which the row fed forwards sees
    at_end,    // whole in the second half, which the row fed backwards sees
    across,    // its first third ending where the text's second half starts
    high_bits, // the pattern over and over, two in three code points having bits above the
               // pattern's width
};

struct BothWaysCase {
    Layout layout;
    std::size_t letters;
};

template <class P, class T>
void check_both_ways(GuardedCopy& guarded, std::mt19937& random) {
    constexpr std::uint32_t top = sizeof(P) == 1 ? 0xFF : sizeof(P) == 2 ? 0xFFFF : 0x10FFFF;
    constexpr std::uint32_t high = sizeof(T) > sizeof(P) ? std::uint32_t{1} << (8 * sizeof(P)) : 0;
    // Zero is also what lanes past the pattern hold.
    const std::uint32_t letters[] = {0x00, top, 0x61, 0x62};
    const std::uint32_t absent = 0x63;
    const BothWaysCase cases[] = {
        {Layout::random, 2}, {Layout::random, 4}, {Layout::at_start, 2},
        {Layout::at_end, 2}, {Layout::across, 4}, {Layout::high_bits, 2},
    };
    for (const BothWaysCase& test : cases) {
        if (test.layout == Layout::high_bits && high == 0) continue;
        for (const std::size_t size : {1, 2, 15, 16, 17, 31, 32, 33, 63, 64}) {
            for (const std::size_t count : {0, 1, 2, 3, 27, 28, 29, 64, 65, 300, 600}) {
                SCOPED_TRACE(testing::Message()
                             << "pattern width " << sizeof(P) << ", text width " << sizeof(T)
                             << ", layout " << static_cast<int>(test.layout) << ", " << test.letters
                             << " letters, size " << size << ", text of " << count);
                const auto letter = [&] { return letters[random() % test.letters]; };
                std::vector<P> pattern(size);
                for (P& point : pattern)
                    point = static_cast<P>(letter());
                std::vector<T> text(count);
                for (T& point : text)
                    point = static_cast<T>(letter() + (random() % 4 == 0 ? high : 0));
                const std::size_t half = count / 2;
                if (test.layout != Layout::random && test.layout != Layout::high_bits)
                    std::fill(text.begin(), text.end(), static_cast<T>(absent));
                if (test.layout == Layout::at_start && size <= half) {
                    std::copy(pattern.begin(), pattern.end(), text.begin() + (half - size) / 2);
                } else if (test.layout == Layout::at_end && size <= count - half) {
                    std::copy(pattern.begin(), pattern.end(), text.end() - size);
                } else if (test.layout == Layout::across) {
                    const std::size_t before = std::min(half, size / 3);
                    const std::size_t after = std::min(count - half, size - before);
                    std::copy_n(pattern.begin(), before, text.begin() + half - before);
                    std::copy_n(pattern.begin() + before, after, text.begin() + half);
                } else if (test.layout == Layout::high_bits) {
                    for (std::size_t k = 0; k < count; ++k)
                        text[k] = static_cast<T>(pattern[k % size] + (k % 3 != 0 ? high : 0));
                }
                EXPECT_EQ(lcs_both_ways_avx2(guarded.place(pattern), size, text.data(), count),
                          plain_lcs(pattern, text));
            }
        }
    }
}

// Patterns on each side of a vector's and a half vector's edge up to a word, texts of even and odd
// length up to past a stretch of 256 code points a row, small alphabets that make the LCS large,
// and wide text whose code points have the pattern's low bits.
TEST(BothWaysAvx2, MatchesThePlainLcsForEveryWidthPairSizeAndLayout) {
    if (!cpu::has(cpu::k_avx2_paths)) GTEST_SKIP() << "this CPU lacks AVX2, BMI2 or POPCNT";
    GuardedCopy guarded;
    ASSERT_TRUE(guarded.ready());
    std::mt19937 random(11);
    check_both_ways<std::uint8_t, std::uint8_t>(guarded, random);
    check_both_ways<std::uint8_t, std::uint16_t>(guarded, random);
    check_both_ways<std::uint8_t, std::uint32_t>(guarded, random);
    check_both_ways<std::uint16_t, std::uint8_t>(guarded, random);
    check_both_ways<std::uint16_t, std::uint16_t>(guarded, random);
    check_both_ways<std::uint16_t, std::uint32_t>(guarded, random);
    check_both_ways<std::uint32_t, std::uint8_t>(guarded, random);
    check_both_ways<std::uint32_t, std::uint16_t>(guarded, random);
    check_both_ways<std::uint32_t, std::uint32_t>(guarded, random);
}

} // namespace
} // namespace corvane::detail
