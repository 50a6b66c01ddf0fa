// The modem control lines: DTR, RTS and break as the adapter drives them from the one
// byte the driver keeps and sends whole, the modem control register and DTR/RTS state
// requests, the handshake modes that take a line away from the application, failures
// and removal, and changes of different lines racing on real threads.
#include <atomic>
#include <random>
#include <thread>

#include "driver/sim_fixture.h"

namespace {

// The modem control register as applications see it (a 16550's layout).
constexpr ULONG kMcrDtr = 0x01;
constexpr ULONG kMcrRts = 0x02;
// The adapter's modem-control command and the bits of its argument.
constexpr UCHAR kModemControl = 1;
constexpr UCHAR kRts = 0x01;
constexpr UCHAR kDtr = 0x02;
constexpr UCHAR kBreak = 0x04;

Bytes Sent(UCHAR byte) { return {kModemControl, byte}; }

}  // namespace

class ModemLines : public SimPortTest {
protected:
    void TearDown() override
    {
        Close();
        SimPortTest::TearDown();
    }
    // A new adapter with this EndPointCaps (the one before it removed), started and opened.
    void Open(ULONG caps)
    {
        Close();
        if (port) stack->Remove();
        port = nullptr;
        pipesim::Options o;
        o.registry = {Dword(u"EndPointCaps", caps)};
        ASSERT_EQ(STATUS_SUCCESS, AddAdapter(o));
        ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
        Reopen();
    }
    void Reopen() { ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file)); }
    void Close()
    {
        if (file) file->Close();
        file.reset();
    }
    // A request without buffers: it ends at once, returning nothing, with no boost.
    NTSTATUS Line(ULONG code)
    {
        auto r = file->StartIoctl(code, {}, 0);
        EXPECT_TRUE(r->Done());
        EXPECT_EQ(0u, r->Information());
        EXPECT_EQ(IO_NO_INCREMENT, r->Boost());
        return r->Status();
    }
    std::shared_ptr<hk::Request> SetRegister(ULONG value, ULONG length = sizeof(ULONG))
    {
        auto r = file->StartIoctl(IOCTL_SERIAL_SET_MODEM_CONTROL, Bytes((UCHAR*)&value, (UCHAR*)&value + length), 0);
        EXPECT_TRUE(r->Done());
        EXPECT_EQ(0u, r->Information());
        return r;
    }
    // The 32-bit answer of a GET that must succeed; MAXULONG when it did not.
    ULONG Get(ULONG code = IOCTL_SERIAL_GET_MODEM_CONTROL, CCHAR* boost = nullptr)
    {
        auto r = file->StartIoctl(code, {}, sizeof(ULONG));
        EXPECT_TRUE(r->Done());
        EXPECT_EQ(STATUS_SUCCESS, r->Status());
        const Bytes& out = r->Output();
        if (r->Information() != sizeof(ULONG) || out.size() != sizeof(ULONG)) {
            ADD_FAILURE() << "returned " << r->Information() << " bytes";
            return MAXULONG;
        }
        if (boost) *boost = r->Boost();
        return out[0] | (out[1] << 8) | (out[2] << 16) | ((ULONG)out[3] << 24);
    }
    NTSTATUS SetHandFlow(ULONG controlHandShake, ULONG flowReplace)
    {
        SERIAL_HANDFLOW hf{controlHandShake, flowReplace, 0, 0};
        return file->Ioctl(IOCTL_SERIAL_SET_HANDFLOW, &hf, sizeof hf, nullptr, 0, nullptr);
    }
    size_t CommandCount() const { return sim->Commands().size(); }
    Bytes LastCommand() const
    {
        auto commands = sim->Commands();
        return commands.empty() ? Bytes{} : commands.back();
    }
    // The adapter's three lines, as it decoded them, in the command's layout.
    UCHAR AdapterLines() const
    {
        pipesim::AdapterState a = sim->Adapter();
        return (UCHAR)((a.rts ? kRts : 0) | (a.dtr ? kDtr : 0) | (a.breakOn ? kBreak : 0));
    }

    std::unique_ptr<hk::File> file;
};

