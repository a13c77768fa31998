// The version box as the user meets it, one test for every window face: the Qt window and the
// native window each drive their own widgets through a CFaceDriver, the steps and checks are
// the same.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "app/KalvoDlg.h"
#include "platform/Time.h"
#include "sim/Device.h"
#include "ui/Session.h"

class CFaceDriver {
public:
    virtual ~CFaceDriver() = default;
    // On the UI thread: the device on its port, then the window, with the payloads of dir.
    virtual void Open(const sim::Options& opts, const std::string& dir) = 0;
    // Runs the window on this thread until user, on a thread of its own, has returned.
    virtual void RunAsUser(const std::function<void()>& user) = 0;
    // The rest from the user's thread.
    virtual bool ButtonEnabled() = 0;
    virtual void ClickButton() = 0;
    // The "ERROR" box with its text is open, modal to the window.
    virtual bool BoxShown() = 0;
    virtual void PressBoxOk() = 0;
    virtual std::string PaneText() = 0;
    virtual bool ReplyTimerSet() = 0;
    virtual void CloseWindow() = 0;
    virtual bool PageGone() = 0;
    virtual sim::CDevice& Device() = 0;
};

namespace versionbox {

// Polls from the user's thread; the limit only keeps a broken build from hanging.
inline bool WaitFor(const std::function<bool()>& pred) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!pred() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return pred();
}

// The firmware alone, made by a device that reports the old program's version word.
inline void Open(CFaceDriver& face, const std::string& dir) {
    std::string error;
    ASSERT_TRUE(WriteSamplePayloads(dir, error)) << error;
    for (const char* name : {"flagdata.bin", "audioHead.bin", "rdfw.bin"})
        std::filesystem::remove(std::filesystem::path(dir) / name);
    face.Open({.fwVersion = 0x0104, .faults = {}}, dir);
}

// Up to the open box, then the user reads it for several reply periods: nothing is written and
// no reply timer runs meanwhile.
inline void UpToTheBox(CFaceDriver& face) {
    ASSERT_TRUE(WaitFor([&] { return face.ButtonEnabled(); }));
    face.ClickButton();
    ASSERT_TRUE(WaitFor([&] { return face.BoxShown(); }));
    std::this_thread::sleep_for(plat::ToReal(3 * REPLY_WAIT_MS));
    EXPECT_TRUE(face.BoxShown());
    EXPECT_EQ(face.Device().GetReport().fwFrames, 0);
    EXPECT_FALSE(face.ReplyTimerSet());
    EXPECT_NE(face.PaneText(), "Тайм-аут, пожалуйста,\r\nзаново откройте программу.\r\n");
}

inline void OkContinuesTheRun(CFaceDriver& face, const std::string& dir) {
    Open(face, dir);
    if (testing::Test::HasFatalFailure() || testing::Test::IsSkipped()) return;
    face.RunAsUser([&] {
        UpToTheBox(face);
        if (testing::Test::HasFatalFailure()) return;
        face.PressBoxOk();
        EXPECT_TRUE(WaitFor([&] { return face.PaneText() == "Готово"; })) << face.PaneText();
        EXPECT_TRUE(face.ButtonEnabled());
    });
    EXPECT_TRUE(face.Device().WaitIdle(50, 5000));
    EXPECT_TRUE(face.Device().PayloadsComplete());
}

inline void ClosingTheWindowEndsTheRun(CFaceDriver& face, const std::string& dir) {
    Open(face, dir);
    if (testing::Test::HasFatalFailure() || testing::Test::IsSkipped()) return;
    face.RunAsUser([&] {
        UpToTheBox(face);
        if (testing::Test::HasFatalFailure()) return;
        face.CloseWindow();
        EXPECT_TRUE(WaitFor([&] { return face.PageGone(); }));
    });
    EXPECT_FALSE(face.Device().PayloadsComplete());
    EXPECT_EQ(face.Device().GetReport().fwFrames, 0);
}

}  // namespace versionbox
