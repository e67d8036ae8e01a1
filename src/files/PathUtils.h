#pragma once
// Path arithmetic on texts, by path components: exactly one "/" between joined parts, trailing "/"
// of the left part dropped. Nothing here touches the disk.

#include <QString>

namespace vesk::pathutil {

QString appendPathComponent(const QString &base, const QString &component);
QString lastPathComponent(const QString &path);
QString deletingLastPathComponent(const QString &path);
// The extension of the last component without the dot; empty when there is none.
QString pathExtension(const QString &path);
QString deletingPathExtension(const QString &path);

} // namespace vesk::pathutil
