#include <algorithm>
#include <cerrno>
#include "tarnwick/bundle/drivers/per_instrument.hpp"

#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "tarnwick/bundle/drivers/update_failure.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/h5/journal.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/interrupt.hpp"
#include "tarnwick/bundle/host/log.hpp"
#include "tarnwick/bundle/host/process_pool.hpp"
#include "tarnwick/bundle/host/shared_flag.hpp"
#include "tarnwick/bundle/layout/install_record.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/selection/tags.hpp"

namespace tarnwick::bundle::drivers {
namespace {

constexpr std::size_t MAX_SHOWN = 6;
constexpr std::size_t MAX_SHOWN_LENGTH = 30;

// A quoted identifier; one too long for MAX_SHOWN_LENGTH keeps its beginning and its end with
// "..." between them, the whole 30 characters with the quotes.
std::string quoted(const std::string& id) {
    if (id.size() + 2 <= MAX_SHOWN_LENGTH) return "'" + id + "'";
    const std::size_t head = (MAX_SHOWN_LENGTH - 3) / 2 - 1;   // the opening quote takes one
    const std::size_t tail = MAX_SHOWN_LENGTH - 3 - head - 2;  // both quotes
    return "'" + id.substr(0, head) + "..." + id.substr(id.size() - tail) + "'";
}

// Records the request in the bundle of `path`, if it is one. A failure is only logged: the
// record serves `status` and `update-existing --selection`, never the update's own result.
void record_selection(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives,
                      bool enable_bjse, const std::set<std::string>& ids, selection::StoreKind kind) {
    const std::string bundle = selection::bundle_of_store_folder(path, kind);
    if (!bundle.empty())
        selection::try_record_request(bundle, kind, selection::make_request(tags, with_derivatives, enable_bjse, ids));
}

SelectionObserver& selection_observer() {
    static SelectionObserver observer;
    return observer;
}

}  // namespace

SelectionObserver observe_selections(SelectionObserver observer) {
    return std::exchange(selection_observer(), std::move(observer));
}

std::string abbreviated_set(const std::set<std::string>& ids) {
    if (ids.empty()) return "set()";
    std::string text = "{";
    std::size_t shown = 0;
    for (const auto& id : ids) {
        if (shown == MAX_SHOWN) {
            text += ", ...";
            break;
        }
        if (shown > 0) text += ", ";
        text += quoted(id);
        ++shown;
    }
    return text + "}";
}

namespace {

// Why a file's update was given up when its readers outlasted the commit wait; such files are
// tried again at the end of the run.
constexpr const char* READERS_KEPT_IT_OPEN =
    "readers kept it open for longer than the commit wait (TARNWICK_COMMIT_WAIT_SECONDS); its update was rolled back";

// What one pass of the pool over a list of instruments came to.
struct PoolOutcome {
    std::vector<host::ProgressedProcessPoolExecutor::Failure> failures;
    int interrupted = 0;
};

PoolOutcome run_in_pool(const std::vector<std::string>& ids, int concurrency, const PerInstrumentRun& run,
                        const std::shared_ptr<host::SharedFlag>& succeed) {
    PoolOutcome outcome;
    {
        // A worker updates file after file: their commits are made durable in groups, and an
        // instrument counts as updated only once its group is (the pool asks the hook after
        // each instrument and before the worker ends). Those whose commits fail are failures.
        auto commit_failures = std::make_shared<host::DurabilityFailures>();
        host::ProgressedProcessPoolExecutor executor(
            concurrency,
            [succeed, commit_failures] {
                host::process_init(succeed);
                h5::defer_commits(true, [commit_failures](const std::string& h5_file, int err, std::size_t item) {
                    if (err == EWOULDBLOCK) {
                        // Readers kept the file open past the commit wait: the line of a held file.
                        commit_failures->emplace_back(
                            item, fmt::format("更新 {} 失败，请检查文件的权限以及是否被其他进程占用\n{}", h5_file,
                                              READERS_KEPT_IT_OPEN));
                        return;
                    }
                    commit_failures->emplace_back(item, fmt::format("the update of \"{}\" could not be made durable: "
                                                                    "{} (errno {}); it was rolled back",
                                                                    h5_file, std::strerror(err), err));
                });
            },
            run.description);
        executor.set_durability(
            {[](std::size_t item) { h5::set_deferred_commit_owner(item); },
             [commit_failures](bool final, host::DurabilityFailures& failed) {
                 const bool settled = h5::settle_deferred_commits(!final);
                 failed = std::exchange(*commit_failures, {});
                 return settled;
             }});
        for (const auto& id : ids) executor.submit(id, [&run, id] { run.task(id); });
        executor.shutdown();
        outcome.failures = executor.failures();
        outcome.interrupted = executor.interrupted();
    }
    return outcome;
}

}  // namespace

bool update_each_instrument(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives,
                            int concurrency, bool enable_bjse, const PerInstrumentRun& run) {
    if (concurrency < 1) throw ValueError(fmt::format("concurrency must be at least 1, got {}", concurrency));
    // A clock or a log file that cannot be used is reported here, once, before any work; later
    // every worker would fail on it.
    host::now();
    host::open_system_log();
    // The store root lies in the bundle folder: a sample install killed half-way there is
    // finished or undone first.
    std::filesystem::path root = std::filesystem::absolute(path).lexically_normal();
    if (!root.has_filename()) root = root.parent_path();
    layout::settle_unfinished_install_if_any(root.parent_path());
    // Held for the whole run: no install renames files over the ones being updated.
    const layout::UpdateLock install_kept_out(root.parent_path());
    const std::set<std::string> ids = selection::_merge_tags(tags, with_derivatives, enable_bjse);
    if (run.create_path) layout::make_directories(path);
    host::print_line(fmt::format(fmt::runtime(run.announcement), ids.size(), abbreviated_set(ids)));
    if (const auto& observer = selection_observer()) observer(ids.size());
    // A request that selected nothing is not worth keeping.
    if (run.record_as && !ids.empty()) record_selection(path, tags, with_derivatives, enable_bjse, ids, *run.record_as);

    auto succeed = std::make_shared<host::SharedFlag>(true);
    PoolOutcome outcome = run_in_pool(std::vector<std::string>(ids.begin(), ids.end()), concurrency, run, succeed);
    // One more try at the end of the run, in new workers, for files whose readers outlasted the
    // commit wait (a backtest that held one open has usually finished by then) and for
    // instruments whose worker died (killed by the out-of-memory killer, say): what it had not
    // made durable was rolled back, and is as good as never begun.
    std::vector<std::string> held, orphaned;
    for (const auto& failure : outcome.failures) {
        if (failure.error.find(READERS_KEPT_IT_OPEN) != std::string::npos) held.push_back(failure.label);
        else if (failure.worker_died) orphaned.push_back(failure.label);
    }
    if (!(held.empty() && orphaned.empty()) && !outcome.interrupted) {
        const auto announce = [](const std::vector<std::string>& labels, const char* whose) {
            if (labels.empty()) return;
            host::print_line(fmt::format("{} instruments whose {} are tried again: {}", labels.size(), whose,
                                         abbreviated_set(std::set<std::string>(labels.begin(), labels.end()))));
        };
        announce(held, "files readers kept open");
        announce(orphaned, "worker process died");
        std::vector<std::string> retried = held;
        retried.insert(retried.end(), orphaned.begin(), orphaned.end());
        PoolOutcome again =
            run_in_pool(retried, std::min<int>(concurrency, static_cast<int>(retried.size())), run, succeed);
        std::erase_if(outcome.failures,
                      [&](const auto& f) { return std::ranges::find(retried, f.label) != retried.end(); });
        outcome.failures.insert(outcome.failures.end(), again.failures.begin(), again.failures.end());
        outcome.interrupted = again.interrupted;
    }
    const auto& failures = outcome.failures;
    const int interrupted = outcome.interrupted;
    if (interrupted) {
        // Every file is either updated or as it was: say which is which, then stop the command.
        std::set<std::string> not_updated;
        for (const auto& failure : failures) not_updated.insert(failure.label);
        host::print_line(fmt::format("Interrupted: {} of {} instruments updated; not updated: {}",
                                     ids.size() - not_updated.size(), ids.size(), abbreviated_set(not_updated)));
        throw host::Interrupted(interrupted);
    }
    for (const auto& failure : failures) {
        // A failure that carries its own update-failure line (a held file's) is logged as it is.
        const bool whole_line = failure.error.starts_with("更新 ");
        host::system_log().error(whole_line ? failure.error : "更新 " + failure.label + " 失败\n" + failure.error);
        succeed->set(false);
    }
    return succeed->value();
}

}  // namespace tarnwick::bundle::drivers
