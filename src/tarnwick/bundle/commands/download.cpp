#include "tarnwick/bundle/commands/download.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>

#include <curl/curl.h>
#include <unistd.h>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/progress.hpp"

namespace tarnwick::bundle::commands {
namespace {

// HTTP errors are I/O errors to our callers, as they are to the host's Python.
OsError http_error(const std::string& what) { return OsError(OsError::Kind::Other, 0, what); }

void global_init() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw http_error("cannot initialise libcurl");
    });
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

// Collects the status line and headers of each response; a new status line (after a redirect,
// or a "100 Continue") starts afresh, so what remains is the final response's.
std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
    auto& head = *static_cast<ResponseHead*>(user);
    const std::size_t n = size * count;
    const std::string_view line = trim(std::string_view(data, n));
    if (line.starts_with("HTTP/")) {
        head = ResponseHead{};
        // "HTTP/1.1 404 Not Found": the reason is whatever follows the code.
        const auto code_at = line.find(' ');
        if (code_at != std::string_view::npos) {
            const auto rest = line.substr(code_at + 1);
            const auto reason_at = rest.find(' ');
            if (reason_at != std::string_view::npos) head.reason = std::string(trim(rest.substr(reason_at + 1)));
        }
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos && colon > 0) {
        head.headers.emplace_back(std::string(line.substr(0, colon)), std::string(trim(line.substr(colon + 1))));
    }
    return n;
}

class Easy {
public:
    Easy(const std::string& url, const std::optional<std::string>& proxy) : handle_(nullptr, &curl_easy_cleanup) {
        global_init();
        handle_.reset(curl_easy_init());
        if (!handle_) throw http_error("cannot create a libcurl transfer for " + url);
        set(CURLOPT_ERRORBUFFER, error_buffer_);
        set(CURLOPT_URL, url.c_str());
        set(CURLOPT_PROTOCOLS_STR, "http,https");
        set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        set(CURLOPT_FOLLOWLOCATION, 1L);
        set(CURLOPT_MAXREDIRS, 10L);
        set(CURLOPT_NOSIGNAL, 1L);
        set(CURLOPT_USERAGENT, "tarnwick-bundle");
        // No overall time limit (archives are large), but a dead server must not hang the call.
        set(CURLOPT_CONNECTTIMEOUT, 30L);
        set(CURLOPT_LOW_SPEED_LIMIT, 1L);
        set(CURLOPT_LOW_SPEED_TIME, 60L);
        // An empty proxy text disables every proxy, including the environment's.
        const bool use_proxy = proxy && !proxy->empty();
        set(CURLOPT_PROXY, use_proxy ? proxy->c_str() : "");
        if (use_proxy) set(CURLOPT_NOPROXY, "");
        set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        set(CURLOPT_HEADERFUNCTION, &on_header);
        set(CURLOPT_HEADERDATA, &head_);
    }
    Easy(const Easy&) = delete;
    Easy& operator=(const Easy&) = delete;

    template <typename T>
    void set(CURLoption option, T value) {
        if (const CURLcode rc = curl_easy_setopt(handle_.get(), option, value); rc != CURLE_OK)
            throw http_error(fmt::format("libcurl refused an option: {}", curl_easy_strerror(rc)));
    }

    CURLcode perform() {
        error_buffer_[0] = '\0';
        return curl_easy_perform(handle_.get());
    }

    // The final response's code (0 before any response).
    long status() const {
        long code = 0;
        curl_easy_getinfo(handle_.get(), CURLINFO_RESPONSE_CODE, &code);
        return code;
    }

    ResponseHead& head() {
        head_.status = status();
        return head_;
    }

    std::string describe(CURLcode rc) const {
        return error_buffer_[0] != '\0' ? std::string(error_buffer_) : std::string(curl_easy_strerror(rc));
    }

private:
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle_;
    char error_buffer_[CURL_ERROR_SIZE] = {};
    ResponseHead head_;
};

// The download's progress on standard error, in the manner of host::Progress (a bar on a
// terminal, otherwise a line per tenth) but counting bytes: amounts carry a unit, the bar is
// redrawn only when its text changes (a transfer makes thousands of steps), and a transfer of
// unknown size shows the amount alone, a line per 10 MiB without a terminal.
class TransferProgress {
public:
    explicit TransferProgress(std::int64_t total) : total_(total), terminal_(::isatty(STDERR_FILENO) == 1) {}
    ~TransferProgress() {
        // A failed transfer leaves the bar's line open; close it so the error starts a line.
        if (terminal_ && !last_text_.empty() && !finished_) {
            std::cerr << '\n';
            std::cerr.flush();
        }
    }
    TransferProgress(const TransferProgress&) = delete;
    TransferProgress& operator=(const TransferProgress&) = delete;

    void update(std::int64_t done) { show(done, false); }

    void finish(std::int64_t done) {
        finished_ = true;
        show(done, true);
    }

private:
    static constexpr std::int64_t UNKNOWN_TENTH = std::int64_t{10} << 20;

    struct Unit {
        double bytes;
        const char* name;
    };
    // One unit for both numbers of a line, chosen by the larger: "0.4/2.5 MiB".
    static Unit unit_for(std::int64_t bytes) {
        if (bytes >= (std::int64_t{1} << 30)) return {1024.0 * 1024.0 * 1024.0, "GiB"};
        if (bytes >= (std::int64_t{1} << 20)) return {1024.0 * 1024.0, "MiB"};
        return {1024.0, "KiB"};
    }

    std::string amount(std::int64_t done) const {
        const Unit unit = unit_for(total_ > 0 ? total_ : done);
        if (total_ <= 0) return fmt::format("{:.1f} {}", done / unit.bytes, unit.name);
        return fmt::format("{:.1f}/{:.1f} {}", done / unit.bytes, total_ / unit.bytes, unit.name);
    }

