// The 256-bit UTF-8 counts and text narrowing checked against the scalar ones, with the text
// placed against unreadable pages so that a read past either end faults.
#include "cpu.hpp"
#include "kernel/narrow_avx2.hpp"
#include "kernel/vector.hpp"
#include "text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <random>
#include <span>
#include <vector>

#if defined(__unix__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace corvane::detail {
namespace {

// Room for `bytes` between two pages that may not be read; elsewhere (no mmap) a plain buffer,
// which leaves over-reads to the sanitizer runs.
class Fenced {
  public:
    explicit Fenced(std::size_t bytes) {
#if defined(__unix__)
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        inner_ = (bytes + page_ - 1) / page_ * page_;
        void* map = mmap(nullptr, inner_ + 2 * page_, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) throw std::bad_alloc();
        base_ = static_cast<std::uint8_t*>(map);
        mprotect(base_, page_, PROT_NONE);
        mprotect(base_ + page_ + inner_, page_, PROT_NONE);
        base_ += page_;
#else
        inner_ = bytes;
        fallback_.resize(bytes);
        base_ = fallback_.data();
#endif
    }
    ~Fenced() {
#if defined(__unix__)
        munmap(base_ - page_, inner_ + 2 * page_);
#endif
    }
    Fenced(const Fenced&) = delete;
    Fenced& operator=(const Fenced&) = delete;

    /// `text` copied right after the lower fence (`at_end` false) or right before the upper one.
    template <class Point>
    const Point* place(const std::vector<Point>& text, bool at_end) {
        const std::size_t bytes = text.size() * sizeof(Point);
        std::uint8_t* to = at_end ? base_ + inner_ - bytes : base_;
        if (bytes != 0) std::memcpy(to, text.data(), bytes);
        return reinterpret_cast<const Point*>(to);
    }

