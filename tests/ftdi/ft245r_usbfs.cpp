// FT245R chips that exist only in usbfs: preloaded (LD_PRELOAD) into a program
// that uses FTDI's libftd2xx, this answers the open, read, ioctl, poll and
// close calls of the library's built-in libusb on the node files of a bus laid
// out by ft245r.h, as the kernel's usbfs and an FT245R behind it would.
//
// The chip, as FTDI's library meets it:
//   - control requests: descriptors, GET_CONFIGURATION, FTDI's reset and purge
//     (0x40/0x00), modem status (0xC0/0x05: 0x01 0x60), latency timer (0x40/0x09
//     sets, 0xC0/0x0A gets; 16 ms at power-up);
//   - bulk IN on 0x81: packets of at most 64 bytes, each starting with the two
//     modem-status bytes; a full packet when 62 bytes wait, otherwise a short
//     one (which ends the URB) once the latency timer has run out, status bytes
//     alone when nothing waits; no packet before the next 1 ms frame;
//   - bulk OUT on 0x02; about 1 MB/s each way; 256 bytes of buffer towards the
//     host, the loom's side holding back the rest.
// A node's descriptor is an eventfd, so poll() sees it writable exactly while
// a URB can be reaped. Unplugged, pending URBs complete with -ESHUTDOWN, poll
// adds POLLHUP|POLLERR, every ioctl but a reap fails with ENODEV and the node
// file goes.
//
// The far side of the chip in use is a scripted peer on SHEDMATE_VLOOM_SOCKET
// (frames 'O', 'W', 'C', 'E' out; 'D' and 'U' in, 'U' confirmed with 'K'), or
// the virtual loom's model. The loom is attached once the device is taken up
// the way a program does after FT_Open: its latency timer set, or bytes
// written. The library's own enumeration (claim, reset, purge, status, bulk-IN
// URBs submitted and discarded, release) does not attach it.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ft245r.h"
#include "virtual_loom/ftd2xx/script_link.h"
#include "virtual_loom/ftd2xx/socket_io_posix.h"
#include "virtual_loom/model.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace frame = vloom::script::frame;

// --- the libc functions underneath

