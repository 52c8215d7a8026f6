// Cost of the minute-bar store against the cost of its compression.
//
// Every chunk of "data" and "index" is deflated at level 9, so zlib sets a floor under both the
// creation of a file and a daily append. This harness measures the real update
// (minbar::_append_h5 with a service client installed) and, next to each figure, what zlib
// level 9 alone takes on the same record bytes split into the same chunks: the difference is
// what HDF5, the service conversion and our own code add.
//
//   1. _append_h5 with a client that serves bars fetched once from the simulated market
//      (generation cost not measured): create a file of N trading days, then M daily appends
//      with the clock moved day by day.
//   2. The same with the simulated market itself installed (its generation cost included).
//   3. Chunk sizes: create and daily appends through the h5 layer with the same records, for
//      several chunk sizes (the library's DATA_CHUNK_BYTES is a compile-time constant).
//
// Times are best-of-R process CPU time (user + system, so the writes into the page cache count):
// on a shared machine it is the figure least disturbed by other processes, and every phase here
// is single-threaded. Wall time is shown next to it for the update itself.
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/shared_flag.hpp"
#include "tarnwick/bundle/layout/h5_mode.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/minbar/append.hpp"
#include "tarnwick/bundle/minbar/chunking.hpp"
#include "tarnwick/bundle/service/client.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"

#include "cached_market.hpp"

namespace {

namespace fs = std::filesystem;
namespace tb = tarnwick::bundle;
using tb::bench::CachedMarket;
using tb::layout::EquityBar;
using tb::layout::IndexRecord;

constexpr const char* kId = "600000.XSHG";  // a listed stock of the simulated market's fixed universe
constexpr std::size_t kBar = sizeof(EquityBar);
constexpr std::size_t kIndexChunkRows = tb::minbar::INDEX_CHUNK_ROWS;

struct Options {
    int days = 1000;
    int appends = 20;
    int repeat = 3;
    int first_date = 20150105;
    std::vector<int> chunk_kib{4, 8, 16, 32, 64};
    std::string dir;
    bool keep = false;
    bool skip_simulated = false;
};

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr,
                 "%s\nusage: minbar_bench [--days N] [--appends N] [--repeat N] [--first-date YYYYMMDD]\n"
                 "                    [--chunks KiB,KiB,...] [--dir DIR] [--keep] [--no-simulated]\n",
                 why);
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(("missing value after " + a).c_str());
            return argv[++i];
        };
        if (a == "--days")
            o.days = std::stoi(value());
        else if (a == "--appends")
            o.appends = std::stoi(value());
        else if (a == "--repeat")
            o.repeat = std::stoi(value());
        else if (a == "--first-date")
            o.first_date = std::stoi(value());
        else if (a == "--dir")
            o.dir = value();
        else if (a == "--keep")
            o.keep = true;
        else if (a == "--no-simulated")
            o.skip_simulated = true;
        else if (a == "--chunks") {
            o.chunk_kib.clear();
            const std::string list = value();
            for (std::size_t at = 0; at < list.size();) {
                const std::size_t comma = std::min(list.find(',', at), list.size());
                o.chunk_kib.push_back(std::stoi(list.substr(at, comma - at)));
                at = comma + 1;
            }
        } else
            usage(("unknown argument " + a).c_str());
    }
    if (o.days < 1 || o.appends < 1 || o.repeat < 1 || o.chunk_kib.empty()) usage("counts must be positive");
    return o;
}

// ------------------------------------------------------------------------------------------
// Timing

struct Cost {
    double wall = 0;  // seconds
    double cpu = 0;   // seconds of this process (user + system)
    Cost& operator+=(const Cost& o) {
        wall += o.wall;
        cpu += o.cpu;
        return *this;
    }
};

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

template <class F>
Cost measure(F&& f) {
    const double cpu0 = cpu_seconds();
    const auto wall0 = std::chrono::steady_clock::now();
    f();
    const auto wall1 = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(wall1 - wall0).count(), cpu_seconds() - cpu0};
}

