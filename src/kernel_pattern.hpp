// Pattern-match vectors of a source text: for each code point, the bit set of its positions.
#pragma once

#include "utf8.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace corvane::detail {

inline constexpr std::size_t k_word_bits = 64;
/// Rows of several words come in groups of this many words; the positions past the end of the
/// source in the last group never match.
inline constexpr std::size_t k_group_words = 4;

inline constexpr std::uint64_t bit_at(std::size_t position) noexcept {
    return std::uint64_t{1} << (position % k_word_bits);
}

// Texts are read eight bytes to a word: most are short, where vector loops spend their time in
// their prologues and epilogues.
inline constexpr std::uint64_t k_high_bits = 0x8080808080808080;

inline std::uint64_t load_word(const char* bytes) noexcept {
    std::uint64_t word;
    std::memcpy(&word, bytes, 8);
    return word;
}

/// Number of code points of well-formed UTF-8 text: the bytes that are not continuation bytes.
inline std::size_t count_code_points(std::string_view text) noexcept {
    std::size_t continuation = 0;
    std::size_t at = 0;
    for (; at + 8 <= text.size(); at += 8) {
        const std::uint64_t word = load_word(text.data() + at);
        // Continuation bytes have their top bit set and the next one clear; the multiply adds
        // up the eight resulting 0-or-1 bytes in the top byte.
        const std::uint64_t marks = (word & ~(word << 1) & k_high_bits) >> 7;
        continuation += (marks * 0x0101010101010101) >> 56;
    }
    for (; at < text.size(); ++at)
        continuation += (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
    return text.size() - continuation;
}

/// Whether every byte of `text` is below 0x80.
inline bool is_ascii(std::string_view text) noexcept {
    std::uint64_t any = 0;
    std::size_t at = 0;
    for (; at + 8 <= text.size(); at += 8)
        any |= load_word(text.data() + at);
    for (; at < text.size(); ++at)
        any |= static_cast<unsigned char>(text[at]);
    return (any & k_high_bits) == 0;
}

/// Bit k set where `lane[k]` equals `byte`, for the 16 bytes of `lane`; plain integer arithmetic.
inline std::uint32_t equal_byte_mask_portable(const unsigned char* lane,
                                              unsigned char byte) noexcept {
    constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7F;
    constexpr std::uint64_t high = 0x8080808080808080;
    // Moves bit 7 of byte k to bit 56 + k: the partial products never overlap, so nothing carries.
    constexpr std::uint64_t gather = 0x0002040810204081;
    const std::uint64_t probe = std::uint64_t{0x0101010101010101} * byte;
    std::uint32_t mask = 0;
    for (std::size_t half = 0; half < 2; ++half) {
        std::uint64_t word;
        std::memcpy(&word, lane + 8 * half, 8);
        const std::uint64_t x = word ^ probe;
        const std::uint64_t zero_bytes = ~(((x & low7) + low7) | x) & high;
        mask |= static_cast<std::uint32_t>((zero_bytes * gather) >> 56) << (8 * half);
    }
    return mask;
}

/// Sixteen copies of each ASCII byte: a load instead of a broadcast for every code point.
alignas(16) inline constexpr auto k_byte_copies = [] {
    std::array<std::array<unsigned char, 16>, 128> copies{};
    for (std::size_t byte = 0; byte < copies.size(); ++byte)
        copies[byte].fill(static_cast<unsigned char>(byte));
    return copies;
}();

/// Bit k set where `lane[k]` equals the ASCII byte `byte`, for the 16 bytes of `lane` (16-byte
/// aligned).
inline std::uint32_t equal_byte_mask(const unsigned char* lane, unsigned char byte) noexcept {
#if defined(__SSE2__)
    const __m128i bytes = _mm_load_si128(reinterpret_cast<const __m128i*>(lane));
    const __m128i probe = _mm_load_si128(reinterpret_cast<const __m128i*>(&k_byte_copies[byte]));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, probe)));
#else
    return equal_byte_mask_portable(lane, byte);
#endif
}

/// Bit k set where `lane[k]` equals `point`, for the 16 code points of `lane`; plain C++.
inline std::uint32_t equal_point_mask_portable(const char32_t* lane, char32_t point) noexcept {
    std::uint32_t mask = 0;
    for (std::size_t k = 0; k < 16; ++k)
        mask |= std::uint32_t{lane[k] == point} << k;
    return mask;
}

