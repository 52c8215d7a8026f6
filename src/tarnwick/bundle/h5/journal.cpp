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
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/fs/env.hpp"

namespace tarnwick::bundle::h5 {
namespace {

using fs::Descriptor;
using fs::read_full;
using fs::write_all;

// Magic, the baseline, the update's generation and the digest of the file it belongs to.
// The generation numbers the updates of one open file, which share one journal: the records of
// an earlier update that still lie past the current one's end are not its own. The digest
// identifies the file by its content at the baseline (see file_digest), so that the journal
// follows its file through copies and moves and is never applied to another file of its name.
constexpr char MAGIC[8] = {'T', 'W', 'U', 'N', 'D', 'O', '0', '4'};
struct Header {
    char magic[8];
    std::uint64_t baseline;
    std::uint64_t generation;
    std::uint64_t digest;
};
// Journals of earlier versions named their file by device and inode ("...03" with a
// generation, "...02" without); one left by a killed update of such a version is still rolled
// back when the identity holds.
struct HeaderByInode {
    char magic[8];
    std::uint64_t baseline;
    std::uint64_t device;
    std::uint64_t inode;
    std::uint64_t generation;
};
constexpr char MAGIC_BY_INODE[8] = {'T', 'W', 'U', 'N', 'D', 'O', '0', '3'};
constexpr char MAGIC_WITHOUT_GENERATION[8] = {'T', 'W', 'U', 'N', 'D', 'O', '0', '2'};
constexpr std::size_t HEADER_WITHOUT_GENERATION_BYTES = offsetof(HeaderByInode, generation);
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
// Overwrites of stored bytes wait in memory until the journal is on disk (one sync for all of
// them); past this much they go out early, after a sync of the journal so far.
constexpr std::size_t MAX_PENDING_BYTES = 64 << 20;
// The digest covers the first and the last this many bytes below the baseline: the superblock
// (which holds the end-of-file address), the root group and the newest chunks and indexes. Two
// files of one instrument that differ there are different files; reading them costs two
// cached reads per update.
constexpr std::uint64_t DIGEST_WINDOW = 64 << 10;

std::uint32_t record_crc(std::uint32_t generation, std::uint64_t offset, std::uint64_t size, const char* data) {
    uLong crc = 0L;
    if (generation != 0) crc = crc32(crc, reinterpret_cast<const Bytef*>(&generation), sizeof generation);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(&offset), sizeof offset);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(&size), sizeof size);
    return static_cast<std::uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

// The byte ranges below `baseline` that the digest covers (one when they would overlap).
std::vector<std::pair<std::uint64_t, std::uint64_t>> digest_windows(std::uint64_t baseline) {
    if (baseline <= 2 * DIGEST_WINDOW) return {{0, baseline}};
    return {{0, DIGEST_WINDOW}, {baseline - DIGEST_WINDOW, baseline}};
}

std::uint64_t digest_of(std::uint64_t baseline, const std::vector<std::vector<char>>& windows) {
    uLong head = crc32(0L, reinterpret_cast<const Bytef*>(&baseline), sizeof baseline);
    uLong tail = adler32(1L, reinterpret_cast<const Bytef*>(&baseline), sizeof baseline);
    for (const std::vector<char>& window : windows) {
        head = crc32(head, reinterpret_cast<const Bytef*>(window.data()), static_cast<uInt>(window.size()));
        tail = adler32(tail, reinterpret_cast<const Bytef*>(window.data()), static_cast<uInt>(window.size()));
    }
    return (static_cast<std::uint64_t>(head) << 32) | static_cast<std::uint32_t>(tail);
}

// The digest of `file` as it is now, taken as its content at `baseline`. 0 or errno.
int file_digest(int file, std::uint64_t baseline, std::uint64_t& digest) {
    std::vector<std::vector<char>> windows;
    for (const auto& [begin, end] : digest_windows(baseline)) {
        std::vector<char>& window = windows.emplace_back(end - begin);
        std::size_t got = 0;
        if (const int err = read_full(file, window.data(), window.size(), begin, got)) return err;
        if (got < window.size()) return EIO;  // below the baseline every byte exists
    }
    digest = digest_of(baseline, windows);
    return 0;
}

struct Record {
    std::uint64_t offset;
    std::uint64_t size;
    std::uint64_t at;  // where its bytes lie in the journal
};

// A journal as found on disk: which file it protects and the originals it holds.
struct JournalContents {
    enum class Identity { None, Digest, Inode } identity = Identity::None;
    std::uint64_t baseline = 0;
    std::uint64_t digest = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::vector<Record> records;
};

// Reads the header and every whole record of the journal open at `journal` up to `limit`
// (the first record cut short, garbled, or of another update ends it). 0 or errno.
int read_journal(int journal, std::uint64_t limit, JournalContents& out) {
    out = {};
    char raw[sizeof(HeaderByInode)] = {};
    std::size_t got = 0;
    if (const int err = read_full(journal, raw, sizeof raw, 0, got)) return err;
    std::uint32_t generation = 0;
    std::uint64_t at = 0;
    if (got >= HEADER_BYTES && std::memcmp(raw, MAGIC, sizeof MAGIC) == 0) {
        Header header;
        std::memcpy(&header, raw, sizeof header);
        out.identity = JournalContents::Identity::Digest;
        out.baseline = header.baseline;
        out.digest = header.digest;
        generation = static_cast<std::uint32_t>(header.generation);
        at = HEADER_BYTES;
    } else if (got >= HEADER_WITHOUT_GENERATION_BYTES && (std::memcmp(raw, MAGIC_BY_INODE, sizeof MAGIC) == 0 ||
                                                          std::memcmp(raw, MAGIC_WITHOUT_GENERATION, 8) == 0)) {
        HeaderByInode header{};
        std::memcpy(&header, raw, std::min(got, sizeof header));
        const bool with_generation = std::memcmp(raw, MAGIC_BY_INODE, sizeof MAGIC) == 0;
        if (with_generation && got < sizeof header) return 0;  // header cut short: recorded nothing
        out.identity = JournalContents::Identity::Inode;
        out.baseline = header.baseline;
        out.device = header.device;
        out.inode = header.inode;
        generation = with_generation ? static_cast<std::uint32_t>(header.generation) : 0;
        at = with_generation ? sizeof(HeaderByInode) : HEADER_WITHOUT_GENERATION_BYTES;
    } else {
        // No magic: never started, or committed. It restores nothing.
        return 0;
    }
    std::vector<char> buffer;
    while (at + RECORD_HEADER_BYTES <= limit) {
        RecordHeader record{};
        if (const int err = read_full(journal, &record, sizeof record, at, got)) return err;
        if (got < sizeof record) break;  // the end, or a record cut short
        if (record.size > MAX_RECORD_BYTES || record.offset > out.baseline ||
            record.size > out.baseline - record.offset || record.generation != generation)
            break;
        buffer.resize(record.size);
        if (const int err = read_full(journal, buffer.data(), record.size, at + sizeof record, got)) return err;
        // Cut short or garbled: its write to the file never happened, nor any after it.
        if (got < record.size || record_crc(generation, record.offset, record.size, buffer.data()) != record.crc) break;
        out.records.push_back({record.offset, record.size, at + sizeof record});
        at += sizeof record + record.size;
    }
    return 0;
}

// True when `contents` was made for `file`: the file, with the journal's originals put back
// (in thought), holds at the digest's windows what the file held when the journal began.
// 0 or errno.
int belongs_to(const JournalContents& contents, int journal, int file, bool& belongs) {
    belongs = false;
    if (contents.identity == JournalContents::Identity::Inode) {
        struct stat st {};
        if (::fstat(file, &st) != 0) return errno;
        belongs = contents.device == static_cast<std::uint64_t>(st.st_dev) &&
                  contents.inode == static_cast<std::uint64_t>(st.st_ino);
        return 0;
    }
    if (contents.identity != JournalContents::Identity::Digest) return 0;
    const auto ranges = digest_windows(contents.baseline);
    std::vector<std::vector<char>> windows;
    std::vector<std::vector<bool>> known;  // per byte: held by the file or the journal
    for (const auto& [begin, end] : ranges) {
        std::vector<char>& window = windows.emplace_back(end - begin);
        std::size_t got = 0;
        if (const int err = read_full(file, window.data(), window.size(), begin, got)) return err;
        std::vector<bool>& held = known.emplace_back(window.size(), false);
        std::fill(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(got), true);
    }
    for (const Record& record : contents.records)
        for (std::size_t w = 0; w < ranges.size(); ++w) {
            const std::uint64_t begin = std::max(record.offset, ranges[w].first);
            const std::uint64_t end = std::min(record.offset + record.size, ranges[w].second);
            if (begin >= end) continue;
            std::size_t got = 0;
            char* into = windows[w].data() + (begin - ranges[w].first);
            if (const int err = read_full(journal, into, end - begin, record.at + (begin - record.offset), got))
                return err;
            if (got < end - begin) return EIO;
            std::fill(known[w].begin() + static_cast<std::ptrdiff_t>(begin - ranges[w].first),
                      known[w].begin() + static_cast<std::ptrdiff_t>(end - ranges[w].first), true);
        }
    // A byte that neither the file nor the journal holds: a shorter file, not this one.
    for (const std::vector<bool>& window : known)
        if (std::find(window.begin(), window.end(), false) != window.end()) return 0;
    belongs = digest_of(contents.baseline, windows) == contents.digest;
    return 0;
}

// Writes the originals back, cuts the file to the baseline and syncs it: the file is then as
// it was when the journal began, also after a power cut. 0 or errno.
int restore(const JournalContents& contents, int journal, int file) {
    std::vector<char> buffer;
    for (const Record& record : contents.records) {
        buffer.resize(record.size);
        std::size_t got = 0;
        if (const int err = read_full(journal, buffer.data(), record.size, record.at, got)) return err;
        if (got < record.size) return EIO;
        if (const int err = write_all(file, buffer.data(), record.size, record.offset)) return err;
    }
    if (const int err = fs::env().truncate(file, contents.baseline)) return err;
    return fs::env().sync(file, fs::Sync::Data);
}

// True when `path` still names the journal open at `journal`.
bool still_named(const std::string& path, int journal) {
    struct stat named {
    }, held{};
    return ::stat(path.c_str(), &named) == 0 && ::fstat(journal, &held) == 0 && named.st_dev == held.st_dev &&
           named.st_ino == held.st_ino;
}

// The undo journal of one open file: where it is, the baseline it protects, which ranges below
// the baseline already have their originals in it, and the overwrites of stored bytes that
// wait for the journal to reach the disk.
//
// The order that makes it a rollback journal that survives power cuts (each step waits for the
// sync before it):
//   1. the journal's header and the originals of every range about to be overwritten are
//      written, and the journal (with its folder, when it was just created) is synced;
//   2. the overwrites go into the file (writes past the baseline went straight in: a rollback
//      cuts them off), and the file is synced;
//   3. the commit point: the journal's magic is cleared. It is synced when the file closes (its
//      last commit), before the journal is deleted; between two commits of one open file a
//      lost clearing only rolls back to the commit before, which step 1 of the next update
//      then makes impossible.
class UndoJournal {
public:
    UndoJournal(std::string path, std::uint64_t baseline) : path_(std::move(path)), baseline_(baseline) {}

