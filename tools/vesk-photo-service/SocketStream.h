#pragma once
// The byte stream of one served connection: the socket itself, or a TLS session on it. The server's
// reading and writing go through it, so that HTTP and HTTPS share every other line.

#include <memory>
#include <string>

#include <sys/types.h>

struct ssl_ctx_st;
struct ssl_st;

namespace vesk::service {

// A server certificate with its key, shared by every connection (OpenSSL's context is thread-safe).
class TlsContext {
public:
    ~TlsContext();
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;

    // Loads a PEM certificate (chain) and its private key; null with the reason in error.
    static std::unique_ptr<TlsContext> load(
        const std::string &certificateFile, const std::string &keyFile, std::string &error);

private:
    TlsContext() = default;
    friend class SocketStream;
    ssl_ctx_st *fContext = nullptr;
};

// Blocking reads and writes on one connected socket. Owns the TLS session, not the descriptor.
class SocketStream {
public:
    explicit SocketStream(int fd)
        : fFd(fd)
    { }
    ~SocketStream();
    SocketStream(const SocketStream &) = delete;
    SocketStream &operator=(const SocketStream &) = delete;

    // Makes the stream TLS and runs the server's side of the handshake (the socket's receive time-out
    // bounds it). False with OpenSSL's reason in error.
    bool acceptTls(const TlsContext &context, std::string &error);

    // Bytes read (0 at the end of the stream, -1 on an error or a time-out).
    ssize_t read(char *buffer, size_t size);
    // Bytes written, or -1.
    ssize_t write(const char *data, size_t size);
    // Bytes that TLS has already decrypted and holds: a poll of the socket does not see them.
    size_t pending() const;
    // Says goodbye on a TLS stream (close_notify) before the socket is closed; nothing for a plain one.
    void close();

    int fd() const { return fFd; }

private:
    int fFd = -1;
    ssl_st *fSsl = nullptr;
};

} // namespace vesk::service
