// Click handlers of the serial tab: they read the controls, ask protocol/ for
// the request and the meaning of the reply, run the exchange and route texts.
#include "UMain.h"

#include "DeviceMap.h"
#include "FrameCodec.h"
#include "HexText.h"
#include "IniFile.h"
#include "MeterCommands.h"
#include "ReplyRule.h"
#include "SerialLink.h"
#include "ui_UMain.h"

#include <QAbstractItemView>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QSignalBlocker>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>

namespace {

// What distinguishes the five operations; everything else they share.
struct SerialOperation {
    Operation operation;
    const char* modelTitle;     // nullptr: allowed for every model
    const char* notOpenPrefix;  // two different texts, each where it belongs
    const char* addressTitle;   // nullptr: an empty address asks all meters
    bool locksButtons;
    const char* txTitle;  // also the title of a checksum error
    const char* rxTitle;
    const char* rxPrefix;
    const char* errorPrefix;
    const char* outcomeTitle;  // reading, no answer, or a valve write done
    const char* refusedTitle;  // a valve write the meter refused
};

constexpr SerialOperation kReadAddress{.operation = Operation::ReadAddress,
                                       .modelTitle = nullptr,
                                       .notOpenPrefix = "串口号：",
                                       .addressTitle = nullptr,
                                       .locksButtons = false,
                                       .txTitle = "读通讯地址",
                                       .rxTitle = "读通讯地址",
                                       .rxPrefix = "Rx <-",
                                       .errorPrefix = "读通讯地址出错 :",
                                       .outcomeTitle = "",
                                       .refusedTitle = ""};
constexpr SerialOperation kReadReading{.operation = Operation::ReadReading,
                                       .modelTitle = nullptr,
                                       .notOpenPrefix = "串号口:",
                                       .addressTitle = "读表数据",
                                       .locksButtons = true,
                                       .txTitle = "读表数据",
                                       .rxTitle = "",
                                       .rxPrefix = "Rx <-",
                                       .errorPrefix = "读表数据出错 :",
                                       .outcomeTitle = "读表数据",
                                       .refusedTitle = ""};
constexpr SerialOperation kOpenValve{.operation = Operation::OpenValve,
                                     .modelTitle = "开阀",
                                     .notOpenPrefix = "串号口:",
                                     .addressTitle = "开阀",
                                     .locksButtons = true,
                                     .txTitle = "开阀",
                                     .rxTitle = "开阀",
                                     .rxPrefix = "Rx ->",
                                     .errorPrefix = "开阀出错 :",
                                     .outcomeTitle = "直接开阀",
                                     .refusedTitle = "开阀"};
constexpr SerialOperation kCloseValve{.operation = Operation::CloseValve,
                                      .modelTitle = "关阀",
                                      .notOpenPrefix = "串号口:",
                                      .addressTitle = "直接关阀",
                                      .locksButtons = true,
                                      .txTitle = "直接关阀",
                                      .rxTitle = "直接关阀",
                                      .rxPrefix = "Rx ->",
                                      .errorPrefix = "直接关阀出错 :",
                                      .outcomeTitle = "直接关阀",
                                      .refusedTitle = "关阀"};
constexpr SerialOperation kReadValveState{.operation = Operation::ReadValveState,
                                          .modelTitle = "读取阀门状态",
                                          .notOpenPrefix = "串口号：",
                                          .addressTitle = "读取阀门状态",
                                          .locksButtons = false,
                                          .txTitle = "读取阀门状态",
                                          .rxTitle = "读取阀门状态",
                                          .rxPrefix = "Rx <-",
                                          .errorPrefix = "读取阀门状态出错 :",
                                          .outcomeTitle = "读取阀门状态",
                                          .refusedTitle = ""};

QString Text(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

// Locks the command buttons for the rest of an operation, however it ends.
class CommandButtonLock {
  public:
    CommandButtonLock(TForm1& form, bool lock) : form_(lock ? &form : nullptr) {
        if (form_)
            form_->DisableCommandButtons();
    }
    ~CommandButtonLock() {
        if (form_)
            form_->EnableCommandButtons();
    }
    CommandButtonLock(const CommandButtonLock&) = delete;
    CommandButtonLock& operator=(const CommandButtonLock&) = delete;

  private:
    TForm1* form_;
};

void ShowOutcome(TForm1& form, const SerialOperation& op, const ReplyOutcome& outcome) {
    Ui::TForm1& ui = *form.ui;
    switch (outcome.kind) {
        case OutcomeKind::ChecksumError:
            form.AppendLog(Text(*outcome.logText), op.txTitle);
            break;
        case OutcomeKind::NoAnswer:
            form.AppendLog(Text(*outcome.logText), op.outcomeTitle);
            break;
        case OutcomeKind::Address:
            ui.edtAddr->setText(Text(*outcome.labelText));
            break;
        case OutcomeKind::Reading:
            form.AppendResultLine(*outcome.resultLine);
            form.AppendLog(Text(*outcome.logText), op.outcomeTitle);
            ui.lblDATA->setText(Text(*outcome.labelText));
            if (outcome.statusLine) {
                form.AppendResultLine(*outcome.statusLine);
                form.AppendLog(Text(*outcome.statusLogText), op.outcomeTitle);
            }
            break;
        case OutcomeKind::ValveSuccess:
            form.AppendResultLine(*outcome.resultLine);
            form.AppendLog(Text(*outcome.logText), op.outcomeTitle);
            break;
        case OutcomeKind::ValveRefused:
            form.AppendResultLine(*outcome.resultLine);
            form.AppendLog(Text(*outcome.logText), op.refusedTitle);
            break;
        case OutcomeKind::ValveState:
            ui.lblValveStateCOM->setText(Text(*outcome.labelText));
            break;
        case OutcomeKind::Nothing:
            break;
    }
}

// One request and one reply with the meter whose address is in edtAddr.
void RunSerialOperation(TForm1& form, const SerialOperation& op) {
    Ui::TForm1& ui = *form.ui;
    if (op.operation == Operation::ReadReading)
        ui.lblDATA->clear();
    if (op.modelTitle && !form.ModelSupportsValve()) {
        form.AppendLog(QStringLiteral("设备不支持此功能"), op.modelTitle);
        return;
    }
    if (!PortOpen) {
        form.AppendLog(op.notOpenPrefix + ui.edtComName->currentText() + QStringLiteral("未打开"),
                       QString());
        return;
    }
    const std::string address = ui.edtAddr->text().toStdString();
    MeterResult record;
    record.tab = Tab::Serial;
    record.operation = op.operation;
    record.address = MakeRequest(op.operation, Tab::Serial, address).address;
    if (op.addressTitle && TrimBlanks(address).empty()) {
        form.AppendLog(QStringLiteral("请填写水表地址 "), op.addressTitle);
        record.kind = ResultKind::EmptyAddress;
        form.RecordResult(record);
        return;
    }

    const CommandButtonLock lock(form, op.locksButtons);
    // A frame the builder rejects is logged by the builder and comes back
    // empty; sending nothing then ends like an unanswered request.
    const std::string frame =
        BuildRequest(op.operation, Tab::Serial, address, ui.edtPW->text().toStdString(),
                     ui.edtPWLevel->currentText().toStdString());
    try {
        form.AppendLog(QStringLiteral("Tx ->") + Text(frame), op.txTitle);
        // Only this meter's reply frame ends the wait; an echo of the
        // request, other meters' frames and noise in front of it are shown
        // on their own and kept out of the reply.
        const ReplyRule rule = ReplyRule::ForRequest(HexTextToBytes(frame));
        std::string received;
        const int result = SerialExchange(
            frame, received, [rule](std::string_view bytes) { return rule.ReplyEnd(bytes); });
        const ReceivedSplit split = SplitReceived(HexTextToBytes(received), rule);
        const std::string reply = BytesToHexText(split.reply);
        if (result == -1)
            form.AppendLog(QStringLiteral("串号口:") + ui.edtComName->currentText() +
                               QStringLiteral("正忙..."),
                           QString());
        else if (result == 1)
            form.AppendLog(QStringLiteral("读取数据超时..."), QString());
        else if (result == 2)
            form.SerialPortGone();
        record.reply = reply;
        if (!split.skipped.empty())
            form.AppendLog(QStringLiteral("跳过 <-") + Text(BytesToHexText(split.skipped)),
                           op.rxTitle);
        form.AppendLog(op.rxPrefix + Text(reply), op.rxTitle);
        const ReplyOutcome outcome = DecodeReply(op.operation, Tab::Serial, reply, address);
        ShowOutcome(form, op, outcome);
        record = outcome.result;
        // What the exchange saw decides over what an empty reply decodes to.
        if (result == 1 && reply.empty()) {
            record.kind = ResultKind::NoAnswer;
            record.waitFailed = true;
        } else if (result == 2 && reply.empty()) {
            // The adapter went away: the line, not the meter, failed.
            record.kind = ResultKind::LinkClosed;
            record.waitFailed = true;
        } else if (result == -1) {
            record.kind = ResultKind::Error;
        }
        form.RecordResult(record);
    } catch (const std::exception& e) {
        form.AppendLog(op.errorPrefix + Text(e.what()), QString());
        record.kind = ResultKind::Error;
        form.RecordResult(record);
    }
}

// The integer rule of the settings file; anything else is the operator's
// typing error and goes to the error box.
int ToInteger(const QString& text) {
    const std::string utf8 = text.toStdString();
    const auto value = ParseWholeNumber(utf8);
    if (!value)
        throw EConvertError("'" + utf8 + "' is not a valid integer value");
    return *value;
}

QString OpenFailureText(int openResult, int portNumber, const QString& device,
                        const DiagnosisSources& sources) {
    const QString port = QStringLiteral("COM%1").arg(portNumber);
    if (openResult == 1)
        return port + QStringLiteral(" 打开失败：上一次通讯尚未结束，请稍后再试");
    const QString reason = SerialOpenFailureReason(
        DiagnoseOpenFailure(QFile::encodeName(device).toStdString(), OpenFailureErrno, sources),
        OpenFailureErrno);
    return port + QStringLiteral(" → ") + device + QStringLiteral(" 打开失败") +
           (reason.isEmpty() ? QString() : QStringLiteral("：") + reason);
}

}  // namespace

QString SerialOpenFailureReason(const SerialOpenDiagnosis& d, int systemError) {
    using Kind = SerialOpenDiagnosis::Kind;
    QString reason;
    const QString group = QString::fromStdString(d.group);
    if (d.kind == Kind::Busy && d.holderPid > 0) {
        reason = QStringLiteral("串口被其他程序占用：%1（进程号 %2）正在使用该串口，请先关闭该程序")
                     .arg(QString::fromStdString(d.holderName))
                     .arg(d.holderPid);
    } else if (d.kind == Kind::Permission && !group.isEmpty() && d.userListed &&
               !d.sessionHasGroup) {
        reason = QStringLiteral(
                     "没有访问权限：用户 %1 已在 %2 "
                     "组中，但本次登录尚未生效：请注销后重新登录（或重启电脑）")
                     .arg(QString::fromStdString(d.user), group);
    } else if (d.kind == Kind::Permission && !group.isEmpty() && !d.userListed) {
        reason =
            QStringLiteral(
                "没有访问权限，当前用户不在 %1 组：请执行 sudo usermod -aG %1 $USER 后重新登录")
                .arg(group);
    } else if (d.kind == Kind::Permission && !group.isEmpty() && d.sessionHasGroup) {
        reason = QStringLiteral(
                     "没有访问权限：本次登录已在 %1 组中，但该设备不允许此组读写："
                     "请检查设备文件的权限")
                     .arg(group);
    } else {
        reason = SerialOpenFailureReason(systemError);
    }
    if (d.brltty)
        reason += QStringLiteral(
            "；适配器插入后随即消失，系统装有 brltty（它会把 CH340/CH341 "
            "等适配器当作盲文显示器占用）："
            "请执行 sudo apt remove brltty，或 sudo systemctl mask "
            "brltty-udev.service，然后重新插入适配器");
    if (d.modemManager)
        reason += QStringLiteral(
            "；ModemManager 正在运行，它会在 ttyACM 设备插入后探测该设备：请稍等几秒再打开，"
            "或执行 sudo systemctl stop ModemManager");
    return reason;
}

QString SerialOpenFailureReason(int systemError) {
    switch (systemError) {
        case 0:
            return QString();
        case EACCES:
        case EPERM:
            return QStringLiteral(
                "没有访问权限，当前用户不在 dialout 组：请执行 sudo usermod -aG dialout $USER "
                "后重新登录");
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return QStringLiteral(
                "设备不存在：请检查串口线或 USB 转串口适配器，或在 Config.ini 的 [Ports] "
                "中指定设备");
        case EBUSY:
        case EWOULDBLOCK:
            return QStringLiteral("串口被其他程序占用：请先关闭占用该串口的程序");
        case ENOTTY:
            return QStringLiteral("不是串口设备");
        default:
            return QString::fromLocal8Bit(std::strerror(systemError));
    }
}

void TForm1::btnOpenCOMClick() {
    // The caption follows the port, also when a conversion error escapes.
    struct CaptionUpdate {
        Ui::TForm1& ui;
        ~CaptionUpdate() {
            if (PortOpen) {
                ui.btnOpenCOM->setText(QStringLiteral("关闭串口"));
                ui.sStatusBar1Panel0->setText(QStringLiteral("串口号:COM%1  波特率:%2")
                                                  .arg(ui.edtComName->currentIndex() + 1)
                                                  .arg(ui.edtBTL->currentText()));
            } else {
                ui.btnOpenCOM->setText(QStringLiteral("打开串口"));
            }
        }
    } captionUpdate{*ui};

    const QString port = QStringLiteral("串口号：") + ui->edtComName->currentText();
    if (PortOpen) {
        CloseSerialPort();
        ui->sStatusBar1Panel1->clear();
        AppendLog(port + (PortOpen ? QStringLiteral("关闭失败！") : QStringLiteral("关闭成功！")),
                  QString());
        return;
    }

    ui->sStatusBar1Panel1->clear();
    const int timeout = ToInteger(ui->edtDelay->text());
    const int baudRate = ToInteger(ui->edtBTL->currentText());
    const int portNumber = ui->edtComName->currentIndex() + 1;
    const int result = OpenSerialPort(portNumber, baudRate, timeout);
    const QString device =
        QString::fromLocal8Bit(ResolveSerialDevice("COM" + std::to_string(portNumber)));
    if (PortOpen) {
        AppendLog(port + QStringLiteral("打开成功！"), QString());
        ui->sStatusBar1Panel1->setText(QStringLiteral("COM%1 → ").arg(portNumber) + device);
    } else {
        AppendLog(port + QStringLiteral("打开失败！"), QString());
        DiagnosisSources sources = diagnosisSources();
        sources.sawShortLivedDevice =
            sources.sawShortLivedDevice || deviceWatch.SawShortLivedDevice();
        ui->sStatusBar1Panel1->setText(OpenFailureText(result, portNumber, device, sources));
    }
}

void TForm1::SerialPortGone() {
    if (!PortOpen)
        return;
    const int portNumber = ui->edtComName->currentIndex() + 1;
    CloseSerialPort();
    ui->btnOpenCOM->setText(PortOpen ? QStringLiteral("关闭串口") : QStringLiteral("打开串口"));
    AppendLog(QStringLiteral("串口号：") + ui->edtComName->currentText() +
                  QStringLiteral("的串口适配器已拔出，通讯中止，串口已关闭"),
              QString());
    ui->sStatusBar1Panel1->setText(
        QStringLiteral("COM%1 已断开：串口适配器已拔出，重新插入后请再次打开串口").arg(portNumber));
    RefreshSerialDevices();
}

// --- Device selector -------------------------------------------------------

namespace {
QString Local(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

// What the operator recognises a device by: its stable name, its node and
// what the adapter calls itself.
QString DeviceItemText(const SerialDeviceInfo& d) {
    QStringList parts;
    if (!d.stableName.empty())
        parts << QFileInfo(Local(d.stableName)).fileName();
    parts << Local(d.node);
    if (!d.product.empty())
        parts << QString::fromStdString(d.product);
    else if (!d.driver.empty())
        parts << QString::fromStdString(d.driver);
    return parts.join(QStringLiteral(" — "));
}

QString DeviceToolTip(const SerialDeviceInfo& d) {
    QStringList lines;
    if (!d.stableName.empty())
        lines << Local(d.stableName);
    lines << Local(d.node);
    if (!d.driver.empty())
        lines << QStringLiteral("驱动：") + QString::fromStdString(d.driver);
    if (!d.vendorId.empty())
        lines << QStringLiteral("USB %1:%2")
                     .arg(QString::fromStdString(d.vendorId), QString::fromStdString(d.productId));
    if (!d.manufacturer.empty() || !d.product.empty())
        lines << QString::fromStdString(d.manufacturer + " " + d.product).trimmed();
    if (!d.serialNumber.empty())
        lines << QStringLiteral("序列号：") + QString::fromStdString(d.serialNumber);
    return lines.join(u'\n');
}

QString Canonical(const std::string& path) {
    return QFileInfo(Local(path)).canonicalFilePath();
}
}  // namespace

SerialDiscoveryRoots TForm1::deviceRoots;

void TForm1::RefreshSerialDevices() {
    if (!deviceWatch.Refresh() && ui->edtComDevice->count() == int(SerialDevices().size()))
        return;
    QComboBox* box = ui->edtComDevice;
    const QSignalBlocker quiet(box);
    box->clear();
    for (const SerialDeviceInfo& device : SerialDevices()) {
        box->addItem(DeviceItemText(device), Local(device.PreferredPath()));
        box->setItemData(box->count() - 1, DeviceToolTip(device), Qt::ToolTipRole);
    }
    // The names are long; the list may be wider than the field. The list
    // shows its items in bold.
    QFont bold = box->view()->font();
    bold.setBold(true);
    const QFontMetrics metrics(bold);
    int widest = 0;
    for (int i = 0; i < box->count(); ++i)
        widest = qMax(widest, metrics.horizontalAdvance(box->itemText(i)));
    box->view()->setMinimumWidth(qMax(box->width(), widest + 40));
    ShowComDevice();
}

void TForm1::ShowComDevice() {
    QComboBox* box = ui->edtComDevice;
    const QSignalBlocker quiet(box);
    const int portNumber = ui->edtComName->currentIndex() + 1;
    if (portNumber < 1) {
        box->setCurrentIndex(-1);
        ui->lblComDevice->clear();
        return;
    }
    const std::string path = ResolveSerialDevice("COM" + std::to_string(portNumber));
    const QString real = Canonical(path);
    const SerialDeviceInfo* found = nullptr;
    int index = -1;
    for (size_t i = 0; i < SerialDevices().size() && !found; ++i) {
        const SerialDeviceInfo& d = SerialDevices()[i];
        if (d.PreferredPath() == path || d.node == path ||
            (!real.isEmpty() && Canonical(d.node) == real)) {
            found = &d;
            index = int(i);
        }
    }
    box->setCurrentIndex(index);
    const QString port = QStringLiteral("COM%1").arg(portNumber);
    // A ttyS node exists for every possible port; only a discovered one has
    // a UART behind it.
    const bool plugged =
        found || (!real.isEmpty() && !QFileInfo(Local(path)).fileName().startsWith("ttyS"));
    if (!plugged) {
        ui->lblComDevice->setText(port + QStringLiteral("：未插入设备（") + Local(path) +
                                  QStringLiteral("）"));
    } else if (found) {
        const QString what = found->product.empty() ? QString::fromStdString(found->driver)
                                                    : QString::fromStdString(found->product);
        ui->lblComDevice->setText(
            port + QStringLiteral(" → ") + Local(found->node) +
            (what.isEmpty() ? QString() : QStringLiteral("（") + what + QStringLiteral("）")));
    } else {
        ui->lblComDevice->setText(port + QStringLiteral(" → ") + Local(path));
    }
    ui->lblComDevice->setToolTip(Local(path));
}

void TForm1::edtComDeviceChange(int index) {
    const int portNumber = ui->edtComName->currentIndex() + 1;
    if (portNumber < 1 || index < 0 || index >= int(SerialDevices().size()))
        return;
    const std::string device = SerialDevices()[size_t(index)].PreferredPath();
    SerialDeviceMap map = GetSerialDeviceMap();
    map[portNumber] = device;
    SetSerialDeviceMap(std::move(map));
    chosenPorts[portNumber] = device;
    ShowComDevice();
}

void TForm1::btnReadAddrCOMClick() {
    RunSerialOperation(*this, kReadAddress);
}

void TForm1::btnGetDataCOMClick() {
    RunSerialOperation(*this, kReadReading);
}

void TForm1::btnOpenValveCOMClick() {
    RunSerialOperation(*this, kOpenValve);
}

void TForm1::btnCloseValveCOMClick() {
    RunSerialOperation(*this, kCloseValve);
}

void TForm1::btnGetValveStateCOMClick() {
    RunSerialOperation(*this, kReadValveState);
}

void TForm1::Button2Click() {
    const ReplyOutcome outcome =
        DecodeReply(Operation::ReadValveState, Tab::Serial, kCannedValveStateReply, "");
    if (outcome.kind == OutcomeKind::ChecksumError)
        AppendLog(Text(*outcome.logText), QStringLiteral("读取阀门状态"));
    else if (outcome.kind == OutcomeKind::NoAnswer)
        AppendLog(Text(*outcome.logText), QStringLiteral("TCP/IP读表数据"));
    else
        ui->lblValveStateCOM->setText(Text(*outcome.labelText));
}
