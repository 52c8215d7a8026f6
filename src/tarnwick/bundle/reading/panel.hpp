#pragma once
// Reading a panel: the records of many instruments over one range of trading days, in one call,
// on several threads.
//
// What a read costs is inflating chunks; HDF5 (its serial build) lets one thread in at a time,
// but inflating needs no HDF5. So the files are found, opened and their rows counted first, on
// the calling thread (PanelReader's constructor); then read() hands the chunks to a pool of
// threads: each fetches a chunk's stored bytes under one lock around every HDF5 call, inflates
// them outside it (libdeflate or c-blosc, one decompressor per thread) into a chunk-sized buffer
// of its own, and writes the rows straight into the caller's arrays (Sink): no copy of the whole
// result is ever made. Chunks laid out as the store does not write them are read through HDF5,
// under the lock.
//
// Every file stays open, on the shared side of the writers' lock, from its rows being counted
// to the end of the read: no update changes a file in between, and the panel is one view of all
// its files. Files are opened and refused as a single read does (read.hpp).
//
// Thread safety: one panel read (or any other HDF5 use of this library) at a time per process.
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "tarnwick/bundle/reading/read.hpp"

namespace tarnwick::bundle::reading {

// Identifiers without a file: one error naming them all, or leave them out of the panel.
enum class Missing { Raise, Skip };

struct PanelRequest {
    std::vector<std::string> order_book_ids;  // an identifier given twice is read once
    DayRange days;
    bool ticks = false;
    Missing missing = Missing::Raise;
    unsigned threads = 0;  // 0: the machine's cores (default_threads())
};

unsigned default_threads();

// One instrument of the panel, in the order asked for: its record kind, the trading days it
// holds in the range with their rows, and its rows in all.
struct PanelMember {
    std::string order_book_id;
    RecordKind kind = RecordKind::EquityBars;
    std::vector<DayRows> days;
    std::size_t rows = 0;
};

// Where one value of each of a member's records goes: that of its row r to base + r * stride.
struct Sink {
    enum class Form {
        Bytes,                  // the record's bytes [offset, offset + size), as stored
        Scaled,                 // the <i8 at `offset` divided by `scale`, as a double (tick prices)
        Double,                 // the <i8 at `offset` as a double
        Nanoseconds,            // int64: the record's time as timestamps() gives it (columns.hpp)
        TradingDay,             // int32: the trading day YYYYMMDD the record belongs to
        TradingDayNanoseconds,  // int64: midnight of that day, on the clock of Nanoseconds
        TickVolume,             // int64: the tick's own volume, from the cumulative <i8 at `offset`
    };
    Form form = Form::Bytes;
    std::size_t offset = 0;
    std::size_t size = 0;  // Bytes only
    double scale = 1.0;    // Scaled only
    unsigned char* base = nullptr;
    std::size_t stride = 0;
};

class PanelReader {
public:
    // Finds, opens and plans the files of `request` (see read_minbar/read_ticks in read.hpp for
    // the errors). Identifiers without a file throw one OsError (no such file) naming them all
    // under Missing::Raise, and are left out (skipped()) under Missing::Skip.
    PanelReader(const std::string& data_bundle_path, const PanelRequest& request);
    ~PanelReader();
    PanelReader(const PanelReader&) = delete;
    PanelReader& operator=(const PanelReader&) = delete;

    const std::vector<PanelMember>& members() const;
    const std::vector<std::string>& skipped() const;
    std::size_t rows() const;  // of all members

    // Reads every member's records into `sinks[i]` for members()[i], on the pool; once.
    // Throws std::invalid_argument for sinks that do not fit (a count other than the members',
    // a Bytes sink outside the record, a time sink with a stride other than its value's size),
    // h5::Error-derived std::runtime_error for damaged content (the first a thread met).
    void read(const std::vector<std::vector<Sink>>& sinks);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tarnwick::bundle::reading
