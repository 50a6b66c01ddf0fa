// The simulated pipe driver's contract, driven as the port driver would drive it:
// every later test trusts these behaviours.
#include "pipesim/pipesim.h"
#include "support/kernel_test.h"

using namespace pipesim;

namespace {

struct Done {
    KEVENT event;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    KIRQL irql = 0;
    int calls = 0;
};

// A read on one end of a cable whose completion writes what it got back onto the line.
struct Echo {
    PDEVICE_OBJECT device;
    PFILE_OBJECT out;
    UCHAR buffer[16];
    ULONG length = 0;
    bool sent = false;
};

NTSTATUS NTAPI FreeWrite(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    ((Echo*)context)->sent = NT_SUCCESS(irp->IoStatus.Status);
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI EchoBack(PDEVICE_OBJECT, PIRP read, PVOID context)
{
    auto* e = (Echo*)context;
    e->length = (ULONG)read->IoStatus.Information;
    MmUnlockPages(read->MdlAddress);
    IoFreeMdl(read->MdlAddress);
    read->MdlAddress = nullptr;
    IoFreeIrp(read);
    PIRP write = IoAllocateIrp(e->device->StackSize, FALSE);
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(write);
    s->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    s->Parameters.DeviceIoControl.IoControlCode = kIoctlPipeWrite;
    s->Parameters.DeviceIoControl.InputBufferLength = e->length;
    s->FileObject = e->out;
    write->AssociatedIrp.SystemBuffer = e->buffer;
    IoSetCompletionRoutine(write, FreeWrite, e, TRUE, TRUE, TRUE);
    IoCallDriver(e->device, write);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI KeepAndFree(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* d = (Done*)context;
    d->status = irp->IoStatus.Status;
    d->information = irp->IoStatus.Information;
    d->irql = KeGetCurrentIrql();
    d->calls++;
    if (irp->MdlAddress) {
        MmUnlockPages(irp->MdlAddress);
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = nullptr;
    }
    IoFreeIrp(irp);
    KeSetEvent(&d->event, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
}  // namespace

class Sim : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        sim = std::make_unique<PipeSim>(Options{});
        for (int i = 0; i < 3; ++i) {
            files[i] = {};
            names[i] = u"\\PIPE0" + std::u16string(1, (char16_t)(u'0' + i));
            files[i].FileName.Buffer = names[i].data();
            files[i].FileName.Length = (USHORT)(names[i].size() * 2);
            files[i].FileName.MaximumLength = files[i].FileName.Length;
        }
    }
    void TearDown() override
    {
        sim.reset();
        KernelTest::TearDown();
    }
    PDEVICE_OBJECT dev() { return (on ? on : sim.get())->Device(); }

    // A driver-owned request; `d` learns its completion. Returns what IoCallDriver did.
    NTSTATUS StartMajor(UCHAR major, PFILE_OBJECT file, Done* d)
    {
        KeInitializeEvent(&d->event, NotificationEvent, FALSE);
        PIRP irp = IoAllocateIrp(dev()->StackSize, FALSE);
        PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
        s->MajorFunction = major;
        s->FileObject = file;
        IoSetCompletionRoutine(irp, KeepAndFree, d, TRUE, TRUE, TRUE);
        return IoCallDriver(dev(), irp);
    }
    // The same, waited for; returns its final status.
    NTSTATUS Major(UCHAR major, PFILE_OBJECT file)
    {
        Done d;
        StartMajor(major, file, &d);
        KeWaitForSingleObject(&d.event, Executive, KernelMode, FALSE, nullptr);
        return d.status;
    }
    NTSTATUS Open(int pipe) { return Major(IRP_MJ_CREATE, &files[pipe]); }

    // A private control request as the port driver builds it, left to complete.
    struct Call {
        KEVENT event;
        IO_STATUS_BLOCK iosb = {};
        bool Done() { return KeReadStateEvent(&event) != 0; }
    };
    NTSTATUS StartIoctl(Call* c, ULONG code, PFILE_OBJECT file, const void* in = nullptr, ULONG inLength = 0,
                        void* out = nullptr, ULONG outLength = 0)
    {
        KeInitializeEvent(&c->event, NotificationEvent, FALSE);
        c->iosb = {};
        PIRP irp = IoBuildDeviceIoControlRequest(code, dev(), (PVOID)in, inLength, out, outLength, FALSE, &c->event, &c->iosb);
        IoGetNextIrpStackLocation(irp)->FileObject = file;
        return IoCallDriver(dev(), irp);
    }
    // The same, waited for.
    NTSTATUS Ioctl(ULONG code, PFILE_OBJECT file, const void* in = nullptr, ULONG inLength = 0, void* out = nullptr,
                   ULONG outLength = 0, ULONG_PTR* information = nullptr)
    {
        Call c;
        NTSTATUS status = StartIoctl(&c, code, file, in, inLength, out, outLength);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&c.event, Executive, KernelMode, FALSE, nullptr);
            status = c.iosb.Status;
        }
        if (information) *information = c.iosb.Information;
        return status;
    }
    // Starts a read of `length` bytes on a pipe; `d` learns its completion.
    NTSTATUS StartRead(int pipe, UCHAR* buffer, ULONG length, Done* d, PIRP* sent = nullptr)
    {
        KeInitializeEvent(&d->event, NotificationEvent, FALSE);
        LARGE_INTEGER zero = {};
        PIRP irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, dev(), buffer, length, &zero, nullptr);
        IoGetNextIrpStackLocation(irp)->FileObject = &files[pipe];
        IoSetCompletionRoutine(irp, KeepAndFree, d, TRUE, TRUE, TRUE);
        if (sent) *sent = irp;
        return IoCallDriver(dev(), irp);
    }
    // A PnP, power or WMI request from outside, as the system sends it.
    hk::Result Send(UCHAR major, UCHAR minor, NTSTATUS initialStatus = STATUS_NOT_SUPPORTED)
    {
        return hk::SendRequest(
            dev(),
            [&](PIO_STACK_LOCATION s) {
                s->MajorFunction = major;
                s->MinorFunction = minor;
            },
            initialStatus, major == IRP_MJ_POWER);
    }
    NTSTATUS WritePipe(const std::vector<UCHAR>& bytes, ULONG_PTR* sent = nullptr)
    {
        return Ioctl(kIoctlPipeWrite, &files[0], bytes.data(), (ULONG)bytes.size(), nullptr, 0, sent);
    }
    NTSTATUS Control(std::vector<UCHAR> setupAndData, void* out = nullptr, ULONG outLength = 0, ULONG_PTR* info = nullptr)
    {
        return Ioctl(kIoctlPipeControlTransfer, nullptr, setupAndData.data(), (ULONG)setupAndData.size(), out, outLength, info);
    }

    std::unique_ptr<PipeSim> sim;
    PipeSim* on = nullptr;  // another simulator the helpers address instead
    FILE_OBJECT files[3];
    std::u16string names[3];
};

