#pragma once

#include <QPointer>
#include <functional>
#include <utility>

namespace px::app {

// A window's dialog that is built the first time it is used and kept from
// then on, so it still shows the folder the user went to last time. Most
// runs never open it, and building a file dialog costs the window's start
// thousands of icon-theme lookups.
template <typename Dialog>
class OnFirstUse {
 public:
  void SetMaker(std::function<Dialog*()> make) { make_ = std::move(make); }
  Dialog* operator->() {
    if (dialog_.isNull()) dialog_ = make_();
    return dialog_.data();
  }

 private:
  std::function<Dialog*()> make_;
  QPointer<Dialog> dialog_;
};

}  // namespace px::app
