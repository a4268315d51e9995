#include "console/input.h"

#include <cstring>

#include "base/echo.h"
#include "base/io.h"
#include "base/log.h"
#include "base/state.h"

bool readAnswer(char* buf, size_t maxChars) {
    std::memset(buf, 0, maxChars + 1);
    conFlush();
    // A Ctrl-C, or the loom leaving, cuts the read short (or spares it);
    // whatever it left behind is not an answer.
    if (runMustEnd() || !std::fgets(buf, static_cast<int>(maxChars + 1), conIn()) || runMustEnd()) {
        buf[0] = '\0';
        return false;
    }
    return true;
}

bool readSecret(char* buf, size_t maxChars) {
    conFlush();
    EchoOff echoOff(conIn());
    bool ok = readAnswer(buf, maxChars);
    if (echoOff.active()) {
        conPrint("\n");
        conFlush();
    }
    return ok;
}

void logInputEnded(const char* where) {
    if (!runMustEnd())
        logPrint("%s: end of input, quitting\n", where);
}

bool unsafeForLoom(const char* text) {
    return std::strpbrk(text, "\">") != nullptr;
}

void reportUnsafeValue() {
    conPrint("\n\tNot changed: a value may not contain a double quote (\") or '>'.\n");
}
