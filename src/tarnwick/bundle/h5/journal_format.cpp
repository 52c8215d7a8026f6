#include "tarnwick/bundle/h5/journal_format.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include <sys/stat.h>

#include <xxhash.h>
#include <zlib.h>

#include "tarnwick/bundle/fs/env.hpp"

namespace tarnwick::bundle::h5::detail {

using fs::read_full;
using fs::write_all;

std::uint32_t record_crc(std::uint32_t generation, std::uint64_t offset, std::uint64_t size, const char* data) {
    uLong crc = 0L;
    if (generation != 0) crc = crc32(crc, reinterpret_cast<const Bytef*>(&generation), sizeof generation);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(&offset), sizeof offset);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(&size), sizeof size);
    return static_cast<std::uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> hashed_ranges(std::uint64_t baseline, bool sampled) {
    const std::uint64_t samples = sampled ? SAMPLE_BLOCKS : 0;
    if (baseline <= 2 * DIGEST_WINDOW + samples * SAMPLE_BYTES) return {{0, baseline}};
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges{{0, DIGEST_WINDOW}};
    // Evenly spaced from the end of the first window to the start of the last, at page
    // boundaries; the spacing is at least SAMPLE_BYTES, so the blocks never overlap.
    const std::uint64_t span = baseline - 2 * DIGEST_WINDOW - SAMPLE_BYTES;
    for (std::uint64_t i = 0; i < samples; ++i) {
        const std::uint64_t at = (DIGEST_WINDOW + span * i / (samples - 1)) / SAMPLE_BYTES * SAMPLE_BYTES;
        ranges.emplace_back(at, at + SAMPLE_BYTES);
    }
    ranges.emplace_back(baseline - DIGEST_WINDOW, baseline);
    return ranges;
}

void identity_of(JournalContents::Identity identity, std::uint64_t baseline,
                 const std::vector<std::vector<char>>& ranges, std::uint64_t& low, std::uint64_t& high) {
    if (identity == JournalContents::Identity::Checksum) {
        uLong head = crc32(0L, reinterpret_cast<const Bytef*>(&baseline), sizeof baseline);
        uLong tail = adler32(1L, reinterpret_cast<const Bytef*>(&baseline), sizeof baseline);
        for (const std::vector<char>& range : ranges) {
            head = crc32(head, reinterpret_cast<const Bytef*>(range.data()), static_cast<uInt>(range.size()));
            tail = adler32(tail, reinterpret_cast<const Bytef*>(range.data()), static_cast<uInt>(range.size()));
        }
        low = (static_cast<std::uint64_t>(head) << 32) | static_cast<std::uint32_t>(tail);
        high = 0;
        return;
    }
    // The state's layout is private to the library's version: it is made by the library.
    const std::unique_ptr<XXH3_state_t, XXH_errorcode (*)(XXH3_state_t*)> state(XXH3_createState(),
                                                                               XXH3_freeState);
    if (!state) throw std::bad_alloc();
    XXH3_128bits_reset(state.get());
    XXH3_128bits_update(state.get(), &baseline, sizeof baseline);
    for (const std::vector<char>& range : ranges) XXH3_128bits_update(state.get(), range.data(), range.size());
    const XXH128_hash_t hash = XXH3_128bits_digest(state.get());
    low = hash.low64;
    high = hash.high64;
}

int file_hash(int file, std::uint64_t baseline, std::uint64_t& low, std::uint64_t& high) {
    std::vector<std::vector<char>> ranges;
    for (const auto& [begin, end] : hashed_ranges(baseline)) {
        std::vector<char>& range = ranges.emplace_back(end - begin);
        std::size_t got = 0;
        if (const int err = read_full(file, range.data(), range.size(), begin, got)) return err;
        if (got < range.size()) return EIO;  // below the baseline every byte exists
    }
    identity_of(JournalContents::Identity::Hash, baseline, ranges, low, high);
    return 0;
}

// Reads the header and every whole record of the journal open at `journal` up to `limit`
// (the first record cut short, garbled, or of another update ends it). 0 or errno.
int read_journal(int journal, std::uint64_t limit, JournalContents& out) {
    out = {};
    char raw[std::max(sizeof(Header), sizeof(HeaderByInode))] = {};
    std::size_t got = 0;
    if (const int err = read_full(journal, raw, sizeof raw, 0, got)) return err;
    std::uint32_t generation = 0;
    std::uint64_t at = 0;
    if (got >= HEADER_BYTES && std::memcmp(raw, MAGIC, sizeof MAGIC) == 0) {
        Header header;
        std::memcpy(&header, raw, sizeof header);
        out.identity = JournalContents::Identity::Hash;
        out.baseline = header.baseline;
        out.hash_low = header.hash_low;
        out.hash_high = header.hash_high;
        generation = static_cast<std::uint32_t>(header.generation);
        at = HEADER_BYTES;
    } else if (got >= sizeof(HeaderByChecksum) && std::memcmp(raw, MAGIC_BY_CHECKSUM, sizeof MAGIC) == 0) {
        HeaderByChecksum header;
        std::memcpy(&header, raw, sizeof header);
        out.identity = JournalContents::Identity::Checksum;
        out.baseline = header.baseline;
        out.hash_low = header.digest;
        generation = static_cast<std::uint32_t>(header.generation);
        at = sizeof header;
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
    } else if (got >= sizeof MAGIC && std::memcmp(raw, MAGIC, MAGIC_FAMILY_BYTES) == 0 &&
               std::string_view(raw + MAGIC_FAMILY_BYTES, 2) > std::string_view(MAGIC + MAGIC_FAMILY_BYTES, 2)) {
        out.identity = JournalContents::Identity::Unknown;  // a newer version's: its records are not read
        return 0;
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
    const bool hash = contents.identity == JournalContents::Identity::Hash;
    if (!hash && contents.identity != JournalContents::Identity::Checksum) return 0;
    const auto ranges = hashed_ranges(contents.baseline, hash);
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
    std::uint64_t low = 0, high = 0;
    identity_of(contents.identity, contents.baseline, windows, low, high);
    belongs = low == contents.hash_low && high == contents.hash_high;
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

}  // namespace tarnwick::bundle::h5::detail
