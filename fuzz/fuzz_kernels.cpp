// libFuzzer target: the bit-parallel kernel against the two-row reference, on arbitrary input.
//
// The input's last bytes choose the shape of the call (see `Shape`); the rest is made into
// well-formed UTF-8 text and split into source and target, which the bit-parallel kernel reads
// stored 1, 2 or 4 bytes to a code point, as the interpreter stores text. Both kernels run on the
// same call; their results must agree bit for bit, and so must their panics, including the message
// of a length beyond the byte length of target.
#include "cpu.hpp"
#include "kernel/kernel.hpp"
#include "kernel/reference.hpp"
#include "kernel/vector.hpp"
#include "panic.hpp"
#include "stored_text.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unistd.h>
#include <variant>
#include <vector>

namespace {

// Long enough for every kernel path, rows of 64 words and more among them (the long rows update
// one code point a pass from 64 words), short enough that the reference, which is quadratic,
// keeps the fuzzer fast.
constexpr std::size_t k_max_points = 66 * 64;
constexpr std::size_t k_max_lengths = 40;

// Standard error as it was at start-up: the fuzzer may discard the target's own standard error
// (where every panic writes its report), but a mismatch must still be seen.
int report_fd = 2;

/// Appends the UTF-8 form of `point`, a Unicode scalar value.
void append_utf8(char32_t point, std::string& out) {
    const auto put = [&](std::uint32_t byte) { out.push_back(static_cast<char>(byte)); };
    const auto p = static_cast<std::uint32_t>(point);
    if (p < 0x80) {
        put(p);
    } else if (p < 0x800) {
        put(0xC0 | p >> 6);
        put(0x80 | (p & 0x3F));
    } else if (p < 0x10000) {
        put(0xE0 | p >> 12);
        put(0x80 | (p >> 6 & 0x3F));
        put(0x80 | (p & 0x3F));
    } else {
        put(0xF0 | p >> 18);
        put(0x80 | (p >> 12 & 0x3F));
        put(0x80 | (p >> 6 & 0x3F));
        put(0x80 | (p & 0x3F));
    }
}

/// Decodes the well-formed UTF-8 sequence at the start of `bytes` (no overlong forms, no
/// surrogates, nothing above U+10FFFF) into `point`; returns its length, or 0 when none starts
/// there.
std::size_t decode_strict(std::span<const unsigned char> bytes, char32_t& point) {
    const unsigned b0 = bytes[0];
    std::size_t size;
    std::uint32_t value;
    std::uint32_t least;
    if (b0 < 0x80) {
        point = b0;
        return 1;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        size = 2, value = b0 & 0x1F, least = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        size = 3, value = b0 & 0x0F, least = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        size = 4, value = b0 & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (bytes.size() < size) return 0;
    for (std::size_t k = 1; k < size; ++k) {
        if ((bytes[k] & 0xC0) != 0x80) return 0;
        value = value << 6 | (bytes[k] & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    point = value;
    return size;
}

/// The code point that a byte starting no well-formed sequence stands for: one of 32 points of
/// each width from two to four bytes, plus a block of private-use points, so that random bytes
/// give text of every width with enough repeats to match.
char32_t stand_in(unsigned char byte) {
    const std::uint32_t k = byte & 0x1F;
    switch (byte >> 5 & 3) {
    case 0:
        return 0x80 + k * 61;
    case 1:
        return 0x800 + k * 1543;
    case 2:
        return 0x10000 + k * 32771;
    default:
        return 0xE000 + k;
    }
}

/// Small alphabets to fold text into, so that long matching runs are common: ASCII only, and one
/// point of each UTF-8 width.
constexpr std::array<char32_t, 3> k_ascii_letters = {U'a', U'b', U'c'};
constexpr std::array<char32_t, 4> k_mixed_letters = {U'a', U'\u00e9', U'\u65e5', U'\U0001F600'};

/// How the input becomes a call. Read from the end of the input, so that the text bytes at its
/// front are what the fuzzer mutates most.
struct Shape {
    std::uint8_t alphabet; // 0: the text as decoded; 1, 2: folded into a small alphabet
    std::uint8_t split;    // where the text is cut into source and target, out of 255
    std::uint8_t shared;   // code points of source that target also starts with
    std::uint8_t repeats;  // low nibble: copies of source; high nibble: copies of target
    bool sorted;           // lengths in increasing order (another path of the fast kernel)
    std::uint8_t widths;   // bits 0-1: storage width of source, 2-3: of target (see `kind_for`)
    std::vector<std::uint16_t> picks; // one per length, see `length_for`
};

/// Takes the shape of the call from the end of the input.
Shape read_shape(FuzzedDataProvider& data) {
    Shape shape{};
    shape.alphabet = data.ConsumeIntegralInRange<std::uint8_t>(0, 2);
    shape.split = data.ConsumeIntegral<std::uint8_t>();
    shape.shared = data.ConsumeIntegral<std::uint8_t>();
    shape.repeats = data.ConsumeIntegral<std::uint8_t>();
    shape.sorted = data.ConsumeBool();
    shape.widths = data.ConsumeIntegral<std::uint8_t>();
    const std::size_t count = data.ConsumeIntegralInRange<std::size_t>(0, k_max_lengths);
    for (std::size_t k = 0; k < count && data.remaining_bytes() > 0; ++k)
        shape.picks.push_back(data.ConsumeIntegral<std::uint16_t>());
    return shape;
}

/// The code points of `bytes` made into text (see `stand_in`), folded as `alphabet` says.
std::vector<char32_t> text_points(std::span<const unsigned char> bytes, std::uint8_t alphabet) {
    std::vector<char32_t> points;
    for (std::size_t at = 0; at < bytes.size();) {
        char32_t point;
        const std::size_t size = decode_strict(bytes.subspan(at), point);
        if (size == 0) point = stand_in(bytes[at]);
        at += size == 0 ? 1 : size;
        if (alphabet == 1) point = k_ascii_letters[point % k_ascii_letters.size()];
        if (alphabet == 2) point = k_mixed_letters[point % k_mixed_letters.size()];
        points.push_back(point);
    }
    return points;
}

/// How many copies of a text of `points` code points to make when `wanted` are asked for: at least
/// one, and no more than keep it within k_max_points.
std::size_t copies(std::size_t wanted, std::size_t points) {
    const std::size_t most = points == 0 ? wanted : k_max_points / points;
    return std::max<std::size_t>(1, std::min(wanted, most));
}

/// The UTF-8 text of `copies` copies of `points`.
std::string encode(std::span<const char32_t> points, std::size_t copies) {
    std::string text;
    for (std::size_t copy = 0; copy < copies; ++copy)
        for (const char32_t point : points)
            append_utf8(point, text);
    return text;
}

/// A length chosen by `pick`: anywhere up to the byte length of target (including the lengths past
/// its code points), up to its code-point count, around that count, or, rarely, beyond the byte
/// length, where both kernels must panic.
std::uint64_t length_for(std::uint16_t pick, std::uint64_t points, std::uint64_t bytes) {
    const std::uint64_t v = pick & 0x3FFF;
    switch (pick >> 14) {
    case 0:
        return v % (bytes + 1);
    case 1:
        return v % (points + 1);
    case 2:
        return std::min(bytes, points + v % 5 > 2 ? points + v % 5 - 2 : 0);
    default:
        if (v == 0x3FFF) return ~std::uint64_t{0};
        if (v < 48) return bytes + 1 + v;
        return bytes - std::min<std::uint64_t>(bytes, v % 4);
    }
}

/// The storage width of a text: 0 as the interpreter stores it, or a wider one it also fits.
unsigned kind_for(unsigned choice, std::string_view text) {
    const unsigned narrowest = corvane::testing::StoredText(text).view().kind;
    const unsigned wider = choice == 1 ? 2 : choice >= 2 ? 4 : 0;
    return wider > narrowest ? wider : 0;
}

/// What a kernel did with a call: the panic message, or the bits of its results.
struct Outcome {
    std::optional<std::string> panic;
    std::vector<std::uint64_t> bits;

    bool operator==(const Outcome&) const = default;
};

/// Runs `kernel` on a copy of `lengths`.
template <class Kernel>
Outcome run(Kernel kernel, std::string_view source, std::string_view target,
            std::vector<std::uint64_t> lengths) {
    try {
        kernel(source, target, std::span(lengths));
        return {std::nullopt, std::move(lengths)};
    } catch (corvane::Panic& failure) {
        const corvane::PanicPayload& payload = failure.payload();
        if (const auto* text = std::get_if<std::string>(&payload)) return {*text, {}};
        if (const auto* text = std::get_if<const char*>(&payload)) return {*text, {}};
        return {"<payload that is not text>", {}};
    }
}

/// Writes `text` as hexadecimal bytes to the report.
void write_text(const char* label, std::string_view text) {
    dprintf(report_fd, "%s (%zu bytes):", label, text.size());
    for (const char byte : text)
        dprintf(report_fd, " %02x", static_cast<unsigned char>(byte));
    dprintf(report_fd, "\n");
}

/// Writes an outcome, its doubles in full precision, to the report.
void write_outcome(const char* label, const Outcome& outcome) {
    if (outcome.panic) {
        dprintf(report_fd, "%s: panic \"%s\"\n", label, outcome.panic->c_str());
        return;
    }
    dprintf(report_fd, "%s:", label);
    for (const std::uint64_t bits : outcome.bits)
        dprintf(report_fd, " %.17g", std::bit_cast<double>(bits));
    dprintf(report_fd, "\n");
}

/// Describes the call on which the kernels disagree, then aborts so the fuzzer keeps the input.
[[noreturn]] void report_mismatch(std::string_view source, std::string_view target,
                                  std::span<const std::uint64_t> lengths, const Outcome& fast,
                                  const Outcome& reference) {
    dprintf(report_fd, "\n==== the fast kernel disagrees with the reference kernel ====\n");
    write_text("source", source);
    write_text("target", target);
    dprintf(report_fd, "lengths:");
    for (const std::uint64_t length : lengths)
        dprintf(report_fd, " %llu", static_cast<unsigned long long>(length));
    dprintf(report_fd, "\n");
    write_outcome("fast", fast);
    write_outcome("reference", reference);
    std::abort();
}

} // namespace

/// Keeps a copy of standard error before the fuzzer may discard it.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const int saved = dup(2); saved >= 0) report_fd = saved;
    return 0;
}

/// Runs both kernels on the call made from `input` and compares what they did.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    FuzzedDataProvider data(input, size);
    const Shape shape = read_shape(data);
    const std::vector<std::uint8_t> bytes = data.ConsumeRemainingBytes<std::uint8_t>();
    const std::vector<char32_t> points = text_points(bytes, shape.alphabet);

    const std::size_t cut = points.size() * shape.split / 255;
    const std::span<const char32_t> source_points = std::span(points).first(cut);
    std::vector<char32_t> target_points(
        source_points.begin(),
        source_points.begin() + std::min<std::size_t>(shape.shared, source_points.size()));
    target_points.insert(target_points.end(), points.begin() + cut, points.end());

    const std::size_t source_copies = copies(shape.repeats & 0xF, source_points.size());
    const std::size_t target_copies = copies(shape.repeats >> 4, target_points.size());
    const std::string source = encode(source_points, source_copies);
    const std::string target = encode(target_points, target_copies);

    const std::uint64_t target_point_count = target_points.size() * target_copies;
    std::vector<std::uint64_t> lengths;
    for (const std::uint16_t pick : shape.picks)
        lengths.push_back(length_for(pick, target_point_count, target.size()));
    if (shape.sorted) std::ranges::sort(lengths);

    const unsigned source_kind = kind_for(shape.widths & 3, source);
    const unsigned target_kind = kind_for(shape.widths >> 2 & 3, target);
    const auto stored = [&](std::string_view s, std::string_view t, std::span<std::uint64_t> l) {
        corvane::testing::stored_kernel(s, t, l, source_kind, target_kind);
    };
    const Outcome reference = run(corvane::reference::prefix_similarities, source, target, lengths);
    // Every level of vector code this machine runs takes its own paths.
    for (const corvane::cpu::Level& level : corvane::cpu::runnable_levels()) {
        const corvane::cpu::Scope scope(level.features);
        const Outcome fast = run(stored, source, target, lengths);
        if (fast != reference) report_mismatch(source, target, lengths, fast, reference);
    }
    return 0;
}
