// The checks against damaged store files.
//
// One good bundle is made per run by the real full update against the simulated market. Every
// test copies it, damages some of the copy's store files and runs the examination in a forked
// child, so that a crash shows up as a failed test instead of ending the test program. What must
// hold each time: every damaged file is listed as abnormal, the examination returns normally,
// and every undamaged file stays unlisted.
//
// Byte flips are made inside the stored (deflated) chunks of "data" and "index": zlib checks the
// stream's adler32, so the damaged chunk cannot be read back and the check has to see it. Tick
// files get no byte flips: the tick check reads only their member names, never the ticks.
// Damage to a dataset's object header can make HDF5 itself read out of bounds or divide by zero;
// those tests also run the command-line check in a fresh process, where such a read is not
// hidden by the test program's large heap.
//
// The random choices come from one seeded generator (TARNWICK_DAMAGE_SEED overrides the seed);
// every failure message names the seed and the damage done.
#include "tarnwick/bundle/checks/minbar_check.hpp"
#include "tarnwick/bundle/checks/tick_check.hpp"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/commands/updates.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"

namespace tarnwick::bundle::checks {
namespace {

namespace fs = std::filesystem;
using layout::IndexRecord;

// Minute bars: stocks (one of them suspended for a while), an ETF, a future and an option, so
// that both day-session and night-session groups are covered.
const std::vector<std::string> MINBAR_IDS = {"000001.XSHE", "000002.XSHE", "600000.XSHG",  "300750.XSHE",
                                             "510050.XSHG", "IF2612",      "IO2612-C-4000"};
const std::vector<std::string> TICK_IDS = {"000001.XSHE", "000002.XSHE", "600000.XSHG", "IF2612"};

std::uint64_t run_seed() {
    const char* text = std::getenv("TARNWICK_DAMAGE_SEED");
    return text && *text ? std::strtoull(text, nullptr, 10) : 20261204u;
}

// What one examination gave, as seen from outside the process that ran it.
struct Outcome {
    int exit_status = 0;  // negative: killed by that signal
    std::string thrown;   // what() of an exception that left the examination
    bool examined = false;
    std::set<std::string> abnormal;
    std::set<std::string> blocked;
};

enum class Kind { MinuteBars, Ticks };

class Damage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        good_ = new test::TempDir;
        host::set_clock(host::make_datetime(2026, 12, 4, 18, 0));
        auto previous_client = service::install(std::make_unique<service::SimulatedMarket>());
        std::string ignored;
        auto previous_console = host::set_console({[&](const std::string& t) { ignored += t; }, nullptr});
        built_ = commands::update_bundle_from_tickwirec(2, good_->str(), true, MINBAR_IDS, TICK_IDS, false);
        host::set_console(previous_console);
        service::install(std::move(previous_client));
        host::set_clock(std::nullopt);
    }
    static void TearDownTestSuite() {
        delete good_;
        good_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(built_) << "the full update failed; nothing to damage";
        host::set_clock(host::make_datetime(2026, 12, 4, 18, 0));
        previous_client_ = service::install(std::make_unique<service::SimulatedMarket>());
        fs::copy(good_->path() / "bundle", dir / "bundle", fs::copy_options::recursive);
        for (const auto& id : MINBAR_IDS) ASSERT_TRUE(fs::exists(minbar(id))) << minbar(id);
        for (const auto& id : TICK_IDS) ASSERT_TRUE(fs::exists(tick(id))) << tick(id);
    }
    void TearDown() override {
        service::install(std::move(previous_client_));
        host::set_clock(std::nullopt);
    }

    std::string root() const { return dir.str(); }
    std::string minbar(const std::string& id) const {
        const std::string group = id.starts_with("IF") ? "future" : id.starts_with("IO") ? "option" : "equities";
        return (fs::path(layout::minbar_root(root())) / group / (id + ".h5")).string();
    }
    std::string tick(const std::string& id) const {
        return (fs::path(layout::tick_root(root())) / (id + ".h5")).string();
    }

