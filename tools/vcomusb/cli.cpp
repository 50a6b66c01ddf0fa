#include "cli.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace vcomusb {
namespace {

const char kGeneralHelp[] =
    "usage: vcomusb [demo | term | pty] [options]\n"
    "\n"
    "Runs the vcomusb driver in the kernel emulation on this machine, above a simulated\n"
    "USB serial adapter, and reaches its COM port through the Win32 comm API.\n"
    "\n"
    "commands:\n"
    "  demo   (the default) one session step by step: what the application calls, what\n"
    "         the adapter receives, and the emulation's leak report\n"
    "  term   an interactive terminal on a simulated port\n"
    "  pty    the simulated port as a Linux pseudo-terminal for picocom, minicom, pyserial\n"
    "\n"
    "`vcomusb COMMAND --help` describes each command's options.\n";

const char kDemoHelp[] =
    "usage: vcomusb demo\n"
    "\n"
    "Loads the driver in the emulation with one adapter (COM5) whose loopback plug is in\n"
    "(TX to RX, RTS to CTS, DTR to DSR and DCD), starts the device and opens the port\n"
    "through the Win32 API; applies line settings and timeouts, writes and reads back,\n"
    "toggles DTR and RTS and waits for their events, reads the statistics and the WMI\n"
    "blocks, purges, closes and removes the device. Each step shows what the\n"
    "application called and its result, and what the adapter received, decoded. Ends\n"
    "with the emulation's leak report. Exits with 0 only if every step did what it\n"
    "should and the report is clean.\n";

const char kTermHelp[] =
    "usage: vcomusb term [--loopback | --null-modem] [--baud N] [--data 5-8]\n"
    "                    [--parity n|e|o|m|s] [--stop 1|1.5|2] [--flow none|rtscts|xonxoff]\n"
    "                    [--no-pacing] [--reg Name=Value ...]\n"
    "\n"
    "An interactive terminal on the simulated port COM5: what you type is written to the\n"
    "port, what the port receives is shown. The bottom line shows the line settings,\n"
    "the modem lines and the counters.\n"
    "\n"
    "  --loopback       the adapter's loopback plug is in: what you type comes back\n"
    "  --null-modem     COM5 is wired to a second port, COM6, through a null-modem cable;\n"
    "                   this program holds COM6 open and echoes what arrives there\n"
    "                   (without either, nothing is plugged in: what you type is lost)\n"
    "  --baud N         the baud rate (the driver takes 600 to 115200 of the usual rates)\n"
    "  --data, --parity, --stop, --flow   the frame and the flow control\n"
    "  --no-pacing      the adapter moves bytes at once instead of at the baud rate\n"
    "  --reg Name=Value a value of the adapter's device key (repeatable), e.g.\n"
    "                   --reg TxAsync=1, --reg EndPointCaps=1, --reg PortName=COM7\n"
    "\n"
    "keys: Ctrl-] quits; Ctrl-T then d toggles DTR, r toggles RTS, b sends a break,\n"
    "Ctrl-T twice sends a Ctrl-T. With input that is not a terminal, the program ends\n"
    "once the input has ended and the port has gone quiet.\n";

const char kPtyHelp[] =
    "usage: vcomusb pty [--loopback] [--no-pacing] [--reg Name=Value ...]\n"
    "\n"
    "Exposes the simulated port COM5 as a Linux pseudo-terminal. The first line of\n"
    "output is the path of the terminal (e.g. /dev/pts/3) for picocom, minicom or\n"
    "pyserial. Data goes both ways; the terminal's settings (baud rate, stop bits,\n"
    "RTS/CTS, XON/XOFF) are carried to the port whenever a program changes them, and\n"
    "each change is reported on a line of its own. Runs until interrupted (Ctrl-C,\n"
    "SIGTERM), then closes the port, removes the device and prints the emulation's\n"
    "leak report on stderr.\n"
    "\n"
    "  --loopback       the adapter's loopback plug is in: what is written comes back\n"
    "  --no-pacing      the adapter moves bytes at once instead of at the baud rate\n"
    "  --reg Name=Value a value of the adapter's device key (repeatable)\n"
    "\n"
    "A pseudo-terminal has 8 data bits and no parity; a rate the driver refuses is\n"
    "reported and the terminal is set back to the port's rate.\n";

bool ParseNumber(const std::string& text, uint32_t* out)
{
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno || *end || v > 0xFFFFFFFFull) return false;
    *out = (uint32_t)v;
    return true;
}

bool ParseReg(const std::string& text, RegSetting* out, std::string* error)
{
    size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) {
        *error = "--reg takes Name=Value, not '" + text + "'";
        return false;
    }
    out->name = text.substr(0, eq);
    out->text = text.substr(eq + 1);
    out->isNumber = ParseNumber(out->text, &out->number);
    if (!out->isNumber && out->text.empty()) {
        *error = "--reg " + out->name + "= has no value";
        return false;
    }
    return true;
}

}  // namespace

