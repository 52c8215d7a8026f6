#pragma once
// Reading the records of a range of trading days from the store files, as they are stored.
//
// Only what the days need is read: for minute bars the day index gives the rows, and only the
// chunks of "data" holding them are inflated (libdeflate); for ticks only the day datasets in
// the range are opened, their Blosc chunks decoded by c-blosc directly. Chunks laid out in
// another way (files written by other tools) go through HDF5's filter pipeline instead.
//
// A read sees the file's last committed state, also while an update of it runs: it waits only
// for a commit window, a moment when the writer changes bytes already stored (h5/journal.hpp),
// and is refused (OsError, would block) only when that takes longer than the read's bound. A
// file an update left unfinished (its undo journal still there) is read as it was before that
// update, through the journal's originals, without writing anything.
//
// Thread safety: none (HDF5's serial build); one read at a time per process.
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tarnwick/bundle/errors.hpp"

namespace tarnwick::bundle::reading {

// Trading days YYYYMMDD, both inclusive; nullopt: from the first or to the last day held.
struct DayRange {
    std::optional<int> first;
    std::optional<int> last;
};

// The stored record types: minute bars of equities (56 bytes), of futures and options (64),
// ticks (248). Their fields are described by layout/record_description.hpp and tick_layout.hpp.
enum class RecordKind { EquityBars, DerivativeBars, Ticks };
std::size_t record_size(RecordKind kind);

// Told the kind and number of records once both are known, returns where to put them: room for
// rows * record_size(kind) bytes. Lets the caller own the memory (a NumPy array).
using Allocate = std::function<void*(RecordKind kind, std::size_t rows)>;

// The minute-bar file of `order_book_id` in <data_bundle_path>/bundle/h5/<group>/; throws
// OsError (no such file) when no group holds one, ValueError for an identifier that is a path.
std::string minbar_file(const std::string& data_bundle_path, const std::string& order_book_id);
// <data_bundle_path>/bundle/ticks/<order_book_id>.h5; throws OsError when it does not exist.
std::string tick_file(const std::string& data_bundle_path, const std::string& order_book_id);

// What a read found: the records' kind and, in order, the trading days it read with the rows
// of each (cumulative tick volumes start again with each day).
struct DayRows {
    int day = 0;
    std::size_t rows = 0;
};
struct ReadResult {
    RecordKind kind = RecordKind::EquityBars;
    std::vector<DayRows> days;
};

// Reads the minute bars (or ticks) of the trading days in `days`, in stored order, into the
// memory `allocate` returns. Days the file does not hold give no rows; a suspended day of
// ticks is a day of 0 rows.
// Throws ValueError for a day that is not a date YYYYMMDD or a range whose first day is after
// its last, OsError as above, h5::Error-derived std::runtime_error for damaged content.
ReadResult read_minbar(const std::string& data_bundle_path, const std::string& order_book_id, const DayRange& days,
                       const Allocate& allocate);
ReadResult read_ticks(const std::string& data_bundle_path, const std::string& order_book_id, const DayRange& days,
                      const Allocate& allocate);

// read_minbar() of the store file at `path`, whatever folder it is in: its group folder's name
// decides the record kind ("future" and "option" hold derivative bars).
ReadResult read_minbar_file(const std::string& path, const DayRange& days, const Allocate& allocate);

// Every day of the tick file at `path`, in date order: `visit(day, records)` with the day's
// ticks (TickRecord bytes, valid only during the call; one buffer serves all days, so memory
// stays at one day's ticks whatever the file's length). Opens and refuses files as above.
// `other`, when given, is told the name of every member that is no day (layout::is_day_member).
void for_each_tick_day(const std::string& path,
                       const std::function<void(int day, std::span<const unsigned char>)>& visit,
                       const std::function<void(const std::string& name)>& other = {});

// The same into memory of their own.
struct Records : ReadResult {
    std::vector<unsigned char> bytes;
    std::size_t rows() const { return bytes.size() / record_size(kind); }
};
Records read_minbar(const std::string& data_bundle_path, const std::string& order_book_id, const DayRange& days);
Records read_ticks(const std::string& data_bundle_path, const std::string& order_book_id, const DayRange& days);

}  // namespace tarnwick::bundle::reading
