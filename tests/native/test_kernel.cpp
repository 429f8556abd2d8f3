// The reference kernel's values, units and failures, compared bit for bit.
#include "kernel/kernel.hpp"
#include "kernel_cases.hpp"
#include "kernel/reference.hpp"
#include "stored_text.hpp"

#include <gtest/gtest.h>

namespace corvane {
namespace {

using testing::Kernel;
using testing::panic_message;
using testing::similarities;

struct Row {
    const char* source;
    const char* target;
    std::vector<std::uint64_t> lengths;
    std::vector<double> expected;
};

// Each value is compared with ==: the results must match to the last bit.
const Row k_value_table[] = {
    {"abc", "abd", {0, 1, 2, 3}, {1.0, 0.5, 0.8, 0.6666666666666666}},
    {"abc", "abd", {3, 0, 3}, {0.6666666666666666, 1.0, 0.6666666666666666}},
    {"ab", "ba", {1, 2}, {0.6666666666666666, 0.5}},
    {"banana", "ananas", {0, 3, 6}, {1.0, 0.6666666666666666, 0.8333333333333334}},
    {"", "xy", {0, 1, 2}, {1.0, 0.0, 0.0}},
    {"abc", "", {0}, {1.0}},
    {"abc", "abd", {}, {}},
    {"\u00e9", "\u00e9", {0, 1, 2}, {1.0, 0.6666666666666666, 0.0}},
    {"\u65e5\u672c",
     "\u65e5\u672c\u8a9e",
     {1, 2, 3, 9},
     {0.2857142857142857, 0.5, 0.4444444444444444, 0.0}},
    // 4-byte characters: both code points match, denominators count source bytes.
    {"\U0001F600x", "\U0001F600x", {1, 2, 5}, {2.0 / 6, 4.0 / 7, 0.0}},
    // Mixed widths: 'a' (1), 'é' (2), '日' (3), '😀' (4) against a reordering.
    {"a\u00e9\u65e5\U0001F600",
     "\U0001F600\u65e5\u00e9a",
     {1, 2, 3, 4, 10},
     {2.0 / 11, 2.0 / 12, 2.0 / 13, 2.0 / 14, 0.0}},
};

class KernelValues : public ::testing::TestWithParam<Kernel> {};

TEST_P(KernelValues, ReproducesTheValueTableBitForBit) {
    for (const Row& row : k_value_table) {
        const std::vector<double> got =
            similarities(GetParam(), row.source, row.target, row.lengths);
        ASSERT_EQ(got.size(), row.expected.size()) << row.source << " / " << row.target;
        for (std::size_t k = 0; k < got.size(); ++k)
            EXPECT_EQ(std::bit_cast<std::uint64_t>(got[k]),
                      std::bit_cast<std::uint64_t>(row.expected[k]))
                << row.source << " / " << row.target << " length " << row.lengths[k] << ": "
                << got[k] << " != " << row.expected[k];
    }
}

TEST_P(KernelValues, EmptySourceGivesZeroForEveryNonZeroLength) {
    const std::vector<double> got =
        similarities(GetParam(), "", "\u00e9t\u00e9", {0, 1, 2, 3, 4, 5});
    EXPECT_EQ(got, (std::vector<double>{1.0, 0.0, 0.0, 0.0, 0.0, 0.0}));
}

TEST_P(KernelValues, LengthZeroNeverFailsEvenForEmptyTarget) {
    EXPECT_EQ(similarities(GetParam(), "abc", "", {0, 0}), (std::vector<double>{1.0, 1.0}));
    EXPECT_EQ(similarities(GetParam(), "", "", {0}), (std::vector<double>{1.0}));
}

TEST_P(KernelValues, LengthBeyondTargetBytesPanicsWithIndexMessage) {
    EXPECT_EQ(panic_message(GetParam(), "abc", "", {1}),
              "index out of bounds: the len is 1 but the index is 1");
    EXPECT_EQ(panic_message(GetParam(), "\u00e9", "\u00e9", {3}),
              "index out of bounds: the len is 3 but the index is 3");
    // The first offending element in vector order is the one reported.
    EXPECT_EQ(panic_message(GetParam(), "abc", "abd", {0, 1, 99, 7}),
              "index out of bounds: the len is 4 but the index is 99");
    EXPECT_EQ(panic_message(GetParam(), "abc", "abd", {UINT64_MAX}),
              "index out of bounds: the len is 4 but the index is 18446744073709551615");
    EXPECT_EQ(panic_message(GetParam(), "abc", "abd", {3, 2, 1}), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Reference, KernelValues,
                         ::testing::Values(Kernel(reference::prefix_similarities)),
                         [](const auto&) { return "two_rows"; });
INSTANTIATE_TEST_SUITE_P(Module, KernelValues, ::testing::Values(Kernel([](auto s, auto t, auto l) {
                             testing::stored_kernel(s, t, l);
                         })),
                         [](const auto&) { return "module_kernel"; });

TEST(PanicReport, NamesThreadLocationMessageAndBacktraceNote) {
    ::testing::internal::CaptureStderr();
    const auto message = panic_message(reference::prefix_similarities, "a", "b", {5});
    const std::string report = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(message.has_value());
    EXPECT_NE(report.find("thread 'main' panicked at "), std::string::npos) << report;
    EXPECT_NE(report.find(".hpp:"), std::string::npos) << report;
    EXPECT_NE(report.find(*message), std::string::npos) << report;
    EXPECT_NE(report.find("note: run with `CORVANE_BACKTRACE=1` environment variable to display a "
                          "backtrace"),
              std::string::npos)
        << report;
}

TEST(PanicReport, PrintsFramesWhenBacktraceIsRequested) {
    ::setenv("CORVANE_BACKTRACE", "1", 1);
    ::testing::internal::CaptureStderr();
    panic_message(reference::prefix_similarities, "a", "b", {5});
    const std::string report = ::testing::internal::GetCapturedStderr();
    ::unsetenv("CORVANE_BACKTRACE");
    EXPECT_NE(report.find("stack backtrace:\n"), std::string::npos) << report;
    EXPECT_NE(report.find("   0: "), std::string::npos) << report;
    EXPECT_EQ(report.find("note: run with"), std::string::npos) << report;
}

} // namespace
} // namespace corvane
