#include "tarnwick/bundle/service/simulated_market.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <tuple>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"

namespace tarnwick::bundle::service {
namespace {

using namespace std::chrono;
namespace IT = host::INSTRUMENT_TYPE;

// ---------------------------------------------------------------------------------------------
// Hashing. Every generated number is a pure function of (seed, instrument, day, purpose, row):
// that is what makes split-range queries reproduce single-range ones.

constexpr std::uint64_t kGolden = 0x9e3779b97f4a7c15ULL;
constexpr std::uint64_t kCorrectionKey = 0x636f727265637465ULL;  // mixed into a corrected day's origin

std::uint64_t splitmix64(std::uint64_t x) {
    x += kGolden;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

std::uint64_t mix(std::uint64_t a, std::uint64_t b) { return splitmix64(a ^ splitmix64(b)); }

std::uint64_t fnv1a(const std::string& text) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) h = (h ^ c) * 0x100000001b3ULL;
    return h;
}

// What a stream of numbers is used for; keeps the streams of one day independent.
enum Purpose : std::uint64_t {
    kKnot = 1,
    kCloseNoise,
    kGap,
    kRange,
    kBarPath,
    kBarShape,
    kBarVolume,
    kInterest,
    kTickPath,
    kTickJitter,
    kTickTrade,
    kTickDup,
    kTickBook,
};

// Counter-based: value i depends only on (origin, i), never on what was drawn before.
class Stream {
public:
    explicit Stream(std::uint64_t origin) : origin_(origin) {}
    std::uint64_t bits(std::uint64_t i) const { return splitmix64(origin_ + i * kGolden); }
    double unit(std::uint64_t i) const { return static_cast<double>(bits(i) >> 11) * 0x1.0p-53; }
    // Triangular on [-1, 1]: two uniforms summed, so steps cluster around zero.
    double symmetric(std::uint64_t i) const { return unit(2 * i) + unit(2 * i + 1) - 1.0; }

private:
    std::uint64_t origin_;
};

// ---------------------------------------------------------------------------------------------
// Dates as day serials (days since 1970-01-01) so that iterating a range is integer arithmetic.

int to_serial(int yyyymmdd, const char* what) {
    const year_month_day ymd{year{yyyymmdd / 10000}, month{static_cast<unsigned>(yyyymmdd / 100 % 100)},
                             day{static_cast<unsigned>(yyyymmdd % 100)}};
    if (yyyymmdd < 10000101 || yyyymmdd > 99991231 || !ymd.ok())
        throw ValueError(fmt::format("{}: {} is not a YYYYMMDD date", what, yyyymmdd));
    return sys_days{ymd}.time_since_epoch().count();
}

int to_number(int serial) {
    const year_month_day ymd{sys_days{days{serial}}};
    return static_cast<int>(ymd.year()) * 10000 + static_cast<int>(static_cast<unsigned>(ymd.month())) * 100 +
           static_cast<int>(static_cast<unsigned>(ymd.day()));
}

DateTime at(int serial, seconds since_midnight) { return local_days{days{serial}} + since_midnight; }

// Lunar New Year's day, MMDD, 2005..2035.
constexpr std::array<int, 31> kSpringFestival = {
    209, 129, 218, 207, 126, 214, 203, 123, 210, 131, 219,  // 2005-2015
    208, 128, 216, 205, 125, 212, 201, 122, 210, 129,       // 2016-2025
    217, 206, 126, 213, 203, 123, 211, 131, 219, 208,       // 2026-2035
};

bool compute_trading_serial(int serial) {
    const sys_days d{days{serial}};
    const unsigned wd = weekday{d}.c_encoding();
    if (wd == 0 || wd == 6) return false;
    const year_month_day ymd{d};
    const unsigned m = static_cast<unsigned>(ymd.month());
    const unsigned dd = static_cast<unsigned>(ymd.day());
    if (m == 1 && dd == 1) return false;
    if (m == 5 && dd <= 5) return false;
    if (m == 10 && dd <= 7) return false;
    if (m <= 2) {
        const int y = static_cast<int>(ymd.year());
        const int mmdd = (y >= 2005 && y <= 2035) ? kSpringFestival[y - 2005] : 201;
        const int eve =
            sys_days{year{y} / month{static_cast<unsigned>(mmdd / 100)} / day{static_cast<unsigned>(mmdd % 100)}}
                .time_since_epoch()
                .count() -
            1;
        if (serial >= eve && serial < eve + 7) return false;
    }
    return true;
}

// Looked up for every day of every query, so the common years are tabulated once.
class CalendarTable {
public:
    CalendarTable()
        : first_(sys_days{year{1990} / 1 / 1}.time_since_epoch().count()),
          flags_(static_cast<std::size_t>(sys_days{year{2061} / 1 / 1}.time_since_epoch().count() - first_)) {
        for (std::size_t i = 0; i < flags_.size(); ++i)
            flags_[i] = compute_trading_serial(first_ + static_cast<int>(i));
    }
    bool operator()(int serial) const {
        const auto offset = static_cast<std::size_t>(serial - first_);
        return serial >= first_ && offset < flags_.size() ? flags_[offset] : compute_trading_serial(serial);
    }

private:
    int first_;
    std::vector<bool> flags_;
};

bool trading_serial(int serial) {
    static const CalendarTable table;
    return table(serial);
}

int next_trading_serial(int serial) {
    do ++serial;
    while (!trading_serial(serial));
    return serial;
}

int previous_trading_serial(int serial) {
    do --serial;
    while (!trading_serial(serial));
    return serial;
}

// The last trading day whose data is complete: T counts once the clock reaches T 15:00.
int last_complete_serial() {
    const DateTime now = host::now();
    const auto midnight = floor<days>(now);
    const int today = static_cast<int>(midnight.time_since_epoch().count());
    return (now - midnight >= hours{15}) ? today : today - 1;
}

// ---------------------------------------------------------------------------------------------
// Instruments.

// A price grid: price = ticks * num / den. Dividing exact integers keeps 10.29 the nearest
// double to 10.29 rather than 1029 * 0.01.
struct TickSize {
    std::int64_t num = 1;
    std::int64_t den = 100;
    double price(std::int64_t ticks) const { return static_cast<double>(ticks * num) / static_cast<double>(den); }
    std::int64_t ticks(double price) const {
        return std::llround(price * static_cast<double>(den) / static_cast<double>(num));
    }
};

struct Security {
    std::string id;
    InstrumentType type;
    std::string exchange;
    std::string market = "cn";
    std::string symbol;
    std::string underlying_symbol;
    std::string underlying_id;
    std::string stock_code;
    int listed = 0;           // YYYYMMDD
    int delisted = 0;         // YYYYMMDD, 0 while listed
    bool derivative = false;  // night session, open_interest, trading_date on bars
    bool bjse = false;
    TickSize tick;
    double base = 10.0;       // typical price
    double multiplier = 1.0;  // turnover per unit of price and volume
    int lot = 100;
    std::vector<std::pair<int, int>> suspensions;  // inclusive YYYYMMDD ranges
    std::vector<Instrument> earlier_records;       // ids reused by a former listing
    std::uint64_t key = 0;                         // hash of the id
    std::uint64_t origin = 0;                      // key mixed with the seed: the root of all the instrument's numbers

