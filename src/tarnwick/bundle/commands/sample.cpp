#include "tarnwick/bundle/commands/sample.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include <fmt/format.h>

#include "tarnwick/bundle/commands/archive.hpp"
#include "tarnwick/bundle/commands/download.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/disk_space.hpp"
#include "tarnwick/bundle/host/log.hpp"
#include "tarnwick/bundle/layout/install_record.hpp"
#include "tarnwick/bundle/layout/paths.hpp"

namespace tarnwick::bundle::commands {
namespace {
namespace fs = std::filesystem;

// The archive's size from the response's "content-length": a decimal whole number.
std::int64_t announced_length(const commands::ResponseHead& head, const std::string& url) {
    const auto text = head.header("content-length");
    if (!text)
        throw ValueError(
            fmt::format("the response for {} has no content-length header, so the archive's size is unknown", url));
    std::int64_t value = 0;
    bool digits = !text->empty();
    for (const char c : *text) {
        if (c < '0' || c > '9' || value > (INT64_MAX - 9) / 10) {
            digits = false;
            break;
        }
        value = value * 10 + (c - '0');
    }
    if (!digits)
        throw ValueError(fmt::format(
            "the response for {} has a content-length header that is not a whole number: \"{}\"", url, *text));
    return value;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Removes the partly written download unless it was completed.
class PartialDownload {
public:
    explicit PartialDownload(std::string path) : path_(std::move(path)) {}
    ~PartialDownload() {
        if (!path_.empty()) std::remove(path_.c_str());
    }
    PartialDownload(const PartialDownload&) = delete;
    PartialDownload& operator=(const PartialDownload&) = delete;
    void complete() { path_.clear(); }

private:
    std::string path_;
};

// Steps 2.1 to 2.5: the download into the temporary file.
void download_archive(const std::string& tmp) {
    const std::optional<std::string> proxy = commands::proxy_from_environment();
    const std::string url = SAMPLE_ARCHIVE_URL;
    // Nothing is created until the server has answered with success and a size.
    const commands::ResponseHead head = commands::get_response_head(url, proxy);
    commands::require_success(head, url);
    const std::int64_t total_length = announced_length(head, url);
    // A download that cannot fit is refused before it starts (an old copy there is replaced, so
    // its space counts as free).
    std::error_code ignored;
    const auto old_size = fs::is_regular_file(tmp, ignored) ? fs::file_size(tmp, ignored) : 0;
    const auto needed = host::blocks_for(static_cast<std::uint64_t>(total_length));
    host::require_free_space(fs::path(tmp).parent_path().string(), needed > old_size ? needed - old_size : 0,
                             fmt::format("downloading {} ({} bytes)", url, total_length));

    std::unique_ptr<std::FILE, FileCloser> out(std::fopen(tmp.c_str(), "wb"));
    if (!out) {
        const int err = errno;
        throw OsError::from_errno(err, fmt::format("cannot create {}: {}", tmp, std::strerror(err)));
    }
    // A partial archive is of no use to anyone, and on a full disk it holds the space that the
    // user needs back.
    PartialDownload partial(tmp);
    commands::download(out.get(), total_length, url, proxy);
    if (std::fclose(out.release()) != 0) {
        const int err = errno;
        throw OsError::from_errno(err, fmt::format("cannot write {}: {}", tmp, std::strerror(err)));
    }
    partial.complete();
}

// True when the bundle folder holds anything besides what a killed install left.
bool holds_files(const std::string& bundle) {
    std::error_code error;
    for (fs::directory_iterator it(bundle, error), end; !error && it != end; it.increment(error))
        if (it->path().filename() != STAGING_FOLDER_NAME && it->path().filename() != layout::INSTALL_RECORD_NAME)
            return true;
    return false;
}

// A warning through the log (standard error): standard output carries only the console messages.
void warn_before_overwriting(const std::string& bundle) {
    if (holds_files(bundle))
        host::system_log().warning(
            fmt::format("{} already holds files; the sample's files replace those of the same name", bundle));
}

}  // namespace

std::string download_target() { return (fs::temp_directory_path() / DOWNLOAD_FILE_NAME).string(); }

SampleOutcome install_sample_bundle(const std::string& data_bundle_path, const std::optional<std::string>& file_path) {
    const std::string bundle = layout::bundle_dir(data_bundle_path);
    layout::make_directories(bundle);
    // Taken before the warning and the download: a second install would otherwise empty this
    // one's staging folder and mix the two archives' files in the bundle.
    std::optional<layout::InstallLock> lock;

    const bool downloaded = !file_path || file_path->empty();
    std::string tmp;
    if (downloaded) {
        lock.emplace(bundle);
        warn_before_overwriting(bundle);
        tmp = download_target();
        download_archive(tmp);
        host::print_line("bundle 数据下载完毕，解压中...");
    } else {
        std::error_code ignored;  // an unreadable path counts as missing
        if (!fs::exists(*file_path, ignored)) {
            host::print_line(fmt::format("{}文件不存在", *file_path));
            return SampleOutcome::LocalArchiveMissing;
        }
        if (fs::path(*file_path).filename() != SAMPLE_ARCHIVE_NAME) {
            host::print_line(fmt::format("{}文件名不为 zvbundle_sample.tar.bz2", *file_path));
            host::print_line("请使用下列连接下载：");
            host::print_line(SAMPLE_ARCHIVE_URL);
            return SampleOutcome::LocalArchiveWronglyNamed;
        }
        lock.emplace(bundle);
        warn_before_overwriting(bundle);
        host::print_line("解压中...");
        tmp = *file_path;
    }

    extract_archive(tmp, bundle);

    if (downloaded) {
        std::error_code error;
        fs::remove(tmp, error);
        if (error) throw OsError::from_errno(error.value(), fmt::format("cannot remove {}: {}", tmp, error.message()));
    }
    host::print_line("bundle 数据解压完成");
    return downloaded ? SampleOutcome::Downloaded : SampleOutcome::LocalArchiveUnpacked;
}

void download_simple_bundle(const std::string& data_bundle_path, bool /*sample*/,
                            const std::optional<std::string>& file_path) {
    install_sample_bundle(data_bundle_path, file_path);
}

}  // namespace tarnwick::bundle::commands
