#include "tarnwick/bundle/service/connection.hpp"

#include <gtest/gtest.h>

#include "support/scoped_client.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/service/warnings.hpp"

namespace tarnwick::bundle::service {
namespace {

using host::make_datetime;

struct ClockAt {
    explicit ClockAt(host::DateTime t) { host::set_clock(t); }
    ~ClockAt() { host::set_clock(std::nullopt); }
};

TEST(EndDate, CutOffIsStrictlyAfterHalfPastFive) {
    {
        ClockAt clock(make_datetime(2026, 12, 7, 17, 30, 0, 0));
        EXPECT_EQ(_get_end_date(), 20261206);
    }
    {
        ClockAt clock(make_datetime(2026, 12, 7, 17, 30, 0, 1));
        EXPECT_EQ(_get_end_date(), 20261207);
    }
}

TEST(EndDate, CalendarDaysOnlyAcrossYearAndWeekend) {
    {
        ClockAt clock(make_datetime(2027, 1, 1, 0, 5));
        EXPECT_EQ(_get_end_date(), 20261231);
    }
    {
        ClockAt clock(make_datetime(2026, 12, 6, 18, 0));  // a Sunday
        EXPECT_EQ(_get_end_date(), 20261206);
    }
    {
        ClockAt clock(make_datetime(2024, 3, 1, 9, 0));  // leap year
        EXPECT_EQ(_get_end_date(), 20240229);
    }
}

class RecordingInitClient : public test::ScriptedClientFixture {};

TEST_F(RecordingInitClient, InitWithoutArgumentTurnsExchangeOffAndHidesWarnings) {
    std::vector<std::string> shown;
    auto previous = service::set_warning_sink([&](const std::string& text) { shown.push_back(text); });
    client().bjse = true;
    client().on_init = [&](bool enable) {
        service::warn("during init");
        client().bjse = enable;
    };
    _init_tickwire();
    EXPECT_FALSE(client().bjse);
    EXPECT_TRUE(shown.empty());
    _switch_of_bjse(true);
    EXPECT_TRUE(client().bjse);
    EXPECT_TRUE(shown.empty());
    service::warn("after");
    EXPECT_EQ(shown, std::vector<std::string>{"after"});
    service::set_warning_sink(previous);
}

TEST_F(RecordingInitClient, InitErrorPropagatesAndRestoresWarnings) {
    std::vector<std::string> shown;
    auto previous = service::set_warning_sink([&](const std::string& text) { shown.push_back(text); });
    client().fail("init", std::make_exception_ptr(std::runtime_error("refused")));
    EXPECT_THROW(_init_tickwire(true), std::runtime_error);
    service::warn("after failure");
    EXPECT_EQ(shown.size(), 1u);
    service::set_warning_sink(previous);
}

}  // namespace
}  // namespace tarnwick::bundle::service
