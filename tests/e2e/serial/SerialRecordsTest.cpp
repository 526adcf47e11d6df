// The results record of the serial tab: one row for each operation's outcome.
#include "SerialTabFixture.h"

#include "RecordFiles.h"
#include "SerialLink.h"

#include <QPushButton>

namespace {
std::string Row(const std::string& rest) {
    return "2024-01-19T15:30:00,serial," + rest;
}
}  // namespace

TEST_F(SerialTabTest, EveryOperationLeavesItsRow) {
    // 106 corrupts its first reply, 107 never answers.
    StartSim({"--fault", "000230319106:badsum@1", "--fault", "000230319107:silent"});
    OpenWindow("[Ports]\nCOM1=" + sim->PtyLink() + "\n", timeoutMs);
    ui().btnOpenCOM->click();
    ASSERT_TRUE(PortOpen);
    ui().cbWaterType->setCurrentIndex(1);

    const struct {
        QPushButton* Ui::TForm1::*button;
        QString address;
        QString password;
    } steps[] = {
        {&Ui::TForm1::btnGetDataCOM, "000230319105", "250913"},
        {&Ui::TForm1::btnGetDataCOM, "000230319106", "250913"},
        {&Ui::TForm1::btnGetDataCOM, "000230319107", "250913"},
        {&Ui::TForm1::btnOpenValveCOM, "000230319105", "123456"},
        {&Ui::TForm1::btnCloseValveCOM, "000230319105", "250913"},
        {&Ui::TForm1::btnGetValveStateCOM, " 000230319106", "250913"},
        {&Ui::TForm1::btnGetDataCOM, "  ", "250913"},
        {&Ui::TForm1::btnReadAddrCOM, "000230319105", "250913"},
    };
    for (const auto& step : steps) {
        ui().edtAddr->setText(step.address);
        ui().edtPW->setText(step.password);
        (ui().*step.button)->click();
    }

    bool headerOk = false;
    EXPECT_EQ(
        records::CsvRows(folder.filePath(QStringLiteral("results/2024-01-19.csv")), &headerOk),
        (std::vector<std::string>{
            Row("read_reading,000230319105,ok,11.00,00,,,"
                "FEFEFE6805913130020068810843C33344333333339B16"),
            Row("read_reading,000230319106,checksum_error,,,,,"
                "FEFEFE6806913130020068810843C389674533B333A816"),
            Row("read_reading,000230319107,no_answer,,,,,"),
            Row("open_valve,000230319105,refused,,,,04,FEFEFE68059131300200688401378516"),
            Row("close_valve,000230319105,ok,,,,,FEFEFE680591313002006884004D16"),
            Row("read_valve_state,000230319106,ok,,,closed,,"
                "FEFEFE680691313002006881036FF3B36316"),
            Row("read_reading,  ,empty_address,,,,,"),
            Row("read_address,000230319105,ok,,,,,FEFEFE6805913130020068810865F338C464633533D516"),
        }));
    EXPECT_TRUE(headerOk);
}
