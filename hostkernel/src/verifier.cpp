// The verifier's record of violations. Every check in the emulation reports here;
// tests take the record and fail on anything they did not provoke on purpose.
#include <cstdio>
#include <sstream>

#include "internal.h"

namespace hk {
namespace {
std::mutex gViolationLock;
std::vector<Violation> gViolations;
}  // namespace

namespace detail {

void Report(const char* rule, const std::string& detail)
{
    std::lock_guard<std::mutex> g(gViolationLock);
    gViolations.push_back({rule, detail});
}

std::string Hex(ULONG_PTR value)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", (unsigned long long)value);
    return buf;
}

std::string Narrow(const WCHAR* text, size_t chars)
{
    std::string out;
    for (size_t i = 0; i < chars; ++i) out += (text[i] < 0x80) ? (char)text[i] : '?';
    return out;
}

std::string Narrow(const UNICODE_STRING* s)
{
    if (!s || !s->Buffer) return {};
    return Narrow(s->Buffer, s->Length / sizeof(WCHAR));
}

std::u16string Wide(const UNICODE_STRING* s)
{
    if (!s || !s->Buffer) return {};
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::u16string Fold(std::u16string s)
{
    for (auto& c : s)
        if (c >= u'a' && c <= u'z') c = (char16_t)(c - u'a' + u'A');
    return s;
}

}  // namespace detail

std::vector<Violation> TakeViolations()
{
    std::lock_guard<std::mutex> g(gViolationLock);
    std::vector<Violation> out;
    out.swap(gViolations);
    return out;
}

size_t ViolationCount()
{
    std::lock_guard<std::mutex> g(gViolationLock);
    return gViolations.size();
}

std::string Describe(const std::vector<Violation>& violations)
{
    std::ostringstream os;
    for (const auto& v : violations) os << "  [" << v.rule << "] " << v.detail << "\n";
    return os.str();
}

}  // namespace hk

namespace hk::detail {

#if defined(__i386__)
// Pushes the arguments right to left, calls, and measures how far the stack moved:
// a stdcall routine pops exactly what was pushed. The stack is restored whatever the
// routine did, so that the emulation goes on to report it.
ULONG_PTR CallStdcall(const void* routine, const ULONG_PTR* args, int count, LONG* imbalance)
{
    ULONG_PTR result;
    LONG moved = count;
    void* target = const_cast<void*>(routine);
    __asm__ volatile(
        "movl %%esp, %%esi\n\t"
        "testl %%ecx, %%ecx\n\t"
        "jz 2f\n\t"
        "1:\n\t"
        "pushl -4(%%edx,%%ecx,4)\n\t"
        "decl %%ecx\n\t"
        "jnz 1b\n\t"
        "2:\n\t"
        "call *%%edi\n\t"
        "movl %%esp, %%ecx\n\t"
        "subl %%esi, %%ecx\n\t"
        "movl %%esi, %%esp\n\t"
        : "=a"(result), "+c"(moved), "+d"(args), "+D"(target)
        :
        : "esi", "memory", "cc");
    *imbalance = moved;
    return result;
}
#endif

void ReportUnbalancedCall(const void* routine, const char* what, LONG imbalance)
{
    Report("calling-convention", std::string(what) + " " + Hex((ULONG_PTR)routine) + " left the stack " +
                                     std::to_string(-imbalance) + " byte(s) off: it is not NTAPI (stdcall)");
}

}  // namespace hk::detail