template <typename Fn> Fn next(const char* name) {
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

int realOpen(const char* path, int flags, mode_t mode) {
    static auto fn = next<int (*)(const char*, int, ...)>("open");
    return fn(path, flags, mode);
}
int realClose(int fd) {
    static auto fn = next<int (*)(int)>("close");
    return fn(fd);
}
ssize_t realRead(int fd, void* buffer, size_t n) {
    static auto fn = next<ssize_t (*)(int, void*, size_t)>("read");
    return fn(fd, buffer, n);
}
int realIoctl(int fd, unsigned long request, void* arg) {
    static auto fn = next<int (*)(int, unsigned long, ...)>("ioctl");
    return fn(fd, request, arg);
}
int realPoll(pollfd* fds, nfds_t n, int timeoutMs) {
    static auto fn = next<int (*)(pollfd*, nfds_t, int)>("poll");
    return fn(fds, n, timeoutMs);
}

// --- the chip

constexpr size_t packetBytes = 64;
constexpr size_t statusBytes = 2;
constexpr size_t chipBufferBytes = 256;
// 16 packets a frame: about 1 MB/s each way at full speed.
constexpr size_t packetsPerFrame = 16;
// A frame thread that fell behind makes up at most this many frames.
constexpr int catchUpFrames = 20;
const unsigned char modemStatus[statusBytes] = {0x01, 0x60};

struct Chip;

// What the loom does with the chip's FIFO.
class FarSide {
  public:
    virtual ~FarSide() = default;
    // Bytes the host sent; called by the frame thread, outside the lock.
    virtual void fromHost(const std::string& bytes, uint32_t nowMs) = 0;
    // Bytes the loom has for the host by nowMs; under the lock.
    virtual std::string toHost(uint32_t nowMs) = 0;
    // The host closed the device it had in use.
    virtual void closed() {}
};

// One open read-write descriptor of a node, as usbfs keeps it.
struct File {
    int fd = -1;
    Chip* chip = nullptr;
    bool open = true;
    bool claimed = false;
    bool disconnected = false;
    bool reapable = false; // the eventfd's state: writable
    size_t readOffset = 0;
    std::deque<usbdevfs_urb*> control, in, out, completed;
    std::map<usbdevfs_urb*, size_t> payload; // data bytes of IN URBs, status bytes left out
};

struct Chip {
    size_t index = 0;
    ft245r::Chip config;
    std::string node;
    bool gone = false;
    File* claimedBy = nullptr;
    bool inUse = false; // the claim is FT_Open's, not the enumeration's
    unsigned latencyMs = 16;
    Clock::time_point lastPacket{};
    std::deque<unsigned char> buffer;   // towards the host, at most chipBufferBytes
    std::deque<unsigned char> loomSide; // what the loom has sent beyond that
    std::unique_ptr<FarSide> far;
    // Scripted peer: the end of each 'D' frame in bytes sent, and how many of
    // them the host has reaped whole.
    uint64_t bytesFromPeer = 0, bytesReaped = 0;
    std::deque<uint64_t> frameEnds;
    uint32_t framesReaped = 0, framesReported = 0;
};

struct State {
    std::mutex mutex;
    std::condition_variable changed; // a URB completed, a chip went
    std::condition_variable work;    // the frame thread has URBs to serve
    std::vector<std::unique_ptr<Chip>> chips;
    std::vector<File*> files; // never freed: a thread may still hold one
    bool frameThread = false;
    Clock::time_point origin = Clock::now();
};

State& state() {
    // Never destroyed: the frame thread runs until the process ends.
    static State* s = [] {
        auto* made = new State;
        const char* chips = std::getenv(ft245r::chipsEnv);
        std::vector<ft245r::Chip> configs = ft245r::parse(chips ? chips : "");
        for (size_t i = 0; i < configs.size(); ++i) {
            auto chip = std::make_unique<Chip>();
            chip->index = i;
            chip->config = configs[i];
            chip->node = ft245r::nodePath(i);
            made->chips.push_back(std::move(chip));
        }
        return made;
    }();
    return *s;
}

constexpr int maxFd = 4096;
std::atomic<File*> byFd[maxFd];

File* fileOf(int fd) {
    return fd >= 0 && fd < maxFd ? byFd[fd].load() : nullptr;
}

uint32_t nowMs(const State& s) {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - s.origin).count());
}

// Lock held. Keeps the eventfd writable exactly while something can be reaped.
void updateReapable(File& f) {
    bool want = !f.completed.empty() || f.disconnected;
    if (want == f.reapable)
        return;
    if (want) {
        uint64_t drop;
        (void)realRead(f.fd, &drop, sizeof drop);
    } else {
        uint64_t full = 0xfffffffffffffffeull;
        (void)::write(f.fd, &full, sizeof full);
    }
    f.reapable = want;
}

void complete(State& s, File& f, usbdevfs_urb* urb, int status) {
    urb->status = status;
    f.completed.push_back(urb);
    updateReapable(f);
    s.changed.notify_all();
}

// --- the far sides

class ModelSide final : public FarSide {
  public:
    ModelSide() : model_(timing()) {}
    void fromHost(const std::string& bytes, uint32_t nowMs) override {
        std::lock_guard<std::mutex> lock(mutex_);
        model_.receive(bytes.data(), bytes.size(), nowMs);
    }
    std::string toHost(uint32_t nowMs) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return model_.takeOutput(nowMs);
    }

  private:
    static uint32_t env(const char* name, uint32_t fallback) {
        const char* text = std::getenv(name);
        return text && *text ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : fallback;
    }
    // The delays of the virtual loom's library, from the same environment.
    static vloom::Timing timing() {
        namespace script = vloom::script;
        return {.scanMs = env(script::scanMsEnv, 100),
                .restartMs = env(script::restartMsEnv, 300),
                .replyMs = env(script::replyMsEnv, 0)};
    }
    std::mutex mutex_;
    vloom::Model model_;
};

