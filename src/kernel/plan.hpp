// Every path the kernel may take, and the one function that chooses it from a call's shape and
// the CPU's features.
#pragma once

#include "cpu.hpp"
#include "kernel/vector.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvane::plan {

/// The computing paths. `short_*` paths serve one requested length with the shorter side as the
/// pattern and nothing kept between lengths; the others are machines that hold a pattern's row
/// while the text streams past, read at every requested length.
enum class Path : std::uint8_t {
    // Short calls.
    short_byte_table,       // bytes against bytes, 1 to 6 words, a table on the stack (plain C++)
    short_latin1_rows,      // one side wide, 1 word, Latin-1 but a few, plain C++: a row table
    short_wide_rows,        // one side wide, 1 to 6 words, plain C++: rows in registers
    short_narrowed_avx512,  // 4-byte pattern of 65 to 256, mostly ASCII, compared as bytes
    short_narrowed_avx2,    //   the same on 256-bit vectors
    short_narrowed_table,   //   the same from 97 before Zen 4, text narrowed on 256-bit vectors
    short_narrowed_plain,   // 4-byte pattern of mostly ASCII without vectors, narrowed, a table
    short_halves_both_ways, // 4-byte pattern of 17 to 64 within two planes, both ends, 512-bit
    short_both_ways_avx512, // byte pattern of 1 word, text from both ends at once
    short_both_ways_avx2,   // 1- or 2-byte pattern of 1 word, both ends, 256-bit
    short_compared_avx512,  // pattern compared with each text code point, 512-bit
    short_compared_avx2,    //   the same on 256-bit vectors
    // Machines.
    narrowed_compared_avx512, // 4-byte pattern of 65 to 256, mostly ASCII, against short text
    narrowed_compared_avx2,   //   the same on 256-bit vectors
    narrowed_rows_avx512,     // 4-byte pattern beyond 256, mostly ASCII: byte rows, text narrowed
    narrowed_rows_avx2,       //   the same, narrowing on 256-bit vectors
    compared_avx512,          // pattern compared with each text code point, 512-bit
    compared_avx2,            //   the same on 256-bit vectors
    compared_sse2,            // wide pattern of 1 word compared sixteen code points at a time
    word_rows,                // 1 word, rows looked up per code point
    register_rows,            // 2 to 8 words, the row in registers
    block_rows,               // 9 words or more, dense and sparse rows (see RowUpdate)
};
inline constexpr std::size_t k_path_count = 22;

/// How the long rows of `Path::block_rows` are updated for one code point.
enum class RowUpdate : std::uint8_t { scalar, avx2, avx512 };
inline constexpr std::size_t k_row_update_count = 3;

/// What a path is called in test reports, and the CPU features it runs on.
struct PathInfo {
    std::string_view name;
    cpu::Features needs;
};

inline constexpr std::array<PathInfo, k_path_count> k_paths{{
    {"short_byte_table", 0},
    {"short_latin1_rows", 0},
    {"short_wide_rows", 0},
    {"short_narrowed_avx512", cpu::k_avx512_rows},
    {"short_narrowed_avx2", cpu::k_avx2_paths},
    {"short_narrowed_table", cpu::k_avx2_paths | cpu::k_amd_before_zen4},
    {"short_narrowed_plain", 0},
    {"short_halves_both_ways", cpu::k_avx512_both_ways},
    {"short_both_ways_avx512", cpu::k_avx512_both_ways},
    {"short_both_ways_avx2", cpu::k_avx2_paths},
    {"short_compared_avx512", cpu::k_avx512_rows},
    {"short_compared_avx2", cpu::k_avx2_paths},
    {"narrowed_compared_avx512", cpu::k_avx512_rows},
    {"narrowed_compared_avx2", cpu::k_avx2_paths},
    {"narrowed_rows_avx512", cpu::k_avx512_rows},
    {"narrowed_rows_avx2", cpu::k_avx2_paths},
    {"compared_avx512", cpu::k_avx512_rows},
    {"compared_avx2", cpu::k_avx2_paths},
    {"compared_sse2", cpu::k_sse2},
    {"word_rows", 0},
    {"register_rows", 0},
    {"block_rows", 0},
}};

