#include "UMain.h"

#include "AppPaths.h"
#include "AtomicFile.h"
#include "DailyRecord.h"
#include "DeviceMap.h"
#include "FrameCodec.h"
#include "IniFile.h"
#include "LogPane.h"
#include "SerialLink.h"
#include "Skin.h"
#include "TApplication.h"
#include "ui_UMain.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QTimer>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <stdexcept>
#include <string>

namespace {
constexpr int kClientWidth = 1201;
constexpr int kClientHeight = 678;
constexpr int kLogRowLimit = 200;

const QString kDefaultHost = QStringLiteral("192.168.1.100");
constexpr int32_t kDefaultTimeOut = 3000;
constexpr int32_t kDefaultTcpPort = 1030;

struct SelectorKey {
    const char* key;
    QComboBox* control;
    int32_t fallback;
};

// The [COM] keys that store a selector's index, read and written in this order.
std::array<SelectorKey, 5> SelectorKeys(const Ui::TForm1& ui) {
    return {{{"Port", ui.edtComName, 0},
             {"BaudRate", ui.edtBTL, 2},
             {"ByteSize", ui.edtData, 0},
             {"Parity", ui.edtEO, 0},
             {"StopBits", ui.edtStop, 0}}};
}

std::string LocalPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

// [Ports] COM3=/dev/ttyUSB0: which device stands for a COM port here.
SerialDeviceMap PortsSection(const IniFile& ini) {
    SerialDeviceMap map;
    for (const auto& [key, value] : ini.ReadSection("Ports")) {
        if (key.size() < 4 || QString::fromStdString(key.substr(0, 3)).toUpper() != "COM")
            continue;
        const auto digits = key.substr(3);
        if (digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const auto number = ParseWholeNumber(digits);
        if (number && *number > 0)
            map[*number] = value;
    }
    return map;
}
}  // namespace

QString FormatLocalDateTime(const QDateTime& moment) {
    return moment.toString(QStringLiteral("yyyy年MM月dd日 HH:mm:ss"));
}

QString CaptionForVersion(const QDateTime& executableWritten) {
    return QStringLiteral("水表调试工具(Ver%1)")
        .arg(executableWritten.toString(QStringLiteral("yy.MM.dd")));
}

namespace {
// The window whose log pane receives the frame builder's failures.
TForm1* frameLogOwner = nullptr;
// The window told when the open serial device goes away.
TForm1* portGoneOwner = nullptr;
}  // namespace

namespace {
QString ChosenStateDir(const QString& configPath, const QString& stateDir) {
    if (!stateDir.isEmpty())
        return QFileInfo(stateDir).absoluteFilePath();
    if (!configPath.isEmpty())
        return QFileInfo(configPath).absolutePath();
    return QFileInfo(StateDirectory()).absoluteFilePath();
}
}  // namespace

TForm1::TForm1(const QString& configPath, QWidget* parent, const QString& stateDir)
    : QWidget(parent),
      ui(std::make_unique<Ui::TForm1>()),
      configPath(
          QFileInfo(configPath.isEmpty() ? DefaultConfigPath() : configPath).absoluteFilePath()),
      configPathIsDefault(configPath.isEmpty()),
      deviceWatch(deviceRoots),
      stateDir(ChosenStateDir(configPath, stateDir)),
      sessionLog(std::make_unique<TSessionLog>(this->stateDir + QStringLiteral("/logs"))),
      resultsRecord(std::make_unique<TResultsRecord>(this->stateDir + QStringLiteral("/results"))) {
    openFolder = [](const QString& folder) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    };
    ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);
    setAttribute(Qt::WA_StyledBackground);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    for (QWidget* hidden :
         {static_cast<QWidget*>(ui->edtOp), static_cast<QWidget*>(ui->lblOpCaption),
          static_cast<QWidget*>(ui->Button1), static_cast<QWidget*>(ui->Button2)})
        hidden->hide();

    ApplySkin(this);
    ensurePolished();
    logPane = new TLogPane(ui->mmo);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);

    // The frame builder reports its failures in this window's log pane.
    SetFrameLogSink([this](const std::string& message, const std::string& title) {
        AppendLog(QString::fromStdString(message), QString::fromStdString(title));
    });
    frameLogOwner = this;

    // Adapters come and go while the console runs.
    deviceTimer = new QTimer(this);
    deviceTimer->setInterval(1000);
    connect(deviceTimer, &QTimer::timeout, this,
            [this] { TApplication::Guard([this] { RefreshSerialDevices(); }); });
    // Between two ticks a device can come and go (brltty takes an adapter
    // within a second); a change in /dev is looked at at once.
    auto* devWatcher = new QFileSystemWatcher(this);
    devWatcher->addPath(QFile::decodeName(QByteArray::fromStdString(deviceRoots.dev)));
    connect(devWatcher, &QFileSystemWatcher::directoryChanged, this,
            [this] { TApplication::Guard([this] { RefreshSerialDevices(); }); });
    SetPortGoneHandler([this] { TApplication::Guard([this] { SerialPortGone(); }); });
    portGoneOwner = this;

    ui->sStatusBar1Panel2->installEventFilter(this);
    BindEvents();
    Timer1->start();
    RefreshSerialDevices();
    deviceTimer->start();
    FormCreate();
}

