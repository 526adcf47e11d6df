// Figure 3: a read-reading batch over 1000 addresses through the real window
// (offscreen), against meter-sim's TCP gateway with no answer time: the
// click on btnGetDataTCP until the result list holds every address, log pane
// and result list included. The baseline is a bare socket doing the same
// request/reply round trips in the same run.
#include "BenchReport.h"
#include "MeterCommands.h"
#include "MeterSimProcess.h"
#include "SerialLink.h"
#include "TApplication.h"
#include "WindowDriver.h"
#include "ui_UMain.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {
constexpr int kAddresses = 1000;
constexpr int kBatches = 3;
constexpr double kBudgetMs = 2.0;
const char kFigure[] = "TCP batch read reading, 1000 addresses, per address all in";
const char kBudget[] = "<= 2 ms";

std::vector<std::string> Addresses() {
    std::vector<std::string> addresses;
    for (int i = 0; i < kAddresses; ++i) {
        char text[16];
        std::snprintf(text, sizeof text, "000231%06d", 100000 + i);
        addresses.push_back(text);
    }
    return addresses;
}

void WriteMeters(const std::string& path, const std::vector<std::string>& addresses) {
    std::ofstream out(path);
    for (size_t i = 0; i < addresses.size(); ++i)
        out << addresses[i] << " reading=" << (i % 5000) << '.' << (i % 100) << " valve=open\n";
}

// The bytes of one whole reply frame at the front of `bytes`, or 0.
size_t FrameEnd(const std::string& bytes) {
    const size_t start = bytes.find('\x68');
    if (start == std::string::npos || bytes.size() < start + 10)
        return 0;
    const size_t end = start + 10 + static_cast<unsigned char>(bytes[start + 9]) + 2;
    return bytes.size() >= end ? end : 0;
}

// Milliseconds per address for plain send/recv round trips on one connection.
std::optional<double> BareSocketPerAddress(int port, const std::vector<std::string>& requests) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    const auto start = BenchClock::now();
    for (const std::string& request : requests) {
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
            ::close(fd);
            return std::nullopt;
        }
        std::string reply;
        while (!FrameEnd(reply)) {
            pollfd p{fd, POLLIN, 0};
            char buffer[4096];
            ssize_t n = 0;
            if (::poll(&p, 1, 3000) <= 0 || (n = ::recv(fd, buffer, sizeof buffer, 0)) <= 0) {
                ::close(fd);
                return std::nullopt;
            }
            reply.append(buffer, static_cast<size_t>(n));
        }
    }
    const double ms = MillisecondsBetween(start, BenchClock::now());
    ::close(fd);
    return ms / double(requests.size());
}

// One batch through the window; milliseconds per address. Throws DriveError
// with what the window showed when the batch did not read every address.
double WindowBatch(WindowDriver& window) {
    auto& results = window.Control<QPlainTextEdit>("sResultList");
    const QString logBefore = window.Log();
    const QString readingLine = QStringLiteral("  吨");
    auto done = [&] { return CountLines(results.toPlainText(), readingLine) >= kAddresses; };

    const auto start = BenchClock::now();
    window.Click("btnGetDataTCP");
    // The batch runs inside the click; the wait only matters for a handler
    // that would finish later from the event loop.
    const bool complete = done() || window.PumpUntil(done, 20000);
    const double ms = MillisecondsBetween(start, BenchClock::now());
    if (!complete) {
        const int read = CountLines(results.toPlainText(), readingLine);
        if (read == 0 && results.toPlainText().isEmpty() && window.Log() == logBefore)
            throw DriveError("handlers not present: btnGetDataTCP did nothing");
        throw DriveError("the batch read " + std::to_string(read) + " of " +
                         std::to_string(kAddresses) + " addresses; log: " + window.LogTail());
    }
    return ms / kAddresses;
}

void Connect(WindowDriver& window, int port) {
    window.Control<QLineEdit>("edtRemoteHost").setText(QStringLiteral("127.0.0.1"));
    window.Control<QLineEdit>("edtRemotePort").setText(QString::number(port));
    const QString logBefore = window.Log();
    window.Click("btnOpenTCP");
    if (window.Form().TcpClient1.IsOpen())
        return;
    if (window.Log() == logBefore)
        throw DriveError("handlers not present: btnOpenTCP did nothing");
    throw DriveError("btnOpenTCP did not connect; log: " + window.LogTail());
}
}  // namespace

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    BuildDir();  // where the meter-sim fixture looks

    QTemporaryDir folder;
    const std::vector<std::string> addresses = Addresses();
    const std::string meters = folder.filePath(QStringLiteral("meters.txt")).toStdString();
    WriteMeters(meters, addresses);
    MeterSimProcess sim({"--meters", meters}, false, true);
    if (!sim.Ready() || sim.TcpPort() <= 0) {
        EmitNotMeasured("3", kFigure, kBudget, "meter-sim did not start: " + sim.Output());
        return 1;
    }

    std::vector<std::string> requests;
    for (const std::string& address : addresses)
        requests.push_back(
            HexTextToBytes(BuildRequest(Operation::ReadReading, Tab::Network, address)));

    std::vector<double> bare, batches;
    std::string failure;
    try {
        WindowDriver window(folder.filePath(QStringLiteral("Config.ini")));
        Connect(window, sim.TcpPort());
        QStringList lines;
        for (const std::string& address : addresses)
            lines << QString::fromStdString(address);
        window.Control<QPlainTextEdit>("AddrList").setPlainText(lines.join(u'\n'));

        // Alternating, so a busy moment on the machine hits both alike.
        for (int i = 0; i < kBatches; ++i) {
            if (const auto ms = BareSocketPerAddress(sim.TcpPort(), requests))
                bare.push_back(*ms);
            batches.push_back(WindowBatch(window));
            std::printf("batch %d: window %.3f ms an address, bare socket %.3f ms\n", i,
                        batches.back(), bare.empty() ? 0.0 : bare.back());
            window.PumpUntil([] { return false; }, 50);  // let the window repaint
        }
        const QStringList errors = window.TakeErrors();
        if (!errors.isEmpty())
            failure = "error box: " + errors.join(QStringLiteral(" | ")).toStdString();
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (batches.size() < kBatches || !failure.empty()) {
        EmitNotMeasured("3", kFigure, kBudget, failure);
        return 1;
    }

    const double perAddress = Median(batches);
    const double barePerAddress = bare.empty() ? 0 : Median(bare);
    EmitRow({"3", kFigure, Fixed(perAddress, 3) + " ms", kBudget,
             bare.empty() ? "bare socket: failed"
                          : "bare socket round trip " + Fixed(barePerAddress, 3) + " ms",
             Ratio(perAddress, barePerAddress), Verdict(perAddress <= kBudgetMs),
             "median of " + std::to_string(kBatches) + " batches; the slowest " +
                 Fixed(Quantile(batches, 1.0), 3) + " ms"});
    return 0;
}
