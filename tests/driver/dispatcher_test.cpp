// The control request dispatcher: which codes it answers itself, which it refuses,
// and that it compares whole control codes.
#include "driver/sim_fixture.h"
#include "ioctl/dispatcher.h"

namespace {
constexpr ULONG Serial(ULONG function, ULONG method = METHOD_BUFFERED, ULONG access = FILE_ANY_ACCESS)
{
    return CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, method, access);
}
}  // namespace

using Dispatcher = OpenPortTest;

TEST_F(Dispatcher, NoActionCodesSucceedWithNothingReturnedWhateverTheirBuffers)
{
    const ULONG codes[] = {IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_XOFF,     IOCTL_SERIAL_SET_XON,
                           IOCTL_SERIAL_XOFF_COUNTER, IOCTL_SERIAL_LSRMST_INSERT, IOCTL_SERIAL_SET_FIFO_CONTROL};
    for (ULONG code : codes) {
        auto bare = file->StartIoctl(code, {}, 0);
        EXPECT_EQ(STATUS_SUCCESS, bare->Status()) << std::hex << code;
        auto full = file->StartIoctl(code, {1, 2, 3, 4, 5, 6, 7, 8}, 16);
        EXPECT_EQ(STATUS_SUCCESS, full->Status()) << std::hex << code;
        EXPECT_EQ(0u, full->Information()) << std::hex << code;
        EXPECT_EQ(IO_NO_INCREMENT, full->Boost());
    }
    sim->ClearRecords();
    file->Ioctl(IOCTL_SERIAL_SET_XOFF, nullptr, 0, nullptr, 0, nullptr);
    EXPECT_TRUE(sim->Arrivals().empty()) << "answered by the port itself";
}

TEST_F(Dispatcher, CodesNotInTheTableAreRefusedWithNothingReturned)
{
    const ULONG refused[] = {
        IOCTL_SERIAL_GET_COMMCONFIG,
        IOCTL_SERIAL_SET_COMMCONFIG,
        Serial(0),
        Serial(40),
        Serial(120),
        Serial(199),
        Serial(202),
        Serial(0xFFF),
        // Known serial functions with another transfer method or access are other codes.
        Serial(11, METHOD_NEITHER),
        Serial(14, METHOD_IN_DIRECT),
        Serial(15, METHOD_BUFFERED, FILE_READ_ACCESS),
        Serial(11, METHOD_BUFFERED, FILE_WRITE_ACCESS),
        // Other device types with a serial function number.
        CTL_CODE(FILE_DEVICE_UNKNOWN, 11, METHOD_BUFFERED, FILE_ANY_ACCESS),
        CTL_CODE(0x23, 14, METHOD_BUFFERED, FILE_ANY_ACCESS),
    };
    for (ULONG code : refused) {
        auto r = file->StartIoctl(code, {0xAA, 0xBB, 0xCC, 0xDD}, 8);
        EXPECT_EQ(STATUS_NOT_SUPPORTED, r->Status()) << std::hex << code;
        EXPECT_EQ(0u, r->Information()) << std::hex << code;
        EXPECT_TRUE(r->Output().empty());
    }
}

TEST_F(Dispatcher, NoActionCodesSucceedAlsoOnADeviceBeingRemoved)
{
    Port()->SurpriseRemoved = 1;
    EXPECT_EQ(STATUS_SUCCESS, file->Ioctl(IOCTL_SERIAL_LSRMST_INSERT, nullptr, 0, nullptr, 0, nullptr));
    Port()->SurpriseRemoved = 0;
}

TEST_F(Dispatcher, ThePrivatePipeResetsAreSerialFunctions200And201)
{
    EXPECT_EQ(0x1B0320u, IOCTL_PRIVATE_RESET_RX_PIPE);
    EXPECT_EQ(0x1B0324u, IOCTL_PRIVATE_RESET_TX_PIPE);
}
