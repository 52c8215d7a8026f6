#include "support/power_cut.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

#include <fcntl.h>

namespace tarnwick::bundle::test {
namespace {

namespace stdfs = std::filesystem;
constexpr std::size_t SECTOR = 512;

struct Change {
    bool truncate = false;
    std::uint64_t offset = 0;  // write: where; truncate: the new size
    std::string data;
};

void apply(std::string& content, const Change& change) {
    if (change.truncate) {
        content.resize(change.offset);
        return;
    }
    if (content.size() < change.offset + change.data.size()) content.resize(change.offset + change.data.size());
    std::copy(change.data.begin(), change.data.end(), content.begin() + static_cast<std::ptrdiff_t>(change.offset));
}

enum class DirKind { Link, Rename, Unlink };
std::string folder_of(const std::string& path) { return stdfs::path(path).parent_path().string(); }

struct DirChange {
    DirKind kind;
    std::string path, to;  // a link's new name is `path`
    int inode = -1;
    // The folders still to be synced before the change is durable: a rename from one folder to
    // another is durable only once both were synced.
    std::set<std::string> unsynced = {folder_of(path)};
};

}  // namespace

std::map<std::string, std::string> PowerCut::image(std::size_t cut, std::mt19937_64& random, const Tear* tear) const {
    struct Inode {
        std::string durable;
        std::vector<Change> pending;
    };
    std::vector<Inode> inodes;
    std::map<std::string, int> names, durable_names;
    for (const auto& [path, content] : before_) {
        names[path] = durable_names[path] = static_cast<int>(inodes.size());
        inodes.push_back({content, {}});
    }
    std::vector<DirChange> pending_dir;
    const auto make_durable = [&](const DirChange& change) {
        if (change.kind == DirKind::Link) durable_names[change.path] = change.inode;
        if (change.kind == DirKind::Unlink) durable_names.erase(change.path);
        if (change.kind == DirKind::Rename) {
            durable_names[change.to] = change.inode;
            durable_names.erase(change.path);
        }
    };
    std::map<int, int> descriptors;
    const auto inode_of_fd = [&](int fd) {
        const auto it = descriptors.find(fd);
        if (it == descriptors.end()) throw std::logic_error("an operation on a descriptor the log never opened");
        return it->second;
    };

    for (std::size_t i = 0; i < cut && i < log_.size(); ++i) {
        const Recorded& op = log_[i];
        switch (op.op) {
            case Op::Open: {
                if (op.flags & O_DIRECTORY) break;  // a folder opened to be synced
                auto it = names.find(op.path);
                int inode;
                if (it == names.end()) {
                    inode = static_cast<int>(inodes.size());
                    inodes.push_back({});
                    names[op.path] = inode;
                    pending_dir.push_back({DirKind::Link, op.path, "", inode});
                } else {
                    inode = it->second;
                    if (op.flags & O_TRUNC) inodes[static_cast<std::size_t>(inode)].pending.push_back({true, 0, {}});
                }
                descriptors[op.fd] = inode;
                break;
            }
            case Op::Close:
                descriptors.erase(op.fd);
                break;
            case Op::Write:
                inodes[static_cast<std::size_t>(inode_of_fd(op.fd))].pending.push_back({false, op.offset, op.data});
                break;
            case Op::Truncate:
                inodes[static_cast<std::size_t>(inode_of_fd(op.fd))].pending.push_back({true, op.size, {}});
                break;
            case Op::Sync: {
                Inode& inode = inodes[static_cast<std::size_t>(inode_of_fd(op.fd))];
                for (const Change& change : inode.pending) apply(inode.durable, change);
                inode.pending.clear();
                break;
            }
            case Op::SyncDir: {
                std::vector<DirChange> still;
                for (DirChange& change : pending_dir) {
                    change.unsynced.erase(op.path);
                    if (change.unsynced.empty())
                        make_durable(change);
                    else
                        still.push_back(change);
                }
                pending_dir = std::move(still);
                break;
            }
            case Op::SyncFs:  // everything, as one folder and file after another
                for (Inode& inode : inodes) {
                    for (const Change& change : inode.pending) apply(inode.durable, change);
                    inode.pending.clear();
                }
                for (const DirChange& change : pending_dir) make_durable(change);
                pending_dir.clear();
                break;
            case Op::Rename: {
                const int inode = names.at(op.path);
                names.erase(op.path);
                names[op.to] = inode;
                DirChange change{DirKind::Rename, op.path, op.to, inode};
                change.unsynced.insert(folder_of(op.to));
                pending_dir.push_back(std::move(change));
                break;
            }
            case Op::Link: {
                const int inode = names.at(op.path);
                names[op.to] = inode;
                pending_dir.push_back({DirKind::Link, op.to, "", inode});
                break;
            }
            case Op::Unlink:
                names.erase(op.path);
                pending_dir.push_back({DirKind::Unlink, op.path, "", -1});
                break;
            default:
                break;
        }
    }

    // The power goes: what was durable, and any part of the rest.
    std::map<std::string, int> kept_names = durable_names;
    const int torn = tear && names.contains(tear->path) ? names.at(tear->path) : -1;
    for (const DirChange& change : pending_dir) {
        if (tear || random() % 2) continue;
        if (change.kind == DirKind::Link) kept_names[change.path] = change.inode;
        if (change.kind == DirKind::Unlink) kept_names.erase(change.path);
        if (change.kind == DirKind::Rename) {
            kept_names.erase(change.path);
            kept_names[change.to] = change.inode;
        }
    }
    std::map<int, std::string> contents;
    for (std::size_t n = 0; n < inodes.size(); ++n) {
        std::string content = inodes[n].durable;
        for (const Change& change : inodes[n].pending) {
            if (tear) {
                if (static_cast<int>(n) != torn || change.truncate) continue;
                const std::uint64_t begin = std::max(change.offset, tear->sector * SECTOR);
                const std::uint64_t end = std::min(change.offset + change.data.size(), (tear->sector + 1) * SECTOR);
                if (begin < end) apply(content, {false, begin, change.data.substr(begin - change.offset, end - begin)});
                continue;
            }
            const unsigned fate = random() % 8;  // 0-3 lost, 4-6 whole, 7 torn
            if (fate < 4) continue;
            if (fate < 7 || change.truncate) {
                apply(content, change);
                continue;
            }
            // Torn: some of its sectors reached the disk.
            for (std::uint64_t pos = change.offset; pos < change.offset + change.data.size();) {
                const std::uint64_t end =
                    std::min<std::uint64_t>((pos / SECTOR + 1) * SECTOR, change.offset + change.data.size());
                if (random() % 2) apply(content, {false, pos, change.data.substr(pos - change.offset, end - pos)});
                pos = end;
            }
        }
        contents[static_cast<int>(n)] = std::move(content);
    }
    std::map<std::string, std::string> files;
    for (const auto& [path, inode] : kept_names) files[path] = contents[inode];
    return files;
}

std::map<std::string, std::string> files_under(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : stdfs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        files[entry.path().string()] = {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    return files;
}

void write_files(const std::map<std::string, std::string>& files, const std::string& from, const std::string& to) {
    for (const auto& [path, content] : files) {
        if (path.rfind(from, 0) != 0) throw std::logic_error("a file outside the recorded folder: " + path);
        const stdfs::path target = to + path.substr(from.size());
        stdfs::create_directories(target.parent_path());
        std::ofstream(target, std::ios::binary) << content;
    }
}

}  // namespace tarnwick::bundle::test
