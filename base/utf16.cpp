#include "base/utf16.h"

namespace {

constexpr char32_t replacement = 0xFFFD;

bool isHigh(char32_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool isLow(char32_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

void putUtf8(char32_t c, std::string& out) {
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

void putUtf16(char32_t c, std::u16string& out) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
}

// The character a well-formed sequence at s[0] stands for, and its length in
// `len`; U+FFFD and a length of 1 when the byte begins none.
char32_t nextUtf8(const unsigned char* s, size_t n, size_t& len) {
    len = 1;
    unsigned char b = s[0];
    if (b < 0x80)
        return b;
    size_t need;
    char32_t c;
    char32_t least;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 2, c = b & 0x1F, least = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 3, c = b & 0x0F, least = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 4, c = b & 0x07, least = 0x10000;
    } else {
        return replacement;
    }
    if (n < need)
        return replacement;
    for (size_t i = 1; i < need; ++i) {
        if ((s[i] & 0xC0) != 0x80)
            return replacement;
        c = (c << 6) | (s[i] & 0x3F);
    }
    if (c < least || c > 0x10FFFF || isHigh(c) || isLow(c))
        return replacement;
    len = need;
    return c;
}

} // namespace

void Utf16Decoder::decode(const char16_t* text, size_t n, std::string& out) {
    for (size_t i = 0; i < n; ++i) {
        char32_t u = text[i];
        if (high_) {
            char32_t high = high_;
            high_ = 0;
            if (isLow(u)) {
                putUtf8(0x10000 + ((high - 0xD800) << 10) + (u - 0xDC00), out);
                continue;
            }
            putUtf8(replacement, out);
        }
        if (isHigh(u))
            high_ = static_cast<char16_t>(u);
        else
            putUtf8(isLow(u) ? replacement : u, out);
    }
}

std::u16string utf16FromUtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0, len = 0; i < text.size(); i += len)
        putUtf16(nextUtf8(s + i, text.size() - i, len), out);
    return out;
}
