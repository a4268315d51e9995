// The two programs' command lines: the interactive run, or one command (list,
// show, scan, set, firmware) with its options. --help and --version are
// answered at once; a mistake, or a set value the loom could not take, is
// answered with the usage on standard error and exit status 2, before any
// device is opened.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "link/device_list.h"

enum class Command { interactive, list, show, scan, set, firmware };

// The command as typed ("set"); "" for the interactive run.
const char* commandName(Command command);

// What `set` changes; a field not given is left as the loom has it.
struct SetFields {
    std::optional<std::string> name;
    std::optional<std::string> address;
    std::optional<bool> wifi;
    std::optional<bool> dhcp;
    std::optional<std::string> network;
    // NONE, WEP, WPA or WPA2, for a network the scan does not find.
    std::optional<std::string> encryption;
    // "-" for standard input; "" when none was given.
    std::string passphraseFile;
};

// How long a command waits for the controller at most, by default: room for a
// network restart.
constexpr int defaultTimeoutSeconds = 60;

struct Invocation {
    Command command = Command::interactive;
    DeviceChoice device;
    bool json = false;
    int timeoutSeconds = defaultTimeoutSeconds;
    SetFields set;
    std::string firmwareFile;
    bool yes = false;  // firmware: send without asking
    bool fast = false; // shedmate-demo: the virtual loom answers at once
    // The command line as typed, for the log: the program and its arguments,
    // one quoted when it holds a blank. It never holds a secret.
    std::string typed;
};

struct CommandLine {
    Invocation invocation;
    int status = -1; // -1: run; otherwise end at once with this status
    std::string out; // for standard output: the help or the version
    std::string err; // for standard error: the mistake and the usage
};

// program is "shedmate" or "shedmate-demo"; only the latter takes --fast.
// inputIsTerminal: whether the operator could be asked (firmware without --yes).
CommandLine parseCommandLine(const char* program, int argc, const char* const* argv,
                             bool inputIsTerminal);

// Prints the texts; returns the status (-1: run).
int answerCommandLine(const CommandLine& line);

// The passphrase --passphrase-file names: the first line of the file, or of
// standardInput for "-", without its line end. False, with the reason in
// `error`, when it cannot be read or is no passphrase the loom can take for
// `encryption` ("" while the kind is not known).
bool readPassphraseFile(const std::string& path, std::FILE* standardInput,
                        std::string_view encryption, std::string& passphrase, std::string& error);
