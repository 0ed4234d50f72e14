// Dialog templates: fonts and dialog units.
//
// Positions of the windows are given in dialog units, which scale with the
// dialog's font: one horizontal unit is a quarter of the font's average
// character width, one vertical unit an eighth of its height. The average
// width is taken over the 52 Latin letters, rounded to the nearest pixel,
// the way dialog templates are measured on the platform they were designed
// for; so a template keeps its proportions whichever fallback font stands in.
#pragma once

#include "resources/MessageTable.h"

#include <QFont>
#include <QRect>

class QWidget;

namespace mervix {

struct DialogUnits {
  int baseX = 6;   // average character width in pixels
  int baseY = 13;  // font height in pixels

  int X(int units) const { return (units * baseX + 2) / 4; }
  int Y(int units) const { return (units * baseY + 4) / 8; }
  QRect Rect(int x, int y, int width, int height) const { return QRect(X(x), Y(y), X(width), Y(height)); }
};

// The base units of a font.
DialogUnits DialogUnitsFor(const QFont& font);

// The dialog font of a language version: English "MS Sans Serif" 8 pt, falling
// back to the platform's sans serif; Japanese "ＭＳ Ｐゴシック" 9 pt, falling
// back to an installed Japanese Gothic face (Noto Sans CJK JP and others).
QFont DialogFont(Language language, int pointSize);

// Places |widget| at a rectangle given in dialog units.
void PlaceInDialogUnits(QWidget* widget, const DialogUnits& units, int x, int y, int width, int height);

// Where a fallback font is wider than the one a template was designed for,
// widens each label, button and check box of |dialog| whose text would be
// clipped, and then the fixed-size dialog itself so that every control keeps
// a right margin of |marginUnits|. Positions stay as designed.
void FitTextControls(QWidget* dialog, const DialogUnits& units, int marginUnits);

}  // namespace mervix
