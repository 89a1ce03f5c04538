// A small HTTP/1.1 server on 127.0.0.1 for tests and benchmarks. It listens on an ephemeral port
// from construction until Stop() or destruction, answers each connection on its own thread with
// the response routed by the exact request path, and closes the connection after one response.
// The same code runs on POSIX sockets and on Winsock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

struct HttpResponse {
    enum class Length {
        Exact,    // Content-Length is the body's size
        Omitted,  // no Content-Length: the body ends when the connection closes
        Announced // Content-Length is announcedLength, whatever the body holds
    };
    // Stall duration that lasts until the server stops.
    static constexpr std::chrono::milliseconds UntilStop = std::chrono::milliseconds::max();

    int status = 200;
    std::shared_ptr<const std::string> body = std::make_shared<const std::string>();
    Length length = Length::Exact;
    uint64_t announcedLength = 0;
    // After the headers and stallAfter body bytes the server holds the connection for stallFor;
    // then it sends the rest, unless it is stopping, in which case it just closes.
    uint64_t stallAfter = 0;
    std::chrono::milliseconds stallFor{0};
    // When not 0, the body goes out rateBytes at a time with rateInterval between the parts.
    uint64_t rateBytes = 0;
    std::chrono::milliseconds rateInterval{0};
    // A 200 with an exact length answers "Range: bytes=N-" with 206 and the body from N (stall
    // and rate positions stay those of the whole body), or 416 when N is at or past its end.
    // False: the whole body with 200, as a server that does not do ranges.
    bool honoursRanges = true;
    // Sent as the Location header when not empty.
    std::string location;
    // Header lines added to the head, each ended by "\r\n" (a Retry-After, a Content-Range).
    std::string headers;
    // The connection is closed once the body is sent up to this position of the whole body,
    // whatever the length announced: a connection dropped mid-body.
    uint64_t cutAt = std::numeric_limits<uint64_t>::max();
    // Instead of answering, the server resets the connection (TCP RST) once it has read the
    // request.
    bool reset = false;

    static HttpResponse Body(std::string bytes, int status = 200);
    // Shares the bytes instead of copying them, for large bodies served more than once.
    static HttpResponse Body(std::shared_ptr<const std::string> bytes, int status = 200);
    static HttpResponse WithoutLength(std::string bytes);
    // Announces announcedLength bytes, sends only `sent`, and closes.
    static HttpResponse CloseMidBody(std::string sent, uint64_t announcedLength);
    // Sends the headers and the first sentFirst bytes, then holds the connection for `duration`
    // (or UntilStop) before sending the rest.
    static HttpResponse Stall(std::string bytes, uint64_t sentFirst,
                              std::chrono::milliseconds duration);
    // Sends the body bytesPerInterval bytes at a time, with `interval` between the parts.
    static HttpResponse Slow(std::string bytes, uint64_t bytesPerInterval,
                             std::chrono::milliseconds interval);
    // A redirect (301, 302, 303, 307 or 308) to `location`, with a short page as its body.
    static HttpResponse Redirect(int status, std::string location);
    // The body, ranges honoured, cut at `position` of the whole body.
    static HttpResponse CutAt(std::shared_ptr<const std::string> bytes, uint64_t position);
    // A connection reset before any answer.
    static HttpResponse Reset();
};

// What a route's handler learns of one request.
struct HttpRequest {
    std::string path;
    std::string range; // the Range header's value, "" without one
    int index;         // 0 for the first request for this path, 1 for the next, ...
};

// Writes exactly the fault a test needs, request by request. Runs on the connection's thread.
using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

// The target of the request line at the start of a request's head; false when it has none.
bool RequestTarget(const std::string& head, std::string* target);

#ifdef _WIN32
using SocketHandle = uintptr_t; // Winsock's SOCKET
#else
using SocketHandle = int;
#endif

class HttpServer {
  public:
    HttpServer();
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Answers requests for exactly this path (query included) with the response; other paths
    // get 404 with a short body.
    void Route(const std::string& path, HttpResponse response);
    // Answers each request for the path with what the handler returns for it.
    void Route(const std::string& path, HttpHandler handler);

    int Port() const {
        return port_;
    }
    // "http://127.0.0.1:<port>" followed by the path.
    std::string Url(const std::string& path) const;
    // Request paths in the order the requests arrived.
    std::vector<std::string> RequestedPaths() const;
    // Their Range header values in the same order, "" for a request without one.
    std::vector<std::string> RequestedRanges() const;
    // Waits up to `timeout` until `count` responses to the path (counted since construction)
    // have sent everything before their stall and are held or were held; false on time-out.
    bool WaitForStall(const std::string& path, std::chrono::milliseconds timeout, int count = 1);
    // Body bytes handed to the system so far for the path, over all its responses.
    uint64_t BodyBytesSent(const std::string& path) const;

    // Ends stalls, cuts open connections and joins every thread. Safe to call more than once.
    void Stop();

  private:
    void AcceptLoop();
    void ServeConnection(SocketHandle fd);
    bool ReadRequest(SocketHandle fd, std::string* path, std::string* range);
    bool SendAll(SocketHandle fd, const char* data, size_t size);
    bool SendBody(SocketHandle fd, const std::string& path, const HttpResponse& response,
                  size_t from, size_t to);
    // Waits up to `duration`; false when the server began stopping meanwhile.
    bool Hold(std::chrono::milliseconds duration);
    void CloseConnection(SocketHandle fd);
    void ResetConnection(SocketHandle fd);
    void Wake();

    SocketHandle listenFd_;
    // Stop writes to [1] to end the accept loop's wait on [0]: a pipe, or on Windows (where only
    // sockets can be waited on together) a loopback datagram socket connected to itself.
    SocketHandle wake_[2];
    int port_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable stopping_changed_;
    bool stopping_ = false;
    bool stopped_ = false;
    std::map<std::string, HttpHandler> routes_;
    std::map<std::string, int> requestCounts_;
    std::vector<std::string> requested_;
    std::vector<std::string> requestedRanges_;
    struct PathProgress {
        uint64_t bodyBytesSent = 0;
        int stalls = 0;
    };
    std::map<std::string, PathProgress> progress_;
    std::condition_variable progress_changed_;
    std::set<SocketHandle> connections_;
    std::vector<std::thread> connectionThreads_;
    std::thread acceptThread_;
};

// A port on 127.0.0.1 that refuses connections while the object lives: bound, never listening.
class RefusingPort {
  public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    int Port() const {
        return port_;
    }

  private:
    SocketHandle fd_;
    int port_ = 0;
};