TEST_F(ModemLines, EveryOpenRaisesDtrAndRtsAndClearsBreak)
{
    Open(2);
    EXPECT_EQ(Sent(kDtr | kRts), LastCommand());
    EXPECT_EQ(kDtr | kRts, AdapterLines());
    CCHAR boost = -1;
    EXPECT_EQ(kMcrDtr | kMcrRts, Get(IOCTL_SERIAL_GET_MODEM_CONTROL, &boost));
    EXPECT_EQ(IO_SERIAL_INCREMENT, boost);
    EXPECT_EQ((ULONG)(SERIAL_DTR_STATE | SERIAL_RTS_STATE), Get(IOCTL_SERIAL_GET_DTRRTS, &boost));
    EXPECT_EQ(IO_NO_INCREMENT, boost);

    // The lines left down with break on at the close are set anew by the next open, not
    // merged with what the last one left; the close itself sends no line change.
    ASSERT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_SET_BREAK_ON));
    ASSERT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_CLR_DTR));
    ASSERT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_CLR_RTS));
    ASSERT_EQ(kBreak, AdapterLines());
    sim->ClearRecords();
    Close();
    for (auto& c : sim->Commands()) EXPECT_NE(kModemControl, c.at(0)) << "sent by the close";
    Reopen();
    EXPECT_EQ(Sent(kDtr | kRts), LastCommand());
    EXPECT_EQ(kDtr | kRts, AdapterLines());
    EXPECT_EQ(kMcrDtr | kMcrRts, Get());
}

TEST_F(ModemLines, EachLineRequestChangesItsOwnBitAndSendsTheWholeByte)
{
    struct Step {
        ULONG code;
        ULONG reported;  // GET_MODEM_CONTROL and GET_DTRRTS (the two layouts agree)
        UCHAR sent;
    };
    const Step steps[] = {{IOCTL_SERIAL_CLR_DTR, kMcrRts, kRts},
                          {IOCTL_SERIAL_CLR_RTS, 0, 0},
                          {IOCTL_SERIAL_SET_DTR, kMcrDtr, kDtr},
                          {IOCTL_SERIAL_SET_RTS, kMcrDtr | kMcrRts, kDtr | kRts}};
    // Every EndPointCaps but 0 sends, including one that selects no line protocol.
    for (ULONG caps : {1u, 2u, 3u, 5u}) {
        SCOPED_TRACE(caps);
        Open(caps);
        ASSERT_FALSE(HasFatalFailure());
        for (const Step& s : steps) {
            SCOPED_TRACE(s.code);
            size_t before = CommandCount();
            EXPECT_EQ(STATUS_SUCCESS, Line(s.code));
            EXPECT_EQ(before + 1, CommandCount());
            EXPECT_EQ(Sent(s.sent), LastCommand());
            EXPECT_EQ(s.sent, AdapterLines());
            EXPECT_EQ(s.reported, Get(IOCTL_SERIAL_GET_MODEM_CONTROL));
            EXPECT_EQ(s.reported, Get(IOCTL_SERIAL_GET_DTRRTS));
        }
    }
}

TEST_F(ModemLines, WithoutAStatusPipeLineRequestsAreRecordedButOnlyTheRegisterIsSent)
{
    Open(0);
    size_t before = CommandCount();
    EXPECT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_CLR_RTS));
    EXPECT_EQ(kMcrDtr, Get());
    EXPECT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_CLR_DTR));
    EXPECT_EQ(0u, Get());
    EXPECT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_SET_RTS));
    EXPECT_EQ(kMcrRts, Get(IOCTL_SERIAL_GET_MODEM_CONTROL));
    EXPECT_EQ((ULONG)SERIAL_RTS_STATE, Get(IOCTL_SERIAL_GET_DTRRTS));
    EXPECT_EQ(before, CommandCount());
    EXPECT_EQ(kDtr | kRts, AdapterLines()) << "still as the open left them";

    // The register is the application's direct say over both lines, sent whatever
    // EndPointCaps is.
    EXPECT_EQ(STATUS_SUCCESS, SetRegister(kMcrDtr)->Status());
    EXPECT_EQ(before + 1, CommandCount());
    EXPECT_EQ(Sent(kDtr), LastCommand());
    EXPECT_EQ(kMcrDtr, Get());
}

