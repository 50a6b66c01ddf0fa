// Line settings: what each SET stores, what it refuses, and the configuration bytes the
// adapter gets in each of the forms EndPointCaps selects; the special characters; a
// failing adapter, a removed device, and two SETs at once.
#include <iterator>

#include "driver/sim_fixture.h"

using pipesim::Fault;
using pipesim::Kind;
using pipesim::Pipe;

namespace {

Bytes Le32(std::initializer_list<ULONG> words)
{
    Bytes b;
    for (ULONG w : words)
        for (int i = 0; i < 4; ++i) b.push_back((UCHAR)(w >> (8 * i)));
    return b;
}
Bytes Baud(ULONG rate) { return Le32({rate}); }
Bytes HandFlow(ULONG controlHandShake, ULONG flowReplace, LONG xonLimit = 0, LONG xoffLimit = 0)
{
    return Le32({controlHandShake, flowReplace, (ULONG)xonLimit, (ULONG)xoffLimit});
}
// SERIAL_CHARS: EofChar, ErrorChar, BreakChar, EventChar, XonChar, XoffChar.
const Bytes kChars = {0x1A, 0x3F, 0x00, 0x0D, 0x11, 0x13};

// One control transfer fault on the adapter's control endpoint, after `skip` that pass.
Fault Once(NTSTATUS status, int skip = 0)
{
    Fault f{status};
    f.times = 1;
    f.skip = skip;
    return f;
}

}  // namespace

class LineSettings : public SimPortTest {
protected:
    void TearDown() override
    {
        if (file) file->Close();
        file.reset();
        SimPortTest::TearDown();
    }
    // A fresh adapter with these registry values, started and opened, its records cleared.
    void Open(ULONG endPointCaps, std::vector<hk::RegistryValue> values = {})
    {
        if (file) file->Close();
        file.reset();
        if (port) stack->Remove();
        port = nullptr;
        pipesim::Options o;
        o.registry = std::move(values);
        o.registry.push_back(Dword(u"EndPointCaps", endPointCaps));
        ASSERT_EQ(STATUS_SUCCESS, AddAdapter(std::move(o)));
        ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
        ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
        sim->ClearRecords();
    }
    // A SET, completed at once with Information 0; its status.
    NTSTATUS Set(ULONG code, const Bytes& in)
    {
        auto r = file->StartIoctl(code, in, 0);
        EXPECT_TRUE(r->Done());
        EXPECT_EQ(0u, r->Information());
        return r->Status();
    }
    std::shared_ptr<hk::Request> Get(ULONG code, ULONG outLength)
    {
        auto r = file->StartIoctl(code, {}, outLength);
        EXPECT_TRUE(r->Done());
        return r;
    }
    // A stored record of `size` bytes, read back through its GET.
    Bytes Stored(ULONG code, ULONG size)
    {
        auto r = Get(code, size);
        EXPECT_EQ(STATUS_SUCCESS, r->Status());
        EXPECT_EQ(size, r->Information());
        return r->Output();
    }
    Bytes StoredBaud() { return Stored(IOCTL_SERIAL_GET_BAUD_RATE, 4); }
    Bytes StoredLine() { return Stored(IOCTL_SERIAL_GET_LINE_CONTROL, 3); }
    Bytes StoredHandFlow() { return Stored(IOCTL_SERIAL_GET_HANDFLOW, 16); }
    Bytes StoredChars() { return Stored(IOCTL_SERIAL_GET_CHARS, 6); }

    std::unique_ptr<hk::File> file;
};

// ---- The bytes of each form ------------------------------------------------------------

TEST_F(LineSettings, OneByteFormCarriesRateFrameAndParity)
{
    ASSERT_NO_FATAL_FAILURE(Open(1));
    ASSERT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_BAUD_RATE, Baud(38400)));
    EXPECT_EQ((std::vector<Bytes>{{0, 0x06}}), sim->Commands()) << "38400, 8 data bits, 1 stop bit, no parity";
    EXPECT_EQ(Baud(38400), StoredBaud());

    sim->ClearRecords();
    ASSERT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BITS_2, EVEN_PARITY, 7}));
    EXPECT_EQ((std::vector<Bytes>{{0, 0x1A}}), sim->Commands());
    pipesim::LineConfig line = sim->Adapter().line;
    EXPECT_EQ(38400u, line.baud);
    EXPECT_EQ(7, line.dataBits);
    EXPECT_EQ(2, line.stopBits);
    EXPECT_EQ(pipesim::Parity::Even, line.parity);
    EXPECT_EQ((Bytes{STOP_BITS_2, EVEN_PARITY, 7}), StoredLine());

    ASSERT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BIT_1, ODD_PARITY, 8}));
    const std::pair<ULONG, UCHAR> codes[] = {{9600, 0}, {19200, 1}, {38400, 2}, {115200, 3}};
    for (auto [rate, code] : codes) {
        SCOPED_TRACE(rate);
        sim->ClearRecords();
        ASSERT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_BAUD_RATE, Baud(rate)));
        EXPECT_EQ((std::vector<Bytes>{{0, (UCHAR)(0x24 | code)}}), sim->Commands()) << "odd parity, 8 data bits";
    }
}

