// The link between the D2XX-shaped virtual loom library and a test that plays
// the controller itself ("scripted mode", POSIX only).
//
// When SHEDMATE_VLOOM_SOCKET names a Unix domain socket, FT_Open connects to it
// and from then on the test sees every byte the program writes and decides every
// byte it reads. Both directions carry frames:
//
//     type     1 byte
//     length   4 bytes, unsigned, most significant byte first
//     payload  `length` bytes
//
// A number in a payload is 4 bytes, unsigned, most significant byte first.
//
// Library to test:
//   'O' opened      number: the device index FT_Open was called with. First frame.
//   'W' written     the bytes one FT_Write call accepted (never empty).
//   'C' closed      empty: FT_Close was called; the library hangs up after it.
//   'K' done        1 byte: the type of the control frame now in force.
//   'E' drained     number: how many 'D' frames have been read whole. Sent when
//                   FT_GetStatus finds nothing left to read after data came:
//                   the program has handled all it was sent and polls again.
//
// Test to library:
//   'D' data        bytes for the program to read (an empty one is ignored).
//                   FT_GetStatus counts only the oldest frame's unread bytes,
//                   so no read takes bytes of two frames: the test decides how
//                   messages are split.
//   'U' unplug      number (optional, default all): which calls fail with
//                   FT_IO_ERROR from now on; failGetStatus | failRead |
//                   failWrite. 0 plugs the device back in.
//   'F' fail writes number: the status every FT_Write returns, accepting
//                   nothing; 0 lets writes succeed again.
//   'Z' zero writes number: how many of the next FT_Write calls return FT_OK
//                   having accepted no byte.
//   'M' max write   number: the most bytes one FT_Write accepts; 0 = no limit.
//   'S' read status number: the status every FT_Read returns from now on,
//                   with the bytes it read (FTDI's library may give both);
//                   0 restores FT_OK.
//
// Every control frame ('U', 'F', 'Z', 'M', 'S') is answered with 'K' once it is in
// force, so a test knows a failure is armed before it makes the program act.
// The test hanging up counts as an unplug.
//
// Environment, read by the library alone (the program reads none), in either
// mode:
//   SHEDMATE_VLOOM_SOCKET       the socket to connect to; unset: the built-in
//                               model of the controller answers instead
//   SHEDMATE_VLOOM_DEVICES      device descriptions separated by '|'; empty: no
//                               device; unset: one "FT245R USB FIFO"
//   SHEDMATE_VLOOM_OPEN_STATUS  status FT_Open returns without opening anything
//   SHEDMATE_VLOOM_MAX_WRITE    the most bytes one FT_Write accepts at start
//   SHEDMATE_VLOOM_SCAN_MS, SHEDMATE_VLOOM_RESTART_MS, SHEDMATE_VLOOM_REPLY_MS
//                               the model's delays (Wi-Fi scan, network
//                               restart, every other reply)
//   SHEDMATE_VLOOM_BYTES_PER_S  the rate FT_Write takes bytes at (write_pace.h);
//                               unset or 0: at once
//   SHEDMATE_VLOOM_ATTACH_MS    the devices are attached this long after the
//                               library's first call; until then none is listed
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vloom::script {

namespace frame {
constexpr char opened = 'O';
constexpr char written = 'W';
constexpr char closed = 'C';
constexpr char done = 'K';
constexpr char drained = 'E';
constexpr char data = 'D';
constexpr char unplug = 'U';
constexpr char failWrites = 'F';
constexpr char zeroWrites = 'Z';
constexpr char maxWrite = 'M';
constexpr char readStatus = 'S';
} // namespace frame

// Which calls an unplug makes fail.
constexpr uint32_t failGetStatus = 1;
constexpr uint32_t failRead = 2;
constexpr uint32_t failWrite = 4;
constexpr uint32_t failAll = failGetStatus | failRead | failWrite;

constexpr size_t headerSize = 5;
// Anything longer is taken for a broken peer, not a message.
constexpr uint32_t maxPayload = 16u << 20;

constexpr char socketEnv[] = "SHEDMATE_VLOOM_SOCKET";
constexpr char devicesEnv[] = "SHEDMATE_VLOOM_DEVICES";
constexpr char openStatusEnv[] = "SHEDMATE_VLOOM_OPEN_STATUS";
constexpr char maxWriteEnv[] = "SHEDMATE_VLOOM_MAX_WRITE";
constexpr char scanMsEnv[] = "SHEDMATE_VLOOM_SCAN_MS";
constexpr char restartMsEnv[] = "SHEDMATE_VLOOM_RESTART_MS";
constexpr char replyMsEnv[] = "SHEDMATE_VLOOM_REPLY_MS";
constexpr char bytesPerSecondEnv[] = "SHEDMATE_VLOOM_BYTES_PER_S";
constexpr char attachMsEnv[] = "SHEDMATE_VLOOM_ATTACH_MS";

inline void putNumber(char* out, uint32_t value) {
    out[0] = static_cast<char>((value >> 24) & 0xff);
    out[1] = static_cast<char>((value >> 16) & 0xff);
    out[2] = static_cast<char>((value >> 8) & 0xff);
    out[3] = static_cast<char>(value & 0xff);
}

inline uint32_t getNumber(const char* in) {
    auto b = [in](int i) { return static_cast<uint32_t>(static_cast<unsigned char>(in[i])); };
    return (b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3);
}

inline std::string number(uint32_t value) {
    std::string out(4, '\0');
    putNumber(out.data(), value);
    return out;
}

inline std::string encode(char type, std::string_view payload) {
    std::string out(headerSize, '\0');
    out[0] = type;
    putNumber(out.data() + 1, static_cast<uint32_t>(payload.size()));
    out.append(payload);
    return out;
}

} // namespace vloom::script
