#include "Sha256.h"

#include <QByteArray>

#include <openssl/evp.h>

namespace vesk::service {

Sha256::Sha256()
    : fContext(EVP_MD_CTX_new())
{
    if (fContext && EVP_DigestInit_ex(fContext, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(fContext);
        fContext = nullptr;
    }
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(fContext);
}

void Sha256::add(const char *data, size_t size)
{
    if (fContext && fDigest.isEmpty())
        EVP_DigestUpdate(fContext, data, size);
}

QString Sha256::hexDigest()
{
    if (fDigest.isEmpty() && fContext) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(fContext, digest, &length) == 1)
            fDigest = QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
    }
    return fDigest;
}

} // namespace vesk::service