TEST_F(LineSettings, ThreeByteFormCarriesEveryTableRateThenTheErrorCharacter)
{
    ASSERT_NO_FATAL_FAILURE(Open(3));
    ASSERT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_CHARS, kChars));
    sim->ClearRecords();
    ASSERT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_BAUD_RATE, Baud(9600)));
    ASSERT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_HANDFLOW, HandFlow(0, SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE)));
    EXPECT_EQ((std::vector<Bytes>{{0, 4, 0x01}, {4, 0, 0x3F}, {0, 4, 0x21}, {4, 0, 0x3F}}), sim->Commands());

    sim->ClearRecords();
    ASSERT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BITS_2, ODD_PARITY, 7}));
    ASSERT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BIT_1, EVEN_PARITY, 8}));
    EXPECT_EQ((std::vector<Bytes>{{0, 4, 0x2A}, {4, 0, 0x3F}, {0, 4, 0x25}, {4, 0, 0x3F}}), sim->Commands());

    const ULONG table[] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};
    for (UCHAR i = 0; i < 9; ++i) {
        SCOPED_TRACE(table[i]);
        sim->ClearRecords();
        ASSERT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_BAUD_RATE, Baud(table[i])));
        EXPECT_EQ((std::vector<Bytes>{{0, i, 0x25}, {4, 0, 0x3F}}), sim->Commands());
        EXPECT_EQ(table[i], sim->Adapter().line.baud);
    }
}

// The one-byte form has a handshake bit only for RTS and CTS handshake together and an
// XON/XOFF bit only for both directions; the three-byte form sets its handshake flag
// for either handshake and its XON/XOFF flag for either direction, never both flags.
TEST_F(LineSettings, FlowBitsOfTheOneByteAndThreeByteForms)
{
    struct Case {
        ULONG controlHandShake, flowReplace;
        UCHAR oneByte, threeByte;
    };
    const Case cases[] = {
        {SERIAL_CTS_HANDSHAKE, 0, 0, 0x10},
        {0, SERIAL_RTS_HANDSHAKE, 0, 0x10},
        {SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 0x40, 0x10},
        {SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL, 0, 0x10},
        {0, SERIAL_TRANSMIT_TOGGLE, 0, 0},  // both RTS bits: not the handshake
        {SERIAL_CTS_HANDSHAKE, SERIAL_TRANSMIT_TOGGLE, 0, 0x10},
        {0, SERIAL_AUTO_TRANSMIT, 0, 0x20},
        {0, SERIAL_AUTO_RECEIVE, 0, 0x20},
        {0, SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE, 0x80, 0x20},
        {SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE, 0xC0, 0x10},
        // Every other handshake and replacement bit counts for neither.
        {SERIAL_DTR_CONTROL | SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DCD_HANDSHAKE |
             SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT,
         SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING | SERIAL_BREAK_CHAR | SERIAL_XOFF_CONTINUE, 0, 0},
    };
    for (ULONG caps : {1u, 2u, 3u}) {
        ASSERT_NO_FATAL_FAILURE(Open(caps));
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "EndPointCaps " << caps << std::hex << ", ControlHandShake 0x"
                                            << c.controlHandShake << ", FlowReplace 0x" << c.flowReplace);
            sim->ClearRecords();
            ASSERT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_HANDFLOW, HandFlow(c.controlHandShake, c.flowReplace)));
            std::vector<Bytes> expected;
            if (caps == 3) {
                // 115200, 8 data bits, then the error character switch.
                expected = {{0, 8, (UCHAR)(0x01 | c.threeByte)}, {4, (UCHAR)((c.flowReplace & SERIAL_ERROR_CHAR) ? 1 : 0), 0}};
            } else {
                expected = {{0, (UCHAR)(0x07 | c.oneByte)}};
                if (caps == 2 && (c.oneByte & 0x40)) expected.push_back({1, 0x03});
            }
            EXPECT_EQ(expected, sim->Commands());
        }
    }
}

