// Figure 4, first half: the cost of one AppendLog on the real window's log
// pane (offscreen), with the entries of a read reading, some of them wrapped
// or several lines long, each also written to the session log on disk. The pane cycles between
// empty and its 200-row limit; the budget figure is the median over the entries written while it
// held 150 rows or more. The baseline is Qt's own bounded log: appendPlainText on a QPlainTextEdit
// of the same size and font with a block limit.
#include "BenchReport.h"
#include "DailyRecord.h"
#include "GbenchRows.h"
#include "MeterCommands.h"
#include "TApplication.h"
#include "UMain.h"
#include "ui_UMain.h"

#include <QFileInfo>
#include <QPlainTextDocumentLayout>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextLayout>

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {
constexpr int kFullRows = 150;
constexpr double kBudgetUs = 100;

struct Entry {
    QString message;
    QString title;
};

std::vector<Entry> ReadingEntries() {
    const QString title = QStringLiteral("读表数据");
    const std::string reply = kCannedReadingReply;
    return {
        {QStringLiteral("Tx ->FEFEFE6805913130020068010243C3D216"), title},
        {QString::fromStdString("Rx <-" + reply), QString()},
        {QStringLiteral("表数读取成功！ 00001100"), title},
        {QString::fromStdString("表数读取成功: " + StatusReport(0x04, true)), title},
        {QString::fromStdString(ChecksumErrorText(reply + reply, "9B", "9C")), title},
    };
}

// Rows as the pane shows them, counted apart from the console's own count.
int RowsOnScreen(QPlainTextEdit* pane) {
    auto* layout = qobject_cast<QPlainTextDocumentLayout*>(pane->document()->documentLayout());
    int rows = 0;
    for (QTextBlock block = pane->document()->firstBlock(); block.isValid(); block = block.next()) {
        layout->ensureBlockLayout(block);
        rows += block.layout()->lineCount();
    }
    return rows;
}

// Built on first use and released before the application object goes.
std::unique_ptr<QTemporaryDir> folder;
std::unique_ptr<TForm1> window;
std::unique_ptr<QPlainTextEdit> boundedPane;

TForm1& Window() {
    if (!window) {
        folder = std::make_unique<QTemporaryDir>();
        window = std::make_unique<TForm1>(folder->filePath(QStringLiteral("Config.ini")));
        window->show();
        QCoreApplication::processEvents();
    }
    return *window;
}

QPlainTextEdit& BoundedLog() {
    std::unique_ptr<QPlainTextEdit>& pane = boundedPane;
    if (!pane) {
        QPlainTextEdit* mmo = Window().ui->mmo;
        pane = std::make_unique<QPlainTextEdit>();
        pane->setFont(mmo->font());
        pane->setFixedSize(mmo->size());
        pane->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        // Three blocks an entry: about the same 200 rows as the console's limit.
        pane->setMaximumBlockCount(200);
        pane->show();
        QCoreApplication::processEvents();
    }
    return *pane;
}

template <class Append>
void TimeEntries(benchmark::State& state, QPlainTextEdit* pane, Append append, bool paint) {
    const std::vector<Entry> entries = ReadingEntries();
    std::vector<double> all, full, emptying;
    size_t next = 0;
    int rowsBefore = RowsOnScreen(pane);
    for (auto _ : state) {
        const Entry& entry = entries[next++ % entries.size()];
        const auto start = BenchClock::now();
        append(entry);
        if (paint)
            QCoreApplication::processEvents();
        const double us = MillisecondsBetween(start, BenchClock::now()) * 1000;
        state.SetIterationTime(us / 1e6);
        all.push_back(us);
        if (rowsBefore >= kFullRows)
            full.push_back(us);
        const int rowsAfter = RowsOnScreen(pane);
        if (rowsAfter < rowsBefore)
            emptying.push_back(us);
        rowsBefore = rowsAfter;
    }
    state.counters["median_us_full"] = Median(full);
    state.counters["median_us_all"] = Median(all);
    state.counters["p99_us"] = Quantile(all, 0.99);
    state.counters["max_us"] = Quantile(all, 1.0);
    state.counters["emptying_us"] = Median(emptying);
    state.counters["full_entries"] = double(full.size());
}

void BM_AppendLog(benchmark::State& state) {
    TForm1& window = Window();
    TimeEntries(
        state, window.ui->mmo, [&](const Entry& e) { window.AppendLog(e.message, e.title); },
        false);
}

// The same entry and the repaint that shows it, as between two serial
// operations when the event loop runs.
void BM_AppendLogAndPaint(benchmark::State& state) {
    TForm1& window = Window();
    TimeEntries(
        state, window.ui->mmo, [&](const Entry& e) { window.AppendLog(e.message, e.title); }, true);
}

// The session log's share: one entry written through to its file.
void BM_SessionLogAppend(benchmark::State& state) {
    Window();
    TSessionLog log(folder->filePath(QStringLiteral("alone")));
    const std::vector<Entry> entries = ReadingEntries();
    std::vector<double> all;
    size_t next = 0;
    for (auto _ : state) {
        const Entry& entry = entries[next++ % entries.size()];
        const QDateTime now = QDateTime::currentDateTime();
        const auto start = BenchClock::now();
        const QString header = entry.title + u'[' + FormatLocalDateTime(now) + u']';
        if (!log.Append(now, header, entry.message))
            state.SkipWithError("the session log could not be written");
        const double us = MillisecondsBetween(start, BenchClock::now()) * 1000;
        state.SetIterationTime(us / 1e6);
        all.push_back(us);
    }
    state.counters["median_us_all"] = Median(all);
}

void BM_QtBoundedLog(benchmark::State& state) {
    QPlainTextEdit& pane = BoundedLog();
    TimeEntries(
        state, &pane,
        [&](const Entry& e) {
            pane.appendPlainText(e.title + u'[' +
                                 FormatLocalDateTime(QDateTime::currentDateTime()) + u']');
            pane.appendPlainText(e.message);
            pane.appendPlainText(QString());
        },
        false);
}

void Register() {
    for (auto* bench : {benchmark::RegisterBenchmark("BM_AppendLog", BM_AppendLog),
                        benchmark::RegisterBenchmark("BM_AppendLogAndPaint", BM_AppendLogAndPaint),
                        benchmark::RegisterBenchmark("BM_SessionLogAppend", BM_SessionLogAppend),
                        benchmark::RegisterBenchmark("BM_QtBoundedLog", BM_QtBoundedLog)})
        bench->UseManualTime()->Iterations(2000)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(
            benchmark::kMicrosecond);
}
}  // namespace

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    TApplication::SetErrorBox([](const QString&, const QString& text) {
        std::fprintf(stderr, "error box: %s\n", text.toStdString().c_str());
    });
    benchmark::Initialize(&argc, argv);
    Register();
    MedianCollector runs;
    benchmark::RunSpecifiedBenchmarks(&runs);
    // The entries the window wrote must all be in its session log.
    const QString sessionLog = window ? window->SessionLogPath(QDate::currentDate()) : QString();
    const qint64 logged = sessionLog.isEmpty() ? 0 : QFileInfo(sessionLog).size();
    boundedPane.reset();
    window.reset();
    folder.reset();

    const char figure[] =
        "AppendLog on a full pane, wrapped entries, session log on: median per entry";
    const double full = runs.Counter("BM_AppendLog", "median_us_full");
    if (!runs.Find("BM_AppendLog") || full <= 0) {
        EmitNotMeasured("4a", figure, "<= 100 us", runs.Error("BM_AppendLog"));
        return 1;
    }
    if (logged <= 0) {
        EmitNotMeasured("4a", figure, "<= 100 us", "the session log stayed empty");
        return 1;
    }
    const double fileShare = runs.Counter("BM_SessionLogAppend", "median_us_all");
    const double baseline = runs.Counter("BM_QtBoundedLog", "median_us_full");
    const double p99 = runs.Counter("BM_AppendLog", "p99_us");
    const double emptying = runs.Counter("BM_AppendLog", "emptying_us");
    const double painted = runs.Counter("BM_AppendLogAndPaint", "median_us_full");
    EmitRow({"4a", figure, Fixed(full, 1) + " us", "<= 100 us",
             baseline > 0 ? "Qt appendPlainText " + Fixed(baseline, 1) + " us" : "-",
             Ratio(full, baseline), Verdict(full <= kBudgetUs),
             "p99 " + Fixed(p99, 0) + " us; an entry that empties the pane " + Fixed(emptying, 0) +
                 " us; with the repaint " + Fixed(painted, 0) + " us; the session log's write " +
                 Fixed(fileShare, 1) + " us (" + std::to_string(logged / 1024) + " KiB logged)"});
    return 0;
}
