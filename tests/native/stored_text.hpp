// Text stored as the interpreter stores a str: code points of one width, from UTF-8 test input.
#pragma once

#include "kernel/kernel.hpp"
#include "text.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::testing {

/// The UTF-8 form of one code point.
inline std::string encode_utf8(char32_t point) {
    std::string encoded;
    if (point < 0x80) {
        encoded += static_cast<char>(point);
    } else if (point < 0x800) {
        encoded += static_cast<char>(0xC0 | (point >> 6));
        encoded += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        encoded += static_cast<char>(0xE0 | (point >> 12));
        encoded += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        encoded += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        encoded += static_cast<char>(0xF0 | (point >> 18));
        encoded += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
        encoded += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        encoded += static_cast<char>(0x80 | (point & 0x3F));
    }
    return encoded;
}

/// The code points of well-formed UTF-8 `text`.
inline std::u32string decode_utf8(std::string_view text) {
    std::u32string points;
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = [&](std::size_t k) {
            return static_cast<std::uint32_t>(static_cast<unsigned char>(text[at + k]));
        };
        const std::uint32_t b0 = byte(0);
        if (b0 < 0x80) {
            points += static_cast<char32_t>(b0);
            at += 1;
        } else if (b0 < 0xE0) {
            points += static_cast<char32_t>((b0 & 0x1F) << 6 | (byte(1) & 0x3F));
            at += 2;
        } else if (b0 < 0xF0) {
            points +=
                static_cast<char32_t>((b0 & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F));
            at += 3;
        } else {
            points += static_cast<char32_t>((b0 & 0x07) << 18 | (byte(1) & 0x3F) << 12 |
                                            (byte(2) & 0x3F) << 6 | (byte(3) & 0x3F));
            at += 4;
        }
    }
    return points;
}

/// UTF-8 text stored with `kind` bytes per code point; 0 picks the narrowest kind that holds
/// every code point, as the interpreter does.
class StoredText {
  public:
    explicit StoredText(std::string_view utf8, unsigned kind = 0) {
        const std::u32string points = decode_utf8(utf8);
        char32_t largest = 0;
        for (const char32_t point : points)
            largest = std::max(largest, point);
        if (kind == 0) kind = largest < 0x100 ? 1 : largest < 0x10000 ? 2 : 4;
        storage_.resize(points.size() * kind + 1);
        for (std::size_t k = 0; k < points.size(); ++k)
            for (unsigned b = 0; b < kind; ++b)
                storage_[k * kind + b] = static_cast<unsigned char>(points[k] >> (8 * b));
        view_ = {storage_.data(), points.size(), kind, utf8.size()};
        // As the module does: 1-byte text beyond ASCII is left for the kernel to count. Its
        // length is cleared, so that a kernel reading it uncounted gets it wrong.
        if (kind == 1 && largest >= 0x80) {
            view_.utf8_bytes = 0;
            view_.utf8_counted = false;
        }
    }
    StoredText(const StoredText&) = delete;
    StoredText& operator=(const StoredText&) = delete;

    const TextView& view() const noexcept { return view_; }

  private:
    // Little-endian bytes of each code point; aligned for every width by the allocator.
    std::vector<unsigned char> storage_;
    TextView view_;
};

/// The kernel on UTF-8 input, each text stored with the given kind (0: the narrowest).
inline void stored_kernel(std::string_view source, std::string_view target,
                          std::span<std::uint64_t> lengths, unsigned source_kind = 0,
                          unsigned target_kind = 0) {
    const StoredText stored_source(source, source_kind);
    const StoredText stored_target(target, target_kind);
    prefix_similarities(stored_source.view(), stored_target.view(), lengths);
}

} // namespace corvane::testing
