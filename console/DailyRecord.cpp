#include "DailyRecord.h"

#include "ResultRecord.h"

#include <QDir>

TDailyFile::TDailyFile(QString folder, QString suffix, QByteArray preamble)
    : folder(std::move(folder)), suffix(std::move(suffix)), preamble(std::move(preamble)) {}

QString TDailyFile::PathFor(const QDate& day) const {
    return folder + u'/' + day.toString(QStringLiteral("yyyy-MM-dd")) + suffix;
}

bool TDailyFile::OpenFor(const QDate& day) {
    // A file removed or moved away meanwhile would swallow the entries
    // unseen: start a new one where the operator looks.
    if (file.isOpen() && openDay == day && QFile::exists(file.fileName()))
        return true;
    file.close();
    openDay = QDate();
    if (!QDir().mkpath(folder))
        return false;
    file.setFileName(PathFor(day));
    // Unbuffered: each write goes straight to the system, where a killed
    // process cannot lose it.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return false;
    openDay = day;
    return true;
}

bool TDailyFile::Append(const QDate& day, const QByteArray& bytes) {
    if (!OpenFor(day))
        return false;
    const qint64 before = file.size();
    // A new file gets its preamble in the same write as its first entry.
    const QByteArray whole = before == 0 ? preamble + bytes : bytes;
    if (file.write(whole) == whole.size())
        return true;
    // Disk full or the like: take back what went in, and try afresh next time.
    file.resize(before);
    file.close();
    openDay = QDate();
    return false;
}

QString PaneLineBreaks(QString text) {
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(u'\r', u'\n');
    return text;
}

bool TSessionLog::Append(const QDateTime& moment, const QString& header, const QString& message) {
    return file.Append(moment.date(),
                       (header + u'\n' + PaneLineBreaks(message) + QLatin1String("\n\n")).toUtf8());
}

TResultsRecord::TResultsRecord(const QString& folder)
    : file(folder, QStringLiteral(".csv"),
           QByteArray("\xEF\xBB\xBF") + kResultCsvHeader + QByteArray("\r\n")) {}

bool TResultsRecord::Append(const QDateTime& moment, const MeterResult& result) {
    const std::string time = moment.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")).toStdString();
    return file.Append(moment.date(),
                       QByteArray::fromStdString(ResultCsvRow(result, time) + "\r\n"));
}
