// `vcomusb pty`: the simulated port as a Linux pseudo-terminal. One thread carries
// what programs write to the terminal into the port, and the terminal's settings
// changes (reported by packet mode with extended processing) into SetCommState; a
// second carries what the port receives to the terminal. The main thread waits for
// SIGINT or SIGTERM.
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "commands.h"
#include "port.h"
#include "pty_termios.h"
#include "session.h"

// Packet mode's status bits (linux/tty.h has them; the C library's headers do not
// all carry the extended-processing one).
#ifndef TIOCPKT_IOCTL
#define TIOCPKT_IOCTL 64
#endif

namespace vcomusb {
namespace {

constexpr uint32_t kPollMs = 100;

class Bridge {
public:
    Bridge(Port& port, Pty& pty, Session& session) : port_(port), pty_(pty), session_(session) {}
    ~Bridge() { Stop(); }

    bool Start(std::string* error);
    // Carries the terminal's current settings to the port (also at start).
    void ApplySettings();
    void Stop();
    bool Failed() const { return failed_; }
    std::string FailureText()
    {
        std::lock_guard<std::mutex> g(lock_);
        return failure_;
    }

private:
    void ToPort();
    void FromPort();
    void Fail(const std::string& what);
    // Waits until `fd` is ready for `events` or the bridge stops; false when stopping.
    bool WaitFor(int fd, short events);

