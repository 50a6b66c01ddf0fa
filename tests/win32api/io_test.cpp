// Handles and I/O on the virtual clock: the names CreateFile takes, statuses as Win32
// errors, synchronous and overlapped requests, the comm events over the loopback plug,
// cancelling, and what the leak report says of a handle left open.
#include <cstring>

#include "win32api/win32_fixture.h"

namespace {

TEST(Win32Errors, MapStatusesAsWindowsDoes)
{
    const std::pair<NTSTATUS, DWORD> map[] = {
        {STATUS_SUCCESS, ERROR_SUCCESS},
        {STATUS_TIMEOUT, ERROR_TIMEOUT},
        {STATUS_PENDING, ERROR_IO_PENDING},
        {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
        {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
        {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
        {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
        {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
        {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
        {(NTSTATUS)0xC0070057, 0x57},  // a Win32 error carried in a status
        {(NTSTATUS)0xE0000001, 0xE0000001},  // a customer status
        {(NTSTATUS)0xC0FF0001, ERROR_MR_MID_NOT_FOUND},
    };
    for (auto& [status, error] : map) EXPECT_EQ(error, vcomsim::Win32ErrorFromStatus(status)) << std::hex << status;
}

using HandleTest = Win32Test;

TEST_F(HandleTest, OpensTheDosNamesOnlyOnceAndRefusesOthers)
{
    ASSERT_TRUE(CloseHandle(h));
    h = INVALID_HANDLE_VALUE;
    for (const char* name : {"COM5", "\\\\.\\COM5", "com5:"}) {
        HANDLE f = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, f) << name;
        // Exclusive: the second open is refused before the driver hears of it.
        HANDLE again = CreateFileW(L"\\\\.\\COM5", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(INVALID_HANDLE_VALUE, again);
        EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
        EXPECT_TRUE(CloseHandle(f));
        EXPECT_FALSE(CloseHandle(f));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    }
    const std::pair<const char*, DWORD> refused[] = {
        {"COM9", ERROR_FILE_NOT_FOUND}, {"C:\\serial.txt", ERROR_PATH_NOT_FOUND}, {"", ERROR_PATH_NOT_FOUND}};
    for (auto& [name, error] : refused) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) << name;
        EXPECT_EQ(error, GetLastError()) << name;
    }
    // Handles of the wrong kind, and ones never given out.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char b[4];
    DWORD n;
    EXPECT_FALSE(ReadFile(event, b, sizeof b, &n, nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_FALSE(SetEvent((HANDLE)0x7777));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject((HANDLE)0x7777, 0));
    EXPECT_TRUE(CloseHandle(event));
    h = CreateFileW(L"COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
}

TEST_F(HandleTest, SynchronousEchoAndReadTimeoutsThroughTheLoopback)
{
    COMMTIMEOUTS t{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    DWORD n = 99;
    ASSERT_TRUE(WriteFile(h, "hello", 5, &n, nullptr));
    EXPECT_EQ(5u, n);
    char b[8] = {};
    ASSERT_TRUE(ReadFile(h, b, 5, &n, nullptr));
    ASSERT_EQ(5u, n);
    EXPECT_EQ(0, std::memcmp(b, "hello", 5));

    // A total timeout ends the read with what came (nothing): success, not an error.
    t = COMMTIMEOUTS{0, 10, 200, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    COMMTIMEOUTS back;
    ASSERT_TRUE(GetCommTimeouts(h, &back));
    EXPECT_EQ(0, std::memcmp(&t, &back, sizeof t));
    DWORD before = GetTickCount();
    ASSERT_TRUE(ReadFile(h, b, 4, &n, nullptr));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(240u, GetTickCount() - before);  // 4 x 10 + 200 ms of virtual time

    // MAXDWORD interval and zero totals: return at once with what is there.
    t = COMMTIMEOUTS{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    ASSERT_TRUE(WriteFile(h, "ab", 2, &n, nullptr));
    Sleep(5);
    ASSERT_TRUE(ReadFile(h, b, 8, &n, nullptr));
    EXPECT_EQ(2u, n);

    COMSTAT stat;
    DWORD errors = 77;
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(0u, errors);
    EXPECT_EQ(0u, stat.cbInQue);
    EXPECT_TRUE(FlushFileBuffers(h));
    COMMPROP prop;
    ASSERT_TRUE(GetCommProperties(h, &prop));
    EXPECT_EQ((DWORD)SP_SERIALCOMM, prop.dwServiceMask);
    EXPECT_EQ((DWORD)PST_RS232, prop.dwProvSubType);
    EXPECT_EQ(4096u, prop.dwCurrentRxQueue);
    ASSERT_TRUE(SetupComm(h, 8192, 4096));
    ASSERT_TRUE(GetCommProperties(h, &prop));
    EXPECT_EQ(8192u, prop.dwCurrentRxQueue);
}

TEST_F(HandleTest, ASynchronousHandleRunsOneRequestAtATime)
{
    // A read waiting on one thread holds up a write from another until it ends.
    COMMTIMEOUTS t{0, 0, 100, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    struct Read {
        HANDLE h;
        DWORD got = 99;
        BOOL ok = FALSE;
        DWORD ended = 0;
    } read{h};
    HANDLE reader = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* r = (Read*)p;
            char b[1];
            r->ok = ReadFile(r->h, b, 1, &r->got, nullptr);
            r->ended = GetTickCount();
            return 7;
        },
        &read, 0, nullptr);
    ASSERT_NE(nullptr, reader);
    DWORD start = GetTickCount();
    Sleep(10);
    DWORD n;
    ASSERT_TRUE(WriteFile(h, "z", 1, &n, nullptr));
    DWORD written = GetTickCount();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(reader, INFINITE));
    EXPECT_TRUE(read.ok);
    EXPECT_EQ(0u, read.got);
    EXPECT_EQ(100u, read.ended - start);
    EXPECT_GE(written, read.ended);
    DWORD code;
    ASSERT_TRUE(GetExitCodeThread(reader, &code));
    EXPECT_EQ(7u, code);
    EXPECT_TRUE(CloseHandle(reader));
}

TEST_F(HandleTest, CancelIoExFromAnotherThreadEndsABlockedSynchronousRead)
{
    // No timeouts: the read waits for ever, until another thread cancels it.
    COMMTIMEOUTS t{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    struct Read {
        HANDLE h;
        BOOL ok = TRUE;
        DWORD error = 0;
    } read{h};
    HANDLE reader = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* r = (Read*)p;
            char b[1];
            DWORD got;
            r->ok = ReadFile(r->h, b, 1, &got, nullptr);
            r->error = GetLastError();
            return 0;
        },
        &read, 0, nullptr);
    ASSERT_NE(nullptr, reader);
    Sleep(10);
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(reader, 0)) << "the read waits";
    EXPECT_TRUE(CancelIoEx(h, nullptr));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(reader, INFINITE));
    EXPECT_FALSE(read.ok);
    EXPECT_EQ((DWORD)ERROR_OPERATION_ABORTED, read.error);
    EXPECT_FALSE(CancelIoEx(h, nullptr)) << "nothing left to cancel";
    EXPECT_EQ((DWORD)ERROR_NOT_FOUND, GetLastError());
    EXPECT_TRUE(CloseHandle(reader));
}

TEST_F(HandleTest, RequestsAfterASurpriseRemovalFailWithAccessDenied)
{
    ASSERT_EQ(STATUS_SUCCESS, port->Stack().Pnp(IRP_MN_SURPRISE_REMOVAL).status);
    DWORD n;
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
    DCB d;
    EXPECT_FALSE(GetCommState(h, &d));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
}

TEST_F(OverlappedTest, WaitCommEventReportsTransmitReceiveAndLineEvents)
{
    DCB d{};
    d.DCBlength = sizeof d;
    ASSERT_TRUE(BuildCommDCBA("baud=9600 parity=n data=8 stop=1 dtr=off rts=off", &d));
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    ASSERT_TRUE(SetCommState(h, &d));
    Sleep(50);  // the status polling sees the lines drop
    ASSERT_TRUE(SetCommMask(h, EV_TXEMPTY | EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(h, &mask));
    EXPECT_EQ((DWORD)(EV_TXEMPTY | EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD), mask);
    // The driver keeps events that came before the mask: the three lines the open
    // raised and SetCommState dropped. Completed at once.
    DWORD events = 0, n;
    ASSERT_TRUE(WaitCommEvent(h, &events, nullptr));
    EXPECT_EQ((DWORD)(EV_CTS | EV_DSR | EV_RLSD), events);

    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    // Waits for the next events and returns them.
    auto next = [&]() -> DWORD {
        DWORD events = 0, n;
        if (!WaitCommEvent(h, &events, &ov)) {
            EXPECT_EQ(ERROR_IO_PENDING, GetLastError());
            EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
            EXPECT_EQ(ERROR_IO_INCOMPLETE, GetLastError());
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 5000));
            EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
            EXPECT_EQ(sizeof(DWORD), n);
        }
        return events;
    };
    HANDLE writeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED wov{};
    wov.hEvent = writeEvent;
    ASSERT_TRUE(WriteFile(h, "abc", 3, &n, &wov) || GetLastError() == ERROR_IO_PENDING);
    DWORD seen = 0;
    for (int i = 0; i < 4 && (seen & (EV_TXEMPTY | EV_RXCHAR)) != (EV_TXEMPTY | EV_RXCHAR); ++i) seen |= next();
    EXPECT_EQ((DWORD)(EV_TXEMPTY | EV_RXCHAR), seen);
    ASSERT_TRUE(GetOverlappedResult(h, &wov, &n, TRUE));
    EXPECT_EQ(3u, n);

    // The loopback plug: RTS to CTS, DTR to DSR and DCD.
    ASSERT_TRUE(EscapeCommFunction(h, SETRTS));
    EXPECT_EQ((DWORD)EV_CTS, next());
    ASSERT_TRUE(EscapeCommFunction(h, SETDTR));
    seen = 0;
    for (int i = 0; i < 2 && seen != (DWORD)(EV_DSR | EV_RLSD); ++i) seen |= next();
    EXPECT_EQ((DWORD)(EV_DSR | EV_RLSD), seen);
    DWORD modem = 0;
    ASSERT_TRUE(GetCommModemStatus(h, &modem));
    EXPECT_EQ((DWORD)(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON), modem);
    ASSERT_TRUE(EscapeCommFunction(h, CLRRTS));
    EXPECT_EQ((DWORD)EV_CTS, next());
    ASSERT_TRUE(GetCommModemStatus(h, &modem));
    EXPECT_EQ((DWORD)(MS_DSR_ON | MS_RLSD_ON), modem);
    EXPECT_FALSE(EscapeCommFunction(h, 10));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    char b[3];
    ASSERT_TRUE(ReadFile(h, b, 3, &n, &wov) || GetLastError() == ERROR_IO_PENDING);
    ASSERT_TRUE(GetOverlappedResult(h, &wov, &n, TRUE));
    EXPECT_EQ(3u, n);
    EXPECT_EQ(0, std::memcmp(b, "abc", 3));
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_TRUE(CloseHandle(writeEvent));
}

TEST_F(OverlappedTest, CancelIoEndsOnlyTheCallersRequestsWithOperationAborted)
{
    COMMTIMEOUTS t{0, 0, 0, 0, 0};  // reads wait until they are full
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    char b[16];
    DWORD n = 99;
    ASSERT_FALSE(ReadFile(h, b, sizeof b, &n, &ov));
    ASSERT_EQ(ERROR_IO_PENDING, GetLastError());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 50));  // reset when the read started
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));

