// Times the two-row reference kernel against the bit-parallel kernel on random texts.
#include "cpu.hpp"
#include "kernel/kernel.hpp"
#include "kernel/reference.hpp"
#include "kernel/vector.hpp"
#include "stored_text.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

struct Alphabet {
    const char* name;
    std::vector<std::string> points;
};

std::vector<Alphabet> alphabets() {
    std::vector<Alphabet> out;
    Alphabet letters{"letters", {}};
    for (char32_t c = 'a'; c <= 'z'; ++c)
        letters.points.push_back(corvane::testing::encode_utf8(c));
    out.push_back(letters);
    out.push_back({"dna", {"A", "C", "G", "T"}});
    // The 3,000 code points from U+4E00, roughly the common CJK ideographs of running text.
    Alphabet cjk{"cjk", {}};
    for (char32_t c = 0x4E00; c < 0x4E00 + 3000; ++c)
        cjk.points.push_back(corvane::testing::encode_utf8(c));
    out.push_back(cjk);
    return out;
}

std::string random_text(const Alphabet& alphabet, std::size_t count, std::mt19937_64& random) {
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.points.size() - 1);
    std::string text;
    for (std::size_t k = 0; k < count; ++k)
        text += alphabet.points[pick(random)];
    return text;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

volatile std::uint64_t g_sink;

/// Seconds per call: the best of five batches, each long enough to fill a fifth of `budget`;
/// a kernel slower than `budget` per call is run once.
template <class Kernel>
double time_call(Kernel kernel, std::uint64_t length, double budget, int& runs) {
    std::vector<std::uint64_t> lengths{length};
    const auto once = [&] {
        lengths[0] = length;
        kernel(std::span(lengths));
        g_sink = lengths[0];
    };
    auto start = std::chrono::steady_clock::now();
    once();
    const double first = seconds_since(start);
    runs = 1;
    if (first >= budget) return first;
    const auto batch = static_cast<std::size_t>(std::max(1.0, budget / 5 / std::max(first, 1e-9)));
    double best = first;
    for (int round = 0; round < 5; ++round) {
        start = std::chrono::steady_clock::now();
        for (std::size_t k = 0; k < batch; ++k)
            once();
        best = std::min(best, seconds_since(start) / static_cast<double>(batch));
        runs += static_cast<int>(batch);
    }
    return best;
}

std::string human(double seconds) {
    char text[32];
    if (seconds < 1e-6)
        std::snprintf(text, sizeof text, "%.0f ns", seconds * 1e9);
    else if (seconds < 1e-3)
        std::snprintf(text, sizeof text, "%.2f us", seconds * 1e6);
    else if (seconds < 1)
        std::snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
    else
        std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

std::vector<std::size_t> parse_sizes(const char* text) {
    std::vector<std::size_t> sizes;
    for (char* end = nullptr;; text = end + 1) {
        sizes.push_back(std::strtoull(text, &end, 10));
        if (*end != ',') break;
    }
    return sizes;
}

/// The whole of a UTF-8 file.
std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// UTF-8 text of the code points [begin, begin + count) of `points`.
std::string encode_range(const std::u32string& points, std::size_t begin, std::size_t count) {
    std::string out;
    for (std::size_t k = begin; k < begin + count && k < points.size(); ++k)
        out += corvane::testing::encode_utf8(points[k]);
    return out;
}

/// The fast kernel at each level of vector code this machine runs, side by side: random letters
/// and two stretches of each document, of N code points each.
void compare_levels(const std::vector<std::string>& documents, std::mt19937_64& random) {
    const auto levels = corvane::cpu::runnable_levels();
    std::printf("\nLevels: the fast kernel with the paths of each instruction-set level this CPU "
                "runs, one full-length request\n");
    std::printf("%-22s %8s", "text", "N");
    for (const corvane::cpu::Level& level : levels)
        std::printf(" %12.*s", static_cast<int>(level.name.size()), level.name.data());
    std::printf(" %8s\n", "top/low");
    std::vector<std::pair<std::string, std::u32string>> texts;
    Alphabet letters = alphabets()[0];
    std::string random_letters = random_text(letters, 200000, random);
    texts.emplace_back("letters", corvane::testing::decode_utf8(random_letters));
    for (const std::string& path : documents) {
        const std::string name = path.substr(path.find_last_of('/') + 1);
        texts.emplace_back(name, corvane::testing::decode_utf8(read_file(path.c_str())));
    }
    for (const auto& [name, points] : texts)
        for (const std::size_t size : {1000, 10000, 100000}) {
            if (points.size() < 2 * size) continue;
            const corvane::testing::StoredText source(encode_range(points, 0, size));
            const corvane::testing::StoredText target(encode_range(points, size, size));
            std::printf("%-22s %8zu", name.c_str(), size);
            std::vector<double> seconds;
            for (const corvane::cpu::Level& level : levels) {
                const corvane::cpu::Scope scope(level.features);
                int runs = 0;
                seconds.push_back(time_call(
                    [&](std::span<std::uint64_t> lengths) {
                        corvane::prefix_similarities(source.view(), target.view(), lengths);
                    },
                    size, 0.5, runs));
                std::printf(" %12s", human(seconds.back()).c_str());
            }
            std::printf(" %7.2fx\n", seconds.front() / seconds.back());
            std::fflush(stdout);
        }
}

} // namespace

