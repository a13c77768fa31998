// Port probing: opens the listed ports one after the other and queues a probe on each that
// opens; the check-port job then waits for the answer and closes the port.
#include "core/Log.h"
#include "isp/Frame.h"
#include "isp/IspCtrl.h"
#include "platform/Time.h"

void CISPCtrl::ProbeLoop(bool checkJob, void* context) {
    uint8_t count = g_byComPortCount.load();
    if (count > MAX_COM_PORTS) count = MAX_COM_PORTS;
    auto* rec = new CISPPacket;
    for (uint8_t i = 0; i < count; ++i) {
        uint8_t p = g_pComPortList[i];
        WriteLog("\ri  is:%d  com=%d\r\n", i, p);
        int ok = Open(p, context);
        if (checkJob) WriteLog("\r  bRet[%d] is  %d\r\n", i, ok);
        if (IsPortOpen()) {
            WriteLog("\r  COM[%d] is  ok\r\n", p);
            TaskManager().ClearTask();
            // The payload is the number of the port it goes out on.
            uint8_t f[5];
            isp::PutFrameHead(f, CMD_PROBE, 1);
            f[4] = p;
            rec->m_frame.Clear();
            rec->m_frame.Append(f, 5);
            TaskManager().AddTask(*rec);
        } else {
            WriteLog("\r  COM[%d] is  error\r\n", p);
        }
    }
    delete rec;
}

void CISPCtrl::ProbeAllPorts(void* context) {
    m_bProbeAnswered.store(false);
    ProbeLoop(false, context);
}

int CISPCtrl::ProbePorts() {
    m_bProbeAnswered.store(false);
    ProbeLoop(true, m_pResultCtx.load());
    // Nothing else ends this wait: stop at the answer, or give up after a reply time-out.
    uint32_t start = plat::GetTickCount();
    while (m_nProbeMode.load() != 1 && !m_bProbeAnswered.load() && IsPortOpen() &&
           plat::GetTickCount() - start < PROBE_WAIT_MS)
        plat::Sleep(10);
    WriteLog("\r  CLOSE  COM\r\n");
    ClosePort();
    return 1;
}
