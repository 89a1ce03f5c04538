#include "tests/support/tls_server.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "tests/support/http_server.h"

namespace {

constexpr size_t MaxRequestHead = 64 * 1024;
constexpr int LingerMilliseconds = 1000;
constexpr size_t SendChunk = 1 << 20;

template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* object) const {
        Free(object);
    }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using CertificatePtr = std::unique_ptr<X509, Freer<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;

[[noreturn]] void Fail(const std::string& what) {
    char reason[256] = "";
    ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
    throw std::runtime_error("tls test server: " + what + ": " + reason);
}

template <typename T>
T* Check(T* object, const char* what) {
    if (object == nullptr) {
        Fail(what);
    }
    return object;
}

void Check(int result, const char* what) {
    if (result <= 0) {
        Fail(what);
    }
}

// --- Certificates ---

KeyPtr NewKey() {
    // P-256: made in a millisecond, where an RSA key takes a noticeable part of a test.
    return KeyPtr(Check(EVP_EC_gen("P-256"), "cannot make a key"));
}

CertificatePtr NewCertificate(const char* commonName, EVP_PKEY* key) {
    CertificatePtr certificate(Check(X509_new(), "X509_new"));
    X509* cert = certificate.get();
    Check(X509_set_version(cert, X509_VERSION_3), "X509_set_version");
    // A random serial: a CA of an earlier test may have issued the same name.
    unsigned char serial[8];
    Check(RAND_bytes(serial, sizeof serial), "RAND_bytes");
    serial[0] &= 0x7f;
    BIGNUM* number = Check(BN_bin2bn(serial, sizeof serial, nullptr), "BN_bin2bn");
    const bool serialSet = BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert)) != nullptr;
    BN_free(number);
    Check(serialSet ? 1 : 0, "serial number");
    // An hour back, so a client whose clock runs a little behind still accepts it.
    Check(X509_gmtime_adj(X509_getm_notBefore(cert), -3600) != nullptr, "notBefore");
    Check(X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600) != nullptr, "notAfter");
    Check(X509_set_pubkey(cert, key), "X509_set_pubkey");
    Check(X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0),
          "subject name");
    return certificate;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = Check(X509V3_EXT_conf_nid(nullptr, &context, nid, value), value);
    const int added = X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
    Check(added, value);
}

void Sign(X509* cert, X509* issuer, EVP_PKEY* issuerKey) {
    Check(X509_set_issuer_name(cert, X509_get_subject_name(issuer)), "issuer name");
    Check(X509_sign(cert, issuerKey, EVP_sha256()), "X509_sign");
}

std::string MemoryText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(std::max(size, 0L)));
}

PemCertificate ToPem(X509* cert, EVP_PKEY* key) {
    BioPtr certificateText(Check(BIO_new(BIO_s_mem()), "BIO_new"));
    BioPtr keyText(Check(BIO_new(BIO_s_mem()), "BIO_new"));
    Check(PEM_write_bio_X509(certificateText.get(), cert), "PEM_write_bio_X509");
    Check(PEM_write_bio_PrivateKey(keyText.get(), key, nullptr, nullptr, 0, nullptr, nullptr),
          "PEM_write_bio_PrivateKey");
    return {MemoryText(certificateText.get()), MemoryText(keyText.get())};
}

BioPtr ReadOnlyBio(const std::string& text) {
    return BioPtr(Check(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())), "BIO_new"));
}

CertificatePtr ParseCertificate(const std::string& pem) {
    BioPtr bio = ReadOnlyBio(pem);
    return CertificatePtr(
        Check(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), "PEM_read_bio_X509"));
}

KeyPtr ParseKey(const std::string& pem) {
    BioPtr bio = ReadOnlyBio(pem);
    return KeyPtr(Check(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr),
                        "PEM_read_bio_PrivateKey"));
}

// --- Sockets ---

bool SslWriteAll(SSL* ssl, const char* data, size_t size) {
    while (size > 0) {
        const int part = static_cast<int>(std::min(size, SendChunk));
        const int n = SSL_write(ssl, data, part);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The request target of the first request on the connection, or false when none arrived.
bool ReadRequestPath(SSL* ssl, std::string* path) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (head.size() > MaxRequestHead) {
            return false;
        }
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        head.append(buffer, static_cast<size_t>(n));
    }
    return RequestTarget(head, path);
}

} // namespace

PemCertificate MakeTestCa() {
    KeyPtr key = NewKey();
    CertificatePtr ca = NewCertificate("Launcher Test CA", key.get());
    AddExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
    Sign(ca.get(), ca.get(), key.get());
    return ToPem(ca.get(), key.get());
}

