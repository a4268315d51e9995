#include "support/session.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>

#include <fcntl.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include "app/main_loop.h"
#include "base/clock.h"
#include "base/interrupt.h"
#include "base/io.h"
#include "base/log.h"
#include "base/state.h"
#include "link/connection.h"
#include "link/queue.h"
#include "link/reader.h"
#include "protocol/firmware.h"
#include "protocol/settings.h"
#include "support/fake_driver.h"

namespace {

// The program may print while the test reads. The stream's lock is held from
// the rewind to the seek back, or a line printed in between would land at the
// start of the file over what was there.
std::string readAll(std::FILE* f) {
#if defined(_WIN32)
    _lock_file(f);
#else
    flockfile(f);
#endif
    std::fflush(f);
    long here = std::ftell(f);
    std::rewind(f);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    std::fseek(f, here, SEEK_SET);
#if defined(_WIN32)
    _unlock_file(f);
#else
    funlockfile(f);
#endif
    return text;
}

bool makePipe(int fds[2]) {
#if defined(_WIN32)
    return _pipe(fds, 65536, _O_BINARY) == 0;
#else
    return pipe(fds) == 0;
#endif
}

} // namespace

void resetProgramState(bool withRxWait) {
    fake::reset(withRxWait);
    setTickSource(nullptr);
    resetRunState();
    // Each test stands for a fresh process: no request is carried over.
    interruptRequested = 0;
    interruptSignal = 0;
    // The pieces a test drives without startUp expect the queue to be there.
    createMsgQueue();
}

std::string readLog(const char* name) {
    std::ifstream f(name, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
#if defined(_WIN32)
    // The log is a text file: on Windows every "\n" the program wrote is "\r\n"
    // on disk. Undo that as a text-mode read would (without its stop at 0x1A).
    std::string text = s.str();
    std::string lf;
    lf.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            lf += text[i];
    return lf;
#else
    return s.str();
#endif
}

ConsoleCapture::ConsoleCapture(const std::string& input)
    : in_(std::tmpfile()), out_(std::tmpfile()) {
    std::fwrite(input.data(), 1, input.size(), in_);
    std::rewind(in_);
    setConsoleStreams(in_, out_);
}

ConsoleCapture::~ConsoleCapture() {
    setConsoleStreams(nullptr, nullptr);
    std::fclose(in_);
    std::fclose(out_);
}

std::string ConsoleCapture::output() {
    return readAll(out_);
}

ConsolePipe::ConsolePipe() {
    int fds[2];
    if (makePipe(fds)) {
        in_ = fdopen(fds[0], "rb");
        writer_ = fdopen(fds[1], "wb");
    }
    out_ = std::tmpfile();
    setConsoleStreams(in_, out_);
}

ConsolePipe::~ConsolePipe() {
    closeInput();
    setConsoleStreams(nullptr, nullptr);
    if (in_)
        std::fclose(in_);
    std::fclose(out_);
}

void ConsolePipe::type(const std::string& text) {
    if (!writer_)
        return;
    std::fwrite(text.data(), 1, text.size(), writer_);
    std::fflush(writer_);
}

void ConsolePipe::closeInput() {
    if (writer_)
        std::fclose(writer_);
    writer_ = nullptr;
}

std::string ConsolePipe::output() {
    return readAll(out_);
}

bool ConsolePipe::waitForOutput(const std::string& needle, int timeoutMs, int times) {
    return eventually([&] { return countOf(output(), needle) >= times; }, timeoutMs);
}

namespace {
std::mutex sessionMutex;
std::condition_variable sessionCv;
} // namespace

SessionThread::SessionThread(DriverChoice chooseDriver) {
    thread_ = std::thread([this, chooseDriver] {
        int status = runShedmate(chooseDriver);
        std::lock_guard<std::mutex> lock(sessionMutex);
        status_ = status;
        done_ = true;
        sessionCv.notify_all();
    });
}

SessionThread::~SessionThread() {
    if (thread_.joinable()) {
        if (!join(10000))
            thread_.detach();
    }
}

bool SessionThread::join(int timeoutMs) {
    {
        std::unique_lock<std::mutex> lock(sessionMutex);
        if (!sessionCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [this] { return done_; }))
            return false;
    }
    if (thread_.joinable())
        thread_.join();
    return true;
}

RunStopper::~RunStopper() {
    console.closeInput();
    if (!run.join(2000)) {
        setAppState(state::quit);
        run.join(5000);
    }
}

std::string loginReply(const std::string& line) {
    if (line.empty())
        return "<Weftrix loom controller: LOOM-7, 4.5v2.18>\r\n<Password: LOOM-7, 4.5v2.18>\r\n";
    if (line == "tulip")
        return "<ready>\r\n";
    if (line == "<netstatus/>")
        return "<netstatus>\r\n<hostname=\"LOOM-7\"/>\r\n<state=\"CONNECTED\"/>\r\n"
               "<current=\"192.168.1.40\"/>\r\n<dhcp=\"DHCP_OFF\"/>\r\n"
               "<static=\"192.168.1.50\"/>\r\n<wifi=\"WIFI_ON\"/>\r\n<ready>\r\n";
    if (line == "<wifistatus/>")
        return "<wifistatus>\r\n<ssid=\"ShedNet\"/>\r\n<encryption=\"WPA2\"/>\r\n"
               "</wifistatus>\r\n<ready>\r\n";
    return "";
}

void playLoom(std::function<std::string(const std::string&)> reply) {
    fake::setResponder([reply](const std::string& line) {
        std::string answer = reply(line);
        if (!answer.empty())
            fake::pushRx(answer);
    });
}

std::string unstamped(const std::string& log) {
    std::string out;
    for (size_t i = 0; i < log.size(); ++i) {
        bool lineStart = i == 0 || log[i - 1] == '\n';
        if (lineStart && log[i] == '[') {
            size_t j = i + 1;
            while (j < log.size() && std::isdigit(static_cast<unsigned char>(log[j])))
                ++j;
            if (j > i + 1 && j < log.size() && log[j] == ']') {
                out += "[N]";
                i = j;
                continue;
            }
        }
        out += log[i];
    }
    return out;
}
