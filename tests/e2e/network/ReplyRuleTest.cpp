// The reply rule through meter-sim's gateway: an echoing link, bytes around
// the reply frame and a pause inside it.
#include "DefaultBus.h"

#include <QPushButton>

#include <algorithm>

using namespace bus;

TEST_F(NetworkTab, EchoingGatewayGivesEveryMeterItsOwnReply) {
    StartSim({"--echo"});
    Connect();
    SetAddresses({QString::fromStdString(kMeter1), QString::fromStdString(kMeter2),
                  QString::fromStdString(kMeter3)});
    size_t mark = Mark();
    form().ui->btnGetDataTCP->click();
    EXPECT_EQ(Results(), Lines({ReadingLines(kMeter1Reading), ReadingLines(kMeter2Reading),
                                ReadingLines(kMeter3Reading)}));
    EXPECT_EQ(LogSince(mark), Concat({ReadingLog(kMeter1Reading, ReadReading(kMeter1)),
                                      ReadingLog(kMeter2Reading, ReadReading(kMeter2)),
                                      ReadingLog(kMeter3Reading, ReadReading(kMeter3))}));

    // Read address: the echo of the all-nines request is no address.
    mark = Mark();
    form().ui->btnReadAddrTCP->click();
    const std::string request = Frame("999999999999", "01", "65F3");
    EXPECT_EQ(LogSince(mark).at(1), Entry("TCP/IP读通讯地址", "跳过 <-" + request));
    EXPECT_TRUE(CommandButtonsEnabled());
}

TEST_F(NetworkTab, BytesAroundTheReplyFrameAndAPauseInsideIt) {
    const struct {
        const char* fault;
        std::string skipped;  // empty: no entry
    } cases[] = {
        {"split=300", ""},
        {"noise=00FF11", "00FF11"},
        {"lone=30", ""},  // read reading drops a lone first byte itself
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        StartSim({"--instant", "--fault", kMeter1 + ":" + c.fault});
        Connect();
        SetAddresses({QString::fromStdString(kMeter1), QString::fromStdString(kMeter2)});
        const size_t mark = Mark();
        form().ui->btnGetDataTCP->click();
        EXPECT_EQ(Results(), Lines({ReadingLines(kMeter1Reading), ReadingLines(kMeter2Reading)}));
        EXPECT_EQ(LogSince(mark),
                  Concat({ReadingLog(kMeter1Reading, c.skipped), ReadingLog(kMeter2Reading)}));
        window.reset();
        sim.reset();
    }
}

TEST_F(NetworkTab, StrayByteAfterTheReplySpoilsNothing) {
    StartSim({"--instant", "--fault", kMeter1 + ":trail=00"});
    Connect();
    SetAddresses({QString::fromStdString(kMeter1), QString::fromStdString(kMeter1),
                  QString::fromStdString(kMeter2)});
    const size_t mark = Mark();
    form().ui->btnGetDataTCP->click();
    EXPECT_EQ(Results(), Lines({ReadingLines(kMeter1Reading), ReadingLines(kMeter1Reading),
                                ReadingLines(kMeter2Reading)}));
    // The byte shows apart when it came in the reply's receive; otherwise the
    // next exchange drops it with whatever else was waiting.
    std::vector<LogEntry> log = LogSince(mark);
    std::erase(log, Entry("TCP/IP读表数", "跳过 <-00"));
    EXPECT_EQ(log, Concat({ReadingLog(kMeter1Reading), ReadingLog(kMeter1Reading),
                           ReadingLog(kMeter2Reading)}));
}
