// Times the scalar and the vector row update, one code point per pass and two, per row length.
// Two scalar updates run: the plain word loop of the row header, and groups of four words whose
// carries chain through the flags (rows padded to four words), as the kernel's own rows do.
//
//   row_update_bench            the rows of 8 to 1,563 words (about 100,000 positions)
//   row_update_bench --scan     rows from 8 to 40 words, for the scalar-to-vector threshold
//
// Columns: ns per word step for the word loop and the groups, one code point per pass and two
// ("2"), then the vector update likewise; the speedup is the fastest scalar update over the
// faster vector one.
//
// The pattern is random ASCII letters filling the row; the streamed text is random letters too,
// so each step reads the mask of one letter. Each figure is the best of several runs, in
// nanoseconds per word step (one code point times one 64-position word).
#include "kernel/plan.hpp"
#include "kernel/row.hpp"
#include "kernel/vector.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

namespace {

using namespace corvane::detail;

// A row update for one code point: the row, the code point's mask, the row's words; the carry out.
using RowUpdate = std::uint64_t (*)(std::uint64_t* bits, const std::uint64_t* mask,
                                    std::size_t words);

struct Workload {
    std::size_t words;
    std::vector<std::uint64_t> masks;   // 26 rows of `words` words, one per letter
    std::size_t grouped_words;          // `words` rounded up to whole groups of four
    std::vector<std::uint64_t> grouped; // the same masks, `grouped_words` words each
    std::vector<unsigned char> text;    // letter indices
};

// Out of line, as in the kernel's rows, so that each loop has every register to itself.
[[gnu::noinline]] std::uint64_t grouped_row(std::uint64_t* bits, const std::uint64_t* mask,
                                            std::size_t words) noexcept {
    return corvane::detail::advance_row_grouped(bits, mask, words);
}

[[gnu::noinline]] std::uint64_t grouped_row_pair(std::uint64_t* bits, const std::uint64_t* mask_a,
                                                 const std::uint64_t* mask_b,
                                                 std::size_t words) noexcept {
    return corvane::detail::advance_row_grouped_pair(bits, mask_a, mask_b, words);
}

Workload make_workload(std::size_t words, std::size_t positions, std::mt19937_64& random) {
    const std::size_t grouped_words = (words + 3) / 4 * 4;
    Workload load{words,
                  std::vector<std::uint64_t>(26 * words, 0),
                  grouped_words,
                  std::vector<std::uint64_t>(26 * grouped_words, 0),
                  {}};
    std::uniform_int_distribution<unsigned> letter(0, 25);
    for (std::size_t position = 0; position < positions; ++position) {
        const unsigned point = letter(random);
        const std::uint64_t bit = std::uint64_t{1} << (position % 64);
        load.masks[point * words + position / 64] |= bit;
        load.grouped[point * grouped_words + position / 64] |= bit;
    }
    // About twenty million word steps per run, and at least two thousand code points.
    const std::size_t steps = std::max<std::size_t>(2000, 20'000'000 / words);
    load.text.resize(steps);
    for (auto& point : load.text)
        point = static_cast<unsigned char>(letter(random));
    return load;
}

struct Timing {
    double ns_per_word_step;
    std::uint64_t lcs;
};

// The thread's own processor time, so that time spent descheduled on a busy machine is not counted.
double thread_ns() noexcept {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e9 + double(now.tv_nsec);
}

template <class Run>
Timing best_of(const Workload& load, Run run) {
    std::vector<std::uint64_t> row(load.grouped_words);
    Timing best{1e300, 0};
    for (int repeat = 0; repeat < 7; ++repeat) {
        std::fill(row.begin(), row.end(), k_all_ones);
        const double start = thread_ns();
        const std::uint64_t lcs = run(row.data());
        const double took = thread_ns() - start;
        best.ns_per_word_step =
            std::min(best.ns_per_word_step, took / double(load.text.size() * load.words));
        best.lcs = lcs;
    }
    return best;
}

template <RowUpdate update, bool grouped = false>
Timing single(const Workload& load) {
    const std::uint64_t* masks = grouped ? load.grouped.data() : load.masks.data();
    const std::size_t words = grouped ? load.grouped_words : load.words;
    return best_of(load, [&](std::uint64_t* row) {
        std::uint64_t lcs = 0;
        for (const unsigned char point : load.text)
            lcs += update(row, masks + point * words, words);
        return lcs;
    });
}

template <std::uint64_t (*update)(std::uint64_t*, const std::uint64_t*, const std::uint64_t*,
                                  std::size_t) noexcept,
          bool grouped = false>
Timing pair(const Workload& load) {
    const std::uint64_t* masks = grouped ? load.grouped.data() : load.masks.data();
    const std::size_t words = grouped ? load.grouped_words : load.words;
    return best_of(load, [&](std::uint64_t* row) {
        std::uint64_t lcs = 0;
        const std::size_t even = load.text.size() & ~std::size_t{1};
        for (std::size_t k = 0; k < even; k += 2)
            lcs +=
                update(row, masks + load.text[k] * words, masks + load.text[k + 1] * words, words);
        if (even != load.text.size())
            lcs += advance_row_scalar(row, masks + load.text[even] * words, words);
        return lcs;
    });
}

} // namespace

