#include "shell/DialogLayout.h"

#include <QFontMetrics>
#include <QStringList>
#include <QWidget>

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

void PlaceInDialogUnits(QWidget* widget, const DialogUnits& units, int x, int y, int width, int height) {
  widget->setGeometry(units.Rect(x, y, width, height));
}

}  // namespace mervix