    bool suspended_on(int yyyymmdd) const {
        for (const auto& [from, to] : suspensions)
            if (yyyymmdd >= from && yyyymmdd <= to) return true;
        return false;
    }
    bool listed_on(int yyyymmdd) const { return listed <= yyyymmdd && (delisted == 0 || yyyymmdd <= delisted); }
};

std::string date_text(int yyyymmdd) { return yyyymmdd == 0 ? "0000-00-00" : host::hyphenated(yyyymmdd); }

Instrument record_of(const Security& s) {
    return Instrument{s.id, s.type, s.exchange, date_text(s.listed), date_text(s.delisted), s.stock_code, s.symbol};
}

ListingRow listing_row(const Security& s) {
    return ListingRow{s.id, s.type, s.underlying_symbol, s.underlying_id, s.exchange};
}

std::string exchange_of(const std::string& id) {
    const auto dot = id.rfind('.');
    return dot == std::string::npos ? std::string() : id.substr(dot + 1);
}

constexpr TickSize kCent{1, 100};
constexpr TickSize kMil{1, 1000};

Security equity(std::string id, InstrumentType type, std::string symbol, double base, int listed) {
    Security s;
    s.exchange = exchange_of(id);
    s.id = std::move(id);
    s.type = std::move(type);
    s.symbol = std::move(symbol);
    s.base = base;
    s.listed = listed;
    s.tick =
        (s.type == IT::ETF || s.type == IT::LOF || s.type == IT::REITs || s.type == IT::CONVERTIBLE) ? kMil : kCent;
    s.lot = s.type == IT::CONVERTIBLE ? 10 : 100;
    return s;
}

Security future(std::string id, std::string symbol, std::string underlying, std::string exchange, double base,
                int listed, int delisted = 0) {
    Security s;
    s.id = std::move(id);
    s.type = IT::FUTURE;
    s.exchange = std::move(exchange);
    s.symbol = s.id;
    s.underlying_symbol = std::move(symbol);
    s.underlying_id = std::move(underlying);
    s.base = base;
    s.listed = listed;
    s.delisted = delisted;
    s.derivative = true;
    s.lot = 1;
    if (s.underlying_symbol == "CU") {
        s.tick = TickSize{10, 1};
        s.multiplier = 5;
    } else {
        s.tick = TickSize{1, 5};
        s.multiplier = 300;
    }
    return s;
}

Security option(std::string id, std::string underlying, std::string exchange, double base, int listed,
                double multiplier) {
    Security s;
    s.id = std::move(id);
    s.type = IT::OPTION;
    s.exchange = std::move(exchange);
    s.symbol = s.id;
    s.underlying_id = std::move(underlying);
    s.base = base;
    s.listed = listed;
    s.derivative = true;
    s.lot = 1;
    s.tick = TickSize{1, 10000};
    s.multiplier = multiplier;
    return s;
}

std::vector<Security> build_universe(int extra_stocks) {
    std::vector<Security> u;
    u.push_back(equity("000001.XSHE", IT::CS, "Ping An Bank", 11.5, 19910403));
    {
        Security s = equity("000002.XSHE", IT::CS, "Vanke A", 8.2, 19910129);
        s.suspensions = {{20261020, 20261023}, {20261124, 20261125}};
        u.push_back(std::move(s));
    }
    u.push_back(equity("600000.XSHG", IT::CS, "SPD Bank", 10.29, 19991110));
    u.push_back(equity("600519.XSHG", IT::CS, "Kweichow Moutai", 1480.0, 20010827));
    u.push_back(equity("300750.XSHE", IT::CS, "CATL", 255.0, 20040611));
    u.push_back(equity("688981.XSHG", IT::CS, "SMIC", 92.0, 20040716));
    {
        Security s = equity("600087.XSHG", IT::CS, "Nanjing Tanker", 3.1, 19970723);
        s.delisted = 20261015;
        u.push_back(std::move(s));
    }
    {
        Security s = equity("000003.XSHE", IT::CS, "PT Jintian", 2.0, 19910703);
        s.delisted = 20020614;
        u.push_back(std::move(s));
    }
    {
        Security s = equity("601313.XSHG", IT::CS, "360 Security", 9.4, 20040315);
        Instrument former = record_of(s);
        former.symbol = "Jiangnan Jiajie";
        former.listed_date = "2001-03-01";
        former.de_listed_date = "2016-03-01";
        s.earlier_records.push_back(std::move(former));
        u.push_back(std::move(s));
    }
    for (auto [id, name, base] :
         {std::tuple{"430047.BJSE", "Nuosi Lanbo", 12.0}, std::tuple{"830799.BJSE", "Aiersi", 20.5}}) {
        Security s = equity(id, IT::CS, name, base, 20040105);
        s.bjse = true;
        u.push_back(std::move(s));
    }
    for (auto [id, name, base] :
         {std::tuple{"00700.XHKG", "Tencent", 402.0}, std::tuple{"09988.XHKG", "Alibaba", 85.0}}) {
        Security s = equity(id, IT::CS, name, base, 20040616);
        s.market = "hk";
        u.push_back(std::move(s));
    }
    u.push_back(equity("510050.XSHG", IT::ETF, "50ETF", 2.9, 20041230));
    u.push_back(equity("510300.XSHG", IT::ETF, "300ETF", 3.9, 20041230));
    u.push_back(equity("159915.XSHE", IT::ETF, "ChiNext ETF", 2.1, 20041229));
    u.push_back(equity("161725.XSHE", IT::LOF, "Liquor Index LOF", 0.85, 20040809));
    u.push_back(equity("000300.XSHG", IT::INDX, "CSI 300", 3950.0, 20041231));
    u.push_back(equity("000016.XSHG", IT::INDX, "SSE 50", 2750.0, 20040102));
    u.push_back(equity("508000.XSHG", IT::REITs, "Zhangjiang REIT", 2.4, 20041201));
    {
        Security s = equity("113050.XSHG", IT::CONVERTIBLE, "SPD Convertible", 108.0, 20041119);
        s.stock_code = "600000.XSHG";
        u.push_back(std::move(s));
    }
    {
        Security s = equity("128041.XSHE", IT::CONVERTIBLE, "CATL Convertible", 131.0, 20040708);
        s.stock_code = "300750.XSHE";
        u.push_back(std::move(s));
    }
    u.push_back(future("IF2611", "IF", "000300.XSHG", "CFFEX", 3950.0, 20251124, 20261120));
    u.push_back(future("IF2612", "IF", "000300.XSHG", "CFFEX", 3945.0, 20251222));
    u.push_back(future("IF2701", "IF", "000300.XSHG", "CFFEX", 3940.0, 20260119));
    u.push_back(future("IF2703", "IF", "000300.XSHG", "CFFEX", 3925.0, 20260323));
    // A contract listed later than the others: the listings show it from 2026-12-21 on.
    u.push_back(future("IF2706", "IF", "000300.XSHG", "CFFEX", 3920.0, 20261221));
    u.push_back(future("IH2612", "IH", "000016.XSHG", "CFFEX", 2745.0, 20251222));
    u.push_back(future("IH2701", "IH", "000016.XSHG", "CFFEX", 2742.0, 20260119));
    u.push_back(future("CU2701", "CU", "", "SHFE", 75800.0, 20260116));
    u.push_back(future("CU2702", "CU", "", "SHFE", 75900.0, 20260216));
    u.push_back(option("10008001", "510050.XSHG", "XSHG", 0.2345, 20260423, 10000));
    u.push_back(option("10008002", "510050.XSHG", "XSHG", 0.1187, 20260423, 10000));
    u.push_back(option("IO2612-C-4000", "IF2612", "CFFEX", 82.0, 20260420, 100));
    u.push_back(option("IO2612-P-4000", "IF2612", "CFFEX", 118.0, 20260420, 100));

    for (int i = 0; i < extra_stocks; ++i) {
        const int serial = 10000 + i / 2;
        std::string id = (i % 2 == 0) ? fmt::format("6{:05}.XSHG", serial) : fmt::format("0{:05}.XSHE", serial);
        const double base = 3.0 + static_cast<double>(splitmix64(fnv1a(id)) % 6000) / 100.0;
        Security s = equity(id, IT::CS, "Sim " + id.substr(0, 6), base, 20040102);
        u.push_back(std::move(s));
    }
    return u;
}

// ---------------------------------------------------------------------------------------------
// Settings.

const char* env(const char* name) {
    const char* value = std::getenv(name);
    return (value && *value) ? value : nullptr;
}

std::uint64_t parse_unsigned(const char* name, const std::string& text, std::uint64_t max) {
    const bool digits = !text.empty() && text.size() <= 20 && text.find_first_not_of("0123456789") == std::string::npos;
    errno = 0;
    const unsigned long long value = digits ? std::strtoull(text.c_str(), nullptr, 10) : 0;
    if (!digits || errno == ERANGE || value > max)
        throw ValueError(fmt::format("{} must be an integer from 0 to {}, got \"{}\"", name, max, text));
    return value;
}

int parse_date(const char* name, const std::string& text) {
    const bool digits = text.size() == 8 && text.find_first_not_of("0123456789") == std::string::npos;
    if (digits) {
        const int value = std::atoi(text.c_str());
        const year_month_day ymd{year{value / 10000}, month{static_cast<unsigned>(value / 100 % 100)},
                                 day{static_cast<unsigned>(value % 100)}};
        if (ymd.ok() && value >= 19000101) return value;
    }
    throw ValueError(fmt::format("{} must be a date YYYYMMDD, got \"{}\"", name, text));
}

constexpr int kMaxExtraStocks = 180000;

// ---------------------------------------------------------------------------------------------
// One trading day of one instrument, in ticks of its price grid.

struct DayPlan {
    int serial = 0;       // T
    int prev_serial = 0;  // the trading day before T: its close is T's reference price
    std::int64_t prev_close = 0, open = 0, close = 0, high = 0, low = 0, limit_up = 0, limit_down = 0;
};

// One session of a trading day: [start, end) on calendar day `serial`.
struct Session {
    int serial;
    int start_minute;
    int end_minute;
};

}  // namespace

