#include "ConsoleTestSupport.h"

#include "TApplication.h"

#include <fstream>
#include <sstream>

const QDateTime WindowTest::kNow(QDate(2024, 1, 19), QTime(15, 30, 0));

void WindowTest::SetUp() {
    ASSERT_TRUE(folder.isValid());
    TApplication::SetErrorBox(
        [this](const QString& title, const QString& text) { errors << title + u'|' + text; });
}

void WindowTest::TearDown() {
    if (window && window->isVisible())
        window->hide();
    window.reset();
    TApplication::SetErrorBox({});
}

void WindowTest::WriteConfig(const std::string& bytes) {
    std::ofstream(ConfigPath().toStdString(), std::ios::binary) << bytes;
}

std::optional<std::string> WindowTest::ReadConfig() const {
    std::ifstream in(ConfigPath().toStdString(), std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TForm1& WindowTest::Open(const QString& configPath) {
    window = std::make_unique<TForm1>(configPath.isEmpty() ? ConfigPath() : configPath);
    window->clock = [] { return kNow; };
    return *window;
}