Cost best(const std::vector<Cost>& costs) {
    Cost b = costs.front();
    for (const Cost& c : costs) {
        b.wall = std::min(b.wall, c.wall);
        b.cpu = std::min(b.cpu, c.cpu);
    }
    return b;
}

std::string ms(double seconds) { return fmt::format("{:.3f}", seconds * 1e3); }
std::string rate(double rows, double seconds) {
    return seconds > 0 ? fmt::format("{:.0f}", rows / seconds) : std::string("-");
}

// ------------------------------------------------------------------------------------------
// zlib level 9 alone, as HDF5's deflate filter calls it (compress2 on each whole chunk).

class Deflater {
public:
    // Deflates the chunks [first_chunk, last_chunk] of a dataset whose first `rows` records
    // are `records` (record size `size`); bytes past `rows` in the edge chunk are zero, as in
    // a chunk HDF5 has not filled. Returns the compressed bytes.
    std::size_t deflate(const void* records, std::size_t rows, std::size_t size, std::size_t chunk_rows,
                        std::size_t first_chunk, std::size_t last_chunk) {
        const std::size_t chunk_bytes = chunk_rows * size;
        in_.assign(chunk_bytes, 0);
        out_.resize(compressBound(chunk_bytes));
        std::size_t total = 0;
        const auto* bytes = static_cast<const unsigned char*>(records);
        for (std::size_t c = first_chunk; c <= last_chunk; ++c) {
            const std::size_t begin = c * chunk_rows;
            const std::size_t end = std::min(rows, begin + chunk_rows);
            std::fill(in_.begin(), in_.end(), 0);
            if (end > begin) std::memcpy(in_.data(), bytes + begin * size, (end - begin) * size);
            uLongf out_size = out_.size();
            if (compress2(out_.data(), &out_size, in_.data(), chunk_bytes, 9) != Z_OK)
                throw std::runtime_error("compress2 failed");
            total += out_size;
            last_ = std::vector<unsigned char>(out_.begin(), out_.begin() + static_cast<long>(out_size));
        }
        return total;
    }
    // Inflates the chunk deflated last (the read of a partly filled chunk before it is extended).
    void inflate_last(std::size_t chunk_bytes) {
        in_.resize(chunk_bytes);
        uLongf size = chunk_bytes;
        if (uncompress(in_.data(), &size, last_.data(), last_.size()) != Z_OK)
            throw std::runtime_error("uncompress failed");
    }

private:
    std::vector<unsigned char> in_, out_, last_;
};

struct ZlibCost {
    Cost deflate;
    Cost inflate;  // only for appends: the partly filled chunk read back first
    std::size_t compressed = 0;
};

// Records of a finished file, by trading day.
struct Records {
    std::vector<EquityBar> bars;
    std::vector<IndexRecord> index;
    std::size_t first_row(std::size_t day) const { return day < index.size() ? index[day].line_no : bars.size(); }
};

// zlib for writing the first `days` days at once.
ZlibCost zlib_create(const Records& r, std::size_t days, std::size_t data_chunk_rows, int repeat) {
    Deflater d;
    const std::size_t rows = r.first_row(days);
    std::vector<Cost> costs;
    ZlibCost z;
    for (int k = 0; k < repeat; ++k)
        costs.push_back(measure([&] {
            z.compressed = d.deflate(r.bars.data(), rows, kBar, data_chunk_rows, 0, (rows - 1) / data_chunk_rows);
            z.compressed +=
                d.deflate(r.index.data(), days, sizeof(IndexRecord), kIndexChunkRows, 0, (days - 1) / kIndexChunkRows);
        }));
    z.deflate = best(costs);
    return z;
}

