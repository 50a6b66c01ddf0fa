// SetCommState and GetCommState: the DCB as the four serial records and the line
// requests, back again, what reached the adapter, and the DCBs refused before
// anything is sent or undone when the driver refuses one record.
#include <cstring>

#include "win32api/win32_fixture.h"

namespace {

DCB Dcb(DWORD baud, BYTE bits, BYTE parity, BYTE stop)
{
    DCB d{};
    d.DCBlength = sizeof d;
    d.BaudRate = baud;
    d.fBinary = TRUE;
    d.fParity = parity != NOPARITY;
    d.ByteSize = bits;
    d.Parity = parity;
    d.StopBits = stop;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    d.XonLim = 64;
    d.XoffLim = 128;
    return d;
}

SERIAL_HANDFLOW SentHandflow(const std::vector<vcomsim::SentRequest>& sent)
{
    SERIAL_HANDFLOW h{};
    for (auto& r : sent)
        if (r.ioctl == IOCTL_SERIAL_SET_HANDFLOW && r.input.size() == sizeof h) std::memcpy(&h, r.input.data(), sizeof h);
    return h;
}

using DcbTest = Win32Test;

TEST_F(DcbTest, RoundTripsAndReachesTheAdapter)
{
    struct Case {
        DCB dcb;
        ULONG controlHandShake, flowReplace;  // the handshake record kernel32 sends
        std::vector<ULONG> lineRequests;      // after the four SETs
        bool rtsCts, xonXoff;                 // the adapter's flow control
    };
    std::vector<Case> cases;
    {
        DCB d = Dcb(9600, 8, NOPARITY, ONESTOPBIT);
        d.fDtrControl = DTR_CONTROL_ENABLE;
        d.fRtsControl = RTS_CONTROL_ENABLE;
        cases.push_back({d, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_SET_RTS}, false,
                         false});
    }
    {
        DCB d = Dcb(115200, 7, EVENPARITY, TWOSTOPBITS);
        d.fDtrControl = DTR_CONTROL_HANDSHAKE;
        d.fRtsControl = RTS_CONTROL_HANDSHAKE;
        d.fOutxCtsFlow = d.fOutxDsrFlow = d.fDsrSensitivity = d.fAbortOnError = d.fErrorChar = TRUE;
        d.ErrorChar = '?';
        cases.push_back({d,
                         SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DSR_SENSITIVITY |
                             SERIAL_ERROR_ABORT,
                         SERIAL_RTS_HANDSHAKE | SERIAL_ERROR_CHAR,
                         {},
                         true,
                         false});
    }
    {
        DCB d = Dcb(1200, 8, ODDPARITY, ONESTOPBIT);
        d.fDtrControl = DTR_CONTROL_DISABLE;
        d.fRtsControl = RTS_CONTROL_TOGGLE;
        d.fOutX = d.fInX = d.fTXContinueOnXoff = d.fNull = TRUE;
        d.XonChar = 'Q';
        d.XoffChar = 'S';
        d.EofChar = 0x1A;
        d.EvtChar = '\n';
        cases.push_back({d,
                         0,
                         SERIAL_TRANSMIT_TOGGLE | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_NULL_STRIPPING |
                             SERIAL_XOFF_CONTINUE,
                         {IOCTL_SERIAL_CLR_DTR},
                         false,
                         true});
    }
    {
        // Only the receiving half of XON/XOFF; the lines dropped.
        DCB d = Dcb(38400, 7, NOPARITY, TWOSTOPBITS);
        d.fInX = TRUE;
        d.XonLim = 0;
        d.XoffLim = 4000;
        cases.push_back({d, 0, SERIAL_AUTO_RECEIVE, {IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_CLR_RTS}, false, true});
    }
    const std::vector<ULONG> gets = {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_GET_CHARS,
                                     IOCTL_SERIAL_GET_HANDFLOW};
    const std::vector<ULONG> sets = {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                                     IOCTL_SERIAL_SET_HANDFLOW};
    for (auto& c : cases) {
        SCOPED_TRACE(Describe(c.dcb));
        DCB in = c.dcb;
        TakeSent();
        ASSERT_TRUE(SetCommState(h, &in)) << GetLastError();
        auto sent = TakeSent();
        std::vector<ULONG> codes;
        for (auto& r : sent) codes.push_back(r.ioctl);
        std::vector<ULONG> expected = gets;
        expected.insert(expected.end(), sets.begin(), sets.end());
        expected.insert(expected.end(), c.lineRequests.begin(), c.lineRequests.end());
        EXPECT_EQ(expected, codes);
        SERIAL_HANDFLOW hf = SentHandflow(sent);
        EXPECT_EQ(c.controlHandShake, hf.ControlHandShake);
        EXPECT_EQ(c.flowReplace, hf.FlowReplace);
        EXPECT_EQ((LONG)c.dcb.XonLim, hf.XonLimit);
        EXPECT_EQ((LONG)c.dcb.XoffLim, hf.XoffLimit);

        DCB out;
        std::memset(&out, 0xA5, sizeof out);
        ASSERT_TRUE(GetCommState(h, &out)) << GetLastError();
        EXPECT_EQ(Describe(c.dcb), Describe(out));
        EXPECT_EQ(gets, TakeSentCodes());

        pipesim::AdapterState a = port->Sim().Adapter();
        EXPECT_EQ(c.dcb.BaudRate, a.line.baud);
        EXPECT_EQ(c.dcb.ByteSize, a.line.dataBits);
        EXPECT_EQ(c.dcb.StopBits == TWOSTOPBITS ? 2 : 1, a.line.stopBits);
        EXPECT_EQ(c.dcb.Parity == EVENPARITY  ? pipesim::Parity::Even
                  : c.dcb.Parity == ODDPARITY ? pipesim::Parity::Odd
                                              : pipesim::Parity::None,
                  a.line.parity);
        EXPECT_EQ(c.rtsCts, a.line.rtsCts);
        EXPECT_EQ(c.xonXoff, a.line.xonXoff);
        EXPECT_EQ((UCHAR)c.dcb.XonChar, a.xonChar);
        EXPECT_EQ((UCHAR)c.dcb.XoffChar, a.xoffChar);
        EXPECT_EQ(c.dcb.fErrorChar != 0, a.errorCharEnabled);
        if (c.dcb.fDtrControl != DTR_CONTROL_HANDSHAKE) {
            EXPECT_EQ(c.dcb.fDtrControl == DTR_CONTROL_ENABLE, a.dtr);
        }
        if (c.dcb.fRtsControl < RTS_CONTROL_HANDSHAKE) {
            EXPECT_EQ(c.dcb.fRtsControl == RTS_CONTROL_ENABLE, a.rts);
        }
    }
}

