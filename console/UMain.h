// The console's one window: both link tabs, the meter-model selector, the
// clock, the status bar and the log pane. The handlers of the serial and
// network tabs live in UMainSerial.cpp and UMainNetwork.cpp.
#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "SerialDiagnosis.h"
#include "SerialDiscovery.h"
#include "TcpClient.h"

struct TcpExchangeResult;

namespace Ui {
class TForm1;
}
class QPushButton;
class QTimer;
class TLogPane;
class TResultsRecord;
class TSessionLog;
struct MeterResult;

// Put into both password fields at start-up and whenever the model changes.
inline const QString DefaultMeterPassword = QStringLiteral("250913");

// The clock and log time stamp: 2024年01月19日 15:30:00 (local time).
QString FormatLocalDateTime(const QDateTime& moment);
// The window caption for an executable last written at the given moment.
QString CaptionForVersion(const QDateTime& executableWritten);
// Serial tab: why a port did not open, for the operator in status panel 1,
// from the system's error number; empty for 0 (no reason known).
QString SerialOpenFailureReason(int systemError);
// The same from what the system told about the failure, with the remedy
// (who holds the device, which group to join, brltty, ModemManager).
QString SerialOpenFailureReason(const SerialOpenDiagnosis& diagnosis, int systemError);

class TForm1 : public QWidget {
    Q_OBJECT

  public:
    // configPath empty: Config.ini beside the executable. stateDir holds
    // logs/ and results/; empty: the console's state folder, or the folder
    // of configPath when one is given (the console's files stay together).
    explicit TForm1(const QString& configPath = QString(), QWidget* parent = nullptr,
                    const QString& stateDir = QString());
    ~TForm1() override;

    // The controls of UMain.ui, each under its own name (ui->edtAddr, ...).
    std::unique_ptr<Ui::TForm1> ui;
    // Ticks every second from the moment the window exists.
    QTimer* Timer1;
    // The gateway connection of the network tab.
    TcpClient TcpClient1;
    // The network tab's fixed reply waits; tests shorten them.
    struct NetworkWaits {
        int readMs = 3000;
        int valveMs = 10000;
    };
    NetworkWaits networkWaits;
    // Source of "now" for the clock and the log; tests may fix it.
    std::function<QDateTime()> clock = [] { return QDateTime::currentDateTime(); };

    // Where device discovery looks; tests point new windows at fake trees.
    static SerialDiscoveryRoots deviceRoots;
    // What the open-failure diagnosis reads; tests replace it.
    std::function<DiagnosisSources()> diagnosisSources = [] { return SystemDiagnosisSources(); };
    // Reads the device tree again and refreshes edtComDevice (also every second).
    void RefreshSerialDevices();
    const std::vector<SerialDeviceInfo>& SerialDevices() const { return deviceWatch.Devices(); }
    // Shows a folder in the desktop's file manager; tests replace it.
    std::function<void(const QString& folder)> openFolder;

    static QString DefaultConfigPath();
    QString ConfigPath() const { return configPath; }
    // The folder that holds logs/ and results/.
    QString StateDir() const { return stateDir; }
    QString SessionLogPath(const QDate& day) const;
    QString ResultsPath(const QDate& day) const;

    // Operations shared by the handlers.
    bool ModelSupportsValve() const;
    void DisableCommandButtons();
    void EnableCommandButtons();
    // Kind 0 creation, 1 last write, 2 last access, as local time rounded down
    // to two seconds; 30 December 1899 00:00 when nothing is found at path.
    static QDateTime FileDateTime(const QString& path, int kind);
    void AppendLog(const QString& message, const QString& title);
    // One line at the end of the network tab's result list (both tabs write it).
    void AppendResultLine(const std::string& line);
    // One row of today's results record.
    void RecordResult(const MeterResult& result);
    void LoadSettings();
    void SaveSettings();

  public slots:
    void FormCreate();
    void FormClose();
    void Timer1Timer();
    void cbWaterTypeChange();

    // Serial tab (UMainSerial.cpp).
    void btnOpenCOMClick();
    void btnReadAddrCOMClick();
    void btnOpenValveCOMClick();
    void btnCloseValveCOMClick();
    void btnGetValveStateCOMClick();
    void btnGetDataCOMClick();
    void Button2Click();
    void edtComDeviceChange(int index);
    // edtComName changed: show what the selected port resolves to.
    void ShowComDevice();
    // The open device went away: close the port and say so.
    void SerialPortGone();

    // Network tab (UMainNetwork.cpp).
    void btnOpenTCPClick();
    void btnReadAddrTCPClick();
    void btnGetDataTCPClick();
    void btnGetValveStateTCPClick();
    void btnOpenValveTCPClick();
    void btnCloseValveTCPClick();
    void btnStopTCPClick();
    void Button1Click();

    // Status panel 2: where today's log and results go.
    void sStatusBar1Panel2Click();

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Network tab (UMainNetwork.cpp): the four batch operations differ only
    // in the parameters a NetworkBatch holds.
    struct NetworkBatch;
    void RunNetworkBatch(const NetworkBatch& batch);
    // Serves one address line; false ends the batch. served is its record
    // as far as it is known.
    bool ServeAddress(const NetworkBatch& batch, const QString& line);
    bool ServeAddress(const NetworkBatch& batch, const QString& line, MeterResult& served);
    void ShowNetworkResult(const MeterResult& result);
    void LogSkipped(const TcpExchangeResult& result, const QString& title);
    void ShowLinkDownIfClosed();
    // Network work in progress: keeps the window painting while the gateway
    // client waits and holds the operator's input until the work ends. Null
    // when none runs.
    class NetworkWork;
    NetworkWork* networkWork = nullptr;
    // True when network work is running: the handler then runs after it.
    bool DeferWhileNetworkBusy(void (TForm1::*handler)());

    void BindEvents();
    QList<QPushButton*> CommandButtons() const;
    // Panel 2's text and tip for the day of this moment.
    void ShowRecordFolders(const QDate& day);
    // Panel 1 tells the operator once when a record cannot be written.
    void NoteRecordFailure(bool& noted, const QString& what, const QString& path);

    QString configPath;
    bool configPathIsDefault;
    TLogPane* logPane = nullptr;
    SerialDeviceWatch deviceWatch;
    QTimer* deviceTimer = nullptr;
    // Devices the operator picked in edtComDevice, saved to [Ports] at close.
    std::map<int, std::string> chosenPorts;
    QString stateDir;
    std::unique_ptr<TSessionLog> sessionLog;
    std::unique_ptr<TResultsRecord> resultsRecord;
    bool sessionLogFailureNoted = false;
    bool resultsFailureNoted = false;
    QDate shownRecordDay;
    // Host as read from Config.ini and as the field showed it. Bytes that are
    // not UTF-8, or more than the field holds, do not survive the field, so
    // a field left as loaded saves them as they were.
    std::optional<std::string> loadedHostBytes;
    QString loadedHostText;
};
