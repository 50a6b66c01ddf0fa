// On the real clock, as tools run: read timeouts measured in real time, and an
// overlapped handle shared by a writer, a reader and an event waiter on threads of
// their own over the paced loopback plug. Bounds are loose upward for a loaded
// machine. And the null-modem pair of the setup, on the virtual clock.
#include <chrono>
#include <cstring>

#include "win32api/win32_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class RealTimeTest : public OverlappedTest {
protected:
    vcomsim::Clock SimClock() const override { return vcomsim::Clock::Real; }
};

TEST_F(RealTimeTest, ReadFileTimeoutsTakeRealTime)
{
    COMMTIMEOUTS t{0, 0, 300, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    char b[16];
    DWORD n = 99;
    auto start = Clock::now();
    ASSERT_TRUE(ReadFile(h, b, sizeof b, &n, nullptr));
    long long took = MsSince(start);
    EXPECT_EQ(0u, n);
    EXPECT_GE(took, 290);
    EXPECT_LT(took, 5000);

    // The interval timeout ends a read that got some bytes once the line is quiet.
    t = COMMTIMEOUTS{150, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    ASSERT_TRUE(WriteFile(h, "abc", 3, &n, nullptr));
    start = Clock::now();
    ASSERT_TRUE(ReadFile(h, b, sizeof b, &n, nullptr));
    took = MsSince(start);
    ASSERT_EQ(3u, n);
    EXPECT_EQ(0, std::memcmp(b, "abc", 3));
    EXPECT_GE(took, 140);
    EXPECT_LT(took, 5000);
}

struct Shared {
    HANDLE h = nullptr;
    HANDLE stop = nullptr;  // set when the waiter is to end
    static constexpr DWORD kTotal = 480;  // half a second at 9600 8N1
    char sent[kTotal] = {};
    char got[kTotal] = {};
    DWORD received = 0;
    DWORD rxEvents = 0;
    BOOL ok[3] = {FALSE, FALSE, FALSE};
};

DWORD WINAPI Writer(LPVOID p)
{
    auto* s = (Shared*)p;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = TRUE;
    for (DWORD at = 0; at < Shared::kTotal && ok; at += 96) {
        DWORD n = 0;
        ok = (WriteFile(s->h, s->sent + at, 96, &n, &ov) || GetLastError() == ERROR_IO_PENDING) &&
             GetOverlappedResult(s->h, &ov, &n, TRUE) && n == 96;
    }
    CloseHandle(ov.hEvent);
    s->ok[0] = ok;
    return 0;
}

DWORD WINAPI Reader(LPVOID p)
{
    auto* s = (Shared*)p;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = TRUE;
    while (s->received < Shared::kTotal && ok) {
        DWORD n = 0;
        DWORD want = Shared::kTotal - s->received < 32 ? Shared::kTotal - s->received : 32;
        ok = (ReadFile(s->h, s->got + s->received, want, &n, &ov) || GetLastError() == ERROR_IO_PENDING) &&
             GetOverlappedResult(s->h, &ov, &n, TRUE);
        s->received += n;
    }
    CloseHandle(ov.hEvent);
    s->ok[1] = ok;
    return 0;
}

// Counts EV_RXCHAR until told to stop, its wait cancelled.
DWORD WINAPI Waiter(LPVOID p)
{
    auto* s = (Shared*)p;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    s->ok[2] = TRUE;
    while (WaitForSingleObject(s->stop, 0) == WAIT_TIMEOUT) {
        DWORD events = 0, n;
        BOOL done = (WaitCommEvent(s->h, &events, &ov) || GetLastError() == ERROR_IO_PENDING) &&
                    GetOverlappedResult(s->h, &ov, &n, TRUE);
        if (!done) {
            s->ok[2] = GetLastError() == ERROR_OPERATION_ABORTED;
            break;
        }
        if (events & EV_RXCHAR) s->rxEvents++;
    }
    CloseHandle(ov.hEvent);
    return 0;
}

TEST_F(RealTimeTest, ThreadsShareAnOverlappedHandleOverThePacedLoopback)
{
    DCB d{};
    ASSERT_TRUE(GetCommState(h, &d));
    ASSERT_TRUE(BuildCommDCBA("9600,n,8,1", &d));
    ASSERT_TRUE(SetCommState(h, &d));
    COMMTIMEOUTS t{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    port->SetPacing(true);
    Shared s;
    s.h = h;
    for (DWORD i = 0; i < Shared::kTotal; ++i) s.sent[i] = (char)(i * 7 + i / 251);

    s.stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto start = Clock::now();
    HANDLE threads[] = {CreateThread(nullptr, 0, Reader, &s, 0, nullptr),
                        CreateThread(nullptr, 0, Waiter, &s, 0, nullptr),
                        CreateThread(nullptr, 0, Writer, &s, 0, nullptr)};
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(threads[0], 30000));  // the reader has everything
    long long took = MsSince(start);
    // The waiter's wait may start after a cancel: cancel until it has ended.
    SetEvent(s.stop);
    do CancelIoEx(h, nullptr);
    while (WaitForSingleObject(threads[1], 10) == WAIT_TIMEOUT);
    // Every thread ends before `s` goes, whatever failed above.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(3, threads, TRUE, INFINITE));
    for (HANDLE t : threads) EXPECT_TRUE(CloseHandle(t));
    EXPECT_TRUE(CloseHandle(s.stop));

    EXPECT_TRUE(s.ok[0] && s.ok[1] && s.ok[2]);
    ASSERT_EQ(Shared::kTotal, s.received);
    EXPECT_EQ(0, std::memcmp(s.sent, s.got, Shared::kTotal));
    EXPECT_GE(s.rxEvents, 1u);
    // 480 frames of 10 bits at 9600 baud take 500 ms on the wire.
    EXPECT_GE(took, 450);
    EXPECT_LT(took, 20000);
}

TEST(NullModemPair, CarriesDataAndLinesBothWays)
{
    vcomsim::Options options;
    options.clock = vcomsim::Clock::Virtual;
    vcomsim::Simulation sim(options);
    vcomsim::PortOptions a, b;
    a.name = u"COM5";
    b.name = u"COM6";
    a.registry = b.registry = {hk::RegistryValue::Dword(u"EndPointCaps", 3)};
    auto [com5, com6] = sim.AddNullModemPair(a, b);
    ASSERT_TRUE(com5->Started() && com6->Started());
    HANDLE h5 = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE h6 = CreateFileW(L"\\\\.\\COM6", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h5);
    ASSERT_NE(INVALID_HANDLE_VALUE, h6);
    char b5[8] = {}, b6[8] = {};
    DWORD n;
    ASSERT_TRUE(WriteFile(h5, "ping", 4, &n, nullptr));
    ASSERT_TRUE(ReadFile(h6, b6, 4, &n, nullptr));
    EXPECT_EQ(std::string("ping"), std::string(b6, n));
    ASSERT_TRUE(WriteFile(h6, "pong", 4, &n, nullptr));
    ASSERT_TRUE(ReadFile(h5, b5, 4, &n, nullptr));
    EXPECT_EQ(std::string("pong"), std::string(b5, n));

    // RTS shows as the other side's CTS, DTR as its DSR and DCD.
    for (HANDLE x : {h5, h6}) {
        ASSERT_TRUE(EscapeCommFunction(x, CLRRTS));
        ASSERT_TRUE(EscapeCommFunction(x, CLRDTR));
    }
    Sleep(50);
    DWORD m5 = 0, m6 = 0;
    ASSERT_TRUE(EscapeCommFunction(h5, SETRTS));
    ASSERT_TRUE(EscapeCommFunction(h6, SETDTR));
    Sleep(50);
    ASSERT_TRUE(GetCommModemStatus(h5, &m5));
    ASSERT_TRUE(GetCommModemStatus(h6, &m6));
    EXPECT_EQ((DWORD)(MS_DSR_ON | MS_RLSD_ON), m5);
    EXPECT_EQ((DWORD)MS_CTS_ON, m6);
    EXPECT_TRUE(CloseHandle(h5));
    EXPECT_TRUE(CloseHandle(h6));
    vcomsim::LeakReport report = sim.Shutdown();
    EXPECT_TRUE(report.clean) << report.text;
}

}  // namespace
