// The communications functions: each one the serial requests kernel32 sends for it,
// sent and waited for whatever the handle's mode.
#include <cstring>

#include "internal.h"

using namespace w32;

namespace {

// The DCB's members as the four records the driver keeps.
struct Settings {
    SERIAL_BAUD_RATE baud;
    SERIAL_LINE_CONTROL line;
    SERIAL_CHARS chars;
    SERIAL_HANDFLOW handflow;
};

// What a DCB can say: refused before anything is sent. The flow characters must
// differ when XON/XOFF is on in either direction (with it off they are not used, and
// drivers that start with both characters zero take such a DCB); the frame is 5 to 8 data bits with a parity of the five and 1, 1.5 or 2 stop
// bits, 1.5 only with 5 data bits and 2 not with 5 (the 8250's rule, which serial
// drivers keep); the DTR control has three modes.
bool Valid(const DCB& dcb)
{
    if (dcb.XonChar == dcb.XoffChar && (dcb.fOutX || dcb.fInX)) return false;
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return false;
    if (dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS) return false;
    if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) return false;
    if (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5) return false;
    if (dcb.fDtrControl > DTR_CONTROL_HANDSHAKE) return false;
    return true;
}

Settings FromDcb(const DCB& dcb)
{
    Settings s{};
    s.baud.BaudRate = dcb.BaudRate;
    s.line.StopBits = dcb.StopBits;
    s.line.Parity = dcb.Parity;
    s.line.WordLength = dcb.ByteSize;
    s.chars.EofChar = (UCHAR)dcb.EofChar;
    s.chars.ErrorChar = (UCHAR)dcb.ErrorChar;
    s.chars.BreakChar = 0;
    s.chars.EventChar = (UCHAR)dcb.EvtChar;
    s.chars.XonChar = (UCHAR)dcb.XonChar;
    s.chars.XoffChar = (UCHAR)dcb.XoffChar;
    ULONG control = 0, flow = 0;
    switch (dcb.fDtrControl) {
    case DTR_CONTROL_ENABLE: control |= SERIAL_DTR_CONTROL; break;
    case DTR_CONTROL_HANDSHAKE: control |= SERIAL_DTR_HANDSHAKE; break;
    default: break;
    }
    switch (dcb.fRtsControl) {
    case RTS_CONTROL_ENABLE: flow |= SERIAL_RTS_CONTROL; break;
    case RTS_CONTROL_HANDSHAKE: flow |= SERIAL_RTS_HANDSHAKE; break;
    case RTS_CONTROL_TOGGLE: flow |= SERIAL_TRANSMIT_TOGGLE; break;
    default: break;
    }
    if (dcb.fOutxCtsFlow) control |= SERIAL_CTS_HANDSHAKE;
    if (dcb.fOutxDsrFlow) control |= SERIAL_DSR_HANDSHAKE;
    if (dcb.fDsrSensitivity) control |= SERIAL_DSR_SENSITIVITY;
    if (dcb.fAbortOnError) control |= SERIAL_ERROR_ABORT;
    if (dcb.fOutX) flow |= SERIAL_AUTO_TRANSMIT;
    if (dcb.fInX) flow |= SERIAL_AUTO_RECEIVE;
    if (dcb.fErrorChar) flow |= SERIAL_ERROR_CHAR;
    if (dcb.fNull) flow |= SERIAL_NULL_STRIPPING;
    if (dcb.fTXContinueOnXoff) flow |= SERIAL_XOFF_CONTINUE;
    s.handflow.ControlHandShake = control;
    s.handflow.FlowReplace = flow;
    s.handflow.XonLimit = dcb.XonLim;
    s.handflow.XoffLimit = dcb.XoffLim;
    return s;
}

