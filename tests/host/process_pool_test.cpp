// The worker pool: bounded parallelism, the initializer before every call, each call once, and
// no hang and no silence when a worker fails or dies.
#include "tarnwick/bundle/host/process_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "support/temp_dir.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/shared_flag.hpp"

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
                while (now > seen && !counters->max_running.compare_exchange_weak(seen, now)) {
                }
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
        pool.submit("fine", [counters] { ++counters->runs[0]; });
        pool.shutdown();
        failures = pool.failures();
        EXPECT_EQ(pool.finished(), 4u);
    }
    EXPECT_EQ(counters->runs[0].load(), 1);
    ASSERT_EQ(failures.size(), 3u);
    std::map<std::string, std::string> by_label;
    for (const auto& f : failures) by_label[f.label] = f.error;
    EXPECT_EQ(by_label["throws"], "标的 X 不存在");
    EXPECT_NE(by_label["killed"].find("signal 9"), std::string::npos) << by_label["killed"];
    EXPECT_NE(by_label["aborts"].find("signal 6"), std::string::npos) << by_label["aborts"];
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

TEST(ProcessPool, ProgressWithoutTerminalPrintsAtMostElevenLines) {
    test::TempDir dir;
    const std::string log = (dir / "stderr.txt").string();
    const int saved = dup(STDERR_FILENO);
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDERR_FILENO);
    close(fd);
    {
        ProgressedProcessPoolExecutor pool(2, nullptr, "demo");
        for (int i = 0; i < 40; ++i) pool.submit(std::to_string(i), [] {});
    }
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_FALSE(lines.empty());
    EXPECT_LE(lines.size(), 11u);
    EXPECT_EQ(lines.back(), "demo 40/40 (100%)");
}

}  // namespace
}  // namespace tarnwick::bundle::host
