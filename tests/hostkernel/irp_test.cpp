// How IRPs travel: IofCallDriver, the completion walk, the I/O manager's part, and
// the verifier's rules about who completes what.
#include "hostkernel/emu_fixture.h"

namespace {

struct Seen {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    BOOLEAN pendingReturned = FALSE;
    NTSTATUS status = 0;
    KEVENT event;
};

NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto* seen = (Seen*)context;
    seen->calls++;
    seen->device = device;
    seen->pendingReturned = irp->PendingReturned;
    seen->status = irp->IoStatus.Status;
    KeSetEvent(&seen->event, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI Continue(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    ((Seen*)context)->calls++;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI MarksBeyondTheStack(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    KeSetEvent(&((Seen*)context)->event, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI ForgetsPending(PDEVICE_OBJECT, PIRP, PVOID context)
{
    ((Seen*)context)->calls++;
    return STATUS_SUCCESS;
}

__attribute__((section("hk_page"), noinline)) NTSTATUS NTAPI PageableCompletion(PDEVICE_OBJECT, PIRP, PVOID)
{
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down a second time from its completion routine, the way a driver
// follows a transfer with a zero-length one; the second pass pends and fails.
struct Resend {
    hk::StubBus* bus = nullptr;
    PDEVICE_OBJECT target = nullptr;
    int passes = 0;
    NTSTATUS last = 0;
    KEVENT done;
};

NTSTATUS NTAPI SendAgainOnce(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* r = (Resend*)context;
    if (++r->passes == 1) {
        r->bus->CompleteLater(10000);
        r->bus->CompleteWith(IRP_MJ_READ, STATUS_UNSUCCESSFUL);
        IoSetCompletionRoutine(irp, SendAgainOnce, r, TRUE, TRUE, TRUE);
        IoCallDriver(r->target, irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    r->last = irp->IoStatus.Status;
    KeSetEvent(&r->done, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

class IrpFlow : public EmuTest {
protected:
    Seen seen;
    void SetUp() override
    {
        EmuTest::SetUp();
        KeInitializeEvent(&seen.event, NotificationEvent, FALSE);
    }
    // Sends a driver-owned IRP to `target` and waits for its completion routine.
    NTSTATUS SendOwned(PIRP irp, PDEVICE_OBJECT target, BOOLEAN onSuccess = TRUE, BOOLEAN onError = TRUE,
                       BOOLEAN onCancel = TRUE)
    {
        IoSetCompletionRoutine(irp, KeepIrp, &seen, onSuccess, onError, onCancel);
        NTSTATUS status = IoCallDriver(target, irp);
        if (status == STATUS_PENDING) KeWaitForSingleObject(&seen.event, Executive, KernelMode, FALSE, nullptr);
        return status;
    }
};

TEST_F(IrpFlow, CallDriverHandsTheTargetTheNextStackLocationWithItsParameters)
{
    PIRP irp = NewIrp(lower, IRP_MJ_DEVICE_CONTROL);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = 0x1234;
    next->Parameters.DeviceIoControl.InputBufferLength = 7;
    EXPECT_EQ(STATUS_SUCCESS, SendOwned(irp, lower));
    auto arrived = bus.Arrived();
    ASSERT_EQ(1u, arrived.size());
    EXPECT_EQ(0x1234u, arrived[0].stack.Parameters.DeviceIoControl.IoControlCode);
    EXPECT_EQ(7u, arrived[0].stack.Parameters.DeviceIoControl.InputBufferLength);
    EXPECT_EQ(pdo, arrived[0].stack.DeviceObject);
    EXPECT_EQ(1, seen.calls);
    EXPECT_EQ(nullptr, seen.device) << "the allocator's own routine has no device of its own";
    IoFreeIrp(irp);
}

TEST_F(IrpFlow, CompletionRoutinesRunOnlyForTheOutcomesTheyAskedFor)
{
    PIRP irp = NewIrp(lower, IRP_MJ_READ);
    SendOwned(irp, lower, /*success*/ FALSE, /*error*/ TRUE, /*cancel*/ FALSE);
    EXPECT_EQ(0, seen.calls) << "an error-only routine must not see a success";
    ExpectViolation("irp-reached-io-manager");  // nobody kept the IRP
    IoFreeIrp(irp);

    bus.CompleteWith(IRP_MJ_READ, STATUS_UNSUCCESSFUL);
    irp = NewIrp(lower, IRP_MJ_READ);
    SendOwned(irp, lower, FALSE, TRUE, FALSE);
    EXPECT_EQ(1, seen.calls);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, seen.status);
    IoFreeIrp(irp);

    bus.CompleteWith(IRP_MJ_READ, STATUS_SUCCESS);
    irp = NewIrp(lower, IRP_MJ_READ);
    irp->Cancel = TRUE;
    SendOwned(irp, lower, FALSE, FALSE, TRUE);
    EXPECT_EQ(2, seen.calls) << "a cancel-only routine runs for a cancelled IRP even on success";
    IoFreeIrp(irp);
}

TEST_F(IrpFlow, PendingReturnedReachesTheRoutineAboveAPendingDriver)
{
    bus.CompleteLater(10000);
    PIRP irp = NewIrp(lower, IRP_MJ_READ);
    EXPECT_EQ(STATUS_PENDING, SendOwned(irp, lower));
    EXPECT_EQ(1, seen.calls);
    EXPECT_TRUE(seen.pendingReturned);
    IoFreeIrp(irp);
}

TEST_F(IrpFlow, MoreProcessingRequiredStopsTheWalkUntilTheDriverCompletesAgain)
{
    // The upper driver forwards and waits, then completes with a status of its own:
    // the pattern of a synchronous forward.
    Seen inner;
    KeInitializeEvent(&inner.event, NotificationEvent, FALSE);
    dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, KeepIrp, &inner, TRUE, TRUE, TRUE);
        if (IoCallDriver(lower, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&inner.event, Executive, KernelMode, FALSE, nullptr);
        irp->IoStatus.Status = STATUS_DEVICE_BUSY;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DEVICE_BUSY;
    };
    bus.CompleteLater(10000);
    hk::Result r = Send(IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(1, inner.calls);
    EXPECT_EQ(STATUS_SUCCESS, inner.status) << "the walk stopped at the upper driver's routine";
    EXPECT_EQ(STATUS_DEVICE_BUSY, r.status) << "then went on from the upper driver's completion";
}

TEST_F(IrpFlow, ARequestSentAgainFromInsideTheCallThatCompletedItIsJudgedPerCall)
{
    Resend r;
    r.bus = &bus;
    r.target = lower;
    KeInitializeEvent(&r.done, NotificationEvent, FALSE);
    PIRP irp = NewIrp(lower, IRP_MJ_READ);
    IoSetCompletionRoutine(irp, SendAgainOnce, &r, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(lower, irp)) << "the first call returns its own pass's status";
    KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(2, r.passes);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, r.last);
    IoFreeIrp(irp);
}

TEST_F(IrpFlow, ThreadedIoctlCopiesOutputBackOnlyWhenItDidNotFail)
{
    NTSTATUS complete = STATUS_SUCCESS;
    dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        std::memcpy(irp->AssociatedIrp.SystemBuffer, "abc", 3);
        irp->IoStatus.Status = complete;
        irp->IoStatus.Information = 3;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return complete;
    };
    for (NTSTATUS status : {STATUS_SUCCESS, STATUS_INVALID_PARAMETER}) {
        complete = status;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb = {};
        char in[2] = {1, 2}, out[8] = {};
        PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x22, 1, METHOD_BUFFERED, 0), upper, in, 2, out, 8, FALSE,
                                                 &event, &iosb);
        ASSERT_NE(nullptr, irp);
        EXPECT_EQ(status, IoCallDriver(upper, irp));
        EXPECT_TRUE(KeReadStateEvent(&event)) << "the I/O manager signals the caller's event";
        EXPECT_EQ(status, iosb.Status);
        EXPECT_EQ(status == STATUS_SUCCESS ? std::string("abc") : std::string(), std::string(out));
        EXPECT_EQ(0u, hk::OutstandingIrps()) << "and frees the IRP";
    }
}

TEST_F(IrpFlow, RequestsForDirectIoTargetsCarryALockedMdlThatTheIoManagerReleases)
{
    upper->Flags |= DO_DIRECT_IO;
    dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_NE(nullptr, irp->MdlAddress);
        EXPECT_TRUE(irp->MdlAddress->MdlFlags & MDL_PAGES_LOCKED);
        std::memcpy(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority), "xy", 2);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 2;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    char buffer[4] = {};
    LARGE_INTEGER offset = {};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, upper, buffer, 4, &offset, &event, &iosb);
    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(upper, irp));
    EXPECT_EQ(std::string("xy"), std::string(buffer));
    EXPECT_EQ(2u, iosb.Information);
    EXPECT_EQ(0u, hk::OutstandingMdls());

    // An asynchronous request stays with its builder, MDL and all.
    irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, upper, buffer, 4, &offset, nullptr);
    SendOwned(irp, upper);
    ASSERT_NE(nullptr, irp->MdlAddress);
    EXPECT_EQ(1u, hk::OutstandingMdls());
    MmUnlockPages(irp->MdlAddress);
    IoFreeMdl(irp->MdlAddress);
    irp->MdlAddress = nullptr;
    IoFreeIrp(irp);
}

// ---- Verifier: completion rules ------------------------------------------------------------

class IrpRules : public IrpFlow {};

TEST_F(IrpRules, CompletingTwiceIsReported)
{
    dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    Send(IRP_MJ_READ);
    ExpectViolation("double-completion");
}

TEST_F(IrpRules, CompletingWithACancelRoutineSetIsReported)
{
    dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP i) NTAPI { IoReleaseCancelSpinLock(i->CancelIrql); });
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    Send(IRP_MJ_READ);
    ExpectViolation("complete-with-cancel-routine");
}

