// BuildCommDCB and BuildCommDCBAndTimeouts: the mode command's arguments as a DCB.
//
// Two forms, never mixed: the newer "baud=1200 parity=N data=8 stop=1 to=on xon=off
// odsr=off octs=off dtr=on rts=on idsr=off" (any subset, in any order, separated by
// spaces), and the older "1200,n,8,1[,x|p]". Either may start with the device name,
// "COMn" with an optional colon. Baud rates may be given by their first two digits
// (11, 15, 30, 60, 12, 24, 48, 96, 19). Only the members a string names change, with
// the mode command's defaults: without stop= the newer form sets 1 stop bit (2 at
// 110 baud), and XON/XOFF and hardware flow control are off unless it turns them on;
// the older form sets the flow control members from its last field. A
// string in error leaves the DCB and the timeouts as they were.
#include <cctype>

#include "internal.h"

using namespace w32;

namespace {

using Text = std::u16string;

char16_t Lower(char16_t c) { return c < 0x80 ? (char16_t)std::tolower((int)c) : c; }

// Whether `s` at `pos` starts with `word` (lower case), ignoring case; moves past it.
bool Take(const Text& s, size_t& pos, const char* word)
{
    size_t n = std::char_traits<char>::length(word);
    if (pos + n > s.size()) return false;
    for (size_t i = 0; i < n; ++i)
        if (Lower(s[pos + i]) != (char16_t)word[i]) return false;
    pos += n;
    return true;
}

void SkipSpaces(const Text& s, size_t& pos)
{
    while (pos < s.size() && s[pos] == u' ') ++pos;
}

bool Number(const Text& s, size_t& pos, DWORD* value)
{
    if (pos >= s.size() || s[pos] < u'0' || s[pos] > u'9') return false;
    uint64_t v = 0;
    while (pos < s.size() && s[pos] >= u'0' && s[pos] <= u'9') {
        v = v * 10 + (s[pos++] - u'0');
        if (v > 0xFFFFFFFFu) return false;
    }
    *value = (DWORD)v;
    return true;
}

bool Baud(const Text& s, size_t& pos, DWORD* baud)
{
    if (!Number(s, pos, baud)) return false;
    switch (*baud) {
    case 11: *baud = 110; break;
    case 15: *baud = 150; break;
    case 30: *baud = 300; break;
    case 60: *baud = 600; break;
    case 12: *baud = 1200; break;
    case 24: *baud = 2400; break;
    case 48: *baud = 4800; break;
    case 96: *baud = 9600; break;
    case 19: *baud = 19200; break;
    default: break;
    }
    return *baud != 0;
}

bool Parity(const Text& s, size_t& pos, BYTE* parity)
{
    if (pos >= s.size()) return false;
    switch (Lower(s[pos])) {
    case u'n': *parity = NOPARITY; break;
    case u'e': *parity = EVENPARITY; break;
    case u'o': *parity = ODDPARITY; break;
    case u'm': *parity = MARKPARITY; break;
    case u's': *parity = SPACEPARITY; break;
    default: return false;
    }
    ++pos;
    return true;
}

bool DataBits(const Text& s, size_t& pos, BYTE* bits)
{
    DWORD v;
    if (!Number(s, pos, &v) || v < 5 || v > 8) return false;
    *bits = (BYTE)v;
    return true;
}

bool StopBits(const Text& s, size_t& pos, BYTE* stop)
{
    if (Take(s, pos, "1.5")) {
        *stop = ONE5STOPBITS;
        return true;
    }
    DWORD v;
    if (!Number(s, pos, &v) || (v != 1 && v != 2)) return false;
    *stop = v == 1 ? ONESTOPBIT : TWOSTOPBITS;
    return true;
}

// on, off, and for the lines hs (handshake) and, for RTS, tg (toggle).
bool Switch(const Text& s, size_t& pos, int* value, bool handshake, bool toggle)
{
    if (Take(s, pos, "off")) *value = 0;
    else if (Take(s, pos, "on")) *value = 1;
    else if (handshake && Take(s, pos, "hs")) *value = 2;
    else if (toggle && Take(s, pos, "tg")) *value = 3;
    else return false;
    return true;
}

// "COMn" or "COMn:" and the spaces after it.
bool DeviceName(const Text& s, size_t& pos)
{
    size_t at = pos;
    if (!Take(s, at, "com")) return true;
    if (at >= s.size() || s[at] < u'1' || s[at] > u'9') return false;
    while (at < s.size() && s[at] >= u'0' && s[at] <= u'9') ++at;
    if (at < s.size() && s[at] != u':' && s[at] != u' ') return false;
    SkipSpaces(s, at);
    if (at < s.size() && s[at] == u':') ++at;
    SkipSpaces(s, at);
    pos = at;
    return true;
}

bool Comma(const Text& s, size_t& pos)
{
    SkipSpaces(s, pos);
    if (pos >= s.size() || s[pos] != u',') return false;
    ++pos;
    SkipSpaces(s, pos);
    return true;
}

bool OlderForm(const Text& s, size_t pos, DCB* dcb)
{
    if (!Baud(s, pos, &dcb->BaudRate)) return false;
    BYTE parity, bits, stop;
    if (!Comma(s, pos) || !Parity(s, pos, &parity)) return false;
    if (!Comma(s, pos) || !DataBits(s, pos, &bits)) return false;
    if (!Comma(s, pos) || !StopBits(s, pos, &stop)) return false;
    dcb->Parity = parity;
    dcb->ByteSize = bits;
    dcb->StopBits = stop;
    char16_t retry = 0;
    SkipSpaces(s, pos);
    if (pos < s.size() && s[pos] == u',') {
        ++pos;
        SkipSpaces(s, pos);
        if (pos < s.size()) retry = Lower(s[pos++]);
        SkipSpaces(s, pos);
    }
    if (pos != s.size()) return false;
    // The last field is the flow control: none, x (XON/XOFF) or p (the hardware
    // handshake on both lines).
    bool x = retry == u'x', p = retry == u'p';
    if (retry && !x && !p) return false;
    dcb->fInX = dcb->fOutX = x;
    dcb->fOutxCtsFlow = dcb->fOutxDsrFlow = p;
    dcb->fDtrControl = p ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb->fRtsControl = p ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    return true;
}

bool NewerForm(const Text& s, size_t pos, DCB* dcb, COMMTIMEOUTS* timeouts, bool* timeoutsGiven)
{
    bool baudGiven = false, stopGiven = false;
    // Flow control is off unless the string turns it on.
    dcb->fInX = dcb->fOutX = dcb->fOutxCtsFlow = dcb->fOutxDsrFlow = FALSE;
    while (SkipSpaces(s, pos), pos < s.size()) {
        int v;
        if (Take(s, pos, "baud=")) {
            if (!Baud(s, pos, &dcb->BaudRate)) return false;
            baudGiven = true;
        } else if (Take(s, pos, "parity=")) {
            if (!Parity(s, pos, &dcb->Parity)) return false;
        } else if (Take(s, pos, "data=")) {
            if (!DataBits(s, pos, &dcb->ByteSize)) return false;
        } else if (Take(s, pos, "stop=")) {
            if (!StopBits(s, pos, &dcb->StopBits)) return false;
            stopGiven = true;
        } else if (Take(s, pos, "to=")) {
            if (!Switch(s, pos, &v, false, false)) return false;
            // On: writes time out after a minute, nothing else does; off: no timeouts.
            *timeouts = COMMTIMEOUTS{0, 0, 0, 0, v ? 60000u : 0u};
            *timeoutsGiven = true;
        } else if (Take(s, pos, "xon=")) {
            if (!Switch(s, pos, &v, false, false)) return false;
            dcb->fOutX = dcb->fInX = v;
        } else if (Take(s, pos, "odsr=")) {
            if (!Switch(s, pos, &v, false, false)) return false;
            dcb->fOutxDsrFlow = v;
        } else if (Take(s, pos, "octs=")) {
            if (!Switch(s, pos, &v, false, false)) return false;
            dcb->fOutxCtsFlow = v;
        } else if (Take(s, pos, "dtr=")) {
            if (!Switch(s, pos, &v, true, false)) return false;
            dcb->fDtrControl = (DWORD)v;
        } else if (Take(s, pos, "rts=")) {
            if (!Switch(s, pos, &v, true, true)) return false;
            dcb->fRtsControl = (DWORD)v;
        } else if (Take(s, pos, "idsr=")) {
            if (!Switch(s, pos, &v, false, false)) return false;
            dcb->fDsrSensitivity = v;
        } else {
            return false;
        }
        if (pos < s.size() && s[pos] != u' ') return false;
    }
    if (!stopGiven) dcb->StopBits = baudGiven && dcb->BaudRate == 110 ? TWOSTOPBITS : ONESTOPBIT;
    return true;
}

BOOL Build(const Text& def, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (!lpDCB) return Fail(ERROR_INVALID_PARAMETER);
    DCB dcb = *lpDCB;
    COMMTIMEOUTS timeouts{};
    bool timeoutsGiven = false;
    size_t pos = 0;
    bool ok = (def.empty() || def[0] != u' ') && DeviceName(def, pos) &&
              (def.find(u',', pos) != Text::npos ? OlderForm(def, pos, &dcb)
                                                  : NewerForm(def, pos, &dcb, &timeouts, &timeoutsGiven));
    if (!ok) return Fail(ERROR_INVALID_PARAMETER);
    *lpDCB = dcb;
    if (lpCommTimeouts && timeoutsGiven) *lpCommTimeouts = timeouts;
    return TRUE;
}

}  // namespace

extern "C" BOOL WINAPI BuildCommDCBAndTimeoutsW(LPCWSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (!lpDef) return Fail(ERROR_INVALID_PARAMETER);
    return Build(Widen(lpDef), lpDCB, lpCommTimeouts);
}

extern "C" BOOL WINAPI BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (!lpDef) return Fail(ERROR_INVALID_PARAMETER);
    return Build(Widen(lpDef), lpDCB, lpCommTimeouts);
}

extern "C" BOOL WINAPI BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB) { return BuildCommDCBAndTimeoutsW(lpDef, lpDCB, nullptr); }

extern "C" BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) { return BuildCommDCBAndTimeoutsA(lpDef, lpDCB, nullptr); }
