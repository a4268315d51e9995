#include "link/drivers/sysfs_enum.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr unsigned ftdiVendor = 0x0403;
constexpr ULONG flagOpened = 1;     // FT_FLAGS_OPENED
constexpr ULONG deviceType232R = 5; // FT_DEVICE_232R, which FTDI's library reports for a 245R too
constexpr const char ttyPrefix[] = "ttyUSB";

// A sysfs attribute without its line end; "" when it cannot be read.
std::string readAttr(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    char buf[256];
    ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    if (n <= 0)
        return "";
    std::string text(buf, static_cast<size_t>(n));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::string canonical(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string parentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The number after "ttyUSB", or -1 when the name is not a ttyUSB.
long ttyNumber(const char* name) {
    size_t prefix = sizeof ttyPrefix - 1;
    if (std::strncmp(name, ttyPrefix, prefix) != 0 || name[prefix] == '\0')
        return -1;
    for (const char* p = name + prefix; *p; ++p)
        if (*p < '0' || *p > '9')
            return -1;
    return std::strtol(name + prefix, nullptr, 10);
}

// The USB device directory (the one holding idVendor) above a tty's port,
// without leaving the sysfs tree.
std::string usbDeviceDir(const std::string& portDir, const std::string& root) {
    std::string dir = portDir;
    for (int depth = 0; depth < 8; ++depth, dir = parentOf(dir)) {
        bool inside = dir.size() > root.size() && dir.compare(0, root.size(), root) == 0 &&
                      dir[root.size()] == '/';
        if (!inside)
            break;
        if (exists(dir + "/idVendor"))
            return dir;
    }
    return "";
}

// The bus number in the top byte, then one nibble per port along the hub
// chain, as macOS writes a USB location id: "1-2.4" gives 0x01240000. Ports
// above 15 are clamped, so the value tells devices apart only on ordinary
// hubs; it is shown in the log and never used to find a device again.
DWORD locationId(const std::string& usbName) {
    const char* p = usbName.c_str();
    char* end = nullptr;
    unsigned long bus = std::strtoul(p, &end, 10);
    if (end == p || *end != '-')
        return 0;
    DWORD loc = static_cast<DWORD>(std::min(bus, 0xfful)) << 24;
    int shift = 20;
    for (p = end + 1; *p && shift >= 0; shift -= 4) {
        unsigned long port = std::strtoul(p, &end, 10);
        if (end == p)
            break;
        loc |= static_cast<DWORD>(std::min(port, 0xful)) << shift;
        if (*end != '.')
            break;
        p = end + 1;
    }
    return loc;
}

void copyText(char* dst, size_t cap, const std::string& src) {
    size_t n = std::min(src.size(), cap - 1);
    std::memcpy(dst, src.data(), n);
    std::memset(dst + n, 0, cap - n);
}

ULONG deviceType(const std::string& product, const std::string& bcdDevice) {
    if (product.find("245R") != std::string::npos || product.find("232R") != std::string::npos)
        return deviceType232R;
    // An R-series chip whose EEPROM carries a product string of its own.
    if (std::strtoul(bcdDevice.c_str(), nullptr, 16) >> 8 == 0x06)
        return deviceType232R;
    return 0;
}

// Which of the nodes some process holds open, found the way fuser does it: by
// reading the /proc/<pid>/fd links. Only the fd tables we may read are seen
// (every process's as root, our own user's otherwise), which covers the usual
// culprit, a second Shedmate or a terminal program of the same user.
std::vector<bool> heldOpen(const std::vector<std::string>& nodes) {
    std::vector<bool> held(nodes.size(), false);
    std::vector<std::string> targets;
    for (const auto& node : nodes)
        targets.push_back(canonical(node));
    size_t wanted = std::count_if(targets.begin(), targets.end(),
                                  [](const std::string& t) { return !t.empty(); });
    if (wanted == 0)
        return held;

    DIR* proc = ::opendir("/proc");
    if (!proc)
        return held;
    size_t found = 0;
    while (dirent* pe = ::readdir(proc)) {
        if (pe->d_name[0] < '0' || pe->d_name[0] > '9')
            continue;
        std::string fdDir = std::string("/proc/") + pe->d_name + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (!fds)
            continue;
        while (dirent* fe = ::readdir(fds)) {
            if (fe->d_name[0] == '.')
                continue;
            char link[PATH_MAX];
            std::string entry = fdDir + "/" + fe->d_name;
            ssize_t n = ::readlink(entry.c_str(), link, sizeof link - 1);
            if (n <= 0)
                continue;
            link[n] = '\0';
            for (size_t i = 0; i < targets.size(); ++i) {
                if (!held[i] && !targets[i].empty() && targets[i] == link) {
                    held[i] = true;
                    ++found;
                }
            }
        }
        ::closedir(fds);
        if (found == wanted)
            break;
    }
    ::closedir(proc);
    return held;
}

} // namespace

std::vector<SerialDevice> enumerateFtdiTtys(const std::string& sysfsRoot,
                                            const std::string& devDir) {
    std::vector<SerialDevice> devices;
    std::string root = canonical(sysfsRoot);
    if (root.empty())
        return devices;
    std::string classDir = root + "/class/tty";
    DIR* dir = ::opendir(classDir.c_str());
    if (!dir)
        return devices;

    std::vector<std::pair<long, std::string>> names;
    while (dirent* e = ::readdir(dir)) {
        long number = ttyNumber(e->d_name);
        if (number >= 0)
            names.emplace_back(number, e->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());

    for (const auto& [number, name] : names) {
        std::string portDir = canonical(classDir + "/" + name + "/device");
        if (portDir.empty())
            continue;
        std::string usbDir = usbDeviceDir(portDir, root);
        if (usbDir.empty())
            continue;
        unsigned long vendor = std::strtoul(readAttr(usbDir + "/idVendor").c_str(), nullptr, 16);
        if (vendor != ftdiVendor)
            continue;
        unsigned long product = std::strtoul(readAttr(usbDir + "/idProduct").c_str(), nullptr, 16);
        std::string productName = readAttr(usbDir + "/product");

        SerialDevice device;
        device.name = name;
        device.node = devDir + "/" + name;
        std::string latency = portDir + "/latency_timer";
        if (exists(latency))
            device.latencyTimer = latency;
        DeviceInfoNode& info = device.info;
        info = DeviceInfoNode{};
        info.Type = deviceType(productName, readAttr(usbDir + "/bcdDevice"));
        info.ID = static_cast<ULONG>((vendor & 0xffff) << 16 | (product & 0xffff));
        info.LocId = locationId(baseName(usbDir));
        copyText(info.SerialNumber, sizeof info.SerialNumber, readAttr(usbDir + "/serial"));
        copyText(info.Description, sizeof info.Description, productName);
        devices.push_back(std::move(device));
    }

    std::vector<std::string> nodes;
    for (const auto& device : devices)
        nodes.push_back(device.node);
    std::vector<bool> held = heldOpen(nodes);
    for (size_t i = 0; i < devices.size(); ++i)
        if (held[i])
            devices[i].info.Flags |= flagOpened;
    return devices;
}
