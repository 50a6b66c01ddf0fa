// The loader: creates the driver object, calls the entry point, and at unload calls
// the unload routine and checks that nothing the driver owned is left behind.
#include "hostkernel/frontend.h"
#include "internal.h"

namespace hk {
using namespace detail;

// ---- Loader -------------------------------------------------------------------------------


NTSTATUS LoadedDriver::Load(PDRIVER_INITIALIZE entry, const std::u16string& registryPath, std::unique_ptr<LoadedDriver>* out,
                            const std::u16string& name)
{
    std::unique_ptr<LoadedDriver> d(new LoadedDriver);
    d->registryPath_ = registryPath;
    auto* object = (PDRIVER_OBJECT)std::calloc(1, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION));
    object->Type = 4;
    object->Size = sizeof(DRIVER_OBJECT);
    object->DriverExtension = (PDRIVER_EXTENSION)(object + 1);
    object->DriverExtension->DriverObject = object;
    object->DriverInit = entry;
    d->object_ = object;
    (void)name;
    UNICODE_STRING path;
    path.Buffer = (PWSTR)d->registryPath_.data();
    path.Length = (USHORT)(d->registryPath_.size() * 2);
    path.MaximumLength = path.Length;
    Self().inDriverEntry = true;
    NTSTATUS status = CallPassive(object, (const void*)entry, "driver entry", [&] { return CallDriver("driver entry", entry, object, &path); });
    Self().inDriverEntry = false;
    if (!NT_SUCCESS(status)) {
        // A driver whose entry fails is unloaded without its unload routine: it must
        // have released everything itself.
        LeakCheckDriver(object);
        std::free(object);
        d->object_ = nullptr;
        d->unloaded_ = true;
        return status;
    }
    *out = std::move(d);
    return status;
}

void LoadedDriver::Unload()
{
    if (unloaded_) return;
    unloaded_ = true;
    detail::CheckNoDriverDpcRunning(object_);
    if (object_->DeviceObject) Report("unload-with-devices", "driver unloaded while it still has device objects");
    if (object_->DriverUnload)
        CallPassive(object_, (const void*)object_->DriverUnload, "unload routine", [&] {
            CallDriver("unload routine", object_->DriverUnload, object_);
            return 0;
        });
    LeakCheckDriver(object_);
}

LoadedDriver::~LoadedDriver()
{
    if (object_) std::free(object_);
}

}  // namespace hk
