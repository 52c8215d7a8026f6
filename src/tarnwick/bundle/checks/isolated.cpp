#include "tarnwick/bundle/checks/isolated.hpp"

#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/worker_engine.hpp"
#include "tarnwick/bundle/service/errors.hpp"

namespace tarnwick::bundle::checks {
namespace {

// What a worker hands back for a file: the verdict letter, or FAILED, a category letter and the
// message of an error that must stop the whole check.
constexpr char FAILED = 'E';

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

[[noreturn]] void rethrow(char category, const std::string& message) {
    switch (category) {
        case 'P':
            throw service::PermissionDenied(message);
        case 'O':
            throw OsError(OsError::Kind::Other, 0, message);
        case 'V':
            throw ValueError(message);
        default:
            throw std::runtime_error(message);
    }
}

// The run's state in this process: every verdict received and the first error, handed on in
// file order.
class Verdicts {
public:
    Verdicts(std::size_t count, const std::function<void(std::size_t, Verdict)>& on_verdict)
        : on_verdict_(on_verdict), verdicts_(count) {}

    // Returns false once an error means that no further file need be examined.
    bool take(std::size_t i, const host::Outcome& outcome) {
        switch (outcome.kind) {
            case host::Outcome::Kind::Done:
                if (!outcome.text.empty() && outcome.text[0] == FAILED) {
                    // Files after the first error are never reported; those before it are.
                    if (!error_at_ || i < *error_at_) {
                        error_at_ = i;
                        error_ = outcome.text.substr(1);
                    }
                } else if (outcome.text.size() == 1) {
                    verdicts_[i] = static_cast<Verdict>(outcome.text[0]);
                }
                break;
            case host::Outcome::Kind::Died:
                // The worker died on file i: the file's damage crashed the storage library.
                verdicts_[i] = Verdict::Abnormal;
                break;
            default:
                if (unfinished_.empty()) unfinished_ = outcome.text;
        }
        emit_ready();
        return !error_at_;
    }

    void finish() {
        if (error_at_ && emitted_ == *error_at_)
            rethrow(error_.empty() ? 'X' : error_[0], error_.empty() ? "check failed" : error_.substr(1));
        if (emitted_ < verdicts_.size())
            throw std::runtime_error("the check's processes ended before examining every file" +
                                     (unfinished_.empty() ? std::string() : ": " + unfinished_));
    }

private:
    void emit_ready() {
        while (emitted_ < verdicts_.size() && verdicts_[emitted_] && (!error_at_ || emitted_ < *error_at_)) {
            on_verdict_(emitted_, *verdicts_[emitted_]);
            ++emitted_;
        }
    }

    const std::function<void(std::size_t, Verdict)>& on_verdict_;
    std::vector<std::optional<Verdict>> verdicts_;
    std::size_t emitted_ = 0;
    std::optional<std::size_t> error_at_;
    std::string error_;  // category letter and message
    std::string unfinished_;
};

}  // namespace

unsigned default_check_workers() {
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1;
}

void examine_isolated(std::size_t count, const std::function<Verdict(std::size_t)>& examine,
                      const std::function<void(std::size_t, Verdict)>& on_verdict, unsigned workers) {
    if (count == 0) return;
    if (workers == 0) workers = default_check_workers();
    if (workers > count) workers = static_cast<unsigned>(count);
    Verdicts verdicts(count, on_verdict);
    host::WorkerOptions options;
    options.workers = workers;
    host::run_workers(
        count, options,
        [&](std::size_t i) {
            try {
                return std::string(1, static_cast<char>(examine(i)));
            } catch (const std::exception& e) {
                return std::string{FAILED, category_of(std::current_exception())} + e.what();
            }
        },
        [&](std::size_t i, const host::Outcome& outcome) { return verdicts.take(i, outcome); });
    verdicts.finish();
}

}  // namespace tarnwick::bundle::checks
