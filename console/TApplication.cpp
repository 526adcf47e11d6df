#include "TApplication.h"

#include <QMessageBox>

#include <exception>

namespace {
TApplication::ErrorBox& InstalledErrorBox() {
    static TApplication::ErrorBox box;
    return box;
}

// Called from inside a catch block.
void ReportCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        TApplication::ShowError(QString::fromUtf8(e.what()));
    } catch (...) {
        TApplication::ShowError(QStringLiteral("Unknown error"));
    }
}
}  // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ReportCurrentException();
    }
    return false;
}

void TApplication::Guard(const std::function<void()>& handler) {
    try {
        handler();
    } catch (...) {
        ReportCurrentException();
    }
}

QString TApplication::ErrorBoxText(const QString& message) {
    if (message.isEmpty() || message.back().unicode() <= u'.')
        return message;
    return message + u'.';
}

void TApplication::ShowError(const QString& message) {
    const QString title = QGuiApplication::applicationDisplayName();
    const QString text = ErrorBoxText(message);
    if (InstalledErrorBox()) {
        InstalledErrorBox()(title, text);
        return;
    }
    // No parent: the box keeps the platform's look rather than the window's
    // dark skin, which is written for the window's own controls.
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void TApplication::SetErrorBox(ErrorBox box) {
    InstalledErrorBox() = std::move(box);
}