    void show(std::int64_t done, bool final_line) {
        if (!host::progress_shown()) return;
        if (terminal_) {
            std::string text = "download ";
            if (total_ > 0) {
                const std::int64_t width = 30;
                const std::int64_t filled = std::clamp<std::int64_t>(done * width / total_, 0, width);
                text += fmt::format("[{}{}] {} {:3}%", std::string(filled, '#'), std::string(width - filled, '.'),
                                    amount(done), done * 100 / total_);
            } else {
                text += amount(done);
            }
            if (text == last_text_ && !final_line) return;
            last_text_ = text;
            std::cerr << '\r' << text << "\x1b[K";  // clears what a longer earlier text left
            if (final_line) std::cerr << '\n';
            std::cerr.flush();
            return;
        }
        const std::int64_t tenth = total_ > 0 ? done * 10 / total_ : done / UNKNOWN_TENTH;
        if (!final_line && tenth <= last_tenth_) return;
        if (final_line && tenth == last_tenth_ && reported_) return;  // that line is already out
        last_tenth_ = tenth;
        reported_ = true;
        if (total_ > 0)
            std::cerr << fmt::format("download {} ({}%)\n", amount(done), done * 100 / total_);
        else
            std::cerr << fmt::format("download {}\n", amount(done));
        std::cerr.flush();
    }

    std::int64_t total_;
    bool terminal_;
    bool finished_ = false;
    bool reported_ = false;
    std::int64_t last_tenth_ = 0;
    std::string last_text_;
};

struct DownloadState {
    Easy* easy;
    std::FILE* out;
    const std::string* url;
    std::int64_t total;
    std::int64_t written = 0;
    bool status_checked = false;
    std::exception_ptr error;
    TransferProgress progress;
};

// Exceptions must not cross libcurl's C frames: they are parked and rethrown after the transfer.
std::size_t on_download_body(char* data, std::size_t size, std::size_t count, void* user) {
    auto& state = *static_cast<DownloadState*>(user);
    const std::size_t n = size * count;
    try {
        if (!state.status_checked) {
            state.status_checked = true;
            require_success(state.easy->head(), *state.url);
        }
        if (state.total >= 0 && state.written + static_cast<std::int64_t>(n) > state.total)
            throw http_error(fmt::format("download of {} failed: the server sent more than the {} bytes it announced",
                                         *state.url, state.total));
        if (std::fwrite(data, 1, n, state.out) != n) {
            const int err = errno;
            throw OsError::from_errno(
                err, fmt::format("cannot write the download of {}: {}", *state.url, std::strerror(err)));
        }
        state.written += static_cast<std::int64_t>(n);
        state.progress.update(state.written);
        return n;
    } catch (...) {
        state.error = std::current_exception();
        return n == 0 ? 1 : 0;  // any count other than n stops the transfer
    }
}

struct HeadState {
    bool body_began = false;
};

std::size_t on_head_body(char*, std::size_t size, std::size_t count, void* user) {
    static_cast<HeadState*>(user)->body_began = true;
    const std::size_t n = size * count;
    return n == 0 ? 1 : 0;  // stop: only the head is wanted
}

}  // namespace

std::optional<std::string> proxy_from_environment() {
    if (const char* value = std::getenv(PROXY_VARIABLE)) return std::string(value);
    return std::nullopt;
}

std::optional<std::string> ResponseHead::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (equal_ignoring_case(key, name)) return value;
    return std::nullopt;
}

void require_success(const ResponseHead& head, const std::string& url) {
    if (head.status >= 200 && head.status < 300) return;
    throw http_error(fmt::format("cannot download {}: the server answered with HTTP status {}{}", url, head.status,
                                 head.reason.empty() ? "" : " " + head.reason));
}

ResponseHead get_response_head(const std::string& url, const std::optional<std::string>& proxy) {
    Easy easy(url, proxy);
    HeadState state;
    easy.set(CURLOPT_WRITEFUNCTION, &on_head_body);
    easy.set(CURLOPT_WRITEDATA, &state);
    const CURLcode rc = easy.perform();
    if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && state.body_began))
        throw http_error(fmt::format("cannot download {}: {}", url, easy.describe(rc)));
    return easy.head();
}

std::int64_t download(std::FILE* out, std::int64_t total_length, const std::string& url,
                      const std::optional<std::string>& proxy) {
    Easy easy(url, proxy);
    DownloadState state{&easy, out, &url, total_length, 0, false, nullptr, TransferProgress(total_length)};
    easy.set(CURLOPT_WRITEFUNCTION, &on_download_body);
    easy.set(CURLOPT_WRITEDATA, &state);
    const CURLcode rc = easy.perform();
    if (state.error) std::rethrow_exception(state.error);
    if (rc != CURLE_OK) {
        if (state.written > 0)
            throw http_error(fmt::format("download of {} broke off after {} of {} bytes: {}", url, state.written,
                                         total_length, easy.describe(rc)));
        throw http_error(fmt::format("cannot download {}: {}", url, easy.describe(rc)));
    }
    if (!state.status_checked) require_success(easy.head(), url);  // an empty body
    if (total_length >= 0 && state.written != total_length)
        throw http_error(
            fmt::format("download of {} broke off after {} of {} bytes", url, state.written, total_length));
    if (std::fflush(out) != 0) {
        const int err = errno;
        throw OsError::from_errno(err, fmt::format("cannot write the download of {}: {}", url, std::strerror(err)));
    }
    state.progress.finish(state.written);
    return state.written;
}

std::int64_t download(std::FILE* out, std::int64_t total_length, const std::string& url) {
    return download(out, total_length, url, proxy_from_environment());
}

}  // namespace tarnwick::bundle::commands