inline constexpr std::array<PathInfo, k_row_update_count> k_row_updates{{
    {"row_update_scalar", 0},
    {"row_update_avx2", cpu::k_avx2_paths},
    {"row_update_avx512", cpu::k_avx512_rows},
}};

inline constexpr std::size_t k_word_bits = 64;

// ---- thresholds ---------------------------------------------------------------------------------

/// Up to this many streamed code points a 4-byte pattern is compared rather than looked up: a
/// vector holds only a quarter as many of them as of bytes, which pays only while the text is
/// short (native benchmark, Cyrillic and CJK at 256 and 512).
inline constexpr std::size_t k_compare_up_to = 256;

/// From this many code points on, a byte pattern is compared on vectors rather than looked up in
/// a table: below, filling a table is done before the first comparison's load, broadcast and mask
/// move (native benchmark, letters at 8 and 16).
inline constexpr std::size_t k_compare_from_bytes = 16;

/// From this much text on, a pattern of one word is fed the text from both ends at once: the two
/// rows' updates overlap, which pays for combining them at the end. Measured on the 512-bit rows
/// of bytes (ahead even at 24 code points) and the 256-bit rows of 1- and 2-byte code points
/// (ahead from 24 and 28) by timing both ways against one row.
inline constexpr std::size_t k_both_ways_from = 28;

/// The 4-byte both-ways path splits each code point into 16-bit halves, which pays only beyond
/// one 16-lane vector of pattern.
inline constexpr std::size_t k_halves_above = 16;

/// Above this many code points, a 4-byte pattern of mostly ASCII is narrowed to bytes for
/// comparing: it takes a quarter of the vectors, which pays for narrowing the text.
inline constexpr std::size_t k_narrow_from = 64;

/// Without vectors, short calls use rows in registers up to this many words; longer patterns take
/// the general machines, whose index of code points hashes beyond a block of 256 and which keep
/// more of the row in memory (portable level on Zen 5, against those machines: 300 letters a third
/// sooner, 384 a sixth, CJK at 300 and 384 three times as fast, Cyrillic and Latin at 448 3 to 7
/// per cent slower).
inline constexpr std::size_t k_short_rows_up_to_words = 6;

/// Wide patterns of more than this many words take the short rows only against text of at most
/// `k_short_wide_text_per_pattern` times their size. The machines' rows cost less a code point of
/// text, which longer text pays their index back with: patterns of one block of 256 code points
/// (Cyrillic, Latin) of 384 against 1,200 to 2,400 took 15 to 25% longer in the slots, of 300 4 to
/// 7%, and were 4 to 6% sooner at 300 against 600. CJK, whose code points the index hashes, is
/// twice as fast in the slots against any of those texts.
inline constexpr std::size_t k_short_wide_rows_any_text_up_to_words = 4;
inline constexpr std::size_t k_short_wide_text_per_pattern = 2;

/// On 256-bit vectors, a byte pattern of more than this many code points (and at most six words)
/// is looked up in a table rather than compared: its eight comparisons and mask moves a code point
/// cost more than four loads (native benchmark at avx2 on Zen 4: letters and DNA at 240 and 256
/// about a fifth faster from the table, the same at 224, slower below).
inline constexpr std::size_t k_avx2_table_above = 224;

/// The same on AMD's CPUs before Zen 4, whose comparisons and mask moves cost more beside the
/// row's own operations: the table is ahead from two words (letters and DNA at 128 and 200 about
/// a quarter faster from it on Zen 3, the same at 96, and far behind within one word).
inline constexpr std::size_t k_avx2_table_above_before_zen4 = 96;

/// Without vectors, a 4-byte pattern of more than this many code points is narrowed to bytes for
/// a short call: below, narrowing both texts code point by code point, a branch on each, costs
/// what the table saves (portable level, ASCII with emoji: 1.15 times faster narrowed at 128 to
/// 256, the same at 32 and 64, slower at 16).
inline constexpr std::size_t k_narrow_plain_above = 96;

