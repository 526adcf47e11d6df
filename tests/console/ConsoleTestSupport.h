// Shared pieces of the window tests: a window on a Config.ini in a temporary
// folder, with a fixed clock and the error box replaced by a recorder.
#pragma once

#include "UMain.h"
#include "ui_UMain.h"

#include <QDateTime>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

class WindowTest : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    QString ConfigPath() const { return folder.filePath(QStringLiteral("Config.ini")); }
    // nullopt: no file at all.
    void WriteConfig(const std::string& bytes);
    std::optional<std::string> ReadConfig() const;
    // Builds the window (FormCreate runs, so the Config.ini is read).
    TForm1& Open(const QString& configPath = QString());
    TForm1& form() { return *window; }

    template <class T>
    T* Control(const char* name) {
        T* control = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(control, nullptr) << name;
        return control;
    }

    static const QDateTime kNow;  // 2024-01-19 15:30:00
    QTemporaryDir folder;
    QStringList errors;  // what the error box would have shown, title + "|" + text
    std::unique_ptr<TForm1> window;
};
