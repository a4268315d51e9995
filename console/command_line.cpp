#include "console/command_line.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/text.h"
#include "base/version.h"
#include "protocol/limits.h"

namespace {

// The help's own layout: one usage block per (sub)command written out in full
// (CLI11's own lists every option as [OPTIONS]), each option under the name it
// is typed with, descriptions wrapped at 80 columns.
class Help : public CLI::Formatter {
  public:
    std::map<const CLI::App*, std::string> usage;
    std::map<const CLI::Option*, std::string> names;

    std::string make_usage(const CLI::App* app, std::string) const override {
        auto found = usage.find(app);
        return found == usage.end() ? std::string() : found->second;
    }

    // The usage first, as a man page has it.
    std::string make_help(const CLI::App* app, std::string name,
                          CLI::AppFormatMode mode) const override {
        std::string text = make_usage(app, name) + "\n" + make_description(app);
        text += make_positionals(app) + make_groups(app, mode) + make_subcommands(app, mode);
        std::string footer = make_footer(app);
        if (!footer.empty())
            text += "\n" + footer;
        return text;
    }

    std::string make_option(const CLI::Option* opt, bool) const override {
        auto found = names.find(opt);
        return entry(found == names.end() ? opt->get_name() : found->second,
                     opt->get_description());
    }

    std::string make_subcommand(const CLI::App* sub) const override {
        return entry(sub->get_name(), sub->get_description());
    }

  private:
    static constexpr size_t left = 26;
    static constexpr size_t width = 80;

    // Lines of the description stay lines; each is wrapped at word breaks.
    static std::string entry(const std::string& name, const std::string& description) {
        std::string out = "  " + name;
        size_t column = out.size();
        auto newLine = [&] {
            out += "\n" + std::string(left, ' ');
            column = left;
        };
        if (column + 1 >= left)
            newLine();
        std::istringstream lines(description);
        bool firstLine = true;
        for (std::string line; std::getline(lines, line); firstLine = false) {
            if (!firstLine)
                newLine();
            std::istringstream words(line);
            bool firstWord = true;
            for (std::string word; words >> word; firstWord = false) {
                if (!firstWord && column + 1 + word.size() > width)
                    newLine();
                else if (!firstWord)
                    out += ' ', ++column;
                if (column < left)
                    out += std::string(left - column, ' '), column = left;
                out += word;
                column += word.size();
            }
        }
        return out + "\n";
    }
};

constexpr char setFields[] =
    "Fields:\n"
    "  name=NAME               the loom's name\n"
    "  address=ADDRESS         the static address\n"
    "  wifi=on|off             Wi-Fi on or off\n"
    "  dhcp=on|off             the address by DHCP, or the static one\n"
    "  network=SSID            the Wi-Fi network to join, as the scan finds it\n"
    "  encryption=KIND         NONE, WEP, WPA or WPA2: the kind of a network the scan\n"
    "                          does not find\n"
    "\n"
    "A name, an address or a network name is at most 32 bytes; no value may hold a\n"
    "double quote (\") or '>'. on, off and the kinds may be written in any case. The\n"
    "passphrase of an encrypted network comes from --passphrase-file or, on a\n"
    "terminal, from a prompt that does not show it; never from the command line. A\n"
    "passphrase is at most 48 bytes, and for WPA or WPA2 at least 8.\n"
    "\n"
    "network= scans first and takes the kind from the entry whose name matches byte\n"
    "for byte; when none does and no encryption= is given, set lists what the scan\n"
    "found and ends with status 3. An open network is joined with no passphrase.\n"
    "After the read-back set prints \"Applied.\" or the \"Not applied:\" line, and the\n"
    "loom's refusals; with --json: applied, notApplied, refusals and settings.\n";

constexpr char firmwareFooter[] =
    "The progress and the outcome go to standard error; the exit status tells the\n"
    "outcome: 0 acknowledged, 3 refused, 4 no answer, 2 a file that cannot be sent\n"
    "(checked before any device is opened) or an image not confirmed.\n";

constexpr char exitStatuses[] =
    "Exit status: 0 done; 1 no loom, the chosen device absent, the link lost, or\n"
    "another Shedmate running in the folder; 2 a usage error or an invalid value\n"
    "(nothing sent); 3 the loom refused, a change did not take, the network was not\n"
    "found or the image was refused; 4 the loom did not answer in time; 128+n a\n"
    "signal.\n";

// "usage: shedmate set FIELD=VALUE... [--json]", wrapped at 80 columns under
// the first option.
std::string usageLine(const std::string& command, const std::string& options) {
    std::string head = "usage: " + command + " ";
    std::string out = head;
    size_t column = head.size();
    std::istringstream words(options);
    bool first = true;
    for (std::string word; words >> word; first = false) {
        // Keep "[--wait[=SECONDS]]" and "[--json]" whole, but a bracket's
        // words together: "[--timeout SECONDS]".
        std::string piece = word;
        while (std::count(piece.begin(), piece.end(), '[') >
                   std::count(piece.begin(), piece.end(), ']') &&
               words >> word)
            piece += " " + word;
        if (!first && column + 1 + piece.size() > 80) {
            out += "\n" + std::string(head.size(), ' ');
            column = head.size();
        } else if (!first) {
            out += ' ';
            ++column;
        }
        out += piece;
        column += piece.size();
    }
    return out + "\n";
}

struct Parser {
    std::string program;
    bool demo;
    CLI::App app;
    std::shared_ptr<Help> help = std::make_shared<Help>();
    Invocation inv;
    std::vector<CLI::Option*> waitOptions;
    std::vector<std::string> fields;
    std::map<CLI::App*, Command> commands;

