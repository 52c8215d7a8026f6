// The updater writes its days with directly compressed chunks; files whose days the Blosc plug-in
// wrote (every file made before) must take new days the same way, and read as one file.
#include <gtest/gtest.h>

#include <fstream>

#include <fmt/format.h>

#include "host/run_python.hpp"
#include "tarnwick/bundle/h5/chunks.hpp"
#include "tarnwick/bundle/layout/blosc.hpp"
#include "tarnwick/bundle/tick/append.hpp"
#include "tick/tick_fixtures.hpp"

namespace tarnwick::bundle::tick {
namespace {

using test_support::read_day;
using test_support::ScriptedInstrument;
using test_support::TickRecord;
using test_support::weekdays_from;

std::vector<unsigned char> stored_chunk(const std::string& path, const std::string& name) {
    const h5::File file = h5::File::open(path, h5::File::Access::ReadOnly);
    h5::StoredChunk chunk;
    h5::read_stored_chunk(file.open_dataset(name), 0, chunk);
    return chunk.bytes;
}

std::vector<h5::Filter> filters(const std::string& path, const std::string& name) {
    return h5::File::open(path, h5::File::Access::ReadOnly).open_dataset(name).filters();
}

class AppendDirectTest : public test_support::TickTest {
protected:
    std::string file() const { return (dir_ / "000001.XSHE.h5").string(); }
    void update() {
        ins_.serve(client());
        _append_h5_tick(ins_.id, dir_.str(), std::nullopt, 20261116);
    }

    ScriptedInstrument ins_;
};

TEST_F(AppendDirectTest, FileWrittenThroughThePluginTakesNewDays) {
    ins_.trading_days = weekdays_from(20261116, 6);  // 16 .. 23 Nov
    {
        // Two days as the updater wrote them before: one chunk a day, through HDF5's filter.
        h5::File f = h5::File::create(file());
        const auto memory = layout::H5TicksLoader::memory_type();
        for (int day : {20261116, 20261117}) {
            const auto records = ins_.expected(day);
            h5::DatasetOptions options;
            options.chunk_rows = chunk_rows(records.size(), sizeof(TickRecord));
            options.filters = {layout::COMPRESSION_KWARGS().filter()};
            f.create_dataset(day_key(day), layout::H5TicksLoader::DTYPES(), memory.id(), records.size(), records.data(),
                             options);
        }
        f.close();
    }
    const auto untouched = stored_chunk(file(), "20261116");
    const auto replaced = stored_chunk(file(), "20261117");
    end_date_is(20261123);
    update();
    ASSERT_TRUE(flag()) << ::testing::PrintToString(log_);

    // The newest stored day is fetched again and written anew, the same ticks giving the same
    // chunk; the older one is not touched; the later days sit beside them with the same filter.
    EXPECT_EQ(stored_chunk(file(), "20261116"), untouched);
    EXPECT_EQ(stored_chunk(file(), "20261117"), replaced);
    for (int day : ins_.trading_days) {
        SCOPED_TRACE(day);
        EXPECT_TRUE(read_day(file(), day_key(day)) == ins_.expected(day));
        EXPECT_EQ(filters(file(), day_key(day)).at(0).cd_values, filters(file(), "20261116").at(0).cd_values);
    }

    // And h5py reads the whole file as the host does.
    for (int day : ins_.trading_days) {
        const auto records = ins_.expected(day);
        std::ofstream out((dir_ / (day_key(day) + ".records")).string(), std::ios::binary);
        out.write(reinterpret_cast<const char*>(records.data()),
                  static_cast<std::streamsize>(records.size() * sizeof(TickRecord)));
    }
    const auto result = test::run_python_script("compare_tick_days.py", {file(), dir_.str()});
    EXPECT_EQ(result.exit_status, 0) << result.output;
    for (int day : ins_.trading_days)
        EXPECT_NE(result.output.find(day_key(day) + " equal 3 filter 32001 2 2 248 744 9 1 1\n"), std::string::npos)
            << result.output;
}

}  // namespace
}  // namespace tarnwick::bundle::tick
