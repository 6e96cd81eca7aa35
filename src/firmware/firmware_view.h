#pragma once

#include <cstdint>
#include <string_view>

namespace px {

// What the main window shows of firmware work, besides the status bar and
// message boxes: the message panel's width and the progress panel Panel1
// with its label Label12, its bar ProgressBar1 and the timer Timer1 that
// copies UpgradeProgress into the bar while enabled.
class FirmwareView {
 public:
  virtual ~FirmwareView() = default;
  // Panel 4 takes the bar's width minus panels 0-3, room for a full path.
  virtual void WidenMessagePanel() = 0;
  virtual void SetPanelCaption(std::string_view text) = 0;  // Panel1
  virtual void SetLabel(std::string_view text) = 0;         // Label12
  virtual void SetProgressMaximum(uint32_t maximum) = 0;    // ProgressBar1
  virtual void SetProgressPosition(uint32_t position) = 0;
  virtual void SetPanelVisible(bool visible) = 0;
  virtual void SetTimerEnabled(bool enabled) = 0;  // Timer1
};

// For front ends with no progress panel to show (a file check, a benchmark,
// a headless run): every call is dropped.
class NoFirmwareView final : public FirmwareView {
 public:
  void WidenMessagePanel() override {}
  void SetPanelCaption(std::string_view) override {}
  void SetLabel(std::string_view) override {}
  void SetProgressMaximum(uint32_t) override {}
  void SetProgressPosition(uint32_t) override {}
  void SetPanelVisible(bool) override {}
  void SetTimerEnabled(bool) override {}
};

}  // namespace px
