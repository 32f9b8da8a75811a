// Anchored placement of child widgets, as forms are designed: each child has a designed rectangle
// in a container of a designed size, and anchors to some of the container's sides. When the
// container is resized, a child anchored to both opposite sides stretches, one anchored to the far
// side only moves with it, and one anchored to the near side only stays.
#pragma once

#include <QObject>
#include <QRect>
#include <QSize>
#include <vector>

class QWidget;

enum TAnchor : unsigned { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };
inline constexpr unsigned akTopLeft = akLeft | akTop;
inline constexpr unsigned akAll = akLeft | akTop | akRight | akBottom;

class TAnchorLayout : public QObject {
 public:
  // Watches `container`, whose layout was designed at `designed` size; owned by the container.
  TAnchorLayout(QWidget* container, QSize designed);
  // Places `child` at its designed rectangle with its anchors.
  void Place(QWidget* child, QRect designed, unsigned anchors = akTopLeft);
  // Places every child for the container's current size.
  void Apply();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct TItem {
    QWidget* Child;
    QRect Designed;
    unsigned Anchors;
  };
  QWidget* FContainer;
  QSize FDesigned;
  std::vector<TItem> FItems;
};
