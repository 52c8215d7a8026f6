// The tick record layout is a file format: readers in the host compare it field for field.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarnwick/bundle/layout/tick_layout.hpp"

namespace tarnwick::bundle::layout {
namespace {

namespace loader = H5TicksLoader;

const std::vector<std::string> kColumns = {
    "date",   "time",           "open",          "last", "high", "low", "prev_close", "limit_up", "limit_down",
    "volume", "total_turnover", "open_interest", "a1",   "a2",   "a3",  "a4",         "a5",       "a1_v",
    "a2_v",   "a3_v",           "a4_v",          "a5_v", "b1",   "b2",  "b3",         "b4",       "b5",
    "b1_v",   "b2_v",           "b3_v",          "b4_v", "b5_v"};

bool is_price(const std::string& name) {
    static const std::vector<std::string> prices = {"open",       "last", "high", "low", "prev_close", "limit_up",
                                                    "limit_down", "a1",   "a2",   "a3",  "a4",         "a5",
                                                    "b1",         "b2",   "b3",   "b4",  "b5"};
    return std::find(prices.begin(), prices.end(), name) != prices.end();
}

TEST(TickLayout, ColumnsAreTheLoadersInOrder) {
    ASSERT_EQ(loader::COLUMNS.size(), kColumns.size());
    for (std::size_t i = 0; i < kColumns.size(); ++i) {
        EXPECT_EQ(loader::COLUMNS[i], kColumns[i]) << i;
        EXPECT_EQ(loader::FIELDS[i].name, kColumns[i]) << i;
    }
}

TEST(TickLayout, FieldsArePackedWithTheirTypesAndScales) {
    std::size_t offset = 0;
    for (const auto& field : loader::FIELDS) {
        const std::string name(field.name);
        EXPECT_EQ(field.offset, offset) << name;
        const bool u4 = name == "date" || name == "time";
        EXPECT_EQ(field.type_code, u4 ? "<u4" : "<i8") << name;
        EXPECT_EQ(field.scale, is_price(name) ? 10000.0 : 1.0) << name;
        offset += u4 ? 4 : 8;
    }
    EXPECT_EQ(offset, sizeof(TickRecord));
    EXPECT_EQ(offset, 248u);
}

TEST(TickLayout, FileTypeIsLittleEndianCompoundOfTheFields) {
    const h5::DataType type = loader::DTYPES();
    ASSERT_EQ(H5Tget_class(type.id()), H5T_COMPOUND);
    EXPECT_EQ(type.size(), 248u);
    ASSERT_EQ(H5Tget_nmembers(type.id()), static_cast<int>(kColumns.size()));
    for (unsigned i = 0; i < kColumns.size(); ++i) {
        char* name = H5Tget_member_name(type.id(), i);
        EXPECT_EQ(std::string(name), kColumns[i]);
        H5free_memory(name);
        EXPECT_EQ(H5Tget_member_offset(type.id(), i), loader::FIELDS[i].offset);
        const h5::DataType member = h5::DataType::take(H5Tget_member_type(type.id(), i), "member type");
        const hid_t expected = loader::FIELDS[i].type == loader::FieldType::U4 ? H5T_STD_U32LE : H5T_STD_I64LE;
        EXPECT_TRUE(member.equals(expected)) << kColumns[i];
    }
}

TEST(TickLayout, MemoryTypeMatchesTheStruct) {
    const h5::DataType memory = loader::memory_type();
    EXPECT_EQ(memory.size(), sizeof(TickRecord));
    EXPECT_EQ(H5Tget_member_offset(memory.id(), H5Tget_member_index(memory.id(), "open_interest")),
              offsetof(TickRecord, open_interest));
    EXPECT_EQ(H5Tget_member_offset(memory.id(), H5Tget_member_index(memory.id(), "b5_v")), offsetof(TickRecord, b5_v));
    // On this little-endian machine the two are the same type: no conversion on write.
    EXPECT_TRUE(memory.equals(loader::DTYPES().id()));
}

}  // namespace
}  // namespace tarnwick::bundle::layout