const char* CommandName(Command command)
{
    switch (command) {
    case Command::Term: return "term";
    case Command::Pty: return "pty";
    default: return "demo";
    }
}

const char* GeneralHelpText() { return kGeneralHelp; }

const char* HelpText(Command command)
{
    switch (command) {
    case Command::Term: return kTermHelp;
    case Command::Pty: return kPtyHelp;
    default: return kDemoHelp;
    }
}

bool ParseCommandLine(const std::vector<std::string>& args, Options* out, std::string* error)
{
    Options o;
    size_t i = 0;
    bool general = true;  // no command named: --help is the general help
    if (i < args.size() && !args[i].empty() && args[i][0] != '-') {
        const std::string& c = args[i++];
        general = false;
        if (c == "demo")
            o.command = Command::Demo;
        else if (c == "term")
            o.command = Command::Term;
        else if (c == "pty")
            o.command = Command::Pty;
        else if (c == "help")
            o.help = general = true;
        else {
            *error = "vcomusb: unknown command '" + c + "' (demo, term or pty; see vcomusb --help)";
            return false;
        }
    }
    const std::string cmd = general ? "vcomusb" : std::string("vcomusb ") + CommandName(o.command);
    bool term = !general && o.command == Command::Term;
    bool pty = !general && o.command == Command::Pty;
    for (; i < args.size(); ++i) {
        std::string arg = args[i], value;
        bool hasValue = false;
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        auto takeValue = [&](std::string* v) {
            if (hasValue) {
                *v = value;
                return true;
            }
            if (i + 1 >= args.size()) {
                *error = cmd + ": " + arg + " needs a value (see " + cmd + " --help)";
                return false;
            }
            *v = args[++i];
            return true;
        };
        auto refuse = [&](const std::string& what) {
            *error = cmd + ": " + what;
            return false;
        };
        bool takesValue = arg == "--baud" || arg == "--data" || arg == "--parity" || arg == "--stop" ||
                          arg == "--flow" || arg == "--reg";
        if (hasValue && !takesValue) return refuse(arg + " takes no value");
        if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--loopback" && (term || pty)) {
            if (o.wiring == Wiring::NullModem) return refuse("--loopback and --null-modem exclude each other");
            o.wiring = Wiring::Loopback;
        } else if (arg == "--null-modem" && term) {
            if (o.wiring == Wiring::Loopback) return refuse("--loopback and --null-modem exclude each other");
            o.wiring = Wiring::NullModem;
        } else if (arg == "--no-pacing" && (term || pty)) {
            o.pacing = false;
        } else if (arg == "--reg" && (term || pty)) {
            RegSetting r;
            if (!takeValue(&value)) return false;
            if (!ParseReg(value, &r, error)) return refuse(*error);
            o.registry.push_back(r);
        } else if (arg == "--baud" && term) {
            uint32_t v;
            if (!takeValue(&value)) return false;
            if (!ParseNumber(value, &v) || v == 0) return refuse("--baud takes a rate in bits per second, not '" + value + "'");
            o.baud = v;
        } else if (arg == "--data" && term) {
            if (!takeValue(&value)) return false;
            if (value.size() != 1 || value[0] < '5' || value[0] > '8') return refuse("--data takes 5, 6, 7 or 8, not '" + value + "'");
            o.dataBits = value[0] - '0';
        } else if (arg == "--parity" && term) {
            if (!takeValue(&value)) return false;
            std::string p;
            for (char c : value) p += (char)std::tolower((unsigned char)c);
            if (p == "n" || p == "none") o.parity = 'N';
            else if (p == "e" || p == "even") o.parity = 'E';
            else if (p == "o" || p == "odd") o.parity = 'O';
            else if (p == "m" || p == "mark") o.parity = 'M';
            else if (p == "s" || p == "space") o.parity = 'S';
            else return refuse("--parity takes n, e, o, m or s, not '" + value + "'");
        } else if (arg == "--stop" && term) {
            if (!takeValue(&value)) return false;
            if (value == "1") o.stopTenths = 10;
            else if (value == "1.5") o.stopTenths = 15;
            else if (value == "2") o.stopTenths = 20;
            else return refuse("--stop takes 1, 1.5 or 2, not '" + value + "'");
        } else if (arg == "--flow" && term) {
            if (!takeValue(&value)) return false;
            if (value == "none") o.flow = Flow::None;
            else if (value == "rtscts") o.flow = Flow::RtsCts;
            else if (value == "xonxoff") o.flow = Flow::XonXoff;
            else return refuse("--flow takes none, rtscts or xonxoff, not '" + value + "'");
        } else if (!arg.empty() && arg[0] == '-') {
            return refuse("unknown option " + arg + " (see " + cmd + " --help)");
        } else {
            return refuse("unexpected argument '" + arg + "' (see " + cmd + " --help)");
        }
    }
    o.commandGiven = !general;
    *out = o;
    return true;
}

}  // namespace vcomusb
