// Ports the program serves itself, opened by name like the system's own: openers that the serial
// device layer asks before the system. Windows only consults them, its handles naming port
// objects; POSIX handles are descriptors, and the simulated device serves a pseudo-terminal there.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/SerialDevice.h"

namespace plat {

// One open port served in-process; it is closed when the last reference goes.
class IProvidedPort {
public:
    virtual ~IProvidedPort() = default;
    // False for a rate the port cannot take.
    virtual bool Configure(uint32_t baud) = 0;
    virtual uint32_t GetBaud() = 0;
    virtual void Purge() = 0;
    virtual SerialWaitState WaitRead(std::chrono::nanoseconds timeout) = 0;
    virtual SerialWaitState WaitWrite(std::chrono::nanoseconds timeout) = 0;
    // Bytes moved (0: none now), -1 once the line is gone.
    virtual long Read(uint8_t* buf, size_t size) = 0;
    virtual long Write(const uint8_t* data, size_t size) = 0;
    // Ends the waits in progress and every later one, as SerialWakeWaiters.
    virtual void Wake() = 0;
};

enum class PortOpen { NotMine, Opened, NoSuchPort, Busy };
// Looks at a port path: NotMine leaves it to the other openers and the system; Opened sets *port.
using PortOpener =
    std::function<PortOpen(const std::string& path, std::shared_ptr<IProvidedPort>* port)>;

// Sets the opener under key, replacing the one there; an empty opener removes it.
void SetPortOpener(const std::string& key, PortOpener opener);
// Asks the openers in turn; NotMine when none takes the path.
PortOpen OpenProvidedPort(const std::string& path, std::shared_ptr<IProvidedPort>* port);

}  // namespace plat
