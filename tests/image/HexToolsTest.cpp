// Intel HEX images written by real tools (GNU objcopy, srec_cat), read by CHEXFile and compared
// record by record, and as the memory its walk over the placed data fills, with an independent
// reading in python3-intelhex.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "image/HexFile.h"
#include "support/TestMain.h"

namespace {

bool Shell(const std::string& cmd) {
    return std::system(cmd.c_str()) == 0;
}

std::string ReadText(const std::string& path) {
    std::vector<uint8_t> bytes = testsupport::ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

std::string Hex(const uint8_t* data, size_t n) {
    const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) s += {digits[data[i] >> 4], digits[data[i] & 0xF]};
    return s;
}

// The loaded image as dump_hex.py prints it: its records, and the memory the walk over the placed
// data fills.
std::string Dump(const CHEXFile& hex) {
    std::string out, start;
    std::map<uint32_t, uint8_t> memory;
    char buf[64];
    for (size_t i = 0; i < hex.GetRecordCount(); ++i) {
        HEX_RECORD r = hex.GetRecord(i);
        const uint8_t* d = r.pData;
        uint32_t word = r.byLen >= 2 ? uint32_t(d[0] << 8 | d[1]) : 0;
        snprintf(buf, sizeof buf, "R %02x %04x %02x %02x ", r.byType, r.wAddr, r.byLen,
                 r.byChecksum);
        out += buf + Hex(d, r.byLen) + "\n";
        if ((r.byType == HEX_START_SEGMENT || r.byType == HEX_START_LINEAR) && r.byLen == 4) {
            snprintf(buf, sizeof buf, "S %s %x\n", r.byType == HEX_START_LINEAR ? "EIP" : "CS:IP",
                     word << 16 | uint32_t(d[2] << 8 | d[3]));
            start = buf;
        }
    }
    int placed = hex.WalkPlacedData([&](const HEX_PLACED& p) {
        for (uint32_t k = 0; k < p.byLen; ++k) memory[p.dwAddr + k] = p.pData[k];
        return true;
    });
    EXPECT_EQ(placed, 1);
    for (auto it = memory.begin(); it != memory.end();) {
        std::vector<uint8_t> run;
        uint32_t at = it->first;
        for (; it != memory.end() && it->first == at + run.size(); ++it) run.push_back(it->second);
        snprintf(buf, sizeof buf, "M %x ", at);
        out += buf + Hex(run.data(), run.size()) + "\n";
    }
    return out + start;
}

struct ToolCase {
    const char* name;
    const char* tool;
    const char* args;  // run in the directory holding lo.bin and hi.bin; writes out.hex
    size_t loSize, hiSize;
    unsigned longest;  // the longest data record the tool must have written, at least
};

class HexTools : public testing::TestWithParam<ToolCase> {};

TEST_P(HexTools, RecordsAndMemoryMatchIntelhex) {
    const ToolCase& c = GetParam();
    if (!Shell(std::string("command -v ") + c.tool + " >/dev/null"))
        GTEST_SKIP() << c.tool << " is not installed (scripts/deps.sh installs it)";
    if (!Shell("/usr/bin/python3 -c 'import intelhex' 2>/dev/null"))
        GTEST_SKIP() << "python3-intelhex is not installed (scripts/deps.sh installs it)";

    testsupport::TempDir dir;
    std::mt19937 rng(11);
    std::vector<uint8_t> lo(c.loSize), hi(c.hiSize);
    for (auto* v : {&lo, &hi})
        for (auto& b : *v) b = uint8_t(rng());
    dir.Write("lo.bin", lo);
    dir.Write("hi.bin", hi);
    std::string cmd = "cd " + dir.Path() + " && " + c.tool + " " + c.args;
    ASSERT_TRUE(Shell(cmd)) << cmd;
    ASSERT_TRUE(Shell("/usr/bin/python3 " KALVO_TEST_DATA "/hex/dump_hex.py " +
                      dir.File("out.hex") + " >" + dir.File("py.txt")));
    const std::string py = ReadText(dir.File("py.txt"));

    // As written, and with the other line end and the version tag.
    std::string text = ReadText(dir.File("out.hex")), other;
    bool crlf = text.find('\r') != std::string::npos;
    for (char ch : text)
        if (ch != '\r') other += ch == '\n' && !crlf ? "\r\n" : std::string(1, ch);
    dir.Write("other.hex", other + "0104");
    for (auto [file, version] : {std::pair{"out.hex", 0xA000}, {"other.hex", 0x0104}}) {
        SCOPED_TRACE(file);
        CHEXFile hex;
        ASSERT_TRUE(hex.m_file.Open(dir.File(file), plat::CFile::modeRead));
        EXPECT_EQ(hex.Load(), 1);
        EXPECT_EQ(hex.GetHexVer(), version);
        EXPECT_EQ(Dump(hex), py);

        size_t bytes = 0;
        unsigned longest = 0;
        for (size_t i = 0; i < hex.GetRecordCount(); ++i) {
            HEX_RECORD r = hex.GetRecord(i);
            bytes += r.byType == 0 ? r.byLen : 0;
            longest = std::max<unsigned>(longest, r.byType == 0 ? r.byLen : 0);
        }
        EXPECT_EQ(bytes, lo.size() + hi.size()) << "the tool wrote every input byte";
        EXPECT_GE(longest, c.longest);
    }
}

// The gap cases put the second file at 0x0802FFF0: its 64 bytes start two 64 KiB segments above
// the first file and cross into a third one, so the tools write two more type 04 records.
const ToolCase kToolCases[] = {
    {"objcopy", "arm-none-eabi-objcopy",
     "-I binary -O ihex --change-addresses 0x08000000 lo.bin out.hex", 1000, 0, 16},
    {"objcopy_gap", "arm-none-eabi-objcopy",
     "-I binary -O ihex --change-addresses 0x08000000 --add-section .hi=hi.bin "
     "--set-section-flags .hi=alloc,load,contents --change-section-address .hi=0x0802FFF0 lo.bin "
     "out.hex",
     300, 64, 16},
    {"srec_cat_block255", "srec_cat",
     "lo.bin -binary -offset 0x08000000 -o out.hex -intel -Output_Block_Size=255", 2000, 0, 255},
    {"srec_cat_gap", "srec_cat",
     "lo.bin -binary -offset 0x08000000 hi.bin -binary -offset 0x0802FFF0 -o out.hex -intel "
     "-Output_Block_Size=32",
     300, 64, 32},
};

INSTANTIATE_TEST_SUITE_P(Generated, HexTools, testing::ValuesIn(kToolCases),
                         [](const testing::TestParamInfo<ToolCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
