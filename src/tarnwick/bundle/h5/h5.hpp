#pragma once
// A thin RAII layer over the HDF5 C API.
//
// Every hid_t is owned by exactly one move-only Handle and closed on every way out; a failed
// close in a destructor cannot be thrown and goes to the close-failure reporter (a warning on
// standard error unless the log installs itself), an explicit close() throws. Every failing call is turned into an
// exception built from HDF5's error stack:
//
//  - tarnwick::bundle::OsError when the failure is the file system's or a file that cannot be
//    opened, created, locked, read or written (errno on the stack decides would-block /
//    permission denied / other; a file that is not HDF5 is "other");
//  - h5::Error for everything else (damaged content, a missing member, a type mismatch).
//
// HDF5's own printing of the error stack is off while this layer calls the library (QuietErrors):
// the errors reach the caller as exceptions instead, and a process that shares the library (the
// Python module's, with h5py) keeps its own setting outside our calls.
#include <hdf5.h>

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick::bundle::h5 {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A dataset whose own description claims more records than its file on disk can hold: the
// file is damaged, and nothing is sized by the claim (Dataset::readable_rows()).
class ClaimTooLarge : public Error {
public:
    using Error::Error;
};

// Whether `rows` records of `record_size` bytes could have come from a file of `file_bytes`.
bool claim_fits(std::uint64_t rows, std::size_t record_size, std::uint64_t file_bytes);

// Throws the exception that describes HDF5's current error stack, with `what` in front.
[[noreturn]] void throw_error_stack(const std::string& what);

// While alive, HDF5 does not print its error stack on this thread; the setting found at the
// outermost guard comes back when it ends. Nested guards cost nothing.
class QuietErrors {
public:
    QuietErrors();
    ~QuietErrors();
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;
    QuietErrors(QuietErrors&&) = delete;
    QuietErrors& operator=(QuietErrors&&) = delete;
};

// Receives the text of a close that failed where no exception can carry it (a Handle's
// destructor). This layer sits below the log, so the log installs itself here; until then the
// text goes to standard error. Returns the previous reporter; nullptr restores the default.
using CloseFailureReporter = void (*)(const std::string& text);
CloseFailureReporter set_close_failure_reporter(CloseFailureReporter reporter);

class Handle {
public:
    using Closer = herr_t (*)(hid_t);
    Handle() = default;
    Handle(hid_t id, Closer closer) : id_(id), closer_(closer) {}
    Handle(Handle&& other) noexcept : id_(std::exchange(other.id_, H5I_INVALID_HID)), closer_(other.closer_) {}
    Handle& operator=(Handle&& other) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle();

    hid_t id() const noexcept { return id_; }
    bool valid() const noexcept { return id_ >= 0; }
    void close();  // throws on failure

private:
    hid_t id_ = H5I_INVALID_HID;
    Closer closer_ = nullptr;
};

class DataType : public Handle {
public:
    DataType() = default;
    static DataType take(hid_t id, const char* what);  // owns an id returned by H5Tcreate/H5Tcopy/...
    static DataType copy(hid_t predefined);

    // An empty compound of `size` bytes; add fields with insert().
    static DataType compound(std::size_t size);
    DataType& insert(const std::string& name, std::size_t offset, hid_t field_type);

    std::size_t size() const;
    // True when both are the same type (H5Tequal).
    bool equals(hid_t other) const;

private:
    using Handle::Handle;
};

class DataSpace : public Handle {
public:
    static DataSpace simple(hsize_t rows, hsize_t max_rows);
    static DataSpace of_dataset(hid_t dataset);
    hsize_t rows() const;
    void select_rows(hsize_t start, hsize_t count);

private:
    using Handle::Handle;
};

// How a one-dimensional dataset of records is laid out on disk.
struct Filter {
    H5Z_filter_t id = 0;
    unsigned flags = H5Z_FLAG_MANDATORY;
    std::vector<unsigned> cd_values;
};
struct DatasetOptions {
    bool resizable = false;       // maximum shape unlimited
    hsize_t chunk_rows = 0;       // 0: contiguous (only valid without filters and when fixed-size)
    int deflate_level = -1;       // -1: no deflate
    std::vector<Filter> filters;  // applied after deflate, in order
};

class Dataset : public Handle {
public:
    Dataset() = default;
    hsize_t rows() const;
    DataType file_type() const;
    // Grows or shrinks along the first axis (the dataset must be chunked with unlimited max).
    void resize(hsize_t rows);

    // Reads `count` records from `start` into `out` (count * mem_type size bytes).
    void read_rows(hid_t mem_type, hsize_t start, hsize_t count, void* out) const;
    void write_rows(hid_t mem_type, hsize_t start, hsize_t count, const void* data);

    // rows(), once checked against what the file can hold: use it, never rows(), to size a buffer
    // of records of `record_size` bytes. Throws ClaimTooLarge (naming the file) when `rows`
    // such records could not have come from a file of its size on disk.
    hsize_t readable_rows(std::size_t record_size) const;
    void check_claim(hsize_t rows, std::size_t record_size) const;
    // The path of the dataset's file, for messages.
    std::string file_name() const;

    template <class T>
    std::vector<T> read_all(hid_t mem_type) const {
        std::vector<T> out(readable_rows(sizeof(T)));
        if (!out.empty()) read_rows(mem_type, 0, out.size(), out.data());
        return out;
    }
    template <class T>
    T read_one(hid_t mem_type, hsize_t row) const {
        T value{};
        read_rows(mem_type, row, 1, &value);
        return value;
    }
    // Resizes to rows() + new.size() and writes `records` at the end.
    template <class T>
    void append(hid_t mem_type, std::span<const T> records) {
        const hsize_t old = rows();
        resize(old + records.size());
        if (!records.empty()) write_rows(mem_type, old, records.size(), records.data());
    }

    // The filters of the dataset's creation property list (id and client data).
    std::vector<Filter> filters() const;
    std::optional<hsize_t> chunk_rows() const;

private:
    friend class File;
    using Handle::Handle;
};

class File : public Handle {
public:
    enum class Access { ReadOnly, ReadWrite };
    File() = default;
    // Opens an existing file; the HDF5 file lock makes this fail (OsError, would block) while
    // another process holds the file open. Opened for writing, a file that an interrupted
    // update left with an undo journal is first rolled back to its last committed state.
    static File open(const std::string& path, Access access);
    // Creates a new file, replacing an existing one; the default (earliest) file format is kept
    // on purpose: such a file survives a killed writer with its earlier content intact.
    static File create(const std::string& path);

    const std::string& path() const { return path_; }
    bool contains(const std::string& name) const;
    // Names of the root's members, in HDF5's name order.
    std::vector<std::string> members() const;
    void unlink(const std::string& name);
    void rename(const std::string& from, const std::string& to);
    Dataset open_dataset(const std::string& name) const;
    Dataset create_dataset(const std::string& name, const DataType& file_type, hid_t mem_type, hsize_t rows,
                           const void* data, const DatasetOptions& options);
    // Closes the file. A file opened for writing keeps only what commit() committed: whatever
    // was written after the last commit is rolled back. Throws when the close could not settle
    // the file's journal (it then stays for the next writer).
    void close();
    // Writes everything cached to the file and commits it, durably: once it returns, a power
    // cut keeps this state, and a later interruption (a kill, a failed write, a close without
    // commit) rolls the file back to it, never further (h5/journal.hpp). A new file is synced,
    // ready to be published. Where commits are deferred (a pool worker, h5::defer_commits),
    // the durable steps wait for the group; until then an interruption rolls back further.
    void commit();
    // Closes the file undoing every change since the last commit() (or the open). For the error
    // path of an update: the file is left as it was, never half-changed.
    void abandon() noexcept;

private:
    File(hid_t id, std::string path);
    std::string path_;
};

// True when HDF5 can use the filter (for plug-ins: the plug-in was found and loads).
bool filter_available(H5Z_filter_t id);

}  // namespace tarnwick::bundle::h5
