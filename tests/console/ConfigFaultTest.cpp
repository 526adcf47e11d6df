// Config.ini when the file is damaged or huge, cannot be read or written, or
// the program dies in the middle of a save: the window falls back to its
// defaults where reading fails, never loses what the file held, and never
// crashes.
#include "ConsoleTestSupport.h"

#include "TApplication.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {
std::string Garbage(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random() & 0xFF);
        if (c == '[')  // no sections of its own, so the garbage cannot shadow ours
            c = '{';
    }
    return bytes;
}

// Every line of before is in after, whole and in order (the last one may
// have gained a line end).
::testing::AssertionResult LinesKept(std::string_view before, std::string_view after) {
    size_t from = 0;
    while (!before.empty()) {
        const size_t nl = before.find('\n');
        const std::string_view line = before.substr(0, nl == std::string_view::npos ? nl : nl + 1);
        for (;;) {
            if (from >= after.size())
                return ::testing::AssertionFailure()
                       << "line lost: " << std::string(line.substr(0, 60));
            const size_t end = after.find('\n', from);
            const std::string_view candidate =
                after.substr(from, end == std::string_view::npos ? end : end + 1 - from);
            from += candidate.size();
            if (candidate.substr(0, line.size()) == line)
                break;
        }
        before.remove_prefix(line.size());
    }
    return ::testing::AssertionSuccess();
}

int EntriesIn(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size();
}

// Root reads and writes whatever the permission bits say, so checks that
// need them run in a child with the rights of nobody.
bool DropPrivileges() {
    if (::geteuid() != 0)
        return true;
    const passwd* nobody = ::getpwnam("nobody");
    return nobody && ::setgroups(0, nullptr) == 0 && ::setgid(nobody->pw_gid) == 0 &&
           ::setuid(nobody->pw_uid) == 0;
}

bool NobodyExists() {
    return ::geteuid() != 0 || ::getpwnam("nobody") != nullptr;
}

// For checks inside a forked child: a message on stderr and a non-zero exit.
void ChildExpect(bool holds, const char* what, int& failures) {
    if (!holds) {
        std::fprintf(stderr, "child: %s\n", what);
        ++failures;
    }
}

class ConfigFaultTest : public WindowTest {
  protected:
    QString ErrorFor(const QString& path) const {
        return QGuiApplication::applicationDisplayName() + "|Unable to write to " + path + ".";
    }
};
}  // namespace

TEST_F(ConfigFaultTest, GarbageAroundTheKeysIsIgnoredAndKept) {
    const std::string host = "gw\xff\xfe\x80-\xc3(";  // not UTF-8
    const std::string file = Garbage(64 * 1024, 1) +
                             "\n[COM]\nPort=3\nTimeOut=1234\n[TCP]\nHost=" + host + "\n" +
                             Garbage(64 * 1024, 2);
    const std::string onlyGarbage = Garbage(256 * 1024, 3);
    for (const std::string* bytes : {&file, &onlyGarbage}) {
        WriteConfig(*bytes);
        Open();
        const bool keys = bytes == &file;
        EXPECT_EQ(form().ui->edtComName->currentText(), keys ? "COM4" : "COM1");
        EXPECT_EQ(form().ui->edtDelay->text(), keys ? "1234" : "3000");
        EXPECT_EQ(form().ui->edtRemoteHost->text(),
                  keys ? QString::fromStdString(host) : "192.168.1.100");
        form().close();
        EXPECT_TRUE(errors.isEmpty());
        const std::string saved = ReadConfig().value_or("");
        EXPECT_TRUE(LinesKept(*bytes, saved));

        // And it reads back the same.
        Open();
        EXPECT_EQ(form().ui->edtDelay->text(), keys ? "1234" : "3000");
        EXPECT_EQ(form().ui->edtRemoteHost->text(),
                  keys ? QString::fromStdString(host) : "192.168.1.100");
    }
}