    Parser(const char* name, bool isDemo) : program(name), demo(isDemo), app(description(), name) {
        app.formatter(help);
        help->label("Positionals", "Arguments");
        app.allow_windows_style_options(false);
        app.require_subcommand(0, 1);
        named(app.set_help_flag("-h,--help", "show this text and exit"), "-h, --help");
        common(app);
        help->usage[&app] = "usage: " + program + " [--device ID] [--wait[=SECONDS]]" +
                            (demo ? " [--fast]" : "") + "\n       " + program +
                            " COMMAND [OPTIONS]\n";
        app.footer(std::string(exitStatuses) + "Run '" + program +
                   " COMMAND --help' for a command's options.\n");

        CLI::App* list = command("list", "the FTDI devices attached, and which one would be opened",
                                 "[--json]", Command::list);
        json(*list);
        common(*list);

        CLI::App* show =
            command("show", "log in, print the loom's settings, close", "[--json]", Command::show);
        json(*show);
        timeout(*show);
        common(*show);

        CLI::App* scan = command("scan", "log in, scan for Wi-Fi networks, print them, close",
                                 "[--json]", Command::scan);
        json(*scan);
        timeout(*scan);
        common(*scan);

        CLI::App* set = command("set", "change settings, apply them, read back, say what took",
                                "FIELD=VALUE... [--passphrase-file FILE] [--json]", Command::set);
        named(set->add_option("FIELD=VALUE", fields, "one or more of the fields below")->required(),
              "FIELD=VALUE...");
        named(set->add_option("--passphrase-file", inv.set.passphraseFile,
                              "the network's passphrase: the first line of FILE; - reads standard "
                              "input"),
              "--passphrase-file FILE");
        json(*set);
        timeout(*set);
        common(*set);
        set->footer(setFields);

        CLI::App* firmware =
            command("firmware", "send a firmware image", "FILE [--yes]", Command::firmware);
        firmware->add_option("FILE", inv.firmwareFile, "the image, sent as it is")->required();
        firmware->add_flag("--yes", inv.yes, "send without asking (needed without a terminal)");
        timeout(*firmware);
        common(*firmware);
        firmware->footer(firmwareFooter);
    }

    std::string description() const {
        if (demo)
            return "Shedmate against a built-in virtual loom: every menu entry and every command\n"
                   "can be tried with no loom attached. Everything it does is written to\n"
                   "Shedmate.log in the folder it is started from.";
        return "Reads and changes the network settings of a loom controller attached through an\n"
               "FTDI FT245R USB FIFO. Without a command it is the interactive program; a command\n"
               "does one job and ends. Everything it does is written to Shedmate.log in the\n"
               "folder it is started from.";
    }