// ---------------------------------------------------------------------------------------------

struct SimulatedMarket::Impl {
    Settings settings;
    bool bjse = false;
    std::vector<Security> universe;
    std::unordered_map<std::string, std::size_t> by_id;

    explicit Impl(Settings s) : settings(std::move(s)), universe(build_universe(settings.extra_stocks)) {
        by_id.reserve(universe.size());
        for (std::size_t i = 0; i < universe.size(); ++i) {
            universe[i].key = fnv1a(universe[i].id);
            universe[i].origin = mix(settings.seed, universe[i].key);
            by_id.emplace(universe[i].id, i);
        }
    }

    // The exchange setting decides what the listings show, not what a query naming an
    // instrument gets: the incremental update extends existing files of that exchange with the
    // setting off, and the tag resolution switches it off again before the workers fetch.
    // The listings show an instrument from its listing day on, so a contract listed later joins
    // a resolution of the tags made after that day.
    bool visible(const Security& s, int today) const { return (!s.bjse || bjse) && s.listed <= today; }

    // Instruments the cn listings show right now.
    template <class F>
    void for_each_cn(F&& f) const {
        const int today = host::date_to_number(host::now());
        for (const auto& s : universe)
            if (s.market == "cn" && visible(s, today)) f(s);
    }

    const Security* find(const std::string& id, const std::string& market) const {
        const auto it = by_id.find(id);
        if (it == by_id.end()) return nullptr;
        const Security& s = universe[it->second];
        if (s.market != market) return nullptr;
        return &s;
    }

