#include "session.h"

#include <strings.h>

#include "vcomsim.h"

namespace vcomusb {
namespace {

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Values the tool's adapters get unless the command line says otherwise: the
// three-byte configuration protocol (all nine rates and a status pipe for the modem
// lines) and the buffered write path.
const char* const kDefaults[][2] = {{"EndPointCaps", "3"}, {"TxAsync", "1"}};

// The adapter keeps at most this much from its serial line for reads that do not
// come: with nobody reading, a long session loses the excess instead of growing.
constexpr size_t kLineBufferLimit = 64 * 1024;

}  // namespace

Session::Session() = default;

Session::~Session()
{
    bool clean;
    if (sim_) Shutdown(&clean);
}

bool Session::Start(const Options& options, std::string* error)
{
    std::vector<RegSetting> values;
    for (const auto& d : kDefaults) {
        RegSetting r;
        r.name = d[0];
        r.text = d[1];
        r.number = (uint32_t)std::stoul(d[1]);
        values.push_back(r);
    }
    std::string name = "COM5";
    for (const auto& r : options.registry) {
        if (strcasecmp(r.name.c_str(), "PortName") == 0) {
            name = r.text;
            continue;
        }
        bool replaced = false;
        for (auto& v : values)
            if (strcasecmp(v.name.c_str(), r.name.c_str()) == 0) v = r, replaced = true;
        if (!replaced) values.push_back(r);
    }

    vcomsim::PortOptions main;
    main.name = Wide(name);
    for (const auto& v : values)
        main.registry.push_back(v.isNumber ? hk::RegistryValue::Dword(Wide(v.name), v.number)
                                           : hk::RegistryValue::String(Wide(v.name), Wide(v.text)));
    main.loopback = options.wiring == Wiring::Loopback;
    main.pacing = options.pacing;
    main.adapter.record = false;
    main.adapter.lineBufferLimit = kLineBufferLimit;

    sim_ = std::make_unique<vcomsim::Simulation>();
    if (!NT_SUCCESS(sim_->LoadStatus())) {
        *error = "the driver did not load: DriverEntry returned " + std::to_string(sim_->LoadStatus());
        return false;
    }
    if (options.wiring == Wiring::NullModem) {
        vcomsim::PortOptions peer = main;
        peer.name = Wide(name == "COM6" ? "COM7" : "COM6");
        auto pair = sim_->AddNullModemPair(main, peer);
        port_ = pair.first;
        peer_ = pair.second;
    } else {
        port_ = &sim_->AddPort(main);
    }
    for (vcomsim::Port* p : {port_, peer_}) {
        if (!p) continue;
        char status[16];
        if (!NT_SUCCESS(p->AddStatus())) {
            std::snprintf(status, sizeof status, "0x%08x", (unsigned)p->AddStatus());
            *error = "the driver refused the adapter of " + p->NameA() + ": AddDevice returned " + status;
            return false;
        }
        if (!p->Started()) {
            std::snprintf(status, sizeof status, "0x%08x", (unsigned)p->StartStatus());
            *error = "the driver could not start " + p->NameA() + ": IRP_MN_START_DEVICE returned " + status;
            return false;
        }
    }
    wiring_ = name + (options.wiring == Wiring::Loopback    ? ", loopback plug in"
                      : options.wiring == Wiring::NullModem ? ", null-modem cable to " + peer_->NameA()
                                                            : ", nothing plugged in");
    wiring_ += options.pacing ? ", paced at the baud rate" : ", not paced";
    return true;
}

std::string Session::PortName() const { return port_ ? port_->NameA() : std::string(); }
std::string Session::PeerName() const { return peer_ ? peer_->NameA() : std::string(); }
std::string Session::Describe() const { return wiring_; }

std::string Session::AdapterLine() const
{
    if (!port_) return "no adapter";
    pipesim::LineConfig c = port_->Sim().Adapter().line;
    if (c.form == 0) return "not configured";
    LineSettings line;
    line.baud = c.baud;
    line.dataBits = c.dataBits;
    line.stopTenths = c.stopBits == 2 ? 20 : 10;
    line.parity = c.parity == pipesim::Parity::Even ? 'E' : c.parity == pipesim::Parity::Odd ? 'O' : 'N';
    line.flow = c.rtsCts ? Flow::RtsCts : c.xonXoff ? Flow::XonXoff : Flow::None;
    return vcomusb::Describe(line);
}

size_t Session::LostBytes() const
{
    size_t n = 0;
    for (vcomsim::Port* p : {port_, peer_})
        if (p) n += p->Sim().LostInBytes();
    return n;
}

std::string Session::Shutdown(bool* clean)
{
    if (!sim_) {
        *clean = true;
        return {};
    }
    vcomsim::LeakReport report = sim_->Shutdown();
    port_ = peer_ = nullptr;
    sim_.reset();
    *clean = report.clean;
    return report.text;
}

}  // namespace vcomusb
