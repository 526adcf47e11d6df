// Where the console keeps its files, from the executable's folder and the
// environment.
#include "AppPaths.h"

#include <gtest/gtest.h>

TEST(AppPathsTest, PortableBesideTheExecutableOtherwiseXdg) {
    const struct {
        const char* what;
        AppPathInputs in;
        const char* config;
        const char* state;
    } cases[] = {
        {"writable folder: portable, whatever XDG says",
         {"/opt/meter", true, false, "/home/ann", "/x/config", "/x/state"},
         "/opt/meter/Config.ini",
         "/opt/meter"},
        {"installed: XDG folders",
         {"/usr/bin", false, false, "/home/ann", "/x/config", "/x/state/"},
         "/x/config/meter-console/Config.ini",
         "/x/state/meter-console"},
        {"installed, XDG unset: the defaults under home",
         {"/usr/bin", false, false, "/home/ann", "", ""},
         "/home/ann/.config/meter-console/Config.ini",
         "/home/ann/.local/state/meter-console"},
        {"relative XDG values are ignored",
         {"/usr/bin", false, false, "/home/ann", "cfg", "state"},
         "/home/ann/.config/meter-console/Config.ini",
         "/home/ann/.local/state/meter-console"},
        {"a Config.ini beside a read-only executable is still the one read",
         {"/usr/bin", false, true, "/home/ann", "/x/config", "/x/state"},
         "/usr/bin/Config.ini",
         "/x/state/meter-console"},
    };
    for (const auto& c : cases) {
        const AppPathChoice choice = ChooseAppPaths(c.in);
        EXPECT_EQ(choice.configFile.toStdString(), c.config) << c.what;
        EXPECT_EQ(choice.stateDirectory.toStdString(), c.state) << c.what;
    }
}
