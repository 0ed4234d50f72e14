// mervix's own pictures, drawn in code: the program icon (resource 128) and
// the About picture (resource 216).
#pragma once

#include "resources/MessageTable.h"

#include <QBitmap>
#include <QIcon>
#include <QPixmap>

namespace mervix {

// A flash chip with a downward arrow, in 32x32 and 16x16. The large image of
// the Japanese version carries a red disc in its corner; the small image is
// the same in both.
QPixmap ProgramIconImage(int size, Language language);
QIcon ProgramIcon(Language language);

// The About picture: 128x128 pixels, monochrome (1 bit per pixel).
QBitmap AboutPicture();

}  // namespace mervix