    // Runs the examination in a child process; the child writes what it found to a file.
    Outcome examine(Kind kind) const {
        const std::string result_file = (dir / "outcome.txt").string();
        test::ChildProcess child([&](test::ChildProcess&) {
            const int null = open("/dev/null", O_WRONLY);
            if (null >= 0) dup2(null, STDERR_FILENO);  // the progress display
            host::set_console({[](const std::string&) {}, [] { return std::optional<std::string>(); }});
            std::ofstream out(result_file, std::ios::trunc);
            try {
                const auto lists =
                    kind == Kind::MinuteBars ? examine_min_bar_files(root()) : examine_tick_files(root());
                if (lists) {
                    out << "examined\n";
                    for (const auto& p : lists->error_file_path_list) out << "A " << p << '\n';
                    for (const auto& p : lists->blocking_or_permission_error) out << "B " << p << '\n';
                }
            } catch (const std::exception& e) {
                out << "T " << e.what() << '\n';
            } catch (...) {
                out << "T (not a std::exception)\n";
            }
            out.close();
            return 0;
        });
        Outcome outcome;
        outcome.exit_status = child.wait_exit_status();
        std::ifstream in(result_file);
        for (std::string line; std::getline(in, line);) {
            if (line == "examined")
                outcome.examined = true;
            else if (line.starts_with("A "))
                outcome.abnormal.insert(line.substr(2));
            else if (line.starts_with("B "))
                outcome.blocked.insert(line.substr(2));
            else if (line.starts_with("T "))
                outcome.thrown = line.substr(2);
        }
        return outcome;
    }

    // The examination ended normally and listed exactly `damaged` as abnormal.
    void expect_exactly(Kind kind, const std::set<std::string>& damaged, const std::string& what_was_done) const {
        const Outcome got = examine(kind);
        ASSERT_EQ(got.exit_status, 0) << "the check crashed (negative: signal) after: " << what_was_done;
        ASSERT_EQ(got.thrown, "") << "the check threw after: " << what_was_done;
        ASSERT_TRUE(got.examined) << what_was_done;
        EXPECT_EQ(got.abnormal, damaged) << what_was_done;
        EXPECT_TRUE(got.blocked.empty()) << ::testing::PrintToString(got.blocked) << " after: " << what_was_done;
    }

    test::TempDir dir;
    std::unique_ptr<service::Client> previous_client_;
    static test::TempDir* good_;
    static bool built_;
};

test::TempDir* Damage::good_ = nullptr;
bool Damage::built_ = false;

// ---- Ways to damage a file ------------------------------------------------------------------

hsize_t superblock_size(const std::string& path) {
    auto file = h5::File::open(path, h5::File::Access::ReadOnly);
    H5F_info2_t info{};
    if (H5Fget_info2(file.id(), &info) < 0) h5::throw_error_stack("H5Fget_info2");
    return info.super.super_size;
}

std::vector<IndexRecord> index_of(const std::string& path) {
    auto file = h5::File::open(path, h5::File::Access::ReadOnly);
    return file.open_dataset("index").read_all<IndexRecord>(layout::index_memory_type().id());
}

void write_index(const std::string& path, const std::vector<IndexRecord>& index) {
    auto file = h5::File::open(path, h5::File::Access::ReadWrite);
    file.open_dataset("index").write_rows(layout::index_memory_type().id(), 0, index.size(), index.data());
    file.commit();
}

hsize_t data_rows(const std::string& path) {
    return h5::File::open(path, h5::File::Access::ReadOnly).open_dataset("data").rows();
}

std::vector<std::int64_t> datetimes_of(const std::string& path) {
    auto file = h5::File::open(path, h5::File::Access::ReadOnly);
    return file.open_dataset("data").read_all<std::int64_t>(layout::datetime_field_memory_type().id());
}

