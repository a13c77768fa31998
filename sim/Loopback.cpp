// The in-process serial line: the named lines, their two ends and the bytes between them.
#include "sim/Loopback.h"

#include <algorithm>
#include <map>

namespace sim {

namespace {

std::mutex g_registryMtx;
std::map<std::string, std::weak_ptr<CLoopback>> g_registry;

}  // namespace

std::shared_ptr<CLoopback> CLoopback::Create(const std::string& name) {
    std::string path = std::string(PREFIX) + name;
    std::lock_guard<std::mutex> lock(g_registryMtx);
    auto it = g_registry.find(path);
    if (it != g_registry.end() && !it->second.expired()) return nullptr;
    auto line = std::make_shared<CLoopback>(path);
    g_registry[path] = line;
    return line;
}

std::shared_ptr<CLoopback> CLoopback::Find(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_registryMtx);
    auto it = g_registry.find(path);
    return it == g_registry.end() ? nullptr : it->second.lock();
}

bool CLoopback::IsLoopbackPath(const std::string& path) {
    return path.compare(0, std::char_traits<char>::length(PREFIX), PREFIX) == 0;
}

CLoopback::~CLoopback() {
    std::lock_guard<std::mutex> lock(g_registryMtx);
    auto it = g_registry.find(m_strPath);
    if (it != g_registry.end() && it->second.expired()) g_registry.erase(it);
}

bool CLoopback::Claim(End e) {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (m_bClaimed[e] || m_bHungUp) return false;
    m_bClaimed[e] = true;
    m_bWoken[e] = false;
    return true;
}

void CLoopback::Release(End e) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_bClaimed[e] = false;
    m_bWoken[e] = false;
}

long CLoopback::Read(End e, uint8_t* buf, size_t size) {
    std::lock_guard<std::mutex> lock(m_mtx);
    std::deque<uint8_t>& q = m_toEnd[e];
    if (q.empty()) return m_bHungUp ? -1 : 0;
    size_t n = std::min(size, q.size());
    std::copy_n(q.begin(), n, buf);
    q.erase(q.begin(), q.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<long>(n);
}

long CLoopback::Write(End e, const uint8_t* data, size_t size) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        if (m_bHungUp) return -1;
        std::deque<uint8_t>& q = m_toEnd[e == HOST ? DEVICE : HOST];
        q.insert(q.end(), data, data + size);
    }
    m_cv.notify_all();
    return static_cast<long>(size);
}

size_t CLoopback::Pending(End e) const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_toEnd[e].size();
}

void CLoopback::Purge(End e) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_toEnd[e].clear();
}

CLoopback::WaitState CLoopback::Wait(End e, std::chrono::nanoseconds timeout, bool watchLine) {
    std::unique_lock<std::mutex> lock(m_mtx);
    auto state = [&] {
        WaitState s;
        s.readable = !m_toEnd[e].empty();
        s.hungUp = m_bHungUp;
        s.woken = m_bWoken[e];
        return s;
    };
    m_cv.wait_for(lock, timeout, [&] {
        WaitState s = state();
        return s.woken || (watchLine && (s.readable || s.hungUp));
    });
    return state();
}

void CLoopback::Wake(End e) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bWoken[e] = true;
    }
    m_cv.notify_all();
}

void CLoopback::ClearWake(End e) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_bWoken[e] = false;
}

void CLoopback::HangUp() {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bHungUp = true;
        m_toEnd[HOST].clear();
        m_toEnd[DEVICE].clear();
    }
    m_cv.notify_all();
}

bool CLoopback::IsHungUp() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_bHungUp;
}

}  // namespace sim
