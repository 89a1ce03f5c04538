#include "tests/support/http_server.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// Bound on the request head; a client sending more is cut off.
constexpr size_t MaxRequestHead = 64 * 1024;
// How long a finished connection waits for the client to close before the server closes it.
constexpr int LingerMilliseconds = 1000;
constexpr size_t SendChunk = 1 << 20;
// How often a send waiting for room asks whether the server is stopping.
constexpr int SendWaitMilliseconds = 100;

// --- The few places where Winsock differs from POSIX sockets ---

#ifdef _WIN32
constexpr SocketHandle NoSocket = INVALID_SOCKET;
constexpr int ShutSend = SD_SEND;
// Winsock raises no SIGPIPE, so there is nothing to turn off.
constexpr int SendFlags = 0;

// Each server and refusing port holds Winsock open while it lives; the calls are counted.
bool StartSockets() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void EndSockets() {
    WSACleanup();
}

// Blocking Winsock calls are not interrupted by signals.
bool Interrupted() {
    return false;
}

SocketHandle OpenSocket(int type) {
    const SocketHandle fd = socket(AF_INET, type, 0);
    // As SOCK_CLOEXEC: a child started meanwhile must not keep a connection open.
    if (fd != NoSocket) {
        SetHandleInformation(reinterpret_cast<HANDLE>(fd), HANDLE_FLAG_INHERIT, 0);
    }
    return fd;
}

SocketHandle AcceptSocket(SocketHandle listening) {
    const SocketHandle fd = accept(listening, nullptr, nullptr);
    if (fd != NoSocket) {
        SetHandleInformation(reinterpret_cast<HANDLE>(fd), HANDLE_FLAG_INHERIT, 0);
    }
    return fd;
}

void CloseSocket(SocketHandle fd) {
    closesocket(fd);
}

// Sends never block (SetNonBlocking, SendAll), as Winsock's shutdown does not always wake one.
void WakeBlockedCalls(SocketHandle fd) {
    shutdown(fd, SD_BOTH);
}

int WaitReadable(pollfd* waits, unsigned long count, int milliseconds) {
    return WSAPoll(waits, count, milliseconds);
}

void SetNonBlocking(SocketHandle fd) {
    u_long on = 1;
    ioctlsocket(fd, FIONBIO, &on);
}

bool WouldBlock() {
    return WSAGetLastError() == WSAEWOULDBLOCK;
}
#else
constexpr SocketHandle NoSocket = -1;
constexpr int ShutSend = SHUT_WR;
// A client that went away must fail the send, not end the test program.
constexpr int SendFlags = MSG_NOSIGNAL;

bool StartSockets() {
    return true;
}

void EndSockets() {}

bool Interrupted() {
    return errno == EINTR;
}

SocketHandle OpenSocket(int type) {
    return socket(AF_INET, type | SOCK_CLOEXEC, 0);
}

SocketHandle AcceptSocket(SocketHandle listening) {
    return accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
}

void CloseSocket(SocketHandle fd) {
    close(fd);
}

void WakeBlockedCalls(SocketHandle fd) {
    shutdown(fd, SHUT_RDWR);
}

int WaitReadable(pollfd* waits, nfds_t count, int milliseconds) {
    return poll(waits, count, milliseconds);
}

void SetNonBlocking(SocketHandle fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

bool WouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}
#endif

