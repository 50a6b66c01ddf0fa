// DoubleSpace ("DS") compression, the form binary MOF containers use for compression
// type 1. The stream is read as bits from the least significant bit of each byte up;
// multi-bit fields come least significant bit first.
//
//   header:   'D' 'S', then the version as a big-endian 16-bit number (1)
//   token:    01 + 7 bits           literal 0x00..0x7F          (first bit read first)
//             10 + 7 bits           literal 0x80..0xFF (the 7 bits are its low bits)
//             00 + 6 bits           back-reference, distance 1..63
//             11 0 + 8 bits         back-reference, distance 64..319 (bits + 64)
//             11 1 + 12 bits        back-reference, distance 320..4414 (bits + 320);
//                                   all twelve bits set (4415) is the sync mark
//   length:   n zero bits, a one bit, n bits v (n = 0..8): length 2^n + 1 + v, 2..512;
//             it follows every back-reference, never a sync mark
//   sync:     where the output has reached a multiple of 512 bytes, and once at the end
//             (a stream that ends on a multiple of 512 has the one end mark there)
//
// A copy may overlap what it produces (distance 1 repeats one byte). The writer keeps
// each copy inside its 512-byte block of output so that the sync marks can sit on the
// block boundaries, and pads the last byte with zero bits.
#include "bmof.h"

#include <algorithm>
#include <array>

