#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FakeGateway.h"
#include "TcpClient.h"

namespace {
using testing::HasSubstr;

void Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A loopback socket bound to a free port, for ports nobody listens on.
class LoopbackSocket {
  public:
    explicit LoopbackSocket(int backlog = -1) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), size);
        if (backlog >= 0)
            ::listen(fd_, backlog);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
        port_ = ntohs(a.sin_port);
    }
    ~LoopbackSocket() { ::close(fd_); }
    int Port() const { return port_; }

  private:
    int fd_;
    int port_;
};

std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ETcpError& e) {
        return e.what();
    }
    return "";
}

TEST(TcpClient, ConnectsSendsReceivesAndCloses) {
    FakeGateway gateway([](GatewayPeer& peer) { peer.Write(peer.Read(5)); });
    TcpClient client;
    EXPECT_FALSE(client.IsOpen());
    client.Open("127.0.0.1", gateway.Port(), 1000);
    ASSERT_TRUE(client.IsOpen());
    EXPECT_EQ(client.Host(), "127.0.0.1");
    EXPECT_EQ(client.Port(), gateway.Port());

    client.Send(std::string("ab\0cd", 5));
    client.Send("");
    size_t total = 0;
    while (total < 5)
        total += client.WaitForData(1000);
    EXPECT_EQ(total, 5u);
    EXPECT_EQ(client.TakeInput(2), "ab");
    EXPECT_EQ(client.InputSize(), 3u);
    client.ClearInput();
    EXPECT_EQ(client.InputSize(), 0u);

    EXPECT_THAT(ErrorOf([&] { client.Open("127.0.0.1", gateway.Port(), 1000); }),
                HasSubstr("已经打开"));
    EXPECT_TRUE(client.IsOpen()) << "a refused second open keeps the connection";

    client.Close();
    EXPECT_FALSE(client.IsOpen());
    client.Close();
    EXPECT_EQ(gateway.Received(), std::string("ab\0cd", 5));
}

TEST(TcpClient, ResolvesHostNames) {
    FakeGateway gateway([](GatewayPeer&) {});
    TcpClient client;
    client.Open("localhost", gateway.Port(), 1000);
    EXPECT_TRUE(client.IsOpen());
}

TEST(TcpClient, FailedOpenLeavesItClosed) {
    LoopbackSocket unused;
    struct Case {
        const char* host;
        int port;
        const char* error;
    } const cases[] = {
        {"127.0.0.1", unused.Port(), "连接被拒绝"},
        {"", 1030, "主机地址为空"},
        {"127.0.0.1", 0, "端口号无效"},
        {"127.0.0.1", 65536, "端口号无效"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host + std::string(":") + std::to_string(c.port));
        TcpClient client;
        EXPECT_THAT(ErrorOf([&] { client.Open(c.host, c.port, 500); }), HasSubstr(c.error));
        EXPECT_FALSE(client.IsOpen());
    }
}

TEST(TcpClient, ConnectGivesUpAtTheTimeOut) {
    // A listener that never accepts, with its queue filled, ignores new
    // connection requests: the connect can only end by the time-out.
    LoopbackSocket listener(0);
    std::vector<TcpClient> fillers(8);
    size_t filled = 0;
    for (TcpClient& filler : fillers) {
        if (!ErrorOf([&] { filler.Open("127.0.0.1", listener.Port(), 100); }).empty())
            break;
        ++filled;
    }
    ASSERT_LT(filled, fillers.size()) << "the listener's queue never filled";
    TcpClient client;
    EXPECT_THAT(ErrorOf([&] { client.Open("127.0.0.1", listener.Port(), 100); }),
                HasSubstr("超时"));
    EXPECT_FALSE(client.IsOpen());
}

TEST(TcpClient, WaitTimesOutAndStaysOpen) {
    FakeGateway gateway([](GatewayPeer&) {});
    TcpClient client;
    client.Open("127.0.0.1", gateway.Port(), 1000);
    EXPECT_THAT(ErrorOf([&] { client.WaitForData(50); }), HasSubstr("超时"));
    EXPECT_TRUE(client.IsOpen());
}

