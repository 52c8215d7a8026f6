// The bundle's recorded selection: how successive requests combine, and what the file holds.
#include "tarnwick/bundle/selection/record.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "support/archives.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/clock.hpp"

namespace tarnwick::bundle::selection {
namespace {

namespace fs = std::filesystem;
using Ids = std::vector<std::string>;

struct Step {
    StoreKind kind;
    Ids tags;
    bool with_derivatives;
    Ids resolved;
    bool enable_bjse = false;
};

struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<Ids> minbar_tags, tick_tags;  // the requests recorded, in order
    Ids minbar_instruments;
};

// clang-format off
const Case CASES[] = {
    {"TheSameRequestAgainReplacesItsResolution",
     {{StoreKind::Minbar, {"IF", "stock"}, false, {"A"}}, {StoreKind::Minbar, {"stock", "IF", "IF"}, false, {"B"}}},
     {{"IF", "stock"}}, {}, {"B"}},
    {"AnotherRequestIsAdded",
     {{StoreKind::Minbar, {"stock"}, false, {"A"}}, {StoreKind::Minbar, {"IF"}, false, {"IF2612"}}},
     {{"stock"}, {"IF"}}, {}, {"A", "IF2612"}},
    {"AnotherSwitchIsAnotherRequest",
     {{StoreKind::Minbar, {"IF"}, false, {"IF2612"}}, {StoreKind::Minbar, {"IF"}, true, {"IF2612", "IO2612"}}},
     {{"IF"}, {"IF"}}, {}, {"IF2612", "IO2612"}},
    {"AnotherExchangeSwitchIsAnotherRequest",
     {{StoreKind::Minbar, {"stock"}, false, {"A"}}, {StoreKind::Minbar, {"stock"}, false, {"A", "B.BJSE"}, true}},
     {{"stock"}, {"stock"}}, {}, {"A", "B.BJSE"}},
    {"KindsAreKeptApart",
     {{StoreKind::Minbar, {"stock"}, false, {"A"}}, {StoreKind::Tick, {"futures"}, false, {"IF2612"}}},
     {{"stock"}}, {{"futures"}}, {"A"}},
};
// clang-format on

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class RecordMerge : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override { host::set_clock(host::make_datetime(2026, 12, 7, 18, 0)); }
    void TearDown() override { host::set_clock(std::nullopt); }
    test::TempDir bundle;
};

TEST_P(RecordMerge, Combines) {
    const Case& c = GetParam();
    for (const Step& step : c.steps)
        record_request(
            bundle.str(), step.kind,
            make_request(step.tags, step.with_derivatives, step.enable_bjse,
                         {step.resolved.begin(), step.resolved.end()}));
    const RecordedSelection recorded = load_selection(bundle.str());
    for (const auto& [requests, expected] :
         {std::pair{&recorded.minbar, &c.minbar_tags}, std::pair{&recorded.tick, &c.tick_tags}}) {
        std::vector<Ids> tags;
        for (const auto& r : *requests) tags.push_back(r.tags);
        EXPECT_EQ(tags, *expected);
    }
    const auto instruments = recorded.instruments(StoreKind::Minbar);
    EXPECT_EQ(Ids(instruments.begin(), instruments.end()), c.minbar_instruments);
}

INSTANTIATE_TEST_SUITE_P(Requests, RecordMerge, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RecordFile, IsDocumentedJsonInAHiddenFolderOfTheBundle) {
    host::set_clock(host::make_datetime(2026, 12, 7, 18, 0, 5));
    test::TempDir bundle;
    EXPECT_TRUE(load_selection(bundle.str()).empty()) << "nothing recorded yet";
    record_request(bundle.str(), StoreKind::Tick, make_request({"IF"}, true, true, {"IF2612"}));
    host::set_clock(std::nullopt);

    const fs::path file = bundle / ".tarnwick/selection.json";
    EXPECT_EQ(selection_file(bundle.str()), file.string());
    const auto doc = nlohmann::json::parse(test::read_file(file));
    EXPECT_EQ(doc.at("format"), 1);
    EXPECT_EQ(doc.at("minbar"), nlohmann::json::array());
    EXPECT_EQ(doc.at("tick"), nlohmann::json::parse(R"([{"tags": ["IF"], "with_derivatives": true,
        "enable_bjse": true, "resolved_at": "2026-12-07 18:00:05", "instruments": ["IF2612"]}])"));
    EXPECT_FALSE(fs::exists(file.string() + ".tmp"));

    test::write_file(file, "{\"format\": 1, \"minbar\": 3}");
    EXPECT_THROW(load_selection(bundle.str()), ValueError);
    EXPECT_THROW(record_request(bundle.str(), StoreKind::Minbar, make_request({"IF"}, false, false, {})), ValueError);
    EXPECT_EQ(test::read_file(file), "{\"format\": 1, \"minbar\": 3}") << "a record it cannot read stays";
}

TEST(RecordFile, OnlyABundlesStoreFoldersRecord) {
    for (const auto& [folder, kind, bundle] : std::vector<std::tuple<std::string, StoreKind, std::string>>{
             {"/d/root/bundle/h5", StoreKind::Minbar, "/d/root/bundle"},
             {"/d/root/bundle/h5/", StoreKind::Minbar, "/d/root/bundle"},
             {"/d/root/bundle/ticks", StoreKind::Tick, "/d/root/bundle"},
             {"/d/root/bundle/ticks", StoreKind::Minbar, ""},
             {"/d/root/h5", StoreKind::Minbar, ""},
             {"/d/loose/ticks", StoreKind::Tick, ""},
         })
        EXPECT_EQ(bundle_of_store_folder(folder, kind), bundle) << folder;
}

}  // namespace
}  // namespace tarnwick::bundle::selection
