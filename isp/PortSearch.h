// The search for the device at start-up and after a hang-up: each port of the port table in turn
// gets the probe and a short wait for its answer; the first port that answers stays open, the
// others are closed again. While no device has answered, the table is looked up again every
// SEARCH_PERIOD_MS and the ports not probed yet are tried, so a device plugged in after start is
// found without a restart.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/AutoThread.h"
#include "platform/Event.h"

class CPortSearch : public CAutoThread {
public:
    // Told once per port and reason when a port cannot be opened (busy, permission, gone).
    using PortFailed = std::function<void(const std::string& reason)>;
    // After each pass that found no device: every port tried so far with what became of it.
    using PassDone = std::function<void(const std::string& summary)>;

    static constexpr uint32_t SEARCH_PERIOD_MS = 2000;
    // A port that stayed silent is probed again every this many passes: the cable may stay
    // plugged in while the device gets its power later.
    static constexpr int SILENT_RETRY_PASSES = 5;

    CPortSearch();
    ~CPortSearch() override;

    // Starts (or restarts) the search; results go to context through the controller's callback.
    void Start(void* context, PortFailed onFailed, PassDone onPass = {});
    void Stop();
    bool IsSearching() const { return m_bSearching.load(); }
    // The reasons of the ports that could not be opened, one line each.
    std::string FailedPorts() const;

    uint32_t Run() override;

private:
    // One pass over the table; true when a device answered.
    bool Pass();
    // One line per port of the table that was tried: its COM number, and why it is not in use.
    std::string Summary(const std::vector<std::string>& table) const;

    plat::CEvent m_evWake;
    void* m_pContext = nullptr;
    PortFailed m_onFailed;
    PassDone m_onPass;
    std::atomic<bool> m_bSearching{false};
    mutable std::mutex m_mtx;
    std::map<std::string, std::string> m_failed;  // path: the reason last reported
    std::set<std::string> m_silent;               // opened and probed, no answer
    int m_nPass = 0;
};
