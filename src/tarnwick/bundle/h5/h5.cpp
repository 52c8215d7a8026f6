#include "tarnwick/bundle/h5/h5.hpp"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <regex>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/h5/journal.hpp"
#include "tarnwick/bundle/h5/lzf_filter.hpp"

namespace tarnwick::bundle::h5 {
namespace {

// The setting QuietErrors replaces; HDF5 keeps it per thread in Debian's build.
thread_local int quiet_depth = 0;
thread_local H5E_auto2_t saved_print = nullptr;
thread_local void* saved_print_data = nullptr;

void print_to_stderr(const std::string& text) { std::fprintf(stderr, "warning: %s\n", text.c_str()); }

CloseFailureReporter close_failure_reporter = print_to_stderr;

struct StackSummary {
    std::string text;
    int err_no = 0;
    bool os_category = false;  // the file or the I/O layer failed
};

herr_t collect_entry(unsigned depth, const H5E_error2_t* entry, void* client) {
    auto& summary = *static_cast<StackSummary*>(client);
    char major[128] = "";
    char minor[128] = "";
    H5Eget_msg(entry->maj_num, nullptr, major, sizeof major);
    H5Eget_msg(entry->min_num, nullptr, minor, sizeof minor);
    const std::string desc = entry->desc ? entry->desc : "";
    if (depth == 0 || summary.text.size() < 600)
        summary.text += fmt::format("{}{} ({}: {})", summary.text.empty() ? "" : "; ", desc, major, minor);
    static const std::regex errno_pattern{R"(errno = (\d+))"};
    std::smatch match;
    if (summary.err_no == 0 && std::regex_search(desc, match, errno_pattern)) summary.err_no = std::stoi(match[1]);
    if (entry->maj_num == H5E_FILE || entry->maj_num == H5E_IO || entry->maj_num == H5E_VFL) summary.os_category = true;
    return 0;
}

template <class T>
T checked(T result, const char* what) {
    if (result < 0) throw_error_stack(what);
    return result;
}

// File access properties: HDF5's POSIX I/O with an undo journal for every file opened for
// writing (journal.hpp), so that no interrupted update can damage what a file held.
hid_t journaled_access_id() {
    const hid_t id = checked(H5Pcreate(H5P_FILE_ACCESS), "creating file access properties failed");
    if (H5Pset_driver(id, journaled_driver(), nullptr) < 0) {
        H5Pclose(id);
        throw_error_stack("choosing the file driver failed");
    }
    return id;
}

Handle journaled_access() { return Handle(journaled_access_id(), H5Pclose); }

// The access properties of every read-only open, made once: a panel read opens hundreds of
// files, and each open would otherwise make and copy a list of its own. The caches keep HDF5's
// defaults: the chunk cache and the sieve buffer are allocated only for a dataset that uses
// them (readers of store files fetch their chunks directly, chunks.hpp), and the metadata
// cache's sizes are limits, not allocations; what each open clears (about 0.5 MB) is the
// cache's fixed hash table, which no property changes. Never closed: HDF5 closes it as the
// library shuts down.
hid_t read_only_access() {
    static const hid_t list = journaled_access_id();
    return list;
}

// Reports a failed close where it cannot be thrown: the destructor, the move assignment.
void report_failed_close() {
    StackSummary summary;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, collect_entry, &summary);
    H5Eclear2(H5E_DEFAULT);
    const std::string what = "closing an HDF5 object failed";
    close_failure_reporter(summary.text.empty() ? what : what + ": " + summary.text);
}

}  // namespace

