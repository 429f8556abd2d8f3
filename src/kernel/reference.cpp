// The straightforward two-row LCS kernel, one counter update per pair of code points.
#include "kernel/reference.hpp"

#include "similarity.hpp"
#include "utf8.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace corvane::reference {

void prefix_similarities(std::string_view source, std::string_view target,
                         std::span<std::uint64_t> lengths) {
    const std::uint64_t entries = row_entries(target.size());
    // Rows are sized by the byte length of target; entries past its code-point count stay 0.
    std::vector<std::uint64_t> previous(entries);
    std::vector<std::uint64_t> current(entries);

    for (std::size_t i = 0; i < source.size();) {
        const char32_t c = decode_code_point(source, i);
        std::size_t j = 0;
        for (std::size_t at = 0; at < target.size(); ++j) {
            const char32_t d = decode_code_point(target, at);
            current[j + 1] = c == d ? previous[j] + 1 : std::max(current[j], previous[j + 1]);
        }
        std::swap(previous, current);
    }
    const std::vector<std::uint64_t>& row = previous;

    for (std::uint64_t& slot : lengths) {
        const std::uint64_t length = slot;
        if (length == 0) {
            slot = k_one_bits;
            continue;
        }
        if (length >= entries) length_out_of_bounds(entries, length);
        slot = similarity_bits(row[length], source.size(), length);
    }
}

} // namespace corvane::reference
