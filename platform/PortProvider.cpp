// The openers of the ports the program serves itself, asked by the serial device layer.
#include "platform/PortProvider.h"

#include <map>
#include <mutex>
#include <vector>

namespace plat {

namespace {

// Never destroyed: a slow open given up on may still ask after the program's statics are gone.
struct COpeners {
    std::mutex mtx;
    std::map<std::string, PortOpener> byKey;
};
COpeners& Openers() {
    static auto* openers = new COpeners;
    return *openers;
}

}  // namespace

void SetPortOpener(const std::string& key, PortOpener opener) {
    COpeners& o = Openers();
    std::lock_guard<std::mutex> lock(o.mtx);
    if (opener)
        o.byKey[key] = std::move(opener);
    else
        o.byKey.erase(key);
}

PortOpen OpenProvidedPort(const std::string& path, std::shared_ptr<IProvidedPort>* port) {
    std::vector<PortOpener> openers;
    {
        COpeners& o = Openers();
        std::lock_guard<std::mutex> lock(o.mtx);
        for (const auto& [key, opener] : o.byKey) openers.push_back(opener);
    }
    // Asked without the lock: an opener may take its own locks, or set openers itself.
    for (const PortOpener& opener : openers) {
        PortOpen r = opener(path, port);
        if (r != PortOpen::NotMine) return r;
    }
    return PortOpen::NotMine;
}

}  // namespace plat