void ToDcb(const Settings& s, DCB* dcb)
{
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = s.baud.BaudRate;
    // Windows supports binary mode only. The driver has no switch for parity
    // checking: it checks whenever the frame has a parity bit.
    dcb->fBinary = TRUE;
    dcb->fParity = s.line.Parity != NOPARITY;
    dcb->StopBits = s.line.StopBits;
    dcb->Parity = s.line.Parity;
    dcb->ByteSize = s.line.WordLength;
    ULONG control = s.handflow.ControlHandShake, flow = s.handflow.FlowReplace;
    switch (control & SERIAL_DTR_MASK) {
    case SERIAL_DTR_CONTROL: dcb->fDtrControl = DTR_CONTROL_ENABLE; break;
    case SERIAL_DTR_HANDSHAKE: dcb->fDtrControl = DTR_CONTROL_HANDSHAKE; break;
    default: dcb->fDtrControl = DTR_CONTROL_DISABLE; break;
    }
    switch (flow & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL: dcb->fRtsControl = RTS_CONTROL_ENABLE; break;
    case SERIAL_RTS_HANDSHAKE: dcb->fRtsControl = RTS_CONTROL_HANDSHAKE; break;
    case SERIAL_TRANSMIT_TOGGLE: dcb->fRtsControl = RTS_CONTROL_TOGGLE; break;
    default: dcb->fRtsControl = RTS_CONTROL_DISABLE; break;
    }
    dcb->fOutxCtsFlow = (control & SERIAL_CTS_HANDSHAKE) != 0;
    dcb->fOutxDsrFlow = (control & SERIAL_DSR_HANDSHAKE) != 0;
    dcb->fDsrSensitivity = (control & SERIAL_DSR_SENSITIVITY) != 0;
    dcb->fAbortOnError = (control & SERIAL_ERROR_ABORT) != 0;
    dcb->fOutX = (flow & SERIAL_AUTO_TRANSMIT) != 0;
    dcb->fInX = (flow & SERIAL_AUTO_RECEIVE) != 0;
    dcb->fErrorChar = (flow & SERIAL_ERROR_CHAR) != 0;
    dcb->fNull = (flow & SERIAL_NULL_STRIPPING) != 0;
    dcb->fTXContinueOnXoff = (flow & SERIAL_XOFF_CONTINUE) != 0;
    dcb->XonLim = (WORD)s.handflow.XonLimit;
    dcb->XoffLim = (WORD)s.handflow.XoffLimit;
    dcb->XonChar = (char)s.chars.XonChar;
    dcb->XoffChar = (char)s.chars.XoffChar;
    dcb->ErrorChar = (char)s.chars.ErrorChar;
    dcb->EofChar = (char)s.chars.EofChar;
    dcb->EvtChar = (char)s.chars.EventChar;
}

// The four GET requests, in kernel32's order.
NTSTATUS GetSettings(HANDLE h, Settings* s)
{
    NTSTATUS status = Control(h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &s->baud, sizeof s->baud);
    if (NT_SUCCESS(status)) status = Control(h, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &s->line, sizeof s->line);
    if (NT_SUCCESS(status)) status = Control(h, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &s->chars, sizeof s->chars);
    if (NT_SUCCESS(status))
        status = Control(h, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &s->handflow, sizeof s->handflow);
    return status;
}

// The four SET requests in order; stops at the first the driver refuses and puts the
// records already set back to `previous`, so that a refused DCB leaves the port as it
// was.
NTSTATUS SetSettings(HANDLE h, const Settings& s, const Settings& previous)
{
    struct Step {
        ULONG code;
        const void* value;
        const void* old;
        ULONG size;
    };
    const Step steps[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, &s.baud, &previous.baud, sizeof s.baud},
        {IOCTL_SERIAL_SET_LINE_CONTROL, &s.line, &previous.line, sizeof s.line},
        {IOCTL_SERIAL_SET_CHARS, &s.chars, &previous.chars, sizeof s.chars},
        {IOCTL_SERIAL_SET_HANDFLOW, &s.handflow, &previous.handflow, sizeof s.handflow},
    };
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        NTSTATUS status = Control(h, steps[i].code, steps[i].value, steps[i].size, nullptr, 0);
        if (NT_SUCCESS(status)) continue;
        for (size_t j = 0; j < i; ++j) Control(h, steps[j].code, steps[j].old, steps[j].size, nullptr, 0);
        return status;
    }
    return STATUS_SUCCESS;
}

BOOL NoBuffer() { return Fail(ERROR_INVALID_PARAMETER); }

