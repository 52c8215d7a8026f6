#pragma once
// Test support: a fresh directory under the system's temporary folder, removed afterwards.
#include <filesystem>
#include <string>

namespace tarnwick::bundle::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace tarnwick::bundle::test