QuietErrors::QuietErrors() {
    if (quiet_depth++ > 0) return;
    H5open();
    H5Eget_auto2(H5E_DEFAULT, &saved_print, &saved_print_data);
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

QuietErrors::~QuietErrors() {
    if (--quiet_depth > 0) return;
    H5Eset_auto2(H5E_DEFAULT, saved_print, saved_print_data);
}

CloseFailureReporter set_close_failure_reporter(CloseFailureReporter reporter) {
    return std::exchange(close_failure_reporter, reporter ? reporter : print_to_stderr);
}

void throw_error_stack(const std::string& what) {
    StackSummary summary;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, collect_entry, &summary);
    H5Eclear2(H5E_DEFAULT);
    const std::string message = summary.text.empty() ? what : what + ": " + summary.text;
    if (summary.err_no != 0) throw OsError::from_errno(summary.err_no, message);
    if (summary.os_category) throw OsError(OsError::Kind::Other, 0, message);
    throw Error(message);
}

// ---- Handle -------------------------------------------------------------------------------

Handle& Handle::operator=(Handle&& other) noexcept {
    const QuietErrors quiet;
    if (this != &other) {
        if (valid() && closer_ && closer_(id_) < 0) report_failed_close();
        id_ = std::exchange(other.id_, H5I_INVALID_HID);
        closer_ = other.closer_;
    }
    return *this;
}

Handle::~Handle() {
    const QuietErrors quiet;
    if (valid() && closer_) {
        if (closer_(id_) < 0) report_failed_close();
    }
}

void Handle::close() {
    const QuietErrors quiet;
    if (!valid()) return;
    const hid_t id = std::exchange(id_, H5I_INVALID_HID);
    if (closer_ && closer_(id) < 0) throw_error_stack("closing an HDF5 object failed");
}

// ---- DataType -----------------------------------------------------------------------------

DataType DataType::take(hid_t id, const char* what) {
    const QuietErrors quiet;
    return DataType(checked(id, what), H5Tclose);
}

DataType DataType::copy(hid_t predefined) {
    const QuietErrors quiet;
    return take(H5Tcopy(predefined), "copying a datatype failed");
}

DataType DataType::compound(std::size_t size) {
    const QuietErrors quiet;
    return take(H5Tcreate(H5T_COMPOUND, size), "creating a compound datatype failed");
}

DataType& DataType::insert(const std::string& name, std::size_t offset, hid_t field_type) {
    const QuietErrors quiet;
    checked(H5Tinsert(id(), name.c_str(), offset, field_type), "adding a compound field failed");
    return *this;
}

std::size_t DataType::size() const {
    const QuietErrors quiet;
    const std::size_t size = H5Tget_size(id());
    if (size == 0) throw_error_stack("reading a datatype's size failed");
    return size;
}

bool DataType::equals(hid_t other) const {
    const QuietErrors quiet;
    return checked(H5Tequal(id(), other), "comparing datatypes failed") > 0;
}

// ---- DataSpace ----------------------------------------------------------------------------

DataSpace DataSpace::simple(hsize_t rows, hsize_t max_rows) {
    const QuietErrors quiet;
    const hsize_t dims[1] = {rows};
    const hsize_t max_dims[1] = {max_rows};
    return DataSpace(checked(H5Screate_simple(1, dims, max_dims), "creating a dataspace failed"), H5Sclose);
}

DataSpace DataSpace::of_dataset(hid_t dataset) {
    const QuietErrors quiet;
    return DataSpace(checked(H5Dget_space(dataset), "reading a dataset's shape failed"), H5Sclose);
}

hsize_t DataSpace::rows() const {
    const QuietErrors quiet;
    const int rank = checked(H5Sget_simple_extent_ndims(id()), "reading a dataspace's rank failed");
    if (rank != 1) throw Error(fmt::format("expected a one-dimensional dataset, found rank {}", rank));
    hsize_t dims[1] = {0};
    checked(H5Sget_simple_extent_dims(id(), dims, nullptr), "reading a dataspace's size failed");
    return dims[0];
}

void DataSpace::select_rows(hsize_t start, hsize_t count) {
    const QuietErrors quiet;
    const hsize_t offset[1] = {start};
    const hsize_t counts[1] = {count};
    checked(H5Sselect_hyperslab(id(), H5S_SELECT_SET, offset, nullptr, counts, nullptr),
            "selecting dataset rows failed");
}