TEST_F(IrpRules, ReturningPendingWithoutMarkingIsReported)
{
    dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    };
    Send(IRP_MJ_READ);
    ExpectViolation("pending-not-marked");
}

TEST_F(IrpRules, AForwardingDriverMayLeaveTheMarkToItsCompletionRoutine)
{
    // Copy down, return the lower driver's STATUS_PENDING, and let the completion
    // routine propagate the pending flag: correct, and not reported.
    dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Continue, &seen, TRUE, TRUE, TRUE);
        return IoCallDriver(lower, irp);
    };
    bus.CompleteLater(10000);
    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MJ_READ).status);
    EXPECT_EQ(1, seen.calls);
    ExpectClean();

    // A completion routine that forgets to propagate it is reported.
    dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, ForgetsPending, &seen, TRUE, TRUE, TRUE);
        return IoCallDriver(lower, irp);
    };
    Send(IRP_MJ_READ);
    ExpectViolation("pending-not-propagated");
}

TEST_F(IrpRules, MarkingPendingThenReturningAnotherStatusIsReported)
{
    dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    Send(IRP_MJ_READ);
    ExpectViolation("marked-pending-returned-other");
}

TEST_F(IrpRules, ADispatchRoutineThatLeavesACriticalRegionEnteredIsReported)
{
    dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        KeEnterCriticalRegion();
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    Send(IRP_MJ_READ);
    ExpectViolation("critical-region");
    KeLeaveCriticalRegion();
    ExpectClean();
    KeLeaveCriticalRegion();
    ExpectViolation("critical-region");
}