// True when every stored row of the dataset can be read back.
bool dataset_reads(const std::string& path, const std::string& name) {
    try {
        auto file = h5::File::open(path, h5::File::Access::ReadOnly);
        auto dataset = file.open_dataset(name);
        const auto type = dataset.file_type();
        // A damaged extent is refused here (ClaimTooLarge) rather than allocated.
        const hsize_t rows = dataset.readable_rows(type.size());
        std::vector<char> buffer(rows * type.size());
        if (!buffer.empty()) dataset.read_rows(type.id(), 0, rows, buffer.data());
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

struct StoredChunk {
    haddr_t address = 0;
    hsize_t size = 0;
};

std::vector<StoredChunk> stored_chunks(const std::string& path, const std::string& name) {
    auto file = h5::File::open(path, h5::File::Access::ReadOnly);
    const auto dataset = file.open_dataset(name);
    const auto space = h5::DataSpace::of_dataset(dataset.id());
    hsize_t count = 0;
    if (H5Dget_num_chunks(dataset.id(), space.id(), &count) < 0) h5::throw_error_stack("H5Dget_num_chunks");
    std::vector<StoredChunk> chunks;
    for (hsize_t i = 0; i < count; ++i) {
        hsize_t offset[1] = {0};
        unsigned filter_mask = 0;
        StoredChunk chunk;
        if (H5Dget_chunk_info(dataset.id(), space.id(), i, offset, &filter_mask, &chunk.address, &chunk.size) < 0)
            h5::throw_error_stack("H5Dget_chunk_info");
        chunks.push_back(chunk);
    }
    return chunks;
}

void xor_byte(const std::string& path, std::uint64_t at, unsigned char mask) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(static_cast<std::streamoff>(at));
    char byte = 0;
    file.read(&byte, 1);
    byte = static_cast<char>(static_cast<unsigned char>(byte) ^ mask);
    file.seekp(static_cast<std::streamoff>(at));
    file.write(&byte, 1);
    if (!file) throw std::runtime_error("could not rewrite a byte of " + path);
}

// Flips bits of one byte inside one stored chunk of the dataset; returns what was done.
// Two places of a zlib stream are left alone because a change there can leave it valid: the
// flag byte (the compression level it records is informational, and some changes keep the
// header check intact) and the last byte of the deflate data, whose top bits are padding.
std::string flip_in_chunk(const std::string& path, const std::string& name, std::mt19937_64& rng) {
    const auto chunks = stored_chunks(path, name);
    if (chunks.empty()) throw std::runtime_error(name + " has no stored chunk in " + path);
    const std::size_t which = rng() % chunks.size();
    const StoredChunk chunk = chunks[which];
    if (chunk.size < 8) throw std::runtime_error("chunk too small to damage in " + path);
    std::uint64_t at = 0;
    do at = rng() % chunk.size;
    while (at == 1 || at == chunk.size - 5);
    const auto mask = static_cast<unsigned char>(1 + rng() % 255);
    xor_byte(path, chunk.address + at, mask);
    std::ostringstream what;
    what << "\"" << name << "\" chunk " << which << "/" << chunks.size() << " byte " << at << "/" << chunk.size
         << " ^= 0x" << std::hex << int(mask);
    return what.str();
}

void truncate_to(const std::string& path, std::uintmax_t size) { fs::resize_file(path, size); }

void unlink_member(const std::string& path, const std::string& name) {
    {
        auto edited = h5::File::open(path, h5::File::Access::ReadWrite);
        edited.unlink(name);
        edited.commit();
    }
}

std::string middle_member(const std::string& path) {
    const auto members = h5::File::open(path, h5::File::Access::ReadOnly).members();
    return members.at(members.size() / 2);
}

// The command-line check in a process of its own, answering "n" to the deletion question. A
// fork of the test program has a large heap around HDF5's buffers, where a read past the end of
// one of them may find mapped memory; a fresh process is what a user runs.
struct CliRun {
    int status = 0;  // the shell's: 128 + signal when the check was killed
    std::string out;
};

CliRun run_cli_check(const std::string& kind, const std::string& root) {
    const std::string command = fmt::format(
        "printf 'n\\n' | TARNWICK_NOW='2026-12-04 18:00:00' {} check {} '{}' 2>/dev/null", TARNWICK_CLI, kind, root);
    CliRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("popen failed");
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

// The command-line check ends normally and lists exactly `id` as abnormal; the file is kept
// ("n"), so the status is 1, not 128 + a signal.
void expect_cli_lists(const std::string& root, const std::string& id) {
    const CliRun run = run_cli_check("minbar", root);
    EXPECT_EQ(run.status, 1) << "the command-line check ended abnormally (128 + signal); it printed:\n" << run.out;
    EXPECT_NE(run.out.find("数据异常标的如下:\n['" + id + "']\n"), std::string::npos) << run.out;
}

// ---- Minute-bar files ------------------------------------------------------------------------

TEST_F(Damage, UndamagedCopyOfTheFullUpdateIsGood) {
    expect_exactly(Kind::MinuteBars, {}, "nothing");
    expect_exactly(Kind::Ticks, {}, "nothing");
    // The command line, used below for damage that may end the process, agrees.
    const CliRun run = run_cli_check("minbar", root());
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("\n检测完成：分钟数据质量良好！\n"), std::string::npos) << run.out;
}

TEST_F(Damage, TruncatedMinuteBarFilesAreAbnormal) {
    const auto empty = minbar("000001.XSHE");
    const auto half = minbar("600000.XSHG");
    const auto past_superblock = minbar("IF2612");
    const auto one_byte_short = minbar("IO2612-C-4000");
    const auto sb = superblock_size(past_superblock);
    truncate_to(empty, 0);
    truncate_to(half, fs::file_size(half) / 2);
    truncate_to(past_superblock, sb + 1);
    truncate_to(one_byte_short, fs::file_size(one_byte_short) - 1);
    expect_exactly(Kind::MinuteBars, {empty, half, past_superblock, one_byte_short},
                   "truncated to 0 bytes, to half, to just past the superblock, by one byte");
}

TEST_F(Damage, RandomlyTruncatedMinuteBarFilesAreAbnormal) {
    std::mt19937_64 rng(run_seed());
    std::set<std::string> damaged;
    std::ostringstream what;
    what << "seed " << run_seed() << ":";
    for (const std::string id : {"000002.XSHE", "300750.XSHE", "510050.XSHG", "IF2612"}) {
        const auto path = minbar(id);
        const auto size = 1 + rng() % (fs::file_size(path) - 1);
        truncate_to(path, size);
        damaged.insert(path);
        what << " " << id << " to " << size << " bytes;";
    }
    expect_exactly(Kind::MinuteBars, damaged, what.str());
}

TEST_F(Damage, FlippedBytesInStoredChunksMakeTheReadFail) {
    // The premise of the byte-flip tests, checked on its own: a flip inside a stored chunk
    // leaves the dataset unreadable rather than silently different.
    std::mt19937_64 rng(run_seed());
    for (const auto& id : MINBAR_IDS) {
        for (const std::string name : {"data", "index"}) {
            fs::remove_all(dir / "scratch");
            fs::create_directories(dir / "scratch");
            const auto path = (dir / "scratch" / (id + ".h5")).string();
            fs::copy_file(minbar(id), path);
            const std::string what = flip_in_chunk(path, name, rng);
            EXPECT_FALSE(dataset_reads(path, name)) << id << ": " << what << " (seed " << run_seed() << ")";
        }
    }
}

TEST_F(Damage, FlippedBytesInDataAndIndexChunksAreAbnormal) {
    std::mt19937_64 rng(run_seed());
    // Several rounds, each damaging a random part of the files and keeping the rest as they were.
    for (int round = 0; round < 4; ++round) {
        if (round > 0) {
            fs::remove_all(dir / "bundle");
            fs::copy(good_->path() / "bundle", dir / "bundle", fs::copy_options::recursive);
        }
        std::set<std::string> damaged;
        std::ostringstream what;
        what << "seed " << run_seed() << " round " << round << ":";
        for (const auto& id : MINBAR_IDS) {
            if (rng() % 2 == 0) continue;
            const std::string name = rng() % 3 == 0 ? "index" : "data";
            what << " " << id << " " << flip_in_chunk(minbar(id), name, rng) << ";";
            damaged.insert(minbar(id));
        }
        expect_exactly(Kind::MinuteBars, damaged, what.str());
    }
}

TEST_F(Damage, MissingMembersOfDerivativeFilesAreAbnormal) {
    const auto no_index = minbar("IO2612-C-4000");
    const auto no_data = minbar("IF2612");
    unlink_member(no_index, "index");
    unlink_member(no_data, "data");
    expect_exactly(Kind::MinuteBars, {no_index, no_data}, "option without \"index\", future without \"data\"");
}

// Replaces a member with a dataset of other records: same name, same number of rows.
void replace_with_records(const std::string& path, const std::string& name, const h5::DataType& type) {
    auto file = h5::File::open(path, h5::File::Access::ReadWrite);
    const hsize_t rows = file.open_dataset(name).rows();
    file.unlink(name);
    const std::vector<char> zeros(rows * type.size(), 0);
    file.create_dataset(name, type, type.id(), rows, zeros.data(), {});
    file.commit();
}

TEST_F(Damage, MembersOfTheWrongShapeAreAbnormal) {
    // "index" without "line_no".
    const auto no_line_no = minbar("000001.XSHE");
    auto index_type = h5::DataType::compound(8);
    index_type.insert("date", 0, H5T_STD_I32LE).insert("row", 4, H5T_STD_U32LE);
    replace_with_records(no_line_no, "index", index_type);
    // "data" without "datetime".
    const auto no_datetime = minbar("IF2612");
    auto bar_type = h5::DataType::compound(16);
    bar_type.insert("time", 0, H5T_STD_I64LE).insert("close", 8, H5T_IEEE_F64LE);
    replace_with_records(no_datetime, "data", bar_type);
    // "index" is a group.
    const auto group_index = minbar("600000.XSHG");
    {
        auto file = h5::File::open(group_index, h5::File::Access::ReadWrite);
        file.unlink("index");
        const hid_t group = H5Gcreate2(file.id(), "index", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        ASSERT_GE(group, 0);
        H5Gclose(group);
        file.commit();
    }
    // "data" is a two-dimensional table of plain integers.
    const auto table_data = minbar("510050.XSHG");
    {
        auto file = h5::File::open(table_data, h5::File::Access::ReadWrite);
        const hsize_t dims[2] = {file.open_dataset("data").rows(), 7};
        file.unlink("data");
        const hid_t space = H5Screate_simple(2, dims, nullptr);
        const hid_t dataset =
            H5Dcreate2(file.id(), "data", H5T_STD_I64LE, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        ASSERT_GE(dataset, 0);
        H5Dclose(dataset);
        H5Sclose(space);
        file.commit();
    }
    expect_exactly(Kind::MinuteBars, {no_line_no, no_datetime, group_index, table_data},
                   "index without line_no, data without datetime, index a group, data a 2-D integer table");
}

TEST_F(Damage, WrongLineNumbersAreAbnormal) {
    // A stock's day points at the next day's first bar.
    const auto next_day = minbar("600000.XSHG");
    auto index = index_of(next_day);
    index[10].line_no = index[11].line_no;
    write_index(next_day, index);
    // An ETF's day points one bar early, at the day before's last bar.
    const auto one_early = minbar("510050.XSHG");
    index = index_of(one_early);
    index[20].line_no -= 1;
    write_index(one_early, index);
    // A future's last day points just past the end of "data".
    const auto past_end = minbar("IF2612");
    index = index_of(past_end);
    index.back().line_no = static_cast<std::uint32_t>(data_rows(past_end));
    write_index(past_end, index);
    // An option's first day points at its last day's first bar.
    const auto last_day = minbar("IO2612-C-4000");
    index = index_of(last_day);
    index.front().line_no = index.back().line_no;
    write_index(last_day, index);
    expect_exactly(Kind::MinuteBars, {next_day, one_early, past_end, last_day},
                   "line numbers: next day's, one early, one past the end, last day's");
}

TEST_F(Damage, SwappedFieldsOfTwoIndexRecordsAreAbnormal) {
    const auto lines_swapped = minbar("000001.XSHE");
    auto index = index_of(lines_swapped);
    std::swap(index[2].line_no, index[5].line_no);
    write_index(lines_swapped, index);
    const auto dates_swapped = minbar("IF2612");
    index = index_of(dates_swapped);
    std::swap(index[3].date, index[4].date);
    write_index(dates_swapped, index);
    expect_exactly(Kind::MinuteBars, {lines_swapped, dates_swapped},
                   "a stock's line numbers of days 2 and 5 swapped, a future's dates of days 3 and 4 swapped");
}

// Two whole records change places: each still names its own day's first bar, but the index is
// out of order, so a reader's search by date lands on the wrong rows.
TEST_F(Damage, WholeIndexRecordsSwappedAreAbnormal) {
    const auto middle = minbar("300750.XSHE");
    auto index = index_of(middle);
    std::swap(index[7], index[8]);
    write_index(middle, index);
    const auto ends = minbar("510050.XSHG");
    index = index_of(ends);
    std::swap(index.front(), index.back());
    write_index(ends, index);
    expect_exactly(Kind::MinuteBars, {middle, ends},
                   "a stock's records 7 and 8 swapped, an ETF's first and last records swapped");
}

// In "future" and "option" the first bar of a day is the evening bar of the day before; an
// index line that names a later bar of the same trading day is wrong all the same.
TEST_F(Damage, NightSessionLineNumberInsideItsOwnDayIsAbnormal) {
    const auto path = minbar("IF2612");
    auto index = index_of(path);
    const auto datetimes = datetimes_of(path);
    const std::size_t k = index.size() / 2;
    ASSERT_GE(datetimes.at(index[k].line_no) % 1000000, 180000) << "the day should start in the evening";
    ASSERT_GE(datetimes.at(index[k].line_no + 1) % 1000000, 180000) << "so should its second bar";
    index[k].line_no += 1;  // the second bar of that evening
    write_index(path, index);
    expect_exactly(Kind::MinuteBars, {path}, "a future's middle day points at its second bar");
}

// ---- Damage to a dataset's object header -----------------------------------------------------
//
// The store files keep HDF5's earliest format, whose version-1 object header is a 16-byte
// prefix (version 1, reserved, message count: 2 bytes, reference count: 4, header size: 4,
// padding: 4) followed by messages of (type: 2 bytes, size: 2, flags: 1, reserved: 3, data).
// Each test changes one message of "data" in a way HDF5 accepts when it opens the dataset.

struct HeaderMessage {
    std::uint16_t type = 0;
    std::uint64_t data_at = 0;  // file offset of the message's data
    std::uint16_t size = 0;
};

constexpr std::uint16_t DATATYPE_MESSAGE = 0x0003;
constexpr std::uint16_t LAYOUT_MESSAGE = 0x0008;
constexpr std::uint16_t FILTER_MESSAGE = 0x000B;

HeaderMessage header_message(const std::string& path, const std::string& dataset, std::uint16_t type) {
    haddr_t address = 0;
    {
        auto file = h5::File::open(path, h5::File::Access::ReadOnly);
        H5O_info_t info{};
        if (H5Oget_info_by_name2(file.id(), dataset.c_str(), &info, H5O_INFO_BASIC, H5P_DEFAULT) < 0)
            h5::throw_error_stack("H5Oget_info_by_name2");
        address = info.addr;
    }
    std::ifstream in(path, std::ios::binary);
    auto read_at = [&](std::uint64_t at, std::size_t n) {
        std::vector<unsigned char> bytes(n);
        in.seekg(static_cast<std::streamoff>(at));
        in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(n));
        if (!in) throw std::runtime_error("short read in " + path);
        return bytes;
    };
    const auto prefix = read_at(address, 16);
    if (prefix[0] != 1) throw std::runtime_error("not a version-1 object header in " + path);
    const std::uint32_t header_size = prefix[8] | prefix[9] << 8 | prefix[10] << 16 | std::uint32_t(prefix[11]) << 24;
    for (std::uint64_t at = address + 16; at + 8 <= address + 16 + header_size;) {
        const auto head = read_at(at, 8);
        const HeaderMessage message{static_cast<std::uint16_t>(head[0] | head[1] << 8), at + 8,
                                    static_cast<std::uint16_t>(head[2] | head[3] << 8)};
        if (message.type == type) return message;
        at += 8 + message.size;
    }
    throw std::runtime_error("no message of that type in the header of " + dataset);
}

void overwrite(const std::string& path, std::uint64_t at, const std::vector<unsigned char>& bytes) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(at));
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!file) throw std::runtime_error("could not rewrite " + path);
}