/// With vectors, a short call whose shorter text has at most this many code points compares the
/// texts whole: finding their shared start and end takes loops that leave after a number of code
/// points that changes from call to call, and their mispredicted exits cost more than a row of
/// one word spends on the code points they save (avx2 on Zen 5: DNA at 8 code points a tenth
/// sooner whole, place names 3 to 5 per cent, sentences the same). Without vectors each code
/// point costs more, and the shared ends are still cut off.
inline constexpr std::size_t k_whole_up_to = 64;

/// Without 256-bit vectors, a 4-byte pattern of up to this many code points against short text is
/// compared sixteen code points at a time on SSE2 in a short call sooner than its rows are set up.
/// A 2-byte pattern takes the rows of the level without vectors: at the sse2 level on Zen 5 they
/// were 5 to 10 per cent sooner for place names in every script, 3 to 8 per cent for Latin,
/// Cyrillic and Greek sentences and 9 per cent for Latin with diacritics at 8 to 32 code points,
/// where comparing stays ahead only for synthetic Cyrillic, Greek and CJK text at 32 (5 to 10
/// per cent).
inline constexpr std::size_t k_short_sse2_up_to = 32;

/// Rows from this many words take the 512-bit update: measured by benchmarks/row_update_bench.cpp
/// (`--scan`); each chunk waits about 25 cycles for its own update by the previous code point, so
/// below this the scalar update of four-word groups, two code points per pass, wins.
inline constexpr std::size_t k_avx512_row_from_words = 17;

/// Rows from this many words take the 256-bit update: measured by the same scan on rows of 8 to
/// 40 words, even with the grouped scalar pair at 16 words and clearly ahead from 20.
inline constexpr std::size_t k_avx2_row_from_words = 20;

/// Rows below this many words update two code points in one pass; on longer ones each chunk's
/// wait for the previous code point is hidden anyway.
inline constexpr std::size_t k_pair_rows_below_words = 64;

// ---- the choice ---------------------------------------------------------------------------------

/// What the choice depends on: the widths of the pattern's and the text's code points (1, 2 or
/// 4 bytes), their sizes in code points, and whether the call is a short one, read at one length
/// with the shorter side as the pattern.
struct Shape {
    std::size_t pattern_width;
    std::size_t text_width;
    std::size_t pattern_size;
    std::size_t text_size;
    bool one_length;
};

constexpr bool has(cpu::Features features, cpu::Features needed) noexcept {
    return (features & needed) == needed;
}

constexpr std::size_t words_of(std::size_t size) noexcept {
    return (size + k_word_bits - 1) / k_word_bits;
}

/// Whether the short calls' rows (their byte table, or for wide text their slots) take `shape`.
constexpr bool short_rows_take(const Shape& shape) noexcept {
    const std::size_t m = shape.pattern_size;
    if (m > k_short_rows_up_to_words * k_word_bits) return false;
    return (shape.pattern_width == 1 && shape.text_width == 1) ||
           m <= k_short_wide_rows_any_text_up_to_words * k_word_bits ||
           shape.text_size <= k_short_wide_text_per_pattern * m;
}

/// The most code points of a pattern of `width`-byte code points that is compared with each
/// streamed code point.
constexpr std::size_t compared_up_to(std::size_t width) noexcept {
    return width == 1 ? detail::k_compared_up_to<std::uint8_t>
                      : detail::k_compared_up_to<std::uint32_t>;
}

/// The machine for `shape` when narrowing to bytes is not tried, or declined.
constexpr Path choose_machine(const Shape& shape, cpu::Features features) noexcept {
    const std::size_t m = shape.pattern_size;
    const bool avx512 = has(features, cpu::k_avx512_rows);
    const bool avx2 = has(features, cpu::k_avx2_paths);
    // 1- and 2-byte patterns are compared against text of any length, 4-byte ones only against
    // short text, byte patterns only from a few bytes' worth.
    if ((avx512 || avx2) && m <= compared_up_to(shape.pattern_width) &&
        (shape.pattern_width > 1 || m >= k_compare_from_bytes) &&
        (shape.pattern_width <= 2 || shape.text_size <= k_compare_up_to))
        return avx512 ? Path::compared_avx512 : Path::compared_avx2;
    // Sixteen comparisons at a time pay only on vectors: in plain C++ a table is sooner.
    if (has(features, cpu::k_sse2) && shape.pattern_width > 1 &&
        shape.text_size <= k_compare_up_to && m <= k_word_bits)
        return Path::compared_sse2;
    if (m <= k_word_bits) return Path::word_rows;
    if (m <= 8 * k_word_bits) return Path::register_rows;
    return Path::block_rows;
}

