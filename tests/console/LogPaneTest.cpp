// AppendLog: the entry format, the 200-row rule with rows counted as the pane
// shows them, appending at the end and scrolling to the newest line.
#include "ConsoleTestSupport.h"

#include <QFontMetricsF>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>

#include <functional>
#include <vector>

namespace {
const QString kStamp = QStringLiteral("[2024年01月19日 15:30:00]");

QString Entry(const QString& message, const QString& title = QString()) {
    return title + kStamp + u'\n' + message + u'\n' + u'\n';
}
}  // namespace

class LogPaneTest : public WindowTest {
  public:
    QPlainTextEdit* Pane() { return form().ui->mmo; }
    QString Text() { return Pane()->toPlainText(); }

    // An unbroken run of digits that the pane wraps into exactly `rows` rows,
    // worked out from the font and the pane's own viewport width.
    QString Wrapping(int rows) {
        const QFontMetricsF metrics(Pane()->document()->defaultFont());
        const qreal width = Pane()->viewport()->width() - 2 * Pane()->document()->documentMargin();
        const qreal perRow = width / metrics.horizontalAdvance(u'0');
        EXPECT_GT(perRow, 10);
        return QString(static_cast<int>((rows - 0.5) * perRow), u'0');
    }

    void Type(const QString& text) {
        Pane()->setFocus();
        for (const QChar c : text) {
            if (c == u'\n')
                QTest::keyClick(Pane(), Qt::Key_Return);
            else
                QTest::keyClicks(Pane(), QString(c));
        }
    }
};

TEST_F(LogPaneTest, EntryIsHeaderMessageAndEmptyLine) {
    const struct {
        const char* message;
        const char* title;
        QString shown;
    } cases[] = {
        {"Tx ->FEFEFE68", "开阀", Entry("Tx ->FEFEFE68", "开阀")},
        {"TCP/IP链接成功", "", kStamp + "\nTCP/IP链接成功\n\n"},
        {"", "读表数据", "读表数据" + kStamp + "\n\n\n"},
        {"line one\nline two", "T", Entry("line one\nline two", "T")},
        {"windows\r\nbreak", "", Entry("windows\nbreak")},
        // A lone CR, as in the status reports, is a line break of its own.
        {"status\rbit one\rbit two", "", Entry("status\nbit one\nbit two")},
        {"<b>not bold</b> &amp;", "", Entry("<b>not bold</b> &amp;")},
    };
    for (const auto& c : cases) {
        Open();
        form().AppendLog(QString::fromUtf8(c.message), QString::fromUtf8(c.title));
        EXPECT_EQ(Text(), c.shown) << c.message;
    }

    Open();
    form().AppendLog("first", "A");
    form().clock = [] { return QDateTime(QDate(2024, 3, 4), QTime(5, 6, 7)); };
    form().AppendLog("second", "B");
    EXPECT_EQ(Text(), Entry("first", "A") + "B[2024年03月04日 05:06:07]\nsecond\n\n");
}

// Each case fills the pane, then makes one more call: a pane of more than 200
// rows is emptied first, one of exactly 200 is not.
TEST_F(LogPaneTest, PaneIsEmptiedOnlyWhenItHoldsMoreThan200Rows) {
    const struct {
        const char* what;
        int oneRowEntries;
        std::function<QString(LogPaneTest&)> lastMessage;  // empty: none
        bool emptied;
    } cases[] = {
        {"198 rows", 66, nullptr, false},
        {"201 rows: the 68th call empties", 67, nullptr, true},
        {"195 + 3 message lines = 200", 65, [](LogPaneTest&) { return QString("a\nb\nc"); }, false},
        {"195 + 4 message lines = 201", 65, [](LogPaneTest&) { return QString("a\nb\nc\nd"); },
         true},
        {"lone CRs count: 200", 65, [](LogPaneTest&) { return QString("a\rb\rc"); }, false},
        {"lone CRs count: 201", 65, [](LogPaneTest&) { return QString("a\rb\rc\rd"); }, true},
        {"wrapped over 3 rows = 200", 65, [](LogPaneTest& t) { return t.Wrapping(3); }, false},
        {"wrapped over 4 rows = 201", 65, [](LogPaneTest& t) { return t.Wrapping(4); }, true},
        {"an empty message still takes its row: 201", 66, [](LogPaneTest&) { return QString(); },
         true},
    };
    for (const auto& c : cases) {
        Open();  // never shown: rows must still be counted at the real width
        for (int i = 0; i < c.oneRowEntries; ++i)
            form().AppendLog(QStringLiteral("message %1").arg(i), "读表数据");
        if (c.lastMessage)
            form().AppendLog(c.lastMessage(*this), "");
        form().AppendLog("next", "T");
        if (c.emptied) {
            EXPECT_EQ(Text(), Entry("next", "T")) << c.what;
        } else {
            EXPECT_TRUE(Text().startsWith(Entry("message 0", "读表数据"))) << c.what;
            EXPECT_TRUE(Text().endsWith(Entry("next", "T"))) << c.what;
        }
    }
}