    // An update is being journaled: the journal holds this update's header (and records).
    bool started() const { return length_ > 0; }
    std::uint64_t baseline() const { return baseline_; }

    // Writes `data` at `offset` of `file`: stored bytes (below the baseline) have their
    // originals journaled and wait in memory; the rest goes straight into the file.
    // `closing`: HDF5's own writes as it closes the file right after a commit, which belong to
    // the committed update (a waiting commit takes them in instead of being made durable first).
    int write(int file, const char* data, std::uint64_t size, std::uint64_t offset, bool closing = false) {
        if (!closing)
            if (const int err = realize_deferred_commit(file)) return err;
        if (!started())
            if (const int err = start(file)) return err;
        const std::uint64_t end = offset + size;
        if (offset < baseline_) {
            const std::uint64_t stored_end = std::min(end, baseline_);
            if (const int err = save(file, offset, stored_end - offset)) return err;
            hold(offset, data, stored_end - offset);
        }
        if (end > baseline_) {
            const std::uint64_t from = std::max(offset, baseline_);
            if (const int err = write_all(file, data + (from - offset), end - from, from)) return err;
        }
        if (pending_bytes_ > MAX_PENDING_BYTES) return write_through(file);
        return 0;
    }

    // True when `file` (with the overwrites waiting in memory) holds `data` at `offset`.
    bool holds(int file, const char* data, std::uint64_t size, std::uint64_t offset) const {
        std::vector<char> now(size);
        std::size_t got = 0;
        if (read_full(file, now.data(), size, offset, got) || got < size) return false;
        overlay(now.data(), size, offset);
        return std::memcmp(now.data(), data, size) == 0;
    }

