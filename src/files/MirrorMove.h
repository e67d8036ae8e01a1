#pragma once
// The path functions of the mirror move that place a file inside a folder named after the part of its
// name before the first "_" (the moves themselves are members of AppController). Any thread.

#include <QString>

#include <optional>

namespace vesk {

// The part of the path's last component before its first "_", or none when there is no "_" after the
// first character (none, silently, for an absent path).
std::optional<QString> getBaseName1(const std::optional<QString> &path);

// The folder the item is to be placed in: the folder it would land in under destRoot, joined with its
// base name when it has one. With create, that folder is made (one level; an existing one is reused).
QString createEncapsulationFolder(const QString &destRoot, const QString &item, bool create);

// The item path rewritten to lie inside its encapsulating folder ("Roll1/ABC_0001.jpg" gives
// "Roll1/ABC/ABC_0001.jpg"); unchanged without a base name. Creates nothing.
QString convertItemWithEncapsulation(const QString &item);

} // namespace vesk