TForm1::~TForm1() {
    if (portGoneOwner == this) {
        SetPortGoneHandler(nullptr);
        portGoneOwner = nullptr;
    }
    if (frameLogOwner == this) {
        SetFrameLogSink(nullptr);
        frameLogOwner = nullptr;
    }
}

QString TForm1::DefaultConfigPath() {
    return ConfigFilePath();
}

// Every event binding of the window, in one place.
void TForm1::BindEvents() {
    // Every handler runs guarded: an error it raises goes to the error box.
    auto bind = [this](auto* source, auto signal, void (TForm1::*handler)()) {
        connect(source, signal, this,
                [this, handler] { TApplication::Guard([&] { (this->*handler)(); }); });
    };
    bind(Timer1, &QTimer::timeout, &TForm1::Timer1Timer);
    // activated: only the operator's pick, not a selection made from code.
    bind(ui->cbWaterType, &QComboBox::activated, &TForm1::cbWaterTypeChange);
    bind(ui->edtComName, &QComboBox::currentIndexChanged, &TForm1::ShowComDevice);
    connect(ui->edtComDevice, &QComboBox::activated, this,
            [this](int index) { TApplication::Guard([&] { edtComDeviceChange(index); }); });

    const struct {
        QPushButton* button;
        void (TForm1::*handler)();
    } clicks[] = {
        {ui->btnOpenCOM, &TForm1::btnOpenCOMClick},
        {ui->btnReadAddrCOM, &TForm1::btnReadAddrCOMClick},
        {ui->btnOpenValveCOM, &TForm1::btnOpenValveCOMClick},
        {ui->btnCloseValveCOM, &TForm1::btnCloseValveCOMClick},
        {ui->btnGetValveStateCOM, &TForm1::btnGetValveStateCOMClick},
        {ui->btnGetDataCOM, &TForm1::btnGetDataCOMClick},
        {ui->btnOpenTCP, &TForm1::btnOpenTCPClick},
        {ui->btnReadAddrTCP, &TForm1::btnReadAddrTCPClick},
        {ui->btnGetDataTCP, &TForm1::btnGetDataTCPClick},
        {ui->btnGetValveStateTCP, &TForm1::btnGetValveStateTCPClick},
        {ui->btnOpenValveTCP, &TForm1::btnOpenValveTCPClick},
        {ui->btnCloseValveTCP, &TForm1::btnCloseValveTCPClick},
        {ui->btnStopTCP, &TForm1::btnStopTCPClick},
        {ui->Button1, &TForm1::Button1Click},
        {ui->Button2, &TForm1::Button2Click},
    };
    for (const auto& click : clicks)
        bind(click.button, &QPushButton::clicked, click.handler);
}

void TForm1::FormCreate() {
    ExchangeBusy = false;
    PortOpening = false;
    PortOpen = false;
    ReplyArrived = false;
    ui->sStatusBar1Panel0->clear();
    ui->sStatusBar1Panel1->clear();
    ShowRecordFolders(clock().date());
    ui->btnOpenCOM->setText(QStringLiteral("打开串口"));
    Timer1Timer();
    ui->edtPW->setText(DefaultMeterPassword);
    ui->edtTcpPW->setText(DefaultMeterPassword);
    ui->sPageControl1->setCurrentWidget(ui->sTabSheet2);
    LoadSettings();
    setWindowTitle(CaptionForVersion(FileDateTime(QCoreApplication::applicationFilePath(), 1)));
}

