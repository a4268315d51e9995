// Reading the operator's answers from the console input.
#pragma once

#include <cstddef>

// The longest line taken as an answer; a longer one is read to its end and
// thrown away.
constexpr size_t maxLineChars = 4096;

// One line as the operator typed it, without its line end ("\n", "\r\n").
struct Line {
    char text[maxLineChars + 1];
    size_t len;
    // The line was longer than maxLineChars: it was read to its end and thrown
    // away (text is empty), and a console line said so.
    bool tooLong;
};

// Reads one whole line, so nothing typed ever answers a later prompt. A last
// line without a line end counts. Returns false at end of input, on a read
// error or when an interrupt cut the read short, with the line empty. Main thread.
bool readAnswer(Line& line);

// Like readAnswer, without echo when the console input is a terminal (the
// operator's Enter is then not shown either, so a line end is printed after it).
bool readSecret(Line& line);

// True when the answer is "y" or "yes", blanks around it allowed.
bool answeredYes(const Line& answer);

// The operator is kept waiting from now on (for the loom, a scan, an upload):
// what is typed meanwhile answers no prompt. Main thread.
void operatorWaits();

// Before the first prompt after such a wait: on a terminal, throws away what
// was typed during it and says so in one line, on the console and in the log.
// Piped input is never touched. Main thread.
void discardTypeAhead();

// Overwrites a line that held a secret.
void wipeLine(Line& line);

// Logs why a dialog quits when its read failed: end of input, unless an
// interrupt cut the read short (the main loop logs that itself).
void logInputEnded(const char* where);

// The number an answer begins with, as atoi reads it (blanks, a sign, digits),
// without atoi's overflow: a number beyond int's range comes out as INT_MAX or INT_MIN.
int answerNumber(const char* text);

// "Command not understood: " with the answer and its line end, made safe to print.
void reportNotUnderstood(const Line& answer);

// Prints the one-line refusal for a value unsafeForLoom (protocol/limits.h) rejected.
void reportUnsafeValue();
