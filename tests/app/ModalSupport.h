#pragma once
// Acting inside a modal run: the action is armed before the call that opens the window and
// runs, inside its nested loop, once the window is the active modal one.

#include <QApplication>
#include <QKeyEvent>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <functional>

inline void whenModal(std::function<void(QWidget*)> act, QWidget* expected = nullptr) {
  auto* poll = new QTimer(qApp);
  poll->setInterval(5);
  QObject::connect(poll, &QTimer::timeout, qApp, [poll, act, expected] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || (expected && modal != expected)) return;
    poll->stop();
    poll->deleteLater();
    act(modal);
  });
  poll->start();
}

// A key press as the window system delivers it: to the window, which hands it to its
// focused widget.
inline void pressKey(QWidget* w, Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier,
                     bool autoRepeat = false) {
  QWindow* window = w->window()->windowHandle();
  QKeyEvent press(QEvent::KeyPress, key, mods, QString(), autoRepeat);
  QCoreApplication::sendEvent(window, &press);
  QKeyEvent release(QEvent::KeyRelease, key, mods, QString(), autoRepeat);
  QCoreApplication::sendEvent(window, &release);
}
