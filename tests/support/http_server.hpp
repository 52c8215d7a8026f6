#pragma once
// Test support: a small HTTP/1.1 server on 127.0.0.1 (a free port), answering every request
// with one canned response on a thread of its own. Tests reach it as the proxy of a request
// (HARRIER_PROXY=url()): a proxy receives the absolute URL in its request line, which
// requests() records, so a test sees both that the proxy was used and what was asked for.
//
// It serves one connection at a time, always closes the connection after its answer, stops
// when the object goes away, and stops by itself after a minute in any case, so a test that
// forgets it never leaves it running.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarnwick::bundle::test {

class HttpServer {
public:
    struct Response {
        int status = 200;
        std::string reason = "OK";
        std::string body;
        bool content_length = true;  // send "Content-Length"; without it the body ends with the connection
        // Bytes of the body sent before the connection is closed (all of it by default); less
        // than the announced length makes a transfer that breaks off halfway.
        std::size_t close_after = static_cast<std::size_t>(-1);
    };

    explicit HttpServer(Response response);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    std::uint16_t port() const { return port_; }
    std::string url() const;  // "http://127.0.0.1:PORT"
    // The request lines received so far, e.g. "GET http://host/path HTTP/1.1".
    std::vector<std::string> requests() const;

private:
    void serve();
    void answer(int connection);

    Response response_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

}  // namespace tarnwick::bundle::test
