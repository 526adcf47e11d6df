// Where the console keeps its files: Config.ini, the session log (logs/) and
// the results record (results/).
#pragma once

#include <QString>

// The Config.ini the window reads at start and writes at close.
QString ConfigFilePath();

// The folder that holds logs/ and results/.
QString StateDirectory();

// What the choice is made from, so it can be tested without moving the
// executable.
struct AppPathInputs {
    QString executableDir;
    bool executableDirWritable = false;
    bool configBesideExecutable = false;  // a Config.ini exists there
    QString home;                         // $HOME
    QString xdgConfigHome;                // $XDG_CONFIG_HOME, may be empty
    QString xdgStateHome;                 // $XDG_STATE_HOME, may be empty
};

struct AppPathChoice {
    QString configFile;
    QString stateDirectory;
};

// Beside the executable when that folder can be written (the portable
// layout); otherwise the XDG folders, <config>/meter-console/Config.ini and
// <state>/meter-console/. A Config.ini beside the executable is read (and
// saved) wherever the rest goes.
AppPathChoice ChooseAppPaths(const AppPathInputs& inputs);

// The inputs of this process: its executable and its environment.
AppPathInputs CurrentAppPathInputs();
