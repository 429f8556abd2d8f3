// The prefix similarity kernel used by the module.
#include "kernel.hpp"

#include "kernel_reference.hpp"

namespace corvane {

void prefix_similarities(std::string_view source, std::string_view target,
                         std::span<std::uint64_t> lengths) {
    reference::prefix_similarities(source, target, lengths);
}

} // namespace corvane
