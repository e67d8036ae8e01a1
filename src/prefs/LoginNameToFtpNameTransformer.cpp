#include "prefs/LoginNameToFtpNameTransformer.h"

#include "diag/Console.h"

namespace vesk {

QString LoginNameToFtpNameTransformer::transformedValue(const std::optional<QString> &loginName)
{
    if (!loginName) {
        consoleLog(QStringLiteral("transformedValue - source id is nil\n"));
        return QStringLiteral("<Site Unknown - Please Fill In Your Login Name Below...>");
    }
    if (loginName->isEmpty()) {
        consoleLog(QStringLiteral("transformedValue-> source length is ZERO = [%1]\n").arg(loginName->size()));
        return QStringLiteral("Please Enter Your Login Name...");
    }
    return QStringLiteral("http://") + *loginName + QLatin1Char('.') + QLatin1String(kServiceDomain);
}

} // namespace vesk
