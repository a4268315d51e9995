#include "base/text.h"

size_t copyBounded(char* dst, size_t cap, const char* src, size_t len) {
    if (cap == 0)
        return 0;
    size_t n = 0;
    while (n < len && n + 1 < cap && src[n] != '\0') {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = '\0';
    return n;
}

namespace {
constexpr std::string_view passphraseAttr = "passphrase=\"";
}

bool carriesPassphrase(std::string_view message) {
    return message.find(passphraseAttr) != std::string_view::npos;
}

std::string maskPassphrase(std::string_view message) {
    std::string out;
    size_t from = 0;
    for (;;) {
        size_t at = message.find(passphraseAttr, from);
        if (at == std::string_view::npos)
            break;
        size_t value = at + passphraseAttr.size();
        size_t end = message.find('"', value);
        out.append(message.substr(from, value - from));
        out.append(passphraseMask);
        if (end == std::string_view::npos) {
            from = message.size();
            break;
        }
        from = end;
    }
    out.append(message.substr(from));
    return out;
}

std::string printableText(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        if (c == 0x1b && i + 1 < in.size()) {
            char kind = in[++i];
            if (kind == '[') {
                // CSI: parameters and intermediates up to the final byte.
                while (i + 1 < in.size() && !(in[i + 1] >= 0x40 && in[i + 1] <= 0x7e))
                    ++i;
                ++i;
            } else if (kind == ']' || kind == 'P' || kind == '_' || kind == '^') {
                // A string sequence runs to BEL or to ESC '\'.
                while (i + 1 < in.size() && in[i + 1] != '\a' &&
                       !(in[i + 1] == 0x1b && i + 2 < in.size() && in[i + 2] == '\\'))
                    ++i;
                i += (i + 1 < in.size() && in[i + 1] == 0x1b) ? 2 : 1;
            }
            continue;
        }
        if (c < 0x20 || c == 0x7f)
            continue;
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

int utf8Sequence(const unsigned char* s, size_t n) {
    unsigned lead = s[0];
    size_t len;
    // The range of the second byte; C2's lower bound keeps out C1.
    unsigned lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
        if (lead == 0xC2)
            lo = 0xA0;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        if (lead == 0xE0)
            lo = 0xA0;
        if (lead == 0xED)
            hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        if (lead == 0xF0)
            lo = 0x90;
        if (lead == 0xF4)
            hi = 0x8F;
    } else {
        return -1;
    }
    for (size_t i = 1; i < len; ++i) {
        if (i >= n)
            return 0;
        unsigned b = s[i];
        if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF))
            return -1;
    }
    return static_cast<int>(len);
}

std::string consoleSafe(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = s[i];
        if (c < 0x80) {
            if (c >= 0x20 && c != 0x7F)
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        int len = utf8Sequence(s + i, n - i);
        if (len > 0) {
            out.append(text.data() + i, static_cast<size_t>(len));
            i += static_cast<size_t>(len);
        } else {
            ++i;
        }
    }
    return out;
}
