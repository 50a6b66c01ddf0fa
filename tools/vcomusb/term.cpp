// `vcomusb term`: an interactive terminal on a simulated port. The main thread reads
// the keyboard and writes to the port; a receiver thread shows what the port reads
// and keeps the status line current; with a null-modem cable a third thread holds the
// far port open and echoes what arrives there.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "commands.h"
#include "port.h"
#include "screen.h"
#include "session.h"

namespace vcomusb {
namespace {

constexpr uint32_t kPollMs = 100;
constexpr unsigned char kQuitKey = 0x1D;    // Ctrl-]
constexpr unsigned char kPrefixKey = 0x14;  // Ctrl-T

using Clock = std::chrono::steady_clock;

class Terminal {
public:
    Terminal(Session& session, Port& port, Port* peer, Screen& screen)
        : session_(session), port_(port), peer_(peer), screen_(screen)
    {
    }
    int Run();

private:
    void Receive();
    void Echo();
    void UpdateStatus();
    // One key (or, from a pipe, one byte) typed; false to quit.
    bool Key(unsigned char c);
    bool Send(const unsigned char* data, size_t length);
    // After the input ended (not a terminal): the writes leave, then what comes back
    // is shown until the port has been quiet for a while.
    void Drain();

    Session& session_;
    Port& port_;
    Port* peer_;
    Screen& screen_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> failed_{false};
    std::atomic<Clock::rep> lastReceived_{0};
    std::string line_;
    bool prefix_ = false;
    // The lines as the status last showed them (the open raises both); the receiver
    // redraws the status line soon after `refresh_` is set.
    std::atomic<bool> dtr_{true}, rts_{true};
    std::atomic<bool> refresh_{false};
};

void Terminal::UpdateStatus()
{
    PortStatus st;
    if (!port_.Status(&st)) return;
    auto mark = [](bool on) { return on ? "+" : "-"; };
    char errors[32] = "";
    if (st.errors) std::snprintf(errors, sizeof errors, " | errors 0x%x", (unsigned)st.errors);
    char text[256];
    std::snprintf(text, sizeof text, " %s %s | DTR%s RTS%s | CTS%s DSR%s DCD%s RI%s | rx %u tx %u%s ",
                  port_.Name().c_str(), line_.c_str(), mark(st.dtr), mark(st.rts), mark(st.cts), mark(st.dsr),
                  mark(st.dcd), mark(st.ring), (unsigned)st.received, (unsigned)st.transmitted, errors);
    dtr_ = st.dtr;
    rts_ = st.rts;
    screen_.SetStatus(text);
}

void Terminal::Receive()
{
    unsigned char buffer[4096];
    auto lastStatus = Clock::now() - std::chrono::seconds(1);
    while (!stop_) {
        uint32_t got = 0;
        std::string error;
        if (!port_.Read(buffer, sizeof buffer, &got, &error)) {
            if (stop_) return;
            screen_.Note(error);
            failed_ = true;
            return;
        }
        if (got) {
            screen_.ShowReceived(buffer, got);
            lastReceived_ = Clock::now().time_since_epoch().count();
        }
        if (refresh_.exchange(false) || Clock::now() - lastStatus >= std::chrono::milliseconds(200)) {
            UpdateStatus();
            lastStatus = Clock::now();
        }
    }
}

void Terminal::Echo()
{
    unsigned char buffer[4096];
    while (!stop_) {
        uint32_t got = 0, done = 0;
        std::string error;
        if (!peer_->Read(buffer, sizeof buffer, &got, &error) || (got && !peer_->Write(buffer, got, &done, &error))) {
            if (stop_) return;
            screen_.Note(peer_->Name() + ": " + error);
            failed_ = true;
            return;
        }
    }
}

bool Terminal::Send(const unsigned char* data, size_t length)
{
    uint32_t done = 0;
    std::string error;
    if (port_.Write(data, (uint32_t)length, &done, &error)) return true;
    screen_.Note(error);
    return false;
}

bool Terminal::Key(unsigned char c)
{
    if (!screen_.InteractiveInput()) return Send(&c, 1);
    if (prefix_) {
        prefix_ = false;
        switch (c) {
        case 'd':
        case 'D':
            if (!port_.SetDtr(!dtr_)) screen_.Note("EscapeCommFunction: " + LastError());
            refresh_ = true;
            return true;
        case 'r':
        case 'R':
            if (!port_.SetRts(!rts_)) screen_.Note("EscapeCommFunction: " + LastError() + " (the handshake may own RTS)");
            refresh_ = true;
            return true;
        case 'b':
        case 'B':
            if (port_.SendBreak(250))
                screen_.Note("break sent");
            else
                screen_.Note("SetCommBreak: " + LastError());
            return true;
        case kPrefixKey: return Send(&c, 1);
        default: return true;
        }
    }
    if (c == kQuitKey) return false;
    if (c == kPrefixKey) {
        prefix_ = true;
        return true;
    }
    Send(&c, 1);
    return true;
}

void Terminal::Drain()
{
    auto deadline = Clock::now() + std::chrono::seconds(30);
    PortStatus st;
    while (Clock::now() < deadline && port_.Status(&st) && st.outQueue) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // Quiet: nothing received for half a second (bytes on a paced wire arrive
    // piece by piece, far more often than that).
    auto quiet = std::chrono::milliseconds(500);
    auto since = Clock::now();
    while (Clock::now() < deadline) {
        auto last = Clock::time_point(Clock::duration(lastReceived_.load()));
        if (last > since) since = last;
        if (Clock::now() - since >= quiet) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int Terminal::Run()
{
    LineSettings line;
    if (port_.Current(&line)) line_ = Describe(line);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGWINCH);
    int sigfd = signalfd(-1, &signals, SFD_CLOEXEC);

    screen_.Note("vcomusb term: " + session_.Describe() + ". Ctrl-] quits; Ctrl-T then d, r or b: DTR, RTS, break");
    std::thread receiver([this] { Receive(); });
    std::thread echo;
    if (peer_) echo = std::thread([this] { Echo(); });

    bool inputEnded = false;
    while (!failed_) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {sigfd, POLLIN, 0}};
        int n = poll(fds, sigfd >= 0 ? 2 : 1, (int)kPollMs);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        if (sigfd >= 0 && (fds[1].revents & POLLIN)) {
            signalfd_siginfo info;
            if (read(sigfd, &info, sizeof info) == (ssize_t)sizeof info) {
                if (info.ssi_signo == SIGWINCH) {
                    screen_.Resize();
                    continue;
                }
                break;
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            unsigned char buffer[512];
            ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
            if (got <= 0) {
                inputEnded = true;
                break;
            }
            bool quit = false;
            if (screen_.InteractiveInput()) {
                for (ssize_t i = 0; i < got && !quit; ++i) quit = !Key(buffer[i]);
            } else {
                Send(buffer, (size_t)got);
            }
            if (quit) break;
        }
    }
    if (inputEnded && !failed_) Drain();
    stop_ = true;
    port_.PurgeInput(true);
    if (peer_) peer_->PurgeInput(true);
    receiver.join();
    if (echo.joinable()) echo.join();
    if (sigfd >= 0) close(sigfd);
    return failed_ ? 1 : 0;
}

}  // namespace

int RunTerm(const Options& options)
{
    // Signals arrive through a signalfd in the input loop; every thread (the
    // emulation's too) is started after they are blocked.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGWINCH}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string error;
    Session session;
    Port port, peer;
    bool ok = session.Start(options, &error) && port.Open(session.PortName(), kPollMs, &error);
    if (ok && options.wiring == Wiring::NullModem) ok = peer.Open(session.PeerName(), kPollMs, &error);
    if (ok) {
        // What the command line gives, the rest as the port has it; both ends of a
        // cable alike, so that each paces the wire as the other expects.
        LineSettings line;
        ok = port.Current(&line, &error);
        if (options.baud) line.baud = *options.baud;
        if (options.dataBits) line.dataBits = *options.dataBits;
        if (options.parity) line.parity = *options.parity;
        if (options.stopTenths) line.stopTenths = *options.stopTenths;
        if (options.flow) line.flow = *options.flow;
        for (Port* p : {&port, &peer})
            if (ok && p->IsOpen() && !p->Apply(line, &error)) {
                error = p->Name() + " refused " + Describe(line) + ": " + error;
                ok = false;
            }
    }
    int status = 1;
    if (ok) {
        Screen screen;
        if (screen.Begin(&error)) {
            Terminal terminal(session, port, peer.IsOpen() ? &peer : nullptr, screen);
            status = terminal.Run();
            screen.Restore();
        } else {
            ok = false;
        }
    }
    if (!ok) std::fprintf(stderr, "vcomusb term: %s\n", error.c_str());
    PortStatus st;
    if (ok && port.Status(&st))
        std::fprintf(stderr, "vcomusb term: %s received %u and transmitted %u bytes\n", port.Name().c_str(),
                     (unsigned)st.received, (unsigned)st.transmitted);
    port.Close();
    peer.Close();
    bool clean = false;
    std::string report = session.Shutdown(&clean);
    // After a failed start the error is the one line to read, unless something leaked.
    if (ok || !clean) {
        std::fputs(report.c_str(), stderr);
        if (!report.empty() && report.back() != '\n') std::fputc('\n', stderr);
    }
    return ok && clean ? status : 1;
}

}  // namespace vcomusb