/// The machine for `shape`, trying first to narrow a long 4-byte pattern of mostly ASCII.
constexpr Path choose_machine_narrowing(const Shape& shape, cpu::Features features) noexcept {
    const std::size_t m = shape.pattern_size;
    const bool avx512 = has(features, cpu::k_avx512_rows);
    if (shape.pattern_width == 4 && m > k_narrow_from &&
        (avx512 || has(features, cpu::k_avx2_paths))) {
        if (m <= compared_up_to(4) && shape.text_size <= k_compare_up_to)
            return avx512 ? Path::narrowed_compared_avx512 : Path::narrowed_compared_avx2;
        if (m > compared_up_to(4))
            return avx512 ? Path::narrowed_rows_avx512 : Path::narrowed_rows_avx2;
    }
    return choose_machine(shape, features);
}

/// `choose_short` where the CPU has neither AVX2 nor AVX-512. Out of line, so that the choice
/// with vectors keeps its registers (the short calls of 8 letters took 2 ns longer at the avx512
/// level when the text's size below joined the choice).
[[gnu::noinline]] constexpr Path choose_short_without_vectors(const Shape& shape,
                                                              cpu::Features features) noexcept {
    const std::size_t m = shape.pattern_size;
    const std::size_t n = shape.text_size;
    if (shape.pattern_width == 1 && shape.text_width == 1)
        return m <= k_short_rows_up_to_words * k_word_bits
                   ? Path::short_byte_table
                   : choose_machine_narrowing(shape, features);
    if (!short_rows_take(shape) || (has(features, cpu::k_sse2) && shape.pattern_width == 4 &&
                                    m <= k_short_sse2_up_to && n <= k_compare_up_to))
        return choose_machine_narrowing(shape, features);
    // A 4-byte pattern is usually mostly ASCII with a few code points beyond (emoji): as bytes it
    // takes one load a code point from a table, where its rows take two.
    if (shape.pattern_width == 4 && m > k_narrow_plain_above && n <= k_compare_up_to)
        return Path::short_narrowed_plain;
    return m <= k_word_bits ? Path::short_latin1_rows : Path::short_wide_rows;
}

/// The path of a short call, or the machine it leaves to.
constexpr Path choose_short(const Shape& shape, cpu::Features features) noexcept {
    const std::size_t m = shape.pattern_size;
    const std::size_t n = shape.text_size;
    const bool avx512 = has(features, cpu::k_avx512_rows);
    const bool avx2 = has(features, cpu::k_avx2_paths);
    const bool both_ways = has(features, cpu::k_avx512_both_ways);
    const bool bytes = shape.pattern_width == 1 && shape.text_width == 1;
    if (!avx512 && !avx2) return choose_short_without_vectors(shape, features);
    const std::size_t table_above =
        has(features, cpu::k_amd_before_zen4) ? k_avx2_table_above_before_zen4 : k_avx2_table_above;
    if (bytes && !avx512 && m > table_above && m <= k_short_rows_up_to_words * k_word_bits)
        return Path::short_byte_table;
    // Here even the shortest byte pattern is compared on vectors: between two calls from the
    // interpreter there is no other work to hide a table's stores and reloads behind.
    if (m > compared_up_to(shape.pattern_width) ||
        (shape.pattern_width == 4 && n > k_compare_up_to)) {
        // A wide pattern that is neither compared nor narrowed finds each code point of text in
        // the short rows' slots with one load, where the machines' index hashes beyond its first
        // block of 256 (the avx2 and avx512 levels on Zen 5, 300 code points: CJK three times as
        // fast, Cyrillic a fifth).
        const Path machine = choose_machine_narrowing(shape, features);
        return machine == Path::register_rows && shape.pattern_width > 1 &&
                       m <= k_short_rows_up_to_words * k_word_bits &&
                       n <= k_short_wide_text_per_pattern * m
                   ? Path::short_wide_rows
                   : machine;
    }
    if (shape.pattern_width == 4 && m > k_narrow_from) {
        if (avx512) return Path::short_narrowed_avx512;
        return has(features, cpu::k_amd_before_zen4) && m > table_above ? Path::short_narrowed_table
                                                                        : Path::short_narrowed_avx2;
    }
    if (m <= k_word_bits && n >= k_both_ways_from) {
        if (shape.pattern_width == 4 && m > k_halves_above && both_ways)
            return Path::short_halves_both_ways;
        if (shape.pattern_width == 1 && both_ways) return Path::short_both_ways_avx512;
        // 4-byte patterns are not fed from both ends on 256-bit vectors: their two rows take
        // twice the comparisons of one, which costs more than the rows' overlap saves.
        if (shape.pattern_width <= 2 && avx2 && (shape.pattern_width == 1 || !avx512))
            return Path::short_both_ways_avx2;
    }
    // A byte pattern of one word is compared on 256-bit vectors even with AVX-512: the 512-bit
    // comparison's mask reaches the row through a mask register, and took 1 to 2 ns longer a
    // call (letters at 8 to 16 code points and place names, Zen 5).
    const bool byte_word = shape.pattern_width == 1 && m <= k_word_bits && avx2;
    return avx512 && !byte_word ? Path::short_compared_avx512 : Path::short_compared_avx2;
}

