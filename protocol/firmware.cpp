#include "protocol/firmware.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "base/io.h"
#include "base/log.h"
#include "link/queue.h"

char firmwarePath[120];

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

} // namespace

void sendFirmware() {
    size_t pathLen = std::strlen(firmwarePath);
    if (pathLen > 0)
        firmwarePath[pathLen - 1] = '\0';

    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(firmwarePath, "rb"));
    if (!file) {
        conPrint("\n\n\tUnable [%d] to open %s\n\n", errno, firmwarePath);
        return;
    }
    long length = -1;
    if (std::fseek(file.get(), 0, SEEK_END) == 0)
        length = std::ftell(file.get());
    if (length < 0 || length > 0x7fffffffL) {
        int error = errno;
        logPrint("\tFailed to read file [%d]: %s\n", error, firmwarePath);
        conPrint("\tFailed to read file [%d]: %s\n", error, firmwarePath);
        return;
    }
    conPrint("length: %d\n", static_cast<int>(length));
    std::rewind(file.get());

    // One byte more than the image so that an empty file still gets a buffer.
    std::unique_ptr<char[]> image(new (std::nothrow) char[static_cast<size_t>(length) + 1]);
    if (!image) {
        logPrint("Sending update - malloc failed\n");
        conPrint("Sending update: Unable to allocate memory\n");
        return;
    }
    logPrint("Sending update - length: %d file: %s\n", static_cast<int>(length), firmwarePath);
    conPrint("\tSending file - do not turn computer off or exit program\n\n");
    conFlush();

    // No queued message may land between the command and the image bytes.
    auto sending = holdSending();
    char command[52];
    std::snprintf(command, sizeof command, "receivefirmware %d\r", static_cast<int>(length));
    sendMsgToLoom(static_cast<int>(std::strlen(command)), command);

    long remaining = length;
    while (remaining > 0) {
        size_t got = std::fread(image.get(), 1, static_cast<size_t>(remaining), file.get());
        conPrint("bytesRead: %ld\n", static_cast<long>(got));
        if (std::ferror(file.get())) {
            int error = errno;
            logPrint("\tFailed to read file [%d]: %s\n", error, firmwarePath);
            conPrint("\tFailed to read file [%d]: %s\n", error, firmwarePath);
            return;
        }
        if (got == 0) {
            // The file shrank since its length was taken; the controller was
            // promised more than it will get, and the log must say so.
            logPrint("sendFirmware(): file ended with %ld of %ld bytes unsent\n", remaining,
                     length);
            conPrint("\tThe file ended early: %ld of %ld bytes were not sent\n", remaining, length);
            return;
        }
        sendMsgToLoom(static_cast<int>(got), image.get());
        remaining -= static_cast<long>(got);
    }
}

void resetFirmware() {
    firmwarePath[0] = '\0';
}
