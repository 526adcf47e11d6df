// Click handlers of the network tab: the gateway link and the operations
// that run over it, most of them as a batch over the address list.
#include "FrameCodec.h"
#include "IniFile.h"
#include "MeterCommands.h"
#include "TApplication.h"
#include "TcpExchange.h"
#include "UMain.h"
#include "ui_UMain.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QPointer>

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
const QString kAddressEmpty = QStringLiteral("通讯地址为空");

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
// ticks and each entry shows as it is written: events other than the
// operator's input are processed. Qt keeps input from the window system
// queued meanwhile; input that reaches the window by any other way (sent
// straight to a widget) is held here, and all of it is handled once the work
// is over, as if the window had been busy. No handler runs inside another.
class TForm1::NetworkWork : public QObject {
  public:
    explicit NetworkWork(TForm1& form) : form(form) {
        form.networkWork = this;
        qApp->installEventFilter(this);
        form.TcpClient1.SetIdleCallback(
            [] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); });
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

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!IsOperatorInput(event->type()) || !watched->isWidgetType() ||
            static_cast<QWidget*>(watched)->window() != &form)
            return false;
        held.emplace_back(watched, event->clone());
        return true;
    }

  private:
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
    std::string emptyLineText;
    std::string readFailureText;
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
    try {
        // A bus of several meters answers the broadcast all at once: this is
        // for one meter on its own, whose address is not known yet.
        const std::string frame = BuildRequest(Operation::ReadAddress, Tab::Network, "");
        AppendLog(QStringLiteral("Tx ->") + Text(frame), kTitleReadAddress);
        const TcpExchangeResult result = TcpExchange(TcpClient1, frame, networkWaits.readMs, false);
        LogSkipped(result, kTitleReadAddress);
        if (result.readFailure) {
            AppendLog(kAddressFailed, kTitleReadAddress);
            if (!result.linkLost.empty())
                throw ETcpError(result.linkLost);
            return;
        }
        AppendLog(QStringLiteral("Rx <-") + Text(result.reply), kTitleReadAddress);
        const ReplyOutcome outcome =
            DecodeReply(Operation::ReadAddress, Tab::Network, result.reply, "");
        if (outcome.kind == OutcomeKind::ChecksumError) {
            AppendLog(Text(*outcome.logText), kTitleReadAddress);
            return;
        }
        AppendResultLine(outcome.resultLine.value_or(""));
    } catch (const std::exception& e) {
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
                     QStringLiteral("TCP/IP读表数出错 :"), "TCP/IP读表数", "TCP/IP读表数",
                     QStringLiteral("TCP/IP读表数出错"), kTitleReadingResult, QString()});
}

void TForm1::btnGetValveStateTCPClick() {
    if (DeferWhileNetworkBusy(&TForm1::btnGetValveStateTCPClick))
        return;
    const QString title = QStringLiteral("TCP/IP读取阀门状态");
    const QString modelTitle = QStringLiteral("读取阀门状态");
    RunNetworkBatch({Operation::ReadValveState, title, modelTitle, false, false, false,
                     QStringLiteral("TCP/IP读取阀门状态出错 :"), kAddressEmpty.toStdString(),
                     kAddressFailed.toStdString(), kAddressFailed, modelTitle, QString()});
}

void TForm1::btnOpenValveTCPClick() {
    if (DeferWhileNetworkBusy(&TForm1::btnOpenValveTCPClick))
        return;
    const QString title = QStringLiteral("TCP/IP开阀指令");
    RunNetworkBatch({Operation::OpenValve, title, QStringLiteral("开阀"), true, false, true,
                     QStringLiteral("TCP/IP开阀指令出错 :"), kAddressEmpty.toStdString(),
                     kAddressFailed.toStdString(), kAddressFailed, QStringLiteral("直接开阀"),
                     QStringLiteral("开阀")});
}

void TForm1::btnCloseValveTCPClick() {
    if (DeferWhileNetworkBusy(&TForm1::btnCloseValveTCPClick))
        return;
    const QString title = QStringLiteral("TCP/IP直接关阀指令");
    RunNetworkBatch({Operation::CloseValve, title, QStringLiteral("关阀"), true, false, true,
                     QStringLiteral("TCP/IP直接关阀指令出错 :"), kAddressEmpty.toStdString(),
                     kAddressFailed.toStdString(), kAddressFailed, QStringLiteral("直接关阀"),
                     QStringLiteral("关阀")});
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

    NetworkWork work(*this);
    ScopeExit clearProgress([this] { ui->sStatusBar1Panel1->clear(); });
    const QStringList lines = AddressLines(ui->AddrList->toPlainText());
    try {
        for (qsizetype i = 0; i < lines.size(); ++i) {
            // Progress, then the address being served, as written in the list.
            ui->sStatusBar1Panel1->setText(
                QStringLiteral("%1/%2  %3").arg(i + 1).arg(lines.size()).arg(lines[i]));
            if (!ServeAddress(batch, lines[i]))
                break;
        }
    } catch (const std::exception& e) {
        AppendLog(batch.errorPrefix + QString::fromUtf8(e.what()), QString());
    }
    ShowLinkDownIfClosed();
}

bool TForm1::ServeAddress(const NetworkBatch& batch, const QString& line) {
    const std::string address = line.toStdString();
    if (address.empty()) {
        AppendResultLine(ResultLine(address, batch.emptyLineText));
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
        AppendResultLine(ResultLine(address, batch.readFailureText));
        AppendLog(batch.readFailureLog, batch.title);
        // The next addresses would only find the link closed.
        if (!result.linkLost.empty())
            throw ETcpError(result.linkLost);
        return true;
    }
    const std::string& reply = result.reply;
    const QString rxEntry = QStringLiteral("Rx <-") + Text(reply);
    if (batch.rxBeforeCheck)
        AppendLog(rxEntry, batch.title);
    // Fresh texts for every address: an error must show the checksums of the
    // reply it is about, never those of an earlier meter.
    std::string computed, received;
    if (const auto error =
            CheckReplyChecksum(batch.operation, Tab::Network, reply, computed, received)) {
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
