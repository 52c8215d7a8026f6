#include "tarnwick/bundle/layout/paths.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/h5/journal.hpp"
#include "tarnwick/bundle/host/disk_space.hpp"

namespace tarnwick::bundle::layout {
namespace fs = std::filesystem;

std::string bundle_dir(const std::string& root) { return (fs::path(root) / "bundle").string(); }
std::string minbar_root(const std::string& root) { return (fs::path(root) / "bundle" / "h5").string(); }
std::string tick_root(const std::string& root) { return (fs::path(root) / "bundle" / "ticks").string(); }
std::string trading_dates_file(const std::string& root) {
    return (fs::path(root) / "bundle" / "trading_dates.npy").string();
}
std::string suspended_days_file(const std::string& root) {
    return (fs::path(root) / "bundle" / "suspended_days.h5").string();
}
std::string instruments_file(const std::string& root) {
    return (fs::path(root) / "bundle" / "instruments.pk").string();
}

std::string store_file_name(const std::string& order_book_id) { return order_book_id + ".h5"; }

std::string temporary_store_path(const std::string& h5_file) { return h5_file + ".tmp"; }

void make_directories(const std::string& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw OsError::from_errno(ec.value(), "cannot create directory \"" + dir + "\": " + ec.message());
}

void publish_new_store_file(const std::string& temporary, const std::string& h5_file) {
    // An undo journal of an earlier file of this name has nothing to undo in the new one.
    ::unlink(h5::journal_path(h5_file).c_str());
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, h5_file.c_str(), RENAME_NOREPLACE) == 0) return;
    int err = errno;
    if (err == EINVAL || err == ENOSYS) {
        // A file system without no-replace renames: a hard link refuses an existing name too.
        if (::link(temporary.c_str(), h5_file.c_str()) == 0) {
            ::unlink(temporary.c_str());
            return;
        }
        err = errno;
    }
    if (err == EEXIST)
        throw OsError(OsError::Kind::WouldBlock, EWOULDBLOCK,
                      "\"" + h5_file + "\" was created by another process at the same time");
    throw OsError::from_errno(err, "cannot rename \"" + temporary + "\" to \"" + h5_file + "\": " + std::strerror(err));
}

void discard_new_store_file(const std::string& temporary) noexcept { ::unlink(temporary.c_str()); }

void reserve_free_space(const std::string& h5_file, std::uint64_t bytes) {
    // Fault-injection runs switch the check off to reach the write errors behind it.
    if (const char* skip = std::getenv("TARNWICK_SKIP_SPACE_CHECK"); skip && *skip == '1') return;
    // Room for HDF5's metadata and the undo journal of the blocks an append rewrites.
    constexpr std::uint64_t METADATA = 64 << 10;
    const std::string dir = fs::path(h5_file).parent_path().string();
    host::require_free_space(dir.empty() ? "." : dir, host::blocks_for(bytes) + METADATA,
                             "updating \"" + h5_file + "\"");
}

void remove_h5(const std::string& h5_file) {
    // unlink() refuses directories (EISDIR/EPERM), which is what we want: only files go.
    if (::unlink(h5_file.c_str()) == 0 || errno == ENOENT) {
        // With the file goes what an interrupted update of it left to undo.
        ::unlink(h5::journal_path(h5_file).c_str());
        return;
    }
    const int err = errno;
    throw OsError::from_errno(err, "cannot remove \"" + h5_file + "\": " + std::strerror(err));
}

}  // namespace tarnwick::bundle::layout
