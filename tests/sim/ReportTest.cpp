#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "sim/Device.h"
#include "sim/Sha256.h"

namespace {

std::string Sha(const std::string& s) {
    return sim::Sha256Hex(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

TEST(Sha256, KnownVectors) {
    EXPECT_EQ(Sha(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // 55 and 56 bytes: the last lengths whose padding fits one block and the first that needs two.
    EXPECT_EQ(Sha(std::string(55, 'a')),
              "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
    EXPECT_EQ(Sha(std::string(56, 'a')),
              "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
}

TEST(Sha256, PiecewiseUpdateMatchesOneShotAndDigestDoesNotEndTheHash) {
    std::string million(1000000, 'a');
    sim::CSha256 h;
    size_t step = 1;
    for (size_t off = 0; off < million.size(); off += step, step = step % 97 + 1) {
        size_t n = std::min(step, million.size() - off);
        h.Update(reinterpret_cast<const uint8_t*>(million.data()) + off, n);
        if (off == 0) {
            EXPECT_EQ(h.HexDigest(), Sha("a"));
        }
    }
    EXPECT_EQ(h.HexDigest(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Accepts exactly the JSON grammar (no trailing commas, quoted keys, proper escapes).
class CJsonChecker {
public:
    explicit CJsonChecker(const std::string& s) : m_s(s) {}
    bool Valid() { return Value() && (Ws(), m_i == m_s.size()); }

private:
    void Ws() {
        while (m_i < m_s.size() && std::isspace(static_cast<unsigned char>(m_s[m_i]))) ++m_i;
    }
    bool Eat(char c) { return Ws(), m_i < m_s.size() && m_s[m_i] == c ? (++m_i, true) : false; }
    bool Literal(const char* w) {
        size_t n = std::char_traits<char>::length(w);
        return m_s.compare(m_i, n, w) == 0 ? (m_i += n, true) : false;
    }
    bool String() {
        if (!Eat('"')) return false;
        while (m_i < m_s.size() && m_s[m_i] != '"') {
            if (static_cast<unsigned char>(m_s[m_i]) < 0x20) return false;
            if (m_s[m_i] == '\\' && ++m_i < m_s.size() && m_s[m_i] == 'u') m_i += 4;
            ++m_i;
        }
        return m_i < m_s.size() && (++m_i, true);
    }
    bool Number() {
        size_t start = m_i;
        if (m_i < m_s.size() && m_s[m_i] == '-') ++m_i;
        while (m_i < m_s.size() && (std::isdigit(static_cast<unsigned char>(m_s[m_i])) ||
                                    m_s[m_i] == '.' || m_s[m_i] == 'e' || m_s[m_i] == '+')) {
            ++m_i;
        }
        return m_i > start;
    }
    template <typename F>
    bool List(char close, F item) {
        if (Eat(close)) return true;
        do {
            if (!item()) return false;
        } while (Eat(','));
        return Eat(close);
    }
    bool Value() {
        Ws();
        if (Eat('{')) return List('}', [&] { return (Ws(), String()) && Eat(':') && Value(); });
        if (Eat('[')) return List(']', [&] { return Value(); });
        if (m_i < m_s.size() && m_s[m_i] == '"') return String();
        return Literal("true") || Literal("false") || Literal("null") || Number();
    }

    const std::string& m_s;
    size_t m_i = 0;
};

TEST(Report, JsonIsWellFormedAndCarriesTheFigures) {
    sim::Report r;
    r.baud = 256000;
    r.commands = {0x45, 0x1C};
    r.edog = {4097, Sha("x"), 2, true, true, 0};
    r.radar = {2048, Sha(""), 2, true, true, 2048};
    r.firmware = {{0x08000000, 16, Sha("y")}, {0x08001000, 4, Sha("z")}};
    r.violations = {"quote \" backslash \\ and\ttab", "second"};
    for (int i = 1; i <= 100; ++i) r.turnaroundMicros.push_back(i);
    std::string json = r.ToJson();
    EXPECT_TRUE(CJsonChecker(json).Valid()) << json;
    EXPECT_NE(json.find("\"commands\": [69, 28]"), std::string::npos) << json;
    EXPECT_NE(json.find("\"address\": 134221824"), std::string::npos) << json;
    EXPECT_NE(json.find("\"announced\": 2048"), std::string::npos) << json;
    EXPECT_NE(json.find("\"count\": 100, \"medianMicros\": 50.5, \"p99Micros\": 99.0"),
              std::string::npos)
        << json;

    EXPECT_TRUE(CJsonChecker(sim::Report{}.ToJson()).Valid());
    EXPECT_FALSE(CJsonChecker("{\"a\": [1, 2,]}").Valid());
}

}  // namespace
