// Examination in worker processes: verdicts in file order whatever the worker count, a worker
// that dies costs only its file, and an error that must stop the check stops it after the
// files before it.
#include "tarnwick/bundle/checks/isolated.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include <unistd.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/service/errors.hpp"

namespace tarnwick::bundle::checks {
namespace {

// A verdict that depends on the file only, so any worker gives the same one.
Verdict verdict_for(std::size_t i) {
    static constexpr Verdict cycle[] = {Verdict::Good, Verdict::Abnormal, Verdict::Good, Verdict::Blocked,
                                        Verdict::Skipped};
    return cycle[(i * 7) % 5];
}

// Files take different times, so that the workers finish out of order.
Verdict slow_examine(std::size_t i) {
    ::usleep(static_cast<useconds_t>((i % 3 == 0 ? 3000 : 200) + (i * 37) % 900));
    return verdict_for(i);
}

struct Seen {
    std::vector<std::size_t> order;
    std::vector<Verdict> verdicts;
    std::function<void(std::size_t, Verdict)> record() {
        return [this](std::size_t i, Verdict v) {
            order.push_back(i);
            verdicts.push_back(v);
        };
    }
};

TEST(ExamineIsolated, VerdictsArriveInFileOrderForAnyWorkerCount) {
    for (unsigned workers : {1u, 2u, 3u, 8u, 0u}) {
        SCOPED_TRACE(workers);
        Seen seen;
        examine_isolated(40, slow_examine, seen.record(), workers);
        ASSERT_EQ(seen.order.size(), 40u);
        for (std::size_t i = 0; i < 40; ++i) {
            EXPECT_EQ(seen.order[i], i);
            EXPECT_EQ(seen.verdicts[i], verdict_for(i));
        }
    }
    Seen none;
    examine_isolated(0, slow_examine, none.record(), 2);
    EXPECT_TRUE(none.order.empty());
    EXPECT_GE(default_check_workers(), 1u);
}

TEST(ExamineIsolated, FilesAreSharedAmongTheWorkers) {
    // Each examination tells the test which process it ran in.
    const pid_t parent = ::getpid();
    std::vector<pid_t> seen_pids;
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    examine_isolated(
        30,
        [&](std::size_t i) {
            const pid_t me = ::getpid();
            if (::write(pipe_fds[1], &me, sizeof me) != sizeof me) std::abort();
            ::usleep(5000);  // long enough for the second worker to start, even on a busy machine
            return verdict_for(i);
        },
        [](std::size_t, Verdict) {}, 2);
    ::close(pipe_fds[1]);
    pid_t pid;
    while (::read(pipe_fds[0], &pid, sizeof pid) == sizeof pid) seen_pids.push_back(pid);
    ::close(pipe_fds[0]);
    ASSERT_EQ(seen_pids.size(), 30u);
    std::sort(seen_pids.begin(), seen_pids.end());
    seen_pids.erase(std::unique(seen_pids.begin(), seen_pids.end()), seen_pids.end());
    EXPECT_EQ(seen_pids.size(), 2u);
    for (pid_t p : seen_pids) EXPECT_NE(p, parent);
}

TEST(ExamineIsolated, AWorkerThatDiesCostsOnlyItsFile) {
    for (unsigned workers : {1u, 2u, 3u}) {
        SCOPED_TRACE(workers);
        Seen seen;
        examine_isolated(
            12,
            [](std::size_t i) {
                if (i == 4 || i == 5 || i == 11) std::raise(SIGSEGV);
                return slow_examine(i);
            },
            seen.record(), workers);
        ASSERT_EQ(seen.order.size(), 12u);
        for (std::size_t i = 0; i < 12; ++i) {
            EXPECT_EQ(seen.order[i], i);
            const bool died = i == 4 || i == 5 || i == 11;
            EXPECT_EQ(seen.verdicts[i], died ? Verdict::Abnormal : verdict_for(i)) << i;
        }
    }
}

TEST(ExamineIsolated, AnErrorStopsTheRunAfterTheFilesBeforeIt) {
    for (unsigned workers : {1u, 2u, 4u}) {
        SCOPED_TRACE(workers);
        Seen seen;
        try {
            examine_isolated(
                20,
                [](std::size_t i) -> Verdict {
                    if (i == 9) throw service::PermissionDenied("no minute bars for you");
                    if (i == 13) throw ValueError("later error, never reported");
                    return slow_examine(i);
                },
                seen.record(), workers);
            ADD_FAILURE() << "no error";
        } catch (const service::PermissionDenied& e) {
            EXPECT_NE(std::string(e.what()).find("no minute bars for you"), std::string::npos);
        }
        ASSERT_EQ(seen.order.size(), 9u);
        for (std::size_t i = 0; i < 9; ++i) EXPECT_EQ(seen.order[i], i);
    }
    Seen seen;
    EXPECT_THROW(examine_isolated(
                     5,
                     [](std::size_t i) -> Verdict {
                         if (i == 2) throw OsError(OsError::Kind::Other, 0, "lost connection");
                         return Verdict::Good;
                     },
                     seen.record(), 3),
                 OsError);
    EXPECT_EQ(seen.order.size(), 2u);
}

}  // namespace
}  // namespace tarnwick::bundle::checks
