// The simulation behind the Win32 library: the part of the application side that is
// not Win32. It starts the kernel emulation (on the real clock by default, with the
// emulation's DPC thread, so that applications run in real time on real threads),
// loads the driver, adds simulated USB serial adapters as ports with a port name and
// registry values of their own, starts them, wires the loopback plug, baud pacing
// or a null-modem cable between two of them, and at the end takes the ports and the
// driver down again and reports what the emulation found left behind.
//
// One Simulation at a time per process: the emulation, the Win32 handles and the
// ports' names are process-wide. Win32 calls (CreateFile("COM5"), ...) reach the
// ports the simulation added.
//
// Include this header (or any of the emulation's headers) before windows.h: see the
// note at the top of windows.h.
#pragma once

#ifdef _WINDOWS_
#error "vcomsim.h includes the emulation's kernel headers, which must come before windows.h"
#endif

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hostkernel/frontend.h"
#include "pipesim/pipesim.h"

namespace vcomsim {

enum class Clock {
    Real,     // real time, the emulation's DPC thread, real waits: for tools
    Virtual,  // the emulation's virtual clock: time moves when every thread waits
};

struct Options {
    Clock clock = Clock::Real;
    // DriverEntry's registry path.
    std::u16string serviceKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vcomusb";
};

struct PortOptions {
    std::u16string name = u"COM5";  // the adapter's "PortName" value: the port's DOS name
    // Further values of the adapter's device key (e.g. hk::RegistryValue::Dword(u"TxAsync", 1)).
    std::vector<hk::RegistryValue> registry;
    bool loopback = false;  // the loopback plug: TX to RX, RTS to CTS, DTR to DSR and DCD
    bool pacing = false;    // writes take the time the wire needs at the configured baud rate
    bool start = true;      // start the device (IRP_MN_START_DEVICE) when it is added
    // The simulated adapter's own options. Its registry member is replaced by the
    // port name and `registry`; an instance id left at the default is made unique.
    pipesim::Options adapter;
};

// One simulated adapter and the port the driver built on it.
class Port {
public:
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    const std::u16string& Name() const { return name_; }
    std::string NameA() const;
    // The simulated adapter: what it received, its line configuration and modem
    // lines, the loopback plug, pacing, fault injection.
    pipesim::PipeSim& Sim() { return *sim_; }
    // The port's device object (the top of the stack, for WMI queries); null when the
    // driver's AddDevice failed or after Remove.
    PDEVICE_OBJECT Device() const { return device_; }
    PDEVICE_OBJECT Pdo() const;
    hk::DeviceStack& Stack() { return stack_; }

    NTSTATUS AddStatus() const { return addStatus_; }      // what AddDevice returned
    NTSTATUS StartStatus() const { return startStatus_; }  // STATUS_PENDING until started
    // IRP_MN_START_DEVICE; PortOptions::start sends it when the port is added.
    NTSTATUS Start();
    bool Started() const { return NT_SUCCESS(startStatus_) && startStatus_ != STATUS_PENDING && device_; }
    // IRP_MN_QUERY_REMOVE_DEVICE and IRP_MN_REMOVE_DEVICE, as the PnP manager sends
    // them; the adapter stays for inspection. Nothing when removed already.
    NTSTATUS Remove();
    bool Removed() const { return removed_; }

    void SetLoopback(bool on);
    void SetPacing(bool on);

private:
    friend class Simulation;
    Port(std::u16string name, std::unique_ptr<pipesim::PipeSim> sim);
    std::u16string name_;
    std::unique_ptr<pipesim::PipeSim> sim_;
    hk::DeviceStack stack_;
    PDEVICE_OBJECT device_ = nullptr;
    NTSTATUS addStatus_ = STATUS_PENDING;
    NTSTATUS startStatus_ = STATUS_PENDING;
    bool removed_ = false;
};

// What the emulation found at the end: the verifier's reports, pool still allocated
// (by tag), IRPs, MDLs and registry handles outstanding, and what the application
// left behind (Win32 handles it did not close, threads still running).
struct LeakReport {
    bool clean = true;
    std::string text;  // one finding per line; "clean" lines too, for people to read
};

class Simulation {
public:
    // Resets the emulation to a fresh kernel on the chosen clock and loads the driver
    // (LoadStatus says how DriverEntry went).
    explicit Simulation(Options options = {});
    // Shuts down if Shutdown has not been called (its report is then lost).
    ~Simulation();
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

    NTSTATUS LoadStatus() const { return loadStatus_; }
    hk::LoadedDriver* Driver() { return driver_.get(); }

    // A new simulated adapter with the driver's port on it (AddDevice, then the start
    // unless options.start is false). Check AddStatus and StartStatus.
    Port& AddPort(PortOptions options);
    // Two ports whose adapters are wired to each other by a null-modem cable: TX to
    // RX both ways, RTS to CTS, DTR to DSR and DCD, each side paced at its own line
    // settings when its pacing is on.
    std::pair<Port*, Port*> AddNullModemPair(PortOptions a, PortOptions b);
    Port* Find(const std::u16string& name);
    std::vector<Port*> Ports();

    // Closes the handles the application left open (each one counts against a clean
    // report), waits for its threads, removes every port's device, unplugs the cables,
    // unloads the driver, deletes the adapters, and reports what was left behind;
    // then releases the emulation. Later calls return the same report.
    LeakReport Shutdown();

private:
    NTSTATUS loadStatus_ = STATUS_PENDING;
    std::unique_ptr<hk::LoadedDriver> driver_;
    std::vector<std::unique_ptr<Port>> ports_;
    std::vector<std::unique_ptr<pipesim::NullModem>> cables_;
    bool shutDown_ = false;
    LeakReport report_;
    int nextInstance_ = 0;
};

// ---- What the Win32 library sends --------------------------------------------------------
// One request the library sent toward a port on behalf of the application.
struct SentRequest {
    void* handle = nullptr;  // the Win32 handle it was sent on (null for a create)
    UCHAR major = 0;         // IRP_MJ_CREATE, _READ, _WRITE, _DEVICE_CONTROL, _FLUSH_BUFFERS, _CLEANUP
    ULONG ioctl = 0;         // device control code, else 0
    std::vector<UCHAR> input;  // the input buffer or the data written
    ULONG outputLength = 0;    // the output buffer's or the read's length
};
// Called on the application's thread before each request goes to the driver, until
// replaced; an empty function stops it. For tools that show what an application
// does, and tests that count what reached the driver.
void ObserveRequests(std::function<void(const SentRequest&)> observer);

// The Win32 error code Windows gives an NTSTATUS (RtlNtStatusToDosError's mapping).
ULONG Win32ErrorFromStatus(NTSTATUS status);
// "IOCTL_SERIAL_SET_BAUD_RATE" and the like for the serial control codes; null for others.
const char* IoctlName(ULONG code);

}  // namespace vcomsim
