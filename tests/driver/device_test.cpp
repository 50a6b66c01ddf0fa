// AddDevice: configuration from the registry, the port device and its record, and
// every way it can fail without leaving anything behind.
#include "driver/port_fixture.h"
#include "tx/write.h"

using hk::RegistryValue;

class Configuration : public DriverTest {};

TEST_F(Configuration, WithoutRegistryValuesEveryDefaultApplies)
{
    DebugLevel = 77;
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    PortExtension* p = Port();
    EXPECT_EQ(0u, p->RxReqSize);
    EXPECT_EQ(0u, p->RxPollPeriod);
    EXPECT_EQ(10, p->CtlPollPeriod);
    EXPECT_EQ(0u, p->TxKickThreshold);
    EXPECT_EQ(0u, p->TxAsync);
    EXPECT_EQ(0u, p->NoBaudCheck);
    EXPECT_EQ(1u, p->TxAllowNullPacket);
    EXPECT_EQ(0u, p->EndPointCaps);
    EXPECT_EQ(77u, DebugLevel) << "an absent DebugLevel leaves the driver-wide value alone";
    EXPECT_EQ(std::u16string(u"\\PIPE01"), std::u16string(p->DataInPipe.Name));
    EXPECT_EQ(std::u16string(u"\\PIPE00"), std::u16string(p->DataOutPipe.Name));
    EXPECT_EQ(0, p->StatusPipe.Name[0]) << "no status pipe without EndPointCaps";
    EXPECT_EQ(nullptr, p->StatusPipe.File.FileName.Buffer);
    EXPECT_EQ(14, p->DataInPipe.File.FileName.Length);
    EXPECT_EQ(16, p->DataInPipe.File.FileName.MaximumLength);
    EXPECT_EQ(p->DataInPipe.Name, p->DataInPipe.File.FileName.Buffer);
    EXPECT_EQ(port, p->DataOutPipe.File.DeviceObject);
}

TEST_F(Configuration, ValuesPresentAreTakenAsTheyAre)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter({RegistryValue::Dword(u"RxReqSize", 512), RegistryValue::Dword(u"RxPollPeriod", 3),
                                          RegistryValue::Dword(u"CtlPollPeriod", (ULONG)-1), RegistryValue::Dword(u"TxAsync", 5),
                                          RegistryValue::Dword(u"NoBaudCheck", 1), RegistryValue::Dword(u"TxAllowNullPacket", 0),
                                          RegistryValue::Dword(u"EndPointCaps", 3), RegistryValue::Dword(u"DebugLevel", 4)}));
    PortExtension* p = Port();
    EXPECT_EQ(512u, p->RxReqSize);
    EXPECT_EQ(3u, p->RxPollPeriod);
    EXPECT_EQ(-1, p->CtlPollPeriod) << "taken as signed: no status pipe is used";
    EXPECT_EQ(5u, p->TxAsync);
    EXPECT_EQ(1u, p->NoBaudCheck);
    EXPECT_EQ(0u, p->TxAllowNullPacket) << "zero-length packets disabled";
    EXPECT_EQ(3u, p->EndPointCaps);
    EXPECT_EQ(4u, DebugLevel);
    EXPECT_EQ(std::u16string(u"\\PIPE02"), std::u16string(p->StatusPipe.Name));
    EXPECT_EQ(port, p->StatusPipe.File.DeviceObject);
}

TEST_F(Configuration, TheKickThresholdIsClampedWhenPresent)
{
    struct Case {
        std::optional<ULONG> stored;
        ULONG expected;
    };
    for (Case c : {Case{std::nullopt, 0}, Case{0u, 1}, Case{1u, 1}, Case{4095u, 4095}, Case{4096u, 2048}, Case{0xFFFFFFFFu, 2048}}) {
        std::vector<RegistryValue> values;
        if (c.stored) values.push_back(RegistryValue::Dword(u"TxKickThreshold", *c.stored));
        ASSERT_EQ(STATUS_SUCCESS, AddAdapter(values));
        EXPECT_EQ(c.expected, Port()->TxKickThreshold) << "stored " << (c.stored ? (long long)*c.stored : -1);
        RemoveAdapter();
    }
}