TEST_F(ModemLines, TheRegisterSetsDtrAndRtsOnlyAndLeavesBreakAsItWas)
{
    Open(2);
    ASSERT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_SET_BREAK_ON));
    auto r = SetRegister(kMcrDtr);
    EXPECT_EQ(STATUS_SUCCESS, r->Status());
    EXPECT_EQ(IO_SERIAL_INCREMENT, r->Boost());
    EXPECT_EQ(Sent(kDtr | kBreak), LastCommand());
    EXPECT_EQ(kDtr | kBreak, AdapterLines());
    EXPECT_EQ(kMcrDtr, Get()) << "break is no bit of the register";

    // OUT1, OUT2, LOOP and the bits above them mean nothing here.
    EXPECT_EQ(STATUS_SUCCESS, SetRegister(0x1F)->Status());
    EXPECT_EQ(Sent(kDtr | kRts | kBreak), LastCommand());
    EXPECT_EQ(kMcrDtr | kMcrRts, Get());
    EXPECT_EQ(STATUS_SUCCESS, SetRegister(0xFFFFFFFC)->Status());
    EXPECT_EQ(Sent(kBreak), LastCommand());
    EXPECT_EQ(0u, Get());

    ASSERT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_SET_BREAK_OFF));
    EXPECT_EQ(STATUS_SUCCESS, SetRegister(kMcrRts)->Status());
    EXPECT_EQ(Sent(kRts), LastCommand());
    EXPECT_EQ(kRts, AdapterLines());
}

TEST_F(ModemLines, ALineUnderHandshakeRefusesItsOwnRequestsButNotTheRegister)
{
    Open(1);
    // DTR handshake: DTR requests are refused and change and send nothing; RTS is free.
    ASSERT_EQ(STATUS_SUCCESS, SetHandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL));
    size_t before = CommandCount();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Line(IOCTL_SERIAL_CLR_DTR));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Line(IOCTL_SERIAL_SET_DTR));
    EXPECT_EQ(before, CommandCount());
    EXPECT_EQ(kMcrDtr | kMcrRts, Get());
    EXPECT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_CLR_RTS));
    EXPECT_EQ(Sent(kDtr), LastCommand());
    EXPECT_EQ(STATUS_SUCCESS, SetRegister(kMcrRts)->Status());
    EXPECT_EQ(Sent(kRts), LastCommand());
    EXPECT_EQ(kMcrRts, Get());

    // RTS handshake: the same for RTS; DTR is free again. Transmit toggle is an RTS
    // mode of its own, not the handshake, and leaves RTS to the application.
    ASSERT_EQ(STATUS_SUCCESS, SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE));
    before = CommandCount();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Line(IOCTL_SERIAL_CLR_RTS));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Line(IOCTL_SERIAL_SET_RTS));
    EXPECT_EQ(before, CommandCount());
    EXPECT_EQ(kMcrRts, Get());
    EXPECT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_SET_DTR));
    EXPECT_EQ(Sent(kDtr | kRts), LastCommand());
    EXPECT_EQ(STATUS_SUCCESS, SetRegister(kMcrDtr)->Status());
    EXPECT_EQ(Sent(kDtr), LastCommand());

    ASSERT_EQ(STATUS_SUCCESS, SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE));
    EXPECT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_SET_RTS));
    EXPECT_EQ(Sent(kDtr | kRts), LastCommand());
}

