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
#include <memory>
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
    // A port not open within this long (a Bluetooth port connecting) is left to open on its own
    // while the others are probed; the next pass takes it over.
    static constexpr uint32_t OPEN_BOUND_MS = 400;

    CPortSearch();
    ~CPortSearch() override;

    // Starts (or restarts) the search; results go to context through the controller's callback.
    // With listPorts, the first pass also lists the ports that open in g_pComPortList.
    void Start(void* context, PortFailed onFailed, PassDone onPass = {}, bool listPorts = false);
    // Returns with no callback running and none to come, even if the thread has to be given up.
    void Stop();
    bool IsSearching() const { return m_pState->bSearching.load(); }
    // The reasons of the ports that could not be opened, one line each.
    std::string FailedPorts() const;

    uint32_t Run() override;

private:
    // What the search thread uses, shared with it: a thread given up on a stop touches only this
    // and the controller.
    struct CState {
        std::atomic<bool> bSearching{false};
        mutable std::mutex mtx;
        std::map<std::string, std::string> failed;  // path: the reason last reported
        std::set<std::string> silent;               // opened and probed, no answer
        int nPass = 0;
        plat::CEvent evWake;
    };
    // One run from Start to Stop: its callbacks run under mtx while live, so Stop ends them.
    struct CRun {
        std::mutex mtx;
        bool live = true;
        void* context = nullptr;
        PortFailed onFailed;
        PassDone onPass;
        bool listPorts = false;
    };
    // One pass over the table; true when a device answered.
    static bool Pass(CState& st, CRun& run);
    // One line per port of the table that was tried: its COM number, and why it is not in use.
    static std::string Summary(const CState& st, const std::vector<std::string>& table);

    const std::shared_ptr<CState> m_pState;
    std::shared_ptr<CRun> m_pRun;
};
