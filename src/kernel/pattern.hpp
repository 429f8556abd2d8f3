// Lookup of a pattern's code points: for each one, its positions or the number of its row.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace corvane::detail {

/// Maps the code points of one pattern to a Value (0 for code points the pattern lacks). Code
/// points below 256 and those of the block of 256 where the pattern's first code point above
/// 255 lies are read from tables; the few others of a pattern in several scripts go through an
/// open-addressing hash table. Most text keeps to one script, which then costs one load.
template <class Value, class Point>
class PointIndex {
  public:
    /// An index for `points`, the pattern's code points, to be looked up with the code points of
    /// `text`. The entries start at 0; the caller sets them with `entry`.
    template <class Text>
    PointIndex(std::span<const Point> points, std::span<const Text> text) {
        std::size_t hashed = 0;
        if constexpr (sizeof(Point) > 1) {
            // Without branches: whether a code point is below 256 is as good as random in text
            // that mixes ASCII with another script.
            for (const Point point : points) {
                const std::uint32_t high = point >> 8;
                block_ = block_ == 0 ? high : block_;
                hashed += static_cast<std::size_t>((high != 0) & (high != block_));
            }
        }
        // Only the entries of the pattern's and the text's code points are ever read. A short
        // call zeroes just those, one by one, rather than whole tables.
        constexpr bool wide = sizeof(Point) > 1 || sizeof(Text) > 1;
        if (points.size() + text.size() <= zero_one_by_one_up_to(wide)) {
            for (const Point point : points)
                zero_entries(point, wide);
            for (const Text point : text)
                zero_entries(point, wide);
        } else {
            std::fill_n(tables_.begin(), wide ? 512 : 256, Value{});
        }
        if (hashed != 0) {
            bits_ = 1;
            while ((std::size_t{1} << bits_) < 2 * hashed)
                ++bits_;
            slots_ = std::size_t{1} << bits_;
            // A short pattern's few hashed code points fit in the index itself: an allocation
            // would cost as much as a short call's whole comparison.
            if (slots_ <= k_inline_slots) {
                keys_ = inline_keys_.data();
                values_ = inline_values_.data();
            } else {
                heap_keys_.resize(slots_);
                heap_values_.resize(slots_);
                keys_ = heap_keys_.data();
                values_ = heap_values_.data();
            }
            std::fill_n(keys_, slots_, 0);
            std::fill_n(values_, slots_, Value{});
        }
    }

    PointIndex(const PointIndex&) = delete;
    PointIndex& operator=(const PointIndex&) = delete;

    /// The value of `point`, which may be any code point. Text in one script mixed with ASCII
    /// takes no branch that depends on which of the two a code point is from.
    [[gnu::always_inline]] Value find(std::uint32_t point) const noexcept {
        if (is_direct(point)) [[likely]]
            return tables_[direct_slot(point)];
        return find_hashed(point);
    }

    /// The value of a code point below 256.
    [[gnu::always_inline]] Value find_low(std::uint8_t point) const noexcept {
        return tables_[point];
    }

    /// The entries of the code points below 256, to be set while the pattern is indexed.
    Value* low_entries() noexcept { return tables_.data(); }

    /// The value of a pattern code point, to be set while the pattern is indexed.
    Value& entry(std::uint32_t point) noexcept {
        if (is_direct(point)) [[likely]]
            return tables_[direct_slot(point)];
        std::size_t slot = probe(point);
        keys_[slot] = point;
        return values_[slot];
    }

    /// Up to how many code points zeroing their entries one by one beats clearing the tables,
    /// which goes at about 32 bytes a cycle against about a code point a cycle, and mispredicts
    /// no loop exit.
    static constexpr std::size_t zero_one_by_one_up_to(bool wide) noexcept {
        return (wide ? 512 : 256) * sizeof(Value) / 32;
    }

  private:
    Value find_hashed(std::uint32_t point) const noexcept {
        if (slots_ == 0) return Value{};
        const std::size_t slot = probe(point);
        return keys_[slot] == point ? values_[slot] : Value{};
    }

    /// The slot holding `point`, or the empty one where it belongs; keys are never 0.
    std::size_t probe(std::uint32_t point) const noexcept {
        const std::size_t last = slots_ - 1;
        std::size_t slot = static_cast<std::size_t>((point * 0x9E3779B97F4A7C15) >> (64 - bits_));
        while (keys_[slot] != 0 && keys_[slot] != point)
            slot = (slot + 1) & last;
        return slot;
    }

    /// Whether `point` is below 256 or in the indexed block. One branch, not one per case:
    /// text that mixes ASCII with one other script would mispredict the first often.
    [[gnu::always_inline]] bool is_direct(std::uint32_t point) const noexcept {
        const std::uint32_t high = point >> 8;
        // The smaller of the two is 0 exactly when one of them is: a single test.
        return std::min(high, high ^ block_) == 0;
    }

    /// The table entry of a code point below 256 or in the indexed block: the low table comes
    /// first and the block's follows, so which one is picked takes no branch.
    [[gnu::always_inline]] static std::size_t direct_slot(std::uint32_t point) noexcept {
        return (point & 255) | (std::size_t{point > 255} << 8);
    }

    void zero_entries(std::uint32_t point, bool wide) noexcept {
        tables_[point & 255] = Value{};
        if (wide) tables_[256 + (point & 255)] = Value{};
    }

    // Every entry is written before it is read (see the constructor), so the tables start
    // uninitialised: the 256 code points below 256, then the 256 of the indexed block.
    std::array<Value, 512> tables_;
    // The code point bits above the low 8 of the directly indexed block; 0 for none.
    std::uint32_t block_ = 0;
    unsigned bits_ = 0;
    // The hashed code points' keys and values: `slots_` of each, inline for a short pattern.
    static constexpr std::size_t k_inline_slots = 128;
    std::size_t slots_ = 0;
    std::uint32_t* keys_ = nullptr;
    Value* values_ = nullptr;
    std::array<std::uint32_t, k_inline_slots> inline_keys_;
    std::array<Value, k_inline_slots> inline_values_;
    std::vector<std::uint32_t> heap_keys_;
    std::vector<Value> heap_values_;
};

} // namespace corvane::detail
