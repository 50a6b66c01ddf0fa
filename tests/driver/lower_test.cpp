// The pipe driver interface and the adapter's command set, from the port driver's side.
#include "driver/sim_fixture.h"
#include "lower/pipe.h"
#include "lower/port_command.h"

using namespace pipesim;

// The driver and the simulated pipe driver agree on the private control codes.
static_assert(IOCTL_PIPE_RESET == 0x230008 && IOCTL_PIPE_RESET == kIoctlPipeReset);
static_assert(IOCTL_PIPE_ABORT == 0x230020 && IOCTL_PIPE_ABORT == kIoctlPipeAbort);
static_assert(IOCTL_PIPE_CONTROL_TRANSFER == 0x230024 && IOCTL_PIPE_CONTROL_TRANSFER == kIoctlPipeControlTransfer);
static_assert(IOCTL_PIPE_GET_MAX_PACKET_SIZE == 0x230028 && IOCTL_PIPE_GET_MAX_PACKET_SIZE == kIoctlPipeGetMaxPacketSize);
static_assert(IOCTL_PIPE_WRITE == 0x230040 && IOCTL_PIPE_WRITE == kIoctlPipeWrite);

namespace {
struct ReadDone {
    int calls = 0;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR bytes = 0;
    KIRQL irql = 0;
};
ReadDone gRead;

// What a pump's completion routine does with its read: note the outcome, release the
// MDL and the request, keep the request from the I/O manager.
NTSTATUS NTAPI PumpLikeCompletion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    gRead.calls++;
    gRead.status = irp->IoStatus.Status;
    gRead.bytes = irp->IoStatus.Information;
    gRead.irql = KeGetCurrentIrql();
    MmUnlockPages(irp->MdlAddress);
    IoFreeMdl(irp->MdlAddress);
    irp->MdlAddress = nullptr;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
}  // namespace

class PipeInterface : public SimPortTest {
protected:
    void SetUp() override
    {
        SimPortTest::SetUp();
        gRead = {};
        Options o;
        o.registry = {hk::RegistryValue::Dword(u"EndPointCaps", 1)};
        o.maxPacketIn = 256;
        ASSERT_EQ(STATUS_SUCCESS, AddAdapter(o));
    }
    NTSTATUS OpenAll()
    {
        NTSTATUS s = PipeOpenClose(port, &Port()->DataOutPipe, TRUE);
        if (NT_SUCCESS(s)) s = PipeOpenClose(port, &Port()->DataInPipe, TRUE);
        if (NT_SUCCESS(s)) s = PipeOpenClose(port, &Port()->StatusPipe, TRUE);
        return s;
    }
    void CloseAll()
    {
        PipeOpenClose(port, &Port()->DataOutPipe, FALSE);
        PipeOpenClose(port, &Port()->DataInPipe, FALSE);
        PipeOpenClose(port, &Port()->StatusPipe, FALSE);
    }
};

TEST_F(PipeInterface, OpensAndClosesThePipesWithThePortsOwnFileObjects)
{
    ASSERT_EQ(STATUS_SUCCESS, OpenAll());
    EXPECT_TRUE(sim->IsOpen(Pipe::DataOut));
    EXPECT_TRUE(sim->IsOpen(Pipe::DataIn));
    EXPECT_TRUE(sim->IsOpen(Pipe::Status));
    EXPECT_EQ(port, Port()->DataInPipe.File.DeviceObject) << "the port touches no other field";
    EXPECT_EQ(STATUS_SUCCESS, PipeOpenClose(port, &Port()->DataInPipe, FALSE));
    EXPECT_FALSE(sim->IsOpen(Pipe::DataIn));
    EXPECT_EQ(STATUS_SUCCESS, PipeOpenClose(port, &Port()->DataInPipe, TRUE)) << "the same file object opens again";
    CloseAll();
    EXPECT_EQ(0u, hk::OutstandingIrps());
}

