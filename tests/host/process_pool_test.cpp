// The worker pool: bounded parallelism, the initializer before every call, each call once, and
// no hang and no silence when a worker fails or dies.
#include "tarnwick/bundle/host/process_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <set>
#include <thread>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/temp_dir.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/interrupt.hpp"
#include "tarnwick/bundle/host/shared_flag.hpp"
#include "tarnwick/bundle/host/worker_engine.hpp"

namespace tarnwick::bundle::host {
namespace {

// Counters in memory shared with the forked workers.
struct SharedCounters {
    std::atomic<int> running;
    std::atomic<int> max_running;
    std::atomic<int> runs[64];
    std::atomic<int> initialised_before_call;
};

class SharedMemory {
public:
    SharedMemory() {
        void* memory = mmap(nullptr, sizeof(SharedCounters), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        counters_ = new (memory) SharedCounters{};
    }
    ~SharedMemory() { munmap(counters_, sizeof(SharedCounters)); }
    SharedCounters* operator->() { return counters_; }
    SharedCounters* get() { return counters_; }

private:
    SharedCounters* counters_;
};

bool initialised_in_this_process = false;

TEST(ProcessPool, RunsEachCallOnceWithAtMostMaxWorkersAndInitializerFirst) {
    SharedMemory shared;
    SharedCounters* counters = shared.get();
    {
        ProgressedProcessPoolExecutor pool(2, [] { initialised_in_this_process = true; });
        for (int i = 0; i < 6; ++i) {
            pool.submit("task " + std::to_string(i), [counters, i] {
                if (initialised_in_this_process) ++counters->initialised_before_call;
                const int now = ++counters->running;
                int seen = counters->max_running.load();
                while (now > seen && !counters->max_running.compare_exchange_weak(seen, now)) {}
                std::this_thread::sleep_for(std::chrono::milliseconds(60));
                ++counters->runs[i];
                --counters->running;
            });
        }
    }  // leaving the scope waits for every call
    EXPECT_FALSE(initialised_in_this_process) << "the initializer must run in the workers only";
    for (int i = 0; i < 6; ++i) EXPECT_EQ(counters->runs[i].load(), 1) << "call " << i;
    EXPECT_EQ(counters->max_running.load(), 2);
    EXPECT_EQ(counters->initialised_before_call.load(), 6);
}

TEST(ProcessPool, SharedFlagInstalledByInitializerReachesTheDriver) {
    auto flag = std::make_shared<SharedFlag>(true);
    {
        ProgressedProcessPoolExecutor pool(2, [flag] { process_init(flag); });
        pool.submit("ok", [] {});
        pool.submit("fails", [] { sval().set(false); });
    }
    EXPECT_FALSE(flag->value());
}

TEST(ProcessPool, ThrowingCallAndKilledWorkerAreRecordedWithoutHanging) {
    SharedMemory shared;
    SharedCounters* counters = shared.get();
    std::vector<ProgressedProcessPoolExecutor::Failure> failures;
    {
        ProgressedProcessPoolExecutor pool(2, nullptr);
        pool.submit("throws", [] { throw ValueError("标的 X 不存在"); });
        pool.submit("killed", [] { ::raise(SIGKILL); });
        pool.submit("aborts", [] { std::abort(); });
        pool.submit("throws 42", [] { throw 42; });
        pool.submit("fine", [counters] { ++counters->runs[0]; });
        pool.shutdown();
        failures = pool.failures();
        EXPECT_EQ(pool.finished(), 5u);
    }
    EXPECT_EQ(counters->runs[0].load(), 1);
    ASSERT_EQ(failures.size(), 4u);
    std::map<std::string, std::string> by_label;
    for (const auto& f : failures) by_label[f.label] = f.error;
    EXPECT_EQ(by_label["throws"], "标的 X 不存在");
    EXPECT_NE(by_label["killed"].find("signal 9"), std::string::npos) << by_label["killed"];
    EXPECT_NE(by_label["aborts"].find("signal 6"), std::string::npos) << by_label["aborts"];
    EXPECT_NE(by_label["throws 42"].find("unknown error"), std::string::npos) << by_label["throws 42"];
}

TEST(ProcessPool, AnInitializerThatAlwaysDiesFailsTheCallsInsteadOfRestartingForever) {
    ProgressedProcessPoolExecutor pool(2, [] { std::abort(); });
    for (int i = 0; i < 3; ++i) pool.submit("call " + std::to_string(i), [] {});
    pool.shutdown();
    ASSERT_EQ(pool.failures().size(), 3u);
    for (const auto& failure : pool.failures())
        EXPECT_EQ(
            failure.error,
            "not run: the worker processes died while starting (worker process was killed by signal 6 (Aborted))");
}

TEST(ProcessPool, WorkerKilledFromOutsideDoesNotHangThePool) {
    test::TempDir dir;
    const std::string pid_file = (dir / "pid").string();
    std::vector<ProgressedProcessPoolExecutor::Failure> failures;
    std::thread killer([&] {
        // Kill the worker once it has announced itself.
        for (int i = 0; i < 500; ++i) {
            std::ifstream in(pid_file);
            pid_t pid = 0;
            if (in >> pid && pid > 0) {
                ::kill(pid, SIGKILL);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    {
        ProgressedProcessPoolExecutor pool(1, nullptr);
        pool.submit("sleeper", [pid_file] {
            { std::ofstream(pid_file + ".tmp") << getpid() << '\n'; }
            std::rename((pid_file + ".tmp").c_str(), pid_file.c_str());
            ::pause();
        });
        pool.shutdown();
        failures = pool.failures();
    }
    killer.join();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].label, "sleeper");
}

TEST(ProcessPool, FewerThanOneWorkerIsAClearError) {
    try {
        ProgressedProcessPoolExecutor pool(0, nullptr);
        FAIL() << "no error";
    } catch (const ValueError& error) {
        EXPECT_NE(std::string(error.what()).find("at least 1, got 0"), std::string::npos);
    }
}

// Standard error goes to a file (not a terminal) while alive; lines() reads what was written.
class CapturedStderr {
public:
    CapturedStderr() : saved_(dup(STDERR_FILENO)) {
        const int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~CapturedStderr() { restore(); }
    std::vector<std::string> lines() {
        restore();
        std::ifstream in(log_);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        dup2(saved_, STDERR_FILENO);
        close(std::exchange(saved_, -1));
    }
    test::TempDir dir_;
    std::string log_ = (dir_ / "stderr.txt").string();
    int saved_;
};

TEST(ProcessPool, ProgressWithoutTerminalPrintsAtMostElevenLines) {
    CapturedStderr captured;
    {
        ProgressedProcessPoolExecutor pool(2, nullptr, "demo");
        for (int i = 0; i < 40; ++i) pool.submit(std::to_string(i), [] {});
    }
    const auto lines = captured.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_LE(lines.size(), 11u);
    EXPECT_EQ(lines.back(), "demo 40/40 (100%)");
}

// A call that keeps working until a stop request reaches its worker.
void work_until_stopped(SharedCounters* counters, int i) {
    ++counters->runs[i];
    for (int k = 0; k < 1000; ++k) {
        throw_if_interrupted();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

TEST(ProcessPool, SigtermStopsTheRunAndEveryUnrunCallIsAFailure) {
    SharedMemory shared;
    SharedCounters* counters = shared.get();
    CapturedStderr captured;
    ProgressedProcessPoolExecutor pool(2, {}, "demo");
    // Two quick calls end; the two taken next run until stopped; four are never started.
    for (int i = 0; i < 2; ++i) pool.submit("call " + std::to_string(i), [] {});
    for (int i = 2; i < 8; ++i)
        pool.submit("call " + std::to_string(i), [counters, i] { work_until_stopped(counters, i); });
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::kill(::getpid(), SIGTERM);
    });
    pool.shutdown();
    stopper.join();
    EXPECT_EQ(pool.interrupted(), SIGTERM);
    ASSERT_EQ(pool.failures().size(), 6u);
    int started = 0;
    for (int i = 0; i < 8; ++i) started += counters->runs[i];
    EXPECT_EQ(started, 2);
    // The display ends with what was done, not with every call counted as finished.
    const auto lines = captured.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "demo 2/8 (25%)");
    int not_run = 0;
    int abandoned = 0;
    for (const auto& failure : pool.failures()) {
        not_run += failure.error.starts_with("not run") ? 1 : 0;
        // Only this process got the signal: the pool passed it on, and the calls abandoned
        // their work instead of being killed at the deadline.
        abandoned += failure.error.starts_with("interrupted by SIGTERM") ? 1 : 0;
    }
    EXPECT_EQ(not_run, 4);
    EXPECT_EQ(abandoned, 2);
    // The process's own SIGTERM disposition is back to the default once the run is over.
    struct sigaction action {};
    sigaction(SIGTERM, nullptr, &action);
    EXPECT_EQ(action.sa_handler, SIG_DFL);
}

// Calls that take no notice of a stop request: only a second signal, or the grace, ends them.
TEST(ProcessPool, ASecondSignalEndsWorkersAtOnceInsteadOfAwaitingTheGrace) {
    SharedMemory shared;
    SharedCounters* counters = shared.get();
    // A grace far longer than the test may take: a run that waits for it fails by its length.
    const auto previous = testing::set_stop_grace(std::chrono::minutes(1));
    ProgressedProcessPoolExecutor pool(2, {}, "demo");
    for (int i = 0; i < 2; ++i)
        pool.submit("call " + std::to_string(i), [counters, i] {
            ++counters->runs[i];
            std::this_thread::sleep_for(std::chrono::minutes(10));
        });
    std::thread stopper([counters] {
        while (counters->runs[0] + counters->runs[1] < 2) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::kill(::getpid(), SIGINT);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::kill(::getpid(), SIGINT);
    });
    const auto started = std::chrono::steady_clock::now();
    pool.shutdown();
    const auto took = std::chrono::steady_clock::now() - started;
    stopper.join();
    testing::set_stop_grace(previous);
    EXPECT_EQ(pool.interrupted(), SIGINT);
    EXPECT_LT(took, std::chrono::seconds(30));
    ASSERT_EQ(pool.failures().size(), 2u);
    for (const auto& failure : pool.failures()) EXPECT_NE(failure.error.find("killed by signal 9"), std::string::npos) << failure.error;
}

// A worker whose parent was killed abandons its call at the next safe point; one that reaches
// none is ended by its watchdog. Either way it ends within the test's few seconds, far sooner
// than its call would.
TEST(ProcessPool, WorkersEndWithTheirParent) {
    for (const bool safe_points : {true, false}) {
        SCOPED_TRACE(safe_points ? "with safe points" : "without safe points");
        SharedMemory shared;
        SharedCounters* counters = shared.get();
        const pid_t parent = fork();
        ASSERT_GE(parent, 0);
        if (parent == 0) {
            ProgressedProcessPoolExecutor pool(1, {});
            pool.submit("forever", [counters, safe_points] {
                counters->running.store(static_cast<int>(::getpid()));
                if (!safe_points) std::this_thread::sleep_for(std::chrono::seconds(30));
                try {
                    work_until_stopped(counters, 0);
                } catch (const Interrupted&) {
                    ++counters->runs[1];
                    throw;
                }
            });
            pool.shutdown();
            _exit(0);
        }
        pid_t worker = 0;
        for (int k = 0; k < 500 && worker == 0; ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            worker = counters->running.load();
        }
        ASSERT_NE(worker, 0);
        kill(parent, SIGKILL);
        waitpid(parent, nullptr, 0);
        // The orphan stops by itself (it is reaped by whoever adopts it, or stays a zombie).
        bool ended = false;
        for (int k = 0; k < 500 && !ended; ++k) {
            std::ifstream stat("/proc/" + std::to_string(worker) + "/stat");
            std::string pid, name, state;
            ended = !(stat >> pid >> name >> state) || state == "Z";
            if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(ended) << "worker " << worker << " outlived its parent";
        EXPECT_EQ(counters->runs[1].load(), safe_points ? 1 : 0) << "the call did not abandon its work";
    }
}

pid_t first_fork_only() {
    static int forks = 0;
    if (forks++ == 0) return ::fork();
    errno = EAGAIN;
    return -1;
}

TEST(ProcessPool, AWorkerThatCannotStartFailsItsCallsAndTheOthersAreWaitedFor) {
    SharedMemory shared;
    SharedCounters* counters = shared.get();
    const auto previous = testing::set_fork_function(first_fork_only);
    {
        ProgressedProcessPoolExecutor pool(3, {});
        for (int i = 0; i < 6; ++i)
            pool.submit("call " + std::to_string(i), [counters, i] {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                ++counters->runs[i];
            });
        EXPECT_NO_THROW(pool.shutdown());
        int ran = 0;
        for (int i = 0; i < 6; ++i) ran += counters->runs[i];
        // The one worker that started took every call.
        EXPECT_EQ(ran, 6);
        EXPECT_TRUE(pool.failures().empty());
    }
    testing::set_fork_function([] {
        errno = EAGAIN;
        return pid_t{-1};
    });
    {
        ProgressedProcessPoolExecutor pool(2, {});
        for (int i = 0; i < 3; ++i) pool.submit("call " + std::to_string(i), [] {});
        EXPECT_NO_THROW(pool.shutdown());
        ASSERT_EQ(pool.failures().size(), 3u);
        EXPECT_NE(pool.failures()[0].error.find("cannot start a worker process"), std::string::npos)
            << pool.failures()[0].error;
    }
    testing::set_fork_function(previous);
}


// A call whose effects become durable later is done only once the durability hook made them
// so: a worker killed between its calls' return and that moment fails each of them by name,
// and a failure the hook finds fails that call alone.
TEST(ProcessPool, CallsAreDoneOnlyOnceTheirEffectsAreDurable) {
    struct Case {
        int settle_every;  // the hook makes things durable after every n-th call (0: only at the end)
        int kill_at;       // the call whose worker is killed as it runs (-1: none)
        int fails;         // the call whose effects the hook cannot make durable (-1: none)
        std::set<std::string> failed;
    };
    const Case cases[] = {{0, 4, -1, {"0", "1", "2", "3", "4"}},
                          {2, 4, -1, {"4"}},
                          {3, 4, -1, {"3", "4"}},
                          {2, -1, 3, {"3"}},
                          {0, -1, -1, {}}};
    for (const Case& c : cases) {
        ProgressedProcessPoolExecutor pool(1, {});
        pool.set_durability({{}, [&c, written = 0](bool final, DurabilityFailures& failed) mutable {
                                 ++written;
                                 if (c.fails >= 0 && written == c.fails + 1) failed.emplace_back(c.fails, "no sync");
                                 return final || (c.settle_every > 0 && written % c.settle_every == 0);
                             }});
        for (int i = 0; i < 7; ++i)
            pool.submit(std::to_string(i), [&c, i] {
                if (i == c.kill_at) ::raise(SIGKILL);
            });
        pool.shutdown();
        std::set<std::string> failed;
        for (const auto& failure : pool.failures()) failed.insert(failure.label);
        EXPECT_EQ(failed, c.failed) << "settled every " << c.settle_every << ", killed at " << c.kill_at;
    }
}

}  // namespace
}  // namespace tarnwick::bundle::host
