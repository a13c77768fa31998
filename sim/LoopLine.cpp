// The simulated device on an in-process loopback line, where there is no pseudo-terminal.
#include "platform/Loopback.h"
#include "sim/Device.h"
#include "sim/Line.h"

namespace sim {

namespace {

class CLoopLine : public ILine {
public:
    explicit CLoopLine(std::shared_ptr<plat::CLoopback> line) : m_line(std::move(line)) {}
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
        plat::CLoopback::WaitState s = m_line->Wait(Dev(), timeout, watch);
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
    int Unread() override { return static_cast<int>(m_line->Pending(plat::CLoopback::HOST)); }
    void HangUp() override { m_line->HangUp(); }

private:
    static plat::CLoopback::End Dev() { return plat::CLoopback::DEVICE; }
    std::shared_ptr<plat::CLoopback> m_line;
};

}  // namespace

std::unique_ptr<ILine> MakeLoopLine(const std::string& name, std::string* portPath,
                                    std::string* error) {
    std::shared_ptr<plat::CLoopback> line = plat::CLoopback::Create(name);
    if (!line || !line->Claim(plat::CLoopback::DEVICE)) {
        if (error) *error = "the loopback port " + name + " exists already";
        return nullptr;
    }
    if (portPath) *portPath = line->Path();
    return std::make_unique<CLoopLine>(std::move(line));
}

bool CDevice::CreateLoopback(const std::string& name, std::string* portPath, std::string* error) {
    std::unique_ptr<ILine> line = MakeLoopLine(name, portPath, error);
    return line && Attach(std::move(line), error);
}

}  // namespace sim