    void named(CLI::Option* option, std::string shownAs) { help->names[option] = shownAs; }

    CLI::App* command(const char* name, const char* what, const char* options, Command c) {
        CLI::App* sub = app.add_subcommand(name, what);
        sub->group("Commands");
        sub->allow_windows_style_options(false);
        sub->footer("");
        named(sub->set_help_flag("-h,--help", "show this text and exit"), "-h, --help");
        help->usage[sub] =
            usageLine(program + " " + name,
                      std::string(options) + (c == Command::list ? "" : " [--timeout SECONDS]") +
                          " [--device ID] [--wait[=SECONDS]]" + (demo ? " [--fast]" : ""));
        commands[sub] = c;
        return sub;
    }

    // What every command and the interactive run take.
    void common(CLI::App& a) {
        named(
            a.add_option("--device", inv.device.id,
                         "the loom's device: a serial number as 'list' prints it or, with the "
                         "kernel's serial devices, a tty path (/dev/ttyUSB0); that device or none")
                ->check(CLI::Validator(
                    [](std::string& id) {
                        return id.empty() ? std::string("needs a serial number or a path")
                                          : std::string();
                    },
                    "")),
            "--device ID");
        CLI::Option* wait = a.add_flag("--wait{-1}", inv.device.waitSeconds,
                                       "when the loom (or the --device) is not attached, wait for "
                                       "it, looking twice a second, for SECONDS or until Ctrl-C");
        named(wait, "--wait[=SECONDS]");
        waitOptions.push_back(wait);
        if (demo)
            a.add_flag("--fast", inv.fast, "the virtual loom answers everything at once");
        a.set_version_flag("--version", program + " " + shedmateVersion(),
                           "show the version and exit");
    }

    void json(CLI::App& a) { a.add_flag("--json", inv.json, "print one JSON document"); }

    void timeout(CLI::App& a) {
        named(a.add_option("--timeout", inv.timeoutSeconds,
                           "the longest wait for each answer of the loom, in seconds "
                           "(default 60); past it the command ends with status 4")
                  ->check(CLI::Range(1, 86400)),
              "--timeout SECONDS");
    }

