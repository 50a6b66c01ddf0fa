// The immediate character: one byte handed to the pipe driver at once, ahead of a
// write the pipe driver holds or bytes waiting in TxRing; one at a time per port; the
// pipe driver's answer goes up as it is; SERIAL_EV_TXEMPTY when nothing else waits.
#include "driver/sim_fixture.h"

using pipesim::Fault;
using pipesim::Kind;
using pipesim::Pipe;

namespace {

Bytes Dword(ULONG v) { return {(UCHAR)v, (UCHAR)(v >> 8), (UCHAR)(v >> 16), (UCHAR)(v >> 24)}; }
ULONG DwordAt(const Bytes& b, size_t at) { return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | ((ULONG)b[at + 3] << 24); }

void ExpectDone(const hk::Request& r, NTSTATUS status, ULONG_PTR information)
{
    ASSERT_TRUE(r.Done());
    EXPECT_EQ(status, r.Status());
    EXPECT_EQ(information, r.Information());
}
}  // namespace

class ImmediateChar : public SimPortTest {
protected:
    void SetUp() override
    {
        SimPortTest::SetUp();
        Open(false);
    }
    void Open(bool buffered)
    {
        if (file) file->Close();
        file.reset();
        if (stack) stack->Remove();
        pipesim::Options o;
        if (buffered) o.registry.push_back(Dword(u"TxAsync", 1));
        ASSERT_EQ(STATUS_SUCCESS, AddAdapter(std::move(o)));
        ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
        ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
        sim->ClearRecords();
    }
    void TearDown() override
    {
        if (file) {
            EXPECT_EQ(0u, Port()->CommStatus.AmountInOutQueue) << "every byte given back";
            EXPECT_EQ(0, Port()->CommStatus.WaitForImmediate);
            file->Close();
        }
        file.reset();
        SimPortTest::TearDown();
    }
    std::shared_ptr<hk::Request> Send(Bytes input) { return file->StartIoctl(IOCTL_SERIAL_IMMEDIATE_CHAR, input, 0); }
    // The pipe writes that reached the pipe driver: their lengths, each on DataOut.
    std::vector<ULONG> PipeWrites() const
    {
        std::vector<ULONG> lengths;
        for (const auto& a : sim->Arrivals())
            if (a.major == IRP_MJ_DEVICE_CONTROL && a.code == pipesim::kIoctlPipeWrite) {
                EXPECT_EQ((int)Pipe::DataOut, a.pipe);
                lengths.push_back(a.length);
            }
        return lengths;
    }
    // A pending wait for SERIAL_EV_TXEMPTY.
    std::shared_ptr<hk::Request> WaitForTxEmpty()
    {
        EXPECT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_WAIT_MASK, Dword(SERIAL_EV_TXEMPTY), 0)->Status());
        auto wait = file->StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
        EXPECT_FALSE(wait->Done());
        return wait;
    }
    // The 20-byte communication status.
    Bytes CommStatus()
    {
        auto r = file->StartIoctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20);
        EXPECT_EQ(STATUS_SUCCESS, r->Status());
        EXPECT_EQ(20u, r->Output().size());
        return r->Output().size() == 20 ? r->Output() : Bytes(20, 0xEE);
    }
    ULONG TransmittedCount()
    {
        auto r = file->StartIoctl(IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS));
        EXPECT_EQ(sizeof(SERIALPERF_STATS), r->Output().size());
        return r->Output().size() == sizeof(SERIALPERF_STATS) ? DwordAt(r->Output(), 4) : 0xEEEEEEEE;
    }
    std::unique_ptr<hk::File> file;
};

TEST_F(ImmediateChar, AnEmptyInputIsRefusedAndNothingIsSent)
{
    ExpectDone(*Send({}), STATUS_INVALID_PARAMETER, 0);
    EXPECT_TRUE(PipeWrites().empty());
    ExpectDone(*Send({'x'}), STATUS_SUCCESS, 1);  // nothing left marked in flight
}

