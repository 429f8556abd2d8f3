// The general path: the machine the plan chooses for the pattern, fed with the other text and read
// at each requested length. Included only by the units that instantiate `answer`.
#pragma once

#include "cpu.hpp"
#include "kernel/answer.hpp"
#include "kernel/block_machine.hpp"
#include "kernel/compared.hpp"
#include "kernel/machines.hpp"
#include "kernel/plan.hpp"
#include "similarity.hpp"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

namespace corvane::detail {

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

template <class S, class T>
[[gnu::noinline]] void answer(std::span<const S> source, std::span<const T> target,
                              const Request& request) {
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

/// The instances of `answer` for a source of code points `S`, against each width of target.
#define CORVANE_ANSWER_FOR_SOURCE(S)                                                               \
    template void answer<S, std::uint8_t>(std::span<const S>, std::span<const std::uint8_t>,       \
                                          const Request&);                                         \
    template void answer<S, std::uint16_t>(std::span<const S>, std::span<const std::uint16_t>,     \
                                           const Request&);                                        \
    template void answer<S, std::uint32_t>(std::span<const S>, std::span<const std::uint32_t>,     \
                                           const Request&)

} // namespace corvane::detail