// Binds a new socket to 127.0.0.1 on an ephemeral port; NoSocket on failure.
SocketHandle BindLoopback(int type, int* port) {
    const SocketHandle fd = OpenSocket(type);
    if (fd == NoSocket) {
        return NoSocket;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        CloseSocket(fd);
        return NoSocket;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// The accept loop's wake-up: a pipe, or on Windows a loopback datagram socket connected to
// itself (Winsock waits on sockets only).
bool OpenWakeChannel(SocketHandle wake[2]) {
#ifdef _WIN32
    int port = 0;
    const SocketHandle fd = BindLoopback(SOCK_DGRAM, &port);
    if (fd == NoSocket) {
        return false;
    }
    sockaddr_in self = {};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    self.sin_port = htons(static_cast<u_short>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
        CloseSocket(fd);
        return false;
    }
    wake[0] = wake[1] = fd;
    return true;
#else
    return pipe2(wake, O_CLOEXEC) == 0;
#endif
}

void SendWake(SocketHandle fd) {
    const char wake = 1;
#ifdef _WIN32
    send(fd, &wake, 1, 0);
#else
    while (write(fd, &wake, 1) < 0 && errno == EINTR) {
    }
#endif
}

void CloseWakeChannel(SocketHandle wake[2]) {
    CloseSocket(wake[0]);
    if (wake[1] != wake[0]) {
        CloseSocket(wake[1]);
    }
}

const char* ReasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 408:
        return "Request Timeout";
    case 416:
        return "Range Not Satisfiable";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

// The N of "bytes=N-", the one range form libcurl sends to resume; false for anything else.
bool ParseRangeStart(const std::string& range, uint64_t* start) {
    // Up to 19 digits, so that the number always fits.
    if (range.size() < 8 || range.size() > 26 || range.compare(0, 6, "bytes=") != 0 ||
        range.find_first_not_of("0123456789", 6) != range.size() - 1 || range.back() != '-') {
        return false;
    }
    *start = std::stoull(range.substr(6, range.size() - 7));
    return true;
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

HttpResponse HttpResponse::Slow(std::string bytes, uint64_t bytesPerInterval,
                                std::chrono::milliseconds interval) {
    HttpResponse response = Body(std::move(bytes));
    response.rateBytes = bytesPerInterval;
    response.rateInterval = interval;
    return response;
}

HttpResponse HttpResponse::Redirect(int status, std::string location) {
    HttpResponse response = Body("<html>moved to " + location + "</html>\n", status);
    response.location = std::move(location);
    return response;
}

HttpResponse HttpResponse::CutAt(std::shared_ptr<const std::string> bytes, uint64_t position) {
    HttpResponse response = Body(std::move(bytes));
    response.cutAt = position;
    return response;
}

HttpResponse HttpResponse::Reset() {
    HttpResponse response;
    response.reset = true;
    return response;
}

HttpServer::HttpServer() {
    if (!StartSockets()) {
        throw std::runtime_error("http server: cannot start the socket library");
    }
    if (!OpenWakeChannel(wake_)) {
        EndSockets();
        throw std::runtime_error("http server: cannot create its wake-up channel");
    }
    listenFd_ = BindLoopback(SOCK_STREAM, &port_);
    if (listenFd_ == NoSocket || listen(listenFd_, 64) != 0) {
        if (listenFd_ != NoSocket) {
            CloseSocket(listenFd_);
        }
        CloseWakeChannel(wake_);
        EndSockets();
        throw std::runtime_error("http server: cannot listen on 127.0.0.1");
    }
    acceptThread_ = std::thread(&HttpServer::AcceptLoop, this);
}

HttpServer::~HttpServer() {
    Stop();
}

void HttpServer::Route(const std::string& path, HttpResponse response) {
    Route(path, [response](const HttpRequest&) { return response; });
}

void HttpServer::Route(const std::string& path, HttpHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[path] = std::move(handler);
}

std::string HttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> HttpServer::RequestedPaths() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requested_;
}

std::vector<std::string> HttpServer::RequestedRanges() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requestedRanges_;
}

bool HttpServer::WaitForStall(const std::string& path, std::chrono::milliseconds timeout,
                              int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return progress_changed_.wait_for(lock, timeout,
                                      [&] { return progress_[path].stalls >= count; });
}

uint64_t HttpServer::BodyBytesSent(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = progress_.find(path);
    return found != progress_.end() ? found->second.bodyBytesSent : 0;
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
        for (SocketHandle fd : connections_) {
            WakeBlockedCalls(fd);
        }
    }
    stopping_changed_.notify_all();
    SendWake(wake_[1]);
    acceptThread_.join();
    // The accept loop has ended, so no thread is added any more.
    for (std::thread& thread : connectionThreads_) {
        thread.join();
    }
    connectionThreads_.clear();
    CloseSocket(listenFd_);
    CloseWakeChannel(wake_);
    EndSockets();
}

