// The simulation the term and pty commands run on: the driver, the adapter named by
// the options (COM5 unless --reg PortName says otherwise) with the wiring, pacing and
// registry values asked for, and for a null-modem cable the second port at its other
// end. Long sessions: the adapters record nothing and keep a bounded line buffer.
#pragma once

#include <memory>
#include <string>

#include "cli.h"

namespace vcomsim {
class Simulation;
class Port;
}  // namespace vcomsim

namespace vcomusb {

class Session {
public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool Start(const Options& options, std::string* error);
    // "COM5"; the peer's name is empty without a null-modem cable.
    std::string PortName() const;
    std::string PeerName() const;
    std::string Describe() const;  // the wiring, e.g. "COM5, loopback plug in, paced"
    // What the adapter was last told of the line ("9600 8N1 RTS/CTS"), and
    // "not configured" before the driver sent a configuration.
    std::string AdapterLine() const;
    // The adapter's bytes lost to its bounded line buffer.
    size_t LostBytes() const;
    // Takes every port down and returns the emulation's report; `clean` says whether
    // nothing was left behind.
    std::string Shutdown(bool* clean);

private:
    std::unique_ptr<vcomsim::Simulation> sim_;
    vcomsim::Port* port_ = nullptr;
    vcomsim::Port* peer_ = nullptr;
    std::string wiring_;
};

}  // namespace vcomusb
