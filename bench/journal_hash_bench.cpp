// What the undo journal's content identity costs an update: the reads and the hash of a store
// file's identity as the journal takes it at its start, for every .h5 file under a folder, with
// the ranges of the checksum before it (both 64 KiB ends) and of today's hash (the ends and
// eight 4 KiB blocks through the middle). Each file's pages are dropped from the page cache
// first (posix_fadvise), so the figures are those of a file not read since it was written (the
// middle blocks are what an append never reads), not of the cache.
//
//   ./build/bench/journal_hash_bench DIR [--repeat N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "tarnwick/bundle/fs/env.hpp"
#include "tarnwick/bundle/h5/journal_format.hpp"

namespace {

using namespace tarnwick::bundle;
using Identity = h5::detail::JournalContents::Identity;

// Seconds to identify every file of `files` in the way `identity` does; bytes 0 when a read fails.
double identify_all(const std::vector<std::string>& files, Identity identity, std::uint64_t& bytes) {
    const auto start = std::chrono::steady_clock::now();
    bytes = 0;
    bool failed = false;
    for (const std::string& path : files) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0) continue;
        const auto size = static_cast<std::uint64_t>(::lseek(fd, 0, SEEK_END));
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        std::vector<std::vector<char>> ranges;
        for (const auto& [begin, end] : h5::detail::hashed_ranges(size, identity == Identity::Hash)) {
            std::vector<char>& range = ranges.emplace_back(end - begin);
            std::size_t got = 0;
            if (fs::read_full(fd, range.data(), range.size(), begin, got) || got < range.size()) failed = true;
            bytes += got;
        }
        std::uint64_t low = 0, high = 0;
        h5::detail::identity_of(identity, size, ranges, low, high);
        ::close(fd);
    }
    if (failed) bytes = 0;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIR [--repeat N]\n", argv[0]);
        return 2;
    }
    const int repeat = argc >= 4 && std::string(argv[2]) == "--repeat" ? std::max(1, std::atoi(argv[3])) : 3;
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[1]))
        if (entry.is_regular_file() && entry.path().extension() == ".h5") files.push_back(entry.path().string());
    if (files.empty()) {
        std::fprintf(stderr, "no .h5 file under %s\n", argv[1]);
        return 1;
    }
    std::printf("| identity | files | KiB read a file | best s for all (cold pages) | ms a file |\n|---|---|---|---|---|\n");
    for (const auto& [name, identity] : {std::pair{"checksum of the two ends", Identity::Checksum},
                                         std::pair{"XXH3-128 of the ends and 8 blocks", Identity::Hash}}) {
        double best = 1e9;
        std::uint64_t bytes = 0;
        for (int r = 0; r < repeat; ++r) best = std::min(best, identify_all(files, identity, bytes));
        if (bytes == 0) return 1;  // a read failed: no figure
        std::printf("| %s | %zu | %.1f | %.3f | %.3f |\n", name, files.size(),
                    static_cast<double>(bytes) / 1024.0 / static_cast<double>(files.size()), best,
                    1000.0 * best / static_cast<double>(files.size()));
    }
    return 0;
}
