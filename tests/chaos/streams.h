// The numbered streams a chaos run sends through the driver, and the checks of what
// came out of it against them. Nothing here touches the kernel: the checks take the
// bytes and the outcomes the run collected.
//
// Every byte of a stream is a hash of the stream's salt and of its place, so a byte's
// value says nothing about its neighbours and any kWindow consecutive bytes name their
// place in the stream. A run of that length that was duplicated, reordered or taken
// from the wrong write is therefore found where it really stands, whatever gaps purges
// and failures left around it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace chaos {

using Bytes = std::vector<uint8_t>;

// The byte at place `k` of the stream named by `salt`. With `noFF` the value 0xFF never
// occurs: write streams leave it to the immediate character, so that one-byte transfers
// of 0xFF on the wire are told apart from write data.
uint8_t StreamByte(uint64_t salt, uint64_t k, bool noFF);
Bytes StreamBytes(uint64_t salt, uint64_t first, size_t n, bool noFF);

// How many consecutive bytes locate themselves in a stream.
constexpr size_t kWindow = 8;

// A stream with an index of its windows.
class Source {
public:
    static constexpr size_t npos = SIZE_MAX;
    Source() = default;
    explicit Source(Bytes bytes);
    const Bytes& bytes() const { return bytes_; }
    size_t size() const { return bytes_.size(); }
    // The place of the kWindow bytes at `p` in the stream, or npos.
    size_t Locate(const uint8_t* p) const;

private:
    Bytes bytes_;
    std::unordered_map<uint64_t, size_t> windows_;
};

// A check's outcome: empty when it holds, else what broke it.
struct Verdict {
    std::string failure;
    bool ok() const { return failure.empty(); }
};

// Places each byte of `got`, in order, at a strictly increasing place of `source` where
// `allowed` is true (allowed has the source's size). A byte that continues the previous
// byte's place takes the next place; one that does not is placed where the kWindow bytes
// from it stand in the stream (a window found before the last byte placed is a
// duplicate or a reordering; one found at a place not allowed is a byte that should not
// have been there); a byte whose window is not in the stream (a gap falls inside it) goes
// to the first allowed place after the last one with its value, the most lenient choice.
// So nothing is invented, and nothing of kWindow bytes or more is duplicated or
// reordered; shorter pieces next to gaps are checked only for order and value.
Verdict PlaceInOrder(const Source& source, const std::vector<bool>& allowed, const Bytes& got);

// ---- Reads -------------------------------------------------------------------------------

struct ReadOutcome {
    uint32_t length = 0;  // asked for
    bool cancelled = false;
    Bytes data;  // what it returned
};

// Reads in the order they entered the driver's queue against the stream the adapter
// delivered, when nothing but a cancel can have lost bytes: each read continues where
// the one before it stopped, except that after cancelled reads (which report nothing but
// may have taken bytes while current) the stream may skip ahead by at most what those
// reads asked for. With `whole`, the reads end at the stream's end.
Verdict CheckReadsExact(const Source& stream, const std::vector<ReadOutcome>& reads, bool whole);

// ---- Writes ------------------------------------------------------------------------------

// What a write's outcome says about its bytes on the wire.
struct WriteOutcome {
    uint64_t offset = 0;  // its first byte's place in the write stream
    uint32_t length = 0;
    int32_t status = 0;  // NTSTATUS
    uint32_t information = 0;
};

// Direct mode: each pipe write carries one whole application write, so each non-empty
// transfer (zero-length packets and immediate characters taken out) must be one write's
// bytes, in write order, each at most once. A write that reported every byte sent must
// be there; one that ended with success and nothing sent, or (with `exact`: no purge,
// power cycle, pipe failure or removal) one that reported nothing, must not be; any
// other may be there whole or not at all. A direct write reports all or nothing.
Verdict CheckDirectWrites(const Source& stream, const std::vector<WriteOutcome>& writes,
                          const std::vector<Bytes>& transfers, bool exact);

// Buffered mode, with `exact`: the bytes on the wire are, write after write, exactly the
// bytes each write reported copied, where a cancelled write (which reports none) may
// have left a prefix of itself shorter than its length. Without `exact`: purges, power
// cycles and failed transfers drop pieces of the ring, so the wire only has to be an
// ordered part of the writes' reported bytes (PlaceInOrder), a cancelled write counting
// with all its bytes.
Verdict CheckBufferedWrites(const Source& stream, const std::vector<WriteOutcome>& writes, const Bytes& wire,
                            bool exact);

}  // namespace chaos
