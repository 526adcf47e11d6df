#include "SerialTabFixture.h"

#include "SerialLink.h"
#include "TApplication.h"

#include <QPushButton>
#include <QTimer>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace {
const QString kStamp = QStringLiteral("[2024年01月19日 15:30:00]");
const QDateTime kNow(QDate(2024, 1, 19), QTime(15, 30, 0));
}  // namespace

LogEntry::LogEntry(const QString& title, const QString& message)
    : title(title), message(QString(message).replace(u'\r', u'\n')) {}

void PrintTo(const LogEntry& entry, std::ostream* out) {
    *out << "{\"" << entry.title.toStdString() << "\", \"" << entry.message.toStdString() << "\"}";
}

// --- ScriptedMeter ----------------------------------------------------------

ScriptedMeter::ScriptedMeter(const std::string& replyHex) {
    if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    path_ = ::ttyname(slave_);
    // No echo of the request back to us before the console has set the line up.
    termios raw{};
    ::tcgetattr(slave_, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave_, TCSANOW, &raw);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    reply_ = QByteArray::fromHex(QByteArray::fromStdString(replyHex)).toStdString();
    notifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Answer(); });
}

ScriptedMeter::~ScriptedMeter() {
    notifier_.reset();
    ::close(master_);
    ::close(slave_);
}

void ScriptedMeter::Answer() {
    char buffer[512];
    ssize_t n;
    while ((n = ::read(master_, buffer, sizeof buffer)) > 0)
        pending_.append(buffer, static_cast<size_t>(n));
    // A request is complete with its end byte.
    if (pending_.empty() || pending_.back() != '\x16')
        return;
    requests_ << QString::fromLatin1(QByteArray::fromStdString(pending_).toHex().toUpper());
    pending_.clear();
    [[maybe_unused]] ssize_t written = ::write(master_, reply_.data(), reply_.size());
}

// --- SerialTabTest ----------------------------------------------------------

void SerialTabTest::SetUp() {
    ASSERT_TRUE(folder.isValid());
    TApplication::SetErrorBox(
        [this](const QString& title, const QString& text) { errors << title + u'|' + text; });
}

void SerialTabTest::TearDown() {
    Reset();
    EXPECT_TRUE(errors.isEmpty()) << "error box: " << errors.join(u'\n').toStdString();
    TApplication::SetErrorBox({});
}

void SerialTabTest::Reset() {
    // The link is process state and outlives the window.
    if (PortOpen)
        CloseSerialPort();
    window.reset();
    sim.reset();
    logMark = 0;
}

void SerialTabTest::StartSim(const std::vector<std::string>& simArgs) {
    std::vector<std::string> args{"--verbose"};
    args.insert(args.end(), simArgs.begin(), simArgs.end());
    sim = std::make_unique<MeterSimProcess>(args, true, false);
    ASSERT_TRUE(sim->Ready()) << sim->Output();
}

TForm1& SerialTabTest::OpenWindow(const std::string& config, int timeout) {
    const QString path = folder.filePath(QStringLiteral("Config.ini"));
    std::ofstream(path.toStdString(), std::ios::binary) << "[COM]\nTimeOut=" << timeout << "\n"
                                                        << config;
    window = std::make_unique<TForm1>(path);
    window->clock = [] { return kNow; };
    return *window;
}

void SerialTabTest::StartWithOpenPort(const std::vector<std::string>& simArgs) {
    StartSim(simArgs);
    const bool silent = std::any_of(simArgs.begin(), simArgs.end(), [](const std::string& arg) {
        return arg.find("silent") != std::string::npos;
    });
    OpenWindow("[Ports]\nCOM1=" + sim->PtyLink() + "\n", silent ? kSilentTimeoutMs : timeoutMs);
    ui().btnOpenCOM->click();
    ASSERT_TRUE(PortOpen) << ui().sStatusBar1Panel1->text().toStdString();
    MarkLog();
}

std::vector<LogEntry> SerialTabTest::Log() const {
    // Each entry: "title[stamp]", the message's lines, an empty line.
    const QStringList lines = window->ui->mmo->toPlainText().split(u'\n');
    std::vector<LogEntry> entries;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].isEmpty())
            continue;
        QString title = lines[i];
        if (title.endsWith(kStamp))
            title.chop(kStamp.size());
        else
            title.prepend(QStringLiteral("<no header> "));
        QStringList message;
        while (i + 1 < lines.size() && !lines[i + 1].isEmpty())
            message << lines[++i];
        entries.emplace_back(title, message.join(u'\n'));
    }
    return entries;
}

std::vector<LogEntry> SerialTabTest::NewLog() const {
    const std::vector<LogEntry> all = Log();
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(logMark, all.size())), all.end()};
}

QStringList SerialTabTest::ResultLines() const {
    const QString text = window->ui->sResultList->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(u'\n');
}

int SerialTabTest::SimRequests() const {
    const std::string output = sim->Output();
    int count = 0;
    for (size_t pos = 0; (pos = output.find(" pty rx ", pos)) != std::string::npos; ++pos)
        ++count;
    return count;
}

std::vector<bool> SerialTabTest::CommandButtonStates() const {
    const Ui::TForm1& u = *window->ui;
    std::vector<bool> states;
    for (const QPushButton* button :
         {u.btnReadAddrCOM, u.btnOpenValveCOM, u.btnCloseValveCOM, u.btnGetDataCOM,
          u.btnGetValveStateCOM, u.btnReadAddrTCP, u.btnGetDataTCP, u.btnGetValveStateTCP,
          u.btnOpenValveTCP, u.btnCloseValveTCP})
        states.push_back(button->isEnabled());
    return states;
}

void SerialTabTest::During(int ms, std::function<void()> action) {
    QTimer::singleShot(ms, std::move(action));
}
