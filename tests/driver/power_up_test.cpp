// Device power changes seen from the port: a power-down stops the receive pump, the
// status polling and the transmitter and keeps them stopped; the return to D0 brings
// the adapter and the machinery back only for an open port; system power requests
// only pass through.
#include "driver/sim_fixture.h"
#include "lines/status_polling.h"
#include "port/port.h"
#include "rx/receive_pump.h"
#include "rx/ring_buffer.h"

using pipesim::Pipe;

namespace {

Bytes Ulong(ULONG v) { return {(UCHAR)v, (UCHAR)(v >> 8), (UCHAR)(v >> 16), (UCHAR)(v >> 24)}; }

struct PowerDownGap {
    hk::DeviceStack* stack;
    NTSTATUS up = STATUS_PENDING;
    NTSTATUS down = STATUS_PENDING;
};

// Completion of a return to D0 that sends the next power-down at once.
NTSTATUS NTAPI PowerDownOnCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* gap = (PowerDownGap*)Context;
    gap->up = Irp->IoStatus.Status;
    IoFreeIrp(Irp);
    gap->down = gap->stack->SetDevicePower(PowerDeviceD3).status;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

class DevicePower : public SimPortTest {
protected:
    void TearDown() override
    {
        if (file) file->Close();
        file.reset();
        SimPortTest::TearDown();
    }
    // An adapter with these registry values and a status pipe, started and opened,
    // records cleared.
    void Open(std::vector<hk::RegistryValue> values = {})
    {
        pipesim::Options o;
        o.registry = std::move(values);
        o.registry.push_back(Dword(u"EndPointCaps", 1));
        ASSERT_EQ(STATUS_SUCCESS, AddAdapter(std::move(o)));
        ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
        ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
        sim->ClearRecords();
    }
    NTSTATUS Ioctl(ULONG code, const Bytes& in) { return file->StartIoctl(code, in, 0)->Status(); }
    // Reads wait for all their bytes, with no timeout.
    NTSTATUS WaitForWholeReads()
    {
        SERIAL_TIMEOUTS t{};
        const UCHAR* p = (const UCHAR*)&t;
        return Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(p, p + sizeof t));
    }
    void ExpectMachineryStopped()
    {
        EXPECT_EQ(RUN_POWERED_DOWN, Port()->RunState);
        EXPECT_EQ(0u, sim->Outstanding(Pipe::DataIn)) << "receive pump";
        EXPECT_EQ(STATUS_POWER_STATE_INVALID, RxPumpStart(Port()));
        EXPECT_EQ(STATUS_POWER_STATE_INVALID, StartStatusPolling(Port()));
        EXPECT_EQ(0u, sim->Outstanding(Pipe::DataIn));
        EXPECT_FALSE(Polls());
        auto write = file->StartWrite(Sequence(20));
        ASSERT_TRUE(write->Done());
        EXPECT_EQ(STATUS_SUCCESS, write->Status());
        EXPECT_EQ(0u, write->Information());
        EXPECT_EQ(0, CountCode(pipesim::kIoctlPipeWrite));
    }
    // Whether the status pipe is read within the next 100 ms.
    bool Polls()
    {
        auto reads = [this] {
            int n = 0;
            for (auto& a : sim->Arrivals()) n += a.major == IRP_MJ_READ && a.pipe == (int)Pipe::Status;
            return n;
        };
        int before = reads();
        hk::AdvanceMs(100);
        return reads() > before;
    }
    int CountCode(ULONG code) const
    {
        int n = 0;
        for (auto& a : sim->Arrivals())
            if (a.major == IRP_MJ_DEVICE_CONTROL && a.code == code) ++n;
        return n;
    }

    std::unique_ptr<hk::File> file;
};

TEST_F(DevicePower, AQueryOrSetForD3StopsThePumpThePollingAndTheTransmitter)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    for (UCHAR minor : {IRP_MN_QUERY_POWER, IRP_MN_SET_POWER}) {
        SCOPED_TRACE(minor == IRP_MN_QUERY_POWER ? "query" : "set");
        ASSERT_EQ(RUN_WORKING, Port()->RunState);
        ASSERT_GT(sim->Outstanding(Pipe::DataIn), 0u);
        ASSERT_TRUE(Polls());
        POWER_STATE d3;
        d3.DeviceState = PowerDeviceD3;
        EXPECT_EQ(STATUS_SUCCESS, stack->Power(minor, DevicePowerState, d3).status);
        ExpectMachineryStopped();
        sim->ClearRecords();
        EXPECT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD0).status);
        sim->ClearRecords();
    }
}

TEST_F(DevicePower, D0WithThePortClosedSendsNothingAndTheNextOpenStartsAsUsual)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(STATUS_SUCCESS, file->Close());
    file.reset();
    EXPECT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD3).status);
    EXPECT_EQ(RUN_POWERED_DOWN, Port()->RunState);
    auto commands = sim->Commands();
    EXPECT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD0).status);
    EXPECT_EQ(commands, sim->Commands());
    EXPECT_EQ(RUN_WORKING, Port()->RunState);

    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
    EXPECT_GT(sim->Outstanding(Pipe::DataIn), 0u);
    EXPECT_TRUE(Polls());
}