    // Lays the overwrites that wait in memory over `size` bytes read at `offset`.
    void overlay(char* buffer, std::uint64_t size, std::uint64_t offset) const {
        const std::uint64_t end = offset + size;
        auto it = pending_.upper_bound(offset);
        if (it != pending_.begin()) --it;
        for (; it != pending_.end() && it->first < end; ++it) {
            const std::uint64_t begin = std::max(offset, it->first);
            const std::uint64_t stop = std::min(end, it->first + it->second.size());
            if (begin < stop)
                std::memcpy(buffer + (begin - offset), it->second.data() + (begin - it->first), stop - begin);
        }
    }

    // Cuts `file` to `size`. Stored bytes cut away are journaled first, and the cut waits for
    // the journal like any overwrite.
    int truncate(int file, std::uint64_t size, std::uint64_t eof, bool closing = false) {
        if (!closing)
            if (const int err = realize_deferred_commit(file)) return err;
        if (size < baseline_) {
            if (!started())
                if (const int err = start(file)) return err;
            if (const int err = save(file, size, std::min(eof, baseline_) - size)) return err;
            if (const int err = write_through(file)) return err;
        }
        return fs::env().truncate(file, size);
    }

    // Makes the file's current content (`new_baseline` bytes) the state a rollback returns to,
    // on disk. Until it succeeded, nothing of the journal's state is let go.
    int commit(int file, std::uint64_t new_baseline) {
        if (started()) {
            if (const int err = write_through(file)) return err;
            if (const int err = fs::env().sync(file, fs::Sync::Data)) return err;
            if (const int err = clear_commit_mark()) return err;
            clearing_unsynced_ = true;
        }
        baseline_ = new_baseline;
        saved_.clear();
        return 0;
    }

