// The application object. Its one job beyond QApplication: an exception that
// escapes any event handler ends up in the standard error box, and the
// program carries on with the next event.
#pragma once

#include <QApplication>
#include <QString>

#include <functional>

class TApplication : public QApplication {
  public:
    TApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Runs a handler and reports what escapes it in the standard error box.
    // Catching here, before the exception reaches Qt's own frames, spares Qt
    // an unwinding it is not written for; notify() stays the net for the rest.
    static void Guard(const std::function<void()>& handler);

    // Shows the standard error box: critical icon, OK button, titled with the
    // application's task-bar title.
    static void ShowError(const QString& message);

    // The message as the box shows it: a "." is added unless the text is
    // empty or already ends in a character whose code is at most that of ".".
    static QString ErrorBoxText(const QString& message);

    // Test seam: replaces the modal box by a recorder (empty restores the box).
    using ErrorBox = std::function<void(const QString& title, const QString& text)>;
    static void SetErrorBox(ErrorBox box);
};
