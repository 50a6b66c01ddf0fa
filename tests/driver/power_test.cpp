// Power requests reach the port at DISPATCH_LEVEL when its device object is not
// power-pageable (it copies the bit from the pipe driver's device). What would wait
// is then handled from a work item at PASSIVE_LEVEL; the rest goes down at once.
#include "driver/port_fixture.h"

class PowerDispatch : public DriverTest {
protected:
    // The power requests that reached the bus, with the IRQL of each.
    std::vector<hk::ArrivedRequest> PowerArrivals() const
    {
        std::vector<hk::ArrivedRequest> out;
        for (auto& a : bus.Arrived())
            if (a.major == IRP_MJ_POWER) out.push_back(a);
        return out;
    }
};

TEST_F(PowerDispatch, DevicePowerChangesAboveAnUnpageableDeviceGoDownFromPassiveLevel)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter({}, 0));
    ASSERT_FALSE(port->Flags & DO_POWER_PAGABLE);
    bus.ClearArrived();
    EXPECT_EQ(STATUS_SUCCESS, stack->QueryDevicePower(PowerDeviceD3).status);
    EXPECT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD3).status);
    EXPECT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD0).status);
    auto arrived = PowerArrivals();
    ASSERT_EQ(3u, arrived.size());
    for (auto& a : arrived) {
        EXPECT_EQ(PASSIVE_LEVEL, a.irql) << "deferred to a work item, minor " << (int)a.minor;
        EXPECT_EQ(DevicePowerState, a.stack.Parameters.Power.Type);
        EXPECT_EQ(0, a.stack.Control & SL_PENDING_RETURNED) << "the pipe driver does not inherit the port's pending mark";
    }
    EXPECT_EQ(PowerDeviceD3, arrived[0].stack.Parameters.Power.State.DeviceState);
    EXPECT_EQ(PowerDeviceD0, arrived[2].stack.Parameters.Power.State.DeviceState);
}

TEST_F(PowerDispatch, RequestsThatDoNotWaitGoDownAtOnceAtTheirOwnLevel)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter({}, 0));
    bus.ClearArrived();
    EXPECT_EQ(STATUS_SUCCESS, stack->SetSystemPower(PowerSystemSleeping3).status);
    EXPECT_EQ(STATUS_SUCCESS, stack->QueryDevicePower(PowerDeviceD0).status);
    auto arrived = PowerArrivals();
    ASSERT_EQ(2u, arrived.size());
    EXPECT_EQ(DISPATCH_LEVEL, arrived[0].irql);
    EXPECT_EQ(DISPATCH_LEVEL, arrived[1].irql);
}

TEST_F(PowerDispatch, AboveAPowerPageableDeviceEverythingIsHandledInline)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter({}, DO_POWER_PAGABLE));
    ASSERT_TRUE(port->Flags & DO_POWER_PAGABLE);
    bus.ClearArrived();
    EXPECT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD3).status);
    auto arrived = PowerArrivals();
    ASSERT_EQ(1u, arrived.size());
    EXPECT_EQ(PASSIVE_LEVEL, arrived[0].irql);
}

TEST_F(PowerDispatch, TheWorkItemIsThePortsOwnSoNoPowerRequestNeedsMemory)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter({}, 0));
    bus.ClearArrived();
    hk::FailAllocation(1, true);  // no memory at all
    EXPECT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD2).status);
    EXPECT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD0).status);
    hk::ClearFaults();
    auto arrived = PowerArrivals();
    ASSERT_EQ(2u, arrived.size());
    for (auto& a : arrived) EXPECT_EQ(PASSIVE_LEVEL, a.irql) << "handled from the work item, minor " << (int)a.minor;
}

TEST_F(PowerDispatch, ALowerFailureComesBackUnchanged)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter({}, 0));
    bus.CompleteWith(IRP_MJ_POWER, STATUS_DEVICE_BUSY);
    bus.CompleteLater(5000);
    EXPECT_EQ(STATUS_DEVICE_BUSY, stack->SetDevicePower(PowerDeviceD3).status);
    bus.CompleteLater(0);
    bus.CompleteWith(IRP_MJ_POWER, STATUS_SUCCESS);
}
