// The machines of patterns looked up in tables or compared in plain C++: each holds the row of
// one pattern while text streams past.
#pragma once

#include "cpu.hpp"
#include "kernel/compare_avx2.hpp"
#include "kernel/pattern.hpp"
#include "kernel/row.hpp"
#include "kernel/vector.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#if CORVANE_X86_SSE2
#include <emmintrin.h>
#endif

namespace corvane {

using detail::add_with_carry;
using detail::advance_word;
using detail::k_all_ones;
using detail::PointIndex;

inline constexpr std::size_t k_word_bits = 64;

inline std::uint64_t bit_at(std::size_t position) noexcept {
    return std::uint64_t{1} << (position % k_word_bits);
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

/// Zero bits among the first `count` bits of `words`.
inline std::uint64_t zeros_below(const std::uint64_t* words, std::size_t count) noexcept {
    std::uint64_t zeros = 0;
    std::size_t word = 0;
    for (; (word + 1) * k_word_bits <= count; ++word)
        zeros += static_cast<std::uint64_t>(std::popcount(~words[word]));
    if (const std::size_t rest = count % k_word_bits; rest != 0)
        zeros += static_cast<std::uint64_t>(
            std::popcount(~words[word] & ((std::uint64_t{1} << rest) - 1)));
    return zeros;
}

// Machines hold the row of a pattern and consume the streamed text. `lcs()` is the LCS of the
// pattern with what they consumed; `zeros_below(j)` the LCS of the first j pattern code points
// with it. Once every pattern position is matched nothing can change, so feeding stops early.

// Text is fed in runs of this many code points between checks for a full match.
inline constexpr std::size_t k_run = 256;

/// The row of a pattern of one word, and the LCS it has counted.
class OneWordRow {
  public:
    std::uint64_t lcs() const noexcept { return lcs_; }
    std::uint64_t zeros_below(std::size_t count) const noexcept {
        return corvane::zeros_below(&bits_, count);
    }

  protected:
    std::uint64_t bits_ = k_all_ones;
    std::uint64_t lcs_ = 0;
};

/// A pattern of 1 to 64 code points: one word, positions looked up per code point.
template <class P>
class WordMachine : public OneWordRow {
  public:
    template <class T>
    WordMachine(std::span<const P> pattern, std::span<const T> text)
        : pattern_(pattern), index_(pattern, text) {
        for (std::size_t k = 0; k < pattern.size(); ++k)
            index_.entry(pattern[k]) |= bit_at(k);
    }

    template <class T>
    void feed(const T* text, std::size_t count) noexcept {
        std::uint64_t bits = bits_;
        std::uint64_t lcs = lcs_;
        for (std::size_t done = 0; done < count && lcs < pattern_.size();) {
            const std::size_t end = std::min(count, done + k_run);
            for (; done < end; ++done) {
                if constexpr (sizeof(T) == 1)
                    lcs += advance_alone(bits, index_.find_low(text[done]));
                else
                    lcs += advance_alone(bits, index_.find(text[done]));
            }
        }
        bits_ = bits;
        lcs_ = lcs;
    }

  private:
    std::span<const P> pattern_;
    PointIndex<std::uint64_t, P> index_;
};

/// Bit k set where `lane[k]` equals `point`, for the 16 code points of `lane` (16-byte aligned).
inline std::uint32_t equal_point_mask(const std::uint32_t* lane, std::uint32_t point) noexcept {
#if CORVANE_X86_SSE2
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
    std::uint32_t mask = 0;
    for (std::size_t k = 0; k < 16; ++k)
        mask |= std::uint32_t{lane[k] == point} << k;
    return mask;
#endif
}

/// A pattern of 1 to 16 x Lanes code points from several scripts, compared with each streamed
/// code point sixteen at a time: no table to set up or clear, and no branch on the script of a
/// code point, which short mixed text would mispredict often.
template <std::size_t Lanes>
class CompareMachine : public OneWordRow {
  public:
    template <class P, class T>
    CompareMachine(std::span<const P> pattern, std::span<const T>) noexcept
        : size_(pattern.size()) {
        // No code point is all ones: free positions never match.
        points_.fill(~std::uint32_t{0});
        std::copy(pattern.begin(), pattern.end(), points_.begin());
    }

    template <class T>
    void feed(const T* text, std::size_t count) noexcept {
        std::uint64_t bits = bits_;
        std::uint64_t lcs = lcs_;
        for (std::size_t done = 0; done < count && lcs < size_; ++done) {
            std::uint64_t mask = 0;
            for (std::size_t lane = 0; lane < Lanes; ++lane)
                mask |= std::uint64_t{equal_point_mask(points_.data() + 16 * lane, text[done])}
                        << (16 * lane);
            lcs += advance_alone(bits, mask);
        }
        bits_ = bits;
        lcs_ = lcs;
    }

  private:
    alignas(16) std::array<std::uint32_t, 16 * Lanes> points_;
    std::size_t size_;
};

/// Rows of pattern positions, one per distinct code point, numbered from 1 by the index; row 0
/// has no positions, for code points the pattern lacks. A row is `words` words of positions and
/// then their complement.
template <class P>
struct DenseRows {
    template <class T>
    DenseRows(std::span<const P> pattern, std::span<const T> text, std::size_t words)
        : index(pattern, text) {
        const std::size_t stride = 2 * words;
        if constexpr (sizeof(P) == 1) {
            // Each byte's row compared out of the pattern on vectors: a few instructions a word,
            // where setting bits one by one makes each wait for the last store to its word.
            if (cpu::has(cpu::k_avx512_rows)) {
                std::array<std::uint8_t, 256> bytes;
                const std::size_t distinct = detail::number_bytes_avx512(
                    pattern.data(), pattern.size(), index.low_entries(), bytes.data());
                rows.resize((distinct + 1) * stride);
                detail::byte_rows_avx512(pattern.data(), pattern.size(), words, bytes.data(),
                                         distinct, rows.data());
                return;
            }
            if (cpu::has(cpu::k_avx2_paths)) {
                std::array<std::uint8_t, 256> bytes;
                const std::size_t distinct = detail::number_bytes(
                    pattern.data(), pattern.size(), index.low_entries(), bytes.data());
                rows.resize((distinct + 1) * stride);
                detail::byte_rows_avx2(pattern.data(), pattern.size(), words, bytes.data(),
                                       distinct, rows.data());
                return;
            }
        }
        std::uint32_t distinct = 0;
        for (const P point : pattern) {
            // Without a branch: whether a code point is new is as good as random.
            std::uint32_t& id = index.entry(point);
            const bool fresh = id == 0;
            distinct += fresh;
            id = fresh ? distinct : id;
        }
        rows.assign((distinct + std::size_t{1}) * stride, 0);
        for (std::size_t k = 0; k < pattern.size(); ++k)
            rows[index.entry(pattern[k]) * stride + k / k_word_bits] |= bit_at(k);
        for (std::size_t at = 0; at < rows.size(); at += stride)
            for (std::size_t word = 0; word < words; ++word)
                rows[at + words + word] = ~rows[at + word];
    }

    PointIndex<std::uint32_t, P> index;
    std::vector<std::uint64_t> rows;
};

/// Updates `Count` (1 to 4) consecutive words for one code point, whose positions there are
/// `mask` and the others `unmatched`. The sums start as the matched bits and take the row as
/// the addend, so the row outlives the carry chain and the kept bits come from it afterwards
/// with one load-and: only the sums are live across the chain, and the row never leaves its
/// registers.
template <std::size_t Count>
[[gnu::always_inline]] inline void advance_run_kept(std::uint64_t* bits, const std::uint64_t* mask,
                                                    const std::uint64_t* unmatched,
                                                    std::uint64_t& carry) noexcept {
    std::array<std::uint64_t, Count> sum;
    for (std::size_t k = 0; k < Count; ++k)
        sum[k] = bits[k] & mask[k];
    for (std::size_t k = 0; k < Count; ++k)
        sum[k] = add_with_carry(sum[k], bits[k], carry, carry);
    for (std::size_t k = 0; k < Count; ++k)
        bits[k] = (bits[k] & unmatched[k]) | sum[k];
}

/// A pattern of 2 to 8 words, whose row lives in registers while text streams past.
template <class P, std::size_t Words>
class RegisterMachine {
  public:
    template <class T>
    RegisterMachine(std::span<const P> pattern, std::span<const T> text)
        : pattern_(pattern), rows_(pattern, text, Words) {
        bits_.fill(k_all_ones);
    }

    // Out of line, so that the loop has every register to itself.
    template <class T>
    [[gnu::noinline]] void feed(const T* text, std::size_t count) noexcept {
        // In locals: loads of text may alias anything, so members would be stored back often.
        std::array<std::uint64_t, Words> bits = bits_;
        const std::uint64_t* rows = rows_.rows.data();
        // The LCS is counted from the row between runs, so no register holds it in the loop.
        std::uint64_t lcs = lcs_;
        for (const T *next = text, *end = text + count; next != end && lcs < pattern_.size();) {
            const T* run_end = end - next > std::ptrdiff_t{k_run} ? next + k_run : end;
            const auto step = [&](const std::uint64_t* mask) {
                std::uint64_t carry = 0;
                [&]<std::size_t... Run>(std::index_sequence<Run...>) {
                    (advance_run_kept<std::min<std::size_t>(4, Words - 4 * Run)>(
                         bits.data() + 4 * Run, mask + 4 * Run, mask + Words + 4 * Run, carry),
                     ...);
                }(std::make_index_sequence<(Words + 3) / 4>());
            };
            const auto row_of = [&](const T* at) {
                std::uint32_t id;
                if constexpr (sizeof(T) == 1)
                    id = rows_.index.find_low(*at);
                else
                    id = rows_.index.find(*at);
                return rows + std::size_t{id} * (2 * Words);
            };
            // Two code points' rows are found before either updates the row, so the second
            // lookup's loads overlap the first update rather than wait behind it.
            for (; run_end - next >= 2; next += 2) {
                const std::uint64_t* first = row_of(next);
                const std::uint64_t* second = row_of(next + 1);
                step(first);
                step(second);
            }
            for (; next != run_end; ++next)
                step(row_of(next));
            lcs = corvane::zeros_below(bits.data(), Words * k_word_bits);
        }
        bits_ = bits;
        lcs_ = lcs;
    }

    std::uint64_t lcs() const noexcept { return lcs_; }
    std::uint64_t zeros_below(std::size_t count) const noexcept {
        return corvane::zeros_below(bits_.data(), count);
    }

  private:
    std::span<const P> pattern_;
    DenseRows<P> rows_;
    std::array<std::uint64_t, Words> bits_;
    std::uint64_t lcs_ = 0;
};

} // namespace corvane
