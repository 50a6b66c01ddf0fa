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
