#include "tarnwick/bundle/commands/archive.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>

#include "support/archives.hpp"
#include "support/fault_fs.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/errors.hpp"

namespace tarnwick::bundle::commands {
namespace {
namespace fs = std::filesystem;
using test::read_file;
using test::read_tree;
using test::TarMember;
using test::write_file;
using test::write_tar_with_python;

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& c : bytes) c = static_cast<char>(generator() & 0xff);
    return bytes;
}

class ArchiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(bundle());
        fs::create_directories(outside());
    }
    fs::path bundle() const { return tmp_ / "root" / "bundle"; }
    fs::path outside() const { return tmp_ / "outside"; }
    fs::path archive() const { return tmp_ / "zvbundle_sample.tar.bz2"; }

    // Unpacking `members` must be refused naming `refused`, and nothing may appear outside the bundle.
    void expect_refused(const std::vector<TarMember>& members, const std::string& refused) {
        write_tar_with_python(archive(), members);
        try {
            extract_archive(archive().string(), bundle().string());
            ADD_FAILURE() << "unpacked an archive holding \"" << refused << "\"";
        } catch (const ValueError& error) {
            EXPECT_NE(std::string(error.what()).find("\"" + refused + "\""), std::string::npos) << error.what();
        }
        EXPECT_TRUE(fs::is_empty(outside()));
        EXPECT_FALSE(fs::exists(tmp_ / "root" / "escape"));
        EXPECT_FALSE(fs::exists(tmp_ / "escape"));
    }

    test::TempDir tmp_;
};

TEST_F(ArchiveTest, UnpacksWhatPythonPackedIntoTheBundleFolder) {
    const std::string dates = std::string("\x93NUMPY\0\x01", 8) + random_bytes(100, 1);
    const std::string bars = random_bytes(200 * 1024, 2);  // several blocks
    write_file(bundle() / "trading_dates.npy", "stale");
    write_file(bundle() / "kept.txt", "not in the archive");
    write_tar_with_python(archive(), {
                                         {"dir", "./", ""},
                                         {"dir", "h5", ""},
                                         {"dir", "h5/equities", ""},
                                         {"file", "trading_dates.npy", dates},
                                         {"file", "./h5/equities/000001.XSHE.h5", bars},
                                         {"file", "ticks/000001.XSHE.h5", "ticks"},  // folder not listed
                                         {"symlink", "latest.h5", "ticks/000001.XSHE.h5"},
                                         {"hardlink", "h5/dates.npy", "trading_dates.npy"},
                                     });

    EXPECT_EQ(extract_archive(archive().string(), bundle().string()), 7u);

    const std::map<std::string, std::string> expected{
        {"h5", "dir"},
        {"h5/dates.npy", "file:" + dates},
        {"h5/equities", "dir"},
        {"h5/equities/000001.XSHE.h5", "file:" + bars},
        {"kept.txt", "file:not in the archive"},
        {"latest.h5", "symlink:ticks/000001.XSHE.h5"},
        {"ticks", "dir"},
        {"ticks/000001.XSHE.h5", "file:ticks"},
        {"trading_dates.npy", "file:" + dates},
    };
    EXPECT_EQ(read_tree(bundle()), expected);
    EXPECT_TRUE(fs::exists(archive()));
}

TEST_F(ArchiveTest, RefusesMemberClimbingOutWithDotDot) {
    expect_refused({{"file", "ok.txt", "fine"}, {"file", "../escape", "payload"}}, "../escape");
    // All or nothing: the member before the refused one is not installed either.
    EXPECT_FALSE(fs::exists(bundle() / "ok.txt"));
    EXPECT_TRUE(fs::is_empty(bundle()));
}

TEST_F(ArchiveTest, RefusesDotDotHiddenInsideAPath) {
    expect_refused({{"file", "h5/../../escape", "payload"}}, "h5/../../escape");
}

TEST_F(ArchiveTest, RefusesAbsoluteMemberPath) {
    const std::string target = (outside() / "absolute.txt").string();
    expect_refused({{"file", target, "payload"}}, target);
    EXPECT_FALSE(fs::exists(target));
}

TEST_F(ArchiveTest, RefusesSymlinksThatMayLeadOutside) {
    for (const std::string& target : {std::string("../../outside"), outside().string(), std::string("a/../../x")}) {
        SCOPED_TRACE(target);
        expect_refused({{"symlink", "link", target}, {"file", "link/payload", "payload"}}, "link");
        EXPECT_FALSE(fs::exists(fs::symlink_status(bundle() / "link")));
    }
}

TEST_F(ArchiveTest, RefusesHardLinkToAFileOutside) {
    write_file(tmp_ / "root" / "secret", "secret");
    expect_refused({{"hardlink", "h", "../secret"}}, "h");
    expect_refused({{"hardlink", "h", (tmp_ / "root" / "secret").string()}}, "h");
    EXPECT_FALSE(fs::exists(bundle() / "h"));
}

TEST_F(ArchiveTest, DoesNotWriteThroughALinkTheArchiveMade) {
    write_tar_with_python(archive(), {{"dir", "sub", ""}, {"symlink", "ln", "sub"}, {"file", "ln/x", "payload"}});
    EXPECT_ANY_THROW(extract_archive(archive().string(), bundle().string()));
    EXPECT_TRUE(fs::is_empty(bundle()));
}

