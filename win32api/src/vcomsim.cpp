// The simulation: a fresh emulated kernel, the driver, simulated adapters as ports, and
// the report of what was left behind at the end.
#include <cinttypes>
#include <cstdio>
#include <map>

#include "driver/driver.h"
#include "internal.h"

namespace vcomsim {

namespace {
std::string Narrow(const std::u16string& s)
{
    std::string out;
    for (char16_t c : s) out += c < 0x80 ? (char)c : '?';
    return out;
}

std::string Hex(ULONG v)
{
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", (unsigned)v);
    return b;
}
}  // namespace

// ---- Port ------------------------------------------------------------------------------------

Port::Port(std::u16string name, std::unique_ptr<pipesim::PipeSim> sim)
    : name_(std::move(name)), sim_(std::move(sim)), stack_(sim_->Pdo())
{
}

Port::~Port() = default;

std::string Port::NameA() const { return Narrow(name_); }

PDEVICE_OBJECT Port::Pdo() const { return sim_->Pdo(); }

NTSTATUS Port::Start()
{
    if (!device_) return STATUS_NO_SUCH_DEVICE;
    startStatus_ = stack_.Pnp(IRP_MN_START_DEVICE).status;
    return startStatus_;
}

NTSTATUS Port::Remove()
{
    if (removed_ || !device_) return STATUS_SUCCESS;
    removed_ = true;
    NTSTATUS status = stack_.Remove().status;
    device_ = nullptr;
    return status;
}

void Port::SetLoopback(bool on) { sim_->SetLoopback(on); }

void Port::SetPacing(bool on) { sim_->SetPacing(on); }

// ---- Simulation ------------------------------------------------------------------------------

Simulation::Simulation(Options options)
{
    hk::Reset(options.clock == Clock::Real ? hk::ClockMode::Real : hk::ClockMode::Virtual);
    hk::TakeViolations();  // what an earlier run left is not this one's
    loadStatus_ = hk::LoadedDriver::Load(DriverEntry, options.serviceKey, &driver_);
    if (!NT_SUCCESS(loadStatus_)) driver_.reset();
}

Simulation::~Simulation() { Shutdown(); }

Port& Simulation::AddPort(PortOptions options)
{
    pipesim::Options adapter = std::move(options.adapter);
    if (adapter.instanceId == pipesim::Options{}.instanceId)
        adapter.instanceId = u"USB\\VID_0403&PID_6001\\SIM" + [&] {
            std::string n = std::to_string(nextInstance_++);
            return std::u16string(n.begin(), n.end());
        }();
    adapter.registry = std::move(options.registry);
    adapter.registry.push_back(hk::RegistryValue::String(u"PortName", options.name));
    auto sim = std::make_unique<pipesim::PipeSim>(std::move(adapter));
    sim->SetLoopback(options.loopback);
    sim->SetPacing(options.pacing);
    ports_.push_back(std::unique_ptr<Port>(new Port(options.name, std::move(sim))));
    Port& port = *ports_.back();
    if (!driver_) {
        port.addStatus_ = STATUS_NO_SUCH_DEVICE;
        return port;
    }
    port.addStatus_ = port.stack_.AddDevice(*driver_);
    PDEVICE_OBJECT top = port.stack_.Top();
    port.device_ = NT_SUCCESS(port.addStatus_) && top != port.sim_->Device() ? top : nullptr;
    if (port.device_ && options.start) port.Start();
    return port;
}

std::pair<Port*, Port*> Simulation::AddNullModemPair(PortOptions a, PortOptions b)
{
    a.loopback = b.loopback = false;
    // The cable is in before either side starts, so that neither sees lines drop.
    bool startA = a.start, startB = b.start;
    a.start = b.start = false;
    Port& first = AddPort(std::move(a));
    Port& second = AddPort(std::move(b));
    cables_.push_back(std::make_unique<pipesim::NullModem>(first.Sim(), second.Sim()));
    if (startA) first.Start();
    if (startB) second.Start();
    return {&first, &second};
}

Port* Simulation::Find(const std::u16string& name)
{
    for (auto& p : ports_)
        if (p->name_ == name) return p.get();
    return nullptr;
}

std::vector<Port*> Simulation::Ports()
{
    std::vector<Port*> all;
    for (auto& p : ports_) all.push_back(p.get());
    return all;
}

LeakReport Simulation::Shutdown()
{
    if (shutDown_) return report_;
    shutDown_ = true;
    std::vector<std::string> findings;   // each makes the report unclean
    std::vector<std::string> fine;       // what was checked and found in order

    ObserveRequests({});
    for (auto& line : w32::CloseLeftovers()) findings.push_back(line);
    for (auto& line : w32::JoinThreads()) findings.push_back(line);
    for (auto& p : ports_) {
        NTSTATUS status = p->Remove();
        if (!NT_SUCCESS(status)) findings.push_back("removal of " + p->NameA() + " failed with " + Hex((ULONG)status));
    }
    cables_.clear();
    if (driver_) driver_->Unload();
    driver_.reset();
    ports_.clear();

    auto violations = hk::TakeViolations();
    for (auto& v : violations) findings.push_back("verifier: " + v.rule + ": " + v.detail);
    if (violations.empty()) fine.push_back("verifier: no violations");

    std::map<ULONG, std::pair<size_t, size_t>> byTag;  // tag: blocks, bytes
    for (auto& b : hk::OutstandingPool()) {
        auto& t = byTag[b.tag];
        t.first++;
        t.second += b.size;
    }
    for (auto& [tag, t] : byTag)
        findings.push_back("pool: " + std::to_string(t.second) + " bytes in " + std::to_string(t.first) +
                           " block(s) with tag '" + hk::TagText(tag) + "' still allocated");
    if (byTag.empty()) fine.push_back("pool: nothing allocated");
    size_t irps = hk::OutstandingIrps(), mdls = hk::OutstandingMdls(), keys = hk::OpenRegistryHandles();
    if (irps) findings.push_back("IRPs: " + std::to_string(irps) + " still allocated");
    if (mdls) findings.push_back("MDLs: " + std::to_string(mdls) + " still allocated");
    if (keys) findings.push_back("registry: " + std::to_string(keys) + " key handle(s) still open");
    if (!irps && !mdls && !keys) fine.push_back("IRPs, MDLs, registry handles: none outstanding");

    // The emulation's own checks at the end (threads still running, DPCs, timers).
    hk::Shutdown();
    hk::Reset(hk::ClockMode::Virtual);
    for (auto& v : hk::TakeViolations()) findings.push_back("at the end: " + v.rule + ": " + v.detail);

    report_.clean = findings.empty();
    report_.text = report_.clean ? "leak report: clean\n" : "leak report: NOT clean\n";
    for (auto& line : findings) report_.text += "  " + line + "\n";
    for (auto& line : fine) report_.text += "  " + line + "\n";
    return report_;
}

}  // namespace vcomsim