TEST_F(DcbTest, RefusesDcbsItCannotSendBeforeSendingAnything)
{
    DCB good = Dcb(9600, 8, NOPARITY, ONESTOPBIT);
    struct Bad {
        const char* what;
        void (*spoil)(DCB&);
    };
    const Bad bad[] = {
        {"equal flow characters with XON/XOFF out", [](DCB& d) { d.XoffChar = d.XonChar, d.fOutX = TRUE; }},
        {"equal flow characters with XON/XOFF in", [](DCB& d) { d.XoffChar = d.XonChar, d.fInX = TRUE; }},
        {"4 data bits", [](DCB& d) { d.ByteSize = 4; }},
        {"9 data bits", [](DCB& d) { d.ByteSize = 9; }},
        {"parity 5", [](DCB& d) { d.Parity = 5; }},
        {"stop bits 3", [](DCB& d) { d.StopBits = 3; }},
        {"1.5 stop bits with 8 data bits", [](DCB& d) { d.StopBits = ONE5STOPBITS; }},
        {"2 stop bits with 5 data bits", [](DCB& d) { d.ByteSize = 5, d.StopBits = TWOSTOPBITS; }},
        {"DTR control 3", [](DCB& d) { d.fDtrControl = 3; }},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.what);
        DCB d = good;
        b.spoil(d);
        SetLastError(0);
        EXPECT_FALSE(SetCommState(h, &d));
        EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
        EXPECT_TRUE(TakeSent().empty());
    }
    SetLastError(0);
    EXPECT_FALSE(SetCommState(h, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_FALSE(SetCommState((HANDLE)0x4321, &good));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_TRUE(TakeSent().empty());
    // Equal flow characters without XON/XOFF are not used: the DCB goes through.
    DCB same = good;
    same.XonChar = same.XoffChar = 0;
    EXPECT_TRUE(SetCommState(h, &same)) << GetLastError();
    EXPECT_FALSE(TakeSent().empty());
    // 1.5 stop bits with 5 data bits is a frame a DCB can describe: it goes to the
    // driver, which has no form for it.
    DCB five = Dcb(9600, 5, NOPARITY, ONE5STOPBITS);
    EXPECT_FALSE(SetCommState(h, &five));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_FALSE(TakeSent().empty());
}

TEST_F(DcbTest, ARecordTheDriverRefusesUndoesTheOnesSetBeforeIt)
{
    DCB before = Dcb(19200, 8, NOPARITY, ONESTOPBIT);
    before.fDtrControl = DTR_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(h, &before));
    TakeSent();
    // The driver has no form for 6 data bits: the baud rate set first goes back.
    DCB refused = before;
    refused.BaudRate = 4800;
    refused.ByteSize = 6;
    SetLastError(0);
    EXPECT_FALSE(SetCommState(h, &refused));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    auto sent = TakeSent();
    ASSERT_EQ(7u, sent.size());
    EXPECT_EQ((ULONG)IOCTL_SERIAL_SET_BAUD_RATE, sent[4].ioctl);
    EXPECT_EQ((ULONG)IOCTL_SERIAL_SET_LINE_CONTROL, sent[5].ioctl);
    ASSERT_EQ((ULONG)IOCTL_SERIAL_SET_BAUD_RATE, sent[6].ioctl);
    SERIAL_BAUD_RATE restored;
    ASSERT_EQ(sizeof restored, sent[6].input.size());
    std::memcpy(&restored, sent[6].input.data(), sizeof restored);
    EXPECT_EQ(19200u, restored.BaudRate);

    DCB now;
    ASSERT_TRUE(GetCommState(h, &now));
    EXPECT_EQ(Describe(before), Describe(now));
    EXPECT_EQ(19200u, port->Sim().Adapter().line.baud);
}

