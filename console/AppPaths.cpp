#include "AppPaths.h"

#include <QCoreApplication>

// The portable layout: everything beside the executable.
QString ConfigFilePath() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/Config.ini");
}

QString StateDirectory() {
    return QCoreApplication::applicationDirPath();
}
