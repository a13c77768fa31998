// The command task manager's queue operations (add, finish, clear, start, restart, stop) in the
// order the input gives, from two threads at once: the even bytes are one thread's operations, the
// odd bytes the other's. Every record carries its own number, so the sender sees what goes out.
// Nothing may go out twice, nothing a thread added before its stop returned may go out after it
// (unless a restart gave up a worker in mid-send), nothing at all after the last stop, and once it
// is done no worker may be left running.
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "core/TaskManager.h"
#include "fuzz/FuzzTargets.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) fuzz::Fail("queue", what);
}

int CountThreads() {
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    int n = 0;
    while (const dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.') ++n;
    ::closedir(dir);
    return n;
}

// Record numbers: the adding thread in the top bit, its own count below.
constexpr uint32_t kThreadBit = 0x80000000u;

class CRecorder : public CFrameSender {
public:
    int send_data(const uint8_t* frame, int32_t len) override {
        Check(frame != nullptr && len >= 8, "a frame other than the one queued");
        uint32_t id = static_cast<uint32_t>(frame[4] | frame[5] << 8 | frame[6] << 16) |
                      static_cast<uint32_t>(frame[7]) << 24;
        uint32_t seq = id & ~kThreadBit;
        int thread = (id & kThreadBit) != 0 ? 1 : 0;
        Check(!m_bStopsJoin || !m_bClosed.load(), "a frame sent after the last stop");
        Check(!m_bStopsJoin || seq > m_nStoppedUpTo[thread].load(),
              "a frame sent after the stop that dropped it");
        std::lock_guard<std::mutex> lock(m_mtx);
        Check(m_sent.insert(id).second, "a frame sent twice");
        return 1;
    }

    std::atomic<bool> m_bClosed{false};
    // A restart gives up a worker inside a send, which may reach the sender only after a later
    // stop: stops end every send only when nothing restarts.
    bool m_bStopsJoin = true;
    // Per thread: the last record it added before its latest stop returned.
    std::atomic<uint32_t> m_nStoppedUpTo[2] = {0, 0};

private:
    std::mutex m_mtx;
    std::unordered_set<uint32_t> m_sent;
};

void RunOps(CCmdTaskManager& tasks, CRecorder& sent, int thread, const uint8_t* data, size_t size) {
    uint32_t seq = 0;
    for (size_t i = static_cast<size_t>(thread); i < size; i += 2) {
        uint8_t op = data[i];
        uint8_t code = static_cast<uint8_t>(1 + (op >> 4) % 3);
        switch (op & 7) {
            case 0:
            case 1:
            case 2: {
                uint32_t id = ++seq | (thread != 0 ? kThreadBit : 0u);
                CISPPacket task;
                const uint8_t frame[8] = {0xA5,
                                          9,
                                          0,
                                          code,
                                          static_cast<uint8_t>(id),
                                          static_cast<uint8_t>(id >> 8),
                                          static_cast<uint8_t>(id >> 16),
                                          static_cast<uint8_t>(id >> 24)};
                task.m_frame.Append(frame, sizeof frame);
                tasks.AddTask(task);
                break;
            }
            case 3:
                tasks.FinishTask(code);
                break;
            case 4:
                tasks.ClearTask();
                break;
            case 5:
                tasks.Restart();
                break;
            case 6:
                tasks.Stop();
                sent.m_nStoppedUpTo[thread].store(seq);
                break;
            default:
                tasks.Start();
                break;
        }
    }
}

}  // namespace

int FuzzQueue(const uint8_t* data, size_t size) {
    // Threads of the process before any manager of ours ran (the fuzzer's own among them). The
    // thread sanitizer's runtime starts a helper thread at the first thread created: warm it up.
    static const int baseline = [] {
        std::thread([] {}).join();
        return CountThreads();
    }();
    // Each restart starts a thread: a few hundred operations are plenty.
    if (size > 512) size = 512;
    {
        CRecorder sent;
        for (size_t i = 0; i < size; ++i)
            if ((data[i] & 7) == 5) sent.m_bStopsJoin = false;
        CCmdTaskManager tasks(&sent);
        tasks.Start();
        std::thread other(RunOps, std::ref(tasks), std::ref(sent), 1, data, size);
        RunOps(tasks, sent, 0, data, size);
        other.join();
        tasks.Stop();
        sent.m_bClosed.store(true);
        Check(tasks.GetQueueSize() == 0, "records left after the stop");
        Check(!tasks.IsWorkerRunning(), "a worker runs after the stop");
        // A worker given up in mid-send may still be on its way out (through the manager and the
        // sender, so they stay meanwhile); it must not stay.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (CountThreads() > baseline && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        Check(CountThreads() <= baseline, "a thread left behind");
    }
    return 0;
}
