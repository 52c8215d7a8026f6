#include "tarnwick/bundle/commands/sample.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>

#include <sys/wait.h>
#include <unistd.h>

#include "support/child_process.hpp"
#include "support/scoped_env_var.hpp"
#include "support/archives.hpp"
#include "support/fault_fs.hpp"
#include "support/http_server.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/commands/download.hpp"
#include "tarnwick/bundle/commands/install_tree.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/log.hpp"
#include "tarnwick/bundle/layout/install_record.hpp"

namespace tarnwick::bundle::commands {
namespace {
namespace fs = std::filesystem;
using test::HttpServer;
using test::read_file;
using test::read_tree;
using test::write_file;

const std::string DOWNLOADED = "bundle 数据下载完毕，解压中...";
const std::string UNPACKED = "bundle 数据解压完成";
const std::string REQUEST_THROUGH_PROXY = std::string("GET ") + SAMPLE_ARCHIVE_URL + " HTTP/1.1";

using ScopedEnv = test::ScopedEnvVar;

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& c : bytes) c = static_cast<char>(generator() & 0xff);
    return bytes;
}

class SampleTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(tmp_ / "tmp");
        previous_console_ = host::set_console({[this](const std::string& text) { output_ += text; }, nullptr});
        previous_observer_ = host::system_log().observe([this](const std::string& level, const std::string& text) {
            if (level == "warning") warnings_.push_back(text);
        });
        // The archive is packed by Python's tarfile, so this checks the unpacking against
        // another implementation.
        write_file(source() / "trading_dates.npy", random_bytes(500, 1));
        write_file(source() / "h5" / "equities" / "000001.XSHE.h5", random_bytes(200 * 1024, 2));
        write_file(source() / "ticks" / "000001.XSHE.h5", "ticks");
        test::write_tar_with_python(
            tmp_ / "packed.tar.bz2",
            {{"file", "trading_dates.npy", read_file(source() / "trading_dates.npy")},
             {"dir", "h5", ""},
             {"dir", "h5/equities", ""},
             {"file", "h5/equities/000001.XSHE.h5", read_file(source() / "h5" / "equities" / "000001.XSHE.h5")},
             {"dir", "ticks", ""},
             {"file", "ticks/000001.XSHE.h5", "ticks"}});
        archive_ = read_file(tmp_ / "packed.tar.bz2");
    }
    void TearDown() override {
        host::system_log().observe(previous_observer_);
        host::set_console(previous_console_);
    }

    fs::path root() const { return tmp_ / "data"; }
    fs::path bundle() const { return tmp_ / "data" / "bundle"; }
    fs::path source() const { return tmp_ / "source"; }
    fs::path download_file() const { return tmp_ / "tmp" / "tarnwick.bundle"; }

    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::size_t start = 0;
        for (std::size_t end; (end = output_.find('\n', start)) != std::string::npos; start = end + 1)
            result.push_back(output_.substr(start, end - start));
        return result;
    }

    std::string overwrite_warning() const {
        return bundle().string() + " already holds files; the sample's files replace those of the same name";
    }

    HttpServer::Response archive_response() const {
        HttpServer::Response response;
        response.body = archive_;
        return response;
    }

    test::TempDir tmp_;
    // The temporary folder of the download, so that tests neither meet nor leave a real one.
    ScopedEnv tmpdir_{"TMPDIR", (tmp_ / "tmp").string()};
    ScopedEnv proxy_{"HARRIER_PROXY", std::nullopt};
    std::string archive_;
    std::string output_;                 // the console
    std::vector<std::string> warnings_;  // the log's warnings (standard error)
    host::ConsoleHooks previous_console_;
    host::SystemLog::Observer previous_observer_;
};

TEST_F(SampleTest, DownloadGoesThroughTheProxyAndIsUnpacked) {
    HttpServer server(archive_response());
    ScopedEnv proxy("HARRIER_PROXY", server.url());

    download_simple_bundle(root().string(), true);

    EXPECT_EQ(lines(), (std::vector<std::string>{DOWNLOADED, UNPACKED}));
    EXPECT_EQ(read_tree(bundle()), read_tree(source()));
    EXPECT_FALSE(fs::exists(download_file()));
    const auto requests = server.requests();
    ASSERT_FALSE(requests.empty());
    for (const auto& request : requests) EXPECT_EQ(request, REQUEST_THROUGH_PROXY);
}

