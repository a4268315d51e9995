// The unmodified shedmate through FTDI's own libftd2xx and an FT245R emulated
// at the usbfs level (ft245r_usbfs.cpp), each case in a private mount
// namespace with a bus of its own. The controller is played by the test
// through the chip (the end-to-end harness's scripted peer).
//
// A case is one line of the table at the end: its name, the bus, the
// program's arguments, and what the operator and the controller do.
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "conversation.h"
#include "ft245r.h"
#include "harness.h"
#include "virtual_loom/ftd2xx/script_link.h"

namespace e2e {
namespace {

namespace script = vloom::script;
using ft245r::Bus;
using ft245r::Chip;

using Play = std::function<void(ShedmateRun&)>;

struct Case {
    const char* name;
    Bus bus;
    std::vector<Chip> chips;
    std::vector<std::string> args;
    Play play;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

const std::vector<Chip> oneLoom = {{"FT000001"}};
// Two FT245Rs and an FT232R: the device rules pick the last "FT245R USB FIFO".
const std::vector<Chip> twoLooms = {{"FT000001"}, {"FT000002"}, {"FT000003", "FT232R USB UART"}};
const std::vector<Chip> heldByKernel = {{"FT000001", ft245r::loomProduct, true}};

bool logged(ShedmateRun& run, const std::string& line) {
    return run.log().find(line) != std::string::npos;
}

// A failed start is told once: one ERROR line and at most one line of advice.
void toldOnce(ShedmateRun& run) {
    const std::string out = run.output();
    int errors = 0, lines = 0;
    for (size_t at = 0; at < out.size();) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos)
            end = out.size();
        if (end > at) {
            ++lines;
            errors += out.compare(at, 6, "ERROR:") == 0;
        }
        at = end + 1;
    }
    EXPECT_EQ(errors, 1) << out;
    EXPECT_LE(lines, 2) << out;
}

// What FTDI's library reports of a chip, as the program logs it.
void expectListed(ShedmateRun& run, const std::string& serial) {
    EXPECT_TRUE(logged(run, "driver: FTDI D2XX library (libftd2xx.so)\n")) << run.log();
    EXPECT_TRUE(logged(run, "  Type=0x5\n  ID=0x4036001\n")) << run.log();
    EXPECT_TRUE(logged(run, "  SerialNumber=" + serial + "\n  Description=FT245R USB FIFO\n"))
        << run.log();
    EXPECT_TRUE(logged(run, "FT_Open succeeded\n")) << run.log();
}

// Quits at the menu: "close" on the wire, the device closed, status 0.
void quit(ShedmateRun& run) {
    run.type("q\n");
    ASSERT_TRUE(run.expectWire("close\n"));
    run.send("<closing connection>\r\n");
    ASSERT_TRUE(run.expectDeviceClosed());
    ASSERT_TRUE(run.expectExit(0, 15000));
    EXPECT_TRUE(run.logEndsWithExitLine());
}

void lost(ShedmateRun& run) {
    ASSERT_TRUE(run.expectOutput(linkLostLine));
    // FTDI's FT_Close takes about half a second after an unplug.
    ASSERT_TRUE(run.expectExit(1, 15000));
    // FTDI's library fails whichever call comes first with FT_IO_ERROR.
    EXPECT_TRUE(logged(run, "readThread(): FT_GetStatus returned 4\n") ||
                logged(run, "readThread(): FT_Read returned 4\n"))
        << run.log();
    EXPECT_TRUE(logged(run, "connection to the loom lost\n")) << run.log();
    EXPECT_TRUE(run.logEndsWithExitLine());
}

std::string imageOf(size_t n) {
    std::string image(n, '\0');
    for (size_t i = 0; i < n; ++i)
        image[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return image;
}

// --- what the operator and the controller do

// Login, status, a rename applied and read back, a scan and a choice, a
// firmware image of a few MiB acknowledged, quit.
void wholeSession(ShedmateRun& run) {
    LoomReport loom;
    ASSERT_TRUE(logIn(run, loom));
    ASSERT_TRUE(run.expectOutputNext(statusScreen(loom) + menuPrompt));
    expectListed(run, "FT000001");

    run.type("1\n");
    ASSERT_TRUE(run.expectOutputNext("\n\tNew Loom Name: "));
    run.type("LOOM-9\n");
    LoomReport edited = loom;
    edited.hostname = "LOOM-9";
    ASSERT_TRUE(run.expectOutputNext(statusScreen(edited) + pendingLine("Loom Name") + menuPrompt));
    run.type("a\n");
    ASSERT_TRUE(playApply(run, {"<netconfig hostname=\"LOOM-9\" />\n"}));
    ASSERT_TRUE(reportStatus(run, edited));
    ASSERT_TRUE(run.expectOutput("\tApplied.\n" + statusScreen(edited) + menuPrompt));

    run.type("3\n");
    ASSERT_TRUE(run.expectWire("<wifiscan/>\n"));
    run.send("<wifiscan>\r\n<net=\"Weaving-Hall,-48,WPA2\"/>\r\n");
    run.send("<net=\"Dye House,-71,WPA\"/>\r\n<ready>\r\n");
    ASSERT_TRUE(run.expectOutputNext(
        scanningLine + "\tAvailable networks:\n\t\t[1] Weaving-Hall\n\t\t[2] Dye House\n" +
        chooserPrompt));
    run.type("2\n");
    ASSERT_TRUE(run.expectOutput("\tPassphrase: "));
    run.type("weft&warp 42\n");
    edited.ssid = "Dye House";
    ASSERT_TRUE(
        run.expectOutputNext(statusScreen(edited) + pendingLine("Network Name") + menuPrompt));
    run.type("a\n");
    ASSERT_TRUE(playApply(
        run,
        {"<wificonfig ssid=\"Dye House\" encryption=\"WPA\" passphrase=\"weft&warp 42\" />\n"}));
    edited.encryption = "WPA";
    ASSERT_TRUE(reportStatus(run, edited));
    ASSERT_TRUE(run.expectOutput("\tApplied.\n" + statusScreen(edited) + menuPrompt));

    // At the chip's 1 MB/s this takes some 3 s.
    const std::string image = imageOf(3u << 20);
    const std::string path = run.workDir() + "/loom.bin";
    std::ofstream(path, std::ios::binary) << image;
    run.type("f\n");
    ASSERT_TRUE(run.expectOutput("\n\tFirmware image file: "));
    run.type(path + "\ny\n");
    const std::string command = "receivefirmware " + std::to_string(image.size()) + "\r";
    ASSERT_TRUE(run.expectWire(command + image, 30000));
    run.send("<ready>\r\n");
    ASSERT_TRUE(
        run.expectOutput(" s; the loom acknowledged it.\n" + statusScreen(edited) + menuPrompt));
    quit(run);

    EXPECT_TRUE(logged(run, "applyChanges(): sent - <netconfig hostname=\"LOOM-9\" />\n"))
        << run.log();
    EXPECT_TRUE(logged(run, "processMsg(): <hostname=\"LOOM-9\"/>\n")) << run.log();
    EXPECT_TRUE(logged(run, "set ssid: Dye House\n")) << run.log();
    EXPECT_FALSE(logged(run, "weft&warp")) << run.log();
    EXPECT_TRUE(logged(run, "Sending update - length: 3145728 file: " + path + "\n")) << run.log();
    EXPECT_TRUE(logged(run, "; acknowledged\n")) << run.log();
}

void unplugAtMenu(ShedmateRun& run) {
    ASSERT_TRUE(logIn(run));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    ASSERT_TRUE(run.unplug(script::failAll));
    // The loss is noticed while the menu waits, and reported at the next answer.
    ASSERT_TRUE(run.expectLog("connection to the loom lost\n"));
    run.type("2\n");
    lost(run);
}

void unplugDuringProgressWait(ShedmateRun& run) {
    ASSERT_TRUE(logIn(run));
    ASSERT_TRUE(run.expectOutput(menuPrompt));
    run.type("a\n");
    ASSERT_TRUE(run.expectWire("<netdown/>\n"));
    run.send("<ready>\r\n");
    ASSERT_TRUE(run.expectWire("<netup/>\n"));
    run.send("<please wait>\r\n");
    ASSERT_TRUE(run.expectOutput("\n\nPlease wait ."));
    ASSERT_TRUE(run.unplug(script::failAll));
    lost(run);
}

void refusedByKernel(ShedmateRun& run) {
    ASSERT_TRUE(run.expectOutput("ERROR: FT_Open returned: 3 (FT_DEVICE_NOT_OPENED: the device is "
                                 "in use, or the kernel's ftdi_sio driver holds it)\n"));
    ASSERT_TRUE(run.expectExit(1));
    toldOnce(run);
    EXPECT_TRUE(logged(run, "Number of devices is 1\n")) << run.log();
    EXPECT_TRUE(logged(run, "openLoom failed: 3\n")) << run.log();
    EXPECT_TRUE(run.logEndsWithExitLine());
}

// Logs in on the chip with this serial, quits; `before`: the console's first line.
Play sessionOn(const std::string& serial, const std::string& before = "") {
    return [serial, before](ShedmateRun& run) {
        if (!before.empty()) {
            ASSERT_TRUE(run.expectOutputNext(before));
        }
        ASSERT_TRUE(logIn(run));
        ASSERT_TRUE(run.expectOutput(menuPrompt));
        EXPECT_TRUE(contains(run.output(), "Connecting to the loom (FT245R USB FIFO, serial " +
                                               serial + ")\u2026\n"));
        expectListed(run, serial);
        quit(run);
    };
}

// A command: its console is standard error, its result standard output.
void showJson(ShedmateRun& run) {
    ASSERT_TRUE(logIn(run, {}, Login::reported, false));
    ASSERT_TRUE(run.expectWire("close\n"));
    run.send("<closing connection>\r\n");
    ASSERT_TRUE(run.expectExit(0, 15000));
    nlohmann::json loom = nlohmann::json::parse(run.output(), nullptr, false);
    ASSERT_FALSE(loom.is_discarded()) << run.output();
    EXPECT_EQ(loom["device"]["serial"], "FT000001");
    EXPECT_EQ(loom["device"]["description"], "FT245R USB FIFO");
    EXPECT_EQ(loom["name"], "LOOM-7");
    EXPECT_EQ(loom["network"], "Weaving-Hall");
    expectListed(run, "FT000001");
}

void setName(ShedmateRun& run) {
    ASSERT_TRUE(logIn(run, {}, Login::reported, false));
    ASSERT_TRUE(playApply(run, {"<netconfig hostname=\"LOOM-9\" />\n"}));
    LoomReport renamed;
    renamed.hostname = "LOOM-9";
    ASSERT_TRUE(reportStatus(run, renamed));
    ASSERT_TRUE(run.expectWire("close\n"));
    run.send("<closing connection>\r\n");
    ASSERT_TRUE(run.expectExit(0, 15000));
    EXPECT_EQ(run.output(), "Applied.\n");
    EXPECT_TRUE(logged(run, "command: shedmate set name=LOOM-9\n")) << run.log();
}

void noUsb(ShedmateRun& run) {
    ASSERT_TRUE(run.expectOutput("ERROR: FTDI's library cannot list USB devices: "
                                 "FT_CreateDeviceInfoList returned 18 (FT_OTHER_ERROR).\n"));
    ASSERT_TRUE(run.expectExit(1));
    toldOnce(run);
    EXPECT_EQ(run.output().find("FT_Open returned"), std::string::npos) << run.output();
    EXPECT_TRUE(logged(run, "ERROR: FT_CreateDeviceInfoList returned status : 18\n")) << run.log();
    EXPECT_TRUE(logged(run, "openLoom failed: 18\n")) << run.log();
}

void rootHubOnly(ShedmateRun& run) {
    ASSERT_TRUE(run.expectOutput("ERROR: FT_Open returned: 2 (FT_DEVICE_NOT_FOUND"));
    ASSERT_TRUE(run.expectExit(1));
    toldOnce(run);
    EXPECT_TRUE(logged(run, "Number of devices is 0\n")) << run.log();
}

// --- the leg

const Case cases[] = {
    {"WholeSession", Bus::Chips, oneLoom, {}, wholeSession},
    {"UnplugAtTheMenu", Bus::Chips, oneLoom, {}, unplugAtMenu},
    {"UnplugDuringTheProgressWait", Bus::Chips, oneLoom, {}, unplugDuringProgressWait},
    {"HeldByTheKernel", Bus::Chips, heldByKernel, {}, refusedByKernel},
    {"OfTwoTheLastFifoIsOpened",
     Bus::Chips,
     twoLooms,
     {},
     sessionOn("FT000002", "2 looms are attached (FT000001, FT000002); using the last one "
                           "listed, FT000002. To use another, start Shedmate with --device "
                           "(shedmate list shows them).\n")},
    {"DeviceBySerial", Bus::Chips, twoLooms, {"--device", "FT000001"}, sessionOn("FT000001")},
    {"ShowAsJson", Bus::Chips, oneLoom, {"show", "--json"}, showJson},
    {"SetApplied", Bus::Chips, oneLoom, {"set", "name=LOOM-9"}, setName},
    {"NoUsb", Bus::None, {}, {}, noUsb},
    {"RootHubOnly", Bus::RootHub, {}, {}, rootHubOnly},
};

class FtdiLibrary : public testing::TestWithParam<Case> {};

TEST_P(FtdiLibrary, Runs) {
    if (::geteuid() != 0) {
        // CI runs as root; only there must this run.
        if (std::getenv("CI"))
            FAIL() << "the runs through FTDI's library need root (a private mount namespace)";
        GTEST_SKIP() << "not root: the runs through FTDI's library need a private mount namespace";
    }
    const Case& c = GetParam();
    std::string error = ft245r::enterBus(c.bus, c.chips);
    ASSERT_EQ(error, "");
    RunOptions options;
    options.args = c.args;
    options.libraryDir = SHEDMATE_FTDI_LIB_DIR;
    options.scripted = true;
    options.env = {{"LD_PRELOAD", SHEDMATE_FT245R_USBFS},
                   {ft245r::chipsEnv, ft245r::describe(c.chips)}};
    ShedmateRun run(options);
    c.play(run);
}

INSTANTIATE_TEST_SUITE_P(Cases, FtdiLibrary, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

} // namespace
} // namespace e2e
