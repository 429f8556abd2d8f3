// Rows of short patterns kept in registers, for short calls without vectors where one side is wide.
#pragma once

#include "kernel/machines.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>

namespace corvane {

// The plain C++ path of short wide calls numbers the pattern's code points in a table of slots,
// a code point's slot being its low 12 bits. Text in one script rarely spans more than
// 4,096 code points, so any script takes one load and no branch on the text; the rest of the
// code point is kept beside its number to tell apart code points that share a slot.
constexpr std::size_t k_slot_bits = 12;
constexpr std::size_t k_slots = std::size_t{1} << k_slot_bits;

/// The rows of a pattern of at most `Words` words, and the row of each code point. Every slot
/// the call reads is written first, so the table starts uninitialised: clearing it would cost
/// more than a short call's whole comparison.
template <std::size_t Words>
class ShortRows {
  public:
    template <class P, class T>
    ShortRows(std::span<const P> pattern, std::span<const T> text) noexcept {
        // The text's slots read as no code point's. A pattern code point's row is numbered by
        // its last position: the pattern's slots are written with stores alone, the last
        // writer keeping each, where counting the distinct code points would chain every
        // position to the one before through the table. Two code points in one slot: the one
        // written last keeps it, and the other is found so below.
        if (pattern.size() + text.size() > k_slots / 8) {
            slots_.fill(k_absent);
        } else {
            for (const T point : text)
                slots_[point % k_slots] = k_absent;
        }
        for (std::size_t k = 0; k < pattern.size(); ++k) {
            const std::uint32_t point = pattern[k];
            slots_[point % k_slots] = tag_of(point) | static_cast<std::uint32_t>(k + 1);
        }
        none_ = pattern.size() + 1;
        std::fill_n(rows_.begin(), (pattern.size() + 2) * Words, 0);
        for (std::size_t k = 0; k < pattern.size(); ++k) {
            const std::uint32_t point = pattern[k];
            const std::uint32_t slot = slots_[point % k_slots];
            std::size_t id = slot & k_id_mask;
            if ((slot & k_tag_mask) != tag_of(point)) [[unlikely]]
                id = share(point, k);
            rows_[id * Words + k / k_word_bits] |= bit_at(k);
        }
    }

    ShortRows(const ShortRows&) = delete;
    ShortRows& operator=(const ShortRows&) = delete;

    /// The row of `point`: its positions, or no positions for a code point the pattern lacks.
    [[gnu::always_inline]] const std::uint64_t* row(std::uint32_t point) const noexcept {
        const std::uint32_t slot = slots_[point % k_slots];
        // The number when the tag is the code point's, and otherwise beyond every number: a
        // minimum picks the empty row after them, where a test would be a branch that text
        // mixing matched and unmatched code points mispredicts.
        std::size_t id = std::min<std::size_t>(slot ^ tag_of(point), none_);
        if (slot == k_shared) [[unlikely]]
            id = find_shared(point);
        return rows_.data() + id * Words;
    }

  private:
    // A slot holds the number of its code point's row in the low half and the code point's bits
    // above the slot's in the high half, both in one load; number 0 is none. No code point has
    // the tags of a slot the pattern does not use or of one several of its code points share,
    // whose numbers are kept in a list instead.
    static constexpr std::uint32_t k_id_mask = 0xFFFF;
    static constexpr std::uint32_t k_tag_mask = ~k_id_mask;
    static constexpr std::uint32_t k_absent = 0xFFFF0000;
    static constexpr std::uint32_t k_shared = 0xFFFE0000;

    static std::uint32_t tag_of(std::uint32_t point) noexcept { return point >> k_slot_bits << 16; }

    /// The number of `point`, at position `k`, whose slot holds another code point of the
    /// pattern: the number of its first position here, unique as every number is a position's.
    [[gnu::noinline]] std::uint16_t share(std::uint32_t point, std::size_t k) noexcept {
        std::uint32_t& slot = slots_[point % k_slots];
        if (slot != k_shared) {
            shared_points_[shared_] =
                (slot >> 16 << k_slot_bits) | static_cast<std::uint32_t>(point % k_slots);
            shared_ids_[shared_++] = static_cast<std::uint16_t>(slot);
            slot = k_shared;
        }
        if (const std::uint16_t id = find_shared(point); id != 0) return id;
        shared_points_[shared_] = point;
        shared_ids_[shared_++] = static_cast<std::uint16_t>(k + 1);
        return static_cast<std::uint16_t>(k + 1);
    }