TEST_F(PipeInterface, APendingOpenReturnsItsFinalStatusAfterTheWait)
{
    sim->CompleteLater(Kind::Open, 20000);
    sim->InjectFault(Pipe::DataIn, Kind::Open, Fault{STATUS_DEVICE_NOT_CONNECTED});
    LONGLONG start = hk::Now();
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, PipeOpenClose(port, &Port()->DataInPipe, TRUE));
    EXPECT_EQ(start + 20000, hk::Now());
    sim->ClearFaults();
    EXPECT_EQ(STATUS_SUCCESS, PipeOpenClose(port, &Port()->DataInPipe, TRUE));
    EXPECT_EQ(STATUS_SUCCESS, PipeOpenClose(port, &Port()->DataInPipe, FALSE));
}

TEST_F(PipeInterface, ASyncCompletedOpenReturnsWithoutWaiting)
{
    sim->InjectFault(Pipe::DataOut, Kind::Open, Fault{STATUS_DEVICE_BUSY});
    LONGLONG start = hk::Now();
    EXPECT_EQ(STATUS_DEVICE_BUSY, PipeOpenClose(port, &Port()->DataOutPipe, TRUE));
    EXPECT_EQ(start, hk::Now());
}

TEST_F(PipeInterface, AMissingStatusEndpointAnswersInvalidHandle)
{
    stack->Remove();
    Options o;
    o.statusEndpoint = false;
    o.registry = {hk::RegistryValue::Dword(u"EndPointCaps", 2)};
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter(o));
    EXPECT_EQ(STATUS_INVALID_HANDLE, PipeOpenClose(port, &Port()->StatusPipe, TRUE));
}

TEST_F(PipeInterface, OpenCloseWithoutAnIrpFailsCleanly)
{
    hk::FailAllocation(1, true);  // memory does not come back
    LONGLONG start = hk::Now();
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, PipeOpenClose(port, &Port()->DataInPipe, TRUE));
    hk::ClearFaults();
    EXPECT_EQ(90 * 10000, hk::Now() - start) << "ten tries, 10 ms apart";
    EXPECT_FALSE(sim->IsOpen(Pipe::DataIn));

    hk::FailIrpAllocation(1);  // it comes back for the second try
    EXPECT_EQ(STATUS_SUCCESS, PipeOpenClose(port, &Port()->DataInPipe, TRUE));
    EXPECT_TRUE(sim->IsOpen(Pipe::DataIn));
    EXPECT_EQ(STATUS_SUCCESS, PipeOpenClose(port, &Port()->DataInPipe, FALSE));
}

TEST_F(PipeInterface, MaximumPacketSizesAreReadAndZeroIsPassedOn)
{
    OpenAll();
    sim->SetMaxPacketSize(Pipe::DataOut, 0);
    ULONG size = 99;
    EXPECT_EQ(STATUS_SUCCESS, PipeGetMaxPacketSize(port, &Port()->DataInPipe, &size));
    EXPECT_EQ(256u, size);
    EXPECT_EQ(STATUS_SUCCESS, PipeGetMaxPacketSize(port, &Port()->DataOutPipe, &size));
    EXPECT_EQ(0u, size) << "the caller substitutes 64";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PipeGetMaxPacketSize(port, &Port()->DataInPipe, nullptr));
    sim->InjectFault(Pipe::DataIn, Kind::MaxPacket, Fault{STATUS_UNSUCCESSFUL});
    size = 0;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, PipeGetMaxPacketSize(port, &Port()->DataInPipe, &size));
    EXPECT_EQ(0u, size) << "left alone on failure";
    hk::FailAllocation(1, true);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, PipeGetMaxPacketSize(port, &Port()->DataInPipe, &size));
    hk::ClearFaults();

    sim->ClearRecords();
    Port()->SurpriseRemoved = 1;
    EXPECT_EQ(STATUS_DELETE_PENDING, PipeGetMaxPacketSize(port, &Port()->DataInPipe, &size));
    Port()->SurpriseRemoved = 0;
    Port()->DeviceRemoved = 1;
    EXPECT_EQ(STATUS_DELETE_PENDING, PipeGetMaxPacketSize(port, &Port()->DataInPipe, &size));
    Port()->DeviceRemoved = 0;
    EXPECT_TRUE(sim->Arrivals().empty()) << "nothing was sent";
    CloseAll();
}

