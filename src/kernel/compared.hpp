// The machines of patterns compared with each streamed code point on vectors, and of wide
// patterns narrowed to bytes for it.
#pragma once

#include "cpu.hpp"
#include "kernel/compare_avx2.hpp"
#include "kernel/machines.hpp"
#include "kernel/narrow_avx2.hpp"
#include "kernel/vector.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace corvane {

/// The vector code that compares a pattern with streamed code points: 512-bit where the CPU has
/// AVX-512, 256-bit where it has AVX2.
enum class Compare { avx2, avx512 };

/// `feed_compared_avx512` or `feed_compared_avx2`.
template <Compare Width, class P, class T>
[[gnu::always_inline]] inline std::uint64_t
feed_compared(const P* points, std::size_t size, const T* text, std::size_t count,
              std::uint64_t* bits, std::uint64_t lcs) noexcept {
    if constexpr (Width == Compare::avx512)
        return detail::feed_compared_avx512(points, size, text, count, bits, lcs);
    else
        return detail::feed_compared_avx2(points, size, text, count, bits, lcs);
}

/// `narrow_text_avx512` or `narrow_text_avx2`.
template <Compare Width, class T>
[[gnu::always_inline]] inline void narrow_text(const T* text, std::size_t count,
                                               std::span<const std::uint32_t> renumbered,
                                               std::uint8_t* narrowed) noexcept {
    if constexpr (Width == Compare::avx512)
        detail::narrow_text_avx512(text, count, renumbered, narrowed);
    else
        detail::narrow_text_avx2(text, count, renumbered, narrowed);
}

/// A pattern of 1 to 256 code points (320 of bytes) compared with each streamed code point on
/// vectors, a whole vector of pattern code points at a time: no table to set up or clear, and no
/// branch on the script of a code point. Only where the CPU has the vectors of `Width`.
template <class P, std::size_t Words, Compare Width>
class VectorCompareMachine {
  public:
    static constexpr std::size_t k_most = detail::k_compared_up_to<P>;

    template <class T>
    VectorCompareMachine(std::span<const P> pattern, std::span<const T>) noexcept
        : pattern_(pattern) {
        bits_.fill(k_all_ones);
    }

    template <class T>
    void feed(const T* text, std::size_t count) noexcept {
        lcs_ =
            feed_compared<Width>(pattern_.data(), pattern_.size(), text, count, bits_.data(), lcs_);
    }

    std::uint64_t lcs() const noexcept { return lcs_; }
    std::uint64_t zeros_below(std::size_t count) const noexcept {
        return corvane::zeros_below(bits_.data(), count);
    }

  private:
    std::span<const P> pattern_;
    std::array<std::uint64_t, Words> bits_;
    std::uint64_t lcs_ = 0;
};

/// What `narrow_pattern` returns for a pattern with too many code points beyond ASCII.
constexpr std::size_t k_too_many_renumbered = ~std::size_t{0};

/// Narrows a wide `pattern` of mostly ASCII to bytes, for comparing as bytes: ASCII keeps its
/// value, and the few other code points are renumbered above it, in order of appearance, into
/// `renumbered`. Writes `points` and returns how many were renumbered, or `k_too_many_renumbered`.
/// (A plain count: an optional, merged across the loop's exits, went through the stack and
/// stalled the load that read it back.)
template <class P>
std::size_t narrow_pattern(std::span<const P> pattern, std::uint8_t* points,
                           std::uint32_t* renumbered) noexcept {
    std::size_t count = 0;
    for (std::size_t k = 0; k < pattern.size(); ++k) {
        const std::uint32_t point = pattern[k];
        if (!detail::is_renumbered(point)) {
            points[k] = static_cast<std::uint8_t>(point);
            continue;
        }
        std::uint8_t value = detail::renumber(point, std::span(renumbered, count));
        if (value == 0x80 + detail::k_most_renumbered) {
            if (count == detail::k_most_renumbered) return k_too_many_renumbered;
            renumbered[count] = point;
            value = static_cast<std::uint8_t>(0x80 + count++);
        }
        points[k] = value;
    }
    return count;
}

