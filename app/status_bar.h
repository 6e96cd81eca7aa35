#pragma once

#include <QFrame>
#include <QLabel>
#include <QPointer>
#include <array>
#include <string_view>

#include "common/ui.h"

namespace px::app {

// StatusBar1: five sunken panels of fixed widths along the bottom of the main
// window. Panel 4, the message panel, can be widened to the rest of the bar
// so that a full file path fits.
class PanelStatusBar final : public QFrame {
  Q_OBJECT
 public:
  static constexpr int kPanels = 5;
  static constexpr std::array<int, kPanels> kWidths = {100, 80, 80, 100, 250};
  static constexpr int kHeight = 19;

  explicit PanelStatusBar(QWidget* parent);

  void SetPanelText(int panel, const QString& text);
  QString PanelText(int panel) const;
  int PanelWidth(int panel) const;
  // Panel0..Panel4, for measuring.
  const QLabel* Panel(int panel) const { return panels_.at(static_cast<std::size_t>(panel)); }
  // Panel 4 takes the bar's width minus panels 0-3.
  void WidenMessagePanel();

 signals:
  void DoubleClicked();

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  std::array<QLabel*, kPanels> panels_{};
};

// The core's view of the status bar. Texts from the detection thread travel
// to the window's thread as queued calls, so no widget is touched off it.
class WindowPanels final : public px::StatusPanels {
 public:
  explicit WindowPanels(PanelStatusBar& bar) : bar_(&bar) {}
  void SetText(int panel, std::string_view text) override;
  void WidenMessagePanel() override;

 private:
  QPointer<PanelStatusBar> bar_;
};

}  // namespace px::app
