// The session log and the results record beside the window: every entry the
// pane shows goes to the day's file as it is written, whatever the pane does
// afterwards, and a folder that cannot be written only costs one notice.
#include "ConsoleTestSupport.h"

#include "MeterCommands.h"

#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QTest>

#include <sys/wait.h>
#include <unistd.h>

namespace {
std::string FileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<no file>";
    return file.readAll().toStdString();
}

// An entry as the session log holds it.
std::string EntryBytes(const QString& title, const QDateTime& at, const std::string& message) {
    std::string shown = message;
    for (size_t i = 0; (i = shown.find('\r', i)) != std::string::npos;)
        shown[i] = '\n';
    return (title + u'[' + FormatLocalDateTime(at) + u']').toStdString() + "\n" + shown + "\n\n";
}

class SessionLogTest : public WindowTest {
  protected:
    QString LogFile(const char* day) const {
        return folder.filePath(QStringLiteral("logs/%1.log").arg(QLatin1String(day)));
    }
};
}  // namespace

// More entries than the pane keeps, some of several lines, the operator
// editing the pane meanwhile, and midnight on the way.
TEST_F(SessionLogTest, KeepsEveryEntryTheirDayAndByteForByte) {
    Open();
    QDateTime now = kNow;
    form().clock = [&now] { return now; };
    std::string first, second;
    for (int i = 0; i < 75; ++i) {
        const QString title = i % 3 ? QStringLiteral("TCP/IP读表数") : QString();
        std::string message = "Tx ->" + std::to_string(i);
        if (i % 10 == 4)
            message = "表数读取成功: " + StatusReport(i, false);  // lone CRs
        if (i == 5)
            form().ui->mmo->setPlainText(QStringLiteral("typed by the operator"));
        if (i == 60)
            now = QDateTime(QDate(2024, 1, 20), QTime(0, 0, 1));
        form().AppendLog(QString::fromStdString(message), title);
        (i < 60 ? first : second) += EntryBytes(title, now, message);
    }
    // The pane emptied itself on the way: the first entries are gone from it.
    EXPECT_FALSE(form().ui->mmo->toPlainText().contains(u"Tx ->0\n"));
    EXPECT_FALSE(form().ui->mmo->toPlainText().contains(u"typed by the operator"));
    EXPECT_EQ(FileBytes(LogFile("2024-01-19")), first);
    EXPECT_EQ(FileBytes(LogFile("2024-01-20")), second);

    // The operator clears today's log away: the next entry starts a new one.
    ASSERT_TRUE(QDir(folder.filePath(QStringLiteral("logs"))).removeRecursively());
    form().AppendLog(QStringLiteral("after"), QString());
    EXPECT_EQ(FileBytes(LogFile("2024-01-20")), EntryBytes(QString(), now, "after"));
}

// Nothing is kept back in the process: an entry is in the file as soon as
// AppendLog returns.
TEST_F(SessionLogTest, ExitRightAfterAnEntryLosesNothing) {
    Open();
    form().AppendLog(QStringLiteral("before"), QStringLiteral("开阀"));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        form().AppendLog(QStringLiteral("the last words"), QStringLiteral("关阀"));
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(FileBytes(LogFile("2024-01-19")),
              EntryBytes("开阀", kNow, "before") + EntryBytes("关阀", kNow, "the last words"));
}

TEST_F(SessionLogTest, UnwritableFoldersCostOneNoticeEach) {
    // A file where each folder should be: nothing can be created there.
    for (const char* name : {"logs", "results"}) {
        QFile blocker(folder.filePath(QLatin1String(name)));
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    Open();
    QLabel* panel = form().ui->sStatusBar1Panel1;
    form().AppendLog(QStringLiteral("one"), QStringLiteral("开阀"));
    EXPECT_EQ(panel->text(), QStringLiteral("会话日志无法写入：") +
                                 QDir::toNativeSeparators(LogFile("2024-01-19")));
    panel->clear();
    form().AppendLog(QStringLiteral("two"), QString());
    EXPECT_EQ(panel->text(), QString()) << "said once";

    MeterResult result;
    result.address = "000230319105";
    result.kind = ResultKind::NoAnswer;
    form().RecordResult(result);
    EXPECT_EQ(panel->text(), QStringLiteral("结果记录无法写入：") +
                                 QDir::toNativeSeparators(
                                     folder.filePath(QStringLiteral("results/2024-01-19.csv"))));
    panel->clear();
    form().RecordResult(result);
    EXPECT_EQ(panel->text(), QString());

    // The pane is untouched by it all.
    EXPECT_EQ(
        form().ui->mmo->toPlainText(),
        QStringLiteral("开阀[2024年01月19日 15:30:00]\none\n\n[2024年01月19日 15:30:00]\ntwo\n\n"));
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
}

// A row written in two attempts never shows half of itself: a new file gets
// its BOM and header with its first row.
TEST_F(SessionLogTest, ResultsFileStartsWithItsHeaderOnce) {
    Open();
    MeterResult result;
    result.address = "000230319105";
    result.kind = ResultKind::NoAnswer;
    form().RecordResult(result);
    form().RecordResult(result);
    const std::string row =
        "2024-01-19T15:30:00,network,read_reading,000230319105,no_answer,,,,,\r\n";
    EXPECT_EQ(FileBytes(folder.filePath(QStringLiteral("results/2024-01-19.csv"))),
              "\xEF\xBB\xBF"
              "time,tab,operation,address,outcome,reading_t,status,valve,failure_code,reply\r\n" +
                  row + row);
}

// Status panel 2 names the folder; a click on it opens that folder.
TEST_F(SessionLogTest, StatusPanelShowsAndOpensTheRecordsFolder) {
    Open();
    QStringList opened;
    form().openFolder = [&opened](const QString& path) { opened << path; };
    form().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form()));
    form().Timer1Timer();  // the fixed clock's day
    QLabel* panel = form().ui->sStatusBar1Panel2;
    EXPECT_TRUE(panel->toolTip().contains(QDir::toNativeSeparators(LogFile("2024-01-19"))));
    EXPECT_TRUE(panel->toolTip().contains(
        QDir::toNativeSeparators(folder.filePath(QStringLiteral("results/2024-01-19.csv")))));
    EXPECT_TRUE(panel->text().startsWith(QStringLiteral("记录：")));

    QTest::mouseClick(form().windowHandle(), Qt::LeftButton, Qt::NoModifier,
                      panel->mapTo(&form(), panel->rect().center()));
    EXPECT_EQ(opened, QStringList(QFileInfo(folder.path()).absoluteFilePath()));
    EXPECT_TRUE(QFileInfo(folder.path()).isDir());

    // The next day's files, once the clock has passed midnight.
    form().clock = [] { return QDateTime(QDate(2024, 1, 20), QTime(0, 0, 1)); };
    form().Timer1Timer();
    EXPECT_TRUE(panel->toolTip().contains(QStringLiteral("2024-01-20.log")));
}
