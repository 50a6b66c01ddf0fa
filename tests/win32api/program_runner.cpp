// Runs serial_program.c, built unchanged against windows.h, on a simulated port: COM5
// with the loopback plug, on the real clock. Passes when the program succeeds and the
// emulation has nothing left behind.
#include <cstdio>

#include "vcomsim.h"

extern "C" int windows_program_main(int argc, char** argv);

int main()
{
    vcomsim::Simulation sim;
    vcomsim::PortOptions com5;
    com5.registry = {hk::RegistryValue::Dword(u"EndPointCaps", 3)};
    com5.loopback = true;
    if (!sim.AddPort(com5).Started()) {
        std::printf("COM5 did not start\n");
        return 1;
    }
    char program[] = "serial_program", name[] = "COM5";
    char* argv[] = {program, name, nullptr};
    int rc = windows_program_main(2, argv);
    vcomsim::LeakReport report = sim.Shutdown();
    std::printf("program exit code %d\n%s", rc, report.text.c_str());
    return rc == 0 && report.clean ? 0 : 1;
}