    // The (sub)command whose usage a mistake is answered with.
    const CLI::App* current() const {
        for (const auto& [sub, c] : commands)
            if (sub->parsed())
                return sub;
        return &app;
    }
};

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// Quoted for the error line, made safe to print.
std::string shown(std::string_view value) {
    return "\"" + consoleSafe(value) + "\"";
}

bool onOff(std::string_view field, std::string_view value, std::optional<bool>& to,
           std::string& error) {
    std::string v = lower(value);
    if (v != "on" && v != "off") {
        error = std::string(field) + "= takes on or off, not " + shown(value);
        return false;
    }
    to = v == "on";
    return true;
}

bool text(std::string_view field, const char* what, std::string_view value,
          std::optional<std::string>& to, std::string& error) {
    switch (textProblem(value)) {
    case ValueProblem::none:
        to = std::string(value);
        return true;
    case ValueProblem::unsafe:
        error = std::string(field) + "=: a value may not contain a double quote (\") or '>'";
        return false;
    case ValueProblem::tooLong:
    case ValueProblem::tooShort:
        error = std::string(field) + "=: " + what + " may be at most " +
                std::to_string(maxTextBytes) + " bytes (this one has " +
                std::to_string(value.size()) + ")";
        return false;
    }
    return false;
}

bool setField(std::string_view arg, SetFields& f, std::string& error) {
    size_t eq = arg.find('=');
    if (eq == std::string_view::npos || eq == 0) {
        error = shown(arg) + " is not FIELD=VALUE";
        return false;
    }
    std::string_view field = arg.substr(0, eq);
    std::string_view value = arg.substr(eq + 1);
    if (field == "passphrase") {
        error = "a passphrase is never taken from the command line, where others can read it; "
                "use --passphrase-file FILE (- for standard input)";
        return false;
    }
    struct Known {
        const char* name;
        bool given;
    } known[] = {{"name", f.name.has_value()},       {"address", f.address.has_value()},
                 {"wifi", f.wifi.has_value()},       {"dhcp", f.dhcp.has_value()},
                 {"network", f.network.has_value()}, {"encryption", f.encryption.has_value()}};
    auto k = std::find_if(std::begin(known), std::end(known),
                          [&](const Known& x) { return field == x.name; });
    if (k == std::end(known)) {
        error = "unknown field " + shown(field) +
                " (the fields: name, address, wifi, dhcp, network, encryption)";
        return false;
    }
    if (k->given) {
        error = std::string(field) + "= is given twice";
        return false;
    }
    if (value.empty()) {
        error = std::string(field) + "= needs a value";
        return false;
    }
    if (field == "name")
        return text(field, "a loom name", value, f.name, error);
    if (field == "address")
        return text(field, "a static address", value, f.address, error);
    if (field == "network")
        return text(field, "a network name", value, f.network, error);
    if (field == "wifi")
        return onOff(field, value, f.wifi, error);
    if (field == "dhcp")
        return onOff(field, value, f.dhcp, error);
    std::string kind = upper(value);
    if (kind != "NONE" && kind != "WEP" && kind != "WPA" && kind != "WPA2") {
        error = "encryption= takes NONE, WEP, WPA or WPA2, not " + shown(value);
        return false;
    }
    f.encryption = kind;
    return true;
}

// The fields together: what one alone cannot say.
bool checkSet(const std::vector<std::string>& args, SetFields& f, std::string& error) {
    for (const std::string& arg : args)
        if (!setField(arg, f, error))
            return false;
    if (f.encryption && !f.network) {
        error = "encryption= goes with network=";
        return false;
    }
    if (!f.passphraseFile.empty() && !f.network) {
        error = "--passphrase-file goes with network=";
        return false;
    }
    if (!f.passphraseFile.empty() && f.encryption == "NONE") {
        error = "an open network (encryption=NONE) takes no passphrase";
        return false;
    }
    return true;
}

CommandLine mistake(const Parser& p, const CLI::App* where, const std::string& what) {
    CommandLine line;
    line.status = 2;
    std::string name = p.program;
    if (where != &p.app)
        name += " " + where->get_name();
    line.err = name + ": " + what + "\n" + p.help->make_usage(where, "") + "Run '" + name +
               " --help' for more.\n";
    return line;
}

void wipe(std::string& secret) {
    // Through a volatile pointer, so the stores are not dropped as dead.
    volatile char* p = secret.data();
    for (size_t i = 0; i < secret.size(); ++i)
        p[i] = '\0';
    secret.clear();
}

} // namespace

const char* commandName(Command command) {
    switch (command) {
    case Command::interactive:
        return "";
    case Command::list:
        return "list";
    case Command::show:
        return "show";
    case Command::scan:
        return "scan";
    case Command::set:
        return "set";
    case Command::firmware:
        return "firmware";
    }
    return "";
}

