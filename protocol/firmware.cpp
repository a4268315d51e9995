#include "protocol/firmware.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <system_error>

#include "base/clock.h"
#include "base/interrupt.h"
#include "base/io.h"
#include "base/log.h"
#include "base/path.h"
#include "base/quick_edit.h"
#include "base/state.h"
#include "link/queue.h"
#include "protocol/messages.h"

char firmwarePath[120];

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

struct Image {
    std::unique_ptr<char[]> bytes;
    size_t size = 0;
    std::string file;
};
Image loaded;
FirmwareOutcome outcome = FirmwareOutcome::notSent;

// How long the image waits for the controller to answer the message in flight.
constexpr uint32_t readyWaitMs = 5000;
// A second Ctrl-C within this time of the warning stops the upload.
constexpr uint32_t confirmStopMs = 5000;
// How often the progress line is rewritten on a terminal.
constexpr uint32_t redrawMs = 250;

// Small enough that at an FT245R's rate (about 1 MB/s) a piece takes well under
// the progress and Ctrl-C intervals; big enough that the driver call costs
// nothing next to the bytes.
size_t pieceFor(size_t total) {
    return std::clamp<size_t>(total / 50, 1024, 65536);
}

// Says on the console and in the log why the image is not sent.
void refuse(const char* fmt, ...) SHEDMATE_PRINTF(1, 2);
void refuse(const char* fmt, ...) {
    char why[600];
    std::va_list args;
    va_start(args, fmt);
    std::vsnprintf(why, sizeof why, fmt, args);
    va_end(args);
    conPrint("\n\n\t%s\n\n", why);
    logPrint("sendFirmware(): not sent: %s\n", why);
}

bool isQuote(char c) {
    return c == '"' || c == '\'';
}

// The progress line and the Ctrl-C rule while the image is on the wire.
class Upload {
  public:
    explicit Upload(size_t total)
        : total_(total), started_(tickCount()), terminal_(conIsTerminal()),
          seenInterrupts_(heldInterrupts.load()) {}

    // Between two pieces: false when the operator has stopped the upload or
    // the controller has refused it (it is then not counting image bytes but
    // reading them as commands).
    bool between(size_t sent) {
        if (firmwareRefused()) {
            refused_ = true;
            return false;
        }
        uint32_t now = tickCount();
        int interrupts = heldInterrupts.load();
        if (interrupts != seenInterrupts_) {
            int fresh = interrupts - seenInterrupts_;
            seenInterrupts_ = interrupts;
            if (fresh > 1 || (warned_ && now - warnedAt_ < confirmStopMs)) {
                stopped_ = true;
                return false;
            }
            warned_ = true;
            warnedAt_ = now;
            endLine();
            conPrint("\n\tStopping now leaves the loom without a whole firmware image.\n"
                     "\tPress Ctrl-C again within 5 s to stop the upload anyway.\n\n");
            conFlush();
            logPrintFlush("sendFirmware(): Ctrl-C at %zu of %zu bytes; upload goes on unless "
                          "repeated within 5 s\n",
                          sent, total_);
            lastDraw_ = now - redrawMs;
        }
        show(sent, now, false);
        return true;
    }

    void finish() { show(total_, tickCount(), true); }

    // Leaves the progress line so that other text starts on a line of its own.
    void endLine() {
        if (lineOpen_)
            conPrint("\n");
        lineOpen_ = false;
        shownLen_ = 0;
    }

    bool stopped() const { return stopped_; }
    bool refused() const { return refused_; }
    uint32_t elapsedMs() const { return tickCount() - started_; }
    int seenInterrupts() const { return seenInterrupts_; }

  private:
    void show(size_t sent, uint32_t now, bool last) {
        if (terminal_) {
            if (!last && lineOpen_ && now - lastDraw_ < redrawMs)
                return;
            std::string text = progressText(sent, total_, now - started_);
            size_t len = text.size();
            // Blanks over what a longer previous line left behind.
            text.append(shownLen_ > len ? shownLen_ - len : 0, ' ');
            conPrint("\r\t%s", text.c_str());
            shownLen_ = len;
            lineOpen_ = true;
            lastDraw_ = now;
            if (last)
                endLine();
        } else {
            size_t tenth = static_cast<size_t>(static_cast<uint64_t>(sent) * 10 / total_);
            if (tenth <= shownTenth_)
                return;
            shownTenth_ = tenth;
            conPrint("\t%s\n", progressText(sent, total_, now - started_).c_str());
        }
        conFlush();
    }

