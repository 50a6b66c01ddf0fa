// Status-line polling: how the adapter's line reports become ModemStatus and line
// events, the pace of the status reads, how a close stops them, how a failed read
// ends them, and an adapter whose status pipe is not read.
#include "driver/sim_fixture.h"
#include "lines/status_polling.h"

using pipesim::Kind;
using pipesim::Pipe;

namespace {

// The modem status register's line bits, as a 16550 lays them out.
constexpr ULONG kCts = 0x10;
constexpr ULONG kDsr = 0x20;
constexpr ULONG kRi = 0x40;
constexpr ULONG kDcd = 0x80;
constexpr ULONG kLineEvents = SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING;
constexpr LONGLONG kMs = 10000;

Bytes Le32(ULONG v) { return {(UCHAR)v, (UCHAR)(v >> 8), (UCHAR)(v >> 16), (UCHAR)(v >> 24)}; }

}  // namespace

class StatusPolling : public SimPortTest {
protected:
    void TearDown() override
    {
        if (file) file->Close();
        file.reset();
        SimPortTest::TearDown();
    }

    // A started adapter whose lines read `lines`, polled every `period` ms, and the
    // port opened on it.
    void Open(ULONG period, UCHAR lines, ULONG endPointCaps = 1)
    {
        pipesim::Options o;
        o.registry = {Dword(u"EndPointCaps", endPointCaps), Dword(u"CtlPollPeriod", period)};
        ASSERT_EQ(STATUS_SUCCESS, AddAdapter(std::move(o)));
        ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
        sim->SetLines(lines);
        Reopen();
    }
    // Opens the port and waits on the four line events.
    void Reopen()
    {
        ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
        auto r = file->StartIoctl(IOCTL_SERIAL_SET_WAIT_MASK, Le32(kLineEvents), 0);
        ASSERT_TRUE(r->Done());
        ASSERT_EQ(STATUS_SUCCESS, r->Status());
    }
    // Closes the handle; the virtual milliseconds the close took.
    LONGLONG CloseMs()
    {
        LONGLONG start = hk::Now();
        EXPECT_EQ(STATUS_SUCCESS, file->Close());
        file.reset();
        return (hk::Now() - start) / kMs;
    }
    // Closes the handle and removes the adapter, for a test that adds another.
    void Unplug()
    {
        if (file) file->Close();
        file.reset();
        stack->Remove();
        port = nullptr;
    }

    ULONG ModemStatus()
    {
        ULONG value = 0, returned = 0;
        NTSTATUS status = file->Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &value, sizeof value, &returned);
        if (status == STATUS_NOT_SUPPORTED) return Port()->ModemStatus;  // no request answers it yet
        EXPECT_EQ(STATUS_SUCCESS, status);
        EXPECT_EQ(sizeof value, returned);
        return value;
    }
    // The events posted since the last call: a wait answers at once with them, or is
    // cancelled when there are none.
    ULONG TakeEvents()
    {
        auto wait = file->StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
        if (!wait->Done()) {
            EXPECT_TRUE(wait->Cancel());
            return 0;
        }
        return EventsOf(*wait);
    }
    static ULONG EventsOf(const hk::Request& wait)
    {
        EXPECT_EQ(STATUS_SUCCESS, wait.Status());
        const Bytes& out = wait.Output();
        if (out.size() != sizeof(ULONG)) {
            ADD_FAILURE() << "returned " << out.size() << " bytes";
            return 0xDEADBEEF;
        }
        return out[0] | (out[1] << 8) | (out[2] << 16) | ((ULONG)out[3] << 24);
    }
    int StatusReads() const
    {
        int n = 0;
        for (auto& a : sim->Arrivals()) n += a.major == IRP_MJ_READ && a.pipe == (int)Pipe::Status;
        return n;
    }

    std::unique_ptr<hk::File> file;
};

// ---- Reports, ModemStatus and events ----------------------------------------------------

TEST_F(StatusPolling, TheReportAtEachOpenSetsModemStatusWithoutAnEvent)
{
    Open(10, pipesim::LINE_CTS | pipesim::LINE_DCD);
    EXPECT_EQ(kCts | kDcd, ModemStatus()) << "before any poll";
    EXPECT_EQ(0u, TakeEvents());
    hk::AdvanceMs(10);
    EXPECT_EQ(kCts | kDcd, ModemStatus());
    EXPECT_EQ(0u, TakeEvents()) << "the first poll found what the open read";

    // The next open reads the lines afresh and again posts nothing for them.
    file->Close();
    sim->SetLines(pipesim::LINE_DSR);
    Reopen();
    EXPECT_EQ(kDsr, ModemStatus());
    EXPECT_EQ(0u, TakeEvents());
    hk::AdvanceMs(10);
    EXPECT_EQ(0u, TakeEvents());
}

