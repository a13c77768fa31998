// Intel HEX images written by real tools (GNU objcopy, srec_cat), read by CHEXFile and compared
// record by record, and as a memory image, with an independent reading in python3-intelhex.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "image/HexFile.h"
#include "support/TestMain.h"

namespace {

using Data = std::vector<uint8_t>;
const char* const kPython = "/usr/bin/python3";

std::string FindTool(const std::string& name) {
    const char* env = std::getenv("PATH");
    std::string path = env != nullptr ? env : "/usr/bin:/bin";
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string full = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(full.c_str(), X_OK) == 0) return full;
    }
    return "";
}

bool Shell(const std::string& cmd) {
    return std::system(cmd.c_str()) == 0;
}

bool HaveIntelhex() {
    return ::access(kPython, X_OK) == 0 &&
           Shell(std::string(kPython) + " -c 'import intelhex' >/dev/null 2>&1");
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Data FromHex(const std::string& s) {
    Data d;
    if (s == "-") return d;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        d.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    return d;
}

struct Rec {
    unsigned type, addr, len, checksum;
    Data data;
    bool operator==(const Rec&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Rec& r) {
    return os << "type " << r.type << " addr " << std::hex << r.addr << std::dec << " len "
              << r.len;
}

struct Reading {
    std::vector<Rec> records;
    std::map<uint32_t, uint8_t> memory;
    std::string start;  // "EIP <hex>" or "CS:IP <hex>" or empty
};

Reading ReadWithPython(const std::string& hexPath, const std::string& outPath) {
    Reading r;
    std::string cmd =
        std::string(kPython) + " " KALVO_TEST_DATA "/hex/dump_hex.py " + hexPath + " >" + outPath;
    EXPECT_TRUE(Shell(cmd)) << cmd;
    std::stringstream in(ReadText(outPath));
    std::string kind;
    while (in >> kind) {
        if (kind == "R") {
            std::string t, a, l, c, d;
            in >> t >> a >> l >> c >> d;
            r.records.push_back({static_cast<unsigned>(std::stoul(t, nullptr, 16)),
                                 static_cast<unsigned>(std::stoul(a, nullptr, 16)),
                                 static_cast<unsigned>(std::stoul(l, nullptr, 16)),
                                 static_cast<unsigned>(std::stoul(c, nullptr, 16)), FromHex(d)});
        } else if (kind == "M") {
            std::string a, d;
            in >> a >> d;
            uint32_t at = static_cast<uint32_t>(std::stoul(a, nullptr, 16));
            for (uint8_t b : FromHex(d)) r.memory[at++] = b;
        } else if (kind == "S") {
            std::string k, v;
            in >> k >> v;
            r.start = k + " " + v;
        }
    }
    return r;
}

// The memory image and start address that the loaded records describe.
Reading FromLoaded(const CHEXFile& hex) {
    Reading r;
    uint32_t base = 0;
    for (size_t i = 0; i < hex.GetRecordCount(); ++i) {
        HEX_RECORD h = hex.GetRecord(i);
        Data d(h.pData, h.pData + h.byLen);
        r.records.push_back({h.byType, h.wAddr, h.byLen, h.byChecksum, d});
        uint32_t word = d.size() >= 2 ? (uint32_t{d[0]} << 8 | d[1]) : 0;
        std::stringstream s;
        switch (h.byType) {
            case 0:
                for (size_t k = 0; k < d.size(); ++k)
                    r.memory[base + h.wAddr + static_cast<uint32_t>(k)] = d[k];
                break;
            case 2:
                base = word << 4;
                break;
            case 4:
                base = word << 16;
                break;
            case 3:
            case 5:
                if (d.size() == 4) {
                    s << (h.byType == 5 ? "EIP " : "CS:IP ") << std::hex
                      << (word << 16 | uint32_t{d[2]} << 8 | d[3]);
                    r.start = s.str();
                }
                break;
        }
    }
    return r;
}

std::unique_ptr<CHEXFile> Load(const std::string& path, int& result) {
    auto hex = std::make_unique<CHEXFile>();
    EXPECT_TRUE(hex->m_file.Open(path, plat::CFile::modeRead)) << path;
    result = hex->Load();
    return hex;
}

Data RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Data d(n);
    for (auto& b : d) b = static_cast<uint8_t>(rng());
    return d;
}

struct ToolCase {
    const char* name;
    const char* tool;  // "arm-none-eabi-objcopy" or "srec_cat"
    // Arguments after the tool; {lo} and {hi} are replaced by the input files, {out} by the image.
    const char* args;
    size_t loSize, hiSize;
    unsigned minRecordLen;  // the longest data record the tool must have written, at least
};

std::string Expand(std::string s, const testsupport::TempDir& dir) {
    for (auto [key, file] :
         {std::pair{"{lo}", "lo.bin"}, {"{hi}", "hi.bin"}, {"{out}", "out.hex"}}) {
        for (size_t at; (at = s.find(key)) != std::string::npos;)
            s.replace(at, std::strlen(key), dir.File(file));
    }
    return s;
}

class HexTools : public testing::TestWithParam<ToolCase> {};

TEST_P(HexTools, RecordsAndMemoryMatchIntelhex) {
    const ToolCase& c = GetParam();
    std::string tool = FindTool(c.tool);
    if (tool.empty()) GTEST_SKIP() << c.tool << " is not installed (scripts/deps.sh installs it)";
    if (!HaveIntelhex())
        GTEST_SKIP() << "python3-intelhex is not installed (scripts/deps.sh installs it)";

    testsupport::TempDir dir;
    dir.Write("lo.bin", RandomBytes(c.loSize, 11));
    dir.Write("hi.bin", RandomBytes(c.hiSize, 12));
    std::string cmd = tool + " " + Expand(c.args, dir) + " 2>" + dir.File("tool.err");
    ASSERT_TRUE(Shell(cmd)) << cmd << "\n" << ReadText(dir.File("tool.err"));

    Reading py = ReadWithPython(dir.File("out.hex"), dir.File("py.txt"));
    ASSERT_FALSE(py.records.empty());
    ASSERT_EQ(py.memory.size(), c.loSize + c.hiSize) << "the tool wrote every input byte";

    // As written (objcopy ends lines in CR LF, srec_cat in LF), with either line end, and with
    // the version tag appended.
    std::string lf, crlf;
    for (char ch : ReadText(dir.File("out.hex"))) {
        if (ch == '\r') continue;
        lf += ch;
        crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    }
    dir.Write("lf.hex", lf);
    dir.Write("crlf.hex", crlf);
    dir.Write("lf_tag.hex", lf + "0104");
    dir.Write("crlf_tag.hex", crlf + "0104\r\n");
    struct Variant {
        const char* file;
        uint16_t version;
    } variants[] = {{"out.hex", 0xA000},
                    {"lf.hex", 0xA000},
                    {"crlf.hex", 0xA000},
                    {"lf_tag.hex", 0x0104},
                    {"crlf_tag.hex", 0x0104}};
    for (const auto& v : variants) {
        SCOPED_TRACE(v.file);
        int result = -1;
        auto hex = Load(dir.File(v.file), result);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(hex->GetHexVer(), v.version);
        Reading ours = FromLoaded(*hex);
        ASSERT_EQ(ours.records.size(), py.records.size());
        for (size_t i = 0; i < py.records.size(); ++i)
            EXPECT_EQ(ours.records[i], py.records[i]) << "record " << i;
        EXPECT_TRUE(ours.memory == py.memory) << "memory images differ";
        EXPECT_EQ(ours.start, py.start);

        size_t ext = 0, data = 0;
        unsigned longest = 0;
        for (const Rec& r : py.records) {
            ext += r.type == 4;
            data += r.type == 0;
            if (r.type == 0 && r.len > longest) longest = r.len;
        }
        EXPECT_EQ(hex->m_wExtCount, ext);
        EXPECT_EQ(hex->GetDataRecordCount(), data);
        EXPECT_GE(longest, c.minRecordLen);
        EXPECT_EQ(py.records.back().type, 1u);
    }
}

// The gap cases put the second file at 0x0802FFF0: its 64 bytes start two 64 KiB segments above
// the first file and cross into a third one, so the tools write two more type 04 records.
const ToolCase kToolCases[] = {
    {"objcopy", "arm-none-eabi-objcopy",
     "-I binary -O ihex --change-addresses 0x08000000 {lo} {out}", 1000, 0, 16},
    {"objcopy_gap", "arm-none-eabi-objcopy",
     "-I binary -O ihex --change-addresses 0x08000000 --add-section .hi={hi} "
     "--set-section-flags .hi=alloc,load,contents --change-section-address .hi=0x0802FFF0 {lo} "
     "{out}",
     300, 64, 16},
    {"srec_cat_line44", "srec_cat",
     "{lo} -binary -offset 0x08000000 -o {out} -intel -line-length=44", 1000, 0, 16},
    {"srec_cat_block16", "srec_cat",
     "{lo} -binary -offset 0x08000000 -o {out} -intel -Output_Block_Size=16", 700, 0, 16},
    {"srec_cat_block32", "srec_cat",
     "{lo} -binary -offset 0x08000000 -o {out} -intel -Output_Block_Size=32", 700, 0, 32},
    {"srec_cat_block255", "srec_cat",
     "{lo} -binary -offset 0x08000000 -o {out} -intel -Output_Block_Size=255", 2000, 0, 255},
    {"srec_cat_gap", "srec_cat",
     "{lo} -binary -offset 0x08000000 {hi} -binary -offset 0x0802FFF0 -o {out} -intel "
     "-Output_Block_Size=32",
     300, 64, 32},
};

INSTANTIATE_TEST_SUITE_P(Generated, HexTools, testing::ValuesIn(kToolCases),
                         [](const testing::TestParamInfo<ToolCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