TEST_F(LineSettings, TheRtsHandshakeRaisesRtsThroughAModemControlCommandOnlyWithProtocolTwo)
{
    for (ULONG caps : {1u, 2u}) {
        SCOPED_TRACE(caps);
        ASSERT_NO_FATAL_FAILURE(Open(caps));
        ASSERT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_CLR_RTS, {}));
        EXPECT_FALSE(sim->Adapter().rts);
        sim->ClearRecords();
        ASSERT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_HANDFLOW, HandFlow(SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE)));
        if (caps == 1) {
            EXPECT_EQ((std::vector<Bytes>{{0, 0x47}}), sim->Commands());
            EXPECT_EQ(0x02, Port()->ModemControlByte) << "DTR only: RTS left as it was";
            continue;
        }
        EXPECT_EQ((std::vector<Bytes>{{0, 0x47}, {1, 0x03}}), sim->Commands());
        EXPECT_EQ(0x03, Port()->ModemControlByte);
        EXPECT_TRUE(sim->Adapter().rts);
        EXPECT_TRUE(sim->Adapter().line.rtsCts);

        // The modem-control command is the last one sent, so its failure is the request's.
        sim->ClearRecords();
        sim->InjectFault(Pipe::Control, Kind::ControlTransfer, Once(STATUS_DEVICE_DATA_ERROR, 1));
        EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, Set(IOCTL_SERIAL_SET_BAUD_RATE, Baud(9600)));
        EXPECT_EQ((std::vector<Bytes>{{0, 0x44}}), sim->Commands());
        EXPECT_EQ(2u, sim->ControlTransfers().size());
        EXPECT_EQ(Baud(9600), StoredBaud());
    }
}

// ---- Refusals --------------------------------------------------------------------------

TEST_F(LineSettings, RefusedSettingsAndShortBuffersStoreAndSendNothing)
{
    ASSERT_NO_FATAL_FAILURE(Open(1));
    const LONG inSize = (LONG)Port()->InSize;
    ASSERT_GT(inSize, 0);
    ASSERT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_BAUD_RATE, Baud(19200)));
    ASSERT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BITS_2, ODD_PARITY, 7}));
    const Bytes handFlow = HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 100, 50);
    ASSERT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_HANDFLOW, handFlow));
    ASSERT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_CHARS, kChars));
    sim->ClearRecords();

    const std::pair<ULONG, Bytes> refused[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, Baud(57600)},
        {IOCTL_SERIAL_SET_BAUD_RATE, Baud(9601)},
        {IOCTL_SERIAL_SET_BAUD_RATE, Baud(0)},
        {IOCTL_SERIAL_SET_BAUD_RATE, {0x80, 0x25, 0x00}},  // three bytes of 9600
        {IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BITS_1_5, NO_PARITY, 8}},
        {IOCTL_SERIAL_SET_LINE_CONTROL, {3, NO_PARITY, 8}},
        {IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BIT_1, MARK_PARITY, 8}},
        {IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BIT_1, SPACE_PARITY, 8}},
        {IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BIT_1, NO_PARITY, 6}},
        {IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BIT_1, NO_PARITY, 5}},
        {IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BIT_1, NO_PARITY, 9}},
        {IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BIT_1, NO_PARITY}},
        {IOCTL_SERIAL_SET_HANDFLOW, HandFlow(0x04, 0)},
        {IOCTL_SERIAL_SET_HANDFLOW, HandFlow(0x80, 0)},
        {IOCTL_SERIAL_SET_HANDFLOW, HandFlow(0x100, 0)},
        {IOCTL_SERIAL_SET_HANDFLOW, HandFlow(0, 0x20)},
        {IOCTL_SERIAL_SET_HANDFLOW, HandFlow(0, 0x100)},
        {IOCTL_SERIAL_SET_HANDFLOW, HandFlow(0, 0, inSize + 1, 0)},
        {IOCTL_SERIAL_SET_HANDFLOW, HandFlow(0, 0, 0, inSize + 1)},
        {IOCTL_SERIAL_SET_HANDFLOW, HandFlow(0, 0, -1, 0)},
        {IOCTL_SERIAL_SET_HANDFLOW, HandFlow(0, 0, 0, -1)},
        {IOCTL_SERIAL_SET_HANDFLOW, Bytes(15, 0)},
        {IOCTL_SERIAL_SET_CHARS, {1, 2, 3, 4, 5}},
    };
    for (size_t i = 0; i < std::size(refused); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Set(refused[i].first, refused[i].second));
    }
    EXPECT_TRUE(sim->ControlTransfers().empty());
    EXPECT_EQ(Baud(19200), StoredBaud());
    EXPECT_EQ((Bytes{STOP_BITS_2, ODD_PARITY, 7}), StoredLine());
    EXPECT_EQ(handFlow, StoredHandFlow());
    EXPECT_EQ(kChars, StoredChars());

    // GETs: a buffer one byte short is refused; a longer one gets the record's size.
    const std::pair<ULONG, ULONG> gets[] = {{IOCTL_SERIAL_GET_BAUD_RATE, 4},
                                            {IOCTL_SERIAL_GET_LINE_CONTROL, 3},
                                            {IOCTL_SERIAL_GET_HANDFLOW, 16},
                                            {IOCTL_SERIAL_GET_CHARS, 6}};
    for (auto [code, size] : gets) {
        SCOPED_TRACE(size);
        auto shortGet = Get(code, size - 1);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, shortGet->Status());
        EXPECT_EQ(0u, shortGet->Information());
        auto longGet = Get(code, size + 4);
        EXPECT_EQ(STATUS_SUCCESS, longGet->Status());
        EXPECT_EQ(size, longGet->Information());
    }

    // The edges that are accepted: limits equal to the queue size, and every defined bit.
    const Bytes edge = HandFlow(0x8000007B, 0x800000DF, inSize, inSize);
    EXPECT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_HANDFLOW, edge));
    EXPECT_EQ(edge, StoredHandFlow());
}

