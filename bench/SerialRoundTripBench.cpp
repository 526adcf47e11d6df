// Figure 1: a read reading over the serial tab of the real window (offscreen)
// against meter-sim answering at once. Measured from the moment the meter's
// last reply byte is on the line to the moment the result is shown (the click
// handler has set lblDATA and logged its entries), in one run twice: with the
// receive thread ending its read at the reply's frame (what the console
// does), and with reads ended by 100 ms of silence alone (how it was).
//
// The console's pty is not meter-sim's own: a relay thread in this program
// holds it and passes bytes between it and meter-sim's pty, forwarding each
// reply frame the instant it is whole and noting that instant. The meter is
// meter-sim; the relay only gives the moment its reply hits the line to the
// microsecond. The baseline, Debian's python3-serial, reads the same frame by
// its length field over the same relay in the same run.
#include "BenchProcess.h"
#include "BenchReport.h"
#include "MeterCommands.h"
#include "MeterSimProcess.h"
#include "SerialLink.h"
#include "SerialPort.h"
#include "TApplication.h"
#include "WindowDriver.h"

#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextDocument>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {
constexpr int kExchanges = 40;
constexpr int kWarmUp = 2;
constexpr double kMedianBudgetMs = 3;
constexpr double kP99BudgetMs = 10;
const char kMedianFigure[] = "Serial read reading, reply's last byte to result shown: median";
const char kP99Figure[] = "Serial read reading, reply's last byte to result shown: p99";
const char kSilenceMedianFigure[] =
    "Serial read reading, reply to result shown, reads ended by 100 ms of silence: median";
const char kSilenceP99Figure[] =
    "Serial read reading, reply to result shown, reads ended by 100 ms of silence: p99";
const std::string kAddress = "000230319105";

void MakeRaw(int fd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
            continue;
        }
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Bytes up to the end of the first whole frame, or 0.
size_t FrameEnd(const std::string& bytes) {
    const size_t start = bytes.find('\x68');
    if (start == std::string::npos || bytes.size() < start + 10)
        return 0;
    const size_t end = start + 10 + static_cast<unsigned char>(bytes[start + 9]) + 2;
    return bytes.size() >= end ? end : 0;
}

class MeterRelay {
  public:
    explicit MeterRelay(const std::string& meterLink) {
        if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        device_ = ::ttyname(slave_);
        // The slave stays open here, as a serial device stays present: without
        // it the master reports hang-ups between the clients.
        MakeRaw(slave_);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        meter_ = ::open(meterLink.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (meter_ < 0)
            throw std::runtime_error("cannot open meter-sim's pty " + meterLink);
        MakeRaw(meter_);
        stop_ = ::eventfd(0, EFD_CLOEXEC);
        thread_ = std::thread([this] { Run(); });
    }
    ~MeterRelay() {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stop_, &one, sizeof one);
        thread_.join();
        for (int fd : {master_, slave_, meter_, stop_})
            ::close(fd);
    }

    const std::string& ConsoleDevice() const { return device_; }

    // A client's exclusive hold outlives its close while we hold the slave.
    void ReleaseExclusive() { ::ioctl(slave_, TIOCNXCL); }

    // When each reply went onto the console's line, oldest first.
    std::vector<BenchClock::time_point> TakeReplyTimes() {
        std::lock_guard lock(mutex_);
        std::vector<BenchClock::time_point> taken;
        taken.swap(replies_);
        return taken;
    }

  private:
    void Run() {
        std::string fromMeter;
        char buffer[4096];
        for (;;) {
            pollfd fds[3] = {{stop_, POLLIN, 0}, {master_, POLLIN, 0}, {meter_, POLLIN, 0}};
            if (::poll(fds, 3, -1) < 0)
                continue;
            if (fds[0].revents)
                return;
            if (fds[1].revents & POLLIN) {
                const ssize_t n = ::read(master_, buffer, sizeof buffer);
                if (n > 0)
                    WriteAll(meter_, buffer, static_cast<size_t>(n));
            }
            if (fds[2].revents & POLLIN) {
                const ssize_t n = ::read(meter_, buffer, sizeof buffer);
                if (n > 0)
                    fromMeter.append(buffer, static_cast<size_t>(n));
                while (const size_t end = FrameEnd(fromMeter)) {
                    WriteAll(master_, fromMeter.data(), end);
                    const auto now = BenchClock::now();
                    fromMeter.erase(0, end);
                    std::lock_guard lock(mutex_);
                    replies_.push_back(now);
                }
            }
        }
    }

    int master_ = -1, slave_ = -1, meter_ = -1, stop_ = -1;
    std::string device_;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<BenchClock::time_point> replies_;
};

