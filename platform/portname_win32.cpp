// Port names on Windows: COMn in capitals, without the colon of the DOS device name.
#include "platform/PortName.h"
#include "platform/win32_util.h"

namespace plat {

std::string CanonicalPortName(const std::string& name) {
    std::wstring w = win::Wide(name);
    if (!w.empty() && w.back() == L':') w.pop_back();
    if (win::ComNumber(w) == 0) return name;
    return win::Narrow(win::Upper(w));
}

}  // namespace plat