// zlib for the daily appends of days [from, to): each rewrites the data chunks from the one
// holding its first new row to the one holding its last, and the index's last chunk.
ZlibCost zlib_appends(const Records& r, std::size_t from, std::size_t to, std::size_t data_chunk_rows, int repeat) {
    Deflater d;
    std::vector<Cost> deflates, inflates;
    for (int k = 0; k < repeat; ++k) {
        Cost deflate, inflate;
        for (std::size_t day = from; day < to; ++day) {
            const std::size_t old_rows = r.first_row(day), new_rows = r.first_row(day + 1);
            const std::size_t first = old_rows / data_chunk_rows, last = (new_rows - 1) / data_chunk_rows;
            if (old_rows % data_chunk_rows != 0) {
                // The partly filled chunk is read (inflated) before it is extended.
                d.deflate(r.bars.data(), old_rows, kBar, data_chunk_rows, first, first);
                inflate += measure([&] { d.inflate_last(data_chunk_rows * kBar); });
            }
            deflate += measure([&] {
                d.deflate(r.bars.data(), new_rows, kBar, data_chunk_rows, first, last);
                d.deflate(r.index.data(), day + 1, sizeof(IndexRecord), kIndexChunkRows, day / kIndexChunkRows,
                          day / kIndexChunkRows);
            });
        }
        deflates.push_back(deflate);
        inflates.push_back(inflate);
    }
    return {best(deflates), best(inflates), 0};
}

std::unique_ptr<tb::service::SimulatedMarket> simulated_market(int first_date) {
    tb::service::SimulatedMarket::Settings settings;
    settings.first_date = first_date;
    settings.tick_first_date = first_date;
    return std::make_unique<tb::service::SimulatedMarket>(settings);
}

// After the 17:30 cut-off of `day`, so that the day's bars are complete and the end date is it.
void evening_of(int day) { tb::host::set_clock(tb::host::date_from_number(day) + std::chrono::hours(18)); }

// ------------------------------------------------------------------------------------------
// Reading a store file back

Records read_records(const std::string& file) {
    const tb::h5::File f = tb::h5::File::open(file, tb::h5::File::Access::ReadOnly);
    Records r;
    r.bars = f.open_dataset("data").read_all<EquityBar>(tb::layout::equity_bar_memory_type().id());
    r.index = f.open_dataset("index").read_all<IndexRecord>(tb::layout::index_memory_type().id());
    return r;
}

std::pair<hsize_t, hsize_t> rows_of(const std::string& file) {
    const tb::h5::File f = tb::h5::File::open(file, tb::h5::File::Access::ReadOnly);
    return {f.open_dataset("data").rows(), f.open_dataset("index").rows()};
}

void expect_days(const std::string& file, std::size_t days, const char* after) {
    const auto [data, index] = rows_of(file);
    if (index != days || data == 0)
        throw std::runtime_error(
            fmt::format("{}: {} holds {} days and {} bars, expected {} days", after, file, index, data, days));
}

// ------------------------------------------------------------------------------------------
// 1 and 2: the real update

struct UpdateRun {
    Cost create;
    Cost appends;  // all of them
    std::size_t create_rows = 0, append_rows = 0;
    std::uintmax_t file_bytes = 0;
    std::string file;  // the last run's file, after every append
};

UpdateRun run_update(const Options& o, const std::vector<int>& dates, const fs::path& base) {
    std::vector<Cost> creates, appends;
    UpdateRun run;
    for (int k = 0; k < o.repeat; ++k) {
        const fs::path dir = base / fmt::format("run{}", k);
        fs::remove_all(dir);
        const std::string file = (dir / tb::layout::EQUITIES_GROUP / tb::layout::store_file_name(kId)).string();

        evening_of(dates[o.days - 1]);
        creates.push_back(measure([&] { tb::minbar::_append_h5(kId, dir.string()); }));
        expect_days(file, o.days, "create");
        run.create_rows = rows_of(file).first;

        Cost total;
        for (int a = 0; a < o.appends; ++a) {
            evening_of(dates[o.days + a]);
            total += measure([&] { tb::minbar::_append_h5(kId, dir.string()); });
        }
        expect_days(file, o.days + o.appends, "appends");
        run.append_rows = rows_of(file).first - run.create_rows;
        appends.push_back(total);
        run.file = file;
        run.file_bytes = fs::file_size(file);
        if (!tb::host::sval().value()) throw std::runtime_error("an update reported a failure (see the log above)");
    }
    run.create = best(creates);
    run.appends = best(appends);
    return run;
}

std::string ratio(double a, double b) { return b > 0 ? fmt::format("{:.2f}", a / b) : std::string("-"); }

