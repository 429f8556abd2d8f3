// Text as the interpreter stores it: code points of one fixed width, 1, 2 or 4 bytes each.
#pragma once

#include "cpu.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace corvane {

/// A borrowed run of code points, each `kind` bytes wide, and the length of its UTF-8 form.
struct TextView {
    const void* data = nullptr;
    std::size_t length = 0;
    unsigned kind = 1;
    std::uint64_t utf8_bytes = 0;
    /// False while `utf8_bytes` is not yet counted: left so only for 1-byte text, which always
    /// has a UTF-8 form, so that a count the call never needs is never paid for.
    bool utf8_counted = true;
};

/// Calls `visit` with a typed pointer to the code points of `text`.
template <class Visit>
decltype(auto) with_code_points(const TextView& text, Visit&& visit) {
    switch (text.kind) {
    case 1:
        return visit(static_cast<const std::uint8_t*>(text.data));
    case 2:
        return visit(static_cast<const std::uint16_t*>(text.data));
    default:
        return visit(static_cast<const std::uint32_t*>(text.data));
    }
}

/// Bytes of the UTF-8 form of `length` code points, or nothing when one of them is a surrogate,
/// which has no UTF-8 form. Written as plain loops without early exits, so that they vectorise.
inline std::uint64_t utf8_length(const std::uint8_t* points, std::size_t length) noexcept {
    // Eight code points a word: their top bits, gathered into the top byte by one multiplication.
    // Short text has no vector loop's set-up and clean-up to pay for.
    constexpr std::uint64_t k_ones = 0x0101010101010101;
    const auto wide_in = [](std::uint64_t word) noexcept {
        return (((word >> 7) & k_ones) * k_ones) >> 56;
    };
    std::uint64_t wide = 0;
    std::size_t k = 0;
    for (; k + 8 <= length; k += 8) {
        std::uint64_t word;
        std::memcpy(&word, points + k, 8);
        wide += wide_in(word);
    }
    if (const std::size_t rest = length - k; rest != 0) {
        if (std::endian::native == std::endian::little && length >= 8) {
            // The last eight code points again, without those already counted (the lowest
            // bytes of a little-endian word).
            std::uint64_t word;
            std::memcpy(&word, points + length - 8, 8);
            wide += wide_in(word >> (8 * (8 - rest)));
        } else {
            for (; k < length; ++k)
                wide += points[k] >> 7;
        }
    }
    return length + wide;
}

/// Code points are counted in blocks whose per-lane counts fit their own width, so that the
/// compiler keeps them in narrow vector lanes (eight or four a register) rather than widening
/// every lane's count to 64 bits (at the portable level on Zen 5, calls on ASCII with emoji and on
/// Latin text of 32 code points 6 and 10 per cent sooner than with 64-bit counts and words of
/// four 2-byte code points).
inline constexpr std::size_t k_utf8_block = std::size_t{1} << 14;

inline std::optional<std::uint64_t> utf8_length(const std::uint16_t* points,
                                                std::size_t length) noexcept {
    std::uint64_t extra = 0;
    std::uint16_t surrogates = 0;
    for (std::size_t start = 0; start < length; start += k_utf8_block) {
        const std::size_t end = std::min(length, start + k_utf8_block);
        std::uint16_t block = 0;
        for (std::size_t k = start; k < end; ++k) {
            const std::uint16_t point = points[k];
            block += ((point & 0xFF80) != 0) + ((point & 0xF800) != 0);
            surrogates |= (point & 0xF800) == 0xD800;
        }
        extra += block;
    }
    if (surrogates != 0) return std::nullopt;
    return length + extra;
}

