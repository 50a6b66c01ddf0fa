// The vcomusb program run as a user runs it: the demo, the pty bridge with a plain
// termios client, and the command line's refusals. Real time throughout; every wait
// has a deadline far beyond what a loaded machine needs, and none is a sleep.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(60);

// The program with its standard output and error on pipes.
class Tool {
public:
    // `input`, when given, is the program's standard input (from a file); else /dev/null.
    explicit Tool(std::vector<std::string> args, const std::string& input = {})
    {
        std::string inputPath = "/dev/null";
        if (!input.empty()) {
            char name[] = "/tmp/vcomusb_input_XXXXXX";
            int fd = mkstemp(name);
            if (fd < 0 || write(fd, input.data(), input.size()) != (ssize_t)input.size()) return;
            close(fd);
            inputPath = temp_ = name;
        }
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, inputPath.c_str(), O_RDONLY, 0);
        args.insert(args.begin(), VCOMUSB_PATH);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, VCOMUSB_PATH, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Tool()
    {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        if (err_ >= 0) close(err_);
        if (!temp_.empty()) unlink(temp_.c_str());
    }
    bool Started() const { return pid_ > 0; }

    // The next line of standard output that `want` accepts (earlier ones are kept in
    // Output()); empty when none came in time.
    std::string NextLine(const std::function<bool(const std::string&)>& want)
    {
        auto deadline = Clock::now() + kPatience;
        for (;;) {
            size_t end;
            while ((end = pending_.find('\n')) != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                output_ += line + "\n";
                if (want(line)) return line;
            }
            if (!ReadSome(out_, &pending_, deadline)) return {};
        }
    }
    // Waits for the exit (reading both pipes meanwhile); -1 when it does not come.
    int Finish()
    {
        auto deadline = Clock::now() + kPatience;
        while (ReadSome(out_, &pending_, deadline)) {
        }
        while (ReadSome(err_, &errors_, deadline)) {
        }
        output_ += pending_;
        pending_.clear();
        for (;;) {
            int status = 0;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (Clock::now() > deadline) return -1;
            pollfd none{};
            poll(&none, 0, 20);  // the pipes have closed; only the exit is awaited
        }
    }
    void Signal(int sig) { kill(pid_, sig); }
    const std::string& Output() const { return output_; }
    const std::string& Errors() const { return errors_; }

private:
    // Appends what `fd` has; false at end of file or after the deadline.
    static bool ReadSome(int fd, std::string* to, Clock::time_point deadline)
    {
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            pollfd p{fd, POLLIN, 0};
            int n = poll(&p, 1, (int)left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            char buffer[4096];
            ssize_t got = read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            to->append(buffer, (size_t)got);
            return true;
        }
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    bool exited_ = false;
    std::string pending_, output_, errors_;
    std::string temp_;
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(VcomusbTool, DemoRunsEveryStepAndEndsClean)
{
    Tool tool({"demo"});
    ASSERT_TRUE(tool.Started());
    int status = tool.Finish();
    EXPECT_EQ(0, status) << tool.Output() << tool.Errors();
    const std::string& out = tool.Output();
    EXPECT_TRUE(Contains(out, "leak report: clean")) << out;
    EXPECT_TRUE(Contains(out, "demo: every step did what it should")) << out;
    // What the adapter received, decoded: the three-byte configuration with the
    // handshake, the open's lines, the CLRRTS of the line step, and the loopback data.
    EXPECT_TRUE(Contains(out, "adapter    line configuration 9600 8N1 RTS/CTS {0, 4, 17}")) << out;
    EXPECT_TRUE(Contains(out, "adapter    line configuration 9600 8N1 XON/XOFF {0, 4, 33}")) << out;
    EXPECT_TRUE(Contains(out, "adapter    modem control: DTR on, RTS off {1, 2}")) << out;
    EXPECT_TRUE(Contains(out, "adapter    modem control: DTR off, RTS on {1, 1}")) << out;
    EXPECT_TRUE(Contains(out, "adapter    port disabled {3, 0}")) << out;
    EXPECT_TRUE(Contains(out, "sent on TX: 31 bytes \"Hello from COM5 at 9600 baud!\\r\\n\"")) << out;
}

// Reads exactly `n` bytes from the terminal, or what came before the deadline.
std::vector<unsigned char> ReadBytes(int fd, size_t n)
{
    std::vector<unsigned char> got;
    auto deadline = Clock::now() + kPatience;
    while (got.size() < n && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (poll(&p, 1, (int)std::max<long long>(left, 1)) <= 0) continue;
        unsigned char buffer[512];
        ssize_t r = read(fd, buffer, std::min(sizeof buffer, n - got.size()));
        if (r > 0) got.insert(got.end(), buffer, buffer + r);
    }
    return got;
}

bool SetTerminal(int fd, speed_t speed, tcflag_t setFlags, tcflag_t clearFlags)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return false;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    t.c_cflag = (t.c_cflag | setFlags) & ~clearFlags;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

TEST(VcomusbTool, PtyCarriesDataBothWaysAndTheTerminalsSettings)
{
    Tool tool({"pty", "--loopback"});
    ASSERT_TRUE(tool.Started());
    std::string path = tool.NextLine([](const std::string&) { return true; });
    ASSERT_EQ(0u, path.rfind("/dev/pts/", 0)) << "first line: " << path << "\n" << tool.Errors();
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    struct termios raw;
    ASSERT_EQ(0, tcgetattr(fd, &raw));
    cfmakeraw(&raw);
    ASSERT_EQ(0, tcsetattr(fd, TCSANOW, &raw));

    // Every byte value, out through the port and back through the loopback plug.
    std::vector<unsigned char> all(256);
    for (size_t i = 0; i < all.size(); ++i) all[i] = (unsigned char)i;
    ASSERT_EQ((ssize_t)all.size(), write(fd, all.data(), all.size()));
    EXPECT_EQ(all, ReadBytes(fd, all.size()));

    // Each change of the terminal's settings reaches the port and the adapter.
    auto settings = [&](const char* start) {
        return tool.NextLine([&](const std::string& l) { return l.rfind(start, 0) == 0; });
    };
    ASSERT_TRUE(SetTerminal(fd, B9600, 0, 0));
    std::string line = settings("settings: 9600");
    EXPECT_TRUE(Contains(line, "-> port 9600 8N1, adapter 9600 8N1")) << line << "\n" << tool.Output();
    ASSERT_TRUE(SetTerminal(fd, B19200, CRTSCTS | CSTOPB, 0));
    line = settings("settings: 19200");
    EXPECT_TRUE(Contains(line, "-> port 19200 8N2 RTS/CTS, adapter 19200 8N2 RTS/CTS")) << line << "\n" << tool.Output();

    // A rate the driver refuses puts the terminal back at the port's rate.
    ASSERT_TRUE(SetTerminal(fd, B57600, 0, CRTSCTS | CSTOPB));
    line = settings("settings: 57600");
    EXPECT_TRUE(Contains(line, "refused") && Contains(line, "goes back to 19200 baud")) << line;
    struct termios now;
    ASSERT_EQ(0, tcgetattr(fd, &now));
    EXPECT_EQ(B19200, cfgetospeed(&now));
    line = settings("settings: 19200");
    EXPECT_TRUE(Contains(line, "-> port 19200 8N1, adapter 19200 8N1")) << line << "\n" << tool.Output();

    // Data still flows after the changes, now paced at 19200 baud.
    const std::string text = "after the changes\n";
    ASSERT_EQ((ssize_t)text.size(), write(fd, text.data(), text.size()));
    EXPECT_EQ(std::vector<unsigned char>(text.begin(), text.end()), ReadBytes(fd, text.size()));
    close(fd);

    tool.Signal(SIGINT);
    EXPECT_EQ(0, tool.Finish()) << tool.Output() << tool.Errors();
    EXPECT_TRUE(Contains(tool.Errors(), "SIGINT, closing COM5")) << tool.Errors();
    EXPECT_TRUE(Contains(tool.Errors(), "leak report: clean")) << tool.Errors();
}

// Input that is not a terminal goes out through COM5, over the cable to COM6, whose
// echo comes back; the program ends once the input has ended and the port is quiet.
TEST(VcomusbTool, TermSendsPipedInputOverANullModemCableAndShowsTheEcho)
{
    const std::string text = "through the cable and back\n";
    Tool tool({"term", "--null-modem", "--baud", "19200", "--flow", "rtscts"}, text);
    ASSERT_TRUE(tool.Started());
    EXPECT_EQ(0, tool.Finish()) << tool.Errors();
    EXPECT_EQ(text, tool.Output());
    EXPECT_TRUE(Contains(tool.Errors(), "null-modem cable to COM6")) << tool.Errors();
    EXPECT_TRUE(Contains(tool.Errors(), "COM5 received 27 and transmitted 27 bytes")) << tool.Errors();
    EXPECT_TRUE(Contains(tool.Errors(), "leak report: clean")) << tool.Errors();
}

TEST(VcomusbTool, CommandLineErrorsAreOneLineAndHelpIsNot)
{
    const std::vector<std::vector<std::string>> wrong = {
        {"frobnicate"}, {"term", "--baud", "fast"}, {"pty", "--baud", "9600"}, {"term", "--reg", "TxAsync"},
        {"term", "--loopback", "--null-modem"}};
    for (const auto& args : wrong) {
        Tool tool(args);
        ASSERT_TRUE(tool.Started());
        EXPECT_EQ(2, tool.Finish()) << args[0];
        EXPECT_EQ("", tool.Output()) << args[0];
        EXPECT_EQ(1, std::count(tool.Errors().begin(), tool.Errors().end(), '\n')) << tool.Errors();
        EXPECT_EQ(0u, tool.Errors().rfind("vcomusb", 0)) << tool.Errors();
    }
    // Settings the driver refuses end the program the same way, after the emulation
    // has started.
    Tool refused({"term", "--loopback", "--data", "5"});
    ASSERT_TRUE(refused.Started());
    EXPECT_EQ(1, refused.Finish());
    EXPECT_EQ("vcomusb term: COM5 refused 115200 5N1: SetCommState: ERROR_INVALID_PARAMETER (87)\n", refused.Errors());

    Tool help({"pty", "--help"});
    ASSERT_TRUE(help.Started());
    EXPECT_EQ(0, help.Finish());
    EXPECT_EQ(0u, help.Output().rfind("usage: vcomusb pty", 0)) << help.Output();
}

}  // namespace
