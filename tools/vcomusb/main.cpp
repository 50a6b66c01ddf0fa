// vcomusb: the driver in the kernel emulation on this machine, reached through the
// Win32 comm API; see `vcomusb --help`.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"

int main(int argc, char** argv)
{
    // Whole lines, also when the output is a pipe (the pty command's first line is
    // read by the program that started it).
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::vector<std::string> args(argv + 1, argv + argc);
    vcomusb::Options options;
    std::string error;
    if (!vcomusb::ParseCommandLine(args, &options, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(options.commandGiven ? vcomusb::HelpText(options.command) : vcomusb::GeneralHelpText(), stdout);
        return 0;
    }
    switch (options.command) {
    case vcomusb::Command::Term: return vcomusb::RunTerm(options);
    case vcomusb::Command::Pty: return vcomusb::RunPty(options);
    default: return vcomusb::RunDemo(options);
    }
}