TEST_F(Sim, OpensPipesByFileNameAndRefusesWhatIsNotThere)
{
    EXPECT_EQ(STATUS_SUCCESS, Open(0));
    EXPECT_EQ(STATUS_SUCCESS, Open(1));
    EXPECT_EQ(STATUS_SUCCESS, Open(2));
    EXPECT_TRUE(sim->IsOpen(Pipe::DataIn));
    EXPECT_EQ(STATUS_SUCCESS, Major(IRP_MJ_CLOSE, &files[1]));
    EXPECT_FALSE(sim->IsOpen(Pipe::DataIn));
    ULONG size = 0;
    EXPECT_EQ(STATUS_INVALID_HANDLE, Ioctl(kIoctlPipeGetMaxPacketSize, &files[1], nullptr, 0, &size, 4)) << "a closed pipe takes no requests";

    FILE_OBJECT other = {};
    std::u16string name = u"\\PIPE07";
    other.FileName = {(USHORT)(name.size() * 2), (USHORT)(name.size() * 2), name.data()};
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Major(IRP_MJ_CREATE, &other));

    sim.reset();
    Options noStatus;
    noStatus.statusEndpoint = false;
    sim = std::make_unique<PipeSim>(noStatus);
    EXPECT_EQ(STATUS_INVALID_HANDLE, Open(2)) << "an adapter without a status endpoint";
}

TEST_F(Sim, ReportsEachPipesMaximumPacketSizeZeroIncluded)
{
    for (int i = 0; i < 3; ++i) Open(i);
    sim->SetMaxPacketSize(Pipe::DataIn, 512);
    sim->SetMaxPacketSize(Pipe::DataOut, 0);
    ULONG size = 7;
    ULONG_PTR info = 0;
    EXPECT_EQ(STATUS_SUCCESS, Ioctl(kIoctlPipeGetMaxPacketSize, &files[1], nullptr, 0, &size, 4, &info));
    EXPECT_EQ(512u, size);
    EXPECT_EQ(4u, info);
    EXPECT_EQ(STATUS_SUCCESS, Ioctl(kIoctlPipeGetMaxPacketSize, &files[0], nullptr, 0, &size, 4));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Ioctl(kIoctlPipeGetMaxPacketSize, &files[0], nullptr, 0, &size, 2));
}

TEST_F(Sim, BulkInReadsTakeWhatIsThereInPacketsOrWaitForIt)
{
    Open(1);
    std::vector<UCHAR> data(150);
    for (size_t i = 0; i < data.size(); ++i) data[i] = (UCHAR)i;
    sim->Feed(data);  // packets of 64, 64 and a short 22
    UCHAR buffer[256];
    Done d;
    EXPECT_EQ(STATUS_SUCCESS, StartRead(1, buffer, 100, &d));
    EXPECT_EQ(100u, d.information) << "a full packet does not end the transfer; the read's length does";
    EXPECT_EQ(0, std::memcmp(buffer, data.data(), 100));
    StartRead(1, buffer, 256, &d);
    EXPECT_EQ(50u, d.information) << "the short packet ends it";
    EXPECT_EQ(0, std::memcmp(buffer, data.data() + 100, 50));

    EXPECT_EQ(STATUS_PENDING, StartRead(1, buffer, 16, &d));
    EXPECT_EQ(1u, sim->Outstanding(Pipe::DataIn));
    sim->Feed({9, 8, 7}, false);
    ASSERT_EQ(3, d.calls);
    EXPECT_EQ(3u, d.information);
    EXPECT_EQ(DISPATCH_LEVEL, d.irql) << "data arrives from the hardware side";
    EXPECT_EQ(9, buffer[0]);
}