    void check_permission(const std::string& id) const {
        if (settings.deny_all || settings.deny.count(id))
            throw PermissionDenied(fmt::format("no permission to price data of {}", id));
    }

    // Purposes stay below 32, so (index, purpose) pairs never share an origin. A corrected day
    // draws its intraday streams from another origin: its bars and ticks differ, while what the
    // day shares with other days (its open, high, low and close, its volume, the next day's
    // reference price) stays, so no other day changes and bars, ticks and day bar still agree.
    Stream stream(const Security& s, std::int64_t index, Purpose purpose) const {
        std::uint64_t origin = s.origin;
        if (!settings.corrections.empty() && intraday(purpose) &&
            settings.corrections.count({s.id, to_number(static_cast<int>(index))}))
            origin = mix(origin, kCorrectionKey);
        return Stream(mix(origin, static_cast<std::uint64_t>(index) * 32 + purpose));
    }
    static bool intraday(Purpose purpose) {
        return purpose == kBarPath || purpose == kBarShape || purpose == kTickPath || purpose == kTickJitter ||
               purpose == kTickTrade || purpose == kTickDup || purpose == kTickBook;
    }

    // The close of a day, from a slow curve (interpolated between knots 32 days apart) plus a
    // little daily noise: prices wander plausibly without any state between days.
    std::int64_t close_ticks(const Security& s, int serial) const {
        const int k = serial >= 0 ? serial / 32 : (serial - 31) / 32;
        const double f = static_cast<double>(serial - 32 * k) / 32.0;
        const double a = (stream(s, k, kKnot).unit(0) - 0.5) * 0.4;
        const double b = (stream(s, k + 1, kKnot).unit(0) - 0.5) * 0.4;
        const double smooth = f * f * (3.0 - 2.0 * f);
        const double noise = (stream(s, serial, kCloseNoise).unit(0) - 0.5) * 0.02;
        return std::max<std::int64_t>(1, s.tick.ticks(s.base * std::exp(a + (b - a) * smooth + noise)));
    }

    DayPlan plan(const Security& s, int serial) const {
        DayPlan p;
        p.serial = serial;
        p.prev_serial = previous_trading_serial(serial);
        p.prev_close = close_ticks(s, p.prev_serial);
        p.limit_up = std::max<std::int64_t>(1, std::llround(static_cast<double>(p.prev_close) * 1.1));
        p.limit_down = std::max<std::int64_t>(1, std::llround(static_cast<double>(p.prev_close) * 0.9));
        const Stream gap = stream(s, serial, kGap);
        p.open = std::clamp<std::int64_t>(
            std::llround(static_cast<double>(p.prev_close) * std::exp((gap.unit(0) - 0.5) * 0.01)), p.limit_down,
            p.limit_up);
        p.close = std::clamp(close_ticks(s, serial), p.limit_down, p.limit_up);
        const Stream range = stream(s, serial, kRange);
        const std::int64_t top = std::max(p.open, p.close), bottom = std::min(p.open, p.close);
        const auto up =
            std::max<std::int64_t>(1, std::llround(static_cast<double>(top) * (0.002 + 0.02 * range.unit(0))));
        const auto down =
            std::max<std::int64_t>(1, std::llround(static_cast<double>(bottom) * (0.002 + 0.02 * range.unit(1))));
        p.high = std::min(p.limit_up, top + up);
        p.low = std::max({p.limit_down, std::int64_t{1}, bottom - down});
        return p;
    }

    // A Brownian bridge in log price from the day's open to its close over `points` points,
    // kept inside the day's range.
    static std::vector<std::int64_t> bridge(const DayPlan& p, std::size_t points, double sigma, const Stream& st) {
        std::vector<double> walk(points, 0.0);
        for (std::size_t i = 1; i < points; ++i) walk[i] = walk[i - 1] + sigma * st.symmetric(i);
        const double lo = std::log(static_cast<double>(p.open)), lc = std::log(static_cast<double>(p.close));
        const double n = static_cast<double>(points - 1);
        std::vector<std::int64_t> path(points);
        for (std::size_t i = 0; i < points; ++i) {
            const double t = static_cast<double>(i) / n;
            const double x = lo + (lc - lo) * t + walk[i] - t * walk.back();
            path[i] = std::clamp<std::int64_t>(std::llround(std::exp(x)), p.low, p.high);
        }
        path.front() = p.open;
        path.back() = p.close;
        return path;
    }

    static std::vector<Session> bar_sessions(const Security& s, const DayPlan& p) {
        if (!s.derivative) return {{p.serial, 9 * 60 + 30, 11 * 60 + 30}, {p.serial, 13 * 60, 15 * 60}};
        return {{p.prev_serial, 21 * 60, 23 * 60},
                {p.serial, 9 * 60, 10 * 60 + 15},
                {p.serial, 10 * 60 + 30, 11 * 60 + 30},
                {p.serial, 13 * 60 + 30, 15 * 60}};
    }

