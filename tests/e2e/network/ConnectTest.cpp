// The network tab's connect/disconnect button against a real gateway.
#include "NetworkTabFixture.h"

#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {
const QString kConnect = QStringLiteral("打开链接");
const QString kDisconnect = QStringLiteral("断开链接");
}  // namespace

TEST_F(NetworkTab, ConnectsAndDisconnects) {
    StartSim();
    TForm1& w = Open();
    const QString port = QString::number(sim->TcpPort());
    w.ui->btnOpenTCP->click();
    EXPECT_TRUE(w.TcpClient1.IsOpen());
    EXPECT_EQ(w.ui->btnOpenTCP->text(), kDisconnect);
    EXPECT_EQ(w.ui->sStatusBar1Panel0->text(), QStringLiteral("IP:127.0.0.1 端口:") + port);

    // The panel keeps the boxes as they were when the link was made.
    w.ui->edtRemoteHost->setText(QStringLiteral("10.0.0.1"));
    EXPECT_EQ(w.ui->sStatusBar1Panel0->text(), QStringLiteral("IP:127.0.0.1 端口:") + port);

    w.ui->btnOpenTCP->click();
    EXPECT_FALSE(w.TcpClient1.IsOpen());
    EXPECT_EQ(w.ui->btnOpenTCP->text(), kConnect);
    EXPECT_EQ(w.ui->sStatusBar1Panel0->text(), QString());
    EXPECT_EQ(Log(),
              (std::vector<LogEntry>{Entry("", "TCP/IP链接成功"), Entry("", "TCP/IP链接已关闭")}));
    EXPECT_TRUE(errors.isEmpty());
    // Connecting saves nothing; only closing the window writes Config.ini.
    EXPECT_FALSE(QFile::exists(folder.filePath(QStringLiteral("Config.ini"))));
}

TEST_F(NetworkTab, ClickWhileOpenClosesEvenWhenThePeerIsGone) {
    StartSim();
    Connect();
    sim->Stop();
    form().ui->btnOpenTCP->click();
    EXPECT_FALSE(form().TcpClient1.IsOpen());
    EXPECT_EQ(LogSince(1), std::vector<LogEntry>{Entry("", "TCP/IP链接已关闭")});
}

TEST_F(NetworkTab, FailedConnectionLeavesThePanelAsItWas) {
    StartSim();
    const int deadPort = sim->TcpPort();
    sim->Stop();
    struct Case {
        const char* name;
        QString host, port;
    } const cases[] = {
        {"refused", QStringLiteral("127.0.0.1"), QString::number(deadPort)},
        {"port out of range", QStringLiteral("127.0.0.1"), QStringLiteral("70000")},
        {"empty host", QString(), QString::number(deadPort)},
    };
    TForm1& w = Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t mark = Mark();
        w.ui->sStatusBar1Panel0->setText(QStringLiteral("written by the serial tab"));
        w.ui->edtRemoteHost->setText(c.host);
        w.ui->edtRemotePort->setText(c.port);
        w.ui->btnOpenTCP->click();
        EXPECT_FALSE(w.TcpClient1.IsOpen());
        EXPECT_EQ(w.ui->btnOpenTCP->text(), kConnect);
        EXPECT_EQ(w.ui->sStatusBar1Panel0->text(), QStringLiteral("written by the serial tab"));
        EXPECT_EQ(LogSince(mark), std::vector<LogEntry>{Entry("", "TCP/IP链接失败")});
    }
    EXPECT_TRUE(errors.isEmpty());
}

TEST_F(NetworkTab, PortBoxIsReadAsAWholeNumber) {
    StartSim();
    const int port = sim->TcpPort();
    const QString app = QGuiApplication::applicationDisplayName();
    struct Case {
        QString text;
        bool connects;
    } const cases[] = {
        {QString::number(port), true},
        {QStringLiteral("$") + QString::number(port, 16), true},  // hex, as the settings file
        {QStringLiteral("  ") + QString::number(port), true},     // leading blanks are skipped
        {QStringLiteral("abc"), false},
        {QString(), false},
        {QString::number(port) + QStringLiteral(" "), false},
        {QStringLiteral("10 30"), false},
        {QStringLiteral("1e3"), false},
        {QStringLiteral("4294968326"), false},  // 1030 beyond 32 bits
        {QStringLiteral("１０３０"), false},    // full-width digits
    };
    TForm1& w = Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        errors.clear();
        const size_t mark = Mark();
        w.ui->edtRemotePort->setText(c.text);
        w.ui->btnOpenTCP->click();
        EXPECT_EQ(w.TcpClient1.IsOpen(), c.connects);
        if (c.connects) {
            EXPECT_TRUE(errors.isEmpty());
            EXPECT_EQ(w.ui->sStatusBar1Panel0->text(),
                      QStringLiteral("IP:127.0.0.1 端口:") + c.text);
            w.ui->btnOpenTCP->click();
            continue;
        }
        // The conversion error ends the click before any attempt: nothing
        // logged, caption and panel untouched.
        EXPECT_EQ(errors, QStringList{app + QStringLiteral("|'") + c.text +
                                      QStringLiteral("' is not a valid integer value.")});
        EXPECT_TRUE(LogSince(mark).empty());
        EXPECT_EQ(w.ui->btnOpenTCP->text(), kConnect);
    }
}
