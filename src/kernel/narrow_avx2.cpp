// The narrowing of stored text on 256-bit vectors, for CPUs without AVX-512, and its portable
// stand-in where that is not compiled.
#include "kernel/narrow_avx2.hpp"

#include "cpu.hpp"
#include "kernel/compared_plain.hpp"
#include "kernel/vector.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#if CORVANE_X86_AVX2
#include <immintrin.h>
#endif

namespace corvane::detail {

#if CORVANE_X86_AVX2

namespace {

[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i load(const void* from) noexcept {
    return _mm256_loadu_si256(static_cast<const __m256i*>(from));
}

// The byte of a code point that is neither ASCII nor renumbered.
constexpr std::uint8_t k_absent = 0x80 + k_most_renumbered;

// Each renumbered index's byte in every lane, for byte lanes and for 16-bit lanes: read from
// here, not made for each call.
template <class Lane>
constexpr std::array<std::array<Lane, 32 / sizeof(Lane)>, k_most_renumbered> index_bytes() {
    std::array<std::array<Lane, 32 / sizeof(Lane)>, k_most_renumbered> bytes{};
    for (std::size_t index = 0; index < k_most_renumbered; ++index)
        bytes[index].fill(static_cast<Lane>(0x80 + index));
    return bytes;
}

alignas(32) constexpr auto k_index_bytes8 = index_bytes<std::uint8_t>();
alignas(32) constexpr auto k_index_bytes16 = index_bytes<std::uint16_t>();

template <class Lane>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i
index_byte(const std::array<std::array<Lane, 32 / sizeof(Lane)>, k_most_renumbered>& bytes,
           std::uint8_t index) noexcept {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(bytes[index].data()));
}

// The renumbered code points this text can hold, each in every lane as wide as it is compared:
// bytes for 1-byte text, 16-bit lanes for the rest (`near`), and for 4-byte text those from
// 0xFFFF on in 32-bit lanes (`far`), since the others are compared saturated to 16 bits. With
// each its index; last index first, so that the first of equal code points is blended last and
// wins, as `renumber` finds it first.
struct Entries {
    __m256i near[k_most_renumbered];
    __m256i far[k_most_renumbered];
    std::array<std::uint8_t, k_most_renumbered> near_index;
    std::array<std::uint8_t, k_most_renumbered> far_index;
    std::size_t near_count = 0;
    std::size_t far_count = 0;
};

template <class T>
[[CORVANE_TARGET_AVX2]] void gather_entries(std::span<const std::uint32_t> renumbered,
                                            Entries& entries) noexcept {
    for (std::size_t index = renumbered.size(); index-- > 0;) {
        const std::uint32_t point = renumbered[index];
        // ASCII is kept as it is whatever the list says, and wider code points never occur.
        if (!is_renumbered(point) || point > std::numeric_limits<T>::max()) continue;
        if (sizeof(T) == 4 && point >= 0xFFFF) {
            entries.far[entries.far_count] = _mm256_set1_epi32(static_cast<int>(point));
            entries.far_index[entries.far_count++] = static_cast<std::uint8_t>(index);
            continue;
        }
        if constexpr (sizeof(T) == 1)
            entries.near[entries.near_count] = _mm256_set1_epi8(static_cast<char>(point));
        else
            entries.near[entries.near_count] = _mm256_set1_epi16(static_cast<short>(point));
        entries.near_index[entries.near_count++] = static_cast<std::uint8_t>(index);
    }
}

// Sixteen code points in 16-bit lanes narrowed: each renumbered one's byte, ASCII as it is, the
// rest absent.
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i
narrow_lanes(__m256i points, __m256i narrowed, const Entries& entries) noexcept {
    for (std::size_t k = 0; k < entries.near_count; ++k)
        narrowed = _mm256_blendv_epi8(narrowed, index_byte(k_index_bytes16, entries.near_index[k]),
                                      _mm256_cmpeq_epi16(points, entries.near[k]));
    const __m256i ascii = _mm256_cmpeq_epi16(_mm256_srli_epi16(points, 7), _mm256_setzero_si256());
    return _mm256_blendv_epi8(narrowed, points, ascii);
}

// The bytes of 32 code points of 1-byte text.
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i
narrowed_bytes(__m256i points, const Entries& entries) noexcept {
    __m256i bytes = _mm256_set1_epi8(static_cast<char>(k_absent));
    for (std::size_t k = 0; k < entries.near_count; ++k)
        bytes = _mm256_blendv_epi8(bytes, index_byte(k_index_bytes8, entries.near_index[k]),
                                   _mm256_cmpeq_epi8(points, entries.near[k]));
    // ASCII, with its top bit clear, as it is.
    return _mm256_blendv_epi8(points, bytes, points);
}

// The bytes of 32 code points of 2-byte text, sixteen in each vector.
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i
narrowed_bytes(__m256i low, __m256i high, const Entries& entries) noexcept {
    const __m256i absent = _mm256_set1_epi16(k_absent);
    // Packing works within 128-bit halves; the permutation puts the four quarters in order.
    return _mm256_permute4x64_epi64(_mm256_packus_epi16(narrow_lanes(low, absent, entries),
                                                        narrow_lanes(high, absent, entries)),
                                    0xD8);
}

// The bytes of 32 code points of 4-byte text, eight in each vector.
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i
narrowed_bytes(__m256i v0, __m256i v1, __m256i v2, __m256i v3, const Entries& entries) noexcept {
    const __m256i points[4] = {v0, v1, v2, v3};
    // Saturated to 16 bits, code points from 0xFFFF on are all 0xFFFF, which is no near entry
    // and no ASCII.
    const __m256i most = _mm256_set1_epi32(0xFFFF);
    const __m256i absent = _mm256_set1_epi16(k_absent);
    __m256i pair[2];
    for (int k = 0; k < 2; ++k) {
        __m256i narrowed16 = absent;
        for (std::size_t f = 0; f < entries.far_count; ++f) {
            const __m256i equal =
                _mm256_packs_epi32(_mm256_cmpeq_epi32(points[2 * k], entries.far[f]),
                                   _mm256_cmpeq_epi32(points[2 * k + 1], entries.far[f]));
            narrowed16 = _mm256_blendv_epi8(
                narrowed16, index_byte(k_index_bytes16, entries.far_index[f]), equal);
        }
        pair[k] = narrow_lanes(_mm256_packus_epi32(_mm256_min_epu32(points[2 * k], most),
                                                   _mm256_min_epu32(points[2 * k + 1], most)),
                               narrowed16, entries);
    }
    // After two packs each 128-bit half holds four code points of each of the four vectors.
    return _mm256_permutevar8x32_epi32(_mm256_packus_epi16(pair[0], pair[1]),
                                       _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

// The bytes of the 32 code points at `text`.
template <class T>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i
narrowed_at(const T* text, const Entries& entries) noexcept {
    if constexpr (sizeof(T) == 1)
        return narrowed_bytes(load(text), entries);
    else if constexpr (sizeof(T) == 2)
        return narrowed_bytes(load(text), load(text + 16), entries);
    else
        return narrowed_bytes(load(text), load(text + 8), load(text + 16), load(text + 24),
                              entries);
}

[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m128i load_128(const void* from) noexcept {
    return _mm_loadu_si128(static_cast<const __m128i*>(from));
}

[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m128i load_64(const void* from) noexcept {
    return _mm_loadl_epi64(static_cast<const __m128i*>(from));
}

// Short text, `half` <= count < 2 `half` code points for `half` 16, 8 or 4: the bytes of its
// first `half` code points, then those of its last `half`, which may overlap them.
template <class T>
[[CORVANE_TARGET_AVX2, gnu::always_inline]] inline __m256i
narrowed_ends(const T* text, std::size_t count, std::size_t half, const Entries& entries) noexcept {
    const T* last = text + count - half;
    const __m256i zero = _mm256_setzero_si256();
    if constexpr (sizeof(T) == 1) {
        if (half == 16)
            return narrowed_bytes(_mm256_set_m128i(load_128(last), load_128(text)), entries);
        if (half == 8)
            return narrowed_bytes(
                _mm256_zextsi128_si256(_mm_unpacklo_epi64(load_64(text), load_64(last))), entries);
        return narrowed_bytes(
            _mm256_zextsi128_si256(_mm_unpacklo_epi32(_mm_loadu_si32(text), _mm_loadu_si32(last))),
            entries);
    } else if constexpr (sizeof(T) == 2) {
        if (half == 16) return narrowed_bytes(load(text), load(last), entries);
        if (half == 8)
            return narrowed_bytes(_mm256_set_m128i(load_128(last), load_128(text)), zero, entries);
        return narrowed_bytes(
            _mm256_zextsi128_si256(_mm_unpacklo_epi64(load_64(text), load_64(last))), zero,
            entries);
    } else {
        if (half == 16)
            return narrowed_bytes(load(text), load(text + 8), load(last), load(last + 8), entries);
        if (half == 8) return narrowed_bytes(load(text), load(last), zero, zero, entries);
        return narrowed_bytes(_mm256_set_m128i(load_128(last), load_128(text)), zero, zero, zero,
                              entries);
    }
}

template <class T>
[[CORVANE_TARGET_AVX2]] void narrow_text(const T* text, std::size_t count,
                                         std::span<const std::uint32_t> renumbered,
                                         std::uint8_t* narrowed) noexcept {
    if (count < 4 || renumbered.size() > k_most_renumbered) {
        // Too short for a vector, or beyond the contract and kept exact rather than vectorised.
        for (std::size_t k = 0; k < count; ++k)
            narrowed[k] = is_renumbered(text[k]) ? renumber(text[k], renumbered)
                                                 : static_cast<std::uint8_t>(text[k]);
        return;
    }
    Entries entries;
    gather_entries<T>(renumbered, entries);
    if (count < 32) {
        // The first and the last `half` code points, so nothing is read or written past the end;
        // the bytes written twice are the same.
        const std::size_t half = count >= 16 ? 16 : count >= 8 ? 8 : 4;
        const __m256i bytes = narrowed_ends(text, count, half, entries);
        const __m128i low = _mm256_castsi256_si128(bytes);
        if (half == 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(narrowed), low);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(narrowed + count - 16),
                             _mm256_extracti128_si256(bytes, 1));
        } else if (half == 8) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(narrowed), low);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(narrowed + count - 8),
                             _mm_srli_si128(low, 8));
        } else {
            _mm_storeu_si32(narrowed, low);
            _mm_storeu_si32(narrowed + count - 4, _mm_srli_si128(low, 4));
        }
        return;
    }
    std::size_t k = 0;
    for (; k + 32 <= count; k += 32)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(narrowed + k),
                            narrowed_at(text + k, entries));
    if (k < count)
        // The last 32 again: the bytes written twice are the same.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(narrowed + count - 32),
                            narrowed_at(text + count - 32, entries));
}

} // namespace

template <class T>
void narrow_text_avx2(const T* text, std::size_t count, std::span<const std::uint32_t> renumbered,
                      std::uint8_t* narrowed) noexcept {
    narrow_text(text, count, renumbered, narrowed);
}

#else

// Without AVX2 in the build this never runs; a plain loop keeps the name defined.
template <class T>
void narrow_text_avx2(const T* text, std::size_t count, std::span<const std::uint32_t> renumbered,
                      std::uint8_t* narrowed) noexcept {
    narrow_text_plain(text, count, renumbered, narrowed);
}

#endif

#define CORVANE_INSTANTIATE(T)                                                                     \
    template void narrow_text_avx2(const T*, std::size_t, std::span<const std::uint32_t>,          \
                                   std::uint8_t*) noexcept;
CORVANE_EACH_WIDTH(CORVANE_INSTANTIATE)
#undef CORVANE_INSTANTIATE

} // namespace corvane::detail
