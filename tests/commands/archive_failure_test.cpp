// Unpacking is all or nothing: damaged archives, write errors, full disks and archives far larger
// than the disk leave a good bundle byte for byte as it was, and leave no staging folder or side
// file behind. Tests that need a small file system of their own mount a tmpfs (root only).
#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>

#include "support/archives.hpp"
#include "support/fault_fs.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/commands/archive.hpp"
#include "tarnwick/bundle/errors.hpp"

namespace tarnwick::bundle::commands {
namespace {
namespace fs = std::filesystem;
using test::read_file;
using test::read_tree;
using test::TarMember;
using test::write_file;
using test::write_tar_with_python;
using Tree = std::map<std::string, std::string>;

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& c : bytes) c = static_cast<char>(generator() & 0xff);
    return bytes;
}

// What a user does to move a folder to another disk: copy, delete, link.
void move_to_other_disk(const fs::path& folder, const fs::path& to) {
    fs::copy(folder, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::remove_all(folder);
    fs::create_directory_symlink(to, folder);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Every path below `dir` (links not followed) whose name marks it as the install's own leftover.
std::vector<std::string> leftovers(const fs::path& dir) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name == STAGING_FOLDER_NAME || name.ends_with(".tarnwick-new") || name.ends_with(".tarnwick-old"))
            found.push_back(entry.path().string());
    }
    return found;
}

class ArchiveFailureTest : public ::testing::Test {
protected:
    // A bundle installed from a first archive; the tests then install a second one over it.
    void install_old_bundle(const fs::path& bundle_dir) {
        fs::create_directories(bundle_dir);
        bundle_ = bundle_dir;
        write_tar_with_python(tmp_ / "old.tar.bz2", {{"file", "trading_dates.npy", random_bytes(4000, 1)},
                                                     {"dir", "h5", ""},
                                                     {"dir", "h5/equities", ""},
                                                     {"file", "h5/equities/000001.XSHE.h5", random_bytes(300000, 2)},
                                                     {"dir", "ticks", ""},
                                                     {"file", "ticks/000001.XSHE.h5", random_bytes(100000, 3)}});
        extract_archive((tmp_ / "old.tar.bz2").string(), bundle_.string());
        before_ = read_tree(bundle_);
    }
    // The same names with new content and one new file: the new file comes first in the archive.
    std::vector<TarMember> new_members(std::size_t tick_size = 200000) const {
        return {{"dir", "new", ""},
                {"file", "new/added.txt", "added"},
                {"file", "trading_dates.npy", random_bytes(4000, 11)},
                {"file", "h5/equities/000001.XSHE.h5", random_bytes(300000, 12)},
                {"file", "ticks/000001.XSHE.h5", random_bytes(tick_size, 13)}};
    }
    fs::path new_archive() const { return tmp_ / "new" / "zvbundle_sample.tar.bz2"; }

    // The install of `archive` must fail naming `reason`, and leave the bundle as it was.
    template <typename Error>
    void expect_failure_leaves_bundle(const fs::path& archive, const std::string& reason) {
        try {
            extract_archive(archive.string(), bundle_.string());
            ADD_FAILURE() << "the install succeeded";
        } catch (const Error& error) {
            EXPECT_TRUE(contains(error.what(), reason)) << error.what();
        }
        EXPECT_EQ(read_tree(bundle_), before_);
        EXPECT_TRUE(leftovers(bundle_).empty());
    }

    test::TempDir tmp_;
    fs::path bundle_;
    Tree before_;
};

TEST_F(ArchiveFailureTest, TruncatedOrDamagedArchiveLeavesTheOldFilesByteIdentical) {
    install_old_bundle(tmp_ / "bundle");
    fs::create_directories(new_archive().parent_path());
    write_tar_with_python(new_archive(), new_members());
    const std::string whole = read_file(new_archive());

    for (const double cut : {0.2, 0.5, 0.9, 0.999}) {
        SCOPED_TRACE(cut);
        write_file(new_archive(), whole.substr(0, static_cast<std::size_t>(whole.size() * cut)));
        expect_failure_leaves_bundle<ValueError>(new_archive(), "");
    }
    std::string damaged = whole;
    for (std::size_t i = damaged.size() / 2; i < damaged.size() / 2 + 64; ++i)
        damaged[i] = static_cast<char>(~damaged[i]);
    write_file(new_archive(), damaged);
    expect_failure_leaves_bundle<ValueError>(new_archive(), "");
}

TEST_F(ArchiveFailureTest, HeaderClaimingMoreThanTheDiskHoldsIsRefusedBeforeWriting) {
    install_old_bundle(tmp_ / "bundle");
    fs::create_directories(new_archive().parent_path());
    // A header promising an exabyte, with the data cut off: refused on the header alone.
    write_tar_with_python(new_archive(),
                          {{"file", "a.txt", "a"}, {"huge", "ticks/000001.XSHE.h5", "1152921504606846976"}});
    expect_failure_leaves_bundle<OsError>(new_archive(), "No space left on device");
}

