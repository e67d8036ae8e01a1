#include "diag/TestHooks.h"

#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <thread>

namespace vesk {

void testHook(const char *name, const QString &detail)
{
    static const QString folder = qEnvironmentVariable("VESK_TEST_HOOKS");
    if (folder.isEmpty())
        return;
    const QString armed = folder + QLatin1Char('/') + QLatin1String(name);
    QFile arming(armed);
    if (!arming.open(QIODevice::ReadOnly))
        return;
    const QByteArray only = arming.readAll().trimmed();
    if (!only.isEmpty() && only != detail.toUtf8())
        return;
    QFile reached(armed + QStringLiteral(".reached"));
    if (reached.open(QIODevice::Append))
        reached.write(detail.toUtf8() + '\n');
    reached.close();
    // A test hook only: a short poll keeps it free of any machinery of its own.
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (QFileInfo::exists(armed) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

} // namespace vesk
