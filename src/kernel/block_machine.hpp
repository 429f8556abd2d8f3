// The machine of long patterns: dense rows for frequent code points, sparse ones for the rest.
#pragma once

#include "cpu.hpp"
#include "kernel/machines.hpp"
#include "kernel/plan.hpp"
#include "kernel/row.hpp"
#include "kernel/row_avx2.hpp"
#include "kernel/vector.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace corvane {

/// One word of the positions of a rare code point: its index and its bits.
struct SparseWord {
    std::size_t word;
    std::uint64_t mask;
};

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
          bits_(words_, k_all_ones), update_(plan::choose_row_update(words_, cpu::enabled())) {
        plan::count(update_);
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
    using Update = plan::RowUpdate;

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
        const bool paired = words_ < plan::k_pair_rows_below_words;
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

} // namespace corvane