// A request that answers one 32-bit word (the wait mask, the modem status).
BOOL QueryDword(HANDLE hFile, ULONG code, LPDWORD out)
{
    if (!LookupKind(hFile, Object::Kind::File)) return FALSE;
    if (!out) return NoBuffer();
    ULONG value = 0;
    if (!ControlResult(hFile, code, nullptr, 0, &value, sizeof value)) return FALSE;
    *out = value;
    return TRUE;
}

}  // namespace

extern "C" BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    if (!LookupKind(hFile, Object::Kind::File)) return FALSE;
    if (!lpDCB) return NoBuffer();
    Settings s{};
    NTSTATUS status = GetSettings(hFile, &s);
    if (!NT_SUCCESS(status)) return Result(status);
    ToDcb(s, lpDCB);
    return TRUE;
}

extern "C" BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    if (!LookupKind(hFile, Object::Kind::File)) return FALSE;
    if (!lpDCB || !Valid(*lpDCB)) return NoBuffer();
    Settings previous{};
    NTSTATUS status = GetSettings(hFile, &previous);
    if (!NT_SUCCESS(status)) return Result(status);
    Settings s = FromDcb(*lpDCB);
    // What a DCB cannot say stays as the driver has it: the break character, DCD
    // handshaking and break-character replacement.
    s.chars.BreakChar = previous.chars.BreakChar;
    s.handflow.ControlHandShake |= previous.handflow.ControlHandShake & SERIAL_DCD_HANDSHAKE;
    s.handflow.FlowReplace |= previous.handflow.FlowReplace & SERIAL_BREAK_CHAR;
    status = SetSettings(hFile, s, previous);
    if (!NT_SUCCESS(status)) return Result(status);
    // The lines follow the new settings: with DTR or RTS under the application's
    // control kernel32 raises or drops it as the DCB says. Sent after the handshake
    // flags, so that a handshake being left does not refuse them.
    if (lpDCB->fDtrControl == DTR_CONTROL_ENABLE || lpDCB->fDtrControl == DTR_CONTROL_DISABLE) {
        status = Control(hFile, lpDCB->fDtrControl == DTR_CONTROL_ENABLE ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR,
                         nullptr, 0, nullptr, 0);
        if (!NT_SUCCESS(status)) return Result(status);
    }
    if (lpDCB->fRtsControl == RTS_CONTROL_ENABLE || lpDCB->fRtsControl == RTS_CONTROL_DISABLE) {
        status = Control(hFile, lpDCB->fRtsControl == RTS_CONTROL_ENABLE ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS,
                         nullptr, 0, nullptr, 0);
        if (!NT_SUCCESS(status)) return Result(status);
    }
    return TRUE;
}

extern "C" BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (!LookupKind(hFile, Object::Kind::File)) return FALSE;
    if (!lpCommTimeouts) return NoBuffer();
    SERIAL_TIMEOUTS t{};
    if (!ControlResult(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &t, sizeof t)) return FALSE;
    lpCommTimeouts->ReadIntervalTimeout = t.ReadIntervalTimeout;
    lpCommTimeouts->ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
    lpCommTimeouts->ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
    lpCommTimeouts->WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
    lpCommTimeouts->WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
    return TRUE;
}

extern "C" BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (!LookupKind(hFile, Object::Kind::File)) return FALSE;
    if (!lpCommTimeouts) return NoBuffer();
    SERIAL_TIMEOUTS t;
    t.ReadIntervalTimeout = lpCommTimeouts->ReadIntervalTimeout;
    t.ReadTotalTimeoutMultiplier = lpCommTimeouts->ReadTotalTimeoutMultiplier;
    t.ReadTotalTimeoutConstant = lpCommTimeouts->ReadTotalTimeoutConstant;
    t.WriteTotalTimeoutMultiplier = lpCommTimeouts->WriteTotalTimeoutMultiplier;
    t.WriteTotalTimeoutConstant = lpCommTimeouts->WriteTotalTimeoutConstant;
    return ControlResult(hFile, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, nullptr, 0);
}

extern "C" BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    SERIAL_QUEUE_SIZE q;
    q.InSize = dwInQueue;
    q.OutSize = dwOutQueue;
    return ControlResult(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &q, sizeof q, nullptr, 0);
}

extern "C" BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    ULONG flags = dwFlags;
    return ControlResult(hFile, IOCTL_SERIAL_PURGE, &flags, sizeof flags, nullptr, 0);
}

