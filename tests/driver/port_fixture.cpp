#include "driver/port_fixture.h"

#include "driver/sim_fixture.h"

void DriverTest::SetUp()
{
    KernelTest::SetUp();
    ASSERT_EQ(STATUS_SUCCESS, LoadDriverUnderTest(kServiceKey, &driver));
}

void DriverTest::TearDown()
{
    if (port) RemoveAdapter();
    if (driver) driver->Unload();
    driver.reset();
    bus.DeletePdos();
    ReleaseDriverUnderTest();
    KernelTest::TearDown();
}

NTSTATUS DriverTest::AddAdapter(const std::vector<hk::RegistryValue>& values, ULONG pdoFlags)
{
    static int instance = 0;
    std::string id = "USB\\VID_0403&PID_6001\\" + std::to_string(instance++);
    pdo = bus.CreatePdo(W(id.c_str()), pdoFlags, WithPortName(values));
    stack.emplace(pdo);
    NTSTATUS status = stack->AddDevice(*driver);
    port = stack->Top() != pdo ? stack->Top() : nullptr;
    return status;
}

void DriverTest::RemoveAdapter()
{
    stack->Remove();
    port = nullptr;
}
