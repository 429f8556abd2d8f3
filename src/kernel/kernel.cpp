// The bit-parallel prefix similarity kernel: 64 pattern positions per machine word.
#include "kernel/kernel.hpp"

#include "cpu.hpp"
#include "kernel/answer.hpp"
#include "kernel/compare_avx2.hpp"
#include "kernel/compared.hpp"
#include "kernel/latin1_rows.hpp"
#include "kernel/plan.hpp"
#include "kernel/short_rows.hpp"
#include "kernel/vector.hpp"
#include "panic.hpp"
#include "similarity.hpp"

#include <algorithm>
#include <array>
#include <type_traits>

namespace corvane {
namespace {

using detail::shape_of;
using detail::shared_prefix;
using detail::shared_suffix;

/// Up to this many code points in both texts together, a byte table clears only the entries the
/// call reads, one store each; beyond, it clears the whole table, which the C library does 32 or
/// 64 bytes a store and which leaves no chain of dependent stores and reloads behind (the two cost
/// the same at about 64 letters in all on Zen 3; on Zen 5 the same at 12 letters each, and the
/// whole table is sooner from 16 each: 2.5 ns of 28 timed alone, 3 ns a call in the module).
inline constexpr std::size_t k_clear_entries_up_to = 24;

/// Marks the positions of each byte of `pattern` in `positions`, `Words` words a byte.
template <std::size_t Words>
void add_byte_positions(std::span<const std::uint8_t> pattern,
                        std::array<std::uint64_t, 256 * Words>& positions) noexcept {
    for (std::size_t k = 0; k < pattern.size(); ++k)
        positions[pattern[k] * Words + k / k_word_bits] |= bit_at(k);
}

/// The LCS of a byte pattern of `Words` words with byte `text`, in plain C++: a table on the stack
/// of each byte's positions.
template <std::size_t Words>
std::uint64_t byte_table_lcs(std::span<const std::uint8_t> pattern,
                             std::span<const std::uint8_t> text) noexcept {
    std::array<std::uint64_t, 256 * Words> positions;
    if (Words > 1 || pattern.size() + text.size() > k_clear_entries_up_to) {
        positions.fill(0);
    } else {
        for (const std::uint8_t point : text)
            positions[point] = 0;
        for (const std::uint8_t point : pattern)
            positions[point] = 0;
    }
    if constexpr (Words == 1) {
        // One bit shifted along: no shift by a count, which takes three instructions on x86
        // (letters at 64 code points 5 per cent sooner at the portable level).
        std::uint64_t bit = 1;
        for (const std::uint8_t point : pattern) {
            positions[point] |= bit;
            bit <<= 1;
        }
        std::uint64_t bits = k_all_ones;
        std::uint64_t lcs = 0;
        for (const std::uint8_t point : text)
            lcs += advance_alone(bits, positions[point]);
        return lcs;
    } else {
        add_byte_positions<Words>(pattern, positions);
        return feed_registers<Words>(text, pattern.size(), [&](std::uint8_t point) {
            return positions.data() + point * Words;
        });
    }
}

/// The LCS of a byte pattern of 1 to 384 code points with byte `text`, from a table on the stack.
/// Out of line, as are the other paths' tables: they would enlarge the frame of every short call.
[[gnu::noinline]] std::uint64_t byte_table_lcs_any(std::span<const std::uint8_t> pattern,
                                                   std::span<const std::uint8_t> text) noexcept {
    return with_words(pattern.size(), [&](auto words) {
        return byte_table_lcs<decltype(words)::value>(pattern, text);
    });
}

/// The LCS of a 4-byte `pattern` of mostly ASCII with `text`, both narrowed to bytes and compared
/// on the vectors of `Width`, into `lcs`; false, touching nothing, when it does not narrow.
template <Compare Width, class T>
[[gnu::noinline]] bool narrowed_lcs(std::span<const std::uint32_t> pattern, std::span<const T> text,
                                    std::uint64_t& lcs) noexcept {
    constexpr std::size_t k_most = detail::k_compared_up_to<std::uint32_t>;
    std::array<std::uint8_t, k_most> narrowed;
    std::array<std::uint32_t, detail::k_most_renumbered> renumbered;
    const std::size_t count = narrow_pattern(pattern, narrowed.data(), renumbered.data());
    if (count == k_too_many_renumbered) return false;
    std::array<std::uint64_t, k_most / k_word_bits> bits;
    bits.fill(k_all_ones);
    lcs = feed_narrowed<Width>(std::span<const std::uint8_t>(narrowed.data(), pattern.size()),
                               std::span<const std::uint32_t>(renumbered.data(), count),
                               text.data(), text.size(), bits.data(), 0);
    return true;
}

/// The LCS of a 4-byte `pattern` of mostly ASCII with `text` of at most `plan::k_compare_up_to`
/// code points, both narrowed to bytes (the text on 256-bit vectors when `Vectors`) and the text
/// looked up in a byte table of the pattern, into `lcs`; false, touching nothing, when the pattern
/// does not narrow.
template <bool Vectors, class T>
[[gnu::noinline]] bool narrowed_table_lcs(std::span<const std::uint32_t> pattern,
                                          std::span<const T> text, std::uint64_t& lcs) noexcept {
    std::array<std::uint8_t, plan::k_compare_up_to> narrowed_text;
    // The plan never sends longer text here; declining keeps the buffer safe if that changes.
    if (text.size() > narrowed_text.size()) return false;
    constexpr std::size_t k_most = detail::k_compared_up_to<std::uint32_t>;
    std::array<std::uint8_t, k_most> narrowed;
    std::array<std::uint32_t, detail::k_most_renumbered> renumbered;
    const std::size_t count = narrow_pattern(pattern, narrowed.data(), renumbered.data());
    if (count == k_too_many_renumbered) return false;
    const std::span<const std::uint32_t> others(renumbered.data(), count);
    if constexpr (Vectors)
        narrow_text<Compare::avx2>(text.data(), text.size(), others, narrowed_text.data());
    else
        detail::narrow_text_plain(text.data(), text.size(), others, narrowed_text.data());
    lcs = byte_table_lcs_any(std::span<const std::uint8_t>(narrowed.data(), pattern.size()),
                             std::span<const std::uint8_t>(narrowed_text.data(), text.size()));
    return true;
}

/// The LCS of `pattern` with `text` on the short path `path`, which never declines: its fallback
/// runs instead. Every short path takes any pair of widths; a path chosen only for some widths
/// is never reached with the others.
template <class P, class T>
[[gnu::always_inline]] inline std::uint64_t
short_lcs_on(plan::Path path, std::span<const P> pattern, std::span<const T> text,
             const plan::Shape& shape, cpu::Features features) {
    using plan::Path;
    std::uint64_t found = 0;
    // A loop rather than a call for a declined path, so that all of it inlines into the call.
    for (;;) {
        switch (path) {
        case Path::short_byte_table:
            if constexpr (sizeof(P) == 1 && sizeof(T) == 1) {
                plan::count(path);
                return byte_table_lcs_any(pattern, text);
            }
            break;
        case Path::short_latin1_rows:
            if constexpr (sizeof(P) > 1 || sizeof(T) > 1) {
                if (short_latin1_lcs(pattern, text, found)) {
                    plan::count(path);
                    return found;
                }
            }
            path = plan::fallback(path, shape, features);
            continue;
        case Path::short_wide_rows:
            if constexpr (sizeof(P) > 1 || sizeof(T) > 1) {
                plan::count(path);
                return short_lcs_any(pattern, text);
            }
            break;
        case Path::short_narrowed_avx512:
        case Path::short_narrowed_avx2:
            if constexpr (sizeof(P) == 4) {
                const bool narrowed = path == Path::short_narrowed_avx512
                                          ? narrowed_lcs<Compare::avx512>(pattern, text, found)
                                          : narrowed_lcs<Compare::avx2>(pattern, text, found);
                if (narrowed) {
                    plan::count(path);
                    return found;
                }
            }
            path = plan::fallback(path, shape, features);
            continue;
        case Path::short_narrowed_table:
        case Path::short_narrowed_plain:
            if constexpr (sizeof(P) == 4) {
                const bool narrowed = path == Path::short_narrowed_table
                                          ? narrowed_table_lcs<true>(pattern, text, found)
                                          : narrowed_table_lcs<false>(pattern, text, found);
                if (narrowed) {
                    plan::count(path);
                    return found;
                }
            }
            path = plan::fallback(path, shape, features);
            continue;
        case Path::short_halves_both_ways:
            if constexpr (sizeof(P) == 4) {
                if (detail::lcs_halves_both_ways_avx512(pattern.data(), pattern.size(), text.data(),
                                                        text.size(), found)) {
                    plan::count(path);
                    return found;
                }
            }
            path = plan::fallback(path, shape, features);
            continue;
        case Path::short_both_ways_avx512:
            if constexpr (sizeof(P) == 1) {
                plan::count(path);
                return detail::lcs_both_ways_avx512(pattern.data(), pattern.size(), text.data(),
                                                    text.size());
            }
            break;
        case Path::short_both_ways_avx2:
            plan::count(path);
            return detail::lcs_both_ways_avx2(pattern.data(), pattern.size(), text.data(),
                                              text.size());
        case Path::short_compared_avx512:
            // A fresh row that nothing reads afterwards: no words to fill before or keep after.
            plan::count(path);
            return detail::feed_compared_avx512(pattern.data(), pattern.size(), text.data(),
                                                text.size(), nullptr, 0);
        case Path::short_compared_avx2:
            plan::count(path);
            return detail::feed_compared_avx2(pattern.data(), pattern.size(), text.data(),
                                              text.size(), nullptr, 0);
        default:
            break;
        }
        break;
    }
    panic_static("the plan chose a short path for code points it does not take");
}

/// The most common call, one length with the shorter side a few hundred code points at most,
/// computed without the general path's machinery (its choice of machine and its order of lengths).
/// With one length both texts are whole, so their shared start and shared end both count without
/// computing (where the plan cuts them off), and the LCS is the same whichever is the pattern.
/// Rewrites `slot` and returns true, or returns false, touching nothing, when the plan leaves the
/// call to a machine. `slot` must be at least 1 and at most target's code points.
template <class S, class T>
[[gnu::always_inline]] inline bool answer_small(std::span<const S> source,
                                                std::span<const T> target,
                                                std::uint64_t source_bytes, std::uint64_t& slot) {
    std::span<const S> a = source;
    std::span<const T> b = target.first(static_cast<std::size_t>(slot));
    const cpu::Features features = cpu::enabled();
    std::size_t prefix = 0;
    std::size_t suffix = 0;
    if (plan::cuts_shared_ends(std::min(a.size(), b.size()), features)) {
        prefix = shared_prefix(a, b);
        a = a.subspan(prefix);
        b = b.subspan(prefix);
        suffix = shared_suffix(a, b);
        a = a.first(a.size() - suffix);
        b = b.first(b.size() - suffix);
    }
    const auto with = [&](auto pattern, auto text) {
        std::uint64_t lcs = prefix + suffix;
        if (!pattern.empty()) {
            const plan::Shape shape = shape_of(pattern, text, true);
            const plan::Path path = plan::choose(shape, features);
            if (!plan::is_short(path)) return false;
            lcs += short_lcs_on(path, pattern, text, shape, features);
        }
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

/// The similarities of a call of several lengths (or one past target's code points) from a row
/// of one word, fed target a stretch at a time up to each length in turn: `feed(from, to, lcs)`
/// feeds the code points of target from `from` up to `to` and returns the LCS after them.
template <class Feed>
[[gnu::always_inline]] inline void answer_each_length(const detail::Request& request,
                                                      const Feed& feed) {
    std::uint64_t lcs = 0;
    std::size_t consumed = 0;
    detail::in_length_order(request.lengths, request.ascending, [&](std::uint64_t& slot) {
        if (slot == 0) {
            slot = k_one_bits;
            return;
        }
        // Lengths past the code points of target find the row at 0.
        std::uint64_t found = 0;
        if (slot <= request.target_points) {
            lcs = feed(consumed, static_cast<std::size_t>(slot), lcs);
            consumed = static_cast<std::size_t>(slot);
            found = lcs;
        }
        slot = similarity_bits(found, request.source_bytes, slot);
    });
}

/// A call of several lengths whose source the plan compares with target on `path`
/// (`compared_avx512` or `compared_avx2`). The general path computes the same, but first looks
/// for a shared start and chooses and builds a machine, which cost more than such a row spends
/// (three lengths of 16 letters a fifth sooner on Zen 5, sentences a tenth, 128 letters or CJK
/// code points at the avx2 level a quarter).
template <class S, class T>
[[gnu::always_inline]] inline void
answer_compared_rows(std::span<const S> source, std::span<const T> target,
                     const detail::Request& request, plan::Path path) {
    plan::count(path);
    std::array<std::uint64_t, plan::k_short_rows_up_to_words> bits;
    bits.fill(k_all_ones);
    answer_each_length(request, [&](std::size_t from, std::size_t to, std::uint64_t lcs) {
        return path == plan::Path::compared_avx512
                   ? detail::feed_compared_avx512(source.data(), source.size(),
                                                  target.data() + from, to - from, bits.data(), lcs)
                   : detail::feed_compared_avx2(source.data(), source.size(), target.data() + from,
                                                to - from, bits.data(), lcs);
    });
}

/// `answer_each_length` on a row of one word, for a source of `size` code points, whose positions
/// of each code point of target `mask_of` gives.
template <class T, class MaskOf>
[[gnu::always_inline]] inline void answer_from_row(std::span<const T> target, std::size_t size,
                                                   const detail::Request& request,
                                                   const MaskOf& mask_of) {
    std::uint64_t bits = k_all_ones;
    answer_each_length(request, [&](std::size_t from, std::size_t to, std::uint64_t lcs) {
        // Once all `size` positions are matched, the rest of target changes nothing: asked once
        // a run, so that a long target stops early without a test on the row's chain.
        for (std::size_t k = from; k < to && lcs < size;) {
            const std::size_t end = std::min(to, k + k_run);
            for (; k < end; ++k)
                lcs += advance_alone(bits, mask_of(target[k]));
        }
        return lcs;
    });
}

/// `answer_from_row` on the slots of a short call's rows. Out of line: its table would enlarge
/// the frame of the Latin-1 rows' caller.
template <class S, class T>
[[gnu::noinline]] void answer_from_slots(std::span<const S> source, std::span<const T> target,
                                         const detail::Request& request) {
    const ShortRows<1> rows(source, target);
    answer_from_row(target, source.size(), request,
                    [&](std::uint32_t point) { return *rows.row(point); });
}

/// `answer_each_length` on a row of `Words` words held in registers, for a source of `size` code
/// points, the words of the positions of each code point of target from `row_of`. Stops early
/// as `answer_from_row` does.
template <std::size_t Words, class T, class RowOf>
[[gnu::always_inline]] inline void answer_from_rows(std::span<const T> target, std::size_t size,
                                                    const detail::Request& request,
                                                    const RowOf& row_of) {
    std::array<std::uint64_t, Words> bits;
    bits.fill(k_all_ones);
    answer_each_length(request, [&](std::size_t from, std::size_t to, std::uint64_t lcs) {
        for (std::size_t k = from; k < to && lcs < size;) {
            const std::size_t end = std::min(to, k + k_run);
            for (; k < end; ++k)
                advance_words(bits, row_of(target[k]));
            lcs = corvane::zeros_below(bits.data(), Words * k_word_bits);
        }
        return lcs;
    });
}

/// `answer_from_rows` for a source of 2 to 6 words, from the tables of the short calls: a table
/// on the stack for bytes, the slots for wide text. Out of line, for the tables' frame.
template <class S, class T>
[[gnu::noinline]] void answer_from_words(std::span<const S> source, std::span<const T> target,
                                         const detail::Request& request) {
    with_words(source.size(), [&](auto words) -> std::uint64_t {
        constexpr std::size_t k_words = decltype(words)::value;
        if constexpr (sizeof(S) == 1 && sizeof(T) == 1) {
            std::array<std::uint64_t, 256 * k_words> positions;
            positions.fill(0);
            add_byte_positions<k_words>(source, positions);
            answer_from_rows<k_words>(target, source.size(), request, [&](std::uint8_t point) {
                return positions.data() + point * k_words;
            });
        } else {
            const ShortRows<k_words> rows(source, target);
            answer_from_rows<k_words>(target, source.size(), request,
                                      [&](std::uint32_t point) { return rows.row(point); });
        }
        return 0;
    });
}

/// `answer_compared_rows` without vectors, on `path` (`word_rows` or `register_rows`), for a source
/// of up to six words: the tables of the short calls, not the general path's index of code points.
/// Bytes take a table on the stack; wide text of one word the Latin-1 rows, or where they decline,
/// the slots, and of more words the slots (three lengths at the portable level: Latin with
/// diacritics at 32 code points twice as fast, English sentences an eighth, CJK at 128 six times).
/// Returns false, touching nothing, where the general path's machine is the better one. Out of
/// line, as are these checks: in the function of the short calls they cost those calls 2 ns.
template <class S, class T>
[[gnu::noinline]] bool answer_short_rows(std::span<const S> source, std::span<const T> target,
                                         const detail::Request& request, const plan::Shape& shape,
                                         plan::Path path) {
    // With AVX-512 the general path builds the rows of a byte pattern beyond the compared ones by
    // comparing it, sooner than from the table (three lengths of 384 letters a tenth); wide rows
    // take the slots where short calls do.
    if (path == plan::Path::register_rows &&
        ((sizeof(S) == 1 && sizeof(T) == 1 && plan::has(cpu::enabled(), cpu::k_avx512_rows)) ||
         !plan::short_rows_take(shape)))
        return false;
    plan::count(path);
    if (source.size() > k_word_bits) {
        answer_from_words(source, target, request);
        return true;
    }
    if constexpr (sizeof(S) == 1 && sizeof(T) == 1) {
        std::array<std::uint64_t, 256> positions;
        positions.fill(0);
        std::uint64_t bit = 1;
        for (const std::uint8_t point : source) {
            positions[point] |= bit;
            bit <<= 1;
        }
        answer_from_row(target, source.size(), request,
                        [&](std::uint8_t point) { return positions[point]; });
    } else {
        Latin1Rows<(sizeof(S) == 4 || sizeof(T) == 4) ? 0x100 : 0x180> rows;
        if (!rows.fill(source, target)) {
            answer_from_slots(source, target, request);
            return true;
        }
        const auto answer_with = [&]<std::size_t Others>() {
            answer_from_row(target, source.size(), request,
                            [&](std::uint32_t point) { return rows.template mask<Others>(point); });
        };
        if constexpr (sizeof(S) == 1)
            answer_with.template operator()<0>();
        else if (rows.others() <= 4)
            answer_with.template operator()<4>();
        else
            answer_with.template operator()<8>();
    }
    return true;
}

/// A call of several lengths whose source fits the short calls' rows: one row fed target a
/// stretch at a time up to each length, where the plan compares the source on vectors or gives it
/// rows of its own. Returns false, touching nothing, where it takes another path.
template <class S, class T>
[[gnu::always_inline]] inline bool answer_several(std::span<const S> source,
                                                  std::span<const T> target,
                                                  const detail::Request& request) {
    if (source.empty() || source.size() > plan::k_short_rows_up_to_words * k_word_bits)
        return false;
    const plan::Shape shape = shape_of(source, target, false);
    const plan::Path path = plan::choose(shape, cpu::enabled());
    switch (path) {
    case plan::Path::compared_avx512:
    case plan::Path::compared_avx2:
        answer_compared_rows(source, target, request, path);
        return true;
    case plan::Path::word_rows:
    case plan::Path::register_rows:
        return answer_short_rows(source, target, request, shape, path);
    default:
        return false;
    }
}

/// Answers a call on its code points: the short path, or for several lengths one row of the
/// source, when it takes the call, else the general one. Out of line, one instance per pair of
/// widths, so that the width dispatch above stays small enough to be inlined into the module's
/// entry. Hot, with the short paths, so that they are placed together (see the module's entry).
template <class S, class T>
[[gnu::noinline, gnu::hot]] void answer_points(std::span<const S> source, std::span<const T> target,
                                               bool small, const detail::Request& request) {
    if (small ? answer_small(source, target, request.source_bytes, request.lengths[0])
              : answer_several(source, target, request))
        return;
    detail::answer(source, target, request);
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
    const detail::Request request{lengths, ascending, source_bytes, target.length};
    const std::size_t reach =
        static_cast<std::size_t>(std::min<std::uint64_t>(longest, target.length));
    const bool small = lengths.size() == 1 && longest <= target.length;
    with_code_points(source, [&](const auto* s) {
        with_code_points(target, [&](const auto* t) {
            answer_points(std::span(s, source.length), std::span(t, reach), small, request);
        });
    });
}

} // namespace corvane
