// Prints, one line each, where the application finds the auxiliary programs named on the command line
// (an empty line for one it does not find). Copied beside an installed vesk-ftpuploader, it answers
// for the installed layout: the lookup is the application's own and starts from the executable's
// folder.

#include "app/Paths.h"

#include <QFile>
#include <QString>

#include <cstdio>

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const QString found = vesk::paths::auxiliaryExecutable(QString::fromLocal8Bit(argv[i]));
        std::printf("%s\n", QFile::encodeName(found).constData());
    }
    return 0;
}