TEST_F(DcbTest, ConfigurationsCarryTheDcb)
{
    DCB d = Dcb(38400, 8, EVENPARITY, ONESTOPBIT);
    ASSERT_TRUE(SetCommState(h, &d));
    COMMCONFIG cc;
    DWORD size = sizeof cc - 1;
    SetLastError(0);
    EXPECT_FALSE(GetCommConfig(h, &cc, &size));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(sizeof cc, size);
    ASSERT_TRUE(GetCommConfig(h, &cc, &size));
    EXPECT_EQ(sizeof cc, cc.dwSize);
    EXPECT_EQ((DWORD)PST_RS232, cc.dwProviderSubType);
    EXPECT_EQ(Describe(d), Describe(cc.dcb));
    cc.dcb.BaudRate = 115200;
    ASSERT_TRUE(SetCommConfig(h, &cc, sizeof cc));
    EXPECT_EQ(115200u, port->Sim().Adapter().line.baud);

    // The default: the Ports key's "COM5:" value, else 9600 8N1.
    size = sizeof cc;
    ASSERT_TRUE(GetDefaultCommConfigA("COM5", &cc, &size));
    EXPECT_EQ(9600u, cc.dcb.BaudRate);
    EXPECT_EQ(8, cc.dcb.ByteSize);
    hk::registry::Set(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports",
                      hk::RegistryValue::String(u"COM5:", u"1200,e,7,2"));
    ASSERT_TRUE(GetDefaultCommConfigW(L"COM5", &cc, &size));
    EXPECT_EQ(1200u, cc.dcb.BaudRate);
    EXPECT_EQ(7, cc.dcb.ByteSize);
    EXPECT_EQ(EVENPARITY, cc.dcb.Parity);
    EXPECT_EQ(TWOSTOPBITS, cc.dcb.StopBits);
    EXPECT_FALSE(GetDefaultCommConfigA("COM9", &cc, &size));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
}

}  // namespace

TEST_F(DcbTest, WhatADcbCannotSayStaysAsTheDriverHasIt)
{
    // DCD handshaking, break-character replacement and the break character have no
    // DCB members: a GetCommState/SetCommState round trip keeps them.
    SERIAL_HANDFLOW flow{};
    ASSERT_TRUE(DeviceIoControl(h, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &flow, sizeof flow, nullptr, nullptr));
    flow.ControlHandShake |= SERIAL_DCD_HANDSHAKE;
    flow.FlowReplace |= SERIAL_BREAK_CHAR;
    ASSERT_TRUE(DeviceIoControl(h, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow, nullptr, 0, nullptr, nullptr));
    SERIAL_CHARS chars{};
    ASSERT_TRUE(DeviceIoControl(h, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &chars, sizeof chars, nullptr, nullptr));
    chars.BreakChar = 0x7F;
    ASSERT_TRUE(DeviceIoControl(h, IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars, nullptr, 0, nullptr, nullptr));

    DCB d;
    ASSERT_TRUE(GetCommState(h, &d));
    d.BaudRate = 9600;
    ASSERT_TRUE(SetCommState(h, &d));
    ASSERT_TRUE(DeviceIoControl(h, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &flow, sizeof flow, nullptr, nullptr));
    EXPECT_TRUE(flow.ControlHandShake & SERIAL_DCD_HANDSHAKE);
    EXPECT_TRUE(flow.FlowReplace & SERIAL_BREAK_CHAR);
    ASSERT_TRUE(DeviceIoControl(h, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &chars, sizeof chars, nullptr, nullptr));
    EXPECT_EQ(0x7F, chars.BreakChar);
}