double SecondsOf(BenchClock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// Where an exchange's time goes on the main thread: when the reply's chunk
// reached it, when the first log entry after that (the Rx entry) went in,
// and whether the window has been repainted since.
class StageWatch : public QObject {
  public:
    StageWatch(QWidget& window, QPlainTextEdit& log) : window(window) {
        qApp->installEventFilter(this);
        connect(log.document(), &QTextDocument::contentsChange, this, [this] {
            if (chunkDelivered && !rxLogged)
                rxLogged = BenchClock::now();
        });
    }
    ~StageWatch() override { qApp->removeEventFilter(this); }
    void Reset() {
        chunkDelivered = rxLogged = std::nullopt;
        repaintStarted = false;
    }

    std::optional<BenchClock::time_point> chunkDelivered, rxLogged;
    // The window's repaint began (it is done once the event loop returns).
    bool repaintStarted = false;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!chunkDelivered && event->type() == TCommMessage::EventType() &&
            static_cast<TCommMessage*>(event)->Message == MsgReceiveData)
            chunkDelivered = BenchClock::now();
        if (event->type() == QEvent::UpdateRequest && watched == &window)
            repaintStarted = true;
        return false;
    }

  private:
    QWidget& window;
};

struct Stages {
    // ms after the reply; painted: the window repainted after the click,
    // which the figure leaves out.
    std::vector<double> delivered, logged, shown, painted;
};

// Milliseconds from the reply to the result for each measured exchange of
// the window; frameRule: reads end at the reply's frame, else by silence.
std::vector<double> WindowExchanges(WindowDriver& window, MeterRelay& relay, Stages& stages,
                                    bool frameRule) {
    SetReadsEndAtReplyForTest(frameRule);
    QLabel& result = window.Control<QLabel>("lblDATA");
    StageWatch watch(window.Form(), window.Control<QPlainTextEdit>("mmo"));
    window.Control<QLineEdit>("edtAddr").setText(QString::fromStdString(kAddress));

    QString logBefore = window.Log();
    window.Click("btnOpenCOM");
    if (!PortOpen) {
        if (window.Log() == logBefore)
            throw DriveError("handlers not present: btnOpenCOM did nothing");
        throw DriveError("btnOpenCOM did not open the port; log: " + window.LogTail());
    }

    std::vector<double> above;
    for (int i = 0; i < kWarmUp + kExchanges; ++i) {
        relay.TakeReplyTimes();
        logBefore = window.Log();
        watch.Reset();
        window.Click("btnGetDataCOM");
        // The handler shows the result before the click returns; the wait
        // only matters for one that would finish later from the event loop.
        const bool shown = !result.text().isEmpty() ||
                           window.PumpUntil([&] { return !result.text().isEmpty(); }, 5000);
        const auto shownAt = BenchClock::now();
        if (!shown) {
            if (window.Log() == logBefore)
                throw DriveError("handlers not present: btnGetDataCOM did nothing");
            throw DriveError("no reading shown in lblDATA; log: " + window.LogTail());
        }
        watch.repaintStarted = false;
        const bool repainted = window.PumpUntil([&] { return watch.repaintStarted; }, 1000);
        const auto paintedAt = BenchClock::now();
        const auto replies = relay.TakeReplyTimes();
        if (replies.size() != 1)
            throw DriveError("meter-sim sent " + std::to_string(replies.size()) +
                             " replies to one request");
        if (i >= kWarmUp) {
            auto after = [&](std::optional<BenchClock::time_point> t) {
                return t ? MillisecondsBetween(replies.front(), *t) : -1.0;
            };
            above.push_back(after(shownAt));
            stages.delivered.push_back(after(watch.chunkDelivered));
            stages.logged.push_back(after(watch.rxLogged));
            stages.shown.push_back(above.back());
            stages.painted.push_back(repainted ? after(paintedAt) : -1.0);
        }
        window.PumpUntil([] { return false; }, 20);  // a pause between clicks
    }

    window.Click("btnOpenCOM");
    if (PortOpen)
        CloseSerialPort();
    SetReadsEndAtReplyForTest(true);
    return above;
}

// The same for pyserial; empty when it did not run.
std::vector<double> PyserialExchanges(MeterRelay& relay, std::string& failure) {
    relay.ReleaseExclusive();
    relay.TakeReplyTimes();
    const std::string frame = BuildRequest(Operation::ReadReading, Tab::Serial, kAddress);
    const auto output =
        RunAndCapture({BaselinePython(), BenchSourceDir() + "/pyserial_exchange.py", "roundtrip",
                       relay.ConsoleDevice(), frame, std::to_string(kWarmUp + kExchanges)},
                      60000);
    const auto replies = relay.TakeReplyTimes();
    if (!output) {
        failure = "pyserial run failed (see the log)";
        return {};
    }
    std::vector<double> done;
    std::istringstream lines(*output);
    std::string word;
    double value = 0;
    std::string reading;
    while (lines >> word) {
        if (word == "done" && lines >> value)
            done.push_back(value);
        else if (word == "reading")
            lines >> reading;
    }
    std::printf("pyserial decoded the reading %s\n", reading.c_str());
    if (done.size() != replies.size() || reading == "None") {
        failure = "pyserial: " + std::to_string(done.size()) + " exchanges, " +
                  std::to_string(replies.size()) + " replies, reading " + reading;
        return {};
    }
    std::vector<double> above;
    for (size_t i = kWarmUp; i < done.size(); ++i)
        above.push_back((done[i] - SecondsOf(replies[i])) * 1000);
    return above;
}
}  // namespace

