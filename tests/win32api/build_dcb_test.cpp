// BuildCommDCB and BuildCommDCBAndTimeouts: both forms of the mode syntax, the members
// each one leaves alone, and the strings refused with nothing changed.
#include <cstring>

#include "win32api/win32_fixture.h"

namespace {

// A DCB whose members all hold values no string sets, so that a change shows.
DCB Marked()
{
    DCB d;
    std::memset(&d, 0, sizeof d);
    d.DCBlength = 77;
    d.BaudRate = 12345;
    d.ByteSize = 3;
    d.Parity = 9;
    d.StopBits = 9;
    d.fDtrControl = DTR_CONTROL_HANDSHAKE;
    d.fRtsControl = RTS_CONTROL_TOGGLE;
    d.fOutX = d.fInX = d.fOutxCtsFlow = d.fOutxDsrFlow = d.fDsrSensitivity = TRUE;
    d.XonChar = 'a';
    d.XoffChar = 'b';
    d.XonLim = 7;
    return d;
}

TEST(BuildCommDcb, NewerFormSetsWhatItNamesOnly)
{
    DCB d = Marked();
    COMMTIMEOUTS t{1, 2, 3, 4, 5};
    ASSERT_TRUE(BuildCommDCBAndTimeoutsA(
        "COM1: baud=1200 parity=N data=8 stop=1 to=on xon=off odsr=off octs=off dtr=on rts=hs idsr=off", &d, &t));
    DCB expected = Marked();
    expected.BaudRate = 1200;
    expected.Parity = NOPARITY;
    expected.ByteSize = 8;
    expected.StopBits = ONESTOPBIT;
    expected.fOutX = expected.fInX = expected.fOutxDsrFlow = expected.fOutxCtsFlow = expected.fDsrSensitivity = FALSE;
    expected.fDtrControl = DTR_CONTROL_ENABLE;
    expected.fRtsControl = RTS_CONTROL_HANDSHAKE;
    EXPECT_EQ(Describe(expected), Describe(d));
    EXPECT_EQ(0u, t.ReadIntervalTimeout + t.ReadTotalTimeoutMultiplier + t.ReadTotalTimeoutConstant +
                      t.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(60000u, t.WriteTotalTimeoutConstant);

    // Keys in any case and order; an abbreviated rate; 110 baud defaults to 2 stop
    // bits, anything else to 1; without to= the timeouts stay.
    d = Marked();
    t = COMMTIMEOUTS{1, 2, 3, 4, 5};
    ASSERT_TRUE(BuildCommDCBAndTimeoutsW(L"Parity=e BAUD=11 rts=tg dtr=off XON=on", &d, &t));
    EXPECT_EQ(110u, d.BaudRate);
    EXPECT_EQ(EVENPARITY, d.Parity);
    EXPECT_EQ(TWOSTOPBITS, d.StopBits);
    EXPECT_EQ(3, d.ByteSize);
    EXPECT_EQ((DWORD)RTS_CONTROL_TOGGLE, d.fRtsControl);
    EXPECT_EQ((DWORD)DTR_CONTROL_DISABLE, d.fDtrControl);
    EXPECT_TRUE(d.fOutX && d.fInX);
    EXPECT_EQ(5u, t.WriteTotalTimeoutConstant);
    EXPECT_EQ(1u, t.ReadIntervalTimeout);
    ASSERT_TRUE(BuildCommDCBAndTimeoutsA("baud=96 stop=1.5 data=5 dtr=hs to=off", &d, &t));
    EXPECT_EQ(9600u, d.BaudRate);
    EXPECT_EQ(ONE5STOPBITS, d.StopBits);
    EXPECT_EQ((DWORD)DTR_CONTROL_HANDSHAKE, d.fDtrControl);
    EXPECT_EQ(0u, t.ReadIntervalTimeout + t.WriteTotalTimeoutConstant);
    ASSERT_TRUE(BuildCommDCBA("baud=115200", &d));
    EXPECT_EQ(115200u, d.BaudRate);
    EXPECT_EQ(ONESTOPBIT, d.StopBits);
    // XON/XOFF and hardware flow control are off unless the string turns them on.
    EXPECT_FALSE(d.fOutX || d.fInX || d.fOutxCtsFlow || d.fOutxDsrFlow);
    EXPECT_TRUE(d.fDsrSensitivity) << "what the string does not name stays";
}

TEST(BuildCommDcb, OlderFormSetsTheFlowControlFromItsLastField)
{
    struct Case {
        const char* def;
        DWORD baud;
        BYTE parity, bits, stop;
        bool x, p;
    };
    const Case cases[] = {
        {"COM1: 96,n,8,1", 9600, NOPARITY, 8, ONESTOPBIT, false, false},
        {"19,E,7,2,x", 19200, EVENPARITY, 7, TWOSTOPBITS, true, false},
        {"com12:2400 , o , 8 , 1.5 , P", 2400, ODDPARITY, 8, ONE5STOPBITS, false, true},
        {"57600,s,6,1", 57600, SPACEPARITY, 6, ONESTOPBIT, false, false},
        {"15,m,5,1.5", 150, MARKPARITY, 5, ONE5STOPBITS, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.def);
        DCB d = Marked();
        ASSERT_TRUE(BuildCommDCBA(c.def, &d)) << GetLastError();
        EXPECT_EQ(c.baud, d.BaudRate);
        EXPECT_EQ(c.parity, d.Parity);
        EXPECT_EQ(c.bits, d.ByteSize);
        EXPECT_EQ(c.stop, d.StopBits);
        EXPECT_EQ(c.x, d.fOutX != 0);
        EXPECT_EQ(c.x, d.fInX != 0);
        EXPECT_EQ(c.p, d.fOutxCtsFlow != 0);
        EXPECT_EQ(c.p, d.fOutxDsrFlow != 0);
        EXPECT_EQ(c.p ? (DWORD)DTR_CONTROL_HANDSHAKE : (DWORD)DTR_CONTROL_ENABLE, d.fDtrControl);
        EXPECT_EQ(c.p ? (DWORD)RTS_CONTROL_HANDSHAKE : (DWORD)RTS_CONTROL_ENABLE, d.fRtsControl);
        EXPECT_EQ(77u, d.DCBlength);
        EXPECT_EQ('a', d.XonChar);
        EXPECT_TRUE(d.fDsrSensitivity);
    }
}

TEST(BuildCommDcb, RefusesMalformedStringsAndChangesNothing)
{
    const char* bad[] = {
        "",  // no setting at all is a valid newer form: see below
        " baud=9600",
        "baud=",
        "baud=0",
        "baud=9600x",
        "baud=9600,parity=n",
        "parity=x",
        "data=4",
        "data=9",
        "stop=3",
        "stop=1.2",
        "xon=yes",
        "dtr=tg",
        "to=hs",
        "speed=9600",
        "COM: baud=9600",
        "COM0: baud=9600",
        "COM1x baud=9600",
        "9600,n,8",
        "9600,n,8,1,z",
        "9600,n,8,1 x",
        "9600,q,8,1",
        "96 00,n,8,1",
    };
    for (const char* def : bad) {
        if (!*def) continue;
        SCOPED_TRACE(def);
        DCB d = Marked();
        COMMTIMEOUTS t{1, 2, 3, 4, 5};
        SetLastError(0);
        EXPECT_FALSE(BuildCommDCBAndTimeoutsA(def, &d, &t));
        EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
        EXPECT_EQ(Describe(Marked()), Describe(d));
        EXPECT_EQ(5u, t.WriteTotalTimeoutConstant);
    }
    DCB d = Marked();
    EXPECT_TRUE(BuildCommDCBA("", &d));
    EXPECT_EQ(ONESTOPBIT, d.StopBits);
    EXPECT_FALSE(BuildCommDCBA(nullptr, &d));
    EXPECT_FALSE(BuildCommDCBA("baud=9600", nullptr));
}

}  // namespace
