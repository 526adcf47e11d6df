// The window as it opens, the model rule, the button locking, the clock, the
// error box and file time stamps.
#include "ConsoleTestSupport.h"

#include "SerialLink.h"
#include "TApplication.h"

#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <stdexcept>

namespace {
const QRegularExpression kClockFormat(
    QStringLiteral("^\\d{4}年\\d{2}月\\d{2}日 \\d{2}:\\d{2}:\\d{2}$"));

QStringList Items(QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    return items;
}

const char* const kCommandButtons[] = {
    "btnReadAddrCOM",      "btnOpenValveCOM",  "btnCloseValveCOM", "btnGetDataCOM",
    "btnGetValveStateCOM", "btnReadAddrTCP",   "btnGetDataTCP",    "btnGetValveStateTCP",
    "btnOpenValveTCP",     "btnCloseValveTCP",
};
}  // namespace

TEST_F(WindowTest, EveryNamedControlExistsUnderItsName) {
    Open();
    const struct {
        const char* name;
        const char* kind;
    } controls[] = {
        {"pnlTop", "QFrame"},
        {"lbltime2", "QLabel"},
        {"pnlClient", "QFrame"},
        {"pnlLeft", "QFrame"},
        {"pnlRight", "QFrame"},
        {"sPanel7", "QFrame"},
        {"cbWaterType", "QComboBox"},
        {"sPageControl1", "QTabWidget"},
        {"sTabSheet1", "QWidget"},
        {"sTabSheet2", "QWidget"},
        {"sPanel1", "QFrame"},
        {"sPanel2", "QFrame"},
        {"sPanel3", "QFrame"},
        {"sPanel6", "QFrame"},
        {"edtComName", "QComboBox"},
        {"edtComDevice", "QComboBox"},
        {"lblComDevice", "QLabel"},
        {"edtBTL", "QComboBox"},
        {"edtData", "QComboBox"},
        {"edtEO", "QComboBox"},
        {"edtStop", "QComboBox"},
        {"edtDelay", "QLineEdit"},
        {"btnOpenCOM", "QPushButton"},
        {"edtAddr", "QLineEdit"},
        {"btnReadAddrCOM", "QPushButton"},
        {"edtPWLevel", "QComboBox"},
        {"edtPW", "QLineEdit"},
        {"edtOp", "QLineEdit"},
        {"btnOpenValveCOM", "QPushButton"},
        {"btnCloseValveCOM", "QPushButton"},
        {"lblValveStateCOM", "QLabel"},
        {"btnGetValveStateCOM", "QPushButton"},
        {"lblDATA", "QLabel"},
        {"btnGetDataCOM", "QPushButton"},
        {"Button2", "QPushButton"},
        {"edtRemoteHost", "QLineEdit"},
        {"edtRemotePort", "QLineEdit"},
        {"btnOpenTCP", "QPushButton"},
        {"AddrList", "QPlainTextEdit"},
        {"sResultList", "QPlainTextEdit"},
        {"edtTcpPwLevel", "QComboBox"},
        {"edtTcpPW", "QLineEdit"},
        {"Button1", "QPushButton"},
        {"Label1", "QLabel"},
        {"btnReadAddrTCP", "QPushButton"},
        {"btnGetDataTCP", "QPushButton"},
        {"btnGetValveStateTCP", "QPushButton"},
        {"btnOpenValveTCP", "QPushButton"},
        {"btnCloseValveTCP", "QPushButton"},
        {"mmo", "QPlainTextEdit"},
        {"sStatusBar1", "QWidget"},
        {"sStatusBar1Panel0", "QLabel"},
        {"sStatusBar1Panel1", "QLabel"},
        {"Timer1", "QTimer"},
    };
    for (const auto& c : controls) {
        const auto found = form().findChildren<QObject*>(QString::fromLatin1(c.name));
        ASSERT_EQ(found.size(), 1) << c.name;
        EXPECT_TRUE(found[0]->inherits(c.kind)) << c.name << " is a " << c.kind;
    }
    EXPECT_EQ(form().ui->sStatusBar1Panel0->width(), 300);
    EXPECT_EQ(form().ui->sStatusBar1Panel1->width(), 800);
    EXPECT_EQ(form().ui->sStatusBar1Panel0->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
    EXPECT_EQ(form().ui->cbWaterType->width(), 204);
    EXPECT_EQ(form().ui->AddrList->width(), 159);
}

TEST_F(WindowTest, FreshStartShowsTheNetworkTabWithDefaults) {
    PortOpen = PortOpening = ExchangeBusy = ReplyArrived = true;
    Open();
    TForm1& f = form();

    EXPECT_FALSE(PortOpen || PortOpening || ExchangeBusy || ReplyArrived);
    EXPECT_EQ(f.minimumSize(), QSize(1201, 678));
    EXPECT_EQ(f.maximumSize(), QSize(1201, 678));
    EXPECT_FALSE(f.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(f.windowFlags() & Qt::WindowCloseButtonHint);

    EXPECT_EQ(f.ui->sPageControl1->currentWidget(), f.ui->sTabSheet2);
    EXPECT_EQ(f.ui->sPageControl1->tabText(0), "串口通讯");
    EXPECT_EQ(f.ui->sPageControl1->tabText(1), "TCP/IP通讯");
    EXPECT_EQ(f.ui->cbWaterType->currentIndex(), -1);
    EXPECT_EQ(Items(f.ui->cbWaterType), QStringList({"冷水表K款(不带阀)", "冷水表K款(带阀)",
                                                     "热水表K款(不带阀)", "热水表K款(带阀)"}));
    EXPECT_FALSE(f.ui->cbWaterType->isEditable());

    for (QLineEdit* password : {f.ui->edtPW, f.ui->edtTcpPW}) {
        EXPECT_EQ(password->text(), "250913");
        EXPECT_EQ(password->echoMode(), QLineEdit::Password);
    }
    EXPECT_EQ(f.ui->sStatusBar1Panel0->text(), "");
    EXPECT_EQ(f.ui->sStatusBar1Panel1->text(), "");
    EXPECT_TRUE(kClockFormat.match(f.ui->lbltime2->text()).hasMatch())
        << f.ui->lbltime2->text().toStdString();
    EXPECT_TRUE(f.Timer1->isActive());
    EXPECT_EQ(f.Timer1->interval(), 1000);

    QStringList ports;
    for (int i = 1; i <= 19; ++i)
        ports << QStringLiteral("COM%1").arg(i);
    QStringList levels;
    for (int i = 0; i <= 9; ++i)
        levels << QStringLiteral("0%1").arg(i);
    const struct {
        QComboBox* box;
        QStringList items;
        QString current;
    } selectors[] = {
        {f.ui->edtComName, ports, "COM1"},
        {f.ui->edtBTL, {"600", "1200", "2400", "4800", "9600", "19200"}, "2400"},
        {f.ui->edtData, {"8"}, "8"},
        {f.ui->edtEO, {"偶校验", "奇校验", "无"}, "偶校验"},
        {f.ui->edtStop, {"1"}, "1"},
        {f.ui->edtPWLevel, levels, "02"},
        {f.ui->edtTcpPwLevel, levels, "02"},
    };
    for (const auto& s : selectors) {
        EXPECT_EQ(Items(s.box), s.items) << s.box->objectName().toStdString();
        EXPECT_EQ(s.box->currentText(), s.current) << s.box->objectName().toStdString();
    }

    const struct {
        QWidget* control;
        QString text;
    } texts[] = {
        {f.ui->edtDelay, "3000"},
        {f.ui->edtAddr, ""},
        {f.ui->edtRemoteHost, "192.168.1.100"},
        {f.ui->edtRemotePort, "1030"},
        {f.ui->AddrList, "00000230319105"},
        {f.ui->sResultList, ""},
        {f.ui->mmo, ""},
        {f.ui->lblDATA, ""},
        {f.ui->lblValveStateCOM, ""},
        {f.ui->btnOpenCOM, "打开串口"},
        {f.ui->btnOpenTCP, "打开链接"},
    };
    for (const auto& t : texts) {
        QString actual;
        if (auto* edit = qobject_cast<QLineEdit*>(t.control))
            actual = edit->text();
        else if (auto* pane = qobject_cast<QPlainTextEdit*>(t.control))
            actual = pane->toPlainText();
        else if (auto* label = qobject_cast<QLabel*>(t.control))
            actual = label->text();
        else if (auto* button = qobject_cast<QPushButton*>(t.control))
            actual = button->text();
        EXPECT_EQ(actual, t.text) << t.control->objectName().toStdString();
    }
    EXPECT_TRUE(f.ui->sResultList->isReadOnly());
    EXPECT_FALSE(f.ui->mmo->isReadOnly());
    EXPECT_FALSE(f.ui->AddrList->isReadOnly());
    EXPECT_EQ(f.ui->Label1->text(), "读地址不能在总线中使用，该操作时，只能单个表进行");

    for (QWidget* hidden :
         {static_cast<QWidget*>(f.ui->Button1), static_cast<QWidget*>(f.ui->Button2),
          static_cast<QWidget*>(f.ui->edtOp)})
        EXPECT_TRUE(hidden->isHidden()) << hidden->objectName().toStdString();
    EXPECT_FALSE(f.ui->btnOpenCOM->isHidden());
    EXPECT_EQ(f.ui->edtOp->text().size(), 8);

    // Operator text must never be taken for markup.
    for (QLabel* label : f.findChildren<QLabel*>())
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();

    EXPECT_EQ(f.windowTitle(),
              CaptionForVersion(TForm1::FileDateTime(QCoreApplication::applicationFilePath(), 1)));
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("^水表调试工具\\(Ver\\d\\d\\.\\d\\d\\.\\d\\d\\)$"))
            .match(f.windowTitle())
            .hasMatch());
}

