// Puts the one protocol controller back as the program starts it, for the next test: a test that
// changed its run state, flash size, verify position or receive buffers leaves nothing behind.
#pragma once

#include "isp/IspCtrl.h"

namespace testsupport {

inline void ResetController() {
    g_ISPCtrl.CancelReadFlash();
    g_ISPCtrl.m_nRunState.store(RUN_RUNNING);
    g_ISPCtrl.m_dwFlashSizeKB.store(512);
    g_ISPCtrl.m_nVerifyIndex.store(0);
    g_ISPCtrl.m_byReplyState = REPLY_COLLECTING;
    g_ISPCtrl.m_rxStream.Clear();
    g_ISPCtrl.m_rxReply.Clear();
}

}  // namespace testsupport