TEST_F(SampleTest, EmptyFilePathMeansDownload) {
    HttpServer server(archive_response());
    ScopedEnv proxy("HARRIER_PROXY", server.url());
    EXPECT_EQ(install_sample_bundle(root().string(), std::string()), SampleOutcome::Downloaded);
    EXPECT_EQ(lines(), (std::vector<std::string>{DOWNLOADED, UNPACKED}));
    EXPECT_FALSE(server.requests().empty());
}

TEST_F(SampleTest, HarrierProxyWinsOverTheEnvironmentsProxySettings) {
    HttpServer harrier(archive_response());
    HttpServer other(archive_response());
    ScopedEnv proxy("HARRIER_PROXY", harrier.url());
    ScopedEnv http_proxy("http_proxy", other.url());
    ScopedEnv https_proxy("HTTPS_PROXY", other.url());
    ScopedEnv no_proxy("NO_PROXY", "*");

    download_simple_bundle(root().string(), true);

    EXPECT_FALSE(harrier.requests().empty());
    EXPECT_TRUE(other.requests().empty());
    EXPECT_EQ(lines(), (std::vector<std::string>{DOWNLOADED, UNPACKED}));
}

TEST_F(SampleTest, ResponseWithoutContentLengthFailsBeforeTheTemporaryFileExists) {
    auto response = archive_response();
    response.content_length = false;
    HttpServer server(response);
    ScopedEnv proxy("HARRIER_PROXY", server.url());

    try {
        download_simple_bundle(root().string(), true);
        FAIL() << "a response without content-length was accepted";
    } catch (const ValueError& error) {
        EXPECT_NE(std::string(error.what()).find("content-length"), std::string::npos) << error.what();
    }
    EXPECT_FALSE(fs::exists(download_file()));
    EXPECT_TRUE(lines().empty());
    EXPECT_TRUE(fs::is_directory(bundle()));
    EXPECT_TRUE(fs::is_empty(bundle()));
}

TEST_F(SampleTest, ErrorStatusFailsNamingUrlAndStatusBeforeTheTemporaryFileExists) {
    HttpServer::Response response;
    response.status = 404;
    response.reason = "Not Found";
    response.body = "<html><body>no such bundle</body></html>";
    HttpServer server(response);
    ScopedEnv proxy("HARRIER_PROXY", server.url());

    try {
        download_simple_bundle(root().string(), true);
        FAIL() << "a 404 page was accepted";
    } catch (const OsError& error) {
        const std::string text = error.what();
        EXPECT_NE(text.find(SAMPLE_ARCHIVE_URL), std::string::npos) << text;
        EXPECT_NE(text.find("404 Not Found"), std::string::npos) << text;
    }
    EXPECT_FALSE(fs::exists(download_file()));
    EXPECT_TRUE(lines().empty());
    EXPECT_TRUE(fs::is_empty(bundle()));
}

TEST_F(SampleTest, ConnectionClosedHalfwayFailsAndNothingIsUnpacked) {
    auto response = archive_response();
    response.close_after = archive_.size() / 2;
    HttpServer server(response);
    ScopedEnv proxy("HARRIER_PROXY", server.url());

    try {
        download_simple_bundle(root().string(), true);
        FAIL() << "half an archive was accepted";
    } catch (const OsError& error) {
        EXPECT_NE(std::string(error.what()).find(SAMPLE_ARCHIVE_URL), std::string::npos) << error.what();
    }
    EXPECT_TRUE(lines().empty());  // neither "downloaded" nor "unpacked"
    EXPECT_TRUE(fs::is_empty(bundle()));
    if (fs::exists(download_file())) {
        EXPECT_LT(fs::file_size(download_file()), archive_.size());
    }
}

