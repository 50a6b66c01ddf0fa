/* A Windows serial program, as it would be written for Windows: it knows nothing of
 * the emulation. It opens the port named on its command line for overlapped I/O,
 * sets 9600 8N1 from a mode string, writes a greeting, waits for the first received
 * character's event, reads the greeting back (the port has the loopback plug in) and
 * reports what it got. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

static int Fail(const char* what)
{
    printf("%s failed: error %u\n", what, (unsigned)GetLastError());
    return 1;
}

/* Waits for an overlapped request that did not complete at once. */
static BOOL Finish(HANDLE port, OVERLAPPED* ov, BOOL started, DWORD* n)
{
    if (!started && GetLastError() != ERROR_IO_PENDING) return FALSE;
    return GetOverlappedResult(port, ov, n, TRUE);
}

int main(int argc, char** argv)
{
    char path[64];
    HANDLE port;
    DCB dcb;
    COMMTIMEOUTS timeouts;
    OVERLAPPED ov;
    DWORD n = 0, events = 0;
    char reply[16];

    sprintf(path, "\\\\.\\%s", argc > 1 ? argv[1] : "COM1");
    port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (port == INVALID_HANDLE_VALUE) return Fail("CreateFile");

    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) return Fail("GetCommState");
    if (!BuildCommDCBA("baud=9600 parity=n data=8 stop=1 dtr=on rts=on", &dcb)) return Fail("BuildCommDCB");
    if (!SetCommState(port, &dcb)) return Fail("SetCommState");
    timeouts.ReadIntervalTimeout = 100;
    timeouts.ReadTotalTimeoutMultiplier = 10;
    timeouts.ReadTotalTimeoutConstant = 2000;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(port, &timeouts)) return Fail("SetCommTimeouts");
    if (!PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR)) return Fail("PurgeComm");
    if (!SetCommMask(port, EV_RXCHAR)) return Fail("SetCommMask");

    ZeroMemory(&ov, sizeof ov);
    ov.hEvent = CreateEvent(NULL, TRUE, FALSE, NULL);
    if (!ov.hEvent) return Fail("CreateEvent");
    if (!Finish(port, &ov, WriteFile(port, "hello", 5, &n, &ov), &n) || n != 5) return Fail("WriteFile");
    if (!Finish(port, &ov, WaitCommEvent(port, &events, &ov), &n) || !(events & EV_RXCHAR)) return Fail("WaitCommEvent");
    memset(reply, 0, sizeof reply);
    if (!Finish(port, &ov, ReadFile(port, reply, 5, &n, &ov), &n)) return Fail("ReadFile");
    printf("received %u bytes: %s\n", (unsigned)n, reply);
    CloseHandle(ov.hEvent);
    if (!CloseHandle(port)) return Fail("CloseHandle");
    return n == 5 && memcmp(reply, "hello", 5) == 0 ? 0 : 1;
}
