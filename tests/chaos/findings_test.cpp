// Driver faults the randomized runs found, each kept by a deterministic test on the
// virtual clock: the interleaving the runs hit by chance, forced.
#include <atomic>
#include <cstring>

#include "driver/sim_fixture.h"

using pipesim::Pipe;

namespace {

Bytes Ulong(ULONG v) { return Bytes((const UCHAR*)&v, (const UCHAR*)&v + sizeof v); }

}  // namespace

class TransmitterStopRace : public SimPortTest {
protected:
    void SetUp() override
    {
        SimPortTest::SetUp();
        pipesim::Options o;
        o.registry = {Dword(u"TxAsync", 1)};
        ASSERT_EQ(STATUS_SUCCESS, AddAdapter(o));
        ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
        ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
    }
    void TearDown() override
    {
        if (file) file->Close();
        file.reset();
        SimPortTest::TearDown();
    }
    std::shared_ptr<hk::Request> Purge(ULONG flags) { return file->StartIoctl(IOCTL_SERIAL_PURGE, Ulong(flags), 0); }

    std::unique_ptr<hk::File> file;
};

// Two applications threads purge the transmitter at once. The first one's stop had
// set the stop flag and was waiting for its abort of the pipe; the second ran its whole
// stop and restart meanwhile. The first then kicked the engine to learn that it was
// idle, but the engine, running again, let go without a word, and the first waited for
// an idle signal that never came: its PurgeComm never returned, and neither could the
// close or the removal behind it.
TEST_F(TransmitterStopRace, ATransmitAbortThatRunsWhileAnotherIsStoppingLeavesBothToEnd)
{
    sim->HoldNext(pipesim::Kind::Abort);
    std::shared_ptr<hk::Request> first, second;
    hk::Thread a([&] { first = Purge(SERIAL_PURGE_TXABORT); }, "first purge");
    hk::YieldToOthers();
    ASSERT_EQ(1u, sim->Outstanding(Pipe::DataOut)) << "the first purge's abort is with the pipe driver";
    hk::Thread b([&] { second = Purge(SERIAL_PURGE_TXABORT); }, "second purge");
    hk::YieldToOthers();
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS));

    bool ended = hk::RunUntil([&] { return a.Finished() && b.Finished(); }, 10LL * 10000000);
    EXPECT_TRUE(ended) << "a purge never returned";
    // A stop that finds the engine idle signals it, which lets a stuck first purge go,
    // so that the test ends either way.
    if (!ended) Purge(SERIAL_PURGE_TXABORT);
    a.Join();
    b.Join();
    EXPECT_EQ(STATUS_SUCCESS, first->Status());
    EXPECT_EQ(STATUS_SUCCESS, second->Status());

    auto write = file->StartWrite({1, 2, 3});
    ASSERT_TRUE(hk::RunUntil([&] { return write->Done() && !sim->OutBytes().empty(); }, 10LL * 10000000));
    EXPECT_EQ(3u, write->Information());
    EXPECT_EQ(Bytes({1, 2, 3}), sim->OutBytes()) << "the transmitter runs again";
}

// Timeouts set on one thread while another thread's writes and reads start: the write
// timeouts were read, as a write became current, under the write queue's lock while
// the set stored them under the cancel spin lock, and a read's dispatch looked at the
// read mode after letting the cancel spin lock go. Torn settings on a processor,
// data races to ThreadSanitizer, which this test is for (host-tsan): without it, it
// checks only that every write and read ends as the settings say.
class TimeoutsOnRealThreads : public OpenPortTest {
protected:
    hk::ClockMode Clock() const override { return hk::ClockMode::Real; }
};

TEST_F(TimeoutsOnRealThreads, SettingThemWhileWritesAndReadsStartIsNoRace)
{
    std::atomic<bool> stop{false};
    hk::Thread setter([&] {
        for (ULONG i = 0; !stop; ++i) {
            SERIAL_TIMEOUTS t{MAXULONG, 0, 0, i % 2 ? 60000u : 0u, i % 3 ? 60000u : 0u};
            EXPECT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes((UCHAR*)&t, (UCHAR*)(&t + 1)), 0)->Wait());
            EXPECT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_GET_TIMEOUTS, {}, sizeof t)->Wait());
        }
    });
    for (int i = 0; i < 400; ++i) {
        auto write = file->StartWrite({(UCHAR)i});
        auto read = file->StartRead(1);
        EXPECT_EQ(STATUS_SUCCESS, write->Wait());
        EXPECT_EQ(1u, write->Information()) << "the adapter takes every write at once, long before any timeout";
        EXPECT_EQ(STATUS_SUCCESS, read->Wait()) << "every mode set returns at once with nothing";
        EXPECT_EQ(0u, read->Information());
    }
    stop = true;
    setter.Join();
    EXPECT_EQ(400u, sim->OutBytes().size());
}

