#include "platform/ui/Anchors.h"

#include <QEvent>
#include <QWidget>

TAnchorLayout::TAnchorLayout(QWidget* container, QSize designed)
    : QObject(container), FContainer(container), FDesigned(designed) {
  container->installEventFilter(this);
}

void TAnchorLayout::Place(QWidget* child, QRect designed, unsigned anchors) {
  FItems.push_back({child, designed, anchors});
  Apply();
}

void TAnchorLayout::Apply() {
  const int dw = FContainer->width() - FDesigned.width();
  const int dh = FContainer->height() - FDesigned.height();
  for (const TItem& item : FItems) {
    QRect r = item.Designed;
    auto axis = [](int pos, int size, int delta, bool nearSide, bool farSide, int& outPos, int& outSize) {
      outPos = pos;
      outSize = size;
      if (nearSide && farSide) outSize = std::max(0, size + delta);
      else if (farSide) outPos = pos + delta;
      else if (!nearSide) outPos = pos + delta / 2;
    };
    int x, w, y, h;
    axis(r.x(), r.width(), dw, item.Anchors & akLeft, item.Anchors & akRight, x, w);
    axis(r.y(), r.height(), dh, item.Anchors & akTop, item.Anchors & akBottom, y, h);
    item.Child->setGeometry(x, y, w, h);
  }
}

bool TAnchorLayout::eventFilter(QObject* watched, QEvent* event) {
  if (watched == FContainer && event->type() == QEvent::Resize) Apply();
  return QObject::eventFilter(watched, event);
}
