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

// Magic, the baseline, the update's generation and the content hash of the file it belongs to.
// The generation numbers the updates of one open file, which share one journal: the records of
// an earlier update that still lie past the current one's end are not its own. The hash
// identifies the file by its content at the baseline (see file_hash), so that the journal
// follows its file through copies and moves and is never applied to another file of its name.
inline constexpr char MAGIC[8] = {'T', 'W', 'U', 'N', 'D', 'O', '0', '5'};
struct Header {
    char magic[8];
    std::uint64_t baseline;
    std::uint64_t generation;
    std::uint64_t hash_low;  // XXH3-128 of the hashed ranges (hashed_ranges)
    std::uint64_t hash_high;
};
// Every journal of this program begins with these six bytes and two digits of its format: one
// of a format this build does not know was left by a newer version.
inline constexpr std::size_t MAGIC_FAMILY_BYTES = 6;
// The format before: the same, with a 64-bit checksum (CRC-32 and Adler-32) of the first and
// last DIGEST_WINDOW bytes alone.
inline constexpr char MAGIC_BY_CHECKSUM[8] = {'T', 'W', 'U', 'N', 'D', 'O', '0', '4'};
struct HeaderByChecksum {
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
// The hash covers the first and the last this many bytes below the baseline: the superblock
// (which holds the end-of-file address), the root group and the newest chunks and indexes,
// where two files of one instrument most likely differ...
inline constexpr std::uint64_t DIGEST_WINDOW = 64 << 10;
// ...and this many blocks of SAMPLE_BYTES spread evenly between them, so that a file of the
// same size and ends whose older days differ (a corrected bar) is told apart too. It is a guard
// against accidents, not against someone who builds a file to match: bytes that none of these
// ranges cover are not compared.
inline constexpr std::uint64_t SAMPLE_BLOCKS = 8;
inline constexpr std::uint64_t SAMPLE_BYTES = 4 << 10;

struct Record {
    std::uint64_t offset;
    std::uint64_t size;
    std::uint64_t at;  // where its bytes lie in the journal
};

// A journal as found on disk: which file it protects and the originals it holds.
struct JournalContents {
    // Unknown: a journal of a newer format, which this build can neither apply nor judge.
    enum class Identity { None, Hash, Checksum, Inode, Unknown } identity = Identity::None;
    std::uint64_t baseline = 0;
    std::uint64_t hash_low = 0, hash_high = 0;  // Checksum: the digest in hash_low
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::vector<Record> records;
};

std::uint32_t record_crc(std::uint32_t generation, std::uint64_t offset, std::uint64_t size, const char* data);

// The byte ranges below `baseline` that identify a file, in order and disjoint: those of the
// hash, or (`sampled` false) the two windows of the checksum before it.
std::vector<std::pair<std::uint64_t, std::uint64_t>> hashed_ranges(std::uint64_t baseline, bool sampled = true);
// The identity of a file of `baseline` bytes holding `ranges` there, as `identity` computes it.
void identity_of(JournalContents::Identity identity, std::uint64_t baseline,
                 const std::vector<std::vector<char>>& ranges, std::uint64_t& low, std::uint64_t& high);
// The hash of `file` as it is now, taken as its content at `baseline`. 0 or errno.
int file_hash(int file, std::uint64_t baseline, std::uint64_t& low, std::uint64_t& high);

// Reads the header and every whole record of the journal open at `journal` up to `limit`
// (the first record cut short, garbled, or of another update ends it). 0 or errno.
int read_journal(int journal, std::uint64_t limit, JournalContents& out);

// True when `contents` was made for `file`: the file, with the journal's originals put back
// (in thought), holds at the hashed ranges what the file held when the journal began.
// 0 or errno.
int belongs_to(const JournalContents& contents, int journal, int file, bool& belongs);

// Writes the originals back, cuts the file to the baseline and syncs it: the file is then as
// it was when the journal began, also after a power cut. 0 or errno.
int restore(const JournalContents& contents, int journal, int file);

// True when `path` still names the journal open at `journal`.
bool still_named(const std::string& path, int journal);

}  // namespace tarnwick::bundle::h5::detail
