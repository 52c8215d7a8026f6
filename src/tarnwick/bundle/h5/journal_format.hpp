#pragma once
// The undo journal's on-disk format: its header (which file it protects, from which baseline),
// its records of original bytes, and the content digest that ties a journal to its file.
// Internal to h5/: the driver, the undo journal and the deferred commits share it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick::bundle::h5::detail {

// Magic, the baseline, the update's generation and the digest of the file it belongs to.
// The generation numbers the updates of one open file, which share one journal: the records of
// an earlier update that still lie past the current one's end are not its own. The digest
// identifies the file by its content at the baseline (see file_digest), so that the journal
// follows its file through copies and moves and is never applied to another file of its name.
inline constexpr char MAGIC[8] = {'T', 'W', 'U', 'N', 'D', 'O', '0', '4'};
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
inline constexpr char MAGIC_BY_INODE[8] = {'T', 'W', 'U', 'N', 'D', 'O', '0', '3'};
inline constexpr char MAGIC_WITHOUT_GENERATION[8] = {'T', 'W', 'U', 'N', 'D', 'O', '0', '2'};
inline constexpr std::size_t HEADER_WITHOUT_GENERATION_BYTES = offsetof(HeaderByInode, generation);
// Each record: where the original bytes were, how many, its update's generation, and a
// checksum over all of them, so that a record cut short or garbled is never written into the
// file.
struct RecordHeader {
    std::uint64_t offset;
    std::uint64_t size;
    std::uint32_t crc;
    std::uint32_t generation;
};
inline constexpr std::size_t HEADER_BYTES = sizeof(Header);
inline constexpr std::size_t RECORD_HEADER_BYTES = sizeof(RecordHeader);
// Originals are journaled in pieces of at most this size, so that neither saving nor rolling
// back needs more memory than one piece.
inline constexpr std::uint64_t MAX_RECORD_BYTES = 1 << 20;
// Overwrites of stored bytes wait in memory until the journal is on disk (one sync for all of
// them); past this much they go out early, after a sync of the journal so far.
inline constexpr std::size_t MAX_PENDING_BYTES = 64 << 20;
// The digest covers the first and the last this many bytes below the baseline: the superblock
// (which holds the end-of-file address), the root group and the newest chunks and indexes. Two
// files of one instrument that differ there are different files; reading them costs two
// cached reads per update.
inline constexpr std::uint64_t DIGEST_WINDOW = 64 << 10;

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

std::uint32_t record_crc(std::uint32_t generation, std::uint64_t offset, std::uint64_t size, const char* data);

// The byte ranges below `baseline` that the digest covers (one when they would overlap).
std::vector<std::pair<std::uint64_t, std::uint64_t>> digest_windows(std::uint64_t baseline);
std::uint64_t digest_of(std::uint64_t baseline, const std::vector<std::vector<char>>& windows);
// The digest of `file` as it is now, taken as its content at `baseline`. 0 or errno.
int file_digest(int file, std::uint64_t baseline, std::uint64_t& digest);

// Reads the header and every whole record of the journal open at `journal` up to `limit`
// (the first record cut short, garbled, or of another update ends it). 0 or errno.
int read_journal(int journal, std::uint64_t limit, JournalContents& out);

// True when `contents` was made for `file`: the file, with the journal's originals put back
// (in thought), holds at the digest's windows what the file held when the journal began.
// 0 or errno.
int belongs_to(const JournalContents& contents, int journal, int file, bool& belongs);

// Writes the originals back, cuts the file to the baseline and syncs it: the file is then as
// it was when the journal began, also after a power cut. 0 or errno.
int restore(const JournalContents& contents, int journal, int file);

// True when `path` still names the journal open at `journal`.
bool still_named(const std::string& path, int journal);

}  // namespace tarnwick::bundle::h5::detail
