// The conversion's column kernel (scale_i8_column, AVX2 where the processor has it) must store
// exactly what scaled_i8 gives for every value, and the conversion built on it must keep its
// records byte for byte: duplicates that break the blocks, odd values, more rows than a block.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "tarnwick/bundle/tick/convert.hpp"
#include "tick/tick_fixtures.hpp"

namespace tarnwick::bundle::tick {
namespace {

using layout::TickRecord;
using service::DateTime;
using test_support::at;

// Values where rounding and conversion are easy to get wrong.
std::vector<double> awkward_values() {
    const double inf = std::numeric_limits<double>::infinity();
    const double two_51 = 2251799813685248.0, two_52 = 4503599627370496.0;
    // clang-format off
    std::vector<double> values = {0.0, -0.0, 0.29, -0.29, 10.29, 0.5, -0.5, 1.5, -1.5, 2.5, -2.5,
                                  0.49999999999999994, -0.49999999999999994, 0.5000000000000001,
                                  5e-324, -5e-324, std::numeric_limits<double>::quiet_NaN(), inf, -inf,
                                  two_51 - 0.5, -(two_51 - 0.5), two_51, -two_51, two_51 + 1, two_52 - 1, two_52,
                                  two_52 + 2, 9.2e18, -9.2e18, 9.3e18, -9.3e18, 1e300, -1e300, 123456.78915};
    // clang-format on
    std::mt19937_64 random(20261207);
    std::uniform_real_distribution<double> price(-2000.0, 2000.0);
    for (int k = 0; k < 2000; ++k) values.push_back(std::round(price(random) * 100.0) / 100.0);  // cents
    for (int k = 0; k < 500; ++k) values.push_back(std::ldexp(price(random), static_cast<int>(random() % 120)));
    for (int k = -300; k < 300; ++k) values.push_back(k + 0.5);
    return values;
}

using Kernel = void (*)(const double*, std::size_t, double, unsigned char*, std::size_t);

void expect_kernel_matches_scaled_i8(Kernel kernel) {
    const std::vector<double> values = awkward_values();
    // Starts that are not multiples of four and counts that leave a remainder.
    for (std::size_t start : {std::size_t{0}, std::size_t{1}, std::size_t{3}})
        for (double scale : {10000.0, 1.0}) {
            const std::size_t count = values.size() - start;
            std::vector<TickRecord> records(count);
            std::memset(records.data(), 0xAB, records.size() * sizeof(TickRecord));
            const std::size_t offset = offsetof(TickRecord, a3);
            kernel(values.data() + start, count, scale, reinterpret_cast<unsigned char*>(records.data()) + offset,
                   sizeof(TickRecord));
            for (std::size_t k = 0; k < count; ++k) {
                ASSERT_EQ(records[k].a3, scaled_i8(values[start + k], scale))
                    << "value " << values[start + k] << " scale " << scale << " start " << start;
                // Nothing else of the record is written.
                ASSERT_EQ(static_cast<std::uint64_t>(records[k].a2), 0xABABABABABABABABu);
                ASSERT_EQ(static_cast<std::uint64_t>(records[k].a4), 0xABABABABABABABABu);
            }
        }
}

TEST(ScaleColumns, ScalarKernelStoresScaledI8) { expect_kernel_matches_scaled_i8(&scale_i8_column_scalar); }

TEST(ScaleColumns, ChosenKernelStoresScaledI8) {
    if (!simd_scaling()) GTEST_LOG_(INFO) << "no AVX2 here: the chosen kernel is the scalar one";
    expect_kernel_matches_scaled_i8(&scale_i8_column);
}

TEST(ScaleColumns, RoundingIsHalfAwayFromZeroWithoutBranchesChangingIt) {
    EXPECT_EQ(scaled_i8(0.49999999999999994, 1), 0);
    EXPECT_EQ(scaled_i8(-0.49999999999999994, 1), 0);
    EXPECT_EQ(scaled_i8(4503599627370495.5, 1), 4503599627370496);
    EXPECT_EQ(scaled_i8(-4503599627370495.5, 1), -4503599627370496);
    EXPECT_EQ(scaled_i8(-0.0, 1), 0);
}

// A day of 700 ticks (blocks of the conversion are smaller) with repeated time stamps in the
// middle of blocks and at their edges, and awkward values in every column: each record must
// hold scaled_i8 of its row's values, field by field.
TEST(ScaleColumns, ConversionAcrossBlocksAndDuplicatesKeepsEveryField) {
    const std::vector<double> odd = awkward_values();
    std::vector<DateTime> times;
    for (int k = 0; k < 700; ++k) times.push_back(at(20261116, 9, 30) + std::chrono::milliseconds(500 * k));
    for (std::size_t dup : {std::size_t{5}, std::size_t{255}, std::size_t{257}, std::size_t{400}, std::size_t{699}})
        times[dup - 1] = times[dup];  // row dup-1 loses to row dup
    std::map<std::string, std::vector<double>> columns;
    std::size_t next = 0;
    for (const auto& field : layout::H5TicksLoader::FIELDS) {
        if (field.name == "date" || field.name == "time") continue;
        auto& column = columns[std::string(field.name)];
        for (std::size_t k = 0; k < times.size(); ++k) column.push_back(odd[next++ % odd.size()]);
    }
    const auto frame = service::make_frame("X", times, columns, std::vector<DateTime>(times.size(), at(20261116)));
    const auto days = convert_ticks(frame);
    ASSERT_EQ(days.size(), 1u);
    ASSERT_EQ(days[0].records.size(), 695u);
    std::size_t k = 0;
    for (std::size_t row = 0; row < times.size(); ++row) {
        if (row + 1 < times.size() && times[row + 1] == times[row]) continue;
        const TickRecord& record = days[0].records[k++];
        const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
        for (const auto& field : layout::H5TicksLoader::FIELDS) {
            if (field.type != layout::H5TicksLoader::FieldType::I8) continue;
            std::int64_t stored = 0;
            std::memcpy(&stored, bytes + field.offset, sizeof stored);
            ASSERT_EQ(stored, scaled_i8(columns.at(std::string(field.name))[row], field.scale))
                << field.name << " row " << row;
        }
        ASSERT_EQ(record.time, host::time_to_number(times[row])) << row;
    }
    EXPECT_EQ(k, 695u);
}

}  // namespace
}  // namespace tarnwick::bundle::tick
