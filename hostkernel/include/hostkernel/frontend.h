// The host's front ends to the emulated kernel: the roles Windows itself plays
// toward a driver. The loader (DriverEntry, unload), the PnP manager (physical
// device objects, AddDevice, PnP requests), the power manager, WMI, and the I/O
// manager on behalf of applications (open by name, read, write, device control,
// overlapped requests, CancelIo, close). Tests of requests reach a driver only
// through these, so that every test takes the paths Windows would.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host.h"
#include "kernel.h"

namespace hk {

// ---- Registry -------------------------------------------------------------------------
struct RegistryValue {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<UCHAR> data;

    static RegistryValue Dword(std::u16string name, ULONG value);
    static RegistryValue String(std::u16string name, const std::u16string& text);  // REG_SZ with its NUL
    static RegistryValue Bytes(std::u16string name, ULONG type, std::vector<UCHAR> data);
};

namespace registry {
void Set(const std::u16string& keyPath, const RegistryValue& value);
bool Get(const std::u16string& keyPath, const std::u16string& name, RegistryValue* out);
bool Delete(const std::u16string& keyPath, const std::u16string& name);
std::vector<std::u16string> ValueNames(const std::u16string& keyPath);
std::u16string DeviceMapKey(const std::u16string& key);  // e.g. SERIALCOMM
std::u16string DeviceKey(PDEVICE_OBJECT pdo);             // the PnP device key of a PDO
}  // namespace registry

// ---- Names ----------------------------------------------------------------------------
namespace names {
bool LinkExists(const std::u16string& name);
std::u16string LinkTarget(const std::u16string& name);
int InterfaceState(const std::u16string& link);  // -1 unknown, 0 disabled, 1 enabled
std::vector<std::u16string> InterfacesOf(PDEVICE_OBJECT pdo);
PDEVICE_OBJECT Resolve(const std::u16string& name);
bool WmiRegistered(PDEVICE_OBJECT device);
}  // namespace names

// ---- Loader ---------------------------------------------------------------------------
class LoadedDriver {
public:
    // Creates the driver object and calls the entry point at PASSIVE_LEVEL.
    static NTSTATUS Load(PDRIVER_INITIALIZE entry, const std::u16string& registryPath, std::unique_ptr<LoadedDriver>* out,
                         const std::u16string& name = u"\\Driver\\vcomusb");
    ~LoadedDriver();
    PDRIVER_OBJECT Object() const { return object_; }
    // Calls the unload routine and checks that nothing is left behind.
    void Unload();

private:
    LoadedDriver() = default;
    PDRIVER_OBJECT object_ = nullptr;
    bool unloaded_ = false;
    std::u16string registryPath_;
};

// Makes a device object a physical device object: gives it a device node with an
// instance id and a PnP device key (with these values) in the registry.
void MakePhysicalDevice(PDEVICE_OBJECT device, const std::u16string& instanceId,
                        const std::vector<RegistryValue>& deviceKeyValues = {});

// The status a bus driver gives a request that reaches the bottom of a stack: PnP
// start, stop and removal requests and power set/query succeed (power requests also
// start the next one), WMI requests and minor functions it does not handle keep the
// status they came with, anything else succeeds.
NTSTATUS BusDriverStatus(PIRP irp);

// ---- A simple bus driver --------------------------------------------------------------
// A driver of the emulation whose devices stand at the bottom of a stack and complete
// what reaches them the way a bus driver would: PnP and power succeed, WMI and
// other requests keep their status or succeed. It records every request that arrives.
struct ArrivedRequest {
    UCHAR major;
    UCHAR minor;
    IO_STACK_LOCATION stack;  // copy of the stack location as it arrived
    PFILE_OBJECT file;
    NTSTATUS completedWith;
    KIRQL irql;  // the IRQL the request arrived at
};
class StubBus {
public:
    StubBus();
    ~StubBus();
    // Creates a physical device object with the given flags OR'ed in.
    PDEVICE_OBJECT CreatePdo(const std::u16string& instanceId, ULONG flags = 0,
                             const std::vector<RegistryValue>& deviceKeyValues = {});
    std::vector<ArrivedRequest> Arrived() const;
    void ClearArrived();
    // Status for requests of one major function (default: success).
    void CompleteWith(UCHAR major, NTSTATUS status);
    // With a delay, requests are marked pending and completed from a timer DPC that
    // long after they arrive; 0 completes them inside IofCallDriver again.
    void CompleteLater(LONGLONG delayHundredNs);
    void DeletePdos();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// ---- Requests from outside -------------------------------------------------------------
struct Result {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    CCHAR boost = 0;  // the priority boost given to IoCompleteRequest
};
// Sends a new IRP to `target` from outside any driver (as the PnP or power manager
// would) and waits for it; `setup` fills the stack location the target sees. Power
// requests go with PoCallDriver, at DISPATCH_LEVEL when the target has no
// DO_POWER_PAGABLE (the power manager calls only power-pageable devices at
// PASSIVE_LEVEL).
Result SendRequest(PDEVICE_OBJECT target, const std::function<void(PIO_STACK_LOCATION)>& setup,
                   NTSTATUS initialStatus = STATUS_NOT_SUPPORTED, bool power = false);

// A PnP device node: the physical device object and the stack above it.
class DeviceStack {
public:
    explicit DeviceStack(PDEVICE_OBJECT pdo) : pdo_(pdo) {}
    // Calls the driver's AddDevice for this node, as the PnP manager does.
    NTSTATUS AddDevice(LoadedDriver& driver);
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    PDEVICE_OBJECT Top() const;
    Result Pnp(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup = {});
    Result Power(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
    Result SetDevicePower(DEVICE_POWER_STATE state);
    Result QueryDevicePower(DEVICE_POWER_STATE state);
    Result SetSystemPower(SYSTEM_POWER_STATE state);
    // Sends IRP_MN_REMOVE_DEVICE (after a query) and returns its result.
    Result Remove();

private:
    PDEVICE_OBJECT pdo_;
};

// ---- WMI ------------------------------------------------------------------------------
struct WmiResult {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    bool tooSmall = false;
    // With tooSmall: what the provider needs; for a single instance the size of its
    // data, for all data the size of the whole WNODE_ALL_DATA.
    ULONG sizeNeeded = 0;
    std::vector<UCHAR> data;   // the instance's data block on success (all data: the first instance's)
    std::vector<std::vector<UCHAR>> instances;  // all data: each instance's block, in order
    std::vector<UCHAR> wnode;  // all data: the WNODE_ALL_DATA as answered (information bytes)
};
// Requests for one instance name it as WMI does for blocks registered with static
// (for example PDO) instance names: by index, with WNODE_FLAG_STATIC_INSTANCE_NAMES.
WmiResult WmiQuerySingleInstance(PDEVICE_OBJECT provider, const GUID& guid, ULONG dataBufferSize, ULONG instance = 0);
// IRP_MN_QUERY_ALL_DATA with a buffer of `bufferSize` bytes for the whole WNODE_ALL_DATA.
// The instances are read through the answer's layout: the OffsetInstanceDataAndLength
// array, or DataBlockOffset and FixedInstanceSize with WNODE_FLAG_FIXED_INSTANCE_SIZE;
// an instance outside the answer is reported ("wmi-layout").
WmiResult WmiQueryAllData(PDEVICE_OBJECT provider, const GUID& guid, ULONG bufferSize);
WmiResult WmiSetSingleInstance(PDEVICE_OBJECT provider, const GUID& guid, const std::vector<UCHAR>& data, ULONG instance = 0);
WmiResult WmiSetSingleItem(PDEVICE_OBJECT provider, const GUID& guid, ULONG itemId, const std::vector<UCHAR>& data,
                           ULONG instance = 0);
// IRP_MN_REGINFO; on success `data` holds the WMIREGINFO the provider answered.
WmiResult WmiRegInfo(PDEVICE_OBJECT provider);
// A system-control request addressed to another provider (it must be forwarded).
WmiResult WmiSendForeign(PDEVICE_OBJECT stackTop, ULONG_PTR providerId, const GUID& guid);

// ---- Applications ---------------------------------------------------------------------
class File;
struct FileObject;  // the kernel's file object behind a handle, shared with its requests

// One request of an application, synchronous or overlapped.
class Request {
public:
    bool Done() const;
    // Waits for completion through the kernel's wait (on the virtual clock time runs).
    NTSTATUS Wait();
    NTSTATUS Status() const { return status_; }
    ULONG_PTR Information() const { return information_; }
    // The priority boost the driver gave IoCompleteRequest.
    CCHAR Boost() const { return boost_; }
    // Bytes returned to the application's buffer (reads and device controls).
    const std::vector<UCHAR>& Output() const { return output_; }
    // Cancels this request as CancelIoEx would; false when it has completed already
    // or the driver set no cancel routine.
    bool Cancel();
    // What the driver's dispatch routine returned (STATUS_PENDING when it marked the
    // request pending), as the I/O manager hands it back to the caller.
    NTSTATUS DispatchStatus() const { return dispatchStatus_; }
    // Runs `callback` once when the request completes, in the completing context
    // (possibly at DISPATCH_LEVEL, before Wait returns), with Status, Information and
    // Output set: what an application's OVERLAPPED and event get. When the request has
    // completed already, runs it at once on the calling thread. One callback per request.
    void OnComplete(std::function<void(const Request&)> callback);
    ~Request();

private:
    friend class File;
    friend struct FileObject;
    Request();
    KEVENT done_;
    PIRP irp_ = nullptr;  // while outstanding; under the file object's lock
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
    CCHAR boost_ = 0;
    std::vector<UCHAR> output_;
    std::vector<UCHAR> userBuffer_;
    PVOID systemBuffer_ = nullptr;
    ULONG outputLength_ = 0;
    bool copyBack_ = false;
    std::shared_ptr<FileObject> file_;  // until it completes: each request holds its file object
    NTSTATUS dispatchStatus_ = STATUS_PENDING;
    bool finished_ = false;                        // under the file object's lock
    std::function<void(const Request&)> onComplete_;  // under the file object's lock
};

// A handle, as CreateFile returns it. Closing it sends IRP_MJ_CLEANUP and returns;
// IRP_MJ_CLOSE follows when the file object's last reference goes, that is once every
// request issued on it has completed (then from a system thread, at PASSIVE_LEVEL).
// A request still outstanding after cleanup when the device is removed or the test
// ends is reported ("requests-left-after-cleanup"): on Windows the process could not
// exit and the device could not be removed.
class File {
public:
    // Opens a device by name (for example \\DosDevices\\COM5) as CreateFile would.
    static NTSTATUS Open(const std::u16string& name, std::unique_ptr<File>* out);
    ~File();

