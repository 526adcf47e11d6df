// Config.ini: loading into the controls, saving them back without touching
// anything else in the file, and failing safely.
#include "ConsoleTestSupport.h"

#include "DeviceMap.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTest>

#include <unistd.h>

#include <functional>

namespace {
const std::string kDefaultFile =
    "[COM]\nPort=0\nBaudRate=2\nByteSize=0\nParity=0\nStopBits=0\nTimeOut=3000\n"
    "\n[TCP]\nHost=192.168.1.100\nPort=1030\n";

struct Shown {
    const char* port;
    const char* baud;
    const char* dataBits;
    const char* parity;
    const char* stopBits;
    const char* timeOut;
    const char* host;
    const char* tcpPort;
};

Shown Read(TForm1& f) {
    static std::string texts[8];
    texts[0] = f.ui->edtComName->currentText().toStdString();
    texts[1] = f.ui->edtBTL->currentText().toStdString();
    texts[2] = f.ui->edtData->currentText().toStdString();
    texts[3] = f.ui->edtEO->currentText().toStdString();
    texts[4] = f.ui->edtStop->currentText().toStdString();
    texts[5] = f.ui->edtDelay->text().toStdString();
    texts[6] = f.ui->edtRemoteHost->text().toStdString();
    texts[7] = f.ui->edtRemotePort->text().toStdString();
    return {texts[0].c_str(), texts[1].c_str(), texts[2].c_str(), texts[3].c_str(),
            texts[4].c_str(), texts[5].c_str(), texts[6].c_str(), texts[7].c_str()};
}

void ExpectShown(TForm1& f, const Shown& e, const std::string& what) {
    const Shown a = Read(f);
    const char* const actual[] = {a.port,     a.baud,    a.dataBits, a.parity,
                                  a.stopBits, a.timeOut, a.host,     a.tcpPort};
    const char* const expected[] = {e.port,     e.baud,    e.dataBits, e.parity,
                                    e.stopBits, e.timeOut, e.host,     e.tcpPort};
    for (int i = 0; i < 8; ++i)
        EXPECT_STREQ(actual[i], expected[i]) << what << " field " << i;
}
}  // namespace

class SettingsTest : public WindowTest {};

TEST_F(SettingsTest, LoadFillsTheControls) {
    const Shown defaults{"COM1", "2400", "8", "偶校验", "1", "3000", "192.168.1.100", "1030"};
    const struct {
        const char* what;
        const char* file;  // nullptr: no Config.ini at all
        Shown shown;
    } cases[] = {
        {"no file", nullptr, defaults},
        {"empty file", "", defaults},
        {"every key",
         "[COM]\nPort=2\nBaudRate=4\nByteSize=0\nParity=1\nStopBits=0\nTimeOut=0x10\n"
         "[TCP]\nHost=10.0.0.5\nPort=502\n",
         {"COM3", "9600", "8", "奇校验", "1", "16", "10.0.0.5", "502"}},
        {"names in any case, blanks around values",
         "[com]\r\nPORT = 18\r\nbaudrate=  $5\r\n[Tcp]\r\nhost =  gw.local  \r\nport=+80\r\n",
         {"COM19", "19200", "8", "偶校验", "1", "3000", "gw.local", "80"}},
        {"indexes outside the lists leave the selectors empty",
         "[COM]\nPort=19\nBaudRate=9600\nByteSize=-1\nParity=3\nStopBits=1\n",
         {"", "", "", "", "", "3000", "192.168.1.100", "1030"}},
        {"malformed numbers read as defaults",
         "[COM]\nPort=1.5\nBaudRate=4x\nTimeOut=abc\n[TCP]\nPort=2147483648\n", defaults},
        {"32-bit edges and signs",
         "[COM]\nTimeOut=-2147483648\n[TCP]\nPort=-$10\n",
         {"COM1", "2400", "8", "偶校验", "1", "-2147483648", "192.168.1.100", "-16"}},
        {"an empty Host stays empty",
         "[TCP]\nHost=\nPort=1\n",
         {"COM1", "2400", "8", "偶校验", "1", "3000", "", "1"}},
        {"a missing Host gets the default",
         "[TCP]\nPort=1\n",
         {"COM1", "2400", "8", "偶校验", "1", "3000", "192.168.1.100", "1"}},
        {"keys of other sections do not count", "[Other]\nPort=3\nTimeOut=1\n", defaults},
    };
    for (const auto& c : cases) {
        QFile::remove(ConfigPath());
        if (c.file)
            WriteConfig(c.file);
        Open();
        ExpectShown(form(), c.shown, c.what);
    }
}

TEST_F(SettingsTest, SaveWritesTheControlsInOrder) {
    const struct {
        const char* what;
        const char* file;
        std::function<void(TForm1&)> edit;
        std::string saved;
    } cases[] = {
        {"first close creates the default file", nullptr, nullptr, kDefaultFile},
        {"an index outside the list is saved as -1", "[COM]\nBaudRate=9600\n", nullptr,
         "[COM]\nBaudRate=-1\nPort=0\nByteSize=0\nParity=0\nStopBits=0\nTimeOut=3000\n"
         "\n[TCP]\nHost=192.168.1.100\nPort=1030\n"},
        {"fields that are not whole numbers save the defaults", nullptr,
         [](TForm1& f) {
             f.ui->edtDelay->setText("5000 ");
             f.ui->edtRemotePort->setText("port");
         },
         kDefaultFile},
        {"no bounds on the numbers, hex saved as decimal", nullptr,
         [](TForm1& f) {
             f.ui->edtDelay->setText("0");
             f.ui->edtRemotePort->setText("-0x1F");
             f.ui->edtRemoteHost->setText("");
             f.ui->edtComName->setCurrentIndex(18);
             f.ui->edtBTL->setCurrentIndex(-1);
         },
         "[COM]\nPort=18\nBaudRate=-1\nByteSize=0\nParity=0\nStopBits=0\nTimeOut=0\n"
         "\n[TCP]\nHost=\nPort=-31\n"},
        {"a host with a line break cannot add lines", nullptr,
         [](TForm1& f) { f.ui->edtRemoteHost->setText("gw\n[COM]\nPort=5"); },
         "[COM]\nPort=0\nBaudRate=2\nByteSize=0\nParity=0\nStopBits=0\nTimeOut=3000\n"
         "\n[TCP]\nHost=gw [COM] Port=5\nPort=1030\n"},
    };
    for (const auto& c : cases) {
        QFile::remove(ConfigPath());
        if (c.file)
            WriteConfig(c.file);
        Open();
        if (c.edit)
            c.edit(form());
        form().close();
        EXPECT_TRUE(errors.isEmpty()) << c.what;
        EXPECT_EQ(ReadConfig().value_or("<none>"), c.saved) << c.what;
    }
}

