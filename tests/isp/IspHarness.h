// Shared pieces of the controller tests: device frames, a recording result callback, a
// pseudo-terminal the test plays the device on, and a task manager that only queues.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/TaskManager.h"
#include "isp/IspCtrl.h"

namespace isptest {

using Frame = std::vector<uint8_t>;

inline Frame Cat(std::initializer_list<Frame> parts) {
    Frame out;
    for (const Frame& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Appends the additive checksum of the command and payload bytes.
inline Frame Sealed(Frame f) {
    uint8_t sum = 0;
    for (size_t i = 3; i < f.size(); ++i) sum = static_cast<uint8_t>(sum + f[i]);
    f.push_back(sum);
    return f;
}

// A frame as the device sends it.
inline Frame Dev(uint8_t code, const Frame& payload) {
    Frame f = {0xAC, static_cast<uint8_t>(payload.size() + 5), 0x00, code};
    f.insert(f.end(), payload.begin(), payload.end());
    return Sealed(f);
}

inline Frame Status(uint8_t code, uint8_t result) {
    return Dev(CMD_STATUS, {code, result});
}

// A complete status answer: accepted, the data, done.
inline Frame Answer(uint8_t code, const Frame& data) {
    return Cat({Status(code, 1), data, Status(code, 2)});
}

// Answer data that hold no start byte, so no frame can hide in them.
inline Frame Data(size_t n, uint8_t seed = 0) {
    Frame d(n);
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>((i * 7 + seed) & 0x7F);
    return d;
}

// One Intel HEX line with its checksum.
inline std::string HexLine(uint8_t type, uint16_t addr, const Frame& data) {
    Frame rec = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(addr >> 8),
                 static_cast<uint8_t>(addr), type};
    rec.insert(rec.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : rec) sum = static_cast<uint8_t>(sum + b);
    rec.push_back(static_cast<uint8_t>(-sum));
    std::string line = ":";
    char buf[3];
    for (uint8_t b : rec) {
        snprintf(buf, sizeof buf, "%02X", b);
        line += buf;
    }
    return line + "\r\n";
}

inline std::unique_ptr<CHEXFile> LoadHex(const std::string& path) {
    auto image = std::make_unique<CHEXFile>();
    if (!image->m_file.Open(path, plat::CFile::modeRead)) ADD_FAILURE() << "cannot open " << path;
    image->Load();
    return image;
}

struct Event {
    uint8_t code;
    Frame data;
    int32_t len;
    size_t queued;  // commands in the task manager's queue during the call
};

class Recorder {
public:
    static void Callback(const uint8_t* data, void* ctx, uint8_t code, int32_t len) {
        auto* self = static_cast<Recorder*>(ctx);
        Event e{code, Frame(data, data + (len > 0 ? len : 0)), len,
                CCmdTaskManager::GetInstance()->GetQueueSize()};
        {
            std::lock_guard<std::mutex> lock(self->m_mtx);
            self->m_events.push_back(std::move(e));
        }
        self->m_cv.notify_all();
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_events.clear();
    }
    // Every result but NOTIFY_SENDING, which comes from the sending thread in its own time.
    std::vector<Event> Events(bool withSending = false) {
        std::lock_guard<std::mutex> lock(m_mtx);
        std::vector<Event> out;
        for (const Event& e : m_events)
            if (withSending || e.code != NOTIFY_SENDING) out.push_back(e);
        return out;
    }
    std::vector<uint8_t> Codes(bool withSending = false) {
        std::vector<uint8_t> out;
        for (const Event& e : Events(withSending)) out.push_back(e.code);
        return out;
    }
    // A failsafe against hangs, not a speed goal.
    bool WaitCount(uint8_t code, size_t n) {
        std::unique_lock<std::mutex> lock(m_mtx);
        return m_cv.wait_for(lock, std::chrono::seconds(20), [&] {
            size_t k = 0;
            for (const Event& e : m_events) k += e.code == code;
            return k >= n;
        });
    }

private:
    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::vector<Event> m_events;
};

// A pseudo-terminal pair; the test is the device on the master side.
struct Pty {
    int master = -1;
    int observer = -1;  // keeps the slave open, so the line survives the port being closed
    std::string slave;
    Frame pending;

    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        char name[128] = {};
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
            ptsname_r(master, name, sizeof name) != 0) {
            ADD_FAILURE() << "no pseudo-terminal";
            return;
        }
        termios t{};
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
        slave = name;
        observer = open(name, O_RDWR | O_NOCTTY);
    }
    ~Pty() {
        if (observer >= 0) close(observer);
        if (master >= 0) close(master);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    void Write(const Frame& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                ADD_FAILURE() << "write to the line failed";
                return;
            }
            done += static_cast<size_t>(n);
        }
    }

    // The next frame the updater wrote; empty when none comes (failsafe, not a speed goal).
    Frame ReadFrame() {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            if (pending.size() >= 3) {
                if (pending[0] != 0xAC) {
                    ADD_FAILURE() << "stray byte on the line";
                    return {};
                }
                size_t len = pending[1] | pending[2] << 8;
                if (pending.size() >= len) {
                    Frame f(pending.begin(), pending.begin() + static_cast<long>(len));
                    pending.erase(pending.begin(), pending.begin() + static_cast<long>(len));
                    return f;
                }
            }
            if (std::chrono::steady_clock::now() > end) {
                ADD_FAILURE() << "no frame on the line";
                return {};
            }
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 50) > 0 && (p.revents & POLLIN)) {
                uint8_t buf[4096];
                ssize_t n = read(master, buf, sizeof buf);
                if (n > 0) pending.insert(pending.end(), buf, buf + n);
            }
        }
    }

    // Bytes the updater wrote that the test has not taken yet.
    size_t Unread() const {
        int n = 0;
        ioctl(master, FIONREAD, &n);
        return pending.size() + static_cast<size_t>(n);
    }
};

