#include "tarnwick/bundle/selection/tags.hpp"

#include <algorithm>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/service/client.hpp"
#include "tarnwick/bundle/service/connection.hpp"

namespace tarnwick::bundle::selection {
namespace {

using Words = std::set<std::string>;
namespace T = host::INSTRUMENT_TYPE;

bool contains(const Words& words, const std::string& word) { return words.count(word) != 0; }

template <class Pred, class Column>
void add_where(Words& out, const service::Listing& listing, Pred keep, Column column) {
    for (const auto& row : listing)
        if (keep(row)) out.insert(column(row));
}

// Returns a client whose exchange setting was off before the resolution to off on every way
// out. The normal path switches explicitly (its errors propagate); on an error path the switch is
// a best effort, since the resolution's own error is the one the caller must see.
class ExchangeSettingRestorer {
public:
    explicit ExchangeSettingRestorer(bool was_enabled) : pending_(!was_enabled) {}
    ~ExchangeSettingRestorer() {
        if (!pending_) return;
        try {
            service::_switch_of_bjse(false);
        } catch (...) {}
    }
    ExchangeSettingRestorer(const ExchangeSettingRestorer&) = delete;
    ExchangeSettingRestorer& operator=(const ExchangeSettingRestorer&) = delete;

    void restore_now() {
        if (!pending_) return;
        pending_ = false;
        service::_switch_of_bjse(false);
    }

private:
    bool pending_;
};

}  // namespace

std::set<std::string> _merge_tags(const std::vector<std::string>& tags, bool with_derivatives, bool enable_bjse) {
    service::Client& client = service::current();
    Words words(tags.begin(), tags.end());

    const bool bjse_enabled = client.bjse_enabled();
    ExchangeSettingRestorer restorer(bjse_enabled);
    if (contains(words, "stock")) {
        if (enable_bjse && !bjse_enabled) service::_switch_of_bjse(true);
    } else if (!bjse_enabled) {
        service::_switch_of_bjse(true);
    }

    const service::Listing df = client.all_instruments();
    const service::Listing option_df = client.all_instruments(T::OPTION);
    const service::Listing future_df = client.all_instruments(T::FUTURE);
    const service::Listing convertible_df = client.all_instruments(T::CONVERTIBLE);
    Words result;

    const auto& tag_map = layout::TAG_MAP();
    std::set<host::InstrumentType> ins_types;
    if (contains(words, "all")) {
        for (const auto& [key, types] : tag_map) ins_types.insert(types.begin(), types.end());
        words.erase("all");
    } else {
        for (const auto& [key, types] : tag_map)
            if (contains(words, key)) ins_types.insert(types.begin(), types.end());
    }
    for (const auto& entry : tag_map) words.erase(entry.first);

    // A futures underlying symbol stands for every contract listed under it.
    Words symbols;
    for (const auto& row : future_df) {
        if (!contains(words, row.underlying_symbol)) continue;
        symbols.insert(row.underlying_symbol);
        words.insert(row.order_book_id);
    }
    for (const auto& symbol : symbols) words.erase(symbol);

    add_where(
        result, df, [&](const auto& row) { return ins_types.count(row.type) != 0; },
        [](const auto& row) { return row.order_book_id; });
    add_where(
        result, df, [&](const auto& row) { return contains(words, row.order_book_id); },
        [](const auto& row) { return row.order_book_id; });
    add_where(
        result, option_df, [&](const auto& row) { return contains(words, row.order_book_id); },
        [](const auto& row) { return row.underlying_order_book_id; });

    if (std::any_of(words.begin(), words.end(), [](const std::string& w) { return w.ends_with(".XHKG"); })) {
        const service::Listing hk_stock_df = client.all_instruments_hk("CS");
        add_where(
            result, hk_stock_df, [&](const auto& row) { return contains(words, row.order_book_id); },
            [](const auto& row) { return row.order_book_id; });
    }

    for (const auto& id : result) words.erase(id);

    if (with_derivatives) {
        Words futures;
        add_where(
            futures, future_df, [&](const auto& row) { return contains(result, row.underlying_order_book_id); },
            [](const auto& row) { return row.order_book_id; });
        result.insert(futures.begin(), futures.end());
        Words options;
        add_where(
            options, option_df, [&](const auto& row) { return contains(result, row.underlying_order_book_id); },
            [](const auto& row) { return row.order_book_id; });
        result.insert(options.begin(), options.end());
    }

    std::vector<std::string> convertibles;
    for (const auto& row : convertible_df)
        if (contains(result, row.order_book_id)) convertibles.push_back(row.order_book_id);
    if (!convertibles.empty()) {
        const service::InstrumentLookup con_ins = client.convertible_instruments(convertibles);
        if (const auto* list = con_ins.list()) {
            for (const auto& bond : *list)
                if (!bond.stock_code.empty()) result.insert(bond.stock_code);
        } else if (const auto* bond = con_ins.single(); bond && !bond->stock_code.empty()) {
            result.insert(bond->stock_code);
        }
    }

    if (!words.empty()) {
        std::vector<std::string> keys;
        for (const auto& entry : tag_map) keys.push_back(entry.first);
        host::print_line(fmt::format("不支持的参数值:[{}]，\n可选的参数值有 [{}] 或 underlying_symbol 或 order_book_id",
                                     fmt::join(words, ", "), fmt::join(keys, ", ")));
    }

    restorer.restore_now();
    return result;
}

}  // namespace tarnwick::bundle::selection
