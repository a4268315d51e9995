#include "console/input.h"

#include <cstring>

#include "base/echo.h"
#include "base/interrupt.h"
#include "base/io.h"
#include "base/log.h"

bool readAnswer(char* buf, size_t maxChars) {
    std::memset(buf, 0, maxChars + 1);
    conFlush();
    bool got = std::fgets(buf, static_cast<int>(maxChars + 1), conIn()) != nullptr;
    // An empty read may be an interrupt whose handler has not run yet.
    if (!got)
        interruptCutRead(conIn());
    // A Ctrl-C cuts the read short; whatever it left behind is not an answer.
    if (!got || interruptRequested) {
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
    if (!interruptRequested)
        logPrint("%s: end of input, quitting\n", where);
}

bool unsafeForLoom(const char* text) {
    return std::strpbrk(text, "\">") != nullptr;
}

void reportUnsafeValue() {
    conPrint("\n\tNot changed: a value may not contain a double quote (\") or '>'.\n");
}