TEST_F(SampleTest, LocalArchiveIsUnpackedWithoutNetworkAndKept) {
    HttpServer server(archive_response());  // would see any request
    ScopedEnv proxy("HARRIER_PROXY", server.url());
    const fs::path local = tmp_ / "mine" / "zvbundle_sample.tar.bz2";
    write_file(local, archive_);
    write_file(bundle() / "trading_dates.npy", "old");

    download_simple_bundle(root().string(), false, local.string());  // `sample` changes nothing

    EXPECT_EQ(lines(), (std::vector<std::string>{"解压中...", UNPACKED}));
    EXPECT_EQ(warnings_, std::vector<std::string>{overwrite_warning()});
    EXPECT_EQ(read_tree(bundle()), read_tree(source()));
    EXPECT_EQ(read_file(local), archive_);
    EXPECT_TRUE(server.requests().empty());
}

// An install into a bundle is refused while another process holds the bundle's lock, as a
// running install (exclusive) or a running update (shared, for its whole run) does, naming which;
// once the lock is gone, it installs and leaves no lock file. An update waits for an install alike.
TEST_F(SampleTest, AnInstallWaitsForARunningInstallOrUpdateThenRefusesAndChangesNothing) {
    const fs::path local = tmp_ / "mine" / "zvbundle_sample.tar.bz2";
    write_file(local, archive_);
    write_file(bundle() / "trading_dates.npy", "old");
    for (const bool update : {false, true}) {
        test::ChildProcess holder([&](test::ChildProcess& self) {
            std::optional<layout::InstallLock> install;
            std::optional<layout::UpdateLock> updating;
            if (update)
                updating.emplace(bundle());
            else
                install.emplace(bundle());
            self.ready();
            pause();
            return 0;
        });
        ASSERT_TRUE(holder.wait_ready());
        try {
            download_simple_bundle(root().string(), false, local.string());
            ADD_FAILURE() << "installed while another process held the bundle";
        } catch (const OsError& error) {
            EXPECT_EQ(error.kind(), OsError::Kind::WouldBlock);
            const std::string running = update ? "an update of the store files" : "another install";
            EXPECT_NE(std::string(error.what()).find(running + " into " + bundle().string() + " is running"),
                      std::string::npos)
                << error.what();
        }
        if (!update) {
            // The other way round: an update waits for a running install, then refuses.
            try {
                const layout::UpdateLock updating(bundle());
                ADD_FAILURE() << "an update went ahead while an install held the bundle";
            } catch (const OsError& error) {
                EXPECT_EQ(error.kind(), OsError::Kind::WouldBlock);
                EXPECT_NE(std::string(error.what()).find("an install into " + bundle().string() + " is running"),
                          std::string::npos)
                    << error.what();
            }
        }
        EXPECT_EQ(read_tree(bundle()), (std::map<std::string, std::string>{{"trading_dates.npy", "file:old"}}));
        EXPECT_TRUE(lines().empty());
    }
    download_simple_bundle(root().string(), false, local.string());
    EXPECT_EQ(read_tree(bundle()), read_tree(source()));
}

std::size_t kill_at_point = 0;

// A kill at any point of the commit phase leaves the install unfinished, for status to report;
// the next run settles it: all old before the commit mark, all the archive's after it, and no
// side file, staging folder or record left.
TEST_F(SampleTest, AKillAnywhereInTheCommitIsSettledToAllOldOrAllNew) {
    const fs::path local = tmp_ / "mine" / "zvbundle_sample.tar.bz2";
    write_file(local, archive_);
    std::size_t kills = 0;
    for (std::size_t point = 0;; ++point) {
        fs::remove_all(bundle());
        write_file(bundle() / "trading_dates.npy", "old");
        write_file(bundle() / "h5" / "equities" / "000001.XSHE.h5", "old bars");
        const auto old_tree = read_tree(bundle());
        kill_at_point = point;
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            testing::set_commit_hook([](std::size_t at) {
                if (at == kill_at_point) ::raise(SIGKILL);
            });
            try {
                download_simple_bundle(root().string(), false, local.string());
            } catch (...) {
                _exit(3);
            }
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFSIGNALED(status)) {
            EXPECT_EQ(read_tree(bundle()), read_tree(source())) << "the install past its last point";
            break;
        }
        SCOPED_TRACE("killed at point " + std::to_string(point));
        ++kills;
        EXPECT_FALSE(layout::unfinished_install(bundle()).empty());
        EXPECT_EQ(layout::settle_unfinished_install_if_any(bundle()),
                  point == 0 ? layout::Settled::Undone : layout::Settled::Finished);
        EXPECT_EQ(read_tree(bundle()), point == 0 ? old_tree : read_tree(source()));
        EXPECT_TRUE(layout::unfinished_install(bundle()).empty());
    }
    EXPECT_EQ(kills, 5u);  // before the mark, before each of the three renames, after the last
}