    // CancelIo from another thread leaves this thread's read alone.
    HANDLE other = CreateThread(
        nullptr, 0, [](LPVOID handle) -> DWORD { return CancelIo((HANDLE)handle) ? 1 : 0; }, h, 0, nullptr);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(other, INFINITE));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(other, &code));
    EXPECT_EQ(1u, code);
    EXPECT_TRUE(CloseHandle(other));
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(ERROR_IO_INCOMPLETE, GetLastError());

    ASSERT_TRUE(CancelIo(h));
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(ERROR_OPERATION_ABORTED, GetLastError());
    EXPECT_EQ(0u, n);
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    EXPECT_FALSE(CancelIoEx(h, &ov));
    EXPECT_EQ(ERROR_NOT_FOUND, GetLastError());

    // CancelIoEx reaches a request of any thread; without an event the file object
    // itself is waited on.
    OVERLAPPED plain{};
    ASSERT_FALSE(ReadFile(h, b, sizeof b, &n, &plain));
    ASSERT_EQ(ERROR_IO_PENDING, GetLastError());
    HANDLE canceller = CreateThread(
        nullptr, 0, [](LPVOID handle) -> DWORD { return CancelIoEx((HANDLE)handle, nullptr) ? 1 : 0; }, h, 0, nullptr);
    EXPECT_FALSE(GetOverlappedResult(h, &plain, &n, TRUE));
    EXPECT_EQ(ERROR_OPERATION_ABORTED, GetLastError());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(canceller, INFINITE));
    ASSERT_TRUE(GetExitCodeThread(canceller, &code));
    EXPECT_EQ(1u, code);
    EXPECT_TRUE(CloseHandle(canceller));
    EXPECT_TRUE(CloseHandle(event));
}