    // A commit whose durable steps wait for a group of files (DeferredCommits): the file's
    // current content (`new_baseline` bytes) is committed once those steps are done. Until then
    // a kill or power cut rolls the file back to the commit before.
    void commit_later(std::uint64_t new_baseline) {
        deferred_baseline_ = new_baseline;
        deferred_ = true;
    }
    bool commit_deferred() const { return deferred_; }

    // The durable steps of a deferred commit, for a group whose journals the file system sync
    // made durable (step 1): the waiting overwrites go into the file; the caller syncs again.
    int write_pending(int file) {
        journal_unsynced_ = folder_unsynced_ = false;
        return write_through(file);
    }
    // ...then, once the files are synced, the commit point (the clearing is made durable by
    // the caller's next sync) and the journal's removal.
    int finish_deferred_commit() {
        deferred_ = false;
        if (started())
            if (const int err = clear_commit_mark()) return err;
        baseline_ = deferred_baseline_;
        saved_.clear();
        return 0;
    }
    int remove_unsynced() {
        clearing_unsynced_ = false;
        return remove();
    }

    // The file closes after its last commit: the cleared journal goes (synced first, so that a
    // power cut cannot bring back the update's originals).
    int remove() {
        if (!fd_.valid()) return 0;
        if (clearing_unsynced_)
            if (const int err = fs::env().sync(fd_.get(), fs::Sync::Data)) return err;
        clearing_unsynced_ = false;
        fd_.reset();
        const int err = fs::env().unlink(path_);
        return err == ENOENT ? 0 : err;
    }

