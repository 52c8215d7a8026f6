// The grid behind the minute-bar chunk codec's settings: libdeflate level x chunk size.
//
// The records of one stock (600000.XSHG, --days trading days from --first-date) are made once
// by _append_h5 with the simulated market. For each cell of the grid the h5 layer then
//   1. creates a file of the first days - --appends days, laid out as the store lays it out
//      (filter 1 at level 9 declared) and filled through h5::append_records at that level;
//   2. appends the remaining days one at a time as _append_h5 does (open, read the last index
//      entry and the last bar, append the index, flush, append the bars, flush, close);
//   3. reads every bar back through the direct path (visit_chunks) and through HDF5's filter,
//      and fails when the bars differ from the records.
// A reference row writes the same file through HDF5's own filter pipeline (zlib level 9), as
// the store did before. Times: best of --repeat, process CPU time. The file size is after the
// appends.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tarnwick/bundle/h5/chunks.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/shared_flag.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/minbar/append.hpp"
#include "tarnwick/bundle/minbar/chunking.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"

namespace {

namespace fs = std::filesystem;
namespace tb = tarnwick::bundle;
using tb::layout::EquityBar;
using tb::layout::IndexRecord;

struct Options {
    int days = 1000;
    int appends = 20;
    int repeat = 3;
    int first_date = 20150105;
    std::vector<int> levels{6, 7, 8, 9, 10, 12};
    std::vector<int> chunk_kib{16, 32, 64};
    int edge_level = 1;  // the partly filled last chunk; -1: the cell's level
};

std::vector<int> list_of(const std::string& text) {
    std::vector<int> out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        out.push_back(std::stoi(text.substr(at, comma - at)));
        at = comma + 1;
    }
    return out;
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) throw std::invalid_argument("missing value after " + a);
        const std::string v = argv[++i];
        if (a == "--days")
            o.days = std::stoi(v);
        else if (a == "--appends")
            o.appends = std::stoi(v);
        else if (a == "--repeat")
            o.repeat = std::stoi(v);
        else if (a == "--first-date")
            o.first_date = std::stoi(v);
        else if (a == "--levels")
            o.levels = list_of(v);
        else if (a == "--chunks")
            o.chunk_kib = list_of(v);
        else if (a == "--edge-level")
            o.edge_level = std::stoi(v);
        else
            throw std::invalid_argument("unknown argument " + a);
    }
    if (o.appends < 1 || o.days <= o.appends || o.repeat < 1) throw std::invalid_argument("bad counts");
    return o;
}

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}
template <class F>
double cpu_of(F&& f) {
    const double start = cpu_seconds();
    f();
    return cpu_seconds() - start;
}

struct Records {
    std::vector<EquityBar> bars;
    std::vector<IndexRecord> index;
    std::size_t first_row(std::size_t day) const { return day < index.size() ? index[day].line_no : bars.size(); }
};

Records make_records(const Options& o, const fs::path& dir) {
    tb::service::SimulatedMarket::Settings settings;
    settings.first_date = o.first_date;
    auto previous = tb::service::install(std::make_unique<tb::service::SimulatedMarket>(settings));
    const auto dates = tb::service::current().get_trading_dates(o.first_date, 29991231);
    if (dates.size() < static_cast<std::size_t>(o.days)) throw std::runtime_error("calendar too short");
    tb::host::set_clock(tb::host::date_from_number(dates[static_cast<std::size_t>(o.days) - 1]) +
                        std::chrono::hours(18));
    tb::minbar::_append_h5("600000.XSHG", dir.string(), std::nullopt, o.first_date);
    tb::service::install(std::move(previous));
    if (!tb::host::sval().value()) throw std::runtime_error("the update failed");
    const tb::h5::File f =
        tb::h5::File::open((dir / "equities" / "600000.XSHG.h5").string(), tb::h5::File::Access::ReadOnly);
    Records r;
    r.bars = f.open_dataset("data").read_all<EquityBar>(tb::layout::equity_bar_memory_type().id());
    r.index = f.open_dataset("index").read_all<IndexRecord>(tb::layout::index_memory_type().id());
    if (r.index.size() != static_cast<std::size_t>(o.days)) throw std::runtime_error("unexpected day count");
    return r;
}