TEST_F(ModemLines, OnlyAnAdapterOfEndPointCapsTwoHasABreakLine)
{
    for (ULONG caps : {0u, 1u, 3u}) {
        SCOPED_TRACE(caps);
        Open(caps);
        ASSERT_FALSE(HasFatalFailure());
        size_t before = CommandCount();
        EXPECT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_SET_BREAK_ON));
        EXPECT_EQ(before, CommandCount());
        EXPECT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_CLR_DTR));
        EXPECT_EQ(STATUS_SUCCESS, SetRegister(kMcrDtr | kMcrRts)->Status());
        EXPECT_EQ(Sent(kDtr | kRts), LastCommand()) << "the break request left no bit behind";
        before = CommandCount();
        EXPECT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_SET_BREAK_OFF));
        EXPECT_EQ(before, CommandCount());
    }

    Open(2);
    EXPECT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_SET_BREAK_ON));
    EXPECT_EQ(Sent(kDtr | kRts | kBreak), LastCommand());
    EXPECT_EQ(kDtr | kRts | kBreak, AdapterLines());
    EXPECT_EQ(kMcrDtr | kMcrRts, Get());
    EXPECT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_SET_BREAK_OFF));
    EXPECT_EQ(Sent(kDtr | kRts), LastCommand());
    // A line request keeps break on; break off keeps the lines as they are.
    EXPECT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_SET_BREAK_ON));
    EXPECT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_CLR_DTR));
    EXPECT_EQ(Sent(kRts | kBreak), LastCommand());
    EXPECT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_SET_BREAK_OFF));
    EXPECT_EQ(Sent(kRts), LastCommand());
    EXPECT_EQ(kRts, AdapterLines());
}

TEST_F(ModemLines, ShortBuffersAreRefusedAndChangeNothing)
{
    Open(1);
    size_t before = CommandCount();
    for (ULONG code : {IOCTL_SERIAL_GET_MODEM_CONTROL, IOCTL_SERIAL_GET_DTRRTS}) {
        auto r = file->StartIoctl(code, {}, 2);
        ASSERT_TRUE(r->Done());
        EXPECT_EQ(STATUS_INVALID_PARAMETER, r->Status()) << code;
        EXPECT_EQ(0u, r->Information()) << code;
    }
    // Two bytes of 0 would clear both lines if they were taken.
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetRegister(0, 2)->Status());
    EXPECT_EQ(before, CommandCount());
    EXPECT_EQ(kMcrDtr | kMcrRts, Get());
}

TEST_F(ModemLines, AFailedCommandIsTheRequestsStatusAndTheNextOneBringsTheAdapterInLine)
{
    Open(2);
    const pipesim::Fault once{STATUS_DEVICE_DATA_ERROR, false, false, MAXULONG, 1};
    sim->InjectFault(pipesim::Pipe::Control, pipesim::Kind::ControlTransfer, once);
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, Line(IOCTL_SERIAL_CLR_DTR));
    EXPECT_EQ(kDtr | kRts, AdapterLines());
    EXPECT_EQ(kMcrRts, Get()) << "the stored byte keeps the change";
    EXPECT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_SET_BREAK_ON));
    EXPECT_EQ(Sent(kRts | kBreak), LastCommand());
    EXPECT_EQ(kRts | kBreak, AdapterLines());

    sim->InjectFault(pipesim::Pipe::Control, pipesim::Kind::ControlTransfer, once);
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, SetRegister(0)->Status());
    EXPECT_EQ(kRts | kBreak, AdapterLines());
    EXPECT_EQ(0u, Get());
    sim->InjectFault(pipesim::Pipe::Control, pipesim::Kind::ControlTransfer, once);
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, Line(IOCTL_SERIAL_SET_BREAK_OFF));
    EXPECT_EQ(kRts | kBreak, AdapterLines());
    EXPECT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_SET_DTR));
    EXPECT_EQ(Sent(kDtr), LastCommand());
    EXPECT_EQ(kDtr, AdapterLines());
}

