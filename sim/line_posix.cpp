// The device's line on POSIX: the master side of a pseudo-terminal, or a tty it serves
// (platform/Pty.h).
#include <memory>

#include "platform/Pty.h"
#include "sim/Device.h"
#include "sim/Line.h"

namespace sim {

namespace {

class CPtyLine : public ILine {
public:
    explicit CPtyLine(std::unique_ptr<plat::CPty> pty) : m_pty(std::move(pty)) {}

    Ready Wait(bool watch, bool wantOut, std::chrono::nanoseconds timeout) override {
        plat::CPty::Ready p = m_pty->Wait(watch, wantOut, timeout);
        Ready r;
        r.in = p.in;
        r.out = p.out;
        r.hup = p.hup;
        return r;
    }
    void Wake() override { m_pty->Wake(); }
    long Read(uint8_t* buf, size_t size) override { return m_pty->Read(buf, size); }
    long Write(const uint8_t* data, size_t size) override { return m_pty->Write(data, size); }
    int Unread() override { return m_pty->Unread(); }
    void SetBaud(uint32_t baud) override { m_pty->SetBaud(baud); }
    void HangUp() override { m_pty->HangUp(); }

private:
    const std::unique_ptr<plat::CPty> m_pty;
};

}  // namespace

bool CDevice::CreatePty(std::string* slavePath, std::string* error) {
    auto pty = std::make_unique<plat::CPty>();
    std::string name;
    if (!pty->OpenMaster(&name, error)) return false;
    if (!Attach(std::make_unique<CPtyLine>(std::move(pty)), error)) return false;
    if (slavePath) *slavePath = name;
    return true;
}

bool CDevice::ServePath(const std::string& tty, std::string* error) {
    auto pty = std::make_unique<plat::CPty>();
    if (!pty->OpenServed(tty, LineBaud(), error)) return false;
    return Attach(std::make_unique<CPtyLine>(std::move(pty)), error);
}

bool CDevice::CreatePort(std::string* portPath, std::string* error) {
    return CreatePty(portPath, error);
}

}  // namespace sim
