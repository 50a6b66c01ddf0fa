#include "chaos/streams.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <unordered_set>

#include "hostkernel/kernel.h"

namespace chaos {
namespace {

uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

uint64_t WindowKey(const uint8_t* p)
{
    uint64_t key;
    std::memcpy(&key, p, sizeof key);
    return key;
}

std::string Hex(const uint8_t* p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        if (i) s += ' ';
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string Head(const Bytes& b, size_t at = 0)
{
    size_t n = std::min<size_t>(8, b.size() - std::min(at, b.size()));
    return "[" + Hex(b.data() + at, n) + (b.size() > at + n ? " ..." : "") + "]";
}

Verdict Fail(const std::ostringstream& s) { return Verdict{s.str()}; }

uint64_t PairKey(size_t a, size_t b) { return (uint64_t)a << 32 | (uint64_t)(uint32_t)b; }

// The write whose bytes hold place `place` of the write stream, or writes.size().
size_t WriteAt(const std::vector<WriteOutcome>& writes, uint64_t place)
{
    auto it = std::upper_bound(writes.begin(), writes.end(), place,
                               [](uint64_t p, const WriteOutcome& w) { return p < w.offset; });
    if (it == writes.begin()) return writes.size();
    --it;
    return place < it->offset + it->length ? (size_t)(it - writes.begin()) : writes.size();
}

std::string Describe(const WriteOutcome& w, size_t index)
{
    std::ostringstream s;
    s << "write #" << index << " (" << w.length << " bytes at stream place " << w.offset << ", status 0x" << std::hex
      << (uint32_t)w.status << std::dec << ", information " << w.information << ")";
    return s.str();
}

}  // namespace

uint8_t StreamByte(uint64_t salt, uint64_t k, bool noFF)
{
    uint64_t h = Mix(Mix(salt) ^ k);
    return noFF ? (uint8_t)(h % 255) : (uint8_t)(h >> 56);
}

Bytes StreamBytes(uint64_t salt, uint64_t first, size_t n, bool noFF)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = StreamByte(salt, first + i, noFF);
    return b;
}

Source::Source(Bytes bytes) : bytes_(std::move(bytes))
{
    if (bytes_.size() < kWindow) return;
    windows_.reserve(bytes_.size());
    for (size_t i = 0; i + kWindow <= bytes_.size(); ++i) windows_.emplace(WindowKey(&bytes_[i]), i);
}

size_t Source::Locate(const uint8_t* p) const
{
    auto it = windows_.find(WindowKey(p));
    return it == windows_.end() ? npos : it->second;
}

Verdict PlaceInOrder(const Source& source, const std::vector<bool>& allowed, const Bytes& got)
{
    const Bytes& s = source.bytes();
    size_t next = 0;  // the first place the next byte may take
    for (size_t j = 0; j < got.size(); ++j) {
        if (next < s.size() && allowed[next] && s[next] == got[j]) {
            ++next;
            continue;
        }
        size_t place = Source::npos;
        if (j + kWindow <= got.size()) {
            size_t q = source.Locate(&got[j]);
            if (q != Source::npos) {
                if (q < next) {
                    std::ostringstream m;
                    m << "bytes " << j << ".." << j + kWindow - 1 << " " << Hex(&got[j], kWindow) << " stand at place " << q
                      << " of the stream, but the byte before them was placed at " << (long long)next - 1
                      << ": duplicated or out of order";
                    return Fail(m);
                }
                if (!allowed[q]) {
                    std::ostringstream m;
                    m << "bytes " << j << ".. " << Hex(&got[j], kWindow) << " stand at place " << q
                      << " of the stream, which nothing reported as sent";
                    return Fail(m);
                }
                place = q;
            }
        }
        if (place == Source::npos) {
            size_t q = next;
            while (q < s.size() && !(allowed[q] && s[q] == got[j])) ++q;
            if (q == s.size()) {
                std::ostringstream m;
                m << "byte " << j << " (" << Hex(&got[j], 1) << ") fits nowhere in the stream after place " << (long long)next - 1
                  << ": invented, duplicated or out of order";
                return Fail(m);
            }
            place = q;
        }
        next = place + 1;
    }
    return {};
}

Verdict CheckReadsExact(const Source& stream, const std::vector<ReadOutcome>& reads, bool whole)
{
    const Bytes& s = stream.bytes();
    // Where the next read may start. A read shorter than a window after a skip may
    // stand at several places; each stays possible until later reads rule it out.
    std::vector<size_t> starts{0};
    size_t mayskip = 0;
    for (size_t i = 0; i < reads.size(); ++i) {
        const ReadOutcome& r = reads[i];
        if (r.cancelled) {
            if (!r.data.empty()) {
                std::ostringstream m;
                m << "cancelled read #" << i << " returned " << r.data.size() << " bytes";
                return Fail(m);
            }
            mayskip += r.length;
            continue;
        }
        size_t n = r.data.size();
        if (!n) continue;
        auto matches = [&](size_t pos) { return pos + n <= s.size() && std::equal(r.data.begin(), r.data.end(), s.begin() + pos); };
        // starts is sorted: a place q is open when some start a has a <= q <= a + mayskip.
        auto open = [&](size_t q) {
            auto it = std::upper_bound(starts.begin(), starts.end(), q);
            return it != starts.begin() && q <= *(it - 1) + mayskip;
        };
        std::vector<size_t> next;
        size_t q = n >= kWindow ? stream.Locate(r.data.data()) : Source::npos;
        if (q != Source::npos) {
            if (open(q) && matches(q)) next.push_back(q + n);
        } else {
            for (size_t p = starts.front(); p <= starts.back() + mayskip && p < s.size(); ++p)
                if (open(p) && matches(p)) next.push_back(p + n);
        }
        if (next.empty()) {
            std::ostringstream m;
            m << "read #" << i << " returned " << n << " bytes " << Head(r.data) << " that do not continue the stream at place "
              << starts.front();
            if (mayskip) m << " or within the " << mayskip << " bytes cancelled reads before it may have taken";
            if (q != Source::npos) m << " (they stand at place " << q << ")";
            return Fail(m);
        }
        starts = std::move(next);
        mayskip = 0;
    }
    if (whole && starts.back() + mayskip < s.size()) {
        std::ostringstream m;
        m << "the reads end at place " << starts.back() << " of the " << s.size() << " bytes the adapter delivered";
        if (mayskip) m << ", more than the " << mayskip << " bytes the last cancelled reads may have taken";
        return Fail(m);
    }
    return {};
}

namespace {

enum class Need { Never, May, Must };

}  // namespace

Verdict CheckDirectWrites(const Source& stream, const std::vector<WriteOutcome>& writes, const std::vector<Bytes>& transfers,
                          bool exact)
{
    std::vector<Need> need(writes.size());
    for (size_t k = 0; k < writes.size(); ++k) {
        const WriteOutcome& w = writes[k];
        if (w.information != 0 && w.information != w.length) {
            std::ostringstream m;
            m << Describe(w, k) << " reported part of its bytes sent; a direct write goes down whole";
            return Fail(m);
        }
        if (!w.length)
            need[k] = Need::Never;
        else if (w.information == w.length)
            need[k] = Need::Must;
        else if (exact || w.status == STATUS_SUCCESS)
            need[k] = Need::Never;
        else
            need[k] = Need::May;
    }
    auto same = [&](size_t t, size_t k) {
        const WriteOutcome& w = writes[k];
        return transfers[t].size() == w.length &&
               std::equal(transfers[t].begin(), transfers[t].end(), stream.bytes().begin() + w.offset);
    };
    // Each transfer is matched to a later write; a write that must be on the wire is
    // never skipped. Writes of a few bytes may look alike, so the choices are searched,
    // with the states that led nowhere remembered.
    struct Frame {
        size_t t, w, k;
    };
    std::vector<Frame> stack{{0, 0, 0}};
    std::unordered_set<uint64_t> dead;
    Frame deepest{0, 0, 0};
    while (!stack.empty()) {
        Frame f = stack.back();
        if (f.t > deepest.t || (f.t == deepest.t && f.w > deepest.w)) deepest = f;
        if (f.t == transfers.size()) {
            bool missing = false;
            for (size_t k = f.w; k < writes.size() && !missing; ++k) missing = need[k] == Need::Must;
            if (!missing) return {};
            dead.insert(PairKey(f.t, f.w));
            stack.pop_back();
            continue;
        }
        bool pushed = false;
        size_t k = f.k;
        for (; k < writes.size(); ++k) {
            bool stop = need[k] == Need::Must;
            if (need[k] != Need::Never && same(f.t, k) && !dead.count(PairKey(f.t + 1, k + 1))) {
                stack.back().k = stop ? writes.size() : k + 1;
                stack.push_back({f.t + 1, k + 1, k + 1});
                pushed = true;
                break;
            }
            if (stop) {
                k = writes.size();
                break;
            }
        }
        if (!pushed) {
            dead.insert(PairKey(f.t, f.w));
            stack.pop_back();
        }
    }
    std::ostringstream m;
    if (deepest.t == transfers.size()) {
        size_t k = deepest.w;
        while (k < writes.size() && need[k] != Need::Must) ++k;
        m << Describe(writes[k], k) << " reported all its bytes sent, but they are not on the wire";
        if (deepest.t) m << " after transfer #" << deepest.t - 1;
        return Fail(m);
    }
    const Bytes& x = transfers[deepest.t];
    m << "transfer #" << deepest.t << " of " << x.size() << " bytes " << Head(x) << " is no write that may have reached the wire";
    if (deepest.w) m << " after write #" << deepest.w - 1;
    size_t q = x.size() >= kWindow ? stream.Locate(x.data()) : Source::npos;
    if (q != Source::npos && WriteAt(writes, q) < writes.size()) {
        size_t k = WriteAt(writes, q);
        m << "; its bytes are those of " << Describe(writes[k], k) << " from byte " << q - writes[k].offset;
    }
    return Fail(m);
}

Verdict CheckBufferedWrites(const Source& stream, const std::vector<WriteOutcome>& writes, const Bytes& wire, bool exact)
{
    const Bytes& s = stream.bytes();
    for (size_t k = 0; k < writes.size(); ++k) {
        if (writes[k].information > writes[k].length) {
            std::ostringstream m;
            m << Describe(writes[k], k) << " reported more bytes than it had";
            return Fail(m);
        }
    }
    if (!exact) {
        std::vector<bool> allowed(s.size(), false);
        for (const WriteOutcome& w : writes) {
            uint32_t bound = w.status == STATUS_CANCELLED ? w.length : w.information;
            std::fill(allowed.begin() + w.offset, allowed.begin() + w.offset + bound, true);
        }
        return PlaceInOrder(stream, allowed, wire);
    }
    // Write after write, the wire holds each write's reported bytes; a cancelled write
    // holds a prefix of unknown length, tried longest first.
    struct Frame {
        size_t i, a;
        long long p;  // the next prefix length to try; -1 when none is left
    };
    auto prefixes = [&](size_t i, size_t a) -> long long {
        const WriteOutcome& w = writes[i];
        if (w.status != STATUS_CANCELLED) return w.information;
        size_t n = 0;
        while (n < w.length && a + n < wire.size() && wire[a + n] == s[w.offset + n]) ++n;
        return (long long)n;
    };
    std::vector<Frame> stack{{0, 0, writes.empty() ? 0 : prefixes(0, 0)}};
    std::unordered_set<uint64_t> dead;
    Frame deepest{0, 0, 0};
    while (!stack.empty()) {
        Frame f = stack.back();
        if (f.i > deepest.i || (f.i == deepest.i && f.a > deepest.a)) deepest = f;
        if (f.i == writes.size()) {
            if (f.a == wire.size()) return {};
            dead.insert(PairKey(f.i, f.a));
            stack.pop_back();
            continue;
        }
        const WriteOutcome& w = writes[f.i];
        bool cancelled = w.status == STATUS_CANCELLED;
        bool pushed = false;
        while (stack.back().p >= 0) {
            size_t p = (size_t)stack.back().p;
            stack.back().p = cancelled ? stack.back().p - 1 : -1;
            bool fits = f.a + p <= wire.size() && std::equal(wire.begin() + f.a, wire.begin() + f.a + p, s.begin() + w.offset);
            if (!fits || dead.count(PairKey(f.i + 1, f.a + p))) continue;
            size_t next = f.i + 1;
            stack.push_back({next, f.a + p, next < writes.size() ? prefixes(next, f.a + p) : 0});
            pushed = true;
            break;
        }
        if (!pushed) {
            dead.insert(PairKey(f.i, f.a));
            stack.pop_back();
        }
    }
    std::ostringstream m;
    if (deepest.i == writes.size()) {
        m << "the wire holds " << wire.size() - deepest.a << " bytes " << Head(wire, deepest.a) << " after the last write's, from byte "
          << deepest.a;
    } else {
        m << Describe(writes[deepest.i], deepest.i) << " is not what the wire holds from byte " << deepest.a << ": "
          << Head(wire, deepest.a);
    }
    size_t q = deepest.a + kWindow <= wire.size() ? stream.Locate(&wire[deepest.a]) : Source::npos;
    if (q != Source::npos && WriteAt(writes, q) < writes.size()) {
        size_t k = WriteAt(writes, q);
        m << " (those are bytes of write #" << k << " from its byte " << q - writes[k].offset << ")";
    }
    return Fail(m);
}

}  // namespace chaos
