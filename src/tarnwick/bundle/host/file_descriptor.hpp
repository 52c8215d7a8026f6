#pragma once
// A POSIX file descriptor owned by one object: closed when the owner goes, moved, never copied.
#include <cerrno>
#include <utility>

#include <unistd.h>

namespace tarnwick::bundle::host {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) ::close(fd_);
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }

    int get() const noexcept { return fd_; }

    // Closes now; returns 0, or the errno of a failed close. close() reports the deferred write
    // errors of some file systems (NFS, a full disk): a writer checks it.
    int close() noexcept {
        const int fd = std::exchange(fd_, -1);
        return ::close(fd) == 0 ? 0 : errno;
    }

private:
    int fd_;
};

}  // namespace tarnwick::bundle::host
