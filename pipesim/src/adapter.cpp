#include "adapter.h"

namespace pipesim {
namespace {
const ULONG kLcbBaud[4] = {9600, 19200, 38400, 115200};
const ULONG kBaudIndex[9] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};
}  // namespace

bool ApplyPortCommand(AdapterState& a, const std::vector<UCHAR>& p)
{
    if (p.empty()) return false;
    switch (p[0]) {
    case 0:  // line configuration
        if (p.size() == 2) {
            UCHAR b = p[1];
            if ((b & 0x30) == 0x30) return false;
            a.line.form = 2;
            a.line.baud = kLcbBaud[b & 0x03];
            a.line.dataBits = (b & 0x04) ? 8 : 7;
            a.line.stopBits = (b & 0x08) ? 2 : 1;
            a.line.parity = (b & 0x10) ? Parity::Even : (b & 0x20) ? Parity::Odd : Parity::None;
            a.line.rtsCts = b & 0x40;
            a.line.xonXoff = b & 0x80;
            return true;
        }
        if (p.size() == 3) {
            UCHAR flags = p[2];
            if (p[1] >= 9 || (flags & 0xC0) || (flags & 0x0C) == 0x0C || (flags & 0x30) == 0x30) return false;
            a.line.form = 3;
            a.line.baud = kBaudIndex[p[1]];
            a.line.dataBits = (flags & 0x01) ? 8 : 7;
            a.line.stopBits = (flags & 0x02) ? 2 : 1;
            a.line.parity = (flags & 0x04) ? Parity::Even : (flags & 0x08) ? Parity::Odd : Parity::None;
            a.line.rtsCts = flags & 0x10;
            a.line.xonXoff = flags & 0x20;
            return true;
        }
        return false;
    case 1:  // modem control byte
        if (p.size() != 2 || (p[1] & 0xF8)) return false;
        a.rts = p[1] & 0x01;
        a.dtr = p[1] & 0x02;
        a.breakOn = p[1] & 0x04;
        return true;
    case 2:  // flow characters
        if (p.size() != 3) return false;
        a.flowCharsSet = true;
        a.xonChar = p[1];
        a.xoffChar = p[2];
        return true;
    case 3:  // port enable
        if (p.size() != 2 || p[1] > 1) return false;
        a.portEnabled = p[1] == 1;
        a.enableCommands++;
        return true;
    case 4:  // error character
        if (p.size() != 3 || p[1] > 1) return false;
        a.errorCharEnabled = p[1] == 1;
        a.errorChar = p[2];
        return true;
    default:
        return false;
    }
}

UCHAR LineByte(UCHAR freeLines, bool tied, bool rts, bool dtr)
{
    if (!tied) return freeLines;
    UCHAR lines = freeLines & LINE_RI;
    if (rts) lines |= LINE_CTS;
    if (dtr) lines |= LINE_DSR | LINE_DCD;
    return lines;
}

LONGLONG WireTime(const AdapterState& a, size_t bytes)
{
    int frame = 1 + a.line.dataBits + (a.line.parity == Parity::None ? 0 : 1) + a.line.stopBits;
    ULONG baud = a.line.baud ? a.line.baud : 115200;
    return (LONGLONG)((long double)bytes * frame * 10000000.0L / baud);
}

}  // namespace pipesim