// level < 0: HDF5's own filter pipeline (zlib 9).
struct Cell {
    int level;
    int kib;
    double create = 0, append = 0, read_direct = 0, read_hdf5 = 0;
    std::uintmax_t bytes = 0;
};

void create(const std::string& path, const Records& r, std::size_t days, hsize_t chunk_rows, int level,
            int edge_level) {
    tb::h5::File file = tb::h5::File::create(path);
    tb::h5::DatasetOptions data;
    data.resizable = true;
    data.chunk_rows = chunk_rows;
    data.deflate_level = 9;
    tb::h5::DatasetOptions index = data;
    index.chunk_rows = tb::minbar::INDEX_CHUNK_ROWS;
    const auto bar = tb::layout::equity_bar_memory_type();
    const auto entry = tb::layout::index_memory_type();
    const std::size_t rows = r.first_row(days);
    if (level < 0) {
        file.create_dataset("data", tb::layout::EQUITIES_DTYPE(), bar.id(), rows, r.bars.data(), data);
        file.create_dataset("index", tb::layout::INDEX_DTYPE(), entry.id(), days, r.index.data(), index);
    } else {
        tb::h5::ZlibCodec codec(level), edge(edge_level < 0 ? level : edge_level);
        auto d = file.create_dataset("data", tb::layout::EQUITIES_DTYPE(), bar.id(), 0, nullptr, data);
        tb::h5::append_records(d, bar.id(), r.bars.data(), rows, codec, &edge);
        auto i = file.create_dataset("index", tb::layout::INDEX_DTYPE(), entry.id(), 0, nullptr, index);
        tb::h5::append_records(i, entry.id(), r.index.data(), days, codec, &edge);
    }
    file.close();
}

void append_day(const std::string& path, const Records& r, std::size_t day, int level, int edge_level) {
    tb::h5::File file = tb::h5::File::open(path, tb::h5::File::Access::ReadWrite);
    auto index = file.open_dataset("index");
    auto data = file.open_dataset("data");
    const auto entry = tb::layout::index_memory_type();
    const auto bar = tb::layout::equity_bar_memory_type();
    const auto last = index.read_one<IndexRecord>(entry.id(), index.rows() - 1);
    const auto stamp = data.read_one<std::int64_t>(tb::layout::datetime_field_memory_type().id(), data.rows() - 1);
    if (last.date != stamp / 1000000) throw std::runtime_error("inconsistent file");
    IndexRecord added = r.index[day];
    const std::size_t from = r.first_row(day), to = r.first_row(day + 1);
    tb::h5::ZlibCodec codec(level < 0 ? 9 : level), edge(level < 0 || edge_level < 0 ? codec.level() : edge_level);
    if (level < 0) {
        index.append<IndexRecord>(entry.id(), std::span<const IndexRecord>(&added, 1));
        file.commit();
        data.append<EquityBar>(bar.id(), std::span<const EquityBar>(r.bars.data() + from, to - from));
    } else {
        tb::h5::append_records(index, entry.id(), &added, 1, codec, &edge);
        file.commit();
        tb::h5::append_records(data, bar.id(), r.bars.data() + from, to - from, codec, &edge);
    }
    file.commit();
    file.close();
}