TEST_F(PipeInterface, AbortEndsTheOutstandingReadAndResetReopensThePipe)
{
    OpenAll();
    UCHAR buffer[16];
    EXPECT_EQ(STATUS_PENDING, PipeReadAsync(Port(), buffer, sizeof buffer, &Port()->DataInPipe, PumpLikeCompletion));
    EXPECT_EQ(STATUS_SUCCESS, PipeAbort(port, &Port()->DataInPipe));
    EXPECT_EQ(1, gRead.calls);
    EXPECT_EQ(STATUS_CANCELLED, gRead.status);
    EXPECT_EQ(STATUS_SUCCESS, PipeReset(port, &Port()->DataInPipe));
    sim->Feed({1, 2, 3});
    EXPECT_EQ(STATUS_SUCCESS, PipeReadAsync(Port(), buffer, sizeof buffer, &Port()->DataInPipe, PumpLikeCompletion));
    EXPECT_EQ(2, gRead.calls);
    EXPECT_EQ(3u, gRead.bytes);
    auto arrivals = sim->Arrivals();
    int aborts = 0;
    for (auto& a : arrivals) aborts += a.code == IOCTL_PIPE_ABORT && a.pipe == (int)Pipe::DataIn;
    EXPECT_EQ(1, aborts) << "the abort names the pipe by its file object";
    CloseAll();
}

TEST_F(PipeInterface, AbortResetAndMaximumPacketSizeCompletedLaterAreWaitedFor)
{
    OpenAll();
    for (Kind kind : {Kind::Abort, Kind::Reset, Kind::MaxPacket}) sim->CompleteLater(kind, 20000);
    LONGLONG start = hk::Now();
    ULONG size = 0;
    EXPECT_EQ(STATUS_SUCCESS, PipeGetMaxPacketSize(port, &Port()->DataInPipe, &size));
    EXPECT_EQ(256u, size);
    EXPECT_EQ(start + 20000, hk::Now());

    UCHAR buffer[16];
    EXPECT_EQ(STATUS_PENDING, PipeReadAsync(Port(), buffer, sizeof buffer, &Port()->DataInPipe, PumpLikeCompletion));
    EXPECT_EQ(STATUS_SUCCESS, PipeAbort(port, &Port()->DataInPipe));
    EXPECT_EQ(start + 40000, hk::Now());
    EXPECT_EQ(1, gRead.calls);
    EXPECT_EQ(STATUS_SUCCESS, PipeReset(port, &Port()->DataInPipe));
    EXPECT_EQ(start + 60000, hk::Now());

    // Failures reported only at the later completion come back as they are.
    sim->InjectFault(Pipe::DataOut, Kind::Abort, Fault{STATUS_DEVICE_DATA_ERROR});
    sim->InjectFault(Pipe::DataOut, Kind::Reset, Fault{STATUS_DEVICE_NOT_CONNECTED});
    sim->InjectFault(Pipe::DataOut, Kind::MaxPacket, Fault{STATUS_IO_TIMEOUT});
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, PipeAbort(port, &Port()->DataOutPipe));
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, PipeReset(port, &Port()->DataOutPipe));
    size = 0;
    EXPECT_EQ(STATUS_IO_TIMEOUT, PipeGetMaxPacketSize(port, &Port()->DataOutPipe, &size));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(start + 120000, hk::Now());
    CloseAll();
}

