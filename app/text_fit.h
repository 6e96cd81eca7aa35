#pragma once

#include <QFont>
#include <QStringList>
#include <QWidget>
#include <vector>

namespace px::app {

// A control and the widest texts it shows; a text may hold several lines.
struct BoxTexts {
  const QWidget* box = nullptr;
  QStringList texts;
};

// How wide a line of text may be and still show whole inside `box`, as the
// style lays the box out: a label's contents less its indent, a check box's
// or a button's label area, any other widget's contents.
int TextRoom(const QWidget& box);

// `design`, narrowed just as far as every line of every text needs to fit
// its box, or as it is when they fit already. Narrowing keeps the size, so
// the lines keep their height; a face without a narrow cut is narrowed by the
// font engine. Never narrower than QFont::ExtraCondensed.
QFont NarrowedToFit(const QFont& design, const std::vector<BoxTexts>& boxes);

}  // namespace px::app