TEST_F(IrpRules, ReturningAStatusOtherThanTheCompletionStatusIsReported)
{
    dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    Send(IRP_MJ_READ);
    ExpectViolation("status-mismatch");
}

TEST_F(IrpRules, ReturningWithoutCompletingOrPendingIsReported)
{
    PIRP held = nullptr;
    dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        return STATUS_SUCCESS;
    };
    PIRP irp = NewIrp(upper, IRP_MJ_READ);
    IoSetCompletionRoutine(irp, KeepIrp, &seen, TRUE, TRUE, TRUE);
    IoCallDriver(upper, irp);
    ExpectViolation("not-completed-not-pending");
    held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(held, IO_NO_INCREMENT);
    IoFreeIrp(irp);
}

TEST_F(IrpRules, CompletingWithStatusPendingIsReported)
{
    dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_PENDING;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    Send(IRP_MJ_READ);
    ExpectViolation("complete-with-pending");
}

TEST_F(IrpRules, CallingDownWithACancelRoutineSetIsReported)
{
    PIRP irp = NewIrp(lower, IRP_MJ_READ);
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP i) NTAPI { IoReleaseCancelSpinLock(i->CancelIrql); });
    IoSetCompletionRoutine(irp, KeepIrp, &seen, TRUE, TRUE, TRUE);
    IoCallDriver(lower, irp);
    auto v = ExpectViolation("call-with-cancel-routine");
    IoFreeIrp(irp);
    hk::TakeViolations();
}

TEST_F(IrpRules, FreeingAnIrpThatALowerDriverOwnsIsReported)
{
    dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    };
    PIRP irp = NewIrp(upper, IRP_MJ_READ);
    IoCallDriver(upper, irp);
    IoFreeIrp(irp);
    ExpectViolation("irp-freed-in-use");
}

TEST_F(IrpRules, UsingAFreedIrpIsReported)
{
    PIRP irp = NewIrp(lower, IRP_MJ_READ);
    IoFreeIrp(irp);
    IoCallDriver(lower, irp);
    ExpectViolation("irp-use-after-free");
    IoFreeIrp(irp);
    ExpectViolation("irp-use-after-free");
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ExpectViolation("double-completion");
}

TEST_F(IrpRules, PageableCompletionRoutinesAreReported)
{
    PIRP irp = NewIrp(lower, IRP_MJ_READ);
    IoSetCompletionRoutine(irp, PageableCompletion, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(lower, irp);
    ExpectViolation("pageable-completion");
    IoFreeIrp(irp);
}

TEST_F(IrpRules, TheAllocatorsRoutineHasNoStackLocationToMarkPending)
{
    bus.CompleteLater(10000);
    PIRP irp = NewIrp(lower, IRP_MJ_READ);
    IoSetCompletionRoutine(irp, MarksBeyondTheStack, &seen, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&seen.event, Executive, KernelMode, FALSE, nullptr);
    ExpectViolation("stack-overrun");
    IoFreeIrp(irp);
}