void print_update(const char* title, const Options& o, const UpdateRun& run, const ZlibCost& zc, const ZlibCost& za) {
    fmt::print("\n## {}\n\n", title);
    fmt::print(
        "| phase | rows | cpu ms | wall ms | rows/s (cpu) | zlib-9 cpu ms | zlib rows/s | cpu - zlib ms | cpu / zlib "
        "|\n");
    fmt::print("|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    fmt::print("| create, {} days | {} | {} | {} | {} | {} | {} | {} | {} |\n", o.days, run.create_rows,
               ms(run.create.cpu), ms(run.create.wall), rate(run.create_rows, run.create.cpu), ms(zc.deflate.cpu),
               rate(run.create_rows, zc.deflate.cpu), ms(run.create.cpu - zc.deflate.cpu),
               ratio(run.create.cpu, zc.deflate.cpu));
    const double n = o.appends;
    fmt::print("| daily append (mean of {}) | {:.0f} | {} | {} | {} | {} | {} | {} | {} |\n", o.appends,
               run.append_rows / n, ms(run.appends.cpu / n), ms(run.appends.wall / n),
               rate(run.append_rows, run.appends.cpu), ms(za.deflate.cpu / n), rate(run.append_rows, za.deflate.cpu),
               ms((run.appends.cpu - za.deflate.cpu) / n), ratio(run.appends.cpu, za.deflate.cpu));
    fmt::print(
        "\nfile: {} bytes for {} rows ({:.1f} bytes/row, {:.1f}x smaller than the records); "
        "inflating the partly filled chunk before each append: {} ms cpu\n",
        run.file_bytes, run.create_rows + run.append_rows,
        double(run.file_bytes) / double(run.create_rows + run.append_rows),
        double((run.create_rows + run.append_rows) * kBar) / double(run.file_bytes), ms(za.inflate.cpu / n));
}

// ------------------------------------------------------------------------------------------
// 3: chunk sizes, through the h5 layer with the records of a finished file

struct SweepRow {
    int kib;
    std::size_t chunk_rows;
    Cost create, appends, open_only, read_all, read_day;
    ZlibCost zc, za;
    std::uintmax_t file_bytes;
};

void create_file(const std::string& path, const Records& r, std::size_t days, std::size_t chunk_rows) {
    tb::h5::File file = tb::h5::File::create(path);
    tb::h5::DatasetOptions data;
    data.resizable = true;
    data.chunk_rows = chunk_rows;
    data.deflate_level = 9;
    file.create_dataset("data", tb::layout::EQUITIES_DTYPE(), tb::layout::equity_bar_memory_type().id(),
                        r.first_row(days), r.bars.data(), data);
    tb::h5::DatasetOptions index;
    index.resizable = true;
    index.chunk_rows = kIndexChunkRows;
    index.deflate_level = 9;
    file.create_dataset("index", tb::layout::INDEX_DTYPE(), tb::layout::index_memory_type().id(), days, r.index.data(),
                        index);
    file.close();
}

// One daily append as _append_h5 does it on an existing file: read the last index entry and the
// last bar's time, append the index, flush, append the bars, flush.
void append_day(const std::string& path, const Records& r, std::size_t day, bool write) {
    tb::h5::File file = tb::layout::open_h5(path, "a");
    tb::h5::Dataset index = file.open_dataset("index");
    tb::h5::Dataset data = file.open_dataset("data");
    const auto index_type = tb::layout::index_memory_type();
    const auto bar_type = tb::layout::equity_bar_memory_type();
    const auto last = index.read_one<IndexRecord>(index_type.id(), index.rows() - 1);
    const auto last_time = data.read_one<std::int64_t>(tb::layout::datetime_field_memory_type().id(), data.rows() - 1);
    if (last.line_no >= data.rows() || last_time / 1000000 != last.date)
        throw std::runtime_error("chunk benchmark: the file's index and data disagree");
    if (write) {
        const std::size_t from = r.first_row(day), to = r.first_row(day + 1);
        IndexRecord entry = r.index[day];
        index.append<IndexRecord>(index_type.id(), std::span<const IndexRecord>(&entry, 1));
        file.commit();
        data.append<EquityBar>(bar_type.id(), std::span<const EquityBar>(r.bars.data() + from, to - from));
        file.commit();
    }
    file.close();
}