    const size_t total_;
    const uint32_t started_;
    const bool terminal_;
    int seenInterrupts_;
    bool warned_ = false;
    uint32_t warnedAt_ = 0;
    bool stopped_ = false;
    bool refused_ = false;
    uint32_t lastDraw_ = 0;
    bool lineOpen_ = false;
    size_t shownLen_ = 0;
    size_t shownTenth_ = 0;
};

} // namespace

std::string cleanFirmwarePath(std::string_view typed, const char* home) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!typed.empty() && blank(typed.front()))
        typed.remove_prefix(1);
    while (!typed.empty() && blank(typed.back()))
        typed.remove_suffix(1);
    if (typed.size() >= 2 && isQuote(typed.front()) && typed.back() == typed.front()) {
        typed.remove_prefix(1);
        typed.remove_suffix(1);
    }
    bool tilde = typed == "~" ||
                 (typed.size() >= 2 && typed[0] == '~' && (typed[1] == '/' || typed[1] == '\\'));
    if (!tilde || !home || !*home)
        return std::string(typed);
    std::string path = home;
    typed.remove_prefix(1);
    if (!typed.empty() && (path.back() == '/' || path.back() == '\\'))
        typed.remove_prefix(1);
    return path.append(typed);
}

std::string progressText(size_t sent, size_t total, uint32_t elapsedMs) {
    char text[160];
    unsigned percent =
        total ? static_cast<unsigned>(static_cast<uint64_t>(sent) * 100 / total) : 100;
    int len = std::snprintf(text, sizeof text, "%3u %%  %zu of %zu bytes", percent, sent, total);
    // Too early for a rate that means anything.
    if (elapsedMs < 100 || sent == 0)
        return std::string(text, static_cast<size_t>(len));
    double rate = static_cast<double>(sent) * 1000.0 / elapsedMs;
    char rateText[32];
    if (rate >= 1e6)
        std::snprintf(rateText, sizeof rateText, "%.1f MB/s", rate / 1e6);
    else
        std::snprintf(rateText, sizeof rateText, "%.0f kB/s", rate / 1e3);
    auto left = static_cast<unsigned long>(std::ceil(static_cast<double>(total - sent) / rate));
    char leftText[40];
    if (left < 60)
        std::snprintf(leftText, sizeof leftText, "%lu s left", left);
    else
        std::snprintf(leftText, sizeof leftText, "%lu min %02lu s left", left / 60, left % 60);
    std::snprintf(text + len, sizeof text - static_cast<size_t>(len), "  %s  %s", rateText,
                  leftText);
    return text;
}

bool loadFirmware() {
    return loadFirmwareFile(cleanFirmwarePath(firmwarePath, homeFolder().c_str()));
}