// The stored record size grows (the compound's fields still fit): every chunk now holds fewer
// bytes than its rows need.
TEST_F(Damage, StoredRecordSizeGrownIsAbnormal) {
    const auto path = minbar("IO2612-C-4000");
    const auto message = header_message(path, "data", DATATYPE_MESSAGE);
    const std::uint32_t size = sizeof(layout::DerivativeBar) * 137;
    overwrite(path, message.data_at + 4,
              {static_cast<unsigned char>(size), static_cast<unsigned char>(size >> 8),
               static_cast<unsigned char>(size >> 16), static_cast<unsigned char>(size >> 24)});
    expect_exactly(Kind::MinuteBars, {path}, "the option's record size in the type of \"data\" set to 137 records");
    expect_cli_lists(root(), "IO2612-C-4000");
}

// The filter pipeline's message type becomes one HDF5 does not know, so it is skipped: the
// deflated chunks are taken for raw records.
TEST_F(Damage, FilterPipelineMessageLostIsAbnormal) {
    const auto path = minbar("510050.XSHG");
    const auto message = header_message(path, "data", FILTER_MESSAGE);
    overwrite(path, message.data_at - 8, {0xF0, 0x00});
    expect_exactly(Kind::MinuteBars, {path}, "the ETF's filter message of \"data\" retyped 0xF0");
    expect_cli_lists(root(), "510050.XSHG");
}