// ---- Dataset ------------------------------------------------------------------------------

hsize_t Dataset::rows() const { return DataSpace::of_dataset(id()).rows(); }

DataType Dataset::file_type() const {
    const QuietErrors quiet;
    return DataType::take(H5Dget_type(id()), "reading a dataset's type failed");
}

namespace {

// How many bytes of records a file of `file_bytes` bytes can hold at most. Every filter the
// store files use expands by a bounded factor: deflate at most 1032:1 (its longest match, 258
// bytes, costs at least two bits), LZ4 (Blosc) about 255:1 and LZF about 100:1; unfiltered
// records take their own size. The floor covers what a writer still holds in HDF5's caches
// before it reaches the disk (a chunk cache is 1 MiB per dataset), so a file being written
// reads back whole.
constexpr std::uint64_t MAX_EXPANSION = 1032;
constexpr std::uint64_t CACHE_FLOOR = std::uint64_t{64} << 20;

}  // namespace

bool claim_fits(std::uint64_t rows, std::size_t record_size, std::uint64_t file_bytes) {
    const std::uint64_t size = std::max<std::uint64_t>(record_size, 1);
    return rows <= CACHE_FLOOR / size || rows <= (file_bytes * MAX_EXPANSION + CACHE_FLOOR) / size;
}

std::string Dataset::file_name() const {
    const ssize_t length = H5Fget_name(id(), nullptr, 0);
    if (length <= 0) {
        H5Eclear2(H5E_DEFAULT);
        return "(unnamed file)";
    }
    std::string name(static_cast<std::size_t>(length) + 1, '\0');
    H5Fget_name(id(), name.data(), name.size());
    name.resize(static_cast<std::size_t>(length));
    return name;
}

void Dataset::check_claim(hsize_t rows, std::size_t record_size) const {
    const std::uint64_t size = std::max<std::uint64_t>(record_size, 1);
    if (rows <= CACHE_FLOOR / size) return;  // small enough whatever the file: no need to look
    const QuietErrors quiet;
    std::uint64_t file_bytes = 0;
    std::error_code ignored;
    const std::string name = file_name();
    const auto on_disk = std::filesystem::file_size(name, ignored);
    if (!ignored) file_bytes = on_disk;
    // A file being written may have grown past what the disk shows yet.
    hsize_t known = 0;
    if (const Handle file(H5Iget_file_id(id()), H5Fclose); file.valid() && H5Fget_filesize(file.id(), &known) >= 0)
        file_bytes = std::max<std::uint64_t>(file_bytes, known);
    H5Eclear2(H5E_DEFAULT);
    if (!claim_fits(rows, record_size, file_bytes))
        throw ClaimTooLarge(fmt::format("{}: a dataset claims {} records of {} bytes, more than a file of {} bytes "
                                        "can hold; the file is damaged",
                                        name, rows, record_size, file_bytes));
}

hsize_t Dataset::readable_rows(std::size_t record_size) const {
    const hsize_t claimed = rows();
    check_claim(claimed, record_size);
    return claimed;
}

void Dataset::resize(hsize_t rows) {
    const QuietErrors quiet;
    const hsize_t dims[1] = {rows};
    checked(H5Dset_extent(id(), dims), "resizing a dataset failed");
}

