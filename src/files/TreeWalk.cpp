#include "files/TreeWalk.h"

#include "files/FileOps.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace vesk {

namespace {
// Deeper trees are not entered further: every level holds a descriptor.
constexpr size_t kMaxDepth = 256;

struct Level {
    QString relative;
    fileops::Descriptor folder; // O_PATH, for the visitor's *at() calls
    std::vector<QByteArray> names;
    size_t next = 0;
};

// Lists the folder opened as listing (a real descriptor, consumed) into a new level on the stack.
bool listInto(fileops::Descriptor listing, fileops::Descriptor folder, const QString &relative,
    std::vector<Level> &stack, const std::function<void(const QString &, int)> &unreadable)
{
    DIR *dir = ::fdopendir(listing.get());
    if (!dir) {
        if (unreadable)
            unreadable(relative, errno);
        return false;
    }
    (void)listing.release();
    std::vector<QByteArray> names;
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        names.emplace_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    stack.push_back(Level { relative, std::move(folder), std::move(names), 0 });
    return true;
}

// Opens a folder for listing and for *at() calls, without following a link; invalid (errno set)
// when it is no folder, a link, gone or unreadable.
std::pair<fileops::Descriptor, fileops::Descriptor> openFolder(int parent, const QByteArray &name)
{
    fileops::Descriptor listing(
        ::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!listing)
        return {};
    fileops::Descriptor folder(::openat(listing.get(), ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder)
        return {};
    return { std::move(listing), std::move(folder) };
}
} // namespace

void walkTreeAt(const QString &root, const std::function<bool(const TreeEntry &)> &visit,
    const std::function<void(const QString &, int)> &unreadable)
{
    std::vector<Level> stack;
    {
        // The root's own path may hold links: only what lies below it is never followed.
        fileops::Descriptor listing(::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        fileops::Descriptor folder(listing ? ::openat(listing.get(), ".", O_PATH | O_DIRECTORY | O_CLOEXEC) : -1);
        if (!listing || !folder) {
            if (errno != ENOENT && errno != ENOTDIR && unreadable)
                unreadable(QString(), errno);
            return;
        }
        listInto(std::move(listing), std::move(folder), QString(), stack, unreadable);
    }
    while (!stack.empty()) {
        Level &level = stack.back();
        if (level.next >= level.names.size()) {
            stack.pop_back();
            continue;
        }
        const QByteArray name = level.names.at(level.next++);
        const QString decoded = QFile::decodeName(name);
        const QString relative = level.relative.isEmpty() ? decoded : level.relative + QLatin1Char('/') + decoded;
        const int parent = level.folder.get();
        if (!visit(TreeEntry { relative, parent, name }))
            return;
        if (stack.size() >= kMaxDepth)
            continue;
        auto [listing, folder] = openFolder(parent, name);
        if (!listing || !folder) {
            // Files, links and folders removed by the visitor are simply not entered.
            if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP && unreadable)
                unreadable(relative, errno);
            continue;
        }
        listInto(std::move(listing), std::move(folder), relative, stack, unreadable);
    }
}

void walkTree(const QString &root, const std::function<bool(const QString &)> &visit,
    const std::function<void(const QString &, int)> &unreadable)
{
    walkTreeAt(
        root, [&visit](const TreeEntry &entry) { return visit(entry.relative); }, unreadable);
}

} // namespace vesk
