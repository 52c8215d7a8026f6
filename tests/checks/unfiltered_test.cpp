// Minute-bar files stored without any filter, as h5py writes them without compression: good
// when readable and consistent; compressed chunks whose filter message was lost stay abnormal
// (the damage tests cover that case).
#include "tarnwick/bundle/checks/unfiltered.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.hpp"
#include "tarnwick/bundle/checks/minbar_check.hpp"
#include "tarnwick/bundle/formats/npy.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/minbar/append.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"

namespace tarnwick::bundle::checks {
namespace {

namespace fs = std::filesystem;

class UnfilteredMinuteBars : public ::testing::Test {
protected:
    void SetUp() override {
        host::set_clock(host::make_datetime(2026, 12, 4, 18, 0));
        previous_client_ = service::install(std::make_unique<service::SimulatedMarket>());
        previous_console_ = host::set_console({[this](const std::string& t) { out += t; }, nullptr});
        fs::create_directories(layout::bundle_dir(dir.str()));
        const auto days = service::current().get_trading_dates(20260101, 20261231);
        formats::write_npy(layout::trading_dates_file(dir.str()), std::vector<std::int64_t>(days.begin(), days.end()));
    }
    void TearDown() override {
        host::set_console(previous_console_);
        service::install(std::move(previous_client_));
        host::set_clock(std::nullopt);
    }
    // The instrument's file as the update writes it, then copied record for record into a file
    // whose two datasets have no filter at all (chunked and resizable, or contiguous).
    std::string unfiltered_copy(const std::string& id, bool chunked) {
        const std::string root = layout::minbar_root(dir.str());
        minbar::_append_h5(id, root);
        const fs::path path = fs::path(root) / "equities" / (id + ".h5");
        std::vector<layout::EquityBar> bars;
        std::vector<layout::IndexRecord> index;
        {
            auto file = h5::File::open(path.string(), h5::File::Access::ReadOnly);
            bars = file.open_dataset("data").read_all<layout::EquityBar>(layout::equity_bar_memory_type().id());
            index = file.open_dataset("index").read_all<layout::IndexRecord>(layout::index_memory_type().id());
        }
        fs::remove(path);
        h5::DatasetOptions options;
        options.resizable = chunked;
        options.chunk_rows = chunked ? 1000 : 0;
        auto file = h5::File::create(path.string());
        file.create_dataset("data", layout::EQUITIES_DTYPE(), layout::equity_bar_memory_type().id(), bars.size(),
                            bars.data(), options);
        file.create_dataset("index", layout::INDEX_DTYPE(), layout::index_memory_type().id(), index.size(),
                            index.data(), options);
        file.close();
        return path.string();
    }

    test::TempDir dir;
    std::string out;
    host::ConsoleHooks previous_console_;
    std::unique_ptr<service::Client> previous_client_;
};

TEST_F(UnfilteredMinuteBars, ChunkedOrContiguousWithoutFiltersAreGood) {
    const std::string chunked = unfiltered_copy("000001.XSHE", true);
    const std::string contiguous = unfiltered_copy("600000.XSHG", false);
    {
        auto file = h5::File::open(chunked, h5::File::Access::ReadOnly);
        ASSERT_TRUE(file.open_dataset("data").filters().empty());
        EXPECT_TRUE(stored_whole_without_filters(file.open_dataset("data")));
        auto plain = h5::File::open(contiguous, h5::File::Access::ReadOnly);
        EXPECT_TRUE(stored_whole_without_filters(plain.open_dataset("data")));
    }
    const auto lists = examine_min_bar_files(dir.str());
    ASSERT_TRUE(lists);
    EXPECT_TRUE(lists->error_file_path_list.empty()) << ::testing::PrintToString(lists->error_file_path_list);
    EXPECT_TRUE(lists->blocking_or_permission_error.empty());
}

TEST_F(UnfilteredMinuteBars, ADeflatedDatasetIsNotTakenForAnUnfilteredOne) {
    minbar::_append_h5("000001.XSHE", layout::minbar_root(dir.str()));
    auto file = h5::File::open((fs::path(layout::minbar_root(dir.str())) / "equities" / "000001.XSHE.h5").string(),
                               h5::File::Access::ReadOnly);
    EXPECT_FALSE(stored_whole_without_filters(file.open_dataset("data")));
}

}  // namespace
}  // namespace tarnwick::bundle::checks
