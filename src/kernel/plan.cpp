// The runs of each path, counted in test builds only.
#include "kernel/plan.hpp"

#ifdef CORVANE_PATH_COUNTERS

#include <atomic>

namespace corvane::plan {
namespace {

std::array<std::atomic<std::uint64_t>, k_path_count> g_path_runs{};
std::array<std::atomic<std::uint64_t>, k_row_update_count> g_update_runs{};

} // namespace

std::uint64_t runs(Path path) noexcept {
    return g_path_runs[static_cast<std::size_t>(path)].load(std::memory_order_relaxed);
}

std::uint64_t runs(RowUpdate update) noexcept {
    return g_update_runs[static_cast<std::size_t>(update)].load(std::memory_order_relaxed);
}

void count(Path path) noexcept {
    g_path_runs[static_cast<std::size_t>(path)].fetch_add(1, std::memory_order_relaxed);
}

void count(RowUpdate update) noexcept {
    g_update_runs[static_cast<std::size_t>(update)].fetch_add(1, std::memory_order_relaxed);
}

} // namespace corvane::plan

#endif