Cell measure(const Options& o, const Records& r, const fs::path& dir, int level, int kib) {
    Cell cell{level, kib};
    const hsize_t chunk_rows = static_cast<hsize_t>(kib) * 1024 / sizeof(EquityBar);
    const std::size_t created_days = static_cast<std::size_t>(o.days - o.appends);
    const std::string path = (dir / fmt::format("grid-{}-{}.h5", level, kib)).string();
    for (int k = 0; k < o.repeat; ++k) {
        const double c = cpu_of([&] { create(path, r, created_days, chunk_rows, level, o.edge_level); });
        const double a = cpu_of([&] {
                             for (std::size_t day = created_days; day < static_cast<std::size_t>(o.days); ++day)
                                 append_day(path, r, day, level, o.edge_level);
                         }) /
                         o.appends;
        std::vector<EquityBar> direct, through;
        const double rd = cpu_of([&] {
            const tb::h5::File f = tb::h5::File::open(path, tb::h5::File::Access::ReadOnly);
            const auto data = f.open_dataset("data");
            tb::h5::ZlibCodec codec(1);
            const auto layout = tb::h5::direct_layout(data, tb::layout::equity_bar_memory_type().id());
            direct.reserve(data.rows());
            if (!layout ||
                !tb::h5::visit_chunks(data, *layout, codec, [&](hsize_t, hsize_t n, const unsigned char* raw) {
                    const auto* bars = reinterpret_cast<const EquityBar*>(raw);
                    direct.insert(direct.end(), bars, bars + n);
                }))
                throw std::runtime_error("no direct read");
        });
        const double rh = cpu_of([&] {
            const tb::h5::File f = tb::h5::File::open(path, tb::h5::File::Access::ReadOnly);
            through = f.open_dataset("data").read_all<EquityBar>(tb::layout::equity_bar_memory_type().id());
        });
        if (direct.size() != r.bars.size() || through.size() != r.bars.size() ||
            std::memcmp(direct.data(), r.bars.data(), r.bars.size() * sizeof(EquityBar)) != 0 ||
            std::memcmp(through.data(), r.bars.data(), r.bars.size() * sizeof(EquityBar)) != 0)
            throw std::runtime_error(fmt::format("level {} / {} KiB: bars read back differ", level, kib));
        if (k == 0 || c < cell.create) cell.create = c;
        if (k == 0 || a < cell.append) cell.append = a;
        if (k == 0 || rd < cell.read_direct) cell.read_direct = rd;
        if (k == 0 || rh < cell.read_hdf5) cell.read_hdf5 = rh;
        cell.bytes = fs::file_size(path);
    }
    return cell;
}

}  // namespace

int main(int argc, char** argv) try {
    const Options o = parse(argc, argv);
    tb::host::process_init(std::make_shared<tb::host::SharedFlag>(true));
    const fs::path dir = fs::temp_directory_path() / fmt::format("codec_bench-{}", ::getpid());
    fs::create_directories(dir);
    const Records r = make_records(o, dir);
    fmt::print(
        "600000.XSHG: {} bars in {} days; created {} days, then {} daily appends; partly filled last "
        "chunks at level {}; best of {}, CPU ms\n\n",
        r.bars.size(), r.index.size(), o.days - o.appends, o.appends,
        o.edge_level < 0 ? std::string("of the cell") : std::to_string(o.edge_level), o.repeat);
    fmt::print(
        "| codec | chunk | create | append (mean) | read, direct | read, HDF5 filter | file bytes | vs zlib-9 16 KiB "
        "|\n");
    fmt::print("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    const Cell reference = measure(o, r, dir, -1, 16);
    auto print = [&](const Cell& c) {
        fmt::print("| {} | {} KiB | {:.1f} | {:.3f} | {:.1f} | {:.1f} | {} | {:+.2f} % |\n",
                   c.level < 0 ? std::string("zlib 9 (HDF5 filter)") : fmt::format("libdeflate {}", c.level), c.kib,
                   c.create * 1e3, c.append * 1e3, c.read_direct * 1e3, c.read_hdf5 * 1e3, c.bytes,
                   100.0 * (double(c.bytes) / double(reference.bytes) - 1.0));
        std::fflush(stdout);
    };
    print(reference);
    for (int kib : o.chunk_kib)
        for (int level : o.levels) print(measure(o, r, dir, level, kib));
    fs::remove_all(dir);
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "codec_bench: %s\n", e.what());
    return 1;
}
