// The bit-parallel prefix similarity kernel: 64 pattern positions per machine word.
#include "kernel/kernel.hpp"

#include "cpu.hpp"
#include "kernel/block_machine.hpp"
#include "kernel/compare_avx2.hpp"
#include "kernel/compared.hpp"
#include "kernel/machines.hpp"
#include "kernel/plan.hpp"
#include "kernel/short_rows.hpp"
#include "kernel/vector.hpp"
#include "panic.hpp"
#include "similarity.hpp"

#include <algorithm>
#include <array>
#include <numeric>
#include <type_traits>
#include <utility>
#include <vector>

namespace corvane {
namespace {

template <class P, class T>
plan::Shape shape_of(std::span<const P> pattern, std::span<const T> text, bool one_length) {
    return {sizeof(P), sizeof(T), pattern.size(), text.size(), one_length};
}

/// Calls `visit` with the machine of `path` for `pattern`, sized by its number of words; `path`
/// is one of the machines that take any pattern.
template <class P, class T, class Visit>
void visit_machine(plan::Path path, std::span<const P> pattern, std::span<const T> text,
                   Visit&& visit) {
    plan::count(path);
    const std::size_t words = plan::words_of(pattern.size());
    const auto compared = [&]<Compare Width>() {
        switch (words) {
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
    switch (path) {
    case plan::Path::compared_avx512:
        return compared.template operator()<Compare::avx512>();
    case plan::Path::compared_avx2:
        return compared.template operator()<Compare::avx2>();
    case plan::Path::compared_sse2:
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
    case plan::Path::word_rows:
        return visit(WordMachine<P>(pattern, text));
    case plan::Path::register_rows:
        switch (words) {
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
        default:
            return visit(RegisterMachine<P, 8>(pattern, text));
        }
    default:
        return visit(BlockMachine<P>(pattern, text));
    }
}

/// Calls `visit` with the narrowed machine of `path` for a 4-byte `pattern`, which narrows the
/// text the same way as it streams past; returns false, touching nothing, when the pattern
/// has too many distinct code points beyond ASCII to narrow.
template <class Visit>
bool visit_narrowed(plan::Path path, std::span<const std::uint32_t> pattern, Visit&& visit) {
    constexpr std::size_t k_most = detail::k_compared_up_to<std::uint32_t>;
    std::array<std::uint32_t, detail::k_most_renumbered> renumbered;
    const bool avx512 =
        path == plan::Path::narrowed_compared_avx512 || path == plan::Path::narrowed_rows_avx512;
    if (path == plan::Path::narrowed_compared_avx512 ||
        path == plan::Path::narrowed_compared_avx2) {
        std::array<std::uint8_t, k_most> narrowed;
        const std::size_t count = narrow_pattern(pattern, narrowed.data(), renumbered.data());
        if (count == k_too_many_renumbered) return false;
        plan::count(path);
        const std::span<const std::uint8_t> points(narrowed.data(), pattern.size());
        const std::span<const std::uint32_t> wide(renumbered.data(), count);
        const auto compared = [&]<Compare Width>() {
            switch (plan::words_of(pattern.size())) {
            case 2:
                return visit(NarrowedCompareMachine<2, Width>(points, wide));
            case 3:
                return visit(NarrowedCompareMachine<3, Width>(points, wide));
            default:
                return visit(NarrowedCompareMachine<4, Width>(points, wide));
            }
        };
        avx512 ? compared.template operator()<Compare::avx512>()
               : compared.template operator()<Compare::avx2>();
        return true;
    }
    std::vector<std::uint8_t> narrowed(pattern.size());
    const std::size_t count = narrow_pattern(pattern, narrowed.data(), renumbered.data());
    if (count == k_too_many_renumbered) return false;
    plan::count(path);
    const auto narrowed_for = [&]<class Inner>() {
        if (avx512)
            return visit(
                NarrowedMachine<Inner, Compare::avx512>(std::move(narrowed), renumbered, count));
        return visit(NarrowedMachine<Inner, Compare::avx2>(std::move(narrowed), renumbered, count));
    };
    switch (plan::words_of(pattern.size())) {
    case 5:
        narrowed_for.template operator()<RegisterMachine<std::uint8_t, 5>>();
        break;
    case 6:
        narrowed_for.template operator()<RegisterMachine<std::uint8_t, 6>>();
        break;
    case 7:
        narrowed_for.template operator()<RegisterMachine<std::uint8_t, 7>>();
        break;
    case 8:
        narrowed_for.template operator()<RegisterMachine<std::uint8_t, 8>>();
        break;
    default:
        narrowed_for.template operator()<BlockMachine<std::uint8_t>>();
    }
    return true;
}

/// Calls `visit` with the machine that the plan chooses for `pattern` and the `text` it will see.
template <class P, class T, class Visit>
void with_machine(std::span<const P> pattern, std::span<const T> text, Visit&& visit) {
    const cpu::Features features = cpu::enabled();
    const plan::Shape shape = shape_of(pattern, text, false);
    plan::Path path = plan::choose(shape, features);
    if constexpr (sizeof(P) == 4) {
        if (plan::narrows(path)) {
            if (visit_narrowed(path, pattern, visit)) return;
            path = plan::fallback(path, shape, features);
        }
    }
    visit_machine(path, pattern, text, visit);
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

/// The LCS of a byte pattern of one word with byte `text`, in plain C++: a table on the stack, of
/// which only the entries this call reads are cleared, unless that is more than the whole. Out of
/// line, as are the other paths' tables: they would enlarge the frame of every short call.
[[gnu::noinline]] std::uint64_t byte_table_lcs(std::span<const std::uint8_t> pattern,
                                               std::span<const std::uint8_t> text) noexcept {
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
    std::uint64_t lcs = 0;
    for (const std::uint8_t point : text)
        lcs += advance_alone(bits, positions[point]);
    return lcs;
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
                return byte_table_lcs(pattern, text);
            }
            break;
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

/// The most common call, one length with the shorter side at most 256 code points, computed
/// without the general path's machinery (its choice of machine and its order of lengths). With
/// one length both texts are whole, so their shared start and shared end both count without
/// computing, and the LCS is the same whichever is the pattern. Rewrites `slot` and returns true,
/// or returns false, touching nothing, when the plan leaves the call to a machine. `slot` must be
/// at least 1 and at most target's code points.
template <class S, class T>
[[gnu::always_inline]] inline bool answer_small(std::span<const S> source,
                                                std::span<const T> target,
                                                std::uint64_t source_bytes, std::uint64_t& slot) {
    std::span<const S> a = source;
    std::span<const T> b = target.first(static_cast<std::size_t>(slot));
    const std::size_t prefix = shared_prefix(a, b);
    a = a.subspan(prefix);
    b = b.subspan(prefix);
    const std::size_t suffix = shared_suffix(a, b);
    a = a.first(a.size() - suffix);
    b = b.first(b.size() - suffix);
    const auto with = [&](auto pattern, auto text) {
        std::uint64_t lcs = prefix + suffix;
        if (!pattern.empty()) {
            const cpu::Features features = cpu::enabled();
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