TEST_F(LogPaneTest, AFullPaneHoldsTheLimitPlusOneEntryThenEmpties) {
    Open();
    for (int i = 0; i < 65; ++i)
        form().AppendLog("x", "");
    form().AppendLog("a\nb\nc", "");  // exactly 200 rows
    form().AppendLog("kept", "");     // 203 rows
    EXPECT_EQ(Pane()->blockCount() - 1, 203);
    form().AppendLog("alone", "");
    EXPECT_EQ(Text(), Entry("alone"));
}

TEST_F(LogPaneTest, CountsRowsAtTheWidthThePaneIsShownWith) {
    Open();
    const int hiddenWidth = Pane()->viewport()->width();
    form().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form()));
    EXPECT_EQ(Pane()->viewport()->width(), hiddenWidth);
    EXPECT_GT(hiddenWidth, 250);
    EXPECT_LT(hiddenWidth, 335);
}

TEST_F(LogPaneTest, OperatorTextStaysAndCounts) {
    const struct {
        const char* typed;
        int entries;
        bool emptied;
    } cases[] = {
        {"x\ny", 66, false},    // 2 + 198 = 200 rows
        {"x\ny\nz", 66, true},  // 201 rows
        {"x\ny\n", 66, false},  // the empty row after the last break is not a row
    };
    for (const auto& c : cases) {
        Open();
        form().show();
        Type(QString::fromUtf8(c.typed));
        // Caret at the start with a selection: the entry still goes at the end.
        QTextCursor cursor(Pane()->document());
        cursor.setPosition(1, QTextCursor::KeepAnchor);
        Pane()->setTextCursor(cursor);
        form().AppendLog("first", "");
        QString typed = QString::fromUtf8(c.typed);
        if (!typed.endsWith(u'\n'))
            typed += u'\n';
        EXPECT_EQ(Text(), typed + Entry("first")) << c.typed;
        for (int i = 1; i < c.entries; ++i)
            form().AppendLog("more", "");
        form().AppendLog("next", "");
        EXPECT_EQ(Text() == Entry("next"), c.emptied) << c.typed;
        EXPECT_EQ(Text().startsWith(typed), !c.emptied) << c.typed;
    }
}

TEST_F(LogPaneTest, RowsTheOperatorDeletesNoLongerCount) {
    Open();
    form().show();
    for (int i = 0; i < 67; ++i)  // 201 rows
        form().AppendLog(QStringLiteral("m%1").arg(i), "");
    QTextCursor cursor(Pane()->document());
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, 3);
    Pane()->setTextCursor(cursor);
    Pane()->setFocus();
    QTest::keyClick(Pane(), Qt::Key_Delete);  // the first entry goes: 198 rows
    form().AppendLog("next", "");
    EXPECT_TRUE(Text().startsWith(Entry("m1")));
    EXPECT_TRUE(Text().endsWith(Entry("next")));
}

TEST_F(LogPaneTest, NewestLineIsScrolledIntoView) {
    Open();
    form().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form()));
    Pane()->moveCursor(QTextCursor::Start);
    for (int i = 0; i < 60; ++i)
        form().AppendLog(QStringLiteral("entry %1").arg(i), "");
    EXPECT_GT(Pane()->verticalScrollBar()->value(), 0);
    QTextCursor last(Pane()->document()->findBlockByNumber(Pane()->blockCount() - 3));
    ASSERT_EQ(last.block().text(), "entry 59");
    EXPECT_TRUE(Pane()->viewport()->rect().contains(Pane()->cursorRect(last)));
}
