#pragma once

#include <QPointer>
#include <QWidget>

#include "common/ui.h"

namespace px::app {

// Message boxes over the main window. On the window's thread a box is modal
// and the caller waits for OK; from another thread (the detection thread's
// "Drive Count Must less than 20.") it is posted to the window's thread and
// the caller goes on, so that thread never waits on a window that may be
// waiting for it to end. Questions are asked on the window's thread only,
// with No as the default button; elsewhere the answer is No.
class WindowMessages final : public px::Messages {
 public:
  explicit WindowMessages(QWidget* parent) : parent_(parent) {}
  void Show(std::string_view title, std::string_view text, px::MessageIcon icon) override;
  bool Ask(std::string_view title, std::string_view text) override;

 private:
  QPointer<QWidget> parent_;
};

}  // namespace px::app
