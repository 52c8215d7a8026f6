#include "tarnwick/bundle/h5/journal.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tarnwick/bundle/errors.hpp"

namespace tarnwick::bundle::h5 {
namespace {

constexpr char MAGIC[8] = {'T', 'W', 'U', 'N', 'D', 'O', '0', '1'};
constexpr std::size_t HEADER_BYTES = sizeof MAGIC + sizeof(std::uint64_t);
constexpr std::size_t RECORD_HEADER_BYTES = 2 * sizeof(std::uint64_t);
// Originals are journaled in pieces of at most this size, so that neither saving nor rolling
// back needs more memory than one piece.
constexpr std::uint64_t MAX_RECORD_BYTES = 1 << 20;

// ---- POSIX helpers: 0 on success, else errno ------------------------------------------------

int write_all(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int pwrite_all(int fd, const void* data, std::size_t size, std::uint64_t offset) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return 0;
}

// Reads up to `size` bytes; `got` tells how many before the end of the file.
int pread_all(int fd, void* data, std::size_t size, std::uint64_t offset, std::size_t& got) {
    char* p = static_cast<char*>(data);
    got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, p + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return 0;
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// The undo journal of one open file: where it is, the baseline it protects, and which ranges
// below the baseline already have their originals in it.
class UndoJournal {
public:
    UndoJournal(std::string path, std::uint64_t baseline) : path_(std::move(path)), baseline_(baseline) {}

    bool started() const { return fd_.get() >= 0; }

    // Journals the originals of [offset, offset + size) below the baseline that are not in the
    // journal yet; `file` still holds them. Starts the journal first, also for a range wholly
    // above the baseline: a rollback must cut the file back to the baseline.
    int save(int file, std::uint64_t offset, std::uint64_t size) {
        if (!started())
            if (const int err = start()) return err;
        const std::uint64_t end = std::min(offset + size, baseline_);
        std::uint64_t pos = offset;
        while (pos < end) {
            auto next = saved_.upper_bound(pos);
            if (next != saved_.begin()) {
                const auto previous = std::prev(next);
                if (previous->second > pos) {
                    pos = previous->second;
                    continue;
                }
            }
            std::uint64_t gap_end = end;
            if (next != saved_.end()) gap_end = std::min(gap_end, next->first);
            gap_end = std::min(gap_end, pos + MAX_RECORD_BYTES);
            if (const int err = append_original(file, pos, gap_end - pos)) return err;
            mark_saved(pos, gap_end);
            pos = gap_end;
        }
        return 0;
    }

    // The file's current content becomes the baseline: the journal goes.
    int commit(std::uint64_t new_baseline) {
        if (started()) {
            fd_.reset();
            if (::unlink(path_.c_str()) != 0 && errno != ENOENT) return errno;
        }
        baseline_ = new_baseline;
        saved_.clear();
        return 0;
    }

    // Writes every journaled original back into `file`, cuts it to the baseline and deletes
    // the journal. Reads the journal from disk, so that it also serves for a stale one.
    int roll_back(int file) {
        Descriptor journal(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
        if (journal.get() < 0) {
            if (errno != ENOENT) return errno;
            return started() ? commit_rolled_back(file, baseline_) : 0;
        }
        char header[HEADER_BYTES];
        std::size_t got = 0;
        if (const int err = pread_all(journal.get(), header, sizeof header, 0, got)) return err;
        if (got < sizeof header || std::memcmp(header, MAGIC, sizeof MAGIC) != 0) {
            // A journal whose header never got written recorded nothing: the file was not
            // touched after it was created (every write waits for its journal record).
            journal.reset();
            return started() ? commit_rolled_back(file, baseline_) : unlink_journal();
        }
        std::uint64_t baseline = 0;
        std::memcpy(&baseline, header + sizeof MAGIC, sizeof baseline);

        std::vector<char> buffer;
        std::uint64_t at = HEADER_BYTES;
        for (;;) {
            std::uint64_t record[2];
            if (const int err = pread_all(journal.get(), record, sizeof record, at, got)) return err;
            if (got < sizeof record) break;  // the end, or a record cut short by a kill
            const auto [offset, size] = std::pair(record[0], record[1]);
            if (size > MAX_RECORD_BYTES) break;
            buffer.resize(size);
            if (const int err = pread_all(journal.get(), buffer.data(), size, at + sizeof record, got)) return err;
            if (got < size) break;  // cut short: its write to the file never happened
            if (const int err = pwrite_all(file, buffer.data(), size, offset)) return err;
            at += sizeof record + size;
        }
        journal.reset();
        return commit_rolled_back(file, baseline);
    }

private:
    int start() {
        Descriptor fd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (fd.get() < 0) return errno;
        char header[HEADER_BYTES];
        std::memcpy(header, MAGIC, sizeof MAGIC);
        std::memcpy(header + sizeof MAGIC, &baseline_, sizeof baseline_);
        if (const int err = write_all(fd.get(), header, sizeof header)) {
            ::unlink(path_.c_str());
            return err;
        }
        fd_ = std::move(fd);
        return 0;
    }

    int append_original(int file, std::uint64_t offset, std::uint64_t size) {
        std::vector<char> record(RECORD_HEADER_BYTES + size);
        const std::uint64_t head[2] = {offset, size};
        std::memcpy(record.data(), head, sizeof head);
        std::size_t got = 0;
        if (const int err = pread_all(file, record.data() + RECORD_HEADER_BYTES, size, offset, got)) return err;
        // Below the baseline every byte exists: the file only shrinks after journaling.
        if (got < size) return EIO;
        return write_all(fd_.get(), record.data(), record.size());
    }

    void mark_saved(std::uint64_t begin, std::uint64_t end) {
        auto next = saved_.lower_bound(begin);
        if (next != saved_.begin()) {
            const auto previous = std::prev(next);
            if (previous->second == begin) {
                begin = previous->first;
                saved_.erase(previous);
            }
        }
        next = saved_.find(end);
        if (next != saved_.end()) {
            end = next->second;
            saved_.erase(next);
        }
        saved_[begin] = end;
    }

    int commit_rolled_back(int file, std::uint64_t baseline) {
        if (::ftruncate(file, static_cast<off_t>(baseline)) != 0) return errno;
        fd_.reset();
        saved_.clear();
        baseline_ = baseline;
        return unlink_journal();
    }

    int unlink_journal() {
        if (::unlink(path_.c_str()) != 0 && errno != ENOENT) return errno;
        return 0;
    }

    std::string path_;
    std::uint64_t baseline_;
    Descriptor fd_;
    std::map<std::uint64_t, std::uint64_t> saved_;  // begin -> end, disjoint, not adjacent
};

// ---- the driver -----------------------------------------------------------------------------

// HDF5 hands the driver's callbacks a pointer to `pub`; the rest is ours.
struct DriverFile {
    H5FD_t pub;
    int fd;
    haddr_t eoa;
    haddr_t eof;
    dev_t device;
    ino_t inode;
    bool journaling;  // opened for writing with content to protect
    bool failed;      // a write or truncation failed: the close rolls back
    bool abandoned;   // the owner gave up on this update: the close rolls back
    UndoJournal* journal;
};

DriverFile* of(H5FD_t* file) { return reinterpret_cast<DriverFile*>(file); }
const DriverFile* of(const H5FD_t* file) { return reinterpret_cast<const DriverFile*>(file); }

constexpr haddr_t MAX_ADDRESS = (static_cast<haddr_t>(1) << (8 * sizeof(off_t) - 1)) - 1;

// Pushes an HDF5 error that carries errno in the form the library's own drivers use, so that
// callers classify it (would block, permission denied, no space, ...) the same way.
herr_t fail(const char* function, H5E_minor_t minor, int err, const std::string& what) {
    H5Epush2(H5E_DEFAULT, __FILE__, function, __LINE__, H5E_ERR_CLS, H5E_VFL, minor,
             "%s, errno = %d, error message = '%s'", what.c_str(), err, std::strerror(err));
    return -1;
}

H5FD_t* driver_open(const char* name, unsigned flags, hid_t, haddr_t) {
    if (!name || !*name) {
        fail("driver_open", H5E_CANTOPENFILE, EINVAL, "no file name");
        return nullptr;
    }
    const bool writable = (flags & H5F_ACC_RDWR) != 0;
    int o_flags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    if (flags & H5F_ACC_CREAT) o_flags |= O_CREAT;
    if (flags & H5F_ACC_EXCL) o_flags |= O_EXCL;
    Descriptor fd(::open(name, o_flags, 0666));
    if (fd.get() < 0) {
        fail("driver_open", H5E_CANTOPENFILE, errno, std::string("unable to open file: name = '") + name + "'");
        return nullptr;
    }
    if (writable) {
        // The lock comes before truncation and recovery: a file another process is writing
        // is neither emptied nor rolled back under it.
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            fail("driver_open", H5E_CANTLOCKFILE, errno, "unable to lock file");
            return nullptr;
        }
        if (flags & H5F_ACC_TRUNC) {
            // The old content goes, and with it whatever a stale journal would restore.
            if (::ftruncate(fd.get(), 0) != 0 ||
                (::unlink(journal_path(name).c_str()) != 0 && errno != ENOENT)) {
                fail("driver_open", H5E_CANTOPENFILE, errno, "unable to truncate file");
                return nullptr;
            }
        } else {
            UndoJournal stale(journal_path(name), 0);
            if (const int err = stale.roll_back(fd.get())) {
                fail("driver_open", H5E_CANTOPENFILE, err, "unable to roll back an interrupted update");
                return nullptr;
            }
        }
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        fail("driver_open", H5E_BADFILE, errno, "unable to fstat file");
        return nullptr;
    }
    auto* file = new DriverFile{};
    file->fd = fd.release();
    file->eof = static_cast<haddr_t>(st.st_size);
    file->device = st.st_dev;
    file->inode = st.st_ino;
    file->journaling = writable && st.st_size > 0;
    file->journal = new UndoJournal(journal_path(name), static_cast<std::uint64_t>(st.st_size));
    return &file->pub;
}

herr_t driver_close(H5FD_t* h5fd) {
    DriverFile* file = of(h5fd);
    int err = 0;
    if (file->journaling) {
        // Everything reached the file when nothing failed: commit. Otherwise undo the lot.
        err = (file->failed || file->abandoned) ? file->journal->roll_back(file->fd)
                                                : file->journal->commit(file->eof);
    }
    ::close(file->fd);  // releases the lock, after the journal is settled
    delete file->journal;
    delete file;
    if (err) return fail("driver_close", H5E_CANTCLOSEFILE, err, "unable to settle the undo journal");
    return 0;
}

int driver_cmp(const H5FD_t* a, const H5FD_t* b) {
    const auto key = [](const H5FD_t* f) { return std::pair(of(f)->device, of(f)->inode); };
    return key(a) < key(b) ? -1 : (key(b) < key(a) ? 1 : 0);
}

herr_t driver_query(const H5FD_t*, unsigned long* flags) {
    if (flags)
        *flags = H5FD_FEAT_AGGREGATE_METADATA | H5FD_FEAT_ACCUMULATE_METADATA | H5FD_FEAT_DATA_SIEVE |
                 H5FD_FEAT_AGGREGATE_SMALLDATA | H5FD_FEAT_POSIX_COMPAT_HANDLE | H5FD_FEAT_DEFAULT_VFD_COMPATIBLE;
    return 0;
}

haddr_t driver_get_eoa(const H5FD_t* file, H5FD_mem_t) { return of(file)->eoa; }

herr_t driver_set_eoa(H5FD_t* file, H5FD_mem_t, haddr_t address) {
    if (address > MAX_ADDRESS) return fail("driver_set_eoa", H5E_OVERFLOW, EFBIG, "address overflow");
    of(file)->eoa = address;
    return 0;
}

haddr_t driver_get_eof(const H5FD_t* file, H5FD_mem_t) { return of(file)->eof; }

herr_t driver_get_handle(H5FD_t* file, hid_t, void** handle) {
    if (!handle) return fail("driver_get_handle", H5E_BADVALUE, EINVAL, "no handle pointer");
    *handle = &of(file)->fd;
    return 0;
}

herr_t driver_read(H5FD_t* h5fd, H5FD_mem_t, hid_t, haddr_t address, size_t size, void* buffer) {
    DriverFile* file = of(h5fd);
    if (address == HADDR_UNDEF || address > MAX_ADDRESS || size > MAX_ADDRESS - address)
        return fail("driver_read", H5E_OVERFLOW, EFBIG, "address overflow");
    std::size_t got = 0;
    if (const int err = pread_all(file->fd, buffer, size, address, got))
        return fail("driver_read", H5E_READERROR, err, "file read failed");
    // Past the end of the file reads as zeros, as with HDF5's own drivers.
    if (got < size) std::memset(static_cast<char*>(buffer) + got, 0, size - got);
    return 0;
}

herr_t driver_write(H5FD_t* h5fd, H5FD_mem_t, hid_t, haddr_t address, size_t size, const void* buffer) {
    DriverFile* file = of(h5fd);
    if (address == HADDR_UNDEF || address > MAX_ADDRESS || size > MAX_ADDRESS - address)
        return fail("driver_write", H5E_OVERFLOW, EFBIG, "address overflow");
    if (file->journaling)
        if (const int err = file->journal->save(file->fd, address, size)) {
            file->failed = true;
            return fail("driver_write", H5E_WRITEERROR, err, "unable to keep the original bytes in the undo journal");
        }
    if (const int err = pwrite_all(file->fd, buffer, size, address)) {
        file->failed = true;
        return fail("driver_write", H5E_WRITEERROR, err, "file write failed");
    }
    file->eof = std::max<haddr_t>(file->eof, address + size);
    return 0;
}

herr_t driver_truncate(H5FD_t* h5fd, hid_t, hbool_t) {
    DriverFile* file = of(h5fd);
    if (file->eoa == file->eof) return 0;
    if (file->journaling) {
        const haddr_t from = std::min(file->eoa, file->eof);
        if (const int err = file->journal->save(file->fd, from, std::max(file->eoa, file->eof) - from)) {
            file->failed = true;
            return fail("driver_truncate", H5E_SEEKERROR, err, "unable to keep the original bytes in the undo journal");
        }
    }
    if (::ftruncate(file->fd, static_cast<off_t>(file->eoa)) != 0) {
        file->failed = true;
        return fail("driver_truncate", H5E_SEEKERROR, errno, "unable to extend or truncate file");
    }
    file->eof = file->eoa;
    return 0;
}

herr_t driver_lock(H5FD_t* file, hbool_t rw) {
    if (::flock(of(file)->fd, (rw ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return 0;
    // A file system without locks: HDF5's own drivers go on without them too.
    if (errno == ENOSYS) return 0;
    return fail("driver_lock", H5E_CANTLOCKFILE, errno, "unable to lock file");
}

herr_t driver_unlock(H5FD_t* file) {
    if (::flock(of(file)->fd, LOCK_UN) == 0 || errno == ENOSYS) return 0;
    return fail("driver_unlock", H5E_CANTUNLOCKFILE, errno, "unable to unlock file");
}

const H5FD_class_t DRIVER = {
    "tarnwick_undo_journal",
    MAX_ADDRESS,
    H5F_CLOSE_WEAK,
    nullptr,  // terminate
    nullptr,  // sb_size: no driver info in the superblock, the file stays a plain HDF5 file
    nullptr,  // sb_encode
    nullptr,  // sb_decode
    0,        // fapl_size
    nullptr,  // fapl_get
    nullptr,  // fapl_copy
    nullptr,  // fapl_free
    0,        // dxpl_size
    nullptr,  // dxpl_copy
    nullptr,  // dxpl_free
    driver_open,
    driver_close,
    driver_cmp,
    driver_query,
    nullptr,  // get_type_map
    nullptr,  // alloc
    nullptr,  // free
    driver_get_eoa,
    driver_set_eoa,
    driver_get_eof,
    driver_get_handle,
    driver_read,
    driver_write,
    nullptr,  // flush: nothing is buffered here
    driver_truncate,
    driver_lock,
    driver_unlock,
    H5FD_FLMAP_DICHOTOMY,
};

// The driver's state behind an open file id, or nullptr for a file of another driver.
DriverFile* driver_file(hid_t file_id) {
    const hid_t fapl = H5Fget_access_plist(file_id);
    if (fapl < 0) {
        H5Eclear2(H5E_DEFAULT);
        return nullptr;
    }
    const hid_t driver = H5Pget_driver(fapl);
    H5Pclose(fapl);
    if (driver != journaled_driver()) return nullptr;
    void* handle = nullptr;
    if (H5Fget_vfd_handle(file_id, H5P_DEFAULT, &handle) < 0 || !handle) {
        H5Eclear2(H5E_DEFAULT);
        return nullptr;
    }
    return reinterpret_cast<DriverFile*>(static_cast<char*>(handle) - offsetof(DriverFile, fd));
}

}  // namespace

hid_t journaled_driver() {
    static const hid_t id = [] {
        H5open();
        const hid_t registered = H5FDregister(&DRIVER);
        if (registered < 0) throw std::runtime_error("the HDF5 file driver with an undo journal cannot be registered");
        return registered;
    }();
    return id;
}

std::string journal_path(const std::string& file) { return file + ".journal"; }

bool recover_interrupted_update(const std::string& file) {
    const std::string journal = journal_path(file);
    if (::access(journal.c_str(), F_OK) != 0) return false;
    Descriptor fd(::open(file.c_str(), O_RDWR | O_CLOEXEC));
    if (fd.get() < 0) {
        const int err = errno;
        // A journal without its file protects nothing.
        if (err == ENOENT) return ::unlink(journal.c_str()) == 0;
        throw OsError::from_errno(err, "cannot open \"" + file + "\" to undo an interrupted update: " +
                                           std::strerror(err));
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        throw OsError::from_errno(err, "\"" + file + "\" is held by another process: " + std::strerror(err));
    }
    UndoJournal stale(journal, 0);
    if (const int err = stale.roll_back(fd.get()))
        throw OsError::from_errno(err, "cannot undo the interrupted update of \"" + file + "\": " + std::strerror(err));
    return true;
}

void commit(hid_t file_id) {
    DriverFile* file = driver_file(file_id);
    if (!file || !file->journaling || file->failed || file->abandoned) return;
    if (const int err = file->journal->commit(file->eof))
        throw OsError::from_errno(err, std::string("cannot commit an update: ") + std::strerror(err));
}

void abandon(hid_t file_id) {
    if (DriverFile* file = driver_file(file_id)) file->abandoned = true;
}

}  // namespace tarnwick::bundle::h5