TEST_F(Sim, AbortCompletesEverythingOutstandingAndResetMakesThePipeUsableAgain)
{
    Open(1);
    UCHAR buffer[8];
    Done a, b;
    StartRead(1, buffer, 8, &a);
    StartRead(1, buffer, 8, &b);
    EXPECT_EQ(STATUS_SUCCESS, Ioctl(kIoctlPipeAbort, &files[1]));
    EXPECT_EQ(STATUS_CANCELLED, a.status);
    EXPECT_EQ(STATUS_CANCELLED, b.status);
    Done c;
    StartRead(1, buffer, 8, &c);
    EXPECT_NE(STATUS_SUCCESS, c.status) << "an aborted pipe refuses until it is reset";
    EXPECT_EQ(STATUS_SUCCESS, Ioctl(kIoctlPipeReset, &files[1]));
    sim->Feed({1});
    StartRead(1, buffer, 8, &c);
    EXPECT_EQ(STATUS_SUCCESS, c.status);
}

TEST_F(Sim, AHeldReadCanBeCancelled)
{
    Open(1);
    UCHAR buffer[8];
    Done d;
    PIRP irp = nullptr;
    ASSERT_EQ(STATUS_PENDING, StartRead(1, buffer, 8, &d, &irp));
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(STATUS_CANCELLED, d.status);
    EXPECT_EQ(0u, sim->Outstanding(Pipe::DataIn));
}

TEST_F(Sim, TheStatusEndpointAnswersEveryReadWithTheLines)
{
    Open(2);
    sim->SetLines(LINE_CTS | LINE_RI);
    UCHAR b = 0;
    Done d;
    EXPECT_EQ(STATUS_SUCCESS, StartRead(2, &b, 1, &d));
    EXPECT_EQ(1u, d.information);
    EXPECT_EQ(LINE_CTS | LINE_RI, b);
}

TEST_F(Sim, WritesAreRecordedAsTransfersZeroLengthPacketsIncluded)
{
    Open(0);
    ULONG_PTR sent = 0;
    EXPECT_EQ(STATUS_SUCCESS, WritePipe({1, 2, 3}, &sent));
    EXPECT_EQ(3u, sent);
    EXPECT_EQ(STATUS_SUCCESS, WritePipe({}, &sent));
    EXPECT_EQ(0u, sent);
    auto transfers = sim->OutTransfers();
    ASSERT_EQ(2u, transfers.size());
    EXPECT_EQ(3u, transfers[0].size());
    EXPECT_TRUE(transfers[1].empty());
    Open(1);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Ioctl(kIoctlPipeWrite, &files[1], "x", 1)) << "only the bulk OUT pipe writes";
}

TEST_F(Sim, TheLoopbackPlugReturnsTransmittedBytesAndTiesTheLines)
{
    for (int i = 0; i < 3; ++i) Open(i);
    sim->SetLoopback(true);
    UCHAR buffer[8] = {};
    Done d;
    StartRead(1, buffer, 8, &d);
    WritePipe({'h', 'i'});
    EXPECT_EQ(2u, d.information);
    EXPECT_EQ('h', buffer[0]);
    EXPECT_EQ(0, sim->StatusByte());
    Control({0x40, 0x0B, 0, 0, 0, 0, 2, 0, 1, 0x03});  // RTS and DTR on
    EXPECT_EQ(LINE_CTS | LINE_DSR | LINE_DCD, sim->StatusByte());
}

TEST_F(Sim, DecodesTheCommandSetIntoAdapterState)
{
    EXPECT_EQ(STATUS_SUCCESS, Control({0x40, 0x0B, 0, 0, 0, 0, 2, 0, 3, 1}));
    Control({0x40, 0x0B, 0, 0, 0, 0, 2, 0, 1, 0x07});
    Control({0x40, 0x0B, 0, 0, 0, 0, 3, 0, 2, 0x11, 0x13});
    Control({0x40, 0x0B, 0, 0, 0, 0, 3, 0, 4, 1, '?'});
    Control({0x40, 0x0B, 0, 0, 0, 0, 2, 0, 0, 0x04 | 0x01 | 0x10 | 0x40});  // 19200 8E1 RTS/CTS
    AdapterState a = sim->Adapter();
    EXPECT_TRUE(a.portEnabled);
    EXPECT_TRUE(a.rts && a.dtr && a.breakOn);
    EXPECT_EQ(0x11, a.xonChar);
    EXPECT_EQ(0x13, a.xoffChar);
    EXPECT_TRUE(a.errorCharEnabled);
    EXPECT_EQ('?', a.errorChar);
    EXPECT_EQ(2, a.line.form);
    EXPECT_EQ(19200u, a.line.baud);
    EXPECT_EQ(8, a.line.dataBits);
    EXPECT_EQ(Parity::Even, a.line.parity);
    EXPECT_TRUE(a.line.rtsCts);

    Control({0x40, 0x0B, 0, 0, 0, 0, 3, 0, 0, 2, 0x01 | 0x02 | 0x08 | 0x20});  // 2400 8O2 XON/XOFF
    a = sim->Adapter();
    EXPECT_EQ(3, a.line.form);
    EXPECT_EQ(2400u, a.line.baud);
    EXPECT_EQ(2, a.line.stopBits);
    EXPECT_EQ(Parity::Odd, a.line.parity);
    EXPECT_TRUE(a.line.xonXoff);

    Control({0x40, 0x0B, 0, 0, 0, 0, 2, 0, 9, 9});
    auto records = sim->ControlTransfers();
    ASSERT_EQ(7u, records.size());
    EXPECT_FALSE(records[5].unknownCommand);
    EXPECT_TRUE(records[6].unknownCommand);
    EXPECT_EQ(7u, sim->Commands().size());
}

