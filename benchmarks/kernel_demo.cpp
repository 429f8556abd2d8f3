// A short demonstration of the native kernel: similarities of a few prefixes.
#include "kernel.hpp"

#include <bit>
#include <cstdio>
#include <vector>

int main() {
    const char* source = "banana";
    const char* target = "ananas";
    std::vector<std::uint64_t> lengths = {0, 3, 6};
    const std::vector<std::uint64_t> requested = lengths;
    corvane::prefix_similarities(source, target, lengths);
    for (std::size_t k = 0; k < lengths.size(); ++k)
        std::printf("similarity of %s with the first %llu characters of %s: %.17g\n", source,
                    static_cast<unsigned long long>(requested[k]), target,
                    std::bit_cast<double>(lengths[k]));
}
