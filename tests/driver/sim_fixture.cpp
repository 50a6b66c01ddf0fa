#include "driver/sim_fixture.h"

void SimPortTest::SetUp()
{
    KernelTest::SetUp();
    ASSERT_EQ(STATUS_SUCCESS, hk::LoadedDriver::Load(DriverEntry, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vcomusb", &driver));
}

void SimPortTest::TearDown()
{
    if (port) stack->Remove();
    port = nullptr;
    if (driver) driver->Unload();
    sim.reset();
    KernelTest::TearDown();
}

NTSTATUS SimPortTest::AddAdapter(pipesim::Options options)
{
    sim = std::make_unique<pipesim::PipeSim>(std::move(options));
    stack.emplace(sim->Device());
    NTSTATUS status = stack->AddDevice(*driver);
    port = stack->Top() != sim->Device() ? stack->Top() : nullptr;
    return status;
}