    static std::size_t bar_count(const Security& s) { return s.derivative ? 345 : 240; }

    // Bar volumes are drawn as a day total first so that day bars need no minute generation.
    std::int64_t day_volume_lots(const Security& s, int serial) const {
        const auto n = static_cast<std::int64_t>(bar_count(s));
        const std::uint64_t h = stream(s, serial, kBarVolume).bits(0);
        return n + n * static_cast<std::int64_t>(s.derivative ? 5 + h % 50 : 20 + h % 400);
    }

    std::int64_t day_open_interest(const Security& s, int serial) const {
        const double base = 20000.0 + static_cast<double>(splitmix64(s.key ^ settings.seed) % 80000);
        return std::llround(base * (0.8 + 0.4 * stream(s, serial, kInterest).unit(0)));
    }

    double turnover(const Security& s, std::int64_t volume, double price) const {
        return std::round(static_cast<double>(volume) * price * s.multiplier * 100.0) / 100.0;
    }

    // Trading days in [from, to] (serials) that have data of this instrument: listed, not
    // suspended, complete per the clock.
    template <class F>
    void for_each_day(const Security& s, int from, int to, F&& f) const {
        from = std::max(from, to_serial(s.listed, "listed date"));
        if (s.delisted) to = std::min(to, to_serial(s.delisted, "delisted date"));
        to = std::min(to, last_complete_serial());
        for (int serial = from; serial <= to; ++serial) {
            if (!trading_serial(serial)) continue;
            if (!s.suspensions.empty() && s.suspended_on(to_number(serial))) continue;
            f(serial);
        }
    }

    void append_day_bars(const Security& s, int from, int to, Frame& frame) const {
        auto& open = frame.columns["open"];
        auto& high = frame.columns["high"];
        auto& low = frame.columns["low"];
        auto& close = frame.columns["close"];
        auto& volume = frame.columns["volume"];
        auto& money = frame.columns["total_turnover"];
        for_each_day(s, from, to, [&](int serial) {
            const DayPlan p = plan(s, serial);
            const std::int64_t v = day_volume_lots(s, serial) * s.lot;
            frame.order_book_id.push_back(s.id);
            frame.timestamp.push_back(at(serial, seconds{0}));
            open.push_back(s.tick.price(p.open));
            high.push_back(s.tick.price(p.high));
            low.push_back(s.tick.price(p.low));
            close.push_back(s.tick.price(p.close));
            volume.push_back(static_cast<double>(v));
            money.push_back(turnover(s, v, s.tick.price(p.open + p.high + p.low + p.close) / 4.0));
        });
        if (frame.empty()) frame.columns.clear();
    }

    // One minute bar in whole units: prices in ticks of the grid, turnover in cents, so that the
    // ticks taken within the bar can share out its volume and turnover without rounding drift.
    struct Bar {
        int serial;  // calendar day of the bar: the evening before T for the night session
        int minute;  // the minute of that day at which the bar ends: its time stamp
        std::int64_t open, high, low, close, volume, cents;
    };

    // The day's minute bars, in time order. Both the bars and the ticks of a day are made from
    // them, so the two agree on volume, turnover, high and low.
    std::vector<Bar> minute_bars(const Security& s, const DayPlan& p) const {
        const std::size_t n = bar_count(s);
        const std::vector<std::int64_t> path = bridge(p, n + 1, 0.0008, stream(s, p.serial, kBarPath));
        const Stream shape = stream(s, p.serial, kBarShape);
        const Stream vol = stream(s, p.serial, kBarVolume);

        // Split the day's volume over the bars, each bar at least one lot.
        const std::int64_t spare = day_volume_lots(s, p.serial) - static_cast<std::int64_t>(n);
        std::vector<double> weight(n);
        double total_weight = 0;
        for (std::size_t i = 0; i < n; ++i) total_weight += weight[i] = 0.2 + vol.unit(i + 1);
        std::vector<std::int64_t> lots(n);
        std::int64_t given = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const auto share = static_cast<std::int64_t>(static_cast<double>(spare) * weight[i] / total_weight);
            lots[i] = 1 + share;
            given += share;
        }
        lots[n - 1] += spare - given;

