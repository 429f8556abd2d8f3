// The compared rows and byte rows in plain C++: what the vector routines compute, for builds and
// CPUs without their vectors, under the vector routines' own names.
#pragma once

#include "kernel/row.hpp"
#include "kernel/vector.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace corvane::detail {

/// What `feed_compared_avx512` and `feed_compared_avx2` compute, one comparison at a time.
template <class P, class T>
std::uint64_t feed_compared_plain(const P* points, std::size_t size, const T* text,
                                  std::size_t count, std::uint64_t* bits,
                                  std::uint64_t lcs) noexcept {
    std::uint64_t fresh[k_compared_up_to<std::uint8_t> / 64];
    if (bits == nullptr) {
        std::fill(std::begin(fresh), std::end(fresh), k_all_ones);
        bits = fresh;
    }
    for (std::size_t done = 0; done < count && lcs < size; ++done) {
        std::uint64_t carry = 0;
        for (std::size_t word = 0; 64 * word < size; ++word) {
            std::uint64_t mask = 0;
            for (std::size_t k = 64 * word; k < size && k < 64 * word + 64; ++k)
                mask |= std::uint64_t{points[k] == text[done]} << (k % 64);
            carry = advance_word(bits[word], mask, carry);
        }
        lcs += carry;
    }
    return lcs;
}

/// What `byte_rows_avx512` and `byte_rows_avx2` write, one comparison at a time.
inline void byte_rows_plain(const std::uint8_t* points, std::size_t size, std::size_t words,
                            const std::uint8_t* bytes, std::size_t distinct,
                            std::uint64_t* rows) noexcept {
    for (std::size_t id = 0; id <= distinct; ++id) {
        std::uint64_t* row = rows + id * 2 * words;
        for (std::size_t word = 0; word < words; ++word) {
            std::uint64_t mask = 0;
            for (std::size_t k = 64 * word; id != 0 && k < size && k < 64 * word + 64; ++k)
                mask |= std::uint64_t{points[k] == bytes[id - 1]} << (k % 64);
            row[word] = mask;
            row[words + word] = ~mask;
        }
    }
}

} // namespace corvane::detail

// Explicit instantiation lists: MACRO(P, T) for every pair of code-point widths, MACRO(T) for
// every width.
#define CORVANE_EACH_WIDTH(MACRO) MACRO(std::uint8_t) MACRO(std::uint16_t) MACRO(std::uint32_t)
#define CORVANE_EACH_WIDTH_PAIR(MACRO)                                                             \
    MACRO(std::uint8_t, std::uint8_t)                                                              \
    MACRO(std::uint8_t, std::uint16_t)                                                             \
    MACRO(std::uint8_t, std::uint32_t)                                                             \
    MACRO(std::uint16_t, std::uint8_t)                                                             \
    MACRO(std::uint16_t, std::uint16_t)                                                            \
    MACRO(std::uint16_t, std::uint32_t)                                                            \
    MACRO(std::uint32_t, std::uint8_t)                                                             \
    MACRO(std::uint32_t, std::uint16_t)                                                            \
    MACRO(std::uint32_t, std::uint32_t)