TEST_F(DevicePower, D0WithThePortOpenRestoresTheAdapterAndTheMachineryButNotTheOldRingBytes)
{
    ASSERT_NO_FATAL_FAILURE(Open({Dword(u"TxAsync", 1)}));
    ASSERT_EQ(STATUS_SUCCESS, Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, Ulong(9600)));
    ASSERT_EQ(STATUS_SUCCESS, Ioctl(IOCTL_SERIAL_CLR_DTR, {}));
    // The first write's transfer stays in flight, so the second one's bytes wait in the
    // ring when the power goes down.
    pipesim::Fault stall;
    stall.stall = true;
    stall.times = 1;
    sim->InjectFault(Pipe::DataOut, pipesim::Kind::Write, stall);
    auto inFlight = file->StartWrite(Sequence(10));
    auto stale = file->StartWrite(Sequence(10, 50));
    ASSERT_TRUE(stale->Done());
    EXPECT_EQ(10u, stale->Information());
    EXPECT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD3).status);
    ASSERT_GT(RingCount(&Port()->TxRing), 0u);
    hk::AdvanceMs(50);
    EXPECT_TRUE(sim->OutBytes().empty());
    sim->ClearRecords();

    sim->Bus().CompleteLater(5000);  // the wait for the lower drivers
    EXPECT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD0).status);
    sim->Bus().CompleteLater(0);
    EXPECT_EQ((std::vector<Bytes>{{3, 1}, {1, 3}, {0, 0x04}}), sim->Commands())
        << "enable, DTR and RTS raised, 9600 8N1";
    EXPECT_EQ(RUN_WORKING, Port()->RunState);
    EXPECT_TRUE(sim->Adapter().dtr && sim->Adapter().rts);
    EXPECT_GT(sim->Outstanding(Pipe::DataIn), 0u);
    EXPECT_TRUE(Polls());

    auto fresh = file->StartWrite(Sequence(6, 100));
    ASSERT_TRUE(fresh->Done());
    EXPECT_EQ(6u, fresh->Information());
    hk::AdvanceMs(50);
    EXPECT_EQ(Sequence(6, 100), sim->OutBytes()) << "only what was written after the return";

    // The request carries the lower drivers' status.
    EXPECT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD3).status);
    sim->Bus().CompleteWith(IRP_MJ_POWER, STATUS_DEVICE_BUSY);
    EXPECT_EQ(STATUS_DEVICE_BUSY, stack->SetDevicePower(PowerDeviceD0).status);
    sim->Bus().CompleteWith(IRP_MJ_POWER, STATUS_SUCCESS);
}

// A purge that aborts the transmitter, and an open, while the device is in D3 leave the
// transmitter stopped until D0: their restart of it let writes in D3 go to the
// powered-down adapter, or into the ring that the return to D0 empties, with their
// bytes reported sent.
TEST_F(DevicePower, APurgeOrAnOpenInD3LeavesTheTransmitterStoppedUntilD0)
{
    for (ULONG txAsync : {0u, 1u}) {
        SCOPED_TRACE(txAsync ? "buffered" : "direct");
        ASSERT_NO_FATAL_FAILURE(Open({Dword(u"TxAsync", txAsync)}));
        ASSERT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD3).status);
        EXPECT_EQ(STATUS_SUCCESS, Ioctl(IOCTL_SERIAL_PURGE, Ulong(SERIAL_PURGE_TXABORT)));
        ExpectMachineryStopped();

        EXPECT_EQ(STATUS_SUCCESS, file->Close());
        ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
        sim->ClearRecords();
        ExpectMachineryStopped();

        ASSERT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD0).status);
        auto write = file->StartWrite(Sequence(6, 100));
        hk::AdvanceMs(50);
        ASSERT_TRUE(write->Done());
        EXPECT_EQ(6u, write->Information());
        EXPECT_EQ(Sequence(6, 100), sim->OutBytes()) << "only what was written after the return";
        EXPECT_EQ(STATUS_SUCCESS, file->Close());
        file.reset();
        ASSERT_EQ(STATUS_SUCCESS, stack->Remove().status);
        port = nullptr;
    }
}

