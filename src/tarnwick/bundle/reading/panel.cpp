#include "tarnwick/bundle/reading/panel.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <unordered_set>

#include <fmt/format.h>

#include "tarnwick/bundle/h5/chunks.hpp"
#include "tarnwick/bundle/h5/stored_format.hpp"
#include "tarnwick/bundle/layout/blosc.hpp"
#include "tarnwick/bundle/layout/blosc_codec.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/layout/record_description.hpp"
#include "tarnwick/bundle/reading/columns.hpp"
#include "tarnwick/bundle/reading/export.hpp"
#include "tarnwick/bundle/reading/store_files.hpp"

namespace tarnwick::bundle::reading {
namespace {

namespace fs = std::filesystem;

// How a piece of work gets its records.
enum class Source {
    Deflate,  // one stored deflate chunk, inflated by libdeflate
    Blosc,    // one stored Blosc chunk, decoded by c-blosc
    Hdf5,     // rows read through HDF5's filter pipeline
};

// A dataset of a member to read rows of: "data" of a minute-bar file, or one day of ticks.
struct Part {
    h5::Dataset dataset;
    hsize_t rows = 0;            // the dataset's rows
    hsize_t chunk_rows = 0;      // 0: read through HDF5
    std::size_t member_row = 0;  // the member's row that the dataset's row `first` becomes
    hsize_t first = 0;           // the dataset's rows [first, end) belong to the panel
    hsize_t end = 0;
};

struct Job;

// One piece of work: the rows [from, to) of a part (all within one chunk unless read through HDF5).
struct Piece {
    Job* job = nullptr;
    const Part* part = nullptr;
    Source source = Source::Hdf5;
    hsize_t chunk_first = 0;  // first row of the chunk
    hsize_t from = 0;
    hsize_t to = 0;
    h5::StoredChunk stored;  // the chunk's bytes as stored, fetched when its file was planned
    h5::StoredChunkRef where;  // where they are, for a file parsed here (Job::parsed)
};

// A member's file, what to read of it and where its records go. Heap-allocated, so the pool's
// threads hold on to it while the calling thread plans the next ones.
struct Job {
    PanelMember member;
    h5::File file;
    std::optional<h5::StoredFile> parsed;  // or, instead of `file`, the file parsed here
    std::vector<std::unique_ptr<Part>> parts;
    std::vector<Piece> pieces;
    std::vector<Sink> sinks;
    std::atomic<std::size_t> left{0};  // pieces not yet done, + 1 until all are handed out
    std::size_t fetched = 0;           // pieces whose stored chunks are fetched
    bool through_hdf5 = false;         // some piece is read through HDF5: the file stays open
};

RecordKind minbar_kind(const std::string& path) {
    const std::string group = fs::path(path).parent_path().filename().string();
    return group == layout::FUTURE_GROUP || group == layout::OPTION_GROUP ? RecordKind::DerivativeBars
                                                                          : RecordKind::EquityBars;
}

// Chunk rows when a tick day's Blosc chunks can be decoded here, as read.cpp's single read does.
hsize_t blosc_chunk_rows(const h5::Dataset& day, hid_t mem_type) {
    const auto filters = day.filters();
    const auto chunk_rows = day.chunk_rows();
    if (filters.size() != 1 || filters[0].id != layout::BLOSC_FILTER_ID || !chunk_rows || *chunk_rows == 0 ||
        *chunk_rows > h5::MAX_DIRECT_CHUNK_BYTES / record_size(RecordKind::Ticks) || !day.file_type().equals(mem_type))
        return 0;
    return *chunk_rows;
}

template <class T>
T load(const unsigned char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <class T>
void store(unsigned char* at, T value) {
    std::memcpy(at, &value, sizeof value);
}

std::atomic<bool> parse_files_setting{true};

}  // namespace

bool testing::set_parse_files(bool on) { return parse_files_setting.exchange(on); }

unsigned default_threads() { return std::max(1u, std::thread::hardware_concurrency()); }

struct PanelReader::State {
    unsigned threads = 1;
    bool ticks = false;
    DayRange days;
    std::vector<std::pair<std::string, std::string>> files;  // identifier, path
    std::vector<std::string> skipped;
    std::vector<PanelMember> members;
    std::vector<std::unique_ptr<Job>> jobs;
    std::size_t rows = 0;
    std::vector<h5::DataType> memory_types;  // by RecordKind
    std::vector<layout::RecordDescription> descriptions;  // by RecordKind, and the day index last
    h5::ZlibCodec index_codec;
    bool parse_files = true;  // minute-bar files laid out as the store writes them skip HDF5
    bool done = false;

