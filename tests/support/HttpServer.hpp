#pragma once

// A loopback HTTP server for download tests: each path answers from a
// script (status, body, announced length, cut or stalled connections) and
// the requests it received are counted.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace korvel::testing {

class HttpServer {
public:
    struct Reply {
        int status = 200;
        std::string body;
        // Content-Length sent; absent sends the body's own length.
        std::optional<int64_t> announcedLength;
        // No Content-Length: the body ends when the connection closes.
        bool noLength = false;
        // The first this many requests are closed with no answer at all.
        int refuseFirst = 0;
        // Headers and this many body bytes, then the connection is closed.
        std::optional<size_t> cutAfter;
        // Headers and the cut bytes, then nothing until the server stops.
        bool stall = false;

        Reply() = default;
        Reply(int status, std::string body) : status(status), body(std::move(body)) {}
        Reply& announce(int64_t n) { announcedLength = n; return *this; }
        Reply& withoutLength() { noLength = true; return *this; }
        Reply& refusingFirst(int n) { refuseFirst = n; return *this; }
        Reply& cutAfterBytes(size_t n) { cutAfter = n; return *this; }
        Reply& stalling() { stall = true; return *this; }
    };

    HttpServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listener_, 64);
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        acceptor_ = std::thread([this] { acceptLoop(); });
    }

    ~HttpServer() {
        {
            std::lock_guard g(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        acceptor_.join();
        for (auto& t : connections_) t.join();
    }

    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/v1/models"; }
    std::string url(const std::string& id) const { return base() + "/" + id; }

    void route(const std::string& id, Reply reply) {
        std::lock_guard g(lock_);
        routes_["/v1/models/" + id] = std::move(reply);
    }
    int requests(const std::string& id) {
        std::lock_guard g(lock_);
        return counts_["/v1/models/" + id];
    }
    int allRequests() {
        std::lock_guard g(lock_);
        int n = 0;
        for (auto& [path, count] : counts_) n += count;
        return n;
    }

private:
    void acceptLoop() {
        for (;;) {
            int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            std::lock_guard g(lock_);
            if (stopping_) {
                ::close(fd);
                return;
            }
            connections_.emplace_back([this, fd] { serve(fd); });
        }
    }

    static void sendAll(int fd, const char* data, size_t size) {
        while (size > 0) {
            ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
            if (n <= 0) return;
            data += n;
            size -= static_cast<size_t>(n);
        }
    }

    void serve(int fd) {
        std::string request;
        char buf[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                ::close(fd);
                return;
            }
            request.append(buf, static_cast<size_t>(n));
        }
        const auto sp1 = request.find(' ');
        const auto sp2 = request.find(' ', sp1 + 1);
        const std::string path = request.substr(sp1 + 1, sp2 - sp1 - 1);
        Reply reply(404, "");
        int count = 0;
        {
            std::lock_guard g(lock_);
            count = ++counts_[path];
            if (auto r = routes_.find(path); r != routes_.end()) reply = r->second;
        }
        if (count <= reply.refuseFirst) {
            ::close(fd);
            return;
        }
        std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " Scripted\r\nConnection: close\r\n";
        if (!reply.noLength) {
            head += "Content-Length: " + std::to_string(reply.announcedLength.value_or(static_cast<int64_t>(reply.body.size()))) + "\r\n";
        }
        head += "\r\n";
        sendAll(fd, head.data(), head.size());
        const size_t bytes = std::min(reply.body.size(), reply.cutAfter.value_or(reply.body.size()));
        sendAll(fd, reply.body.data(), bytes);
        if (reply.stall) {
            std::unique_lock l(lock_);
            wake_.wait(l, [&] { return stopping_; });
        }
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread acceptor_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::vector<std::thread> connections_;
    std::map<std::string, Reply> routes_;
    std::map<std::string, int> counts_;
};

} // namespace korvel::testing
