#include "foundation/DialogIcons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

// Draws the shape of one picture in one colour, shifted by (dx, dy).
void DrawShape(QPainter& p, TDialogIconType icon, const QColor& color, int dx, int dy) {
  p.save();
  p.translate(dx, dy);
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setBold(true);
  font.setPixelSize(14);
  p.setFont(font);
  switch (icon) {
    case diToDo: {
      p.drawEllipse(QRectF(0.5, 6, 3, 3));
      QPainterPath arrow;
      arrow.moveTo(5, 6);
      arrow.lineTo(9, 6);
      arrow.lineTo(9, 2.5);
      arrow.lineTo(14.5, 7.5);
      arrow.lineTo(9, 12.5);
      arrow.lineTo(9, 9);
      arrow.lineTo(5, 9);
      arrow.closeSubpath();
      p.drawPath(arrow);
      break;
    }
    case diAttention:
      for (double x : {3.0, 9.0}) {
        p.drawRect(QRectF(x, 1, 3, 9));
        p.drawRect(QRectF(x, 12, 3, 3));
      }
      break;
    case diInformation:
      p.drawEllipse(QRectF(6, 0.5, 3.5, 3.5));
      p.drawRect(QRectF(5, 5.5, 4.5, 2));
      p.drawRect(QRectF(6.5, 5.5, 3, 8));
      p.drawRect(QRectF(5, 12.5, 6, 2));
      break;
    case diDone: {
      QPainterPath tick;
      tick.moveTo(1, 8);
      tick.lineTo(4, 5.5);
      tick.lineTo(6.5, 9);
      tick.lineTo(12.5, 1.5);
      tick.lineTo(15, 4);
      tick.lineTo(6.5, 14);
      tick.closeSubpath();
      p.drawPath(tick);
      break;
    }
    case di1:
    case di2:
    case di3: {
      p.setPen(color);
      const char digit = static_cast<char>('1' + (icon - di1));
      p.drawText(QRect(0, 0, 15, 15), Qt::AlignCenter, QString(QChar(digit)));
      break;
    }
  }
  p.restore();
}

QColor IconColor(TDialogIconType icon) {
  switch (icon) {
    case diAttention: return QColor(0xD0, 0x10, 0x10);
    case diInformation:
    case diDone: return QColor(0x00, 0xA8, 0xC8);
    default: return QColor(0x10, 0x98, 0x20);
  }
}

}  // namespace

QPixmap DialogIconPixmap(TDialogIconType icon) { return DialogIconPixmap(icon, IconColor(icon)); }

QPixmap DialogIconPixmap(TDialogIconType icon, const QColor& color) {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  DrawShape(p, icon, QColor(0x80, 0x80, 0x80), 1, 1);  // the shadow
  DrawShape(p, icon, color, 0, 0);
  return pixmap;
}

TDialogIcon::TDialogIcon(QWidget* parent) : QWidget(parent) {
  setFixedSize(16, 16);
  setAttribute(Qt::WA_TranslucentBackground);
}

void TDialogIcon::SetIcon(TDialogIconType icon) {
  if (icon == FIcon) return;
  FIcon = icon;
  ++FRepaints;
  update();
}

void TDialogIcon::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.drawPixmap(0, 0, DialogIconPixmap(FIcon));
}