    // Every HDF5 call once the pool runs.
    std::mutex hdf5;

    // Opens the next file and counts its rows, under the HDF5 lock; `fetch_all`: also fetches
    // all its chunks (and closes it).
    void plan_next(bool fetch_all);
    void plan_minbar(Job& job, const std::string& path);
    bool plan_parsed_minbar(Job& job, const std::string& path);
    void plan_ticks(Job& job, const std::string& path);
    void add_pieces(Job& job, const Part& part, Source direct);
    // Fetches the stored chunks of the job's next `count` pieces; the HDF5 lock held. Closes
    // its file after the last one when nothing is left to read through HDF5.
    void fetch(Job& job, std::size_t count);
};

// The stored chunks are fetched by the thread that plans, a few at a time, each few handed to the
// pool at once: the pool's threads then only inflate, and never wait for HDF5, also while one
// large file is fetched. What cannot be fetched whole goes to HDF5.
//
// Fetched while the file is still open from its rows being counted, the chunks are its committed
// state as of that moment, like everything read of it; the file is then closed at once, unless
// some piece is left to HDF5. So a panel holds one file open at a time (an HDF5 file costs about
// half a megabyte of caches while open, its stored chunks a few KiB for a month), and a frame,
// which plans every member before reading any, does not keep hundreds of files open.
void PanelReader::State::fetch(Job& job, std::size_t count) {
    const std::size_t end = std::min(job.pieces.size(), job.fetched + count);
    for (; job.fetched < end; ++job.fetched) {
        Piece& piece = job.pieces[job.fetched];
        if (job.parsed) {  // every chunk checked as the file was planned
            piece.stored.bytes.resize(piece.where.size);
            job.parsed->read(piece.where.address, piece.where.size, piece.stored.bytes.data());
            piece.stored.filter_mask = 0;
            continue;
        }
        if (piece.source == Source::Hdf5) {
            job.through_hdf5 = true;
            continue;
        }
        const std::size_t chunk_bytes = static_cast<std::size_t>(piece.part->chunk_rows) * record_size(job.member.kind);
        const hsize_t stored_size = h5::stored_chunk_size(piece.part->dataset, piece.chunk_first);
        // A zlib stream is never much longer than what it holds: a larger one is left to HDF5.
        if (stored_size == 0 || stored_size > chunk_bytes + chunk_bytes / 8 + 1024)
            piece.source = Source::Hdf5;
        else
            h5::read_stored_chunk(piece.part->dataset, piece.chunk_first, stored_size, piece.stored);
        // Stored without its filter, or a Blosc chunk of another size: HDF5 knows what to do.
        if (piece.source != Source::Hdf5 &&
            (piece.stored.filter_mask != 0 ||
             (piece.source == Source::Blosc && layout::blosc_chunk_bytes(piece.stored.bytes) != chunk_bytes))) {
            piece.source = Source::Hdf5;
            piece.stored = {};
        }
        job.through_hdf5 = job.through_hdf5 || piece.source == Source::Hdf5;
    }
    if (job.fetched == job.pieces.size()) job.parsed.reset();
    if (job.fetched < job.pieces.size() || job.through_hdf5 || !job.file.valid()) return;
    for (auto& part : job.parts) part->dataset = h5::Dataset();
    job.file = h5::File();
}

void PanelReader::State::add_pieces(Job& job, const Part& part, Source direct) {
    if (part.end <= part.first) return;
    if (part.chunk_rows == 0) {
        job.pieces.push_back({&job, &part, Source::Hdf5, part.first, part.first, part.end, {}, {}});
        return;
    }
    for (hsize_t chunk = part.first - part.first % part.chunk_rows; chunk < part.end; chunk += part.chunk_rows)
        job.pieces.push_back(
            {&job, &part, direct, chunk, std::max(chunk, part.first), std::min(chunk + part.chunk_rows, part.end), {}, {}});
}

void PanelReader::State::plan_minbar(Job& job, const std::string& path) {
    job.member.kind = minbar_kind(path);
    if (parse_files && plan_parsed_minbar(job, path)) return;
    job.file = detail::open_store_file(path);
    Part& part = *job.parts.emplace_back(std::make_unique<Part>());
    part.dataset = job.file.open_dataset("data");
    part.rows = part.dataset.readable_rows(record_size(job.member.kind));
    std::tie(part.first, part.end) = detail::day_rows(job.file, part.rows, days, index_codec, job.member.days);
    const auto layout = h5::direct_layout(part.dataset, memory_types[static_cast<int>(job.member.kind)].id());
    part.chunk_rows = layout ? layout->chunk_rows : 0;
    job.member.rows = static_cast<std::size_t>(part.end - part.first);
    add_pieces(job, part, Source::Deflate);
}

namespace {

// Whether a dataset parsed from its file holds `record` in chunks of deflate alone, as the
// store writes them; anything else is read through HDF5.
bool stored_as(const h5::StoredDataset& dataset, const layout::RecordDescription& record) {
    if (dataset.filters != std::vector<std::uint16_t>{1} || dataset.record_size != record.itemsize ||
        dataset.fields.size() != record.fields.size() ||
        dataset.chunk_rows > h5::MAX_DIRECT_CHUNK_BYTES / dataset.record_size)
        return false;
    for (std::size_t i = 0; i < record.fields.size(); ++i) {
        const auto& stored = dataset.fields[i];
        const auto& field = record.fields[i];
        if (stored.name != field.name || stored.offset != field.offset ||
            field.numpy_code != fmt::format("<{}{}", stored.kind, stored.size))
            return false;
    }
    return true;
}

// The stored chunks that hold the rows [first, end) of `dataset`: every one present, stored
// through its filter (mask 0) and no larger than a zlib stream of its rows can be; NotUnderstood
// otherwise.
std::vector<h5::StoredChunkRef> whole_chunks(const h5::StoredFile& file, const h5::StoredDataset& dataset,
                                             std::uint64_t first, std::uint64_t end) {
    std::vector<h5::StoredChunkRef> chunks = file.chunks(dataset, first, end);
    const std::uint64_t chunk_bytes = dataset.chunk_rows * dataset.record_size;
    std::uint64_t expected = first - first % dataset.chunk_rows;
    for (const auto& chunk : chunks) {
        if (chunk.first_row != expected || chunk.filter_mask != 0 || chunk.size > chunk_bytes + chunk_bytes / 8 + 1024)
            throw h5::NotUnderstood("a chunk missing, unfiltered or of an odd size");
        expected += dataset.chunk_rows;
    }
    if (first < end && expected < end) throw h5::NotUnderstood("a chunk missing");
    return chunks;
}

}  // namespace

// A file of minute bars read without HDF5's library (stored_format.hpp), when it is laid out
// as the store writes it: false, with nothing planned, when it is not.
bool PanelReader::State::plan_parsed_minbar(Job& job, const std::string& path) {
    std::optional<h5::CommittedFile> committed = h5::CommittedFile::open(path);
    if (!committed) return false;
    try {
        h5::StoredFile file(std::move(*committed));
        const h5::StoredDataset data = file.dataset("data");
        const h5::StoredDataset index = file.dataset("index");
        const std::size_t size = record_size(job.member.kind);
        if (!stored_as(data, descriptions[static_cast<int>(job.member.kind)]) || !stored_as(index, descriptions.back()) ||
            !h5::claim_fits(data.rows, size, file.size()) ||
            !h5::claim_fits(index.rows, sizeof(layout::IndexRecord), file.size()))
            return false;
        // The day index, whole.
        std::vector<layout::IndexRecord> entries(static_cast<std::size_t>(index.rows));
        std::vector<unsigned char> stored, raw(static_cast<std::size_t>(index.chunk_rows) * sizeof(layout::IndexRecord));
        for (const auto& chunk : whole_chunks(file, index, 0, index.rows)) {
            stored.resize(chunk.size);
            file.read(chunk.address, chunk.size, stored.data());
            const std::uint64_t in_use = std::min(index.chunk_rows, index.rows - chunk.first_row);
            if (index_codec.inflate(stored, raw) < in_use * sizeof(layout::IndexRecord))
                throw h5::NotUnderstood("a short chunk of the day index");
            std::memcpy(entries.data() + chunk.first_row, raw.data(), in_use * sizeof(layout::IndexRecord));
        }
        Part& part = *job.parts.emplace_back(std::make_unique<Part>());
        part.rows = data.rows;
        part.chunk_rows = data.chunk_rows;
        std::tie(part.first, part.end) = detail::day_rows(entries, part.rows, days, job.member.days);
        const std::vector<h5::StoredChunkRef> chunks = whole_chunks(file, data, part.first, part.end);
        job.member.rows = static_cast<std::size_t>(part.end - part.first);
        add_pieces(job, part, Source::Deflate);
        for (std::size_t i = 0; i < job.pieces.size(); ++i) job.pieces[i].where = chunks[i];
        job.parsed.emplace(std::move(file));
        return true;
    } catch (const h5::NotUnderstood&) {
    } catch (const h5::Error&) {  // a damaged zlib stream in the index: HDF5 says what it makes of it
    }
    job.parts.clear();
    job.pieces.clear();
    job.member.days.clear();
    job.member.rows = 0;
    return false;
}

void PanelReader::State::plan_ticks(Job& job, const std::string& path) {
    job.member.kind = RecordKind::Ticks;
    job.file = detail::open_store_file(path);
    const hid_t mem_type = memory_types[static_cast<int>(RecordKind::Ticks)].id();
    for (auto& [name, dataset] : detail::tick_days(job.file, days)) {
        Part& part = *job.parts.emplace_back(std::make_unique<Part>());
        part.rows = part.end = dataset.readable_rows(record_size(RecordKind::Ticks));
        dataset.check_claim(job.member.rows + part.rows, record_size(RecordKind::Ticks));  // the file's days together
        part.chunk_rows = blosc_chunk_rows(dataset, mem_type);
        part.member_row = job.member.rows;
        part.dataset = std::move(dataset);
        job.member.days.push_back({std::stoi(name), static_cast<std::size_t>(part.rows)});
        job.member.rows += static_cast<std::size_t>(part.rows);
        add_pieces(job, part, Source::Blosc);
    }
}

void PanelReader::State::plan_next(bool fetch_all) {
    const auto& [id, path] = files[jobs.size()];
    auto job = std::make_unique<Job>();
    job->member.order_book_id = id;
    {
        const std::lock_guard lock(hdf5);
        const h5::QuietErrors quiet;
        if (ticks)
            plan_ticks(*job, path);
        else
            plan_minbar(*job, path);
        if (fetch_all || job->pieces.empty()) fetch(*job, job->pieces.size());
    }
    rows += job->member.rows;
    members.push_back(job->member);
    jobs.push_back(std::move(job));
}

PanelReader::PanelReader(const std::string& data_bundle_path, const PanelRequest& request)
    : state_(std::make_unique<State>()) {
    detail::check_days(request.days);
    State& s = *state_;
    s.threads = request.threads ? request.threads : default_threads();
    s.ticks = request.ticks;
    s.days = request.days;
    {
        const h5::QuietErrors quiet;
        for (RecordKind kind : {RecordKind::EquityBars, RecordKind::DerivativeBars, RecordKind::Ticks}) {
            s.memory_types.push_back(detail::record_memory_type(kind));
            s.descriptions.push_back(describe(kind));
        }
        s.descriptions.push_back(layout::describe_index_record());
        // TARNWICK_READ_THROUGH_HDF5=1 reads every file through HDF5: to compare, or to rule
        // the parsing out should a file ever read differently.
        const char* through_hdf5 = std::getenv("TARNWICK_READ_THROUGH_HDF5");
        s.parse_files = parse_files_setting.load() && !(through_hdf5 && std::string(through_hdf5) == "1");
    }
    // Every identifier is looked up before any file is opened: a list with a typo fails at once,
    // naming all the identifiers that have no file.
    std::unordered_set<std::string> seen;
    for (const std::string& id : request.order_book_ids) {
        if (!seen.insert(id).second) continue;
        try {
            s.files.emplace_back(id, request.ticks ? tick_file(data_bundle_path, id) : minbar_file(data_bundle_path, id));
        } catch (const OsError& error) {
            if (error.error_number() != ENOENT) throw;
            s.skipped.push_back(id);
        }
    }
    if (!s.skipped.empty() && request.missing == Missing::Raise) {
        std::string names;
        for (const std::string& id : s.skipped) names += (names.empty() ? "" : ", ") + id;
        const std::string folder = request.ticks ? layout::tick_root(data_bundle_path)
                                                 : layout::minbar_root(data_bundle_path);
        throw OsError::from_errno(ENOENT, fmt::format("no {} file of {} in \"{}\"",
                                                      request.ticks ? "tick" : "minute-bar", names, folder));
    }
    // Members are never moved once planned: the pool reads them while later ones are added.
    s.members.reserve(s.files.size());
    s.jobs.reserve(s.files.size());
}

PanelReader::~PanelReader() {
    if (!state_) return;
    const h5::QuietErrors quiet;
    state_->jobs.clear();  // closes what an error left open
}

void PanelReader::plan() {
    while (state_->jobs.size() < state_->files.size()) state_->plan_next(true);
}

const std::vector<PanelMember>& PanelReader::members() const { return state_->members; }
const std::vector<std::string>& PanelReader::skipped() const { return state_->skipped; }
std::size_t PanelReader::rows() const { return state_->rows; }

namespace {

void check_sinks(const PanelMember& member, const std::vector<Sink>& sinks) {
    for (const Sink& sink : sinks) {
        const std::size_t size = record_size(member.kind);
        std::size_t value = 8;
        switch (sink.form) {
            case Sink::Form::Bytes:
                value = sink.size;
                if (sink.offset + sink.size > size) throw std::invalid_argument("a sink beyond the record");
                break;
            case Sink::Form::TradingDay:
                value = 4;
                break;
            case Sink::Form::Nanoseconds:
                if (sink.stride != 8) throw std::invalid_argument("times are written side by side");
                break;
            case Sink::Form::TradingDayNanoseconds:
                break;
            default:
                if (sink.offset + 8 > size) throw std::invalid_argument("a sink beyond the record");
        }
        if (sink.stride < value || (member.rows > 0 && sink.base == nullptr))
            throw std::invalid_argument("a sink without room for its values");
    }
}

// Writes `count` records (`records`, of `kind`) to the member's rows from `row` on.
void scatter(const std::vector<Sink>& sinks, RecordKind kind, const unsigned char* records, std::size_t count,
             std::size_t row) {
    const std::size_t size = record_size(kind);
    for (const Sink& sink : sinks) {
        unsigned char* out = sink.base + row * sink.stride;
        const unsigned char* in = records + sink.offset;
        switch (sink.form) {
            case Sink::Form::Bytes:
                if (sink.size == size && sink.stride == size) {
                    std::memcpy(out, records, count * size);
                    break;
                }
                for (std::size_t i = 0; i < count; ++i, out += sink.stride, in += size) std::memcpy(out, in, sink.size);
                break;
            case Sink::Form::Scaled:
                for (std::size_t i = 0; i < count; ++i, out += sink.stride, in += size)
                    store(out, static_cast<double>(load<std::int64_t>(in)) / sink.scale);
                break;
            case Sink::Form::Double:
                for (std::size_t i = 0; i < count; ++i, out += sink.stride, in += size)
                    store(out, static_cast<double>(load<std::int64_t>(in)));
                break;
            case Sink::Form::TickVolume:  // the cumulative volume for now; made per tick once all is read
                for (std::size_t i = 0; i < count; ++i, out += sink.stride, in += size)
                    store(out, load<std::int64_t>(in));
                break;
            case Sink::Form::Nanoseconds:
                timestamps(kind, {records, count * size}, {reinterpret_cast<std::int64_t*>(out), count});
                break;
            case Sink::Form::TradingDay:
            case Sink::Form::TradingDayNanoseconds:
                break;  // from the day index, not the records
        }
    }
}

// The values that come from the member's days rather than its records.
void fill_days(const PanelMember& member, const std::vector<Sink>& sinks) {
    for (const Sink& sink : sinks) {
        if (sink.form != Sink::Form::TradingDay && sink.form != Sink::Form::TradingDayNanoseconds &&
            sink.form != Sink::Form::TickVolume)
            continue;
        std::size_t row = 0;
        for (const DayRows& day : member.days) {
            unsigned char* out = sink.base + row * sink.stride;
            if (sink.form == Sink::Form::TickVolume) {
                // Backwards, so that each cumulative volume is still there when the next one needs it.
                for (std::size_t i = day.rows; i-- > 1;)
                    store(out + i * sink.stride, load<std::int64_t>(out + i * sink.stride) -
                                                     load<std::int64_t>(out + (i - 1) * sink.stride));
            } else if (sink.form == Sink::Form::TradingDay) {
                for (std::size_t i = 0; i < day.rows; ++i) store(out + i * sink.stride, static_cast<std::int32_t>(day.day));
            } else {
                const std::int64_t midnight = day_start(day.day);
                for (std::size_t i = 0; i < day.rows; ++i) store(out + i * sink.stride, midnight);
            }
            row += day.rows;
        }
    }
}

}  // namespace

void PanelReader::read(const Place& place) {
    State& s = *state_;
    if (s.done) throw std::logic_error("a panel is read once");
    s.done = true;

    std::mutex queue_mutex;
    std::condition_variable queue_changed;
    std::deque<Piece> queue;
    bool all_queued = false;
    std::atomic<bool> failed{false};
    std::exception_ptr first_error;
    // Files opened and not yet read to the end: each holds HDF5's caches and its stored chunks,
    // so the planning thread reads chunks itself rather than open more than a few ahead.
    std::atomic<std::size_t> in_flight{0};
    const std::size_t most_in_flight = 4 * std::size_t{s.threads};
    const auto fail = [&] {
        const std::lock_guard lock(queue_mutex);
        if (!failed.exchange(true)) first_error = std::current_exception();
    };
    // A job whose last piece is done: the values from its days, then its file is closed.
    const auto finish = [&](Job& job) {
        if (job.left.fetch_sub(1) != 1) return;
        in_flight.fetch_sub(1);
        if (!failed.load()) fill_days(job.member, job.sinks);
        if (!job.file.valid()) return;
        const std::lock_guard lock(s.hdf5);
        const h5::QuietErrors quiet;
        for (auto& part : job.parts) part->dataset = h5::Dataset();
        job.file = h5::File();
    };
    const auto run = [&s](const Piece& piece, h5::ZlibCodec& codec, std::vector<unsigned char>& raw) {
        const h5::StoredChunk& stored = piece.stored;
        const Part& part = *piece.part;
        const PanelMember& member = piece.job->member;
        const std::size_t size = record_size(member.kind);
        const hsize_t count = piece.to - piece.from;
        const unsigned char* records = nullptr;
        const bool direct = piece.source != Source::Hdf5;  // checked as the chunk was fetched
        if (direct) {
            const std::size_t chunk_bytes = static_cast<std::size_t>(part.chunk_rows) * size;
            const hsize_t in_use = std::min(part.chunk_rows, part.rows - piece.chunk_first);
            const std::size_t row = part.member_row + static_cast<std::size_t>(piece.from - part.first);
            // A whole chunk of whole records goes straight to its place in the result.
            const std::vector<Sink>& sinks = piece.job->sinks;
            const bool in_place = count == part.chunk_rows && sinks.size() == 1 && sinks[0].form == Sink::Form::Bytes &&
                                  sinks[0].size == size && sinks[0].stride == size;
            const std::span<unsigned char> out = in_place
                                                     ? std::span<unsigned char>(sinks[0].base + row * size, chunk_bytes)
                                                     : (raw.resize(chunk_bytes), std::span<unsigned char>(raw));
            if (piece.source == Source::Blosc) {
                layout::blosc_decompress_chunk(stored.bytes, out);
            } else if (codec.inflate(stored.bytes, out) < in_use * size) {
                throw h5::Error(fmt::format("the chunk at row {} of {} holds fewer than its {} rows", piece.chunk_first,
                                            member.order_book_id, in_use));
            }
            if (in_place) return;
            records = raw.data() + (piece.from - piece.chunk_first) * size;
        }
        if (!direct) {  // a chunk the store does not write this way, or a missing one: HDF5 fills it
            raw.resize(static_cast<std::size_t>(count) * size);
            const std::lock_guard lock(s.hdf5);
            const h5::QuietErrors quiet;
            part.dataset.read_rows(s.memory_types[static_cast<int>(member.kind)].id(), piece.from, count, raw.data());
            records = raw.data();
        }
        scatter(piece.job->sinks, member.kind, records, static_cast<std::size_t>(count),
                part.member_row + static_cast<std::size_t>(piece.from - part.first));
    };
    // Takes one piece and reads it; false when there is none (`wait`: until all are handed out).
    const auto work_one = [&](bool wait, h5::ZlibCodec& codec, std::vector<unsigned char>& raw) {
        Piece piece;
        {
            std::unique_lock lock(queue_mutex);
            if (wait) queue_changed.wait(lock, [&] { return !queue.empty() || all_queued; });
            if (queue.empty()) return false;
            piece = std::move(queue.front());
            queue.pop_front();
        }
        try {
            if (!failed.load(std::memory_order_relaxed)) run(piece, codec, raw);
        } catch (...) {
            fail();
        }
        try {
            finish(*piece.job);
        } catch (...) {
            fail();
        }
        return true;
    };
    const auto work = [&] {
        h5::ZlibCodec codec;
        std::vector<unsigned char> raw;
        while (work_one(true, codec, raw)) {
        }
    };
    {
        const h5::QuietErrors quiet;  // for all the pool's HDF5 calls, which run under the lock
        const unsigned helpers = s.threads - 1;
        std::vector<std::jthread> pool;
        for (unsigned i = 0; i < helpers; ++i) pool.emplace_back(work);
        h5::ZlibCodec codec;
        std::vector<unsigned char> raw;
        try {
            for (std::size_t m = 0; m < s.files.size() && !failed.load(); ++m) {
                if (m == s.jobs.size()) s.plan_next(false);
                Job& job = *s.jobs[m];
                job.sinks = place(m);
                check_sinks(job.member, job.sinks);
                job.left = job.pieces.size() + 1;
                in_flight.fetch_add(1);
                // A few chunks at a time (about half a megabyte inflated), so that the pool starts
                // on a large file's first chunks while its later ones are fetched.
                constexpr std::size_t batch = 16;
                for (std::size_t queued = 0; queued < job.pieces.size();) {
                    if (job.fetched < job.pieces.size()) {
                        const std::lock_guard lock(s.hdf5);
                        const h5::QuietErrors quiet;
                        s.fetch(job, batch);
                    }
                    {
                        const std::lock_guard lock(queue_mutex);
                        queue.insert(queue.end(), std::make_move_iterator(job.pieces.begin() + queued),
                                     std::make_move_iterator(job.pieces.begin() + job.fetched));
                    }
                    queued = job.fetched;
                    queue_changed.notify_all();
                }
                job.pieces.clear();
                finish(job);  // hands out its own share: the job ends with its last piece
                while (in_flight.load() >= most_in_flight && work_one(false, codec, raw)) {
                }
            }
        } catch (...) {
            fail();
        }
        {
            const std::lock_guard lock(queue_mutex);
            all_queued = true;
        }
        queue_changed.notify_all();
        work();  // the calling thread is one of the pool
    }
    if (first_error) std::rethrow_exception(first_error);
}

}  // namespace tarnwick::bundle::reading
