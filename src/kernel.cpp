// The bit-parallel prefix similarity kernel: 64 source positions per machine word.
#include "kernel.hpp"

#include "kernel_pattern.hpp"
#include "similarity.hpp"
#include "utf8.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

namespace corvane {
namespace {

using detail::BlockPattern;
using detail::ShortPattern;
using detail::SparseWord;

// The row state. Source positions are bits; after a prefix of target has been consumed, bit i is
// 0 exactly where the LCS of that prefix with the first i + 1 code points of source exceeds the
// LCS with the first i, so the zero bits count the LCS with the whole source. Appending a target
// code point whose positions in source are M turns V into (V + (V & M)) | (V & ~M): Crochemore,
// Iliopoulos, Pinzon and Reid, "A fast and practical bit-vector algorithm for the longest common
// subsequence problem", Information Processing Letters 80 (2001), after Allison and Dix, IPL 23
// (1986); Hyyro, "Bit-parallel LCS-length computation revisited" (AWOCA 2004). The sum carries
// out of the top word exactly when a zero bit appears, so the LCS is counted from the carries.
// Bits above the last position start as ones and stay ones, passing carries through.

inline std::uint64_t add_with_carry(std::uint64_t a, std::uint64_t b, std::uint64_t carry_in,
                                    std::uint64_t& carry_out) noexcept {
#if __has_builtin(__builtin_addcll)
    unsigned long long out;
    const std::uint64_t sum = __builtin_addcll(a, b, carry_in, &out);
    carry_out = out;
    return sum;
#else
    const std::uint64_t partial = a + b;
    const std::uint64_t sum = partial + carry_in;
    carry_out = (partial < a) | (sum < partial);
    return sum;
#endif
}

/// Updates one word of the row for a code point with positions `mask` in that word; returns the
/// carry into the next word.
[[gnu::always_inline]] inline std::uint64_t advance_word(std::uint64_t& bits, std::uint64_t mask,
                                                         std::uint64_t carry) noexcept {
    const std::uint64_t matched = bits & mask;
    // The matched bits are a subset of `bits`, so the exclusive or keeps the unmatched ones.
    bits = add_with_carry(bits, matched, carry, carry) | (bits ^ matched);
    return carry;
}

/// Updates a row of one word; returns the carry out of it.
[[gnu::always_inline]] inline std::uint64_t advance_alone(std::uint64_t& bits,
                                                          std::uint64_t mask) noexcept {
    const std::uint64_t matched = bits & mask;
    std::uint64_t sum;
    const bool carry = __builtin_add_overflow(bits, matched, &sum);
    bits = sum | (bits ^ matched);
    return carry;
}

/// Updates four consecutive words for one code point. The four additions come one after the
/// other with nothing in between, so the compiler chains their carries through the flags
/// instead of saving and restoring the carry around every word.
[[gnu::always_inline]] inline void advance_group(std::uint64_t& b0, std::uint64_t& b1,
                                                 std::uint64_t& b2, std::uint64_t& b3,
                                                 const std::uint64_t* mask,
                                                 std::uint64_t& carry) noexcept {
    const std::uint64_t m0 = b0 & mask[0], m1 = b1 & mask[1], m2 = b2 & mask[2], m3 = b3 & mask[3];
    const std::uint64_t k0 = b0 ^ m0, k1 = b1 ^ m1, k2 = b2 ^ m2, k3 = b3 ^ m3;
    const std::uint64_t s0 = add_with_carry(b0, m0, carry, carry);
    const std::uint64_t s1 = add_with_carry(b1, m1, carry, carry);
    const std::uint64_t s2 = add_with_carry(b2, m2, carry, carry);
    const std::uint64_t s3 = add_with_carry(b3, m3, carry, carry);
    b0 = s0 | k0;
    b1 = s1 | k1;
    b2 = s2 | k2;
    b3 = s3 | k3;
}

constexpr std::uint64_t k_all_ones = ~std::uint64_t{0};

/// A row of groups of four words.
class Row {
  public:
    explicit Row(std::size_t words) : bits_(words, k_all_ones) {}

    // Out of line, so that the loop has every register to itself.
    [[gnu::noinline]] void step(const std::uint64_t* mask) noexcept {
        std::uint64_t carry = 0;
        std::uint64_t* bits = bits_.data();
        for (std::size_t word = 0, words = bits_.size(); word < words; word += 4)
            advance_group(bits[word], bits[word + 1], bits[word + 2], bits[word + 3], mask + word,
                          carry);
        lcs_ += carry;
    }

