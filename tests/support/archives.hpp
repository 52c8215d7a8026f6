#pragma once
// Test support for archive tests: tar archives written and read by Python's tarfile
// (support/craft_archive.py), so that our libarchive code is checked against another
// implementation rather than against itself, and snapshots of folder trees.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tarnwick::bundle::test {

struct TarMember {
    std::string kind;  // "file", "dir", "symlink", "hardlink" ("other" when listed)
    std::string name;
    std::string data;  // the content of a file, the target of a link
    bool operator==(const TarMember&) const = default;
};

// Writes `members`, in this order and with exactly these names, with tarfile's `mode`
// ("w:bz2", or "w" for an uncompressed tar). Throws std::runtime_error when Python fails.
void write_tar_with_python(const std::filesystem::path& out, const std::vector<TarMember>& members,
                           const std::string& mode = "w:bz2");
// The members of `archive` as tarfile reads them, in archive order.
std::vector<TarMember> list_tar_with_python(const std::filesystem::path& archive);

// Everything below `dir`, links not followed: relative path -> "file:<content>", "dir" or
// "symlink:<target>".
std::map<std::string, std::string> read_tree(const std::filesystem::path& dir);

void write_file(const std::filesystem::path& file, const std::string& content);  // creates folders
std::string read_file(const std::filesystem::path& file);

}  // namespace tarnwick::bundle::test
