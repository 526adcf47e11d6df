// The start-up baseline: what Qt Widgets itself takes to show an empty
// window of the console's size on the same platform.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setFixedSize(1201, 678);
    window.show();
    return app.exec();
}