    // Two code points in one pass: the second one's update of a group follows the first one's
    // directly, and the two carry chains run side by side.
    [[gnu::noinline]] void step(const std::uint64_t* first, const std::uint64_t* second) noexcept {
        std::uint64_t carry = 0;
        std::uint64_t next_carry = 0;
        std::uint64_t* bits = bits_.data();
        for (std::size_t word = 0, words = bits_.size(); word < words; word += 4) {
            std::uint64_t b0 = bits[word], b1 = bits[word + 1], b2 = bits[word + 2],
                          b3 = bits[word + 3];
            advance_group(b0, b1, b2, b3, first + word, carry);
            advance_group(b0, b1, b2, b3, second + word, next_carry);
            bits[word] = b0;
            bits[word + 1] = b1;
            bits[word + 2] = b2;
            bits[word + 3] = b3;
        }
        lcs_ += carry + next_carry;
    }

    // Words without positions change only when a carry reaches them: it sets their lowest zero
    // bit and passes on only through a word of ones.
    void step(std::span<const SparseWord> words) noexcept {
        std::uint64_t carry = 0;
        std::size_t word = 0;
        const auto pass_carry = [&](std::size_t until) {
            for (; carry != 0 && word < until; ++word) {
                const std::uint64_t bits = bits_[word];
                bits_[word] = bits | (bits + 1);
                carry = bits == k_all_ones;
            }
        };
        for (const SparseWord& next : words) {
            pass_carry(next.word);
            carry = advance_word(bits_[next.word], next.mask, carry);
            word = next.word + 1;
        }
        pass_carry(bits_.size());
        lcs_ += carry;
    }

    std::uint64_t lcs() const noexcept { return lcs_; }

  private:
    static_assert(detail::k_group_words == 4);

    std::vector<std::uint64_t> bits_;
    std::uint64_t lcs_ = 0;
};

// Machines consume code points of target and report the LCS of source with what they consumed.

/// The machine of an empty source.
struct EmptyMachine {
    void feed(char32_t) noexcept {}
    void feed_ascii(const unsigned char*, std::size_t) noexcept {}
    std::uint64_t lcs() const noexcept { return 0; }
};

/// One word for a source of at most 16 x Lanes code points.
template <std::size_t Lanes>
class WordMachine {
  public:
    explicit WordMachine(const ShortPattern& pattern) noexcept : pattern_(pattern) {}

    void feed(char32_t point) noexcept {
        step(point < 0x80 ? pattern_.template ascii_mask<Lanes>(static_cast<unsigned char>(point))
                          : pattern_.template other_mask<Lanes>(point));
    }

    void feed_ascii(const unsigned char* text, std::size_t count) noexcept {
        // In locals: byte loads may alias anything, so members would be stored back every time.
        std::uint64_t bits = bits_;
        std::uint64_t lcs = lcs_;
        if (count >= k_table_from) {
            std::array<std::uint64_t, 128> table{};
            pattern_.fill_ascii_table(table);
            for (std::size_t k = 0; k < count; ++k)
                lcs += advance_alone(bits, table[text[k]]);
        } else {
            for (std::size_t k = 0; k < count; ++k)
                lcs += advance_alone(bits, pattern_.template ascii_mask<Lanes>(text[k]));
        }
        bits_ = bits;
        lcs_ = lcs;
    }

    std::uint64_t lcs() const noexcept { return lcs_; }

  private:
    // Each lane costs a compare and a mask extraction per code point. From two lanes on, a table
    // of all ASCII code points pays for its clearing and filling on long enough runs of target.
    static constexpr std::size_t k_table_from = Lanes == 1 ? std::numeric_limits<std::size_t>::max()
                                                : Lanes == 2 ? 128
                                                             : 32;

    void step(std::uint64_t mask) noexcept { lcs_ += advance_alone(bits_, mask); }

    const ShortPattern& pattern_;
    std::uint64_t bits_ = k_all_ones;
    std::uint64_t lcs_ = 0;
};

/// One or two groups of words kept in registers, for a source of at most 512 code points.
template <std::size_t Groups>
class GroupMachine {
  public:
    explicit GroupMachine(const BlockPattern& pattern) noexcept : pattern_(pattern) {}

