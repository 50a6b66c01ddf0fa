// Every allocation failure in a full life of a device: what failing allocations
// showed, each pinned by a test of its own.
#include "driver/sim_fixture.h"

using pipesim::Pipe;

namespace {

Bytes Le32(ULONG v) { return {(UCHAR)v, (UCHAR)(v >> 8), (UCHAR)(v >> 16), (UCHAR)(v >> 24)}; }
ULONG Le32At(const Bytes& b, size_t at)
{
    return at + 4 <= b.size() ? b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | ((ULONG)b[at + 3] << 24) : 0xFFFFFFFF;
}

}  // namespace

// ---- What the sweep found ---------------------------------------------------------------

// An open port on a simulated adapter, with reads that end when full or after a second.
class AfterAnAllocationFailure : public SimPortTest {
protected:
    void Open(std::vector<hk::RegistryValue> values)
    {
        pipesim::Options o;
        o.registry = std::move(values);
        ASSERT_EQ(STATUS_SUCCESS, AddAdapter(std::move(o)));
        ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
        ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
        SERIAL_TIMEOUTS t{0, 0, 1000, 0, 0};
        ASSERT_EQ(STATUS_SUCCESS, file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, nullptr, 0, nullptr));
        hk::RecordAllocations(true);
    }
    void TearDown() override
    {
        hk::ClearFaults();
        if (file) file->Close();
        file.reset();
        SimPortTest::TearDown();
    }
    // The allocation made `from` allocations into the record failed, and was a pipe read's.
    void ExpectFailedRead(size_t at)
    {
        auto record = hk::RecordedAllocations();
        ASSERT_LT(at, record.size());
        EXPECT_TRUE(record[at].failed);
        EXPECT_STREQ("IoBuildAsynchronousFsdRequest", record[at].routine) << hk::Describe(record[at]);
    }
    std::unique_ptr<hk::File> file;
};

TEST_F(AfterAnAllocationFailure, TheReceivePumpTriesTheReadAgainSoLaterDataStillArrives)
{
    Open({});  // no status pipe: the receive pump's reads are the only ones
    for (unsigned long which : {1ul, 2ul}) {
        SCOPED_TRACE(which == 1 ? "the read's IRP" : "the read's MDL");
        size_t before = hk::RecordedAllocations().size();
        hk::FailAllocation(which);
        Bytes first = Sequence(10, 100 * which), second = Sequence(20, 100 * which + 10);
        sim->Feed(first);  // the pump's read completes; the next cannot be built
        auto read = file->StartRead(10);
        read->Wait();
        EXPECT_EQ(first, read->Output());
        ExpectFailedRead(before + which - 1);
        sim->Feed(second);
        read = file->StartRead(20);
        EXPECT_EQ(STATUS_SUCCESS, read->Wait()) << "the pump no longer reads the adapter";
        EXPECT_EQ(second, read->Output());
    }
}

TEST_F(AfterAnAllocationFailure, TheStatusPollingTriesTheReadAgainSoLineChangesStillArrive)
{
    Open({Dword(u"EndPointCaps", 1), Dword(u"CtlPollPeriod", 10)});
    for (unsigned long which : {1ul, 2ul}) {
        SCOPED_TRACE(which == 1 ? "the read's IRP" : "the read's MDL");
        size_t before = hk::RecordedAllocations().size();
        hk::FailAllocation(which);
        hk::AdvanceMs(30);  // the next poll's read cannot be built
        ExpectFailedRead(before + which - 1);
        ASSERT_EQ(STATUS_SUCCESS, file->Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, Le32(SERIAL_EV_CTS).data(), 4, nullptr, 0, nullptr));
        auto wait = file->StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
        sim->SetLines(which == 1 ? pipesim::LINE_CTS : 0);
        EXPECT_TRUE(hk::RunUntil([&] { return wait->Done(); }, 1000 * 10000)) << "the polling no longer reads the lines";
        EXPECT_EQ(SERIAL_EV_CTS, Le32At(wait->Output(), 0));
    }
}

TEST_F(AfterAnAllocationFailure, WhileEveryAllocationFailsThePumpsKeepTryingAndStillStopForTheClose)
{
    Open({Dword(u"EndPointCaps", 1), Dword(u"CtlPollPeriod", 10)});
    hk::FailAllocation(1, true);
    sim->Feed(Sequence(10));
    hk::AdvanceMs(100);
    size_t failed = 0;
    for (const hk::Allocation& a : hk::RecordedAllocations()) failed += a.failed;
    EXPECT_GE(failed, 10u) << "both pumps try again every 10 ms";
    file->Close();
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, file->WaitClosed()) << "the pipes could not be told";
    EXPECT_TRUE(file->Closed());
    hk::ClearFaults();
}

