#include "StderrCapture.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace vesk::test {

StderrCapture::StderrCapture()
{
    char name[] = "/tmp/vesk-stderr-XXXXXX";
    fFile = ::mkstemp(name);
    ::unlink(name);
    std::fflush(stderr);
    fSaved = ::dup(STDERR_FILENO);
    ::dup2(fFile, STDERR_FILENO);
}

StderrCapture::~StderrCapture()
{
    std::fflush(stderr);
    ::dup2(fSaved, STDERR_FILENO);
    ::close(fSaved);
    ::close(fFile);
}

QString StderrCapture::text() const
{
    std::fflush(stderr);
    QByteArray bytes;
    char buffer[4096];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(fFile, buffer, sizeof buffer, offset);
        if (n <= 0)
            break;
        bytes.append(buffer, n);
        offset += n;
    }
    return QString::fromUtf8(bytes);
}

} // namespace vesk::test