TEST_F(Configuration, OnlyValuesWithAtLeastFourBytesThatFitTheQueryAreTaken)
{
    std::u16string longText(40, u'7');
    std::vector<UCHAR> two = {1, 2};
    std::vector<UCHAR> fourBinary = {0x10, 0x20, 0, 0};
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter({RegistryValue::String(u"RxReqSize", longText),
                                          RegistryValue::Bytes(u"RxPollPeriod", REG_BINARY, two),
                                          RegistryValue::Bytes(u"CtlPollPeriod", REG_BINARY, fourBinary),
                                          RegistryValue::String(u"NoBaudCheck", u"A")}));
    EXPECT_EQ(0u, Port()->RxReqSize) << "too long for the query buffer: the default";
    EXPECT_EQ(0u, Port()->RxPollPeriod) << "two bytes are not a 32-bit word: the default";
    EXPECT_EQ(0x2010, Port()->CtlPollPeriod) << "any type that fits is read as its first 32-bit word";
    EXPECT_EQ((ULONG)u'A', Port()->NoBaudCheck) << "'A' and its NUL are four bytes";
}

TEST_F(Configuration, AnUnreadableKeyFallsBackToDefaultsAndAQueryNeedsNoPool)
{
    hk::FailApi(hk::Api::IoOpenDeviceRegistryKey, STATUS_ACCESS_DENIED, 5);  // CtlPollPeriod's open
    hk::FailPoolAllocation(1, TAG_FILT);  // no query takes pool: nothing else does meanwhile
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter({RegistryValue::Dword(u"CtlPollPeriod", 50), RegistryValue::Dword(u"TxAsync", 1),
                                          RegistryValue::Dword(u"RxPollPeriod", 9), RegistryValue::Dword(u"DebugLevel", 3)}));
    EXPECT_EQ(3u, DebugLevel) << "the first value read";
    EXPECT_EQ(10, Port()->CtlPollPeriod);
    EXPECT_EQ(1u, Port()->TxAsync);
    EXPECT_EQ(9u, Port()->RxPollPeriod);
    EXPECT_EQ(0u, hk::OpenRegistryHandles()) << "every key opened was closed";
    hk::ClearFaults();
}

class PortDevice : public DriverTest {};

TEST_F(PortDevice, IsAnUnnamedExclusiveSerialDeviceAboveThePipeDriver)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter({}, DO_POWER_PAGABLE));
    EXPECT_EQ((ULONG)FILE_DEVICE_SERIAL_PORT, port->DeviceType);
    EXPECT_FALSE(port->Flags & DO_DEVICE_HAS_NAME);
    EXPECT_TRUE(port->Flags & DO_EXCLUSIVE);
    EXPECT_TRUE(port->Flags & DO_BUFFERED_IO);
    EXPECT_FALSE(port->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_TRUE(port->Flags & DO_POWER_PAGABLE) << "inherited from the pipe driver's device";
    EXPECT_FALSE(port->Flags & DO_POWER_INRUSH);
    EXPECT_EQ(pdo, Port()->LowerDevice);
    EXPECT_EQ(pdo, Port()->PhysicalDevice);
    EXPECT_EQ(port, Port()->PortDeviceObject);
    EXPECT_EQ(pdo->StackSize + 1, port->StackSize);

    auto interfaces = hk::names::InterfacesOf(pdo);
    ASSERT_EQ(1u, interfaces.size());
    EXPECT_EQ(1, hk::names::InterfaceState(interfaces[0]));
    EXPECT_NE(std::u16string::npos, interfaces[0].find(u"{86e0d1e0-8089-11d0-9ce4-08003e301f73}"));
    EXPECT_EQ(interfaces[0], std::u16string(Port()->InterfaceLinkName.Buffer));
    EXPECT_EQ(Port()->InterfaceLinkName.Length + 2, Port()->InterfaceLinkName.MaximumLength);
    EXPECT_TRUE(hk::names::WmiRegistered(port));
}