TEST_F(ConfigFaultTest, TenMegabytesLoadAndSaveWhole) {
    std::string file;
    const std::string comment = "; " + std::string(97, 'x') + "\n";
    while (file.size() < 10 * 1024 * 1024)
        file += comment;
    file += "[TCP]\nHost=far.away\n";
    const std::string oneLine = std::string(10 * 1024 * 1024, 'y') + "\n[TCP]\nHost=one.line\n";
    const struct {
        const std::string* bytes;
        const char* host;
    } files[] = {{&file, "far.away"}, {&oneLine, "one.line"}};
    for (const auto& [bytes, host] : files) {
        WriteConfig(*bytes);
        Open();
        EXPECT_EQ(form().ui->edtRemoteHost->text(), host);
        form().ui->edtRemotePort->setText("2000");
        form().close();
        EXPECT_TRUE(errors.isEmpty());
        const std::string saved = ReadConfig().value_or("");
        ASSERT_GT(saved.size(), bytes->size());
        EXPECT_TRUE(saved.compare(0, bytes->size(), *bytes) == 0);
        EXPECT_EQ(saved.substr(bytes->size(), 10), "Port=2000\n");
    }
}

// An unreadable file reads as the defaults, and the save that follows must
// not replace what could not be read.
TEST_F(ConfigFaultTest, UnreadableFileGivesDefaultsAndIsNotOverwritten) {
    if (!NobodyExists())
        GTEST_SKIP() << "no user 'nobody' to drop to";
    const std::string before = "[COM]\nPort=4\n[TCP]\nHost=gw\n";
    WriteConfig(before);
    ASSERT_EQ(::chmod(ConfigPath().toLocal8Bit().constData(), 0), 0);
    ASSERT_EQ(::chmod(folder.path().toLocal8Bit().constData(), 0777), 0);

    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            int failures = 0;
            ChildExpect(DropPrivileges(), "cannot become nobody", failures);
            Open();
            ChildExpect(form().ui->edtComName->currentText() == "COM1", "port not default",
                        failures);
            ChildExpect(form().ui->edtRemoteHost->text() == "192.168.1.100", "host not default",
                        failures);
            form().close();
            ChildExpect(errors == QStringList(ErrorFor(ConfigPath())), "no error box", failures);
            ChildExpect(!form().isVisible(), "window still open", failures);
            std::fflush(stderr);
            ::_exit(failures);
        },
        ::testing::ExitedWithCode(0), "");

    ::chmod(folder.path().toLocal8Bit().constData(), 0700);
    EXPECT_EQ(ReadConfig(), before);
    EXPECT_EQ(EntriesIn(folder.path()), 1);
}

// A folder that became read-only while the window was open.
TEST_F(ConfigFaultTest, ReadOnlyFolderAtCloseIsReportedAndTheFileKept) {
    if (!NobodyExists())
        GTEST_SKIP() << "no user 'nobody' to drop to";
    const std::string before = "[COM]\nPort=4\nTimeOut=2500\n[TCP]\nHost=gw\n";
    WriteConfig(before);
    ASSERT_EQ(::chmod(ConfigPath().toLocal8Bit().constData(), 0644), 0);
    ASSERT_EQ(::chmod(folder.path().toLocal8Bit().constData(), 0555), 0);

    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            int failures = 0;
            ChildExpect(DropPrivileges(), "cannot become nobody", failures);
            Open();
            ChildExpect(form().ui->edtComName->currentText() == "COM5", "port not loaded",
                        failures);
            ChildExpect(form().ui->edtDelay->text() == "2500", "time-out not loaded", failures);
            form().ui->edtDelay->setText("4000");
            form().close();
            ChildExpect(errors == QStringList(ErrorFor(ConfigPath())), "no error box", failures);
            ChildExpect(!form().isVisible(), "window still open", failures);
            std::fflush(stderr);
            ::_exit(failures);
        },
        ::testing::ExitedWithCode(0), "");

    ::chmod(folder.path().toLocal8Bit().constData(), 0700);
    EXPECT_EQ(ReadConfig(), before);
    EXPECT_EQ(EntriesIn(folder.path()), 1);
}