/// Whether a short call finds its texts' shared start and end before choosing a path, rather than
/// comparing them whole.
constexpr bool cuts_shared_ends(std::size_t shorter, cpu::Features features) noexcept {
    return shorter > k_whole_up_to ||
           !(has(features, cpu::k_avx2_paths) || has(features, cpu::k_avx512_rows));
}

/// The path for `shape` on a CPU with `features`.
constexpr Path choose(const Shape& shape, cpu::Features features) noexcept {
    return shape.one_length ? choose_short(shape, features)
                            : choose_machine_narrowing(shape, features);
}

/// Whether `path` is one of a short call's own, rather than a machine.
constexpr bool is_short(Path path) noexcept {
    return path <= Path::short_compared_avx2;
}

/// Whether `path` narrows a 4-byte pattern to bytes, which it may decline.
constexpr bool narrows(Path path) noexcept {
    return path == Path::narrowed_compared_avx512 || path == Path::narrowed_compared_avx2 ||
           path == Path::narrowed_rows_avx512 || path == Path::narrowed_rows_avx2;
}

/// The path taken when `path` declines at run time: narrowing declines a pattern with too many
/// distinct code points beyond ASCII, the Latin-1 rows one with too many beyond their table,
/// the halves a code point beyond the first two planes.
constexpr Path fallback(Path path, const Shape& shape, cpu::Features features) noexcept {
    switch (path) {
    case Path::short_narrowed_avx512:
    case Path::short_halves_both_ways:
        return Path::short_compared_avx512;
    case Path::short_narrowed_avx2:
    case Path::short_narrowed_table:
        return Path::short_compared_avx2;
    case Path::short_narrowed_plain:
    case Path::short_latin1_rows:
        return Path::short_wide_rows;
    case Path::narrowed_compared_avx512:
    case Path::narrowed_compared_avx2:
    case Path::narrowed_rows_avx512:
    case Path::narrowed_rows_avx2:
        return choose_machine(shape, features);
    default:
        return path;
    }
}

/// How the long rows of `words` words are updated.
constexpr RowUpdate choose_row_update(std::size_t words, cpu::Features features) noexcept {
    if (words >= k_avx512_row_from_words && has(features, cpu::k_avx512_rows))
        return RowUpdate::avx512;
    if (words >= k_avx2_row_from_words && has(features, cpu::k_avx2_paths)) return RowUpdate::avx2;
    return RowUpdate::scalar;
}

// ---- runs, counted in test builds
// -----------------------------------------------------------------

#ifdef CORVANE_PATH_COUNTERS
/// Runs of each path and row update since the process started, for tests that check every path
/// their shapes should reach ran.
std::uint64_t runs(Path path) noexcept;
std::uint64_t runs(RowUpdate update) noexcept;
void count(Path path) noexcept;
void count(RowUpdate update) noexcept;
#else
inline void count(Path) noexcept {}
inline void count(RowUpdate) noexcept {}
#endif

} // namespace corvane::plan
