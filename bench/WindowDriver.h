// Drives the real console window offscreen the way an operator does: finds
// its controls by objectName and clicks its buttons.
#pragma once

#include "UMain.h"

#include <QPlainTextEdit>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

// A control is missing, or a click did not do what an operator would see.
class DriveError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class WindowDriver {
  public:
    // Builds the window on configPath, shows it and lets it settle. Error
    // boxes are recorded, never shown.
    explicit WindowDriver(const QString& configPath);
    ~WindowDriver();

    TForm1& Form() { return *form; }

    template <class T>
    T& Control(const char* name) {
        T* control = form->findChild<T*>(QString::fromLatin1(name));
        if (!control)
            throw DriveError(std::string("the window has no control ") + name);
        return *control;
    }

    // Clicks a button by its name; the handler runs before this returns.
    void Click(const char* name);
    // Runs the event loop until done() holds or timeoutMs pass; false on time-out.
    bool PumpUntil(const std::function<bool()>& done, int timeoutMs);

    QString Log();
    // The last n non-empty lines of the log pane, one line, for a message.
    std::string LogTail(int n = 4);
    // Error boxes shown so far, and forgets them.
    QStringList TakeErrors();

  private:
    std::unique_ptr<TForm1> form;
    QStringList errors;
};

// Non-empty lines of a plain-text control.
int CountLines(const QString& text, const QString& containing = QString());
