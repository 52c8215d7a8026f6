#include "tarnwick/bundle/audit/audit.hpp"

#include <malloc.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>

#include <fmt/format.h>

#include "tarnwick/bundle/audit/rules.hpp"
#include "tarnwick/bundle/checks/calendar.hpp"
#include "tarnwick/bundle/checks/listing.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/interrupt.hpp"
#include "tarnwick/bundle/host/progress.hpp"
#include "tarnwick/bundle/host/worker_engine.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/reading/read.hpp"

namespace tarnwick::bundle::audit {
namespace {

namespace fs = std::filesystem;

// Buffers a reader process keeps from one instrument to the next.
struct Buffers {
    std::vector<layout::EquityBar> bars;
    std::vector<unsigned char> raw;  // derivative bars as stored
    std::vector<double> scratch;
    std::vector<std::size_t> counts;  // bars a day judged for thinness, in day order
    std::vector<std::size_t> reordered;  // the same, reordered to find their median
};
Buffers& buffers() {
    static Buffers kept;
    return kept;
}

// The minute bars of a file in the equity form, with the rows of each day.
reading::ReadResult read_bars(const std::string& path, Buffers& b) {
    reading::ReadResult result = reading::read_minbar_file(path, {}, [&](reading::RecordKind kind, std::size_t rows) {
        if (kind == reading::RecordKind::EquityBars) {
            b.bars.resize(rows);
            return static_cast<void*>(b.bars.data());
        }
        b.raw.resize(rows * sizeof(layout::DerivativeBar));
        return static_cast<void*>(b.raw.data());
    });
    if (result.kind == reading::RecordKind::DerivativeBars) {
        const std::size_t rows = b.raw.size() / sizeof(layout::DerivativeBar);
        b.bars.resize(rows);
        for (std::size_t i = 0; i < rows; ++i) {
            layout::DerivativeBar d;
            std::memcpy(&d, b.raw.data() + i * sizeof d, sizeof d);
            b.bars[i] = {d.datetime, d.open, d.high, d.low, d.close, d.volume, d.total_turnover};
        }
    }
    return result;
}

double median_count(std::vector<std::size_t>& counts) {
    if (counts.empty()) return 0;
    const auto middle = counts.begin() + static_cast<std::ptrdiff_t>(counts.size() / 2);
    std::nth_element(counts.begin(), middle, counts.end());
    return static_cast<double>(*middle);
}

std::string why_unreadable(const std::exception& e) {
    if (const auto* os = dynamic_cast<const OsError*>(&e); os && os->kind() == OsError::Kind::WouldBlock)
        return std::string("held by another process (an update or a reader): ") + e.what();
    return e.what();
}

// ---- what a reader process sends back ----------------------------------------------------------
// One line per finding or skipped file, tab-separated; texts never hold tabs or line breaks.

std::string flat(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
    return text;
}

std::string encode(const InstrumentResult& o) {
    std::string text = fmt::format("D\t{}\t{}\n", o.minbar_days, o.tick_days);
    for (const auto& f : o.findings)
        text += fmt::format("F\t{}\t{}\t{}\t{}\n", static_cast<int>(f.kind), static_cast<int>(f.store), f.date,
                            flat(f.reason));
    for (const auto& s : o.skipped) text += fmt::format("S\t{}\t{}\n", static_cast<int>(s.store), flat(s.reason));
    return text;
}

std::vector<std::string> fields(std::string_view line) {
    std::vector<std::string> out;
    for (std::size_t at = 0;;) {
        const std::size_t tab = line.find('\t', at);
        out.emplace_back(line.substr(at, tab == std::string_view::npos ? std::string_view::npos : tab - at));
        if (tab == std::string_view::npos) return out;
        at = tab + 1;
    }
}

void decode(std::string_view text, const Instrument& instrument, Report& report) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const auto f = fields(text.substr(at, end - at));
        at = end + 1;
        if (f[0] == "D" && f.size() == 3) {
            report.minbar_days += std::stoul(f[1]);
            report.tick_days += std::stoul(f[2]);
        } else if (f[0] == "F" && f.size() == 5) {
            report.findings.push_back({static_cast<Kind>(std::stoi(f[1])), static_cast<Store>(std::stoi(f[2])),
                                       instrument.id, std::stoi(f[3]), f[4]});
        } else if (f[0] == "S" && f.size() == 3) {
            const auto store = static_cast<Store>(std::stoi(f[1]));
            report.skipped.push_back(
                {store, instrument.id, store == Store::Minbar ? instrument.minbar_path : instrument.tick_path, f[2]});
        }
    }
}

