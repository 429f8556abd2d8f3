// The rows of short patterns of one word that are Latin-1 (or Latin Extended-A) but for a few
// code points, for short calls without vectors where one side is wide.
#pragma once

#include "kernel/machines.hpp"
#include "kernel/short_rows.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace corvane {

/// The positions of a pattern of one word: those of each code point below `Table` in a table
/// of rows, one load a code point of text, and those of the few others one by one, found by
/// comparing with each of them. Text that mixes ASCII with a few emoji or letters beyond Latin-1
/// looks up nearly every code point with one load, where the slots of `ShortRows` take two and
/// cost twice as much to fill. The table holds Latin-1 (256 rows), or with Latin Extended-A (384
/// rows: the letters of Polish, Czech, Turkish...) where no text has 4-byte code points.
template <std::uint32_t Table>
class Latin1Rows {
  public:
    /// The most code points beyond the table, and the largest share of the pattern they may
    /// take (one in eight). Each of the text's code points beyond the table costs a mispredicted
    /// branch and the comparisons, so the table pays only where they are few. Measured at the
    /// portable level against the slots: ASCII with emoji (one in twenty) takes 12% less time
    /// at 64 code points and 2% at 32, Latin text with letters beyond Latin-1 (one in seven)
    /// 18% less at 64 and 6% at 32 (Latin Extended-A in the table; with Latin-1 alone it took
    /// 12% longer at 32).
    static constexpr std::size_t k_others_up_to = 8;
    static constexpr std::size_t k_others_share = 8;

    Latin1Rows() = default;
    Latin1Rows(const Latin1Rows&) = delete;
    Latin1Rows& operator=(const Latin1Rows&) = delete;

    /// Fills the rows of `pattern` for `text`, or declines a pattern of too many code points
    /// beyond the table.
    template <class P, class T>
    bool fill(std::span<const P> pattern, std::span<const T> text) noexcept {
        // A pattern that starts and goes on beyond the table seldom lies in it but for a few;
        // one that only starts beyond it (an emoji before ASCII) often does. The others are
        // counted apart, a loop the compiler runs on vectors, so that a declined pattern costs
        // little.
        if (pattern.empty() || (pattern[0] >= k_table && pattern[pattern.size() / 2] >= k_table))
            return false;
        unsigned count = 0;
        for (const P point : pattern)
            count += point >= k_table;
        if (count > k_others_up_to || count * k_others_share > pattern.size()) return false;
        // The rows read are those of the two texts' code points: clearing them one by one is
        // sooner than clearing the table while the texts are very short (as for the byte table).
        if (pattern.size() + text.size() > k_clear_each_up_to) {
            clear_table();
        } else {
            for (const T point : text)
                latin1_[row_of(point)] = 0;
            for (const P point : pattern)
                latin1_[row_of(point)] = 0;
        }
        // The others' positions gather in the spare row, then are listed: a fill without a
        // branch that a mix of the two kinds mispredicts.
        latin1_[k_table] = 0;
        std::uint64_t bit = 1;
        if (count == 0) {
            for (const P point : pattern) {
                latin1_[point] |= bit;
                bit <<= 1;
            }
        } else {
            for (const P point : pattern) {
                latin1_[row_of(point)] |= bit;
                bit <<= 1;
            }
        }
        std::uint64_t others = latin1_[k_table];
        others_ = 0;
        for (; others != 0; others &= others - 1) {
            other_masks_[others_] = others & -others;
            other_points_[others_++] = pattern[std::countr_zero(others)];
        }
        // The unused entries hold what no code point is, and no positions, so that every lookup
        // reads them all.
        std::fill(other_points_.begin() + others_, other_points_.end(), k_no_point);
        std::fill(other_masks_.begin() + others_, other_masks_.end(), 0);
        return true;
    }

    std::size_t others() const noexcept { return others_; }

    /// The positions of `point`, comparing it with the first `Others` others.
    template <std::size_t Others>
    [[gnu::always_inline]] std::uint64_t mask(std::uint32_t point) const noexcept {
        if (point < k_table) [[likely]]
            return latin1_[point];
        std::uint64_t mask = 0;
        for (std::size_t k = 0; k < Others; ++k)
            mask |= other_points_[k] == point ? other_masks_[k] : 0;
        return mask;
    }

  private:
    /// Code points in both texts up to which their rows are cleared one by one. The 2 KiB of the
    /// Latin-1 table are cleared whole sooner beyond 16 code points in all (ASCII with emoji at 12
    /// each 4 to 6 ns sooner timed alone, at 16 each 10, and 3 to 6 ns a call at the portable
    /// level; at 8 each either way by a few ns), where the 3 KiB with Latin Extended-A were still
    /// cleared sooner one by one at 32 (Polish at 16 each 8 ns sooner timed alone).
    static constexpr std::size_t k_clear_each_up_to = Table <= 0x100 ? 16 : 32;
    static constexpr std::uint32_t k_no_point = 0xFFFFFFFF;
    static constexpr std::uint32_t k_table = Table;

    /// Rows cleared whole in pieces of 2 KiB: glibc clears a larger block with a string
    /// instruction that takes a while to start. The spare row took the Latin-1 table past 2 KiB,
    /// and ASCII with emoji at 24 to 64 code points took 3 to 4 per cent longer for it.
    static constexpr std::size_t k_clear_rows = 256;

    /// The row cleared or filled for `point`: its own in the table, and the spare row past the
    /// table for the others.
    static std::size_t row_of(std::uint32_t point) noexcept { return std::min(point, k_table); }

    void clear_table() noexcept {
        for (std::size_t row = 0; row < k_table; row += k_clear_rows)
            std::memset(latin1_.data() + row, 0,
                        std::min(k_clear_rows, k_table - row) * sizeof(std::uint64_t));
    }

    std::array<std::uint64_t, k_table + 1> latin1_;
    std::size_t others_ = 0;
    std::array<std::uint32_t, k_others_up_to> other_points_;
    std::array<std::uint64_t, k_others_up_to> other_masks_;
};

/// The LCS of a pattern of at most one word with `text`, one of them wide, into `lcs`, or false
/// for a pattern of too many code points beyond its table. The others are compared four or eight
/// at a time, the fewest that hold them (none for a byte pattern).
template <class P, class T>
[[gnu::noinline]] bool short_latin1_lcs(std::span<const P> pattern, std::span<const T> text,
                                        std::uint64_t& lcs) noexcept {
    Latin1Rows<(sizeof(P) == 4 || sizeof(T) == 4) ? 0x100 : 0x180> rows;
    if (!rows.fill(pattern, text)) return false;
    const auto feed = [&]<std::size_t Others>() {
        return feed_registers<1>(text, pattern.size(), [&](std::uint32_t point) {
            return rows.template mask<Others>(point);
        });
    };
    if constexpr (sizeof(P) == 1)
        lcs = feed.template operator()<0>();
    else if (rows.others() <= 4)
        lcs = feed.template operator()<4>();
    else
        lcs = feed.template operator()<8>();
    return true;
}

} // namespace corvane