/// Prints the table; with --csv FILE also writes its figures there, with --estimate-largest the
/// reference at the largest size is extrapolated quadratically from the one before instead of run,
/// with --sizes N,N,... other sizes are measured, and with --documents FILE,FILE the row
/// updates are also compared on stretches of those UTF-8 documents.
int main(int argc, char** argv) {
    const char* csv_path = nullptr;
    std::vector<std::size_t> sizes{16, 64, 1000, 10000, 100000};
    bool estimate_largest = false;
    std::vector<std::string> documents;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--csv") == 0 && k + 1 < argc)
            csv_path = argv[++k];
        else if (std::strcmp(argv[k], "--estimate-largest") == 0)
            estimate_largest = true;
        else if (std::strcmp(argv[k], "--sizes") == 0 && k + 1 < argc)
            sizes = parse_sizes(argv[++k]);
        else if (std::strcmp(argv[k], "--documents") == 0 && k + 1 < argc)
            for (std::string list = argv[++k]; !list.empty();) {
                const std::size_t comma = list.find(',');
                documents.push_back(list.substr(0, comma));
                list = comma == std::string::npos ? "" : list.substr(comma + 1);
            }
    }
    std::ofstream csv;
    if (csv_path != nullptr) {
        csv.open(csv_path);
        csv << "alphabet,size,reference_seconds,reference_measured,fast_seconds\n";
    }

    std::mt19937_64 random(7);
    std::printf(
        "Native kernels, one full-length request, source and target of N code points each\n");
    std::printf("%-8s %8s %14s %12s %9s %14s\n", "alphabet", "N", "reference", "fast", "ratio",
                "ns/word step");
    for (const Alphabet& alphabet : alphabets()) {
        double previous_reference = 0;
        std::size_t previous_size = 1;
        for (const std::size_t size : sizes) {
            const std::string source = random_text(alphabet, size, random);
            const std::string target = random_text(alphabet, size, random);
            int runs = 0;
            // The fast kernel reads text stored as the interpreter stores it.
            const corvane::testing::StoredText stored_source(source);
            const corvane::testing::StoredText stored_target(target);
            const double fast = time_call(
                [&](std::span<std::uint64_t> lengths) {
                    corvane::prefix_similarities(stored_source.view(), stored_target.view(),
                                                 lengths);
                },
                size, 0.5, runs);
            const bool largest = size == sizes.back();
            double reference;
            bool measured = true;
            std::string note;
            if (largest && estimate_largest) {
                const double scale = static_cast<double>(size) / static_cast<double>(previous_size);
                reference = previous_reference * scale * scale;
                measured = false;
                note = " (est.)";
            } else {
                reference = time_call(
                    [&](std::span<std::uint64_t> lengths) {
                        corvane::reference::prefix_similarities(source, target, lengths);
                    },
                    size, 1.0, runs);
                if (runs == 1) note = " (1 run)";
            }
            previous_reference = reference;
            previous_size = size;
            const double word_steps =
                static_cast<double>(size) * static_cast<double>((size + 63) / 64);
            std::printf("%-8s %8zu %14s %12s %8.0fx %14.2f\n", alphabet.name, size,
                        (human(reference) + note).c_str(), human(fast).c_str(), reference / fast,
                        fast * 1e9 / word_steps);
            std::fflush(stdout);
            if (csv.is_open())
                csv << alphabet.name << ',' << size << ',' << reference << ',' << (measured ? 1 : 0)
                    << ',' << fast << '\n';
        }
    }
    compare_levels(documents, random);
    return 0;
}
