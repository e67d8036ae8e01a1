#include "ServiceLog.h"

#include <QDateTime>

#include <cstdio>
#include <mutex>

#include <unistd.h>

namespace vesk::service {

void logLine(const QString &message)
{
    static std::mutex lock;
    // The clock is read under the lock too: local time goes through glibc's time zone state.
    std::lock_guard<std::mutex> guard(lock);
    const QByteArray line = (QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))
        + QStringLiteral(" vesk-photo-service[") + QString::number(::getpid()) + QStringLiteral("] ") + message
        + QLatin1Char('\n'))
                                .toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace vesk::service
