#pragma once
// Bringing one instrument's minute-bar store file up to date.
//
// The file <path>/<group>/<id>.h5 holds "data" (bar records in ascending time) and "index" (the
// first row of each trading date). _append_h5:
//   1. looks the instrument up (market "hk" for ".XHKG" identifiers, else "cn") and takes its
//      delisting date and type; the type picks the group ("equities", "future", "option") and
//      the record type; other types get no file;
//   2. for a missing file, fetches the whole history from min_start_date first and creates
//      nothing when there are no bars; the new file is built under a temporary name and renamed
//      into place once complete, so a killed update never leaves a half-made store file;
//   3. a file without "index" is rebuilt from min_start_date;
//   4. otherwise repairs a file whose index and data end on different days (both are cut back
//      to the days before the earlier one), stops for a delisted instrument that is complete,
//      and appends the bars from the trading day after the last stored one up to the end date.
// Errors while the file is open are logged through system_log and clear the shared flag;
// errors before that (unknown instrument, the look-up, the first fetch, the directory)
// propagate to the caller.
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tarnwick/bundle/h5/chunks.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/layout/records.hpp"

namespace tarnwick::bundle::minbar {

void _append_h5(const std::string& order_book_id, const std::string& path,
                const std::optional<std::string>& file_name = std::nullopt, int min_start_date = layout::MIN_START_DATE,
                bool rebuild = false);

// Grows `origin` by the records of `added` and writes them at its end; chunks are compressed
// by `codec` and stored directly (h5/chunks.hpp), or go through HDF5's filter pipeline when the
// dataset was laid out by another writer in a way the direct path does not take.
struct ChunkCodecs {
    h5::ZlibCodec full;  // chunks the write fills
    h5::ZlibCodec edge;  // a last chunk it leaves partly filled
};
template <class Record>
void _append(h5::Dataset& origin, hid_t mem_type, std::span<const Record> added, ChunkCodecs& codecs) {
    h5::append_records(origin, mem_type, added.data(), added.size(), codecs.full, &codecs.edge);
}

// Bytes per chunk of "data" and libdeflate's level for every chunk we store. Chosen by the grid
// in bench/README.md ("Chunk size and level"): see there for the figures behind them.
inline constexpr hsize_t DATA_CHUNK_BYTES = 32 * 1024;
inline constexpr hsize_t INDEX_CHUNK_ROWS = 512;
inline constexpr int DEFLATE_LEVEL = 7;
// The partly filled last chunk is written again by every append until it is full: a fast level
// for it keeps a daily append cheap, and only its final version stays in the file.
inline constexpr int EDGE_DEFLATE_LEVEL = 1;

// The level HDF5 records with the deflate filter: what any HDF5 writer (h5py appending to our
// file, say) compresses with. Our own chunks are valid zlib streams of DEFLATE_LEVEL.
inline constexpr int DECLARED_DEFLATE_LEVEL = 9;

// Bars per write of a long append (about 1.8 MiB of equity bars, a tenth of a second of
// compression): a stop request waits for at most one such write.
inline constexpr std::size_t APPEND_SLICE_ROWS = 1 << 15;

}  // namespace tarnwick::bundle::minbar