// Two installs started together: each one installs or is refused with the lock's message, and
// the bundle ends with the archive's files and nothing else.
TEST_F(SampleTest, TwoInstallsAtOnceLeaveTheArchivesFilesOnly) {
    const fs::path local = tmp_ / "mine" / "zvbundle_sample.tar.bz2";
    write_file(local, archive_);
    write_file(bundle() / "trading_dates.npy", "old");
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> children;
    for (int k = 0; k < 2; ++k) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(go[1]);
            char byte;
            while (read(go[0], &byte, 1) < 0) {}
            try {
                download_simple_bundle(root().string(), false, local.string());
            } catch (const OsError& error) {
                _exit(error.kind() == OsError::Kind::WouldBlock ? 2 : 3);
            } catch (...) {
                _exit(4);
            }
            _exit(0);
        }
        children.push_back(child);
    }
    close(go[0]);
    close(go[1]);  // both start now
    int installed = 0;
    for (const pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_TRUE(WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 2) << WEXITSTATUS(status);
        installed += WEXITSTATUS(status) == 0 ? 1 : 0;
    }
    EXPECT_GE(installed, 1);
    EXPECT_EQ(read_tree(bundle()), read_tree(source()));
}

// Members named like the install's side files are installed like any other member.
TEST_F(SampleTest, MembersNamedLikeSideFilesAreInstalledAsTheyAre) {
    const fs::path local = tmp_ / "mine" / "zvbundle_sample.tar.bz2";
    fs::create_directories(local.parent_path());
    test::write_tar_with_python(
        local,
        {{"file", ".a.tarnwick-old", "member old"}, {"file", ".a.tarnwick-new", "member new"}, {"file", "a", "new a"}});
    write_file(bundle() / "a", "old a");
    download_simple_bundle(root().string(), false, local.string());
    EXPECT_EQ(read_tree(bundle()), (std::map<std::string, std::string>{{".a.tarnwick-new", "file:member new"},
                                                                       {".a.tarnwick-old", "file:member old"},
                                                                       {"a", "file:new a"}}));
}

TEST_F(SampleTest, LocalArchiveWithAnotherNameGetsTheThreeLines) {
    const fs::path local = tmp_ / "zvbundle_sample.tar.bz2.part";
    write_file(local, archive_);

    EXPECT_EQ(install_sample_bundle(root().string(), local.string()), SampleOutcome::LocalArchiveWronglyNamed);

    EXPECT_EQ(lines(), (std::vector<std::string>{local.string() + "文件名不为 zvbundle_sample.tar.bz2",
                                                 "请使用下列连接下载：", SAMPLE_ARCHIVE_URL}));
    EXPECT_TRUE(fs::is_directory(bundle()));
    EXPECT_TRUE(fs::is_empty(bundle()));
}

TEST_F(SampleTest, MissingLocalArchiveGetsTheOneLine) {
    const std::string missing = (tmp_ / "nowhere" / "zvbundle_sample.tar.bz2").string();
    EXPECT_EQ(install_sample_bundle(root().string(), missing), SampleOutcome::LocalArchiveMissing);
    EXPECT_EQ(lines(), (std::vector<std::string>{missing + "文件不存在"}));
    EXPECT_TRUE(fs::is_directory(bundle()));
}

