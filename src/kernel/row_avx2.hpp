// The long-row update on 256-bit vectors (AVX2), for CPUs without AVX-512.
#pragma once

#include "cpu.hpp"
#include "kernel/row.hpp"

#include <cstddef>
#include <cstdint>

namespace corvane::detail {

// Both routines give exactly the bits and carries of their scalar models for every input, and must
// only be called where `cpu::has(cpu::k_avx2_paths)` holds. In builds without the AVX2 paths they
// are the scalar loops under the same names.

/// The update of `advance_row_scalar` on 256-bit vectors, for `words` a multiple of 4 (>= 4).
/// Needs cpu::k_avx2_paths.
std::uint64_t advance_row_avx2(std::uint64_t* bits, const std::uint64_t* mask,
                               std::size_t words) noexcept;

/// Two code points in one pass, as `advance_row_scalar_pair` (`mask_a` first); returns the sum of
/// their carries. Same conditions as `advance_row_avx2`.
std::uint64_t advance_row_avx2_pair(std::uint64_t* bits, const std::uint64_t* mask_a,
                                    const std::uint64_t* mask_b, std::size_t words) noexcept;

} // namespace corvane::detail
