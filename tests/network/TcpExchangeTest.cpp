#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "FakeGateway.h"
#include "TcpExchange.h"

namespace {
// Read reading for 000230319105, its reply, and a reply from another meter.
const std::string kRequest = "FEFEFE6805913130020068010243C3D216";
const std::string kReply = "FEFEFE6805913130020068810843C33344333333339B16";
const std::string kOtherReply = "FEFEFE682674151002006881036FF3B32A16";
const std::string kBroadcastRequest = "FEFEFE6899999999999968010265F3C116";
constexpr int kWaitMs = 300;

void Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Answers the request with pieces, pausing between them so that each
// arrives in a receive of its own.
FakeGateway::Script Answer(std::vector<std::string> pieces, const std::string& request = kRequest) {
    return [pieces, size = request.size() / 2](GatewayPeer& peer) {
        peer.Read(size);
        for (size_t i = 0; i < pieces.size(); ++i) {
            if (i > 0)
                peer.Pause(40);
            peer.WriteHex(pieces[i]);
        }
    };
}

TEST(TcpExchange, CollectsThisMetersReplyFrame) {
    const std::string corrupted = kReply.substr(0, kReply.size() - 4) + "9C16";
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        bool dropLoneByte;
        bool readFailure;
        std::string reply;
        std::string skipped = "";
    } const cases[] = {
        {"one piece", {kReply}, false, false, kReply},
        {"split after the preamble", {kReply.substr(0, 6), kReply.substr(6)}, false, false, kReply},
        {"split in three",
         {kReply.substr(0, 16), kReply.substr(16, 12), kReply.substr(28)},
         true,
         false,
         kReply},
        {"split before the end byte",
         {kReply.substr(0, 44), kReply.substr(44)},
         false,
         false,
         kReply},
        {"lone FE kept without the flag", {"FE", kReply}, false, false, "FE" + kReply},
        {"lone FE dropped with the flag", {"FE", kReply}, true, false, kReply},
        {"lone byte dropped with the flag", {"00", kReply}, true, false, kReply},
        // Bytes in front of the frame are set apart, for the log to show.
        {"junk before the frame skipped", {"0011FE22" + kReply}, false, false, kReply, "0011FE22"},
        {"lone byte without the flag skipped", {"00", kReply}, false, false, kReply, "00"},
        {"junk around another meter's reply skipped",
         {"00" + kOtherReply, "11" + kReply},
         false,
         false,
         kReply,
         "00" + kOtherReply + "11"},
        {"the echo of the request skipped", {kRequest + kReply}, false, false, kReply, kRequest},
        {"another meter's late reply, then ours",
         {kOtherReply, kReply},
         false,
         false,
         kReply,
         kOtherReply},
        {"another meter's reply and ours together",
         {kOtherReply + kReply},
         false,
         false,
         kReply,
         kOtherReply},
        {"another meter's reply split around ours",
         {kOtherReply.substr(0, 20), kOtherReply.substr(20) + kReply.substr(0, 10),
          kReply.substr(10)},
         false,
         false,
         kReply,
         kOtherReply},
        {"bytes after the frame left out", {kReply + "FEFE68"}, false, false, kReply, "FEFE68"},
        {"a bad checksum is for the reply check", {corrupted}, false, false, corrupted},
        {"incomplete frame at the deadline",
         {kReply.substr(0, 30)},
         false,
         false,
         kReply.substr(0, 30)},
        {"incomplete after another meter's frame",
         {kOtherReply + kReply.substr(0, 30)},
         false,
         false,
         kReply.substr(0, 30),
         kOtherReply},
        {"only the echo", {kRequest}, false, true, "", kRequest},
        {"lone byte without the flag is the reply", {"00"}, false, false, "00"},
        {"lone byte with the flag and nothing after", {"00"}, true, true, ""},
        {"silence", {}, false, true, ""},
        {"only another meter's frame", {kOtherReply}, false, true, "", kOtherReply},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeGateway gateway(Answer(c.pieces));
        TcpClient client;
        client.Open("127.0.0.1", gateway.Port(), 1000);
        const TcpExchangeResult r = TcpExchange(client, kRequest, kWaitMs, c.dropLoneByte);
        EXPECT_EQ(r.readFailure, c.readFailure);
        EXPECT_EQ(r.reply, c.reply);
        EXPECT_EQ(r.skipped, c.skipped);
        EXPECT_TRUE(r.linkLost.empty());
        EXPECT_TRUE(client.IsOpen());
        EXPECT_EQ(client.InputSize(), 0u);
        client.Close();
        EXPECT_EQ(gateway.Received(), Bytes(kRequest));
    }
}