// Every instrument with a store file: minute-bar files by group and name, then tick files of
// instruments without minute bars. A tick file goes with the first minute-bar file of its name.
std::vector<Instrument> instruments_of(const std::string& root, Report& report) {
    std::vector<fs::path> bars = checks::store_files_one_level_below(layout::minbar_root(root));
    std::vector<fs::path> ticks = checks::store_files_in(layout::tick_root(root));
    std::sort(bars.begin(), bars.end());
    std::sort(ticks.begin(), ticks.end());
    report.minbar_files = bars.size();
    report.tick_files = ticks.size();
    std::map<std::string, std::string> tick_of;
    for (const auto& path : ticks) tick_of.emplace(checks::store_identifier(path), path.string());
    std::vector<Instrument> out;
    for (const auto& path : bars) {
        Instrument i{checks::store_identifier(path), path.string(), path.parent_path().filename().string(), {}};
        if (const auto t = tick_of.find(i.id); t != tick_of.end()) {
            i.tick_path = t->second;
            tick_of.erase(t);
        }
        report.minbar_paths.emplace(i.id, i.minbar_path);
        out.push_back(std::move(i));
    }
    for (const auto& path : ticks) {
        const std::string id = checks::store_identifier(path);
        if (tick_of.count(id)) out.push_back({id, {}, {}, path.string()});
    }
    for (const auto& path : ticks) report.tick_paths.emplace(checks::store_identifier(path), path.string());
    return out;
}

}  // namespace

std::map<Kind, std::size_t> Report::counts() const {
    std::map<Kind, std::size_t> out;
    for (const auto& f : findings) ++out[f.kind];
    return out;
}

InstrumentResult audit_instrument(const Instrument& instrument, const std::vector<std::int64_t>& calendar) {
    InstrumentResult result;
    const Subject s{instrument.id, &result.findings};
    Buffers& b = buffers();
    reading::ReadResult bars_read;
    std::vector<std::size_t> first_row;  // of each day in b.bars
    // b.bars keeps its size from the last file: growing it to this file's rows clears only the
    // rows it did not have.
    // A file that cannot be read is skipped with its reason; the other store's file still counts.
    const auto skip = [&](Store store, const std::string& path, const std::exception& e) {
        result.skipped.push_back({store, instrument.id, path, why_unreadable(e)});
    };
    if (!instrument.minbar_path.empty()) {
        try {
            bars_read = read_bars(instrument.minbar_path, b);
        } catch (const host::Interrupted&) {
            throw;
        } catch (const std::exception& e) {
            skip(Store::Minbar, instrument.minbar_path, e);
            bars_read.days.clear();
            b.bars.clear();
        }
        const bool night = night_group(instrument.group);
        const Sessions sessions = sessions_of(instrument.group, instrument.id);
        // A night group's day is judged by its day-session bars: the night before a holiday
        // has no session.
        b.counts.clear();
        for (std::size_t row = 0; const auto& day : bars_read.days) {
            const auto* first = b.bars.data() + row;
            b.counts.push_back(night ? static_cast<std::size_t>(std::count_if(
                                           first, first + day.rows,
                                           [](const layout::EquityBar& bar) { return in_day_session(bar.datetime); }))
                                     : day.rows);
            row += day.rows;
        }
        b.reordered.assign(b.counts.begin(), b.counts.end());
        const double usual = median_count(b.reordered);
        const double multiplier = turnover_multiplier(b.bars, b.scratch);
        std::size_t row = 0;
        for (std::size_t k = 0; k < bars_read.days.size(); ++k) {
            const auto& day = bars_read.days[k];
            first_row.push_back(row);
            const Bars bars(b.bars.data() + row, day.rows);
            thin_day(s, day.day, b.counts[k], usual, sessions);
            time_order(s, day.day, bars, row > 0 ? b.bars[row - 1].datetime : 0);
            outside_session(s, day.day, bars, sessions, night, calendar);
            ohlc(s, day.day, bars);
            negative_volume(s, day.day, bars);
            turnover(s, day.day, bars, multiplier);
            row += day.rows;
        }
        result.minbar_days = bars_read.days.size();
    }
    if (!instrument.tick_path.empty()) {
        host::throw_if_interrupted();
        try {
            reading::for_each_tick_day(instrument.tick_path, [&](int day, std::span<const unsigned char> bytes) {
                const Ticks ticks(reinterpret_cast<const layout::TickRecord*>(bytes.data()),
                                  bytes.size() / sizeof(layout::TickRecord));
                ++result.tick_days;
                tick_time_order(s, day, ticks);
                tick_prices(s, day, ticks);
                tick_negative(s, day, ticks);
                tick_limit(s, day, ticks);
                cumulative_falls(s, day, ticks);
                const auto found = std::lower_bound(bars_read.days.begin(), bars_read.days.end(), day,
                                                    [](const reading::DayRows& d, int x) { return d.day < x; });
                if (found != bars_read.days.end() && found->day == day) {
                    const auto k = static_cast<std::size_t>(found - bars_read.days.begin());
                    minute_vs_tick(s, day, Bars(b.bars.data() + first_row[k], found->rows), ticks);
                }
            }, [&](const std::string& name) { non_day_member(s, name); });
        } catch (const host::Interrupted&) {
            throw;
        } catch (const std::exception& e) {
            skip(Store::Tick, instrument.tick_path, e);
        }
    }
    // By day; within a day, bar findings before tick findings, each in rule order.
    std::stable_sort(result.findings.begin(), result.findings.end(), [](const Finding& x, const Finding& y) {
        return std::pair(x.date, x.store) < std::pair(y.date, y.store);
    });
    return result;
}

