#pragma once

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <QtTest>
#include <functional>
#include <memory>

namespace px::test {

// Runs `action` on the modal window of type W once it is up, from inside its
// own event loop, then closes it if the action did not (a failed check
// returns early); a window that never comes up fails the test instead of
// hanging it.
template <typename W>
void WhenModal(std::function<void(W&)> action) {
  auto attempt = std::make_shared<std::function<void(int)>>();
  *attempt = [action, attempt](int left) {
    if (auto* window = qobject_cast<W*>(QApplication::activeModalWidget())) {
      QPointer<W> guard(window);
      action(*window);
      if (guard && guard->isVisible()) guard->close();
    } else if (left > 0) {
      QTimer::singleShot(10, [attempt, left] { (*attempt)(left - 1); });
    } else {
      QFAIL("the expected modal window never came up");
    }
  };
  QTimer::singleShot(0, [attempt] { (*attempt)(300); });
}

}  // namespace px::test