// What a reader pays: the whole file, or one day found through the index.
void read_file(const std::string& path, std::size_t day) {
    const tb::h5::File file = tb::h5::File::open(path, tb::h5::File::Access::ReadOnly);
    const auto index = file.open_dataset("index").read_all<IndexRecord>(tb::layout::index_memory_type().id());
    const tb::h5::Dataset data = file.open_dataset("data");
    const auto bar_type = tb::layout::equity_bar_memory_type();
    std::vector<EquityBar> bars;
    if (day >= index.size()) {
        bars = data.read_all<EquityBar>(bar_type.id());
    } else {
        const hsize_t from = index[day].line_no, to = day + 1 < index.size() ? index[day + 1].line_no : data.rows();
        bars.resize(to - from);
        data.read_rows(bar_type.id(), from, to - from, bars.data());
    }
    if (bars.empty()) throw std::runtime_error("chunk benchmark: nothing read");
}

SweepRow sweep_one(const Options& o, const Records& r, int kib, const fs::path& base) {
    SweepRow row{};
    row.kib = kib;
    row.chunk_rows = std::max<std::size_t>(1, static_cast<std::size_t>(kib) * 1024 / kBar);
    fs::create_directories(base);
    const std::string created = (base / fmt::format("chunk{}k.h5", kib)).string();
    const std::string work = (base / fmt::format("chunk{}k-append.h5", kib)).string();
    std::vector<Cost> creates, appends, opens, reads_all, reads_day;
    for (int k = 0; k < o.repeat; ++k) {
        creates.push_back(measure([&] { create_file(created, r, o.days, row.chunk_rows); }));
        fs::copy_file(created, work, fs::copy_options::overwrite_existing);
        constexpr int kOpens = 20;  // one open is too short to time on its own
        opens.push_back(measure([&] {
            for (int i = 0; i < kOpens; ++i) append_day(work, r, 0, false);
        }));
        opens.back().wall /= kOpens;
        opens.back().cpu /= kOpens;
        Cost total;
        for (int a = 0; a < o.appends; ++a)
            total += measure([&] { append_day(work, r, static_cast<std::size_t>(o.days + a), true); });
        appends.push_back(total);
        reads_all.push_back(measure([&] { read_file(work, SIZE_MAX); }));
        constexpr int kDays = 20;
        reads_day.push_back(measure([&] {
            for (int i = 0; i < kDays; ++i) read_file(work, static_cast<std::size_t>(o.days / 2 + i));
        }));
        reads_day.back().wall /= kDays;
        reads_day.back().cpu /= kDays;
    }
    expect_days(work, o.days + o.appends, "chunk appends");
    const Records back = read_records(work);
    if (back.bars.size() != r.first_row(o.days + o.appends) ||
        std::memcmp(back.bars.data(), r.bars.data(), back.bars.size() * kBar) != 0)
        throw std::runtime_error("chunk benchmark: the bars read back differ from those written");
    row.create = best(creates);
    row.appends = best(appends);
    row.open_only = best(opens);
    row.read_all = best(reads_all);
    row.read_day = best(reads_day);
    row.file_bytes = fs::file_size(work);
    row.zc = zlib_create(r, o.days, row.chunk_rows, o.repeat);
    row.za = zlib_appends(r, o.days, o.days + o.appends, row.chunk_rows, o.repeat);
    return row;
}