    // Undoes everything since the last commit, from the journal this writer holds open (even
    // if its name was taken away meanwhile). Returns ESTALE when the file was restored but the
    // journal had vanished or been replaced under the writer.
    int roll_back(int file) {
        deferred_ = false;
        pending_.clear();
        pending_bytes_ = 0;
        if (!fd_.valid()) return fs::env().truncate(file, baseline_);
        const bool named = still_named(path_, fd_.get());
        const bool had_update = started();
        if (had_update) {
            JournalContents contents;
            if (const int err = read_journal(fd_.get(), length_, contents)) return err;
            if (contents.identity != JournalContents::Identity::Digest || contents.baseline != baseline_) return EIO;
            if (const int err = restore(contents, fd_.get(), file)) return err;
        } else if (const int err = fs::env().truncate(file, baseline_)) {
            return err;  // only writes past the baseline happened: they are cut off
        }
        length_ = 0;
        saved_.clear();
        clearing_unsynced_ = false;
        fd_.reset();
        if (!named) return had_update ? ESTALE : 0;
        const int err = fs::env().unlink(path_);
        return err == ENOENT ? 0 : err;
    }

private:
    // The commit point: the journal's magic cleared, so that it restores nothing. A journal
    // that is no longer the one at its name (removed or replaced by another process) is ESTALE.
    int clear_commit_mark() {
        if (!still_named(path_, fd_.get())) return ESTALE;
        const char cleared[sizeof MAGIC] = {};
        if (const int err = write_all(fd_.get(), cleared, sizeof cleared, 0)) return err;
        length_ = 0;
        return 0;
    }

    // More writes after a deferred commit: it is made durable now, as an immediate one.
    int realize_deferred_commit(int file) {
        if (!deferred_) return 0;
        deferred_ = false;
        return commit(file, deferred_baseline_);
    }

    // Writes this update's header, with a new generation, at the start of the journal: created
    // now, or kept open since the last commit. A kept journal is overwritten from its start,
    // not emptied (emptying it costs more than a whole daily append): records of the earlier
    // update that lie past this one's end carry the earlier generation and are not read.
    int start(int file) {
        if (!fd_.valid()) {
            if (const int err = Descriptor::open(path_, O_RDWR | O_CREAT | O_TRUNC, 0644, fd_)) return err;
            folder_unsynced_ = true;
        }
        Header header{};
        std::memcpy(header.magic, MAGIC, sizeof MAGIC);
        header.baseline = baseline_;
        // Never 0, which marks records without a generation.
        if (++generation_ == 0) ++generation_;
        header.generation = generation_;
        int err = file_digest(file, baseline_, header.digest);
        if (!err) err = write_all(fd_.get(), &header, sizeof header, 0);
        if (err) {
            // No update may go ahead without its header; a journal without one restores nothing.
            fd_.reset();
            fs::env().unlink(path_);
            return err;
        }
        length_ = HEADER_BYTES;
        journal_unsynced_ = true;
        clearing_unsynced_ = false;
        return 0;
    }

