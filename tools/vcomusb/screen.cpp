#include "screen.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vcomusb {

Screen::Screen() = default;

Screen::~Screen() { Restore(); }

bool Screen::Begin(std::string* error)
{
    if (isatty(STDIN_FILENO)) {
        if (tcgetattr(STDIN_FILENO, &saved_) != 0) {
            *error = std::string("tcgetattr on standard input: ") + std::strerror(errno);
            return false;
        }
        struct termios raw = saved_;
        cfmakeraw(&raw);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) != 0) {
            *error = std::string("raw mode on standard input: ") + std::strerror(errno);
            return false;
        }
        rawInput_ = true;
    }
    began_ = true;
    statusRow_ = isatty(STDOUT_FILENO);
    Resize();
    return true;
}

void Screen::Restore()
{
    std::lock_guard<std::mutex> g(lock_);
    if (!began_) return;
    began_ = false;
    if (statusRow_) {
        // Whole scrolling region back, the status row cleared, the cursor below the text.
        WriteAll("\0337\033[r\0338\033[" + std::to_string(rows_) + ";1H\033[2K");
        statusRow_ = false;
    }
    if (rawInput_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
    rawInput_ = false;
}

void Screen::WriteAll(const std::string& s)
{
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = write(STDOUT_FILENO, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += (size_t)n;
    }
}

void Screen::Resize()
{
    std::lock_guard<std::mutex> g(lock_);
    if (!statusRow_) return;
    struct winsize ws {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row >= 2) {
        rows_ = ws.ws_row;
        cols_ = ws.ws_col ? ws.ws_col : 80;
    }
    // The text scrolls in the rows above the status row; the cursor goes to the
    // region's last row so that new text starts there.
    WriteAll("\033[1;" + std::to_string(rows_ - 1) + "r\033[" + std::to_string(rows_ - 1) + ";1H");
    DrawStatusLocked();
}

void Screen::ShowReceived(const unsigned char* data, size_t length)
{
    if (!statusRow_) {
        // Into a file or a pipe the bytes go as they came.
        std::lock_guard<std::mutex> g(lock_);
        WriteAll(std::string((const char*)data, length));
        return;
    }
    std::lock_guard<std::mutex> g(lock_);  // the line state is shared with Note()
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = data[i];
        if (c == '\n' && lastWasCr_) {
            lastWasCr_ = false;
            continue;
        }
        lastWasCr_ = c == '\r';
        if (c == '\r' || c == '\n') {
            out += "\r\n";
            midLine_ = false;
        } else {
            out += (char)c;
            midLine_ = true;
        }
    }
    WriteAll(out);
}

void Screen::Note(const std::string& text)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!statusRow_) {
        // Not between the data when that goes to a file or a pipe.
        std::string line = text + "\n";
        ssize_t n = write(STDERR_FILENO, line.data(), line.size());
        (void)n;
        return;
    }
    WriteAll(std::string(midLine_ ? "\r\n" : "") + "[" + text + "]\r\n");
    midLine_ = false;
    lastWasCr_ = false;
}

void Screen::SetStatus(const std::string& text)
{
    std::lock_guard<std::mutex> g(lock_);
    if (text == status_) return;
    status_ = text;
    DrawStatusLocked();
}

void Screen::DrawStatusLocked()
{
    if (!statusRow_ || !began_) return;
    std::string line = status_.substr(0, (size_t)cols_);
    // Save the cursor, draw in reverse video on the bottom row, restore the cursor.
    WriteAll("\0337\033[" + std::to_string(rows_) + ";1H\033[7m" + line + "\033[K\033[0m\0338");
}

}  // namespace vcomusb
