// The adapter model behind the simulated pipe driver: its state and the decoding
// of its vendor command set.
#pragma once

#include <vector>

#include "pipesim/pipesim.h"

namespace pipesim {

// Applies one port-command payload to the adapter; false for a command it does not know.
bool ApplyPortCommand(AdapterState& adapter, const std::vector<UCHAR>& payload);

// The line byte the status endpoint reports: the free-running lines, or, when a plug
// or cable ties the inputs to a pair of outputs (the adapter's own or another's), CTS
// from that RTS and DSR and DCD from that DTR, with RI still free-running.
UCHAR LineByte(UCHAR freeLines, bool tied, bool rts, bool dtr);

// Time on the wire for `bytes` bytes at the adapter's configuration, in 100 ns units.
LONGLONG WireTime(const AdapterState& adapter, size_t bytes);

}  // namespace pipesim
