#include "tarnwick/bundle/host/process_pool.hpp"

#include <utility>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"

namespace tarnwick::bundle::host {
namespace {
testing::ForkFunction fork_function = ::fork;
}  // namespace

ProgressedProcessPoolExecutor::ProgressedProcessPoolExecutor(int max_workers, std::function<void()> initializer,
                                                             std::string description)
    : max_workers_(max_workers), initializer_(std::move(initializer)), progress_(std::move(description)) {
    if (max_workers < 1)
        throw ValueError(fmt::format("the number of worker processes must be at least 1, got {}", max_workers));
}

ProgressedProcessPoolExecutor::~ProgressedProcessPoolExecutor() {
    try {
        shutdown();
    } catch (...) {
        // Leaving the scope must not throw; whatever failed has been recorded.
    }
}

void ProgressedProcessPoolExecutor::submit(std::string label, std::function<void()> call) {
    pending_.push_back({std::move(label), std::move(call)});
    progress_.set_total(finished_ + pending_.size());
}

void ProgressedProcessPoolExecutor::shutdown() {
    if (!pending_.empty()) {
        const std::vector<Call> calls = std::exchange(pending_, {});
        WorkerOptions options;
        options.workers = static_cast<std::size_t>(max_workers_);
        options.initializer = initializer_;
        options.stoppable = true;
        options.fork = fork_function;
        options.durability = durability_;
        // The display counts the calls that ran to their end, so that a stopped run shows how
        // far it got; a written call is counted then, not again when it is made durable.
        std::vector<bool> stepped(calls.size(), false);
        options.on_written = [&](std::size_t i) {
            stepped[i] = true;
            progress_.step();
        };
        interrupted_ = run_workers(
            calls.size(), options,
            [&calls](std::size_t i) {
                calls[i].run();
                return std::string();
            },
            [&](std::size_t i, Outcome outcome) {
                ++finished_;
                if (!stepped[i] && outcome.kind != Outcome::Kind::Interrupted &&
                    outcome.kind != Outcome::Kind::NotRun)
                    progress_.step();
                if (outcome.kind != Outcome::Kind::Done)
                    failures_.push_back(
                        {calls[i].label, std::move(outcome.text), outcome.kind == Outcome::Kind::Died});
                return true;
            });
    }
    progress_.finish();
}

namespace testing {
ForkFunction set_fork_function(ForkFunction function) { return std::exchange(fork_function, function); }
}  // namespace testing

}  // namespace tarnwick::bundle::host