bool loadFirmwareFile(std::string path) {
    dropFirmware();
    if (path.empty()) {
        refuse("No file name given");
        return false;
    }
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path name = pathFromUtf8(path);
    fs::file_status status = fs::status(name, error);
    if (error) {
        refuse("Unable [%d] to open %s: %s", error.value(), path.c_str(), error.message().c_str());
        return false;
    }
    if (fs::is_directory(status)) {
        refuse("%s is a folder, not a file", path.c_str());
        return false;
    }
    if (!fs::is_regular_file(status)) {
        refuse("%s is not a regular file", path.c_str());
        return false;
    }
    std::unique_ptr<std::FILE, FileCloser> file(openUtf8(path, "rb"));
    if (!file) {
        int e = errno;
        refuse("Unable [%d] to open %s: %s", e, path.c_str(), std::strerror(e));
        return false;
    }
    uintmax_t length = fs::file_size(name, error);
    if (error) {
        refuse("Failed to read file [%d]: %s: %s", error.value(), path.c_str(),
               error.message().c_str());
        return false;
    }
    if (length == 0) {
        refuse("%s is empty", path.c_str());
        return false;
    }
    // The command carries the length as a decimal int.
    if (length > static_cast<uintmax_t>(INT_MAX)) {
        refuse("%s is too large: %ju bytes", path.c_str(), length);
        return false;
    }
    std::unique_ptr<char[]> bytes(new (std::nothrow) char[static_cast<size_t>(length)]);
    if (!bytes) {
        logPrint("Sending update - malloc failed\n");
        conPrint("Sending update: Unable to allocate memory\n");
        return false;
    }
    size_t got = std::fread(bytes.get(), 1, static_cast<size_t>(length), file.get());
    if (std::ferror(file.get())) {
        int e = errno;
        refuse("Failed to read file [%d]: %s: %s", e, path.c_str(), std::strerror(e));
        return false;
    }
    if (got == 0) {
        refuse("%s is empty", path.c_str());
        return false;
    }
    // A file that shrank since it was measured is sent as it now is.
    loaded = Image{std::move(bytes), got, std::move(path)};
    return true;
}

const std::string& firmwareFile() {
    return loaded.file;
}

size_t firmwareSize() {
    return loaded.size;
}

void dropFirmware() {
    loaded = Image{};
}

