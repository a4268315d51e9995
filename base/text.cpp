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
