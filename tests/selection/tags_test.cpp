// Tag resolution against a scripted service (every rule on its own) and against the simulated
// market (the words users type, end to end).
#include "tarnwick/bundle/selection/tags.hpp"

#include <gtest/gtest.h>

#include "support/scoped_client.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/instrument_type.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"

namespace tarnwick::bundle::selection {
namespace {

namespace T = host::INSTRUMENT_TYPE;
using Ids = std::set<std::string>;
using service::Instrument;
using service::InstrumentLookup;
using service::Listing;
using service::ListingRow;

// Captures console output for one test.
class ConsoleCapture {
public:
    ConsoleCapture() {
        previous_ = host::set_console({[this](const std::string& t) { text += t; }, nullptr});
    }
    ~ConsoleCapture() { host::set_console(previous_); }
    std::string text;

private:
    host::ConsoleHooks previous_;
};

ListingRow row(std::string id, std::string type, std::string symbol = {}, std::string underlying = {}) {
    return {std::move(id), std::move(type), std::move(symbol), std::move(underlying), {}};
}

class MergeTags : public test::ScriptedClientFixture {
protected:
    void SetUp() override {
        ScriptedClientFixture::SetUp();
        df = {row("000001.XSHE", T::CS),          row("600000.XSHG", T::CS),   row("510050.XSHG", T::ETF),
              row("161725.XSHE", T::LOF),         row("000300.XSHG", T::INDX), row("508000.XSHG", T::REITs),
              row("113050.XSHG", T::CONVERTIBLE), row("IF2612", T::FUTURE),    row("IF2701", T::FUTURE),
              row("CU2701", T::FUTURE),           row("10008001", T::OPTION),  row("IO2612-C-4000", T::OPTION)};
        futures = {row("IF2612", T::FUTURE, "IF", "000300.XSHG"), row("IF2701", T::FUTURE, "IF", "000300.XSHG"),
                   row("CU2701", T::FUTURE, "CU", "")};
        options = {row("10008001", T::OPTION, "", "510050.XSHG"), row("IO2612-C-4000", T::OPTION, "", "IF2612"),
                   row("90000001", T::OPTION, "", "600000.XSHG")};  // not in df
        convertibles = {row("113050.XSHG", T::CONVERTIBLE)};
        client().on_all_instruments = [this] { return df; };
        client().on_all_instruments_type = [this](const std::string& type) {
            if (type == T::OPTION) return options;
            if (type == T::FUTURE) return futures;
            if (type == T::CONVERTIBLE) return convertibles;
            return Listing{};
        };
        client().on_all_instruments_hk = [](const std::string&) { return Listing{row("00700.XHKG", T::CS)}; };
        client().on_convertible_instruments = [](const std::vector<std::string>& ids) {
            Instrument bond;
            bond.order_book_id = ids.at(0);
            bond.stock_code = "600000.XSHG";
            return InstrumentLookup{bond};
        };
    }
    std::vector<std::string> init_args() const {
        std::vector<std::string> out;
        for (const auto& call : const_cast<MergeTags*>(this)->client().calls)
            if (call.operation == "init") out.push_back(call.args);
        return out;
    }
    Listing df, futures, options, convertibles;
};

TEST_F(MergeTags, EmptyTagsFetchListingsOnceAndRestoreDisabledExchange) {
    ConsoleCapture console;
    EXPECT_TRUE(_merge_tags({}, false).empty());
    EXPECT_EQ(console.text, "");
    EXPECT_EQ(client().count("all_instruments"), 4u);
    EXPECT_EQ(init_args(), (std::vector<std::string>{"enable_bjse=true", "enable_bjse=false"}));
    EXPECT_FALSE(client().bjse);
}

TEST_F(MergeTags, AllSelectsEveryCategoryButReitsAndAddsConvertibleStocks) {
    ConsoleCapture console;
    const Ids got = _merge_tags({"all"}, false);
    Ids expected;
    for (const auto& r : df)
        if (r.type != T::REITs) expected.insert(r.order_book_id);
    EXPECT_EQ(got, expected);  // 600000.XSHG comes in both as a stock and as the bond's stock
    EXPECT_EQ(console.text, "");
}

TEST_F(MergeTags, FundSelectsEtfLofAndIndex) {
    EXPECT_EQ(_merge_tags({"fund"}, false), (Ids{"510050.XSHG", "161725.XSHE", "000300.XSHG"}));
    EXPECT_EQ(_merge_tags({"index"}, false), (Ids{"000300.XSHG"}));
}

TEST_F(MergeTags, UnderlyingSymbolBecomesItsContractsAndIsNotReported) {
    ConsoleCapture console;
    EXPECT_EQ(_merge_tags({"IF"}, false), (Ids{"IF2612", "IF2701"}));
    EXPECT_EQ(console.text, "");
}

TEST_F(MergeTags, OptionIdentifierBringsItsUnderlying) {
    ConsoleCapture console;
    EXPECT_EQ(_merge_tags({"10008001"}, false), (Ids{"10008001", "510050.XSHG"}));
    EXPECT_EQ(console.text, "");
    // An option the full listing does not carry: its underlying comes in, the option is reported.
    ConsoleCapture second;
    EXPECT_EQ(_merge_tags({"90000001"}, false), (Ids{"600000.XSHG"}));
    EXPECT_NE(second.text.find("不支持的参数值:[90000001]"), std::string::npos);
}

TEST_F(MergeTags, ConvertibleBringsItsStockWithoutDerivatives) {
    EXPECT_EQ(_merge_tags({"113050.XSHG"}, false), (Ids{"113050.XSHG", "600000.XSHG"}));
    // A list answer and an empty answer.
    client().on_convertible_instruments = [](const std::vector<std::string>&) {
        Instrument a, b;
        a.stock_code = "600000.XSHG";
        b.stock_code = "000001.XSHE";
        return InstrumentLookup{std::vector<Instrument>{a, b}};
    };
    EXPECT_EQ(_merge_tags({"113050.XSHG"}, false), (Ids{"113050.XSHG", "600000.XSHG", "000001.XSHE"}));
    client().on_convertible_instruments = [](const std::vector<std::string>&) { return InstrumentLookup{}; };
    EXPECT_EQ(_merge_tags({"113050.XSHG"}, false), (Ids{"113050.XSHG"}));
    // No convertible selected: the look-up is not made at all.
    const auto before = client().count("convertible_instruments");
    _merge_tags({"000001.XSHE"}, false);
    EXPECT_EQ(client().count("convertible_instruments"), before);
}

TEST_F(MergeTags, DerivativesIncludeOptionsOnTheAddedFutures) {
    EXPECT_EQ(_merge_tags({"000300.XSHG"}, true), (Ids{"000300.XSHG", "IF2612", "IF2701", "IO2612-C-4000"}));
    EXPECT_EQ(_merge_tags({"000300.XSHG"}, false), (Ids{"000300.XSHG"}));
}

TEST_F(MergeTags, HongKongLookupOnlyForExactSuffix) {
    ConsoleCapture console;
    EXPECT_EQ(_merge_tags({"00700.XHKG", "09988.XHKG"}, false), (Ids{"00700.XHKG"}));
    EXPECT_EQ(client().count("all_instruments"), 5u);
    EXPECT_NE(console.text.find("09988.XHKG"), std::string::npos);
    _merge_tags({"00700.xhkg"}, false);
    EXPECT_EQ(client().count("all_instruments"), 9u) << "a lower-case suffix must not fetch the Hong Kong listing";
}

TEST_F(MergeTags, UnsupportedMessageByteForByteAndStocksStillReturned) {
    ConsoleCapture console;
    const Ids got = _merge_tags({"stock", "nonsense"}, false);
    EXPECT_EQ(got, (Ids{"000001.XSHE", "600000.XSHG"}));
    EXPECT_EQ(console.text,
              "不支持的参数值:[nonsense]，\n可选的参数值有 [stock, futures, fund, index, option, convertible] 或 "
              "underlying_symbol 或 order_book_id\n");
}

TEST_F(MergeTags, StockWithoutExchangeLeavesEnabledClientAloneAndDisabledOneReinitialisedOff) {
    client().bjse = true;
    _merge_tags({"stock"}, false);
    EXPECT_TRUE(init_args().empty());
    client().bjse = false;
    _merge_tags({"stock"}, false);
    EXPECT_EQ(init_args(), std::vector<std::string>{"enable_bjse=false"});
}

TEST_F(MergeTags, StockWithExchangeSwitchesOnAndBack) {
    _merge_tags({"stock"}, false, true);
    EXPECT_EQ(init_args(), (std::vector<std::string>{"enable_bjse=true", "enable_bjse=false"}));
    EXPECT_FALSE(client().bjse);
}

TEST_F(MergeTags, ServiceErrorPropagatesAndTheDisabledExchangeIsRestored) {
    client().fail("all_instruments", std::make_exception_ptr(service::PermissionDenied("no")), 1);
    EXPECT_THROW(_merge_tags({"IF"}, false), service::PermissionDenied);
    EXPECT_EQ(init_args(), (std::vector<std::string>{"enable_bjse=true", "enable_bjse=false"}));
    EXPECT_FALSE(client().bjse);

    // An enabled client is never switched off, on the error path either.
    client().calls.clear();
    client().bjse = true;
    client().fail("all_instruments", std::make_exception_ptr(service::PermissionDenied("no")), 1);
    EXPECT_THROW(_merge_tags({"IF"}, false), service::PermissionDenied);
    EXPECT_TRUE(init_args().empty());
    EXPECT_TRUE(client().bjse);
}

TEST_F(MergeTags, AFailingRestoreOnTheErrorPathLeavesTheResolutionErrorVisible) {
    client().fail("all_instruments", std::make_exception_ptr(service::PermissionDenied("listing")), 1);
    client().fail("init", std::make_exception_ptr(std::runtime_error("init")), 1);  // the restore fails
    EXPECT_THROW(_merge_tags({"IF"}, false), service::PermissionDenied);
}

TEST_F(MergeTags, CallerCollectionIsNotModifiedAndDuplicatesCollapse) {
    const std::vector<std::string> tags = {"IF", "IF", "000001.XSHE"};
    const auto copy = tags;
    EXPECT_EQ(_merge_tags(tags, false), (Ids{"IF2612", "IF2701", "000001.XSHE"}));
    EXPECT_EQ(tags, copy);
}

// ---- against the simulated market -------------------------------------------------------

class MergeTagsOnSimulatedMarket : public ::testing::Test {
protected:
    void SetUp() override { previous_ = service::install(std::make_unique<service::SimulatedMarket>()); }
    void TearDown() override { service::install(std::move(previous_)); }
    std::unique_ptr<service::Client> previous_;
};

TEST_F(MergeTagsOnSimulatedMarket, WordsUsersType) {
    ConsoleCapture console;
    const Ids all = _merge_tags({"all"}, false);
    EXPECT_TRUE(all.count("000001.XSHE") && all.count("IF2612") && all.count("10008001") && all.count("113050.XSHG"));
    EXPECT_FALSE(all.count("508000.XSHG")) << "REITs are in no category";
    EXPECT_FALSE(all.count("00700.XHKG"));

    const Ids fund = _merge_tags({"fund"}, false);
    EXPECT_TRUE(fund.count("510050.XSHG") && fund.count("161725.XSHE") && fund.count("000300.XSHG"));
    EXPECT_FALSE(fund.count("000001.XSHE"));

    const Ids symbol = _merge_tags({"IF"}, false);
    EXPECT_TRUE(symbol.count("IF2612") && symbol.count("IF2701"));
    for (const auto& id : symbol) EXPECT_EQ(id.substr(0, 2), "IF");

    EXPECT_EQ(_merge_tags({"128041.XSHE"}, false), (Ids{"128041.XSHE", "300750.XSHE"}));

    const Ids with_derivatives = _merge_tags({"000300.XSHG"}, true);
    EXPECT_TRUE(with_derivatives.count("IF2612") && with_derivatives.count("IO2612-C-4000"));
    EXPECT_EQ(console.text, "");
    EXPECT_FALSE(service::current().bjse_enabled());
}

}  // namespace
}  // namespace tarnwick::bundle::selection