void HttpServer::AcceptLoop() {
    for (;;) {
        pollfd waits[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (WaitReadable(waits, 2, -1) < 0) {
            if (Interrupted()) {
                continue;
            }
            return;
        }
        if (waits[1].revents != 0) {
            return;
        }
        const SocketHandle fd = AcceptSocket(listenFd_);
        if (fd == NoSocket) {
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            CloseSocket(fd);
            return;
        }
        connections_.insert(fd);
        connectionThreads_.emplace_back(&HttpServer::ServeConnection, this, fd);
    }
}

void HttpServer::ServeConnection(SocketHandle fd) {
    std::string path;
    std::string range;
    if (!ReadRequest(fd, &path, &range)) {
        CloseConnection(fd);
        return;
    }
    // Wine wakes no send blocked on a socket that Stop shuts down: sends wait in SendAll instead.
    SetNonBlocking(fd);
    HttpHandler handler;
    HttpRequest request{path, range, 0};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requested_.push_back(path);
        requestedRanges_.push_back(range);
        request.index = requestCounts_[path]++;
        auto route = routes_.find(path);
        if (route != routes_.end()) {
            handler = route->second;
        }
    }
    // Outside the lock: a handler may ask the server what it has seen.
    HttpResponse response = handler ? handler(request) : HttpResponse::Body("not found\n", 404);
    if (response.reset) {
        ResetConnection(fd);
        return;
    }

    const size_t size = response.body->size();
    size_t start = 0;
    std::string contentRange;
    uint64_t asked = 0;
    if (response.honoursRanges && response.status == 200 &&
        response.length == HttpResponse::Length::Exact && ParseRangeStart(range, &asked)) {
        const std::string whole = "/" + std::to_string(size);
        if (asked >= size) {
            response = HttpResponse::Body(std::string(), 416);
            contentRange = "bytes *" + whole;
        } else {
            response.status = 206;
            start = static_cast<size_t>(asked);
            contentRange =
                "bytes " + std::to_string(start) + "-" + std::to_string(size - 1) + whole;
        }
    }
    const std::string& sent = *response.body;
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       ReasonPhrase(response.status) +
                       "\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n";
    if (!contentRange.empty()) {
        head += "Content-Range: " + contentRange + "\r\n";
    }
    if (!response.location.empty()) {
        head += "Location: " + response.location + "\r\n";
    }
    head += response.headers;
    if (response.length == HttpResponse::Length::Exact) {
        head += "Content-Length: " + std::to_string(sent.size() - start) + "\r\n";
    } else if (response.length == HttpResponse::Length::Announced) {
        head += "Content-Length: " + std::to_string(response.announcedLength) + "\r\n";
    }
    head += "\r\n";

    const size_t end = std::max<uint64_t>(start, std::min<uint64_t>(response.cutAt, sent.size()));
    const size_t first = std::max<uint64_t>(start, std::min<uint64_t>(response.stallAfter, end));
    bool sending =
        SendAll(fd, head.data(), head.size()) && SendBody(fd, path, response, start, first);
    if (sending && response.stallFor.count() > 0) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++progress_[path].stalls;
        }
        progress_changed_.notify_all();
        sending = Hold(response.stallFor);
    }
    if (sending && SendBody(fd, path, response, first, end)) {
        // Half-close and wait for the client to close first: closing with unread request bytes
        // would reset the connection and could destroy the end of the response.
        shutdown(fd, ShutSend);
        char drain[4096];
        pollfd wait = {fd, POLLIN, 0};
        while (WaitReadable(&wait, 1, LingerMilliseconds) > 0 &&
               recv(fd, drain, sizeof drain, 0) > 0) {
        }
    }
    CloseConnection(fd);
}

bool RequestTarget(const std::string& head, std::string* target) {
    // Request line: METHOD SP target SP version
    const size_t start = head.find(' ');
    const size_t end = start == std::string::npos ? start : head.find(' ', start + 1);
    if (end == std::string::npos || head.find("\r\n") < end) {
        return false;
    }
    *target = head.substr(start + 1, end - start - 1);
    return true;
}

bool HttpServer::ReadRequest(SocketHandle fd, std::string* path, std::string* range) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (head.size() > MaxRequestHead) {
            return false;
        }
        const auto n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && Interrupted()) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        head.append(buffer, static_cast<size_t>(n));
    }
    if (!RequestTarget(head, path)) {
        return false;
    }
    // As libcurl spells it.
    const size_t field = head.find("\r\nRange: ");
    *range = field == std::string::npos
                 ? std::string()
                 : head.substr(field + 9, head.find("\r\n", field + 9) - field - 9);
    return true;
}

bool HttpServer::SendAll(SocketHandle fd, const char* data, size_t size) {
    while (size > 0) {
        const auto n = send(fd, data, static_cast<int>(std::min(size, SendChunk)), SendFlags);
        if (n < 0 && Interrupted()) {
            continue;
        }
        if (n < 0 && WouldBlock()) {
            pollfd wait = {fd, POLLOUT, 0};
            while (WaitReadable(&wait, 1, SendWaitMilliseconds) == 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stopping_) {
                    return false;
                }
            }
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

bool HttpServer::SendBody(SocketHandle fd, const std::string& path, const HttpResponse& response,
                          size_t from, size_t to) {
    const bool paced = response.rateBytes > 0;
    const size_t part = paced ? std::min<uint64_t>(response.rateBytes, SendChunk) : SendChunk;
    while (from < to) {
        const size_t size = std::min(part, to - from);
        if (!SendAll(fd, response.body->data() + from, size)) {
            return false;
        }
        from += size;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            progress_[path].bodyBytesSent += size;
        }
        progress_changed_.notify_all();
        if (paced && from < to && !Hold(response.rateInterval)) {
            return false;
        }
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

void HttpServer::ResetConnection(SocketHandle fd) {
    // A linger of zero makes the close send RST instead of FIN, on POSIX and Winsock alike.
    linger abort = {};
    abort.l_onoff = 1;
    abort.l_linger = 0;
    setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    CloseConnection(fd);
}

void HttpServer::CloseConnection(SocketHandle fd) {
    // Under the lock, so Stop never shuts down a descriptor number that was already reused.
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.erase(fd);
    CloseSocket(fd);
}

RefusingPort::RefusingPort() {
    if (!StartSockets()) {
        throw std::runtime_error("refusing port: cannot start the socket library");
    }
    fd_ = BindLoopback(SOCK_STREAM, &port_);
    if (fd_ == NoSocket) {
        EndSockets();
        throw std::runtime_error("refusing port: cannot bind 127.0.0.1");
    }
}

RefusingPort::~RefusingPort() {
    CloseSocket(fd_);
    EndSockets();
}
