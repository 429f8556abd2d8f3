// The probe of the CPU's features, once per process, and the features in use.
#include "cpu.hpp"

#include <vector>

namespace corvane::cpu {
namespace {

Features probe() noexcept {
    Features found = 0;
#if CORVANE_X86_SSE2
    __builtin_cpu_init();
    const auto add = [&](bool present, Features feature) { found |= present ? feature : 0; };
    add(__builtin_cpu_supports("sse2"), k_sse2);
#if CORVANE_X86_AVX2
    add(__builtin_cpu_supports("popcnt"), k_popcnt);
    add(__builtin_cpu_supports("bmi2"), k_bmi2);
    add(__builtin_cpu_supports("avx2"), k_avx2);
    // Read whatever the build's cap: it tells the CPU's generation, not what the paths may use.
    add(__builtin_cpu_is("amd") && !__builtin_cpu_supports("avx512f"), k_amd_before_zen4);
#endif
#if CORVANE_X86_AVX512
    add(__builtin_cpu_supports("avx512f"), k_avx512f);
    add(__builtin_cpu_supports("avx512bw"), k_avx512bw);
    add(__builtin_cpu_supports("avx512dq"), k_avx512dq);
    add(__builtin_cpu_supports("avx512vl"), k_avx512vl);
    add(__builtin_cpu_supports("avx512cd"), k_avx512cd);
    add(__builtin_cpu_supports("avx512vbmi2"), k_avx512vbmi2);
    add(__builtin_cpu_supports("avx512vpopcntdq"), k_avx512vpopcntdq);
#endif
#endif
    return found;
}

// Probed while the library loads, before any call can ask.
const Features k_available = probe();

} // namespace

Features available() noexcept {
    return k_available;
}

std::atomic<Features> g_enabled{k_available};

std::span<const Level> runnable_levels() noexcept {
    static const std::vector<Level> levels = [] {
        std::vector<Level> found;
        for (const Level& level : k_levels) {
            if ((level.features & k_available) != level.features) break;
            if (!found.empty() &&
                (found.back().features & k_dispatched) == (level.features & k_dispatched))
                found.pop_back();
            found.push_back(level);
        }
        return found;
    }();
    return levels;
}

} // namespace corvane::cpu
