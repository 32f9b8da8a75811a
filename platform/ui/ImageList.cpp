#include "platform/ui/ImageList.h"

#include <QBitmap>
#include <QIcon>
#include <QPainter>

#include "platform/rtl/SysUtils.h"

void TImageList::AddMasked(const QPixmap& strip, const QColor& mask) {
  if (strip.isNull()) throw Exception("TImageList: the bitmap is missing");
  if (strip.height() != FHeight || strip.width() % FWidth != 0)
    throw Exception(Format("TImageList: a %dx%d bitmap does not hold %dx%d images",
                           {strip.width(), strip.height(), FWidth, FHeight}));
  QPixmap masked = strip;
  masked.setMask(strip.createMaskFromColor(mask, Qt::MaskInColor));
  for (int x = 0; x < strip.width(); x += FWidth) FImages.push_back(masked.copy(x, 0, FWidth, FHeight));
}

void TImageList::Draw(QPainter& painter, int x, int y, int index, bool enabled) const {
  if (index < 0 || index >= Count()) return;
  const QPixmap& image = FImages[static_cast<size_t>(index)];
  if (enabled)
    painter.drawPixmap(x, y, image);
  else
    painter.drawPixmap(x, y, QIcon(image).pixmap(image.size(), QIcon::Disabled));
}
