// Click handlers of the network tab: the gateway link and the operations
// that run over it, most of them as a batch over the address list.
#include "FrameCodec.h"
#include "IniFile.h"
#include "MeterCommands.h"
#include "ResultRecord.h"
#include "TApplication.h"
#include "TcpExchange.h"
#include "UMain.h"
#include "ui_UMain.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPointer>
#include <QWindow>

#include <exception>
#include <memory>
#include <utility>
#include <vector>

namespace {
constexpr int kConnectTimeOutMs = 3000;

const QString kCaptionConnect = QStringLiteral("打开链接");
const QString kCaptionDisconnect = QStringLiteral("断开链接");
const QString kNoValve = QStringLiteral("设备不支持此功能");
const QString kTitleReadAddress = QStringLiteral("TCP/IP读通讯地址");
const QString kTitleReading = QStringLiteral("TCP/IP读表数");
const QString kTitleReadingResult = QStringLiteral("TCP/IP读表数据");
const QString kAddressFailed = QStringLiteral("通讯地址出错");

template <class F>
class ScopeExit {
  public:
    explicit ScopeExit(F f) : f(std::move(f)) {}
    ~ScopeExit() { f(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

  private:
    F f;
};

// The hourglass for the whole application while a batch runs.
class BusyCursor {
  public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

// Thrown out of the gateway client's wait when the operator stops a batch.
// Not a std::exception: nothing on the way may take it for a failed wait.
struct BatchStopped {};

// The link went while an address waited; that address's row is written
// already, so the handlers that end the operation must not write another.
struct LinkLost : ETcpError {
    using ETcpError::ETcpError;
};

// The port box is read as the settings file reads its numbers, so a port
// that connects is also the one saved; anything else is a conversion error
// for the error box, before any connection attempt.
int32_t PortFromText(const QString& text) {
    if (const auto port = ParseWholeNumber(text.toStdString()))
        return *port;
    throw EConvertError("'" + text.toStdString() + "' is not a valid integer value");
}

// One line per address; a break after the last line adds no empty line.
QStringList AddressLines(const QString& text) {
    if (text.isEmpty())
        return {};
    QStringList lines = text.split(u'\n');
    if (text.endsWith(u'\n'))
        lines.removeLast();
    return lines;
}
}  // namespace

// While the gateway client waits, the window goes on painting, its clock
// ticks and each entry shows as it is written. The operator's input waits
// until the work is over, as if the window had been busy: no handler runs
// inside another. Input from the window system stays in Qt's queue, or, in
// a batch, is held here with whatever is sent straight to a widget. A batch
// lets one thing through: a click on btnStopTCP or the Esc key, which
// abandon the wait in progress.
class TForm1::NetworkWork : public QObject {
  public:
    explicit NetworkWork(TForm1& form, bool stoppable = false) : form(form), stoppable(stoppable) {
        form.networkWork = this;
        qApp->installEventFilter(this);
        form.TcpClient1.SetIdleCallback([this] {
            // Work that cannot be stopped leaves the window system's input
            // queued where it is. A batch takes it in so that the stop can
            // reach us, and the filter holds the rest.
            QCoreApplication::processEvents(this->stoppable ? QEventLoop::AllEvents
                                                            : QEventLoop::ExcludeUserInputEvents);
            if (stopRequested)
                throw BatchStopped{};
        });
    }
    ~NetworkWork() override {
        form.TcpClient1.SetIdleCallback({});
        qApp->removeEventFilter(this);
        form.networkWork = nullptr;
        for (auto& [target, event] : held)
            if (target)
                QCoreApplication::postEvent(target, event.release());
        for (auto handler : deferred)
            QMetaObject::invokeMethod(
                &form,
                [form = &form, handler] { TApplication::Guard([&] { (form->*handler)(); }); },
                Qt::QueuedConnection);
    }
    NetworkWork(const NetworkWork&) = delete;
    NetworkWork& operator=(const NetworkWork&) = delete;

    void Defer(void (TForm1::*handler)()) { deferred.push_back(handler); }

    void RequestStop() {
        if (stoppable)
            stopRequested = true;
    }
    bool StopRequested() const { return stopRequested; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const QEvent::Type type = event->type();
        if (!IsOperatorInput(type) && !(type == QEvent::MouseMove && Dragging(event)))
            return false;
        if (watched->isWindowType()) {
            // Input from the window system, before the window hands it on.
            if (stoppable && LetThrough(static_cast<QWindow*>(watched), event))
                return StopOrPass(event);
        } else if (watched->isWidgetType() && static_cast<QWidget*>(watched)->window() == &form) {
            if (stoppable && (watched == form.ui->btnStopTCP || IsEscape(event)))
                return StopOrPass(event);
        } else {
            return false;
        }
        Hold(watched, event);
        return true;
    }

  private:
    static bool Dragging(const QEvent* event) {
        return static_cast<const QMouseEvent*>(event)->buttons() != Qt::NoButton;
    }

    static bool IsEscape(const QEvent* event) {
        return (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) &&
               static_cast<const QKeyEvent*>(event)->key() == Qt::Key_Escape;
    }

    // Esc anywhere in the window, and the mouse on the stop button.
    bool LetThrough(QWindow* window, const QEvent* event) const {
        if (window != form.windowHandle())
            return false;
        if (IsEscape(event))
            return true;
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::MouseMove:
                break;
            default:
                return false;
        }
        QPushButton* stop = form.ui->btnStopTCP;
        if (!stop->isEnabled() || !stop->isVisible())
            return false;
        // A press on the button gets its release wherever the mouse went.
        if (stop->isDown() && event->type() == QEvent::MouseButtonRelease)
            return true;
        const QPoint at =
            stop->mapFrom(&form, static_cast<const QMouseEvent*>(event)->position().toPoint());
        return stop->rect().contains(at);
    }

    // Esc stops the batch here and goes no further; the mouse goes on to
    // the button, whose click stops it.
    bool StopOrPass(const QEvent* event) {
        if (!IsEscape(event))
            return false;
        if (event->type() == QEvent::KeyPress)
            RequestStop();
        return true;
    }

    void Hold(QObject* target, const QEvent* event) { held.emplace_back(target, event->clone()); }

    static bool IsOperatorInput(QEvent::Type type) {
        switch (type) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::Wheel:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::Shortcut:
            case QEvent::InputMethod:
            case QEvent::ContextMenu:
            case QEvent::TouchBegin:
            case QEvent::TouchUpdate:
            case QEvent::TouchEnd:
            case QEvent::TabletPress:
            case QEvent::TabletRelease:
                return true;
            default:
                return false;
        }
    }

