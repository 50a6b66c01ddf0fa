// The same workloads through a Linux pseudo-terminal pair in raw mode: the number a
// Linux user's obvious alternative gives on the same machine. One thread writes the
// endless stream into the master; the application reads the slave in requests of
// the same size as the driver's reads, each request complete when it has all its
// bytes (as a read with no timeouts on the port).
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "bench.h"

namespace bench {

namespace {

struct Pair {
    int master = -1;
    int slave = -1;
    bool Open()
    {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return false;
        termios t;
        for (int fd : {master, slave}) {
            if (tcgetattr(fd, &t) != 0) return false;
            cfmakeraw(&t);
            t.c_cc[VMIN] = 1;
            t.c_cc[VTIME] = 0;
            if (tcsetattr(fd, TCSANOW, &t) != 0) return false;
        }
        return true;
    }
    ~Pair()
    {
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
};

// Reads exactly `n` bytes; false on an error or end of file.
bool ReadAll(int fd, unsigned char* p, size_t n)
{
    while (n) {
        ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= (size_t)r;
    }
    return true;
}

bool WriteAll(int fd, const unsigned char* p, size_t n)
{
    while (n) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

}  // namespace

Sample PtyReceive(unsigned size, const Budget& budget)
{
    Sample s;
    Pair pty;
    if (!pty.Open()) {
        s.skipped = true;
        s.problem = "no pseudo-terminal pair on this machine";
        return s;
    }
    std::atomic<bool> stop{false};
    // The writer never blocks for long, so that it sees the end of the run.
    fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    std::thread writer([&] {
        Stream data;
        std::vector<unsigned char> chunk(4096);
        size_t at = chunk.size();
        while (!stop.load(std::memory_order_relaxed)) {
            if (at == chunk.size()) {
                data.Fill(chunk.data(), chunk.size());
                at = 0;
            }
            ssize_t w = write(pty.master, chunk.data() + at, chunk.size() - at);
            if (w > 0) {
                at += (size_t)w;
            } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{pty.master, POLLOUT, 0};
                poll(&p, 1, 10);
            } else {
                break;
            }
        }
    });
    Stream expected;
    std::vector<unsigned char> buffer(size);
    double bytes = 0, reads = 0;
    double start = Seconds(), elapsed = 0;
    while (elapsed < budget.seconds) {
        if (!ReadAll(pty.slave, buffer.data(), size)) {
            s.Fail("a read of the slave failed");
            break;
        }
        if (!expected.Check(buffer.data(), size)) {
            s.Fail("the bytes read are not the bytes written");
            break;
        }
        bytes += size;
        reads += 1;
        if (((unsigned long long)reads & 63) == 0 || size >= 4096) elapsed = Seconds() - start;
    }
    elapsed = Seconds() - start;
    stop = true;
    writer.join();
    s.figures["MB/s"] = bytes / 1e6 / elapsed;
    s.figures["reads/s"] = reads / elapsed;
    return s;
}

Sample PtyRoundTrip(unsigned size, const Budget& budget)
{
    Sample s;
    Pair pty;
    if (!pty.Open()) {
        s.skipped = true;
        s.problem = "no pseudo-terminal pair on this machine";
        return s;
    }
    // The loopback plug's part: what the application writes to the slave comes out of
    // the master and goes straight back in.
    std::thread plug([&] {
        std::vector<unsigned char> chunk(65536);
        for (;;) {
            ssize_t r = read(pty.master, chunk.data(), chunk.size());
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            if (!WriteAll(pty.master, chunk.data(), (size_t)r)) break;
        }
    });
    Stream data;
    std::vector<unsigned char> out(size), in(size);
    double trips = 0;
    double start = Seconds(), elapsed = 0;
    while (elapsed < budget.seconds) {
        data.Fill(out.data(), size);
        if (!WriteAll(pty.slave, out.data(), size) || !ReadAll(pty.slave, in.data(), size) || in != out) {
            s.Fail("the bytes did not come back");
            break;
        }
        trips += 1;
        elapsed = Seconds() - start;
    }
    // Closing the slave ends the plug's read of the master (EIO).
    close(pty.slave);
    pty.slave = -1;
    plug.join();
    s.figures["trips/s"] = trips / elapsed;
    s.figures["us/trip"] = trips ? elapsed * 1e6 / trips : 0;
    return s;
}

}  // namespace bench
