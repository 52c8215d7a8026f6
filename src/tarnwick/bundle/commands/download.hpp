#pragma once
// HTTP transfers of the sample bundle, over libcurl: the host's `download`, which streams a
// URL's body into an open file with a progress display on standard error, and the GET whose
// status and headers the sample installation reads before it opens its file.
//
// Proxy: a given proxy serves every scheme of the request (http and https), and NO_PROXY does not
// bypass it; without one (nullopt, or an empty text) the request goes direct, and the usual
// http_proxy / https_proxy variables are not consulted either, so that HARRIER_PROXY is the only
// proxy setting the bundle commands obey.
//
// Errors: a request that cannot be made or breaks off, and a response whose status is not 2xx,
// throw OsError (kind Other, errno 0); the text names the URL and, where there is one, the status.
// Nothing here keeps a response body in memory.
//
// Thread-safety: independent calls may run in parallel threads.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick::bundle::commands {

inline constexpr const char* PROXY_VARIABLE = "HARRIER_PROXY";

// The value of HARRIER_PROXY, or nullopt when it is not set.
std::optional<std::string> proxy_from_environment();

struct ResponseHead {
    long status = 0;
    std::string reason;                                        // "Not Found"; may be empty
    std::vector<std::pair<std::string, std::string>> headers;  // in arrival order, names as sent

    // The value of the first header called `name` (compared without case), or nullopt.
    std::optional<std::string> header(std::string_view name) const;
};

// Sends a GET for `url` and returns the status line and headers of the final response (redirects
// are followed); the connection is dropped as soon as the body begins, so the body is never read.
// The status is returned, not checked.
ResponseHead get_response_head(const std::string& url, const std::optional<std::string>& proxy);

// Throws OsError naming `url` and the status unless `head.status` is 2xx.
void require_success(const ResponseHead& head, const std::string& url);

// Streams the body of a GET for `url` into `out` and returns the number of bytes written.
//
// The status is checked before the first byte is written, so an error page never lands in `out`.
// `total_length` is the size announced by the server; the transfer fails as soon as more arrives
// and, at its end, when fewer did. A negative `total_length` means unknown: no size check and no
// percentage in the progress display.
//
// Progress goes to standard error: a redrawn bar on a terminal, otherwise a line at every tenth.
// REQUIRES: `out` is open for writing bytes. On failure `out` keeps what was written before it.
std::int64_t download(std::FILE* out, std::int64_t total_length, const std::string& url,
                      const std::optional<std::string>& proxy);
// The same with the proxy read from HARRIER_PROXY.
std::int64_t download(std::FILE* out, std::int64_t total_length, const std::string& url);

}  // namespace tarnwick::bundle::commands