void unplug(State& s, Chip& chip);

class PeerSide final : public FarSide {
  public:
    PeerSide(State& s, Chip& chip, int fd) : state_(s), chip_(chip), fd_(fd) {
        send(frame::opened, vloom::script::number(static_cast<uint32_t>(chip.index)));
        listener_ = std::thread([this] { listen(); });
        listener_.detach();
    }
    void fromHost(const std::string& bytes, uint32_t) override { send(frame::written, bytes); }
    std::string toHost(uint32_t) override { return ""; } // 'D' frames arrive on their own
    void closed() override { send(frame::closed, {}); }
    void drained(uint32_t frames) { send(frame::drained, vloom::script::number(frames)); }

  private:
    void send(char type, std::string_view payload) {
        std::string bytes = vloom::script::encode(type, payload);
        std::lock_guard<std::mutex> lock(sendMutex_);
        vloom::script::sendFull(fd_, bytes.data(), bytes.size());
    }
    void listen() {
        for (;;) {
            char header[vloom::script::headerSize];
            if (!vloom::script::recvFull(fd_, header, sizeof header))
                break;
            uint32_t length = vloom::script::getNumber(header + 1);
            if (length > vloom::script::maxPayload)
                break;
            std::string payload(length, '\0');
            if (length > 0 && !vloom::script::recvFull(fd_, payload.data(), length))
                break;
            if (header[0] == frame::data) {
                std::lock_guard<std::mutex> lock(state_.mutex);
                if (payload.empty() || chip_.gone)
                    continue;
                chip_.loomSide.insert(chip_.loomSide.end(), payload.begin(), payload.end());
                chip_.bytesFromPeer += payload.size();
                chip_.frameEnds.push_back(chip_.bytesFromPeer);
            } else if (header[0] == frame::unplug) {
                // Confirmed first: the program may close the device the moment
                // it sees the chip gone.
                send(frame::done, std::string(1, frame::unplug));
                std::lock_guard<std::mutex> lock(state_.mutex);
                unplug(state_, chip_);
            } else {
                std::fprintf(stderr, "ft245r: control frame '%c' means nothing to a chip\n",
                             header[0]);
            }
        }
        // The loom hung up: the cable is out.
        std::lock_guard<std::mutex> lock(state_.mutex);
        unplug(state_, chip_);
    }

    State& state_;
    Chip& chip_;
    int fd_;
    std::mutex sendMutex_;
    std::thread listener_;
};

// Lock held. The loom behind the chip FT_Open has just taken up.
void connectLoom(State& s, Chip& chip) {
    if (chip.far)
        return;
    const char* path = std::getenv(vloom::script::socketEnv);
    if (!path || !*path) {
        chip.far = std::make_unique<ModelSide>();
        return;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "ft245r: cannot reach the loom at %s: %s\n", path,
                     std::strerror(errno));
        if (fd >= 0)
            realClose(fd);
        return;
    }
    chip.far = std::make_unique<PeerSide>(s, chip, fd);
}

void takeInUse(State& s, File& f) {
    Chip& chip = *f.chip;
    if (chip.claimedBy == &f && !chip.inUse) {
        chip.inUse = true;
        connectLoom(s, chip);
    }
}

// Lock held. The kernel ends a claim at release and at close.
void release(File& f) {
    Chip& chip = *f.chip;
    if (!f.claimed)
        return;
    f.claimed = false;
    if (chip.claimedBy == &f) {
        chip.claimedBy = nullptr;
        if (chip.inUse && chip.far)
            chip.far->closed();
        chip.inUse = false;
    }
}

