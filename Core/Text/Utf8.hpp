#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvel::Utf8 {

// Reads scalars from UTF-8; a malformed sequence reads as U+FFFD, one byte at a time.
class Cursor {
public:
    explicit Cursor(std::string_view text) : text_(text) {}
    bool done() const { return at_ >= text_.size(); }
    size_t offset() const { return at_; }
    uint32_t next() {
        const auto b = [&](size_t i) { return static_cast<unsigned char>(text_[i]); };
        const unsigned char lead = b(at_);
        if (lead < 0x80) {
            ++at_;
            return lead;
        }
        size_t len = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
        if (len == 0 || lead > 0xF4 || at_ + len > text_.size()) {
            ++at_;
            return 0xFFFD;
        }
        uint32_t c = lead & (0x7F >> len);
        for (size_t i = 1; i < len; ++i) {
            const unsigned char t = b(at_ + i);
            if ((t & 0xC0) != 0x80) {
                ++at_;
                return 0xFFFD;
            }
            c = (c << 6) | (t & 0x3F);
        }
        static constexpr uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < least[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            ++at_;
            return 0xFFFD;
        }
        at_ += len;
        return c;
    }

private:
    std::string_view text_;
    size_t at_ = 0;
};

inline void append(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace korvel::Utf8
