// RingBuffer: the driver's byte queue. Fixed capacity in nonpaged pool, its own
// spin lock, never overwrites: a put takes only what fits and says how much.
#pragma once

#include "platform/kernel.h"

struct RingBuffer {
    KSPIN_LOCK Lock;   // guards every other field; always the innermost lock
    ULONG Size;        // capacity in bytes; 0 while there is no storage
    ULONG Count;       // bytes held, 0..Size
    ULONG ReadIndex;   // oldest byte, 0..Size (Size means the same place as 0)
    ULONG WriteIndex;  // where the next byte goes, 0..Size
    PUCHAR Storage;    // Size bytes of nonpaged pool tagged "circ", or null
};

// Any IRQL up to DISPATCH_LEVEL for all but RingInitialize (passive, no lock).
VOID RingInitialize(RingBuffer* Ring);
NTSTATUS RingAllocate(RingBuffer* Ring, ULONG Size);
NTSTATUS RingResize(RingBuffer* Ring, ULONG NewSize);
VOID RingFree(RingBuffer* Ring);
VOID RingReset(RingBuffer* Ring);
ULONG RingPut(RingBuffer* Ring, const UCHAR* Source, ULONG Length);
ULONG RingGet(PUCHAR Destination, RingBuffer* Ring, ULONG Maximum);
// The bytes held now (under the ring's lock, so it is a value the ring really had).
ULONG RingCount(RingBuffer* Ring);