// A Config.ini the user may not write stays as it is, although the folder
// would let a new file take its place; the window still closes.
TEST_F(ConfigFaultTest, ReadOnlyFileIsNeverReplaced) {
    if (!NobodyExists())
        GTEST_SKIP() << "no user 'nobody' to drop to";
    const std::string before = "[COM]\nPort=4\nTimeOut=2500\n[TCP]\nHost=gw\n";
    const struct {
        mode_t mode;
        bool asNobody;
    } cases[] = {{0444, false}, {0444, true}, {0644, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::oct << c.mode << " nobody " << c.asNobody);
        WriteConfig(before);
        const std::string path = ConfigPath().toStdString();
        ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        ASSERT_EQ(::chmod(folder.path().toLocal8Bit().constData(), 0777), 0);
        struct stat was;
        ASSERT_EQ(::stat(path.c_str(), &was), 0);

        GTEST_FLAG_SET(death_test_style, "fast");
        EXPECT_EXIT(
            {
                int failures = 0;
                if (c.asNobody)
                    ChildExpect(DropPrivileges(), "cannot become nobody", failures);
                Open();
                ChildExpect(form().ui->edtDelay->text() == "2500", "time-out not loaded", failures);
                form().ui->edtDelay->setText("4000");
                form().close();
                ChildExpect(errors == QStringList(ErrorFor(ConfigPath())), "no error box",
                            failures);
                ChildExpect(!form().isVisible(), "window still open", failures);
                std::fflush(stderr);
                ::_exit(failures);
            },
            ::testing::ExitedWithCode(0), "");

        ::chmod(folder.path().toLocal8Bit().constData(), 0700);
        struct stat now;
        ASSERT_EQ(::stat(path.c_str(), &now), 0);
        EXPECT_EQ(now.st_ino, was.st_ino);  // not replaced by another file
        EXPECT_EQ(now.st_mode & 07777, c.mode);
        ::chmod(path.c_str(), 0644);
        EXPECT_EQ(ReadConfig(), before);
        EXPECT_EQ(EntriesIn(folder.path()), 1);
    }
}

// The process is killed at random moments while it saves over and over:
// the file is always one whole version, old or new.
TEST_F(ConfigFaultTest, KillsDuringSavesLeaveAWholeFile) {
    WriteConfig("; site notes\n[Ports]\nCOM3=/dev/ttyUSB0\n[TCP]\nHost=gw\n");
    Open();
    form().ui->edtDelay->setText("1111");
    form().SaveSettings();
    const std::string first = ReadConfig().value_or("");
    form().ui->edtDelay->setText("2222");
    form().SaveSettings();
    const std::string second = ReadConfig().value_or("");
    ASSERT_NE(first, second);

    std::mt19937 random(8);
    for (int round = 0; round < 12; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            try {
                for (int i = 0;; ++i) {
                    form().ui->edtDelay->setText(i % 2 ? "2222" : "1111");
                    form().SaveSettings();
                }
            } catch (...) {
            }
            ::_exit(3);  // only a failed save gets here
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500 + random() % 20000));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "round " << round;
        const std::string now = ReadConfig().value_or("<none>");
        EXPECT_TRUE(now == first || now == second) << "round " << round << ":\n" << now;
    }

    // Whatever was left behind, the next run reads the file and saves it.
    Open();
    const QString shown = form().ui->edtDelay->text();
    EXPECT_TRUE(shown == "1111" || shown == "2222") << shown.toStdString();
    form().ui->edtDelay->setText("3333");
    form().close();
    EXPECT_TRUE(errors.isEmpty());
    EXPECT_NE(ReadConfig()->find("TimeOut=3333\n"), std::string::npos);
    EXPECT_EQ(ReadConfig()->rfind("; site notes\n[Ports]\nCOM3=/dev/ttyUSB0\n", 0), 0u);
}