void print_sweep(const Options& o, const Records& r, const std::vector<SweepRow>& rows) {
    const double n = o.appends;
    const std::size_t create_rows = r.first_row(o.days);
    fmt::print("\n## Chunk sizes (h5 layer, same records; create {} rows, then {} daily appends; cpu ms)\n\n",
               create_rows, o.appends);
    fmt::print(
        "| chunk | rows/chunk | create | zlib-9 | create - zlib | create rows/s | "
        "append | zlib-9 | inflate | append - zlib | open+read+close | read all | read 1 day | file bytes |\n");
    fmt::print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const SweepRow& s : rows) {
        fmt::print("| {} KiB{} | {} | {} | {} | {} | {} | {} | {} | {} | {} | {} | {} | {} | {} |\n", s.kib,
                   static_cast<hsize_t>(s.kib) * 1024 == tb::minbar::DATA_CHUNK_BYTES ? " (current)" : "", s.chunk_rows,
                   ms(s.create.cpu), ms(s.zc.deflate.cpu), ms(s.create.cpu - s.zc.deflate.cpu),
                   rate(create_rows, s.create.cpu), ms(s.appends.cpu / n), ms(s.za.deflate.cpu / n),
                   ms(s.za.inflate.cpu / n), ms((s.appends.cpu - s.za.deflate.cpu - s.za.inflate.cpu) / n),
                   ms(s.open_only.cpu), ms(s.read_all.cpu), ms(s.read_day.cpu), s.file_bytes);
    }
    fmt::print(
        "\nappend columns are per append (mean of {}); \"append - zlib\" subtracts deflate and inflate; "
        "\"open+read+close\" is an append that writes nothing (the fixed part); \"read all\" reads every "
        "bar of the file, \"read 1 day\" opens the file and reads one day's bars through the index.\n",
        o.appends);
}

int run_all(const Options& o) {
    const fs::path base =
        o.dir.empty() ? fs::temp_directory_path() / fmt::format("minbar_bench.{}", getpid()) : fs::path(o.dir);
    fs::create_directories(base);

    // The trading days: the first `days` are created at once, the next `appends` one by one.
    const std::vector<int> calendar =
        simulated_market(o.first_date)
            ->get_trading_dates(o.first_date, tb::host::add_days(o.first_date, (o.days + o.appends) * 2 + 30));
    if (calendar.size() < static_cast<std::size_t>(o.days + o.appends)) usage("calendar too short");
    const std::vector<int> dates(calendar.begin(), calendar.begin() + o.days + o.appends);
    const int last_date = dates.back();

    fmt::print(
        "# minbar_bench: {} ({} trading days {}..{} created, then {} daily appends {}..{}), "
        "DATA_CHUNK_BYTES = {}, best of {}\n",
        kId, o.days, dates.front(), dates[o.days - 1], o.appends, dates[o.days], last_date,
        tb::minbar::DATA_CHUNK_BYTES, o.repeat);

    const std::size_t current_chunk_rows = tb::minbar::DATA_CHUNK_BYTES / kBar;

    // 1. Cached bars.
    evening_of(last_date);
    auto cached = std::make_unique<CachedMarket>(simulated_market(o.first_date), kId, o.first_date, last_date);
    if (cached->days() != dates.size()) usage("the simulated market skipped trading days of the benchmark stock");
    tb::service::install(std::move(cached));
    const UpdateRun cached_run = run_update(o, dates, base / "cached");
    const Records records = read_records(cached_run.file);
    print_update("_append_h5, bars served from memory (no generation cost)", o, cached_run,
                 zlib_create(records, o.days, current_chunk_rows, o.repeat),
                 zlib_appends(records, o.days, o.days + o.appends, current_chunk_rows, o.repeat));

    // 2. The simulated market, generating bars on every query.
    if (!o.skip_simulated) {
        tb::service::install(simulated_market(o.first_date));
        const UpdateRun sim_run = run_update(o, dates, base / "simulated");
        if (read_records(sim_run.file).bars.size() != records.bars.size())
            throw std::runtime_error("the simulated market and the cached bars gave files of different lengths");
        print_update("_append_h5, simulated market installed (its generation cost included)", o, sim_run,
                     zlib_create(records, o.days, current_chunk_rows, o.repeat),
                     zlib_appends(records, o.days, o.days + o.appends, current_chunk_rows, o.repeat));
    }

    // 3. Chunk sizes.
    std::vector<SweepRow> sweep;
    for (int kib : o.chunk_kib) sweep.push_back(sweep_one(o, records, kib, base / "chunks"));
    print_sweep(o, records, sweep);

    tb::host::set_clock(std::nullopt);
    if (!o.keep) fs::remove_all(base);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    try {
        return run_all(o);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "minbar_bench: %s\n", e.what());
        return 1;
    }
}