// A folder of the bundle that the user replaced by a link (to another disk) stays in use.
TEST_F(ArchiveTest, WritesIntoAFolderLinkTheUserMade) {
    fs::create_directory_symlink(outside(), bundle() / "h5");
    write_tar_with_python(archive(), {{"dir", "h5", ""}, {"file", "h5/000001.XSHE.h5", "payload"}});
    extract_archive(archive().string(), bundle().string());
    EXPECT_TRUE(fs::is_symlink(bundle() / "h5"));
    EXPECT_EQ(read_tree(outside()), (std::map<std::string, std::string>{{"000001.XSHE.h5", "file:payload"}}));
}

TEST_F(ArchiveTest, ReplacesALinkAtAMembersPathInsteadOfFollowingIt) {
    write_file(outside() / "target.txt", "keep");
    fs::create_symlink(outside() / "target.txt", bundle() / "data.txt");
    write_tar_with_python(archive(), {{"file", "data.txt", "new"}});
    extract_archive(archive().string(), bundle().string());
    EXPECT_FALSE(fs::is_symlink(bundle() / "data.txt"));
    EXPECT_EQ(read_file(bundle() / "data.txt"), "new");
    EXPECT_EQ(read_file(outside() / "target.txt"), "keep");
}

TEST_F(ArchiveTest, RefusesATarThatIsNotBzip2Compressed) {
    write_tar_with_python(archive(), {{"file", "a.txt", "a"}}, "w");
    try {
        extract_archive(archive().string(), bundle().string());
        FAIL() << "unpacked an uncompressed tar";
    } catch (const ValueError& error) {
        EXPECT_NE(std::string(error.what()).find("bzip2"), std::string::npos) << error.what();
    }
    EXPECT_TRUE(fs::is_empty(bundle()));
}

TEST_F(ArchiveTest, RefusesAFileThatIsNoArchive) {
    write_file(archive(), "<html><body>404 Not Found</body></html>\n");
    EXPECT_THROW(extract_archive(archive().string(), bundle().string()), ValueError);
    EXPECT_TRUE(fs::is_empty(bundle()));
}

TEST_F(ArchiveTest, TruncatedArchiveFails) {
    write_tar_with_python(archive(), {{"file", "a.bin", random_bytes(300 * 1024, 3)}, {"file", "b.txt", "b"}});
    fs::resize_file(archive(), fs::file_size(archive()) / 2);
    EXPECT_THROW(extract_archive(archive().string(), bundle().string()), ValueError);
    EXPECT_TRUE(fs::is_empty(bundle()));
}

TEST_F(ArchiveTest, MissingArchiveIsAnOsError) {
    try {
        extract_archive((tmp_ / "nowhere.tar.bz2").string(), bundle().string());
        FAIL() << "no error for a missing archive";
    } catch (const OsError& error) {
        EXPECT_EQ(error.error_number(), ENOENT);
    }
}

class MakeArchiveTest : public ArchiveTest {
protected:
    void make_sample_tree() {
        write_file(bundle() / "trading_dates.npy", random_bytes(1000, 4));
        write_file(bundle() / "h5" / "equities" / "000001.XSHE.h5", random_bytes(150 * 1024, 5));
        write_file(bundle() / "h5" / "future" / "IF2401.h5", "future");
        write_file(bundle() / "ticks" / "000001.XSHE.h5", "ticks");
        fs::create_symlink("trading_dates.npy", bundle() / "dates.npy");
    }
};

TEST_F(MakeArchiveTest, PythonReadsMembersRelativeToTheBundleInSortedOrder) {
    make_sample_tree();
    make_archive(bundle().string(), archive().string());
    const std::vector<TarMember> expected{
        {"symlink", "dates.npy", "trading_dates.npy"},
        {"dir", "h5", ""},
        {"dir", "h5/equities", ""},
        {"file", "h5/equities/000001.XSHE.h5", read_file(bundle() / "h5" / "equities" / "000001.XSHE.h5")},
        {"dir", "h5/future", ""},
        {"file", "h5/future/IF2401.h5", "future"},
        {"dir", "ticks", ""},
        {"file", "ticks/000001.XSHE.h5", "ticks"},
        {"file", "trading_dates.npy", read_file(bundle() / "trading_dates.npy")},
    };
    EXPECT_EQ(test::list_tar_with_python(archive()), expected);
    EXPECT_FALSE(fs::exists(archive().string() + ".tmp"));
}

TEST_F(MakeArchiveTest, LeavesOutItsOwnArchiveAndReplacesAnOldOne) {
    write_file(bundle() / "a.txt", "a");
    const fs::path inside = bundle() / "zvbundle_sample.tar.bz2";
    write_file(inside, "old archive");
    write_file(bundle() / STAGING_FOLDER_NAME / "half.h5", "an install under way");
    make_archive(bundle().string(), inside.string());
    const std::vector<TarMember> expected{{"file", "a.txt", "a"}};
    EXPECT_EQ(test::list_tar_with_python(inside), expected);
}

TEST_F(MakeArchiveTest, RoundTripKeepsContentsLinksAndTimes) {
    make_sample_tree();
    // Whole seconds: a tar header keeps no fraction.
    const auto stamp =
        std::chrono::floor<std::chrono::seconds>(fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
    fs::last_write_time(bundle() / "ticks" / "000001.XSHE.h5", stamp);
    make_archive(bundle().string(), archive().string());

    const fs::path copy = tmp_ / "copy";
    fs::create_directories(copy);
    EXPECT_EQ(extract_archive(archive().string(), copy.string()), 9u);
    EXPECT_EQ(read_tree(copy), read_tree(bundle()));
    EXPECT_EQ(fs::last_write_time(copy / "ticks" / "000001.XSHE.h5"), stamp);
}

}  // namespace
}  // namespace tarnwick::bundle::commands
