// Figure 2: what waiting costs. A serial exchange that nobody answers waits
// out its whole 3 s time-out; the process should sleep through it, not spin.
// Measured as user + system CPU of the whole process (worker threads
// included) over wall time, on a pty whose far end stays silent.
#include "BenchProcess.h"
#include "BenchReport.h"
#include "DeviceMap.h"
#include "MeterCommands.h"
#include "SerialLink.h"

#include <QCoreApplication>

#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {
constexpr int kTimeoutMs = 3000;
constexpr int kRepeats = 3;
constexpr double kWaitBudgetPercent = 2.0;
constexpr double kIdleBudgetPercent = 0.1;

const char kWaitFigure[] = "CPU while a 3 s serial exchange waits unanswered";
const char kIdleFigure[] = "CPU of an idle open serial port (3 s in the event loop)";

struct Usage {
    double cpu = 0;
    double wall = 0;
    double Percent() const { return wall > 0 ? 100.0 * cpu / wall : 0; }
};

template <class Body>
Usage Measure(Body body) {
    const double cpu0 = ProcessCpuSeconds();
    const auto wall0 = BenchClock::now();
    body();
    return {ProcessCpuSeconds() - cpu0, MillisecondsBetween(wall0, BenchClock::now()) / 1000};
}

double MedianPercent(const std::vector<Usage>& runs) {
    std::vector<double> percents;
    for (const Usage& run : runs)
        percents.push_back(run.Percent());
    return Median(percents);
}

// pyserial waiting out the same unanswered exchange on the same pty.
std::optional<Usage> PyserialWait(const std::string& device, const std::string& frame) {
    const auto output = RunAndCapture({BaselinePython(), BenchSourceDir() + "/pyserial_exchange.py",
                                       "wait", device, frame, std::to_string(kTimeoutMs / 1000.0)},
                                      kTimeoutMs + 10000);
    if (!output)
        return std::nullopt;
    Usage usage;
    std::istringstream in(*output);
    std::string cpuWord, wallWord;
    if (!(in >> cpuWord >> usage.cpu >> wallWord >> usage.wall))
        return std::nullopt;
    return usage;
}
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);

    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        EmitNotMeasured("2a", kWaitFigure, "<= 2 % of a core", "openpty failed");
        EmitNotMeasured("2b", kIdleFigure, "<= 0.1 % of a core", "openpty failed");
        return 1;
    }
    const std::string device = ::ttyname(slave);
    ::close(slave);  // the port opens it by its path; the master stays silent
    SetSerialDeviceMap({{1, device}});

    if (OpenSerialPort(1, 2400, kTimeoutMs) != 0) {
        EmitNotMeasured("2a", kWaitFigure, "<= 2 % of a core", "could not open " + device);
        EmitNotMeasured("2b", kIdleFigure, "<= 0.1 % of a core", "could not open " + device);
        return 1;
    }
    const std::string frame = BuildRequest(Operation::ReadReading, Tab::Serial, "000230319105");

    std::vector<Usage> waits, idles;
    for (int i = 0; i < kRepeats; ++i) {
        int result = 0;
        waits.push_back(Measure([&] {
            std::string reply;
            result = SerialExchange(frame, reply);
        }));
        std::printf("exchange %d: result %d, %.3f s wall, %.2f ms CPU\n", i, result,
                    waits.back().wall, waits.back().cpu * 1000);
        if (result != 1) {
            EmitNotMeasured(
                "2a", kWaitFigure, "<= 2 % of a core",
                "the unanswered exchange did not time out (result " + std::to_string(result) + ")");
            return 1;
        }
    }
    for (int i = 0; i < kRepeats; ++i) {
        idles.push_back(Measure([] { PumpWait(kTimeoutMs); }));
        std::printf("idle %d: %.3f s wall, %.2f ms CPU\n", i, idles.back().wall,
                    idles.back().cpu * 1000);
    }
    CloseSerialPort();
    // Whatever the port queued on the line goes before the baseline uses it.
    ::tcflush(master, TCIOFLUSH);

    const double wait = MedianPercent(waits);
    const double idle = MedianPercent(idles);
    const auto python = PyserialWait(device, frame);
    if (python)
        std::printf("pyserial: %.3f s wall, %.2f ms CPU\n", python->wall, python->cpu * 1000);
    const double pythonPercent = python ? python->Percent() : 0;

    EmitRow({"2a", kWaitFigure, Fixed(wait, 3) + " %", "<= 2 % of a core",
             python ? "pyserial " + Fixed(pythonPercent, 3) + " %" : "pyserial: did not run",
             python ? Ratio(wait, pythonPercent) : "-", Verdict(wait <= kWaitBudgetPercent),
             "median of " + std::to_string(kRepeats) + " waits"});
    EmitRow({"2b", kIdleFigure, Fixed(idle, 3) + " %", "<= 0.1 % of a core", "-", "-",
             Verdict(idle <= kIdleBudgetPercent),
             "median of " + std::to_string(kRepeats) + "; pty: no modem lines to sample"});
    ::close(master);
    return 0;
}
