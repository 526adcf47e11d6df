// The Winsock client against meter-sim on loopback and against sockets of
// its own that refuse, stay silent or hang up.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "HexText.h"
#include "MeterCommands.h"
#include "ReplyRule.h"
#include "TcpClient.h"
#include "TcpExchange.h"

namespace {
using testing::HasSubstr;
using Clock = std::chrono::steady_clock;

std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ETcpError& e) {
        return e.what();
    }
    return "";
}

int MeterSimPort() {
    const char* port = std::getenv("METER_SIM_TCP_PORT");
    return port ? std::atoi(port) : 0;
}

// A loopback socket of the test's own: bound only (connects are refused) or
// listening, accepting on demand.
class LoopbackSocket {
  public:
    explicit LoopbackSocket(bool listening) {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof a;
        ::bind(socket_, reinterpret_cast<sockaddr*>(&a), size);
        if (listening)
            ::listen(socket_, 4);
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&a), &size);
        port_ = ntohs(a.sin_port);
    }
    ~LoopbackSocket() {
        if (peer_ != INVALID_SOCKET)
            ::closesocket(peer_);
        ::closesocket(socket_);
        ::WSACleanup();
    }
    int Port() const { return port_; }
    void Accept() { peer_ = ::accept(socket_, nullptr, nullptr); }
    void HangUp() {
        ::closesocket(peer_);
        peer_ = INVALID_SOCKET;
    }
    std::string Receive(size_t atLeast) {
        std::string got;
        char buffer[65536];
        while (got.size() < atLeast) {
            const int n = ::recv(peer_, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            got.append(buffer, size_t(n));
        }
        return got;
    }

  private:
    SOCKET socket_ = INVALID_SOCKET;
    SOCKET peer_ = INVALID_SOCKET;
    int port_ = 0;
};

TEST(WinTcpClient, ReadsAMeterThroughTheSimulatedGateway) {
    const int port = MeterSimPort();
    ASSERT_GT(port, 0) << "meter-sim's port is not in METER_SIM_TCP_PORT";
    TcpClient client;
    client.Open("127.0.0.1", port, 3000);
    ASSERT_TRUE(client.IsOpen());

    const std::string address = "000230319105";
    const std::string request = BuildRequest(Operation::ReadReading, Tab::Network, address);
    ASSERT_FALSE(request.empty());
    client.Send(HexTextToBytes(request));

    // The gateway may hand the frame over in pieces.
    std::string bytes;
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    const ReplyRule rule = ReplyRule::ForRequest(HexTextToBytes(request));
    while (!rule.Find(bytes).found && Clock::now() < deadline) {
        client.WaitForData(3000);
        bytes += client.TakeInput(client.InputSize());
    }
    const ReplyOutcome outcome =
        DecodeReply(Operation::ReadReading, Tab::Network, BytesToHexText(bytes), address);
    EXPECT_EQ(outcome.kind, OutcomeKind::Reading) << BytesToHexText(bytes);
    EXPECT_EQ(outcome.tons, "11");

    client.Close();
    EXPECT_FALSE(client.IsOpen());
    client.Close();  // a second close does nothing
}

TEST(WinTcpClient, TheGatewayExchangeTakesTheAddressedMetersReply) {
    const int port = MeterSimPort();
    ASSERT_GT(port, 0) << "meter-sim's port is not in METER_SIM_TCP_PORT";
    TcpClient client;
    client.Open("127.0.0.1", port, 3000);
    struct Case {
        const char* address;
        const char* tons;
    } cases[] = {{"000230319105", "11"}, {"000230319106", "1234.56"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        const TcpExchangeResult got = TcpExchange(
            client, BuildRequest(Operation::ReadReading, Tab::Network, c.address), 3000, true);
        ASSERT_FALSE(got.readFailure);
        const ReplyOutcome outcome =
            DecodeReply(Operation::ReadReading, Tab::Network, got.reply, c.address);
        EXPECT_EQ(outcome.kind, OutcomeKind::Reading) << got.reply;
        EXPECT_EQ(outcome.tons, c.tons);
        EXPECT_TRUE(got.linkLost.empty());
    }
    // A meter that is not on the bus: nothing comes, the wait ends in a
    // read failure and the link stays up.
    const TcpExchangeResult silent = TcpExchange(
        client, BuildRequest(Operation::ReadReading, Tab::Network, "000230319199"), 300, false);
    EXPECT_TRUE(silent.readFailure);
    EXPECT_TRUE(client.IsOpen());
}

TEST(WinTcpClient, FailedOpensLeaveItClosedWithTheReason) {
    LoopbackSocket notListening(false);
    TcpClient client;
    EXPECT_THAT(ErrorOf([&] { client.Open("127.0.0.1", notListening.Port(), 2000); }),
                HasSubstr("连接被拒绝"));
    EXPECT_FALSE(client.IsOpen());
    EXPECT_THAT(ErrorOf([&] { client.Open("", 1030, 100); }), HasSubstr("主机地址为空"));
    EXPECT_THAT(ErrorOf([&] { client.Open("127.0.0.1", 70000, 100); }), HasSubstr("端口号无效"));
    EXPECT_THAT(ErrorOf([&] { client.Open("no-such-host.invalid", 1030, 100); }),
                HasSubstr("无法解析主机地址"));
    EXPECT_FALSE(client.IsOpen());
    EXPECT_THAT(ErrorOf([&] { client.Send("x"); }), HasSubstr("连接未打开"));
    EXPECT_THAT(ErrorOf([&] { client.WaitForData(10); }), HasSubstr("连接未打开"));
}

TEST(WinTcpClient, SilenceTimesOutAndAHangUpIsNoticed) {
    LoopbackSocket gateway(true);
    TcpClient client;
    client.Open("127.0.0.1", gateway.Port(), 2000);
    gateway.Accept();

    const auto began = Clock::now();
    EXPECT_THAT(ErrorOf([&] { client.WaitForData(300); }), HasSubstr("等待应答超时"));
    const auto waited = Clock::now() - began;
    EXPECT_GE(waited, std::chrono::milliseconds(290));
    EXPECT_LT(waited, std::chrono::milliseconds(2000));
    EXPECT_TRUE(client.IsOpen()) << "a silent gateway is still connected";

    gateway.HangUp();
    EXPECT_THAT(ErrorOf([&] { client.WaitForData(2000); }),
                testing::AnyOf(HasSubstr("连接已被对方关闭"), HasSubstr("连接被对方重置")));
    EXPECT_FALSE(client.IsOpen());
}

TEST(WinTcpClient, SendsALargeBlockWhole) {
    LoopbackSocket gateway(true);
    TcpClient client;
    client.Open("127.0.0.1", gateway.Port(), 2000);
    gateway.Accept();
    // More than the socket buffers hold: the send must wait and go on.
    std::string block(4 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 7);
    std::string received;
    std::thread reader([&] { received = gateway.Receive(block.size()); });
    client.Send(block);
    reader.join();
    EXPECT_EQ(received.size(), block.size());
    EXPECT_TRUE(received == block);
}

TEST(WinTcpClient, IdleCallbackRunsWhileItWaits) {
    LoopbackSocket gateway(true);
    TcpClient client;
    int calls = 0;
    client.SetIdleCallback([&] { ++calls; });
    client.Open("127.0.0.1", gateway.Port(), 2000);
    gateway.Accept();
    EXPECT_THAT(ErrorOf([&] { client.WaitForData(200); }), HasSubstr("超时"));
    EXPECT_GE(calls, 3);
}
}  // namespace