bool sendFirmware(uint32_t answerWaitMs) {
    Image image = std::move(loaded);
    loaded = Image{};
    outcome = FirmwareOutcome::notSent;
    if (!image.bytes)
        return true;
    const size_t total = image.size;

    // The image goes once the controller has answered what it was sent last,
    // and nothing queued lands inside it or before its answer.
    if (!reserveWire(readyWaitMs, runMustEnd)) {
        if (!runMustEnd())
            refuse("The loom has not answered its last message within %u s; the image was not "
                   "sent",
                   static_cast<unsigned>(readyWaitMs / 1000));
        if (!runMustEnd())
            outcome = FirmwareOutcome::noAnswer;
        return !runMustEnd();
    }
    // Only what follows the reservation can answer the image.
    armFirmwareAnswer();
    struct Reserved {
        ~Reserved() {
            disarmFirmwareAnswer();
            releaseWire();
        }
    } reserved;

    logPrint("Sending update - length: %d file: %s\n", static_cast<int>(total), image.file.c_str());
    conPrint("\tSending file - do not turn computer off or exit program\n\n");
    conFlush();

    Upload upload(total);
    const size_t piece = pieceFor(total);
    // A click into the console window must not hold the progress line, and with
    // it the image, between two pieces.
    std::optional<QuickEditOff> quickEditOff(std::in_place);
    holdInterrupts = 1;
    size_t sent = 0;
    char command[52];
    int commandLen =
        std::snprintf(command, sizeof command, "receivefirmware %d\r", static_cast<int>(total));
    if (sendMsgToLoom(commandLen, command) == commandLen) {
        if (total <= piece)
            acceptFirmwareReady();
        sent = static_cast<size_t>(sendMsgToLoomInPieces(
            static_cast<int>(total), image.bytes.get(), piece, [&](int soFar) {
                // The loom closing or the link going is acted on as it comes.
                if (runEnd() != RunEnd::none || !upload.between(soFar))
                    return false;
                if (total - static_cast<size_t>(soFar) <= piece)
                    acceptFirmwareReady();
                return true;
            }));
    }
    holdInterrupts = 0;
    quickEditOff.reset();
    releaseHeldEndSignal();
    // A Ctrl-C that came after the last look is an ordinary one now.
    if (!upload.stopped() && heldInterrupts.load() != upload.seenInterrupts())
        interruptRequested = 1;
    double seconds = upload.elapsedMs() / 1000.0;

    if (upload.stopped()) {
        upload.endLine();
        conPrint("\n\tUpload stopped: %zu of %zu bytes went to the loom, which now has no whole "
                 "image.\n",
                 sent, total);
        conFlush();
        logPrintFlush("sendFirmware(): stopped by the operator after %zu of %zu bytes\n", sent,
                      total);
        // "close", or anything queued, would be counted as image bytes: the
        // run ends without them.
        closeMsgQueue(nullptr);
        endRun(RunEnd::interrupted, interruptedExitStatus);
        setAppState(state::exit);
        return false;
    }
    std::string reason;
    if (upload.refused()) {
        upload.endLine();
        takeFirmwareAnswer(reason);
        conPrint("\n\tThe loom refused the image after %zu of %zu bytes: %s\n", sent, total,
                 reason.empty() ? "(no reason given)" : reason.c_str());
        conFlush();
        logPrintFlush("sendFirmware(): refused after %zu of %zu bytes: %s\n", sent, total,
                      reason.c_str());
        outcome = FirmwareOutcome::refused;
        return true;
    }
    if (sent < total) {
        upload.endLine();
        if (runEnd() == RunEnd::loomClosed) {
            conPrint("\n\tThe upload stopped after %zu of %zu bytes.\n", sent, total);
            conFlush();
            logPrintFlush("sendFirmware(): stopped after %zu of %zu bytes: the loom closed the "
                          "connection\n",
                          sent, total);
            return false;
        }
        conPrint("\n\tThe upload failed: %zu of %zu bytes went to the loom.\n", sent, total);
        conFlush();
        logPrintFlush("sendFirmware(): upload failed: %zu of %zu bytes sent\n", sent, total);
        endRun(RunEnd::linkLost);
        return false;
    }
    upload.finish();

    const uint32_t limitMs =
        answerWaitMs
            ? answerWaitMs
            : 10000 + static_cast<uint32_t>(static_cast<uint64_t>(total) * 1000 / (1u << 20));
    conPrint("\n\tWaiting for the loom to take the image (at most %u s)...\n", limitMs / 1000);
    conFlush();
    FirmwareAnswer answer = FirmwareAnswer::none;
    uint32_t waitStart = tickCount();
    for (;;) {
        uint32_t seen = stateGeneration();
        answer = takeFirmwareAnswer(reason);
        if (answer != FirmwareAnswer::none || runMustEnd())
            break;
        uint32_t waited = tickCount() - waitStart;
        if (waited >= limitMs)
            break;
        // Bounded: an interrupt cannot wake this wait.
        waitForStateChange(seen, static_cast<int>(std::min<uint32_t>(200, limitMs - waited)));
    }

    switch (answer) {
    case FirmwareAnswer::ready:
        conPrint("\n\tFirmware sent: %zu bytes in %.1f s; the loom acknowledged it.\n", total,
                 seconds);
        logPrintFlush("sendFirmware(): %zu bytes sent in %.1f s; acknowledged\n", total, seconds);
        outcome = FirmwareOutcome::acknowledged;
        break;
    case FirmwareAnswer::error:
        conPrint("\n\tFirmware sent: %zu bytes in %.1f s; the loom refused it: %s\n", total,
                 seconds, reason.empty() ? "(no reason given)" : reason.c_str());
        logPrintFlush("sendFirmware(): %zu bytes sent in %.1f s; refused: %s\n", total, seconds,
                      reason.c_str());
        outcome = FirmwareOutcome::refused;
        break;
    case FirmwareAnswer::none:
        if (runMustEnd()) {
            logPrintFlush("sendFirmware(): %zu bytes sent in %.1f s; the run ended before the "
                          "loom answered\n",
                          total, seconds);
            break;
        }
        conPrint("\n\tFirmware sent: %zu bytes in %.1f s; the loom did not answer within %u s.\n",
                 total, seconds, limitMs / 1000);
        logPrintFlush("sendFirmware(): %zu bytes sent in %.1f s; no answer within %u s\n", total,
                      seconds, limitMs / 1000);
        outcome = FirmwareOutcome::noAnswer;
        break;
    }
    conFlush();
    return true;
}

FirmwareOutcome firmwareOutcome() {
    return outcome;
}

void resetFirmware() {
    firmwarePath[0] = '\0';
    dropFirmware();
    outcome = FirmwareOutcome::notSent;
}
