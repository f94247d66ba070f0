// Answering a modal window from a test: the check runs from the event loop once the
// window is up, while the code under test waits in the window's own loop.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>
#include <functional>
#include <memory>

namespace vel::test {

// Calls `answer` with the next modal widget of type T (within 10 s). `seen` is set when
// it was found, so that a test can tell a window that never came.
template <class T>
void WhenModal(std::function<void(T*)> answer, std::shared_ptr<bool> seen) {
  auto* poll = new QTimer;
  auto started = std::make_shared<QElapsedTimer>();
  started->start();
  QObject::connect(poll, &QTimer::timeout, [poll, answer, seen, started] {
    if (auto* window = qobject_cast<T*>(QApplication::activeModalWidget())) {
      poll->stop();
      poll->deleteLater();
      *seen = true;
      answer(window);
    } else if (started->elapsed() > 10000) {
      poll->stop();
      poll->deleteLater();
    }
  });
  poll->start(20);
}

}  // namespace vel::test