TEST_F(ArchiveFailureTest, WriteErrorFailsNamingTheCauseAndChangesNothing) {
    install_old_bundle(tmp_ / "bundle");
    fs::create_directories(new_archive().parent_path());
    write_tar_with_python(new_archive(), new_members(1 << 20));
    // libarchive reports a failed write as a mere warning; the limit makes the 1 MiB member fail.
    test::ScopedFileSizeLimit limit(512 * 1024);
    expect_failure_leaves_bundle<OsError>(new_archive(), "File too large");
}

TEST_F(ArchiveFailureTest, FileThatWouldReplaceAFolderIsRefusedAndCreatedFoldersGoAgain) {
    install_old_bundle(tmp_ / "bundle");
    fs::create_directories(new_archive().parent_path());
    const std::vector<TarMember> members{{"dir", "new", ""},
                                         {"file", "new/added.txt", "added"},
                                         {"file", "trading_dates.npy", "new dates"},
                                         {"file", "zz/ticks", "x"},
                                         {"file", "ticks", "a file where the bundle has a folder"}};
    write_tar_with_python(new_archive(), members);
    expect_failure_leaves_bundle<ValueError>(new_archive(), "\"ticks\"");
    EXPECT_FALSE(fs::exists(bundle_ / "new"));
    EXPECT_FALSE(fs::exists(bundle_ / "zz"));
}

TEST_F(ArchiveFailureTest, SuccessfulInstallReplacesFilesAndLeavesNoStagingFolder) {
    install_old_bundle(tmp_ / "bundle");
    write_file(bundle_ / "kept.txt", "mine");
    fs::create_directories(new_archive().parent_path());
    const auto members = new_members();
    write_tar_with_python(new_archive(), members);
    // A staging folder left by a killed install is replaced, not merged.
    write_file(bundle_ / STAGING_FOLDER_NAME / "stale.h5", "stale");

    EXPECT_EQ(extract_archive(new_archive().string(), bundle_.string()), members.size());

    Tree expected = before_;
    expected["kept.txt"] = "file:mine";
    expected["new"] = "dir";
    for (const auto& m : members)
        if (m.kind == "file") expected[m.name] = "file:" + m.data;
    EXPECT_EQ(read_tree(bundle_), expected);
    EXPECT_TRUE(leftovers(bundle_).empty());
}

TEST_F(ArchiveFailureTest, InstallingTheSameArchiveTwiceReplacesItsOwnLinks) {
    fs::create_directories(tmp_ / "bundle");
    const std::vector<TarMember> members{{"dir", "ticks", ""},
                                         {"file", "ticks/a.h5", "a"},
                                         {"symlink", "latest", "ticks"},
                                         {"symlink", "first.h5", "ticks/a.h5"}};
    write_tar_with_python(tmp_ / "links.tar.bz2", members);
    extract_archive((tmp_ / "links.tar.bz2").string(), (tmp_ / "bundle").string());
    const Tree once = read_tree(tmp_ / "bundle");
    EXPECT_EQ(extract_archive((tmp_ / "links.tar.bz2").string(), (tmp_ / "bundle").string()), members.size());
    EXPECT_EQ(read_tree(tmp_ / "bundle"), once);
    EXPECT_EQ(once.at("latest"), "symlink:ticks");
    EXPECT_TRUE(leftovers(tmp_ / "bundle").empty());
}

TEST_F(ArchiveFailureTest, MemberNamedLikeTheStagingFolderIsRefused) {
    install_old_bundle(tmp_ / "bundle");
    fs::create_directories(new_archive().parent_path());
    write_tar_with_python(new_archive(), {{"file", std::string(STAGING_FOLDER_NAME) + "/x", "x"}});
    expect_failure_leaves_bundle<ValueError>(new_archive(), STAGING_FOLDER_NAME);
}

// ---- on small file systems of their own (root) ----

#define MOUNT_OR_SKIP(fs_)                                     \
    do {                                                       \
        if (!(fs_).mounted()) GTEST_SKIP() << (fs_).why_not(); \
    } while (false)

TEST_F(ArchiveFailureTest, FullDiskIsRefusedWithTheSystemsReason) {
    test::Tmpfs disk(tmp_ / "disk", "size=4m");
    MOUNT_OR_SKIP(disk);
    install_old_bundle(disk.path() / "bundle");
    fs::create_directories(new_archive().parent_path());
    write_tar_with_python(new_archive(), new_members(4 << 20));
    expect_failure_leaves_bundle<OsError>(new_archive(), "No space left on device");
}

TEST_F(ArchiveFailureTest, RealWriteFailureOnAFullDiskChangesNothing) {
    // Plenty of bytes but few inodes: the free-space check passes and creating a file fails
    // with ENOSPC, as a disk filling up meanwhile would.
    test::Tmpfs disk(tmp_ / "disk", "size=64m");
    MOUNT_OR_SKIP(disk);
    install_old_bundle(disk.path() / "bundle");
    disk.remount("size=64m,nr_inodes=" + std::to_string(test::used_inodes(disk.path()) + 3));
    fs::create_directories(new_archive().parent_path());
    auto members = new_members();
    for (int i = 0; i < 8; ++i) members.push_back({"file", "more/" + std::to_string(i), "x"});
    write_tar_with_python(new_archive(), members);
    expect_failure_leaves_bundle<OsError>(new_archive(), "No space left on device");
}

