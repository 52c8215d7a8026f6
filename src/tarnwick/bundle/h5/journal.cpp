#include "tarnwick/bundle/h5/journal.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/fs/env.hpp"
#include "tarnwick/bundle/h5/deferred_commits.hpp"
#include "tarnwick/bundle/h5/journal_format.hpp"
#include "tarnwick/bundle/h5/store_lock.hpp"
#include "tarnwick/bundle/h5/undo_journal.hpp"

namespace tarnwick::bundle::h5 {
namespace {

using namespace detail;
using fs::Descriptor;
using fs::read_full;
using fs::write_all;

// ---- a reader's view of the last commit ------------------------------------------------------

// A reader of a file whose journal still holds originals (its writer is between two windows,
// or died): the file's bytes below the journal's baseline, with the journal's originals laid
// over them, are the last committed state; bytes past the baseline are not committed yet.
// Nothing is written: a reader never settles a journal (a writer or `check` does).
struct CommittedView {
    Descriptor journal;
    std::uint64_t baseline = 0;
    std::vector<Record> records;  // sorted by offset, disjoint

    // 0 or errno; `found` false when no journal applies (none, cleared, another file's).
    static int load(const std::string& journal_file, int file, std::unique_ptr<CommittedView>& out) {
        auto view = std::make_unique<CommittedView>();
        if (const int err = Descriptor::open(journal_file, O_RDONLY, 0, view->journal)) return err == ENOENT ? 0 : err;
        JournalContents contents;
        if (const int err = read_journal(view->journal.get(), UINT64_MAX, contents)) return err;
        if (contents.identity == JournalContents::Identity::None) return 0;
        bool belongs = false;
        if (const int err = belongs_to(contents, view->journal.get(), file, belongs)) return err;
        if (!belongs) return 0;
        view->baseline = contents.baseline;
        view->records = std::move(contents.records);
        std::sort(view->records.begin(), view->records.end(),
                  [](const Record& a, const Record& b) { return a.offset < b.offset; });
        out = std::move(view);
        return 0;
    }