TEST_F(SampleTest, CommandLineExitStatusTellsWhetherAnythingWasInstalled) {
    const auto run = [](const std::vector<std::string>& args) {
        const pid_t pid = fork();
        if (pid == 0) {
            std::vector<char*> argv{const_cast<char*>(TARNWICK_CLI)};
            for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            std::freopen("/dev/null", "w", stdout);
            execv(TARNWICK_CLI, argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    const fs::path right = tmp_ / "zvbundle_sample.tar.bz2";
    const fs::path wrong = tmp_ / "sample.tar.bz2";
    write_file(right, archive_);
    write_file(wrong, archive_);
    EXPECT_EQ(run({"download-sample", root().string(), "--file", wrong.string()}), 1);
    EXPECT_EQ(run({"download-sample", root().string(), "--file", (tmp_ / "none").string()}), 1);
    EXPECT_TRUE(fs::is_empty(bundle()));
    EXPECT_EQ(run({"download-sample", root().string(), "--file", right.string()}), 0);
    EXPECT_EQ(read_tree(bundle()), read_tree(source()));
}

TEST_F(SampleTest, WarnsBeforeADownloadOverwritesABundleWithFiles) {
    HttpServer server(archive_response());
    ScopedEnv proxy("HARRIER_PROXY", server.url());
    download_simple_bundle(root().string(), true);
    EXPECT_EQ(lines(), (std::vector<std::string>{DOWNLOADED, UNPACKED}));
    EXPECT_TRUE(warnings_.empty());  // an empty bundle: no warning
    output_.clear();
    download_simple_bundle(root().string(), true);
    // Standard output carries only the console messages; the warning is in the log.
    EXPECT_EQ(lines(), (std::vector<std::string>{DOWNLOADED, UNPACKED}));
    EXPECT_EQ(warnings_, std::vector<std::string>{overwrite_warning()});
}

TEST_F(SampleTest, DownloadThatCannotBeWrittenFailsAndRemovesThePartialFile) {
    write_file(bundle() / "trading_dates.npy", "old");
    const auto before = read_tree(bundle());
    archive_ += random_bytes(2 << 20, 9);  // never unpacked: the write fails first
    HttpServer server(archive_response());
    ScopedEnv proxy("HARRIER_PROXY", server.url());
    {
        test::ScopedFileSizeLimit limit(1 << 20);
        try {
            download_simple_bundle(root().string(), true);
            FAIL() << "a download that could not be written was accepted";
        } catch (const OsError& error) {
            EXPECT_EQ(error.error_number(), EFBIG);
            EXPECT_NE(std::string(error.what()).find("File too large"), std::string::npos) << error.what();
        }
    }
    EXPECT_FALSE(fs::exists(download_file()));
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(warnings_, std::vector<std::string>{overwrite_warning()});
    EXPECT_EQ(read_tree(bundle()), before);
}

TEST_F(SampleTest, DownloadLargerThanTheFreeSpaceIsRefusedBeforeItStarts) {
    test::Tmpfs small(tmp_ / "small", "size=1m");
    if (!small.mounted()) GTEST_SKIP() << small.why_not();
    ScopedEnv tmpdir("TMPDIR", small.path().string());
    archive_ += random_bytes(2 << 20, 10);
    HttpServer server(archive_response());
    ScopedEnv proxy("HARRIER_PROXY", server.url());
    try {
        download_simple_bundle(root().string(), true);
        FAIL() << "a download larger than the disk was started";
    } catch (const OsError& error) {
        EXPECT_EQ(error.error_number(), ENOSPC);
        EXPECT_NE(std::string(error.what()).find("No space left on device"), std::string::npos) << error.what();
    }
    EXPECT_TRUE(fs::is_empty(small.path()));
    EXPECT_TRUE(lines().empty());
}

TEST_F(SampleTest, CommandLineReportsAFailedInstallWithoutTheCompletionMessage) {
    const fs::path good = tmp_ / "good" / "zvbundle_sample.tar.bz2";
    const fs::path cut = tmp_ / "cut" / "zvbundle_sample.tar.bz2";
    write_file(good, archive_);
    write_file(cut, archive_.substr(0, archive_.size() * 2 / 3));
    const auto run = [](const std::vector<std::string>& args) {
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            close(out[0]);
            std::vector<char*> argv{const_cast<char*>(TARNWICK_CLI)};
            for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(TARNWICK_CLI, argv.data());
            _exit(127);
        }
        close(out[1]);
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<std::size_t>(n));
        close(out[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, text);
    };
    ASSERT_EQ(run({"download-sample", root().string(), "--file", good.string()}).first, 0);
    const auto before = read_tree(bundle());

    const auto [status, text] = run({"download-sample", root().string(), "--file", cut.string()});
    EXPECT_EQ(status, 3);
    EXPECT_EQ(text.find(UNPACKED), std::string::npos) << text;
    EXPECT_NE(text.find("the bundle was left as it was"), std::string::npos) << text;
    EXPECT_NE(text.find("already holds files"), std::string::npos) << text;
    EXPECT_EQ(read_tree(bundle()), before);
}

// The host's download on its own.
class DownloadTest : public SampleTest {
protected:
    struct Closer {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, Closer> open_target() {
        return std::unique_ptr<std::FILE, Closer>(std::fopen(target().c_str(), "wb"));
    }
    fs::path target() const { return tmp_ / "out.bin"; }
};

TEST_F(DownloadTest, WritesExactlyTheBodyAndShowsProgressOnStandardError) {
    const std::string body = random_bytes(1 << 20, 7);
    HttpServer::Response response;
    response.body = body;
    HttpServer server(response);
    auto out = open_target();

    ::testing::internal::CaptureStderr();
    const auto written =
        commands::download(out.get(), static_cast<std::int64_t>(body.size()), SAMPLE_ARCHIVE_URL, server.url());
    const std::string progress = ::testing::internal::GetCapturedStderr();
    out.reset();

    EXPECT_EQ(written, static_cast<std::int64_t>(body.size()));
    EXPECT_EQ(read_file(target()), body);
    EXPECT_NE(progress.find("(100%)"), std::string::npos) << progress;
    EXPECT_TRUE(lines().empty());  // progress never goes to the console of messages
}

TEST_F(DownloadTest, ErrorPageIsNeverWritten) {
    HttpServer::Response response;
    response.status = 500;
    response.reason = "Internal Server Error";
    response.body = "<html>oops</html>";
    HttpServer server(response);
    auto out = open_target();
    EXPECT_THROW(commands::download(out.get(), 17, SAMPLE_ARCHIVE_URL, server.url()), OsError);
    out.reset();
    EXPECT_EQ(fs::file_size(target()), 0u);
}

TEST_F(DownloadTest, MoreBytesThanAnnouncedFail) {
    HttpServer::Response response;
    response.body = random_bytes(100000, 8);
    HttpServer server(response);
    auto out = open_target();
    EXPECT_THROW(commands::download(out.get(), 50000, SAMPLE_ARCHIVE_URL, server.url()), OsError);
    out.reset();
    EXPECT_LE(fs::file_size(target()), 50000u);
}

TEST_F(DownloadTest, WithoutAProxyTheRequestGoesDirectEvenWhenTheEnvironmentNamesOne) {
    HttpServer::Response response;
    response.body = "direct";
    HttpServer server(response);
    HttpServer environment_proxy(response);
    ScopedEnv http_proxy("http_proxy", environment_proxy.url());
    ScopedEnv all_proxy("ALL_PROXY", environment_proxy.url());
    auto out = open_target();

    commands::download(out.get(), 6, server.url() + "/bundles_v4/zvbundle_sample.tar.bz2", std::nullopt);
    out.reset();

    EXPECT_EQ(read_file(target()), "direct");
    EXPECT_EQ(server.requests(), (std::vector<std::string>{"GET /bundles_v4/zvbundle_sample.tar.bz2 HTTP/1.1"}));
    EXPECT_TRUE(environment_proxy.requests().empty());
}

}  // namespace
}  // namespace tarnwick::bundle::commands