TEST_F(LineSettings, RatesOutsideTheListAreStoredOnlyWithoutTheRateCheck)
{
    ASSERT_NO_FATAL_FAILURE(Open(0));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Set(IOCTL_SERIAL_SET_BAUD_RATE, Baud(57600)));
    EXPECT_EQ(Baud(115200), StoredBaud());
    ASSERT_NO_FATAL_FAILURE(Open(0, {Dword(u"NoBaudCheck", 1)}));
    EXPECT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_BAUD_RATE, Baud(57600)));
    EXPECT_EQ(Baud(57600), StoredBaud());
    EXPECT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_BAUD_RATE, Baud(1)));
    EXPECT_EQ(Baud(1), StoredBaud());
}

// The one-byte form has codes for four rates only: any other stored rate makes every
// SET of the line settings fail, unsent but stored, until one of the four is set. The
// three-byte form sends a rate outside its table as index 0.
TEST_F(LineSettings, RatesWithoutAOneByteCodeFailEveryLineSettingUntilACodedRateIsSet)
{
    struct Case {
        ULONG caps, noBaudCheck, rate;
    };
    for (Case c : {Case{1, 0, 4800}, Case{2, 0, 76800}, Case{1, 1, 57600}, Case{2, 1, 300}}) {
        SCOPED_TRACE(testing::Message() << "EndPointCaps " << c.caps << ", rate " << c.rate);
        ASSERT_NO_FATAL_FAILURE(Open(c.caps, {Dword(u"NoBaudCheck", c.noBaudCheck)}));
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Set(IOCTL_SERIAL_SET_BAUD_RATE, Baud(c.rate)));
        EXPECT_EQ(Baud(c.rate), StoredBaud());
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Set(IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BITS_2, EVEN_PARITY, 7}));
        EXPECT_EQ((Bytes{STOP_BITS_2, EVEN_PARITY, 7}), StoredLine());
        const Bytes handFlow = HandFlow(SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Set(IOCTL_SERIAL_SET_HANDFLOW, handFlow));
        EXPECT_EQ(handFlow, StoredHandFlow());
        EXPECT_TRUE(sim->ControlTransfers().empty());

        ASSERT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_BAUD_RATE, Baud(19200)));
        std::vector<Bytes> expected = {{0, 0x59}};
        if (c.caps == 2) expected.push_back({1, 0x03});
        EXPECT_EQ(expected, sim->Commands());
    }

    ASSERT_NO_FATAL_FAILURE(Open(3, {Dword(u"NoBaudCheck", 1)}));
    EXPECT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_BAUD_RATE, Baud(57600)));
    EXPECT_EQ((std::vector<Bytes>{{0, 0, 0x01}, {4, 0, 0}}), sim->Commands());
}

