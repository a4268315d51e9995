// An FT245R USB FIFO as the kernel's usbfs shows it: the chips on a bus, their
// descriptors, and the node files FTDI's library enumerates. Shared by the
// usbfs emulation (ft245r_usbfs.cpp, preloaded into the program) and by what
// lays out a bus in a private mount namespace (the ftdi tests, the bench).
//
// Environment read by the emulation:
//   SHEDMATE_FT245R_CHIPS  the chips on bus 001, one per node from 002 on,
//                          separated by ';': "SERIAL|PRODUCT", or
//                          "SERIAL|PRODUCT|busy" for one the kernel's
//                          ftdi_sio holds (claims fail with EBUSY)
//   SHEDMATE_VLOOM_SOCKET  a scripted peer (virtual_loom/ftd2xx/script_link.h)
//                          the chip in use connects to; unset: the virtual
//                          loom's model answers, with SHEDMATE_VLOOM_SCAN_MS,
//                          _RESTART_MS and _REPLY_MS as its delays
#pragma once

#include <string>
#include <vector>

namespace ft245r {

constexpr char chipsEnv[] = "SHEDMATE_FT245R_CHIPS";
// The bus the library finds when neither sysfs nor /dev/bus/usb shows one.
constexpr char busFolder[] = "/proc/bus/usb/001";
constexpr char loomProduct[] = "FT245R USB FIFO";

struct Chip {
    std::string serial;
    std::string product = loomProduct;
    bool heldByKernel = false;
};

// "SERIAL|PRODUCT[|busy];..." both ways.
std::string describe(const std::vector<Chip>& chips);
std::vector<Chip> parse(const std::string& text);

// The node of the chip at `index`: busFolder's 002, 003, ...
std::string nodePath(size_t index);

// What reading a usbfs node gives: the device descriptor, then the whole
// configuration (interface, bulk IN 0x81, bulk OUT 0x02).
std::string nodeDescriptors();
// String descriptor `index` (0: languages, 1 manufacturer, 2 product, 3 serial).
std::string stringDescriptor(const Chip& chip, unsigned index);

enum class Bus {
    None,    // no USB at all
    RootHub, // a bus with only its root hub
    Chips,   // the root hub and the chips
};

// Enters a private mount namespace in which this machine's USB is out of
// sight, and lays out the bus there. Needs root (CAP_SYS_ADMIN). "" on
// success, otherwise why not.
std::string enterBus(Bus bus, const std::vector<Chip>& chips);

} // namespace ft245r
