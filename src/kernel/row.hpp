// The update of a bit-parallel LCS row for one code point of the streamed text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane::detail {

// Pattern positions are bits; after a prefix of the streamed text has been consumed, bit i is 0
// exactly where the LCS of that prefix with the first i + 1 pattern code points exceeds the LCS
// with the first i, so the zero bits count the LCS with the whole pattern. A code point whose
// positions are M turns V into (V + (V & M)) | (V & ~M): Crochemore, Iliopoulos, Pinzon and Reid,
// "A fast and practical bit-vector algorithm for the longest common subsequence problem",
// Information Processing Letters 80 (2001), after Allison and Dix, IPL 23 (1986); Hyyro,
// "Bit-parallel LCS-length computation revisited" (AWOCA 2004). The sum carries out of the top
// word exactly when a zero bit appears, so the LCS can be counted from the carries. Bits above
// the last position start as ones and never match, so they stay ones and pass carries through.

inline constexpr std::uint64_t k_all_ones = ~std::uint64_t{0};

[[gnu::always_inline]] inline std::uint64_t add_with_carry(std::uint64_t a, std::uint64_t b,
                                                           std::uint64_t carry_in,
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

/// Updates one word for a code point with positions `mask` there; returns the carry onwards.
[[gnu::always_inline]] inline std::uint64_t advance_word(std::uint64_t& bits, std::uint64_t mask,
                                                         std::uint64_t carry) noexcept {
    const std::uint64_t matched = bits & mask;
    // The matched bits are a subset of `bits`, so the exclusive or keeps the unmatched ones.
    bits = add_with_carry(bits, matched, carry, carry) | (bits ^ matched);
    return carry;
}

/// Updates `Count` (1 to 4) consecutive words for one code point. The masked and kept bits of
/// every word come first and the additions follow one another with nothing in between, so the
/// compiler chains their carries through the flags. Updated word by word, each word's logic
/// clobbers the flags between two additions, and the carry is saved to a byte register and
/// restored around it; a byte write merges with the rest of its register, which ties the carries
/// to unrelated earlier work (compared rows of 2 to 5 words measured 10 to 20 per cent slower).
template <std::size_t Count>
[[gnu::always_inline]] inline void advance_run(std::uint64_t* bits, const std::uint64_t* mask,
                                               std::uint64_t& carry) noexcept {
    std::uint64_t matched[Count];
    std::uint64_t kept[Count];
    for (std::size_t k = 0; k < Count; ++k) {
        matched[k] = bits[k] & mask[k];
        kept[k] = bits[k] ^ matched[k];
    }
    for (std::size_t k = 0; k < Count; ++k)
        bits[k] = add_with_carry(bits[k], matched[k], carry, carry);
    for (std::size_t k = 0; k < Count; ++k)
        bits[k] |= kept[k];
}

/// Updates `words` words of a row for one code point whose positions are `mask`; returns the
/// carry out of the top word, 1 exactly when the LCS grew.
inline std::uint64_t advance_row_scalar(std::uint64_t* bits, const std::uint64_t* mask,
                                        std::size_t words) noexcept {
    std::uint64_t carry = 0;
    for (std::size_t word = 0; word < words; ++word)
        carry = advance_word(bits[word], mask[word], carry);
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

/// Updates a row of `words` words, a multiple of four, for one code point whose positions are
/// `mask`, a group of four words at a time; returns the carry out of the top word.
[[gnu::always_inline]] inline std::uint64_t
advance_row_grouped(std::uint64_t* bits, const std::uint64_t* mask, std::size_t words) noexcept {
    std::uint64_t carry = 0;
    for (std::size_t word = 0; word < words; word += 4)
        advance_group(bits[word], bits[word + 1], bits[word + 2], bits[word + 3], mask + word,
                      carry);
    return carry;
}

/// Two code points in one pass, `first` then `second`, as two calls of `advance_row_grouped`:
/// the second one's update of a group follows the first one's directly, and the two carry chains
/// run side by side. Returns the sum of the two carries.
[[gnu::always_inline]] inline std::uint64_t advance_row_grouped_pair(std::uint64_t* bits,
                                                                     const std::uint64_t* first,
                                                                     const std::uint64_t* second,
                                                                     std::size_t words) noexcept {
    std::uint64_t carry = 0;
    std::uint64_t next_carry = 0;
    for (std::size_t word = 0; word < words; word += 4) {
        std::uint64_t b0 = bits[word], b1 = bits[word + 1], b2 = bits[word + 2],
                      b3 = bits[word + 3];
        advance_group(b0, b1, b2, b3, first + word, carry);
        advance_group(b0, b1, b2, b3, second + word, next_carry);
        bits[word] = b0;
        bits[word + 1] = b1;
        bits[word + 2] = b2;
        bits[word + 3] = b3;
    }
    return carry + next_carry;
}

} // namespace corvane::detail
