// The port's request surface driven by a byte string: a fresh kernel, a fresh driver
// load and an open port on a simulated adapter, then one operation after another as
// the bytes say (control requests with buffers of any length and content, reads and
// writes that may pend, cancels, purges, time, adapter data, status lines and faults,
// WMI queries and sets, power and removal), and at the end cleanup, close, removal
// and unload with the leak check. The fuzz target, its replay program and the
// regression tests all run inputs through RunRequestSurface.
//
// Input format. The first two bytes choose the device's configuration (ConfigBits);
// then each operation is one byte (its number modulo kOpCount) followed by its
// arguments; integers are little-endian; an input that ends inside an operation reads
// zeros for the rest. Every byte string is a valid input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// The configuration bytes.
enum ConfigBits : uint8_t {
    // First byte.
    CfgTxAsync = 0x01,           // the buffered write path
    CfgNoNullPacket = 0x02,      // TxAllowNullPacket 0
    CfgEndPointCapsShift = 2,    // bits 2-3: EndPointCaps 0..3
    CfgNoStatusEndpoint = 0x10,  // the adapter has no status pipe
    CfgRxPollPeriod = 0x20,      // RxPollPeriod 5 ms
    CfgReadsLater = 0x40,        // the pipe driver completes reads from a DPC, 1 ms later
    CfgWritesLater = 0x80,       // and writes
    // Second byte: two bits each.
    CfgRxReqSizeShift = 0,       // RxReqSize: default, 64, 100, 4096
    CfgKickShift = 2,            // TxKickThreshold: default, 1, 64, 2048
    CfgCtlPollShift = 4,         // CtlPollPeriod: default (10 ms), 5, 50, 1000
    CfgPacketShift = 6,          // maximum packet size of the bulk pipes: 64, 8, 512, 16
};

// Operations and their arguments (u8, u16, u32: little-endian integers; bytes[n]: n
// bytes of the input).
enum Op : uint8_t {
    OpIoctl,            // code u32, inLength u8, in bytes[inLength], outLength u8
    OpKnownIoctl,       // index u8 into KnownIoctlCodes(), inLength u8, in bytes[inLength], outLength u8
    OpRead,             // length u16 (modulo 8192)
    OpWrite,            // length u16 (modulo 8192); the bytes come from the write stream
    OpCancel,           // index u8 into the requests still outstanding
    OpCancelIo,         // -
    OpPurge,            // flags u8 (as a 4-byte mask)
    OpAdvance,          // u8: below 240 that many ms, else (n - 239) s; at most 20 s per input with flushes
    OpFeed,             // length u8 (x 8 with flag 0x80 of the next byte), flags u8 (0x01: one transfer)
    OpSetLines,         // line byte u8
    OpInjectFault,      // pipe u8, kind u8, mode u8, shortWrite u8, times u8, skip u8
    OpClearFaults,      // -
    OpCompleteHeld,     // pipe u8, status u8, bytes u16
    OpWmiQuery,         // guid u8, size u16 (modulo 1024)
    OpWmiQueryAll,      // guid u8, size u16 (modulo 1024)
    OpWmiSet,           // guid u8, length u8, bytes[length]
    OpWmiSetItem,       // guid u8, item u8, length u8, bytes[length]
    OpFlush,            // - (left out once advances and flushes have taken 20 s)
    OpPowerDown,        // u8: state D1 + n % 3, query instead of set with 0x80
    OpPowerUp,          // -
    OpReopen,           // - (closes the handle, waits for the close, opens again)
    OpSurpriseRemoval,  // -
    OpSubmitCancelled,  // - (the next request reaches the driver already cancelled)
    OpCheckQueues,      // - (cancels and purges everything, then both queues must be empty)
    kOpCount
};

// The control codes OpKnownIoctl chooses from: the serial set, the driver's two
// private codes, and some it must refuse.
const std::vector<uint32_t>& KnownIoctlCodes();

// Runs one input from a fresh kernel to the driver's unload; returns what went wrong,
// or an empty string.
std::string RunRequestSurface(const uint8_t* data, size_t size);

// Seed inputs, one per kind of request: name and bytes.
std::vector<std::pair<std::string, std::vector<uint8_t>>> SeedInputs();
// The libFuzzer dictionary of the control codes, as the 4 bytes an input carries.
std::string Dictionary();

}  // namespace fuzz
