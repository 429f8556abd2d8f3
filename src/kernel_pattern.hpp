// Lookup of a pattern's code points: for each one, its positions or the number of its row.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace corvane::detail {

/// Tables indexed by code point, zero everywhere between calls: one for the code points below
/// 256 and one for a further block of 256. Each thread keeps its own pair, and an index clears
/// only the entries it set, so no call pays for clearing a whole table.
template <class Value>
struct PointTables {
    std::array<Value, 256> low;
    std::array<Value, 256> block;
};

template <class Value>
PointTables<Value>& thread_point_tables() noexcept {
    static thread_local constinit PointTables<Value> tables{};
    return tables;
}

/// Maps the code points of one pattern to a Value (0 for code points the pattern lacks). Code
/// points below 256 and those of the block of 256 where the pattern's first code point above
/// 255 lies are read from tables; the few others of a pattern in several scripts go through an
/// open-addressing hash table. Most text keeps to one script, which then costs one load.
template <class Value, class Point>
class PointIndex {
  public:
    /// An index for `points`, the pattern's code points, which must outlive it. The entries
    /// start at 0; the caller sets them with `entry`.
    explicit PointIndex(std::span<const Point> points)
        : tables_(thread_point_tables<Value>()), points_(points) {
        std::size_t hashed = 0;
        if constexpr (sizeof(Point) > 1) {
            for (const Point point : points) {
                if (point < 256) continue;
                if (block_ == 0) block_ = point >> 8;
                hashed += (point >> 8) != block_;
            }
        }
        if (hashed != 0) {
            bits_ = 1;
            while ((std::size_t{1} << bits_) < 2 * hashed)
                ++bits_;
            keys_.assign(std::size_t{1} << bits_, 0);
            values_.assign(keys_.size(), Value{});
        }
    }

    PointIndex(const PointIndex&) = delete;
    PointIndex& operator=(const PointIndex&) = delete;
    // Puts the thread's tables back to zero.
    ~PointIndex() {
        for (const Point point : points_)
            entry(point) = Value{};
    }

    /// The value of `point`, which may be any code point. Text in one script mixed with ASCII
    /// takes no branch that depends on which of the two a code point is from.
    [[gnu::always_inline]] Value find(std::uint32_t point) const noexcept {
        const std::uint32_t high = point >> 8;
        const Value* table = high == 0 ? tables_.low.data() : tables_.block.data();
        if (high == 0 || high == block_) [[likely]]
            return table[point & 255];
        return find_hashed(point);
    }

    /// The value of a code point below 256.
    [[gnu::always_inline]] Value find_low(std::uint8_t point) const noexcept {
        return tables_.low[point];
    }

    /// The value of a pattern code point, to be set while the pattern is indexed.
    Value& entry(std::uint32_t point) noexcept {
        if (point < 256) return tables_.low[point];
        if ((point >> 8) == block_) return tables_.block[point & 255];
        std::size_t slot = probe(point);
        keys_[slot] = point;
        return values_[slot];
    }

  private:
    Value find_hashed(std::uint32_t point) const noexcept {
        if (keys_.empty()) return Value{};
        const std::size_t slot = probe(point);
        return keys_[slot] == point ? values_[slot] : Value{};
    }

    /// The slot holding `point`, or the empty one where it belongs; keys are never 0.
    std::size_t probe(std::uint32_t point) const noexcept {
        const std::size_t last = keys_.size() - 1;
        std::size_t slot = static_cast<std::size_t>((point * 0x9E3779B97F4A7C15) >> (64 - bits_));
        while (keys_[slot] != 0 && keys_[slot] != point)
            slot = (slot + 1) & last;
        return slot;
    }

    PointTables<Value>& tables_;
    std::span<const Point> points_;
    // The code point bits above the low 8 of the directly indexed block; 0 for none.
    std::uint32_t block_ = 0;
    unsigned bits_ = 0;
    std::vector<std::uint32_t> keys_;
    std::vector<Value> values_;
};

} // namespace corvane::detail
