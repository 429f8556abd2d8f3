// The narrowing of stored text on 256-bit vectors; the 256-bit UTF-8 count is declared with the
// other counts in text.hpp.
#pragma once

#include "text.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace corvane::detail {

// Both this and `utf8_length_avx2` give exactly what their scalar counterparts give, for every
// input, and read nothing past the text. Where the build leaves out AVX2 they are plain loops under
// the same names. Callers call them only where `cpu::has(cpu::k_avx2_paths)` holds. Instantiated
// for 1-, 2- and 4-byte code points.

/// Same contract as narrow_text_avx512: ASCII as it is, each of the `renumbered` code points (at
/// most k_most_renumbered) its `renumber` byte, anything else the byte no pattern code point has.
template <class T>
void narrow_text_avx2(const T* text, std::size_t count, std::span<const std::uint32_t> renumbered,
                      std::uint8_t* narrowed) noexcept;

} // namespace corvane::detail
