#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// The desktop's notification service, org.freedesktop.Notifications on the
// session bus: what the window tells a user who is not looking at it.

namespace px::bus {

// The "urgency" hint that notification servers read.
enum class Urgency : uint8_t { Low = 0, Normal = 1, Critical = 2 };

struct DesktopNotice {
  std::string appName;
  // An icon's name as icon themes name them, or empty.
  std::string icon;
  std::string summary;
  // Servers may read markup in it: escaped by whoever fills it.
  std::string body;
  Urgency urgency = Urgency::Normal;
  // The basename of the program's .desktop file, which desktops show the
  // notification under; empty: none is sent.
  std::string desktopEntry;
  // How long it stays up; -1 lets the server decide.
  int32_t expireMs = -1;
};

struct NotifyOutcome {
  bool shown = false;
  // The server's id of the notification, once shown.
  uint32_t id = 0;
  // No session bus, or no service on it: nothing failed, there is just
  // none to tell.
  bool absent = false;
  // Why it was not shown.
  std::string error;
};

inline constexpr std::chrono::milliseconds kNotifyTimeout{2000};

// Hands `notice` to the notification service on the session bus, or on the
// bus at `address` (a test's own). Waits at most `timeout` from the first
// byte to the answer, the connection to the bus included.
NotifyOutcome NotifyDesktop(const DesktopNotice& notice, const std::string& address = {},
                            std::chrono::milliseconds timeout = kNotifyTimeout);

}  // namespace px::bus
