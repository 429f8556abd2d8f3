// The CPU features the kernel's paths may use: probed once, capped by the build, and narrowed for
// a scope by tests and benchmarks.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string_view>

// The most the build lets the run-time choice use, set from the CMake cache variable
// CORVANE_MAX_ISA: 0 portable (plain C++, no intrinsics), 1 sse2, 2 avx2, 3 avx512.
#ifndef CORVANE_MAX_ISA_LEVEL
#define CORVANE_MAX_ISA_LEVEL 3
#endif

// Which families of vector code are compiled at all. A family compiled in still runs only where
// the CPU has its features (see `cpu::has`).
#if defined(__x86_64__) && CORVANE_MAX_ISA_LEVEL >= 1
#define CORVANE_X86_SSE2 1
#else
#define CORVANE_X86_SSE2 0
#endif
#if defined(__x86_64__) && CORVANE_MAX_ISA_LEVEL >= 2
#define CORVANE_X86_AVX2 1
#else
#define CORVANE_X86_AVX2 0
#endif
#if defined(__x86_64__) && CORVANE_MAX_ISA_LEVEL >= 3
#define CORVANE_X86_AVX512 1
#else
#define CORVANE_X86_AVX512 0
#endif

namespace corvane::cpu {

/// A set of CPU features, one bit each.
using Features = std::uint32_t;

inline constexpr Features k_sse2 = 1u << 0;
inline constexpr Features k_popcnt = 1u << 1;
inline constexpr Features k_bmi2 = 1u << 2;
inline constexpr Features k_avx2 = 1u << 3;
inline constexpr Features k_avx512f = 1u << 4;
inline constexpr Features k_avx512bw = 1u << 5;
inline constexpr Features k_avx512dq = 1u << 6;
inline constexpr Features k_avx512vl = 1u << 7;
inline constexpr Features k_avx512cd = 1u << 8;
inline constexpr Features k_avx512vbmi2 = 1u << 9;
inline constexpr Features k_avx512vpopcntdq = 1u << 10;
/// Not an instruction set but which CPU it is: AMD's without AVX-512 (Zen 3 and before), where a
/// 256-bit comparison and its mask move cost more beside a table's loads than on Zen 4, which
/// moves some thresholds (see the plan).
inline constexpr Features k_amd_before_zen4 = 1u << 11;

// What each family of paths needs, all of it or none of it.
inline constexpr Features k_avx2_paths = k_avx2 | k_bmi2 | k_popcnt;
inline constexpr Features k_avx512_rows = k_avx512f | k_avx512bw | k_avx512dq | k_avx512vl;
inline constexpr Features k_avx512_text = k_avx512f | k_avx512bw | k_avx512cd | k_popcnt | k_bmi2;
inline constexpr Features k_avx512_both_ways = k_avx512_rows | k_avx512vbmi2 | k_avx512vpopcntdq;
// The compiler's names for each feature set above, for the functions that run only where
// `has` holds for it.
#define CORVANE_TARGET_AVX2 gnu::target("avx2,bmi2,popcnt")
#define CORVANE_TARGET_AVX512_ROWS gnu::target("avx512f,avx512bw,avx512dq,avx512vl")
#define CORVANE_TARGET_AVX512_TEXT gnu::target("avx512f,avx512bw,avx512cd,popcnt,bmi2")
#define CORVANE_TARGET_AVX512_BOTH_WAYS                                                            \
    gnu::target("avx512f,avx512bw,avx512dq,avx512vl,avx512vbmi2,avx512vpopcntdq")

// Every feature some path asks for at run time. SSE2 is part of every x86-64 CPU; asking for it
// lets tests run the plain C++ paths on any x86-64 machine.
inline constexpr Features k_dispatched =
    k_sse2 | k_avx2_paths | k_avx512_rows | k_avx512_text | k_avx512_both_ways;

/// A level of instruction set, as users' CPUs have them and as the build may cap them.
struct Level {
    std::string_view name;
    Features features;
};

/// The levels from the plainest up: what a path may use at each.
inline constexpr Level k_levels[] = {
    {"portable", 0},
    {"sse2", k_sse2},
    {"avx2", k_sse2 | k_popcnt | k_bmi2 | k_avx2},
    {"avx512", k_sse2 | k_popcnt | k_bmi2 | k_avx2 | k_avx512f | k_avx512bw | k_avx512dq |
                   k_avx512vl | k_avx512cd | k_avx512vbmi2 | k_avx512vpopcntdq},
};

/// The features this CPU has, within the build's cap; probed once.
Features available() noexcept;

/// The features the paths use now: `available()`, unless a `Scope` narrows them.
extern std::atomic<Features> g_enabled;

/// The features the paths may use now.
inline Features enabled() noexcept {
    return g_enabled.load(std::memory_order_relaxed);
}

/// Whether every feature of `needed` may be used now: one load, which short calls make a few times.
inline bool has(Features needed) noexcept {
    return (g_enabled.load(std::memory_order_relaxed) & needed) == needed;
}

/// For tests and benchmarks: while it lives, only the features of `allowed` that the CPU has are
/// used, and what was used before comes back when it ends. Which CPU it is stays as it is: a scope
/// narrows instruction sets, so that each level runs the choices this CPU makes at it. Scopes
/// nest; the process never changes its choice otherwise, and nothing in the environment changes
/// it.
class Scope {
  public:
    explicit Scope(Features allowed) noexcept
        : before_(g_enabled.exchange(available() & (allowed | k_amd_before_zen4),
                                     std::memory_order_relaxed)) {}
    ~Scope() { g_enabled.store(before_, std::memory_order_relaxed); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

  private:
    Features before_;
};

/// The levels this machine runs within the build's cap whose paths differ: each one's features are
/// all available, and levels that differ only in features no path asks for at run time are
/// given once, by the highest of them. Never empty.
std::span<const Level> runnable_levels() noexcept;

} // namespace corvane::cpu