namespace bmof {
namespace {

// The first two bits of a token as Get(2) returns them (the first bit read is bit 0).
constexpr uint32_t kNearCopy = 0b00, kHighLiteral = 0b01, kLowLiteral = 0b10, kFarCopy = 0b11;
constexpr uint32_t kSync = 0x113F;
constexpr size_t kBlock = 512;
constexpr size_t kMaxDistance = kSync - 1;
constexpr size_t kMaxLength = 512;
constexpr std::array<uint32_t, 9> kLengthBase = {2, 3, 5, 9, 17, 33, 65, 129, 257};

class BitReader {
public:
    explicit BitReader(ByteView s) : s_(s) {}
    uint32_t Get(unsigned n)
    {
        if (bit_ + n > s_.size() * 8)
            throw Error("DS stream truncated: it ends inside a token, before its end mark");
        uint32_t v = 0;
        for (unsigned i = 0; i < n; ++i, ++bit_)
            v |= uint32_t((s_[bit_ / 8] >> (bit_ % 8)) & 1) << i;
        return v;
    }
    size_t BytesUsed() const { return (bit_ + 7) / 8; }

private:
    ByteView s_;
    size_t bit_ = 0;
};

class BitWriter {
public:
    void Put(uint32_t v, unsigned n)
    {
        for (unsigned i = 0; i < n; ++i, ++bit_) {
            if (bit_ % 8 == 0)
                out_.push_back(0);
            out_.back() |= uint8_t(((v >> i) & 1) << (bit_ % 8));
        }
    }
    Bytes Take() { return std::move(out_); }

private:
    Bytes out_;
    size_t bit_ = 0;
};

unsigned LengthBucket(uint32_t length)
{
    unsigned n = 0;
    while (n + 1 < kLengthBase.size() && length >= kLengthBase[n + 1])
        ++n;
    return n;
}

unsigned LengthBits(uint32_t length) { return 2 * LengthBucket(length) + 1; }

// The distance classes: the bits a back-reference costs before its length.
enum DistanceClass { kNear, kMid, kFar, kClasses };
constexpr std::array<size_t, kClasses> kClassMax = {63, 319, kMaxDistance};
constexpr std::array<unsigned, kClasses> kClassBits = {2 + 6, 3 + 8, 3 + 12};

DistanceClass ClassOf(size_t distance)
{
    return distance <= kClassMax[kNear] ? kNear : distance <= kClassMax[kMid] ? kMid : kFar;
}

void PutDistance(BitWriter& w, uint32_t distance)
{
    switch (ClassOf(distance)) {
    case kNear:
        w.Put(kNearCopy, 2);
        w.Put(distance, 6);
        break;
    case kMid:
        w.Put(kFarCopy, 2);
        w.Put(0, 1);
        w.Put(distance - 64, 8);
        break;
    default:
        w.Put(kFarCopy, 2);
        w.Put(1, 1);
        w.Put(distance - 320, 12);
        break;
    }
}

void PutSync(BitWriter& w)
{
    w.Put(kFarCopy, 2);
    w.Put(1, 1);
    w.Put(kSync - 320, 12);
}

void PutLength(BitWriter& w, uint32_t length)
{
    unsigned n = LengthBucket(length);
    w.Put(0, n);
    w.Put(1, 1);
    w.Put(length - kLengthBase[n], n);
}

}  // namespace

Bytes DsCompress(ByteView data)
{
    const size_t n = data.size();
    // For each position, the longest match in each distance class, at the nearest
    // distance that reaches it; a match may not run past its 512-byte block.
    struct Match {
        uint32_t length = 0, distance = 0;
    };
    std::vector<std::array<Match, kClasses>> matches(n);
    std::vector<int64_t> head(1 << 16, -1), prev(n, -1);
    auto key = [&](size_t i) { return size_t(data[i]) << 8 | data[i + 1]; };
    for (size_t i = 0; i + 1 < n; ++i) {
        const size_t limit = std::min({kMaxLength, n - i, (i / kBlock + 1) * kBlock - i});
        int walked = 0;
        for (int64_t j = head[key(i)]; j >= 0 && i - size_t(j) <= kMaxDistance && walked < 1024;
             j = prev[size_t(j)], ++walked) {
            const size_t d = i - size_t(j);
            Match& m = matches[i][ClassOf(d)];
            if (m.length == limit) {
                if (ClassOf(d) == kFar)
                    break;  // nothing farther can do better
                continue;   // nor anything farther in this class
            }
            if (data[size_t(j) + m.length] != data[i + m.length])
                continue;  // cannot beat the class's best
            size_t len = 0;
            while (len < limit && data[size_t(j) + len] == data[i + len])
                ++len;
            if (len > m.length)
                m = {uint32_t(len), uint32_t(d)};
        }
        prev[i] = head[key(i)];
        head[key(i)] = int64_t(i);
    }

    // Cheapest encoding of each suffix, in bits; the sync marks cost the same for every
    // choice, so they stay out of the sums.
    std::array<uint8_t, kMaxLength + 1> lengthBits{};
    for (uint32_t len = 2; len <= kMaxLength; ++len)
        lengthBits[len] = uint8_t(LengthBits(len));
    std::vector<uint64_t> cost(n + 1, 0);
    std::vector<Match> choice(n + 1);
    for (size_t i = n; i-- > 0;) {
        cost[i] = 9 + cost[i + 1];
        choice[i] = {};
        // Each length from the cheapest class that reaches it.
        int c = 0;
        for (uint32_t len = 2;; ++len) {
            while (c < kClasses && matches[i][c].length < len)
                ++c;
            if (c == kClasses)
                break;
            const uint64_t total = kClassBits[c] + lengthBits[len] + cost[i + len];
            if (total < cost[i]) {
                cost[i] = total;
                choice[i] = {len, matches[i][c].distance};
            }
        }
    }

    BitWriter w;
    w.Put('D', 8);
    w.Put('S', 8);
    w.Put(0x00, 8);  // version 1, big-endian
    w.Put(0x01, 8);
    for (size_t i = 0; i < n;) {
        if (i != 0 && i % kBlock == 0)
            PutSync(w);
        if (choice[i].length == 0) {
            const uint8_t b = data[i];
            w.Put(b < 0x80 ? kLowLiteral : kHighLiteral, 2);
            w.Put(b & 0x7F, 7);
            ++i;
        } else {
            PutDistance(w, choice[i].distance);
            PutLength(w, choice[i].length);
            i += choice[i].length;
        }
    }
    PutSync(w);
    return w.Take();
}

Bytes DsDecompress(ByteView stream, size_t size)
{
    if (stream.size() < 4)
        throw Error("DS stream truncated: " + std::to_string(stream.size()) + " bytes, no room for its header");
    if (stream[0] != 'D' || stream[1] != 'S')
        throw Error("compressed data does not start with the DS signature");
    const unsigned version = unsigned(stream[2]) << 8 | stream[3];
    if (version != 1)
        throw Error("DS stream version " + std::to_string(version) + " is not supported (only 1)");

    BitReader r(stream.subspan(4));
    Bytes out;
    out.reserve(size);
    size_t synced = 0;  // the last block boundary whose sync mark has been read
    for (;;) {
        const uint32_t cmd = r.Get(2);
        // The platform's writer marks every block boundary; a stream without the mark
        // there was not made for the platform's reader.
        auto needSync = [&] {
            if (out.size() % kBlock == 0 && out.size() != 0 && synced != out.size())
                throw Error("DS stream lacks the sync mark at output byte " + std::to_string(out.size()));
        };
        if (cmd == kLowLiteral || cmd == kHighLiteral) {
            const uint32_t low = r.Get(7);
            if (out.size() >= size)
                throw Error("DS stream produces more than the " + std::to_string(size) + " bytes stated");
            needSync();
            out.push_back(uint8_t(cmd == kHighLiteral ? low | 0x80 : low));
            continue;
        }
        uint32_t distance = 0;
        if (cmd == kNearCopy)
            distance = r.Get(6);
        else if (r.Get(1))
            distance = r.Get(12) + 320;
        else
            distance = r.Get(8) + 64;

        if (distance == kSync) {
            if (out.size() == size)
                break;
            if (out.size() % kBlock != 0 || synced == out.size())
                throw Error("DS sync mark at output byte " + std::to_string(out.size()) +
                            ", not on a 512-byte boundary or repeated");
            synced = out.size();
            continue;
        }
        if (distance == 0)
            throw Error("DS back-reference with distance 0 at output byte " + std::to_string(out.size()));
        if (distance > out.size())
            throw Error("DS back-reference " + std::to_string(distance) + " bytes back from output byte " +
                        std::to_string(out.size()) + " reaches before the start");
        unsigned zeros = 0;
        while (r.Get(1) == 0)
            if (++zeros == kLengthBase.size())
                throw Error("DS length code with more than 8 leading zero bits");
        const size_t length = r.Get(zeros) + kLengthBase[zeros];
        if (length > size - out.size())
            throw Error("DS stream produces more than the " + std::to_string(size) + " bytes stated");
        needSync();
        if (out.size() / kBlock != (out.size() + length - 1) / kBlock)
            throw Error("DS copy at output byte " + std::to_string(out.size()) + " runs across a 512-byte boundary");
        for (size_t k = 0; k < length; ++k)
            out.push_back(out[out.size() - distance]);  // byte by byte: copies may overlap
    }
    const size_t used = 4 + r.BytesUsed();
    if (used != stream.size())
        throw Error("DS stream has " + std::to_string(stream.size() - used) + " bytes after its end mark");
    return out;
}

}  // namespace bmof
