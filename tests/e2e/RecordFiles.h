// Reading back the console's results record in the tests.
#pragma once

#include <QFile>
#include <QString>

#include <string>
#include <vector>

namespace records {
inline const std::string kBom = "\xEF\xBB\xBF";

// The file's bytes; empty when there is none.
inline std::string FileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll().toStdString();
}

// The rows after the BOM and the header, each without its CR LF; the
// header check fails the test when they are not what a new file starts with.
inline std::vector<std::string> CsvRows(const QString& path, bool* headerOk = nullptr) {
    const std::string bytes = FileBytes(path);
    const std::string start =
        kBom + "time,tab,operation,address,outcome,reading_t,status,valve,failure_code,reply\r\n";
    if (headerOk)
        *headerOk = bytes.compare(0, start.size(), start) == 0;
    std::vector<std::string> rows;
    if (bytes.size() <= start.size())
        return rows;
    size_t at = start.size();
    while (at < bytes.size()) {
        const size_t end = bytes.find("\r\n", at);
        if (end == std::string::npos) {
            rows.push_back(bytes.substr(at) + "<no CR LF>");
            break;
        }
        rows.push_back(bytes.substr(at, end - at));
        at = end + 2;
    }
    return rows;
}
}  // namespace records