TEST_F(WindowTest, ModelRuleAndPasswordReset) {
    Open();
    TForm1& f = form();
    const struct {
        int model;
        bool valve;
    } models[] = {{-1, true}, {0, false}, {1, true}, {2, false}, {3, true}};
    for (const auto& m : models) {
        f.ui->cbWaterType->setCurrentIndex(m.model);
        EXPECT_EQ(f.ModelSupportsValve(), m.valve) << m.model;
    }

    // The operator picks a model with the keyboard: both passwords return to
    // the default, nothing else changes.
    f.show();
    f.ui->cbWaterType->setCurrentIndex(0);
    f.ui->edtPW->setText("111111");
    f.ui->edtTcpPW->setText("222222");
    f.ui->edtAddr->setText("000230319105");
    f.ui->edtPWLevel->setCurrentIndex(5);
    QTest::keyClick(f.ui->cbWaterType, Qt::Key_Down);
    EXPECT_EQ(f.ui->cbWaterType->currentIndex(), 1);
    EXPECT_EQ(f.ui->edtPW->text(), "250913");
    EXPECT_EQ(f.ui->edtTcpPW->text(), "250913");
    EXPECT_EQ(f.ui->edtAddr->text(), "000230319105");
    EXPECT_EQ(f.ui->edtPWLevel->currentIndex(), 5);
}