void Dataset::read_rows(hid_t mem_type, hsize_t start, hsize_t count, void* out) const {
    const QuietErrors quiet;
    const hsize_t total = rows();
    if (start + count > total)
        throw Error(fmt::format("reading rows {}..{} of a dataset of {} rows", start, start + count, total));
    if (count == 0) return;
    // HDF5 sizes its own conversion buffers by the selection.
    check_claim(count, H5Tget_size(mem_type));
    // HDF5 takes a stored compound's member offsets as they are: a member a damaged file places
    // past the end of its record makes the conversion read outside HDF5's buffers (a crash).
    const DataType stored = file_type();
    if (H5Tget_class(stored.id()) == H5T_COMPOUND) {
        const int members = H5Tget_nmembers(stored.id());
        for (int i = 0; i < members; ++i) {
            const DataType member = DataType::take(H5Tget_member_type(stored.id(), static_cast<unsigned>(i)),
                                                   "reading a stored member's type failed");
            if (H5Tget_member_offset(stored.id(), static_cast<unsigned>(i)) + member.size() > stored.size())
                throw Error("a stored record type with a member past the end of its records");
        }
    }
    DataSpace file_space = DataSpace::of_dataset(id());
    file_space.select_rows(start, count);
    DataSpace mem_space = DataSpace::simple(count, count);
    checked(H5Dread(id(), mem_type, mem_space.id(), file_space.id(), H5P_DEFAULT, out), "reading a dataset failed");
}

void Dataset::write_rows(hid_t mem_type, hsize_t start, hsize_t count, const void* data) {
    const QuietErrors quiet;
    if (count == 0) return;
    DataSpace file_space = DataSpace::of_dataset(id());
    file_space.select_rows(start, count);
    DataSpace mem_space = DataSpace::simple(count, count);
    checked(H5Dwrite(id(), mem_type, mem_space.id(), file_space.id(), H5P_DEFAULT, data), "writing a dataset failed");
}

std::vector<Filter> Dataset::filters() const {
    const QuietErrors quiet;
    Handle plist(checked(H5Dget_create_plist(id()), "reading a dataset's creation properties failed"), H5Pclose);
    const int count = checked(H5Pget_nfilters(plist.id()), "reading a dataset's filters failed");
    std::vector<Filter> out;
    for (int i = 0; i < count; ++i) {
        Filter filter;
        unsigned values[16];
        std::size_t n_values = 16;
        unsigned config = 0;
        filter.id = checked(
            H5Pget_filter2(plist.id(), static_cast<unsigned>(i), &filter.flags, &n_values, values, 0, nullptr, &config),
            "reading a dataset's filter failed");
        filter.cd_values.assign(values, values + std::min<std::size_t>(n_values, 16));
        out.push_back(std::move(filter));
    }
    return out;
}

std::optional<hsize_t> Dataset::chunk_rows() const {
    const QuietErrors quiet;
    Handle plist(checked(H5Dget_create_plist(id()), "reading a dataset's creation properties failed"), H5Pclose);
    if (H5Pget_layout(plist.id()) != H5D_CHUNKED) return std::nullopt;
    hsize_t dims[1] = {0};
    checked(H5Pget_chunk(plist.id(), 1, dims), "reading a dataset's chunk shape failed");
    return dims[0];
}

// ---- File ---------------------------------------------------------------------------------

File::File(hid_t id, std::string path) : Handle(id, close_file), path_(std::move(path)) {}

File File::open(const std::string& path, Access access) {
    register_lzf_filter();
    const QuietErrors quiet;
    const unsigned flags = access == Access::ReadWrite ? H5F_ACC_RDWR : H5F_ACC_RDONLY;
    Handle access_list;
    if (access == Access::ReadWrite) access_list = journaled_access();
    const hid_t id = H5Fopen(path.c_str(), flags, access == Access::ReadWrite ? access_list.id() : read_only_access());
    if (id < 0) throw_error_stack("unable to open file \"" + path + "\"");
    return File(id, path);
}

File File::create(const std::string& path) {
    register_lzf_filter();
    const QuietErrors quiet;
    const Handle access_list = journaled_access();
    const hid_t id = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, access_list.id());
    if (id < 0) throw_error_stack("unable to create file \"" + path + "\"");
    return File(id, path);
}

bool File::contains(const std::string& name) const {
    const QuietErrors quiet;
    return checked(H5Lexists(id(), name.c_str(), H5P_DEFAULT), "looking up a file member failed") > 0;
}

