// The terminal the `term` command runs in: raw keyboard input, received bytes shown
// above a status line kept on the bottom row (a scrolling region above it), and the
// terminal put back as it was however the program ends.
#pragma once

#include <termios.h>

#include <mutex>
#include <string>

namespace vcomusb {

class Screen {
public:
    Screen();
    ~Screen();  // Restore()
    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;

    // Raw mode on standard input when it is a terminal; the status row when standard
    // output is one.
    bool Begin(std::string* error);
    void Restore();
    bool InteractiveInput() const { return rawInput_; }

    // Bytes from the port: CR, LF and CR LF each end a line.
    void ShowReceived(const unsigned char* data, size_t length);
    // A line of the program's own (a refused setting, a break sent), between the data.
    void Note(const std::string& text);
    void SetStatus(const std::string& text);
    // After a window size change.
    void Resize();

private:
    void DrawStatusLocked();
    void WriteAll(const std::string& s);

    std::mutex lock_;
    bool rawInput_ = false;
    bool statusRow_ = false;
    bool began_ = false;
    struct termios saved_ {};
    int rows_ = 24;
    int cols_ = 80;
    std::string status_;
    bool lastWasCr_ = false;
    bool midLine_ = false;
};

}  // namespace vcomusb
