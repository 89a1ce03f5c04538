#include "tests/support/http_server.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Bound on the request head; a client sending more is cut off.
constexpr size_t MaxRequestHead = 64 * 1024;
// How long a finished connection waits for the client to close before the server closes it.
constexpr int LingerMilliseconds = 1000;
constexpr size_t SendChunk = 1 << 20;

const char* ReasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

} // namespace

HttpResponse HttpResponse::Body(std::string bytes, int status) {
    return Body(std::make_shared<const std::string>(std::move(bytes)), status);
}

HttpResponse HttpResponse::Body(std::shared_ptr<const std::string> bytes, int status) {
    HttpResponse response;
    response.status = status;
    response.body = std::move(bytes);
    return response;
}

HttpResponse HttpResponse::WithoutLength(std::string bytes) {
    HttpResponse response = Body(std::move(bytes));
    response.length = Length::Omitted;
    return response;
}

HttpResponse HttpResponse::CloseMidBody(std::string sent, uint64_t announcedLength) {
    HttpResponse response = Body(std::move(sent));
    response.length = Length::Announced;
    response.announcedLength = announcedLength;
    return response;
}

HttpResponse HttpResponse::Stall(std::string bytes, uint64_t sentFirst,
                                 std::chrono::milliseconds duration) {
    HttpResponse response = Body(std::move(bytes));
    response.stallAfter = sentFirst;
    response.stallFor = duration;
    return response;
}

HttpServer::HttpServer() {
    if (pipe2(wakePipe_, O_CLOEXEC) != 0) {
        throw std::runtime_error("http server: cannot create its wake-up pipe");
    }
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (listenFd_ < 0 ||
        bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenFd_, 64) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listenFd_ >= 0) {
            close(listenFd_);
        }
        close(wakePipe_[0]);
        close(wakePipe_[1]);
        throw std::runtime_error("http server: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread(&HttpServer::AcceptLoop, this);
}

HttpServer::~HttpServer() {
    Stop();
}

void HttpServer::Route(const std::string& path, HttpResponse response) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[path] = std::move(response);
}

std::string HttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> HttpServer::RequestedPaths() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requested_;
}

void HttpServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) {
            return;
        }
        stopped_ = true;
        stopping_ = true;
        // Wakes threads blocked in recv or send; each still closes its own descriptor.
        for (int fd : connections_) {
            shutdown(fd, SHUT_RDWR);
        }
    }
    stopping_changed_.notify_all();
    const char wake = 1;
    while (write(wakePipe_[1], &wake, 1) < 0 && errno == EINTR) {
    }
    acceptThread_.join();
    // The accept loop has ended, so no thread is added any more.
    for (std::thread& thread : connectionThreads_) {
        thread.join();
    }
    connectionThreads_.clear();
    close(listenFd_);
    close(wakePipe_[0]);
    close(wakePipe_[1]);
}

void HttpServer::AcceptLoop() {
    for (;;) {
        pollfd waits[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (waits[1].revents != 0) {
            return;
        }
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            close(fd);
            return;
        }
        connections_.insert(fd);
        connectionThreads_.emplace_back(&HttpServer::ServeConnection, this, fd);
    }
}

void HttpServer::ServeConnection(int fd) {
    std::string path;
    if (!ReadRequestPath(fd, &path)) {
        CloseConnection(fd);
        return;
    }
    HttpResponse response;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requested_.push_back(path);
        auto route = routes_.find(path);
        response = route != routes_.end() ? route->second : HttpResponse::Body("not found\n", 404);
    }

    const std::string& body = *response.body;
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       ReasonPhrase(response.status) +
                       "\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n";
    if (response.length == HttpResponse::Length::Exact) {
        head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    } else if (response.length == HttpResponse::Length::Announced) {
        head += "Content-Length: " + std::to_string(response.announcedLength) + "\r\n";
    }
    head += "\r\n";

    const size_t first = std::min<uint64_t>(response.stallAfter, body.size());
    bool sending = SendAll(fd, head.data(), head.size()) && SendAll(fd, body.data(), first);
    if (sending && response.stallFor.count() > 0) {
        sending = Hold(response.stallFor);
    }
    if (sending && SendAll(fd, body.data() + first, body.size() - first)) {
        // Half-close and wait for the client to close first: closing with unread request bytes
        // would reset the connection and could destroy the end of the response.
        shutdown(fd, SHUT_WR);
        char drain[4096];
        pollfd wait = {fd, POLLIN, 0};
        while (poll(&wait, 1, LingerMilliseconds) > 0 && recv(fd, drain, sizeof drain, 0) > 0) {
        }
    }
    CloseConnection(fd);
}

bool HttpServer::ReadRequestPath(int fd, std::string* path) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (head.size() > MaxRequestHead) {
            return false;
        }
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        head.append(buffer, static_cast<size_t>(n));
    }
    // Request line: METHOD SP target SP version
    const size_t start = head.find(' ');
    const size_t end = start == std::string::npos ? start : head.find(' ', start + 1);
    if (end == std::string::npos || head.find("\r\n") < end) {
        return false;
    }
    *path = head.substr(start + 1, end - start - 1);
    return true;
}

bool HttpServer::SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = send(fd, data, std::min(size, SendChunk), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool HttpServer::Hold(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto stopping = [this] { return stopping_; };
    if (duration == HttpResponse::UntilStop) {
        stopping_changed_.wait(lock, stopping);
    } else {
        stopping_changed_.wait_for(lock, duration, stopping);
    }
    return !stopping_;
}

void HttpServer::CloseConnection(int fd) {
    // Under the lock, so Stop never shuts down a descriptor number that was already reused.
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.erase(fd);
    close(fd);
}
