// The operator's mouse and keyboard as the platform delivers them: events
// queued with the window system, handed to the window only when the event
// loop takes window-system input in. A hold of user input therefore holds
// these too, as it holds a real click; QTest's own clicks are delivered at
// once and would pass any hold.
#pragma once

#include <qpa/qwindowsysteminterface.h>
#include <QPoint>
#include <QWindow>

namespace platform_input {

inline void Click(QWindow* window, QPoint at) {
    using Queue = QWindowSystemInterface::AsynchronousDelivery;
    const QPointF local(at);
    const QPointF global(window->mapToGlobal(at));
    QWindowSystemInterface::handleMouseEvent<Queue>(window, local, global, Qt::LeftButton,
                                                    Qt::LeftButton, QEvent::MouseButtonPress);
    QWindowSystemInterface::handleMouseEvent<Queue>(window, local, global, Qt::NoButton,
                                                    Qt::LeftButton, QEvent::MouseButtonRelease);
}

inline void Key(QWindow* window, Qt::Key key) {
    using Queue = QWindowSystemInterface::AsynchronousDelivery;
    QWindowSystemInterface::handleKeyEvent<Queue>(window, QEvent::KeyPress, key, Qt::NoModifier);
    QWindowSystemInterface::handleKeyEvent<Queue>(window, QEvent::KeyRelease, key, Qt::NoModifier);
}

}  // namespace platform_input