        // One bar reaches the day's high and one its low, so the bars agree with the day bar.
        const std::size_t high_bar = shape.bits(0) % n, low_bar = shape.bits(1) % n;
        std::vector<Bar> bars;
        bars.reserve(n);
        std::size_t i = 0;
        for (const Session& session : bar_sessions(s, p)) {
            for (int minute = session.start_minute + 1; minute <= session.end_minute; ++minute, ++i) {
                const std::int64_t o = path[i], c = path[i + 1];
                const std::int64_t reach = std::max<std::int64_t>(1, std::llround(static_cast<double>(o) * 0.0008));
                std::int64_t h =
                    std::min(p.high, std::max(o, c) + static_cast<std::int64_t>(shape.bits(2 * i + 2) % (reach + 1)));
                std::int64_t l =
                    std::max(p.low, std::min(o, c) - static_cast<std::int64_t>(shape.bits(2 * i + 3) % (reach + 1)));
                if (i == high_bar) h = p.high;
                if (i == low_bar) l = p.low;
                const std::int64_t v = lots[i] * s.lot;
                // Traded at the mean of open, high, low and close: a price inside the bar's range.
                const double price = s.tick.price(o + h + l + c) / 4.0;
                const std::int64_t cents = std::llround(static_cast<double>(v) * price * s.multiplier * 100.0);
                bars.push_back({session.serial, minute, o, h, l, c, v, cents});
            }
        }
        return bars;
    }

    void append_minute_bars(const Security& s, int serial, Frame& frame) const {
        const DayPlan p = plan(s, serial);
        const std::vector<Bar> bars = minute_bars(s, p);
        const std::size_t n = bars.size();
        const Stream shape = stream(s, serial, kBarShape);
        std::int64_t interest = day_open_interest(s, serial);
        const DateTime trading_day = at(serial, seconds{0});

        auto& open = frame.columns["open"];
        auto& high = frame.columns["high"];
        auto& low = frame.columns["low"];
        auto& close = frame.columns["close"];
        auto& volume = frame.columns["volume"];
        auto& money = frame.columns["total_turnover"];
        std::vector<double>* open_interest = s.derivative ? &frame.columns["open_interest"] : nullptr;
        if (s.derivative && !frame.trading_date) frame.trading_date.emplace();

        for (std::size_t i = 0; i < n; ++i) {
            const Bar& bar = bars[i];
            frame.order_book_id.push_back(s.id);
            frame.timestamp.push_back(at(bar.serial, minutes{bar.minute}));
            open.push_back(s.tick.price(bar.open));
            high.push_back(s.tick.price(bar.high));
            low.push_back(s.tick.price(bar.low));
            close.push_back(s.tick.price(bar.close));
            volume.push_back(static_cast<double>(bar.volume));
            money.push_back(static_cast<double>(bar.cents) / 100.0);
            if (open_interest) {
                interest = std::max<std::int64_t>(
                    0, interest + static_cast<std::int64_t>(shape.bits(2 * n + i + 4) % 41) - 20);
                open_interest->push_back(static_cast<double>(interest));
                frame.trading_date->push_back(trading_day);
            }
        }
    }

    // Ticks are snapshots taken within the day's minute bars, so that the two agree:
    //   1. Each bar gets kSnapshotsPerBar snapshots, one about every 3 s of the minute that ends at
    //      the bar's time stamp (millisecond jitter).
    //   2. The first snapshot trades at the bar's open, the last at its close; two others in
    //      between at its high and its low; the rest anywhere in its range. So the minute's prices
    //      are exactly the bar's, and the running day high and low of the snapshots are those of
    //      the bars so far.
    //   3. The bar's volume is shared out over its snapshots in lots, and its turnover in cents in
    //      proportion to the volume: at a minute's last snapshot the cumulative volume and turnover
    //      are the sums of the bars up to that one, and they never fall.
    //   4. About one snapshot in 500 is preceded by another with the same time stamp, another
    //      price inside the bar and the cumulative values of the snapshot before: the service sends
    //      such pairs, and the later of the two is the one that counts.
    void append_ticks(const Security& s, int serial, Frame& frame) const {
        constexpr int kSnapshotsPerBar = 20;
        const DayPlan p = plan(s, serial);
        const std::vector<Bar> bars = minute_bars(s, p);
        const Stream pick = stream(s, serial, kTickPath);
        const Stream jitter = stream(s, serial, kTickJitter);
        const Stream trade = stream(s, serial, kTickTrade);
        const Stream dup = stream(s, serial, kTickDup);
        const Stream book = stream(s, serial, kTickBook);
        const DateTime trading_day = at(serial, seconds{0});

        static const std::array<std::string, 5> ask_names{"a1", "a2", "a3", "a4", "a5"};
        static const std::array<std::string, 5> bid_names{"b1", "b2", "b3", "b4", "b5"};
        static const std::array<std::string, 5> ask_volume_names{"a1_v", "a2_v", "a3_v", "a4_v", "a5_v"};
        static const std::array<std::string, 5> bid_volume_names{"b1_v", "b2_v", "b3_v", "b4_v", "b5_v"};
        auto& open = frame.columns["open"];
        auto& last = frame.columns["last"];
        auto& high = frame.columns["high"];
        auto& low = frame.columns["low"];
        auto& prev_close = frame.columns["prev_close"];
        auto& limit_up = frame.columns["limit_up"];
        auto& limit_down = frame.columns["limit_down"];
        auto& volume = frame.columns["volume"];
        auto& money = frame.columns["total_turnover"];
        std::array<std::vector<double>*, 5> asks{}, bids{}, ask_volumes{}, bid_volumes{};
        for (int k = 0; k < 5; ++k) {
            asks[k] = &frame.columns[ask_names[k]];
            bids[k] = &frame.columns[bid_names[k]];
            ask_volumes[k] = &frame.columns[ask_volume_names[k]];
            bid_volumes[k] = &frame.columns[bid_volume_names[k]];
        }
        std::vector<double>* open_interest = s.derivative ? &frame.columns["open_interest"] : nullptr;
        if (!frame.trading_date) frame.trading_date.emplace();

        std::int64_t running_high = p.open, running_low = p.open;
        std::int64_t row = 0;
        std::int64_t interest = day_open_interest(s, serial);

        auto emit = [&](DateTime when, std::int64_t price, std::int64_t cumulative_volume,
                        std::int64_t cumulative_cents) {
            running_high = std::max(running_high, price);
            running_low = std::min(running_low, price);
            frame.order_book_id.push_back(s.id);
            frame.timestamp.push_back(when);
            frame.trading_date->push_back(trading_day);
            open.push_back(s.tick.price(p.open));
            last.push_back(s.tick.price(price));
            high.push_back(s.tick.price(running_high));
            low.push_back(s.tick.price(running_low));
            prev_close.push_back(s.tick.price(p.prev_close));
            limit_up.push_back(s.tick.price(p.limit_up));
            limit_down.push_back(s.tick.price(p.limit_down));
            volume.push_back(static_cast<double>(cumulative_volume));
            money.push_back(static_cast<double>(cumulative_cents) / 100.0);
            // The book stays inside the day's limits: no order rests beyond them.
            const std::uint64_t sizes = book.bits(static_cast<std::uint64_t>(row));
            for (int k = 0; k < 5; ++k) {
                asks[k]->push_back(s.tick.price(std::min(p.limit_up, price + k + 1)));
                bids[k]->push_back(s.tick.price(std::max(p.limit_down, price - k - 1)));
                const double scale = s.derivative ? 1.0 : static_cast<double>(s.lot);
                ask_volumes[k]->push_back(scale * static_cast<double>(1 + (sizes >> (6 * k)) % 60));
                bid_volumes[k]->push_back(scale * static_cast<double>(1 + (sizes >> (6 * k + 30)) % 60));
            }
            if (open_interest) {
                interest =
                    std::max<std::int64_t>(0, interest + static_cast<std::int64_t>(trade.bits(2 * row + 1) % 7) - 3);
                open_interest->push_back(static_cast<double>(interest));
            }
            ++row;
        };

        std::int64_t day_volume = 0, day_cents = 0;  // up to the end of the previous bar
        std::size_t i = 0;                           // snapshot of the day
        for (std::size_t b = 0; b < bars.size(); ++b) {
            const Bar& bar = bars[b];
            // Snapshots 1..kSnapshotsPerBar-2 trade between the open and the close; two distinct ones
            // of them touch the high and the low.
            const std::uint64_t where = pick.bits(b);
            const int at_high = 1 + static_cast<int>(where % (kSnapshotsPerBar - 2));
            int at_low = 1 + static_cast<int>((where >> 16) % (kSnapshotsPerBar - 3));
            if (at_low >= at_high) ++at_low;

            std::array<std::int64_t, kSnapshotsPerBar> weight{};
            std::int64_t total_weight = 0;
            for (int k = 0; k < kSnapshotsPerBar; ++k)
                total_weight += weight[k] = 1 + static_cast<std::int64_t>(trade.bits(2 * (i + k)) % 30);
            const std::int64_t bar_lots = bar.volume / s.lot;

            const DateTime minute_start = local_days{days{bar.serial}} + minutes{bar.minute - 1};
            std::int64_t weight_so_far = 0, cum_volume = day_volume, cum_cents = day_cents;
            for (int k = 0; k < kSnapshotsPerBar; ++k, ++i) {
                std::int64_t price =
                    k == 0                      ? bar.open
                    : k == kSnapshotsPerBar - 1 ? bar.close
                    : k == at_high              ? bar.high
                    : k == at_low
                        ? bar.low
                        : bar.low + static_cast<std::int64_t>(pick.bits(bars.size() + i) %
                                                              static_cast<std::uint64_t>(bar.high - bar.low + 1));
                const DateTime when =
                    minute_start + milliseconds{3000LL * k + static_cast<long long>(jitter.bits(i) % 1000)};
                // Now and then the service sends two snapshots with the same time stamp.
                if (dup.bits(i) % 500 == 0 && bar.high > bar.low)
                    emit(when, price < bar.high ? price + 1 : price - 1, cum_volume, cum_cents);
                weight_so_far += weight[k];
                // Whole lots so far, and the turnover of those lots. The products stay far below
                // 2^63: a bar's cents times its lots is under 10^17 for any instrument here.
                const std::int64_t lots_so_far = bar_lots * weight_so_far / total_weight;
                cum_volume = day_volume + lots_so_far * s.lot;
                cum_cents = day_cents + bar.cents * lots_so_far / bar_lots;
                emit(when, price, cum_volume, cum_cents);
            }
            day_volume += bar.volume;
            day_cents += bar.cents;
        }
    }
};