// Every allocation of a power-down in turn failing alone (the abort and the reset of each
// pipe): the port still receives and sends after the power-up.
TEST_F(AfterAnAllocationFailure, EachRequestOfAPowerDownIsTriedAgainSoThePortWorksAfterThePowerUp)
{
    Open({Dword(u"EndPointCaps", 1)});
    size_t stream = 0;
    for (unsigned long n = 1;; ++n) {
        SCOPED_TRACE(n);
        size_t before = hk::RecordedAllocations().size();
        hk::FailAllocation(n);
        ASSERT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD3).status);
        hk::ClearFaults();
        auto record = hk::RecordedAllocations();
        bool failed = false;
        for (size_t i = before; i < record.size(); ++i) failed |= record[i].failed;
        ASSERT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD0).status);
        Bytes in = Sequence(40, stream);
        stream += in.size();
        sim->Feed(in);
        auto read = file->StartRead(40);
        EXPECT_EQ(STATUS_SUCCESS, read->Wait()) << "the port no longer receives";
        EXPECT_EQ(in, read->Output());
        size_t sent = sim->OutBytes().size();
        ULONG written = 0;
        EXPECT_EQ(STATUS_SUCCESS, file->Write(in.data(), (ULONG)in.size(), &written));
        EXPECT_EQ(sent + in.size(), sim->OutBytes().size()) << "the port no longer sends";
        if (!failed) break;  // the power-down made fewer than n allocations
        ASSERT_LT(n, 100u);
    }
}

// Every allocation of a close in turn failing alone: the pipe driver is told of every
// pipe's close.
TEST_F(AfterAnAllocationFailure, EachPipeCloseIsTriedAgainSoNoPipeIsLeftOpen)
{
    Open({Dword(u"EndPointCaps", 1)});
    for (unsigned long n = 1;; ++n) {
        SCOPED_TRACE(n);
        size_t before = hk::RecordedAllocations().size();
        hk::FailAllocation(n);
        file->Close();
        EXPECT_EQ(STATUS_SUCCESS, file->WaitClosed());
        hk::ClearFaults();
        file.reset();
        for (Pipe p : {Pipe::DataOut, Pipe::DataIn, Pipe::Status}) EXPECT_FALSE(sim->IsOpen(p)) << (int)p;
        auto record = hk::RecordedAllocations();
        bool failed = false;
        for (size_t i = before; i < record.size(); ++i) failed |= record[i].failed;
        if (!failed) break;
        ASSERT_LT(n, 100u);
        ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
    }
}

class ConfigurationWhileMemoryIsShort : public SimPortTest {};

// Every allocation AddDevice makes failing in turn, alone: AddDevice fails, or the device
// has the configuration the registry gives it (a value read as its default made
// EndPointCaps 0, and line settings then reported success with nothing sent).
TEST_F(ConfigurationWhileMemoryIsShort, AddDeviceFailsOrTakesEveryValueTheRegistryHas)
{
    hk::RecordAllocations(true);
    for (unsigned long n = 1;; ++n) {
        SCOPED_TRACE(n);
        size_t before = hk::RecordedAllocations().size();
        hk::FailAllocation(n);
        pipesim::Options o;
        o.registry = {Dword(u"EndPointCaps", 3), Dword(u"TxAsync", 1), Dword(u"CtlPollPeriod", 50), Dword(u"RxPollPeriod", 2),
                      Dword(u"TxAllowNullPacket", 0), Dword(u"NoBaudCheck", 1), Dword(u"RxReqSize", 128)};
        NTSTATUS status = AddAdapter(std::move(o));
        hk::ClearFaults();
        auto record = hk::RecordedAllocations();
        bool failed = false;
        for (size_t i = before; i < record.size(); ++i) failed |= record[i].failed;
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(3u, Port()->EndPointCaps);
            EXPECT_EQ(1u, Port()->TxAsync);
            EXPECT_EQ(50, Port()->CtlPollPeriod);
            EXPECT_EQ(2u, Port()->RxPollPeriod);
            EXPECT_EQ(0u, Port()->TxAllowNullPacket);
            EXPECT_EQ(1u, Port()->NoBaudCheck);
            EXPECT_EQ(128u, Port()->RxReqSize);
            ASSERT_EQ(STATUS_SUCCESS, stack->Remove().status);
            port = nullptr;
        } else {
            EXPECT_TRUE(failed) << "AddDevice failed with " << std::hex << status << " though every allocation was had";
            EXPECT_EQ(nullptr, port);
        }
        if (!failed) break;  // AddDevice made fewer than n allocations
        ASSERT_LT(n, 100u);
    }
}
