#pragma once
// The service's log on standard error: one line per request, "2026-12-06 13:45:00.123
// vesk-photo-service[pid] message". Any thread; lines never interleave.

#include <QString>

namespace vesk::service {

void logLine(const QString &message);

} // namespace vesk::service
