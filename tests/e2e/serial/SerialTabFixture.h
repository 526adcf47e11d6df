// The serial tab end to end: the real window (offscreen) on a Config.ini in a
// temporary folder whose [Ports] maps COM1 to a meter-sim pty, a fixed clock
// for the log, and the error box replaced by a recorder.
#pragma once

#include "MeterSimProcess.h"
#include "UMain.h"
#include "ui_UMain.h"

#include <QSocketNotifier>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

// One log entry as the pane shows it. A CR in a message shows as a line
// break, so the expected message is given with CRs and compared as shown.
struct LogEntry {
    LogEntry(const QString& title, const QString& message);
    QString title;
    QString message;
    bool operator==(const LogEntry& other) const = default;
};
void PrintTo(const LogEntry& entry, std::ostream* out);

// A far end that answers every request with one fixed reply: for replies
// the simulator never sends. Runs on the main loop, so it answers while the
// window's exchange waits.
class ScriptedMeter {
  public:
    explicit ScriptedMeter(const std::string& replyHex);
    ~ScriptedMeter();
    ScriptedMeter(const ScriptedMeter&) = delete;
    ScriptedMeter& operator=(const ScriptedMeter&) = delete;

    const std::string& Path() const { return path_; }
    const QStringList& Requests() const { return requests_; }

  private:
    void Answer();

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::string reply_;
    std::string pending_;
    QStringList requests_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

class SerialTabTest : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Closes the port and drops the window and the simulator, for the next
    // case of a table.
    void Reset();

    // meter-sim (always --verbose, so requests can be counted) with extra
    // arguments, and the window with COM1 mapped to its pty.
    void StartSim(const std::vector<std::string>& simArgs = {});
    // The window on a Config.ini holding `config` after a [COM] section
    // with the reply time-out.
    TForm1& OpenWindow(const std::string& config, int timeout = 1000);
    // StartSim + OpenWindow + a successful click on btnOpenCOM; the log is
    // marked, so NewLog() holds only what follows. A silent meter costs a
    // whole time-out, so that one is short; answers get room for a busy machine.
    void StartWithOpenPort(const std::vector<std::string>& simArgs = {});

    std::vector<LogEntry> Log() const;
    std::vector<LogEntry> NewLog() const;
    void MarkLog() { logMark = Log().size(); }
    QStringList ResultLines() const;
    // Requests the simulator has received so far.
    int SimRequests() const;
    // The enabled state of the ten command buttons, in their order.
    std::vector<bool> CommandButtonStates() const;
    static std::vector<bool> AllCommandButtons(bool enabled) {
        return std::vector<bool>(10, enabled);
    }
    // Runs `action` after `ms`, from the event loop of whatever wait is
    // running then (the exchange's, when a click is waiting for a reply).
    static void During(int ms, std::function<void()> action);

    Ui::TForm1& ui() { return *window->ui; }

    int timeoutMs = 1000;  // what StartWithOpenPort gives a meter that answers
    static constexpr int kSilentTimeoutMs = 200;
    QTemporaryDir folder;
    QStringList errors;  // what the error box would have shown, title + "|" + text
    std::unique_ptr<MeterSimProcess> sim;
    std::unique_ptr<TForm1> window;
    size_t logMark = 0;
};
