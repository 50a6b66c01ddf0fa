// RingBuffer operations. Each runs under the ring's own lock and copies with at
// most two block copies: the part up to the end of the storage, then the part that
// wraps to its start.
#include "rx/ring_buffer.h"

#include "driver/pool_tags.h"

// PASSIVE_LEVEL, once per ring at device creation; takes no lock.
VOID RingInitialize(RingBuffer* Ring)
{
    KeInitializeSpinLock(&Ring->Lock);
    Ring->Size = 0;
    Ring->Count = 0;
    Ring->ReadIndex = 0;
    Ring->WriteIndex = 0;
    Ring->Storage = nullptr;
}

// <= DISPATCH_LEVEL; takes the ring lock. The caller frees earlier storage first.
NTSTATUS RingAllocate(RingBuffer* Ring, ULONG Size)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Ring->Lock, &oldIrql);
    Ring->Count = 0;
    Ring->ReadIndex = 0;
    Ring->WriteIndex = 0;
    Ring->Storage = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Size, TAG_CIRC);
    Ring->Size = Ring->Storage ? Size : 0;
    NTSTATUS status = Ring->Storage ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    KeReleaseSpinLock(&Ring->Lock, oldIrql);
    return status;
}

// <= DISPATCH_LEVEL; takes the ring lock. Grows the ring and keeps its content, oldest
// byte first at the start of the new storage.
NTSTATUS RingResize(RingBuffer* Ring, ULONG NewSize)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Ring->Lock, &oldIrql);
    NTSTATUS status = STATUS_SUCCESS;
    if (NewSize < Ring->Size) {
        status = STATUS_INVALID_PARAMETER;
    } else if (NewSize > Ring->Size) {
        PUCHAR storage = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, NewSize, TAG_CIRC);
        if (!storage) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            if (Ring->Storage) {
                ULONG tail = Ring->Size - Ring->ReadIndex;
                ULONG first = Ring->Count < tail ? Ring->Count : tail;
                RtlCopyMemory(storage, Ring->Storage + Ring->ReadIndex, first);
                RtlCopyMemory(storage + first, Ring->Storage, Ring->Count - first);
                ExFreePoolWithTag(Ring->Storage, TAG_CIRC);
                Ring->ReadIndex = 0;
                Ring->WriteIndex = Ring->Count;
            } else {
                Ring->Count = 0;
                Ring->ReadIndex = 0;
                Ring->WriteIndex = 0;
            }
            Ring->Size = NewSize;
            Ring->Storage = storage;
        }
    }
    KeReleaseSpinLock(&Ring->Lock, oldIrql);
    return status;
}

// <= DISPATCH_LEVEL; takes the ring lock. Safe on a ring without storage.
VOID RingFree(RingBuffer* Ring)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Ring->Lock, &oldIrql);
    PUCHAR storage = Ring->Storage;
    Ring->Count = 0;
    Ring->ReadIndex = 0;
    Ring->WriteIndex = 0;
    Ring->Size = 0;
    Ring->Storage = nullptr;
    KeReleaseSpinLock(&Ring->Lock, oldIrql);
    if (storage) ExFreePoolWithTag(storage, TAG_CIRC);
}

// <= DISPATCH_LEVEL; takes the ring lock. Discards the content, keeps the storage.
VOID RingReset(RingBuffer* Ring)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Ring->Lock, &oldIrql);
    Ring->Count = 0;
    Ring->ReadIndex = 0;
    Ring->WriteIndex = 0;
    KeReleaseSpinLock(&Ring->Lock, oldIrql);
}

// <= DISPATCH_LEVEL; takes the ring lock unless Length is 0. Returns the bytes taken;
// nothing held is ever overwritten.
ULONG RingPut(RingBuffer* Ring, const UCHAR* Source, ULONG Length)
{
    if (Length == 0) return 0;
    KIRQL oldIrql;
    KeAcquireSpinLock(&Ring->Lock, &oldIrql);
    ULONG n = 0;
    if (Ring->Count < Ring->Size && Ring->Storage) {
        ULONG room = Ring->Size - Ring->Count;
        n = Length < room ? Length : room;
        ULONG tail = Ring->Size - Ring->WriteIndex;
        ULONG first = n < tail ? n : tail;
        RtlCopyMemory(Ring->Storage + Ring->WriteIndex, Source, first);
        if (first == n) {
            Ring->WriteIndex += n;
        } else {
            RtlCopyMemory(Ring->Storage, Source + first, n - first);
            Ring->WriteIndex = n - first;
        }
        Ring->Count += n;
    }
    KeReleaseSpinLock(&Ring->Lock, oldIrql);
    return n;
}

// <= DISPATCH_LEVEL; takes the ring lock unless Maximum is 0. Returns the bytes copied,
// oldest first.
ULONG RingGet(PUCHAR Destination, RingBuffer* Ring, ULONG Maximum)
{
    if (Maximum == 0) return 0;
    KIRQL oldIrql;
    KeAcquireSpinLock(&Ring->Lock, &oldIrql);
    ULONG n = 0;
    if (Ring->Count != 0) {
        n = Maximum < Ring->Count ? Maximum : Ring->Count;
        ULONG tail = Ring->Size - Ring->ReadIndex;
        ULONG first = n < tail ? n : tail;
        RtlCopyMemory(Destination, Ring->Storage + Ring->ReadIndex, first);
        if (first == n) {
            Ring->ReadIndex += n;
        } else {
            RtlCopyMemory(Destination + first, Ring->Storage, n - first);
            Ring->ReadIndex = n - first;
        }
        Ring->Count -= n;
    }
    KeReleaseSpinLock(&Ring->Lock, oldIrql);
    return n;
}

ULONG RingCount(RingBuffer* Ring)
{
    KIRQL irql;
    KeAcquireSpinLock(&Ring->Lock, &irql);
    ULONG count = Ring->Count;
    KeReleaseSpinLock(&Ring->Lock, irql);
    return count;
}
