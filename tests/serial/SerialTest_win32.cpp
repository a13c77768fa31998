// The serial port on Windows: COM names, the port table and the adapter advice read from the
// registry (written here into wine's, or a test machine's, registry).
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "platform/Paths.h"
#include "platform/Ports.h"
#include "platform/SerialDevice.h"
#include "serial/PortDiagnosis.h"
#include "serial/PortTable.h"
#include "serial/Serial.h"

namespace {

TEST(SerialWin32, ComNamesAreOneDeviceAndMissingPortsSayNoSuchPort) {
    std::string a, b;
    int err = 0;
    ASSERT_TRUE(plat::CanonicalPath("com7", &a, &err));
    ASSERT_TRUE(plat::CanonicalPath("\\\\.\\COM7", &b, &err));
    EXPECT_EQ(a, "\\\\.\\COM7");
    EXPECT_EQ(a, b);
    CSerial port;
    EXPECT_EQ(port.OpenPath("COM48"), 0);
    EXPECT_EQ(port.GetLastError(), PortError::NoSuchPort);
}

// Values written into HKLM for one test, removed again.
class Registry : public ::testing::Test {
protected:
    void TearDown() override {
        for (auto& [key, value] : m_values) {
            HKEY k;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_SET_VALUE, &k) == 0) {
                RegDeleteValueW(k, value.c_str());
                RegCloseKey(k);
            }
        }
        for (auto& key : m_trees) RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    }
    bool Set(const std::wstring& key, const std::wstring& value, const std::wstring* text,
             DWORD number = 0) {
        HKEY k;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &k, nullptr) != 0)
            return false;
        LONG r = text ? RegSetValueExW(k, value.c_str(), 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(text->c_str()),
                                       DWORD((text->size() + 1) * sizeof(wchar_t)))
                      : RegSetValueExW(k, value.c_str(), 0, REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&number), sizeof number);
        RegCloseKey(k);
        m_values.emplace_back(key, value);
        return r == 0;
    }
    std::vector<std::pair<std::wstring, std::wstring>> m_values;
    std::vector<std::wstring> m_trees;
};

TEST_F(Registry, PortTableIsTheListedPortsInComNumberOrder) {
    const std::wstring key = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
    const std::wstring com12 = L"COM12", com3 = L"com3";
    ASSERT_TRUE(Set(key, L"\\Device\\KalvoTest12", &com12));
    ASSERT_TRUE(Set(key, L"\\Device\\KalvoTest3", &com3));
    std::vector<std::string> ports = plat::DiscoverSerialPorts();
    auto at = [&](const char* name) { return std::find(ports.begin(), ports.end(), name); };
    ASSERT_NE(at("COM3"), ports.end());
    ASSERT_NE(at("COM12"), ports.end());
    EXPECT_LT(at("COM3"), at("COM12"));
}

// One name per port: COM12 is COM12 in the table and in every text; a port wine maps onto a
// pseudo-terminal says so. The device manager's lists are asked too (wine's are short).
TEST_F(Registry, ComPortsKeepTheirOwnNumberAndName) {
    const std::wstring com12 = L"COM12", pty = L"/dev/pts/9";
    ASSERT_TRUE(Set(L"HARDWARE\\DEVICEMAP\\SERIALCOMM", L"\\Device\\KalvoTest12", &com12));
    ASSERT_TRUE(Set(L"Software\\Wine\\Ports", L"COM12", &pty));
    serialports::SetPortTable({});
    EXPECT_EQ(serialports::PortPath(12), "COM12");
    EXPECT_EQ(serialports::PortLabel("COM12"), "COM12");
    EXPECT_EQ(serialports::LabelLine("COM12", "COM12: port busy"), "COM12: port busy");
    bool listed = false;
    for (const plat::FoundPort& p : serialports::GetPortEntries()) {
        if (p.path != "COM12") continue;
        listed = true;
        EXPECT_EQ(serialports::KindText(p.info), "pseudo-terminal (wine: /dev/pts/9)");
    }
    EXPECT_TRUE(listed);

    serialports::SetPortTable({"com12", "\\\\.\\KalvoLoop"});
    EXPECT_EQ(serialports::PortNumberOf("com12"), 12);
    EXPECT_EQ(serialports::PortLabel("com12"), "COM12");
    EXPECT_EQ(serialports::PortLabel("\\\\.\\KalvoLoop"), "COM1 \\\\.\\KalvoLoop");
    EXPECT_EQ(serialports::PortPath(1), "\\\\.\\KalvoLoop");

    plat::PortFacts facts = plat::GatherPortFacts();
    for (const std::string& line : portdiag::Diagnose(facts)) EXPECT_FALSE(line.empty());
    serialports::SetPortTable({});
}

TEST_F(Registry, AdviceOnlyForAnFtdiAdapterWithASlowLatencyTimer) {
    const std::wstring dev = L"SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+KALVO";
    const std::wstring params = dev + L"\\0000\\Device Parameters", port = L"COM77";
    m_trees.push_back(dev);
    ASSERT_TRUE(Set(params, L"PortName", &port));
    ASSERT_TRUE(Set(params, L"LatencyTimer", nullptr, 16));
    std::string advice = plat::SerialAdapterAdvice("com77");
    EXPECT_NE(advice.find("COM77"), std::string::npos) << advice;
    EXPECT_NE(advice.find("16 ms"), std::string::npos) << advice;
    EXPECT_NE(advice.find("Latency Timer (msec) = 1"), std::string::npos) << advice;
    EXPECT_EQ(plat::SerialAdapterAdvice("COM78"), "");
    ASSERT_TRUE(Set(params, L"LatencyTimer", nullptr, 1));
    EXPECT_EQ(plat::SerialAdapterAdvice("COM77"), "");
}

}  // namespace