Report audit_bundle(const std::string& root, const Options& options) {
    Report report;
    report.root = root;
    std::error_code ec;
    layout::require_bundle_dir(root);
    std::vector<std::int64_t> calendar;
    if (const std::string file = layout::trading_dates_file(root); fs::exists(file, ec))
        calendar = checks::load_trading_dates(file);
    const std::vector<Instrument> instruments = instruments_of(root, report);

    std::vector<std::optional<std::string>> results(instruments.size());
    // Counted in files, as the summary counts what it read; an instrument is one or two files.
    const auto files_of = [](const Instrument& ins) {
        return static_cast<std::size_t>(!ins.minbar_path.empty()) + static_cast<std::size_t>(!ins.tick_path.empty());
    };
    std::size_t files = 0;
    for (const Instrument& ins : instruments) files += files_of(ins);
    host::Progress progress("auditing", files);
    host::WorkerOptions workers;
    workers.workers = static_cast<std::size_t>(std::max(options.jobs, 1));
    workers.stoppable = true;
    // Opening a file allocates and frees HDF5's metadata cache: keep such blocks in the heap
    // rather than mapping fresh zeroed pages for every file.
    workers.initializer = [] {
        ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
        ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
    };
    const int stopped = host::run_workers(
        instruments.size(), workers, [&](std::size_t i) { return encode(audit_instrument(instruments[i], calendar)); },
        [&](std::size_t i, host::Outcome outcome) {
            if (outcome.kind == host::Outcome::Kind::Done) {
                results[i] = std::move(outcome.text);
            } else if (outcome.kind == host::Outcome::Kind::Died || outcome.kind == host::Outcome::Kind::Failed) {
                const std::string how =
                    outcome.kind == host::Outcome::Kind::Died
                        ? "reading it killed the reader (" + host::describe_death(outcome.wait_status) + ")"
                        : outcome.text;
                InstrumentResult o;
                for (const Store store : {Store::Minbar, Store::Tick})
                    if (!(store == Store::Minbar ? instruments[i].minbar_path : instruments[i].tick_path).empty())
                        o.skipped.push_back({store, instruments[i].id, {}, how});
                results[i] = encode(o);
            }
            if (outcome.kind != host::Outcome::Kind::NotRun)  // not run: stopped
                for (std::size_t n = files_of(instruments[i]); n > 0; --n) progress.step();
            return true;
        });
    progress.finish();
    if (stopped != 0) throw host::Interrupted(stopped);
    host::throw_if_interrupted();
    for (std::size_t i = 0; i < instruments.size(); ++i)
        if (results[i]) decode(*results[i], instruments[i], report);
    return report;
}

}  // namespace tarnwick::bundle::audit
