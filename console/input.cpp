#include "console/input.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/echo.h"
#include "base/interrupt.h"
#include "base/io.h"
#include "base/log.h"
#include "base/state.h"
#include "base/text.h"
#include "base/typeahead.h"

namespace {

bool keptWaiting = false;

bool endOfAnswer(Line& line) {
    line.len = 0;
    line.text[0] = '\0';
    return false;
}

} // namespace

bool readAnswer(Line& line) {
    line.len = 0;
    line.tooLong = false;
    line.text[0] = '\0';
    conFlush();
    std::FILE* in = conIn();
    bool any = false;
    // A Ctrl-C, or the loom leaving, cuts the read short (or spares it);
    // whatever it left behind is not an answer.
    if (runMustEnd())
        return endOfAnswer(line);
    for (;;) {
        int c = conGetc();
        // An empty read may be an interrupt whose handler has not run yet.
        if (c == EOF)
            interruptCutRead(in);
        if (runMustEnd())
            return endOfAnswer(line);
        if (c == EOF) {
            if (!any || conReadFailed())
                return endOfAnswer(line);
            break;
        }
        any = true;
        if (c == '\n')
            break;
        // A NUL would cut the answer short wherever it is used.
        if (c == '\0')
            continue;
        if (line.len < maxLineChars)
            line.text[line.len++] = static_cast<char>(c);
        else
            line.tooLong = true;
    }
    while (line.len > 0 && line.text[line.len - 1] == '\r')
        --line.len;
    line.text[line.len] = '\0';
    if (line.tooLong) {
        wipeLine(line);
        conPrint("\n\tThat line was longer than %d characters and was ignored.\n",
                 static_cast<int>(maxLineChars));
    }
    return true;
}

bool readSecret(Line& line) {
    conFlush();
    EchoOff echoOff(conIn());
    bool ok = readAnswer(line);
    if (echoOff.active()) {
        conPrint("\n");
        conFlush();
    }
    return ok;
}

bool answeredYes(const Line& answer) {
    std::string_view yes(answer.text, answer.len);
    while (!yes.empty() && std::strchr(" \t", yes.back()))
        yes.remove_suffix(1);
    while (!yes.empty() && std::strchr(" \t", yes.front()))
        yes.remove_prefix(1);
    return yes == "y" || yes == "yes";
}

void operatorWaits() {
    keptWaiting = true;
}

void discardTypeAhead() {
    if (!keptWaiting)
        return;
    keptWaiting = false;
    // What was typed may hold a passphrase: it is counted, never shown or logged.
    size_t discarded = discardTypedAhead(conIn());
    if (discarded == 0)
        return;
    conPrint("\n\tIgnored what was typed while Shedmate was busy; type it again at the prompt.\n");
    logPrint("discarded %zu characters typed at the terminal while waiting\n", discarded);
}

void wipeLine(Line& line) {
    // Through a volatile pointer, so the stores are not dropped as dead.
    volatile char* p = line.text;
    for (size_t i = 0; i < sizeof line.text; ++i)
        p[i] = '\0';
    line.len = 0;
}

void logInputEnded(const char* where) {
    if (!runMustEnd())
        logPrint("%s: end of input, quitting\n", where);
}

void reportUnsafeValue() {
    conPrint("\n\tNot changed: a value may not contain a double quote (\") or '>'.\n");
}

int answerNumber(const char* text) {
    long n = std::strtol(text, nullptr, 10);
    if (n > INT_MAX)
        return INT_MAX;
    if (n < INT_MIN)
        return INT_MIN;
    return static_cast<int>(n);
}

void reportNotUnderstood(const Line& answer) {
    conPrint("\n\tCommand not understood: %s\n\n", consoleSafe(answer.text).c_str());
}
