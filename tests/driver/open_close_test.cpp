// Opening and closing the port: what the adapter and the pipe driver see, the sizes
// the open fits to the pipes, how a failed open is undone, and the start of the
// device that an open follows.
#include "driver/sim_fixture.h"
#include "port/port.h"

using pipesim::Kind;
using pipesim::Pipe;

namespace {

}  // namespace

class PortOpenClose : public SimPortTest {
protected:
    // Adds the adapter, starts the device and clears the simulator's records.
    void Ready(pipesim::Options options = {})
    {
        ASSERT_EQ(STATUS_SUCCESS, AddAdapter(std::move(options)));
        ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
        sim->ClearRecords();
    }
    NTSTATUS Open(std::unique_ptr<hk::File>* file)
    {
        return hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), file);
    }
    int Arrived(UCHAR major, int pipe, ULONG code = 0) const
    {
        int n = 0;
        for (auto& a : sim->Arrivals()) n += a.major == major && a.pipe == pipe && (!code || a.code == code);
        return n;
    }
    pipesim::Options WithRegistry(std::vector<hk::RegistryValue> values)
    {
        pipesim::Options o;
        o.registry = std::move(values);
        return o;
    }
};

TEST_F(PortOpenClose, OpenEnablesTheAdapterWithDtrAndRtsAndCloseDisablesIt)
{
    Ready(WithRegistry({Dword(u"EndPointCaps", 1)}));
    std::unique_ptr<hk::File> file;
    ASSERT_EQ(STATUS_SUCCESS, Open(&file));
    EXPECT_EQ((std::vector<Bytes>{{3, 1}, {1, 3}}), sim->Commands());
    auto adapter = sim->Adapter();
    EXPECT_TRUE(adapter.portEnabled);
    EXPECT_TRUE(adapter.dtr);
    EXPECT_TRUE(adapter.rts);
    EXPECT_FALSE(adapter.breakOn);
    EXPECT_EQ(3, Port()->ModemControlByte);
    EXPECT_TRUE(sim->IsOpen(Pipe::DataOut));
    EXPECT_TRUE(sim->IsOpen(Pipe::DataIn));
    EXPECT_TRUE(sim->IsOpen(Pipe::Status));
    EXPECT_EQ(1, Port()->OpenCount);
    EXPECT_EQ(1, Arrived(IRP_MJ_DEVICE_CONTROL, (int)Pipe::DataOut, pipesim::kIoctlPipeReset));
    EXPECT_EQ(1, Arrived(IRP_MJ_DEVICE_CONTROL, (int)Pipe::DataIn, pipesim::kIoctlPipeReset));
    EXPECT_EQ(1, Arrived(IRP_MJ_DEVICE_CONTROL, (int)Pipe::Status, pipesim::kIoctlPipeReset));
    EXPECT_GT(hk::OutstandingPoolBytes(TAG_CREA), 0u);

    sim->ClearRecords();
    EXPECT_EQ(STATUS_SUCCESS, file->Close());
    EXPECT_EQ((std::vector<Bytes>{{3, 0}}), sim->Commands());
    EXPECT_FALSE(sim->Adapter().portEnabled);
    EXPECT_FALSE(sim->IsOpen(Pipe::DataOut));
    EXPECT_FALSE(sim->IsOpen(Pipe::DataIn));
    EXPECT_FALSE(sim->IsOpen(Pipe::Status));
    EXPECT_EQ(0, Port()->OpenCount);
    EXPECT_EQ(nullptr, Port()->RxTransferBuffer);
    EXPECT_EQ(0u, hk::OutstandingPoolBytes(TAG_CREA));
    EXPECT_EQ(0u, Port()->RxRing.Size) << "the receive ring's storage went with the close";
    EXPECT_EQ(3, Port()->ModemControlByte) << "the close leaves the control lines' copy as it was";
}

TEST_F(PortOpenClose, ASecondOpenIsRefusedAndTheFirstGoesOnUndisturbed)
{
    Ready();
    std::unique_ptr<hk::File> file, second;
    ASSERT_EQ(STATUS_SUCCESS, Open(&file));
    EXPECT_EQ(STATUS_ACCESS_DENIED, Open(&second)) << "an exclusive device: refused before the driver";
    sim->ClearRecords();
    // A create that reaches the driver itself while the port is open.
    auto create = file->Start(IRP_MJ_CREATE, {});
    EXPECT_EQ(STATUS_ACCESS_DENIED, create->Status());
    EXPECT_TRUE(sim->Arrivals().empty()) << "nothing of the first open was touched";
    EXPECT_EQ(1, Port()->OpenCount);
    EXPECT_TRUE(sim->IsOpen(Pipe::DataIn));
    EXPECT_EQ(STATUS_SUCCESS, file->Close());
    EXPECT_EQ(STATUS_SUCCESS, Open(&second)) << "open again after the close";
    second->Close();
}