// The statistics read and cleared on one thread while bytes flow both ways: the pump
// added to the received count with plain additions, and GET_STATS, CLEAR_STATS and the
// WMI block copied and zeroed the counters that the pump and the transmit path change
// on other processors. A count may be seen or lost, as before; the accesses are whole
// now, which ThreadSanitizer checks (host-tsan).
class StatisticsOnRealThreads : public TransmitterStopRace {
protected:
    hk::ClockMode Clock() const override { return hk::ClockMode::Real; }
};

TEST_F(StatisticsOnRealThreads, ReadingAndClearingThemWhileBytesFlowIsNoRace)
{
    std::atomic<bool> stop{false};
    hk::Thread reader([&] {
        for (int i = 0; !stop; ++i) {
            auto stats = file->StartIoctl(IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS));
            EXPECT_EQ(STATUS_SUCCESS, stats->Wait());
            SERIALPERF_STATS s{};
            ASSERT_EQ(sizeof s, stats->Output().size());
            std::memcpy(&s, stats->Output().data(), sizeof s);
            EXPECT_LE(s.ReceivedCount, 100u * 300) << "never more than was fed";
            EXPECT_LE(s.TransmittedCount, 100u * 300) << "never more than was written";
            if (i % 4 == 0) {
                EXPECT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_CLEAR_STATS, {}, 0)->Wait());
            }
        }
    });
    SERIAL_TIMEOUTS t{MAXULONG, MAXULONG, 1000, 0, 0};
    ASSERT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes((UCHAR*)&t, (UCHAR*)(&t + 1)), 0)->Wait());
    for (int i = 0; i < 300; ++i) {
        sim->Feed(Sequence(100, 100 * i));
        EXPECT_EQ(STATUS_SUCCESS, file->StartWrite(Sequence(100, 100 * i))->Wait());
        for (ULONG got = 0; got < 100;) {
            auto read = file->StartRead(100 - got);
            ASSERT_EQ(STATUS_SUCCESS, read->Wait());
            ASSERT_NE(0u, read->Information()) << "fed bytes arrive well within a second";
            got += (ULONG)read->Information();
        }
    }
    stop = true;
    reader.Join();
    ASSERT_TRUE(hk::RunUntil([&] { return sim->OutBytes().size() == 100u * 300; }, 10LL * 10000000));
    EXPECT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_CLEAR_STATS, {}, 0)->Wait());
    auto stats = file->StartIoctl(IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS));
    ASSERT_EQ(STATUS_SUCCESS, stats->Wait());
    EXPECT_EQ(Bytes(sizeof(SERIALPERF_STATS), 0), stats->Output()) << "nothing flows any more: the clear stands";
}

// The receive flow-control limits set and read back on one thread while bytes arrive
// and are read on another: the set stored each limit whole, but the pump and the read
// path read them plainly, and GET_HANDFLOW copied them. Each is read whole now, which
// ThreadSanitizer checks (host-tsan); every byte still arrives, in order.
class FlowControlOnRealThreads : public OpenPortTest {
protected:
    hk::ClockMode Clock() const override { return hk::ClockMode::Real; }
};

TEST_F(FlowControlOnRealThreads, SettingAndReadingTheLimitsWhileBytesArriveIsNoRace)
{
    std::atomic<bool> stop{false};
    hk::Thread setter([&] {
        for (ULONG i = 0; !stop; ++i) {
            SERIAL_HANDFLOW hf{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, (LONG)(i * 97 % 4096), (LONG)(i * 31 % 2048)};
            EXPECT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_HANDFLOW, Bytes((UCHAR*)&hf, (UCHAR*)(&hf + 1)), 0)->Wait());
            EXPECT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_GET_HANDFLOW, {}, sizeof hf)->Wait());
        }
    });
    SERIAL_TIMEOUTS t{MAXULONG, MAXULONG, 1000, 0, 0};
    ASSERT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes((UCHAR*)&t, (UCHAR*)(&t + 1)), 0)->Wait());
    Bytes got;
    for (int i = 0; i < 400; ++i) {
        sim->Feed(Sequence(300, 300 * i));
        while (got.size() < 300u * (i + 1)) {
            auto read = file->StartRead(300);
            ASSERT_EQ(STATUS_SUCCESS, read->Wait());
            ASSERT_NE(0u, read->Information()) << "fed bytes arrive well within a second";
            got.insert(got.end(), read->Output().begin(), read->Output().end());
        }
    }
    stop = true;
    setter.Join();
    EXPECT_EQ(Sequence(300 * 400), got);
}

// GET_COMMSTATUS on one thread while another writes: the output queue count moves by
// interlocked additions without CommStatusLock, and the request copied it under that
// lock as plain memory. It is read whole now (ThreadSanitizer checks it, host-tsan);
// the answer, built field by field, still has zero padding.
class CommStatusOnRealThreads : public OpenPortTest {
protected:
    hk::ClockMode Clock() const override { return hk::ClockMode::Real; }
};

