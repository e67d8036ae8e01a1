#include "ServiceLog.h"

#include <QDateTime>

#include <cstdio>
#include <mutex>

#include <unistd.h>

namespace vesk::service {

void logLine(const QString &message)
{
    static std::mutex lock;
    const QByteArray line = (QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))
        + QStringLiteral(" vesk-photo-service[") + QString::number(::getpid()) + QStringLiteral("] ") + message
        + QLatin1Char('\n'))
                                .toUtf8();
    std::lock_guard<std::mutex> guard(lock);
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace vesk::service