TEST_F(Sim, ControlTransfersAreValidatedAndInDataComesBack)
{
    sim->SetControlInData({0xAA, 0xBB, 0xCC, 0xDD});
    UCHAR out[4] = {};
    ULONG_PTR info = 0;
    EXPECT_EQ(STATUS_SUCCESS, Control({0xC0, 0x01, 0x34, 0x12, 0, 0, 4, 0}, out, 4, &info));
    EXPECT_EQ(4u, info);
    EXPECT_EQ(0xDD, out[3]);
    ASSERT_EQ(1u, sim->ControlTransfers().size());
    ControlRecord r = sim->ControlTransfers()[0];
    EXPECT_EQ(0x1234, r.value);
    EXPECT_EQ(8u, r.inputLength);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Control({0x40, 0x0B, 0, 0, 0, 0, 2, 0, 1})) << "data shorter than wLength";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Control({0x00, 0x06, 0, 0, 0, 0, 0, 0})) << "a standard request";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Control({0x40, 0x0B, 0})) << "no setup packet";
}

TEST_F(Sim, RequestsCompleteInsideTheCallOrLaterAtDispatchLevel)
{
    Open(0);
    sim->CompleteLater(Kind::Write, 50000);
    UCHAR byte = 1;
    Call write;
    LONGLONG start = hk::Now();
    ASSERT_EQ(STATUS_PENDING, StartIoctl(&write, kIoctlPipeWrite, &files[0], &byte, 1));
    EXPECT_FALSE(write.Done());
    KeWaitForSingleObject(&write.event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(start + 50000, hk::Now());
    EXPECT_EQ(1u, write.iosb.Information);

    sim->CompleteLater(Kind::Open, 0);
    Done d;
    EXPECT_EQ(STATUS_PENDING, StartMajor(IRP_MJ_CREATE, &files[1], &d));
    KeWaitForSingleObject(&d.event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(STATUS_SUCCESS, d.status);
    EXPECT_EQ(DISPATCH_LEVEL, d.irql);
}

TEST_F(Sim, FaultsFailShortenStallOrEmptyRequests)
{
    Open(0);
    Open(1);
    sim->InjectFault(Pipe::DataOut, Kind::Write, Fault{STATUS_DEVICE_DATA_ERROR, false, false, MAXULONG, 1});
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, WritePipe({1}));
    EXPECT_EQ(STATUS_SUCCESS, WritePipe({1})) << "the fault applied once";
    sim->InjectFault(Pipe::DataOut, Kind::Write, Fault{STATUS_SUCCESS, false, false, 2, -1});
    ULONG_PTR sent = 0;
    WritePipe({1, 2, 3, 4}, &sent);
    EXPECT_EQ(2u, sent);
    sim->ClearFaults();

    sim->Feed({5, 6});
    sim->InjectFault(Pipe::DataIn, Kind::Read, Fault{STATUS_SUCCESS, false, true, MAXULONG, 1});
    UCHAR buffer[4];
    Done d;
    StartRead(1, buffer, 4, &d);
    EXPECT_EQ(STATUS_SUCCESS, d.status);
    EXPECT_EQ(0u, d.information) << "completes empty although data is there";
    EXPECT_EQ(2u, sim->PendingInBytes());

    sim->InjectFault(Pipe::DataIn, Kind::Read, Fault{STATUS_SUCCESS, true, false, MAXULONG, 1});
    EXPECT_EQ(STATUS_PENDING, StartRead(1, buffer, 4, &d));
    hk::AdvanceMs(1000);
    EXPECT_EQ(1, d.calls) << "stalled: data does not release it";
    Ioctl(kIoctlPipeAbort, &files[1]);
    EXPECT_EQ(STATUS_CANCELLED, d.status);
}

TEST_F(Sim, PacingHoldsAWriteForItsTimeOnTheWire)
{
    Open(0);
    sim->SetPacing(true);
    LONGLONG start = hk::Now();
    EXPECT_EQ(STATUS_SUCCESS, WritePipe(std::vector<UCHAR>(1152, 0x55)));
    EXPECT_EQ(start + 100 * 10000, hk::Now()) << "1152 bytes of 10 bits at 115200 baud take 100 ms";
}

TEST_F(Sim, PacedBytesReachThePlugAsTheWireCarriesThemAndAnAbortFreesTheWire)
{
    Open(0);
    sim->SetLoopback(true);
    sim->SetPacing(true);
    std::vector<UCHAR> data(1152, 0x55);  // 100 ms at 115200 8N1
    Call write;
    ASSERT_EQ(STATUS_PENDING, StartIoctl(&write, kIoctlPipeWrite, &files[0], data.data(), (ULONG)data.size()));
    hk::AdvanceMs(50);
    EXPECT_EQ(576u, sim->PendingInBytes()) << "the nine pieces that left the wire in 50 ms";
    EXPECT_FALSE(write.Done());
    EXPECT_EQ(1u, sim->Outstanding(Pipe::DataOut)) << "the write, not its pieces";

    EXPECT_EQ(STATUS_SUCCESS, Ioctl(kIoctlPipeAbort, &files[0]));
    ASSERT_TRUE(write.Done());
    EXPECT_EQ(STATUS_CANCELLED, write.iosb.Status);
    EXPECT_EQ(STATUS_SUCCESS, Ioctl(kIoctlPipeReset, &files[0]));
    LONGLONG start = hk::Now();
    EXPECT_EQ(STATUS_SUCCESS, WritePipe(data));
    EXPECT_EQ(start + 100 * 10000, hk::Now()) << "the aborted write's rest no longer holds the wire";
    EXPECT_EQ(576u + 1152u, sim->PendingInBytes()) << "nothing more of the aborted write";
}

TEST_F(Sim, RecordingCanBeOffFromTheStartAndSwitchedWhileTheAdapterWorksOn)
{
    Options o;
    o.record = false;
    sim = std::make_unique<PipeSim>(o);
    Open(0);
    sim->SetLoopback(true);
    WritePipe({1, 2, 3});
    Control({0x40, 0x0B, 0, 0, 0, 0, 2, 0, 1, 0x03});
    EXPECT_TRUE(sim->Arrivals().empty());
    EXPECT_EQ(0, sim->Count(IRP_MJ_CREATE));
    EXPECT_TRUE(sim->OutTransfers().empty());
    EXPECT_TRUE(sim->ControlTransfers().empty());
    EXPECT_TRUE(sim->Commands().empty());
    EXPECT_TRUE(sim->Adapter().rts && sim->Adapter().dtr);
    EXPECT_EQ(3u, sim->PendingInBytes());

    sim->SetRecording(true);
    WritePipe({4});
    Control({0x40, 0x0B, 0, 0, 0, 0, 2, 0, 1, 0x00});
    EXPECT_EQ(std::vector<std::vector<UCHAR>>{{4}}, sim->OutTransfers());
    EXPECT_EQ((std::vector<std::vector<UCHAR>>{{1, 0x00}}), sim->Commands());
    EXPECT_EQ(1u, sim->ControlTransfers().size());
    EXPECT_EQ(2, sim->Count(IRP_MJ_DEVICE_CONTROL));
    sim->SetRecording(false);
    WritePipe({5});
    EXPECT_EQ(1u, sim->OutTransfers().size()) << "what was recorded stays";
    EXPECT_EQ(2u, sim->Arrivals().size());
}

TEST_F(Sim, AnEndlessStreamFillsEachReadWholeAfterTheFedBytesAndIsCountedWithoutRecording)
{
    Options o;
    o.record = false;
    sim = std::make_unique<PipeSim>(o);
    Open(0);
    Open(1);
    UCHAR buffer[300];
    Done waiting;
    EXPECT_EQ(STATUS_PENDING, StartRead(1, buffer, 100, &waiting));
    UCHAR next = 0;
    sim->SetInStream([&next](UCHAR* b, ULONG n) {
        for (ULONG i = 0; i < n; ++i) b[i] = next++;
    });
    ASSERT_EQ(1, waiting.calls) << "a read already waiting gets the stream";
    EXPECT_EQ(100u, waiting.information);
    EXPECT_EQ(99, buffer[99]);

    sim->Feed({0xAA, 0xBB}, false);
    Done d;
    StartRead(1, buffer, 300, &d);
    EXPECT_EQ(2u, d.information) << "fed bytes come first, as one transfer";
    StartRead(1, buffer, 300, &d);
    EXPECT_EQ(300u, d.information);
    EXPECT_EQ(100, buffer[0]);
    EXPECT_EQ((UCHAR)(100 + 299), buffer[299]);
    WritePipe({1, 2, 3});
    WritePipe({});

    PipeSim::Traffic t = sim->Counts();
    EXPECT_EQ(3u, t.inReads);
    EXPECT_EQ(402u, t.inBytes);
    EXPECT_EQ(1u, t.outTransfers);
    EXPECT_EQ(1u, t.zeroLength);
    EXPECT_EQ(3u, t.outBytes);
    EXPECT_TRUE(sim->Arrivals().empty());

    sim->SetInStream({});
    EXPECT_EQ(STATUS_PENDING, StartRead(1, buffer, 16, &d)) << "without the stream a read waits for data again";
    sim->Feed({7}, false);
}

TEST_F(Sim, TheLineBufferKeepsWhatFitsAndLosesTheRestButFeedIsNotLimited)
{
    Options o;
    o.lineBufferLimit = 100;
    sim = std::make_unique<PipeSim>(o);
    Open(0);
    Open(1);
    sim->SetLoopback(true);
    WritePipe(std::vector<UCHAR>(80, 1));
    WritePipe(std::vector<UCHAR>(50, 2));
    EXPECT_EQ(100u, sim->PendingInBytes());
    EXPECT_EQ(30u, sim->LostInBytes());
    sim->Feed(std::vector<UCHAR>(10, 3));
    EXPECT_EQ(110u, sim->PendingInBytes());
    UCHAR buffer[128] = {};
    Done d;
    StartRead(1, buffer, 128, &d);  // packets of 64 and 16 from the first write
    ASSERT_EQ(80u, d.information);
    StartRead(1, buffer, 128, &d);
    ASSERT_EQ(20u, d.information) << "the second write's first 20 bytes";
    EXPECT_EQ(2, buffer[19]);
}

TEST_F(Sim, AWiredEndMayAnswerFromTheCompletionOfWhatItReceived)
{
    PipeSim peer;
    FILE_OBJECT theirs[2] = {files[0], files[1]};
    on = &peer;
    ASSERT_EQ(STATUS_SUCCESS, Open(0));
    ASSERT_EQ(STATUS_SUCCESS, Major(IRP_MJ_CREATE, &theirs[0]));
    ASSERT_EQ(STATUS_SUCCESS, Major(IRP_MJ_CREATE, &theirs[1]));
    on = nullptr;
    Echo echo{peer.Device(), &theirs[0], {}};
    LARGE_INTEGER zero = {};
    PIRP read = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, peer.Device(), echo.buffer, sizeof echo.buffer, &zero, nullptr);
    IoGetNextIrpStackLocation(read)->FileObject = &theirs[1];
    IoSetCompletionRoutine(read, EchoBack, &echo, TRUE, TRUE, TRUE);
    ASSERT_EQ(STATUS_PENDING, IoCallDriver(peer.Device(), read));

    Open(0);
    Open(1);
    NullModem cable(*sim, peer);
    UCHAR buffer[16] = {};
    Done back;
    ASSERT_EQ(STATUS_PENDING, StartRead(1, buffer, sizeof buffer, &back));
    // The peer's read completes, and its echo is sent, while this write is on the wire.
    EXPECT_EQ(STATUS_SUCCESS, WritePipe({'p', 'i', 'n', 'g'}));
    EXPECT_TRUE(echo.sent);
    ASSERT_EQ(4u, back.information);
    EXPECT_EQ(0, std::memcmp(buffer, "ping", 4));
}