namespace {
void EmitAllNotMeasured(const std::string& reason) {
    EmitNotMeasured("1a", kMedianFigure, "<= 3 ms", reason);
    EmitNotMeasured("1b", kP99Figure, "<= 10 ms", reason);
    EmitNotMeasured("1c", kSilenceMedianFigure, "-", reason);
    EmitNotMeasured("1d", kSilenceP99Figure, "-", reason);
}

void PrintStages(const char* what, const std::vector<double>& console, const Stages& stages,
                 const std::vector<double>& python) {
    std::printf(
        "%s: ms after the reply was on the line: the chunk reaches the main thread, the Rx "
        "entry is in the log, the result is shown (the figure), the window has repainted; "
        "pyserial's decode\n",
        what);
    for (size_t i = 0; i < console.size(); ++i)
        std::printf("exchange %2zu: window %.3f  %.3f  %.3f  %.3f   pyserial %s\n", i,
                    stages.delivered[i], stages.logged[i], stages.shown[i], stages.painted[i],
                    i < python.size() ? Fixed(python[i], 3).c_str() : "-");
    std::printf("medians: window %.3f  %.3f  %.3f  %.3f   pyserial %s\n", Median(stages.delivered),
                Median(stages.logged), Median(stages.shown), Median(stages.painted),
                python.empty() ? "-" : Fixed(Median(python), 3).c_str());
}

std::string StepsNote(const std::vector<double>& console, const Stages& stages) {
    return std::to_string(console.size()) +
           " exchanges; medians of the steps: chunk at the main thread " +
           Fixed(Median(stages.delivered), 2) + " ms, Rx entry " + Fixed(Median(stages.logged), 2) +
           " ms, window repainted " + Fixed(Median(stages.painted), 2) + " ms";
}
}  // namespace

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    BuildDir();  // where the meter-sim fixture looks

    MeterSimProcess sim({}, true, false);
    if (!sim.Ready()) {
        EmitAllNotMeasured("meter-sim did not start");
        return 1;
    }
    std::unique_ptr<MeterRelay> relayOwner;
    try {
        relayOwner = std::make_unique<MeterRelay>(sim.PtyLink());
    } catch (const std::exception& e) {
        EmitAllNotMeasured(e.what());
        return 1;
    }
    MeterRelay& relay = *relayOwner;

    QTemporaryDir folder;
    const QString config = folder.filePath(QStringLiteral("Config.ini"));
    std::ofstream(config.toStdString())
        << "[COM]\nPort=0\nBaudRate=2\nTimeOut=3000\n[Ports]\nCOM1=" << relay.ConsoleDevice()
        << "\n";

    std::vector<double> console, silence;
    Stages stages, silenceStages;
    std::string failure;
    try {
        WindowDriver window(config);
        console = WindowExchanges(window, relay, stages, true);
        silence = WindowExchanges(window, relay, silenceStages, false);
        const QStringList errors = window.TakeErrors();
        if (!errors.isEmpty())
            failure = "error box: " + errors.join(QStringLiteral(" | ")).toStdString();
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (console.empty() || silence.empty() || !failure.empty()) {
        EmitAllNotMeasured(failure);
        return 1;
    }

    std::string pythonFailure;
    const std::vector<double> python = PyserialExchanges(relay, pythonFailure);
    PrintStages("frame rule", console, stages, python);
    PrintStages("silence rule", silence, silenceStages, python);

    const double median = Median(console), p99 = Quantile(console, 0.99);
    const double pyMedian = Median(python), pyP99 = Quantile(python, 0.99);
    const std::string pyBase = "pyserial by the length field ";
    EmitRow({"1a", kMedianFigure, Fixed(median, 2) + " ms", "<= 3 ms",
             python.empty() ? pythonFailure : pyBase + Fixed(pyMedian, 2) + " ms",
             python.empty() ? "-" : Ratio(median, pyMedian), Verdict(median <= kMedianBudgetMs),
             StepsNote(console, stages)});
    EmitRow({"1b", kP99Figure, Fixed(p99, 2) + " ms", "<= 10 ms",
             python.empty() ? pythonFailure : pyBase + Fixed(pyP99, 2) + " ms",
             python.empty() ? "-" : Ratio(p99, pyP99), Verdict(p99 <= kP99BudgetMs),
             std::to_string(console.size()) + " exchanges; the slowest " +
                 Fixed(Quantile(console, 1.0), 2) + " ms"});
    const double silenceMedian = Median(silence), silenceP99 = Quantile(silence, 0.99);
    EmitRow({"1c", kSilenceMedianFigure, Fixed(silenceMedian, 2) + " ms", "-",
             "frame rule " + Fixed(median, 2) + " ms", Ratio(silenceMedian, median), "info",
             StepsNote(silence, silenceStages)});
    EmitRow({"1d", kSilenceP99Figure, Fixed(silenceP99, 2) + " ms", "-",
             "frame rule " + Fixed(p99, 2) + " ms", Ratio(silenceP99, p99), "info",
             std::to_string(silence.size()) + " exchanges"});
    return 0;
}
