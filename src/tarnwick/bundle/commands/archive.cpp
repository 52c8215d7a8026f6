#include "tarnwick/bundle/commands/archive.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "tarnwick/bundle/commands/install_tree.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/fs/env.hpp"
#include "tarnwick/bundle/host/disk_space.hpp"
#include "tarnwick/bundle/layout/paths.hpp"

namespace tarnwick::bundle::commands {
namespace {
namespace fs = std::filesystem;
namespace seam = tarnwick::bundle::fs;
using seam::throw_errno;

constexpr std::size_t BLOCK_SIZE = 64 * 1024;
// Appended to every failure of the unpacking: the user's first question is what it did to the bundle.
constexpr const char* UNCHANGED = "; the bundle was left as it was";

using ReadHandle = std::unique_ptr<archive, decltype(&archive_read_free)>;
using WriteHandle = std::unique_ptr<archive, decltype(&archive_write_free)>;
using EntryHandle = std::unique_ptr<archive_entry, decltype(&archive_entry_free)>;

// libarchive reports its own complaints (bad format, refused paths) with errno 0, -1, EILSEQ
// or EINVAL; anything else is a real system error from a file operation.
bool is_system_error(int err) { return err > 0 && err != EILSEQ && err != EINVAL; }

[[noreturn]] void throw_archive_error(archive* a, const std::string& what) {
    const int err = archive_errno(a);
    const char* text = archive_error_string(a);
    std::string message = fmt::format("{}: {}", what, text ? text : "unknown libarchive error");
    // libarchive's own text ("Write failed") does not say why; the system's does.
    if (is_system_error(err)) {
        const std::string reason = std::strerror(err);
        if (message.find(reason) == std::string::npos) message += ": " + reason;
        throw OsError::from_errno(err, message);
    }
    throw ValueError(message);
}

// The member path as plain components below the folder ("./a//b" is "a/b"; "." alone is the
// folder itself and gives an empty path), or nullopt when it is empty, absolute or climbs with "..".
std::optional<fs::path> contained_path(std::string_view name) {
    if (name.empty() || name.front() == '/') return std::nullopt;
    fs::path result;
    while (!name.empty()) {
        const auto slash = name.find('/');
        const std::string_view part = name.substr(0, slash);
        name = slash == std::string_view::npos ? std::string_view() : name.substr(slash + 1);
        if (part == "..") return std::nullopt;
        if (part.empty() || part == ".") continue;
        result /= fs::path(std::string(part));
    }
    return result;
}

// Without ".." and without a leading "/", a link can only lead below its own folder.
bool link_target_is_contained(const char* target) {
    return target != nullptr && *target != '\0' && contained_path(target).has_value();
}

class MemberRefused {
public:
    MemberRefused(const std::string& archive_path, const std::string& dest) : archive_(archive_path), dest_(dest) {}
    [[noreturn]] void operator()(const std::string& member, const std::string& why) const {
        throw ValueError(fmt::format("refusing to unpack {} into {}: member \"{}\" {}; nothing of it was written",
                                     archive_, dest_, member, why));
    }

private:
    const std::string& archive_;
    const std::string& dest_;
};

void copy_member_data(archive* in, archive* out, const std::string& member, const std::string& archive_path,
                      la_int64_t declared) {
    for (;;) {
        const void* block = nullptr;
        std::size_t size = 0;
        la_int64_t offset = 0;
        const int status = archive_read_data_block(in, &block, &size, &offset);
        if (status == ARCHIVE_EOF) return;
        if (status != ARCHIVE_OK)
            throw_archive_error(in, fmt::format("cannot read member \"{}\" of {}", member, archive_path));
        if (offset < 0 || offset > declared || static_cast<la_int64_t>(size) > declared - offset)
            throw ValueError(fmt::format("member \"{}\" of {} holds more data than the {} bytes its header declares",
                                         member, archive_path, declared));
        if (archive_write_data_block(out, block, size, offset) != ARCHIVE_OK)
            throw_archive_error(out, fmt::format("cannot write member \"{}\" of {}", member, archive_path));
    }
}

// Removes the temporary archive unless the packing got as far as renaming it.
class RemoveOnFailure {
public:
    explicit RemoveOnFailure(fs::path path) : path_(std::move(path)) {}
    ~RemoveOnFailure() {
        if (armed_) {
            std::error_code ignored;
            fs::remove(path_, ignored);
        }
    }
    RemoveOnFailure(const RemoveOnFailure&) = delete;
    RemoveOnFailure& operator=(const RemoveOnFailure&) = delete;
    void dismiss() { armed_ = false; }

private:
    fs::path path_;
    bool armed_ = true;
};

void write_file_data(archive* out, const fs::path& file, const std::string& member, std::int64_t expected) {
    seam::Descriptor fd;
    if (const int err = seam::Descriptor::open(file, O_RDONLY, 0, fd))
        throw_errno(err, fmt::format("cannot read {}", file.string()));
    std::vector<char> buffer(BLOCK_SIZE);
    std::int64_t total = 0;
    for (;;) {
        std::size_t n = 0;
        if (const int err = seam::read_full(fd.get(), buffer.data(), buffer.size(), static_cast<std::uint64_t>(total), n))
            throw_errno(err, fmt::format("cannot read {}", file.string()));
        if (n == 0) break;
        total += static_cast<std::int64_t>(n);
        if (total > expected) break;  // reported below; the header already promised `expected`
        if (archive_write_data(out, buffer.data(), static_cast<std::size_t>(n)) < 0)
            throw_archive_error(out, fmt::format("cannot pack member \"{}\"", member));
    }
    if (total != expected)
        throw ValueError(
            fmt::format("{} changed size while it was packed ({} bytes, then {})", file.string(), expected, total));
}

// The staging folder, created fresh (a killed install may have left one) and removed on every
// way out.
class StagingFolder {
public:
    explicit StagingFolder(fs::path path) : path_(std::move(path)) {
        std::error_code error;
        fs::remove_all(path_, error);
        if (error) throw_errno(error.value(), fmt::format("cannot remove the old staging folder {}", path_.string()));
        if (::mkdir(path_.c_str(), 0700) != 0)
            throw_errno(errno, fmt::format("cannot create the staging folder {}", path_.string()));
    }
    ~StagingFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Creates the missing folders above a member below `root`. libarchive would create them itself,
// but when that fails on a full disk it reports the errno of a later call ("No such file or
// directory") instead of the cause. A link on the way is left for libarchive's guard to judge.
void make_parent_folders(const fs::path& root, const fs::path& relative) {
    fs::path folder = root;
    for (auto it = relative.begin(); std::next(it) != relative.end(); ++it) {
        folder /= *it;
        struct stat st {};
        if (::lstat(folder.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) continue;
            return;
        }
        if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
            throw_errno(errno, fmt::format("cannot create the folder {}", folder.string()));
    }
}

// Unpacks every member of the archive below `staging`, refusing unsafe members and members that
// would not fit, and returns their number. `dest_dir` only names the bundle folder in messages.
std::size_t unpack(const std::string& archive_path, const std::string& dest_dir, const fs::path& staging) {
    // A folder path without symbolic links: libarchive's symlink guard checks every component of
    // the paths it writes, the staging folder's own included.
    std::error_code error;
    const fs::path root = fs::canonical(staging, error);
    if (error) throw_errno(error.value(), fmt::format("cannot unpack into {}", staging.string()));
    const MemberRefused refuse(archive_path, dest_dir);

    ReadHandle in(archive_read_new(), &archive_read_free);
    WriteHandle out(archive_write_disk_new(), &archive_write_free);
    if (!in || !out) throw OsError(OsError::Kind::Other, ENOMEM, "cannot create a libarchive handle");
    archive_read_support_filter_bzip2(in.get());
    archive_read_support_format_tar(in.get());
    archive_write_disk_set_options(
        out.get(), ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT);

    if (archive_read_open_filename(in.get(), archive_path.c_str(), BLOCK_SIZE) != ARCHIVE_OK)
        throw_archive_error(in.get(), fmt::format("cannot open {}", archive_path));
    // Only bzip2 is accepted: the sample is always one, and anything else is the wrong file.
    if (archive_filter_code(in.get(), 0) != ARCHIVE_FILTER_BZIP2)
        throw ValueError(fmt::format("{} is not a bzip2-compressed tar archive", archive_path));

    std::size_t count = 0;
    for (;;) {
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(in.get(), &entry);
        if (status == ARCHIVE_EOF) break;
        // A warning here is about the header's extras (an odd pax attribute); no data is lost.
        if (status != ARCHIVE_OK && status != ARCHIVE_WARN)
            throw_archive_error(in.get(), fmt::format("cannot read {}", archive_path));

        const char* raw_name = archive_entry_pathname(entry);
        const std::string name = raw_name ? raw_name : "";
        const auto relative = contained_path(name);
        if (!relative) refuse(name, "would be written outside the bundle folder");
        if (!relative->empty() && *relative->begin() == STAGING_FOLDER_NAME)
            refuse(name, "uses the name of the folder the install unpacks into");
        if (*relative == layout::INSTALL_RECORD_NAME) refuse(name, "uses the name of the install's record");
        // The module's records (the recorded selection) belong to the bundle installed into: the
        // bundle's own stay as they are, an archive's are passed over.
        if (!relative->empty() && *relative->begin() == layout::RECORDS_FOLDER_NAME) {
            if (archive_read_data_skip(in.get()) != ARCHIVE_OK)
                throw_archive_error(in.get(), fmt::format("cannot read {}", archive_path));
            continue;
        }

        const auto type = archive_entry_filetype(entry);
        if (const char* hard = archive_entry_hardlink(entry)) {
            const auto target = contained_path(hard);
            if (!target || target->empty())
                refuse(name, fmt::format("is a hard link to \"{}\", outside the bundle folder", hard));
            archive_entry_set_hardlink(entry, (root / *target).c_str());
        } else if (type == AE_IFLNK) {
            const char* target = archive_entry_symlink(entry);
            if (!link_target_is_contained(target))
                refuse(name, fmt::format("is a symbolic link to \"{}\", which may lead outside the bundle folder",
                                         target ? target : ""));
        } else if (type != AE_IFREG && type != AE_IFDIR) {
            refuse(name, "is neither a file, a folder nor a link");
        }
        if (relative->empty()) {
            if (type == AE_IFDIR) continue;  // "./": the bundle folder itself, which exists
            refuse(name, "names the bundle folder itself");
        }

        // The header's size bounds the member's data (copy_member_data holds it to that), so a
        // member that would not fit is refused before a byte of it is written: an archive of a
        // few KiB can unpack to GiBs.
        const la_int64_t size = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : 0;
        if (size > 0)
            host::require_free_space(root.string(), host::blocks_for(static_cast<std::uint64_t>(size)),
                                     fmt::format("unpacking member \"{}\" of {}", name, archive_path));

        make_parent_folders(root, *relative);
        archive_entry_set_pathname(entry, (root / *relative).c_str());
        const std::string what = fmt::format("cannot unpack member \"{}\" of {}", name, archive_path);
        // libarchive reports a failed or short write of the data, and a failed finish of the file,
        // as a mere warning; every one of them loses data, so only ARCHIVE_OK counts as success.
        if (archive_write_header(out.get(), entry) != ARCHIVE_OK) throw_archive_error(out.get(), what);
        if (size > 0) copy_member_data(in.get(), out.get(), name, archive_path, size);
        if (archive_write_finish_entry(out.get()) != ARCHIVE_OK) throw_archive_error(out.get(), what);
        ++count;
    }
    // Closing sets the folders' times, which had to wait until their contents were written.
    if (archive_write_close(out.get()) != ARCHIVE_OK)
        throw_archive_error(out.get(), fmt::format("cannot finish unpacking {}", archive_path));
    return count;
}

}  // namespace

std::size_t extract_archive(const std::string& archive_path, const std::string& dest_dir) {
    std::error_code error;
    const fs::path root = fs::canonical(dest_dir, error);
    if (error) throw_errno(error.value(), fmt::format("cannot unpack into {}", dest_dir));
    // One install at a time; what a killed one left is finished or undone before this one
    // starts, since the staging folder is made afresh.
    const layout::InstallLock lock(root);
    layout::settle_unfinished_install(lock);
    const StagingFolder staging(root / STAGING_FOLDER_NAME);
    std::size_t count = 0;
    try {
        count = unpack(archive_path, dest_dir, staging.path());
    } catch (const OsError& error) {
        throw OsError(error.kind(), error.error_number(), error.what() + std::string(UNCHANGED));
    } catch (const ValueError& error) {
        throw ValueError(error.what() + std::string(UNCHANGED));
    }
    move_tree_into_place(staging.path().string(), root.string(), lock);
    return count;
}

void make_archive(const std::string& bundle_dir, const std::string& out_path) {
    std::error_code error;
    const fs::path root = fs::canonical(bundle_dir, error);
    if (error) throw_errno(error.value(), fmt::format("cannot pack {}", bundle_dir));
    if (!fs::is_directory(root)) throw ValueError(fmt::format("cannot pack {}: it is not a folder", bundle_dir));
    const fs::path target = fs::weakly_canonical(fs::absolute(out_path));
    const fs::path temporary = target.string() + ".tmp";

    std::vector<fs::path> members;
    for (fs::recursive_directory_iterator it(root, error), end; it != end; it.increment(error)) {
        if (error) break;
        if (it->path() == target || it->path() == temporary) continue;
        // An install running meanwhile, or killed, is not part of the bundle; nor are the records of
        // what this bundle was asked to hold.
        if (it->path().filename() == STAGING_FOLDER_NAME ||
            (it.depth() == 0 && it->path().filename() == layout::RECORDS_FOLDER_NAME)) {
            it.disable_recursion_pending();
            continue;
        }
        members.push_back(it->path().lexically_relative(root));
    }
    if (error) throw_errno(error.value(), fmt::format("cannot list {}", bundle_dir));
    std::sort(members.begin(), members.end(),
              [](const fs::path& a, const fs::path& b) { return a.generic_string() < b.generic_string(); });

    WriteHandle out(archive_write_new(), &archive_write_free);
    if (!out) throw OsError(OsError::Kind::Other, ENOMEM, "cannot create a libarchive handle");
    archive_write_add_filter_bzip2(out.get());
    archive_write_set_format_pax_restricted(out.get());
    if (archive_write_open_filename(out.get(), temporary.c_str()) != ARCHIVE_OK)
        throw_archive_error(out.get(), fmt::format("cannot create {}", temporary.string()));
    RemoveOnFailure cleanup(temporary);

    for (const fs::path& relative : members) {
        const fs::path file = root / relative;
        const std::string member = relative.generic_string();
        struct stat st {};
        if (::lstat(file.c_str(), &st) != 0) throw_errno(errno, fmt::format("cannot read {}", file.string()));
        EntryHandle entry(archive_entry_new(), &archive_entry_free);
        archive_entry_set_pathname(entry.get(), member.c_str());
        archive_entry_set_perm(entry.get(), st.st_mode & 07777);
        archive_entry_set_mtime(entry.get(), st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
        if (S_ISDIR(st.st_mode)) {
            archive_entry_set_filetype(entry.get(), AE_IFDIR);
        } else if (S_ISREG(st.st_mode)) {
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_set_size(entry.get(), st.st_size);
        } else if (S_ISLNK(st.st_mode)) {
            archive_entry_set_filetype(entry.get(), AE_IFLNK);
            const fs::path link = fs::read_symlink(file, error);
            if (error) throw_errno(error.value(), fmt::format("cannot read the link {}", file.string()));
            archive_entry_set_symlink(entry.get(), link.c_str());
        } else {
            throw ValueError(fmt::format("cannot pack {}: it is neither a file, a folder nor a link", file.string()));
        }
        if (archive_write_header(out.get(), entry.get()) != ARCHIVE_OK)
            throw_archive_error(out.get(), fmt::format("cannot pack member \"{}\"", member));
        if (S_ISREG(st.st_mode)) write_file_data(out.get(), file, member, st.st_size);
    }
    if (archive_write_close(out.get()) != ARCHIVE_OK)
        throw_archive_error(out.get(), fmt::format("cannot finish {}", temporary.string()));
    out.reset();
    // On disk before its name, so that a power cut leaves the old archive or the whole new one.
    if (const int err = seam::sync_file(temporary))
        throw_errno(err, fmt::format("cannot write {} to disk", temporary.string()));
    if (const int failed = seam::env().rename(temporary, target, true))
        throw_errno(failed, fmt::format("cannot rename {} to {}", temporary.string(), target.string()));
    cleanup.dismiss();
    if (const int failed = seam::sync_parent_dir(target))
        throw_errno(failed, fmt::format("cannot write the folder of {} to disk", target.string()));
}

}  // namespace tarnwick::bundle::commands