TEST(Waits, EventsThreadsAndTimeoutsOnTheVirtualClock)
{
    vcomsim::Options options;
    options.clock = vcomsim::Clock::Virtual;
    vcomsim::Simulation sim(options);
    HANDLE autoReset = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, "shared");
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
    HANDLE same = CreateEventW(nullptr, FALSE, TRUE, L"shared");
    EXPECT_EQ(ERROR_ALREADY_EXISTS, GetLastError());
    HANDLE both[] = {autoReset, manual};

    DWORD start = GetTickCount();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, both, FALSE, 30));
    EXPECT_EQ(30u, GetTickCount() - start);
    ASSERT_TRUE(SetEvent(same));  // the named event, through its other handle
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, both, FALSE, 0));
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, both, FALSE, 0));  // manual: stays set
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, both, TRUE, 0));
    ASSERT_TRUE(SetEvent(autoReset));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, both, TRUE, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(autoReset, 0));  // taken by the wait for all
    ASSERT_TRUE(ResetEvent(manual));
    HANDLE twice[] = {manual, manual};
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(2, twice, TRUE, 0));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());

    // A thread that sets the event after sleeping; the wait ends then.
    HANDLE setter = CreateThread(
        nullptr, 0,
        [](LPVOID e) -> DWORD {
            Sleep(70);
            SetEvent((HANDLE)e);
            return GetCurrentThreadId();
        },
        autoReset, 0, nullptr);
    start = GetTickCount();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(autoReset, INFINITE));
    EXPECT_EQ(70u, GetTickCount() - start);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(setter, INFINITE));
    DWORD id;
    ASSERT_TRUE(GetExitCodeThread(setter, &id));
    EXPECT_NE(GetCurrentThreadId(), id);
    for (HANDLE x : {autoReset, manual, same, setter}) EXPECT_TRUE(CloseHandle(x));
    vcomsim::LeakReport report = sim.Shutdown();
    EXPECT_TRUE(report.clean) << report.text;
}

TEST(LeakReport, NamesWhatTheApplicationLeftOpen)
{
    vcomsim::Options options;
    options.clock = vcomsim::Clock::Virtual;
    vcomsim::Simulation sim(options);
    vcomsim::PortOptions com7;
    com7.name = u"COM7";
    ASSERT_TRUE(sim.AddPort(com7).Started());
    HANDLE f = CreateFileA("COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    CreateEventA(nullptr, TRUE, FALSE, nullptr);
    vcomsim::LeakReport report = sim.Shutdown();
    EXPECT_FALSE(report.clean);
    EXPECT_NE(std::string::npos, report.text.find("(COM7) left open")) << report.text;
    EXPECT_NE(std::string::npos, report.text.find("event handle")) << report.text;
    EXPECT_NE(std::string::npos, report.text.find("pool: nothing allocated")) << report.text;
    // Closed by the shutdown.
    EXPECT_FALSE(CloseHandle(f));
}

}  // namespace