TEST_F(SettingsTest, ForeignLinesSurviveByteForByte) {
    const std::string before =
        "\xEF\xBB\xBF; written by the site engineer\r\n"
        "[Ports]\r\n"
        "COM3=/dev/ttyUSB0\r\n"
        "com12 = /dev/pts/7\r\n"
        "COMx=/dev/null\r\n"
        "\r\n"
        "[com]\r\n"
        "  timeout = 2500   ; ms\r\n"
        "Port=0\r\n"
        "Extra=keep me\r\n"
        "# trailing comment of COM\r\n"
        "\r\n"
        "[Vendor]\r\n"
        "Port=77\r\n"
        "[TCP]\r\n"
        "Host=10.0.0.9";
    WriteConfig(before);
    Open();
    EXPECT_EQ(GetSerialDeviceMap(), (SerialDeviceMap{{3, "/dev/ttyUSB0"}, {12, "/dev/pts/7"}}));
    ExpectShown(form(), {"COM1", "2400", "8", "偶校验", "1", "3000", "10.0.0.9", "1030"},
                "mixed file");
    form().ui->edtComName->setCurrentIndex(3);
    form().ui->edtDelay->setText("4000");
    form().close();
    EXPECT_EQ(ReadConfig(),
              "\xEF\xBB\xBF; written by the site engineer\r\n"
              "[Ports]\r\n"
              "COM3=/dev/ttyUSB0\r\n"
              "com12 = /dev/pts/7\r\n"
              "COMx=/dev/null\r\n"
              "\r\n"
              "[com]\r\n"
              "  timeout = 4000\r\n"
              "Port=3\r\n"
              "Extra=keep me\r\n"
              "BaudRate=2\r\n"
              "ByteSize=0\r\n"
              "Parity=0\r\n"
              "StopBits=0\r\n"
              "# trailing comment of COM\r\n"
              "\r\n"
              "[Vendor]\r\n"
              "Port=77\r\n"
              "[TCP]\r\n"
              "Host=10.0.0.9\r\n"
              "Port=1030\r\n");

    // Saving again with nothing changed leaves the file exactly as it is.
    const auto once = ReadConfig();
    Open();
    form().close();
    EXPECT_EQ(ReadConfig(), once);
}

TEST_F(SettingsTest, ConfigIniLiesBesideTheExecutableWhateverTheWorkingFolder) {
    const QString besideExe = QCoreApplication::applicationDirPath() + "/Config.ini";
    QFile existing(besideExe);
    const bool hadOne = existing.exists();
    QByteArray saved;
    if (hadOne && existing.open(QIODevice::ReadOnly))
        saved = existing.readAll();
    existing.close();

    const QString oldCwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(folder.path()));
    WriteConfig("[COM]\nPort=7\n");  // in the working folder: must be ignored
    {
        QFile file(besideExe);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[COM]\nPort=4\n");
    }
    window = std::make_unique<TForm1>();
    EXPECT_EQ(form().ConfigPath(), besideExe);
    EXPECT_EQ(form().ui->edtComName->currentText(), "COM5");
    form().close();
    QFile written(besideExe);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_TRUE(written.readAll().startsWith("[COM]\nPort=4\n"));
    EXPECT_EQ(ReadConfig(), "[COM]\nPort=7\n");

    QDir::setCurrent(oldCwd);
    QFile::remove(besideExe);
    if (hadOne) {
        QFile restore(besideExe);
        if (restore.open(QIODevice::WriteOnly))
            restore.write(saved);
    }
}

TEST_F(SettingsTest, AFailedSaveIsReportedAndTheWindowStillCloses) {
    // Root ignores permission bits, so the unwritable places are ones that
    // nobody can write: a folder that is a file, and a Config.ini that is a folder.
    QFile(folder.filePath("plain-file")).open(QIODevice::WriteOnly);
    QDir(folder.path()).mkpath("Config.ini");
    const QString cases[] = {
        folder.filePath("plain-file/Config.ini"),
        folder.filePath("missing-folder/Config.ini"),
        ConfigPath(),
    };
    for (const QString& path : cases) {
        errors.clear();
        Open(path);
        ExpectShown(form(), {"COM1", "2400", "8", "偶校验", "1", "3000", "192.168.1.100", "1030"},
                    path.toStdString());
        form().show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form()));
        form().close();
        EXPECT_FALSE(form().isVisible()) << path.toStdString();
        EXPECT_EQ(errors, QStringList(QGuiApplication::applicationDisplayName() +
                                      "|Unable to write to " + path + "."));
    }
    EXPECT_TRUE(QFileInfo(ConfigPath()).isDir());
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);  // no leftovers
}
