#include "app/status_bar.h"

#include <QHBoxLayout>

#include "app/gui_thread.h"
#include "app/qt_text.h"

namespace px::app {

PanelStatusBar::PanelStatusBar(QWidget* parent) : QFrame(parent) {
  setObjectName(QStringLiteral("StatusBar1"));
  setFixedHeight(kHeight);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  for (int i = 0; i < kPanels; ++i) {
    auto* label = new QLabel(this);
    label->setObjectName(QStringLiteral("Panel%1").arg(i));
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setFixedWidth(kWidths[static_cast<std::size_t>(i)]);
    label->setIndent(2);
    label->setTextFormat(Qt::PlainText);
    layout->addWidget(label);
    panels_[static_cast<std::size_t>(i)] = label;
  }
  layout->addStretch(1);
}

void PanelStatusBar::SetPanelText(int panel, const QString& text) {
  if (panel < 0 || panel >= kPanels) return;
  QLabel* label = panels_[static_cast<std::size_t>(panel)];
  label->setText(text);
  // The panels are narrow; the whole text is a hover away.
  label->setToolTip(text.trimmed().isEmpty() ? QString() : text);
}

QString PanelStatusBar::PanelText(int panel) const {
  if (panel < 0 || panel >= kPanels) return {};
  return panels_[static_cast<std::size_t>(panel)]->text();
}

int PanelStatusBar::PanelWidth(int panel) const {
  if (panel < 0 || panel >= kPanels) return 0;
  return panels_[static_cast<std::size_t>(panel)]->width();
}

void PanelStatusBar::WidenMessagePanel() {
  int others = 0;
  for (int i = 0; i < StatusPanels::kMessagePanel; ++i)
    others += panels_[static_cast<std::size_t>(i)]->width();
  panels_[StatusPanels::kMessagePanel]->setFixedWidth(std::max(0, width() - others));
}

void PanelStatusBar::mouseDoubleClickEvent(QMouseEvent* event) {
  QFrame::mouseDoubleClickEvent(event);
  emit DoubleClicked();
}

void WindowPanels::SetText(int panel, std::string_view text) {
  const QString qtext = Q(text);
  PanelStatusBar* bar = bar_.data();
  if (bar == nullptr) return;
  RunOnGuiThread(bar, [bar, panel, qtext] { bar->SetPanelText(panel, qtext); });
}

void WindowPanels::WidenMessagePanel() {
  // Only the loader asks, on the window's thread.
  if (PanelStatusBar* bar = bar_.data()) bar->WidenMessagePanel();
}

}  // namespace px::app