// A port whose LowerDevice is gone (detached at removal) sends nothing.
TEST_F(PipeInterface, WithoutALowerDeviceEveryOperationFailsAndSendsNothing)
{
    PDEVICE_OBJECT lower = Port()->LowerDevice;
    Port()->LowerDevice = nullptr;
    UCHAR buffer[4];
    ULONG size = 7;
    ULONG got = 5;
    EXPECT_EQ(STATUS_DELETE_PENDING, PipeOpenClose(port, &Port()->DataInPipe, TRUE));
    EXPECT_EQ(STATUS_DELETE_PENDING, PipeOpenClose(port, &Port()->DataInPipe, FALSE));
    EXPECT_EQ(STATUS_DELETE_PENDING, PipeAbort(port, &Port()->DataInPipe));
    EXPECT_EQ(STATUS_DELETE_PENDING, PipeReset(port, &Port()->DataInPipe));
    EXPECT_EQ(STATUS_DELETE_PENDING, PipeGetMaxPacketSize(port, &Port()->DataInPipe, &size));
    EXPECT_EQ(7u, size);
    EXPECT_EQ(STATUS_DELETE_PENDING, PipeReadSync(Port(), &Port()->StatusPipe, buffer, 1, &got));
    EXPECT_EQ(0u, got);
    EXPECT_EQ(STATUS_DELETE_PENDING, SendPortCommand(Port(), CMD_PORT_ENABLE, 1));
    KeClearEvent(&Port()->RxIdleEvent);
    EXPECT_FALSE(NT_SUCCESS(PipeReadAsync(Port(), buffer, sizeof buffer, &Port()->DataInPipe, PumpLikeCompletion)));
    EXPECT_TRUE(KeReadStateEvent(&Port()->RxIdleEvent)) << "no read is outstanding: the pump is idle";
    Port()->LowerDevice = lower;
    EXPECT_TRUE(sim->Arrivals().empty());
    EXPECT_EQ(0, gRead.calls);
    EXPECT_EQ(0u, hk::OutstandingIrps());
    EXPECT_EQ(DriverRegistryPath.MaximumLength, hk::OutstandingPoolBytes(TAG_FILT)) << "nothing allocated";
}

TEST_F(PipeInterface, AnAsyncReadCompletesOnceAtDispatchLevelWithItsBytes)
{
    OpenAll();
    UCHAR buffer[16] = {};
    EXPECT_EQ(STATUS_PENDING, PipeReadAsync(Port(), buffer, sizeof buffer, &Port()->DataInPipe, PumpLikeCompletion));
    EXPECT_EQ(0, gRead.calls);
    sim->Feed({7, 8});
    EXPECT_EQ(1, gRead.calls);
    EXPECT_EQ(2u, gRead.bytes);
    EXPECT_EQ(DISPATCH_LEVEL, gRead.irql);
    EXPECT_EQ(7, buffer[0]);
    EXPECT_EQ(0u, hk::OutstandingMdls());
    EXPECT_EQ(0u, hk::OutstandingIrps());
    CloseAll();
}

TEST_F(PipeInterface, AReadThatCannotBeIssuedMarksItsPumpIdle)
{
    UCHAR buffer[4];
    KeClearEvent(&Port()->RxIdleEvent);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PipeReadAsync(Port(), nullptr, 4, &Port()->DataInPipe, PumpLikeCompletion));
    EXPECT_TRUE(KeReadStateEvent(&Port()->RxIdleEvent));
    KeClearEvent(&Port()->RxIdleEvent);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PipeReadAsync(Port(), buffer, 0, &Port()->DataInPipe, PumpLikeCompletion));
    EXPECT_TRUE(KeReadStateEvent(&Port()->RxIdleEvent));

    KeClearEvent(&Port()->StatusIdleEvent);
    KeClearEvent(&Port()->RxIdleEvent);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PipeReadAsync(Port(), nullptr, 1, &Port()->StatusPipe, PumpLikeCompletion));
    EXPECT_TRUE(KeReadStateEvent(&Port()->StatusIdleEvent));
    EXPECT_FALSE(KeReadStateEvent(&Port()->RxIdleEvent)) << "only the asking pump";

    // A read that cannot be allocated leaves the pump as it is: it tries again.
    KeClearEvent(&Port()->StatusIdleEvent);
    hk::FailIrpAllocation(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, PipeReadAsync(Port(), buffer, 1, &Port()->StatusPipe, PumpLikeCompletion));
    EXPECT_FALSE(KeReadStateEvent(&Port()->StatusIdleEvent));
    EXPECT_EQ(0, gRead.calls);
    EXPECT_TRUE(sim->Arrivals().empty());
}