void unplug(State& s, Chip& chip) {
    if (chip.gone)
        return;
    chip.gone = true;
    for (File* f : s.files) {
        if (f->chip != &chip || !f->open)
            continue;
        for (auto* queue : {&f->control, &f->in, &f->out}) {
            for (usbdevfs_urb* urb : *queue) {
                urb->actual_length = 0;
                urb->status = -ESHUTDOWN;
                f->completed.push_back(urb);
            }
            queue->clear();
        }
        f->disconnected = true;
        updateReapable(*f);
    }
    chip.claimedBy = nullptr;
    ::unlink(chip.node.c_str());
    s.changed.notify_all();
}

// --- the frame thread

// Lock held. One frame (or `frames` missed ones) of the chip's bulk pipes.
void serveChip(State& s, Chip& chip, int frames, Clock::time_point now, std::string& toLoom) {
    if (chip.gone)
        return;
    if (chip.far) {
        std::string more = chip.far->toHost(nowMs(s));
        chip.loomSide.insert(chip.loomSide.end(), more.begin(), more.end());
    }
    for (File* f : s.files) {
        if (f->chip != &chip || !f->open)
            continue;
        while (!f->control.empty()) {
            usbdevfs_urb* urb = f->control.front();
            f->control.pop_front();
            complete(s, *f, urb, urb->status);
        }
        size_t budget = packetsPerFrame * packetBytes * static_cast<size_t>(frames);
        while (budget > 0 && !f->out.empty()) {
            usbdevfs_urb* urb = f->out.front();
            size_t left = static_cast<size_t>(urb->buffer_length - urb->actual_length);
            size_t take = std::min(left, budget);
            toLoom.append(static_cast<const char*>(urb->buffer) + urb->actual_length, take);
            urb->actual_length += static_cast<int>(take);
            budget -= take;
            if (urb->actual_length == urb->buffer_length) {
                f->out.pop_front();
                complete(s, *f, urb, 0);
            }
        }
        size_t packets = packetsPerFrame * static_cast<size_t>(frames);
        const auto latency = std::chrono::milliseconds(chip.latencyMs);
        while (packets-- > 0 && !f->in.empty()) {
            // The loom fills the chip's buffer as fast as the host empties it.
            while (chip.buffer.size() < chipBufferBytes && !chip.loomSide.empty()) {
                chip.buffer.push_back(chip.loomSide.front());
                chip.loomSide.pop_front();
            }
            usbdevfs_urb* urb = f->in.front();
            size_t room = static_cast<size_t>(urb->buffer_length - urb->actual_length);
            bool full = chip.buffer.size() >= packetBytes - statusBytes && room >= packetBytes;
            if (!full && now - chip.lastPacket < latency)
                break;
            size_t data = std::min(chip.buffer.size(), std::min(room, packetBytes) - statusBytes);
            auto* at = static_cast<unsigned char*>(urb->buffer) + urb->actual_length;
            std::memcpy(at, modemStatus, statusBytes);
            std::copy_n(chip.buffer.begin(), data, at + statusBytes);
            chip.buffer.erase(chip.buffer.begin(), chip.buffer.begin() + static_cast<long>(data));
            urb->actual_length += static_cast<int>(statusBytes + data);
            f->payload[urb] += data;
            chip.lastPacket = now;
            // A short packet, or a full URB, ends the transfer.
            if (!full || urb->actual_length == urb->buffer_length) {
                f->in.pop_front();
                complete(s, *f, urb, 0);
            }
        }
    }
}

bool anyPending(const State& s) {
    for (const File* f : s.files)
        if (f->open && !f->chip->gone && (!f->control.empty() || !f->in.empty() || !f->out.empty()))
            return true;
    return false;
}

