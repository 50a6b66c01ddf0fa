// The byte ring: order, capacity, wrap-around, resize and storage.
#include <numeric>

#include "driver/pool_tags.h"
#include "rx/ring_buffer.h"
#include "support/kernel_test.h"

class Ring : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        RingInitialize(&ring);
    }
    void TearDown() override
    {
        RingFree(&ring);
        KernelTest::TearDown();
    }
    std::vector<UCHAR> Bytes(UCHAR first, size_t n)
    {
        std::vector<UCHAR> v(n);
        std::iota(v.begin(), v.end(), first);
        return v;
    }
    ULONG Put(const std::vector<UCHAR>& v) { return RingPut(&ring, v.data(), (ULONG)v.size()); }
    std::vector<UCHAR> Get(ULONG max)
    {
        std::vector<UCHAR> out(max);
        out.resize(RingGet(out.data(), &ring, max));
        return out;
    }
    RingBuffer ring;
};

TEST_F(Ring, WithoutStorageTakesAndGivesNothing)
{
    EXPECT_EQ(0u, ring.Size);
    EXPECT_EQ(0u, Put(Bytes(1, 3)));
    EXPECT_TRUE(Get(3).empty());
}

TEST_F(Ring, BytesLeaveInTheOrderTheyCame)
{
    ASSERT_EQ(STATUS_SUCCESS, RingAllocate(&ring, 8));
    EXPECT_EQ(8u, hk::OutstandingPoolBytes(TAG_CIRC));
    EXPECT_EQ(3u, Put(Bytes(1, 3)));
    EXPECT_EQ(2u, Put(Bytes(4, 2)));
    EXPECT_EQ(Bytes(1, 4), Get(4));
    EXPECT_EQ(Bytes(5, 1), Get(100)) << "a larger maximum gets what there is";
    EXPECT_EQ(0u, ring.Count);
    EXPECT_EQ(5u, ring.ReadIndex) << "an empty ring keeps its indices";
}

TEST_F(Ring, AFullRingRefusesAndAnOverlongPutTakesOnlyTheRoom)
{
    ASSERT_EQ(STATUS_SUCCESS, RingAllocate(&ring, 8));
    EXPECT_EQ(5u, Put(Bytes(1, 5)));
    EXPECT_EQ(3u, Put(Bytes(10, 10))) << "exactly Size - Count";
    EXPECT_EQ(0u, Put(Bytes(50, 1)));
    EXPECT_EQ(8u, ring.Count);
    std::vector<UCHAR> expected = Bytes(1, 5);
    for (UCHAR b : Bytes(10, 3)) expected.push_back(b);
    EXPECT_EQ(expected, Get(8));
}

TEST_F(Ring, APutEndingAtTheEndLeavesTheIndexAtSizeAndTheNextWrapsToTheStart)
{
    ASSERT_EQ(STATUS_SUCCESS, RingAllocate(&ring, 8));
    Put(Bytes(1, 8));
    EXPECT_EQ(8u, ring.WriteIndex);
    Get(3);
    EXPECT_EQ(2u, Put(Bytes(20, 2)));
    EXPECT_EQ(2u, ring.WriteIndex);
    std::vector<UCHAR> expected = {4, 5, 6, 7, 8, 20, 21};
    EXPECT_EQ(expected, Get(8));
    EXPECT_EQ(2u, ring.ReadIndex) << "a get across the end leaves ReadIndex at the bytes taken from the start";
}

TEST_F(Ring, ZeroLengthOperationsDoNotTouchTheLock)
{
    ASSERT_EQ(STATUS_SUCCESS, RingAllocate(&ring, 8));
    KIRQL old;
    KeAcquireSpinLock(&ring.Lock, &old);
    EXPECT_EQ(0u, RingPut(&ring, nullptr, 0));
    EXPECT_EQ(0u, RingGet(nullptr, &ring, 0));
    KeReleaseSpinLock(&ring.Lock, old);
    // Had either taken the lock, the verifier would have reported a re-acquisition.
}

TEST_F(Ring, ResizeKeepsWrappedContentInOrder)
{
    ASSERT_EQ(STATUS_SUCCESS, RingAllocate(&ring, 8));
    Put(Bytes(1, 6));
    Get(4);
    Put(Bytes(7, 5));  // 5,6 at the end; 7..11 wrapped
    ASSERT_EQ(7u, ring.Count);
    ASSERT_EQ(STATUS_SUCCESS, RingResize(&ring, 16));
    EXPECT_EQ(16u, ring.Size);
    EXPECT_EQ(0u, ring.ReadIndex);
    EXPECT_EQ(7u, ring.WriteIndex);
    EXPECT_EQ(16u, hk::OutstandingPoolBytes(TAG_CIRC)) << "the old storage is freed";
    EXPECT_EQ(Bytes(5, 7), Get(16));
}