// ---- Characters, adapters without a form, failures ------------------------------------

TEST_F(LineSettings, CharactersGoToTheAdapterWhateverTheProtocolAndTheErrorSwitchOnlyWithTheThreeByteForm)
{
    for (ULONG caps : {0u, 1u, 2u, 3u, 5u}) {
        SCOPED_TRACE(caps);
        ASSERT_NO_FATAL_FAILURE(Open(caps));
        ASSERT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_HANDFLOW, HandFlow(0, SERIAL_ERROR_CHAR)));
        int errorCommands = 0;
        for (const Bytes& b : sim->Commands()) errorCommands += !b.empty() && b[0] == 4;
        EXPECT_EQ(caps == 3 ? 1 : 0, errorCommands);
        EXPECT_EQ(caps == 3, sim->Adapter().errorCharEnabled);

        // The first command's failure does not stop the second, and is the request's:
        // the adapter did not take the flow characters.
        sim->ClearRecords();
        sim->InjectFault(Pipe::Control, Kind::ControlTransfer, Once(STATUS_DEVICE_DATA_ERROR));
        EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, Set(IOCTL_SERIAL_SET_CHARS, kChars));
        auto transfers = sim->ControlTransfers();
        ASSERT_EQ(2u, transfers.size());
        EXPECT_TRUE(transfers[0].portCommand);
        EXPECT_EQ((Bytes{2, 0x11, 0x13}), transfers[0].data);
        EXPECT_TRUE(transfers[1].portCommand);
        EXPECT_EQ((Bytes{4, 1, 0x3F}), transfers[1].data);
        EXPECT_EQ((std::vector<Bytes>{{4, 1, 0x3F}}), sim->Commands());
        auto get = Get(IOCTL_SERIAL_GET_CHARS, 6);
        EXPECT_EQ(STATUS_SUCCESS, get->Status());
        EXPECT_EQ(6u, get->Information());
        EXPECT_EQ(kChars, get->Output());

        sim->ClearRecords();
        sim->InjectFault(Pipe::Control, Kind::ControlTransfer, Once(STATUS_IO_TIMEOUT, 1));
        const Bytes other = {0x04, 0x7E, 0x01, 0x0A, 0x21, 0x23};
        EXPECT_EQ(STATUS_IO_TIMEOUT, Set(IOCTL_SERIAL_SET_CHARS, other));
        EXPECT_EQ((std::vector<Bytes>{{2, 0x21, 0x23}}), sim->Commands());
        EXPECT_EQ(2u, sim->ControlTransfers().size());
        EXPECT_EQ(other, StoredChars());
    }
}

TEST_F(LineSettings, WithoutAConfigurationProtocolEverySetIsStoredAndNothingSent)
{
    for (ULONG caps : {0u, 5u}) {
        SCOPED_TRACE(caps);
        ASSERT_NO_FATAL_FAILURE(Open(caps));
        const Bytes handFlow = HandFlow(SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_TRANSMIT, 100, 20);
        EXPECT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_BAUD_RATE, Baud(1200)));
        EXPECT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BITS_2, ODD_PARITY, 7}));
        EXPECT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_HANDFLOW, handFlow));
        EXPECT_TRUE(sim->ControlTransfers().empty());
        EXPECT_EQ(Baud(1200), StoredBaud());
        EXPECT_EQ((Bytes{STOP_BITS_2, ODD_PARITY, 7}), StoredLine());
        EXPECT_EQ(handFlow, StoredHandFlow());
        EXPECT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_CHARS, kChars));
        EXPECT_EQ((std::vector<Bytes>{{2, 0x11, 0x13}, {4, 0, 0x3F}}), sim->Commands());
        EXPECT_EQ(2u, sim->ControlTransfers().size());
    }
}