    // Journals the originals of [offset, offset + size) (below the baseline) that are not in
    // the journal yet; `file` still holds them.
    int save(int file, std::uint64_t offset, std::uint64_t size) {
        const std::uint64_t end = offset + size;
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

    int append_original(int file, std::uint64_t offset, std::uint64_t size) {
        buffer_.resize(RECORD_HEADER_BYTES + size);
        std::size_t got = 0;
        if (const int err = read_full(file, buffer_.data() + RECORD_HEADER_BYTES, size, offset, got)) return err;
        // A range not saved yet has no overwrite waiting either: the file holds its originals.
        // Below the baseline every byte exists.
        if (got < size) return EIO;
        const RecordHeader head{
            offset, size, record_crc(generation_, offset, size, buffer_.data() + RECORD_HEADER_BYTES), generation_};
        std::memcpy(buffer_.data(), &head, sizeof head);
        // A record written in part stands at the end and fails its checksum: nothing is read
        // past it, and the next record overwrites it.
        if (const int err = write_all(fd_.get(), buffer_.data(), buffer_.size(), length_)) return err;
        length_ += buffer_.size();
        journal_unsynced_ = true;
        return 0;
    }

    // Keeps an overwrite of stored bytes in memory, merged with those it touches.
    void hold(std::uint64_t offset, const char* data, std::uint64_t size) {
        std::uint64_t begin = offset, end = offset + size;
        auto first = pending_.upper_bound(begin);
        if (first != pending_.begin() && std::prev(first)->first + std::prev(first)->second.size() >= begin) --first;
        auto last = first;
        while (last != pending_.end() && last->first <= end) {
            begin = std::min(begin, last->first);
            end = std::max<std::uint64_t>(end, last->first + last->second.size());
            ++last;
        }
        std::vector<char> merged(end - begin);
        for (auto it = first; it != last; ++it) {
            std::memcpy(merged.data() + (it->first - begin), it->second.data(), it->second.size());
            pending_bytes_ -= it->second.size();
        }
        std::memcpy(merged.data() + (offset - begin), data, size);
        pending_.erase(first, last);
        pending_bytes_ += merged.size();
        pending_.emplace(begin, std::move(merged));
    }

    // Syncs the journal (and its folder once), then writes the waiting overwrites into the file.
    int write_through(int file) {
        if (journal_unsynced_) {
            if (const int err = fs::env().sync(fd_.get(), fs::Sync::Data)) return err;
            journal_unsynced_ = false;
        }
        if (folder_unsynced_) {
            if (const int err = fs::sync_parent_dir(path_)) return err;
            folder_unsynced_ = false;
        }
        for (const auto& [offset, bytes] : pending_)
            if (const int err = write_all(file, bytes.data(), bytes.size(), offset)) return err;
        pending_.clear();
        pending_bytes_ = 0;
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

    std::string path_;
    std::uint64_t baseline_;
    Descriptor fd_;
    std::uint64_t length_ = 0;        // bytes of whole records (and the header)
    std::uint32_t generation_ = 0;    // of the update being journaled
    bool journal_unsynced_ = false;   // records written since the journal's last sync
    bool folder_unsynced_ = false;    // created, its name not yet synced
    bool clearing_unsynced_ = false;  // committed, the cleared magic not yet synced
    bool deferred_ = false;           // committed, its durable steps not yet done
    std::uint64_t deferred_baseline_ = 0;
    std::map<std::uint64_t, std::uint64_t> saved_;        // begin -> end, disjoint, not adjacent
    std::map<std::uint64_t, std::vector<char>> pending_;  // overwrites of stored bytes
    std::size_t pending_bytes_ = 0;
    std::vector<char> buffer_;
};

// What a stale journal beside a file (its writer gone) comes to.
enum class Settled { NoJournal, RolledBack, NotItsFile };

// Settles the stale journal at `journal_file` for `file`, which the caller holds locked for
// writing: rolls the file back when the journal was made for it, else deletes the journal.
int settle_stale_journal(const std::string& journal_file, int file, Settled& outcome) {
    outcome = Settled::NoJournal;
    Descriptor journal;
    if (const int err = Descriptor::open(journal_file, O_RDONLY, 0, journal)) return err == ENOENT ? 0 : err;
    JournalContents contents;
    if (const int err = read_journal(journal.get(), UINT64_MAX, contents)) return err;
    bool belongs = false;
    if (const int err = belongs_to(contents, journal.get(), file, belongs)) return err;
    if (belongs) {
        if (const int err = restore(contents, journal.get(), file)) return err;
        outcome = Settled::RolledBack;
    } else if (contents.identity != JournalContents::Identity::None) {
        outcome = Settled::NotItsFile;
    }
    journal.reset();
    // Whether it restored nothing (never started, or committed), was made for another file of
    // this name, or was just applied: it has done its work. A lost unlink repeats harmlessly.
    const int err = fs::env().unlink(journal_file);
    return err == ENOENT ? 0 : err;
}

// The outcome of the last close of a journaled file on this thread: HDF5 forgets a file whose
// driver close reports an error only in part (its id stays, and ends the process badly at
// exit), so the driver's close always succeeds and leaves its error here for File::close.
thread_local int last_settle_error = 0;

// Commits made durable in groups: a worker that updates file after file would otherwise wait
// for three syncs a file. A file committed while deferral is on keeps its overwrites of stored
// bytes in memory and, at its close, stays open and locked here; once enough files wait (or
// when the worker ends), one sync of the file system makes all their journals durable, the
// overwrites go in, a second sync makes the files durable, the journals are cleared and a third
// sync makes that last. A file whose steps fail is rolled back and reported to the handler.
class DeferredCommits {
public:
    // Each waiting file holds two descriptors (the file and its journal).
    static std::size_t max_files() {
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 64;
        return std::clamp<std::size_t>((static_cast<std::size_t>(limit.rlim_cur) - 128) / 2, 16, 512);
    }

    bool enabled = false;
    std::function<void(const std::string& path, int err)> on_failure;

    void add(std::string path, int fd, dev_t device, ino_t inode, std::unique_ptr<UndoJournal> journal) {
        if (!folders_.contains(device)) {
            // Kept to sync this file system once more at the end, when no file of it waits.
            Folder folder{fs::parent_dir(path), {}};
            if (fs::Descriptor::open(folder.path, O_RDONLY | O_DIRECTORY, 0, folder.fd) == 0)
                folders_.emplace(device, std::move(folder));
        }
        members_.push_back({std::move(path), fd, device, inode, std::move(journal), 0});
        if (members_.size() >= max_files()) settle(false);
    }
    bool holds(dev_t device, ino_t inode) const {
        return std::any_of(members_.begin(), members_.end(),
                           [&](const Member& m) { return m.device == device && m.inode == inode; });
    }

    // `last`: the owner is about to report its run; the commit points must be durable too.
    // Otherwise they become durable with the next group's first sync.
    void settle(bool last) noexcept {
        if (members_.empty()) {
            if (last) sync_remembered_file_systems();
            return;
        }
        sync_each_file_system();  // the journals (and their names), the last group's commit points
        for (Member& m : members_)
            if (!m.err) m.err = m.journal->write_pending(m.fd);
        sync_each_file_system();  // the files in their new state
        for (Member& m : members_)
            if (!m.err) m.err = m.journal->finish_deferred_commit();
        if (last) sync_each_file_system();  // the commit points
        for (Member& m : members_) {
            int err = m.err;
            if (err) {
                const int rollback = m.journal->roll_back(m.fd);
                if (rollback && rollback != ESTALE) last_settle_error = rollback;
            } else {
                err = m.journal->remove_unsynced();
            }
            fs::env().close(m.fd);
            if (err && on_failure) {
                try {
                    on_failure(m.path, err);
                } catch (...) {
                    // Reporting must not stop the others from being settled.
                }
            }
        }
        members_.clear();
        if (last) folders_.clear();
    }

private:
    void sync_remembered_file_systems() noexcept {
        for (const auto& [device, folder] : folders_) {
            const int err = fs::env().sync_fs(folder.fd.get());
            if (err && on_failure) {
                try {
                    on_failure(folder.path, err);
                } catch (...) {
                    // As in settle(): the others still get their sync.
                }
            }
        }
        folders_.clear();
    }

    struct Member {
        std::string path;
        int fd;
        dev_t device;
        ino_t inode;
        std::unique_ptr<UndoJournal> journal;
        int err;
    };

    // One sync per file system the waiting files live on; a failure fails its files.
    void sync_each_file_system() {
        std::map<dev_t, int> outcome;
        for (Member& m : members_) {
            if (m.err) continue;
            auto [it, first] = outcome.try_emplace(m.device, 0);
            if (first) it->second = fs::env().sync_fs(m.fd);
            if (it->second) m.err = it->second;
        }
    }

    std::vector<Member> members_;
    struct Folder {
        std::string path;
        fs::Descriptor fd;
    };
    std::map<dev_t, Folder> folders_;  // one per file system with commits to sync
};

DeferredCommits& deferred_commits() {
    static DeferredCommits group;
    return group;
}

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
    if (deferred_commits().holds(st.st_dev, st.st_ino)) deferred_commits().settle(false);
    const bool open_here = files_open_here().contains({st.st_dev, st.st_ino});
    // The lock comes before truncation and recovery: a file another process is writing is
    // neither emptied nor rolled back under it, nor read half-rewritten. It is taken whatever
    // HDF5's own file-locking setting says (HDF5_USE_FILE_LOCKING=FALSE).
    if (!open_here) {
        if (const int err = fs::env().lock(fd.get(), writable ? fs::Lock::Exclusive : fs::Lock::Shared)) {
            fail("driver_open", H5E_CANTLOCKFILE, err, "unable to lock file");
            return nullptr;
        }
    }
    if (writable && !open_here) {
        if (flags & H5F_ACC_TRUNC) {
            // Made anew: the old content goes, and with it whatever a stale journal would
            // restore (this process holds the lock, so no writer owns that journal).
            int err = fs::env().truncate(fd.get(), 0);
            if (!err) err = fs::env().unlink(journal_path(name));
            if (err && err != ENOENT) {
                fail("driver_open", H5E_CANTOPENFILE, err, "unable to truncate file");
                return nullptr;
            }
        } else {
            Settled settled;
            if (const int err = settle_stale_journal(journal_path(name), fd.get(), settled)) {
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
    file->path = name;
    file->writable = writable && !open_here;
    file->journaling = file->writable && st.st_size > 0;
    file->journal = new UndoJournal(journal_path(name), static_cast<std::uint64_t>(st.st_size));
    return &file->pub;
}

herr_t driver_close(H5FD_t* h5fd) {
    DriverFile* file = of(h5fd);
    int err = 0;
    const auto key = std::pair(file->device, file->inode);
    const bool committed = !file->failed && !file->abandoned && (!file->dirty || file->closing);
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
    fs::env().close(file->fd);  // releases the lock, after the journal is settled
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
    if (const int err = read_full(file->fd, buffer, size, address, got))
        return fail("driver_read", H5E_READERROR, err, "file read failed");
    // Past the end of the file reads as zeros, as with HDF5's own drivers.
    if (got < size) std::memset(static_cast<char*>(buffer) + got, 0, size - got);
    if (file->journaling) file->journal->overlay(static_cast<char*>(buffer), size, address);
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

herr_t driver_lock(H5FD_t* file, hbool_t rw) {
    const int err = fs::env().lock(of(file)->fd, rw ? fs::Lock::Exclusive : fs::Lock::Shared);
    // A file system without locks: HDF5's own drivers go on without them too.
    if (err == 0 || err == ENOSYS) return 0;
    return fail("driver_lock", H5E_CANTLOCKFILE, err, "unable to lock file");
}

herr_t driver_unlock(H5FD_t* file) {
    const int err = fs::env().lock(of(file)->fd, fs::Lock::Unlock);
    if (err == 0 || err == ENOSYS) return 0;
    return fail("driver_unlock", H5E_CANTUNLOCKFILE, err, "unable to unlock file");
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
    Descriptor fd;
    if (const int err = Descriptor::open(file, O_RDWR, 0, fd)) {
        // A journal without its file protects nothing; it goes under the folder's name alone,
        // so no writer can hold it (a writer holds its file open).
        if (err == ENOENT) return fs::env().unlink(journal) == 0;
        throw OsError::from_errno(err,
                                  "cannot open \"" + file + "\" to undo an interrupted update: " + std::strerror(err));
    }
    if (const int err = fs::env().lock(fd.get(), fs::Lock::Exclusive))
        throw OsError::from_errno(err, "\"" + file + "\" is held by another process: " + std::strerror(err));
    Settled settled;
    if (const int err = settle_stale_journal(journal, fd.get(), settled))
        throw OsError::from_errno(err, "cannot undo the interrupted update of \"" + file + "\": " + std::strerror(err));
    return true;
}

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

void defer_commits(bool on, std::function<void(const std::string& path, int err)> on_failure) {
    DeferredCommits& group = deferred_commits();
    if (!on) group.settle(true);
    group.enabled = on;
    group.on_failure = std::move(on_failure);
}

void settle_deferred_commits() noexcept { deferred_commits().settle(true); }

int take_settle_error() noexcept { return std::exchange(last_settle_error, 0); }

void abandon(hid_t file_id) {
    if (DriverFile* file = driver_file(file_id)) file->abandoned = true;
}

}  // namespace tarnwick::bundle::h5