void frameLoop() {
    State& s = state();
    Clock::time_point next = Clock::now();
    for (;;) {
        std::vector<std::pair<FarSide*, std::string>> sends;
        {
            std::unique_lock<std::mutex> lock(s.mutex);
            if (!anyPending(s)) {
                s.work.wait(lock, [&] { return anyPending(s); });
                next = Clock::now();
            }
        }
        next += std::chrono::milliseconds(1);
        std::this_thread::sleep_until(next);
        Clock::time_point now = Clock::now();
        int frames = 1;
        if (now - next >= std::chrono::milliseconds(1)) {
            auto behind = std::chrono::duration_cast<std::chrono::milliseconds>(now - next);
            frames = std::min<int>(catchUpFrames, 1 + static_cast<int>(behind.count()));
            next = now;
        }
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            for (auto& chip : s.chips) {
                std::string toLoom;
                serveChip(s, *chip, frames, now, toLoom);
                if (!toLoom.empty() && chip->far)
                    sends.emplace_back(chip->far.get(), std::move(toLoom));
            }
        }
        uint32_t at = nowMs(s);
        for (auto& [far, bytes] : sends)
            far->fromHost(bytes, at);
    }
}

// --- usbfs

// Lock held. A reaped IN URB counts its data as delivered to the host; the
// peer hears that everything it sent was taken once a URB with none follows.
PeerSide* noteReaped(Chip& chip, File& f, usbdevfs_urb* urb, uint32_t* frames) {
    auto it = f.payload.find(urb);
    if (it == f.payload.end())
        return nullptr;
    size_t data = it->second;
    f.payload.erase(it);
    chip.bytesReaped += data;
    while (!chip.frameEnds.empty() && chip.frameEnds.front() <= chip.bytesReaped) {
        chip.frameEnds.pop_front();
        ++chip.framesReaped;
    }
    if (data != 0 || chip.framesReaped == chip.framesReported || !chip.frameEnds.empty())
        return nullptr;
    chip.framesReported = chip.framesReaped;
    *frames = chip.framesReaped;
    return dynamic_cast<PeerSide*>(chip.far.get());
}

// The reply to a control request: bytes for the host (IN), or "" with ok for
// one that carries none; false: the chip stalls it.
bool controlRequest(State& s, File& f, const usbdevfs_ctrltransfer& setup, std::string& reply) {
    Chip& chip = *f.chip;
    const unsigned type = setup.bRequestType, request = setup.bRequest;
    const unsigned value = setup.wValue;
    reply.clear();
    if (type == 0x80 && request == 0x06) { // GET_DESCRIPTOR
        unsigned kind = value >> 8, index = value & 0xff;
        std::string all = ft245r::nodeDescriptors();
        if (kind == 1)
            reply = all.substr(0, 18);
        else if (kind == 2)
            reply = all.substr(18);
        else if (kind == 3)
            reply = ft245r::stringDescriptor(chip.config, index);
        return !reply.empty();
    }
    if (type == 0x80 && request == 0x08) { // GET_CONFIGURATION
        reply = std::string(1, '\x01');
        return true;
    }
    if (type == 0xc0 && request == 0x05) { // modem status
        reply = std::string(reinterpret_cast<const char*>(modemStatus), statusBytes);
        return true;
    }
    if (type == 0xc0 && request == 0x0a) { // get latency timer
        reply = std::string(1, static_cast<char>(chip.latencyMs));
        return true;
    }
    if (type == 0x40 && request == 0x09) { // set latency timer
        chip.latencyMs = std::max(1u, value & 0xff);
        takeInUse(s, f);
        return true;
    }
    if (type == 0x40 && request == 0x00) { // reset (0), purge RX (1), purge TX (2)
        if (value == 0 || value == 1)
            chip.buffer.clear();
        return true;
    }
    if (type == 0x40 && request <= 0x0b) {
        // Baud rate, flow control, modem control and the like: taken, and
        // meaningless to a FIFO.
        return true;
    }
    std::fprintf(stderr, "ft245r: control request 0x%02x/0x%02x wValue 0x%04x stalled\n", type,
                 request, value);
    return false;
}