    TForm1& form;
    const bool stoppable;
    bool stopRequested = false;
    std::vector<std::pair<QPointer<QObject>, std::unique_ptr<QEvent>>> held;
    std::vector<void (TForm1::*)()> deferred;
};

bool TForm1::DeferWhileNetworkBusy(void (TForm1::*handler)()) {
    if (!networkWork)
        return false;
    networkWork->Defer(handler);
    return true;
}

struct TForm1::NetworkBatch {
    Operation operation;
    QString title;            // the Tx, Rx, read-failure and checksum entries
    QString modelCheckTitle;  // empty: every model may run it
    bool valveWait;           // the long wait of the valve writes
    bool dropLoneByte;
    bool rxBeforeCheck;  // the Rx entry goes before the checksum check
    QString errorPrefix;
    QString readFailureLog;
    QString resultTitle;   // the decoded outcome's entries
    QString refusalTitle;  // a refused valve write's entry
};

void TForm1::AppendResultLine(const std::string& line) {
    // Status reports separate their lines with a lone CR; the list shows
    // each on a row of its own, as the log pane does.
    QString text = Text(line);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(u'\r', u'\n');
    ui->sResultList->appendPlainText(text);
}

void TForm1::btnOpenTCPClick() {
    if (DeferWhileNetworkBusy(&TForm1::btnOpenTCPClick))
        return;
    if (TcpClient1.IsOpen()) {
        TcpClient1.Close();
        ui->btnOpenTCP->setText(kCaptionConnect);
        AppendLog(QStringLiteral("TCP/IP链接已关闭"), QString());
        ui->sStatusBar1Panel0->clear();
        return;
    }
    const QString host = ui->edtRemoteHost->text();
    const QString portText = ui->edtRemotePort->text();
    const int32_t port = PortFromText(portText);
    try {
        NetworkWork work(*this);
        TcpClient1.Open(host.toStdString(), port, kConnectTimeOutMs);
        ui->btnOpenTCP->setText(kCaptionDisconnect);
        AppendLog(QStringLiteral("TCP/IP链接成功"), QString());
        ui->sStatusBar1Panel0->setText(QStringLiteral("IP:%1 端口:%2").arg(host, portText));
    } catch (const std::exception&) {
        // The reason is not shown: the operator only needs to know it failed.
        ui->btnOpenTCP->setText(kCaptionConnect);
        AppendLog(QStringLiteral("TCP/IP链接失败"), QString());
    }
}

void TForm1::btnReadAddrTCPClick() {
    if (DeferWhileNetworkBusy(&TForm1::btnReadAddrTCPClick))
        return;
    if (!TcpClient1.IsOpen()) {
        AppendLog(QStringLiteral("TCP/IP：") + ui->edtRemoteHost->text() + QStringLiteral("未链接"),
                  QString());
        return;
    }
    DisableCommandButtons();
    ScopeExit enable([this] { EnableCommandButtons(); });
    NetworkWork work(*this);
    MeterResult record;
    record.tab = Tab::Network;
    record.operation = Operation::ReadAddress;
    record.address = MakeRequest(Operation::ReadAddress, Tab::Network, "").address;
    try {
        // A bus of several meters answers the broadcast all at once: this is
        // for one meter on its own, whose address is not known yet.
        const std::string frame = BuildRequest(Operation::ReadAddress, Tab::Network, "");
        AppendLog(QStringLiteral("Tx ->") + Text(frame), kTitleReadAddress);
        const TcpExchangeResult result = TcpExchange(TcpClient1, frame, networkWaits.readMs, false);
        LogSkipped(result, kTitleReadAddress);
        if (result.readFailure) {
            record.kind = TcpClient1.IsOpen() ? ResultKind::NoAnswer : ResultKind::LinkClosed;
            record.waitFailed = true;
            RecordResult(record);
            AppendLog(kAddressFailed, kTitleReadAddress);
            if (!result.linkLost.empty())
                throw LinkLost(result.linkLost);
            return;
        }
        record.reply = result.reply;
        AppendLog(QStringLiteral("Rx <-") + Text(result.reply), kTitleReadAddress);
        const ReplyOutcome outcome =
            DecodeReply(Operation::ReadAddress, Tab::Network, result.reply, "");
        RecordResult(outcome.result);
        if (outcome.kind == OutcomeKind::ChecksumError) {
            AppendLog(Text(*outcome.logText), kTitleReadAddress);
            return;
        }
        AppendResultLine(outcome.resultLine.value_or(""));
    } catch (const std::exception& e) {
        if (!dynamic_cast<const LinkLost*>(&e)) {
            record.kind = ResultKind::Error;
            RecordResult(record);
        }
        AppendLog(QStringLiteral("TCP/IP读通讯地址出错 :") + QString::fromUtf8(e.what()),
                  QString());
    }
    ShowLinkDownIfClosed();
}

void TForm1::LogSkipped(const TcpExchangeResult& result, const QString& title) {
    if (!result.skipped.empty())
        AppendLog(QStringLiteral("跳过 <-") + Text(result.skipped), title);
}

// A connection found gone mid-operation shows as down, so one click
// reconnects instead of first "disconnecting" a dead link.
void TForm1::ShowLinkDownIfClosed() {
    if (TcpClient1.IsOpen() || ui->btnOpenTCP->text() == kCaptionConnect)
        return;
    ui->btnOpenTCP->setText(kCaptionConnect);
    ui->sStatusBar1Panel0->clear();
}

void TForm1::btnGetDataTCPClick() {
    if (DeferWhileNetworkBusy(&TForm1::btnGetDataTCPClick))
        return;
    RunNetworkBatch({Operation::ReadReading, kTitleReading, QString(), false, true, false,
                     QStringLiteral("TCP/IP读表数出错 :"), QStringLiteral("TCP/IP读表数出错"),
                     kTitleReadingResult, QString()});
}

void TForm1::btnGetValveStateTCPClick() {
    if (DeferWhileNetworkBusy(&TForm1::btnGetValveStateTCPClick))
        return;
    const QString title = QStringLiteral("TCP/IP读取阀门状态");
    const QString modelTitle = QStringLiteral("读取阀门状态");
    RunNetworkBatch({Operation::ReadValveState, title, modelTitle, false, false, false,
                     QStringLiteral("TCP/IP读取阀门状态出错 :"), kAddressFailed, modelTitle,
                     QString()});
}

void TForm1::btnOpenValveTCPClick() {
    if (DeferWhileNetworkBusy(&TForm1::btnOpenValveTCPClick))
        return;
    const QString title = QStringLiteral("TCP/IP开阀指令");
    RunNetworkBatch({Operation::OpenValve, title, QStringLiteral("开阀"), true, false, true,
                     QStringLiteral("TCP/IP开阀指令出错 :"), kAddressFailed,
                     QStringLiteral("直接开阀"), QStringLiteral("开阀")});
}

void TForm1::btnCloseValveTCPClick() {
    if (DeferWhileNetworkBusy(&TForm1::btnCloseValveTCPClick))
        return;
    const QString title = QStringLiteral("TCP/IP直接关阀指令");
    RunNetworkBatch({Operation::CloseValve, title, QStringLiteral("关阀"), true, false, true,
                     QStringLiteral("TCP/IP直接关阀指令出错 :"), kAddressFailed,
                     QStringLiteral("直接关阀"), QStringLiteral("关阀")});
}

void TForm1::RunNetworkBatch(const NetworkBatch& batch) {
    if (!batch.modelCheckTitle.isEmpty() && !ModelSupportsValve()) {
        AppendLog(kNoValve, batch.modelCheckTitle);
        return;
    }
    BusyCursor busy;
    ScopeExit enable([this] { EnableCommandButtons(); });
    if (!TcpClient1.IsOpen()) {
        AppendLog(QStringLiteral("TCP/IP：") + ui->edtRemoteHost->text() + QStringLiteral("未链接"),
                  QString());
        return;
    }
    DisableCommandButtons();
    ui->sResultList->clear();

    NetworkWork work(*this, true);
    ui->btnStopTCP->setEnabled(true);
    ScopeExit disableStop([this] { ui->btnStopTCP->setEnabled(false); });
    ScopeExit clearProgress([this] { ui->sStatusBar1Panel1->clear(); });
    const QStringList lines = AddressLines(ui->AddrList->toPlainText());
    qsizetype served = 0;
    try {
        for (; served < lines.size(); ++served) {
            if (work.StopRequested())
                throw BatchStopped{};
            // Progress, then the address being served, as written in the list.
            ui->sStatusBar1Panel1->setText(
                QStringLiteral("%1/%2  %3").arg(served + 1).arg(lines.size()).arg(lines[served]));
            if (!ServeAddress(batch, lines[served]))
                break;
        }
    } catch (const BatchStopped&) {
        AppendLog(
            QStringLiteral("批量操作已停止：已完成 %1/%2 个地址").arg(served).arg(lines.size()),
            batch.title);
    } catch (const std::exception& e) {
        AppendLog(batch.errorPrefix + QString::fromUtf8(e.what()), QString());
    }
    ShowLinkDownIfClosed();
}

void TForm1::btnStopTCPClick() {
    if (networkWork)
        networkWork->RequestStop();
}

bool TForm1::ServeAddress(const NetworkBatch& batch, const QString& line) {
    MeterResult served;
    served.tab = Tab::Network;
    served.operation = batch.operation;
    served.address = MakeRequest(batch.operation, Tab::Network, line.toStdString()).address;
    // A stop or an error while this address is served still leaves its row.
    try {
        return ServeAddress(batch, line, served);
    } catch (const BatchStopped&) {
        served.kind = ResultKind::Stopped;
        served.waitFailed = false;
        served.reply.clear();
        RecordResult(served);
        throw;
    } catch (const LinkLost&) {
        throw;
    } catch (const std::exception&) {
        served.kind = ResultKind::Error;
        RecordResult(served);
        throw;
    }
}

// Shows and records one result: its result list lines, then its row.
void TForm1::ShowNetworkResult(const MeterResult& result) {
    for (const std::string& text : ResultListLines(result))
        AppendResultLine(text);
    RecordResult(result);
}

bool TForm1::ServeAddress(const NetworkBatch& batch, const QString& line, MeterResult& served) {
    const std::string address = line.toStdString();
    if (address.empty()) {
        served.kind = ResultKind::EmptyAddress;
        ShowNetworkResult(served);
        return true;
    }
    std::string password, level;
    if (batch.operation == Operation::OpenValve || batch.operation == Operation::CloseValve) {
        password = ui->edtTcpPW->text().toStdString();
        level = ui->edtTcpPwLevel->currentText().toStdString();
    }
    const std::string frame = BuildRequest(batch.operation, Tab::Network, address, password, level);
    AppendLog(QStringLiteral("Tx ->") + Text(frame), batch.title);

    const int waitMs = batch.valveWait ? networkWaits.valveMs : networkWaits.readMs;
    const TcpExchangeResult result = TcpExchange(TcpClient1, frame, waitMs, batch.dropLoneByte);
    LogSkipped(result, batch.title);
    if (result.readFailure) {
        // A wait that saw the gateway close the connection closed the client.
        served.kind = TcpClient1.IsOpen() ? ResultKind::NoAnswer : ResultKind::LinkClosed;
        served.waitFailed = true;
        ShowNetworkResult(served);
        AppendLog(batch.readFailureLog, batch.title);
        // The next addresses would only find the link closed.
        if (!result.linkLost.empty())
            throw LinkLost(result.linkLost);
        return true;
    }
    const std::string& reply = result.reply;
    served.reply = reply;
    const QString rxEntry = QStringLiteral("Rx <-") + Text(reply);
    if (batch.rxBeforeCheck)
        AppendLog(rxEntry, batch.title);
    // Fresh texts for every address: an error must show the checksums of the
    // reply it is about, never those of an earlier meter.
    std::string computed, received;
    if (const auto error =
            CheckReplyChecksum(batch.operation, Tab::Network, reply, computed, received)) {
        // An empty reply without a failed wait: the client was found closed.
        served.kind = reply.empty() ? ResultKind::LinkClosed : ResultKind::ChecksumError;
        RecordResult(served);
        AppendLog(Text(*error), batch.title);
        return false;
    }
    if (!batch.rxBeforeCheck)
        AppendLog(rxEntry, batch.title);

    const ReplyOutcome outcome = DecodeReply(batch.operation, Tab::Network, reply, address);
    const QString& title =
        outcome.kind == OutcomeKind::ValveRefused ? batch.refusalTitle : batch.resultTitle;
    if (outcome.resultLine)
        AppendResultLine(*outcome.resultLine);
    if (outcome.logText)
        AppendLog(Text(*outcome.logText), title);
    if (outcome.statusLine)
        AppendResultLine(*outcome.statusLine);
    if (outcome.statusLogText)
        AppendLog(Text(*outcome.statusLogText), title);
    RecordResult(outcome.result);
    return true;
}

void TForm1::Button1Click() {
    if (DeferWhileNetworkBusy(&TForm1::Button1Click))
        return;
    // Whatever happens, the pointer ends as the plain arrow.
    ScopeExit arrow([] {
        while (QApplication::overrideCursor())
            QApplication::restoreOverrideCursor();
    });
    const std::string reply = kCannedReadingReply;
    std::string computed, received;
    if (const auto error =
            CheckReplyChecksum(Operation::ReadReading, Tab::Network, reply, computed, received)) {
        AppendLog(Text(*error), kTitleReading);
        return;
    }
    AppendLog(QStringLiteral("Rx <-") + Text(reply), kTitleReading);
    const ReplyOutcome outcome = DecodeCannedReading(reply);
    if (outcome.resultLine)
        AppendResultLine(*outcome.resultLine);
    if (outcome.logText)
        AppendLog(Text(*outcome.logText), kTitleReadingResult);
    if (outcome.statusLine)
        AppendResultLine(*outcome.statusLine);
    if (outcome.statusLogText)
        AppendLog(Text(*outcome.statusLogText), kTitleReadingResult);
}
