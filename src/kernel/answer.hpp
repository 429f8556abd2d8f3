// What the short path and the general path share, and the general path's entry: its instances
// (a machine for each shape of pattern, for each pair of widths) are compiled in three units, one
// per width of source, so that a build compiles them side by side.
#pragma once

#include "kernel/plan.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <span>
#include <vector>

namespace corvane::detail {

/// What the plan chooses a path by.
template <class P, class T>
plan::Shape shape_of(std::span<const P> pattern, std::span<const T> text, bool one_length) {
    return {sizeof(P), sizeof(T), pattern.size(), text.size(), one_length};
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

/// Writes the similarity of every requested length. `target` holds the code points the longest
/// length needs: every length is at most its size or beyond the code points of the whole target.
/// Never inlined, even by the link-time optimiser: the short path's function that calls it keeps
/// its own frame small.
template <class S, class T>
[[gnu::noinline]] void answer(std::span<const S> source, std::span<const T> target,
                              const Request& request);

} // namespace corvane::detail