TEST_F(PortOpenClose, TransferSizesAreFittedToThePipesPacketSizes)
{
    struct Case {
        ULONG rxReqSize, maxIn, expectRx;
        ULONG kick, maxOut, expectKick, expectMaxOut;
    };
    const Case cases[] = {
        {0, 64, 64, 1, 512, 512, 512},      // at least one packet
        {100, 64, 128, 100, 64, 128, 64},   // rounded up to whole packets
        {128, 64, 128, 2047, 512, 2048, 512},  // a multiple stays; 2047 rounds up
        {100, 0, 128, 1, 0, 64, 64},        // a pipe that reports no size counts as 64
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "RxReqSize " << c.rxReqSize << " in " << c.maxIn << ", kick " << c.kick << " out " << c.maxOut);
        pipesim::Options o = WithRegistry({Dword(u"RxReqSize", c.rxReqSize), Dword(u"TxKickThreshold", c.kick)});
        o.maxPacketIn = c.maxIn;
        o.maxPacketOut = c.maxOut;
        Ready(std::move(o));
        std::unique_ptr<hk::File> file;
        ASSERT_EQ(STATUS_SUCCESS, Open(&file));
        EXPECT_EQ(c.expectRx, Port()->RxReqSize);
        EXPECT_EQ(c.expectKick, Port()->TxKickThreshold);
        EXPECT_EQ(c.expectMaxOut, Port()->MaxPacketOut);
        EXPECT_EQ(c.maxIn ? c.maxIn : 64, Port()->MaxPacketIn);
        EXPECT_EQ(c.expectRx, hk::OutstandingPoolBytes(TAG_CREA)) << "the transfer buffer holds one read";
        file->Close();
        stack->Remove();
        port = nullptr;
    }
}

TEST_F(PortOpenClose, EveryOpenStartsFromTheSameQueueSizesAndFlowLimits)
{
    Ready();
    Port()->InSize = 100;
    Port()->OutSize = 77;
    Port()->HandFlow.XonLimit = 1;
    Port()->HandFlow.XoffLimit = 1;
    std::unique_ptr<hk::File> file;
    ASSERT_EQ(STATUS_SUCCESS, Open(&file));
    EXPECT_EQ(4096u, Port()->InSize);
    EXPECT_EQ(4096u, Port()->OutSize);
    EXPECT_EQ(4096u, Port()->RxRing.Size);
    EXPECT_EQ(2048, Port()->HandFlow.XonLimit);
    EXPECT_EQ(512, Port()->HandFlow.XoffLimit);
    EXPECT_EQ(1, Port()->RxAllowed);
    file->Close();
}

TEST_F(PortOpenClose, AnAdapterWithoutAStatusPipeOpensAndIsNotAskedAgain)
{
    pipesim::Options o = WithRegistry({Dword(u"EndPointCaps", 1)});
    o.statusEndpoint = false;
    Ready(std::move(o));
    std::unique_ptr<hk::File> file;
    ASSERT_EQ(STATUS_SUCCESS, Open(&file));
    EXPECT_EQ(-1, Port()->CtlPollPeriod);
    EXPECT_EQ(3, sim->Count(IRP_MJ_CREATE)) << "both data pipes and, once, the status pipe";
    EXPECT_EQ(0, Arrived(IRP_MJ_DEVICE_CONTROL, (int)Pipe::Status));
    file->Close();
    sim->ClearRecords();
    ASSERT_EQ(STATUS_SUCCESS, Open(&file));
    EXPECT_EQ(2, sim->Count(IRP_MJ_CREATE)) << "the status pipe is not asked for again";
    file->Close();
}

TEST_F(PortOpenClose, WithoutEndPointCapsTheStatusPipeIsNeverOpened)
{
    Ready();
    std::unique_ptr<hk::File> file;
    ASSERT_EQ(STATUS_SUCCESS, Open(&file));
    EXPECT_FALSE(sim->IsOpen(Pipe::Status));
    EXPECT_EQ(2, sim->Count(IRP_MJ_CREATE)) << "the data pipes only";
    file->Close();
}

