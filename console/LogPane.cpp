#include "LogPane.h"

#include <QCoreApplication>
#include <QPlainTextDocumentLayout>
#include <QPlainTextEdit>
#include <QResizeEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>

namespace {
QPlainTextDocumentLayout* LayoutOf(QPlainTextEdit* pane) {
    return qobject_cast<QPlainTextDocumentLayout*>(pane->document()->documentLayout());
}
}  // namespace

TLogPane::TLogPane(QPlainTextEdit* pane) : QObject(pane), pane(pane) {
    // A pane that was never shown lays its text out at an unlimited width, so
    // nothing would wrap. Let it place its viewport from its fixed geometry,
    // then take the text width from the viewport, as showing it would; showing
    // it later repeats the same computation.
    pane->ensurePolished();
    QResizeEvent frame(pane->size(), QSize());
    QCoreApplication::sendEvent(pane, &frame);
    QResizeEvent viewport(pane->viewport()->size(), QSize());
    QCoreApplication::sendEvent(pane->viewport(), &viewport);

    connect(pane->document(), &QTextDocument::contentsChange, this, [this](int, int, int) {
        if (!appending)
            operatorEdited = true;
    });
}

int TLogPane::RowsOf(const QTextBlock& block) const {
    LayoutOf(pane)->ensureBlockLayout(block);
    return block.layout()->lineCount();
}

bool TLogPane::Stale() const {
    return operatorEdited || pane->viewport()->width() != countedWidth ||
           pane->document()->defaultFont() != countedFont;
}

// Only when the operator edited the pane or its width or font changed; each
// append otherwise lays out just the blocks it added.
void TLogPane::RecountAll() {
    blockRows = 0;
    for (QTextBlock block = pane->document()->firstBlock(); block.isValid(); block = block.next())
        blockRows += RowsOf(block);
    operatorEdited = false;
    countedWidth = pane->viewport()->width();
    countedFont = pane->document()->defaultFont();
}

int TLogPane::DisplayedRows() {
    if (Stale())
        RecountAll();
    const QTextBlock last = pane->document()->lastBlock();
    return blockRows - (last.length() <= 1 ? RowsOf(last) : 0);
}

void TLogPane::AppendLines(const QString& lines) {
    if (Stale())
        RecountAll();
    QString text = lines;
    // The status reports separate their lines with a lone CR. The pane shows
    // it as a line break, and so it counts as one toward the row limit.
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text += QLatin1Char('\n');

    QTextDocument* document = pane->document();
    QTextBlock first = document->lastBlock();
    if (first.length() > 1)
        text.prepend(QLatin1Char('\n'));
    const int firstRows = RowsOf(first);

    appending = true;
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    appending = false;

    blockRows -= firstRows;
    for (QTextBlock block = first; block.isValid(); block = block.next())
        blockRows += RowsOf(block);

    QScrollBar* bar = pane->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void TLogPane::Clear() {
    appending = true;
    pane->clear();
    appending = false;
    RecountAll();
}