// The layout message's version goes from 3 to 2, whose encoding differs.
TEST_F(Damage, LayoutMessageVersionChangedIsAbnormal) {
    const auto path = minbar("300750.XSHE");
    const auto message = header_message(path, "data", LAYOUT_MESSAGE);
    overwrite(path, message.data_at, {2});
    expect_exactly(Kind::MinuteBars, {path}, "the stock's layout message of \"data\" set to version 2");
    expect_cli_lists(root(), "300750.XSHE");
}

// ---- Tick files ------------------------------------------------------------------------------

TEST_F(Damage, TruncatedTickFilesAreAbnormal) {
    const auto empty = tick("000001.XSHE");
    const auto half = tick("600000.XSHG");
    const auto past_superblock = tick("IF2612");
    const auto sb = superblock_size(past_superblock);
    truncate_to(empty, 0);
    truncate_to(half, fs::file_size(half) / 2);
    truncate_to(past_superblock, sb + 1);
    expect_exactly(Kind::Ticks, {empty, half, past_superblock},
                   "truncated to 0 bytes, to half, to just past the superblock");
}

TEST_F(Damage, TickFilesCutByOneByteOrAtRandomAreAbnormal) {
    std::mt19937_64 rng(run_seed());
    const auto short_by_one = tick("000002.XSHE");
    const auto random = tick("600000.XSHG");
    const auto size = 1 + rng() % (fs::file_size(random) - 1);
    truncate_to(short_by_one, fs::file_size(short_by_one) - 1);
    truncate_to(random, size);
    expect_exactly(Kind::Ticks, {short_by_one, random},
                   "one byte short; seed " + std::to_string(run_seed()) + ": to " + std::to_string(size) + " bytes");
}

