// The command task manager's own steps: the hung-send check in AddTask and handing the front
// frame to the controller.
#include "core/TaskManager.h"

int CCmdTaskManager::AddTask(CISPPacket& task) {
    if (BusyElapsed() > 2000) {
        uint32_t elapsed = BusyElapsed();
        WriteLog("Previous Task has took %dms, may be halt, restart\r\n",
                 static_cast<int>(elapsed));
        Restart();
        if (m_pISPCtrl != nullptr) m_pISPCtrl->OnSendGivenUp(elapsed);
    }
    return CTaskManager::AddTask(task);
}

int CCmdTaskManager::ExecuteTask(CISPPacket& task) {
    if (m_pISPCtrl != nullptr) m_pISPCtrl->send_data(task.m_frame.m_pData, task.m_frame.m_nLen);
    static std::atomic<uint32_t> prevTick{plat::GetTickCount()};
    uint32_t now = plat::GetTickCount();
    WriteLog("[Elapsed]%d\r\n", static_cast<int>(now - prevTick.exchange(now)));
    return 0;
}