PemCertificate MakeServerCertificate(const PemCertificate& ca, ServerCertificate kind) {
    const bool wrongName = kind == ServerCertificate::WrongName;
    KeyPtr key = NewKey();
    CertificatePtr cert = NewCertificate(wrongName ? "elsewhere.invalid" : "localhost", key.get());
    // A self-signed certificate is its own issuer; the others name the CA's key.
    CertificatePtr caCert;
    KeyPtr caKey;
    X509* issuer = cert.get();
    EVP_PKEY* issuerKey = key.get();
    if (kind != ServerCertificate::SelfSigned) {
        caCert = ParseCertificate(ca.certificate);
        caKey = ParseKey(ca.key);
        issuer = caCert.get();
        issuerKey = caKey.get();
        AddExtension(cert.get(), issuer, NID_authority_key_identifier, "keyid:always");
    }
    AddExtension(cert.get(), issuer, NID_basic_constraints, "CA:FALSE");
    AddExtension(cert.get(), issuer, NID_ext_key_usage, "serverAuth");
    // The name first as a DNS name: Schannel's own host check reads only those.
    AddExtension(cert.get(), issuer, NID_subject_alt_name,
                 wrongName ? "DNS:elsewhere.invalid" : "DNS:localhost,IP:127.0.0.1");
    Sign(cert.get(), issuer, issuerKey);
    return ToPem(cert.get(), key.get());
}

struct TlsServer::Context {
    SSL_CTX* ssl = nullptr;
    ~Context() {
        SSL_CTX_free(ssl);
    }
};

TlsServer::TlsServer(const PemCertificate& certificate, const std::string& path,
                     std::shared_ptr<const std::string> body)
    : context_(new Context), path_(path), body_(std::move(body)) {
    context_->ssl = Check(SSL_CTX_new(TLS_server_method()), "SSL_CTX_new");
    CertificatePtr cert = ParseCertificate(certificate.certificate);
    KeyPtr key = ParseKey(certificate.key);
    Check(SSL_CTX_use_certificate(context_->ssl, cert.get()), "SSL_CTX_use_certificate");
    Check(SSL_CTX_use_PrivateKey(context_->ssl, key.get()), "SSL_CTX_use_PrivateKey");

    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listenFd_, 16) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        pipe2(wake_, O_CLOEXEC) != 0) {
        const std::string reason = std::strerror(errno);
        Stop();
        throw std::runtime_error("tls test server: cannot listen on 127.0.0.1: " + reason);
    }
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

TlsServer::~TlsServer() {
    Stop();
}

std::string TlsServer::Url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> TlsServer::RequestedPaths() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requested_;
}

void TlsServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) {
            return;
        }
        stopped_ = true;
        stopping_ = true;
        for (const int fd : connections_) {
            shutdown(fd, SHUT_RDWR);
        }
    }
    if (wake_[1] >= 0) {
        const char byte = 0;
        [[maybe_unused]] const auto written = write(wake_[1], &byte, 1);
    }
    if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    // The accept loop has ended, so no thread is added any more.
    for (std::thread& thread : connectionThreads_) {
        thread.join();
    }
    for (const int fd : {listenFd_, wake_[0], wake_[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void TlsServer::AcceptLoop() {
    // A client that leaves mid-response must fail SSL_write, not end the program; the connection
    // threads inherit this mask, and SIGPIPE is sent to the thread that wrote.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    pollfd waits[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    for (;;) {
        if (poll(waits, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (waits[1].revents != 0) {
            return;
        }
        if ((waits[0].revents & POLLIN) == 0) {
            continue;
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
        connectionThreads_.emplace_back([this, fd] { ServeConnection(fd); });
    }
}

void TlsServer::ServeConnection(int fd) {
    SSL* ssl = SSL_new(context_->ssl);
    std::string path;
    // A refused certificate ends here: the client aborts the handshake.
    if (ssl != nullptr && SSL_set_fd(ssl, fd) == 1 && SSL_accept(ssl) == 1 &&
        ReadRequestPath(ssl, &path)) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requested_.push_back(path);
        }
        static const std::string NotFound = "not found\n";
        const bool found = path == path_;
        const std::string& body = found ? *body_ : NotFound;
        const std::string head = std::string(found ? "HTTP/1.1 200 OK" : "HTTP/1.1 404 Not Found") +
                                 "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
        if (SslWriteAll(ssl, head.data(), head.size()) &&
            SslWriteAll(ssl, body.data(), body.size())) {
            SSL_shutdown(ssl);
            // Closing with unread bytes would reset the connection and could destroy the end of
            // the response: wait (bounded) for the client to close first.
            shutdown(fd, SHUT_WR);
            char drain[4096];
            pollfd wait = {fd, POLLIN, 0};
            while (poll(&wait, 1, LingerMilliseconds) > 0 && recv(fd, drain, sizeof drain, 0) > 0) {
            }
        }
    }
    SSL_free(ssl);
    CloseConnection(fd);
}

void TlsServer::CloseConnection(int fd) {
    // Under the lock, so Stop never shuts down a descriptor number that was already reused.
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.erase(fd);
    close(fd);
}