TEST_F(CommStatusOnRealThreads, AskingForItWhileWritesComeAndGoIsNoRace)
{
    std::atomic<bool> stop{false};
    hk::Thread asker([&] {
        while (!stop) {
            auto status = file->StartIoctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
            ASSERT_EQ(STATUS_SUCCESS, status->Wait());
            SERIAL_STATUS s;
            ASSERT_EQ(sizeof s, status->Output().size());
            std::memcpy(&s, status->Output().data(), sizeof s);
            EXPECT_LE(s.AmountInOutQueue, 100u) << "one write of 100 bytes at a time";
            EXPECT_EQ(0, status->Output()[18] | status->Output()[19]) << "padding";
        }
    });
    for (int i = 0; i < 400; ++i) EXPECT_EQ(STATUS_SUCCESS, file->StartWrite(Sequence(100, 100 * i))->Wait());
    stop = true;
    asker.Join();
    auto status = file->StartIoctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
    ASSERT_EQ(STATUS_SUCCESS, status->Wait());
    SERIAL_STATUS s;
    ASSERT_EQ(sizeof s, status->Output().size());
    std::memcpy(&s, status->Output().data(), sizeof s);
    EXPECT_EQ(0u, s.AmountInOutQueue);
}

// Power cycles on one thread while reads start and writes end on another: the power
// dispatcher set RunState with plain stores while the read's dispatch (starting the
// pump) and the write's completion (deciding on a zero-length packet) read it. Each
// access is whole now, which ThreadSanitizer checks (host-tsan); after the last
// power-up the port carries bytes both ways.
class PowerOnRealThreads : public OpenPortTest {
protected:
    hk::ClockMode Clock() const override { return hk::ClockMode::Real; }
};

TEST_F(PowerOnRealThreads, CyclingWhileReadsStartAndWritesEndIsNoRace)
{
    SERIAL_TIMEOUTS t{MAXULONG, 0, 0, 0, 0};
    ASSERT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes((UCHAR*)&t, (UCHAR*)(&t + 1)), 0)->Wait());
    std::atomic<bool> stop{false};
    hk::Thread power([&] {
        while (!stop) {
            EXPECT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD3).status);
            EXPECT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD0).status);
        }
    });
    for (int i = 0; i < 300; ++i) {
        auto read = file->StartRead(16);
        auto write = file->StartWrite(Sequence(64, 64 * i));  // a whole packet: a zero-length one may follow
        read->Wait();
        write->Wait();
    }
    stop = true;
    power.Join();
    sim->Feed({7});
    auto write = file->StartWrite({1, 2, 3});
    ASSERT_EQ(STATUS_SUCCESS, write->Wait());
    EXPECT_EQ(3u, write->Information());
    Bytes got;
    ASSERT_TRUE(hk::RunUntil([&] {
        auto read = file->StartRead(1);
        read->Wait();
        got.insert(got.end(), read->Output().begin(), read->Output().end());
        return !got.empty();
    }, 10LL * 10000000));
    EXPECT_EQ(Bytes{7}, got);
}

// The special characters set on one thread while bytes arrive: the pump looked for the
// event character, which SET_CHARS copied in with the others, without a lock. It is
// stored and read whole now (ThreadSanitizer checks it, host-tsan); an event character
// set before its byte arrives still raises SERIAL_EV_RXFLAG.
class EventCharOnRealThreads : public OpenPortTest {
protected:
    hk::ClockMode Clock() const override { return hk::ClockMode::Real; }
};

TEST_F(EventCharOnRealThreads, SettingTheCharactersWhileBytesArriveIsNoRace)
{
    std::atomic<bool> stop{false};
    hk::Thread setter([&] {
        for (ULONG i = 0; !stop; ++i) {
            SERIAL_CHARS c{0, 0, 0, (UCHAR)(i % 200), 0x11, 0x13};
            EXPECT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_CHARS, Bytes((UCHAR*)&c, (UCHAR*)(&c + 1)), 0)->Wait());
        }
    });
    SERIAL_TIMEOUTS t{MAXULONG, MAXULONG, 1000, 0, 0};
    ASSERT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes((UCHAR*)&t, (UCHAR*)(&t + 1)), 0)->Wait());
    for (int i = 0; i < 400; ++i) {
        sim->Feed(Sequence(100, 100 * i));
        for (ULONG got = 0; got < 100;) {
            auto read = file->StartRead(100 - got);
            ASSERT_EQ(STATUS_SUCCESS, read->Wait());
            ASSERT_NE(0u, read->Information()) << "fed bytes arrive well within a second";
            got += (ULONG)read->Information();
        }
    }
    stop = true;
    setter.Join();
    SERIAL_CHARS c{0, 0, 0, 0xEE, 0x11, 0x13};
    ASSERT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_CHARS, Bytes((UCHAR*)&c, (UCHAR*)(&c + 1)), 0)->Wait());
    ASSERT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_WAIT_MASK, Ulong(SERIAL_EV_RXFLAG), 0)->Wait());
    auto wait = file->StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    sim->Feed({1, 0xEE, 2});
    ASSERT_EQ(STATUS_SUCCESS, wait->Wait());
    EXPECT_EQ(Ulong(SERIAL_EV_RXFLAG), wait->Output());
}
