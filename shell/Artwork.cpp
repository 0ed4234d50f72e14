#include "shell/Artwork.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace mervix {

QPixmap ProgramIconImage(int size, Language language) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing, size >= 32);
  const qreal s = size / 32.0;  // drawn on a 32-unit grid

  // Chip body with pins on both sides.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x40, 0x40, 0x40));
  for (int i = 0; i < 4; ++i) {
    p.drawRect(QRectF(3 * s, (9 + i * 5) * s, 4 * s, 2 * s));
    p.drawRect(QRectF(25 * s, (9 + i * 5) * s, 4 * s, 2 * s));
  }
  p.setBrush(QColor(0x20, 0x30, 0x60));
  p.drawRoundedRect(QRectF(7 * s, 6 * s, 18 * s, 22 * s), 2 * s, 2 * s);

  // The arrow that writes into it.
  p.setBrush(QColor(0x30, 0xD0, 0x50));
  QPolygonF arrow;
  arrow << QPointF(13 * s, 1 * s) << QPointF(19 * s, 1 * s) << QPointF(19 * s, 12 * s) << QPointF(23 * s, 12 * s)
        << QPointF(16 * s, 21 * s) << QPointF(9 * s, 12 * s) << QPointF(13 * s, 12 * s);
  p.drawPolygon(arrow);

  // Flash cells along the bottom of the chip.
  p.setBrush(QColor(0xF0, 0xC0, 0x30));
  for (int i = 0; i < 3; ++i) p.drawRect(QRectF((10 + i * 4.5) * s, 23 * s, 3 * s, 3 * s));

  if (language == Language::Japanese && size >= 32) {
    p.setBrush(QColor(0xD0, 0x20, 0x20));
    p.drawEllipse(QRectF(24 * s, 24 * s, 7 * s, 7 * s));
  }
  return pixmap;
}

QIcon ProgramIcon(Language language) {
  QIcon icon;
  icon.addPixmap(ProgramIconImage(32, language));
  icon.addPixmap(ProgramIconImage(16, language));
  return icon;
}

QBitmap AboutPicture() {
  // Drawn in black on white, then reduced to one bit per pixel: set bits are
  // the drawing, clear bits let the dialog's background through.
  QImage image(128, 128, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  p.setPen(QPen(Qt::black, 3));
  p.setBrush(Qt::NoBrush);

  // A device box with its antenna and ports...
  p.drawRect(14, 72, 100, 40);
  p.drawLine(94, 72, 104, 42);
  for (int i = 0; i < 5; ++i) p.drawEllipse(QPoint(28 + i * 12, 98), 3, 3);
  // ...a terminal above it...
  p.drawRect(16, 10, 52, 36);
  p.drawLine(42, 46, 42, 56);
  p.drawLine(28, 56, 56, 56);
  // ...and the stream of blocks going down into the device.
  p.setBrush(Qt::black);
  for (int i = 0; i < 3; ++i) p.drawRect(78, 12 + i * 12, 10, 6);
  QPainterPath arrow;
  arrow.moveTo(83, 64);
  arrow.lineTo(75, 52);
  arrow.lineTo(91, 52);
  arrow.closeSubpath();
  p.drawPath(arrow);
  p.end();
  return QBitmap::fromImage(image.convertToFormat(QImage::Format_Mono, Qt::ThresholdDither | Qt::MonoOnly));
}

}  // namespace mervix
