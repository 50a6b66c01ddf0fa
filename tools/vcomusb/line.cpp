#include "line.h"

#include <cstdio>

namespace vcomusb {
namespace {

// The rates of the one-byte configuration's baud code and of the three-byte
// configuration's baud index.
const uint32_t kCodeRates[4] = {9600, 19200, 38400, 115200};
const uint32_t kIndexRates[9] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};

std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string s;
    char b[8];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, "%s%u", i ? ", " : "", (unsigned)bytes[i]);
        s += b;
    }
    return "{" + s + "}";
}

std::string Char(uint8_t c)
{
    char b[24];
    if (c == 0x11) return "0x11 (DC1)";
    if (c == 0x13) return "0x13 (DC3)";
    if (c >= 0x20 && c < 0x7F)
        std::snprintf(b, sizeof b, "0x%02x '%c'", c, c);
    else
        std::snprintf(b, sizeof b, "0x%02x", c);
    return b;
}

}  // namespace

const char* FlowName(Flow flow)
{
    switch (flow) {
    case Flow::RtsCts: return "RTS/CTS";
    case Flow::XonXoff: return "XON/XOFF";
    default: return "no flow control";
    }
}

std::string Describe(const LineSettings& line)
{
    char b[64];
    const char* stop = line.stopTenths == 15 ? "1.5" : line.stopTenths == 20 ? "2" : "1";
    std::snprintf(b, sizeof b, "%u %d%c%s", (unsigned)line.baud, line.dataBits, line.parity, stop);
    std::string s = b;
    if (line.flow != Flow::None) s += std::string(" ") + FlowName(line.flow);
    return s;
}

bool DecodeLineConfig(const std::vector<uint8_t>& p, LineSettings* out)
{
    if (p.empty() || p[0] != 0) return false;
    LineSettings line;
    if (p.size() == 2) {
        uint8_t b = p[1];
        if ((b & 0x30) == 0x30) return false;
        line.baud = kCodeRates[b & 0x03];
        line.dataBits = (b & 0x04) ? 8 : 7;
        line.stopTenths = (b & 0x08) ? 20 : 10;
        line.parity = (b & 0x10) ? 'E' : (b & 0x20) ? 'O' : 'N';
        // Both bits at once cannot be a Flow; the handshake wins, as the adapter's
        // firmware would have to choose too.
        line.flow = (b & 0x40) ? Flow::RtsCts : (b & 0x80) ? Flow::XonXoff : Flow::None;
    } else if (p.size() == 3) {
        uint8_t flags = p[2];
        if (p[1] >= 9 || (flags & 0xC0) || (flags & 0x0C) == 0x0C || (flags & 0x30) == 0x30) return false;
        line.baud = kIndexRates[p[1]];
        line.dataBits = (flags & 0x01) ? 8 : 7;
        line.stopTenths = (flags & 0x02) ? 20 : 10;
        line.parity = (flags & 0x04) ? 'E' : (flags & 0x08) ? 'O' : 'N';
        line.flow = (flags & 0x10) ? Flow::RtsCts : (flags & 0x20) ? Flow::XonXoff : Flow::None;
    } else {
        return false;
    }
    *out = line;
    return true;
}

std::string DescribePortCommand(const std::vector<uint8_t>& p)
{
    std::string raw = Hex(p);
    if (p.empty()) return "empty port command";
    switch (p[0]) {
    case 0: {
        LineSettings line;
        if (!DecodeLineConfig(p, &line)) break;
        std::string s = "line configuration " + Describe(line);
        if (p.size() == 2 && (p[1] & 0xC0) == 0xC0) s += " and XON/XOFF";
        return s + " " + raw;
    }
    case 1:
        if (p.size() != 2 || (p[1] & 0xF8)) break;
        return std::string("modem control: DTR ") + ((p[1] & 0x02) ? "on" : "off") + ", RTS " +
               ((p[1] & 0x01) ? "on" : "off") + ((p[1] & 0x04) ? ", break on " : " ") + raw;
    case 2:
        if (p.size() != 3) break;
        return "flow control characters: XON " + Char(p[1]) + ", XOFF " + Char(p[2]) + " " + raw;
    case 3:
        if (p.size() != 2 || p[1] > 1) break;
        return std::string(p[1] ? "port enabled " : "port disabled ") + raw;
    case 4:
        if (p.size() != 3 || p[1] > 1) break;
        return std::string("error character replacement ") + (p[1] ? "on, " : "off, ") + Char(p[2]) + " " + raw;
    default:
        break;
    }
    return "unknown port command " + raw;
}

std::string DescribeBytes(const uint8_t* data, size_t length)
{
    std::string text;
    size_t shown = length < 64 ? length : 64;
    for (size_t i = 0; i < shown; ++i) {
        uint8_t c = data[i];
        char b[8];
        switch (c) {
        case '\r': text += "\\r"; break;
        case '\n': text += "\\n"; break;
        case '\t': text += "\\t"; break;
        case '"': text += "\\\""; break;
        case '\\': text += "\\\\"; break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                text += (char)c;
            } else {
                std::snprintf(b, sizeof b, "\\x%02x", c);
                text += b;
            }
        }
    }
    std::string s = std::to_string(length) + (length == 1 ? " byte \"" : " bytes \"") + text + "\"";
    if (shown < length) s += "...";
    if (length <= 16) {
        s += " (";
        for (size_t i = 0; i < length; ++i) {
            char b[4];
            std::snprintf(b, sizeof b, "%s%02x", i ? " " : "", data[i]);
            s += b;
        }
        s += ")";
    }
    return s;
}

}  // namespace vcomusb
