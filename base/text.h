// Bounded copies into the program's fixed text buffers, and the passphrase mask
// that keeps the Wi-Fi secret out of the log.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Copies at most `len` bytes of `src`, stopping early at a NUL, into dst of
// capacity `cap`; truncates to cap - 1 and always terminates. Returns the number
// of bytes stored.
size_t copyBounded(char* dst, size_t cap, const char* src, size_t len);

template <size_t N> size_t copyField(char (&dst)[N], std::string_view src) {
    return copyBounded(dst, N, src.data(), src.size());
}

// The passphrase never reaches the log: log lines that would carry it show
// this mask in its place.
constexpr std::string_view passphraseMask = "********";

// True when `message` holds a passphrase attribute.
bool carriesPassphrase(std::string_view message);

// `message` with the value of its passphrase="..." attribute replaced by the mask.
std::string maskPassphrase(std::string_view message);

// Text that came from a device (USB product and serial strings, tty names),
// made safe to print: escape sequences and control bytes are removed, and
// every byte outside printable ASCII shows as '?', so a device can neither move
// the cursor nor recolour or clear the operator's screen.
std::string printableText(std::string_view deviceText);

// For a byte from 0x80 up at s[0], with n bytes available: the length of the
// well-formed UTF-8 sequence it begins, or 0 when it is a valid beginning that
// needs more bytes, or -1 when it must be dropped (malformed, overlong, a
// surrogate, beyond U+10FFFF, or a C1 control U+0080..U+009F, which some
// terminals obey as escapes).
int utf8Sequence(const unsigned char* s, size_t n);

// `text` with every byte that could drive a terminal left out: control bytes
// (C0, DEL, C1) and malformed UTF-8. Printable ASCII and well-formed UTF-8 stay
// byte for byte.
std::string consoleSafe(std::string_view text);
