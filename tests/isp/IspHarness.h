// Helpers of the controller tests: device frames, a recording result callback, a pseudo-terminal
// the test plays the device on, and a task manager that only queues.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/TaskManager.h"
#include "isp/IspCtrl.h"
#include "serial/PortTable.h"
#include "support/HexLine.h"
#include "support/ResetController.h"
#include "support/TestMain.h"

namespace isptest {

using testsupport::Bytes;
using Frame = std::vector<uint8_t>;
using Results = std::vector<std::pair<uint8_t, Frame>>;

inline Frame Cat(std::initializer_list<Frame> parts) {
    Frame out;
    for (const Frame& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Frame Sealed(Frame f) {
    f.push_back(static_cast<uint8_t>(std::accumulate(f.begin() + 3, f.end(), 0)));
    return f;
}

// A frame as the device sends it.
inline Frame Dev(uint8_t code, const Frame& payload) {
    return Sealed(Cat({{0xAC, static_cast<uint8_t>(payload.size() + 5), 0x00, code}, payload}));
}

inline Frame Status(uint8_t code, uint8_t result) {
    return Dev(CMD_STATUS, {code, result});
}

inline Frame Answer(uint8_t code, const Frame& data) {
    return Cat({Status(code, 1), data, Status(code, 2)});
}

// Bytes without a start byte, so no frame can hide in them; no two 128-byte blocks are alike.
inline Frame Data(size_t n, uint8_t seed = 0) {
    Frame d(n);
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>((i * 7 + i / 128 + seed) & 0x7F);
    return d;
}

using testsupport::HexLine;

inline std::unique_ptr<CHEXFile> LoadHex(const std::string& path) {
    auto image = std::make_unique<CHEXFile>();
    if (!image->m_file.Open(path, plat::CFile::modeRead)) ADD_FAILURE() << "cannot open " << path;
    image->Load();
    return image;
}

// Waits until pred holds; a failsafe against hangs, not a speed goal.
inline bool Until(const std::function<bool()>& pred) {
    for (int i = 0; i < 200000 && !pred(); ++i)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    return pred();
}

inline CCmdTaskManager& Manager() {
    return *CCmdTaskManager::GetInstance();
}

// Queues a command with no payload.
inline void Queue(uint8_t code) {
    CISPPacket p;
    p.m_frame.Append(Frame{0xAC, 0x05, 0x00, code}.data(), 4);
    Manager().AddTask(p);
}

struct Event {
    uint8_t code;
    Frame data;
    size_t queued;        // commands queued during the call
    bool notice = false;  // came on the notification path
};

struct Recorder {
    std::mutex m_mtx;
    std::vector<Event> m_events;

    static void Callback(const uint8_t* data, void* ctx, uint8_t code, int32_t len) {
        Record(data, ctx, code, len, false);
    }
    static void Notice(const uint8_t* data, void* ctx, uint8_t code, int32_t len) {
        if (code == NOTIFY_SENDING) return;  // comes from the sending thread in its own time
        Record(data, ctx, code, len, true);
    }
    static void Record(const uint8_t* data, void* ctx, uint8_t code, int32_t len, bool notice) {
        EXPECT_GE(len, 0);
        auto* self = static_cast<Recorder*>(ctx);
        Event e{code, Frame(data, data + std::max(len, 0)), Manager().GetQueueSize(), notice};
        std::lock_guard<std::mutex> lock(self->m_mtx);
        self->m_events.push_back(std::move(e));
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_events.clear();
    }
    std::vector<Event> Events() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_events;
    }
    // Codes and data of the results; a reply notice carries the code of the command answered.
    Results Got() {
        Results out;
        for (const Event& e : Events()) out.emplace_back(e.code, e.data);
        return out;
    }
    bool Wait(uint8_t code) {
        return Until([&] {
            for (const Event& e : Events())
                if (e.code == code) return true;
            return false;
        });
    }
};

// A pseudo-terminal pair; the test is the device on the master side.
struct Pty {
    int master = -1;
    int observer = -1;  // keeps the slave open, so the line survives the port being closed
    std::string slave;

    Pty() {
        termios raw{};
        cfmakeraw(&raw);
        char name[128] = {};
        if (openpty(&master, &observer, name, &raw, nullptr) != 0) ADD_FAILURE() << "no pty";
        fcntl(master, F_SETFL, O_NONBLOCK);
        slave = name;
    }
    ~Pty() {
        if (observer >= 0) close(observer);
        if (master >= 0) close(master);
    }
    void Write(const Frame& bytes) const {
        size_t done = 0;
        EXPECT_TRUE(Until([&] {
            ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
            return (done += n > 0 ? static_cast<size_t>(n) : 0) == bytes.size();
        })) << "write to the line failed";
    }
    // Forgets what the updater wrote so far (a probe that nobody answered, say).
    void Drain() const {
        uint8_t buf[256];
        while (read(master, buf, sizeof buf) > 0) {
        }
    }
    // Up to n bytes the updater wrote; fewer when they do not come.
    Frame Take(size_t n) const {
        Frame out(n);
        size_t got = 0;
        Until([&] {
            ssize_t k = read(master, out.data() + got, n - got);
            return (got += k > 0 ? static_cast<size_t>(k) : 0) == n;
        });
        out.resize(got);
        return out;
    }
    Frame ReadFrame() const {
        Frame head = Take(3);
        if (head.size() < 3 || head[0] != 0xAC || (head[1] | head[2] << 8) < 5) {
            ADD_FAILURE() << "no frame on the line";
            return head;
        }
        return Cat({head, Take(static_cast<size_t>(head[1] | head[2] << 8) - 3)});
    }
};

// Takes the commands of the download and builder operations without sending them.
class CQueueProbe : public CCmdTaskManager {
public:
    CQueueProbe() : CCmdTaskManager(&g_ISPCtrl) {}
    std::vector<Frame> m_added;
    std::vector<std::string> m_ports;  // the port open at each addition

    int AddTask(CISPPacket& task) override {
        m_added.emplace_back(task.m_frame.m_pData, task.m_frame.m_pData + task.m_frame.m_nLen);
        m_ports.push_back(g_ISPCtrl.IsPortOpen() ? g_ISPCtrl.m_serial.GetPath() : "");
        return CCmdTaskManager::AddTask(task);
    }
};

using testsupport::ResetController;

}  // namespace isptest