// "ID:YYYYMMDD[-YYYYMMDD],..." as (id, day) pairs, one for every calendar day of each range.
std::set<std::pair<std::string, int>> parse_corrections(const std::string& text) {
    const auto bad = [&text] {
        return ValueError(
            fmt::format("TARNWICK_SIM_CORRECTIONS must be entries ID:YYYYMMDD or ID:YYYYMMDD-YYYYMMDD "
                        "separated by commas, got \"{}\"",
                        text));
    };
    std::set<std::pair<std::string, int>> days;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        std::size_t end = text.find(',', begin);
        if (end == std::string::npos) end = text.size();
        const std::string item = text.substr(begin, end - begin);
        begin = end + 1;
        const std::size_t colon = item.rfind(':');
        if (colon == std::string::npos || colon == 0) throw bad();
        const std::string id = item.substr(0, colon);
        const std::string range = item.substr(colon + 1);
        const std::size_t dash = range.find('-');
        const std::string first_text = range.substr(0, dash);
        const std::string last_text = dash == std::string::npos ? first_text : range.substr(dash + 1);
        if (first_text.size() != 8 || last_text.size() != 8 ||
            (first_text + last_text).find_first_not_of("0123456789") != std::string::npos)
            throw bad();
        const int first = to_serial(std::stoi(first_text), "TARNWICK_SIM_CORRECTIONS");
        const int last = to_serial(std::stoi(last_text), "TARNWICK_SIM_CORRECTIONS");
        if (last < first || last - first > 366 * 30) throw bad();
        for (int serial = first; serial <= last; ++serial) days.emplace(id, to_number(serial));
    }
    return days;
}

// ---------------------------------------------------------------------------------------------

SimulatedMarket::Settings SimulatedMarket::settings_from_environment() {
    Settings s;
    if (const char* v = env("TARNWICK_SIM_SEED"))
        s.seed = parse_unsigned("TARNWICK_SIM_SEED", v, std::numeric_limits<std::uint64_t>::max());
    if (const char* v = env("TARNWICK_SIM_STOCKS"))
        s.extra_stocks = static_cast<int>(parse_unsigned("TARNWICK_SIM_STOCKS", v, kMaxExtraStocks));
    if (const char* v = env("TARNWICK_SIM_FIRST_DATE")) s.first_date = parse_date("TARNWICK_SIM_FIRST_DATE", v);
    if (const char* v = env("TARNWICK_SIM_TICK_FIRST_DATE"))
        s.tick_first_date = parse_date("TARNWICK_SIM_TICK_FIRST_DATE", v);
    if (const char* v = env("TARNWICK_SIM_DENY")) {
        const std::string text = v;
        std::size_t begin = 0;
        while (begin <= text.size()) {
            std::size_t end = text.find(',', begin);
            if (end == std::string::npos) end = text.size();
            std::string item = text.substr(begin, end - begin);
            const auto first = item.find_first_not_of(" \t");
            const auto last = item.find_last_not_of(" \t");
            item = first == std::string::npos ? std::string() : item.substr(first, last - first + 1);
            if (item.empty() || item.find_first_of(" \t") != std::string::npos)
                throw ValueError(fmt::format(
                    "TARNWICK_SIM_DENY must be \"*\" or order_book_ids separated by commas, got \"{}\"", text));
            if (item == "*")
                s.deny_all = true;
            else
                s.deny.insert(item);
            begin = end + 1;
        }
    }
    if (const char* v = env("TARNWICK_SIM_CORRECTIONS")) s.corrections = parse_corrections(v);
    return s;
}