TEST_F(Sim, PnpPowerAndWmiGoDownToThePdoAndAreCounted)
{
    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MJ_PNP, IRP_MN_START_DEVICE).status);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, Send(IRP_MJ_PNP, IRP_MN_QUERY_ID).status) << "the bus driver leaves what it does not handle";
    sim->Bus().CompleteLater(5000);
    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MJ_POWER, IRP_MN_SET_POWER).status) << "completed by the bus driver later";
    sim->Bus().CompleteLater(0);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Send(IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA, STATUS_INVALID_DEVICE_REQUEST).status)
        << "no WMI provider below keeps the status";
    EXPECT_EQ(2, sim->Count(IRP_MJ_PNP));
    EXPECT_EQ(1, sim->Count(IRP_MJ_PNP, IRP_MN_START_DEVICE));
    EXPECT_EQ(1, sim->Count(IRP_MJ_POWER));
    EXPECT_EQ(1, sim->Count(IRP_MJ_SYSTEM_CONTROL));

    auto below = sim->Bus().Arrived();
    ASSERT_EQ(4u, below.size()) << "each went on down to the PDO";
    EXPECT_EQ(IRP_MN_START_DEVICE, below[0].minor);
    EXPECT_EQ(IRP_MN_QUERY_ID, below[1].minor);
    EXPECT_EQ(IRP_MJ_POWER, below[2].major);
    EXPECT_EQ(IRP_MN_SET_POWER, below[2].minor);
    EXPECT_EQ(IRP_MJ_SYSTEM_CONTROL, below[3].major);
    EXPECT_EQ(sim->Pdo(), below[3].stack.DeviceObject);
}