TEST_F(ImmediateChar, GoesAheadOfAHeldDirectWriteWithoutPostingTxEmptyWhileItWaits)
{
    auto wait = WaitForTxEmpty();
    sim->HoldNext(Kind::Write);
    auto write = file->StartWrite(Sequence(10));
    ASSERT_FALSE(write->Done());

    ExpectDone(*Send({'!', 'x'}), STATUS_SUCCESS, 1);
    EXPECT_EQ((std::vector<ULONG>{10, 1}), PipeWrites()) << "both with the pipe driver at once";
    EXPECT_EQ(std::vector<Bytes>{Bytes{'!'}}, sim->OutTransfers()) << "only the first byte of the input";
    EXPECT_FALSE(wait->Done()) << "the held write still waits";
    EXPECT_EQ(10u, DwordAt(CommStatus(), 12));

    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 10));
    ExpectDone(*write, STATUS_SUCCESS, 10);
    ExpectDone(*wait, STATUS_SUCCESS, sizeof(ULONG));
    EXPECT_EQ(Dword(SERIAL_EV_TXEMPTY), wait->Output());
    EXPECT_EQ((std::vector<Bytes>{Bytes{'!'}, Sequence(10)}), sim->OutTransfers());
    EXPECT_EQ(11u, TransmittedCount());
}

TEST_F(ImmediateChar, GoesAheadOfBytesWaitingInTheBufferedRing)
{
    Open(true);
    sim->HoldNext(Kind::Write);
    ExpectDone(*file->StartWrite(Sequence(100)), STATUS_SUCCESS, 100);  // in flight, held
    ExpectDone(*file->StartWrite(Sequence(3, 100)), STATUS_SUCCESS, 3);  // waits in the ring
    EXPECT_EQ(3u, DwordAt(CommStatus(), 12));

    ExpectDone(*Send({'!'}), STATUS_SUCCESS, 1);
    EXPECT_EQ((std::vector<ULONG>{100, 1}), PipeWrites());
    EXPECT_EQ(std::vector<Bytes>{Bytes{'!'}}, sim->OutTransfers());

    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 100));
    hk::AdvanceMs(10);
    EXPECT_EQ((std::vector<Bytes>{Bytes{'!'}, Sequence(100), Sequence(3, 100)}), sim->OutTransfers());
    EXPECT_EQ((std::vector<ULONG>{100, 1, 3}), PipeWrites());
}

TEST_F(ImmediateChar, OneInFlightAtATimeShownInTheCommStatusAndTxEmptyWhenItEnds)
{
    auto wait = WaitForTxEmpty();
    sim->HoldNext(Kind::Write);
    auto first = Send({'A'});
    ASSERT_FALSE(first->Done());
    Bytes status = CommStatus();
    EXPECT_EQ(1, status[17]) << "the immediate-waiting byte";
    EXPECT_EQ(1u, DwordAt(status, 12)) << "counted in the output queue";

    ExpectDone(*Send({'B'}), STATUS_INVALID_PARAMETER, 0);
    EXPECT_FALSE(first->Done());
    EXPECT_EQ(std::vector<ULONG>{1}, PipeWrites()) << "the second never reached the pipe driver";
    EXPECT_FALSE(wait->Done());
    EXPECT_EQ(1, CommStatus()[17]) << "the refusal leaves the first marked";

    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 1));
    ExpectDone(*first, STATUS_SUCCESS, 1);
    ExpectDone(*wait, STATUS_SUCCESS, sizeof(ULONG));
    EXPECT_EQ(Dword(SERIAL_EV_TXEMPTY), wait->Output());
    status = CommStatus();
    EXPECT_EQ(0, status[17]);
    EXPECT_EQ(0u, DwordAt(status, 12));

    ExpectDone(*Send({'C'}), STATUS_SUCCESS, 1);
    EXPECT_EQ((Bytes{'A', 'C'}), sim->OutBytes());
    EXPECT_EQ(2u, TransmittedCount());
}

TEST_F(ImmediateChar, ThePipeDriversAnswerGoesUpUnchangedAndTheNextIsAccepted)
{
    sim->HoldNext(Kind::Write);
    auto held = Send({'A'});
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_DEVICE_NOT_CONNECTED, 0));
    ExpectDone(*held, STATUS_DEVICE_NOT_CONNECTED, 0);
    EXPECT_EQ(0, CommStatus()[17]);

    Fault failed;
    failed.status = STATUS_DEVICE_DATA_ERROR;
    failed.times = 1;
    sim->InjectFault(Pipe::DataOut, Kind::Write, failed);
    ExpectDone(*Send({'B'}), STATUS_DEVICE_DATA_ERROR, 0);

    Fault none;
    none.zeroBytes = true;
    none.times = 1;
    sim->InjectFault(Pipe::DataOut, Kind::Write, none);
    ExpectDone(*Send({'C'}), STATUS_SUCCESS, 0);  // the count the pipe driver reported

    ExpectDone(*Send({'D'}), STATUS_SUCCESS, 1);
    EXPECT_EQ((std::vector<ULONG>{1, 1, 1, 1}), PipeWrites());
    EXPECT_EQ(1u, TransmittedCount()) << "only what the pipe driver reported sent";
}
