// The undo journal beneath every file opened for writing: whatever stops an update (a kill, a
// failed write, the owner giving up), the file ends up as of its last commit, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include "support/scoped_env_var.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "support/test_envs.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/fs/env.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/h5/journal.hpp"
#include "tarnwick/bundle/layout/paths.hpp"

namespace tarnwick::bundle::h5 {
namespace {

namespace fs = std::filesystem;
using test::ChildProcess;
using test::TempDir;
using ScopedEnv = bundle::fs::ScopedEnv;

constexpr hsize_t CHUNK_ROWS = 512;

std::vector<std::int64_t> sequence(std::int64_t first, std::size_t count) {
    std::vector<std::int64_t> values(count);
    std::iota(values.begin(), values.end(), first);
    return values;
}

// A store-like file: one resizable, chunked, deflated dataset, as the minute-bar files have.
void make_file(const std::string& path, const std::vector<std::int64_t>& values) {
    File file = File::create(path);
    DatasetOptions options;
    options.resizable = true;
    options.chunk_rows = CHUNK_ROWS;
    options.deflate_level = 9;
    file.create_dataset("v", DataType::copy(H5T_STD_I64LE), H5T_NATIVE_INT64, values.size(), values.data(), options);
}

std::vector<std::int64_t> read_values(const std::string& path) {
    File file = File::open(path, File::Access::ReadOnly);
    return file.open_dataset("v").read_all<std::int64_t>(H5T_NATIVE_INT64);
}

std::string bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Appends `count` rows and rewrites the first rows in place: both the space past the old end
// and chunks the file already held are written.
void append_and_rewrite(File& file, std::size_t count) {
    Dataset v = file.open_dataset("v");
    const std::vector<std::int64_t> added = sequence(1'000'000, count);
    v.append<std::int64_t>(H5T_NATIVE_INT64, added);
    const std::vector<std::int64_t> head = sequence(-5000, 3 * CHUNK_ROWS);
    v.write_rows(H5T_NATIVE_INT64, 0, head.size(), head.data());
}

class JournalTest : public ::testing::Test {
protected:
    void SetUp() override {
        make_file(path_, original_);
        original_bytes_ = bytes_of(path_);
    }
    // A writer process that opens the file, does `writes` and is killed with SIGKILL there.
    void kill_writer_after(const std::function<void(File&)>& writes) {
        ChildProcess writer([&](ChildProcess& self) {
            File file = File::open(path_, File::Access::ReadWrite);
            writes(file);
            self.ready();
            pause();
            return 0;
        });
        ASSERT_TRUE(writer.wait_ready());
        writer.kill_now();
        writer.wait_exit_status();
    }
    TempDir dir_;
    const std::string path_ = (dir_ / "store.h5").string();
    const std::vector<std::int64_t> original_ = sequence(0, 20 * CHUNK_ROWS + 17);
    std::string original_bytes_;
};

TEST_F(JournalTest, KilledWriterIsUndoneByteForByte) {
    // Killed with the file in every state from "barely touched" to "tens of MiB written": the
    // journal restores the bytes the file had.
    for (std::size_t rows : {std::size_t{600}, std::size_t{60'000}, std::size_t{3'000'000}}) {
        kill_writer_after([&](File& file) { append_and_rewrite(file, rows); });
        EXPECT_TRUE(recover_interrupted_update(path_)) << rows;
        EXPECT_FALSE(fs::exists(journal_path(path_)));
        EXPECT_EQ(bytes_of(path_), original_bytes_) << rows;
    }
    EXPECT_EQ(read_values(path_), original_);
}

TEST_F(JournalTest, NextWriterRollsBackBeforeItReads) {
    kill_writer_after([&](File& file) { append_and_rewrite(file, 200'000); });
    ASSERT_TRUE(fs::exists(journal_path(path_)));
    {
        File file = File::open(path_, File::Access::ReadWrite);
        EXPECT_EQ(file.open_dataset("v").read_all<std::int64_t>(H5T_NATIVE_INT64), original_);
    }
    EXPECT_FALSE(fs::exists(journal_path(path_)));
}

TEST_F(JournalTest, FlushCommitsAndAKillLaterReturnsThere) {
    const std::vector<std::int64_t> committed = sequence(77, 1000);
    kill_writer_after([&](File& file) {
        file.open_dataset("v").append<std::int64_t>(H5T_NATIVE_INT64, committed);
        file.commit();
        append_and_rewrite(file, 500'000);
    });
    recover_interrupted_update(path_);
    std::vector<std::int64_t> expected = original_;
    expected.insert(expected.end(), committed.begin(), committed.end());
    EXPECT_EQ(read_values(path_), expected);
}

TEST_F(JournalTest, AKillRightAfterACommitLeavesAJournalThatRestoresNothing) {
    // Every commit clears the one journal of the open file instead of deleting it; a writer
    // killed there leaves it behind with the last update's records, and every committed update
    // stands.
    std::vector<std::int64_t> expected = original_;
    for (int k = 0; k < 3; ++k) {
        const std::vector<std::int64_t> rows = sequence(10'000 * k, 700);
        expected.insert(expected.end(), rows.begin(), rows.end());
    }
    kill_writer_after([&](File& file) {
        for (int k = 0; k < 3; ++k) {
            file.open_dataset("v").append<std::int64_t>(H5T_NATIVE_INT64, sequence(10'000 * k, 700));
            file.commit();
        }
    });
    ASSERT_TRUE(fs::exists(journal_path(path_)));
    EXPECT_GT(fs::file_size(journal_path(path_)), 0u);
    EXPECT_TRUE(recover_interrupted_update(path_));
    EXPECT_FALSE(fs::exists(journal_path(path_)));
    EXPECT_EQ(read_values(path_), expected);
}

TEST_F(JournalTest, AnUpdateAfterACommitInTheSameOpenIsUndoneToThatCommit) {
    // The updates of one open file share its journal. The second update here journals less
    // than the first: the first one's records still lie past its end and must not be restored
    // with it, killed or abandoned.
    const auto big_then_small = [](File& file, std::string* committed_bytes, const std::string& path) {
        Dataset v = file.open_dataset("v");
        v.write_rows(H5T_NATIVE_INT64, 0, 3, sequence(-9, 3).data());
        v.append<std::int64_t>(H5T_NATIVE_INT64, sequence(1'000'000, 70'000));
        file.commit();
        if (committed_bytes) *committed_bytes = bytes_of(path);
        v.write_rows(H5T_NATIVE_INT64, 0, 3, sequence(-99, 3).data());
    };
    std::string committed_bytes;
    {
        File file = File::open(path_, File::Access::ReadWrite);
        big_then_small(file, &committed_bytes, path_);
        file.abandon();
    }
    EXPECT_FALSE(fs::exists(journal_path(path_)));
    EXPECT_EQ(bytes_of(path_), committed_bytes);
    EXPECT_NE(committed_bytes, original_bytes_);

    make_file(path_, original_);
    kill_writer_after([&](File& file) { big_then_small(file, nullptr, path_); });
    // HDF5 leaves some bytes of its metadata blocks unset, so two runs of the same writes need
    // not give equal files: compare what the committed update stored instead.
    EXPECT_TRUE(recover_interrupted_update(path_));
    std::vector<std::int64_t> expected = original_;
    for (std::size_t k = 0; k < 3; ++k) expected[k] = -9 + static_cast<std::int64_t>(k);
    const std::vector<std::int64_t> added = sequence(1'000'000, 70'000);
    expected.insert(expected.end(), added.begin(), added.end());
    EXPECT_EQ(read_values(path_), expected);
    EXPECT_EQ(fs::file_size(path_), committed_bytes.size());
}

TEST_F(JournalTest, AJournalOfTheFormatWithoutGenerationsIsStillRolledBack) {
    // Left by an update of the version before journals were shared, killed, and found by this
    // one: written here byte by byte in that format (no generation in the header, records with
    // generation 0 and a checksum over offset, size and data).
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    const std::uint64_t baseline = original_bytes_.size();
    const std::uint64_t device = st.st_dev, inode = st.st_ino, offset = 0, size = 512;
    std::string journal("TWUNDO02", 8);
    for (const std::uint64_t field : {baseline, device, inode})
        journal.append(reinterpret_cast<const char*>(&field), sizeof field);
    const std::string original = original_bytes_.substr(offset, size);
    uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(&offset), sizeof offset);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(&size), sizeof size);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(original.data()), static_cast<uInt>(size));
    const std::uint32_t crc32_value = static_cast<std::uint32_t>(crc), generation = 0;
    for (const std::uint64_t field : {offset, size})
        journal.append(reinterpret_cast<const char*>(&field), sizeof field);
    journal.append(reinterpret_cast<const char*>(&crc32_value), sizeof crc32_value);
    journal.append(reinterpret_cast<const char*>(&generation), sizeof generation);
    journal += original;
    std::ofstream(journal_path(path_), std::ios::binary) << journal;
    // The killed update had overwritten the file's start and grown it.
    {
        std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(0);
        file << std::string(size, 'x');
        file.seekp(0, std::ios::end);
        file << std::string(4096, 'y');
    }
    EXPECT_TRUE(recover_interrupted_update(path_));
    EXPECT_FALSE(fs::exists(journal_path(path_)));
    EXPECT_EQ(bytes_of(path_), original_bytes_);

    // The same journal beside another file of that name (copied in: a new inode, the old one
    // still in use meanwhile, so not reused) is not applied.
    const std::string other = std::string(size, 'z') + original_bytes_.substr(size);
    std::ofstream(path_ + ".copy", std::ios::binary) << other;
    std::ofstream(journal_path(path_), std::ios::binary) << journal;
    fs::rename(path_ + ".copy", path_);
    EXPECT_TRUE(recover_interrupted_update(path_));
    EXPECT_EQ(bytes_of(path_), other);
    EXPECT_FALSE(fs::exists(journal_path(path_)));
}

TEST_F(JournalTest, AbandonUndoesEverythingSinceTheLastFlush) {
    {
        File file = File::open(path_, File::Access::ReadWrite);
        append_and_rewrite(file, 5000);
        file.abandon();
        EXPECT_FALSE(file.valid());
    }
    EXPECT_FALSE(fs::exists(journal_path(path_)));
    EXPECT_EQ(bytes_of(path_), original_bytes_);

    // Abandoned with nothing written since a commit that waits for its group (as in a pool
    // worker): the commit is kept and made durable with the group.
    defer_commits(true);
    {
        File file = File::open(path_, File::Access::ReadWrite);
        append_and_rewrite(file, 5000);
        file.commit();
        file.abandon();
    }
    defer_commits(false);
    std::vector<std::int64_t> updated = original_;
    const std::vector<std::int64_t> added = sequence(1'000'000, 5000), head = sequence(-5000, 3 * CHUNK_ROWS);
    updated.insert(updated.end(), added.begin(), added.end());
    std::copy(head.begin(), head.end(), updated.begin());
    EXPECT_FALSE(fs::exists(journal_path(path_)));
    EXPECT_EQ(read_values(path_), updated);
}

TEST_F(JournalTest, FailedWriteIsUndoneWhenTheFileCloses) {
    // The process may not grow a file past a limit: the writes past it fail (EFBIG), as they
    // would on a full disk, and the close puts the file back as it was.
    const auto limit = static_cast<rlim_t>(original_bytes_.size() + 64 * 1024);
    ChildProcess writer([&](ChildProcess&) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit fsize{limit, limit};
        if (setrlimit(RLIMIT_FSIZE, &fsize) != 0) return 10;
        try {
            File file = File::open(path_, File::Access::ReadWrite);
            append_and_rewrite(file, 2'000'000);
            file.close();
        } catch (const OsError& e) {
            return e.error_number() == EFBIG ? 0 : 11;
        } catch (...) {
            return 12;
        }
        return 13;  // the writes did not fail
    });
    ASSERT_EQ(writer.wait_exit_status(), 0);
    EXPECT_FALSE(fs::exists(journal_path(path_)));
    EXPECT_EQ(bytes_of(path_), original_bytes_);
}

TEST_F(JournalTest, ReadersNeverWriteAndNewFilesKeepNoJournal) {
    { File file = File::open(path_, File::Access::ReadOnly); }
    EXPECT_EQ(bytes_of(path_), original_bytes_);
    const std::string fresh = (dir_ / "fresh.h5").string();
    {
        File file = File::create(fresh);
        file.commit();
        EXPECT_FALSE(fs::exists(journal_path(fresh)));
    }
    EXPECT_FALSE(recover_interrupted_update(fresh));
}

TEST_F(JournalTest, SecondCreatorFailsOnTheLockWithoutTouchingTheFirstsFile) {
    const std::string building = (dir_ / "new.h5.tmp").string();
    ChildProcess first([&](ChildProcess& self) {
        File file = File::create(building);
        file.create_dataset("v", DataType::copy(H5T_STD_I64LE), H5T_NATIVE_INT64, original_.size(), original_.data(),
                            DatasetOptions{});
        file.commit();
        self.ready();
        pause();
        return 0;
    });
    ASSERT_TRUE(first.wait_ready());
    const std::string before = bytes_of(building);
    try {
        File::create(building);
        ADD_FAILURE() << "a second creator opened a file that another process is building";
    } catch (const OsError& e) {
        EXPECT_EQ(e.kind(), OsError::Kind::WouldBlock);
    }
    EXPECT_EQ(bytes_of(building), before);
    // Nor does recovery act under a live writer: its journal is not stale.
    std::ofstream(journal_path(building)) << "in use";
    try {
        recover_interrupted_update(building);
        ADD_FAILURE() << "a live writer's file was rolled back";
    } catch (const OsError& e) {
        EXPECT_EQ(e.kind(), OsError::Kind::WouldBlock);
    }
    EXPECT_EQ(bytes_of(building), before);
}

TEST_F(JournalTest, AJournalFollowsItsFileAndNeverTouchesAnotherOfItsName) {
    // What happens to a killed update's file before the next run finds it, and whether its
    // journal must be applied: the file it was made for wherever it now lives (new inode, other
    // folder or disk), never another file under its name (same inode or a reused one).
    const std::string elsewhere = (dir_ / "copy" / "store.h5").string();
    const std::string other_bytes = [&] {
        const std::string other = (dir_ / "other.h5").string();
        make_file(other, sequence(42, 3000));
        return bytes_of(other);
    }();
    const auto overwrite_in_place = [](const std::string& path, const std::string& bytes) {
        std::fstream(path, std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc) << bytes;
    };
    struct Case {
        const char* what;
        std::function<std::string()> move;  // returns where the file now is
        bool applies;
    };
    // Random values: about 1.6 MB that deflate cannot shrink, so the file has a middle.
    std::vector<std::int64_t> noisy(200'000);
    std::generate(noisy.begin(), noisy.end(), std::mt19937_64(5));
    const auto another_middle = [&] {
        // Same name, size and first and last 64 KiB: bars corrected deep inside the file, over
        // more than the spacing of the sampled middle blocks (about a seventh of the file).
        std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(512 << 10);
        file << std::string(256 << 10, '\x5a');
        return path_;
    };
    std::size_t made_size = 0;
    const auto another_tail = [&] {
        // Bars corrected in the last 64 KiB the update found, but not in its very last bytes.
        std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(made_size - (40 << 10)));
        file << std::string(8 << 10, '\x5a');
        return path_;
    };
    const Case cases[] = {
        {"copied with its journal to another folder (cp -a, tar, rsync, another disk)",
         [&] {
             fs::create_directories(fs::path(elsewhere).parent_path());
             fs::copy_file(path_, elsewhere, fs::copy_options::overwrite_existing);
             fs::copy_file(journal_path(path_), journal_path(elsewhere), fs::copy_options::overwrite_existing);
             fs::remove(journal_path(path_));
             return elsewhere;
         },
         true},
        {"restored in place from a backup (same inode)", [&] { return overwrite_in_place(path_, other_bytes), path_; },
         false},
        {"deleted and another file copied in under its name (maybe a reused inode)",
         [&] { return fs::remove(path_), overwrite_in_place(path_, other_bytes), path_; }, false},
        {"the same size and ends, another middle", another_middle, false},
        {"the same size and last bytes, another end", another_tail, false},
    };
    for (const Case& c : cases) {
        make_file(path_, noisy);
        const std::string made = bytes_of(path_);
        made_size = made.size();
        kill_writer_after([&](File& file) { append_and_rewrite(file, 100'000); });
        ASSERT_TRUE(fs::exists(journal_path(path_))) << c.what;
        const std::string now_at = c.move(), left = bytes_of(now_at);
        EXPECT_TRUE(recover_interrupted_update(now_at)) << c.what;
        EXPECT_FALSE(fs::exists(journal_path(now_at))) << c.what;
        EXPECT_TRUE(bytes_of(now_at) == (c.applies ? made : left)) << c.what;
        // One not applied is kept aside under a name that says so.
        int rejected = 0;
        for (const auto& entry : fs::directory_iterator(fs::path(now_at).parent_path()))
            if (entry.path().string().starts_with(journal_path(now_at) + REJECTED_INFIX)) rejected += fs::remove(entry);
        EXPECT_EQ(rejected, c.applies ? 0 : 1) << c.what;
    }
}

TEST_F(JournalTest, AWriterWhoseJournalIsTakenAwayFailsAndRestoresFromWhatItHolds) {
    for (const bool replaced : {false, true}) {
        File file = File::open(path_, File::Access::ReadWrite);
        append_and_rewrite(file, 50'000);
        H5Fflush(file.id(), H5F_SCOPE_LOCAL);
        fs::remove(journal_path(path_));
        if (replaced) std::ofstream(journal_path(path_)) << "another run's";
        EXPECT_THROW(file.commit(), OsError) << replaced;
        file.abandon();
        EXPECT_EQ(bytes_of(path_), original_bytes_) << replaced;
        fs::remove(journal_path(path_));
    }
}

TEST_F(JournalTest, ACloseWithoutCommitRollsBack) {
    {
        File file = File::open(path_, File::Access::ReadWrite);
        append_and_rewrite(file, 5000);
        file.close();
    }
    EXPECT_EQ(bytes_of(path_), original_bytes_);
}

TEST_F(JournalTest, EveryFailingOperationLeavesTheLastOrTheNewCommittedState) {
    // Each operation of an update, one at a time, fails (or is cut short, or interrupted);
    // the update then fails or succeeds, and the file holds either state, never a mix. Then
    // the same for each operation of the rollback of a killed update.
    std::vector<std::int64_t> updated = original_;
    const std::vector<std::int64_t> added = sequence(1'000'000, 4'000), head = sequence(-5000, 3 * CHUNK_ROWS);
    updated.insert(updated.end(), added.begin(), added.end());
    std::copy(head.begin(), head.end(), updated.begin());
    // Deferred, as in a pool worker: the update counts as made once its group is settled.
    const auto update = [&](bool deferred) {
        bool group_failed = false;
        defer_commits(deferred, [&](const std::string&, int, std::size_t) { group_failed = true; });
        const struct Off {
            ~Off() { defer_commits(false); }
        } off;
        File file = File::open(path_, File::Access::ReadWrite);
        append_and_rewrite(file, added.size());
        file.commit();
        file.close();
        defer_commits(false);
        if (group_failed) throw OsError::from_errno(EIO, "the group failed");
    };
    struct Kind {
        test::Op op;
        int err;
        bool short_write;
    };
    const Kind kinds[] = {{test::Op::Write, EIO, false},   {test::Op::Write, ENOSPC, false},
                          {test::Op::Write, EINTR, false}, {test::Op::Write, 0, true},
                          {test::Op::Sync, EIO, false},    {test::Op::Truncate, EIO, false},
                          {test::Op::SyncDir, EIO, false}, {test::Op::Open, EIO, false},
                          {test::Op::SyncFs, EIO, false}};
    // Not reads: HDF5 cannot finish closing a file whose read fails while it closes it (it stays
    // half open in the library until the process ends, which then crashes in HDF5's clean-up).
    int trials = 0;
    for (const bool deferred : {false, true})
        for (const Kind& kind : kinds)
        for (int nth = 0;; nth += nth < 8 ? 1 : 3) {
            make_file(path_, original_);
            test::FaultEnv faults(
                {.op = kind.op, .nth = nth, .err = kind.err, .short_write = kind.short_write, .path_part = {}});
            bool failed = false;
            {
                const ScopedEnv injected(faults);
                try {
                    update(deferred);
                } catch (const std::exception&) {
                    failed = true;
                }
            }
            if (!faults.fired()) break;
            ++trials;
            // A close that fails leaves the file half open in HDF5 (which then crashes as it ends).
            ASSERT_EQ(H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_FILE), 0) << "kind " << int(kind.op) << "/" << kind.err << ", operation " << nth << (deferred ? ", deferred" : "");
            recover_interrupted_update(path_);
            const auto values = read_values(path_);
            EXPECT_TRUE(values == original_ || values == updated) << "operation " << nth;
            // Reported made, it is made.
            EXPECT_TRUE(failed || values == updated) << "operation " << nth << (deferred ? ", deferred" : "");
            // Interrupted and cut-short transfers are carried on, never a failure.
            if (kind.err == EINTR || kind.short_write) {
                EXPECT_FALSE(failed) << "operation " << nth;
            }
        }
    for (int nth = 0;; ++nth) {
        make_file(path_, original_);
        const std::string made = bytes_of(path_);
        kill_writer_after([&](File& file) { append_and_rewrite(file, 30'000); });
        test::FaultEnv faults({.op = test::Op::Write, .nth = nth, .err = EIO, .sticky = true, .path_part = {}});
        bool failed = false;
        {
            const ScopedEnv injected(faults);
            try {
                recover_interrupted_update(path_);
            } catch (const OsError&) {
                failed = true;
            }
        }
        EXPECT_EQ(failed, faults.fired()) << "rollback interrupted at write " << nth;
        if (!faults.fired()) break;
        ++trials;
        EXPECT_TRUE(recover_interrupted_update(path_));
        EXPECT_TRUE(bytes_of(path_) == made) << "rollback interrupted at write " << nth;
    }
    EXPECT_GT(trials, 40);
}

// Syncs of the file system that are refused or that fail (the error may be any program's):
// each file's own sync takes over, and only a file whose own sync fails is rolled back and
// reported, with the item it was committed for. Groups of two: several groups in one run.
TEST_F(JournalTest, DeferredGroupsRollBackOnlyTheFilesWhoseOwnSyncFails) {
    class SyncFaults final : public test::ForwardingEnv {
    public:
        SyncFaults(int fs_err, std::string bad) : fs_err_(fs_err), bad_(std::move(bad)) {}
        int journal_syncs = 0;

    private:
        int before(const test::Recorded& op) noexcept override {
            if (op.op == test::Op::SyncFs) return fs_err_;
            if (op.op != test::Op::Sync || !op.path.ends_with(".journal")) return 0;
            ++journal_syncs;
            return !bad_.empty() && op.path.ends_with(bad_) ? EIO : 0;
        }
        int fs_err_;
        std::string bad_;
    };
    struct Case {
        int fs_err;
        const char* bad;
        std::vector<std::size_t> failed;
    } const cases[] = {{0, "", {}}, {ENOSYS, "", {}}, {EPERM, "", {}}, {EIO, "", {}}, {EIO, "s3.h5.journal", {3}}};
    const auto previous = testing::set_deferred_group_limit(2);
    const auto path = [&](std::size_t i) { return (dir_ / ("s" + std::to_string(i) + ".h5")).string(); };
    for (const Case& c : cases) {
        for (std::size_t i = 0; i < 5; ++i) make_file(path(i), original_);
        std::vector<std::size_t> failed;
        defer_commits(true, [&](const std::string&, int, std::size_t item) { failed.push_back(item); });
        SyncFaults faults(c.fs_err, c.bad);
        {
            const ScopedEnv injected(faults);
            for (std::size_t i = 0; i < 5; ++i) {
                set_deferred_commit_owner(i);
                File file = File::open(path(i), File::Access::ReadWrite);
                append_and_rewrite(file, 100);
                file.commit();
                file.close();
                // Each second file fills a group, which is then settled: its journals are gone.
                EXPECT_EQ(fs::exists(path(i) + ".journal"), i % 2 == 0) << c.fs_err << " file " << i;
            }
            EXPECT_TRUE(settle_deferred_commits());
            defer_commits(false);
        }
        EXPECT_EQ(failed, c.failed) << c.fs_err;
        // Each journal synced alone (its records, then its cleared mark unless it failed first)
        // where the group sync failed.
        EXPECT_EQ(faults.journal_syncs >= 9, c.fs_err != 0) << c.fs_err;
        for (std::size_t i = 0; i < 5; ++i)
            EXPECT_EQ(read_values(path(i)).size() == original_.size(), i == 3 && *c.bad) << c.fs_err << " " << i;
    }
    testing::set_deferred_group_limit(previous);
}

// The file systems where a sync of the whole file system need not reach the disk, or flock is
// emulated: each file is synced alone there and writers keep readers out for the whole update.
TEST(FileSystemKinds, NetworkClusterAndFuseFileSystemsAreToldFromLocalDisks) {
    const struct {
        unsigned long statfs_type;
        const char* name;
        bool remote_or_fuse;
    } kinds[] = {{0x65735546UL, "FUSE", true}, {0x6969UL, "NFS", true},         {0xFF534D42UL, "CIFS", true},
                 {0xFE534D42UL, "SMB2", true}, {0x00C36400UL, "Ceph", true},    {0x0BD00BD0UL, "Lustre", true},
                 {0xEF53UL, "ext4", false},    {0x58465342UL, "XFS", false},    {0x9123683EUL, "Btrfs", false},
                 {0x01021994UL, "tmpfs", false}, {0x2FC12FC1UL, "ZFS", false}};
    for (const auto& kind : kinds) EXPECT_EQ(bundle::fs::remote_or_fuse(kind.statfs_type), kind.remote_or_fuse) << kind.name;
}

TEST_F(JournalTest, OnlyTheHolderOfAFilesLockPublishesOrRemovesIt) {
    // A live writer holds the file: a second run publishing a new file of that name fails
    // without touching the writer's journal, and removal is refused.
    ChildProcess writer([&](ChildProcess& self) {
        File file = File::open(path_, File::Access::ReadWrite);
        append_and_rewrite(file, 20'000);
        self.ready();
        pause();
        return 0;
    });
    ASSERT_TRUE(writer.wait_ready());
    const std::string built = path_ + ".tmp";
    {
        File created = File::create(built);
        created.commit();
        try {
            layout::publish_new_store_file(built, path_);
            ADD_FAILURE() << "published over a live file";
        } catch (const OsError& e) {
            EXPECT_EQ(e.kind(), OsError::Kind::WouldBlock);
        }
    }
    EXPECT_TRUE(fs::exists(journal_path(path_)));
    try {
        layout::remove_h5(path_);
        ADD_FAILURE() << "removed a file another process holds";
    } catch (const OsError& e) {
        EXPECT_EQ(e.kind(), OsError::Kind::WouldBlock);
    }
    writer.kill_now();
    writer.wait_exit_status();
    EXPECT_TRUE(recover_interrupted_update(path_));
    EXPECT_EQ(bytes_of(path_), original_bytes_);
}

std::vector<std::int64_t> appended_and_rewritten(std::vector<std::int64_t> values, std::size_t count) {
    const std::vector<std::int64_t> added = sequence(1'000'000, count), head = sequence(-5000, 3 * CHUNK_ROWS);
    values.insert(values.end(), added.begin(), added.end());
    std::copy(head.begin(), head.end(), values.begin());
    return values;
}

void expect_would_block(const std::function<void()>& action, const std::string& what) {
    try {
        action();
        ADD_FAILURE() << what;
    } catch (const OsError& e) {
        EXPECT_EQ(e.kind(), OsError::Kind::WouldBlock) << e.what();
    }
}

TEST_F(JournalTest, AReaderSeesTheLastCommitInEveryPhaseOfAWriterAndAfterItsKill) {
    const test::ScopedEnvVar read_wait_seconds("TARNWICK_READ_WAIT_SECONDS", "0.3");
    const std::vector<std::int64_t> updated = appended_and_rewritten(original_, 20'000);
    enum class Phase { BeforeWindow, InsideWindow, AfterWindow };
    for (const Phase phase : {Phase::BeforeWindow, Phase::InsideWindow, Phase::AfterWindow}) {
        SCOPED_TRACE(static_cast<int>(phase));
        make_file(path_, original_);
        ChildProcess writer([&](ChildProcess& self) {
            test::StopInWindow stop(path_, self);
            std::optional<ScopedEnv> stopping;
            if (phase == Phase::InsideWindow) stopping.emplace(stop);
            File file = File::open(path_, File::Access::ReadWrite);
            append_and_rewrite(file, 20'000);
            if (phase != Phase::BeforeWindow) file.commit();
            self.ready();
            pause();
            return 0;
        });
        ASSERT_TRUE(writer.wait_ready());
        EXPECT_TRUE(held_for_writing(path_));
        if (phase == Phase::InsideWindow)
            expect_would_block([&] { read_values(path_); }, "read inside a commit window");
        else
            EXPECT_EQ(read_values(path_), phase == Phase::AfterWindow ? updated : original_);
        writer.kill_now();
        writer.wait_exit_status();
        EXPECT_FALSE(held_for_writing(path_));
        // The writer is gone, its journal left: read as of the last commit, on a disk that
        // refuses every write (a reader writes nothing, settles nothing).
        const std::string file_bytes = bytes_of(path_), journal_bytes = bytes_of(journal_path(path_));
        {
            test::FaultEnv read_only({.op = test::Op::Write, .err = EROFS, .sticky = true});
            const ScopedEnv scoped(read_only);
            EXPECT_EQ(read_values(path_), phase == Phase::AfterWindow ? updated : original_);
            EXPECT_FALSE(read_only.fired());
        }
        EXPECT_EQ(bytes_of(path_), file_bytes);
        EXPECT_EQ(bytes_of(journal_path(path_)), journal_bytes);
    }
}

TEST_F(JournalTest, AWriterGivesUpAFileAReaderHoldsPastTheBoundAndOurReadersCannotStarveIt) {
    const test::ScopedEnvVar commit_wait_seconds("TARNWICK_COMMIT_WAIT_SECONDS", "0.3");
    {
        // Held by a reader that never lets go (as an h5py session may): rolled back, refused.
        ChildProcess reader([&](ChildProcess& self) {
            const File file = File::open(path_, File::Access::ReadOnly);
            self.ready();
            pause();
            return 0;
        });
        ASSERT_TRUE(reader.wait_ready());
        File file = File::open(path_, File::Access::ReadWrite);
        append_and_rewrite(file, 600);
        expect_would_block([&] { file.commit(); }, "committed under a reader");
        file.abandon();
        EXPECT_EQ(bytes_of(path_), original_bytes_);
        EXPECT_FALSE(fs::exists(journal_path(path_)));
    }
    // Readers that keep the file open in turns, always one inside: the pending mark lets them
    // finish and keeps new ones out, so the writer gets its window well within the bound.
    const test::ScopedEnvVar longer_commit_wait("TARNWICK_COMMIT_WAIT_SECONDS", "5");
    std::vector<std::unique_ptr<ChildProcess>> readers;
    for (int k = 0; k < 3; ++k)
        readers.push_back(std::make_unique<ChildProcess>([&, k](ChildProcess& self) {
            usleep(7000 * k);
            self.ready();
            for (;;) {
                const File file = File::open(path_, File::Access::ReadOnly);
                usleep(20'000);
            }
            return 0;
        }));
    for (auto& reader : readers) ASSERT_TRUE(reader->wait_ready());
    usleep(50'000);
    {
        File file = File::open(path_, File::Access::ReadWrite);
        append_and_rewrite(file, 600);
        EXPECT_NO_THROW(file.commit());
    }
    readers.clear();
    EXPECT_EQ(read_values(path_), appended_and_rewritten(original_, 600));
}

TEST_F(JournalTest, H5pyReadsTheLastCommitDuringAnUpdateAndCannotWriteMeanwhile) {
    ChildProcess writer([&](ChildProcess& self) {
        File file = File::open(path_, File::Access::ReadWrite);
        append_and_rewrite(file, 20'000);
        self.ready();
        pause();
        return 0;
    });
    ASSERT_TRUE(writer.wait_ready());
    const auto h5py = [&](const std::string& mode) {
        const std::string script = "import h5py,sys; f=h5py.File(sys.argv[1],'" + mode +
                                   "'); v=f['v'][:]; sys.exit(0 if (v[:3].tolist(),len(v))==([0,1,2]," +
                                   std::to_string(original_.size()) + ") else 3)";
        const int status = std::system(("/usr/bin/python3 -c \"" + script + "\" " + path_ + " 2>/dev/null").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(h5py("r"), 0);
    EXPECT_EQ(h5py("r+"), 1);  // refused by HDF5's own lock (an exception: exit status 1)
}

// Puts another file under the store file's name (an install) or removes it (remove_h5) just
// before a writer's lock: the writer must end up with what the name names, or with nothing.
class ReplaceBeforeLock final : public test::ForwardingEnv {
public:
    explicit ReplaceBeforeLock(std::function<void()> replace) : replace_(std::move(replace)) {}
    int lock_byte(int fd, std::uint64_t offset, bundle::fs::Lock how) noexcept override {
        if (replace_) std::exchange(replace_, nullptr)();
        return ForwardingEnv::lock_byte(fd, offset, how);
    }

private:
    std::function<void()> replace_;
};

TEST_F(JournalTest, AWriterWritesTheFileItsNameNamesAfterAnInstallOrARemovalRacedItsLock) {
    const std::string displaced = (dir_ / "displaced.h5").string(), incoming = (dir_ / "incoming.h5").string();
    for (const bool removal : {false, true}) {
        SCOPED_TRACE(removal);
        make_file(path_, original_);
        make_file(incoming, sequence(-40, 700));
        fs::remove(displaced);
        fs::create_hard_link(path_, displaced);
        const std::string displaced_bytes = bytes_of(displaced);
        ReplaceBeforeLock racing([&] {
            if (removal)
                layout::remove_h5(path_);
            else
                fs::rename(incoming, path_);
        });
        const ScopedEnv scoped(racing);
        if (removal) {
            EXPECT_THROW(File::open(path_, File::Access::ReadWrite), OsError);
        } else {
            File file = File::open(path_, File::Access::ReadWrite);
            file.open_dataset("v").append<std::int64_t>(H5T_NATIVE_INT64, sequence(5, 10));
            file.commit();
            file.close();
            std::vector<std::int64_t> expected = sequence(-40, 700), added = sequence(5, 10);
            expected.insert(expected.end(), added.begin(), added.end());
            EXPECT_EQ(read_values(path_), expected);
        }
        EXPECT_EQ(bytes_of(displaced), displaced_bytes);
    }
}

}  // namespace
}  // namespace tarnwick::bundle::h5
