// The shipped vcomusb.sys itself in the emulation: mapped, relocated when it must be,
// its imports bound to the emulation's routines, entered like the real loader enters
// it, driven through requests over the simulated pipe driver, and removed and
// unloaded under the verifier's checks.
#include <fstream>
#include <iterator>
#include <map>

#include "hostkernel/pe.h"
#include "pipesim/pipesim.h"
#include "support/kernel_test.h"

namespace {
constexpr const char16_t* kService = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vcomusb";

bool Inside(const hk::PeImage& image, const void* p)
{
    return (ULONG_PTR)p >= image.Base() && (ULONG_PTR)p < image.Base() + image.Size();
}

// A copy of the image with one byte string replaced, for images the loader must refuse.
std::string PatchedCopy(const std::string& from, const std::string& to)
{
    std::ifstream in(VCOM_SYS_PATH, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t at = bytes.find(from);
    if (at == std::string::npos) return {};
    bytes.replace(at, from.size(), to);
    std::string path = ::testing::TempDir() + "patched.sys";
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}
}  // namespace

class Image : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        std::string error;
        ASSERT_EQ(STATUS_SUCCESS, hk::LoadDriverImage(VCOM_SYS_PATH, kService, &image, &driver, &error)) << error;
    }
    void TearDown() override
    {
        if (port) stack->Remove();
        if (driver) driver->Unload();
        driver.reset();
        sim.reset();
        image.reset();
        KernelTest::TearDown();
    }
    NTSTATUS AddAdapter(pipesim::Options options = {})
    {
        sim = std::make_unique<pipesim::PipeSim>(std::move(options));
        stack.emplace(sim->Pdo());
        NTSTATUS status = stack->AddDevice(*driver);
        port = stack->Top() != sim->Device() ? stack->Top() : nullptr;
        return status;
    }

    std::unique_ptr<hk::PeImage> image;
    std::unique_ptr<hk::LoadedDriver> driver;
    std::unique_ptr<pipesim::PipeSim> sim;
    std::optional<hk::DeviceStack> stack;
    PDEVICE_OBJECT port = nullptr;
};

TEST_F(Image, EveryImportIsBoundAndTheSymbolTableNamesTheEntry)
{
    ASSERT_FALSE(image->Imports().empty());
    std::map<std::string, int> perDll;
    for (auto& i : image->Imports()) {
        EXPECT_NE(nullptr, i.target) << i.dll << "!" << i.name;
        perDll[i.dll]++;
    }
    EXPECT_GT(perDll["ntoskrnl.exe"], 0);
    EXPECT_GT(perDll["HAL.dll"], 0);
    EXPECT_EQ((void*)image->Entry(), image->Symbol("_DriverEntry@8"));
    EXPECT_EQ(image->PreferredBase(), image->Base()) << "the preferred base was free";
}

TEST_F(Image, DriverEntryFillsTheDispatchTableWithTheImagesRoutines)
{
    PDRIVER_OBJECT d = driver->Object();
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        EXPECT_TRUE(Inside(*image, (const void*)d->MajorFunction[major])) << "major " << major;
    EXPECT_TRUE(Inside(*image, (const void*)d->DriverUnload));
    EXPECT_TRUE(Inside(*image, (const void*)d->DriverExtension->AddDevice));
    EXPECT_TRUE(hk::IsPageableCode((const void*)d->DriverExtension->AddDevice)) << "AddDevice lies in PAGE";
    EXPECT_FALSE(hk::IsPageableCode((const void*)d->MajorFunction[IRP_MJ_POWER]));
}

TEST_F(Image, AnAdapterComesUpOpensClosesAndGoesAwayWithNothingLeft)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    ASSERT_NE(nullptr, port);
    EXPECT_EQ(driver->Object(), port->DriverObject);
    EXPECT_TRUE(port->Flags & DO_BUFFERED_IO);
    EXPECT_FALSE(port->Flags & DO_DEVICE_INITIALIZING);
    auto interfaces = hk::names::InterfacesOf(sim->Pdo());
    ASSERT_EQ(1u, interfaces.size());
    std::unique_ptr<hk::File> file;
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(interfaces[0], &file));
    EXPECT_EQ(STATUS_SUCCESS, file->Close());
    EXPECT_EQ(STATUS_SUCCESS, stack->Remove().status);
    port = nullptr;
    EXPECT_FALSE(hk::IsLiveDevice(stack->Top() == sim->Pdo() ? nullptr : stack->Top()));
}

