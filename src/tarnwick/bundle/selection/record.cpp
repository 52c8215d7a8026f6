#include "tarnwick/bundle/selection/record.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/fs/env.hpp"
#include "tarnwick/bundle/host/atomic_file.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/log.hpp"
#include "tarnwick/bundle/layout/paths.hpp"

namespace tarnwick::bundle::selection {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

constexpr int FORMAT = 1;
constexpr const char* FILE_NAME = "selection.json";
constexpr std::size_t MAX_BYTES = 256u << 20;  // far beyond any market's listing
constexpr const char* ABOUT =
    "What the updates of this bundle were asked for and what that resolved to, per kind of store; "
    "written by tarnwick-bundle (README: \"The recorded selection\").";

constexpr StoreKind KINDS[] = {StoreKind::Minbar, StoreKind::Tick};

std::vector<std::string> sorted_unique(std::vector<std::string> words) {
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
    return words;
}

Json to_json(const Request& r) {
    return Json{{"tags", r.tags},
                {"with_derivatives", r.with_derivatives},
                {"enable_bjse", r.enable_bjse},
                {"resolved_at", r.resolved_at},
                {"instruments", r.instruments}};
}

Request from_json(const Json& j) {
    Request r;
    r.tags = sorted_unique(j.at("tags").get<std::vector<std::string>>());
    r.with_derivatives = j.at("with_derivatives").get<bool>();
    r.enable_bjse = j.at("enable_bjse").get<bool>();
    r.resolved_at = j.value("resolved_at", std::string());
    r.instruments = sorted_unique(j.at("instruments").get<std::vector<std::string>>());
    return r;
}

std::string document_of(const RecordedSelection& selection) {
    Json doc{{"about", ABOUT}, {"format", FORMAT}};
    for (const StoreKind kind : KINDS) {
        Json requests = Json::array();
        for (const auto& r : selection.of(kind)) requests.push_back(to_json(r));
        doc[store_kind_name(kind)] = std::move(requests);
    }
    // A tag is whatever the user typed: bytes that are not UTF-8 are replaced rather than refused.
    return doc.dump(1, ' ', false, Json::error_handler_t::replace) + '\n';
}

// Holds an exclusive flock on the record folder for the read-merge-write of one update. Waits:
// another update holds it only while it rewrites a small file.
class RecordLock {
public:
    explicit RecordLock(const std::string& folder)
        : fd_(bundle::fs::Descriptor::open_or_throw(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        int rc;
        do {
            rc = ::flock(fd_.get(), LOCK_EX);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) throw OsError::from_errno(errno, fmt::format("cannot lock {}", folder));
    }

private:
    bundle::fs::Descriptor fd_;
};

}  // namespace

const char* store_kind_name(StoreKind kind) { return kind == StoreKind::Minbar ? "minbar" : "tick"; }

bool Request::same_request(const Request& other) const {
    return tags == other.tags && with_derivatives == other.with_derivatives && enable_bjse == other.enable_bjse;
}

Request make_request(const std::vector<std::string>& tags, bool with_derivatives, bool enable_bjse,
                     const std::set<std::string>& instruments) {
    Request r;
    r.tags = sorted_unique(tags);
    r.with_derivatives = with_derivatives;
    r.enable_bjse = enable_bjse;
    const std::int64_t t = host::convert_dt_to_int(host::now());  // YYYYMMDDHHMMSS
    r.resolved_at = fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", t / 10000000000, t / 100000000 % 100,
                                t / 1000000 % 100, t / 10000 % 100, t / 100 % 100, t % 100);
    r.instruments.assign(instruments.begin(), instruments.end());
    return r;
}

std::set<std::string> RecordedSelection::instruments(StoreKind kind) const {
    std::set<std::string> all;
    for (const auto& r : of(kind)) all.insert(r.instruments.begin(), r.instruments.end());
    return all;
}

std::string selection_file(const std::string& bundle_dir) {
    return (fs::path(bundle_dir) / layout::RECORDS_FOLDER_NAME / FILE_NAME).string();
}

std::string bundle_of_store_folder(const std::string& store_folder, StoreKind kind) {
    fs::path folder = fs::absolute(store_folder).lexically_normal();
    if (!folder.has_filename()) folder = folder.parent_path();
    const char* expected = kind == StoreKind::Minbar ? "h5" : "ticks";
    if (folder.filename() != expected || folder.parent_path().filename() != "bundle") return {};
    return folder.parent_path().string();
}

RecordedSelection load_selection(const std::string& bundle_dir) {
    const std::string file = selection_file(bundle_dir);
    // Only a missing file means "nothing recorded": a folder that cannot be searched, or a file
    // in place of the folder, hides a record that may well exist.
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
        const int err = errno;
        if (err == ENOENT) return {};
        throw OsError::from_errno(err, fmt::format("cannot read {}: {}", file, std::strerror(err)));
    }
    const std::string text = host::read_whole_file(file, MAX_BYTES);
    RecordedSelection selection;
    try {
        const Json doc = Json::parse(text);
        if (doc.at("format").get<int>() != FORMAT)
            throw ValueError(
                fmt::format("{} has format {}, this program reads format {}", file, doc.at("format").dump(), FORMAT));
        for (const StoreKind kind : KINDS)
            if (doc.contains(store_kind_name(kind)))
                for (const auto& r : doc.at(store_kind_name(kind))) selection.of(kind).push_back(from_json(r));
    } catch (const Json::exception& e) {
        throw ValueError(fmt::format("{} is not a recorded selection: {}", file, e.what()));
    }
    return selection;
}

void record_request(const std::string& bundle_dir, StoreKind kind, const Request& request) {
    const std::string folder = (fs::path(bundle_dir) / layout::RECORDS_FOLDER_NAME).string();
    layout::make_directories(folder);
    const RecordLock lock(folder);
    RecordedSelection selection = load_selection(bundle_dir);
    auto& requests = selection.of(kind);
    const auto same =
        std::find_if(requests.begin(), requests.end(), [&](const Request& r) { return r.same_request(request); });
    if (same != requests.end())
        *same = request;
    else
        requests.push_back(request);
    host::write_file_atomically(selection_file(bundle_dir), document_of(selection));
}

bool try_record_request(const std::string& bundle_dir, StoreKind kind, const Request& request) noexcept {
    try {
        record_request(bundle_dir, kind, request);
        return true;
    } catch (const std::exception& e) {
        try {
            host::system_log().warning(
                fmt::format("the selection could not be recorded in {}: {}; the update goes on, and the record "
                            "keeps what it held before",
                            selection_file(bundle_dir), e.what()));
        } catch (...) {}
        return false;
    }
}

}  // namespace tarnwick::bundle::selection
