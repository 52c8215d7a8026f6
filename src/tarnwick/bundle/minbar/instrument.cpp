#include "tarnwick/bundle/minbar/instrument.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/service/client.hpp"
#include "tarnwick/bundle/service/connection.hpp"

namespace tarnwick::bundle::minbar {
namespace {

int parse_delisting(const std::string& text, const std::string& order_book_id) {
    std::string digits;
    for (char c : text)
        if (c != '-') digits += c;
    if (digits.empty() || digits.size() > 8 || digits.find_first_not_of("0123456789") != std::string::npos)
        throw ValueError(fmt::format("标的 {} 的退市日期 \"{}\" 无法识别", order_book_id, text));
    return std::stoi(digits);
}

// The listing date only informs estimates: one that cannot be read counts as unknown.
int parse_listing(const std::string& text) {
    std::string digits;
    for (char c : text)
        if (c != '-') digits += c;
    if (digits.size() != 8 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    return std::stoi(digits);
}

}  // namespace

Instrument look_up(const std::string& order_book_id) {
    Instrument ins{order_book_id, order_book_id.ends_with(".XHKG") ? "hk" : "cn", 0, 0, {}};
    const service::InstrumentLookup found = service::current().instruments(order_book_id, ins.market);
    if (found.is_none()) throw ValueError("标的 " + order_book_id + " 不存在");  // frozen text
    if (const auto* list = found.list()) {
        if (list->empty()) throw ValueError(fmt::format("标的 {} 的查询结果为空列表，无法确定退市日期", order_book_id));
        const bool listed = std::any_of(list->begin(), list->end(),
                                        [](const service::Instrument& i) { return i.de_listed_date == "0000-00-00"; });
        if (!listed) {
            const auto latest = std::max_element(list->begin(), list->end(),
                                                 [](const service::Instrument& a, const service::Instrument& b) {
                                                     return a.de_listed_date < b.de_listed_date;
                                                 });
            ins.de_listed_date = parse_delisting(latest->de_listed_date, order_book_id);
        }
        ins.type = list->front().type;
        ins.listed_date = parse_listing(list->front().listed_date);
    } else {
        ins.de_listed_date = parse_delisting(found.single()->de_listed_date, order_book_id);
        ins.type = found.single()->type;
        ins.listed_date = parse_listing(found.single()->listed_date);
    }
    return ins;
}

std::optional<StoreGroup> store_group(const host::InstrumentType& type) {
    namespace T = host::INSTRUMENT_TYPE;
    const auto& equities = layout::EQUITIES_INS_TYPE();
    if (std::find(equities.begin(), equities.end(), type) != equities.end())
        return StoreGroup{layout::BarKind::Equities, layout::EQUITIES_GROUP};
    if (type == T::FUTURE) return StoreGroup{layout::BarKind::Derivatives, layout::FUTURE_GROUP};
    if (type == T::OPTION) return StoreGroup{layout::BarKind::Derivatives, layout::OPTION_GROUP};
    return std::nullopt;
}

int last_fetch_day(const Instrument& ins) {
    const int today = host::date_to_number(host::now());
    return (ins.de_listed_date != 0 && ins.de_listed_date < today) ? ins.de_listed_date : service::_get_end_date();
}

}  // namespace tarnwick::bundle::minbar
