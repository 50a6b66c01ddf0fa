// The command line: `vcomusb [demo | term | pty] [options]`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "line.h"

namespace vcomusb {

enum class Command { Demo, Term, Pty };
enum class Wiring { None, Loopback, NullModem };

// A value for the adapter's device key: a number (decimal or 0x hex) becomes a
// REG_DWORD, anything else (a PortName) a REG_SZ.
struct RegSetting {
    std::string name;
    bool isNumber = true;
    uint32_t number = 0;
    std::string text;
};

struct Options {
    Command command = Command::Demo;
    bool help = false;
    bool commandGiven = false;  // without a command, --help is the general help
    Wiring wiring = Wiring::None;
    // Only what was given; the rest stays as the port has it.
    std::optional<uint32_t> baud;
    std::optional<int> dataBits;
    std::optional<char> parity;
    std::optional<int> stopTenths;
    std::optional<Flow> flow;
    bool pacing = true;
    std::vector<RegSetting> registry;
};

// Parses the arguments after the program name. On failure returns false with one
// line saying what is wrong (no trailing newline).
bool ParseCommandLine(const std::vector<std::string>& args, Options* out, std::string* error);
// The --help text of a command, and of the program as a whole.
const char* HelpText(Command command);
const char* GeneralHelpText();
const char* CommandName(Command command);

}  // namespace vcomusb
