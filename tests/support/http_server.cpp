#include "support/http_server.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace tarnwick::bundle::test {
namespace {

constexpr auto LIFETIME = std::chrono::seconds(60);

void set_timeout(int fd, int option, int seconds) {
    timeval tv{};
    tv.tv_sec = seconds;
    setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

// False when the peer went away (a client that wanted only the head drops the connection).
bool send_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

HttpServer::HttpServer(Response response) : response_(std::move(response)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never reachable from outside the machine
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(listener_);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    if (::pipe2(wake_, O_CLOEXEC) != 0) {
        ::close(listener_);
        throw std::runtime_error("pipe failed");
    }
    thread_ = std::thread([this] { serve(); });
}

HttpServer::~HttpServer() {
    const char byte = 1;
    (void)!::write(wake_[1], &byte, 1);
    thread_.join();
    ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

std::string HttpServer::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> HttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void HttpServer::serve() {
    const auto deadline = std::chrono::steady_clock::now() + LIFETIME;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int ready = ::poll(fds, 2, 200);
        if (ready < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) return;
        if (ready <= 0 || (fds[0].revents & POLLIN) == 0) continue;
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        answer(connection);
        ::close(connection);
    }
}

void HttpServer::answer(int connection) {
    set_timeout(connection, SO_RCVTIMEO, 5);
    set_timeout(connection, SO_SNDTIMEO, 5);
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        request.append(buffer, static_cast<std::size_t>(n));
    }
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request.substr(0, request.find("\r\n")));
    }
    std::string head = "HTTP/1.1 " + std::to_string(response_.status) + " " + response_.reason + "\r\n";
    head += "Content-Type: application/octet-stream\r\nConnection: close\r\n";
    if (response_.content_length) head += "Content-Length: " + std::to_string(response_.body.size()) + "\r\n";
    head += "\r\n";
    if (!send_all(connection, head.data(), head.size())) return;
    send_all(connection, response_.body.data(), std::min(response_.close_after, response_.body.size()));
}

}  // namespace tarnwick::bundle::test
