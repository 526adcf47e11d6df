// The console's records that outlive the window: the session log (every log
// entry, logs/YYYY-MM-DD.log) and the results record (one row per meter
// result, results/YYYY-MM-DD.csv). One file a local day; every entry goes to
// the system as one whole write the moment it is made, so neither the pane
// emptying itself nor the process being killed loses one.
#pragma once

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QString>

struct MeterResult;

// Appends whole entries to the day's file in one folder.
class TDailyFile {
  public:
    // preamble: what a new file starts with (the results' BOM and header).
    TDailyFile(QString folder, QString suffix, QByteArray preamble = {});

    QString Folder() const { return folder; }
    QString PathFor(const QDate& day) const;

    // Appends bytes to the file of that day, creating folder and file when
    // needed. False when they could not be written; a partly written entry
    // is then taken back, so the file never holds half of one.
    bool Append(const QDate& day, const QByteArray& bytes);

  private:
    bool OpenFor(const QDate& day);

    QString folder;
    QString suffix;
    QByteArray preamble;
    QFile file;
    QDate openDay;
};

// logs/: each entry as the pane shows it, header, message and empty line.
class TSessionLog {
  public:
    explicit TSessionLog(const QString& folder) : file(folder, QStringLiteral(".log")) {}
    QString PathFor(const QDate& day) const { return file.PathFor(day); }
    // header and message as AppendLog writes them; the day is the stamp's.
    bool Append(const QDateTime& moment, const QString& header, const QString& message);

  private:
    TDailyFile file;
};

// results/: one CSV row per meter result, UTF-8 with a byte-order mark.
class TResultsRecord {
  public:
    explicit TResultsRecord(const QString& folder);
    QString PathFor(const QDate& day) const { return file.PathFor(day); }
    bool Append(const QDateTime& moment, const MeterResult& result);

  private:
    TDailyFile file;
};

// A log text's line breaks as the pane shows them: CR LF and a lone CR
// become LF.
QString PaneLineBreaks(QString text);
