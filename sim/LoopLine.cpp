// The simulated device on an in-process loopback line, where there is no pseudo-terminal, and the
// serial port's end of that line, opened by its name through the platform's port openers.
#include <atomic>

#include "platform/PortProvider.h"
#include "sim/Device.h"
#include "sim/Line.h"
#include "sim/Loopback.h"

namespace sim {

namespace {

class CLoopLine : public ILine {
public:
    explicit CLoopLine(std::shared_ptr<CLoopback> line) : m_line(std::move(line)) {}
    ~CLoopLine() override {
        m_line->HangUp();
        m_line->Release(Dev());
    }

    Ready Wait(bool watch, bool wantOut, std::chrono::nanoseconds timeout) override {
        Ready r;
        if (watch && wantOut) {
            // Writes never block here.
            r.out = true;
            return r;
        }
        CLoopback::WaitState s = m_line->Wait(Dev(), timeout, watch);
        // One wake per Wake call, as a byte in a pipe.
        if (s.woken) m_line->ClearWake(Dev());
        if (watch) {
            r.in = s.readable;
            r.hup = s.hungUp;
        }
        return r;
    }
    void Wake() override { m_line->Wake(Dev()); }
    long Read(uint8_t* buf, size_t size) override {
        long n = m_line->Read(Dev(), buf, size);
        return n < 0 ? 0 : n;
    }
    long Write(const uint8_t* data, size_t size) override {
        return m_line->Write(Dev(), data, size);
    }
    int Unread() override { return static_cast<int>(m_line->Pending(CLoopback::HOST)); }
    void HangUp() override { m_line->HangUp(); }

private:
    static CLoopback::End Dev() { return CLoopback::DEVICE; }
    std::shared_ptr<CLoopback> m_line;
};

// The host's end as a serial port: no modem lines, any rate, writes that never block.
class CLoopPort : public plat::IProvidedPort {
public:
    explicit CLoopPort(std::shared_ptr<CLoopback> line) : m_line(std::move(line)) {}
    ~CLoopPort() override { m_line->Release(CLoopback::HOST); }

    bool Configure(uint32_t baud) override {
        if (baud == 0) return false;
        m_dwBaud.store(baud);
        return true;
    }
    uint32_t GetBaud() override { return m_dwBaud.load(); }
    void Purge() override { m_line->Purge(CLoopback::HOST); }
    plat::SerialWaitState WaitRead(std::chrono::nanoseconds timeout) override {
        CLoopback::WaitState w = m_line->Wait(CLoopback::HOST, timeout);
        plat::SerialWaitState s;
        s.ready = w.readable || w.hungUp;
        s.hangUp = w.hungUp;
        s.woken = w.woken;
        return s;
    }
    plat::SerialWaitState WaitWrite(std::chrono::nanoseconds) override {
        plat::SerialWaitState s;
        s.ready = true;
        s.hangUp = m_line->IsHungUp();
        return s;
    }
    long Read(uint8_t* buf, size_t size) override {
        return m_line->Read(CLoopback::HOST, buf, size);
    }
    long Write(const uint8_t* data, size_t size) override {
        return m_line->Write(CLoopback::HOST, data, size);
    }
    void Wake() override { m_line->Wake(CLoopback::HOST); }

private:
    std::shared_ptr<CLoopback> m_line;
    std::atomic<uint32_t> m_dwBaud{0};
};

plat::PortOpen OpenLoopPort(const std::string& path, std::shared_ptr<plat::IProvidedPort>* port) {
    if (!CLoopback::IsLoopbackPath(path)) return plat::PortOpen::NotMine;
    std::shared_ptr<CLoopback> line = CLoopback::Find(path);
    if (!line) return plat::PortOpen::NoSuchPort;
    if (!line->Claim(CLoopback::HOST)) return plat::PortOpen::Busy;
    *port = std::make_shared<CLoopPort>(std::move(line));
    return plat::PortOpen::Opened;
}

}  // namespace

void ServeLoopbackPorts() {
    plat::SetPortOpener("loopback", OpenLoopPort);
}

std::unique_ptr<ILine> MakeLoopLine(const std::string& name, std::string* portPath,
                                    std::string* error) {
    std::shared_ptr<CLoopback> line = CLoopback::Create(name);
    if (!line || !line->Claim(CLoopback::DEVICE)) {
        if (error) *error = "the loopback port " + name + " exists already";
        return nullptr;
    }
    ServeLoopbackPorts();
    if (portPath) *portPath = line->Path();
    return std::make_unique<CLoopLine>(std::move(line));
}

bool CDevice::CreateLoopback(const std::string& name, std::string* portPath, std::string* error) {
    std::unique_ptr<ILine> line = MakeLoopLine(name, portPath, error);
    return line && Attach(std::move(line), error);
}

}  // namespace sim