int fail(int error) {
    errno = error;
    return -1;
}

int submit(State& s, File& f, usbdevfs_urb* urb) {
    urb->actual_length = 0;
    urb->status = -EINPROGRESS;
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (urb->buffer_length < 8)
            return fail(EINVAL);
        usbdevfs_ctrltransfer setup{};
        auto* bytes = static_cast<unsigned char*>(urb->buffer);
        setup.bRequestType = bytes[0];
        setup.bRequest = bytes[1];
        setup.wValue = static_cast<uint16_t>(bytes[2] | bytes[3] << 8);
        setup.wIndex = static_cast<uint16_t>(bytes[4] | bytes[5] << 8);
        setup.wLength = static_cast<uint16_t>(bytes[6] | bytes[7] << 8);
        std::string reply;
        if (!controlRequest(s, f, setup, reply)) {
            urb->status = -EPIPE;
        } else {
            size_t n = std::min<size_t>(
                {reply.size(), setup.wLength, static_cast<size_t>(urb->buffer_length - 8)});
            std::memcpy(bytes + 8, reply.data(), n);
            urb->actual_length = static_cast<int>(n);
            urb->status = 0;
        }
        f.control.push_back(urb);
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == 0x81) {
        f.in.push_back(urb);
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == 0x02) {
        takeInUse(s, f);
        if (urb->buffer_length == 0) {
            complete(s, f, urb, 0);
            return 0;
        }
        f.out.push_back(urb);
    } else {
        return fail(EINVAL);
    }
    s.work.notify_all();
    return 0;
}

int discard(State& s, File& f, usbdevfs_urb* urb) {
    for (auto* queue : {&f.control, &f.in, &f.out}) {
        auto at = std::find(queue->begin(), queue->end(), urb);
        if (at == queue->end())
            continue;
        queue->erase(at);
        complete(s, f, urb, -ECONNRESET);
        return 0;
    }
    return fail(EINVAL);
}

int usbfsIoctl(File& f, unsigned long request, void* arg) {
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    Chip& chip = *f.chip;
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        if (request == USBDEVFS_REAPURB)
            s.changed.wait(lock, [&] { return !f.completed.empty() || f.disconnected; });
        if (f.completed.empty())
            return fail(f.disconnected ? ENODEV : EAGAIN);
        usbdevfs_urb* urb = f.completed.front();
        f.completed.pop_front();
        updateReapable(f);
        uint32_t frames = 0;
        PeerSide* peer = noteReaped(chip, f, urb, &frames);
        *static_cast<usbdevfs_urb**>(arg) = urb;
        lock.unlock();
        if (peer)
            peer->drained(frames);
        return 0;
    }
    if (f.disconnected || chip.gone)
        return fail(ENODEV);
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        *static_cast<uint32_t*>(arg) = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                       USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                       USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        return 0;
    case USBDEVFS_CLAIMINTERFACE:
        if (*static_cast<unsigned*>(arg) != 0)
            return fail(EINVAL);
        // ftdi_sio holds it, or another descriptor has it claimed.
        if (chip.config.heldByKernel || (chip.claimedBy && chip.claimedBy != &f))
            return fail(EBUSY);
        chip.claimedBy = &f;
        f.claimed = true;
        return 0;
    case USBDEVFS_RELEASEINTERFACE:
        if (*static_cast<unsigned*>(arg) != 0 || !f.claimed)
            return fail(EINVAL);
        release(f);
        return 0;
    case USBDEVFS_SUBMITURB:
        return submit(s, f, static_cast<usbdevfs_urb*>(arg));
    case USBDEVFS_DISCARDURB:
        return discard(s, f, static_cast<usbdevfs_urb*>(arg));
    case USBDEVFS_CONTROL: {
        auto* transfer = static_cast<usbdevfs_ctrltransfer*>(arg);
        std::string reply;
        if (!controlRequest(s, f, *transfer, reply))
            return fail(EPIPE);
        size_t n = std::min<size_t>(reply.size(), transfer->wLength);
        if (n > 0)
            std::memcpy(transfer->data, reply.data(), n);
        // The transfer takes its frame.
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return static_cast<int>(n);
    }
    case USBDEVFS_GETDRIVER:
        return fail(ENODATA);
    default:
        std::fprintf(stderr, "ft245r: usbfs request 0x%lx not emulated\n", request);
        return fail(ENOTTY);
    }
}

