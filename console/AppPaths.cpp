#include "AppPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace {
const QString kFolder = QStringLiteral("meter-console");

// The XDG rule: a relative value is invalid and is ignored.
QString XdgHome(const QString& value, const QString& home, const char* fallback) {
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return QDir::cleanPath(home + u'/' + QLatin1String(fallback));
}
}  // namespace

AppPathChoice ChooseAppPaths(const AppPathInputs& in) {
    const QString beside = in.executableDir + QStringLiteral("/Config.ini");
    if (in.executableDirWritable)
        return {beside, in.executableDir};
    const QString state = XdgHome(in.xdgStateHome, in.home, ".local/state") + u'/' + kFolder;
    const QString config = in.configBesideExecutable
                               ? beside
                               : XdgHome(in.xdgConfigHome, in.home, ".config") + u'/' + kFolder +
                                     QStringLiteral("/Config.ini");
    return {config, state};
}

AppPathInputs CurrentAppPathInputs() {
    AppPathInputs in;
    in.executableDir = QCoreApplication::applicationDirPath();
    // access() asks with the real user's rights, which is what matters here.
    in.executableDirWritable = ::access(QFile::encodeName(in.executableDir).constData(), W_OK) == 0;
    in.configBesideExecutable = QFileInfo::exists(in.executableDir + QStringLiteral("/Config.ini"));
    in.home = QDir::homePath();
    in.xdgConfigHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    in.xdgStateHome = qEnvironmentVariable("XDG_STATE_HOME");
    return in;
}

QString ConfigFilePath() {
    return ChooseAppPaths(CurrentAppPathInputs()).configFile;
}

QString StateDirectory() {
    return ChooseAppPaths(CurrentAppPathInputs()).stateDirectory;
}
