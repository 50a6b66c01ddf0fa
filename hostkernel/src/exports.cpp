// The emulation's routines offered to a driver image, by the DLL and name it imports
// them under. Each entry records the bytes its callee pops, so that a test can hold
// the binding against the decoration in the import libraries the image was linked
// with (a routine declared with the wrong arguments or convention would corrupt the
// image's stack).
#include <cstring>

#include "hostkernel/pe.h"

namespace hk {
namespace {

template <typename R, typename... A>
constexpr int Bytes()
{
    return (0 + ... + (int)((sizeof(A) + 3) & ~3u));
}
#if defined(__i386__)
template <typename R, typename... A>
constexpr KernelExport Describe(const char* dll, const char* name, R(NTAPI* f)(A...))
{
    return {dll, name, (void*)f, Bytes<R, A...>(), 's'};
}
template <typename R, typename... A>
constexpr KernelExport Describe(const char* dll, const char* name, R(FASTCALL* f)(A...))
{
    return {dll, name, (void*)f, Bytes<R, A...>(), 'f'};
}
#endif
template <typename R, typename... A>
constexpr KernelExport Describe(const char* dll, const char* name, R (*f)(A...))
{
    return {dll, name, (void*)f, -1, 'c'};
}

#if defined(__i386__)
// Windows returns a structure of up to 8 bytes in EAX (and EDX); Linux i386 returns
// every structure through a hidden pointer. Routines that return one are offered to
// the image through an adapter that returns the same bytes as an integer.
ULONG NTAPI PoSetPowerStateForImage(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    POWER_STATE previous = PoSetPowerState(DeviceObject, Type, State);
    ULONG bits;
    static_assert(sizeof bits == sizeof previous);
    std::memcpy(&bits, &previous, sizeof bits);
    return bits;
}
#define NT_ADAPTED(name) Describe("ntoskrnl.exe", #name, &name##ForImage)
#else
#define NT_ADAPTED(name) Describe("ntoskrnl.exe", #name, &name)
#endif

#define NT(name) Describe("ntoskrnl.exe", #name, &name)
#define HAL(name) Describe("HAL.dll", #name, &name)
#define WMI(name) Describe("WMILIB.SYS", #name, &name)
#define CRT(name) KernelExport{"ntoskrnl.exe", #name, (void*)&::name, -1, 'c'}

}  // namespace

const std::vector<KernelExport>& KernelExports()
{
    static const std::vector<KernelExport> table = {
        NT(ExAllocatePool),
        NT(ExAllocatePoolWithTag),
        NT(ExFreePool),
        NT(ExFreePoolWithTag),
        NT(IoAcquireCancelSpinLock),
        NT(IoAcquireRemoveLockEx),
        NT(IoAllocateIrp),
        NT(IoAllocateMdl),
        NT(IoAllocateWorkItem),
        NT(IoAttachDeviceToDeviceStack),
        NT(IoBuildAsynchronousFsdRequest),
        NT(IoBuildDeviceIoControlRequest),
        NT(IoBuildSynchronousFsdRequest),
        NT(IoCancelIrp),
        NT(IoCreateDevice),
        NT(IoCreateSymbolicLink),
        NT(IoDeleteDevice),
        NT(IoDeleteSymbolicLink),
        NT(IoDetachDevice),
        NT(IoFreeIrp),
        NT(IoFreeMdl),
        NT(IoFreeWorkItem),
        NT(IoGetAttachedDeviceReference),
        NT(IoInitializeIrp),
        NT(IoInitializeRemoveLockEx),
        NT(IoOpenDeviceRegistryKey),
        NT(IoQueueWorkItem),
        NT(IoRegisterDeviceInterface),
        NT(IoReleaseCancelSpinLock),
        NT(IoReleaseRemoveLockAndWaitEx),
        NT(IoReleaseRemoveLockEx),
        NT(IoReuseIrp),
        NT(IoSetDeviceInterfaceState),
        NT(IoWMIRegistrationControl),
        NT(IofCallDriver),
        NT(IofCompleteRequest),
        NT(KeAcquireSpinLockAtDpcLevel),
        NT(KeCancelTimer),
        NT(KeClearEvent),
        NT(KeDelayExecutionThread),
        HAL(KeGetCurrentIrql),
        NT(KeEnterCriticalRegion),
        NT(KeFlushQueuedDpcs),
        NT(KeInitializeDeviceQueue),
        NT(KeInitializeDpc),
        NT(KeInitializeEvent),
        NT(KeInitializeSpinLock),
        NT(KeInitializeTimer),
        NT(KeInitializeTimerEx),
        NT(KeInsertByKeyDeviceQueue),
        NT(KeInsertDeviceQueue),
        NT(KeInsertQueueDpc),
        NT(KeLeaveCriticalRegion),
        HAL(KeLowerIrql),
        NT(KeQueryInterruptTime),
        NT(KeQuerySystemTime),
        HAL(KeRaiseIrql),
        HAL(KeRaiseIrqlToDpcLevel),
        NT(KeReadStateEvent),
        NT(KeReadStateTimer),
        NT(KeReleaseSpinLockFromDpcLevel),
        NT(KeRemoveDeviceQueue),
        NT(KeRemoveEntryDeviceQueue),
        NT(KeRemoveQueueDpc),
        NT(KeResetEvent),
        NT(KeSetEvent),
        NT(KeSetTimer),
        NT(KeSetTimerEx),
        HAL(KeStallExecutionProcessor),
        NT(KeWaitForSingleObject),
        NT(KefAcquireSpinLockAtDpcLevel),
        NT(KefReleaseSpinLockFromDpcLevel),
        HAL(KfAcquireSpinLock),
        HAL(KfReleaseSpinLock),
        NT(MmBuildMdlForNonPagedPool),
        NT(MmProbeAndLockPages),
        NT(MmUnlockPages),
        NT(ObDereferenceObject),
        NT(PoCallDriver),
        NT_ADAPTED(PoSetPowerState),
        NT(PoStartNextPowerIrp),
        NT(RtlAppendUnicodeStringToString),
        NT(RtlAppendUnicodeToString),
        NT(RtlCompareMemory),
        NT(RtlCompareUnicodeString),
        NT(RtlCopyUnicodeString),
        NT(RtlDeleteRegistryValue),
        NT(RtlEqualUnicodeString),
        NT(RtlFreeUnicodeString),
        NT(RtlInitUnicodeString),
        NT(RtlIntegerToUnicodeString),
        NT(RtlWriteRegistryValue),
        WMI(WmiCompleteRequest),
        WMI(WmiSystemControl),
        NT(ZwClose),
        NT(ZwQueryValueKey),
        NT(ZwSetValueKey),
        // The C library routines ntoskrnl exports (cdecl, as in the C library).
        KernelExport{"ntoskrnl.exe", "DbgPrint", (void*)&DbgPrint, -1, 'c'},
        KernelExport{"ntoskrnl.exe", "KeTickCount", (void*)&KeTickCount, -1, 'd'},  // data: its address
        CRT(memcpy),
        CRT(memmove),
        CRT(memset),
        CRT(memcmp),
        CRT(strlen),
    };
    return table;
}

}  // namespace hk