Chip* chipAt(const char* path) {
    // Read from the first node opened: a test sets the chips up after it starts.
    const size_t folder = sizeof ft245r::busFolder - 1;
    if (!path || std::strncmp(path, ft245r::busFolder, folder) != 0 || path[folder] != '/')
        return nullptr;
    for (auto& chip : state().chips)
        if (chip->node == path)
            return chip.get();
    return nullptr;
}

int openNode(Chip& chip, int flags) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (chip.gone)
        return fail(ENOENT);
    int fd = ::eventfd(0, EFD_NONBLOCK | ((flags & O_CLOEXEC) ? EFD_CLOEXEC : 0));
    if (fd < 0)
        return -1;
    if (fd >= maxFd) {
        realClose(fd);
        return fail(EMFILE);
    }
    auto* f = new File;
    f->fd = fd;
    f->chip = &chip;
    f->reapable = true;
    updateReapable(*f);
    s.files.push_back(f);
    byFd[fd] = f;
    if (!s.frameThread) {
        s.frameThread = true;
        std::thread(frameLoop).detach();
    }
    return fd;
}

void closeNode(File& f) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    release(f);
    f.open = false;
    f.control.clear();
    f.in.clear();
    f.out.clear();
    f.completed.clear();
    byFd[f.fd] = nullptr;
}

} // namespace

// --- what the program's libc calls become

extern "C" {

__attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    // Read-only, the node file itself gives the descriptors.
    if ((flags & O_ACCMODE) != O_RDONLY)
        if (Chip* chip = chipAt(path))
            return openNode(*chip, flags);
    return realOpen(path, flags, mode);
}

__attribute__((visibility("default"))) int open64(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    return open(path, flags, mode);
}

__attribute__((visibility("default"))) int close(int fd) {
    if (File* f = fileOf(fd))
        closeNode(*f);
    return realClose(fd);
}

__attribute__((visibility("default"))) ssize_t read(int fd, void* buffer, size_t n) {
    File* f = fileOf(fd);
    if (!f)
        return realRead(fd, buffer, n);
    std::lock_guard<std::mutex> lock(state().mutex);
    if (f->disconnected)
        return fail(ENODEV);
    std::string all = ft245r::nodeDescriptors();
    size_t take = f->readOffset < all.size() ? std::min(n, all.size() - f->readOffset) : 0;
    std::memcpy(buffer, all.data() + f->readOffset, take);
    f->readOffset += take;
    return static_cast<ssize_t>(take);
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (File* f = fileOf(fd))
        return usbfsIoctl(*f, request, arg);
    return realIoctl(fd, request, arg);
}

__attribute__((visibility("default"))) int poll(pollfd* fds, nfds_t n, int timeoutMs) {
    int ready = realPoll(fds, n, timeoutMs);
    if (ready < 0)
        return ready;
    // An unplugged device hangs up, and its descriptor is in error.
    for (nfds_t i = 0; i < n; ++i) {
        File* f = fileOf(fds[i].fd);
        if (!f)
            continue;
        std::lock_guard<std::mutex> lock(state().mutex);
        if (f->disconnected) {
            if (fds[i].revents == 0)
                ++ready;
            fds[i].revents |= POLLHUP | POLLERR;
        }
    }
    return ready;
}

} // extern "C"
