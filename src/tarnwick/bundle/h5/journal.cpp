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

#include <zlib.h>

#include "tarnwick/bundle/errors.hpp"

namespace tarnwick::bundle::h5 {
namespace {

constexpr char MAGIC[8] = {'T', 'W', 'U', 'N', 'D', 'O', '0', '3'};
// Magic, then the baseline and the device and inode of the file it belongs to: a journal found
// beside a different file (the old one deleted, a new one made under its name) is not applied.
// The generation numbers the updates of one open file, which share one journal: the records of
// an earlier update that still lie past the current one's end are not its own.
struct Header {
    char magic[8];
    std::uint64_t baseline;
    std::uint64_t device;
    std::uint64_t inode;
    std::uint64_t generation;
};
// Journals written before updates shared one have no generation (records carry 0); one left by
// a killed update of that version is still rolled back.
constexpr char MAGIC_WITHOUT_GENERATION[8] = {'T', 'W', 'U', 'N', 'D', 'O', '0', '2'};
constexpr std::size_t HEADER_WITHOUT_GENERATION_BYTES = offsetof(Header, generation);
// Each record: where the original bytes were, how many, its update's generation, and a
// checksum over all of them, so that a record cut short or garbled is never written into the
// file.
struct RecordHeader {
    std::uint64_t offset;
    std::uint64_t size;
    std::uint32_t crc;
    std::uint32_t generation;
};
constexpr std::size_t HEADER_BYTES = sizeof(Header);
constexpr std::size_t RECORD_HEADER_BYTES = sizeof(RecordHeader);
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
std::uint32_t record_crc(std::uint32_t generation, std::uint64_t offset, std::uint64_t size, const char* data) {
    uLong crc = 0L;
    if (generation != 0) crc = crc32(crc, reinterpret_cast<const Bytef*>(&generation), sizeof generation);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(&offset), sizeof offset);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(&size), sizeof size);
    return static_cast<std::uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

FileIdentity identity_of(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return {};
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

class UndoJournal {
public:
    UndoJournal(std::string path, std::uint64_t baseline, FileIdentity owner = {})
        : path_(std::move(path)), baseline_(baseline), owner_(owner) {}

    // An update is being journaled: the journal holds this update's header (and records).
    bool started() const { return length_ > 0; }

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

    // The file's current content becomes the baseline. Clearing the journal's magic is the
    // commit point (a journal without it restores nothing); until it succeeded nothing of the
    // journal's state is let go. The journal stays open for the next update of the same open
    // file, which writes its own header over it: creating and deleting a file per update costs
    // more than the update itself for a day of ticks. `Settle::Remove` (the file's close)
    // deletes it.
    enum class Settle { KeepEmpty, Remove };
    int commit(std::uint64_t new_baseline, Settle settle) {
        if (settle == Settle::Remove && fd_.get() >= 0) {
            if (::unlink(path_.c_str()) != 0 && errno != ENOENT) return errno;
            fd_.reset();
            length_ = 0;
        } else if (started()) {
            const char cleared[sizeof MAGIC] = {};
            if (const int err = pwrite_all(fd_.get(), cleared, sizeof cleared, 0)) return err;
            length_ = 0;
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
            if (started()) return commit_rolled_back(file, baseline_);
            fd_.reset();
            return 0;
        }
        Header header{};
        std::size_t got = 0;
        if (const int err = pread_all(journal.get(), &header, sizeof header, 0, got)) return err;
        const FileIdentity file_identity = identity_of(file);
        const bool with_generation = got == sizeof header && std::memcmp(header.magic, MAGIC, sizeof MAGIC) == 0;
        const bool without_generation = got >= HEADER_WITHOUT_GENERATION_BYTES &&
                                        std::memcmp(header.magic, MAGIC_WITHOUT_GENERATION, sizeof MAGIC) == 0;
        const bool belongs = (with_generation || without_generation) && header.device == file_identity.device &&
                             header.inode == file_identity.inode;
        if (!belongs) {
            // A journal whose header never got written recorded nothing (every write waits for
            // its journal record); one that belongs to another file (deleted and made anew
            // under this name) must not touch this one.
            journal.reset();
            if (started()) return commit_rolled_back(file, baseline_);
            fd_.reset();
            return unlink_journal();
        }
        const std::uint64_t baseline = header.baseline;

        std::vector<char> buffer;
        const std::uint32_t generation = with_generation ? static_cast<std::uint32_t>(header.generation) : 0;
        std::uint64_t at = with_generation ? HEADER_BYTES : HEADER_WITHOUT_GENERATION_BYTES;
        for (;;) {
            RecordHeader record{};
            if (const int err = pread_all(journal.get(), &record, sizeof record, at, got)) return err;
            if (got < sizeof record) break;  // the end, or a record cut short by a kill
            if (record.size > MAX_RECORD_BYTES || record.offset > baseline || record.size > baseline - record.offset)
                break;
            buffer.resize(record.size);
            if (const int err = pread_all(journal.get(), buffer.data(), record.size, at + sizeof record, got))
                return err;
            // Cut short or garbled: its write to the file never happened, nor any after it.
            // An earlier update's record (past the end of this one's) ends it too.
            if (got < record.size || record.generation != generation ||
                record_crc(generation, record.offset, record.size, buffer.data()) != record.crc)
                break;
            if (const int err = pwrite_all(file, buffer.data(), record.size, record.offset)) return err;
            at += sizeof record + record.size;
        }
        journal.reset();
        return commit_rolled_back(file, baseline);
    }

private:
    // Writes this update's header, with a new generation, at the start of the journal: created
    // now, or kept open since the last commit. A kept journal is overwritten from its start,
    // not emptied (emptying it costs more than a whole daily append): records of the earlier
    // update that lie past this one's end carry the earlier generation and are not read.
    int start() {
        Descriptor created;
        if (fd_.get() < 0) {
            created.reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
            if (created.get() < 0) return errno;
        } else if (::lseek(fd_.get(), 0, SEEK_SET) != 0) {
            return errno;
        }
        const int fd = created.get() >= 0 ? created.get() : fd_.get();
        Header header{};
        std::memcpy(header.magic, MAGIC, sizeof MAGIC);
        header.baseline = baseline_;
        header.device = owner_.device;
        header.inode = owner_.inode;
        // Never 0, which marks records without a generation.
        if (++generation_ == 0) ++generation_;
        header.generation = generation_;
        if (const int err = write_all(fd, &header, sizeof header)) {
            // No update may go ahead without its header; an empty journal restores nothing.
            if (created.get() >= 0 || ::ftruncate(fd, 0) != 0) {
                ::unlink(path_.c_str());
                fd_.reset();
            }
            return err;
        }
        if (created.get() >= 0) fd_ = std::move(created);
        length_ = HEADER_BYTES;
        return 0;
    }

    int append_original(int file, std::uint64_t offset, std::uint64_t size) {
        buffer_.resize(RECORD_HEADER_BYTES + size);
        std::size_t got = 0;
        if (const int err = pread_all(file, buffer_.data() + RECORD_HEADER_BYTES, size, offset, got)) return err;
        // Below the baseline every byte exists: the file only shrinks after journaling.
        if (got < size) return EIO;
        const RecordHeader head{
            offset, size, record_crc(generation_, offset, size, buffer_.data() + RECORD_HEADER_BYTES), generation_};
        std::memcpy(buffer_.data(), &head, sizeof head);
        if (const int err = write_all(fd_.get(), buffer_.data(), buffer_.size())) {
            // A record written in part must not stand in front of later ones.
            if (::ftruncate(fd_.get(), static_cast<off_t>(length_)) == 0) ::lseek(fd_.get(), 0, SEEK_END);
            return err;
        }
        length_ += buffer_.size();
        return 0;
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
        if (const int err = unlink_journal()) return err;
        fd_.reset();
        length_ = 0;
        saved_.clear();
        baseline_ = baseline;
        return 0;
    }

    int unlink_journal() {
        if (::unlink(path_.c_str()) != 0 && errno != ENOENT) return errno;
        return 0;
    }

    std::string path_;
    std::uint64_t baseline_;
    FileIdentity owner_;
    Descriptor fd_;
    std::uint64_t length_ = 0;                      // bytes of whole records (and the header)
    std::uint32_t generation_ = 0;                  // of the update being journaled
    std::map<std::uint64_t, std::uint64_t> saved_;  // begin -> end, disjoint, not adjacent
    std::vector<char> buffer_;
};

// The outcome of the last close of a journaled file on this thread: HDF5 forgets a file whose
// driver close reports an error only in part (its id stays, and ends the process badly at
// exit), so the driver's close always succeeds and leaves its error here for File::close.
thread_local int last_settle_error = 0;

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

// Files this process has open through the driver, by device and inode, with their open count.
// HDF5 opens a file again to find out whether it is open already (and then shares the first
// open); such an open must neither wait for this process's own lock nor settle its journal.
std::map<std::pair<dev_t, ino_t>, int>& files_open_here() {
    static std::map<std::pair<dev_t, ino_t>, int> files;
    return files;
}
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
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        fail("driver_open", H5E_BADFILE, errno, "unable to fstat file");
        return nullptr;
    }
    const bool open_here = files_open_here().contains({st.st_dev, st.st_ino});
    // The lock comes before truncation and recovery: a file another process is writing is
    // neither emptied nor rolled back under it, nor read half-rewritten. It is taken whatever
    // HDF5's own file-locking setting says (HDF5_USE_FILE_LOCKING=FALSE).
    if (!open_here && ::flock(fd.get(), (writable ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        fail("driver_open", H5E_CANTLOCKFILE, errno, "unable to lock file");
        return nullptr;
    }
    if (writable && !open_here) {
        if (flags & H5F_ACC_TRUNC) {
            // The old content goes, and with it whatever a stale journal would restore.
            if (::ftruncate(fd.get(), 0) != 0 || (::unlink(journal_path(name).c_str()) != 0 && errno != ENOENT)) {
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
    if (::fstat(fd.get(), &st) != 0) {
        fail("driver_open", H5E_BADFILE, errno, "unable to fstat file");
        return nullptr;
    }
    ++files_open_here()[{st.st_dev, st.st_ino}];
    auto* file = new DriverFile{};
    file->fd = fd.release();
    file->eof = static_cast<haddr_t>(st.st_size);
    file->device = st.st_dev;
    file->inode = st.st_ino;
    file->journaling = writable && !open_here && st.st_size > 0;
    file->journal = new UndoJournal(journal_path(name), static_cast<std::uint64_t>(st.st_size),
                                    {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)});
    return &file->pub;
}

herr_t driver_close(H5FD_t* h5fd) {
    DriverFile* file = of(h5fd);
    int err = 0;
    if (file->journaling) {
        // Everything reached the file when nothing failed: commit. Otherwise undo the lot.
        err = (file->failed || file->abandoned) ? file->journal->roll_back(file->fd)
                                                : file->journal->commit(file->eof, UndoJournal::Settle::Remove);
    }
    const auto key = std::pair(file->device, file->inode);
    if (--files_open_here()[key] == 0) files_open_here().erase(key);
    ::close(file->fd);  // releases the lock, after the journal is settled
    delete file->journal;
    delete file;
    // A journal that could not be settled stays; the next writer settles it.
    last_settle_error = err;
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
    // After a failed write the update is lost anyway (the close rolls it back): nothing more
    // goes into the file or the journal.
    if (file->journaling && file->failed)
        return fail("driver_write", H5E_WRITEERROR, EIO, "an earlier write to this file failed");
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
    if (file->journaling && file->failed)
        return fail("driver_truncate", H5E_SEEKERROR, EIO, "an earlier write to this file failed");
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
        throw OsError::from_errno(err,
                                  "cannot open \"" + file + "\" to undo an interrupted update: " + std::strerror(err));
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
    if (!file || !file->journaling) return;
    if (file->failed || file->abandoned)
        throw OsError::from_errno(EIO, "cannot commit an update after a failed write: it is rolled back");
    if (const int err = file->journal->commit(file->eof, UndoJournal::Settle::KeepEmpty)) {
        file->failed = true;
        throw OsError::from_errno(err, std::string("cannot commit an update: ") + std::strerror(err));
    }
}

int take_settle_error() noexcept { return std::exchange(last_settle_error, 0); }

void abandon(hid_t file_id) {
    if (DriverFile* file = driver_file(file_id)) file->abandoned = true;
}

}  // namespace tarnwick::bundle::h5