void TForm1::FormClose() {
    SaveSettings();
}

// A failed save is reported, but it must not keep the operator from closing
// the window: a console in a write-protected folder could never be closed.
void TForm1::closeEvent(QCloseEvent* event) {
    TApplication::Guard([this] { FormClose(); });
    event->accept();
}

void TForm1::Timer1Timer() {
    const QDateTime now = clock();
    ui->lbltime2->setText(FormatLocalDateTime(now));
    if (now.date() != shownRecordDay)
        ShowRecordFolders(now.date());
}

QString TForm1::SessionLogPath(const QDate& day) const {
    return sessionLog->PathFor(day);
}

QString TForm1::ResultsPath(const QDate& day) const {
    return resultsRecord->PathFor(day);
}

void TForm1::ShowRecordFolders(const QDate& day) {
    shownRecordDay = day;
    QLabel* panel = ui->sStatusBar1Panel2;
    const QString folder = QDir::toNativeSeparators(stateDir);
    const QString text = QStringLiteral("记录：") + folder;
    // The panel is narrow: the end of the path says most, the tip says all.
    panel->setText(
        panel->fontMetrics().elidedText(text, Qt::ElideMiddle, panel->contentsRect().width()));
    panel->setToolTip(QStringLiteral("今日日志：%1\n今日结果：%2\n单击打开文件夹")
                          .arg(QDir::toNativeSeparators(SessionLogPath(day)),
                               QDir::toNativeSeparators(ResultsPath(day))));
}

void TForm1::sStatusBar1Panel2Click() {
    // The folder may not exist before the first entry.
    QDir().mkpath(stateDir);
    if (openFolder)
        openFolder(stateDir);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui->sStatusBar1Panel2 && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton &&
        ui->sStatusBar1Panel2->rect().contains(
            static_cast<QMouseEvent*>(event)->position().toPoint())) {
        TApplication::Guard([this] { sStatusBar1Panel2Click(); });
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TForm1::NoteRecordFailure(bool& noted, const QString& what, const QString& path) {
    if (noted)
        return;
    noted = true;
    ui->sStatusBar1Panel1->setText(what + QStringLiteral("无法写入：") +
                                   QDir::toNativeSeparators(path));
}

void TForm1::RecordResult(const MeterResult& result) {
    const QDateTime now = clock();
    if (resultsRecord->Append(now, result))
        resultsFailureNoted = false;
    else
        NoteRecordFailure(resultsFailureNoted, QStringLiteral("结果记录"),
                          resultsRecord->PathFor(now.date()));
}

void TForm1::cbWaterTypeChange() {
    ui->edtPW->setText(DefaultMeterPassword);
    ui->edtTcpPW->setText(DefaultMeterPassword);
}

bool TForm1::ModelSupportsValve() const {
    const int model = ui->cbWaterType->currentIndex();
    return model != 0 && model != 2;
}

QList<QPushButton*> TForm1::CommandButtons() const {
    return {ui->btnReadAddrCOM,  ui->btnOpenValveCOM,     ui->btnCloseValveCOM,
            ui->btnGetDataCOM,   ui->btnGetValveStateCOM, ui->btnReadAddrTCP,
            ui->btnGetDataTCP,   ui->btnGetValveStateTCP, ui->btnOpenValveTCP,
            ui->btnCloseValveTCP};
}

void TForm1::DisableCommandButtons() {
    for (QPushButton* button : CommandButtons())
        button->setEnabled(false);
}

void TForm1::EnableCommandButtons() {
    for (QPushButton* button : CommandButtons())
        button->setEnabled(true);
}

QDateTime TForm1::FileDateTime(const QString& path, int kind) {
    const QDateTime zero(QDate(1899, 12, 30), QTime(0, 0));
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists())
        return zero;
    QDateTime stamp;
    switch (kind) {
        case 0:
            // Not every file system records a birth time; nothing can have
            // been created after it was last written.
            stamp = info.birthTime();
            if (!stamp.isValid())
                stamp = info.lastModified();
            break;
        case 1:
            stamp = info.lastModified();
            break;
        case 2:
            stamp = info.lastRead();
            break;
        default:
            return zero;
    }
    if (!stamp.isValid())
        return zero;
    const QTime time = stamp.time();
    stamp.setTime(QTime(time.hour(), time.minute(), time.second() & ~1));
    return stamp;
}

