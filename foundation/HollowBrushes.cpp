#include "foundation/HollowBrushes.h"

#include <QBitmap>
#include <QBrush>
#include <QImage>
#include <QPen>

std::unique_ptr<QPen> HollowPen;
std::unique_ptr<QBrush> HollowBrush;
std::array<std::unique_ptr<QBitmap>, 11> HollowBitmaps;
int HollowBitmapCount = 0;

int HollowBlackPixels(int n) {
  static const int counts[] = {1, 4, 8, 16, 32, 48, 56, 60, 63};
  return n >= 2 && n <= 10 ? counts[n - 2] : 0;
}

namespace {

// An ordered-dither threshold matrix: a pixel is black when its threshold is below the count, so
// every count gives an even spread of exactly that many black pixels.
int Threshold(int x, int y) {
  int v = 0;
  for (int bit = 0; bit < 3; ++bit) {
    const int xb = (x >> bit) & 1, yb = (y >> bit) & 1;
    v |= ((xb ^ yb) << (5 - 2 * bit)) | (yb << (4 - 2 * bit));
  }
  return v;
}

}  // namespace

void InitHollowBrushes() {
  HollowPen = std::make_unique<QPen>();
  HollowBrush = std::make_unique<QBrush>();
  for (int n = 2; n <= 10; ++n) {
    QImage image(8, 8, QImage::Format_MonoLSB);
    image.setColor(0, qRgb(255, 255, 255));
    image.setColor(1, qRgb(0, 0, 0));
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x) image.setPixel(x, y, Threshold(x, y) < HollowBlackPixels(n) ? 1 : 0);
    HollowBitmaps[static_cast<std::size_t>(n)] = std::make_unique<QBitmap>(QBitmap::fromImage(image));
    ++HollowBitmapCount;
  }
}

void DoneHollowBrushes() {
  for (auto& bitmap : HollowBitmaps)
    if (bitmap) {
      bitmap.reset();
      --HollowBitmapCount;
    }
  HollowBrush.reset();
  HollowPen.reset();
}
