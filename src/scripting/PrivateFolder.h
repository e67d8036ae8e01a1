#pragma once
// The private folder of the command socket and the instance lock.

#include <QString>

namespace vesk {

// Makes the folder (mode 0700), or tightens an existing one to 0700. False with a reason when it
// cannot be made, is not a real folder (a symbolic link is refused), or belongs to another user.
bool makePrivateFolder(const QString &folder, QString *error = nullptr);

} // namespace vesk
