// What the device manager knows of the ports and of adapters that have no working driver, read
// through SetupAPI.
#include "platform/portinfo_win32.h"

#include "platform/Ports.h"
#include "platform/win32_util.h"

// After windows.h, which it needs.
#include <setupapi.h>

namespace plat {

namespace win {

namespace {

// The Ports (COM & LPT) device class.
const GUID PORTS_CLASS = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// DEVPKEY_Device_ProblemCode, spelt out: mingw declares it only with INITGUID.
const DEVPROPKEY PROBLEM_CODE = {
    {0x4340a6c5, 0x93fa, 0x4706, {0x97, 0x2c, 0x7b, 0x64, 0x80, 0x08, 0xa5, 0xa7}}, 3};

std::string Property(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD prop) {
    wchar_t buf[512];
    DWORD type = 0;
    if (!::SetupDiGetDeviceRegistryPropertyW(set, data, prop, &type, reinterpret_cast<BYTE*>(buf),
                                             sizeof buf - sizeof(wchar_t), nullptr) ||
        type != REG_SZ)
        return "";
    buf[511] = L'\0';
    return Narrow(buf);
}

std::string PortName(HDEVINFO set, SP_DEVINFO_DATA* data) {
    HKEY key = ::SetupDiOpenDevRegKey(set, data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return "";
    wchar_t buf[64];
    DWORD size = sizeof buf - sizeof(wchar_t), type = 0;
    std::string name;
    if (::RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ) {
        buf[size / sizeof(wchar_t)] = L'\0';
        name = Narrow(Upper(buf));
    }
    ::RegCloseKey(key);
    return name;
}

}  // namespace

std::vector<DeviceRecord> EnumerateDevices(bool portsOnly) {
    std::vector<DeviceRecord> out;
    HDEVINFO set = ::SetupDiGetClassDevsW(portsOnly ? &PORTS_CLASS : nullptr, nullptr, nullptr,
                                          DIGCF_PRESENT | (portsOnly ? 0 : DIGCF_ALLCLASSES));
    if (set == INVALID_HANDLE_VALUE) return out;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &data); ++i) {
        DeviceRecord d;
        wchar_t id[512];
        if (::SetupDiGetDeviceInstanceIdW(set, &data, id, 511, nullptr)) d.instanceId = Narrow(id);
        d.isPort = ::IsEqualGUID(data.ClassGuid, PORTS_CLASS) != 0;
        d.friendlyName = Property(set, &data, SPDRP_FRIENDLYNAME);
        if (d.friendlyName.empty()) d.friendlyName = Property(set, &data, SPDRP_DEVICEDESC);
        d.maker = Property(set, &data, SPDRP_MFG);
        d.service = Property(set, &data, SPDRP_SERVICE);
        if (d.isPort) d.portName = PortName(set, &data);
        DEVPROPTYPE type = 0;
        ULONG code = 0;
        if (::SetupDiGetDevicePropertyW(set, &data, &PROBLEM_CODE, &type,
                                        reinterpret_cast<BYTE*>(&code), sizeof code, nullptr, 0) &&
            type == DEVPROP_TYPE_UINT32)
            d.problem = code;
        out.push_back(std::move(d));
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return out;
}

}  // namespace win

// Only the devices a diagnosis can use: USB ones and the ports; a PC has hundreds of others.
PortFacts GatherPortFacts() {
    PortFacts facts;
    for (DeviceRecord& d : win::EnumerateDevices(false)) {
        std::string bus = d.instanceId.substr(0, d.instanceId.find('\\'));
        if (d.isPort || bus == "USB" || bus == "FTDIBUS") facts.devices.push_back(std::move(d));
    }
    return facts;
}

}  // namespace plat
