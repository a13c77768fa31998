// Shared helpers for the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// A fresh temporary directory, removed with its contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }
    void Write(const std::string& name, const std::vector<uint8_t>& bytes) const;
    void Write(const std::string& name, const std::string& text) const;

private:
    std::string m_path;
};

std::vector<uint8_t> ReadFile(const std::string& path);
std::vector<uint8_t> Bytes(std::initializer_list<int> list);

}  // namespace testsupport
