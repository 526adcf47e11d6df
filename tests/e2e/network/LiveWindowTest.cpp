// The window during network work: it keeps painting and ticking and shows
// each result as it comes, while the operator's input waits for the end.
#include "DefaultBus.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <set>

using namespace bus;

namespace {
class PaintCounter : public QObject {
  public:
    int paints = 0;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

// What a glance at the window shows at one moment.
struct Sample {
    QString clock;
    QString progress;
    int resultLines;
    bool buttonsLocked;
    bool busyCursor;
    bool linked;
    QString host;
};

int ResultLines(const QString& text) {
    return static_cast<int>(text.count(QStringLiteral(" -----> ")));
}

QStringList AddressList(std::initializer_list<std::string> addresses) {
    QStringList lines;
    for (const std::string& a : addresses)
        lines << QString::fromStdString(a);
    return lines;
}
}  // namespace

TEST_F(NetworkTab, WindowStaysAliveWhileABatchRuns) {
    StartSim({"--delay", "150"});
    TForm1& w = Open();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    Connect();
    // A clock a second further on each time it is read, ticking fast.
    int seconds = 0;
    w.clock = [&seconds] {
        return QDateTime(QDate(2024, 1, 19), QTime(15, 30, 0)).addSecs(seconds++);
    };
    w.Timer1->setInterval(50);
    SetAddresses(AddressList({kMeter1, kMeter2, kMeter3, kMeter1, kMeter2}));

    PaintCounter painted;
    w.ui->sResultList->viewport()->installEventFilter(&painted);
    std::vector<Sample> samples;
    QTimer sampler;
    sampler.setInterval(10);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        samples.push_back({w.ui->lbltime2->text(), w.ui->sStatusBar1Panel1->text(),
                           ResultLines(Results()), !CommandButtonsEnabled(),
                           QApplication::overrideCursor() != nullptr &&
                               QApplication::overrideCursor()->shape() == Qt::WaitCursor,
                           w.TcpClient1.IsOpen(), w.ui->edtRemoteHost->text()});
    });
    // Meanwhile the operator types into the host box and clicks "断开链接",
    // and something calls the hidden decoder directly.
    bool clicked = false;
    QTimer::singleShot(200, &w, [&] {
        QTest::keyClicks(w.ui->edtRemoteHost, QStringLiteral("x"));
        QTest::mouseClick(w.ui->btnOpenTCP, Qt::LeftButton);
        w.Button1Click();
        clicked = true;
    });
    sampler.start();
    const size_t mark = Mark();
    w.ui->btnGetDataTCP->click();
    sampler.stop();
    ASSERT_TRUE(clicked);
    ASSERT_GE(samples.size(), 10u);

    std::set<QString> clocks, progress;
    std::set<int> lineCounts;
    int lastCount = 0;
    for (const Sample& s : samples) {
        EXPECT_TRUE(s.buttonsLocked);
        EXPECT_TRUE(s.busyCursor);
        EXPECT_TRUE(s.linked) << "the click ran during the batch";
        EXPECT_EQ(s.host, QStringLiteral("127.0.0.1")) << "the typing went in during the batch";
        EXPECT_GE(s.resultLines, lastCount);
        lastCount = s.resultLines;
        clocks.insert(s.clock);
        progress.insert(s.progress);
        lineCounts.insert(s.resultLines);
    }
    EXPECT_GE(clocks.size(), 3u);
    EXPECT_GT(painted.paints, 0);
    // Each meter's two lines appear while the next one is being asked.
    for (const int count : {0, 2, 4, 6, 8})
        EXPECT_TRUE(lineCounts.count(count)) << count;
    for (const QString& p :
         {QStringLiteral("1/5  000230319105"), QStringLiteral("2/5  000230319106"),
          QStringLiteral("3/5  000230319107"), QStringLiteral("4/5  000230319105"),
          QStringLiteral("5/5  000230319106")})
        EXPECT_TRUE(progress.count(p)) << p.toStdString();
    EXPECT_EQ(w.ui->sStatusBar1Panel1->text(), QString());
    EXPECT_TRUE(CommandButtonsEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // The click and the call take effect once the batch is over, in order.
    EXPECT_TRUE(w.TcpClient1.IsOpen());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.TcpClient1.IsOpen(); }, 2000));
    QTest::qWait(50);
    std::vector<LogEntry> expected;
    for (const Reading* r :
         {&kMeter1Reading, &kMeter2Reading, &kMeter3Reading, &kMeter1Reading, &kMeter2Reading})
        for (const LogEntry& e : ReadingLog(*r))
            expected.push_back(e);
    expected.push_back(Entry("", "TCP/IP链接已关闭"));
    expected.push_back(Entry("TCP/IP读表数", "Rx <-" + kReading1));
    expected.push_back(Entry("TCP/IP读表数据", "表数读取成功！ 00001100"));
    expected.push_back(Entry("TCP/IP读表数据", "表数读取成功: " + kStatusAllClear));
    EXPECT_EQ(LogSince(mark), expected);
    EXPECT_EQ(ResultLines(Results()), 12);
    EXPECT_EQ(w.ui->edtRemoteHost->text(), QStringLiteral("127.0.0.1x"));
}

// The window half-way through a batch, as a picture in the build folder
// (under Xvfb with QT_QPA_PLATFORM=xcb, as docs/guide/network-batch.png).
TEST_F(NetworkTab, PictureOfABatchHalfWayThrough) {
    StartSim({"--delay", "120"});
    TForm1& w = Open();
    w.clock = [] { return QDateTime::currentDateTime(); };
    w.Timer1Timer();
    w.ui->cbWaterType->setCurrentIndex(1);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    Connect();
    SetAddresses(AddressList({kMeter1, kMeter2, kMeter3, kMeter1, kMeter2, kMeter3}));

    QImage picture;
    QString progressAtPicture;
    QTimer watcher;
    watcher.setInterval(5);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (picture.isNull() && w.ui->sStatusBar1Panel1->text().startsWith(u"4/6")) {
            progressAtPicture = w.ui->sStatusBar1Panel1->text();
            picture = w.grab().toImage();
        }
    });
    watcher.start();
    w.ui->btnGetDataTCP->click();
    watcher.stop();

    ASSERT_FALSE(picture.isNull()) << "no picture was taken during the batch";
    EXPECT_EQ(progressAtPicture, QStringLiteral("4/6  000230319105"));
    EXPECT_EQ(picture.size(), w.size() * w.devicePixelRatio());
    const QByteArray build = qgetenv("METER_BUILD_DIR");
    const QString path = (build.isEmpty() ? QDir::tempPath() : QString::fromLocal8Bit(build)) +
                         QStringLiteral("/console-batch.png");
    EXPECT_TRUE(picture.save(path)) << path.toStdString();
}