extern "C" BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    ULONG mask = dwEvtMask;
    return ControlResult(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0);
}

extern "C" BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    return QueryDword(hFile, IOCTL_SERIAL_GET_WAIT_MASK, lpEvtMask);
}

extern "C" BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    // The event mask is the request's output buffer: with an OVERLAPPED it is written
    // when the wait completes.
    DWORD ignored;
    return Issue(hFile, {IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD)},
                 &ignored, lpOverlapped);
}

extern "C" BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    SERIAL_STATUS s{};
    if (!ControlResult(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s)) return FALSE;
    if (lpErrors) {
        DWORD e = 0;
        if (s.Errors & SERIAL_ERROR_BREAK) e |= CE_BREAK;
        if (s.Errors & SERIAL_ERROR_FRAMING) e |= CE_FRAME;
        if (s.Errors & SERIAL_ERROR_OVERRUN) e |= CE_OVERRUN;
        if (s.Errors & SERIAL_ERROR_QUEUEOVERRUN) e |= CE_RXOVER;
        if (s.Errors & SERIAL_ERROR_PARITY) e |= CE_RXPARITY;
        *lpErrors = e;
    }
    if (lpStat) {
        std::memset(lpStat, 0, sizeof *lpStat);
        lpStat->fCtsHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
        lpStat->fDsrHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
        lpStat->fRlsdHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
        lpStat->fXoffHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
        lpStat->fXoffSent = (s.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
        lpStat->fEof = s.EofReceived != 0;
        lpStat->fTxim = s.WaitForImmediate != 0;
        lpStat->cbInQue = s.AmountInInQueue;
        lpStat->cbOutQue = s.AmountInOutQueue;
    }
    return TRUE;
}

extern "C" BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    ULONG code;
    switch (dwFunc) {
    case SETXOFF: code = IOCTL_SERIAL_SET_XOFF; break;
    case SETXON: code = IOCTL_SERIAL_SET_XON; break;
    case SETRTS: code = IOCTL_SERIAL_SET_RTS; break;
    case CLRRTS: code = IOCTL_SERIAL_CLR_RTS; break;
    case SETDTR: code = IOCTL_SERIAL_SET_DTR; break;
    case CLRDTR: code = IOCTL_SERIAL_CLR_DTR; break;
    case RESETDEV: code = IOCTL_SERIAL_RESET_DEVICE; break;
    case SETBREAK: code = IOCTL_SERIAL_SET_BREAK_ON; break;
    case CLRBREAK: code = IOCTL_SERIAL_SET_BREAK_OFF; break;
    default:
        if (!LookupKind(hFile, Object::Kind::File)) return FALSE;
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return ControlResult(hFile, code, nullptr, 0, nullptr, 0);
}

extern "C" BOOL WINAPI SetCommBreak(HANDLE hFile) { return EscapeCommFunction(hFile, SETBREAK); }

extern "C" BOOL WINAPI ClearCommBreak(HANDLE hFile) { return EscapeCommFunction(hFile, CLRBREAK); }

extern "C" BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar)
{
    UCHAR c = (UCHAR)cChar;
    return ControlResult(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &c, sizeof c, nullptr, 0);
}

extern "C" BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    // The modem status register as the driver reports it: MS_CTS_ON and the others
    // are its bits.
    return QueryDword(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, lpModemStat);
}

extern "C" BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
{
    if (!LookupKind(hFile, Object::Kind::File)) return FALSE;
    if (!lpCommProp) return NoBuffer();
    SERIAL_COMMPROP p{};
    if (!ControlResult(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, &p, sizeof p)) return FALSE;
    std::memset(lpCommProp, 0, sizeof *lpCommProp);
    lpCommProp->wPacketLength = p.PacketLength;
    lpCommProp->wPacketVersion = p.PacketVersion;
    lpCommProp->dwServiceMask = p.ServiceMask;
    lpCommProp->dwReserved1 = p.Reserved1;
    lpCommProp->dwMaxTxQueue = p.MaxTxQueue;
    lpCommProp->dwMaxRxQueue = p.MaxRxQueue;
    lpCommProp->dwMaxBaud = p.MaxBaud;
    lpCommProp->dwProvSubType = p.ProvSubType;
    lpCommProp->dwProvCapabilities = p.ProvCapabilities;
    lpCommProp->dwSettableParams = p.SettableParams;
    lpCommProp->dwSettableBaud = p.SettableBaud;
    lpCommProp->wSettableData = p.SettableData;
    lpCommProp->wSettableStopParity = p.SettableStopParity;
    lpCommProp->dwCurrentTxQueue = p.CurrentTxQueue;
    lpCommProp->dwCurrentRxQueue = p.CurrentRxQueue;
    lpCommProp->dwProvSpec1 = p.ProvSpec1;
    lpCommProp->dwProvSpec2 = p.ProvSpec2;
    lpCommProp->wcProvChar[0] = p.ProvChar[0];
    return TRUE;
}

