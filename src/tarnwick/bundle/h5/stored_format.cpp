#include "tarnwick/bundle/h5/stored_format.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include <fmt/format.h>

namespace tarnwick::bundle::h5 {
namespace {

constexpr unsigned char SIGNATURE[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};
constexpr std::uint64_t UNDEFINED = std::numeric_limits<std::uint64_t>::max();

// Limits no file of this store comes near; past them the file is HDF5's to read.
constexpr std::size_t MAX_METADATA_BYTES = std::size_t{16} << 20;  // one structure
constexpr std::size_t BLOCK_BYTES = 4096;                          // what one read fetches at least
constexpr std::size_t MAX_BLOCKS = 4096;         // places read in one file
constexpr std::size_t MAX_HELD_BYTES = std::size_t{64} << 20;  // all those places together
constexpr std::size_t MAX_HEADER_BLOCKS = 64;    // continuation blocks of one object header
constexpr unsigned MAX_NODE_ENTRIES = 4096;
constexpr int MAX_DEPTH = 32;

// Message types of an object header, and its flag for a message stored elsewhere.
constexpr std::uint16_t DATASPACE = 0x0001, DATATYPE = 0x0003, EXTERNAL_FILES = 0x0007, LAYOUT = 0x0008,
                        FILTERS = 0x000B, CONTINUATION = 0x0010, SYMBOL_TABLE = 0x0011;
constexpr unsigned char SHARED = 0x02, FAIL_IF_UNKNOWN = 0x80;

[[noreturn]] void not_understood(const std::string& what) { throw NotUnderstood(what); }

std::uint64_t le(const unsigned char* at, std::size_t bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = bytes; i-- > 0;) value = value << 8 | at[i];
    return value;
}
std::uint16_t u16(const unsigned char* at) { return static_cast<std::uint16_t>(le(at, 2)); }
std::uint32_t u32(const unsigned char* at) { return static_cast<std::uint32_t>(le(at, 4)); }
std::uint64_t u64(const unsigned char* at) { return le(at, 8); }

// A bounded cursor over one message's bytes.
class Reader {
public:
    Reader(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
    const unsigned char* take(std::size_t bytes) {
        if (bytes > size_ - at_) not_understood("a message shorter than its content");
        return data_ + std::exchange(at_, at_ + bytes);
    }
    std::uint64_t number(std::size_t bytes) { return le(take(bytes), bytes); }
    std::string name(std::size_t pad_to) {  // NUL-terminated, padded to a multiple of `pad_to`
        const auto* start = data_ + at_;
        const auto* nul = static_cast<const unsigned char*>(std::memchr(start, 0, size_ - at_));
        if (nul == nullptr) not_understood("a name without its end");
        std::string text(reinterpret_cast<const char*>(start), static_cast<std::size_t>(nul - start));
        const std::size_t used = text.size() + 1;
        take(pad_to > 1 ? (used + pad_to - 1) / pad_to * pad_to : used);
        return text;
    }

private:
    const unsigned char* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

struct Message {
    std::uint16_t type = 0;
    unsigned char flags = 0;
    std::vector<unsigned char> data;
};

// An atomic member type: little-endian integers without padding bits, IEEE floats of 4 or 8 bytes.
StoredField member_type(Reader& in, StoredField field) {
    const unsigned char* head = in.take(8);
    const unsigned type_class = head[0] & 0x0F;
    const unsigned bits = head[1] | head[2] << 8 | head[3] << 16;
    field.size = u32(head + 4);
    if (type_class == 0) {  // fixed point
        if ((bits & 0x01) != 0) not_understood("a big-endian integer");
        field.kind = (bits & 0x08) != 0 ? 'i' : 'u';
        const unsigned char* p = in.take(4);
        if (u16(p) != 0 || u16(p + 2) != field.size * 8 || (field.size != 4 && field.size != 8))
            not_understood("an integer of another form");
        return field;
    }
    if (type_class == 1) {  // floating point
        field.kind = 'f';
        const unsigned char* p = in.take(12);
        const bool ieee64 = field.size == 8 && p[4] == 52 && p[5] == 11 && p[6] == 0 && p[7] == 52 &&
                            u32(p + 8) == 1023 && (bits >> 8 & 0xFF) == 63;
        const bool ieee32 = field.size == 4 && p[4] == 23 && p[5] == 8 && p[6] == 0 && p[7] == 23 &&
                            u32(p + 8) == 127 && (bits >> 8 & 0xFF) == 31;
        // Little-endian, no padding bits, the mantissa's leading bit implied.
        if ((bits & 0x41) != 0 || (bits & 0x0E) != 0 || (bits >> 4 & 0x03) != 2 || u16(p) != 0 ||
            u16(p + 2) != field.size * 8 || !(ieee64 || ieee32))
            not_understood("a float of another form");
        return field;
    }
    not_understood("a member of another type class");
}

std::vector<StoredField> compound_type(const std::vector<unsigned char>& data, std::size_t& record_size) {
    Reader in(data.data(), data.size());
    const unsigned char* head = in.take(8);
    const unsigned type_class = head[0] & 0x0F, version = head[0] >> 4;
    if (type_class != 6 || version < 1 || version > 3) not_understood("a stored type that is not a compound");
    const unsigned count = head[1] | head[2] << 8;
    record_size = u32(head + 4);
    if (record_size == 0) not_understood("an empty record type");
    const std::size_t offset_bytes = record_size < (1u << 8) ? 1 : record_size < (1u << 16) ? 2 : record_size < (1u << 24) ? 3 : 4;
    std::vector<StoredField> fields;
    for (unsigned i = 0; i < count; ++i) {
        StoredField field;
        field.name = in.name(version == 3 ? 1 : 8);
        field.offset = static_cast<std::size_t>(in.number(version == 3 ? offset_bytes : 4));
        if (version == 1) {
            const unsigned char* array = in.take(28);
            if (array[0] != 0) not_understood("an array member");
        }
        fields.push_back(member_type(in, std::move(field)));
        if (fields.back().offset + fields.back().size > record_size) not_understood("a member past its record");
    }
    return fields;
}

std::vector<std::uint16_t> filter_pipeline(const std::vector<unsigned char>& data) {
    Reader in(data.data(), data.size());
    const unsigned char* head = in.take(2);
    const unsigned version = head[0], count = head[1];
    if (version != 1 && version != 2) not_understood("a filter pipeline of another version");
    if (version == 1) in.take(6);
    std::vector<std::uint16_t> ids;
    for (unsigned i = 0; i < count; ++i) {
        const auto id = static_cast<std::uint16_t>(in.number(2));
        const std::size_t name_length = version == 1 || id >= 256 ? in.number(2) : 0;
        in.take(2);  // flags
        const std::size_t values = in.number(2);
        in.take(version == 1 ? (name_length + 7) / 8 * 8 : name_length);
        in.take(values * 4 + (version == 1 && values % 2 == 1 ? 4 : 0));
        ids.push_back(id);
    }
    return ids;
}

}  // namespace

const unsigned char* StoredFile::bytes(std::uint64_t address, std::size_t size) const {
    if (size > MAX_METADATA_BYTES || address == UNDEFINED || address > file_.size() || size > file_.size() - address)
        not_understood("a structure past the end of the file");
    if (const unsigned char* held = held_bytes(address, size)) return held;
    if (blocks_.size() >= MAX_BLOCKS || held_ + size > MAX_HELD_BYTES) not_understood("metadata too large or spread");
    // Blocks are never dropped nor changed: what this returned stays valid as long as the file.
    std::vector<unsigned char> read(std::max(size, std::min<std::size_t>(BLOCK_BYTES, file_.size() - address)));
    file_.read(address, read.size(), read.data());
    held_ += read.size();
    return blocks_.emplace_back(address, std::move(read)).second.data();
}

const unsigned char* StoredFile::held_bytes(std::uint64_t address, std::size_t size) const {
    for (auto block = blocks_.rbegin(); block != blocks_.rend(); ++block)
        if (address >= block->first && address - block->first + size <= block->second.size())
            return block->second.data() + (address - block->first);
    return nullptr;
}

void StoredFile::read(std::uint64_t address, std::size_t size, void* out) const {
    if (const unsigned char* held = held_bytes(address, size))
        std::memcpy(out, held, size);
    else
        file_.read(address, size, out);
}

namespace {

// The messages of the version 1 object header at `address`, from all its continuation blocks.
template <class Bytes>
std::vector<Message> header_messages(const Bytes& bytes, std::uint64_t address) {
    const unsigned char* head = bytes(address, 16);
    if (head[0] != 1) not_understood("an object header of another version");
    const unsigned count = u16(head + 2);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> blocks{{address + 16, u32(head + 8)}};
    std::vector<Message> messages;
    for (std::size_t b = 0; b < blocks.size() && messages.size() < count; ++b) {
        if (b == MAX_HEADER_BLOCKS) not_understood("an object header of too many blocks");
        const auto [start, length] = blocks[b];
        const unsigned char* block = bytes(start, static_cast<std::size_t>(length));
        for (std::uint64_t at = 0; at + 8 <= length && messages.size() < count;) {
            Message& message = messages.emplace_back();
            message.type = u16(block + at);
            const std::size_t size = u16(block + at + 2);
            message.flags = block[at + 4];
            if (at + 8 + size > length) not_understood("a message past its header");
            message.data.assign(block + at + 8, block + at + 8 + size);
            if (message.type == CONTINUATION) {
                if (size < 16) not_understood("a short continuation");
                blocks.emplace_back(u64(block + at + 8), u64(block + at + 16));
            }
            at += 8 + size;
        }
    }
    if (messages.size() != count) not_understood("an object header with fewer messages than it counts");
    return messages;
}

}  // namespace

StoredFile::StoredFile(CommittedFile file) : file_(std::move(file)) {
    const unsigned char* super = bytes(0, 96);
    if (std::memcmp(super, SIGNATURE, sizeof SIGNATURE) != 0) not_understood("no HDF5 signature at the start");
    // Version 0, offsets and lengths of 8 bytes, the file's addresses from its start.
    if (super[8] != 0 || super[13] != 8 || super[14] != 8 || u64(super + 24) != 0)
        not_understood("a superblock of another form");
    const unsigned char* root = super + 56;
    std::uint64_t tree = UNDEFINED, heap = UNDEFINED;
    if (u32(root + 16) == 1) {  // the group's B-tree and name heap, cached in its entry
        tree = u64(root + 24);
        heap = u64(root + 32);
    } else {
        const auto reader = [this](std::uint64_t at, std::size_t size) { return bytes(at, size); };
        for (const Message& message : header_messages(reader, u64(root + 8)))
            if (message.type == SYMBOL_TABLE && message.data.size() >= 16) {
                tree = u64(message.data.data());
                heap = u64(message.data.data() + 8);
            }
    }
    walk_group(tree, heap, 0);
}

void StoredFile::walk_group(std::uint64_t node, std::uint64_t heap, int depth) {
    if (depth > MAX_DEPTH) not_understood("a group tree too deep");
    const unsigned char* head = bytes(node, 24);
    if (std::memcmp(head, "TREE", 4) != 0 || head[4] != 0) not_understood("no group tree where one belongs");
    const unsigned level = head[5], entries = u16(head + 6);
    if (entries > MAX_NODE_ENTRIES) not_understood("a group node of too many entries");
    std::vector<std::uint64_t> children;
    const unsigned char* body = bytes(node + 24, std::size_t{entries} * 16 + 8);
    for (unsigned i = 0; i < entries; ++i) children.push_back(u64(body + 8 + i * 16));
    if (level > 0) {
        for (std::uint64_t child : children) {
            if (bytes(child, 24)[5] != level - 1) not_understood("a group tree of uneven depth");
            walk_group(child, heap, depth + 1);
        }
        return;
    }
    const unsigned char* heap_head = bytes(heap, 32);
    if (std::memcmp(heap_head, "HEAP", 4) != 0 || heap_head[4] != 0) not_understood("no name heap where one belongs");
    const std::size_t heap_size = static_cast<std::size_t>(std::min<std::uint64_t>(u64(heap_head + 8), UNDEFINED / 2));
    const auto* names = bytes(u64(heap_head + 24), heap_size);
    for (std::uint64_t child : children) {
        const unsigned char* symbols = bytes(child, 8);
        if (std::memcmp(symbols, "SNOD", 4) != 0 || symbols[4] != 1) not_understood("no symbol node where one belongs");
        const unsigned count = u16(symbols + 6);
        const unsigned char* entry = bytes(child + 8, std::size_t{count} * 40);
        for (unsigned i = 0; i < count; ++i, entry += 40) {
            const std::uint64_t name_at = u64(entry);
            if (name_at >= heap_size) not_understood("a member name outside its heap");
            const auto* end = static_cast<const unsigned char*>(std::memchr(names + name_at, 0, heap_size - name_at));
            if (end == nullptr) not_understood("a member name without its end");
            const std::string name(reinterpret_cast<const char*>(names + name_at),
                                   static_cast<std::size_t>(end - (names + name_at)));
            if (!members_.emplace(name, u64(entry + 8)).second) not_understood("a member named twice");
        }
    }
}

StoredDataset StoredFile::dataset(const std::string& name) const {
    const auto member = members_.find(name);
    if (member == members_.end()) not_understood("no member \"" + name + "\"");
    const auto reader = [this](std::uint64_t at, std::size_t size) { return bytes(at, size); };
    StoredDataset dataset;
    bool space = false, type = false, layout = false;
    std::uint64_t chunk_record_size = 0;
    std::vector<std::uint16_t> seen;
    for (const Message& message : header_messages(reader, member->second)) {
        const auto kind = message.type;
        // HDF5 marks a message its readers must refuse when they do not know it.
        if ((message.flags & FAIL_IF_UNKNOWN) != 0) not_understood("a message readers must know");
        if (kind != DATASPACE && kind != DATATYPE && kind != LAYOUT && kind != FILTERS) {
            if (kind == EXTERNAL_FILES) not_understood("data in external files");
            continue;
        }
        if ((message.flags & SHARED) != 0) not_understood("a shared message");
        if (std::find(seen.begin(), seen.end(), kind) != seen.end()) not_understood("a message given twice");
        seen.push_back(kind);
        Reader in(message.data.data(), message.data.size());
        if (kind == DATASPACE) {
            const unsigned char* head = in.take(4);
            if (head[0] == 1) in.take(4);
            if ((head[0] != 1 && head[0] != 2) || head[1] != 1 || (head[0] == 2 && head[3] != 1))
                not_understood("a dataspace of another form");
            dataset.rows = in.number(8);
            space = true;
        } else if (kind == DATATYPE) {
            dataset.fields = compound_type(message.data, dataset.record_size);
            type = true;
        } else if (kind == LAYOUT) {
            const unsigned char* head = in.take(3);
            if (head[0] != 3 || head[1] != 2 || head[2] != 2) not_understood("a layout other than chunked rows");
            dataset.chunk_index = in.number(8);
            dataset.chunk_rows = in.number(4);
            chunk_record_size = in.number(4);
            layout = true;
        } else {
            dataset.filters = filter_pipeline(message.data);
        }
    }
    if (!space || !type || !layout || dataset.chunk_rows == 0 || chunk_record_size != dataset.record_size)
        not_understood("a dataset of another form");
    return dataset;
}

std::vector<StoredChunkRef> StoredFile::chunks(const StoredDataset& dataset, std::uint64_t first,
                                               std::uint64_t end) const {
    std::vector<StoredChunkRef> found;
    if (first >= end || dataset.chunk_index == UNDEFINED) return found;  // nothing stored yet
    walk_chunks(dataset, dataset.chunk_index, -1, first, end, found);
    for (std::size_t i = 1; i < found.size(); ++i)
        if (found[i].first_row <= found[i - 1].first_row) not_understood("a chunk index out of order");
    return found;
}

// A node of a version 1 B-tree of chunks: 24 bytes of head, then keys (chunk size, filter mask,
// the chunk's offset in rows and in bytes of its record) between child addresses. A child's
// key is the least offset below it, so only the children whose span meets [first, end) are read.
void StoredFile::walk_chunks(const StoredDataset& dataset, std::uint64_t node, int level, std::uint64_t first,
                             std::uint64_t end, std::vector<StoredChunkRef>& out) const {
    constexpr std::size_t KEY = 24;
    const unsigned char* head = bytes(node, 24);
    if (std::memcmp(head, "TREE", 4) != 0 || head[4] != 1) not_understood("no chunk tree where one belongs");
    if ((level >= 0 && head[5] != level) || head[5] > MAX_DEPTH) not_understood("a chunk tree of uneven depth");
    level = head[5];
    const unsigned entries = u16(head + 6);
    if (entries > MAX_NODE_ENTRIES) not_understood("a chunk node of too many entries");
    const unsigned char* body = bytes(node + 24, std::size_t{entries} * (KEY + 8) + KEY);
    const auto key = [&](unsigned i) { return body + std::size_t{i} * (KEY + 8); };
    for (unsigned i = 0; i < entries; ++i) {
        const unsigned char* k = key(i);
        const std::uint64_t row = u64(k + 8), child = u64(k + KEY);
        const std::uint64_t next = i + 1 < entries ? u64(key(i + 1) + 8) : UNDEFINED;
        if (u64(k + 16) != 0 || row % dataset.chunk_rows != 0 || next <= row) not_understood("a chunk key of another form");
        if (level > 0) {
            if (row < end && next > first) walk_chunks(dataset, child, level - 1, first, end, out);
            continue;
        }
        if (row >= end || row + dataset.chunk_rows <= first) continue;
        const std::uint32_t size = u32(k);
        if (size == 0 || child == UNDEFINED || child > file_.size() || size > file_.size() - child)
            not_understood("a chunk past the end of the file");
        out.push_back({row, child, size, u32(k + 4)});
    }
}

}  // namespace tarnwick::bundle::h5
