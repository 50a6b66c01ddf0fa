// The seed corpus (one input per kind of request) and the dictionary of control
// codes. fuzz_replay --write-seeds and --write-dict write them; the checked-in
// tests/fuzz/corpus and vcomusb.dict are their output.
#include <cstring>

#include "hostkernel/kernel.h"
#include "request_surface.h"

namespace fuzz {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kMax = 0xFFFFFFFF;

// The index of a serial function in KnownIoctlCodes().
uint8_t Known(uint32_t function)
{
    const auto& codes = KnownIoctlCodes();
    uint32_t code = CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS);
    for (size_t i = 0; i < codes.size(); ++i)
        if (codes[i] == code) return (uint8_t)i;
    return 0;
}

class Input {
public:
    Input(uint8_t config0 = 0, uint8_t config1 = 0) : b_{config0, config1} {}
    Input& U8(uint8_t v)
    {
        b_.push_back(v);
        return *this;
    }
    Input& U16(uint16_t v) { return U8((uint8_t)v).U8((uint8_t)(v >> 8)); }
    Input& U32(uint32_t v) { return U16((uint16_t)v).U16((uint16_t)(v >> 16)); }
    Input& Op(fuzz::Op op) { return U8(op); }
    // A known control code with its input (32-bit values) and output room.
    Input& Ioctl(uint32_t function, std::initializer_list<uint32_t> in, uint8_t out)
    {
        Op(OpKnownIoctl).U8(Known(function)).U8((uint8_t)(in.size() * 4));
        for (uint32_t v : in) U32(v);
        return U8(out);
    }
    // The same with an input of single bytes.
    Input& IoctlBytes(uint32_t function, std::initializer_list<uint8_t> in, uint8_t out)
    {
        Op(OpKnownIoctl).U8(Known(function)).U8((uint8_t)in.size());
        for (uint8_t v : in) U8(v);
        return U8(out);
    }
    Input& Read(uint16_t n) { return Op(OpRead).U16(n); }
    Input& Write(uint16_t n) { return Op(OpWrite).U16(n); }
    Input& Advance(uint8_t n) { return Op(OpAdvance).U8(n); }
    Input& Feed(uint8_t n, uint8_t flags = 0) { return Op(OpFeed).U8(n).U8(flags); }
    Input& Fault(int pipe, int kind, uint8_t mode, uint8_t times = 1)
    {
        return Op(OpInjectFault).U8((uint8_t)pipe).U8((uint8_t)kind).U8(mode).U8(0).U8(times).U8(0);
    }
    Bytes Done() const { return b_; }

private:
    Bytes b_;
};

// Pipes and request kinds as the fault operation numbers them.
enum { DataOut, DataIn, Status, Control };
enum { KOpen, KClose, KRead, KAbort, KReset, KMaxPacket, KControlTransfer, KWrite };
constexpr uint8_t kStall = 0x48;  // success status, stalled

}  // namespace