TEST_F(PortOpenClose, AStatusPipeThatFailsOtherwiseFailsTheOpenOnceAndPollingStaysOff)
{
    Ready(WithRegistry({Dword(u"EndPointCaps", 2)}));
    pipesim::Fault f;
    f.status = STATUS_DEVICE_NOT_READY;
    f.times = 1;
    sim->InjectFault(Pipe::Status, Kind::Open, f);
    std::unique_ptr<hk::File> file;
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, Open(&file));
    EXPECT_EQ(0, Port()->OpenCount);
    EXPECT_EQ(-1, Port()->CtlPollPeriod);
    EXPECT_FALSE(sim->IsOpen(Pipe::DataOut));
    EXPECT_FALSE(sim->IsOpen(Pipe::DataIn));
    EXPECT_TRUE(sim->Commands().empty()) << "the adapter heard nothing";
    sim->ClearRecords();
    ASSERT_EQ(STATUS_SUCCESS, Open(&file)) << "the next open goes on without the status pipe";
    EXPECT_FALSE(sim->IsOpen(Pipe::Status));
    file->Close();
}

TEST_F(PortOpenClose, ADataPipeThatCannotBeOpenedFailsTheOpenWithItsStatusAndClosesBoth)
{
    for (Pipe failing : {Pipe::DataOut, Pipe::DataIn}) {
        SCOPED_TRACE((int)failing);
        Ready();
        pipesim::Fault f;
        f.status = STATUS_PIPE_BROKEN;
        f.times = 1;
        sim->InjectFault(failing, Kind::Open, f);
        std::unique_ptr<hk::File> file;
        EXPECT_EQ(STATUS_PIPE_BROKEN, Open(&file));
        EXPECT_EQ(0, Port()->OpenCount);
        EXPECT_FALSE(sim->IsOpen(Pipe::DataOut));
        EXPECT_FALSE(sim->IsOpen(Pipe::DataIn));
        EXPECT_EQ(0u, hk::OutstandingPoolBytes(TAG_CREA));
        EXPECT_EQ(0u, Port()->RxRing.Size);
        ASSERT_EQ(STATUS_SUCCESS, Open(&file));
        file->Close();
        stack->Remove();
        port = nullptr;
    }
}

TEST_F(PortOpenClose, EveryAllocationFailureOfTheOpenLeavesNothingBehindAndTheNextOpenWorks)
{
    Ready(WithRegistry({Dword(u"EndPointCaps", 1)}));
    size_t ringBytes = hk::OutstandingPoolBytes(TAG_CIRC);
    bool failedOnce = false, succeededDespite = false;
    for (int nth = 1; nth <= 40; ++nth) {
        SCOPED_TRACE(nth);
        for (int irp = 0; irp < 2; ++irp) {
            if (irp) hk::FailIrpAllocation(nth);
            else hk::FailPoolAllocation(nth);
            std::unique_ptr<hk::File> file;
            NTSTATUS status = Open(&file);
            hk::ClearFaults();
            if (NT_SUCCESS(status)) {
                succeededDespite = true;
                file->Close();
            } else {
                failedOnce = true;
                EXPECT_EQ(0, Port()->OpenCount);
                EXPECT_EQ(0u, hk::OutstandingPoolBytes(TAG_CREA));
                EXPECT_EQ(ringBytes, hk::OutstandingPoolBytes(TAG_CIRC)) << "only the transmit ring's storage";
                EXPECT_FALSE(sim->IsOpen(Pipe::DataOut));
                EXPECT_FALSE(sim->IsOpen(Pipe::DataIn));
                EXPECT_FALSE(sim->IsOpen(Pipe::Status));
            }
            ASSERT_EQ(STATUS_SUCCESS, Open(&file));
            file->Close();
        }
    }
    EXPECT_TRUE(failedOnce);
    EXPECT_TRUE(succeededDespite) << "failures of commands and resets are ignored";
}

