// The narrowing of stored text on 256-bit vectors, for comparing a wide pattern of mostly ASCII
// as bytes.
#pragma once

#include "kernel/vector.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace corvane::detail {

// This gives exactly what `narrow_text_plain` gives, for every input, and reads nothing past the
// text. Where the build leaves out AVX2 it is a plain loop under the same name. Callers call it
// only where `cpu::has(cpu::k_avx2_paths)` holds. Instantiated for 1-, 2- and 4-byte code points.

/// Same contract as narrow_text_avx512: ASCII as it is, each of the `renumbered` code points (at
/// most k_most_renumbered) its `renumber` byte, anything else the byte no pattern code point has.
template <class T>
void narrow_text_avx2(const T* text, std::size_t count, std::span<const std::uint32_t> renumbered,
                      std::uint8_t* narrowed) noexcept;

} // namespace corvane::detail