TEST_F(Image, PowerRequestsAtDispatchLevelReachThePipeDriverFromAWorkItem)
{
    pipesim::Options options;
    options.deviceFlags = 0;  // not power-pageable: power requests come at DISPATCH_LEVEL
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter(options));
    sim->Bus().ClearArrived();
    EXPECT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD3).status);
    auto arrived = sim->Bus().Arrived();
    ASSERT_EQ(1u, arrived.size());
    EXPECT_EQ(IRP_MJ_POWER, arrived[0].major);
    EXPECT_EQ(PASSIVE_LEVEL, arrived[0].irql);
}

TEST_F(Image, ASecondCopyIsRelocatedAndRunsFromWhereItWasMapped)
{
    std::unique_ptr<hk::PeImage> second;
    std::unique_ptr<hk::LoadedDriver> secondDriver;
    std::string error;
    ASSERT_EQ(STATUS_SUCCESS, hk::LoadDriverImage(VCOM_SYS_PATH, kService, &second, &secondDriver, &error)) << error;
    EXPECT_NE(second->PreferredBase(), second->Base());
    EXPECT_TRUE(Inside(*second, (const void*)secondDriver->Object()->MajorFunction[IRP_MJ_CREATE]));
    EXPECT_FALSE(Inside(*image, (const void*)secondDriver->Object()->MajorFunction[IRP_MJ_CREATE]));
    // Its data moved with it: AddDevice of the copy uses the copy's globals.
    pipesim::PipeSim other;
    hk::DeviceStack otherStack(other.Pdo());
    EXPECT_EQ(STATUS_SUCCESS, otherStack.AddDevice(*secondDriver));
    EXPECT_EQ(secondDriver->Object(), otherStack.Top()->DriverObject);
    otherStack.Remove();
    secondDriver->Unload();
}

TEST_F(Image, AnImportTheEmulationDoesNotProvideRefusesTheLoadByName)
{
    std::string path = PatchedCopy("ZwQueryValueKey", "ZwQueryValueKez");
    ASSERT_FALSE(path.empty());
    std::unique_ptr<hk::PeImage> broken;
    std::string error;
    EXPECT_EQ(STATUS_PROCEDURE_NOT_FOUND, hk::PeImage::Map(path, &broken, &error));
    EXPECT_NE(std::string::npos, error.find("ntoskrnl.exe!ZwQueryValueKez")) << error;
    EXPECT_EQ(nullptr, broken);
}

TEST_F(Image, InitIsGoneOnceTheEntryReturned)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    UNICODE_STRING path{};
    EXPECT_DEATH(image->Entry()(driver->Object(), &path), "");
}

// Each routine the image can import pops the bytes its decoration in mingw's import
// libraries says, in the convention it says: a binding that disagrees would corrupt
// the image's stack on the first call.
TEST(KernelExports, MatchTheImportLibrariesDecorations)
{
    std::ifstream in(VCOM_DECORATIONS_PATH);
    ASSERT_TRUE(in) << VCOM_DECORATIONS_PATH;
    std::map<std::string, std::pair<char, int>> decorated;
    for (std::string symbol; in >> symbol;) {
        auto at = symbol.rfind('@');
        if (at == std::string::npos || at == 0) continue;
        char convention = symbol[0] == '@' ? 'f' : 's';
        decorated[symbol.substr(1, at - 1)] = {convention, std::stoi(symbol.substr(at + 1))};
    }
    ASSERT_GT(decorated.size(), 100u);
    int checked = 0;
    for (const hk::KernelExport& e : hk::KernelExports()) {
        if (e.convention == 'd') continue;  // data: bound by address, not called
        if (e.convention == 'c') {
            EXPECT_EQ(0u, decorated.count(e.name)) << e.name << " is decorated, so not cdecl";
            continue;
        }
        auto it = decorated.find(e.name);
        ASSERT_NE(decorated.end(), it) << e.name << " is in no import library";
        EXPECT_EQ(it->second.first, e.convention) << e.name;
        EXPECT_EQ(it->second.second, e.argumentBytes) << e.name;
        checked++;
    }
    EXPECT_GT(checked, 80);
}

// A routine that returns a small structure returns it in registers to the image, as
// Windows does, not through the hidden pointer of the Linux i386 ABI.
TEST(KernelExports, SmallStructuresComeBackInRegistersAsWindowsReturnsThem)
{
    const hk::KernelExport* found = nullptr;
    for (const hk::KernelExport& e : hk::KernelExports())
        if (std::string(e.name) == "PoSetPowerState") found = &e;
    ASSERT_NE(nullptr, found);
    using WindowsAbi = ULONG(NTAPI*)(PDEVICE_OBJECT, POWER_STATE_TYPE, ULONG);
    EXPECT_EQ((ULONG)PowerDeviceD2, ((WindowsAbi)found->address)(nullptr, DevicePowerState, PowerDeviceD2));
    EXPECT_EQ(12, found->argumentBytes);
}
