#pragma once
// Bringing one instrument's tick store file up to date ("更新tick级h5文件").
//
// The file <path>/<id>.h5 holds one dataset per trading date, named YYYYMMDD, of
// layout::TickRecord (Blosc/LZ4 level 9), and an empty unfiltered dataset for each day a stock
// was suspended. _append_h5_tick:
//   1. creates `path`; with `rebuild`, builds a new file whole beside the old one, which it
//      replaces only once complete (a failure leaves the old file as it was);
//   2. opens the file; a missing file is first made as an empty HDF5 file under a temporary
//      name and renamed into place, so that a killed update never leaves a file HDF5 cannot
//      open (an instrument without data keeps such an empty file);
//   3. finishes a day replacement that an earlier, interrupted update left behind (see below);
//   4. starts at the greatest member name (the newest stored day, fetched again), or at
//      min_start_date for a file without members, and ends at _get_end_date(); stops when the
//      end date is before the start;
//   5. asks the service for the instrument's day bars over that range; their days are the
//      trading days to fetch (none: stop, nothing is written, nothing is marked);
//   6. for stocks (type CS), asks for the suspended days of the same range;
//   7. fetches the ticks in blocks of TICK_DATE_CHUNK_SIZE trading days, announcing each block
//      on the console as "YYYY-MM-DD YYYY-MM-DD", and writes each trading date of a block as one
//      dataset, replacing a stored one; in date order among those days, each suspended day
//      without a dataset gets an empty dataset without filters.
// A greatest member name that is not a number is a damaged file. Errors while the file is open
// are logged through system_log ("更新 <file> 失败，..." with the text for file-system errors,
// for the service's PermissionDenied, or for anything else) and clear the shared flag; errors
// before that (the directory, the removal for `rebuild`, the open mode, a missing Blosc plug-in)
// propagate.
//
// Crash safety. Each day is written under its own name, replacing a stored day of that name,
// and committed on its own through the file's undo journal: a process killed at any moment
// leaves every day it had stored, each either old or new, plus the days committed since.
// Members are made in ascending date order, suspended days included, so everything below the
// greatest name is final and an interrupted update resumes where it stopped. ".tmp-YYYYMMDD"
// members left by earlier versions (which wrote a day under a temporary name first) are
// finished by the next update: removed next to their day, renamed where the day is missing.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <vector>

#include "tarnwick/bundle/layout/constants.hpp"

namespace tarnwick::bundle::tick {

struct TickDay;  // tick/convert.hpp

void _append_h5_tick(const std::string& order_book_id, const std::string& path,
                     const std::optional<std::string>& file_name = std::nullopt,
                     int min_start_date = layout::MIN_START_DATE, bool rebuild = false);

// Fetches the ticks of `trading_dates` (ascending) in blocks of TICK_DATE_CHUNK_SIZE days, each
// announced on the console as "YYYY-MM-DD YYYY-MM-DD" and checked for room on the disk of
// `file_path` first, and hands each day to `visit` in date order. A stop ends it between blocks.
void fetch_tick_days(const std::string& order_book_id, const std::vector<int>& trading_dates,
                     const std::string& file_path, const std::function<void(const TickDay&)>& visit);

// "20240102" for 20240102.
std::string day_key(int yyyymmdd);
// The member a day is written under before it replaces the stored day.
std::string temporary_member(const std::string& key);
// The day key of a temporary member name, or nullopt when `name` is not one.
std::optional<std::string> day_of_temporary_member(std::string_view name);

// Rows per Blosc chunk of a day of `rows` records of `record_size` bytes: the whole day, up to
// CHUNK_BYTES. The host's loader reads whole days, and bench/tick_bench shows one chunk per day
// writing and reading fastest and compressing best (h5py's guess for such a day, about 18 KiB,
// writes a fifth slower and makes the file a tenth larger); the cap only bounds the buffers of
// one chunk's compression for a day far busier than any seen (16,912 ticks). The chunks are
// compressed by c-blosc directly and stored past HDF5's filter pipeline (tick/day_dataset.hpp).
inline constexpr std::size_t CHUNK_BYTES = 4 * 1024 * 1024;
std::size_t chunk_rows(std::size_t rows, std::size_t record_size);

namespace testing {
// Called at each step of a file update with the step's name and the day it concerns (0 for the
// file as a whole). Tests throw or kill the process from it to stop the update at that point.
// Steps: "file_created" (empty new file closed, not yet renamed into place), "temp_written",
// "temp_flushed", "old_unlinked", "renamed", "day_done", "suspended_marked" (an empty day
// created, not yet flushed).
using StepHook = std::function<void(std::string_view step, int day)>;
StepHook set_step_hook(StepHook hook);  // returns the previous hook
}  // namespace testing

}  // namespace tarnwick::bundle::tick