TEST_F(Sim, ArrivalsCarryTheTransferLengthOfReadsAndWrites)
{
    Open(0);
    Open(1);
    sim->Feed({1});
    UCHAR buffer[16];
    Done d;
    StartRead(1, buffer, 16, &d);
    WritePipe({1, 2, 3, 4, 5});
    ULONG size = 0;
    Ioctl(kIoctlPipeGetMaxPacketSize, &files[1], nullptr, 0, &size, 4);
    Control({0x40, 0x0B, 0, 0, 0, 0, 2, 0, 3, 1});
    auto arrivals = sim->Arrivals();
    ASSERT_EQ(6u, arrivals.size());
    EXPECT_EQ(16u, arrivals[2].length) << "the read's length, not the bytes it got";
    EXPECT_EQ(5u, arrivals[3].length);
    EXPECT_EQ(0u, arrivals[4].length) << "a maximum-packet request transfers nothing";
    EXPECT_EQ(0u, arrivals[5].length) << "nor does a control transfer on a pipe";
}

// ---- The stack ----------------------------------------------------------------------------

TEST_F(Sim, ThePipeDriversDeviceStandsOnAPdoOfAnotherDriverThatHoldsTheDeviceKey)
{
    sim.reset();
    Options o;
    o.registry = {hk::RegistryValue::Dword(u"EndPointCaps", 2)};
    o.deviceFlags = DO_POWER_INRUSH;
    sim = std::make_unique<PipeSim>(o);
    PDEVICE_OBJECT pdo = sim->Pdo();
    ASSERT_NE(nullptr, pdo);
    EXPECT_NE(dev(), pdo);
    EXPECT_EQ(dev(), pdo->AttachedDevice);
    EXPECT_NE(dev()->DriverObject, pdo->DriverObject);
    EXPECT_EQ(pdo->StackSize + 1, dev()->StackSize);
    EXPECT_EQ((ULONG)(DO_DIRECT_IO | DO_POWER_INRUSH), dev()->Flags & (DO_DIRECT_IO | DO_POWER_INRUSH | DO_DEVICE_INITIALIZING));
    EXPECT_TRUE(pdo->Flags & DO_POWER_INRUSH) << "the two agree on power paging";
    hk::RegistryValue v;
    ASSERT_TRUE(hk::registry::Get(hk::registry::DeviceKey(pdo), u"EndPointCaps", &v));
    EXPECT_EQ(hk::RegistryValue::Dword(u"EndPointCaps", 2).data, v.data);
    EXPECT_TRUE(hk::registry::DeviceKey(dev()).empty()) << "the pipe driver's device is no PDO";
}

