// The adapter model behind the simulated pipe driver: its state and the decoding
// of its vendor command set.
#pragma once

#include <vector>

#include "pipesim/pipesim.h"

namespace pipesim {

// Applies one port-command payload to the adapter; false for a command it does not know.
bool ApplyPortCommand(AdapterState& adapter, const std::vector<UCHAR>& payload);

// The line byte the status endpoint reports.
UCHAR LineByte(const AdapterState& adapter, UCHAR freeLines, bool loopback);

// Time on the wire for `bytes` bytes at the adapter's configuration, in 100 ns units.
LONGLONG WireTime(const AdapterState& adapter, size_t bytes);

}  // namespace pipesim
