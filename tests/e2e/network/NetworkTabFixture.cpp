#include "NetworkTabFixture.h"

#include "TApplication.h"

#include <QDateTime>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>

#include <cstdio>

namespace {
const QDateTime kNow(QDate(2024, 1, 19), QTime(15, 30, 0));
// An entry's header: the title, then the time stamp in brackets.
const QRegularExpression kHeader(
    QStringLiteral("^(.*)\\[\\d{4}年\\d{2}月\\d{2}日 \\d{2}:\\d{2}:\\d{2}\\]$"));

int HexValue(const std::string& pair) {
    return std::stoi(pair, nullptr, 16);
}
}  // namespace

void PrintTo(const LogEntry& entry, std::ostream* out) {
    *out << "{" << entry.title.toStdString() << " | " << entry.message.toStdString() << "}";
}

QString Shown(const std::string& text) {
    return QString::fromStdString(text).replace(u'\r', u'\n');
}

LogEntry Entry(const std::string& title, const std::string& message) {
    return {QString::fromStdString(title), Shown(message)};
}

QString Lines(std::initializer_list<std::string> lines) {
    QStringList shown;
    for (const std::string& line : lines)
        shown << Shown(line);
    return shown.join(u'\n');
}

std::vector<LogEntry> Concat(std::initializer_list<std::vector<LogEntry>> parts) {
    std::vector<LogEntry> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::string Frame(const std::string& address, const std::string& control,
                  const std::string& wireData) {
    std::string wire;
    for (size_t i = address.size(); i >= 2; i -= 2)
        wire += address.substr(i - 2, 2);
    char length[3];
    std::snprintf(length, sizeof length, "%02X", static_cast<unsigned>(wireData.size() / 2));
    const std::string body = "68" + wire + "68" + control + length + wireData;
    int sum = 0;
    for (size_t i = 0; i < body.size(); i += 2)
        sum += HexValue(body.substr(i, 2));
    char checksum[3];
    std::snprintf(checksum, sizeof checksum, "%02X", sum % 256);
    return "FEFEFE" + body + checksum + "16";
}

void NetworkTab::SetUp() {
    ASSERT_TRUE(folder.isValid());
    TApplication::SetErrorBox(
        [this](const QString& title, const QString& text) { errors << title + u'|' + text; });
}

void NetworkTab::TearDown() {
    window.reset();
    sim.reset();
    TApplication::SetErrorBox({});
}

void NetworkTab::StartSim(const std::vector<std::string>& args) {
    sim = std::make_unique<MeterSimProcess>(args, false, true);
    ASSERT_TRUE(sim->Ready()) << sim->Output();
}

TForm1& NetworkTab::Open(int port) {
    window = std::make_unique<TForm1>(folder.filePath(QStringLiteral("Config.ini")));
    window->clock = [] { return kNow; };
    window->networkWaits = {kReadMs, kValveMs};
    window->ui->edtRemoteHost->setText(QStringLiteral("127.0.0.1"));
    if (port < 0 && sim)
        port = sim->TcpPort();
    window->ui->edtRemotePort->setText(QString::number(port));
    return *window;
}

void NetworkTab::Connect() {
    if (!window)
        Open();
    window->ui->btnOpenTCP->click();
    ASSERT_TRUE(window->TcpClient1.IsOpen());
}

void NetworkTab::SetAddresses(const QStringList& lines) {
    window->ui->AddrList->setPlainText(lines.join(u'\n'));
}

std::vector<LogEntry> NetworkTab::Log() const {
    std::vector<LogEntry> entries;
    const QStringList lines = window->ui->mmo->toPlainText().split(u'\n');
    // An entry: the header (title and stamp), message lines, an empty line.
    int messageLines = -1;  // -1: between entries
    for (const QString& line : lines) {
        if (messageLines < 0) {
            if (const auto header = kHeader.match(line); header.hasMatch()) {
                entries.push_back({header.captured(1), QString()});
                messageLines = 0;
            }
            continue;
        }
        if (line.isEmpty() && messageLines > 0) {
            messageLines = -1;
            continue;
        }
        QString& message = entries.back().message;
        if (messageLines++ > 0)
            message += u'\n';
        message += line;
    }
    return entries;
}

std::vector<LogEntry> NetworkTab::LogSince(size_t mark) const {
    const std::vector<LogEntry> all = Log();
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(mark, all.size())), all.end()};
}

QString NetworkTab::Results() const {
    return window->ui->sResultList->toPlainText();
}

bool NetworkTab::CommandButtonsEnabled() const {
    const auto& ui = *window->ui;
    for (QPushButton* b :
         {ui.btnReadAddrCOM, ui.btnOpenValveCOM, ui.btnCloseValveCOM, ui.btnGetDataCOM,
          ui.btnGetValveStateCOM, ui.btnReadAddrTCP, ui.btnGetDataTCP, ui.btnGetValveStateTCP,
          ui.btnOpenValveTCP, ui.btnCloseValveTCP})
        if (!b->isEnabled())
            return false;
    return true;
}
