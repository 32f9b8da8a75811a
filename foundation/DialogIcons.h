// TDialogIcon: a fixed 16 x 16 picture from a small built-in set, placed beside explanations and
// results. The pictures are drawn in code, each with a grey shadow to the lower right.
#pragma once

#include <QWidget>
#include <cstdint>

enum TDialogIconType : uint8_t { diToDo, diAttention, diInformation, diDone, di1, di2, di3 };

class TDialogIcon : public QWidget {
 public:
  explicit TDialogIcon(QWidget* parent = nullptr);
  TDialogIconType Icon() const { return FIcon; }
  // Stores a new picture and repaints; the same picture again repaints nothing.
  void SetIcon(TDialogIconType icon);
  // How many times the control has been asked to repaint (for tests).
  int RepaintRequests() const { return FRepaints; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  TDialogIconType FIcon = diToDo;
  int FRepaints = 0;
};

// The picture of one icon, 16 x 16 with a transparent background; in its own colour, or in the
// colour given.
class QPixmap;
class QColor;
QPixmap DialogIconPixmap(TDialogIconType icon);
QPixmap DialogIconPixmap(TDialogIconType icon, const QColor& color);