TEST(TcpExchange, BroadcastTakesAnyMetersReply) {
    FakeGateway gateway(Answer({kOtherReply}, kBroadcastRequest));
    TcpClient client;
    client.Open("127.0.0.1", gateway.Port(), 1000);
    const TcpExchangeResult r = TcpExchange(client, kBroadcastRequest, kWaitMs, false);
    EXPECT_FALSE(r.readFailure);
    EXPECT_EQ(r.reply, kOtherReply);
}

TEST(TcpExchange, DiscardsBytesWaitingBeforeTheRequest) {
    // The tail of an earlier reading of the same meter, and half a frame.
    const std::string stale =
        FrameHex("059131300200", "81", "43C33333333333333333") + "FEFE6805913130";
    FakeGateway gateway([&](GatewayPeer& peer) {
        peer.WriteHex(stale);
        peer.Notify();
        peer.Read(kRequest.size() / 2);
        peer.Pause(40);
        peer.WriteHex(kReply);
    });
    TcpClient client;
    client.Open("127.0.0.1", gateway.Port(), 1000);
    ASSERT_TRUE(gateway.WaitForScript());
    Pause(40);  // let the stale bytes land
    const TcpExchangeResult r = TcpExchange(client, kRequest, kWaitMs, true);
    EXPECT_FALSE(r.readFailure);
    EXPECT_EQ(r.reply, kReply);
}

TEST(TcpExchange, ClosedClientGivesAnEmptyReplyWithoutSending) {
    FakeGateway gateway([](GatewayPeer&) {});
    TcpClient client;
    client.Open("127.0.0.1", gateway.Port(), 1000);
    client.Close();
    const TcpExchangeResult r = TcpExchange(client, kRequest, kWaitMs, false);
    EXPECT_FALSE(r.readFailure);
    EXPECT_EQ(r.reply, "");
    EXPECT_EQ(gateway.Received(), "");
}

TEST(TcpExchange, EmptyFrameSendsNothingAndTimesOut) {
    FakeGateway gateway([](GatewayPeer&) {});
    TcpClient client;
    client.Open("127.0.0.1", gateway.Port(), 1000);
    EXPECT_TRUE(TcpExchange(client, "", 100, false).readFailure);
    EXPECT_TRUE(client.IsOpen());
    client.Close();
    EXPECT_EQ(gateway.Received(), "");
}

TEST(TcpExchange, GatewayHangingUpFailsTheReadThenTheLinkIsClosed) {
    struct Case {
        const char* name;
        FakeGateway::Script script;
        std::string firstRequestSeen;
        bool readFailure;
        std::string reply;
    } const cases[] = {
        {"during the wait",
         [](GatewayPeer& peer) {
             peer.Read(kRequest.size() / 2);
             peer.Close();
         },
         Bytes(kRequest), true, ""},
        {"after half a reply",
         [](GatewayPeer& peer) {
             peer.Read(kRequest.size() / 2);
             peer.WriteHex(kReply.substr(0, 20));
             peer.Pause(40);
             peer.Close();
         },
         // The half that came is no reply: the link's loss is the outcome.
         Bytes(kRequest), true, ""},
        {"before the request",
         [](GatewayPeer& peer) {
             peer.Read(1);
             peer.Close(true);
             peer.Notify();
         },
         "g", true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeGateway gateway(c.script);
        TcpClient client;
        client.Open("127.0.0.1", gateway.Port(), 1000);
        if (c.firstRequestSeen == "g") {
            client.Send("g");  // the gateway hangs up once the connection is made
            ASSERT_TRUE(gateway.WaitForScript());
            Pause(40);
        }
        const TcpExchangeResult first = TcpExchange(client, kRequest, kWaitMs, true);
        EXPECT_EQ(first.readFailure, c.readFailure);
        EXPECT_EQ(first.reply, c.reply);
        EXPECT_FALSE(first.linkLost.empty());
        EXPECT_FALSE(client.IsOpen());

        const TcpExchangeResult next = TcpExchange(client, kRequest, kWaitMs, true);
        EXPECT_FALSE(next.readFailure);
        EXPECT_EQ(next.reply, "");
        EXPECT_EQ(gateway.Received(), c.firstRequestSeen);
    }
}
}  // namespace
