#include "protocol/limits.h"

bool unsafeForLoom(std::string_view text) {
    return text.find_first_of("\">") != std::string_view::npos;
}

bool isWpaKind(std::string_view encryption) {
    return encryption.starts_with("WPA");
}

ValueProblem textProblem(std::string_view value) {
    if (value.size() > maxTextBytes)
        return ValueProblem::tooLong;
    if (unsafeForLoom(value))
        return ValueProblem::unsafe;
    return ValueProblem::none;
}

ValueProblem passphraseProblem(std::string_view passphrase, std::string_view encryption) {
    if (passphrase.size() > maxPassphraseBytes)
        return ValueProblem::tooLong;
    if (isWpaKind(encryption) && passphrase.size() < minWpaPassphraseBytes)
        return ValueProblem::tooShort;
    if (unsafeForLoom(passphrase))
        return ValueProblem::unsafe;
    return ValueProblem::none;
}
