// Interim: file dates only, until the picture readers are in.
#include "cycle/PictureInfo.h"

#include <QFileInfo>

namespace vesk {

std::optional<QDateTime> pictureDate(const QString &path)
{
    QFileInfo info(path);
    if (!info.exists())
        return std::nullopt;
    return info.lastModified();
}

PictureAnnotation pictureAnnotation(const QString &)
{
    return {};
}

} // namespace vesk
