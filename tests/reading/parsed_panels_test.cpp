// Panels of minute-bar files read from their parsed bytes, against the same files read through
// HDF5: damaged files, and a file whose writer died inside its commit.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "minbar/minbar_files.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "support/test_envs.hpp"
#include "tarnwick/bundle/fs/env.hpp"
#include "tarnwick/bundle/h5/stored_format.hpp"
#include "tarnwick/bundle/reading/panel.hpp"

namespace tarnwick::bundle::reading {
namespace {

namespace stdfs = std::filesystem;
using layout::EquityBar;

// One member's panel: its days with their rows and its records' bytes; empty when it failed.
struct Outcome {
    bool ok = false;
    std::vector<std::pair<int, std::size_t>> days;
    std::string bytes;
    bool operator==(const Outcome&) const = default;
};

Outcome read_panel(const std::string& root, const DayRange& days, bool parse, const char* id = "000001.XSHE") {
    const bool before = testing::set_parse_files(parse);
    Outcome out;
    try {
        PanelReader reader(root, {{id}, days, false, Missing::Raise, 2});
        reader.read([&](std::size_t index) {
            const std::size_t size = record_size(reader.members()[index].kind);
            out.bytes.resize(reader.members()[index].rows * size);
            return std::vector<Sink>{
                {Sink::Form::Bytes, 0, size, 1.0, reinterpret_cast<unsigned char*>(out.bytes.data()), size}};
        });
        for (const DayRows& day : reader.members().at(0).days) out.days.emplace_back(day.day, day.rows);
        out.ok = true;
    } catch (const std::exception&) {
        out = {};
    }
    testing::set_parse_files(before);
    return out;
}

// 81 trading days of 240 bars: 76 chunks of 256 rows, more than one leaf of the chunk tree holds.
std::vector<EquityBar> bars() {
    std::vector<EquityBar> out;
    for (int month = 1; month <= 3; ++month)
        for (int day = 1; day <= 27; ++day)
            for (int minute = 30; minute < 270; ++minute) {
                const double price = 10 + month + day * 0.01 + minute * 0.001;
                const std::int64_t at =
                    (20260000 + month * 100 + day) * 1000000LL + (9 + minute / 60) * 10000 + minute % 60 * 100;
                out.push_back({at, price, price + 0.5, price - 0.5, price, minute * 100.0, price * minute});
            }
    return out;
}

class ParsedPanelsTest : public ::testing::Test {
protected:
    void SetUp() override {
        stdfs::create_directories(stdfs::path(file_).parent_path());
        test::write_store(file_, data_, &index_);
    }
    test::TempDir dir_;
    const std::string root_ = dir_.path().string();
    const std::string file_ = root_ + "/bundle/h5/equities/000001.XSHE.h5";
    const std::vector<EquityBar> data_ = bars();
    const std::vector<layout::IndexRecord> index_ = test::calendar_index(data_);
    const std::vector<DayRange> ranges_{{20260210, 20260305}, {}};
};

TEST_F(ParsedPanelsTest, ADamagedFileReadsAsHdf5ReadsItOrAsItWasNeverAnythingElse) {
    // Where the metadata lies: headers and chunk tree roots of "data" first, those of "index" last.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> regions{{0, 4096}};
    {
        const h5::StoredFile parsed(std::move(*h5::CommittedFile::open(file_)));
        for (const char* name : {"data", "index"}) {  // understood whole: every chunk found
            const h5::StoredDataset dataset = parsed.dataset(name);
            ASSERT_EQ(parsed.chunks(dataset, 0, dataset.rows).size(), (dataset.rows + 255) / 256);
        }
        regions.emplace_back(parsed.size() - 4096, 4096);
    }
    std::vector<Outcome> reference;
    for (const DayRange& days : ranges_) {
        reference.push_back(read_panel(root_, days, true));
        ASSERT_TRUE(reference.back().ok);
        ASSERT_EQ(reference.back(), read_panel(root_, days, false));
    }
    std::ifstream in(file_, std::ios::binary);
    const std::string pristine{std::istreambuf_iterator<char>(in), {}};
    // The damaged files are read in a child: after some of them HDF5 cannot shut down cleanly
    // (its own error paths keep a file's state alive), and its teardown must not fail this test
    // process (a sanitized build counts all of HDF5's memory as leaked then).
    const std::string tally_file = root_ + "/tally";
    test::ChildProcess reader([&](test::ChildProcess&) {
        std::mt19937_64 random(20261208);
        int trials = 0, harmed = 0, both_read = 0, parsed_only = 0;
        std::string wrong;  // the first read from parsed bytes that neither other read gives
        for (; trials < 300; ++trials) {
            const auto [start, length] = regions[random() % regions.size()];
            const std::uint64_t offset = start + random() % length;
            const int mask = static_cast<int>(1 + random() % 255);
            std::string damaged = pristine;
            damaged[offset] = static_cast<char>(damaged[offset] ^ mask);
            std::ofstream(file_, std::ios::binary | std::ios::trunc)
                .write(damaged.data(), static_cast<std::streamsize>(damaged.size()));
            for (std::size_t r = 0; r < ranges_.size(); ++r) {
                const Outcome parsed = read_panel(root_, ranges_[r], true), hdf5 = read_panel(root_, ranges_[r], false);
                harmed += parsed != reference[r] || hdf5 != reference[r];
                both_read += parsed.ok && hdf5.ok;
                parsed_only += parsed.ok && !hdf5.ok;
                if (parsed.ok && parsed != hdf5 && parsed != reference[r] && wrong.empty())
                    wrong = fmt::format("offset {} xor {} range {}", offset, mask, r);
            }
        }
        std::ofstream(tally_file) << trials << ' ' << harmed << ' ' << both_read << ' ' << parsed_only << ' '
                                  << (wrong.empty() ? "-" : wrong);
        return 0;
    });
    ASSERT_EQ(reader.wait_exit_status(), 0);
    int trials = 0, harmed = 0, both_read = 0, parsed_only = 0;
    std::string wrong;
    std::ifstream tally(tally_file);
    tally >> trials >> harmed >> both_read >> parsed_only;
    std::getline(tally >> std::ws, wrong);
    EXPECT_EQ(wrong, "-") << "read from parsed bytes as neither HDF5 nor the unharmed file gives it";
    const std::string counts = fmt::format("trials {}, reads harmed {}, read both ways {}, read parsed only {}", trials,
                                           harmed, both_read, parsed_only);
    RecordProperty("counts", counts);
    EXPECT_GT(harmed, 0) << counts;
    EXPECT_GT(both_read, 0) << counts;
    // Damage HDF5 minds and the parser does not look at (a fill value's size): read from parsed bytes.
    EXPECT_GT(parsed_only, 0) << counts;
}

TEST_F(ParsedPanelsTest, AWriterKilledInsideItsCommitIsReadAsBeforeItsUpdate) {
    std::vector<Outcome> before;
    for (const DayRange& days : ranges_) before.push_back(read_panel(root_, days, false));
    test::ChildProcess writer([&](test::ChildProcess& self) {
        test::StopInWindow stop(file_, self);
        const fs::ScopedEnv stopping(stop);
        h5::File file = h5::File::open(file_, h5::File::Access::ReadWrite);
        std::vector<EquityBar> changed(data_.begin(), data_.end() - 1000);
        for (EquityBar& bar : changed) bar.close += 1;
        file.open_dataset("data").write_rows(layout::equity_bar_memory_type().id(), 0, changed.size(), changed.data());
        file.commit();
        return 0;
    });
    ASSERT_TRUE(writer.wait_ready());
    writer.kill_now();
    writer.wait_exit_status();
    ASSERT_TRUE(stdfs::exists(h5::journal_path(file_)));
    for (std::size_t r = 0; r < ranges_.size(); ++r) {
        EXPECT_EQ(read_panel(root_, ranges_[r], true), before[r]);
        EXPECT_EQ(read_panel(root_, ranges_[r], false), before[r]);
    }
    // The file's own bytes, without the journal's originals, hold the update.
    stdfs::copy_file(file_, root_ + "/bundle/h5/equities/000002.XSHE.h5");
    EXPECT_NE(read_panel(root_, {}, false, "000002.XSHE"), before.back());
}

}  // namespace
}  // namespace tarnwick::bundle::reading