    Port& port_;
    Pty& pty_;
    Session& session_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> failed_{false};
    std::mutex lock_;
    std::string failure_;
    int wake_[2] = {-1, -1};
    std::thread toPort_, fromPort_;
    TermiosRequest applied_;
    bool anyApplied_ = false;
};

void Bridge::Fail(const std::string& what)
{
    {
        std::lock_guard<std::mutex> g(lock_);
        if (failure_.empty()) failure_ = what;
    }
    failed_ = true;
}

bool Bridge::Start(std::string* error)
{
    if (pipe(wake_) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    toPort_ = std::thread([this] { ToPort(); });
    fromPort_ = std::thread([this] { FromPort(); });
    return true;
}

void Bridge::Stop()
{
    if (!toPort_.joinable() && !fromPort_.joinable()) return;
    stop_ = true;
    char b = 0;
    ssize_t n = write(wake_[1], &b, 1);
    (void)n;
    // A paced write may take seconds; the purge ends it, and any read.
    port_.PurgeOutput(true);
    port_.PurgeInput(true);
    if (toPort_.joinable()) toPort_.join();
    if (fromPort_.joinable()) fromPort_.join();
    close(wake_[0]);
    close(wake_[1]);
}

bool Bridge::WaitFor(int fd, short events)
{
    while (!stop_) {
        pollfd fds[2] = {{fd, events, 0}, {wake_[0], POLLIN, 0}};
        int n = poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            Fail(std::string("poll: ") + std::strerror(errno));
            return false;
        }
        if (fds[1].revents) return false;
        if (fds[0].revents & (events | POLLERR | POLLHUP)) return true;
    }
    return false;
}

void Bridge::ApplySettings()
{
    struct termios t;
    if (!pty_.Settings(&t)) {
        Fail(std::string("tcgetattr on the terminal: ") + std::strerror(errno));
        return;
    }
    // A program that cleared EXTPROC would stop the reports of its later changes.
    if (!(t.c_lflag & EXTPROC)) pty_.KeepExtproc();
    TermiosRequest request = FromTermios(t);
    if (anyApplied_ && request == applied_) return;  // nothing a port carries has changed
    std::string error;
    if (port_.Apply(request, &error)) {
        applied_ = request;
        anyApplied_ = true;
        LineSettings now;
        std::string port = port_.Current(&now) ? Describe(now) : std::string("unknown");
        std::printf("settings: %s -> port %s, adapter %s%s\n", Describe(request).c_str(), port.c_str(),
                    session_.AdapterLine().c_str(), request.hangup ? ", DTR off" : "");
        return;
    }
    // A rate the driver refuses: the terminal goes back to the port's, as a serial
    // driver's termios shows what the hardware took.
    LineSettings now;
    std::string back;
    if (port_.Current(&now) && request.line.baud != now.baud && pty_.SetBaud(now.baud))
        back = "; the terminal goes back to " + std::to_string(now.baud) + " baud";
    std::printf("settings: %s refused (%s)%s\n", Describe(request).c_str(), error.c_str(), back.c_str());
}

void Bridge::ToPort()
{
    unsigned char buffer[1 + 512];
    while (WaitFor(pty_.Master(), POLLIN)) {
        ssize_t n = read(pty_.Master(), buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) {
            Fail(std::string("reading the terminal: ") + (n ? std::strerror(errno) : "end of file"));
            return;
        }
        if (buffer[0] == TIOCPKT_DATA) {
            uint32_t done = 0;
            std::string error;
            if (n > 1 && !port_.Write(buffer + 1, (uint32_t)(n - 1), &done, &error) && !stop_) {
                Fail(error);
                return;
            }
            continue;
        }
        // A status report: the slave changed its settings or flushed a queue.
        if (buffer[0] & TIOCPKT_FLUSHREAD) port_.PurgeInput();
        if (buffer[0] & TIOCPKT_FLUSHWRITE) port_.PurgeOutput();
        if (buffer[0] & TIOCPKT_IOCTL) ApplySettings();
    }
}

void Bridge::FromPort()
{
    unsigned char buffer[4096];
    while (!stop_) {
        uint32_t got = 0;
        std::string error;
        if (!port_.Read(buffer, sizeof buffer, &got, &error)) {
            if (!stop_) Fail(error);
            return;
        }
        size_t done = 0;
        while (done < got) {
            ssize_t n = write(pty_.Master(), buffer + done, got - done);
            if (n > 0) {
                done += (size_t)n;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) {
                Fail(std::string("writing the terminal: ") + std::strerror(errno));
                return;
            }
            // The terminal's input queue is full: nothing more is read from the port
            // until a program reads, so the port's own flow control takes over.
            if (!WaitFor(pty_.Master(), POLLOUT)) return;
        }
    }
}

}  // namespace

int RunPty(const Options& options)
{
    // The signals are taken by sigtimedwait below; every thread (the emulation's too)
    // is started after they are blocked, and inherits that.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string error;
    Session session;
    Port port;
    Pty pty;
    LineSettings line;
    if (!session.Start(options, &error) || !port.Open(session.PortName(), kPollMs, &error) ||
        !port.Current(&line, &error) || !pty.Open(line.baud, &error)) {
        // The error is the one line to read, unless something leaked.
        std::fprintf(stderr, "vcomusb pty: %s\n", error.c_str());
        port.Close();
        bool clean;
        std::string report = session.Shutdown(&clean);
        if (!clean) std::fputs(report.c_str(), stderr);
        return 1;
    }
    std::printf("%s\n", pty.SlavePath().c_str());
    std::printf("vcomusb pty: %s is %s; Ctrl-C ends\n", pty.SlavePath().c_str(), session.Describe().c_str());

    int status = 0;
    {
        Bridge bridge(port, pty, session);
        bridge.ApplySettings();
        if (!bridge.Start(&error)) {
            std::fprintf(stderr, "vcomusb pty: %s\n", error.c_str());
            status = 1;
        } else {
            int sig = 0;
            while (!bridge.Failed()) {
                timespec wait = {0, 250 * 1000 * 1000};
                sig = sigtimedwait(&signals, nullptr, &wait);
                if (sig > 0) break;
            }
            if (bridge.Failed()) {
                std::fprintf(stderr, "vcomusb pty: %s\n", bridge.FailureText().c_str());
                status = 1;
            } else {
                const char* name = sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "SIGHUP";
                std::fprintf(stderr, "vcomusb pty: %s, closing %s\n", name, session.PortName().c_str());
            }
        }
        bridge.Stop();
    }
    port.Close();
    size_t lost = session.LostBytes();
    bool clean = false;
    std::string report = session.Shutdown(&clean);
    std::fputs(report.c_str(), stderr);
    if (!report.empty() && report.back() != '\n') std::fputc('\n', stderr);
    if (lost) std::fprintf(stderr, "vcomusb pty: the adapter lost %zu bytes that no program read\n", lost);
    return clean ? status : 1;
}

}  // namespace vcomusb