    void feed(char32_t point) noexcept {
        if (point < 0x80) {
            feed_byte(state_, static_cast<unsigned char>(point));
            return;
        }
        const std::span<const SparseWord> words = pattern_.other_words(point);
        if (words.empty()) return;
        std::array<std::uint64_t, k_words> mask{};
        for (const SparseWord& word : words)
            mask[word.word] = word.mask;
        state_.step(mask.data());
    }

    void feed_ascii(const unsigned char* text, std::size_t count) noexcept {
        // In a local: byte loads may alias anything, so members would be stored back every time.
        State state = state_;
        for (std::size_t k = 0; k < count; ++k)
            feed_byte(state, text[k]);
        state_ = state;
    }

    std::uint64_t lcs() const noexcept { return state_.lcs; }

  private:
    static constexpr std::size_t k_words = Groups * detail::k_group_words;

    struct State {
        std::array<std::uint64_t, k_words> bits;
        std::uint64_t lcs;

        void step(const std::uint64_t* mask) noexcept {
            std::uint64_t carry = 0;
            for (std::size_t word = 0; word < k_words; word += 4)
                advance_group(bits[word], bits[word + 1], bits[word + 2], bits[word + 3],
                              mask + word, carry);
            lcs += carry;
        }
    };

    // A code point absent from source leaves the row as it is.
    void feed_byte(State& state, unsigned char byte) const noexcept {
        if (pattern_.contains(byte)) state.step(pattern_.ascii_row(byte));
    }

    const BlockPattern& pattern_;
    State state_ = {filled_ones(), 0};

    static constexpr std::array<std::uint64_t, k_words> filled_ones() noexcept {
        std::array<std::uint64_t, k_words> bits;
        bits.fill(k_all_ones);
        return bits;
    }
};

/// Several words for a longer source. Code points are applied two at a time where possible: the
/// first of a pair is held until the second arrives or the LCS is asked for.
class BlockMachine {
  public:
    explicit BlockMachine(const BlockPattern& pattern) : pattern_(pattern), row_(pattern.words()) {}

    void feed(char32_t point) noexcept {
        if (point < 0x80) {
            held_ = feed_byte(static_cast<unsigned char>(point), held_);
            return;
        }
        const std::span<const SparseWord> words = pattern_.other_words(point);
        if (words.empty()) return;
        release();
        row_.step(words);
    }

    void feed_ascii(const unsigned char* text, std::size_t count) noexcept {
        const std::uint64_t* held = held_;
        for (std::size_t k = 0; k < count; ++k)
            held = feed_byte(text[k], held);
        held_ = held;
    }

    std::uint64_t lcs() noexcept {
        release();
        return row_.lcs();
    }

  private:
    // Returns the row now held. A code point absent from source leaves the row as it is.
    const std::uint64_t* feed_byte(unsigned char byte, const std::uint64_t* held) noexcept {
        if (!pattern_.contains(byte)) return held;
        const std::uint64_t* mask = pattern_.ascii_row(byte);
        if (held == nullptr) return mask;
        row_.step(held, mask);
        return nullptr;
    }

    void release() noexcept {
        if (held_ != nullptr) row_.step(held_);
        held_ = nullptr;
    }