TEST_F(ArchiveFailureTest, Bzip2BombIsRefused) {
    // 1.6 KB of bzip2 holding one member of 2 GiB of zeros (support/craft_archive.py can make one).
    const fs::path bomb = fs::path(TARNWICK_TESTS_DIR) / "commands" / "data" / "bomb.tar.bz2";
    ASSERT_LT(fs::file_size(bomb), 4096u);
    test::Tmpfs disk(tmp_ / "disk", "size=64m");
    MOUNT_OR_SKIP(disk);
    install_old_bundle(disk.path() / "bundle");
    expect_failure_leaves_bundle<OsError>(bomb, "No space left on device");
}

TEST_F(ArchiveFailureTest, FolderLinkedToAnotherFileSystemKeepsWorking) {
    test::Tmpfs other(tmp_ / "other", "size=8m");
    MOUNT_OR_SKIP(other);
    install_old_bundle(tmp_ / "bundle");
    // The user moved the tick files to another disk and left a link in their place.
    move_to_other_disk(bundle_ / "ticks", other.path() / "ticks");
    fs::create_directories(new_archive().parent_path());
    const auto members = new_members();
    write_tar_with_python(new_archive(), members);

    extract_archive(new_archive().string(), bundle_.string());

    EXPECT_TRUE(fs::is_symlink(bundle_ / "ticks"));
    EXPECT_EQ(read_file(other.path() / "ticks" / "000001.XSHE.h5"), members.back().data);
    EXPECT_EQ(read_file(bundle_ / "h5" / "equities" / "000001.XSHE.h5"), members[3].data);
    EXPECT_TRUE(leftovers(bundle_).empty());
    EXPECT_TRUE(leftovers(other.path()).empty());
}

TEST_F(ArchiveFailureTest, FolderLinkedToAFullFileSystemChangesNothingAnywhere) {
    test::Tmpfs other(tmp_ / "other", "size=2m");
    MOUNT_OR_SKIP(other);
    install_old_bundle(tmp_ / "bundle");
    move_to_other_disk(bundle_ / "ticks", other.path() / "ticks");
    before_ = read_tree(bundle_);
    const Tree other_before = read_tree(other.path());
    fs::create_directories(new_archive().parent_path());
    // Staged on the bundle's disk, the tick file cannot be copied to its own: refused before
    // any file is replaced, the equities file (earlier in the archive) included.
    write_tar_with_python(new_archive(), new_members(3 << 20));
    expect_failure_leaves_bundle<OsError>(new_archive(), "No space left on device");
    EXPECT_EQ(read_tree(other.path()), other_before);
    EXPECT_TRUE(leftovers(other.path()).empty());
}

// A folder bind-mounted from the same file system: same device, but rename fails with EXDEV.
TEST_F(ArchiveFailureTest, FolderMountedTwiceFromTheSameDiskIsCopiedInto) {
    install_old_bundle(tmp_ / "bundle");
    fs::create_directories(tmp_ / "elsewhere");
    test::BindMount bind(tmp_ / "elsewhere", bundle_ / "ticks", false);
    if (!bind.mounted()) GTEST_SKIP() << bind.why_not();
    fs::create_directories(new_archive().parent_path());
    write_tar_with_python(new_archive(), {{"file", "ticks/000001.XSHE.h5", "new ticks"}});
    extract_archive(new_archive().string(), bundle_.string());
    EXPECT_EQ(read_file(tmp_ / "elsewhere" / "000001.XSHE.h5"), "new ticks");
    EXPECT_TRUE(leftovers(tmp_ / "elsewhere").empty());
}

// A failure after the first files were renamed into place: they get their old content back.
TEST_F(ArchiveFailureTest, FailureHalfWayThroughTheRenamesPutsTheOldFilesBack) {
    install_old_bundle(tmp_ / "bundle");
    fs::create_directories(tmp_ / "elsewhere");
    // "ticks" becomes a read-only view: its new file is found to be unwritable only when the
    // equities file (earlier in sorted order) has already been replaced.
    test::BindMount bind(tmp_ / "elsewhere", bundle_ / "ticks", true);
    if (!bind.mounted() || !bind.why_not().empty()) GTEST_SKIP() << bind.why_not();
    before_ = read_tree(bundle_);
    fs::create_directories(new_archive().parent_path());
    write_tar_with_python(new_archive(), {{"file", "h5/equities/000001.XSHE.h5", "new bars"},
                                          {"file", "ticks/600000.XSHG.h5", "new ticks"}});
    expect_failure_leaves_bundle<OsError>(new_archive(), "Read-only file system");
}

}  // namespace
}  // namespace tarnwick::bundle::commands
