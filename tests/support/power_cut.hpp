#pragma once
// The disk a power cut could leave behind, rebuilt from a recorded run (RecordingEnv).
//
// The model, in the manner of SQLite's crash tests: a file's writes and truncations are durable
// once the file was synced (fsync or fdatasync) after them; a name created, linked, renamed or
// removed is durable once its folder was synced after it (a rename between two folders: once
// both were); a sync of the whole file system makes
// everything before it durable. When the power goes, every durable change is
// there, and of the others any part: each unsynced change of a file survives or not (a write
// may survive in part, by 512-byte sectors), each unsynced change of a folder survives or not
// (a rename wholly or not at all), in any combination.
// Folders are not modelled: an image has the folders its files need, and no others.
#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/test_envs.hpp"

namespace tarnwick::bundle::test {

class PowerCut {
public:
    // `before`: every file the run could touch (path -> content), as on disk before it began.
    PowerCut(std::map<std::string, std::string> before, std::vector<Recorded> log)
        : before_(std::move(before)), log_(std::move(log)) {}

    std::size_t operations() const { return log_.size(); }

    // The files (path -> content) after a power cut that struck just before operation `cut`;
    // with `tear`, of all that was not durable only the writes to `tear->path` that fall in its
    // 512-byte sector `tear->sector` survive (a path never written: nothing of it survives).
    struct Tear {
        std::string path;
        std::uint64_t sector;
    };
    std::map<std::string, std::string> image(std::size_t cut, std::mt19937_64& random,
                                             const Tear* tear = nullptr) const;

private:
    std::map<std::string, std::string> before_;
    std::vector<Recorded> log_;
};

// Every regular file under `root` (path -> content).
std::map<std::string, std::string> files_under(const std::string& root);
// Writes `files` with their paths' `from` prefix replaced by `to`; folders are made as needed.
void write_files(const std::map<std::string, std::string>& files, const std::string& from, const std::string& to);

}  // namespace tarnwick::bundle::test
