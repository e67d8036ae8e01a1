#pragma once
// SHA-256 of a stream of bytes, computed by OpenSSL: QCryptographicHash is several times slower, and the
// service must keep pace with multi-gigabyte pictures arriving over loopback.

#include <QString>

#include <cstddef>

struct evp_md_ctx_st;

namespace vesk::service {

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void add(const char *data, size_t size);
    // Lower-case hexadecimal digest of everything added; the first call ends the stream.
    QString hexDigest();

private:
    evp_md_ctx_st *fContext = nullptr;
    QString fDigest;
};

} // namespace vesk::service