TEST_F(ModemLines, ARemovedDeviceRefusesEveryRequestAndChangesNothing)
{
    Open(2);
    const ULONG lines[] = {IOCTL_SERIAL_SET_DTR,     IOCTL_SERIAL_CLR_DTR,     IOCTL_SERIAL_SET_RTS,
                           IOCTL_SERIAL_CLR_RTS,     IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF};
    size_t before = CommandCount();
    for (UCHAR* flag : {&Port()->SurpriseRemoved, &Port()->DeviceRemoved}) {
        *flag = 1;  // as the removal requests set them while a handle is still open
        for (ULONG code : lines) EXPECT_EQ(STATUS_DELETE_PENDING, Line(code)) << code;
        auto set = SetRegister(0);
        EXPECT_EQ(STATUS_DELETE_PENDING, set->Status());
        for (ULONG code : {IOCTL_SERIAL_GET_MODEM_CONTROL, IOCTL_SERIAL_GET_DTRRTS}) {
            auto r = file->StartIoctl(code, {}, sizeof(ULONG));
            EXPECT_EQ(STATUS_DELETE_PENDING, r->Status()) << code;
            EXPECT_EQ(0u, r->Information()) << code;
        }
        *flag = 0;
    }
    EXPECT_EQ(before, CommandCount());
    EXPECT_EQ(kMcrDtr | kMcrRts, Get());
    EXPECT_EQ(STATUS_SUCCESS, Line(IOCTL_SERIAL_SET_RTS));
    EXPECT_EQ(Sent(kDtr | kRts), LastCommand()) << "no break bit was stored while removed";
}

// ---- Real threads --------------------------------------------------------------------

class ModemLinesOnRealThreads : public ModemLines {
protected:
    hk::ClockMode Clock() const override { return hk::ClockMode::Real; }
};

// One thread per line changes it at random while another reads the register. Each
// change is made to the stored byte and sent before the next one starts, so each
// command the adapter gets differs from the one before in one bit at most, no line
// ends other than its thread last set it, and the adapter ends with the stored byte.
TEST_F(ModemLinesOnRealThreads, ChangesOfDifferentLinesNeverLoseOneAnother)
{
    Open(2);
    ASSERT_FALSE(HasFatalFailure());
    constexpr int kChanges = 1500;
    struct Changer {
        ULONG on, off;
        UCHAR bit;
        bool last = false;  // written by its thread only, read after the join
    };
    Changer changers[] = {{IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR, kDtr},
                          {IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS, kRts},
                          {IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF, kBreak}};
    size_t first = CommandCount();
    std::atomic<int> failures{0};
    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<hk::Thread>> threads;
    for (int t = 0; t < 3; ++t) {
        threads.push_back(std::make_unique<hk::Thread>([&, t] {
            std::mt19937 random(t + 1);
            Changer& c = changers[t];
            for (int i = 0; i < kChanges; ++i) {
                bool on = random() % 2;
                if (file->Ioctl(on ? c.on : c.off, nullptr, 0, nullptr, 0, nullptr) != STATUS_SUCCESS) failures++;
                c.last = on;
                if (random() % 4 == 0) std::this_thread::yield();
            }
        }));
    }
    hk::Thread reader([&] {
        while (!stop.load()) {
            ULONG value = 0, returned = 0;
            NTSTATUS status = file->Ioctl(IOCTL_SERIAL_GET_MODEM_CONTROL, nullptr, 0, &value, sizeof value, &returned);
            if (status != STATUS_SUCCESS || returned != sizeof value || (value & ~(kMcrDtr | kMcrRts))) failures++;
            std::this_thread::yield();
        }
    });
    for (auto& t : threads) t->Join();
    stop = true;
    reader.Join();
    EXPECT_EQ(0, failures.load());

    auto commands = sim->Commands();
    ASSERT_EQ(first + 3 * kChanges, commands.size()) << "one command for each change";
    UCHAR previous = kDtr | kRts;
    for (size_t i = first; i < commands.size(); ++i) {
        ASSERT_EQ(2u, commands[i].size());
        ASSERT_EQ(kModemControl, commands[i][0]);
        UCHAR diff = (UCHAR)(commands[i][1] ^ previous);
        ASSERT_EQ(0, diff & (diff - 1)) << "command " << i << " changed two lines at once: " << (int)previous << " then "
                                        << (int)commands[i][1];
        previous = commands[i][1];
    }
    UCHAR stored = 0;
    for (const Changer& c : changers) stored |= c.last ? c.bit : 0;
    EXPECT_EQ(Sent(stored), commands.back());
    EXPECT_EQ(stored, AdapterLines());
    EXPECT_EQ((changers[0].last ? kMcrDtr : 0) | (changers[1].last ? kMcrRts : 0), Get());
}