TEST_F(WindowTest, LockingTouchesOnlyTheTenCommandButtons) {
    Open();
    TForm1& f = form();
    f.DisableCommandButtons();
    for (const char* name : kCommandButtons)
        EXPECT_FALSE(Control<QPushButton>(name)->isEnabled()) << name;
    for (const char* name : {"btnOpenCOM", "btnOpenTCP"})
        EXPECT_TRUE(Control<QPushButton>(name)->isEnabled()) << name;
    for (QWidget* w : f.findChildren<QLineEdit*>())
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    for (QWidget* w : f.findChildren<QComboBox*>())
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();

    f.EnableCommandButtons();
    // The stop button belongs to a running batch, not to the locking.
    for (QPushButton* button : f.findChildren<QPushButton*>())
        EXPECT_EQ(button->isEnabled(), button != f.ui->btnStopTCP)
            << button->objectName().toStdString();
}

TEST_F(WindowTest, ParityCannotBeChangedByTheOperator) {
    Open();
    form().show();
    QComboBox* parity = form().ui->edtEO;
    QTest::keyClick(parity, Qt::Key_Down);
    QTest::mouseClick(parity, Qt::LeftButton);
    EXPECT_EQ(parity->currentIndex(), 0);
    parity->setCurrentIndex(1);  // Config.ini still can
    EXPECT_EQ(parity->currentText(), "奇校验");
}

TEST_F(WindowTest, ClockKeepsLeadingZeros) {
    const struct {
        QDateTime moment;
        const char* text;
    } cases[] = {
        {QDateTime(QDate(2024, 1, 9), QTime(5, 4, 3)), "2024年01月09日 05:04:03"},
        {QDateTime(QDate(2020, 8, 22), QTime(12, 6, 0)), "2020年08月22日 12:06:00"},
        {QDateTime(QDate(2024, 12, 31), QTime(23, 59, 59)), "2024年12月31日 23:59:59"},
        {QDateTime(QDate(2025, 10, 1), QTime(0, 0, 0)), "2025年10月01日 00:00:00"},
    };
    Open();
    for (const auto& c : cases) {
        EXPECT_EQ(FormatLocalDateTime(c.moment), QString::fromUtf8(c.text));
        form().clock = [&] { return c.moment; };
        form().Timer1Timer();
        EXPECT_EQ(form().ui->lbltime2->text(), QString::fromUtf8(c.text));
    }
    // And the running timer is what calls it.
    form().clock = [] { return kNow; };
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return form().ui->lbltime2->text() == "2024年01月19日 15:30:00"; }, 3000));
}

