// Stopping a batch by the operator's own input, and the results record the
// batches leave behind.
#include "DefaultBus.h"
#include "RecordFiles.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <chrono>

using namespace bus;

namespace {
using Clock = std::chrono::steady_clock;

constexpr char kStamp[] = "2024-01-19T15:30:00";

std::string Row(const std::string& rest) {
    return std::string(kStamp) + "," + rest;
}

QStringList Addresses(std::initializer_list<std::string> lines) {
    QStringList list;
    for (const std::string& line : lines)
        list << QString::fromStdString(line);
    return list;
}

int ResultLineCount(const QString& text) {
    return static_cast<int>(text.count(QStringLiteral(" -----> ")));
}
}  // namespace

class StopTest : public NetworkTab {
  protected:
    QString ResultsFile() const {
        return folder.filePath(QStringLiteral("results/2024-01-19.csv"));
    }
};

// The operator's input comes through the window system: mouse and keyboard
// events for the window, which hands them to the widget under the mouse or
// in focus, as a real click or key does.
TEST_F(StopTest, OperatorStopsABatchOfSilentMetersByMouseOrEsc) {
    for (const bool byMouse : {true, false}) {
        SCOPED_TRACE(byMouse ? "mouse" : "Esc");
        StartSim();
        TForm1& w = Open();
        w.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
        Connect();
        QPushButton* stop = w.ui->btnStopTCP;
        EXPECT_EQ(stop->text(), QStringLiteral("停止"));
        EXPECT_FALSE(stop->isEnabled());
        QStringList silent;
        for (int i = 0; i < 8; ++i)
            silent << QString::fromStdString(kNobody);
        SetAddresses(silent);

        // Half-way through the second meter's wait (400 ms each).
        QString progressAtStop;
        bool stopEnabled = false;
        Clock::time_point stoppedAt;
        QTimer::singleShot(kReadMs + kReadMs / 2, &w, [&] {
            progressAtStop = w.ui->sStatusBar1Panel1->text();
            stopEnabled = stop->isEnabled();
            if (!byMouse) {
                // Another click before the key: it must wait for the end.
                QTest::mouseClick(w.windowHandle(), Qt::LeftButton, Qt::NoModifier,
                                  w.ui->btnOpenTCP->mapTo(&w, w.ui->btnOpenTCP->rect().center()));
            }
            stoppedAt = Clock::now();
            if (byMouse)
                QTest::mouseClick(w.windowHandle(), Qt::LeftButton, Qt::NoModifier,
                                  stop->mapTo(&w, stop->rect().center()));
            else
                QTest::keyClick(w.windowHandle(), Qt::Key_Escape);
        });
        const size_t mark = Mark();
        w.ui->btnGetDataTCP->click();
        const auto took = Clock::now() - stoppedAt;

        ASSERT_TRUE(stopEnabled);
        ASSERT_TRUE(progressAtStop.startsWith(u"2/8")) << progressAtStop.toStdString();
        EXPECT_LT(took, std::chrono::milliseconds(200));
        // One meter finished, the one being served gets no line.
        EXPECT_EQ(ResultLineCount(Results()), 1);
        const std::vector<LogEntry> log = LogSince(mark);
        ASSERT_EQ(log.size(), 4u);
        EXPECT_EQ(log[1], Entry("TCP/IP读表数", "TCP/IP读表数出错"));
        EXPECT_EQ(log[2], Entry("TCP/IP读表数", "Tx ->" + ReadReading(kNobody)));
        EXPECT_EQ(log[3], Entry("TCP/IP读表数", "批量操作已停止：已完成 1/8 个地址"));
        // Restored as at a normal end; the connection stays.
        EXPECT_TRUE(CommandButtonsEnabled());
        EXPECT_FALSE(stop->isEnabled());
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_EQ(w.ui->sStatusBar1Panel1->text(), QString());
        EXPECT_TRUE(w.TcpClient1.IsOpen());
        EXPECT_EQ(
            records::CsvRows(ResultsFile()),
            (std::vector<std::string>{Row("network,read_reading," + kNobody + ",no_answer,,,,,"),
                                      Row("network,read_reading," + kNobody + ",stopped,,,,,")}));

        if (byMouse) {
            // The link still serves the next batch.
            SetAddresses(Addresses({kMeter1}));
            w.ui->btnGetDataTCP->click();
            EXPECT_EQ(Results(), Shown(ReadingLines(kMeter1Reading)));
        } else {
            // The click held during the batch runs now: it disconnects.
            EXPECT_TRUE(QTest::qWaitFor([&] { return !w.TcpClient1.IsOpen(); }, 2000));
        }
        QFile::remove(ResultsFile());
        window.reset();
        sim.reset();
    }
}

