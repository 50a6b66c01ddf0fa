#include "win32api/win32_fixture.h"

#include <sstream>

vcomsim::PortOptions Win32Test::Com5()
{
    vcomsim::PortOptions o;
    o.name = u"COM5";
    o.registry = {hk::RegistryValue::Dword(u"EndPointCaps", 3)};
    o.loopback = true;
    return o;
}

void Win32Test::SetUp()
{
    vcomsim::Options options;
    options.clock = SimClock();
    sim = std::make_unique<vcomsim::Simulation>(options);
    ASSERT_EQ(STATUS_SUCCESS, sim->LoadStatus());
    port = &sim->AddPort(Com5());
    ASSERT_EQ(STATUS_SUCCESS, port->AddStatus());
    ASSERT_EQ(STATUS_SUCCESS, port->StartStatus());
    h = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, OpenFlags(), nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << GetLastError();
    vcomsim::ObserveRequests([this](const vcomsim::SentRequest& r) {
        std::lock_guard<std::mutex> g(sentLock_);
        sent_.push_back(r);
    });
}

void Win32Test::TearDown()
{
    vcomsim::ObserveRequests({});
    if (h != INVALID_HANDLE_VALUE) {
        EXPECT_TRUE(CloseHandle(h));
    }
    h = INVALID_HANDLE_VALUE;
    if (!sim) return;
    vcomsim::LeakReport report = sim->Shutdown();
    EXPECT_TRUE(report.clean) << report.text;
    sim.reset();
}

std::vector<vcomsim::SentRequest> Win32Test::TakeSent()
{
    std::lock_guard<std::mutex> g(sentLock_);
    return std::move(sent_);
}

std::vector<ULONG> Win32Test::TakeSentCodes()
{
    std::vector<ULONG> codes;
    for (auto& r : TakeSent())
        if (r.major == IRP_MJ_DEVICE_CONTROL) codes.push_back(r.ioctl);
    return codes;
}

std::string Describe(const DCB& d)
{
    std::ostringstream s;
    s << "len " << d.DCBlength << " baud " << d.BaudRate << " bin " << d.fBinary << " par " << d.fParity << " octs "
      << d.fOutxCtsFlow << " odsr " << d.fOutxDsrFlow << " dtr " << d.fDtrControl << " dsrsens " << d.fDsrSensitivity
      << " txcont " << d.fTXContinueOnXoff << " outx " << d.fOutX << " inx " << d.fInX << " errch " << d.fErrorChar
      << " null " << d.fNull << " rts " << d.fRtsControl << " abort " << d.fAbortOnError << " dummy " << d.fDummy2
      << " res " << d.wReserved << " xonlim " << d.XonLim << " xofflim " << d.XoffLim << " bits " << (int)d.ByteSize
      << " parity " << (int)d.Parity << " stop " << (int)d.StopBits << " xon " << (int)(BYTE)d.XonChar << " xoff "
      << (int)(BYTE)d.XoffChar << " err " << (int)(BYTE)d.ErrorChar << " eof " << (int)(BYTE)d.EofChar << " evt "
      << (int)(BYTE)d.EvtChar << " res1 " << d.wReserved1;
    return s.str();
}
