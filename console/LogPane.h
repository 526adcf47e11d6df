// Row bookkeeping and appending for the log pane (a QPlainTextEdit the
// operator may also type into). Rows are counted as the pane displays them.
#pragma once

#include <QFont>
#include <QObject>
#include <QString>

class QPlainTextEdit;
class QTextBlock;

class TLogPane : public QObject {
  public:
    // pane must already carry its final geometry and style.
    explicit TLogPane(QPlainTextEdit* pane);

    // Rows on screen: every line break starts a row, a wrapped line takes one
    // row per screen line, and the empty row after the last break is not
    // counted.
    int DisplayedRows();

    // Appends text as whole lines at the end of the pane, whatever the caret
    // or selection, then scrolls the newest line into view. Text the operator
    // left without a final line break is closed first, so the lines always
    // start on a row of their own.
    void AppendLines(const QString& lines);

    void Clear();

  private:
    int RowsOf(const QTextBlock& block) const;
    void RecountAll();
    bool Stale() const;

    QPlainTextEdit* pane;
    int blockRows = 0;  // rows of every block, the last one included
    bool operatorEdited = true;
    bool appending = false;
    int countedWidth = -1;
    QFont countedFont;
};