// Outside a batch the stop button does nothing and Esc is an ordinary key.
TEST_F(StopTest, StopOnlyActsDuringABatch) {
    StartSim({"--no-defaults", "--meter", kMeter1, "--delay", "150"});
    TForm1& w = Open();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    Connect();
    // Read address is a single request, not a batch: Esc waits for its end.
    bool pressed = false;
    QTimer::singleShot(50, &w, [&] {
        QTest::keyClick(w.windowHandle(), Qt::Key_Escape);
        pressed = true;
    });
    const size_t mark = Mark();
    w.ui->btnReadAddrTCP->click();
    ASSERT_TRUE(pressed);
    EXPECT_EQ(LogSince(mark).size(), 2u);  // Tx and Rx, no stop entry
    EXPECT_FALSE(w.ui->btnStopTCP->isEnabled());
}

TEST_F(NetworkTab, BatchResultsGoToTheResultsRecord) {
    // Meter 2's second request gets a corrupted reply.
    StartSim({"--fault", kMeter2 + ":badsum@2"});
    Connect();
    const QString path = folder.filePath(QStringLiteral("results/2024-01-19.csv"));

    SetAddresses(Addresses({kMeter1, "", kNobody, kMeter3}));
    form().ui->btnGetDataTCP->click();
    SetAddresses(Addresses({kMeter1, kMeter3}));
    form().ui->btnOpenValveTCP->click();
    SetAddresses(Addresses({kMeter2, kMeter1}));
    form().ui->btnGetValveStateTCP->click();
    SetAddresses(Addresses({kMeter2, kMeter1}));
    form().ui->btnGetDataTCP->click();

    std::string corrupted = kReading2.substr(0, kReading2.size() - 4);
    {
        char text[3];
        std::snprintf(
            text, sizeof text, "%02X",
            (std::stoi(kReading2.substr(kReading2.size() - 4, 2), nullptr, 16) + 1) % 256);
        corrupted += std::string(text) + "16";
    }
    bool headerOk = false;
    EXPECT_EQ(
        records::CsvRows(path, &headerOk),
        (std::vector<std::string>{
            Row("network,read_reading," + kMeter1 + ",ok,11.00,00,,," + kReading1),
            Row("network,read_reading,,empty_address,,,,,"),
            Row("network,read_reading," + kNobody + ",no_answer,,,,,"),
            Row("network,read_reading," + kMeter3 + ",ok,0.05,08,,," + kReading3),
            Row("network,open_valve," + kMeter1 + ",ok,,,,," + Frame(kMeter1, "84", "")),
            Row("network,open_valve," + kMeter3 + ",refused,,,,02," + Frame(kMeter3, "84", "35")),
            Row("network,read_valve_state," + kMeter2 + ",ok,,,closed,," +
                Frame(kMeter2, "81", "6FF3B3")),
            Row("network,read_valve_state," + kMeter1 + ",ok,,,open,," +
                Frame(kMeter1, "81", "6FF333")),
            // The checksum error ends the batch: meter 1 is not asked.
            Row("network,read_reading," + kMeter2 + ",checksum_error,,,,," + corrupted),
        }));
    EXPECT_TRUE(headerOk);
}

// Where today's code finds the gateway gone, the record says link_closed.
TEST_F(NetworkTab, GatewayGoneIsRecordedAsLinkClosed) {
    StartSim({"--verbose", "--fault", kMeter2 + ":silent"});
    Connect();
    SetAddresses(Addresses({kMeter2, kMeter3}));
    QTimer::singleShot(kReadMs / 2, &form(), [&] { sim->Stop(); });
    form().ui->btnGetDataTCP->click();
    EXPECT_EQ(
        records::CsvRows(folder.filePath(QStringLiteral("results/2024-01-19.csv"))),
        // The link found gone ends the batch: the next address is not served.
        (std::vector<std::string>{Row("network,read_reading," + kMeter2 + ",link_closed,,,,,")}));
    EXPECT_EQ(Results(), Shown(kMeter2 + kArrow + "TCP/IP读表数"));
}