CommandLine parseCommandLine(const char* program, int argc, const char* const* argv,
                             bool inputIsTerminal) {
    Parser p(program, std::strcmp(program, "shedmate-demo") == 0);
    try {
        p.app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        // A mistake anywhere wins over --help and --version, so a typo is
        // never silently run past: the rest is parsed again without them (a
        // command's missing arguments are no mistake beside its --help).
        std::vector<const char*> rest;
        for (int i = 0; i < argc; ++i)
            if (i == 0 || (std::strcmp(argv[i], "-h") != 0 && std::strcmp(argv[i], "--help") != 0 &&
                           std::strcmp(argv[i], "--version") != 0))
                rest.push_back(argv[i]);
        Parser again(program, p.demo);
        try {
            again.app.parse(static_cast<int>(rest.size()), rest.data());
        } catch (const CLI::RequiredError&) {
        } catch (const CLI::ParseError& mistaken) {
            if (mistaken.get_exit_code() != 0)
                return mistake(again, again.current(), mistaken.what());
        }
        CommandLine line;
        line.status = 0;
        // --help answers for the command it follows.
        line.out =
            e.get_name() == "CallForVersion" ? std::string(e.what()) + "\n" : p.current()->help();
        return line;
    } catch (const CLI::ParseError& e) {
        return mistake(p, p.current(), e.what());
    }
    for (const auto& [sub, c] : p.commands)
        if (sub->parsed())
            p.inv.command = c;

    Invocation& inv = p.inv;
    bool waitGiven = std::any_of(p.waitOptions.begin(), p.waitOptions.end(),
                                 [](const CLI::Option* o) { return o->count() > 0; });
    if (waitGiven) {
        if (inv.device.waitSeconds < -1)
            return mistake(p, p.current(), "--wait takes a number of seconds, 0 or more");
        inv.device.wait = true;
    } else {
        inv.device.waitSeconds = -1;
    }
    std::string error;
    if (inv.command == Command::set && !checkSet(p.fields, inv.set, error))
        return mistake(p, p.current(), error);
    if (inv.command == Command::firmware && !inv.yes && !inputIsTerminal)
        return mistake(p, p.current(),
                       "with no terminal to ask on, --yes is needed to send the image");
    if (inv.command == Command::set && inv.set.encryption && *inv.set.encryption != "NONE" &&
        inv.set.passphraseFile.empty() && !inputIsTerminal)
        return mistake(p, p.current(),
                       "with no terminal to ask on, an encrypted network needs --passphrase-file "
                       "FILE (- for standard input)");
    inv.typed = program;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        bool quote = arg.empty() || arg.find_first_of(" \t") != std::string_view::npos;
        inv.typed += quote ? " '" + std::string(arg) + "'" : " " + std::string(arg);
    }
    CommandLine line;
    line.invocation = std::move(inv);
    return line;
}

int answerCommandLine(const CommandLine& line) {
    if (!line.out.empty()) {
        std::fputs(line.out.c_str(), stdout);
        std::fflush(stdout);
    }
    if (!line.err.empty()) {
        std::fputs(line.err.c_str(), stderr);
        std::fflush(stderr);
    }
    return line.status;
}

bool readPassphraseFile(const std::string& path, std::FILE* standardInput,
                        std::string_view encryption, std::string& passphrase, std::string& error) {
    passphrase.clear();
    std::FILE* in = path == "-" ? standardInput : std::fopen(path.c_str(), "rb");
    if (!in) {
        error = "cannot read the passphrase file " + shown(path) + ": " + std::strerror(errno);
        return false;
    }
    // The rest of a long line is read, not kept: two bytes beyond the longest
    // passphrase (one may be a '\r') tell it from one that fits.
    for (int c; (c = std::getc(in)) != EOF && c != '\n';) {
        if (passphrase.size() <= maxPassphraseBytes + 1)
            passphrase.push_back(static_cast<char>(c));
    }
    bool failed = std::ferror(in) != 0;
    if (in != standardInput)
        std::fclose(in);
    if (!passphrase.empty() && passphrase.back() == '\r')
        passphrase.pop_back();
    std::string where = path == "-" ? "standard input" : shown(path);
    const char* problem = nullptr;
    if (failed)
        problem = "could not be read";
    else if (passphrase.empty())
        problem = "holds no passphrase on its first line";
    else if (passphrase.find('\0') != std::string::npos)
        problem = "holds a NUL byte";
    else
        switch (passphraseProblem(passphrase, encryption)) {
        case ValueProblem::none:
            return true;
        case ValueProblem::tooLong:
            problem = "holds a passphrase longer than 48 bytes";
            break;
        case ValueProblem::tooShort:
            problem = "holds a passphrase shorter than 8 bytes, too short for WPA";
            break;
        case ValueProblem::unsafe:
            problem = "holds a double quote (\") or '>', which the loom cannot take";
            break;
        }
    wipe(passphrase);
    error = "the passphrase from " + where + " " + problem;
    return false;
}
