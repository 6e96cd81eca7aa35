#include "app/text_fit.h"

#include <QCheckBox>
#include <QFontMetricsF>
#include <QHash>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <algorithm>
#include <cmath>
#include <limits>

namespace px::app {

namespace {

QStyleOptionButton ButtonOption(const QAbstractButton& button) {
  QStyleOptionButton option;
  option.initFrom(&button);
  option.text = button.text();
  if (const auto* push = qobject_cast<const QPushButton*>(&button); push && push->autoDefault())
    option.features |= QStyleOptionButton::AutoDefaultButton;
  return option;
}

// One line of text and the room its box gives it.
struct Line {
  double room;
  QString text;
};

// Line widths in one font: the sum of the characters' advances, each
// measured once. Shaping every line would cost the window's start more than
// all its other text, and the kerning shaping adds draws Latin letters
// closer, if at all.
class Widths {
 public:
  explicit Widths(const QFont& font) : metrics_(font) {}
  double Of(QStringView line) {
    qreal sum = 0;
    for (const QChar c : line) {
      auto it = advances_.constFind(c);
      if (it == advances_.cend()) it = advances_.insert(c, metrics_.horizontalAdvance(c));
      sum += *it;
    }
    return std::ceil(sum);
  }

 private:
  QFontMetricsF metrics_;
  QHash<QChar, qreal> advances_;
};

// The least of room / width over the lines: 1 or more when all fit.
double WorstFit(const QFont& font, const std::vector<Line>& lines) {
  Widths widths(font);
  double worst = std::numeric_limits<double>::max();
  for (const Line& line : lines) {
    const double width = widths.Of(line.text);
    if (width > 0) worst = std::min(worst, line.room / width);
  }
  return worst;
}

}  // namespace

int TextRoom(const QWidget& box) {
  if (const auto* label = qobject_cast<const QLabel*>(&box)) {
    int indent = label->indent();
    // The toolkit's own default: half an "x" when the label has a frame.
    if (indent < 0)
      indent = label->frameWidth() > 0
                   ? label->fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2
                   : 0;
    return label->contentsRect().width() - 2 * label->margin() - indent;
  }
  if (const auto* check = qobject_cast<const QCheckBox*>(&box)) {
    const QStyleOptionButton option = ButtonOption(*check);
    return check->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, check).width();
  }
  if (const auto* button = qobject_cast<const QPushButton*>(&box)) {
    const QStyleOptionButton option = ButtonOption(*button);
    return button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).width();
  }
  return box.contentsRect().width();
}

QFont NarrowedToFit(const QFont& design, const std::vector<BoxTexts>& boxes) {
  // Narrowing never widens a line: only the lines that overflow in the
  // design's font are measured again.
  std::vector<Line> tight;
  Widths designWidths(design);
  for (const BoxTexts& box : boxes) {
    const double room = TextRoom(*box.box);
    for (const QString& text : box.texts)
      for (const QStringView line : QStringView(text).split(QLatin1Char('\n')))
        if (designWidths.Of(line) > room) tight.push_back({room, line.toString()});
  }
  if (tight.empty()) return design;
  // Widths shrink about in step with the stretch, but hinting rounds each
  // glyph on its own and a narrow cut of the face may be chosen on the way:
  // each guess is measured, and the next one made from it.
  QFont narrowed = design;
  int stretch = design.stretch() > 0 ? design.stretch() : 100;
  double worst = WorstFit(design, tight);
  while (stretch > QFont::ExtraCondensed) {
    const int guess = static_cast<int>(std::floor(stretch * worst));
    stretch = std::max(std::min(guess, stretch - 1), static_cast<int>(QFont::ExtraCondensed));
    narrowed.setStretch(stretch);
    worst = WorstFit(narrowed, tight);
    if (worst >= 1) break;
  }
  return narrowed;
}

}  // namespace px::app