TEST_F(PipeInterface, ASynchronousReadTakesTheStatusByte)
{
    OpenAll();
    sim->SetLines(LINE_DSR | LINE_DCD);
    ULONG got = 0;
    EXPECT_EQ(STATUS_SUCCESS, PipeReadSync(Port(), &Port()->StatusPipe, &Port()->StatusByte, 1, &got));
    EXPECT_EQ(1u, got);
    EXPECT_EQ(LINE_DSR | LINE_DCD, Port()->StatusByte);
    sim->CompleteLater(Kind::Read, 10000);
    sim->InjectFault(Pipe::Status, Kind::Read, Fault{STATUS_DEVICE_NOT_CONNECTED});
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, PipeReadSync(Port(), &Port()->StatusPipe, &Port()->StatusByte, 1, &got));
    EXPECT_EQ(0u, got);
    EXPECT_EQ(0u, hk::OutstandingMdls());
    CloseAll();
}

namespace {
struct WriteDone {
    KEVENT event;
    NTSTATUS status;
    ULONG_PTR sent;
};
NTSTATUS NTAPI WriteCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* d = (WriteDone*)context;
    d->status = irp->IoStatus.Status;
    d->sent = irp->IoStatus.Information;
    KeSetEvent(&d->event, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
}  // namespace

TEST_F(PipeInterface, APipeWriteSendsTheSystemBufferAsOneTransferOrAZeroLengthPacket)
{
    OpenAll();
    UCHAR bytes[5] = {'h', 'e', 'l', 'l', 'o'};
    for (ULONG length : {5u, 0u}) {
        WriteDone d;
        KeInitializeEvent(&d.event, NotificationEvent, FALSE);
        PIRP irp = IoAllocateIrp(port->StackSize, FALSE);
        irp->AssociatedIrp.SystemBuffer = bytes;
        PipeSetWriteLocation(Port(), irp, length);
        IoSetCompletionRoutine(irp, WriteCompletion, &d, TRUE, TRUE, TRUE);
        if (IoCallDriver(Port()->LowerDevice, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&d.event, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(STATUS_SUCCESS, d.status);
        EXPECT_EQ(length, d.sent);
        IoFreeIrp(irp);
    }
    auto transfers = sim->OutTransfers();
    ASSERT_EQ(2u, transfers.size());
    EXPECT_EQ(std::vector<UCHAR>(bytes, bytes + 5), transfers[0]);
    EXPECT_TRUE(transfers[1].empty()) << "a zero-length packet";
    CloseAll();
}

// ---- Control transfers --------------------------------------------------------------------

class ControlTransfers : public SimPortTest {
protected:
    void SetUp() override
    {
        SimPortTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
        sim->ClearRecords();
    }
    PDEVICE_OBJECT Lower() { return Port()->LowerDevice; }
};

TEST_F(ControlTransfers, AnOutTransferSendsTheSetupPacketFollowedByItsData)
{
    UCHAR data[2] = {0xA1, 0xB2};
    EXPECT_EQ(STATUS_SUCCESS, PipeControlTransfer(Lower(), 0x40, 0x0B, 0x1234, 0x5678, 2, data));
    ASSERT_EQ(1u, sim->ControlTransfers().size());
    ControlRecord r = sim->ControlTransfers()[0];
    EXPECT_EQ(10u, r.inputLength);
    EXPECT_EQ(0u, r.outputLength);
    EXPECT_EQ(0x40, r.requestType);
    EXPECT_EQ(0x0B, r.request);
    EXPECT_EQ(0x1234, r.value);
    EXPECT_EQ(0x5678, r.index);
    EXPECT_EQ(2, r.length);
    EXPECT_EQ((std::vector<UCHAR>{0xA1, 0xB2}), r.data);
    EXPECT_EQ(0u, hk::OutstandingPoolBytes(TAG_FILT) - (DriverRegistryPath.MaximumLength)) << "the setup buffer is freed";
}

TEST_F(ControlTransfers, AnInTransferSendsEightBytesAndReturnsTheDataIntoTheCallersBuffer)
{
    sim->SetControlInData({1, 2, 3, 4});
    UCHAR data[4] = {};
    EXPECT_EQ(STATUS_SUCCESS, PipeControlTransfer(Lower(), 0xC0, 0x05, 0, 0, 4, data));
    ASSERT_EQ(1u, sim->ControlTransfers().size());
    ControlRecord r = sim->ControlTransfers()[0];
    EXPECT_EQ(8u, r.inputLength);
    EXPECT_EQ(4u, r.outputLength);
    EXPECT_EQ(4, data[3]);
}

TEST_F(ControlTransfers, NoDataStageNeedsNoData)
{
    EXPECT_EQ(STATUS_SUCCESS, PipeControlTransfer(Lower(), 0x21, 0x22, 3, 0, 0, nullptr));
    ASSERT_EQ(1u, sim->ControlTransfers().size());
    EXPECT_EQ(8u, sim->ControlTransfers()[0].inputLength);
}

TEST_F(ControlTransfers, StandardReservedAndBadRecipientRequestsNeverReachThePipeDriver)
{
    UCHAR data[2] = {};
    for (UCHAR type : {0x00, 0x60, 0x44, 0x80, 0xE0}) {
        EXPECT_EQ(STATUS_INVALID_PARAMETER, PipeControlTransfer(Lower(), type, 1, 0, 0, 2, data)) << (int)type;
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PipeControlTransfer(Lower(), 0x40, 1, 0, 0, 2, nullptr)) << "length without data";
    EXPECT_EQ(STATUS_DELETE_PENDING, PipeControlTransfer(nullptr, 0x40, 1, 0, 0, 0, nullptr));
    EXPECT_TRUE(sim->Arrivals().empty());
    EXPECT_EQ(DriverRegistryPath.MaximumLength, hk::OutstandingPoolBytes(TAG_FILT)) << "nothing allocated";
}

TEST_F(ControlTransfers, AllocationFailuresEndTheTransferWithoutLeaks)
{
    UCHAR data[2] = {};
    // Memory that does not come back: the buffer, then (with the buffer had) the request.
    for (unsigned long first : {1ul, 2ul}) {
        hk::FailAllocation(first, true);
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, PipeControlTransfer(Lower(), 0x40, 1, 0, 0, 2, data));
        hk::ClearFaults();
    }
    EXPECT_TRUE(sim->Arrivals().empty());
    EXPECT_EQ(DriverRegistryPath.MaximumLength, hk::OutstandingPoolBytes(TAG_FILT));
    // Memory that comes back a try later: the transfer is made.
    hk::FailPoolAllocation(1, TAG_FILT);
    EXPECT_EQ(STATUS_SUCCESS, PipeControlTransfer(Lower(), 0x40, 1, 0, 0, 2, data));
    hk::FailIrpAllocation(1);
    EXPECT_EQ(STATUS_SUCCESS, PipeControlTransfer(Lower(), 0x40, 1, 0, 0, 2, data));
    EXPECT_EQ(2u, sim->ControlTransfers().size());
    EXPECT_EQ(DriverRegistryPath.MaximumLength, hk::OutstandingPoolBytes(TAG_FILT));
}

TEST_F(ControlTransfers, APendingTransferIsWaitedForAndItsStatusReturned)
{
    sim->CompleteLater(Kind::ControlTransfer, 30000);
    sim->InjectFault(Pipe::Control, Kind::ControlTransfer, Fault{STATUS_DEVICE_DATA_ERROR, false, false, MAXULONG, 1});
    UCHAR data[2] = {};
    LONGLONG start = hk::Now();
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, PipeControlTransfer(Lower(), 0x40, 1, 0, 0, 2, data));
    EXPECT_EQ(start + 30000, hk::Now());
}

// ---- Port commands ------------------------------------------------------------------------

class PortCommands : public ControlTransfers {};

TEST_F(PortCommands, CarryTheSelectorAndArgumentsAsAVendorRequest)
{
    EXPECT_EQ(STATUS_SUCCESS, SendPortCommand(Port(), CMD_PORT_ENABLE, 1));
    EXPECT_EQ(STATUS_SUCCESS, SendPortCommand(Port(), CMD_MODEM_CONTROL, MCB_RTS | MCB_DTR));
    EXPECT_EQ(STATUS_SUCCESS, SendPortCommand(Port(), CMD_FLOW_CHARS, 0x11, 0x13));
    EXPECT_EQ(STATUS_SUCCESS, SendPortCommand(Port(), CMD_ERROR_CHAR, 1, '#'));
    EXPECT_EQ(STATUS_SUCCESS, SendPortCommand(Port(), CMD_LINE_CONFIG, 8, LF_8_DATA_BITS));
    EXPECT_EQ(STATUS_SUCCESS, SendPortCommand(Port(), CMD_LINE_CONFIG, LCB_8_DATA_BITS | 3));
    auto controls = sim->ControlTransfers();
    ASSERT_EQ(6u, controls.size());
    for (auto& c : controls) {
        EXPECT_EQ(0x40, c.requestType);
        EXPECT_EQ(0x0B, c.request);
        EXPECT_EQ(0, c.value);
        EXPECT_EQ(0, c.index);
        EXPECT_FALSE(c.unknownCommand);
    }
    EXPECT_EQ(2, controls[0].length);
    EXPECT_EQ(3, controls[2].length);
    auto commands = sim->Commands();
    ASSERT_EQ(6u, commands.size());
    EXPECT_EQ((std::vector<UCHAR>{3, 1}), commands[0]);
    EXPECT_EQ((std::vector<UCHAR>{1, 3}), commands[1]);
    EXPECT_EQ((std::vector<UCHAR>{2, 0x11, 0x13}), commands[2]);
    EXPECT_EQ((std::vector<UCHAR>{4, 1, '#'}), commands[3]);
    AdapterState a = sim->Adapter();
    EXPECT_TRUE(a.portEnabled);
    EXPECT_TRUE(a.rts && a.dtr && !a.breakOn);
    EXPECT_EQ(2, a.line.form) << "the last line configuration was the two-byte form";
    EXPECT_EQ(115200u, a.line.baud);
    EXPECT_TRUE(a.errorCharEnabled);
}

// The driver's command-set constants, each sent alone, as the adapter decodes them:
// a wrong bit in the driver shows as wrong adapter state.
namespace {
struct LineCase {
    UCHAR bits;
    ULONG baud;
    int dataBits;
    int stopBits;
    Parity parity;
    bool rtsCts;
    bool xonXoff;
};

void ExpectLine(const PipeSim& sim, int form, const LineCase& c)
{
    LineConfig line = sim.Adapter().line;
    EXPECT_EQ(form, line.form);
    EXPECT_EQ(c.baud, line.baud);
    EXPECT_EQ(c.dataBits, line.dataBits);
    EXPECT_EQ(c.stopBits, line.stopBits);
    EXPECT_EQ(c.parity, line.parity);
    EXPECT_EQ(c.rtsCts, line.rtsCts);
    EXPECT_EQ(c.xonXoff, line.xonXoff);
}
}  // namespace

TEST_F(PortCommands, EachModemControlBitDrivesItsOwnLine)
{
    struct Case {
        UCHAR bits;
        bool rts, dtr, breakOn;
    };
    for (Case c : {Case{MCB_RTS, true, false, false}, Case{MCB_DTR, false, true, false}, Case{MCB_BREAK, false, false, true},
                   Case{0, false, false, false}}) {
        SCOPED_TRACE(::testing::Message() << "modem control byte " << (int)c.bits);
        ASSERT_EQ(STATUS_SUCCESS, SendPortCommand(Port(), CMD_MODEM_CONTROL, c.bits));
        AdapterState a = sim->Adapter();
        EXPECT_EQ(c.rts, a.rts);
        EXPECT_EQ(c.dtr, a.dtr);
        EXPECT_EQ(c.breakOn, a.breakOn);
    }
    for (auto& c : sim->ControlTransfers()) EXPECT_FALSE(c.unknownCommand);
}

TEST_F(PortCommands, EachLineConfigBitAndBaudCodeMeansToTheAdapterWhatTheDriverMeans)
{
    const LineCase cases[] = {
        {LCB_8_DATA_BITS, 9600, 8, 1, Parity::None, false, false},
        {LCB_2_STOP_BITS, 9600, 7, 2, Parity::None, false, false},
        {LCB_EVEN_PARITY, 9600, 7, 1, Parity::Even, false, false},
        {LCB_ODD_PARITY, 9600, 7, 1, Parity::Odd, false, false},
        {LCB_RTS_CTS, 9600, 7, 1, Parity::None, true, false},
        {LCB_XON_XOFF, 9600, 7, 1, Parity::None, false, true},
        {(UCHAR)(0 & LCB_BAUD_MASK), 9600, 7, 1, Parity::None, false, false},
        {(UCHAR)(1 & LCB_BAUD_MASK), 19200, 7, 1, Parity::None, false, false},
        {(UCHAR)(2 & LCB_BAUD_MASK), 38400, 7, 1, Parity::None, false, false},
        {(UCHAR)(3 & LCB_BAUD_MASK), 115200, 7, 1, Parity::None, false, false},
        {LCB_BAUD_MASK, 115200, 7, 1, Parity::None, false, false},  // the mask is the baud code and nothing else
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "line config byte " << (int)c.bits);
        ASSERT_EQ(STATUS_SUCCESS, SendPortCommand(Port(), CMD_LINE_CONFIG, c.bits));
        ExpectLine(*sim, 2, c);
    }
    for (auto& c : sim->ControlTransfers()) EXPECT_FALSE(c.unknownCommand);
}

