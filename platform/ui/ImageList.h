// A list of equally sized images cut from one strip bitmap, drawn by index.
#pragma once

#include <QColor>
#include <QPixmap>
#include <vector>

class QPainter;

class TImageList {
 public:
  TImageList(int width, int height) : FWidth(width), FHeight(height) {}

  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  int Count() const { return static_cast<int>(FImages.size()); }

  // Cuts `strip` into images Width() wide, left to right, with `mask` as the transparent colour,
  // and adds them. A null strip, or one whose size does not fit the image size, raises Exception.
  void AddMasked(const QPixmap& strip, const QColor& mask);
  // Draws image `index` at x, y; greyed when not enabled. An index out of range draws nothing.
  void Draw(QPainter& painter, int x, int y, int index, bool enabled = true) const;
  const QPixmap& Image(int index) const { return FImages.at(static_cast<size_t>(index)); }

 private:
  int FWidth, FHeight;
  std::vector<QPixmap> FImages;
};
