// Gateways that misbehave in ways meter-sim does not: a small scripted
// gateway in a thread on 127.0.0.1. Whatever the gateway does, the window
// must come out of the batch usable, with the outcomes the operator expects.
#include "DefaultBus.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <thread>

using namespace bus;

namespace {
constexpr int kReadWaitMs = 200;
constexpr int kValveWaitMs = 300;

std::string BytesOf(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

std::string HexOf(const std::string& bytes) {
    std::string hex;
    char pair[3];
    for (unsigned char b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        hex += pair;
    }
    return hex;
}

// What the gateway does after a request, or right after accepting (then the
// request is empty).
struct Answer {
    enum End { kKeep, kClose, kReset };
    std::string hex;  // sent back as bytes
    End end = kKeep;
};

// Serves one connection at a time; connections are numbered from 0.
class FakeGateway {
  public:
    using Script = std::function<Answer(int connection, const std::string& request)>;

    explicit FakeGateway(Script script) : script(std::move(script)) {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            listen(listener, 4) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            return;
        port = ntohs(address.sin_port);
        thread = std::thread([this] { Run(); });
    }
    ~FakeGateway() {
        stop = true;
        if (thread.joinable())
            thread.join();
        if (listener >= 0)
            close(listener);
    }
    FakeGateway(const FakeGateway&) = delete;
    FakeGateway& operator=(const FakeGateway&) = delete;

    int Port() const { return port; }

    // Waits (briefly) until n connections have been ended by the gateway.
    bool Ended(int n) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (ended < n && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return ended >= n;
    }

  private:
    void Run() {
        for (int connection = 0; !stop;) {
            pollfd p{listener, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            if (const int fd = accept(listener, nullptr, nullptr); fd >= 0)
                Serve(fd, connection++);
        }
    }

    void Serve(int fd, int connection) {
        std::string pending, request;
        for (;;) {
            const Answer answer = script(connection, request);
            const std::string bytes = BytesOf(answer.hex);
            for (size_t sent = 0; sent < bytes.size();) {
                const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                sent += static_cast<size_t>(n);
            }
            if (answer.end == Answer::kReset) {
                const linger abort{1, 0};  // close sends RST instead of FIN
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            }
            if (answer.end != Answer::kKeep || !NextRequest(fd, pending, request))
                break;
        }
        close(fd);
        ++ended;
    }

    // One whole request frame (FE preamble, 68, address, 68, control, length,
    // data, checksum, 16) as hex; false when the client left or on stop.
    bool NextRequest(int fd, std::string& pending, std::string& request) {
        for (;;) {
            if (const size_t start = pending.find('\x68'); start != std::string::npos) {
                if (pending.size() >= start + 10) {
                    const size_t end = start + 12 + static_cast<unsigned char>(pending[start + 9]);
                    if (pending.size() >= end) {
                        request = HexOf(pending.substr(0, end));
                        pending.erase(0, end);
                        return true;
                    }
                }
            }
            pollfd p{fd, POLLIN, 0};
            if (stop)
                return false;
            if (poll(&p, 1, 20) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return false;
            pending.append(buffer, static_cast<size_t>(n));
        }
    }

    Script script;
    int listener = -1;
    int port = 0;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<int> ended{0};
};

// The default bus's meters, answering as they should.
Answer Normally(const std::string& request) {
    static const std::map<std::string, std::string> replies = {
        {ReadReading(kMeter1), kReading1},
        {ReadReading(kMeter2), kReading2},
        {ReadReading(kMeter3), kReading3},
        {CloseValve(kMeter1), Frame(kMeter1, "84", "")},
        {CloseValve(kMeter2), Frame(kMeter2, "84", "")},
        {CloseValve(kMeter3), Frame(kMeter3, "84", "")},
    };
    const auto found = replies.find(request);
    return {found == replies.end() ? std::string() : found->second};
}

QStringList AddressList(std::initializer_list<std::string> addresses) {
    QStringList lines;
    for (const std::string& a : addresses)
        lines << QString::fromStdString(a);
    return lines;
}

// Bytes that hold no frame start at all, so no part of them can pass for a
// reply frame, and that begin with neither FE nor 68.
std::string Garbage(size_t size) {
    std::string bytes(size, '\0');
    uint32_t state = 12345;
    for (size_t i = 1; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(state >> 24);
        if (bytes[i] == '\x68')
            bytes[i] = '\x69';
    }
    return bytes;
}
}  // namespace

class GatewayFault : public NetworkTab {
  protected:
    TForm1& OpenOn(const FakeGateway& gateway) {
        TForm1& w = Open(gateway.Port());
        w.networkWaits = {kReadWaitMs, kValveWaitMs};
        return w;
    }

    void ExpectUsable() {
        EXPECT_TRUE(CommandButtonsEnabled());
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
    }

    // A following read reading of meter 1 over a link that works.
    void ExpectReadingOfMeter1() {
        SetAddresses({QString::fromStdString(kMeter1)});
        form().ui->btnGetDataTCP->click();
        EXPECT_EQ(Results(), Lines({ReadingLines(kMeter1Reading)}));
        const std::vector<LogEntry> log = Log();
        const std::vector<LogEntry> expected = ReadingLog(kMeter1Reading);
        ASSERT_GE(log.size(), expected.size());
        EXPECT_EQ(std::vector<LogEntry>(log.end() - static_cast<std::ptrdiff_t>(expected.size()),
                                        log.end()),
                  expected);
        ExpectUsable();
    }
};

TEST_F(GatewayFault, ResetMidBatch) {
    struct Case {
        const char* name;
        QPushButton* Ui::TForm1::*button;
        std::string title, readFailureLine, readFailureLog;
        bool rxBeforeCheck;
        std::string (*request)(const std::string&);
        std::vector<LogEntry> first;  // what meter 1 writes
        std::string firstLines;
    };
    const Case cases[] = {
        {"read reading", &Ui::TForm1::btnGetDataTCP, "TCP/IP读表数", "TCP/IP读表数",
         "TCP/IP读表数出错", false, ReadReading, ReadingLog(kMeter1Reading),
         ReadingLines(kMeter1Reading)},
        {"close valve",
         &Ui::TForm1::btnCloseValveTCP,
         "TCP/IP直接关阀指令",
         "通讯地址出错",
         "通讯地址出错",
         true,
         CloseValve,
         {Entry("TCP/IP直接关阀指令", "Tx ->" + CloseValve(kMeter1)),
          Entry("TCP/IP直接关阀指令", "Rx <-" + Frame(kMeter1, "84", "")),
          Entry("直接关阀", "直接关阀执行成功！ 84")},
         kMeter1 + kArrow + "直接关阀执行成功"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The first connection is torn down by RST when meter 2's request comes.
        FakeGateway gateway([&](int connection, const std::string& request) {
            if (connection == 0 && request == c.request(kMeter2))
                return Answer{"", Answer::kReset};
            return Normally(request);
        });
        OpenOn(gateway);
        Connect();
        SetAddresses(AddressList({kMeter1, kMeter2, kMeter3, kMeter1}));
        const size_t mark = Mark();
        (form().ui.get()->*c.button)->click();

        // Meter 2's wait sees the reset: its read failure, then the batch
        // ends with the reason, and the link shows as down.
        EXPECT_EQ(Results(), Lines({c.firstLines, kMeter2 + kArrow + c.readFailureLine}));
        std::vector<LogEntry> expected = c.first;
        expected.push_back(Entry(c.title, "Tx ->" + c.request(kMeter2)));
        expected.push_back(Entry(c.title, c.readFailureLog));
        expected.push_back(Entry("", c.title + "出错 :接收失败：连接被对方重置"));
        EXPECT_EQ(LogSince(mark), expected);
        EXPECT_FALSE(form().TcpClient1.IsOpen());
        EXPECT_EQ(form().ui->btnOpenTCP->text(), QStringLiteral("打开链接"));
        EXPECT_TRUE(form().ui->sStatusBar1Panel0->text().isEmpty());
        ExpectUsable();

        // One click connects again.
        const size_t before = Mark();
        form().ui->btnOpenTCP->click();
        EXPECT_EQ(LogSince(before), std::vector<LogEntry>{Entry("", "TCP/IP链接成功")});
        EXPECT_TRUE(form().TcpClient1.IsOpen());
        ExpectReadingOfMeter1();
        window.reset();
    }
}

TEST_F(GatewayFault, AcceptsAndNeverAnswers) {
    // Only meter 1's reading is ever answered, for the operation that follows.
    FakeGateway gateway([](int, const std::string& request) {
        return request == ReadReading(kMeter1) ? Normally(request) : Answer{};
    });
    OpenOn(gateway);
    Connect();

    struct Case {
        const char* name;
        QPushButton* Ui::TForm1::*button;
        std::string title, readFailureLine, readFailureLog;
        std::string (*request)(const std::string&);
        int waitMs;
    };
    const Case cases[] = {
        {"read reading", &Ui::TForm1::btnGetDataTCP, "TCP/IP读表数", "TCP/IP读表数",
         "TCP/IP读表数出错", ReadReading, kReadWaitMs},
        {"read valve state", &Ui::TForm1::btnGetValveStateTCP, "TCP/IP读取阀门状态", "通讯地址出错",
         "通讯地址出错", ReadValveState, kReadWaitMs},
        {"open valve", &Ui::TForm1::btnOpenValveTCP, "TCP/IP开阀指令", "通讯地址出错",
         "通讯地址出错", OpenValve, kValveWaitMs},
        {"close valve", &Ui::TForm1::btnCloseValveTCP, "TCP/IP直接关阀指令", "通讯地址出错",
         "通讯地址出错", CloseValve, kValveWaitMs},
    };
    SetAddresses(AddressList({kMeter2, kMeter3}));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t mark = Mark();
        const auto start = std::chrono::steady_clock::now();
        (form().ui.get()->*c.button)->click();
        const auto elapsed = std::chrono::steady_clock::now() - start;

        // Every address waits its whole wait, fails, and the batch goes on.
        EXPECT_GE(elapsed, std::chrono::milliseconds(2 * c.waitMs));
        EXPECT_EQ(Results(), Lines({kMeter2 + kArrow + c.readFailureLine,
                                    kMeter3 + kArrow + c.readFailureLine}));
        EXPECT_EQ(LogSince(mark), (std::vector<LogEntry>{
                                      Entry(c.title, "Tx ->" + c.request(kMeter2)),
                                      Entry(c.title, c.readFailureLog),
                                      Entry(c.title, "Tx ->" + c.request(kMeter3)),
                                      Entry(c.title, c.readFailureLog),
                                  }));
        EXPECT_TRUE(form().TcpClient1.IsOpen());
        ExpectUsable();
    }

    // Read address logs its failure and writes no line.
    const QString results = Results();
    const size_t mark = Mark();
    form().ui->btnReadAddrTCP->click();
    EXPECT_EQ(LogSince(mark),
              (std::vector<LogEntry>{Entry("TCP/IP读通讯地址", "Tx ->" + kReadAddress),
                                     Entry("TCP/IP读通讯地址", "通讯地址出错")}));
    EXPECT_EQ(Results(), results);
    ExpectUsable();

    ExpectReadingOfMeter1();
}

TEST_F(GatewayFault, AnswersWith64KiBOfGarbage) {
    const std::string garbage = HexOf(Garbage(64 * 1024));
    FakeGateway gateway([&](int, const std::string& request) {
        return request == ReadReading(kMeter2) ? Answer{garbage} : Normally(request);
    });
    OpenOn(gateway);
    Connect();
    SetAddresses(AddressList({kMeter2, kMeter1}));
    const size_t mark = Mark();
    form().ui->btnGetDataTCP->click();

    // The whole heap of bytes is the reply; it has no frame to check, so the
    // error shows empty checksum texts, and meter 1 is never asked.
    EXPECT_EQ(Results(), QString());
    EXPECT_EQ(LogSince(mark), (std::vector<LogEntry>{
                                  Entry("TCP/IP读表数", "Tx ->" + ReadReading(kMeter2)),
                                  Entry("TCP/IP读表数", "数据校验错误：" + garbage + " [-]"),
                              }));
    EXPECT_TRUE(form().TcpClient1.IsOpen());
    ExpectUsable();

    ExpectReadingOfMeter1();
}

TEST_F(GatewayFault, ClosesRightAfterConnect) {
    FakeGateway gateway([](int connection, const std::string& request) {
        if (connection == 0)
            return Answer{"", Answer::kClose};
        return Normally(request);
    });
    OpenOn(gateway);
    Connect();
    EXPECT_EQ(form().ui->btnOpenTCP->text(), QStringLiteral("断开链接"));
    ASSERT_TRUE(gateway.Ended(1));

    SetAddresses(AddressList({kMeter1, kMeter2, kMeter3}));
    const size_t mark = Mark();
    form().ui->btnGetDataTCP->click();

    // Meter 1 finds the close: a read failure, and the batch ends with the
    // reason; the link shows as down.
    EXPECT_EQ(Results(), Lines({kMeter1 + kArrow + "TCP/IP读表数"}));
    EXPECT_EQ(LogSince(mark), (std::vector<LogEntry>{
                                  Entry("TCP/IP读表数", "Tx ->" + ReadReading(kMeter1)),
                                  Entry("TCP/IP读表数", "TCP/IP读表数出错"),
                                  Entry("", "TCP/IP读表数出错 :连接已被对方关闭"),
                              }));
    EXPECT_FALSE(form().TcpClient1.IsOpen());
    EXPECT_EQ(form().ui->btnOpenTCP->text(), QStringLiteral("打开链接"));
    ExpectUsable();

    const size_t before = Mark();
    form().ui->btnOpenTCP->click();
    EXPECT_EQ(LogSince(before), std::vector<LogEntry>{Entry("", "TCP/IP链接成功")});
    EXPECT_TRUE(form().TcpClient1.IsOpen());
    EXPECT_EQ(form().ui->btnOpenTCP->text(), QStringLiteral("断开链接"));
    ExpectReadingOfMeter1();
}
