// HTTPS on 127.0.0.1 for tests and benchmarks (Linux, OpenSSL): a test CA and server
// certificates made at run time, and a server that answers GET for one path with a fixed body.
// It listens on an ephemeral port from construction until Stop() or destruction, serves each
// connection on its own thread and closes it after one response. Private keys live in memory
// only; nothing is written to disk.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// A certificate and its private key, both PEM.
struct PemCertificate {
    std::string certificate;
    std::string key;
};

enum class ServerCertificate {
    Trusted,    // signed by the test CA, for 127.0.0.1 and localhost
    SelfSigned, // for 127.0.0.1 and localhost, signed by its own key
    WrongName,  // signed by the test CA, for elsewhere.invalid only
};

// A new CA (a fresh key every call), valid from an hour ago for a day. Throws on failure.
PemCertificate MakeTestCa();
// A server certificate of the given kind; `ca` signs the Trusted and WrongName kinds.
PemCertificate MakeServerCertificate(const PemCertificate& ca, ServerCertificate kind);

class TlsServer {
  public:
    // Serves `body` with status 200 for GET `path`, and 404 for any other path. Throws on failure.
    TlsServer(const PemCertificate& certificate, const std::string& path,
              std::shared_ptr<const std::string> body);
    ~TlsServer();
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    int Port() const {
        return port_;
    }
    // "https://127.0.0.1:<port>" followed by the path.
    std::string Url(const std::string& path) const;
    // Paths of the requests that arrived over a completed handshake, in order.
    std::vector<std::string> RequestedPaths() const;
    // Cuts open connections and joins every thread. Safe to call more than once.
    void Stop();

  private:
    struct Context;
    void AcceptLoop();
    void ServeConnection(int fd);
    void CloseConnection(int fd);

    std::unique_ptr<Context> context_;
    std::string path_;
    std::shared_ptr<const std::string> body_;
    int listenFd_ = -1;
    int wake_[2] = {-1, -1};
    int port_ = 0;

    mutable std::mutex mutex_;
    bool stopping_ = false;
    bool stopped_ = false;
    std::vector<std::string> requested_;
    std::set<int> connections_;
    std::vector<std::thread> connectionThreads_;
    std::thread acceptThread_;
};
