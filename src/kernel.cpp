// The bit-parallel prefix similarity kernel: 64 pattern positions per machine word.
#include "kernel.hpp"

#include "cpu.hpp"

#include "kernel_compare_avx2.hpp"
#include "kernel_pattern.hpp"
#include "kernel_row.hpp"
#include "kernel_row_avx2.hpp"
#include "kernel_vector.hpp"
#include "similarity.hpp"
#include "text_avx2.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <numeric>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#if CORVANE_X86_SSE2
#include <emmintrin.h>
#endif

namespace corvane {
namespace {

using detail::add_with_carry;
using detail::advance_word;
using detail::k_all_ones;
using detail::PointIndex;

constexpr std::size_t k_word_bits = 64;

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
std::uint64_t zeros_below(const std::uint64_t* words, std::size_t count) noexcept {
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
constexpr std::size_t k_run = 256;

/// A pattern of 1 to 64 code points: one word, positions looked up per code point.
template <class P>
class WordMachine {
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

    std::uint64_t lcs() const noexcept { return lcs_; }
    std::uint64_t zeros_below(std::size_t count) const noexcept {
        return corvane::zeros_below(&bits_, count);
    }

  private:
    std::span<const P> pattern_;
    PointIndex<std::uint64_t, P> index_;
    std::uint64_t bits_ = k_all_ones;
    std::uint64_t lcs_ = 0;
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
class CompareMachine {
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

    std::uint64_t lcs() const noexcept { return lcs_; }
    std::uint64_t zeros_below(std::size_t count) const noexcept {
        return corvane::zeros_below(&bits_, count);
    }

  private:
    alignas(16) std::array<std::uint32_t, 16 * Lanes> points_;
    std::size_t size_;
    std::uint64_t bits_ = k_all_ones;
    std::uint64_t lcs_ = 0;
};

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

/// One word of the positions of a rare code point: its index and its bits.
struct SparseWord {
    std::size_t word;
    std::uint64_t mask;
};

/// Rows from this many words take the vector updates one code point at a time.
constexpr std::size_t k_vector_pair_below_words = 64;

/// Rows from this many words take the 256-bit update: measured on rows of 8 to 40 words by the
/// scratch timing of the 256-bit update against the grouped scalar pair, even at 16 words and
/// clearly ahead from 20.
constexpr std::size_t k_avx2_row_min_words = 20;

/// A long pattern. Code points frequent enough get a row of all the words; the others keep only
/// the words where they occur, so memory stays proportional to the pattern even for large
/// alphabets. Rows are whole groups of four words; the positions past the pattern never match.
template <class P>
class BlockMachine {
  public:
    static constexpr std::size_t k_group_words = 4;

    template <class T>
    BlockMachine(std::span<const P> pattern, std::span<const T> text)
        : pattern_(pattern), index_(pattern, text),
          words_((pattern.size() + k_group_words * k_word_bits - 1) /
                 (k_group_words * k_word_bits) * k_group_words),
          bits_(words_, k_all_ones), update_(row_update_for(words_)) {
        // Numbers the distinct code points from 1 and counts them.
        std::vector<std::uint32_t> counts(1, 0);
        for (const P point : pattern) {
            std::uint32_t& id = index_.entry(point);
            if (id == 0) {
                id = static_cast<std::uint32_t>(counts.size());
                counts.push_back(0);
            }
            ++counts[id];
        }
        // All rows dense while that costs at most eight words per pattern code point; beyond,
        // a code point gets a dense row when it occurs in about an eighth of the words.
        const std::size_t distinct = counts.size() - 1;
        const bool all_dense = distinct * words_ <= 8 * pattern.size();
        places_.resize(counts.size());
        std::size_t dense = 0;
        std::size_t sparse = 0;
        for (std::size_t id = 1; id < counts.size(); ++id) {
            Place& place = places_[id];
            place.dense = all_dense || counts[id] * 8 >= words_;
            if (place.dense) {
                place.begin = dense++;
            } else {
                place.begin = sparse;
                place.end = sparse;
                sparse += counts[id];
            }
        }
        counts = {};
        rows_.assign(dense * words_, 0);
        sparse_.resize(sparse);
        for (std::size_t k = 0; k < pattern.size(); ++k) {
            Place& place = places_[index_.entry(pattern[k])];
            const std::size_t word = k / k_word_bits;
            if (place.dense) {
                rows_[place.begin * words_ + word] |= bit_at(k);
            } else if (place.end != place.begin && sparse_[place.end - 1].word == word) {
                sparse_[place.end - 1].mask |= bit_at(k);
            } else {
                sparse_[place.end++] = {word, bit_at(k)};
            }
        }
    }

    template <class T>
    void feed(const T* text, std::size_t count) noexcept {
        for (std::size_t done = 0; done < count && lcs_ < pattern_.size();) {
            const std::size_t end = std::min(count, done + k_run);
            for (; done < end; ++done) {
                std::uint32_t id;
                if constexpr (sizeof(T) == 1)
                    id = index_.find_low(text[done]);
                else
                    id = index_.find(text[done]);
                if (id == 0) continue;
                const Place& place = places_[id];
                if (place.dense) {
                    const std::uint64_t* mask = rows_.data() + place.begin * words_;
                    if (held_ == nullptr) {
                        held_ = mask;
                    } else {
                        step_pair(held_, mask);
                        held_ = nullptr;
                    }
                } else {
                    release();
                    step_sparse({sparse_.data() + place.begin, place.end - place.begin});
                }
            }
            release();
        }
    }

    std::uint64_t lcs() const noexcept { return lcs_; }
    std::uint64_t zeros_below(std::size_t count) const noexcept {
        return corvane::zeros_below(bits_.data(), count);
    }

  private:
    // How dense rows are updated: the vector updates pay from a few chunks of words on.
    enum class Update { scalar, avx2, avx512 };

    static Update row_update_for(std::size_t words) noexcept {
        if (words >= detail::k_vector_row_min_words && cpu::has(cpu::k_avx512_rows))
            return Update::avx512;
        if (words >= k_avx2_row_min_words && cpu::has(cpu::k_avx2_paths)) return Update::avx2;
        return Update::scalar;
    }

    struct Place {
        bool dense = false;
        std::size_t begin = 0;
        std::size_t end = 0;
    };

    void release() noexcept {
        if (held_ != nullptr) step_one(held_);
        held_ = nullptr;
    }

    // Out of line, so that the loop has every register to itself.
    [[gnu::noinline]] void step_one(const std::uint64_t* mask) noexcept {
        if (update_ == Update::avx512) {
            lcs_ += detail::advance_row_avx512(bits_.data(), mask, words_);
            return;
        }
        if (update_ == Update::avx2) {
            lcs_ += detail::advance_row_avx2(bits_.data(), mask, words_);
            return;
        }
        lcs_ += detail::advance_row_grouped(bits_.data(), mask, words_);
    }

    // Two code points in one pass: the second one's update of a group follows the first one's
    // directly, and the two carry chains run side by side.
    [[gnu::noinline]] void step_pair(const std::uint64_t* first,
                                     const std::uint64_t* second) noexcept {
        // One pass for both pays on rows of up to a few chunks; on longer ones each chunk's wait
        // for the previous code point is hidden anyway.
        const bool paired = words_ < k_vector_pair_below_words;
        if (update_ == Update::avx512) {
            if (paired) {
                lcs_ += detail::advance_row_avx512_pair(bits_.data(), first, second, words_);
            } else {
                lcs_ += detail::advance_row_avx512(bits_.data(), first, words_);
                lcs_ += detail::advance_row_avx512(bits_.data(), second, words_);
            }
            return;
        }
        if (update_ == Update::avx2) {
            if (paired) {
                lcs_ += detail::advance_row_avx2_pair(bits_.data(), first, second, words_);
            } else {
                lcs_ += detail::advance_row_avx2(bits_.data(), first, words_);
                lcs_ += detail::advance_row_avx2(bits_.data(), second, words_);
            }
            return;
        }
        lcs_ += detail::advance_row_grouped_pair(bits_.data(), first, second, words_);
    }

    // Words without positions change only when a carry reaches them: it sets their lowest zero
    // bit and passes on only through a word of ones.
    void step_sparse(std::span<const SparseWord> words) noexcept {
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

    std::span<const P> pattern_;
    PointIndex<std::uint32_t, P> index_;
    std::size_t words_;
    std::vector<Place> places_;
    std::vector<std::uint64_t> rows_;
    std::vector<SparseWord> sparse_;
    std::vector<std::uint64_t> bits_;
    std::uint64_t lcs_ = 0;
    const std::uint64_t* held_ = nullptr;
    Update update_;
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

// Up to this many streamed code points, a pattern beyond Latin-1 is compared rather than indexed.
constexpr std::size_t k_compare_up_to = 256;

// From this many code points on, a pattern of bytes is compared on vectors rather than indexed.
constexpr std::size_t k_compare_from_bytes = 16;

// From this much text on, a pattern of one word is fed the text from both ends at once: the two
// rows' updates overlap, which pays for combining them at the end. Measured on the 512-bit rows
// of bytes (even at 24 code points) and on the 256-bit rows of 1- and 2-byte code points (ahead
// from 24 and 28) by the scratch timing of both ways against one row.
constexpr std::size_t k_both_ways_from = 28;

// Above this many code points, a 4-byte pattern of mostly ASCII is narrowed to bytes for
// comparing: it takes a quarter of the vectors, which pays for narrowing the text.
constexpr std::size_t k_narrow_from = 64;

/// Calls `visit` with the machine for `pattern`, chosen by its number of words and, for one word,
/// by its script and the length of the `text` it will see.
template <class P, class T, class Visit>
void with_machine(std::span<const P> pattern, std::span<const T> text, Visit&& visit) {
    if constexpr (sizeof(P) == 4) {
        // Beyond one word, a 4-byte pattern of mostly ASCII is narrowed to bytes, and so is the
        // text streamed past it.
        const bool avx512 = cpu::has(cpu::k_avx512_rows);
        if (pattern.size() > k_narrow_from && (avx512 || cpu::has(cpu::k_avx2_paths))) {
            if (pattern.size() <= detail::k_compared_up_to<P> && text.size() <= k_compare_up_to) {
                std::array<std::uint8_t, detail::k_compared_up_to<P>> narrowed;
                std::array<std::uint32_t, detail::k_most_renumbered> renumbered;
                if (const std::size_t count =
                        narrow_pattern(pattern, narrowed.data(), renumbered.data());
                    count != k_too_many_renumbered) {
                    const std::span<const std::uint8_t> points(narrowed.data(), pattern.size());
                    const std::span<const std::uint32_t> wide(renumbered.data(), count);
                    const auto compared = [&]<Compare Width>() {
                        switch ((pattern.size() + k_word_bits - 1) / k_word_bits) {
                        case 2:
                            return visit(NarrowedCompareMachine<2, Width>(points, wide));
                        case 3:
                            return visit(NarrowedCompareMachine<3, Width>(points, wide));
                        default:
                            return visit(NarrowedCompareMachine<4, Width>(points, wide));
                        }
                    };
                    if (avx512) return compared.template operator()<Compare::avx512>();
                    return compared.template operator()<Compare::avx2>();
                }
            } else if (pattern.size() > detail::k_compared_up_to<P>) {
                std::vector<std::uint8_t> narrowed(pattern.size());
                std::array<std::uint32_t, detail::k_most_renumbered> renumbered;
                if (const std::size_t count =
                        narrow_pattern(pattern, narrowed.data(), renumbered.data());
                    count != k_too_many_renumbered) {
                    const auto narrowed_for = [&]<class Inner>() {
                        if (avx512)
                            return visit(NarrowedMachine<Inner, Compare::avx512>(
                                std::move(narrowed), renumbered, count));
                        return visit(NarrowedMachine<Inner, Compare::avx2>(std::move(narrowed),
                                                                           renumbered, count));
                    };
                    switch ((pattern.size() + k_word_bits - 1) / k_word_bits) {
                    case 5:
                        return narrowed_for.template operator()<RegisterMachine<std::uint8_t, 5>>();
                    case 6:
                        return narrowed_for.template operator()<RegisterMachine<std::uint8_t, 6>>();
                    case 7:
                        return narrowed_for.template operator()<RegisterMachine<std::uint8_t, 7>>();
                    case 8:
                        return narrowed_for.template operator()<RegisterMachine<std::uint8_t, 8>>();
                    default:
                        return narrowed_for.template operator()<BlockMachine<std::uint8_t>>();
                    }
                }
            }
        }
    }
    // 1- and 2-byte patterns are compared against text of any length, 4-byte ones (a quarter of
    // the code points a vector) against short text only. The first comparison waits for a vector
    // load, a broadcast and a mask move; below a few bytes' worth of pattern, filling a table is
    // done sooner.
    if (pattern.size() <= detail::k_compared_up_to<P> &&
        (sizeof(P) > 1 || pattern.size() >= k_compare_from_bytes) &&
        (sizeof(P) <= 2 || text.size() <= k_compare_up_to)) {
        const auto compared = [&]<Compare Width>() {
            switch ((pattern.size() + k_word_bits - 1) / k_word_bits) {
            case 1:
                return visit(VectorCompareMachine<P, 1, Width>(pattern, text));
            case 2:
                return visit(VectorCompareMachine<P, 2, Width>(pattern, text));
            case 3:
                return visit(VectorCompareMachine<P, 3, Width>(pattern, text));
            case 4:
                return visit(VectorCompareMachine<P, 4, Width>(pattern, text));
            default:
                // Byte patterns of five words: only their compared rows get here.
                return visit(VectorCompareMachine<P, sizeof(P) == 1 ? 5 : 4, Width>(pattern, text));
            }
        };
        if (cpu::has(cpu::k_avx512_rows)) return compared.template operator()<Compare::avx512>();
        if (cpu::has(cpu::k_avx2_paths)) return compared.template operator()<Compare::avx2>();
    }
    // Sixteen comparisons at a time pay only on vectors: in plain C++ a table is sooner.
    if (CORVANE_X86_SSE2 && sizeof(P) > 1 && text.size() <= k_compare_up_to &&
        pattern.size() <= k_word_bits) {
        switch ((pattern.size() + 15) / 16) {
        case 1:
            return visit(CompareMachine<1>(pattern, text));
        case 2:
            return visit(CompareMachine<2>(pattern, text));
        case 3:
            return visit(CompareMachine<3>(pattern, text));
        default:
            return visit(CompareMachine<4>(pattern, text));
        }
    }
    switch ((pattern.size() + k_word_bits - 1) / k_word_bits) {
    case 1:
        return visit(WordMachine<P>(pattern, text));
    case 2:
        return visit(RegisterMachine<P, 2>(pattern, text));
    case 3:
        return visit(RegisterMachine<P, 3>(pattern, text));
    case 4:
        return visit(RegisterMachine<P, 4>(pattern, text));
    case 5:
        return visit(RegisterMachine<P, 5>(pattern, text));
    case 6:
        return visit(RegisterMachine<P, 6>(pattern, text));
    case 7:
        return visit(RegisterMachine<P, 7>(pattern, text));
    case 8:
        return visit(RegisterMachine<P, 8>(pattern, text));
    default:
        return visit(BlockMachine<P>(pattern, text));
    }
}

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

/// The requested lengths and what the formula needs besides the LCS.
struct Request {
    std::span<std::uint64_t> lengths;
    bool ascending;
    std::uint64_t source_bytes;
    std::uint64_t target_points;
};

/// Code points that `a` and `b` start with.
template <class A, class B>
std::size_t shared_prefix(std::span<const A> a, std::span<const B> b) noexcept {
    const std::size_t limit = std::min(a.size(), b.size());
    std::size_t k = 0;
    while (k < limit && a[k] == b[k])
        ++k;
    return k;
}

/// Code points that `a` and `b` end with.
template <class A, class B>
std::size_t shared_suffix(std::span<const A> a, std::span<const B> b) noexcept {
    const std::size_t limit = std::min(a.size(), b.size());
    std::size_t k = 0;
    while (k < limit && a[a.size() - 1 - k] == b[b.size() - 1 - k])
        ++k;
    return k;
}

/// Writes the similarity of every requested length. `target` holds the code points the longest
/// length needs: every length is at most its size or beyond the code points of the whole target.
template <class S, class T>
void answer(std::span<const S> source, std::span<const T> target, const Request& request) {
    const auto write = [&](std::uint64_t& slot, std::uint64_t lcs) {
        slot = similarity_bits(lcs, request.source_bytes, slot);
    };
    // LCS(x + a, x + b) = |x| + LCS(a, b): the shared start needs no computing.
    const std::size_t prefix = shared_prefix(source, target);
    std::span<const S> a = source.subspan(prefix);
    std::span<const T> b = target.subspan(prefix);
    // So does a shared end, when only the whole of target is asked for.
    std::size_t suffix = 0;
    const bool whole_only =
        std::ranges::all_of(
            request.lengths,
            [&](std::uint64_t length) { return length == 0 || length == request.target_points; }) &&
        target.size() == request.target_points;
    if (whole_only) {
        suffix = shared_suffix(a, b);
        a = a.first(a.size() - suffix);
        b = b.first(b.size() - suffix);
    }
    // What a length needs beyond the shared start: 0 for lengths within it, and lengths past
    // the code points of target find the row at 0.
    const auto settle_trivial = [&](std::uint64_t& slot) {
        if (slot == 0) {
            slot = k_one_bits;
            return true;
        }
        if (slot > request.target_points) {
            write(slot, 0);
            return true;
        }
        if (slot <= prefix) {
            write(slot, slot);
            return true;
        }
        return false;
    };
    if (a.empty() || b.empty()) {
        for (std::uint64_t& slot : request.lengths)
            if (!settle_trivial(slot)) write(slot, prefix + suffix);
        return;
    }
    if (a.size() <= b.size()) {
        // The pattern is source; target streams past and each length is read on the way.
        with_machine(a, b, [&](auto machine) {
            std::size_t consumed = 0;
            in_length_order(request.lengths, request.ascending, [&](std::uint64_t& slot) {
                if (settle_trivial(slot)) return;
                const std::size_t needed = std::min<std::uint64_t>(slot - prefix, b.size());
                machine.feed(b.data() + consumed, needed - consumed);
                consumed = needed;
                write(slot, prefix + machine.lcs() + (whole_only ? suffix : 0));
            });
        });
    } else {
        // The pattern is the needed part of target; source streams past once, and the final
        // row holds the LCS with every prefix of the pattern.
        with_machine(b, a, [&](auto machine) {
            machine.feed(a.data(), a.size());
            for (std::uint64_t& slot : request.lengths) {
                if (settle_trivial(slot)) continue;
                const std::size_t within = slot - prefix;
                const std::uint64_t lcs =
                    within >= b.size() ? machine.lcs() : machine.zeros_below(within);
                write(slot, prefix + lcs + (whole_only ? suffix : 0));
            }
        });
    }
}

// The plain C++ path of short wide calls numbers the pattern's distinct code points in a table of
// slots, a code point's slot being its low 12 bits. Text in one script rarely spans more than
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
        // The text's slots read as no code point's; the pattern's as its code points', not yet
        // numbered. Two pattern code points in one slot: the one written last keeps it.
        if (pattern.size() + text.size() > k_slots / 8) {
            slots_.fill(k_absent);
        } else {
            for (const T point : text)
                slots_[point % k_slots] = k_absent;
        }
        for (const P point : pattern)
            slots_[point % k_slots] = tag_of(point);
        std::array<std::uint16_t, Words * k_word_bits> at;
        std::uint32_t distinct = 0;
        for (std::size_t k = 0; k < pattern.size(); ++k) {
            const std::uint32_t point = pattern[k];
            std::uint32_t& slot = slots_[point % k_slots];
            if ((slot & k_tag_mask) != tag_of(point)) [[unlikely]] {
                at[k] = share(point, distinct);
                distinct = std::max<std::uint32_t>(distinct, at[k]);
                continue;
            }
            // Without a branch: whether a code point is new is as good as random.
            const bool fresh = (slot & k_id_mask) == 0;
            distinct += fresh;
            slot |= fresh ? distinct : 0;
            at[k] = static_cast<std::uint16_t>(slot);
        }
        none_ = distinct + 1;
        std::fill_n(rows_.begin(), (std::size_t{distinct} + 2) * Words, 0);
        for (std::size_t k = 0; k < pattern.size(); ++k)
            rows_[at[k] * Words + k / k_word_bits] |= bit_at(k);
    }

    ShortRows(const ShortRows&) = delete;
    ShortRows& operator=(const ShortRows&) = delete;

    /// The row of `point`: its positions, or no positions for a code point the pattern lacks.
    [[gnu::always_inline]] const std::uint64_t* row(std::uint32_t point) const noexcept {
        const std::uint32_t slot = slots_[point % k_slots];
        // The number when the tag is the code point's, and otherwise beyond every number: a
        // minimum picks the empty row after them, where a test would be a branch that text
        // mixing matched and unmatched code points mispredicts.
        std::size_t id = std::min(slot ^ tag_of(point), none_);
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

    /// The number of `point`, whose slot holds another code point of the pattern, when
    /// `distinct` are numbered.
    [[gnu::noinline]] std::uint16_t share(std::uint32_t point, std::uint32_t distinct) noexcept {
        std::uint32_t& slot = slots_[point % k_slots];
        if (slot != k_shared) {
            if ((slot & k_id_mask) != 0) {
                shared_points_[shared_] =
                    (slot >> 16 << k_slot_bits) | static_cast<std::uint32_t>(point % k_slots);
                shared_ids_[shared_++] = static_cast<std::uint16_t>(slot);
            }
            slot = k_shared;
        }
        if (const std::uint16_t id = find_shared(point); id != 0) return id;
        shared_points_[shared_] = point;
        shared_ids_[shared_++] = static_cast<std::uint16_t>(distinct + 1);
        return static_cast<std::uint16_t>(distinct + 1);
    }

    [[gnu::noinline]] std::uint16_t find_shared(std::uint32_t point) const noexcept {
        for (std::size_t k = 0; k < shared_; ++k)
            if (shared_points_[k] == point) return shared_ids_[k];
        return 0;
    }

    std::array<std::uint32_t, k_slots> slots_;
    // Row 0 and the row after the last code point's, `none_`, have no positions.
    std::array<std::uint64_t, (Words * k_word_bits + 2) * Words> rows_;
    std::uint32_t none_;
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

/// The LCS of a pattern of at most `Words` words with `text`, in plain C++, one of them wide.
template <std::size_t Words, class P, class T>
std::uint64_t short_lcs(std::span<const P> pattern, std::span<const T> text) noexcept {
    const ShortRows<Words> rows(pattern, text);
    std::array<std::uint64_t, Words> bits;
    bits.fill(k_all_ones);
    // The LCS is counted from the row once at the end, or between runs of long text, which stop
    // once every pattern position is matched.
    for (std::size_t done = 0; done < text.size();) {
        const std::size_t end = std::min(text.size(), done + k_run);
        for (; done < end; ++done)
            advance_words<Words>(bits, rows.row(text[done]));
        if (done < text.size() &&
            corvane::zeros_below(bits.data(), Words * k_word_bits) == pattern.size())
            break;
    }
    return corvane::zeros_below(bits.data(), Words * k_word_bits);
}

/// The LCS of a pattern of 1 to 256 code points with `text`, one of them wide, in plain C++. Out
/// of line: its tables would otherwise enlarge the frame of every short call, vector paths too.
template <class P, class T>
[[gnu::noinline]] std::uint64_t short_lcs_any(std::span<const P> pattern,
                                              std::span<const T> text) noexcept {
    switch ((pattern.size() + k_word_bits - 1) / k_word_bits) {
    case 1:
        return short_lcs<1>(pattern, text);
    case 2:
        return short_lcs<2>(pattern, text);
    case 3:
        return short_lcs<3>(pattern, text);
    default:
        return short_lcs<4>(pattern, text);
    }
}

/// The most common call, one length with the shorter side at most 256 code points, computed
/// without the general path's machinery (its choice of machine and its order of lengths). With
/// one length both texts are whole, so their shared start and shared end both count without
/// computing, and the LCS is the same whichever is the pattern. Rewrites `slot` and returns true,
/// or returns false, touching nothing, when the call is not of that shape or no path here beats
/// the general one on this CPU. `slot` must be at least 1 and at most target's code points.
template <class S, class T>
bool answer_small(std::span<const S> source, std::span<const T> target, std::uint64_t source_bytes,
                  std::uint64_t& slot) {
    std::span<const S> a = source;
    std::span<const T> b = target.first(static_cast<std::size_t>(slot));
    const std::size_t prefix = shared_prefix(a, b);
    a = a.subspan(prefix);
    b = b.subspan(prefix);
    const std::size_t suffix = shared_suffix(a, b);
    a = a.first(a.size() - suffix);
    b = b.first(b.size() - suffix);
    const auto with = [&](auto pattern, auto text) {
        using P = typename decltype(pattern)::value_type;
        std::uint64_t lcs = prefix + suffix;
        if (pattern.empty()) {
            slot = similarity_bits(lcs, source_bytes, slot);
            return true;
        }
        // Here even the shortest byte pattern is compared on vectors: between two calls from
        // the interpreter there is no other work to hide a table's stores and reloads behind.
        const bool avx512 = cpu::has(cpu::k_avx512_rows);
        const bool avx2 = cpu::has(cpu::k_avx2_paths);
        if constexpr (sizeof(P) == 1 && sizeof(typename decltype(text)::value_type) == 1) {
            if (pattern.size() <= k_word_bits && !avx512 && !avx2) {
                // Without vectors, a table on the stack: only the entries this call reads are
                // cleared, unless that is more than the whole.
                std::array<std::uint64_t, 256> positions;
                if (pattern.size() + text.size() >= positions.size()) {
                    positions.fill(0);
                } else {
                    for (const std::uint8_t point : text)
                        positions[point] = 0;
                    for (const std::uint8_t point : pattern)
                        positions[point] = 0;
                }
                for (std::size_t k = 0; k < pattern.size(); ++k)
                    positions[pattern[k]] |= bit_at(k);
                std::uint64_t bits = k_all_ones;
                for (const std::uint8_t point : text)
                    lcs += advance_alone(bits, positions[point]);
                slot = similarity_bits(lcs, source_bytes, slot);
                return true;
            }
        }
        if (!(avx512 || avx2)) {
            // Longer byte patterns keep the register rows of the general path. Up to two lanes,
            // comparing wide code points sixteen at a time on SSE2 is sooner than setting up rows.
            constexpr bool bytes =
                sizeof(P) == 1 && sizeof(typename decltype(text)::value_type) == 1;
            if (bytes || (CORVANE_X86_SSE2 && sizeof(P) > 1 && pattern.size() <= 32 &&
                          text.size() <= k_compare_up_to))
                return false;
            // Without vectors, rows of up to four words on the stack.
            if (pattern.size() > 4 * k_word_bits) return false;
            lcs += short_lcs_any(pattern, text);
            slot = similarity_bits(lcs, source_bytes, slot);
            return true;
        }
        if (pattern.size() > detail::k_compared_up_to<P>) return false;
        if constexpr (sizeof(P) == 4) {
            // 4-byte patterns are compared only against short text, and beyond one word they
            // are narrowed to bytes where they can be.
            if (text.size() > k_compare_up_to) return false;
            if (pattern.size() > k_narrow_from) {
                std::array<std::uint8_t, detail::k_compared_up_to<P>> narrowed;
                std::array<std::uint32_t, detail::k_most_renumbered> renumbered;
                const std::size_t count =
                    narrow_pattern(pattern, narrowed.data(), renumbered.data());
                if (count == k_too_many_renumbered) return false;
                std::array<std::uint64_t, detail::k_compared_up_to<P> / k_word_bits> bits;
                bits.fill(k_all_ones);
                const std::span<const std::uint8_t> points(narrowed.data(), pattern.size());
                const std::span<const std::uint32_t> wide(renumbered.data(), count);
                lcs += avx512 ? feed_narrowed<Compare::avx512>(points, wide, text.data(),
                                                               text.size(), bits.data(), 0)
                              : feed_narrowed<Compare::avx2>(points, wide, text.data(), text.size(),
                                                             bits.data(), 0);
                slot = similarity_bits(lcs, source_bytes, slot);
                return true;
            }
        }
        if constexpr (sizeof(P) == 4) {
            std::uint64_t found;
            if (pattern.size() > 16 && pattern.size() <= k_word_bits &&
                text.size() >= k_both_ways_from && cpu::has(cpu::k_avx512_both_ways) &&
                detail::lcs_halves_both_ways_avx512(pattern.data(), pattern.size(), text.data(),
                                                    text.size(), found)) {
                slot = similarity_bits(lcs + found, source_bytes, slot);
                return true;
            }
        }
        if constexpr (sizeof(P) == 1) {
            if (pattern.size() <= k_word_bits && text.size() >= k_both_ways_from &&
                cpu::has(cpu::k_avx512_both_ways)) {
                lcs += detail::lcs_both_ways_avx512(pattern.data(), pattern.size(), text.data(),
                                                    text.size());
                slot = similarity_bits(lcs, source_bytes, slot);
                return true;
            }
        }
        // Without the 512-bit rows, 1- and 2-byte patterns of one word are fed from both ends on
        // 256-bit vectors. 4-byte patterns are not: their two rows take twice the comparisons of
        // one, which costs more than the rows' overlap saves beyond 40 code points.
        if constexpr (sizeof(P) <= 2) {
            if (pattern.size() <= k_word_bits && text.size() >= k_both_ways_from && avx2 &&
                (sizeof(P) == 1 ? !cpu::has(cpu::k_avx512_both_ways) : !avx512)) {
                lcs += detail::lcs_both_ways_avx2(pattern.data(), pattern.size(), text.data(),
                                                  text.size());
                slot = similarity_bits(lcs, source_bytes, slot);
                return true;
            }
        }
        // A fresh row that nothing reads afterwards: no words to fill before or keep after.
        if (avx512)
            lcs += detail::feed_compared_avx512(pattern.data(), pattern.size(), text.data(),
                                                text.size(), nullptr, 0);
        else
            lcs += detail::feed_compared_avx2(pattern.data(), pattern.size(), text.data(),
                                              text.size(), nullptr, 0);
        slot = similarity_bits(lcs, source_bytes, slot);
        return true;
    };
    if constexpr (std::is_same_v<S, T>) {
        // One instance either way round, its spans chosen without a branch: one on which is the
        // shorter text is mispredicted whenever that changes from call to call.
        const bool swap = b.size() < a.size();
        return with(swap ? b : a, swap ? a : b);
    } else {
        return a.size() <= b.size() ? with(a, b) : with(b, a);
    }
}

} // namespace

void prefix_similarities(const TextView& source, const TextView& target,
                         std::span<std::uint64_t> lengths) {
    std::uint64_t longest = 0;
    std::uint64_t previous = 0;
    bool ascending = true;
    for (const std::uint64_t length : lengths) {
        longest = std::max(longest, length);
        ascending = ascending && previous <= length;
        previous = length;
    }
    // Lengths up to the code points of target are within its row whatever its UTF-8 length, so
    // target's bytes are needed (and counted, if they were left uncounted) only past them.
    if (longest > target.length || target.utf8_counted) {
        const std::uint64_t entries = row_entries(utf8_bytes_of(target));
        for (const std::uint64_t length : lengths)
            if (length >= entries) [[unlikely]]
                length_out_of_bounds(entries, length);
    }
    if (longest == 0) {
        std::ranges::fill(lengths, k_one_bits);
        return;
    }
    const std::uint64_t source_bytes = utf8_bytes_of(source);
    const Request request{lengths, ascending, source_bytes, target.length};
    const std::size_t reach =
        static_cast<std::size_t>(std::min<std::uint64_t>(longest, target.length));
    const bool small = lengths.size() == 1 && longest <= target.length;
    with_code_points(source, [&](const auto* s) {
        with_code_points(target, [&](const auto* t) {
            const std::span source_points(s, source.length);
            const std::span target_points(t, reach);
            if (small && answer_small(source_points, target_points, source_bytes, lengths[0]))
                return;
            answer(source_points, target_points, request);
        });
    });
}

} // namespace corvane