// ---- Configurations ----------------------------------------------------------------------

namespace {
void FillConfig(LPCOMMCONFIG cc)
{
    cc->dwSize = sizeof(COMMCONFIG);
    cc->wVersion = 1;
    cc->wReserved = 0;
    cc->dwProviderSubType = PST_RS232;
    cc->dwProviderOffset = 0;
    cc->dwProviderSize = 0;
    cc->wcProviderData[0] = 0;
}

// The room a configuration needs: the record, and provider data when the driver has
// any (it says how much with IOCTL_SERIAL_CONFIG_SIZE). This library passes no
// provider data, so a driver that wants some is refused.
bool ConfigFits(LPDWORD lpdwSize, LPCOMMCONFIG cc)
{
    bool fits = cc && lpdwSize && *lpdwSize >= sizeof(COMMCONFIG);
    if (lpdwSize) *lpdwSize = sizeof(COMMCONFIG);
    return fits;
}
}  // namespace

extern "C" BOOL WINAPI GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize)
{
    if (!LookupKind(hCommDev, Object::Kind::File)) return FALSE;
    if (!lpdwSize) return NoBuffer();
    ULONG providerSize = 0;
    NTSTATUS status = Control(hCommDev, IOCTL_SERIAL_CONFIG_SIZE, nullptr, 0, &providerSize, sizeof providerSize);
    if (!NT_SUCCESS(status)) return Result(status);
    if (providerSize) return Fail(ERROR_NOT_SUPPORTED);
    if (!ConfigFits(lpdwSize, lpCC)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    FillConfig(lpCC);
    return GetCommState(hCommDev, &lpCC->dcb);
}

extern "C" BOOL WINAPI SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize)
{
    if (!LookupKind(hCommDev, Object::Kind::File)) return FALSE;
    if (!lpCC || dwSize < sizeof(COMMCONFIG)) return NoBuffer();
    return SetCommState(hCommDev, &lpCC->dcb);
}

namespace {
// The default configuration of a port: the "COMn:" value under the Ports key (as the
// mode command and the Ports control panel keep it), else 9600 baud 8N1.
BOOL DefaultConfig(const std::u16string& name, LPCOMMCONFIG cc, LPDWORD size)
{
    if (name.empty() || !hk::names::LinkExists(u"\\DosDevices\\" + name)) return Fail(ERROR_FILE_NOT_FOUND);
    if (!ConfigFits(size, cc)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memset(cc, 0, sizeof *cc);
    FillConfig(cc);
    DCB& dcb = cc->dcb;
    dcb.DCBlength = sizeof(DCB);
    dcb.fBinary = TRUE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    std::string mode = "9600,n,8,1";
    hk::RegistryValue v;
    if (hk::registry::Get(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports", name + u":",
                          &v) &&
        v.type == REG_SZ) {
        mode.clear();
        for (size_t i = 0; i + 1 < v.data.size(); i += 2) {
            char16_t c = (char16_t)(v.data[i] | v.data[i + 1] << 8);
            if (!c) break;
            mode += (char)c;
        }
    }
    if (!BuildCommDCBA(mode.c_str(), &dcb)) return FALSE;
    return TRUE;
}
}  // namespace

extern "C" BOOL WINAPI GetDefaultCommConfigA(LPCSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize)
{
    return DefaultConfig(Widen(lpszName), lpCC, lpdwSize);
}

extern "C" BOOL WINAPI GetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize)
{
    return DefaultConfig(Widen(lpszName), lpCC, lpdwSize);
}