std::vector<std::pair<std::string, Bytes>> SeedInputs()
{
    std::vector<std::pair<std::string, Bytes>> seeds;
    auto add = [&seeds](const char* name, const Input& input) { seeds.emplace_back(name, input.Done()); };

    add("line_settings", Input()
                             .Ioctl(1, {9600}, 0)
                             .Ioctl(20, {}, 4)
                             .IoctlBytes(3, {2, 1, 7}, 0)
                             .Ioctl(21, {}, 3)
                             .Ioctl(25, {0x09, 0x43, 100, 100}, 0)
                             .Ioctl(24, {}, 16)
                             .IoctlBytes(23, {0x1A, 0x3F, 0, 0x7E, 0x11, 0x13}, 0)
                             .Ioctl(22, {}, 6));
    add("raw_codes", Input()
                         .Op(OpIoctl).U32(0x002D0C04).U8(4).U32(1).U8(4)
                         .Op(OpIoctl).U32(0x001B0003).U8(0).U8(8)
                         .Op(OpIoctl).U32(0x001B00A0).U8(8).U32(0).U32(0).U8(8));
    add("read_timed", Input()
                          .Ioctl(7, {10, 1, 50, 0, 0}, 0)
                          .Read(100)
                          .Feed(30)
                          .Advance(100)
                          .Read(10)
                          .Advance(250));
    add("read_return_now", Input(0, 0x01).Ioctl(7, {kMax, 0, 0, 0, 0}, 0).Feed(10).Advance(5).Read(64).Read(4));
    add("read_first_byte",
        Input().Ioctl(7, {kMax, kMax, 20, 0, 0}, 0).Read(16).Advance(30).Feed(3).Read(16).Advance(5));
    add("write_direct", Input().Write(100).Write(64).Advance(20).Op(OpFlush));
    add("write_buffered", Input(0x01, 0x04).Write(5000).Write(10).Advance(50).Op(OpFlush));
    add("write_timeout", Input().Ioctl(7, {0, 0, 0, 1, 10}, 0).Fault(DataOut, KWrite, kStall).Write(20).Advance(50));
    add("cancel", Input().Read(100).Fault(DataOut, KWrite, kStall).Write(10).Write(10).Op(OpCancel).U8(0)
                      .Op(OpCancel).U8(1).Op(OpCancelIo));
    add("purge", Input().Feed(50).Advance(5).Fault(DataOut, KWrite, kStall).Write(30).Read(200)
                     .Op(OpPurge).U8(0x0F));
    add("wait_mask", Input(0x04)  // EndPointCaps 1: the status pipe is polled
                         .Ioctl(17, {0x1FF}, 0)
                         .Ioctl(18, {}, 4)
                         .Op(OpSetLines).U8(0x03)
                         .Advance(30)
                         .Ioctl(18, {}, 4)
                         .Feed(1)
                         .Advance(5)
                         .Ioctl(16, {}, 4));
    add("modem_lines", Input()
                           .Ioctl(9, {}, 0)
                           .Ioctl(10, {}, 0)
                           .Ioctl(12, {}, 0)
                           .Ioctl(13, {}, 0)
                           .Ioctl(4, {}, 0)
                           .Ioctl(5, {}, 0)
                           .Ioctl(30, {}, 4)
                           .Ioctl(26, {}, 4)
                           .Ioctl(37, {}, 4)
                           .Ioctl(38, {0x03}, 0));
    add("status_and_stats", Input()
                                .Feed(20)
                                .Advance(5)
                                .Ioctl(27, {}, 20)
                                .Ioctl(35, {}, 24)
                                .Ioctl(36, {}, 0)
                                .Ioctl(29, {}, 64)
                                .Ioctl(32, {}, 4)
                                .Ioctl(2, {8192, 4096}, 0));
    add("immediate_char", Input().Write(50).IoctlBytes(6, {0x55}, 0).IoctlBytes(6, {0x56}, 0).Advance(5));
    add("private_resets", Input().Ioctl(200, {}, 0).Ioctl(201, {}, 0).Read(5).Feed(5).Advance(5));
    add("adapter_faults", Input()
                              .Fault(DataIn, KRead, 0x01)
                              .Feed(10)
                              .Advance(20)
                              .Fault(Control, KControlTransfer, 0x00, 0)
                              .Ioctl(1, {19200}, 0)
                              .Op(OpClearFaults)
                              .Ioctl(1, {38400}, 0));
    add("held_transfers", Input()
                              .Fault(DataIn, KRead, kStall)
                              .Feed(20)
                              .Advance(5)
                              .Op(OpCompleteHeld).U8(1).U8(0).U16(20)
                              .Read(20)
                              .Fault(DataOut, KWrite, kStall)
                              .Write(8)
                              .Op(OpCompleteHeld).U8(0).U8(0).U16(8));
    add("wmi", Input()
                   .Op(OpWmiQuery).U8(0).U16(256)
                   .Op(OpWmiQuery).U8(3).U16(24)
                   .Op(OpWmiQuery).U8(5).U16(25)
                   .Op(OpWmiQueryAll).U8(5).U16(98)
                   .Op(OpWmiQueryAll).U8(0).U16(40)
                   .Op(OpWmiSet).U8(5).U8(4).U32(7)
                   .Op(OpWmiSetItem).U8(5).U8(1).U8(4).U32(3)
                   .Op(OpWmiSetItem).U8(3).U8(2).U8(2).U16(1));
    add("power_cycle", Input(0x04)
                           .Ioctl(7, {0, 0, 0, 0, 0}, 0)  // reads wait for all their bytes
                           .Fault(DataOut, KWrite, kStall)
                           .Write(10)
                           .Read(10)
                           .Op(OpPowerDown).U8(2)
                           .Advance(20)
                           .Op(OpPowerUp)
                           .Feed(10)
                           .Advance(20));
    add("reopen", Input().Write(10).Read(10).Op(OpReopen).Feed(5).Read(5).Advance(5));
    add("surprise_removal", Input().Read(10).Write(10).Op(OpSurpriseRemoval).Read(10).Write(10)
                                .Op(OpWmiQuery).U8(5).U16(64).Ioctl(27, {}, 20));
    add("check_queues", Input(0x01).Fault(DataOut, KWrite, kStall).Write(100).Feed(100).Advance(10)
                            .Op(OpCheckQueues));
    add("submit_cancelled", Input().Op(OpSubmitCancelled).Read(10).Op(OpSubmitCancelled).Write(10)
                                .Op(OpSubmitCancelled).Ioctl(18, {}, 4));
    return seeds;
}

std::string Dictionary()
{
    std::string dict = "# The control codes of the port's request surface, as the 4 little-endian bytes\n"
                       "# an input carries after OpIoctl.\n";
    static const char digits[] = "0123456789abcdef";
    for (uint32_t code : KnownIoctlCodes()) {
        std::string name = "code_";
        std::string value;
        for (int shift = 28; shift >= 0; shift -= 4) name += digits[(code >> shift) & 15];
        for (int i = 0; i < 4; ++i) {
            uint8_t b = (uint8_t)(code >> (8 * i));
            value += "\\x";
            value += digits[b >> 4];
            value += digits[b & 15];
        }
        dict += name + "=\"" + value + "\"\n";
    }
    return dict;
}

}  // namespace fuzz
