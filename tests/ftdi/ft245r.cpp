#include "ft245r.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

namespace ft245r {

std::string describe(const std::vector<Chip>& chips) {
    std::string text;
    for (const Chip& chip : chips) {
        if (!text.empty())
            text += ';';
        text += chip.serial + '|' + chip.product + (chip.heldByKernel ? "|busy" : "");
    }
    return text;
}

std::vector<Chip> parse(const std::string& text) {
    std::vector<Chip> chips;
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find(';', from);
        std::string one = text.substr(from, end == std::string::npos ? end : end - from);
        from = end == std::string::npos ? text.size() : end + 1;
        Chip chip;
        size_t bar = one.find('|');
        chip.serial = one.substr(0, bar);
        if (bar != std::string::npos) {
            size_t second = one.find('|', bar + 1);
            chip.product =
                one.substr(bar + 1, second == std::string::npos ? second : second - bar - 1);
            chip.heldByKernel = second != std::string::npos && one.substr(second + 1) == "busy";
        }
        chips.push_back(chip);
    }
    return chips;
}

std::string nodePath(size_t index) {
    char name[8];
    std::snprintf(name, sizeof name, "%03u", static_cast<unsigned>(index + 2));
    return std::string(busFolder) + "/" + name;
}

std::string nodeDescriptors() {
    // Device: USB 2.0, vendor 0403 product 6001, bcdDevice 6.00 (the FT232R
    // family), strings 1 2 3, one configuration.
    static const unsigned char bytes[] = {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x08, 0x03,
                                          0x04, 0x01, 0x60, 0x00, 0x06, 0x01, 0x02, 0x03, 0x01,
                                          // Configuration 1, bus powered 90 mA, remote wake-up.
                                          0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0xa0, 0x2d,
                                          // Interface 0: vendor class, two endpoints, string 2.
                                          0x09, 0x04, 0x00, 0x00, 0x02, 0xff, 0xff, 0xff, 0x02,
                                          // Bulk IN 0x81 and bulk OUT 0x02, 64 bytes each.
                                          0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00, 0x07, 0x05,
                                          0x02, 0x02, 0x40, 0x00, 0x00};
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

std::string stringDescriptor(const Chip& chip, unsigned index) {
    if (index == 0)
        return std::string("\x04\x03\x09\x04", 4);
    const std::string& text = index == 1   ? std::string("FTDI")
                              : index == 2 ? chip.product
                                           : chip.serial;
    if (index > 3)
        return "";
    std::string out(2, '\0');
    for (char c : text) {
        out += c;
        out += '\0';
    }
    out[0] = static_cast<char>(out.size());
    out[1] = 3;
    return out;
}

namespace {

std::string writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    return out ? "" : "cannot write " + path;
}

bool isDir(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

std::string enterBus(Bus bus, const std::vector<Chip>& chips) {
    if (::unshare(CLONE_NEWNS) != 0)
        return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
    // Nothing mounted here leaks back to the machine.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("making / private: ") + std::strerror(errno);
    // Whatever USB this machine has stays out of sight.
    for (const char* dir : {"/dev/bus", "/sys/bus/usb", "/proc/bus"}) {
        if (isDir(dir) && ::mount("none", dir, "tmpfs", 0, "mode=0755") != 0)
            return std::string("tmpfs over ") + dir + ": " + std::strerror(errno);
    }
    if (bus == Bus::None)
        return "";
    const std::string dir = busFolder;
    if (::mkdir("/proc/bus/usb", 0755) != 0 || ::mkdir(dir.c_str(), 0755) != 0)
        return "cannot make " + dir + ": " + std::strerror(errno);
    // The root hub: device, configuration, interface, its interrupt endpoint.
    static const unsigned char hub[] = {
        0x12, 0x01, 0x00, 0x02, 0x09, 0x00, 0x01, 0x40, 0x6b, 0x1d, 0x02, 0x00, 0x06, 0x06, 0x03,
        0x02, 0x01, 0x01, 0x09, 0x02, 0x19, 0x00, 0x01, 0x01, 0x00, 0xe0, 0x00, 0x09, 0x04, 0x00,
        0x00, 0x01, 0x09, 0x00, 0x00, 0x00, 0x07, 0x05, 0x81, 0x03, 0x04, 0x00, 0x0c};
    if (auto error =
            writeFile(dir + "/001", std::string(reinterpret_cast<const char*>(hub), sizeof hub));
        !error.empty())
        return error;
    if (bus == Bus::RootHub)
        return "";
    for (size_t i = 0; i < chips.size(); ++i)
        if (auto error = writeFile(nodePath(i), nodeDescriptors()); !error.empty())
            return error;
    return "";
}

} // namespace ft245r
