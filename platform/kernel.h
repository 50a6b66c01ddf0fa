// The one platform header of the driver. On the Windows build it brings in the DDK;
// on the host build the kernel emulation, which declares the same names. Everything
// here reads the same on both builds.
#pragma once

#if defined(_WIN32)

extern "C" {
#include <ntddk.h>
#include <ntddser.h>
#include <wmilib.h>
#include <wmistr.h>
}

// Pageable code lives in PAGE and is paged out whenever the system wants; the driver
// entry lives in INIT, which is discarded once the driver has loaded.
#define VCOM_PAGED __attribute__((section("PAGE")))
#define VCOM_INIT __attribute__((section("INIT")))

// Wide string literals: WCHAR is the 16-bit wchar_t of Windows.
#define WSTR(s) L##s

#else

#include <hostkernel/kernel.h>

// On the host the same placement is kept in named ELF sections, so that the
// emulation can tell pageable and initialisation code from resident code (a
// completion, cancel or DPC routine in pageable code is a fault).
#define VCOM_PAGED __attribute__((section("hk_page"), noinline))
#define VCOM_INIT __attribute__((section("hk_init"), noinline))

// Wide string literals: WCHAR is char16_t on the host.
#define WSTR(s) u##s

#endif

// An 8-bit flag that one thread sets or clears while others read it without a lock.
// The accesses are sequentially consistent, so that a flag set before an interlocked
// operation is seen by whoever reads it after a later interlocked operation.
inline UCHAR VcomReadFlag(const volatile UCHAR* Flag) { return __atomic_load_n(Flag, __ATOMIC_SEQ_CST); }
inline VOID VcomWriteFlag(volatile UCHAR* Flag, UCHAR Value) { __atomic_store_n(Flag, Value, __ATOMIC_SEQ_CST); }
// A request's Cancel flag, which IoCancelIrp sets on another processor while the
// driver looks at it after IoSetCancelRoutine.
inline BOOLEAN VcomIrpCancelled(PIRP Irp) { return VcomReadFlag(&Irp->Cancel); }

// Pool tags are stored little-endian, so that a pool dump shows the characters in
// the order written here.
constexpr ULONG VcomPoolTag(const char (&s)[5])
{
    return (ULONG)(UCHAR)s[0] | ((ULONG)(UCHAR)s[1] << 8) | ((ULONG)(UCHAR)s[2] << 16) | ((ULONG)(UCHAR)s[3] << 24);
}

// The length in bytes of a wide literal without its terminating NUL.
template <typename C, unsigned N>
constexpr USHORT VcomWideLength(const C (&)[N])
{
    return (USHORT)((N - 1) * sizeof(C));
}
