#include "tarnwick/bundle/checks/isolated.hpp"

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/child_io.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/service/errors.hpp"

namespace tarnwick::bundle::checks {
namespace {

// Error records from the child: 'E', a category letter, the message, then end of stream.
constexpr char ERROR_RECORD = 'E';

void write_all(int fd, const std::string& bytes) { host::write_all(fd, bytes.data(), bytes.size()); }

// The letter that keeps an error's category across the pipe (see rethrow()).
char category_of(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const service::PermissionDenied&) {
        return 'P';
    } catch (const OsError&) {
        return 'O';
    } catch (const ValueError&) {
        return 'V';
    } catch (...) {
        return 'X';
    }
}

[[noreturn]] void run_child(std::size_t first, std::size_t count, const std::function<Verdict(std::size_t)>& examine,
                            int fd) {
    host::set_console({});
    for (std::size_t i = first; i < count; ++i) {
        try {
            write_all(fd, std::string(1, static_cast<char>(examine(i))));
        } catch (const std::exception& e) {
            write_all(fd, std::string{ERROR_RECORD, category_of(std::current_exception())} + e.what());
            ::_exit(1);
        }
    }
    ::_exit(0);
}

[[noreturn]] void rethrow(char category, const std::string& message) {
    switch (category) {
        case 'P': throw service::PermissionDenied(message);
        case 'O': throw OsError(OsError::Kind::Other, 0, message);
        case 'V': throw ValueError(message);
        default: throw std::runtime_error(message);
    }
}

}  // namespace

void examine_isolated(std::size_t count, const std::function<Verdict(std::size_t)>& examine,
                      const std::function<void(std::size_t, Verdict)>& on_verdict) {
    std::size_t next = 0;
    while (next < count) {
        int fds[2];
        if (::pipe(fds) != 0) throw OsError::from_errno(errno, "cannot create a pipe for the check");
        host::flush_output_streams();
        const pid_t pid = ::fork();
        if (pid < 0) {
            const int err = errno;
            ::close(fds[0]);
            ::close(fds[1]);
            throw OsError::from_errno(err, "cannot start the check's process");
        }
        if (pid == 0) {
            ::close(fds[0]);
            run_child(next, count, examine, fds[1]);
        }
        ::close(fds[1]);

        std::string error;
        bool in_error = false;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            for (ssize_t k = 0; k < n; ++k) {
                if (in_error) {
                    error += buffer[k];
                } else if (buffer[k] == ERROR_RECORD) {
                    in_error = true;
                } else {
                    on_verdict(next, static_cast<Verdict>(buffer[k]));
                    ++next;
                }
            }
        }
        ::close(fds[0]);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (in_error) rethrow(error.empty() ? 'X' : error[0], error.empty() ? "check failed" : error.substr(1));
        if (next < count && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
            // The child died on file `next`: the file's damage crashed the storage library.
            on_verdict(next, Verdict::Abnormal);
            ++next;
        } else if (next < count) {
            throw std::runtime_error("the check's process ended before examining every file");
        }
    }
}

}  // namespace tarnwick::bundle::checks
