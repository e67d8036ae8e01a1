#include "files/TreeWalk.h"

#include "files/FileOps.h"
#include "files/PathUtils.h"

#include <QStringList>

#include <cerrno>
#include <vector>

namespace vesk {

namespace {
struct Level {
    QString relative;
    QStringList names;
    qsizetype next = 0;
};

bool listInto(const QString &root, const QString &relative, std::vector<Level> &stack,
    const std::function<void(const QString &, int)> &unreadable)
{
    int error = 0;
    const QString full = relative.isEmpty() ? root : pathutil::appendPathComponent(root, relative);
    std::optional<QStringList> names = fileops::contentsOfDirectory(full, &error);
    if (!names) {
        if (error != ENOENT && error != ENOTDIR && unreadable)
            unreadable(relative, error);
        return false;
    }
    names->sort();
    stack.push_back(Level { relative, std::move(*names), 0 });
    return true;
}
} // namespace

void walkTree(const QString &root, const std::function<bool(const QString &)> &visit,
    const std::function<void(const QString &, int)> &unreadable)
{
    std::vector<Level> stack;
    listInto(root, QString(), stack, unreadable);
    while (!stack.empty()) {
        Level &level = stack.back();
        if (level.next >= level.names.size()) {
            stack.pop_back();
            continue;
        }
        const QString name = level.names.at(level.next++);
        const QString relative = level.relative.isEmpty() ? name : level.relative + QLatin1Char('/') + name;
        if (!visit(relative))
            return;
        if (fileops::isRealDirectory(pathutil::appendPathComponent(root, relative)))
            listInto(root, relative, stack, unreadable);
    }
}

} // namespace vesk