TEST_F(PortOpenClose, TheTransferBufferFailingFreesTheRingItSized)
{
    Ready();
    size_t ringBytes = hk::OutstandingPoolBytes(TAG_CIRC);
    hk::FailPoolAllocation(1, TAG_CREA);
    std::unique_ptr<hk::File> file;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Open(&file));
    EXPECT_EQ(ringBytes, hk::OutstandingPoolBytes(TAG_CIRC));
    EXPECT_EQ(0u, Port()->RxRing.Size);
    hk::FailPoolAllocation(1, TAG_CIRC);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Open(&file));
    EXPECT_FALSE(sim->IsOpen(Pipe::DataIn));
    ASSERT_EQ(STATUS_SUCCESS, Open(&file));
    file->Close();
}

TEST_F(PortOpenClose, TheCloseCarriesTheStatusOfTheLastPipeCloseAndThePortOpensAgain)
{
    Ready();
    pipesim::Fault f;
    f.status = STATUS_DEVICE_DATA_ERROR;
    f.times = 1;
    std::unique_ptr<hk::File> file;
    ASSERT_EQ(STATUS_SUCCESS, Open(&file));
    sim->InjectFault(Pipe::DataIn, Kind::Close, f);
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, file->Close());
    EXPECT_EQ(0, Port()->OpenCount);
    ASSERT_EQ(STATUS_SUCCESS, Open(&file));
    sim->InjectFault(Pipe::DataOut, Kind::Close, f);
    EXPECT_EQ(STATUS_SUCCESS, file->Close()) << "not the last close";
}

TEST_F(PortOpenClose, RemovalWaitsForTheOpenPortsClose)
{
    Ready();
    std::unique_ptr<hk::File> file;
    ASSERT_EQ(STATUS_SUCCESS, Open(&file));
    bool removed = false;
    hk::Thread remover([&] {
        stack->Remove();
        removed = true;
    });
    hk::YieldToOthers();
    EXPECT_FALSE(removed) << "the open port holds the remove lock";
    EXPECT_EQ(STATUS_SUCCESS, file->Close());
    remover.Join();
    EXPECT_TRUE(removed);
    port = nullptr;
}

TEST_F(PortOpenClose, TheOpenResetsTheStateOfEveryPartAndTheTransmitterFollowsOpenAndClose)
{
    Ready(WithRegistry({Dword(u"EndPointCaps", 1)}));
    Port()->PendingEvents = 0x40;
    Port()->ModemStatus = 0xF0;
    Port()->RxStopped = 0;
    Port()->StatusStopped = 0;
    Port()->CommStatus.AmountInInQueue = 7;
    Port()->CommStatus.AmountInOutQueue = 9;
    Port()->TxStopped = 1;
    std::unique_ptr<hk::File> file;
    ASSERT_EQ(STATUS_SUCCESS, Open(&file));
    EXPECT_EQ(0u, Port()->PendingEvents);
    EXPECT_EQ(nullptr, Port()->PendingWait);
    EXPECT_EQ(0u, Port()->ModemStatus);
    EXPECT_EQ(0, Port()->RxStopped) << "the open ends with the receive pump started";
    EXPECT_EQ(1u, sim->Outstanding(Pipe::DataIn)) << "its one read waits for data";
    EXPECT_EQ(0, Port()->StatusStopped) << "and the status polling started";
    EXPECT_EQ(0u, Port()->CommStatus.AmountInInQueue);
    EXPECT_EQ(0u, Port()->CommStatus.AmountInOutQueue);
    EXPECT_EQ(0, Port()->TxStopped) << "writes are accepted once the port is open";
    file->Close();
    EXPECT_EQ(1, Port()->TxStopped) << "and refused once it is closed";
}

TEST_F(PortOpenClose, ThePipeDriverSeesOpensThenResetsThenPacketSizesThenTheAdapterCommands)
{
    Ready(WithRegistry({Dword(u"EndPointCaps", 1)}));
    std::unique_ptr<hk::File> file;
    ASSERT_EQ(STATUS_SUCCESS, Open(&file));
    auto phase = [](const pipesim::Arrival& a) {
        if (a.major == IRP_MJ_CREATE) return 0;
        if (a.code == pipesim::kIoctlPipeReset) return 1;
        if (a.code == pipesim::kIoctlPipeGetMaxPacketSize) return 2;
        if (a.code == pipesim::kIoctlPipeControlTransfer) return 3;
        if (a.major == IRP_MJ_READ) return 4;  // the receive pump's, and the first status report
        return 9;
    };
    auto arrivals = sim->Arrivals();
    ASSERT_EQ(3u + 3u + 2u + 2u + 2u, arrivals.size());
    for (size_t i = 1; i < arrivals.size(); ++i) EXPECT_LE(phase(arrivals[i - 1]), phase(arrivals[i])) << "request " << i;
    file->Close();
}