TEST_F(Sim, RemovalEndsWhatIsHeldGoesDownAndDetaches)
{
    Open(1);
    UCHAR a[4], b[4];
    Done waiting, held;
    ASSERT_EQ(STATUS_PENDING, StartRead(1, a, 4, &waiting));
    sim->HoldNext(Kind::Read);
    ASSERT_EQ(STATUS_PENDING, StartRead(1, b, 4, &held));
    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).status);
    EXPECT_EQ(1, waiting.calls);
    EXPECT_EQ(STATUS_DELETE_PENDING, waiting.status);
    EXPECT_EQ(0, held.calls) << "a request held for the test waits for it";
    auto below = sim->Bus().Arrived();
    ASSERT_EQ(1u, below.size());
    EXPECT_EQ(IRP_MN_REMOVE_DEVICE, below[0].minor);
    EXPECT_EQ(nullptr, sim->Pdo()->AttachedDevice) << "detached from the PDO";
    ULONG size = 0;
    EXPECT_EQ(STATUS_DELETE_PENDING, Ioctl(kIoctlPipeGetMaxPacketSize, &files[1], nullptr, 0, &size, 4));
    EXPECT_EQ(0u, size);
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataIn, STATUS_CANCELLED));
    EXPECT_EQ(STATUS_CANCELLED, held.status);
}

// ---- Requests held for the test, and stalled ones -------------------------------------

TEST_F(Sim, AHeldReadWaitsForTheTestNotForDataCancelOrAbort)
{
    Open(1);
    sim->HoldNext(Kind::Read);
    UCHAR buffer[8];
    std::memset(buffer, 0xEE, sizeof buffer);
    Done d;
    PIRP irp = nullptr;
    ASSERT_EQ(STATUS_PENDING, StartRead(1, buffer, 8, &d, &irp));
    sim->Feed({1, 2});
    sim->Feed({3});  // two short packets
    EXPECT_FALSE(IoCancelIrp(irp)) << "no cancel routine to call";
    Ioctl(kIoctlPipeAbort, &files[1]);
    EXPECT_EQ(0, d.calls);
    EXPECT_EQ(1u, sim->Outstanding(Pipe::DataIn));
    EXPECT_FALSE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 1)) << "nothing is held there";
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataIn, STATUS_SUCCESS, 5));
    ASSERT_EQ(1, d.calls);
    EXPECT_EQ(STATUS_SUCCESS, d.status);
    EXPECT_EQ(5u, d.information);
    EXPECT_EQ(DISPATCH_LEVEL, d.irql);
    EXPECT_EQ((std::vector<UCHAR>{1, 2, 3, 0, 0}), std::vector<UCHAR>(buffer, buffer + 5)) << "fed bytes across packets, then zeros";
    EXPECT_EQ(0xEE, buffer[5]);
    EXPECT_EQ(0u, sim->PendingInBytes());
    EXPECT_FALSE(sim->CompleteHeld(Pipe::DataIn, STATUS_SUCCESS, 1));
}

TEST_F(Sim, EachHoldNextHoldsOneMoreAndTheOldestIsCompletedFirst)
{
    Open(2);
    sim->SetLines(LINE_DCD);
    sim->HoldNext(Kind::Read);
    sim->HoldNext(Kind::Read);
    UCHAR first[2] = {0xEE, 0xEE}, second[2] = {}, third[2] = {};
    Done a, b, c;
    ASSERT_EQ(STATUS_PENDING, StartRead(2, first, 2, &a));
    ASSERT_EQ(STATUS_PENDING, StartRead(2, second, 2, &b));
    EXPECT_EQ(STATUS_SUCCESS, StartRead(2, third, 2, &c)) << "the third is served at once";
    ASSERT_TRUE(sim->CompleteHeld(Pipe::Status, STATUS_SUCCESS, 2));
    EXPECT_EQ(1, a.calls);
    EXPECT_EQ(0, b.calls);
    EXPECT_EQ(2u, a.information);
    EXPECT_EQ(LINE_DCD, first[0]) << "a status read gets the line byte";
    EXPECT_EQ(0, first[1]);
    ASSERT_TRUE(sim->CompleteHeld(Pipe::Status, STATUS_DEVICE_NOT_CONNECTED, 2));
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, b.status);
    EXPECT_EQ(0u, b.information);
}

TEST_F(Sim, AHeldWriteReportsTheBytesTheTestSaysAndIsSentOnlyWithSuccess)
{
    Open(0);
    sim->HoldNext(Kind::Write);
    sim->HoldNext(Kind::Write);
    UCHAR bytes[4] = {1, 2, 3, 4};
    Call ok, failed;
    ASSERT_EQ(STATUS_PENDING, StartIoctl(&ok, kIoctlPipeWrite, &files[0], bytes, 4));
    ASSERT_EQ(STATUS_PENDING, StartIoctl(&failed, kIoctlPipeWrite, &files[0], bytes, 2));
    EXPECT_TRUE(sim->OutTransfers().empty()) << "not sent until completed";
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 3));
    ASSERT_TRUE(ok.Done());
    EXPECT_EQ(STATUS_SUCCESS, ok.iosb.Status);
    EXPECT_EQ(3u, ok.iosb.Information);
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_DEVICE_DATA_ERROR, 2));
    ASSERT_TRUE(failed.Done());
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, failed.iosb.Status);
    auto transfers = sim->OutTransfers();
    ASSERT_EQ(1u, transfers.size());
    EXPECT_EQ((std::vector<UCHAR>{1, 2, 3, 4}), transfers[0]);
}