TEST_F(StatusPolling, EachLineThatChangesPostsItsEventAndTheHighFourBitsMeanNothing)
{
    Open(10, 0);
    // A pending wait is answered by the poll that sees the change.
    auto wait = file->StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    ASSERT_FALSE(wait->Done());
    sim->SetLines(0x01);
    hk::AdvanceMs(10);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ((ULONG)SERIAL_EV_CTS, EventsOf(*wait));
    EXPECT_EQ(kCts, ModemStatus());

    struct Step {
        UCHAR lines;
        ULONG modemStatus;
        ULONG events;
    };
    const Step steps[] = {
        {0x01, kCts, 0},  // the same report again
        {0x03, kCts | kDsr, SERIAL_EV_DSR},
        {0x07, kCts | kDsr | kDcd, SERIAL_EV_RLSD},
        {0x00, 0, SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD},  // falling edges too
        {0x08, kRi, SERIAL_EV_RING},
        {0x00, 0, SERIAL_EV_RING},  // the ring's trailing edge as well
        {0xF0, 0, 0},
        {0x0F, kCts | kDsr | kRi | kDcd, 0x0138},  // all four in one report
        {0xFF, kCts | kDsr | kRi | kDcd, 0},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << "lines 0x" << std::hex << (int)s.lines);
        sim->SetLines(s.lines);
        hk::AdvanceMs(10);
        EXPECT_EQ(s.modemStatus, ModemStatus());
        EXPECT_EQ(s.events, TakeEvents());
    }
}

// ---- Pace -------------------------------------------------------------------------------

TEST_F(StatusPolling, ReadsFollowEachOtherByThePollPeriod)
{
    Open(10, 0);
    int reads = StatusReads();
    EXPECT_EQ(1, reads) << "the open's";
    for (int i = 0; i < 5; ++i) {
        hk::AdvanceMs(9);
        EXPECT_EQ(reads, StatusReads());
        hk::AdvanceMs(1);
        EXPECT_EQ(++reads, StatusReads());
    }
}

TEST_F(StatusPolling, WithPeriodZeroEachReadFollowsTheLastAtOnceHoweverTheAdapterCompletesIt)
{
    // An adapter that answers every status read inside the call: the chain must not
    // nest without bound, and goes on from a DPC a tick later.
    Open(0, 0);
    int reads = StatusReads();
    EXPECT_GE(reads, 2);
    struct Step {
        UCHAR lines;
        ULONG modemStatus;
        ULONG events;
    };
    for (const Step& s : {Step{0x01, kCts, SERIAL_EV_CTS}, Step{0x03, kCts | kDsr, SERIAL_EV_DSR},
                          Step{0x00, 0, SERIAL_EV_CTS | SERIAL_EV_DSR}}) {
        SCOPED_TRACE((int)s.lines);
        sim->SetLines(s.lines);
        hk::AdvanceMs(1);
        EXPECT_GT(StatusReads(), reads);
        reads = StatusReads();
        EXPECT_EQ(s.modemStatus, ModemStatus());
        EXPECT_EQ(s.events, TakeEvents());
    }
    ExpectClean();

    // One that answers 5 ms later: a read every 5 ms, no wait in between.
    sim->CompleteLater(Kind::Read, 5 * kMs);
    hk::AdvanceMs(1);
    reads = StatusReads();
    hk::AdvanceMs(50);
    EXPECT_EQ(reads + 10, StatusReads());
    sim->SetLines(pipesim::LINE_RI);  // the outstanding read has the lines as they were
    hk::AdvanceMs(10);
    EXPECT_EQ(kRi, ModemStatus());
    EXPECT_EQ((ULONG)SERIAL_EV_RING, TakeEvents());
}

// ---- Stop -------------------------------------------------------------------------------

TEST_F(StatusPolling, ACloseEndsAnOutstandingReadAtOnceAndAWaitingTimerWhenItExpires)
{
    Open(500, 0);
    hk::AdvanceMs(500);
    int reads = StatusReads();
    ASSERT_EQ(2, reads);
    // The read has just completed and the timer waits 500 ms for the next one.
    EXPECT_EQ(500, CloseMs());
    hk::AdvanceMs(1000);
    EXPECT_EQ(reads, StatusReads()) << "the timer that ended the chain issued no read";

    // A read the adapter does not answer is ended by the close's abort.
    Reopen();
    pipesim::Fault stall;
    stall.stall = true;
    stall.times = 1;
    sim->InjectFault(Pipe::Status, Kind::Read, stall);
    hk::AdvanceMs(500);
    reads = StatusReads();
    ASSERT_EQ(1u, sim->Outstanding(Pipe::Status));
    EXPECT_EQ(0, CloseMs());
    EXPECT_EQ(0u, sim->Outstanding(Pipe::Status));
    hk::AdvanceMs(1000);
    EXPECT_EQ(reads, StatusReads());
}

// ---- Failures ---------------------------------------------------------------------------

