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
#include "tarnwick/bundle/fs/env.hpp"
#include "tarnwick/bundle/h5/journal.hpp"
#include "tarnwick/bundle/host/disk_space.hpp"

namespace tarnwick::bundle::layout {
namespace fs = std::filesystem;
namespace seam = tarnwick::bundle::fs;

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

void require_bundle_dir(const std::string& root) {
    std::error_code ec;
    if (!fs::is_directory(bundle_dir(root), ec))
        throw OsError::from_errno(
            ENOENT, fmt::format("no bundle folder \"{}\": give the folder that holds \"bundle\"", bundle_dir(root)));
}

std::string store_file_name(const std::string& order_book_id) { return order_book_id + ".h5"; }

std::string temporary_store_path(const std::string& h5_file) { return h5_file + ".tmp"; }

void make_directories(const std::string& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw OsError::from_errno(ec.value(), "cannot create directory \"" + dir + "\": " + ec.message());
}

void publish_new_store_file(const std::string& temporary, const std::string& h5_file) {
    // The caller holds the temporary file's lock and has committed it (synced): the file is whole
    // on disk before its name says it exists.
    if (const int err = seam::env().rename(temporary, h5_file, /*replace=*/false)) {
        if (err == EEXIST)
            throw OsError(OsError::Kind::WouldBlock, EWOULDBLOCK,
                          "\"" + h5_file + "\" was created by another process at the same time");
        throw OsError::from_errno(err,
                                  "cannot rename \"" + temporary + "\" to \"" + h5_file + "\": " + std::strerror(err));
    }
    // Only now, holding the published file: a journal beside it belonged to an earlier file of
    // this name (no file had the name an instant ago) and has nothing to undo in this one.
    if (const int err = seam::env().unlink(h5::journal_path(h5_file)); err && err != ENOENT)
        throw OsError::from_errno(err,
                                  "cannot remove the stale journal beside \"" + h5_file + "\": " + std::strerror(err));
    if (const int err = seam::sync_parent_dir(h5_file))
        throw OsError::from_errno(err, "cannot sync the folder of \"" + h5_file + "\": " + std::strerror(err));
}

HeldStoreFile::HeldStoreFile(const std::string& h5_file) {
    const auto fail = [&](int err, const std::string& why) {
        throw OsError::from_errno(err, "cannot rebuild \"" + h5_file + "\": " + why);
    };
    try {
        fd_ = h5::hold_for_writing(h5_file).release();
    } catch (const OsError& e) {
        if (e.error_number() == ENOENT) return;
        fail(e.error_number(), e.kind() == OsError::Kind::WouldBlock ? "it is held by another process" : e.what());
    }
}

HeldStoreFile::~HeldStoreFile() {
    if (fd_ >= 0) seam::env().close(fd_);
}

void replace_store_file(const std::string& temporary, const std::string& h5_file) {
    if (const int err = seam::env().rename(temporary, h5_file, /*replace=*/true))
        throw OsError::from_errno(err,
                                  "cannot rename \"" + temporary + "\" to \"" + h5_file + "\": " + std::strerror(err));
    // The old file's journal, if it left one, has nothing to undo in the new file.
    if (const int err = seam::env().unlink(h5::journal_path(h5_file)); err && err != ENOENT)
        throw OsError::from_errno(err,
                                  "cannot remove the stale journal beside \"" + h5_file + "\": " + std::strerror(err));
    if (const int err = seam::sync_parent_dir(h5_file))
        throw OsError::from_errno(err, "cannot sync the folder of \"" + h5_file + "\": " + std::strerror(err));
}

void discard_new_store_file(const std::string& temporary) noexcept { seam::env().unlink(temporary); }

void discard_failed_new_store_file(const std::string& temporary) noexcept {
    // Deleted under its write lock, as a writer takes it: never the file of a run that holds it.
    seam::Descriptor held;
    if (seam::Descriptor::open(temporary, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0, held) != 0) return;
    if (seam::env().lock(held.get(), seam::Lock::Exclusive) != 0) return;
    seam::env().unlink(temporary);
    seam::env().unlink(h5::journal_path(temporary));
}

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
    const auto fail = [&](int err, const std::string& why) {
        throw OsError::from_errno(err, "cannot remove \"" + h5_file + "\": " + why);
    };
    // Taken as a writer takes it: a file an update holds is refused (would block), never
    // deleted under it; a reader that has it open goes on reading what it opened. The name is
    // confirmed to still name the file held, so that a file put in its place is not removed
    // unheld.
    seam::Descriptor held;
    try {
        held = h5::hold_for_writing(h5_file);
    } catch (const OsError& e) {
        if (e.error_number() == EWOULDBLOCK) fail(EWOULDBLOCK, "it is held by another process");
        if (e.error_number() != ENOENT && e.error_number() != EACCES) throw;
    }
    // unlink() refuses directories (EISDIR/EPERM), which is what we want: only files go.
    if (const int err = seam::env().unlink(h5_file); err && err != ENOENT) fail(err, std::strerror(err));
    // With the file goes what an interrupted update of it left to undo.
    if (const int err = seam::env().unlink(h5::journal_path(h5_file)); err && err != ENOENT)
        fail(err, "its journal stays: " + std::string(std::strerror(err)));
    if (const int err = seam::sync_parent_dir(h5_file)) fail(err, std::strerror(err));
}

}  // namespace tarnwick::bundle::layout