bool same_lcs(const char* name, const Timing& timing, const Timing& scalar) {
    if (timing.lcs == scalar.lcs) return true;
    std::printf("%s: LCS %llu, the scalar loop %llu\n", name,
                static_cast<unsigned long long>(timing.lcs),
                static_cast<unsigned long long>(scalar.lcs));
    return false;
}

int main(int argc, char** argv) {
    const bool scan = argc > 1 && std::strcmp(argv[1], "--scan") == 0;
    const bool vector = corvane::cpu::has(corvane::cpu::k_avx512_rows);
    std::printf("row update, ns per word step (best of 7, thread CPU time); vector path %s; "
                "threshold %zu words\n",
                vector ? "available (AVX-512)" : "not available on this CPU",
                corvane::plan::k_avx512_row_from_words);
    std::printf("%5s %9s | %7s %7s %7s %7s | %7s %7s | %7s\n", "words", "positions", "loop",
                "groups", "loop2", "groups2", "vector", "vector2", "speedup");
    std::vector<std::pair<std::size_t, std::size_t>> rows; // words, positions
    if (scan)
        for (std::size_t words = 8; words <= 40; words += words < 24 ? 1 : 4)
            rows.emplace_back(words, words * 64);
    else
        rows = {{8, 512}, {16, 1024}, {32, 2048}, {64, 4096}, {157, 10'000}, {1563, 100'000}};
    std::mt19937_64 random(7);
    for (const auto [words, positions] : rows) {
        const Workload load = make_workload(words, positions, random);
        const Timing loop = single<advance_row_scalar>(load);
        const Timing groups = single<grouped_row, true>(load);
        const Timing loop2 = pair<advance_row_scalar_pair>(load);
        const Timing groups2 = pair<grouped_row_pair, true>(load);
        if (!same_lcs("groups", groups, loop) || !same_lcs("loop2", loop2, loop) ||
            !same_lcs("groups2", groups2, loop))
            return 1;
        const double scalar = std::min({loop.ns_per_word_step, groups.ns_per_word_step,
                                        loop2.ns_per_word_step, groups2.ns_per_word_step});
        std::printf("%5zu %9zu | %7.3f %7.3f %7.3f %7.3f |", words, positions,
                    loop.ns_per_word_step, groups.ns_per_word_step, loop2.ns_per_word_step,
                    groups2.ns_per_word_step);
        if (!vector) {
            std::printf(" %7s %7s | %7s\n", "-", "-", "-");
            continue;
        }
        const Timing avx = single<advance_row_avx512>(load);
        const Timing avx2 = pair<advance_row_avx512_pair>(load);
        if (!same_lcs("vector", avx, loop) || !same_lcs("vector2", avx2, loop)) return 1;
        std::printf(" %7.3f %7.3f | %6.2fx\n", avx.ns_per_word_step, avx2.ns_per_word_step,
                    scalar / std::min(avx.ns_per_word_step, avx2.ns_per_word_step));
    }
}