SimulatedMarket::SimulatedMarket() : SimulatedMarket(settings_from_environment()) {}

SimulatedMarket::SimulatedMarket(Settings settings) {
    if (settings.extra_stocks < 0 || settings.extra_stocks > kMaxExtraStocks)
        throw ValueError(fmt::format("simulated market: extra_stocks must be 0..{}, got {}", kMaxExtraStocks,
                                     settings.extra_stocks));
    to_serial(settings.first_date, "simulated market first date");
    to_serial(settings.tick_first_date, "simulated market tick first date");
    impl_ = std::make_unique<Impl>(std::move(settings));
}

SimulatedMarket::~SimulatedMarket() = default;

const SimulatedMarket::Settings& SimulatedMarket::settings() const { return impl_->settings; }

bool SimulatedMarket::is_trading_day(int yyyymmdd) { return trading_serial(to_serial(yyyymmdd, "date")); }

void SimulatedMarket::init(bool enable_bjse) { impl_->bjse = enable_bjse; }

bool SimulatedMarket::bjse_enabled() { return impl_->bjse; }

Listing SimulatedMarket::all_instruments() {
    Listing out;
    impl_->for_each_cn([&](const Security& s) { out.push_back(listing_row(s)); });
    return out;
}

Listing SimulatedMarket::all_instruments(const InstrumentType& type) {
    Listing out;
    impl_->for_each_cn([&](const Security& s) {
        if (s.type == type) out.push_back(listing_row(s));
    });
    return out;
}

Listing SimulatedMarket::all_instruments_hk(const InstrumentType& type) {
    const int today = host::date_to_number(host::now());
    Listing out;
    for (const auto& s : impl_->universe)
        if (s.market == "hk" && s.type == type && impl_->visible(s, today)) out.push_back(listing_row(s));
    return out;
}

Listing SimulatedMarket::all_instruments_on(const InstrumentType& type, DateTime date) {
    const int day = host::date_to_number(date);
    Listing out;
    impl_->for_each_cn([&](const Security& s) {
        if (s.type == type && s.listed_on(day)) out.push_back(listing_row(s));
    });
    return out;
}

InstrumentLookup SimulatedMarket::instruments(const std::string& order_book_id,
                                              const std::optional<std::string>& market) {
    const Security* s = impl_->find(order_book_id, market.value_or("cn"));
    if (!s) return {};
    if (s->earlier_records.empty()) return {record_of(*s)};
    std::vector<Instrument> records = s->earlier_records;
    records.push_back(record_of(*s));
    return {std::move(records)};
}

InstrumentLookup SimulatedMarket::convertible_instruments(const std::vector<std::string>& order_book_ids) {
    std::vector<Instrument> found;
    for (const auto& id : order_book_ids) {
        const Security* s = impl_->find(id, "cn");
        if (s && s->type == host::INSTRUMENT_TYPE::CONVERTIBLE) found.push_back(record_of(*s));
    }
    if (found.empty()) return {};
    if (found.size() == 1) return {std::move(found.front())};
    return {std::move(found)};
}

std::optional<Frame> SimulatedMarket::get_price(const PriceQuery& query) {
    impl_->check_permission(query.order_book_id);
    int from = to_serial(query.start_date, "get_price start_date");
    const int to = to_serial(query.end_date, "get_price end_date");
    const Security* s = impl_->find(query.order_book_id, query.market.value_or("cn"));
    if (!s) return std::nullopt;

    Frame frame;
    switch (query.frequency) {
        case Frequency::Day:
            from = std::max(from, to_serial(impl_->settings.first_date, "first date"));
            impl_->append_day_bars(*s, from, to, frame);
            break;
        case Frequency::Minute:
            from = std::max(from, to_serial(impl_->settings.first_date, "first date"));
            impl_->for_each_day(*s, from, to, [&](int serial) { impl_->append_minute_bars(*s, serial, frame); });
            break;
        case Frequency::Tick:
            from = std::max(from, to_serial(impl_->settings.tick_first_date, "tick first date"));
            impl_->for_each_day(*s, from, to, [&](int serial) { impl_->append_ticks(*s, serial, frame); });
            break;
    }
    if (frame.empty()) return std::nullopt;
    return frame;
}

void SimulatedMarket::probe_price(const std::string& order_book_id) { impl_->check_permission(order_book_id); }

int SimulatedMarket::get_next_trading_date(int date, const std::string& /*market*/) {
    return to_number(next_trading_serial(to_serial(date, "get_next_trading_date date")));
}

SuspensionTable SimulatedMarket::is_suspended(const std::string& order_book_id, int start_date, int end_date) {
    const int from = to_serial(start_date, "is_suspended start_date");
    const int to = to_serial(end_date, "is_suspended end_date");
    const auto it = impl_->by_id.find(order_book_id);
    if (it == impl_->by_id.end()) return {};
    const Security& s = impl_->universe[it->second];
    SuspensionTable out;
    for (int serial = from; serial <= to; ++serial) {
        if (!trading_serial(serial)) continue;
        const int day = to_number(serial);
        out.push_back({day, s.suspended_on(day)});
    }
    return out;
}

std::vector<int> SimulatedMarket::get_trading_dates(int start_date, int end_date) {
    const int from = to_serial(start_date, "get_trading_dates start_date");
    const int to = to_serial(end_date, "get_trading_dates end_date");
    std::vector<int> out;
    for (int serial = from; serial <= to; ++serial)
        if (trading_serial(serial)) out.push_back(to_number(serial));
    return out;
}

}  // namespace tarnwick::bundle::service