/// Narrows `count` code points of `text` as the pattern `points` was narrowed, a stretch at a
/// time, and compares them with it as bytes; returns the new LCS.
template <Compare Width, class T>
std::uint64_t feed_narrowed(std::span<const std::uint8_t> points,
                            std::span<const std::uint32_t> renumbered, const T* text,
                            std::size_t count, std::uint64_t* bits, std::uint64_t lcs) noexcept {
    std::array<std::uint8_t, 256> narrowed;
    for (std::size_t done = 0; done < count; done += narrowed.size()) {
        const std::size_t stretch = std::min(narrowed.size(), count - done);
        narrow_text<Width>(text + done, stretch, renumbered, narrowed.data());
        lcs =
            feed_compared<Width>(points.data(), points.size(), narrowed.data(), stretch, bits, lcs);
    }
    return lcs;
}

/// A wide pattern of up to 256 code points, mostly ASCII, compared as bytes: four times the code
/// points a vector. The narrowed pattern lives with the caller.
template <std::size_t Words, Compare Width>
class NarrowedCompareMachine {
  public:
    NarrowedCompareMachine(std::span<const std::uint8_t> points,
                           std::span<const std::uint32_t> renumbered) noexcept
        : points_(points), renumbered_(renumbered) {
        bits_.fill(k_all_ones);
    }

    template <class T>
    void feed(const T* text, std::size_t count) noexcept {
        lcs_ = feed_narrowed<Width>(points_, renumbered_, text, count, bits_.data(), lcs_);
    }

    std::uint64_t lcs() const noexcept { return lcs_; }
    std::uint64_t zeros_below(std::size_t count) const noexcept {
        return corvane::zeros_below(bits_.data(), count);
    }

  private:
    std::span<const std::uint8_t> points_;
    std::span<const std::uint32_t> renumbered_;
    std::array<std::uint64_t, Words> bits_;
    std::uint64_t lcs_ = 0;
};

/// A wide pattern too long to compare, mostly ASCII, narrowed to bytes as NarrowedCompareMachine
/// narrows it, for the machine `Inner` of byte patterns: its rows come from a table of 256 entries
/// rather than an index that hashes. Text is narrowed the same way, a stretch at a time.
template <class Inner, Compare Width>
class NarrowedMachine {
    // The inner rows are indexed without the text, which only this machine sees: a pattern too
    // long to compare is longer than the entries a byte index zeroes one by one, so the index
    // clears its whole table and no text byte reads a stale entry.
    static_assert(detail::PointIndex<std::uint32_t, std::uint8_t>::zero_one_by_one_up_to(false) <
                  detail::k_compared_up_to<std::uint32_t> + 1);

  public:
    /// `points` is the narrowed pattern, longer than detail::k_compared_up_to<std::uint32_t>,
    /// and `renumbered` its first `count` code points beyond ASCII.
    NarrowedMachine(std::vector<std::uint8_t> points,
                    const std::array<std::uint32_t, detail::k_most_renumbered>& renumbered,
                    std::size_t count)
        : points_(std::move(points)), renumbered_(renumbered), count_(count),
          inner_(std::span<const std::uint8_t>(points_), std::span<const std::uint8_t>()) {}

    template <class T>
    void feed(const T* text, std::size_t count) noexcept {
        std::array<std::uint8_t, k_run> narrowed;
        for (std::size_t done = 0; done < count && inner_.lcs() < points_.size();
             done += narrowed.size()) {
            const std::size_t stretch = std::min(narrowed.size(), count - done);
            narrow_text<Width>(text + done, stretch,
                               std::span<const std::uint32_t>(renumbered_.data(), count_),
                               narrowed.data());
            inner_.feed(narrowed.data(), stretch);
        }
    }

    std::uint64_t lcs() const noexcept { return inner_.lcs(); }
    std::uint64_t zeros_below(std::size_t count) const noexcept {
        return inner_.zeros_below(count);
    }

  private:
    std::vector<std::uint8_t> points_;
    std::array<std::uint32_t, detail::k_most_renumbered> renumbered_;
    std::size_t count_;
    Inner inner_;
};

} // namespace corvane
