// Where the console keeps its files: Config.ini, the session log (logs/) and
// the results record (results/).
#pragma once

#include <QString>

// The Config.ini the window reads at start and writes at close.
QString ConfigFilePath();

// The folder that holds logs/ and results/.
QString StateDirectory();
