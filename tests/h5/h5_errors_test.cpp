// The HDF5 layer must tell a file held by another process, a permission problem and a file
// that is not HDF5 apart: the updaters and the checks act differently on each.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include <unistd.h>

#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/h5/journal.hpp"

namespace tarnwick::bundle::h5 {
namespace {

using test::ChildProcess;
using test::TempDir;

void make_file(const std::string& path) {
    File file = File::create(path);
    std::vector<std::int32_t> values = {1, 2, 3};
    auto type = DataType::copy(H5T_STD_I32LE);
    file.create_dataset("values", type, H5T_NATIVE_INT32, values.size(), values.data(), DatasetOptions{});
}

OsError::Kind open_error_kind(const std::string& path, File::Access access) {
    try {
        File file = File::open(path, access);
    } catch (const OsError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "opening " << path << " did not fail";
    return OsError::Kind::Other;
}

TEST(H5Errors, FileHeldByAnotherProcessWouldBlock) {
    TempDir dir;
    const std::string path = (dir / "held.h5").string();
    make_file(path);
    // A writer keeps other writers out; a reader keeps no writer out (only its commit waits).
    for (auto holder_access : {File::Access::ReadWrite, File::Access::ReadOnly}) {
        ChildProcess holder([&](ChildProcess& self) {
            File file = File::open(path, holder_access);
            self.ready();
            pause();
            return 0;
        });
        ASSERT_TRUE(holder.wait_ready());
        if (holder_access == File::Access::ReadWrite)
            EXPECT_EQ(open_error_kind(path, File::Access::ReadWrite), OsError::Kind::WouldBlock);
        else
            EXPECT_NO_THROW(File::open(path, File::Access::ReadWrite));
        // The killed writer's journal is settled before the next holder comes: a reader would
        // delay that rollback (it rewrites stored bytes) like any commit.
        holder.kill_now();
        holder.wait_exit_status();
        h5::recover_interrupted_update(path);
    }
    // Once the holder is gone the file opens again.
    EXPECT_NO_THROW(File::open(path, File::Access::ReadWrite));
}

TEST(H5Errors, ForbiddenFileIsPermissionDenied) {
    TempDir dir;
    const std::string path = (dir / "forbidden.h5").string();
    make_file(path);
    chmod(path.c_str(), 0600);
    chmod(dir.str().c_str(), 0755);
    // root may open anything, so the check runs in a child that gives up its privileges.
    ChildProcess child([&](ChildProcess&) {
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 3;
        try {
            File file = File::open(path, File::Access::ReadOnly);
        } catch (const OsError& error) {
            return error.kind() == OsError::Kind::PermissionDenied ? 0 : 1;
        } catch (...) {
            return 2;
        }
        return 4;
    });
    EXPECT_EQ(child.wait_exit_status(), 0);
}

TEST(H5Errors, NotAnHdf5FileIsOtherIoError) {
    TempDir dir;
    const std::string path = (dir / "text.h5").string();
    std::ofstream(path) << "this is not an HDF5 file\n";
    EXPECT_EQ(open_error_kind(path, File::Access::ReadOnly), OsError::Kind::Other);
    EXPECT_EQ(open_error_kind((dir / "missing.h5").string(), File::Access::ReadOnly), OsError::Kind::Other);
}

TEST(H5Errors, MissingMemberIsNotAnOsError) {
    TempDir dir;
    const std::string path = (dir / "f.h5").string();
    make_file(path);
    File file = File::open(path, File::Access::ReadOnly);
    EXPECT_FALSE(file.contains("nothing"));
    EXPECT_THROW(file.open_dataset("nothing"), Error);
    EXPECT_EQ(file.members(), std::vector<std::string>{"values"});
}

}  // namespace
}  // namespace tarnwick::bundle::h5