    int overlay(char* buffer, std::uint64_t size, std::uint64_t offset) const {
        const std::uint64_t end = offset + size;
        // Not committed yet: reads as past the end of the file.
        if (end > baseline) std::memset(buffer + (std::max(offset, baseline) - offset), 0, end - std::max(offset, baseline));
        auto it = std::upper_bound(records.begin(), records.end(), offset,
                                   [](std::uint64_t at, const Record& r) { return at < r.offset + r.size; });
        for (; it != records.end() && it->offset < end; ++it) {
            const std::uint64_t begin = std::max(offset, it->offset);
            const std::uint64_t stop = std::min(end, it->offset + it->size);
            if (begin >= stop) continue;
            std::size_t got = 0;
            if (const int err = read_full(journal.get(), buffer + (begin - offset), stop - begin,
                                          it->at + (begin - it->offset), got))
                return err;
            if (got < stop - begin) return EIO;
        }
        return 0;
    }
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
    std::string path;
    bool writable;
    bool journaling;  // opened for writing with content to protect
    bool dirty;       // written since the open or the last commit
    bool failed;      // a write or truncation failed: the close rolls back
    bool abandoned;   // the owner gave up on this update: the close rolls back
    bool closing;     // HDF5 closes the file with nothing written since the last commit
    bool discarding;  // HDF5 closes a file that is rolled back: its last writes are dropped
    int close_error;  // errno of a write refused while HDF5 closed a committed file
    UndoJournal* journal;
    CommittedView* view;  // a reader's, when a journal applies
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

// Writes up to this size that come when nothing was written since the last commit are compared
// with what the file holds first.
constexpr std::size_t UNCHANGED_CHECK_BYTES = 4096;

constexpr haddr_t MAX_ADDRESS = (static_cast<haddr_t>(1) << (8 * sizeof(off_t) - 1)) - 1;

// Pushes an HDF5 error that carries errno in the form the library's own drivers use, so that
// callers classify it (would block, permission denied, no space, ...) the same way.
herr_t fail(const char* function, H5E_minor_t minor, int err, const std::string& what) {
    H5Epush2(H5E_DEFAULT, __FILE__, function, __LINE__, H5E_ERR_CLS, H5E_VFL, minor,
             "%s, errno = %d, error message = '%s'", what.c_str(), err, std::strerror(err));
    return -1;
}

// Takes a writer's locks on `fd` and makes sure that `name` still names the file locked: an
// install or a removal may have put another file there between the open and the lock, and an
// update of the file taken out of the bundle would be lost. Opens again when it was replaced.
int lock_to_write(const char* name, int o_flags, Descriptor& fd, struct stat& st) {
    for (int attempt = 0;; ++attempt) {
        bool exclusive = false;
        if (const int err = lock_for_writing(fd.get(), exclusive)) return err;
        struct stat named {};
        if (::fstat(fd.get(), &st) != 0) return errno;
        if (::stat(name, &named) == 0 && named.st_dev == st.st_dev && named.st_ino == st.st_ino) return 0;
        if (attempt == 8) return EWOULDBLOCK;  // replaced again and again: someone else is at work
        if (const int err = Descriptor::open(name, o_flags & ~(O_CREAT | O_EXCL), 0666, fd)) return err;
    }
}

H5FD_t* driver_open(const char* name, unsigned flags, hid_t, haddr_t) {
    if (!name || !*name) {
        fail("driver_open", H5E_CANTOPENFILE, EINVAL, "no file name");
        return nullptr;
    }
    const bool writable = (flags & H5F_ACC_RDWR) != 0;
    int o_flags = writable ? O_RDWR : O_RDONLY;
    if (flags & H5F_ACC_CREAT) o_flags |= O_CREAT;
    if (flags & H5F_ACC_EXCL) o_flags |= O_EXCL;
    Descriptor fd;
    if (const int err = Descriptor::open(name, o_flags, 0666, fd)) {
        fail("driver_open", H5E_CANTOPENFILE, err, std::string("unable to open file: name = '") + name + "'");
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        fail("driver_open", H5E_BADFILE, errno, "unable to fstat file");
        return nullptr;
    }
    // A file whose commit waits in the group is still locked by it: finish that first.
    if (deferred_commits().holds(st.st_dev, st.st_ino)) deferred_commits().settle();
    const bool open_here = files_open_here().contains({st.st_dev, st.st_ino});
    // The lock comes before truncation and recovery: a file another process is writing is
    // neither emptied nor rolled back under it, nor read half-rewritten. It is taken whatever
    // HDF5's own file-locking setting says (HDF5_USE_FILE_LOCKING=FALSE); store_lock.hpp
    // says which locks a writer and a reader hold.
    if (!open_here && writable) {
        if (const int err = lock_to_write(name, o_flags, fd, st)) {
            fail("driver_open", H5E_CANTLOCKFILE, err, "unable to lock file");
            return nullptr;
        }
    } else if (!open_here) {
        if (const int err = lock_for_reading(fd.get())) {
            fail("driver_open", H5E_CANTLOCKFILE, err, "unable to lock file");
            return nullptr;
        }
    }
    std::unique_ptr<CommittedView> view;
    if (writable && !open_here) {
        int err = 0;
        if (flags & H5F_ACC_TRUNC) {
            // Made anew: the old content goes, and with it whatever a stale journal would
            // restore (this process holds the lock, so no writer owns that journal).
            err = run_in_window(fd.get(), [&] {
                int cut = fs::env().truncate(fd.get(), 0);
                if (!cut) cut = fs::env().unlink(journal_path(name));
                return cut == ENOENT ? 0 : cut;
            });
        } else if (::access(journal_path(name).c_str(), F_OK) == 0) {
            // Putting back what a dead writer changed rewrites stored bytes: in a window.
            Settled settled;
            err = run_in_window(fd.get(), [&] { return settle_stale_journal(journal_path(name), fd.get(), settled); });
            if (!err && settled == Settled::NewerFormat) {
                fail("driver_open", H5E_CANTOPENFILE, EPROTONOSUPPORT, newer_journal_message(name));
                return nullptr;
            }
        }
        if (err) {
            fail("driver_open", H5E_CANTOPENFILE, err,
                 flags & H5F_ACC_TRUNC ? "unable to truncate file" : "unable to roll back an interrupted update");
            return nullptr;
        }
    } else if (!open_here) {
        if (const int err = CommittedView::load(journal_path(name), fd.get(), view)) {
            fail("driver_open", H5E_CANTOPENFILE, err, "unable to read the undo journal");
            return nullptr;
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
    file->path = name;
    file->writable = writable && !open_here;
    file->journaling = file->writable && st.st_size > 0;
    file->journal = new UndoJournal(journal_path(name), static_cast<std::uint64_t>(st.st_size));
    if (view) file->eof = std::min<haddr_t>(file->eof, view->baseline);
    file->view = view.release();
    return &file->pub;
}

herr_t driver_close(H5FD_t* h5fd) {
    DriverFile* file = of(h5fd);
    int err = 0;
    const auto key = std::pair(file->device, file->inode);
    // Abandoned with nothing written since its last commit, there is nothing to undo: a commit
    // that waits for its group must not be rolled back with it.
    const bool committed = !file->failed && (!file->dirty || file->closing) && !(file->abandoned && file->dirty);
    if (file->journaling && file->journal->commit_deferred() && committed) {
        // Committed, its durable steps waiting for the group: the group keeps the file open
        // and locked until they are done. What HDF5 wrote as it closed joins the commit.
        file->journal->commit_later(file->eof);
        if (--files_open_here()[key] == 0) files_open_here().erase(key);
        deferred_commits().add(file->path, file->fd, file->device, file->inode,
                               std::unique_ptr<UndoJournal>(file->journal));
        delete file;
        last_settle_error = 0;
        return 0;
    }
    if (file->journaling) {
        // Only a commit keeps an update: a close after writes that nobody committed (an
        // exception between two HDF5 calls, a failed write, abandon()) undoes them. HDF5's own
        // writes as it closes a committed file are committed with it.
        if (committed && file->dirty) err = file->journal->commit(file->fd, file->eof);
        err = !committed || err ? file->journal->roll_back(file->fd) : file->journal->remove();
    }
    if (--files_open_here()[key] == 0) files_open_here().erase(key);
    static_cast<void>(fs::env().close(file->fd));  // releases the lock, after the journal is settled
    const int file_close_error = file->close_error;
    delete file->journal;
    delete file->view;
    delete file;
    // A journal that could not be settled stays; the next writer settles it.
    last_settle_error = err ? err : file_close_error;
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
    if (const int err = read_full(file->fd, buffer, size, address, got))
        return fail("driver_read", H5E_READERROR, err, "file read failed");
    // Past the end of the file reads as zeros, as with HDF5's own drivers.
    if (got < size) std::memset(static_cast<char*>(buffer) + got, 0, size - got);
    int err = 0;
    if (file->journaling) err = file->journal->overlay(static_cast<char*>(buffer), size, address);
    if (file->view) err = file->view->overlay(static_cast<char*>(buffer), size, address);
    if (err) return fail("driver_read", H5E_READERROR, err, "file read failed (or its undo journal's)");
    return 0;
}

herr_t driver_write(H5FD_t* h5fd, H5FD_mem_t, hid_t, haddr_t address, size_t size, const void* buffer) {
    DriverFile* file = of(h5fd);
    if (address == HADDR_UNDEF || address > MAX_ADDRESS || size > MAX_ADDRESS - address)
        return fail("driver_write", H5E_OVERFLOW, EFBIG, "address overflow");
    // After a failed write the update is lost anyway (the close rolls it back, a new file is
    // discarded): nothing more goes into the file or the journal. The writes are dropped, not
    // refused, so that HDF5 can still close the datasets and the file it failed in (a refused
    // flush leaves them half open in the library).
    if (file->discarding || file->failed) return 0;
    // HDF5 writes the superblock again when it closes a file, unchanged: after a commit that
    // must not start an update of its own (a journal, a rollback, syncs).
    if (file->journaling && !file->dirty && size <= UNCHANGED_CHECK_BYTES &&
        file->journal->holds(file->fd, static_cast<const char*>(buffer), size, address))
        return 0;
    file->dirty = true;
    const bool closing = file->closing && file->journal->commit_deferred();
    const int err = file->journaling
                        ? file->journal->write(file->fd, static_cast<const char*>(buffer), size, address, closing)
                        : write_all(file->fd, buffer, size, address);
    if (err) {
        file->failed = true;
        // Refused while HDF5 closes the file, the close itself would fail and leave the file half
        // open in the library for good. The write is dropped instead, the close rolls back what
        // was not made durable, and the owner hears of it from File::close.
        if (file->closing) {
            file->close_error = err;
            return 0;
        }
        return fail("driver_write", H5E_WRITEERROR, err, "file write failed (or its undo journal's)");
    }
    file->eof = std::max<haddr_t>(file->eof, address + size);
    return 0;
}

herr_t driver_truncate(H5FD_t* h5fd, hid_t, hbool_t) {
    DriverFile* file = of(h5fd);
    if (file->eoa == file->eof || file->discarding || file->failed) return 0;
    file->dirty = true;
    const bool closing = file->closing && file->journal->commit_deferred();
    const int err = file->journaling ? file->journal->truncate(file->fd, file->eoa, file->eof, closing)
                                     : fs::env().truncate(file->fd, file->eoa);
    if (err) {
        file->failed = true;
        return fail("driver_truncate", H5E_SEEKERROR, err, "unable to extend or truncate file");
    }
    file->eof = file->eoa;
    return 0;
}

// The open took the locks this file needs and its close lets them go: HDF5's own request (an
// exclusive flock for a writer) would keep readers out for the whole update.
herr_t driver_lock(H5FD_t*, hbool_t) { return 0; }
herr_t driver_unlock(H5FD_t*) { return 0; }

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
    Descriptor fd;
    if (const int err = Descriptor::open(file, O_RDWR, 0, fd)) {
        // A journal without its file protects nothing; it goes under the folder's name alone,
        // so no writer can hold it (a writer holds its file open).
        if (err == ENOENT) return fs::env().unlink(journal) == 0;
        throw OsError::from_errno(err,
                                  "cannot open \"" + file + "\" to undo an interrupted update: " + std::strerror(err));
    }
    struct stat st {};
    if (const int err = lock_to_write(file.c_str(), O_RDWR, fd, st))
        throw OsError::from_errno(err, "\"" + file + "\" is held by another process: " + std::strerror(err));
    Settled settled;
    if (const int err = run_in_window(fd.get(), [&] { return settle_stale_journal(journal, fd.get(), settled); }))
        throw OsError::from_errno(err, "cannot undo the interrupted update of \"" + file + "\": " + std::strerror(err));
    if (settled == Settled::NewerFormat) throw OsError::from_errno(EPROTONOSUPPORT, newer_journal_message(file));
    return true;
}

std::string newer_journal_message(const std::string& file) {
    return "the undo journal \"" + journal_path(file) +
           "\" was left by a stopped update of a newer version of tarnwick-bundle; this version can neither "
           "apply it nor write the file: run that version's check or update of the file (or remove the journal "
           "to give up its rollback)";
}

fs::Descriptor hold_for_writing(const std::string& path) {
    // Open for writing where allowed, so that the writers' byte lock (and not the exclusive
    // flock, which keeps readers out too) can be taken; a read-only file falls back to that.
    Descriptor fd;
    int o_flags = O_RDWR | O_NONBLOCK;
    int err = Descriptor::open(path, o_flags, 0, fd);
    if (err == EACCES || err == EROFS || err == EPERM) err = Descriptor::open(path, o_flags = O_RDONLY | O_NONBLOCK, 0, fd);
    if (err) fs::throw_errno(err, "opening", path);
    struct stat st {};
    if (const int err = lock_to_write(path.c_str(), o_flags, fd, st))
        throw OsError::from_errno(err, "\"" + path + "\" is held by another process: " + std::strerror(err));
    return fd;
}

bool held_for_writing(const std::string& path) {
    Descriptor fd;
    if (Descriptor::open(path, O_RDONLY | O_NONBLOCK, 0, fd)) return false;
    struct stat st {};
    // This process's own open files are not another process's.
    if (::fstat(fd.get(), &st) == 0 && files_open_here().contains({st.st_dev, st.st_ino})) return false;
    return detail::held_for_writing(fd.get());
}

// ---- reading the committed state without HDF5 ---------------------------------------------------

struct CommittedFile::State {
    Descriptor fd;
    std::unique_ptr<CommittedView> view;
    std::uint64_t size = 0;
    std::string path;
};

// The steps of driver_open() for a reader, in its order: a waiting group commit settled, the
// reader's lock, then the journal of a writer that died.
std::optional<CommittedFile> CommittedFile::open(const std::string& path) {
    const auto failed = [&](int err, const char* what) {
        return OsError::from_errno(err, "unable to open file \"" + path + "\": " + what + ", errno = " +
                                            std::to_string(err) + ", error message = '" + std::strerror(err) + "'");
    };
    auto state = std::make_unique<State>();
    state->path = path;
    if (const int err = Descriptor::open(path, O_RDONLY, 0, state->fd)) throw failed(err, "unable to open file");
    struct stat st {};
    if (::fstat(state->fd.get(), &st) != 0) throw failed(errno, "unable to fstat file");
    if (deferred_commits().holds(st.st_dev, st.st_ino)) deferred_commits().settle();
    if (files_open_here().contains({st.st_dev, st.st_ino})) return std::nullopt;
    if (const int err = lock_for_reading(state->fd.get())) throw failed(err, "unable to lock file");
    if (const int err = CommittedView::load(journal_path(path), state->fd.get(), state->view))
        throw failed(err, "unable to read the undo journal");
    if (::fstat(state->fd.get(), &st) != 0) throw failed(errno, "unable to fstat file");
    state->size = static_cast<std::uint64_t>(st.st_size);
    if (state->view) state->size = std::min(state->size, state->view->baseline);
    return CommittedFile(std::move(state));
}

CommittedFile::CommittedFile(std::unique_ptr<State> state) : state_(std::move(state)) {}
CommittedFile::CommittedFile(CommittedFile&&) noexcept = default;
CommittedFile& CommittedFile::operator=(CommittedFile&&) noexcept = default;
CommittedFile::~CommittedFile() = default;  // closing the descriptor releases the lock

void CommittedFile::read(std::uint64_t offset, std::size_t size, void* out) const {
    auto* buffer = static_cast<char*>(out);
    std::size_t got = 0;
    int err = offset > MAX_ADDRESS || size > MAX_ADDRESS - offset ? EFBIG : 0;
    if (!err) err = read_full(state_->fd.get(), buffer, size, offset, got);
    if (!err && got < size) std::memset(buffer + got, 0, size - got);
    if (!err && state_->view) err = state_->view->overlay(buffer, size, offset);
    if (err)
        throw OsError::from_errno(err, "reading \"" + state_->path + "\" failed: " + std::strerror(err));
}

std::uint64_t CommittedFile::size() const { return state_->size; }
const std::string& CommittedFile::path() const { return state_->path; }

void commit(hid_t file_id) {
    DriverFile* file = driver_file(file_id);
    if (!file || !file->writable) return;
    if (file->failed || file->abandoned)
        throw OsError::from_errno(EIO, "cannot commit an update after a failed write: it is rolled back");
    int err = 0;
    if (file->journaling && deferred_commits().enabled) {
        file->journal->commit_later(file->eof);
    } else if (file->journaling) {
        err = file->journal->commit(file->fd, file->eof);
    } else if (file->dirty) {
        // A new file: it must be whole on disk before anything publishes it.
        err = fs::env().sync(file->fd, fs::Sync::Data);
    }
    if (err) {
        file->failed = true;
        const std::string why =
            err == ESTALE ? "its undo journal was removed or replaced by another process" : std::strerror(err);
        throw OsError::from_errno(err, "cannot commit an update: " + why);
    }
    file->dirty = false;
}

herr_t close_file(hid_t file_id) {
    if (DriverFile* file = driver_file(file_id); file && file->writable) {
        file->closing = !file->dirty && !file->failed && !file->abandoned;
        // What HDF5 writes as it closes a file that is rolled back anyway is dropped: a write
        // refused there would make the close fail and leave the file half open in HDF5.
        file->discarding = file->journaling && (file->failed || file->abandoned);
    }
    return H5Fclose(file_id);
}

void defer_commits(bool on, std::function<void(const std::string& path, int err, std::size_t owner)> on_failure) {
    DeferredCommits& group = deferred_commits();
    if (!on) group.settle();
    group.enabled = on;
    group.on_failure = std::move(on_failure);
}

void set_deferred_commit_owner(std::size_t owner) { deferred_commits().owner = owner; }

bool settle_deferred_commits(bool only_when_due) noexcept {
    DeferredCommits& group = deferred_commits();
    if (!only_when_due || group.due()) group.settle();
    return group.empty();
}

namespace testing {
std::size_t set_deferred_group_limit(std::size_t files) { return std::exchange(deferred_commits().limit, files); }
}  // namespace testing

int take_settle_error() noexcept { return std::exchange(last_settle_error, 0); }

void abandon(hid_t file_id) {
    if (DriverFile* file = driver_file(file_id)) file->abandoned = true;
}

}  // namespace tarnwick::bundle::h5