TEST_F(PortOpenClose, WithoutAStatusPipeNoResetReachesOne)
{
    Ready();
    std::unique_ptr<hk::File> file;
    ASSERT_EQ(STATUS_SUCCESS, Open(&file));
    int resets = 0;
    for (auto& a : sim->Arrivals()) resets += a.code == pipesim::kIoctlPipeReset;
    EXPECT_EQ(2, resets) << "the two data pipes only";
    file->Close();
}

TEST_F(PortOpenClose, ATransferSizeTooLargeToRoundUpFailsTheOpenInsteadOfWrapping)
{
    Ready(WithRegistry({Dword(u"RxReqSize", 0xFFFFFFC1)}));
    std::unique_ptr<hk::File> file;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Open(&file));
    EXPECT_EQ(0xFFFFFFC0u, Port()->RxReqSize) << "the largest whole number of 64-byte packets";
    EXPECT_EQ(0, Port()->OpenCount);
}

TEST_F(PortOpenClose, TheStatusPipesCloseIsTheLastAndGivesTheCloseItsStatus)
{
    Ready(WithRegistry({Dword(u"EndPointCaps", 1)}));
    std::unique_ptr<hk::File> file;
    ASSERT_EQ(STATUS_SUCCESS, Open(&file));
    pipesim::Fault f;
    f.status = STATUS_DEVICE_DATA_ERROR;
    f.times = 1;
    sim->InjectFault(Pipe::Status, Kind::Close, f);
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, file->Close());
}

TEST_F(PortOpenClose, ClosingTheHandleEndsAPendingWaitSoThePortCloses)
{
    Ready();
    std::unique_ptr<hk::File> file;
    ASSERT_EQ(STATUS_SUCCESS, Open(&file));
    ULONG mask = 0x0001;  // SERIAL_EV_RXCHAR
    ASSERT_EQ(STATUS_SUCCESS, file->Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, nullptr, 0, nullptr));
    auto wait = file->StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_FALSE(wait->Done());
    EXPECT_EQ(STATUS_SUCCESS, file->Close()) << "nothing outstanding once cleanup ran: the close follows at once";
    EXPECT_EQ(STATUS_SUCCESS, wait->Status());
    EXPECT_EQ(0u, wait->Information());
    EXPECT_EQ(0, Port()->OpenCount);
    EXPECT_EQ(STATUS_SUCCESS, Open(&file)) << "the port can be opened again";
    file->Close();
}

class DeviceStart : public SimPortTest {};

TEST_F(DeviceStart, TheLowerDriversStartFirstAndThenThePortWorks)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    EXPECT_EQ((ULONG)PNP_NOT_STARTED, Port()->PnpState);
    sim->Bus().CompleteLater(10000);  // the bus finishes the start later
    EXPECT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
    EXPECT_EQ((ULONG)PNP_STARTED, Port()->PnpState);
    EXPECT_EQ((ULONG)RUN_WORKING, Port()->RunState);
    sim->Bus().CompleteLater(0);
}

TEST_F(DeviceStart, AStartTheLowerDriversFailIsAnsweredWithTheirStatusAndChangesNoState)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    sim->Bus().CompleteWith(IRP_MJ_PNP, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, stack->Pnp(IRP_MN_START_DEVICE).status);
    EXPECT_EQ((ULONG)PNP_NOT_STARTED, Port()->PnpState);
    EXPECT_EQ((ULONG)RUN_NOT_STARTED, Port()->RunState);

    // A restart after a stop that the lower drivers fail, later, leaves the stop as it was.
    sim->Bus().CompleteWith(IRP_MJ_PNP, STATUS_SUCCESS);
    ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
    ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_STOP_DEVICE).status);
    ULONG previous = Port()->PreviousPnpState;
    sim->Bus().CompleteWith(IRP_MJ_PNP, STATUS_DEVICE_NOT_READY);
    sim->Bus().CompleteLater(10000);
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, stack->Pnp(IRP_MN_START_DEVICE).status);
    EXPECT_EQ((ULONG)PNP_STOP_PENDING, Port()->PnpState);
    EXPECT_EQ(previous, Port()->PreviousPnpState);
    sim->Bus().CompleteLater(0);
    sim->Bus().CompleteWith(IRP_MJ_PNP, STATUS_SUCCESS);
}
