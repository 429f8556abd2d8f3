// Decoding of well-formed UTF-8, one code point at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvane {

/// Decodes the code point starting at `text[at]` and advances `at` past it. The text must be
/// well-formed UTF-8; the lead byte alone decides how many bytes are consumed.
inline char32_t decode_code_point(std::string_view text, std::size_t& at) noexcept {
    const auto byte = [&](std::size_t k) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(text[at + k]));
    };
    const std::uint32_t b0 = byte(0);
    char32_t point;
    if (b0 < 0x80) {
        point = b0;
        at += 1;
    } else if (b0 < 0xE0) {
        point = (b0 & 0x1F) << 6 | (byte(1) & 0x3F);
        at += 2;
    } else if (b0 < 0xF0) {
        point = (b0 & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
        at += 3;
    } else {
        point =
            (b0 & 0x07) << 18 | (byte(1) & 0x3F) << 12 | (byte(2) & 0x3F) << 6 | (byte(3) & 0x3F);
        at += 4;
    }
    return point;
}

} // namespace corvane
