#pragma once

#include <QGroupBox>

namespace px::app {

// A group box framed by an etched line through the middle of its title,
// drawn with the painter. The
// toolkit's own frame (Fusion's) is an image, and loading the first image
// loads every image-format plugin the system has while the window waits to
// appear.
class GroupFrame final : public QGroupBox {
 public:
  GroupFrame(const QString& title, QWidget* parent) : QGroupBox(title, parent) {}

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace px::app
