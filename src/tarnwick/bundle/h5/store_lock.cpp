#include "tarnwick/bundle/h5/store_lock.hpp"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "tarnwick/bundle/fs/env.hpp"

namespace tarnwick::bundle::h5::detail {
namespace {

using fs::Lock;

std::chrono::milliseconds seconds_from(const char* name, double fallback) {
    double seconds = fallback;
    if (const char* text = std::getenv(name); text && *text) {
        char* end = nullptr;
        const double given = std::strtod(text, &end);
        if (end != text && given >= 0 && given < 3600) seconds = given;
    }
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

// Takes flock EXCLUSIVE over the writer's SHARED one. Linux converts a flock by dropping the
// old lock first, so a refused upgrade leaves the writer with nothing: the shared lock is taken
// back at once. Only in that instant could an HDF5 writer of another kind (h5py) get in; it
// is the one gap the kernel's conversion leaves (README, "Reading during an update").
int try_upgrade(int fd) {
    const int err = fs::env().lock(fd, Lock::Exclusive);
    if (err == 0) return 0;
    // Should even that fail, the writer byte still keeps our writers out; only an HDF5 writer
    // of another kind could then get in, as in the gap above.
    static_cast<void>(fs::retry_lock([&] { return fs::env().lock(fd, Lock::Shared); }, std::chrono::milliseconds(200)));
    return err;
}

void downgrade(int fd) noexcept {
    // Same conversion the other way: readers may enter as soon as it is done.
    // A conversion to shared and an unlock cannot be refused by another holder; nothing to do
    // about an error of the system here but go on.
    static_cast<void>(fs::env().lock(fd, Lock::Shared));
    static_cast<void>(fs::env().lock_byte(fd, PENDING_BYTE, Lock::Unlock));
}

}  // namespace

std::chrono::milliseconds read_wait() { return seconds_from("TARNWICK_READ_WAIT_SECONDS", 30); }

std::chrono::milliseconds commit_wait() { return seconds_from("TARNWICK_COMMIT_WAIT_SECONDS", 10); }

int lock_for_writing(int fd, bool& exclusive) {
    exclusive = fs::flock_is_emulated(fd);
    if (exclusive) return fs::env().lock(fd, Lock::Exclusive);
    if (const int err = fs::env().lock_byte(fd, WRITER_BYTE, Lock::Exclusive)) {
        // A file system without byte-range locks, or a descriptor open for reading only (an
        // exclusive byte lock needs one open for writing: remove_h5 of a read-only file): the
        // old exclusive lock, as on a network file system.
        if (err != EINVAL && err != ENOLCK && err != EOPNOTSUPP && err != EBADF) return err;
        exclusive = true;
        return fs::env().lock(fd, Lock::Exclusive);
    }
    if (const int err = fs::env().lock(fd, Lock::Shared)) {
        // An HDF5 writer of another kind (h5py, an older build) holds it exclusively.
        static_cast<void>(fs::env().lock_byte(fd, WRITER_BYTE, Lock::Unlock));  // an unlock: nothing to refuse
        return err;
    }
    return 0;
}

int lock_for_reading(int fd) {
    // Where a writer keeps the file to itself for its whole update, waiting would only make a
    // reader wait for a whole update: it is refused at once, as HDF5 refuses.
    if (fs::flock_is_emulated(fd)) return fs::env().lock(fd, Lock::Shared);
    return fs::retry_lock(
        [&] {
            bool pending = false;
            if (fs::env().byte_locked(fd, PENDING_BYTE, Lock::Shared, pending) == 0 && pending) return EWOULDBLOCK;
            return fs::env().lock(fd, Lock::Shared);
        },
        read_wait());
}

bool held_for_writing(int fd) {
    bool held = false;
    if (!fs::flock_is_emulated(fd) && fs::env().byte_locked(fd, WRITER_BYTE, Lock::Shared, held) == 0 && held)
        return true;
    // HDF5's own writers (and ours where flock is only emulated) hold the file exclusively;
    // a commit window does too for a moment, but then the writer byte told already.
    if (fs::env().lock(fd, Lock::Shared) == EWOULDBLOCK) return true;
    static_cast<void>(fs::env().lock(fd, Lock::Unlock));  // goes with the descriptor anyway
    return false;
}

std::vector<int> run_in_windows(const std::vector<int>& fds, std::chrono::milliseconds bound,
                                const std::function<int(std::size_t)>& inside) {
    std::vector<int> result(fds.size(), EWOULDBLOCK);
    std::vector<bool> waiting(fds.size(), true);
    std::size_t left = fds.size();
    for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fs::flock_is_emulated(fds[i])) {
            // Held exclusively since the open: the window is the whole update.
            result[i] = inside(i);
            waiting[i] = false;
            --left;
            continue;
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + bound;
    auto pause = std::chrono::milliseconds(1);
    while (left > 0) {
        bool entered = false;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!waiting[i]) continue;
            const int err = try_upgrade(fds[i]);
            if (err == EWOULDBLOCK || err == EAGAIN) {
                // Readers are inside: from now on our readers of this file wait, so only those
                // already inside delay its window. Marked only once refused, a file's readers
                // are not held up while the windows of the files before it run. (Refused only
                // where another writer's mark is, which the writer byte rules out; without the
                // mark readers merely delay the window.)
                static_cast<void>(fs::env().lock_byte(fds[i], PENDING_BYTE, Lock::Exclusive));
                continue;
            }
            waiting[i] = false;
            --left;
            result[i] = err ? err : inside(i);
            downgrade(fds[i]);
            entered = true;
        }
        if (left == 0) break;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) break;
        if (entered) continue;  // others may have left meanwhile
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
    for (std::size_t i = 0; i < fds.size(); ++i)
        if (waiting[i]) static_cast<void>(fs::env().lock_byte(fds[i], PENDING_BYTE, Lock::Unlock));
    return result;
}

int run_in_window(int fd, const std::function<int()>& inside) {
    return run_in_windows({fd}, commit_wait(), [&](std::size_t) { return inside(); }).front();
}

}  // namespace tarnwick::bundle::h5::detail