TEST_F(Damage, TickDaysMissingInTheMiddleAreAbnormal) {
    const auto stock = tick("600000.XSHG");
    const auto future = tick("IF2612");
    const auto stock_day = middle_member(stock);
    const auto future_day = middle_member(future);
    unlink_member(stock, stock_day);
    unlink_member(future, future_day);
    expect_exactly(Kind::Ticks, {stock, future}, "deleted " + stock_day + " and " + future_day);
}

TEST_F(Damage, TickDaysRenamedToNonDaysAreAbnormal) {
    // A day's member under a name that is no day: too short (sorts first, so the expected range
    // reaches back to the start of the calendar) or not digits (sorts last).
    const auto short_name = tick("000001.XSHE");
    const auto letters = tick("IF2612");
    const auto short_day = middle_member(short_name);
    const auto letters_day = middle_member(letters);
    {
        auto edited = h5::File::open(short_name, h5::File::Access::ReadWrite);
        edited.rename(short_day, short_day.substr(4));
        edited.commit();
    }
    {
        auto edited = h5::File::open(letters, h5::File::Access::ReadWrite);
        edited.rename(letters_day, "day" + letters_day);
        edited.commit();
    }
    expect_exactly(Kind::Ticks, {short_name, letters},
                   short_day + " renamed " + short_day.substr(4) + ", " + letters_day + " renamed day" + letters_day);
}

}  // namespace
}  // namespace tarnwick::bundle::checks
