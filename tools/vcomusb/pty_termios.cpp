#include "pty_termios.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vcomusb {
namespace {

struct SpeedEntry {
    speed_t code;
    uint32_t baud;
};
const SpeedEntry kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
    {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
    {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
    {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

uint32_t SpeedOf(speed_t code)
{
    for (const auto& s : kSpeeds)
        if (s.code == code) return s.baud;
    return 0;
}

bool SpeedCode(uint32_t baud, speed_t* out)
{
    for (const auto& s : kSpeeds)
        if (s.baud == baud) {
            *out = s.code;
            return true;
        }
    return false;
}

TermiosRequest FromTermios(const struct termios& t)
{
    TermiosRequest r;
    speed_t speed = cfgetospeed(&t);
    r.hangup = speed == B0;
    r.line.baud = SpeedOf(speed);
    switch (t.c_cflag & CSIZE) {
    case CS5: r.line.dataBits = 5; break;
    case CS6: r.line.dataBits = 6; break;
    case CS7: r.line.dataBits = 7; break;
    default: r.line.dataBits = 8; break;
    }
    if (!(t.c_cflag & PARENB))
        r.line.parity = 'N';
    else if (t.c_cflag & CMSPAR)
        r.line.parity = (t.c_cflag & PARODD) ? 'M' : 'S';
    else
        r.line.parity = (t.c_cflag & PARODD) ? 'O' : 'E';
    r.line.stopTenths = (t.c_cflag & CSTOPB) ? 20 : 10;
    r.rtsCts = t.c_cflag & CRTSCTS;
    r.outX = t.c_iflag & IXON;
    r.inX = t.c_iflag & IXOFF;
    r.line.flow = r.rtsCts ? Flow::RtsCts : (r.outX || r.inX) ? Flow::XonXoff : Flow::None;
    r.xonChar = t.c_cc[VSTART];
    r.xoffChar = t.c_cc[VSTOP];
    return r;
}

std::string Describe(const TermiosRequest& r)
{
    std::string s = r.hangup ? std::string("B0 (hang up)") : Describe(r.line);
    if (r.rtsCts && (r.outX || r.inX)) s += " and XON/XOFF";
    if ((r.outX || r.inX) && !(r.outX && r.inX)) s += r.outX ? " (IXON only)" : " (IXOFF only)";
    return s;
}

Pty::~Pty()
{
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
}

bool Pty::Open(uint32_t baud, std::string* error)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return *error = Errno("posix_openpt"), false;
    if (grantpt(master_) != 0) return *error = Errno("grantpt"), false;
    if (unlockpt(master_) != 0) return *error = Errno("unlockpt"), false;
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) return *error = Errno("ptsname_r"), false;
    path_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) return *error = Errno(("open " + path_).c_str()), false;

    struct termios t;
    if (tcgetattr(slave_, &t) != 0) return *error = Errno("tcgetattr"), false;
    cfmakeraw(&t);
    t.c_lflag |= EXTPROC;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    speed_t code = B115200;
    SpeedCode(baud, &code);
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
    if (tcsetattr(slave_, TCSANOW, &t) != 0) return *error = Errno("tcsetattr"), false;

    int on = 1;
    if (ioctl(master_, TIOCPKT, &on) != 0) return *error = Errno("ioctl TIOCPKT"), false;
    int flags = fcntl(master_, F_GETFL);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) return *error = Errno("fcntl"), false;
    return true;
}

bool Pty::Settings(struct termios* out) const { return tcgetattr(master_, out) == 0; }

bool Pty::SetBaud(uint32_t baud)
{
    struct termios t;
    speed_t code;
    if (!Settings(&t) || !SpeedCode(baud, &code)) return false;
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
    return tcsetattr(master_, TCSANOW, &t) == 0;
}

bool Pty::KeepExtproc()
{
    struct termios t;
    if (!Settings(&t)) return false;
    if (t.c_lflag & EXTPROC) return true;
    t.c_lflag |= EXTPROC;
    return tcsetattr(master_, TCSANOW, &t) == 0;
}

}  // namespace vcomusb