    NTSTATUS Read(void* buffer, ULONG length, ULONG* transferred);
    NTSTATUS Write(const void* buffer, ULONG length, ULONG* transferred);
    NTSTATUS Ioctl(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength, ULONG* returned);
    NTSTATUS Flush();

    std::shared_ptr<Request> StartRead(ULONG length);
    std::shared_ptr<Request> StartWrite(const std::vector<UCHAR>& bytes);
    std::shared_ptr<Request> StartIoctl(ULONG code, const std::vector<UCHAR>& in, ULONG outLength);
    std::shared_ptr<Request> StartFlush();
    // Any other major function, with the caller filling the stack location.
    std::shared_ptr<Request> Start(UCHAR major, const std::function<void(PIO_STACK_LOCATION)>& setup);
    // The next request started on this handle reaches the driver with its Cancel flag
    // already set, as when CancelIo wins the race with the dispatch routine.
    void SubmitNextCancelled();

    // Cancels every outstanding request of this handle (CancelIo).
    void CancelIo();
    size_t Outstanding() const;
    // CloseHandle: IRP_MJ_CLEANUP, waited for; then IRP_MJ_CLOSE at once when nothing
    // is outstanding (its status is returned), else STATUS_PENDING and the close
    // follows the last completion.
    NTSTATUS Close();
    // Whether IRP_MJ_CLOSE has completed; WaitClosed waits for it (time runs meanwhile)
    // and returns its status.
    bool Closed() const;
    NTSTATUS WaitClosed();
    PFILE_OBJECT Object() const;
    PDEVICE_OBJECT Target() const;

private:
    File() = default;
    std::shared_ptr<Request> Submit(UCHAR major, ULONG length, const void* in, ULONG inLength, ULONG outLength,
                                    const std::function<void(PIO_STACK_LOCATION)>& setup);
    std::shared_ptr<FileObject> object_;
    bool handleClosed_ = false;
};

}  // namespace hk