    const BlockPattern& pattern_;
    Row row_;
    const std::uint64_t* held_ = nullptr;
};

/// What the answers need to know of the two texts.
struct Job {
    std::string_view target;
    std::uint64_t source_bytes;
    // Code points (and their bytes) that both texts start with: the LCS with a prefix of target
    // at most that long is its length, and beyond it the shared part adds its length.
    std::uint64_t shared_points;
    std::size_t shared_bytes;
    // Whether every code point that a requested length needs past the shared part is one byte.
    bool ascii_target;
};

/// Calls `settle` on each element of `lengths`, by increasing value.
template <class Settle>
void in_length_order(std::span<std::uint64_t> lengths, bool ascending, Settle settle) {
    if (ascending) {
        for (std::uint64_t& slot : lengths)
            settle(slot);
        return;
    }
    constexpr std::size_t k_inline = 16;
    std::array<std::size_t, k_inline> inline_order;
    std::vector<std::size_t> heap_order;
    std::span<std::size_t> order;
    if (lengths.size() <= k_inline) {
        order = std::span(inline_order).first(lengths.size());
    } else {
        heap_order.resize(lengths.size());
        order = heap_order;
    }
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::ranges::sort(order, {}, [&](std::size_t k) { return lengths[k]; });
    for (const std::size_t k : order)
        settle(lengths[k]);
}

/// Streams target through `machine` up to each requested length and writes the similarities.
template <class Machine>
void answer(Machine machine, const Job& job, std::span<std::uint64_t> lengths, bool ascending) {
    std::uint64_t consumed = job.shared_points;
    std::size_t at = job.shared_bytes;
    const auto* bytes = reinterpret_cast<const unsigned char*>(job.target.data());
    in_length_order(lengths, ascending, [&](std::uint64_t& slot) {
        const std::uint64_t length = slot;
        if (length == 0) {
            slot = k_one_bits;
            return;
        }
        if (length <= job.shared_points) {
            slot = similarity_bits(length, job.source_bytes, length);
            return;
        }
        if (job.ascii_target) {
            machine.feed_ascii(bytes + at, length - consumed);
            at += length - consumed;
            consumed = length;
        } else {
            for (; consumed < length && at < job.target.size(); ++consumed)
                machine.feed(decode_code_point(job.target, at));
        }
        // A length past the code points of target finds the row at 0 there.
        const std::uint64_t lcs = consumed == length ? job.shared_points + machine.lcs() : 0;
        slot = similarity_bits(lcs, job.source_bytes, length);
    });
}

struct SharedPrefix {
    std::size_t bytes;
    std::uint64_t points;
};

/// The whole code points that source and target both start with, within their first `limit`
/// bytes.
SharedPrefix shared_prefix(std::string_view source, std::string_view target, std::size_t limit) {
    limit = std::min({limit, source.size(), target.size()});
    std::size_t bytes = 0;
    while (bytes + 8 <= limit) {
        std::uint64_t a;
        std::uint64_t b;
        std::memcpy(&a, source.data() + bytes, 8);
        std::memcpy(&b, target.data() + bytes, 8);
        if (a != b) break;
        bytes += 8;
    }
    while (bytes < limit && source[bytes] == target[bytes])
        ++bytes;
    // A mismatch inside a code point leaves its first bytes shared; they do not count.
    while (bytes > 0 && bytes < source.size() &&
           (static_cast<unsigned char>(source[bytes]) & 0xC0) == 0x80)
        --bytes;
    return {bytes, detail::count_code_points(source.substr(0, bytes))};
}

} // namespace

void prefix_similarities(std::string_view source, std::string_view target,
                         std::span<std::uint64_t> lengths) {
    const std::uint64_t entries = row_entries(target.size());
    std::uint64_t longest = 0;
    std::uint64_t previous = 0;
    bool ascending = true;
    for (const std::uint64_t length : lengths) {
        if (length >= entries) [[unlikely]]
            length_out_of_bounds(entries, length);
        longest = std::max(longest, length);
        ascending = ascending && previous <= length;
        previous = length;
    }
    if (longest == 0) {
        std::ranges::fill(lengths, k_one_bits);
        return;
    }

    // A requested prefix of target spans at most 4 bytes per code point.
    const SharedPrefix shared = shared_prefix(source, target, 4 * longest);
    Job job{target, source.size(), shared.points, shared.bytes, false};
    if (longest <= shared.points) return answer(EmptyMachine{}, job, lengths, ascending);
    const std::uint64_t stream_points = longest - shared.points;
    job.ascii_target = stream_points <= target.size() - shared.bytes &&
                       detail::is_ascii(target.substr(shared.bytes, stream_points));

    const std::string_view rest = source.substr(shared.bytes);
    const std::size_t points = detail::count_code_points(rest);
    if (points == 0) return answer(EmptyMachine{}, job, lengths, ascending);
    if (points <= ShortPattern::k_capacity) {
        const ShortPattern pattern(rest, points);
        switch ((points + 15) / 16) {
        case 1:
            return answer(WordMachine<1>(pattern), job, lengths, ascending);
        case 2:
            return answer(WordMachine<2>(pattern), job, lengths, ascending);
        case 3:
            return answer(WordMachine<3>(pattern), job, lengths, ascending);
        default:
            return answer(WordMachine<4>(pattern), job, lengths, ascending);
        }
    }
    const BlockPattern pattern(rest, points);
    switch (pattern.words() / detail::k_group_words) {
    case 1:
        return answer(GroupMachine<1>(pattern), job, lengths, ascending);
    case 2:
        return answer(GroupMachine<2>(pattern), job, lengths, ascending);
    default:
        return answer(BlockMachine(pattern), job, lengths, ascending);
    }
}

} // namespace corvane
