// What the loom can take in a setting: the lengths its fields hold and the
// characters its messages cannot carry. The interactive editors and the command
// line check values against the same rules.
#pragma once

#include <cstddef>
#include <string_view>

// A loom name, a static address or a network name; counted in bytes.
constexpr size_t maxTextBytes = 32;
constexpr size_t maxPassphraseBytes = 48;
// WPA and WPA2 take no shorter passphrase (IEEE 802.11i).
constexpr size_t minWpaPassphraseBytes = 8;

// True when text holds a character the loom's messages cannot carry (a double
// quote ends an attribute, ">" ends a message). Such a value is refused.
bool unsafeForLoom(std::string_view text);

// True for the encryption kinds that need a WPA passphrase: every kind the
// controller names beginning with "WPA" (WPA, WPA2, WPA2-PSK...).
bool isWpaKind(std::string_view encryption);

enum class ValueProblem { none, tooLong, tooShort, unsafe };

// A loom name, static address or network name.
ValueProblem textProblem(std::string_view value);

// A passphrase for a network of the given kind: at most maxPassphraseBytes,
// and at least minWpaPassphraseBytes for a WPA kind.
ValueProblem passphraseProblem(std::string_view passphrase, std::string_view encryption);