TEST_F(LineSettings, AFailedCommandIsTheRequestsStatusAndTheValueStaysStored)
{
    ASSERT_NO_FATAL_FAILURE(Open(1));
    sim->InjectFault(Pipe::Control, Kind::ControlTransfer, Once(STATUS_DEVICE_DATA_ERROR));
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, Set(IOCTL_SERIAL_SET_BAUD_RATE, Baud(19200)));
    EXPECT_EQ(1u, sim->ControlTransfers().size()) << "not retried";
    EXPECT_EQ(Baud(19200), StoredBaud());
    EXPECT_EQ(0, sim->Adapter().line.form);
    // The next SET carries the stored rate.
    EXPECT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BIT_1, EVEN_PARITY, 8}));
    EXPECT_EQ(19200u, sim->Adapter().line.baud);

    ASSERT_NO_FATAL_FAILURE(Open(3));
    sim->InjectFault(Pipe::Control, Kind::ControlTransfer, Once(STATUS_IO_TIMEOUT, 1));
    EXPECT_EQ(STATUS_IO_TIMEOUT, Set(IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BITS_2, NO_PARITY, 7}));
    EXPECT_EQ((std::vector<Bytes>{{0, 8, 0x02}}), sim->Commands());
    EXPECT_EQ((Bytes{STOP_BITS_2, NO_PARITY, 7}), StoredLine());

    // A configuration the adapter refused is not reported as taken because the error
    // character that followed it was.
    sim->ClearRecords();
    sim->InjectFault(Pipe::Control, Kind::ControlTransfer, Once(STATUS_DEVICE_DATA_ERROR));
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, Set(IOCTL_SERIAL_SET_BAUD_RATE, Baud(9600)));
    EXPECT_EQ(2u, sim->ControlTransfers().size());
    EXPECT_EQ((std::vector<Bytes>{{4, 0, 0}}), sim->Commands());
}

TEST_F(LineSettings, ARemovedDeviceAnswersDeletePendingAndKeepsItsSettings)
{
    ASSERT_NO_FATAL_FAILURE(Open(1));
    const std::pair<ULONG, Bytes> sets[] = {{IOCTL_SERIAL_SET_BAUD_RATE, Baud(9600)},
                                            {IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BITS_2, EVEN_PARITY, 7}},
                                            {IOCTL_SERIAL_SET_HANDFLOW, HandFlow(0, SERIAL_AUTO_RECEIVE)},
                                            {IOCTL_SERIAL_SET_CHARS, kChars}};
    const std::pair<ULONG, ULONG> gets[] = {{IOCTL_SERIAL_GET_BAUD_RATE, 4},
                                            {IOCTL_SERIAL_GET_LINE_CONTROL, 3},
                                            {IOCTL_SERIAL_GET_HANDFLOW, 16},
                                            {IOCTL_SERIAL_GET_CHARS, 6}};
    for (UCHAR PortExtension::*flag : {&PortExtension::SurpriseRemoved, &PortExtension::DeviceRemoved}) {
        Port()->*flag = 1;
        for (auto& [code, in] : sets) EXPECT_EQ(STATUS_DELETE_PENDING, Set(code, in));
        for (auto [code, size] : gets) {
            auto r = Get(code, size);
            EXPECT_EQ(STATUS_DELETE_PENDING, r->Status());
            EXPECT_EQ(0u, r->Information());
        }
        Port()->*flag = 0;
    }
    EXPECT_TRUE(sim->ControlTransfers().empty());
    EXPECT_EQ(Baud(115200), StoredBaud());
    EXPECT_EQ((Bytes{STOP_BIT_1, NO_PARITY, 8}), StoredLine());
    EXPECT_EQ((Bytes(6, 0)), StoredChars());
}

// A SET whose command is still on its way holds the next SET back: the second's
// command, built from both settings, must be the one the adapter gets last.
TEST_F(LineSettings, ASetWaitsForAnotherSetsCommandsSoTheAdapterEndsWithTheStoredConfiguration)
{
    ASSERT_NO_FATAL_FAILURE(Open(1));
    sim->HoldNext(Kind::ControlTransfer);
    NTSTATUS baud = STATUS_PENDING, line = STATUS_PENDING;
    hk::Thread first([&] { baud = Set(IOCTL_SERIAL_SET_BAUD_RATE, Baud(38400)); });
    hk::YieldToOthers();
    ASSERT_EQ(1u, sim->Outstanding(Pipe::Control));
    hk::Thread second([&] { line = Set(IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BITS_2, EVEN_PARITY, 7}); });
    hk::YieldToOthers();
    EXPECT_FALSE(second.Finished());
    EXPECT_EQ(1u, sim->ControlTransfers().size());
    EXPECT_TRUE(sim->CompleteHeld(Pipe::Control, STATUS_SUCCESS));
    first.Join();
    second.Join();
    EXPECT_EQ(STATUS_SUCCESS, baud);
    EXPECT_EQ(STATUS_SUCCESS, line);
    EXPECT_EQ((std::vector<Bytes>{{0, 0x06}, {0, 0x1A}}), sim->Commands());
}