TEST_F(PortDevice, TheInrushBitIsInheritedToo)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter({}, DO_POWER_INRUSH));
    EXPECT_TRUE(port->Flags & DO_POWER_INRUSH);
    EXPECT_FALSE(port->Flags & DO_POWER_PAGABLE);
}

TEST_F(PortDevice, StartsWithTheDefaultSerialSettingsAndItsMachineryStopped)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    PortExtension* p = Port();
    EXPECT_EQ(115200u, p->BaudRate);
    EXPECT_EQ(0, p->LineControl.StopBits);
    EXPECT_EQ(0, p->LineControl.Parity);
    EXPECT_EQ(8, p->LineControl.WordLength);
    EXPECT_EQ(MAXULONG, p->Timeouts.ReadIntervalTimeout);
    EXPECT_EQ(0u, p->Timeouts.ReadTotalTimeoutMultiplier + p->Timeouts.ReadTotalTimeoutConstant +
                      p->Timeouts.WriteTotalTimeoutMultiplier + p->Timeouts.WriteTotalTimeoutConstant);
    EXPECT_EQ((ULONG)ReadModeReturnNow, p->ReadMode);
    EXPECT_EQ(0u, p->HandFlow.ControlHandShake | p->HandFlow.FlowReplace | (ULONG)p->HandFlow.XonLimit | (ULONG)p->HandFlow.XoffLimit);
    EXPECT_EQ(0, p->Chars.XonChar | p->Chars.XoffChar | p->Chars.EofChar | p->Chars.ErrorChar | p->Chars.BreakChar | p->Chars.EventChar);
    EXPECT_EQ(0u, p->WaitMask);
    EXPECT_EQ(0, p->ModemControlByte);
    EXPECT_EQ(4096u, p->InSize);
    EXPECT_EQ(4096u, p->OutSize);

    EXPECT_EQ(4096u, p->TxRing.Size);
    EXPECT_NE(nullptr, p->TxRing.Storage);
    EXPECT_EQ(4096u, hk::OutstandingPoolBytes(TAG_CIRC));
    EXPECT_EQ(0u, p->RxRing.Size);
    EXPECT_EQ(nullptr, p->RxRing.Storage);

    EXPECT_EQ(1, p->RxStopped);
    EXPECT_EQ(1, p->StatusStopped);
    EXPECT_EQ(1, p->TxStopped);
    EXPECT_EQ(0, KeReadStateEvent(&p->RxIdleEvent));
    EXPECT_EQ(0, KeReadStateEvent(&p->StatusIdleEvent));
    EXPECT_EQ(1, KeReadStateEvent(&p->TxIdleEvent));
    EXPECT_EQ(-100000, p->TxKickDelay.QuadPart);
    EXPECT_EQ(0u, p->RunState);
    EXPECT_EQ(0u, p->PnpState);
    EXPECT_EQ(0u, p->PreviousPnpState);
    EXPECT_EQ(0u, hk::ArmedTimerCount());
    EXPECT_EQ(2, p->PortRemoveLock.Common.IoCount) << "the bias and the device's own reference";
    EXPECT_EQ(DirectWriteTimeout, p->WriteTimerDpc.DeferredRoutine);
}

TEST_F(PortDevice, TheBufferedPathIsChosenByTxAsync)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter({RegistryValue::Dword(u"TxAsync", 1)}));
    EXPECT_EQ(BufferedWriteTimeout, Port()->WriteTimerDpc.DeferredRoutine);
    EXPECT_EQ(Port(), Port()->WriteTimerDpc.DeferredContext);
    EXPECT_EQ(Port(), Port()->TxKickDpc.DeferredContext);
    EXPECT_EQ(port, Port()->RxPumpDpc.DeferredContext);
    EXPECT_EQ(port, Port()->StatusDpc.DeferredContext);
}