inline std::optional<std::uint64_t> utf8_length(const std::uint32_t* points,
                                                std::size_t length) noexcept {
    constexpr std::uint32_t k_sign = std::uint32_t{1} << 31;
    constexpr auto biased_limit = [](std::uint32_t limit) {
        return static_cast<std::int32_t>(limit ^ k_sign);
    };
    std::uint64_t extra = 0;
    std::uint32_t surrogates = 0;
    for (std::size_t start = 0; start < length; start += k_utf8_block) {
        const std::size_t end = std::min(length, start + k_utf8_block);
        std::uint32_t block = 0;
        for (std::size_t k = start; k < end; ++k) {
            // Unsigned order as signed comparisons, which vectors have: the top bit flipped.
            const std::uint32_t point = points[k];
            const auto biased = static_cast<std::int32_t>(point ^ k_sign);
            block += (biased > biased_limit(0x7F)) + (biased > biased_limit(0x7FF)) +
                     (biased > biased_limit(0xFFFF));
            surrogates |= (point & ~std::uint32_t{0x7FF}) == 0xD800;
        }
        extra += block;
    }
    if (surrogates != 0) return std::nullopt;
    return length + extra;
}

namespace detail {

/// What `utf8_length_avx512` gives for text with a surrogate: more bytes than any text can have.
inline constexpr std::uint64_t k_no_utf8_form = ~std::uint64_t{0};

/// `utf8_length` as the vector counts give it: a plain count, or `k_no_utf8_form`.
template <class Point>
std::uint64_t utf8_length_or_none(const Point* points, std::size_t length) noexcept {
    if constexpr (sizeof(Point) == 1)
        return utf8_length(points, length);
    else
        return utf8_length(points, length).value_or(k_no_utf8_form);
}

/// The counts of `utf8_length` on 512-bit vectors, 64, 32 or 16 code points a step, or
/// `k_no_utf8_form`: a plain integer, which comes back in a register (an optional was built on
/// the stack and read back whole). Needs `cpu::k_avx512_text`.
/// Instantiated for 1-, 2- and 4-byte code points.
template <class Point>
std::uint64_t utf8_length_avx512(const Point* points, std::size_t length) noexcept;

/// The counts of `utf8_length` on 256-bit vectors, or `k_no_utf8_form`. Needs
/// `cpu::k_avx2_paths`. Instantiated for 1-, 2- and 4-byte code points.
template <class Point>
std::uint64_t utf8_length_avx2(const Point* points, std::size_t length) noexcept;

// Where each count is fastest, measured code point by code point on a Zen 4 core (the scratch
// timing of each count against the others): the word count of 1-byte text up to 24 code points,
// the 256-bit count of 1-byte text from 25 and of wide text from 3 (its first and last vectors
// overlap, so short text takes one or two loads), the 512-bit count from 64 bytes and from 256
// wide code points, where its wider steps pay.
inline constexpr std::size_t k_count_bytes_avx2_from = 25;
inline constexpr std::size_t k_count_bytes_avx512_from = 64;
inline constexpr std::size_t k_count_wide_avx2_from = 3;
inline constexpr std::size_t k_count_wide_avx512_from = 256;

} // namespace detail

/// `utf8_length`, counted on the vectors the CPU has where the text is long enough for their
/// latency (a load, a comparison and a mask move) to pay.
template <class Point>
std::optional<std::uint64_t> counted_utf8_length(const Point* points, std::size_t length) noexcept {
    constexpr bool bytes = sizeof(Point) == 1;
    std::uint64_t counted;
    if (length >= (bytes ? detail::k_count_bytes_avx512_from : detail::k_count_wide_avx512_from) &&
        cpu::has(cpu::k_avx512_text))
        counted = detail::utf8_length_avx512(points, length);
    else if (length >= (bytes ? detail::k_count_bytes_avx2_from : detail::k_count_wide_avx2_from) &&
             cpu::has(cpu::k_avx2_paths))
        counted = detail::utf8_length_avx2(points, length);
    else
        return utf8_length(points, length);
    if (counted == detail::k_no_utf8_form) return std::nullopt;
    return counted;
}

/// The UTF-8 length of `text`, counted now if it was left uncounted.
inline std::uint64_t utf8_bytes_of(const TextView& text) noexcept {
    if (text.utf8_counted) return text.utf8_bytes;
    return *counted_utf8_length(static_cast<const std::uint8_t*>(text.data), text.length);
}

} // namespace corvane
