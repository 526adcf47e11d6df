// Whatever the operator types or a file holds reaches the screen as text:
// printf directives, quotes, markup, very long and invalid UTF-8 texts are
// shown literally, and none of them is ever used as a format.
#include "ConsoleTestSupport.h"

#include "FrameCodec.h"
#include "TApplication.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTimer>

#include <stdexcept>
#include <string>

namespace {
// Bytes as they could come from the keyboard, Config.ini or a meter.
const std::string kHostile[] = {
    "%s%s%s%s%n%n%n",
    "%1 %2 %L1 %%",
    "\"double\" 'single' `back` \\",
    "<b>x</b><i>y</i><script>z</script>&amp;&lt;<br>",
    "\xff\xfe\xc3(\x80 bad UTF-8",
    std::string(100000, 'A'),
};

class PlainTextInputTest : public WindowTest {
  protected:
    QString Log() { return form().ui->mmo->toPlainText(); }
};
}  // namespace

TEST_F(PlainTextInputTest, EveryLabelIsPlainText) {
    Open();
    const auto labels = form().findChildren<QLabel*>();
    ASSERT_GE(labels.size(), 20);
    for (QLabel* label : labels)
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
}

TEST_F(PlainTextInputTest, LogEntriesShowTheTextAsItIs) {
    Open();
    for (const std::string& bytes : kHostile) {
        const QString text = QString::fromStdString(bytes);
        form().AppendLog(text, text);
        EXPECT_TRUE(Log().endsWith(text + "[2024年01月19日 15:30:00]\n" + text + "\n\n"))
            << bytes.substr(0, 40);
        form().ui->mmo->clear();
    }
}

TEST_F(PlainTextInputTest, FrameBuilderFailuresQuoteTheBadPieceLiterally) {
    Open();
    // The address and the password reach the log only through the frame
    // builder's conversion failure.
    const struct {
        const char* address;
        const char* data;
        const char* logged;
    } cases[] = {
        {"%s%n", "9010", "'$%n' is not a valid integer value"},
        {"0000000<b>", "9010", "'$b>' is not a valid integer value"},
        // Data pieces are converted last first.
        {"000230319105", "%n\"", "'$\"' is not a valid integer value"},
    };
    for (const auto& c : cases) {
        form().ui->mmo->clear();
        EXPECT_EQ(BuildFrame(c.address, "04", "0C", c.data), "") << c.address;
        EXPECT_EQ(Log(), QString("[2024年01月19日 15:30:00]\n") + c.logged + "\n\n") << c.address;
    }
}

TEST_F(PlainTextInputTest, HostFromConfigIniIsShownAndSavedUnchanged) {
    for (const std::string& host : kHostile) {
        const std::string file = "[TCP]\nHost=" + host + "\nPort=1030\n";
        WriteConfig(file);
        Open();
        EXPECT_EQ(form().ui->edtRemoteHost->text(),
                  QString::fromStdString(host).left(form().ui->edtRemoteHost->maxLength()))
            << host.substr(0, 40);
        form().close();
        // Neither the field's length limit nor bytes that are not UTF-8 may
        // change a host the operator did not touch.
        EXPECT_EQ(ReadConfig()->find("\nHost=" + host + "\n"), 5u) << host.substr(0, 40);
        EXPECT_TRUE(errors.isEmpty());
    }

    // A host the operator typed is saved as typed.
    WriteConfig("[TCP]\nHost=\xff\xfe\n");
    Open();
    form().ui->edtRemoteHost->setText("gw-%s-<b>");
    form().close();
    EXPECT_NE(ReadConfig()->find("\nHost=gw-%s-<b>\n"), std::string::npos);
}

TEST_F(PlainTextInputTest, TheErrorBoxShowsMarkupAsText) {
    for (const std::string& bytes : kHostile) {
        const QString text = QString::fromStdString(bytes);
        errors.clear();
        TApplication::Guard([&] { throw std::runtime_error(bytes); });
        EXPECT_EQ(errors, QStringList(QGuiApplication::applicationDisplayName() + u'|' +
                                      TApplication::ErrorBoxText(text)));
    }

    // The real box, closed as soon as it shows.
    TApplication::SetErrorBox({});
    Qt::TextFormat format = Qt::RichText;
    QString shown;
    QTimer closer;
    closer.setInterval(10);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                format = box->textFormat();
                shown = box->text();
                box->accept();
                closer.stop();
            }
    });
    closer.start();
    TApplication::ShowError("<b>x</b> %s");
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_EQ(shown, "<b>x</b> %s.");
}
