#include "WindowDriver.h"

#include "TApplication.h"
#include "ui_UMain.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

WindowDriver::WindowDriver(const QString& configPath) {
    TApplication::SetErrorBox([this](const QString&, const QString& text) { errors << text; });
    form = std::make_unique<TForm1>(configPath);
    form->show();
    PumpUntil([] { return false; }, 50);
}

WindowDriver::~WindowDriver() {
    form->hide();
    form.reset();
    TApplication::SetErrorBox({});
}

void WindowDriver::Click(const char* name) {
    QAbstractButton& button = Control<QAbstractButton>(name);
    if (!button.isEnabled())
        throw DriveError(std::string(name) + " is disabled");
    button.click();
}

bool WindowDriver::PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer elapsed;
    elapsed.start();
    // Sleeps in the dispatcher between events; the tick bounds each sleep
    // so done() is checked at least every millisecond.
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.start(1);
    while (!done()) {
        if (elapsed.elapsed() >= timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

QString WindowDriver::Log() {
    return form->ui->mmo->toPlainText();
}

std::string WindowDriver::LogTail(int n) {
    QStringList lines = Log().split(u'\n', Qt::SkipEmptyParts);
    if (lines.size() > n)
        lines = lines.mid(lines.size() - n);
    return lines.join(QStringLiteral(" | ")).toStdString();
}

QStringList WindowDriver::TakeErrors() {
    QStringList taken;
    taken.swap(errors);
    return taken;
}

int CountLines(const QString& text, const QString& containing) {
    int count = 0;
    for (const QString& line : text.split(u'\n', Qt::SkipEmptyParts))
        if (containing.isEmpty() || line.contains(containing))
            ++count;
    return count;
}
