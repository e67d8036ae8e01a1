#pragma once
// The scan's walk over the source folder: depth first, each folder before its contents, entries of
// a folder in name order. It reproduces the folders it meets in the mirror folder and stops at the
// first file the caller takes. It never follows a symbolic link to a folder, so link loops are
// harmless, and it renames entries whose names are not valid UTF-8 (invalid bytes become %XX) so
// that every picture can be named, sent and moved.

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace vesk {

class FolderWalk {
public:
    enum class Verdict { Take, Skip };
    // Asked for every eligible file: not hidden, not directly in the root, a regular file or a
    // link to one. Gets the path relative to the root.
    using Admit = std::function<Verdict(const QString &relativePath)>;

    FolderWalk(QString root, std::optional<QString> mirror);

    // The first file admitted, as a path relative to the root; none when the walk ends without one
    // or the root cannot be read.
    std::optional<QString> findFirst(const Admit &admit);

    bool rootReadable() const { return fRootReadable; }
    // Files lying directly in the root, met on the way (they are never uploaded).
    const QStringList &rootItems() const { return fRootItems; }
    // Lines worth an operator's attention: renamed entries, unreadable folders.
    const QStringList &problems() const { return fProblems; }

    // The name with every byte that is not part of valid UTF-8 replaced by %XX (and "%" itself
    // kept). Exposed for tests.
    static QByteArray repairedName(const QByteArray &name);

private:
    std::optional<QString> walk(int folder, int mirrorFolder, const QString &relative, int depth, const Admit &admit);

    QString fRoot;
    std::optional<QString> fMirror;
    bool fRootReadable = false;
    QStringList fRootItems;
    QStringList fProblems;
};

} // namespace vesk
