#pragma once
// A store file's datasets and their chunks, found by parsing the file's bytes rather than by
// opening it through HDF5: for readers that open hundreds of files for a few chunks each.
//
// Why: an open through HDF5 costs about as much as inflating a month of a file's bars. It
// builds and clears a metadata cache of its own, each dataset open and each chunk look-up goes
// through several layers of it, and all of it runs under one lock for the whole process. A
// panel of a month of 600 files spent over a third of its time there, with one core idle.
//
// What: only the format these files are written in (HDF5 1.10's default, the earliest
// compatible one): superblock version 0, a root group with a symbol table, version 1 object
// headers, one-dimensional compound datasets with chunked layout version 3 whose chunks a
// version 1 B-tree indexes. Anything else (another version, a shared message, another layout,
// a damaged structure) throws NotUnderstood, and the caller opens the file through HDF5, which
// reads every form and reports damage as it always does. Every address, count and size read
// from the file is checked against the file before anything is sized or read by it.
//
// The bytes come through CommittedFile (journal.hpp): locked and as committed, as the file
// driver shows them to HDF5.
#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tarnwick/bundle/h5/journal.hpp"

namespace tarnwick::bundle::h5 {

// The file is not in the form parsed here; HDF5 must read it.
class NotUnderstood : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One member of a stored compound type: an integer or IEEE float, little-endian.
struct StoredField {
    std::string name;
    std::size_t offset = 0;
    char kind = 'i';  // 'i' signed integer, 'u' unsigned integer, 'f' floating point
    std::size_t size = 0;
};

struct StoredDataset {
    std::uint64_t rows = 0;        // its current extent
    std::uint64_t chunk_rows = 0;  // rows per chunk
    std::size_t record_size = 0;
    std::vector<StoredField> fields;
    std::vector<std::uint16_t> filters;  // filter ids, in the order they were applied
    std::uint64_t chunk_index = 0;       // address of the root of its chunk B-tree
};

// One stored chunk: the rows from `first_row` on, `size` bytes at `address`.
struct StoredChunkRef {
    std::uint64_t first_row = 0;
    std::uint64_t address = 0;
    std::uint32_t size = 0;
    std::uint32_t filter_mask = 0;  // bit k set: filter k was skipped for this chunk
};

class StoredFile {
public:
    // Reads the superblock and the root group's members. Throws NotUnderstood, or OsError for
    // a failed read.
    explicit StoredFile(CommittedFile file);

    // The dataset named `name` in the root group. NotUnderstood when there is none or it is of
    // another form.
    StoredDataset dataset(const std::string& name) const;
    // The stored chunks that hold any of the rows [first, end), in row order; a chunk never
    // written is missing from the list.
    std::vector<StoredChunkRef> chunks(const StoredDataset& dataset, std::uint64_t first, std::uint64_t end) const;

    // `size` bytes at `address` (from what was read of the file already, where it holds them).
    void read(std::uint64_t address, std::size_t size, void* out) const;
    std::uint64_t size() const { return file_.size(); }
    const std::string& path() const { return file_.path(); }

private:
    // `size` bytes at `address`, read through a few blocks kept from earlier reads (a file's
    // metadata sits mostly in its first kilobytes and its last).
    const unsigned char* bytes(std::uint64_t address, std::size_t size) const;
    // The same from what was read already; nullptr when no block holds all of it.
    const unsigned char* held_bytes(std::uint64_t address, std::size_t size) const;
    void walk_group(std::uint64_t node, std::uint64_t heap, int depth);
    void walk_chunks(const StoredDataset& dataset, std::uint64_t node, int level, std::uint64_t first,
                     std::uint64_t end, std::vector<StoredChunkRef>& out) const;

    CommittedFile file_;
    std::map<std::string, std::uint64_t> members_;  // name: object header address
    mutable std::vector<std::pair<std::uint64_t, std::vector<unsigned char>>> blocks_;  // address, bytes
    mutable std::size_t held_ = 0;                                                      // their bytes
};

}  // namespace tarnwick::bundle::h5