TEST_F(WindowTest, EscapingErrorsGoToTheErrorBoxAndTheProgramGoesOn) {
    const struct {
        const char* message;
        const char* shown;
    } texts[] = {
        {"'abc' is not a valid integer value", "'abc' is not a valid integer value."},
        {"Unable to write to /x/Config.ini", "Unable to write to /x/Config.ini."},
        {"already ends.", "already ends."},
        {"", ""},
        {"bang!", "bang!"},  // '!' sorts before '.'
        {"a/b", "a/b."},     // '/' sorts after '.'
        {"中文", "中文."},
        {"line\n", "line\n"},
    };
    for (const auto& t : texts)
        EXPECT_EQ(TApplication::ErrorBoxText(QString::fromUtf8(t.message)),
                  QString::fromUtf8(t.shown))
            << t.message;

    // A handler bound the way the window binds its own.
    QPushButton button;
    int clicks = 0;
    QObject::connect(&button, &QPushButton::clicked, [&] {
        TApplication::Guard([&] {
            ++clicks;
            throw std::runtime_error("'x1' is not a valid integer value");
        });
    });
    button.show();
    QTest::mouseClick(&button, Qt::LeftButton);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(clicks, 2);

    // Anything else that escapes into the event loop lands in notify().
    bool timerRan = false;
    QTimer::singleShot(0, [] { throw 42; });
    QTimer::singleShot(0, [&] { timerRan = true; });
    QTest::qWait(20);
    EXPECT_TRUE(timerRan);

    // The window's own bindings: a failing clock tick is reported, and the
    // timer keeps running.
    Open();
    form().clock = []() -> QDateTime { throw std::runtime_error("no clock"); };
    EXPECT_TRUE(QTest::qWaitFor([&] { return errors.size() == 4; }, 3000));
    EXPECT_TRUE(form().Timer1->isActive());

    const QString title = QGuiApplication::applicationDisplayName();
    EXPECT_EQ(errors, QStringList({title + "|'x1' is not a valid integer value.",
                                   title + "|'x1' is not a valid integer value.",
                                   title + "|Unknown error.", title + "|no clock."}));
}

TEST_F(WindowTest, FileDateTimeAndCaption) {
    const QString file = folder.filePath("stamped");
    {
        QFile stamped(file);
        ASSERT_TRUE(stamped.open(QIODevice::ReadWrite));
        ASSERT_TRUE(stamped.setFileTime(QDateTime(QDate(2024, 1, 19), QTime(15, 30, 1, 700)),
                                        QFileDevice::FileModificationTime));
        ASSERT_TRUE(stamped.setFileTime(QDateTime(QDate(2023, 2, 3), QTime(4, 5, 6, 100)),
                                        QFileDevice::FileAccessTime));
    }
    const QDateTime zero(QDate(1899, 12, 30), QTime(0, 0));
    const struct {
        QString path;
        int kind;
        QDateTime expected;
    } cases[] = {
        {file, 1, QDateTime(QDate(2024, 1, 19), QTime(15, 30, 0))},  // two-second steps
        {file, 2, QDateTime(QDate(2023, 2, 3), QTime(4, 5, 6))},
        {folder.filePath("missing"), 1, zero},
        {folder.filePath("missing"), 0, zero},
        {QString(), 1, zero},
        {file, 9, zero},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TForm1::FileDateTime(c.path, c.kind), c.expected)
            << c.path.toStdString() << " " << c.kind;
    const QDateTime created = TForm1::FileDateTime(file, 0);
    EXPECT_TRUE(created.isValid() && created != zero);
    EXPECT_EQ(created.time().second() % 2, 0);

    EXPECT_EQ(CaptionForVersion(zero), "水表调试工具(Ver99.12.30)");
    EXPECT_EQ(CaptionForVersion(QDateTime(QDate(2024, 1, 19), QTime(8, 0))),
              "水表调试工具(Ver24.01.19)");
    EXPECT_EQ(CaptionForVersion(QDateTime(QDate(2009, 11, 5), QTime(8, 0))),
              "水表调试工具(Ver09.11.05)");
}
