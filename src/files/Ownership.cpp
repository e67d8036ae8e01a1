#include "files/Ownership.h"

#include "files/FileOps.h"

#include <QFile>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <map>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace vesk::ownership {

namespace {

// File systems that have no owners of their own: every file shows whoever mounted them.
QString withoutOwnership(int fd)
{
    struct statfs info { };
    if (::fstatfs(fd, &info) != 0)
        return {};
    switch (static_cast<std::uint32_t>(info.f_type)) {
    case 0x4d44:
        return QStringLiteral("vfat");
    case 0x2011BAB0:
        return QStringLiteral("exfat");
    case 0x65735546:
        return QStringLiteral("fuseblk");
    case 0xFF534D42:
    case 0xFE534D42:
    case 0x517B:
        return QStringLiteral("cifs");
    default:
        return {};
    }
}

// A group that is the user's alone: named like the user and with no other members, or the user's
// primary group named like the user. Asked once per group.
bool isPrivateGroup(gid_t gid)
{
    static std::mutex lock;
    static std::map<gid_t, bool> known;
    std::lock_guard<std::mutex> guard(lock);
    if (const auto it = known.find(gid); it != known.end())
        return it->second;
    bool answer = false;
    std::vector<char> userBuffer(16384), groupBuffer(65536);
    struct passwd user { };
    struct passwd *foundUser = nullptr;
    struct group group { };
    struct group *foundGroup = nullptr;
    if (::getpwuid_r(::geteuid(), &user, userBuffer.data(), userBuffer.size(), &foundUser) == 0 && foundUser
        && ::getgrgid_r(gid, &group, groupBuffer.data(), groupBuffer.size(), &foundGroup) == 0 && foundGroup
        && std::strcmp(group.gr_name, user.pw_name) == 0) {
        answer = true;
        if (gid != user.pw_gid) {
            for (char **member = group.gr_mem; member && *member; ++member)
                answer = answer && std::strcmp(*member, user.pw_name) == 0;
        }
    }
    known.emplace(gid, answer);
    return answer;
}

QString groupWritable(gid_t gid)
{
    return QStringLiteral("its group (gid %1), which is not the user's own, may write to it").arg(gid);
}

// The access list's word on writers other than the owner; empty when it has none to say. The list
// is the kernel's format: a 4-byte version (2), then entries of a 2-byte tag, 2-byte permissions
// and a 4-byte id, little-endian.
QString accessListRefusal(int fd, const struct stat &info, bool *judged)
{
    static const char *const kName = "system.posix_acl_access";
    std::vector<unsigned char> list(4 + 8 * 64);
    ssize_t size = ::fgetxattr(fd, kName, list.data(), list.size());
    if (size < 0 && errno == EBADF) // an O_PATH descriptor: the same folder through its magic link
        size = ::getxattr(
            QStringLiteral("/proc/self/fd/%1").arg(fd).toLatin1().constData(), kName, list.data(), list.size());
    if (size < 0 && errno == ERANGE)
        return QStringLiteral("its access list is too long to be judged");
    if (size < 0)
        return {}; // no list (ENODATA), or a file system without lists
    auto word = [&list](size_t at, int bytes) {
        std::uint32_t value = 0;
        for (int i = bytes - 1; i >= 0; --i)
            value = (value << 8) | list[at + static_cast<size_t>(i)];
        return value;
    };
    if (size < 4 || (size - 4) % 8 != 0 || word(0, 4) != 2)
        return QStringLiteral("its access list cannot be read");
    // With a list, the mode's group bits are its mask; the owning group's own entry says more.
    *judged = true;
    enum : std::uint32_t { User = 0x02, GroupObj = 0x04, Group = 0x08, Mask = 0x10, Other = 0x20, Write = 0x02 };
    std::uint32_t mask = Write;
    for (size_t at = 4; at < static_cast<size_t>(size); at += 8) {
        if (word(at, 2) == Mask)
            mask = word(at + 2, 2);
    }
    for (size_t at = 4; at < static_cast<size_t>(size); at += 8) {
        const std::uint32_t tag = word(at, 2);
        const std::uint32_t permissions = word(at + 2, 2);
        const std::uint32_t id = word(at + 4, 4);
        if (!(permissions & Write))
            continue;
        if (tag == Other)
            return QStringLiteral("its access list lets everyone write to it");
        if (!(mask & Write))
            continue;
        if (tag == User && id != ::geteuid())
            return QStringLiteral("its access list lets another user (uid %1) write to it").arg(id);
        if (tag == GroupObj && !isPrivateGroup(info.st_gid))
            return groupWritable(info.st_gid);
        if (tag == Group && !isPrivateGroup(static_cast<gid_t>(id)))
            return QStringLiteral("its access list lets a group (gid %1) write to it").arg(id);
    }
    return {};
}

} // namespace

Verdict judgeFolder(int fd, const QString &path)
{
    Verdict verdict;
    verdict.folder = path;
    struct stat info { };
    if (::fstat(fd, &info) != 0) {
        verdict.why = QStringLiteral("it cannot be examined (%1)").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return verdict;
    }
    verdict.unowned = withoutOwnership(fd);
    if (!verdict.unowned.isEmpty())
        return verdict;
    if (info.st_uid != ::geteuid()) {
        verdict.why = QStringLiteral("it belongs to another user (uid %1)").arg(info.st_uid);
    } else if (info.st_mode & S_IWOTH) {
        verdict.why
            = QStringLiteral("everyone may write to it (mode %1)").arg(info.st_mode & 07777, 4, 8, QLatin1Char('0'));
    } else {
        bool judged = false;
        verdict.why = accessListRefusal(fd, info, &judged);
        if (verdict.why.isEmpty() && !judged && (info.st_mode & S_IWGRP) && !isPrivateGroup(info.st_gid))
            verdict.why = groupWritable(info.st_gid);
    }
    return verdict;
}

Verdict judgeBeneath(const QString &root, const QString &relative)
{
    fileops::Descriptor folder(::open(QFile::encodeName(root).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder)
        return Verdict { root, {}, {} };
    QString path = root;
    Verdict verdict = judgeFolder(folder.get(), path);
    for (const QString &part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (!verdict.why.isEmpty() || !verdict.unowned.isEmpty())
            break;
        fileops::Descriptor next(
            ::openat(folder.get(), QFile::encodeName(part).constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next)
            break;
        folder = std::move(next);
        path += QLatin1Char('/') + part;
        verdict = judgeFolder(folder.get(), path);
    }
    return verdict;
}

} // namespace vesk::ownership