    [[gnu::noinline]] std::uint16_t find_shared(std::uint32_t point) const noexcept {
        for (std::size_t k = 0; k < shared_; ++k)
            if (shared_points_[k] == point) return shared_ids_[k];
        return 0;
    }

    std::array<std::uint32_t, k_slots> slots_;
    // Rows are numbered by positions from 1; the row after the last position's, `none_`, and
    // those of positions that do not number a code point have no positions.
    std::array<std::uint64_t, (Words * k_word_bits + 2) * Words> rows_;
    std::size_t none_;
    std::array<std::uint32_t, Words * k_word_bits> shared_points_;
    std::array<std::uint16_t, Words * k_word_bits> shared_ids_;
    std::size_t shared_ = 0;
};

/// Updates a row of `Words` words held in registers for one code point whose positions are
/// `mask`. Written out word by word, so that the row stays in registers even where loops are
/// not unrolled; the additions follow one another, so their carries chain through the flags.
template <std::size_t Words>
[[gnu::always_inline]] inline void advance_words(std::array<std::uint64_t, Words>& bits,
                                                 const std::uint64_t* mask) noexcept {
    [&]<std::size_t... K>(std::index_sequence<K...>) {
        const std::array<std::uint64_t, Words> matched{(bits[K] & mask[K])...};
        const std::array<std::uint64_t, Words> kept{(bits[K] ^ matched[K])...};
        std::uint64_t carry = 0;
        ((bits[K] = add_with_carry(bits[K], matched[K], carry, carry)), ...);
        ((bits[K] |= kept[K]), ...);
    }(std::make_index_sequence<Words>());
}

/// The same for a row of one word, from the positions themselves.
[[gnu::always_inline]] inline void advance_words(std::array<std::uint64_t, 1>& bits,
                                                 std::uint64_t mask) noexcept {
    advance_words<1>(bits, &mask);
}

/// The LCS of a pattern of `size` code points, at most `Words` words, with `text`, the row held
/// in registers and each code point's positions from `row_of` (their words, or for one word the
/// positions themselves). The LCS is counted from the row once at the end, or between runs of
/// long text, which stop once every position is matched.
template <std::size_t Words, class T, class RowOf>
[[gnu::always_inline]] inline std::uint64_t
feed_registers(std::span<const T> text, std::size_t size, const RowOf& row_of) noexcept {
    std::array<std::uint64_t, Words> bits;
    bits.fill(k_all_ones);
    for (std::size_t done = 0; done < text.size();) {
        const std::size_t end = std::min(text.size(), done + k_run);
        for (; done < end; ++done)
            advance_words(bits, row_of(text[done]));
        if (done < text.size() && corvane::zeros_below(bits.data(), Words * k_word_bits) == size)
            break;
    }
    return corvane::zeros_below(bits.data(), Words * k_word_bits);
}

/// The LCS of a pattern of at most `Words` words with `text`, in plain C++, one of them wide.
template <std::size_t Words, class P, class T>
std::uint64_t short_lcs(std::span<const P> pattern, std::span<const T> text) noexcept {
    const ShortRows<Words> rows(pattern, text);
    return feed_registers<Words>(text, pattern.size(),
                                 [&](std::uint32_t point) { return rows.row(point); });
}

/// `run` called with the words of a pattern of 1 to 384 code points, `size`, as a constant.
template <class Run>
[[gnu::always_inline]] inline std::uint64_t with_words(std::size_t size, const Run& run) {
    switch ((size + k_word_bits - 1) / k_word_bits) {
    case 1:
        return run(std::integral_constant<std::size_t, 1>());
    case 2:
        return run(std::integral_constant<std::size_t, 2>());
    case 3:
        return run(std::integral_constant<std::size_t, 3>());
    case 4:
        return run(std::integral_constant<std::size_t, 4>());
    case 5:
        return run(std::integral_constant<std::size_t, 5>());
    default:
        return run(std::integral_constant<std::size_t, 6>());
    }
}

/// The LCS of a pattern of 1 to 384 code points with `text`, one of them wide, in plain C++. Out
/// of line: its tables would otherwise enlarge the frame of every short call, vector paths too.
template <class P, class T>
[[gnu::noinline]] std::uint64_t short_lcs_any(std::span<const P> pattern,
                                              std::span<const T> text) noexcept {
    return with_words(pattern.size(),
                      [&](auto words) { return short_lcs<decltype(words)::value>(pattern, text); });
}

} // namespace corvane
