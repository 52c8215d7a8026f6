#pragma once
// The undo journal of one open store file (see journal.hpp for the scheme it serves), and the
// settling of a stale journal whose writer is gone. Internal to h5/.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>

#include "tarnwick/bundle/fs/env.hpp"
#include "tarnwick/bundle/h5/journal_format.hpp"
#include "tarnwick/bundle/h5/store_lock.hpp"

namespace tarnwick::bundle::h5::detail {

using fs::Descriptor;
using fs::read_full;
using fs::write_all;

// the baseline already have their originals in it, and the overwrites of stored bytes that
// wait for the journal to reach the disk.
//
// The order that makes it a rollback journal that survives power cuts (each step waits for the
// sync before it):
//   1. the journal's header and the originals of every range about to be overwritten are
//      written, and the journal (with its folder, when it was just created) is synced;
//   2. the overwrites go into the file (writes past the baseline went straight in: a rollback
//      cuts them off), and the file is synced;  2 and 3 happen in the file's commit window
//      (store_lock.hpp), the only time its stored bytes change, so that readers never see
//      them half changed; until then they wait in memory, past MAX_PENDING_BYTES in an unnamed
//      side file, and a cut below the baseline waits with them;
//   3. the commit point: the journal's magic is cleared. It is synced when the file closes (its
//      last commit), before the journal is deleted, and before the journal is reused for the
//      next update of the open file; until then a lost clearing only rolls back to the commit
//      before.
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
        if (pending_bytes_ > MAX_PENDING_BYTES) return spill();
        return 0;
    }

    // True when `file` (with the overwrites waiting in memory) holds `data` at `offset`.
    bool holds(int file, const char* data, std::uint64_t size, std::uint64_t offset) const {
        std::vector<char> now(size);
        std::size_t got = 0;
        if (read_full(file, now.data(), size, offset, got) || got < size) return false;
        if (overlay(now.data(), size, offset)) return false;
        return std::memcmp(now.data(), data, size) == 0;
    }

    // Lays the overwrites that wait in memory over `size` bytes read at `offset`.
    // 0 or errno (a read of the side file).
    int overlay(char* buffer, std::uint64_t size, std::uint64_t offset) const {
        const std::uint64_t end = offset + size;
        auto it = pending_.upper_bound(offset);
        if (it != pending_.begin()) --it;
        for (; it != pending_.end() && it->first < end; ++it) {
            const std::uint64_t begin = std::max(offset, it->first);
            const std::uint64_t stop = std::min(end, it->first + it->second.size);
            if (begin >= stop) continue;
            if (const int err = it->second.read(spill_.get(), begin - it->first, stop - begin, buffer + (begin - offset)))
                return err;
        }
        return 0;
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
            // Readers still read the stored bytes: only what lies past them goes now, the rest
            // at the commit (which cuts the file to its committed size).
            cut_pending_ = true;
            return eof > baseline_ ? fs::env().truncate(file, baseline_) : 0;
        }
        return fs::env().truncate(file, size);
    }

    // Makes the file's current content (`new_baseline` bytes) the state a rollback returns to,
    // on disk. Until it succeeded, nothing of the journal's state is let go.
    // EWOULDBLOCK: readers kept the file past the bound; nothing was changed.
    int commit(int file, std::uint64_t new_baseline) {
        if (started()) {
            if (const int err = make_durable(file)) return err;
            if (const int err = run_in_window(file, [&] { return apply(file, new_baseline); })) return err;
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

    // The same steps all within the file's commit window (the caller is inside it: see
    // run_in_windows), for a group whose journals are durable: the overwrites go in, the file
    // is synced (that one file), the commit mark is cleared (made durable by the caller's next
    // sync). A failure rolls back before the window ends. 0 or errno.
    int commit_deferred_in_window(int file) {
        journal_unsynced_ = folder_unsynced_ = false;
        int err = write_through(file, deferred_baseline_);
        if (!err) err = fs::env().sync(file, fs::Sync::Data);
        if (!err) err = finish_deferred_commit();
        if (err) roll_back_in_window(file);
        return err;
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
    // Syncs the journal alone (a group whose file system is not synced as a whole).
    int sync_journal() { return fd_.valid() ? fs::env().sync(fd_.get(), fs::Sync::Data) : 0; }
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
        // Stored bytes written by a failed window: they go back within a window too.
        if (stored_written_) return run_in_window(file, [&] { return roll_back_in_window(file); });
        return roll_back_in_window(file);
    }
    int roll_back_in_window(int file) {
        deferred_ = false;
        pending_.clear();
        pending_bytes_ = 0;
        cut_pending_ = false;
        if (!fd_.valid()) return fs::env().truncate(file, baseline_);
        const bool named = still_named(path_, fd_.get());
        const bool had_update = started();
        if (had_update) {
            JournalContents contents;
            if (const int err = read_journal(fd_.get(), length_, contents)) return err;
            if (contents.identity != JournalContents::Identity::Hash || contents.baseline != baseline_) return EIO;
            if (const int err = restore(contents, fd_.get(), file)) return err;
        } else if (const int err = fs::env().truncate(file, baseline_)) {
            return err;  // only writes past the baseline happened: they are cut off
        }
        length_ = 0;
        saved_.clear();
        clearing_unsynced_ = false;
        stored_written_ = false;
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
    // Its cleared mark is synced first: until then the disk may still hold the earlier update's
    // header, and a power cut that kept it with some of this update's records over the earlier
    // ones would have a rollback put back only part of that earlier update's originals into a
    // file that holds its commit (stored days lost).
    int start(int file) {
        if (!fd_.valid()) {
            if (const int err = Descriptor::open(path_, O_RDWR | O_CREAT | O_TRUNC, 0644, fd_)) return err;
            folder_unsynced_ = true;
        } else if (clearing_unsynced_) {
            if (const int err = fs::env().sync(fd_.get(), fs::Sync::Data)) return err;
            clearing_unsynced_ = false;
        }
        Header header{};
        std::memcpy(header.magic, MAGIC, sizeof MAGIC);
        header.baseline = baseline_;
        // Never 0, which marks records without a generation.
        if (++generation_ == 0) ++generation_;
        header.generation = generation_;
        int err = file_hash(file, baseline_, header.hash_low, header.hash_high);
        if (!err) err = write_all(fd_.get(), &header, sizeof header, 0);
        if (err) {
            // No update may go ahead without its header; a journal without one restores nothing.
            fd_.reset();
            static_cast<void>(fs::env().unlink(path_));  // a header-less journal restores nothing
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
        if (first != pending_.begin() && std::prev(first)->first + std::prev(first)->second.size >= begin) --first;
        auto last = first;
        while (last != pending_.end() && last->first <= end) {
            begin = std::min(begin, last->first);
            end = std::max<std::uint64_t>(end, last->first + last->second.size);
            ++last;
        }
        Piece merged;
        merged.size = end - begin;
        merged.bytes.resize(merged.size);
        for (auto it = first; it != last; ++it) {
            // A piece in the side file is read back: its bytes stay where this one leaves none.
            if (it->second.read(spill_.get(), 0, it->second.size, merged.bytes.data() + (it->first - begin)))
                std::memset(merged.bytes.data() + (it->first - begin), 0, it->second.size);
            if (!it->second.spilled()) pending_bytes_ -= it->second.size;
        }
        std::memcpy(merged.bytes.data() + (offset - begin), data, size);
        pending_.erase(first, last);
        pending_bytes_ += merged.size;
        pending_.emplace(begin, std::move(merged));
    }

    // Moves the overwrites held in memory into the side file (an unnamed file beside the
    // journal, gone with the process): they must not reach the store file before its window.
    int spill() {
        if (!spill_.valid()) {
            int err = Descriptor::open(fs::parent_dir(path_), O_RDWR | O_TMPFILE, 0600, spill_);
            if (err) err = Descriptor::open("/tmp", O_RDWR | O_TMPFILE, 0600, spill_);
            if (err) return err;
        }
        for (auto& [offset, piece] : pending_) {
            if (piece.spilled()) continue;
            if (const int err = write_all(spill_.get(), piece.bytes.data(), piece.size, spill_end_)) return err;
            piece.spilled_at = spill_end_;
            spill_end_ += piece.size;
            piece.bytes = {};
        }
        pending_bytes_ = 0;
        return 0;
    }

    // Step 1 for a commit of its own: the journal (and its new name) durable.
    int make_durable(int file) {
        (void)file;
        if (journal_unsynced_) {
            if (const int err = fs::env().sync(fd_.get(), fs::Sync::Data)) return err;
            journal_unsynced_ = false;
        }
        if (folder_unsynced_) {
            if (const int err = fs::sync_parent_dir(path_)) return err;
            folder_unsynced_ = false;
        }
        return 0;
    }

    // Steps 2 and 3, inside the window.
    int apply(int file, std::uint64_t new_baseline) {
        int err = write_through(file, new_baseline);
        if (!err) err = fs::env().sync(file, fs::Sync::Data);
        if (!err) err = clear_commit_mark();
        return err;
    }

    // Syncs the journal (and its folder once), then writes the waiting overwrites into the
    // file and makes a waiting cut (to `size`, the committed size). Only within the window.
    int write_through(int file, std::uint64_t size) {
        if (const int err = make_durable(file)) return err;
        if (!pending_.empty() || cut_pending_) stored_written_ = true;
        std::vector<char> block;
        for (const auto& [offset, piece] : pending_) {
            if (!piece.spilled()) {
                if (const int err = write_all(file, piece.bytes.data(), piece.size, offset)) return err;
                continue;
            }
            for (std::uint64_t done = 0; done < piece.size;) {
                const std::uint64_t n = std::min<std::uint64_t>(piece.size - done, MAX_RECORD_BYTES);
                block.resize(n);
                if (const int err = piece.read(spill_.get(), done, n, block.data())) return err;
                if (const int err = write_all(file, block.data(), n, offset + done)) return err;
                done += n;
            }
        }
        if (cut_pending_)
            if (const int err = fs::env().truncate(file, size)) return err;
        pending_.clear();
        pending_bytes_ = 0;
        cut_pending_ = false;
        spill_.reset();
        spill_end_ = 0;
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
    // An overwrite of stored bytes waiting for the window: in memory, or in the side file.
    struct Piece {
        static constexpr std::uint64_t IN_MEMORY = UINT64_MAX;
        std::vector<char> bytes;
        std::uint64_t size = 0;
        std::uint64_t spilled_at = IN_MEMORY;
        bool spilled() const { return spilled_at != IN_MEMORY; }
        int read(int spill, std::uint64_t from, std::uint64_t n, char* out) const {
            if (!spilled()) {
                std::memcpy(out, bytes.data() + from, n);
                return 0;
            }
            std::size_t got = 0;
            if (const int err = read_full(spill, out, n, spilled_at + from, got)) return err;
            return got < n ? EIO : 0;
        }
    };
    std::map<std::uint64_t, Piece> pending_;  // overwrites of stored bytes, by offset
    std::size_t pending_bytes_ = 0;           // of those held in memory
    bool cut_pending_ = false;                // a cut below the baseline waits for the window
    bool stored_written_ = false;             // a window wrote stored bytes and did not commit
    Descriptor spill_;
    std::uint64_t spill_end_ = 0;
    std::vector<char> buffer_;
};

// What a stale journal beside a file (its writer gone) comes to.
//   NotItsFile: made for another file of its name (or torn); kept as "<journal>.rejected-..."
//   (see rejected_journal_name) and reported, never applied.
//   NewerFormat: left by a newer version of this program, which alone can settle it: it stays
//   where it is, and the file must not be written until then.
enum class Settled { NoJournal, RolledBack, NotItsFile, NewerFormat };

// Settles the stale journal at `journal_file` for `file`, which the caller holds locked for
// writing. 0 or errno.
int settle_stale_journal(const std::string& journal_file, int file, Settled& outcome);

// The warning that a journal was set aside goes here (the log installs itself, see journal.hpp).
void report_journal_warning(const std::string& text);

}  // namespace tarnwick::bundle::h5::detail
