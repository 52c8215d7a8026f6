#pragma once
// Reading a panel: the records of many instruments over one range of trading days, in one call,
// on several threads.
//
// HDF5 (its serial build) lets one thread in at a time, and opening a file costs as much as
// inflating a month of its bars; inflating needs no HDF5. So the calling thread opens the files
// one after another, counts their rows (its day index), fetches the stored bytes of the chunks
// that hold them and closes the file again, under one lock around every HDF5 call, while a pool
// of threads inflates the chunks fetched so far outside it (libdeflate or c-blosc, one
// decompressor per thread): a whole chunk straight into the caller's arrays (Sink), the edges
// of the range through a chunk-sized buffer of the thread's own; no copy of the whole result is
// ever made. Chunks laid out as the store does not write them are read through HDF5, under the
// lock, by the thread that reads them; their file stays open until then. A minute-bar file laid
// out as the store writes it is not opened through HDF5 at all: its layout and chunk index are
// parsed from its bytes (h5/stored_format.hpp), which costs a fraction of HDF5's open.
//
// A file is open, on the shared side of the writers' lock, from its rows being counted to its
// last chunk being fetched (or read through HDF5), so all of it comes from one committed state.
// Files are opened and refused as a single read does (read.hpp).
//
// Thread safety: one panel read (or any other HDF5 use of this library) at a time per process.
#include <cstddef>
#include <functional>
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

// Where a member's records go: called on the calling thread, in the members' order, once the
// member's rows are known (members()[index]), while the pool may be reading earlier members.
using Place = std::function<std::vector<Sink>(std::size_t index)>;

class PanelReader {
public:
    // Finds the files of `request`: identifiers without a file throw one OsError (no such file)
    // naming them all under Missing::Raise, and are left out (skipped()) under Missing::Skip.
    // ValueError for a day range that is no range.
    PanelReader(const std::string& data_bundle_path, const PanelRequest& request);
    ~PanelReader();
    PanelReader(const PanelReader&) = delete;
    PanelReader& operator=(const PanelReader&) = delete;

    // Opens every file and counts its rows, for a caller that needs the panel's size before it
    // places any member (one table); otherwise read() does this file by file as it goes. Errors
    // as read_minbar/read_ticks (read.hpp).
    void plan();

    const std::vector<PanelMember>& members() const;  // those planned so far
    const std::vector<std::string>& skipped() const;
    std::size_t rows() const;  // of the members planned so far

    // Reads every member's records into the sinks `place` gives for it, on the pool; once.
    // Throws what plan() and `place` throw, std::invalid_argument for sinks that do not fit (a
    // Bytes sink outside the record, a time sink with a stride other than its value's size),
    // h5::Error-derived std::runtime_error for damaged content (the first a thread met).
    void read(const Place& place);

private:
    struct State;
    std::unique_ptr<State> state_;
};

namespace testing {
// Whether minute-bar files laid out as the store writes them are read without HDF5's library
// (on by default); returns the previous setting. For comparing the two ways.
bool set_parse_files(bool on);
}  // namespace testing

}  // namespace tarnwick::bundle::reading