TEST_F(Ring, ResizeOfAFullRingKeepsItsContentAndMakesRoom)
{
    ASSERT_EQ(STATUS_SUCCESS, RingAllocate(&ring, 8));
    ASSERT_EQ(8u, Put(Bytes(1, 8)));
    ASSERT_EQ(8u, ring.WriteIndex);
    ASSERT_EQ(STATUS_SUCCESS, RingResize(&ring, 12));
    EXPECT_EQ(8u, ring.Count);
    EXPECT_EQ(0u, ring.ReadIndex);
    EXPECT_EQ(8u, ring.WriteIndex);
    EXPECT_EQ(4u, Put(Bytes(9, 10))) << "exactly the new room";
    EXPECT_EQ(Bytes(1, 12), Get(20));
}

TEST_F(Ring, ResizeOfAFullRingThatWrapsKeepsEveryByteInOrder)
{
    ASSERT_EQ(STATUS_SUCCESS, RingAllocate(&ring, 8));
    Put(Bytes(1, 8));
    Get(5);
    ASSERT_EQ(5u, Put(Bytes(9, 5)));  // 6,7,8 at the end; 9..13 wrapped to the start
    ASSERT_EQ(8u, ring.Count);
    ASSERT_EQ(ring.ReadIndex, ring.WriteIndex) << "full, with both indices inside the storage";
    ASSERT_EQ(STATUS_SUCCESS, RingResize(&ring, 10));
    EXPECT_EQ(0u, ring.ReadIndex);
    EXPECT_EQ(8u, ring.WriteIndex);
    EXPECT_EQ(8u, ring.Count);
    EXPECT_EQ(2u, Put(Bytes(14, 5)));
    EXPECT_EQ(Bytes(6, 10), Get(20));
}

TEST_F(Ring, ResizeRefusesToShrinkAndKeepsEverythingWhenItCannotGrow)
{
    ASSERT_EQ(STATUS_SUCCESS, RingAllocate(&ring, 8));
    Put(Bytes(1, 3));
    PUCHAR storage = ring.Storage;
    EXPECT_EQ(STATUS_SUCCESS, RingResize(&ring, 8));
    EXPECT_EQ(storage, ring.Storage) << "the same size changes nothing";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RingResize(&ring, 4));
    hk::FailPoolAllocation(1, TAG_CIRC);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, RingResize(&ring, 32));
    EXPECT_EQ(8u, ring.Size);
    EXPECT_EQ(storage, ring.Storage);
    EXPECT_EQ(Bytes(1, 3), Get(8));
}

TEST_F(Ring, ResizeOfARingWithoutStorageAllocatesIt)
{
    ASSERT_EQ(STATUS_SUCCESS, RingResize(&ring, 4));
    EXPECT_EQ(4u, Put(Bytes(1, 9)));
}

TEST_F(Ring, AfterAResetPutsAndGetsStartAfreshFromPositionZero)
{
    ASSERT_EQ(STATUS_SUCCESS, RingAllocate(&ring, 8));
    Put(Bytes(1, 6));
    Get(2);  // ReadIndex 2, WriteIndex 6
    RingReset(&ring);
    EXPECT_EQ(0u, ring.Count);
    EXPECT_EQ(8u, ring.Size);
    EXPECT_EQ(0u, ring.ReadIndex);
    EXPECT_EQ(0u, ring.WriteIndex);
    EXPECT_EQ(3u, Put(Bytes(20, 3)));
    EXPECT_EQ(Bytes(20, 3), Get(8)) << "only what came after the reset";

    Put(Bytes(30, 8));
    ASSERT_EQ(8u, ring.Count);
    RingReset(&ring);
    EXPECT_EQ(8u, Put(Bytes(40, 8))) << "a reset full ring takes a whole ring again";
    EXPECT_EQ(Bytes(40, 8), Get(8));
}

TEST_F(Ring, FreeAndAllocateAgain)
{
    ASSERT_EQ(STATUS_SUCCESS, RingAllocate(&ring, 8));
    Put(Bytes(1, 5));
    RingFree(&ring);
    EXPECT_EQ(0u, ring.Size);
    EXPECT_EQ(0u, ring.Count);
    EXPECT_EQ(nullptr, ring.Storage);
    EXPECT_EQ(0u, hk::OutstandingPoolBytes(TAG_CIRC));
    EXPECT_EQ(0u, Put(Bytes(1, 1)));
    EXPECT_TRUE(Get(1).empty());
    RingFree(&ring);  // safe without storage
    hk::FailPoolAllocation(1, TAG_CIRC);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, RingAllocate(&ring, 8));
    EXPECT_EQ(0u, ring.Size);
    EXPECT_EQ(nullptr, ring.Storage);
    ASSERT_EQ(STATUS_SUCCESS, RingAllocate(&ring, 8));
    EXPECT_EQ(2u, Put(Bytes(1, 2)));
    EXPECT_EQ(Bytes(1, 2), Get(2));
}