std::vector<std::string> File::members() const {
    const QuietErrors quiet;
    // One pass over the links: asking for each name by position costs a walk of the group per
    // name, which grows with the square of the member count in old-format groups.
    std::vector<std::string> names;
    const auto collect = [](hid_t, const char* name, const H5L_info_t*, void* out) -> herr_t {
        static_cast<std::vector<std::string>*>(out)->emplace_back(name);
        return 0;
    };
    hsize_t position = 0;
    checked(H5Literate(id(), H5_INDEX_NAME, H5_ITER_INC, &position, collect, &names),
            "listing the file's members failed");
    return names;
}

void File::unlink(const std::string& name) {
    const QuietErrors quiet;
    checked(H5Ldelete(id(), name.c_str(), H5P_DEFAULT), ("deleting member \"" + name + "\" failed").c_str());
}

void File::rename(const std::string& from, const std::string& to) {
    const QuietErrors quiet;
    checked(H5Lmove(id(), from.c_str(), id(), to.c_str(), H5P_DEFAULT, H5P_DEFAULT),
            ("renaming member \"" + from + "\" failed").c_str());
}

Dataset File::open_dataset(const std::string& name) const {
    const QuietErrors quiet;
    const hid_t id = H5Dopen2(this->id(), name.c_str(), H5P_DEFAULT);
    if (id < 0) throw_error_stack("unable to open dataset \"" + name + "\"");
    return Dataset(id, H5Dclose);
}

Dataset File::create_dataset(const std::string& name, const DataType& file_type, hid_t mem_type, hsize_t rows,
                             const void* data, const DatasetOptions& options) {
    DataSpace space = DataSpace::simple(rows, options.resizable ? H5S_UNLIMITED : rows);
    Handle plist(checked(H5Pcreate(H5P_DATASET_CREATE), "creating dataset properties failed"), H5Pclose);
    if (options.chunk_rows > 0) {
        const hsize_t chunk[1] = {options.chunk_rows};
        checked(H5Pset_chunk(plist.id(), 1, chunk), "setting the chunk shape failed");
    }
    if (options.deflate_level >= 0)
        checked(H5Pset_deflate(plist.id(), static_cast<unsigned>(options.deflate_level)),
                "setting the deflate filter failed");
    for (const Filter& filter : options.filters)
        checked(H5Pset_filter(plist.id(), filter.id, filter.flags, filter.cd_values.size(), filter.cd_values.data()),
                "setting a dataset filter failed");
    // Allocate chunks when written, not up front, and never write fill values: every row is
    // written right after creation.
    checked(H5Pset_fill_time(plist.id(), H5D_FILL_TIME_NEVER), "setting the fill time failed");
    const hid_t id =
        H5Dcreate2(this->id(), name.c_str(), file_type.id(), space.id(), H5P_DEFAULT, plist.id(), H5P_DEFAULT);
    if (id < 0) throw_error_stack("unable to create dataset \"" + name + "\"");
    Dataset dataset(id, H5Dclose);
    if (rows > 0 && data) dataset.write_rows(mem_type, 0, rows, data);
    return dataset;
}

void File::commit() {
    const QuietErrors quiet;
    checked(H5Fflush(id(), H5F_SCOPE_LOCAL), "flushing the file failed");
    // Everything is in the file and consistent: make it the state a rollback returns to.
    h5::commit(id());
}

void File::close() {
    take_settle_error();  // the outcome of an earlier close, already reported or ignored
    Handle::close();
    if (const int err = take_settle_error())
        throw OsError::from_errno(err, "the update of \"" + path_ + "\" could not be committed or rolled back (" +
                                           std::strerror(err) + "); the next update settles it");
}

void File::abandon() noexcept {
    if (!valid()) return;
    h5::abandon(id());
    try {
        close();
    } catch (const std::exception&) {
        // The rollback left its journal; the next open of the file finishes it.
    }
}

bool filter_available(H5Z_filter_t id) {
    const QuietErrors quiet;
    const htri_t available = H5Zfilter_avail(id);
    if (available < 0) H5Eclear2(H5E_DEFAULT);
    return available > 0;
}

}  // namespace tarnwick::bundle::h5
