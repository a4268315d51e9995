// Text between Windows' wide API (UTF-16) and the program's own UTF-8, so what
// the operator types and the files they name hold the same bytes as elsewhere.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// UTF-16 that arrives in pieces (a console read may end between the two halves
// of a pair), as UTF-8.
class Utf16Decoder {
  public:
    // Appends the UTF-8 of `n` units to `out`. A high surrogate at the end
    // waits for the next call; a surrogate without its partner becomes U+FFFD.
    void decode(const char16_t* text, size_t n, std::string& out);
    // Forgets a half pair still waiting (the input it belonged to was dropped).
    void reset() { high_ = 0; }

  private:
    char16_t high_ = 0;
};

// `text` as UTF-16. A byte that does not belong to well-formed UTF-8 (a
// stray or cut-off sequence, an overlong form, a surrogate, beyond U+10FFFF)
// becomes U+FFFD.
std::u16string utf16FromUtf8(std::string_view text);