TEST_F(PortCommands, EachLineFlagAndEveryBaudIndexMeanToTheAdapterWhatTheDriverMeans)
{
    const UCHAR index9600 = 4;  // in the adapter's table
    const LineCase cases[] = {
        {LF_8_DATA_BITS, 9600, 8, 1, Parity::None, false, false},
        {LF_2_STOP_BITS, 9600, 7, 2, Parity::None, false, false},
        {LF_EVEN_PARITY, 9600, 7, 1, Parity::Even, false, false},
        {LF_ODD_PARITY, 9600, 7, 1, Parity::Odd, false, false},
        {LF_HARDWARE_HANDSHAKE, 9600, 7, 1, Parity::None, true, false},
        {LF_XON_XOFF, 9600, 7, 1, Parity::None, false, true},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "line flags " << (int)c.bits);
        ASSERT_EQ(STATUS_SUCCESS, SendPortCommand(Port(), CMD_LINE_CONFIG, index9600, c.bits));
        ExpectLine(*sim, 3, c);
    }
    for (UCHAR index = 0; index < 9; ++index) {
        SCOPED_TRACE(::testing::Message() << "baud index " << (int)index);
        ASSERT_EQ(STATUS_SUCCESS, SendPortCommand(Port(), CMD_LINE_CONFIG, index, LF_8_DATA_BITS));
        ExpectLine(*sim, 3, {LF_8_DATA_BITS, BAUD_INDEX_TABLE[index], 8, 1, Parity::None, false, false});
    }
    for (auto& c : sim->ControlTransfers()) EXPECT_FALSE(c.unknownCommand);
}

TEST_F(PortCommands, TheAdaptersAnswerIsReturnedAsItIs)
{
    sim->InjectFault(Pipe::Control, Kind::ControlTransfer, Fault{STATUS_DEVICE_NOT_CONNECTED, false, false, MAXULONG, 1});
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, SendPortCommand(Port(), CMD_PORT_ENABLE, 0));
    EXPECT_EQ(STATUS_SUCCESS, SendPortCommand(Port(), CMD_PORT_ENABLE, 0));
}

TEST_F(PortCommands, PayloadsOtherThanTwoOrThreeBytesNeverReachThePipeDriver)
{
    UCHAR payload[4] = {1, 2, 3, 4};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SendPortCommand(Port(), payload, 1));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SendPortCommand(Port(), payload, 4));
    EXPECT_TRUE(sim->Arrivals().empty());
}
