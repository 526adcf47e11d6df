// The real window, offscreen, on a Config.ini in a temporary folder, talking
// to a meter-sim gateway on 127.0.0.1. Waits are shortened through the
// window's seam; the clock is fixed so log entries can be compared whole.
#pragma once

#include "MeterSimProcess.h"
#include "UMain.h"
#include "ui_UMain.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

// One log entry: its title and its message as the pane shows it.
struct LogEntry {
    QString title;
    QString message;
    bool operator==(const LogEntry&) const = default;
};
void PrintTo(const LogEntry& entry, std::ostream* out);

// A text as the panes show it: a lone CR becomes a line break.
QString Shown(const std::string& text);
LogEntry Entry(const std::string& title, const std::string& message);
// Several result-list lines as the list shows them, one under the other.
QString Lines(std::initializer_list<std::string> lines);
// Log entries of several steps, in order.
std::vector<LogEntry> Concat(std::initializer_list<std::vector<LogEntry>> parts);

// A meter-bus frame with the FE preamble: the address as typed (12 digits),
// the control code and the data field in wire form, all hex.
std::string Frame(const std::string& address, const std::string& control,
                  const std::string& wireData);

class NetworkTab : public testing::Test {
  protected:
    static constexpr int kReadMs = 400;
    static constexpr int kValveMs = 600;

    void SetUp() override;
    void TearDown() override;

    // Starts meter-sim's gateway (extra arguments after the default bus).
    void StartSim(const std::vector<std::string>& args = {});
    // The window, its port box pointing at the gateway (or at port).
    TForm1& Open(int port = -1);
    // Opens the window when needed and connects; the connection must succeed.
    void Connect();
    void SetAddresses(const QStringList& lines);

    std::vector<LogEntry> Log() const;
    // The entries written since Mark() was taken.
    size_t Mark() const { return Log().size(); }
    std::vector<LogEntry> LogSince(size_t mark) const;
    QString Results() const;
    bool CommandButtonsEnabled() const;

    TForm1& form() { return *window; }

    QTemporaryDir folder;
    QStringList errors;  // what the error box would have shown: title + "|" + text
    std::unique_ptr<MeterSimProcess> sim;
    std::unique_ptr<TForm1> window;
};
