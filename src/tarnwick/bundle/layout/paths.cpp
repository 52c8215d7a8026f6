#include "tarnwick/bundle/layout/paths.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <unistd.h>

#include "tarnwick/bundle/errors.hpp"

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

void remove_h5(const std::string& h5_file) {
    // unlink() refuses directories (EISDIR/EPERM), which is what we want: only files go.
    if (::unlink(h5_file.c_str()) == 0 || errno == ENOENT) return;
    const int err = errno;
    throw OsError::from_errno(err, "cannot remove \"" + h5_file + "\": " + std::strerror(err));
}

}  // namespace tarnwick::bundle::layout
