#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace px {

// The main window's status bar, as the core sees it. Panel 4, the last one, is
// the message panel that takes results and errors.
class StatusPanels {
 public:
  static constexpr int kMessagePanel = 4;
  virtual ~StatusPanels() = default;
  virtual void SetText(int panel, std::string_view text) = 0;
  // The message panel takes the bar's width minus panels 0-3: room for a
  // full path. Nothing to do where there is no bar.
  virtual void WidenMessagePanel() {}
};

enum class MessageIcon { None, Error, Exclamation, Information };

// Message boxes. The core decides what to say; the window (or a test fake, or
// the command-line tool) decides how to show it.
class Messages {
 public:
  virtual ~Messages() = default;
  virtual void Show(std::string_view title, std::string_view text, MessageIcon icon) = 0;
  // A question with the answers Yes and No; true for Yes. Where no one can
  // answer, the answer is No: what a question guards is never done on one
  // that nobody saw.
  virtual bool Ask(std::string_view /*title*/, std::string_view /*text*/) { return false; }
};

// "Let the window process pending messages": the window's event loop on its
// own thread, nothing elsewhere.
using MessagePump = std::function<void()>;

}  // namespace px