TEST_F(PortDevice, TakesOneHandleAtATimeTheSecondRefusedBeforeTheDriver)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    std::u16string name = hk::names::InterfacesOf(pdo).at(0);
    std::unique_ptr<hk::File> first, second;
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(name, &first));
    EXPECT_EQ(STATUS_ACCESS_DENIED, hk::File::Open(name, &second));
    first->Close();
    EXPECT_EQ(STATUS_SUCCESS, hk::File::Open(name, &second));
    second->Close();
}

TEST_F(PortDevice, RemovalReleasesEverythingAddDeviceBuilt)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    std::u16string name = hk::names::InterfacesOf(pdo).at(0);
    bus.ClearArrived();
    RemoveAdapter();
    EXPECT_EQ(pdo, stack->Top()) << "detached and deleted";
    EXPECT_EQ(0, hk::names::InterfaceState(name));
    EXPECT_EQ(0u, hk::OutstandingPoolBytes(TAG_CIRC));
    EXPECT_EQ(0u, hk::OutstandingPoolBytes(TAG_INIT));
    ASSERT_EQ(1u, bus.Arrived().size()) << "the removal went down to the pipe driver";
    EXPECT_EQ(IRP_MN_REMOVE_DEVICE, bus.Arrived()[0].minor);
}

// ---- Failure paths ----------------------------------------------------------------------

class AddDeviceFailure : public DriverTest {
protected:
    // After a failed AddDevice: nothing attached, nothing allocated but the registry
    // path, no interface left enabled.
    void ExpectNothingLeft()
    {
        EXPECT_EQ(nullptr, port);
        EXPECT_EQ(nullptr, driver->Object()->DeviceObject);
        size_t pool = 0;
        for (auto& b : hk::OutstandingPool()) pool += b.address != DriverRegistryPath.Buffer;
        EXPECT_EQ(0u, pool);
        for (auto& name : hk::names::InterfacesOf(pdo)) EXPECT_EQ(0, hk::names::InterfaceState(name));
        EXPECT_EQ(0u, hk::OpenRegistryHandles());
    }
};

TEST_F(AddDeviceFailure, NoDeviceObject)
{
    hk::FailApi(hk::Api::IoCreateDevice, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AddAdapter());
    ExpectNothingLeft();
}

TEST_F(AddDeviceFailure, InterfaceRegistrationOrEnabling)
{
    hk::FailApi(hk::Api::IoRegisterDeviceInterface, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, AddAdapter());
    ExpectNothingLeft();
    hk::FailApi(hk::Api::IoSetDeviceInterfaceState, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, AddAdapter());
    ExpectNothingLeft();
    hk::FailPoolAllocation(1, 0x20206F49);  // the link name the kernel returns
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AddAdapter());
    ExpectNothingLeft();
}

TEST_F(AddDeviceFailure, NoStorageForTheLinkNameCopy)
{
    hk::FailPoolAllocation(1, TAG_INIT);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AddAdapter());
    ExpectNothingLeft();
}

TEST_F(AddDeviceFailure, AttachingToTheStack)
{
    hk::FailApi(hk::Api::IoAttachDeviceToDeviceStack, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, AddAdapter());
    ExpectNothingLeft();
}

TEST_F(AddDeviceFailure, NoTxRingStorage)
{
    hk::FailPoolAllocation(1, TAG_CIRC);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AddAdapter());
    ExpectNothingLeft();
}

TEST_F(AddDeviceFailure, WmiRegistration)
{
    hk::FailApi(hk::Api::IoWMIRegistrationControl, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AddAdapter());
    ExpectNothingLeft();
}

TEST_F(AddDeviceFailure, AnAdapterAddedAfterAFailureWorks)
{
    hk::FailPoolAllocation(1, TAG_CIRC);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AddAdapter());
    EXPECT_EQ(STATUS_SUCCESS, AddAdapter());
    EXPECT_EQ(4096u, Port()->TxRing.Size);
}
