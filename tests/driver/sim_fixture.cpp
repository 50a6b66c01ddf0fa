#include "driver/sim_fixture.h"

std::vector<hk::RegistryValue> WithPortName(std::vector<hk::RegistryValue> values)
{
    for (const auto& v : values)
        if (v.name == u"PortName") return values;
    static int next = 10;
    values.push_back(hk::RegistryValue::String(u"PortName", W(("COM" + std::to_string(next++)).c_str())));
    return values;
}

Bytes Sequence(size_t n, size_t first)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = (UCHAR)((first + i) * 7 + (first + i) / 251);
    return b;
}

void SimPortTest::SetUp()
{
    KernelTest::SetUp();
    ASSERT_EQ(STATUS_SUCCESS, LoadDriverUnderTest(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vcomusb", &driver));
}

void SimPortTest::TearDown()
{
    // The stack comes apart top-down: the port's removal goes down through the pipe
    // driver to the PDO; the simulator then deletes the pipe driver's device and the PDO.
    if (port) stack->Remove();
    port = nullptr;
    if (driver) driver->Unload();
    driver.reset();
    sim.reset();
    ReleaseDriverUnderTest();
    KernelTest::TearDown();
}

NTSTATUS SimPortTest::AddAdapter(pipesim::Options options)
{
    options.registry = WithPortName(std::move(options.registry));
    sim = std::make_unique<pipesim::PipeSim>(std::move(options));
    stack.emplace(sim->Pdo());
    NTSTATUS status = stack->AddDevice(*driver);
    port = stack->Top() != sim->Device() ? stack->Top() : nullptr;
    return status;
}

void OpenPortTest::SetUp()
{
    SimPortTest::SetUp();
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
}

void OpenPortTest::TearDown()
{
    if (file) file->Close();
    file.reset();
    SimPortTest::TearDown();
}