// A pipe driver that owns the power policy may hold an open's pipe requests until the
// device is back in D0; the return to D0 (here from the port's work item, above a device
// that is not power-pageable) must then complete while the open waits, and the restart
// follows once the open is done.
TEST_F(DevicePower, D0CompletesWhileAnOpenWaitsForThePipeDriver)
{
    pipesim::Options o;
    o.registry = {Dword(u"EndPointCaps", 1)};
    o.deviceFlags = 0;
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter(std::move(o)));
    ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
    EXPECT_EQ(STATUS_SUCCESS, file->Close());
    file.reset();
    ASSERT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD3).status);
    sim->HoldNext(pipesim::Kind::Open);
    NTSTATUS opened = STATUS_PENDING;
    {
        hk::Thread opener([&] { opened = hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file); }, "opener");
        hk::YieldToOthers();
        ASSERT_EQ(STATUS_PENDING, opened) << "the open waits for its first pipe";
        hk::Result up = stack->SetDevicePower(PowerDeviceD0);
        EXPECT_EQ(STATUS_SUCCESS, up.status);
        EXPECT_EQ(STATUS_PENDING, opened);
        ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS));
        opener.Join();
    }
    ASSERT_EQ(STATUS_SUCCESS, opened);
    hk::YieldToOthers();
    EXPECT_EQ(RUN_WORKING, Port()->RunState);
    ASSERT_EQ(STATUS_SUCCESS, WaitForWholeReads());
    sim->Feed(Sequence(8));
    auto read = file->StartRead(8);
    hk::AdvanceMs(50);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(Sequence(8), read->Output());
    auto write = file->StartWrite(Sequence(6, 100));
    hk::AdvanceMs(50);
    ASSERT_TRUE(write->Done());
    EXPECT_EQ(6u, write->Information());
    EXPECT_EQ(Sequence(6, 100), sim->OutBytes());
}

// The power manager may send the next power-down as soon as the return to D0 has
// completed, before the port's restart after it has begun. That power-down cancels the
// restart: nothing is sent to the adapter and the machinery stays stopped. Here the
// power-down is sent from the D0 request's completion routine, on the thread that runs
// the restart, so it comes exactly in that gap.
TEST_F(DevicePower, APowerDownRightAfterD0CompletesCancelsTheRestart)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_TRUE(port->Flags & DO_POWER_PAGABLE) << "the restart must run on this thread";
    ASSERT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD3).status);
    sim->ClearRecords();

    PowerDownGap gap{&*stack};
    PIRP irp = IoAllocateIrp(port->StackSize, FALSE);
    ASSERT_NE(nullptr, irp);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = IRP_MN_SET_POWER;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State.DeviceState = PowerDeviceD0;
    IoSetCompletionRoutine(irp, PowerDownOnCompletion, &gap, TRUE, TRUE, TRUE);
    PoCallDriver(port, irp);
    EXPECT_EQ(STATUS_SUCCESS, gap.up);
    EXPECT_EQ(STATUS_SUCCESS, gap.down);
    hk::AdvanceMs(1000);
    EXPECT_TRUE(sim->Commands().empty()) << "the restart spoke to the powered-down adapter";
    EXPECT_EQ(RUN_POWERED_DOWN, Port()->RunState);
    EXPECT_EQ(0u, sim->Outstanding(Pipe::DataIn)) << "receive pump";
    EXPECT_TRUE(Port()->TxStopped) << "the transmitter runs in D3";

    ASSERT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD0).status);
    EXPECT_EQ(RUN_WORKING, Port()->RunState);
    EXPECT_GT(sim->Outstanding(Pipe::DataIn), 0u);
}

TEST_F(DevicePower, AReadQueuedBeforeThePowerDownCompletesWithDataAfterTheReturn)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(STATUS_SUCCESS, WaitForWholeReads());
    auto read = file->StartRead(8);
    ASSERT_FALSE(read->Done());
    EXPECT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD3).status);
    sim->Feed(Sequence(8));
    hk::AdvanceMs(100);
    EXPECT_FALSE(read->Done());
    EXPECT_EQ(8u, sim->PendingInBytes()) << "not fetched while powered down";
    EXPECT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD0).status);
    hk::AdvanceMs(1);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(STATUS_SUCCESS, read->Status());
    EXPECT_EQ(Sequence(8), read->Output());
}

TEST_F(DevicePower, SystemPowerRequestsPassThroughUnchanged)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    sim->Bus().ClearArrived();
    EXPECT_EQ(STATUS_SUCCESS, stack->SetSystemPower(PowerSystemSleeping3).status);
    POWER_STATE s4;
    s4.SystemState = PowerSystemHibernate;
    EXPECT_EQ(STATUS_SUCCESS, stack->Power(IRP_MN_QUERY_POWER, SystemPowerState, s4).status);
    std::vector<hk::ArrivedRequest> arrived;
    for (auto& a : sim->Bus().Arrived())
        if (a.major == IRP_MJ_POWER) arrived.push_back(a);
    ASSERT_EQ(2u, arrived.size());
    EXPECT_EQ(IRP_MN_SET_POWER, arrived[0].minor);
    EXPECT_EQ(SystemPowerState, arrived[0].stack.Parameters.Power.Type);
    EXPECT_EQ(PowerSystemSleeping3, arrived[0].stack.Parameters.Power.State.SystemState);
    EXPECT_EQ(IRP_MN_QUERY_POWER, arrived[1].minor);
    EXPECT_EQ(PowerSystemHibernate, arrived[1].stack.Parameters.Power.State.SystemState);

    EXPECT_EQ(RUN_WORKING, Port()->RunState);
    EXPECT_TRUE(sim->Commands().empty());
    EXPECT_EQ(0, CountCode(pipesim::kIoctlPipeAbort));
    EXPECT_GT(sim->Outstanding(Pipe::DataIn), 0u);
    auto write = file->StartWrite(Sequence(5));
    ASSERT_TRUE(write->Wait() == STATUS_SUCCESS);
    EXPECT_EQ(5u, write->Information());
}