TEST(TcpClient, PeerCloseIsNoticedByTheNextWait) {
    FakeGateway gateway([](GatewayPeer& peer) {
        peer.WriteHex("0102");
        peer.Close();
        peer.Notify();
    });
    TcpClient client;
    client.Open("127.0.0.1", gateway.Port(), 1000);
    ASSERT_TRUE(gateway.WaitForScript());
    EXPECT_TRUE(client.IsOpen()) << "nothing has looked at the socket yet";

    // Bytes sent before the close still arrive; the close comes after them.
    size_t total = 0;
    while (total < 2)
        total += client.WaitForData(1000);
    EXPECT_EQ(client.TakeInput(2), "\x01\x02");
    EXPECT_THAT(ErrorOf([&] { client.WaitForData(1000); }), HasSubstr("对方关闭"));
    EXPECT_FALSE(client.IsOpen());
    EXPECT_THAT(ErrorOf([&] { client.WaitForData(10); }), HasSubstr("未打开"));
    EXPECT_THAT(ErrorOf([&] { client.Send("x"); }), HasSubstr("未打开"));
}

TEST(TcpClient, PeerCloseIsNoticedByAFailingSend) {
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "orderly close");
        // The gateway hangs up only once the client has seen its connection
        // made: a reset any sooner would fail the connect itself.
        FakeGateway gateway([reset](GatewayPeer& peer) {
            peer.Read(1);
            peer.Close(reset);
            peer.Notify();
        });
        TcpClient client;
        client.Open("127.0.0.1", gateway.Port(), 1000);
        client.Send("g");
        ASSERT_TRUE(gateway.WaitForScript());
        // The first write after an orderly close may still be accepted
        // locally; the peer's reset to it fails a later one.
        std::string error;
        for (int i = 0; i < 50 && error.empty(); ++i) {
            error = ErrorOf([&] { client.Send("ping"); });
            Pause(5);
        }
        EXPECT_THAT(error, HasSubstr("发送失败"));
        EXPECT_FALSE(client.IsOpen());
    }
}

TEST(TcpClient, OneReceiveTakesAtMost32768Bytes) {
    std::string data(40000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    FakeGateway gateway([&data](GatewayPeer& peer) {
        peer.Write(data);
        peer.Notify();
    });
    TcpClient client;
    client.Open("127.0.0.1", gateway.Port(), 1000);
    ASSERT_TRUE(gateway.WaitForScript());
    Pause(50);  // let every byte land before the first receive

    size_t total = 0, largest = 0;
    while (total < data.size()) {
        const size_t n = client.WaitForData(1000);
        EXPECT_LE(n, TcpClient::kReceiveSize);
        largest = std::max(largest, n);
        total += n;
    }
    EXPECT_EQ(largest, TcpClient::kReceiveSize);
    EXPECT_EQ(client.TakeInput(data.size()), data);
}
}  // namespace

namespace {
TEST(TcpClient, IdleCallbackRunsWhileItWaits) {
    FakeGateway gateway([](GatewayPeer& peer) {
        peer.Pause(150);
        peer.WriteHex("0102");
    });
    int calls = 0;
    TcpClient client;
    client.SetIdleCallback([&calls] { ++calls; });
    // A host name takes the resolver thread, with the caller idle meanwhile.
    client.Open("localhost", gateway.Port(), 1000);
    calls = 0;
    size_t total = 0;
    while (total < 2)
        total += client.WaitForData(1000);
    EXPECT_EQ(client.TakeInput(2), "\x01\x02");
    EXPECT_GE(calls, 2) << "150 ms of waiting in slices of " << TcpClient::kIdleSliceMs << " ms";

    calls = 0;
    EXPECT_THAT(ErrorOf([&] { client.WaitForData(100); }), HasSubstr("超时"));
    EXPECT_GE(calls, 2);
    EXPECT_TRUE(client.IsOpen());
}

TEST(TcpClient, IdleCallbackRunsWhileItConnects) {
    LoopbackSocket listener(0);
    std::vector<TcpClient> fillers(8);
    for (TcpClient& filler : fillers)
        if (!ErrorOf([&] { filler.Open("127.0.0.1", listener.Port(), 100); }).empty())
            break;
    int calls = 0;
    TcpClient client;
    client.SetIdleCallback([&calls] { ++calls; });
    EXPECT_THAT(ErrorOf([&] { client.Open("127.0.0.1", listener.Port(), 100); }),
                HasSubstr("超时"));
    EXPECT_GE(calls, 2);
    EXPECT_FALSE(client.IsOpen());
}

TEST(TcpClient, ErrorInTheIdleCallbackEndsTheWait) {
    FakeGateway gateway([](GatewayPeer&) {});
    TcpClient client;
    client.Open("127.0.0.1", gateway.Port(), 1000);
    client.SetIdleCallback([] { throw std::runtime_error("window gone"); });
    try {
        client.WaitForData(1000);
        ADD_FAILURE() << "the wait went on";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "window gone");
    }
    EXPECT_TRUE(client.IsOpen());
}
}  // namespace
