#include "SocketStream.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/socket.h>

namespace vesk::service {

namespace {

// The oldest error OpenSSL queued on this thread, else the fallback; empties the queue.
std::string opensslReason(const char *fallback)
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return errno != 0 ? std::string(fallback) + ": " + std::strerror(errno) : std::string(fallback);
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

} // namespace

TlsContext::~TlsContext()
{
    SSL_CTX_free(fContext);
}

std::unique_ptr<TlsContext> TlsContext::load(
    const std::string &certificateFile, const std::string &keyFile, std::string &error)
{
    ERR_clear_error();
    std::unique_ptr<TlsContext> context(new TlsContext);
    context->fContext = SSL_CTX_new(TLS_server_method());
    if (!context->fContext) {
        error = "cannot set up TLS: " + opensslReason("SSL_CTX_new");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context->fContext, TLS1_2_VERSION);
    errno = 0;
    if (SSL_CTX_use_certificate_chain_file(context->fContext, certificateFile.c_str()) != 1) {
        error = "cannot use the certificate " + certificateFile + ": " + opensslReason("unreadable");
        return nullptr;
    }
    errno = 0;
    if (SSL_CTX_use_PrivateKey_file(context->fContext, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        error = "cannot use the key " + keyFile + ": " + opensslReason("unreadable");
        return nullptr;
    }
    if (SSL_CTX_check_private_key(context->fContext) != 1) {
        error = "the key " + keyFile + " does not belong to the certificate " + certificateFile + ": "
            + opensslReason("mismatch");
        return nullptr;
    }
    return context;
}

SocketStream::~SocketStream()
{
    SSL_free(fSsl);
}

bool SocketStream::acceptTls(const TlsContext &context, std::string &error)
{
    ERR_clear_error();
    fSsl = SSL_new(context.fContext);
    if (!fSsl || SSL_set_fd(fSsl, fFd) != 1) {
        error = opensslReason("SSL_new");
        return false;
    }
    errno = 0;
    const int result = SSL_accept(fSsl);
    if (result == 1)
        return true;
    const int code = SSL_get_error(fSsl, result);
    error = code == SSL_ERROR_SYSCALL && ERR_peek_error() == 0
        ? std::string(errno != 0 ? std::strerror(errno) : "the client closed the connection")
        : opensslReason("handshake failed");
    SSL_set_quiet_shutdown(fSsl, 1); // nothing more may be written after a failed handshake
    return false;
}

ssize_t SocketStream::read(char *buffer, size_t size)
{
    if (!fSsl) {
        for (;;) {
            const ssize_t n = ::recv(fFd, buffer, size, 0);
            if (n < 0 && errno == EINTR)
                continue;
            return n;
        }
    }
    ERR_clear_error();
    errno = 0;
    const int n = SSL_read(fSsl, buffer, int(std::min<size_t>(size, 1 << 30)));
    if (n > 0)
        return n;
    const int code = SSL_get_error(fSsl, n);
    ERR_clear_error();
    if (code == SSL_ERROR_ZERO_RETURN)
        return 0;
    SSL_set_quiet_shutdown(fSsl, 1);
    // A client that closes without a TLS goodbye has still ended its side.
    return code == SSL_ERROR_SYSCALL && errno == 0 ? 0 : -1;
}

ssize_t SocketStream::write(const char *data, size_t size)
{
    if (!fSsl) {
        for (;;) {
            const ssize_t n = ::send(fFd, data, size, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            return n;
        }
    }
    ERR_clear_error();
    const int n = SSL_write(fSsl, data, int(std::min<size_t>(size, 1 << 30)));
    if (n > 0)
        return n;
    ERR_clear_error();
    SSL_set_quiet_shutdown(fSsl, 1);
    return -1;
}

size_t SocketStream::pending() const
{
    return fSsl ? size_t(SSL_pending(fSsl)) : 0;
}

void SocketStream::close()
{
    if (fSsl && SSL_get_quiet_shutdown(fSsl) == 0 && SSL_is_init_finished(fSsl)) {
        ERR_clear_error();
        SSL_shutdown(fSsl); // sends close_notify; the client's answer is not awaited
        ERR_clear_error();
    }
}

} // namespace vesk::service
