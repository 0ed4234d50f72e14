#include "shell/DialogLayout.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QWidget>

#include <algorithm>

namespace mervix {

DialogUnits DialogUnitsFor(const QFont& font) {
  const QFontMetrics metrics(font);
  static const QString kLetters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  DialogUnits units;
  // Sum over 52 letters, divided by 26 and halved with rounding: the mean
  // letter width to the nearest pixel.
  units.baseX = (metrics.horizontalAdvance(kLetters) / 26 + 1) / 2;
  units.baseY = metrics.height();
  if (units.baseX < 1) units.baseX = 1;
  if (units.baseY < 1) units.baseY = 1;
  return units;
}

QFont DialogFont(Language language, int pointSize) {
  QFont font;
  if (language == Language::Japanese) {
    font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"), QStringLiteral("Noto Sans CJK JP"),
                      QStringLiteral("IPAPGothic"), QStringLiteral("VL PGothic"), QStringLiteral("Droid Sans Japanese")});
  } else {
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans"), QStringLiteral("Arial")});
  }
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(pointSize);
  return font;
}

void FitTextControls(QWidget* dialog, const DialogUnits& units, int marginUnits) {
  int right = 0;
  for (QWidget* child : dialog->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
    int needed = 0;
    if (auto* push = qobject_cast<QPushButton*>(child)) {
      // A push button's size hint includes the style's minimum width; only
      // the caption itself (with a little padding) must fit.
      needed = push->fontMetrics().horizontalAdvance(push->text()) + units.X(4);
    } else if (qobject_cast<QAbstractButton*>(child)) {
      needed = child->sizeHint().width();
    } else if (auto* label = qobject_cast<QLabel*>(child); label && label->pixmap().isNull()) {
      needed = child->sizeHint().width();
    }
    if (needed > child->width()) child->resize(needed, child->height());
    right = std::max(right, child->geometry().right() + 1);
  }
  const int wanted = right + units.X(marginUnits);
  if (wanted > dialog->width()) dialog->setFixedSize(wanted, dialog->height());
}

void PlaceInDialogUnits(QWidget* widget, const DialogUnits& units, int x, int y, int width, int height) {
  widget->setGeometry(units.Rect(x, y, width, height));
}

}  // namespace mervix
