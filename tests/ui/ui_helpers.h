#pragma once
// Helpers for driving the real window on the offscreen platform: input events
// delivered the way the window system would, and bounded waits.

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPointer>
#include <QThread>
#include <QWidget>
#include <functional>

namespace tovarin::test {

// Handles events until `done` holds, for at most `ms` milliseconds and a
// bounded number of rounds; whether it held.
inline bool pump_until(const std::function<bool()>& done, int ms = 5000) {
  QElapsedTimer timer;
  timer.start();
  for (int round = 0; round < 100000 && !done(); ++round) {
    if (timer.elapsed() > ms) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
  return done();
}

// Handles what is pending now.
inline void settle() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// A key press and release, to `target` or, without one, to the widget that
// has the focus (as the window system delivers keys).
inline void press_key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
                      QWidget* target = nullptr) {
  QWidget* to = target != nullptr ? target : QApplication::focusWidget();
  if (to == nullptr) return;
  QPointer<QWidget> guard(to);
  QKeyEvent press(QEvent::KeyPress, key, modifiers);
  QApplication::sendEvent(to, &press);
  if (!guard) return;
  QKeyEvent release(QEvent::KeyRelease, key, modifiers);
  QApplication::sendEvent(to, &release);
}

inline void send_mouse(QWidget* to, QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
  QMouseEvent event(type, QPointF(at), QPointF(to->mapToGlobal(at)), Qt::LeftButton, buttons,
                    Qt::NoModifier);
  QApplication::sendEvent(to, &event);
}

// A left click in the middle of `to` (or at `at`).
inline void click(QWidget* to, QPoint at = QPoint(-1, -1)) {
  if (at.x() < 0) at = to->rect().center();
  QPointer<QWidget> guard(to);
  send_mouse(to, QEvent::MouseButtonPress, at, Qt::LeftButton);
  if (guard) send_mouse(to, QEvent::MouseButtonRelease, at, Qt::NoButton);
}

// A left double-click as the window system reports it: press, release,
// double-click, release.
inline void double_click(QWidget* to, QPoint at) {
  QPointer<QWidget> guard(to);
  send_mouse(to, QEvent::MouseButtonPress, at, Qt::LeftButton);
  if (guard) send_mouse(to, QEvent::MouseButtonRelease, at, Qt::NoButton);
  if (guard) send_mouse(to, QEvent::MouseButtonDblClick, at, Qt::LeftButton);
  if (guard) send_mouse(to, QEvent::MouseButtonRelease, at, Qt::NoButton);
}

// Shows `window` and waits until it is the active window.
inline bool show_and_activate(QWidget* window) {
  window->show();
  window->activateWindow();
  return pump_until([window] { return window->isActiveWindow(); });
}

}  // namespace tovarin::test
