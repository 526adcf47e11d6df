// Takes the operator guide's pictures: the real window, driven the way an
// operator drives it, against a running meter-sim (loopback and a pty only).
//   guide-shots --pty PATH --port N --out DIR
// Needs a real display (Xvfb with the xcb platform): the device list's popup
// is a window of its own, so the pictures are taken from the screen.
#include "FakeDeviceTree.h"
#include "SerialLink.h"
#include "TApplication.h"
#include "UMain.h"
#include "ui_UMain.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <string>

namespace {

void Pump(
    int ms, const std::function<bool()>& done = [] { return false; }) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms && !done())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// The window as it is on the screen, popups over it included.
bool Shoot(TForm1& w, const QString& path) {
    Pump(300);
    const QRect frame = w.frameGeometry();
    const QPixmap shot =
        w.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    if (shot.isNull() || !shot.save(path)) {
        std::fprintf(stderr, "guide-shots: cannot save %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "guide-shots: %s\n", what);
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    QString pty, out;
    int port = 0;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--pty")
            pty = args[i + 1];
        else if (args[i] == "--port")
            port = args[i + 1].toInt();
        else if (args[i] == "--out")
            out = args[i + 1];
    }
    if (pty.isEmpty() || port <= 0 || out.isEmpty())
        Fail("usage: guide-shots --pty PATH --port N --out DIR");
    QDir().mkpath(out);

    // Two adapters as the kernel shows them; the first leads to meter-sim's pty.
    FakeDeviceTree tree;
    FakeDeviceTree::Usb ftdi;
    ftdi.byId = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    ftdi.nodeTarget = pty.toStdString();
    tree.AddUsb("ttyUSB0", "1-2", ftdi);
    FakeDeviceTree::Usb ch340;
    ch340.vendor = "1a86";
    ch340.product = "7523";
    ch340.serial = "";
    ch340.manufacturer = "QinHeng Electronics";
    ch340.productName = "USB Serial";
    ch340.driver = "ch341-uart";
    ch340.byId = "usb-1a86_USB_Serial-if00-port0";
    tree.AddUsb("ttyUSB1", "1-3", ch340);
    TForm1::deviceRoots = {tree.Dev(), tree.Sys()};

    QTemporaryDir folder;
    TForm1 w(folder.filePath(QStringLiteral("Config.ini")), nullptr, folder.path());
    w.ui->edtRemoteHost->setText(QStringLiteral("127.0.0.1"));
    w.ui->edtRemotePort->setText(QString::number(port));
    w.ui->cbWaterType->setCurrentIndex(1);
    w.show();
    Pump(500);

    // Serial tab: the device list open under COM1.
    w.ui->sPageControl1->setCurrentWidget(w.ui->sTabSheet1);
    w.ui->edtComName->setCurrentIndex(0);
    w.RefreshSerialDevices();
    w.ui->edtComDevice->showPopup();
    if (!Shoot(w, out + "/serial-device.png"))
        return 1;
    w.ui->edtComDevice->hidePopup();
    const int picked = w.ui->edtComDevice->findText(QStringLiteral("FTDI"), Qt::MatchContains);
    if (picked < 0)
        Fail("the device list has no FTDI adapter");
    w.ui->edtComDevice->setCurrentIndex(picked);
    emit w.ui->edtComDevice->activated(picked);

    // Open the port and read a reading.
    w.ui->btnOpenCOM->click();
    if (!PortOpen) {
        std::fprintf(stderr, "%s\n", qPrintable(w.ui->sStatusBar1Panel1->text()));
        Fail("the serial port did not open");
    }
    w.ui->edtAddr->setText(QStringLiteral("000230319105"));
    w.ui->btnGetDataCOM->click();
    Pump(500);
    if (w.ui->lblDATA->text().isEmpty())
        Fail("the read reading showed no reading");
    if (!Shoot(w, out + "/serial-reading.png"))
        return 1;
    w.ui->btnOpenCOM->click();

    // Network tab: a batch of twelve, pictured half-way, then stopped.
    w.ui->sPageControl1->setCurrentWidget(w.ui->sTabSheet2);
    w.ui->mmo->clear();
    w.ui->btnOpenTCP->click();
    if (!w.TcpClient1.IsOpen())
        Fail("the gateway connection did not open");
    QStringList lines;
    for (int i = 0; i < 4; ++i)
        lines << "000230319105"
              << "000230319106"
              << "000230319107";
    w.ui->AddrList->setPlainText(lines.join(u'\n'));

    bool shotMid = false, stopped = false, ok = true;
    QTimer watcher;
    watcher.setInterval(5);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        const QString progress = w.ui->sStatusBar1Panel1->text();
        if (!shotMid && progress.startsWith(u"5/12")) {
            shotMid = true;
            ok = Shoot(w, out + "/network-batch.png") && ok;
        } else if (shotMid && !stopped && progress.startsWith(u"8/12")) {
            stopped = true;
            w.ui->btnStopTCP->click();
        }
    });
    watcher.start();
    w.ui->btnGetDataTCP->click();
    watcher.stop();
    if (!shotMid || !stopped)
        Fail("the batch ended before its pictures were taken");
    if (!ok || !Shoot(w, out + "/network-stopped.png"))
        return 1;
    w.ui->btnOpenTCP->click();
    TForm1::deviceRoots = {};
    return 0;
}