TEST_F(Sim, HeldRequestsTakeTheirEffectWhenCompletedWithSuccess)
{
    sim->HoldNext(Kind::Open);
    Done open;
    ASSERT_EQ(STATUS_PENDING, StartMajor(IRP_MJ_CREATE, &files[1], &open));
    EXPECT_FALSE(sim->IsOpen(Pipe::DataIn));
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataIn, STATUS_SUCCESS));
    EXPECT_EQ(STATUS_SUCCESS, open.status);
    EXPECT_TRUE(sim->IsOpen(Pipe::DataIn));

    sim->HoldNext(Kind::MaxPacket);
    ULONG size = 0;
    Call maxPacket;
    ASSERT_EQ(STATUS_PENDING, StartIoctl(&maxPacket, kIoctlPipeGetMaxPacketSize, &files[1], nullptr, 0, &size, 4));
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataIn, STATUS_SUCCESS));
    EXPECT_EQ(64u, size);
    EXPECT_EQ(4u, maxPacket.iosb.Information);

    Ioctl(kIoctlPipeAbort, &files[1]);
    sim->HoldNext(Kind::Reset);
    Call reset;
    ASSERT_EQ(STATUS_PENDING, StartIoctl(&reset, kIoctlPipeReset, &files[1]));
    UCHAR buffer[4];
    Done read;
    EXPECT_EQ(STATUS_PIPE_BROKEN, StartRead(1, buffer, 4, &read)) << "still halted while the reset is held";
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataIn, STATUS_SUCCESS));
    sim->Feed({1});
    EXPECT_EQ(STATUS_SUCCESS, StartRead(1, buffer, 4, &read));

    sim->HoldNext(Kind::ControlTransfer);
    std::vector<UCHAR> enable = {0x40, 0x0B, 0, 0, 0, 0, 2, 0, 3, 1};
    Call command;
    ASSERT_EQ(STATUS_PENDING, StartIoctl(&command, kIoctlPipeControlTransfer, nullptr, enable.data(), 10));
    EXPECT_EQ(1u, sim->ControlTransfers().size()) << "it reached the control endpoint";
    EXPECT_FALSE(sim->Adapter().portEnabled);
    ASSERT_TRUE(sim->CompleteHeld(Pipe::Control, STATUS_SUCCESS));
    EXPECT_TRUE(sim->Adapter().portEnabled);
    EXPECT_EQ(1u, sim->Commands().size());
}

TEST_F(Sim, HeldRequestsFailedHaveNoEffectButAnAbortStillAborts)
{
    sim->HoldNext(Kind::Open);
    Done open;
    ASSERT_EQ(STATUS_PENDING, StartMajor(IRP_MJ_CREATE, &files[1], &open));
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataIn, STATUS_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, open.status);
    EXPECT_FALSE(sim->IsOpen(Pipe::DataIn));

    sim->HoldNext(Kind::ControlTransfer);
    std::vector<UCHAR> enable = {0x40, 0x0B, 0, 0, 0, 0, 2, 0, 3, 1};
    Call command;
    ASSERT_EQ(STATUS_PENDING, StartIoctl(&command, kIoctlPipeControlTransfer, nullptr, enable.data(), 10));
    ASSERT_TRUE(sim->CompleteHeld(Pipe::Control, STATUS_DEVICE_DATA_ERROR));
    EXPECT_FALSE(sim->Adapter().portEnabled);
    EXPECT_TRUE(sim->Commands().empty());

    Open(1);
    UCHAR buffer[4];
    Done read;
    ASSERT_EQ(STATUS_PENDING, StartRead(1, buffer, 4, &read));
    sim->HoldNext(Kind::Abort);
    Call abort;
    ASSERT_EQ(STATUS_PENDING, StartIoctl(&abort, kIoctlPipeAbort, &files[1]));
    EXPECT_EQ(0, read.calls);
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataIn, STATUS_UNSUCCESSFUL));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, abort.iosb.Status);
    EXPECT_EQ(STATUS_CANCELLED, read.status);
}

TEST_F(Sim, AStalledAbortAbortsNothingUntilReleased)
{
    Open(1);
    sim->InjectFault(Pipe::DataIn, Kind::Abort, Fault{STATUS_SUCCESS, true, false, MAXULONG, 1});
    UCHAR buffer[4];
    Done read;
    ASSERT_EQ(STATUS_PENDING, StartRead(1, buffer, 4, &read));
    Call abort;
    ASSERT_EQ(STATUS_PENDING, StartIoctl(&abort, kIoctlPipeAbort, &files[1]));
    hk::AdvanceMs(1000);
    EXPECT_FALSE(abort.Done());
    EXPECT_EQ(0, read.calls) << "the read is still outstanding";
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataIn, STATUS_SUCCESS));
    ASSERT_TRUE(abort.Done());
    EXPECT_EQ(STATUS_SUCCESS, abort.iosb.Status);
    EXPECT_EQ(STATUS_CANCELLED, read.status);
}

TEST_F(Sim, AFaultWithSkipLetsThatManyAcceptedRequestsPassFirst)
{
    Open(0);
    sim->InjectFault(Pipe::DataOut, Kind::Write, Fault{STATUS_DEVICE_DATA_ERROR, false, false, MAXULONG, 1, 2});
    EXPECT_EQ(STATUS_SUCCESS, WritePipe({1}));
    Ioctl(kIoctlPipeAbort, &files[0]);
    EXPECT_EQ(STATUS_PIPE_BROKEN, WritePipe({2})) << "refused at once: it does not count";
    Ioctl(kIoctlPipeReset, &files[0]);
    EXPECT_EQ(STATUS_SUCCESS, WritePipe({3}));
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, WritePipe({4}));
    EXPECT_EQ(STATUS_SUCCESS, WritePipe({5})) << "applied once";
}