TEST_F(StatusPolling, AFailedReadEndsPollingUntilTheNextOpenButACancelledOneDoesNot)
{
    Open(10, pipesim::LINE_CTS);
    pipesim::Fault f;
    f.status = STATUS_CANCELLED;
    f.times = 1;
    sim->InjectFault(Pipe::Status, Kind::Read, f);
    sim->SetLines(pipesim::LINE_CTS | pipesim::LINE_DSR);
    hk::AdvanceMs(10);
    EXPECT_EQ(kCts, ModemStatus()) << "a cancelled read reports nothing";
    EXPECT_EQ(0u, TakeEvents());
    int reads = StatusReads();
    hk::AdvanceMs(10);
    EXPECT_EQ(reads + 1, StatusReads());
    EXPECT_EQ(kCts | kDsr, ModemStatus());
    EXPECT_EQ((ULONG)SERIAL_EV_DSR, TakeEvents());

    f.status = STATUS_DEVICE_DATA_ERROR;
    sim->InjectFault(Pipe::Status, Kind::Read, f);
    sim->SetLines(pipesim::LINE_DCD);
    hk::AdvanceMs(10);
    reads = StatusReads();
    hk::AdvanceMs(100);
    EXPECT_EQ(reads, StatusReads()) << "no read after the failed one";
    EXPECT_EQ(kCts | kDsr, ModemStatus()) << "the last report stands";
    EXPECT_EQ(0u, TakeEvents());

    EXPECT_EQ(0, CloseMs());
    Reopen();
    EXPECT_EQ(kDcd, ModemStatus());
    sim->SetLines(0);
    hk::AdvanceMs(10);
    EXPECT_EQ(reads + 2, StatusReads());
    EXPECT_EQ(0u, ModemStatus());
    EXPECT_EQ((ULONG)SERIAL_EV_RLSD, TakeEvents());
}

TEST_F(StatusPolling, AReadThatCannotBeBuiltIsTriedAgainAndLeavesNothingBehind)
{
    // With a period the read comes from the timer's DPC; without, from the completion
    // of the one before. Either way the next try comes from the timer.
    struct Case {
        ULONG period;
        int nth;  // the IRP allocation that fails
    };
    for (const Case& c : {Case{10, 1}, Case{0, 2}}) {
        SCOPED_TRACE(c.period);
        Open(c.period, pipesim::LINE_CTS);
        hk::FailIrpAllocation(c.nth);
        sim->SetLines(pipesim::LINE_DSR);
        hk::AdvanceMs(c.period ? c.period : 1);
        hk::ClearFaults();
        int reads = StatusReads();
        hk::AdvanceMs(100);
        EXPECT_GT(StatusReads(), reads) << "the polling goes on";
        EXPECT_EQ(kDsr, ModemStatus());
        EXPECT_LE(CloseMs(), 10) << "a chain on its timer sees the stop when the timer expires";
        EXPECT_EQ(0u, hk::OutstandingIrps());
        EXPECT_EQ(0u, hk::OutstandingMdls());
        Unplug();
    }
}

// ---- No status pipe read ----------------------------------------------------------------

TEST_F(StatusPolling, WithoutAPolledStatusPipeTheLinesStayFixedAndNothingIsRead)
{
    struct Case {
        ULONG endPointCaps;
        ULONG period;
    };
    for (const Case& c : {Case{0, 10}, Case{1, (ULONG)-1}}) {
        SCOPED_TRACE(c.endPointCaps);
        Open(c.period, 0, c.endPointCaps);
        EXPECT_EQ(kCts | kDsr | kDcd, ModemStatus());
        sim->SetLines(pipesim::LINE_RI);
        hk::AdvanceMs(100);
        EXPECT_EQ(kCts | kDsr | kDcd, ModemStatus());
        EXPECT_EQ(0u, TakeEvents());
        for (const auto& a : sim->Arrivals())
            EXPECT_TRUE(a.major != IRP_MJ_READ || a.pipe == (int)Pipe::DataIn) << "a read on pipe " << a.pipe;
        EXPECT_EQ(0, CloseMs());
        Unplug();
    }
}

// A start that meets a stop still waiting for the chain's timer begins only once the
// old chain has ended, and then runs one chain; a stop during it returns only then.
TEST_F(StatusPolling, AStartDuringAStopWaitsForTheOldChainAndRunsOneNewOne)
{
    ASSERT_NO_FATAL_FAILURE(Open(500, 0));
    hk::Thread stopper([&] { StopStatusPolling(Port()); });
    hk::YieldToOthers();
    ASSERT_FALSE(stopper.Finished()) << "the chain waits on its timer";
    NTSTATUS started = STATUS_PENDING;
    hk::Thread starter([&] { started = StartStatusPolling(Port()); });
    hk::YieldToOthers();
    EXPECT_FALSE(starter.Finished()) << "a start does not slip into a stop under way";
    stopper.Join();
    starter.Join();
    EXPECT_EQ(STATUS_SUCCESS, started);
    int reads = StatusReads();
    hk::AdvanceMs(500);
    EXPECT_EQ(reads + 1, StatusReads()) << "one chain, one read per period";
    hk::AdvanceMs(500);
    EXPECT_EQ(reads + 2, StatusReads());
}
