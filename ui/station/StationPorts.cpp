// The station's look at a port: the probe on a port of its own (closed again before any child
// opens it), the Bluetooth exclusion and the adapter's serial number.
#include "ui/station/StationPorts.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>

#include "core/RawString.h"
#include "isp/Frame.h"
#include "isp/IspCodes.h"
#include "platform/Event.h"
#include "platform/Ports.h"
#include "serial/Serial.h"

namespace station {
namespace {

struct ProbeListener {
    std::mutex mtx;
    CRawString stream;
    std::atomic<bool> answered{false};
    plat::CEvent evAnswer;

    static void OnReceive(void* self, const uint8_t* data, uint32_t count) {
        auto* me = static_cast<ProbeListener*>(self);
        std::lock_guard<std::mutex> lock(me->mtx);
        me->stream.Append(data, static_cast<int32_t>(count));
        isp::ExtractFrames(me->stream, [me](const CRawString& frame) {
            // The frame without its start byte: length (2), command, ...
            if (frame.m_nLen >= 3 && frame.GetAt(2) == CMD_PROBE_ACK) {
                me->answered.store(true);
                me->evAnswer.Set();
            }
        });
    }
};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

ProbeResult ProbeDevice(const std::string& path, uint8_t comNumber, uint32_t waitMs) {
    ProbeListener listener;
    CSerial port;
    port.m_pReceiver.store(&listener);
    port.m_pfnReceive.store(&ProbeListener::OnReceive);
    if (!port.OpenPath(path)) return ProbeResult::NotOpened;
    CRawString frame;
    uint8_t f[5];
    isp::PutFrameHead(f, CMD_PROBE, 1);
    f[4] = comNumber;
    frame.Append(f, 5);
    bool sent =
        isp::SealFrame(frame) && port.Write(frame.m_pData, static_cast<uint32_t>(frame.m_nLen));
    if (sent) listener.evAnswer.Wait(waitMs);
    port.Close();
    return listener.answered.load() ? ProbeResult::Answered : ProbeResult::Silent;
}

bool IsBluetoothPort(const std::string& path) {
    plat::SerialPortInfo info = plat::DescribeSerialPort(path);
    if (info.kind == plat::SerialPortInfo::Kind::Bluetooth) return true;
    // Where the system does not say the kind, the names still tell an rfcomm link.
    std::string all = Lower(path + " " + info.driver + " " + info.vendor + " " + info.product);
    for (const char* word : {"rfcomm", "bluetooth", "bthenum", "bthmodem"})
        if (all.find(word) != std::string::npos) return true;
    return false;
}

std::string AdapterSerial(const std::string& path) {
    return plat::DescribeSerialPort(path).serial;
}

}  // namespace station