// Takes the commands of the download and builder operations without sending them.
class CQueueProbe : public CCmdTaskManager {
public:
    CQueueProbe() : CCmdTaskManager(&g_ISPCtrl) {}

    // What happened to the queue, with the port that was open at each addition.
    std::vector<std::string> m_ops;

    int AddTask(CISPPacket& task) override {
        std::string op = "add";
        for (int32_t i = 0; i < task.m_frame.m_nLen; ++i)
            op += " " + std::to_string(task.m_frame.m_pData[i]);
        m_ops.push_back(op + (g_ISPCtrl.IsPortOpen() ? " @" + g_ISPCtrl.m_serial.GetPath() : ""));
        return CCmdTaskManager::AddTask(task);
    }
    int ClearTask() override {
        m_ops.push_back("clear");
        return CCmdTaskManager::ClearTask();
    }
    std::vector<Frame> Queued() {
        Lock();
        std::vector<Frame> out;
        for (const Entry& e : m_lstTask)
            out.emplace_back(e.task.m_frame.m_pData,
                             e.task.m_frame.m_pData + e.task.m_frame.m_nLen);
        Unlock();
        return out;
    }
};

// Every result a test may leave behind, back to the start-up values.
inline void ResetController() {
    g_ISPCtrl.m_nRunState.store(2);
    g_ISPCtrl.m_dwFlashSizeKB.store(512);
    g_ISPCtrl.m_nVerifyIndex.store(0);
    g_ISPCtrl.m_nProbeMode.store(0);
    g_ISPCtrl.m_bProbeAnswered.store(false);
    g_ISPCtrl.m_nSelectNum.store(0);
    g_ISPCtrl.m_byReplyState = 0;
    g_ISPCtrl.m_rxStream.Clear();
    g_ISPCtrl.m_rxReply.Clear();
    g_byComPortCount.store(0);
}

inline CCmdTaskManager& Manager() {
    return *CCmdTaskManager::GetInstance();
}

}  // namespace isptest