/// Bit k set where `lane[k]` equals `point`, for the 16 code points of `lane` (16-byte aligned).
inline std::uint32_t equal_point_mask(const char32_t* lane, char32_t point) noexcept {
#if defined(__SSE2__)
    const auto* vectors = reinterpret_cast<const __m128i*>(lane);
    const __m128i probe = _mm_set1_epi32(static_cast<int>(point));
    // Matches are all-ones lanes; packing with signed saturation keeps them all-ones, so one
    // byte mask extraction serves sixteen code points.
    const __m128i low = _mm_packs_epi32(_mm_cmpeq_epi32(_mm_load_si128(vectors), probe),
                                        _mm_cmpeq_epi32(_mm_load_si128(vectors + 1), probe));
    const __m128i high = _mm_packs_epi32(_mm_cmpeq_epi32(_mm_load_si128(vectors + 2), probe),
                                         _mm_cmpeq_epi32(_mm_load_si128(vectors + 3), probe));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(low, high)));
#else
    return equal_point_mask_portable(lane, point);
#endif
}

/// Slot of `point` in an open-addressing table of 2^bits slots (bits >= 1) whose key 0 marks an
/// empty slot: the slot holding it, or the empty slot where it belongs.
template <class Slot>
std::size_t probe_slot(std::span<const Slot> slots, unsigned bits, char32_t point) noexcept {
    const std::size_t last = slots.size() - 1;
    std::size_t slot = static_cast<std::size_t>((point * 0x9E3779B97F4A7C15) >> (64 - bits));
    while (slots[slot].key != 0 && slots[slot].key != point)
        slot = (slot + 1) & last;
    return slot;
}

/// The pattern of a source of 1 to 64 code points, one word per code point, built on the stack
/// in time proportional to the source. ASCII code points sit as bytes at their positions and the
/// masks come from byte compares; a source with other code points also keeps all of them as
/// 32-bit values, compared four at a time.
class ShortPattern {
  public:
    static constexpr std::size_t k_capacity = 64;

    /// `points` is the number of code points of `source`.
    ShortPattern(std::string_view source, std::size_t points) noexcept {
        // 0xFF is no ASCII byte, so free positions never match.
        bytes_.fill(0xFF);
        if (points == source.size()) {
            std::memcpy(bytes_.data(), source.data(), points);
            return;
        }
        others_ = true;
        // Neither is any code point: free positions never match.
        points_.fill(k_no_point);
        std::size_t position = 0;
        for (std::size_t at = 0; at < source.size(); ++position) {
            const char32_t point = decode_code_point(source, at);
            points_[position] = point;
            if (point < 0x80) bytes_[position] = static_cast<unsigned char>(point);
        }
    }

    /// Positions of the ASCII code point `byte`, for a source of at most 16 x Lanes code points.
    template <std::size_t Lanes>
    std::uint64_t ascii_mask(unsigned char byte) const noexcept {
        std::uint64_t mask = 0;
        for (std::size_t lane = 0; lane < Lanes; ++lane)
            mask |= std::uint64_t{equal_byte_mask(bytes_.data() + 16 * lane, byte)} << (16 * lane);
        return mask;
    }

    /// Positions of a code point above ASCII, for a source of at most 16 x Lanes code points.
    template <std::size_t Lanes>
    std::uint64_t other_mask(char32_t point) const noexcept {
        if (!others_) return 0;
        std::uint64_t mask = 0;
        for (std::size_t lane = 0; lane < Lanes; ++lane)
            mask |= std::uint64_t{equal_point_mask(points_.data() + 16 * lane, point)}
                    << (16 * lane);
        return mask;
    }

    /// Adds the positions of every ASCII code point to `table`, one word each.
    void fill_ascii_table(std::array<std::uint64_t, 128>& table) const noexcept {
        for (std::size_t position = 0; position < k_capacity; ++position)
            if (bytes_[position] < 0x80) table[bytes_[position]] |= bit_at(position);
    }

  private:
    static constexpr char32_t k_no_point = 0xFFFFFFFF;

    alignas(16) std::array<unsigned char, k_capacity> bytes_;
    bool others_ = false;
    // Written only when the source has code points above ASCII.
    alignas(16) std::array<char32_t, k_capacity> points_;
};

/// One word of the positions of a code point above ASCII: its index and its bits.
struct SparseWord {
    std::size_t word;
    std::uint64_t mask;
};