void TForm1::AppendLog(const QString& message, const QString& title) {
    // Tested before the entry goes in, so the pane may end up holding the
    // limit plus one whole entry.
    if (logPane->DisplayedRows() > kLogRowLimit)
        logPane->Clear();
    const QDateTime now = clock();
    const QString header = title + u'[' + FormatLocalDateTime(now) + u']';
    logPane->AppendLines(header + u'\n' + message + u'\n');
    // The pane forgets; the session log keeps every entry.
    if (sessionLog->Append(now, header, message))
        sessionLogFailureNoted = false;
    else
        NoteRecordFailure(sessionLogFailureNoted, QStringLiteral("会话日志"),
                          sessionLog->PathFor(now.date()));
}

void TForm1::LoadSettings() {
    std::string text;
    // A missing or unreadable file reads as all defaults.
    if (ReadWholeFile(LocalPath(configPath), text) != ReadResult::Read)
        text.clear();
    const IniFile ini(text);

    for (const SelectorKey& entry : SelectorKeys(*ui)) {
        QComboBox* selector = entry.control;
        const int32_t index = ini.ReadInteger("COM", entry.key, entry.fallback);
        selector->setCurrentIndex(index >= 0 && index < selector->count() ? index : -1);
    }
    ui->edtDelay->setText(QString::number(ini.ReadInteger("COM", "TimeOut", kDefaultTimeOut)));
    // An empty Host is the operator's choice; only a missing one gets the default.
    const auto host = ini.ReadString("TCP", "Host");
    ui->edtRemoteHost->setText(host ? QString::fromStdString(*host) : kDefaultHost);
    loadedHostBytes = host;
    loadedHostText = ui->edtRemoteHost->text();
    ui->edtRemotePort->setText(QString::number(ini.ReadInteger("TCP", "Port", kDefaultTcpPort)));

    SetSerialDeviceMap(PortsSection(ini));
    chosenPorts.clear();
    ShowComDevice();
}

void TForm1::SaveSettings() {
    const std::string path = LocalPath(configPath);
    const std::runtime_error failure("Unable to write to " + configPath.toStdString());

    std::string old;
    const ReadResult read = ReadWholeFile(path, old);
    // Rewriting a file we could not read would throw away everything in it.
    if (read == ReadResult::Failed)
        throw failure;

    IniFile ini(old);
    for (const SelectorKey& entry : SelectorKeys(*ui))
        ini.WriteInteger("COM", entry.key, entry.control->currentIndex());
    ini.WriteInteger(
        "COM", "TimeOut",
        ParseWholeNumber(ui->edtDelay->text().toStdString()).value_or(kDefaultTimeOut));
    const QString host = ui->edtRemoteHost->text();
    ini.WriteString(
        "TCP", "Host",
        loadedHostBytes && host == loadedHostText ? *loadedHostBytes : host.toStdString());
    ini.WriteInteger(
        "TCP", "Port",
        ParseWholeNumber(ui->edtRemotePort->text().toStdString()).value_or(kDefaultTcpPort));
    for (const auto& [port, device] : chosenPorts)
        ini.WriteString("Ports", "COM" + std::to_string(port), device);

    const std::string text = ini.Text();
    if (read == ReadResult::Read && text == old)
        return;
    // A file the user made read-only stays as it is, even where the folder
    // would let a new file take its place. No write bit at all counts as
    // read-only for root too.
    struct stat st;
    if (read == ReadResult::Read && (::access(path.c_str(), W_OK) != 0 ||
                                     (::stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0)))
        throw failure;
    // The console's own XDG folder may not exist yet; a folder someone else
    // named is not ours to create.
    if (read == ReadResult::Missing && configPathIsDefault)
        QDir().mkpath(QFileInfo(configPath).absolutePath());
    if (!WriteFileAtomically(path, text, nullptr))
        throw failure;
}