  private:
    std::uint8_t* base_ = nullptr;
    std::size_t inner_ = 0;
    std::size_t page_ = 0;
    std::vector<std::uint8_t> fallback_;
};

template <class Point>
std::uint64_t scalar_count(const Point* points, std::size_t length) {
    if constexpr (sizeof(Point) == 1)
        return utf8_length(points, length);
    else
        return utf8_length(points, length).value_or(k_no_utf8_form);
}

// The code points at every boundary of the count that a text of this width can hold, then
// values beyond Unicode whose shifted or truncated forms look like the boundaries.
template <class Point>
std::vector<Point> boundary_points() {
    const std::uint32_t all[] = {0,          0x7F,       0x80,    0x7FF,      0x800,    0xD7FF,
                                 0xD800,     0xDBFF,     0xDC00,  0xDFFF,     0xE000,   0xFFFF,
                                 0x10000,    0x10FFFF,   0x1D800, 0x3FFFFF,   0x400000, 0x7FFFFFFF,
                                 0x80000000, 0xFFFFD800, 0xFF,    0xFFFFFFFF, 0x1B07F,  0x110000};
    std::vector<Point> points;
    for (const std::uint32_t point : all)
        if (point <= static_cast<Point>(~Point{0})) points.push_back(static_cast<Point>(point));
    return points;
}

bool is_surrogate(std::uint32_t point) {
    return point - 0xD800 < 0x800;
}

// Every length to 70, past the stretches after which lanes are summed, and long runs of the
// widest code points, which would wrap a lane summed too late; mixes of the boundaries, with and
// without surrogates, and a surrogate at the first or the last position.
template <class Point>
void check_counts(std::mt19937& random) {
    const std::vector<Point> pool = boundary_points<Point>();
    std::vector<Point> encodable;
    for (const Point point : pool)
        if (!is_surrogate(point)) encodable.push_back(point);
    const auto widest = static_cast<Point>(~Point{0});
    const auto mix = [&](std::size_t length, const std::vector<Point>& from) {
        std::vector<Point> text(length);
        for (auto& point : text)
            point = from[random() % from.size()];
        return text;
    };
    const auto surrogate = [&] { return static_cast<Point>(0xD800 + random() % 0x800); };
    std::vector<std::vector<Point>> texts;
    for (std::size_t length = 0; length <= 70; ++length) {
        for (int variant = 0; variant < 8; ++variant)
            texts.push_back(mix(length, variant < 4 ? encodable : pool));
        texts.emplace_back(length, widest);
        if (sizeof(Point) == 1 || length == 0) continue;
        for (const std::size_t at : {std::size_t{0}, length - 1}) {
            texts.push_back(mix(length, encodable));
            texts.back()[at] = surrogate();
        }
    }
    for (const std::size_t length : {1000, 8191, 16257, 131088, 600000}) {
        texts.emplace_back(length, widest);
        texts.push_back(mix(length, encodable));
        if (sizeof(Point) > 1) texts.back().back() = surrogate();
        texts.push_back(mix(length, encodable));
    }
    Fenced fenced(600000 * sizeof(Point));
    for (const auto& text : texts)
        for (const bool at_end : {false, true}) {
            const Point* points = fenced.place(text, at_end);
            EXPECT_EQ(utf8_length_avx2(points, text.size()), scalar_count(points, text.size()))
                << sizeof(Point) << "-byte text of " << text.size() << " code points";
        }
}

TEST(TextAvx2, Utf8LengthMatchesScalarForEveryWidthAndLength) {
    if (!cpu::has(cpu::k_avx2_paths)) GTEST_SKIP() << "this CPU lacks AVX2";
    std::mt19937 random(5);
    check_counts<std::uint8_t>(random);
    check_counts<std::uint16_t>(random);
    check_counts<std::uint32_t>(random);
}

std::uint8_t scalar_narrowed(std::uint32_t point, std::span<const std::uint32_t> renumbered) {
    return is_renumbered(point) ? renumber(point, renumbered) : static_cast<std::uint8_t>(point);
}

// Lists of 0, 1 and 16 renumbered code points, among them ones the text's width cannot hold and
// ones equal to another in their low bits; texts of those, the boundaries and their neighbours.
template <class T>
void check_narrowing(std::mt19937& random) {
    const std::vector<std::uint32_t> lists[] = {
        {},
        {0xE9},
        {0xE9, 0xFF, 0x80, 0x100, 0x1E9, 0x7FF, 0xFFFF, 0x10000, 0x100E9, 0x10FFFF, 0x3B1, 0xD800,
         0xFFFE, 0x1FFFF, 0x800, 0xA0},
    };
    Fenced fenced(1000 * sizeof(T));
    for (const auto& renumbered : lists) {
        std::vector<T> pool = boundary_points<T>();
        for (const std::uint32_t point : renumbered)
            for (const std::uint32_t near : {point, point + 1, point - 1, point & 0xFF})
                if (near <= static_cast<T>(~T{0})) pool.push_back(static_cast<T>(near));
        for (const std::size_t count :
             {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 256, 1000})
            for (const bool at_end : {false, true}) {
                std::vector<T> text(count);
                for (auto& point : text)
                    point = pool[random() % pool.size()];
                const T* points = fenced.place(text, at_end);
                // One guard byte past the end shows a write beyond it.
                std::vector<std::uint8_t> narrowed(count + 1, 0x5A);
                narrow_text_avx2(points, count, renumbered, narrowed.data());
                std::vector<std::uint8_t> expected(count + 1, 0x5A);
                for (std::size_t k = 0; k < count; ++k)
                    expected[k] = scalar_narrowed(text[k], renumbered);
                EXPECT_EQ(narrowed, expected)
                    << sizeof(T) << "-byte text of " << count << " code points, "
                    << renumbered.size() << " renumbered";
            }
    }
}

TEST(TextAvx2, NarrowingMatchesScalarForEveryWidth) {
    if (!cpu::has(cpu::k_avx2_paths)) GTEST_SKIP() << "this CPU lacks AVX2";
    std::mt19937 random(7);
    check_narrowing<std::uint8_t>(random);
    check_narrowing<std::uint16_t>(random);
    check_narrowing<std::uint32_t>(random);
}

} // namespace
} // namespace corvane::detail