/// The pattern of a source of any length, one bit per code point in words of 64 positions:
/// a dense row of words for each ASCII code point of the source, and for the others only the
/// words where they occur, so that memory stays proportional to the source.
class BlockPattern {
  public:
    BlockPattern(std::string_view source, std::size_t points)
        : words_((points + k_group_words * k_word_bits - 1) / (k_group_words * k_word_bits) *
                 k_group_words) {
        std::size_t rows = 0;
        std::size_t others = 0;
        for (const char byte : source) {
            const auto value = static_cast<unsigned char>(byte);
            if (value < 0x80 && row_of_[value] == 0)
                row_of_[value] = static_cast<std::uint8_t>(++rows);
            others += (value & 0xC0) == 0xC0;
        }
        ascii_.resize(rows * words_);
        std::size_t position = 0;
        for (std::size_t at = 0; at < source.size(); ++position) {
            const auto byte = static_cast<unsigned char>(source[at]);
            if (byte < 0x80) {
                ascii_[(row_of_[byte] - 1) * words_ + position / k_word_bits] |= bit_at(position);
                ++at;
            } else {
                decode_code_point(source, at);
            }
        }
        if (others != 0) index_others(source, others);
    }

    /// Words per row: the source's positions rounded up to whole groups.
    std::size_t words() const noexcept { return words_; }

    /// Whether the ASCII code point `byte` occurs in the source.
    bool contains(unsigned char byte) const noexcept { return row_of_[byte] != 0; }

    /// The `words()` words of positions of an ASCII code point that occurs in the source.
    const std::uint64_t* ascii_row(unsigned char byte) const noexcept {
        return ascii_.data() + (row_of_[byte] - 1) * words_;
    }

    /// The words, in increasing order, where a code point above ASCII occurs.
    std::span<const SparseWord> other_words(char32_t point) const noexcept {
        if (slots_.empty()) return {};
        const Slot& slot = slots_[probe_slot(std::span<const Slot>(slots_), bits_, point)];
        if (slot.key != point) return {};
        return {sparse_.data() + slot.begin, slot.end - slot.begin};
    }

  private:
    struct Slot {
        char32_t key = 0;
        std::size_t begin = 0;
        std::size_t end = 0;
    };

    // Counts each code point above ASCII, reserves a range of that many words for it, then
    // fills the ranges in position order, merging positions that share a word.
    void index_others(std::string_view source, std::size_t others) {
        for_each_other(source, [&](char32_t point, std::size_t) { ++insert(point).end; });
        std::size_t next = 0;
        for (Slot& slot : slots_) {
            if (slot.key == 0) continue;
            slot.begin = next;
            next += slot.end;
            slot.end = slot.begin;
        }
        sparse_.resize(others);
        for_each_other(source, [&](char32_t point, std::size_t position) {
            Slot& slot = slots_[probe_slot(std::span<const Slot>(slots_), bits_, point)];
            const std::size_t word = position / k_word_bits;
            if (slot.end != slot.begin && sparse_[slot.end - 1].word == word)
                sparse_[slot.end - 1].mask |= bit_at(position);
            else
                sparse_[slot.end++] = {word, bit_at(position)};
        });
    }

    template <class Visit>
    static void for_each_other(std::string_view source, Visit visit) {
        std::size_t position = 0;
        for (std::size_t at = 0; at < source.size(); ++position) {
            if (static_cast<unsigned char>(source[at]) < 0x80) {
                ++at;
                continue;
            }
            visit(decode_code_point(source, at), position);
        }
    }

    Slot& insert(char32_t point) {
        if (2 * (used_ + 1) > slots_.size()) grow();
        Slot& slot = slots_[probe_slot(std::span<const Slot>(slots_), bits_, point)];
        if (slot.key == 0) {
            slot.key = point;
            ++used_;
        }
        return slot;
    }

    void grow() {
        std::vector<Slot> old = std::exchange(slots_, {});
        bits_ = old.empty() ? 4 : bits_ + 1;
        slots_.resize(std::size_t{1} << bits_);
        for (const Slot& slot : old)
            if (slot.key != 0)
                slots_[probe_slot(std::span<const Slot>(slots_), bits_, slot.key)] = slot;
    }

    std::size_t words_;
    // Rows only for the ASCII code points of the source; row_of_ numbers them from 1.
    std::array<std::uint8_t, 128> row_of_{};
    std::vector<std::uint64_t> ascii_;
    unsigned bits_ = 0;
    std::size_t used_ = 0;
    std::vector<Slot> slots_;
    std::vector<SparseWord> sparse_;
};

} // namespace corvane::detail
