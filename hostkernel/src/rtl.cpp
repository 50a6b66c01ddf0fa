// Rtl string and memory helpers.
#include <cctype>
#include <cstdarg>
#include <cstdio>

#include "internal.h"

using namespace hk::detail;

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
{
    auto* a = (const UCHAR*)Source1;
    auto* b = (const UCHAR*)Source2;
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    size_t n = 0;
    if (SourceString)
        while (SourceString[n]) ++n;
    DestinationString->Buffer = (PWSTR)SourceString;
    DestinationString->Length = (USHORT)(n * sizeof(WCHAR));
    DestinationString->MaximumLength = SourceString ? (USHORT)((n + 1) * sizeof(WCHAR)) : 0;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length : DestinationString->MaximumLength;
    std::memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (n + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[n / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (!Source->Length) return STATUS_SUCCESS;
    if ((ULONG)Destination->Length + Source->Length > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove((PUCHAR)Destination->Buffer + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = (USHORT)(Destination->Length + Source->Length);
    if ((ULONG)Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, Source);
    return RtlAppendUnicodeStringToString(Destination, &s);
}

static WCHAR Upper(WCHAR c) { return (c >= u'a' && c <= u'z') ? (WCHAR)(c - u'a' + u'A') : c; }

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    size_t n1 = String1->Length / 2, n2 = String2->Length / 2;
    for (size_t i = 0; i < n1 && i < n2; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) a = Upper(a), b = Upper(b);
        if (a != b) return (LONG)a - (LONG)b;
    }
    return (LONG)n1 - (LONG)n2;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    WCHAR digits[33];
    int n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = (WCHAR)(d < 10 ? u'0' + d : u'A' + d - 10);
        Value /= Base;
    } while (Value);
    // The result is always terminated: digits that fit without their NUL do not fit.
    if ((ULONG)n * 2 + 2 > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; ++i) String->Buffer[i] = digits[n - 1 - i];
    String->Buffer[n] = 0;
    String->Length = (USHORT)(n * 2);
    return STATUS_SUCCESS;
}

// ---- DbgPrint -------------------------------------------------------------------------------

namespace {
std::mutex gDebugLock;
std::string gDebugOutput;

std::string NarrowWide(const WCHAR* text, size_t chars)
{
    std::string out;
    for (size_t i = 0; i < chars && text[i]; ++i) out += text[i] < 0x80 ? (char)text[i] : '?';
    return out;
}
}  // namespace

std::string hk::TakeDebugOutput()
{
    std::lock_guard<std::mutex> g(gDebugLock);
    std::string out;
    out.swap(gDebugOutput);
    return out;
}

ULONG DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    std::string out;
    for (const char* p = Format; *p; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        // One conversion: flags, width, precision, length, then its letter.
        std::string directive = "%";
        const char* q = p + 1;
        while (*q && std::strchr("-+ #0", *q)) directive += *q++;
        while (*q && (std::isdigit((unsigned char)*q) || *q == '.')) directive += *q++;
        bool wide = false, is64 = false, isLong = false;
        if (q[0] == 'w') wide = true, ++q;
        else if (q[0] == 'I' && q[1] == '6' && q[2] == '4') is64 = true, q += 3;
        else if (q[0] == 'l' && q[1] == 'l') is64 = true, q += 2;
        else if (q[0] == 'l') isLong = true, ++q;
        else if (q[0] == 'h') ++q;
        char conversion = *q;
        char buffer[128];
        switch (conversion) {
        case 'Z':
            if (wide) {
                auto* s = va_arg(args, PUNICODE_STRING);
                out += s && s->Buffer ? NarrowWide(s->Buffer, s->Length / sizeof(WCHAR)) : "(null)";
            }
            break;
        case 's':
        case 'S':
            if (wide || isLong || conversion == 'S') {
                auto* s = va_arg(args, const WCHAR*);
                out += s ? NarrowWide(s, (size_t)-1) : "(null)";
            } else {
                std::snprintf(buffer, sizeof buffer, (directive + "s").c_str(), va_arg(args, const char*));
                out += buffer;
            }
            break;
        case 'd':
        case 'i':
            if (is64) std::snprintf(buffer, sizeof buffer, (directive + "lld").c_str(), va_arg(args, long long));
            else std::snprintf(buffer, sizeof buffer, (directive + "d").c_str(), (int)va_arg(args, LONG));
            out += buffer;
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            if (is64) std::snprintf(buffer, sizeof buffer, (directive + "ll" + conversion).c_str(), va_arg(args, unsigned long long));
            else std::snprintf(buffer, sizeof buffer, (directive + conversion).c_str(), (unsigned)va_arg(args, ULONG));
            out += buffer;
            break;
        case 'c':
            out += (char)va_arg(args, int);
            break;
        case 'p':
            std::snprintf(buffer, sizeof buffer, "%p", va_arg(args, void*));
            out += buffer;
            break;
        case '%':
            out += '%';
            break;
        default:
            out += directive;  // not a conversion the kernel knows: printed as it stands
            if (conversion) out += conversion;
            break;
        }
        if (!conversion) break;
        p = q;
    }
    va_end(args);
    std::lock_guard<std::mutex> g(gDebugLock);
    gDebugOutput += out;
    return 0;
}
