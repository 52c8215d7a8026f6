#pragma once
// Test support for write-error tests: a small tmpfs or a bind mount for one test (root only), and
// a per-process file size limit that makes writes fail with EFBIG (any user).
#include <cstdint>
#include <filesystem>
#include <string>

#include <sys/resource.h>

namespace tarnwick::bundle::test {

// Mounts a tmpfs at `where` (created when missing) with the given mount options, e.g.
// "size=2m" or "size=8m,nr_inodes=12"; unmounted (lazily) in the destructor. `mounted()` is false
// when not running as root or when the mount fails; tests then skip.
class Tmpfs {
public:
    Tmpfs(const std::filesystem::path& where, const std::string& options);
    ~Tmpfs();
    Tmpfs(const Tmpfs&) = delete;
    Tmpfs& operator=(const Tmpfs&) = delete;
    bool mounted() const { return mounted_; }
    const std::string& why_not() const { return why_not_; }
    const std::filesystem::path& path() const { return path_; }
    // Changes the options of the mounted file system (its files stay). Throws on failure.
    void remount(const std::string& options);

private:
    std::filesystem::path path_;
    bool mounted_ = false;
    std::string why_not_;
};

// Bind-mounts the folder `from` at the existing folder `at` (read-only when asked), unmounted in
// the destructor: the same file system seen through a second mount, where rename fails with
// EXDEV although both sides report the same device. Root only, like Tmpfs.
class BindMount {
public:
    BindMount(const std::filesystem::path& from, const std::filesystem::path& at, bool read_only);
    ~BindMount();
    BindMount(const BindMount&) = delete;
    BindMount& operator=(const BindMount&) = delete;
    bool mounted() const { return mounted_; }
    const std::string& why_not() const { return why_not_; }

private:
    std::filesystem::path at_;
    bool mounted_ = false;
    std::string why_not_;
};

// While it lives, no file of this process may grow past `bytes`: a write beyond fails with EFBIG
// ("File too large") instead of raising SIGXFSZ.
class ScopedFileSizeLimit {
public:
    explicit ScopedFileSizeLimit(rlim_t bytes);
    ~ScopedFileSizeLimit();
    ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
    ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

private:
    struct rlimit previous_ {};
    void (*previous_handler_)(int) = nullptr;
};

// Inodes in use on the file system of `dir`.
std::uintmax_t used_inodes(const std::filesystem::path& dir);

}  // namespace tarnwick::bundle::test
