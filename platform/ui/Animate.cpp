#include "platform/ui/Animate.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <numbers>

TAnimate::TAnimate(QWidget* parent) : QWidget(parent) {
  FTimer.setInterval(FrameInterval);
  QObject::connect(&FTimer, &QTimer::timeout, this, [this] { NextFrame(); });
}

int TAnimate::FrameCount() const {
  return FCommonAVI == TCommonAVI::aviFindComputer ? kFindComputerFrames : 0;
}

void TAnimate::SetCommonAVI(TCommonAVI avi) {
  FCommonAVI = avi;
  FStartFrame = 1;
  FStopFrame = FrameCount();
  FCurrentFrame = 1;
  update();
}

void TAnimate::SetStartFrame(int frame) {
  FStartFrame = std::clamp(frame, 1, std::max(1, FrameCount()));
  if (FCurrentFrame < FStartFrame) FCurrentFrame = FStartFrame;
  update();
}

void TAnimate::SetStopFrame(int frame) {
  FStopFrame = std::clamp(frame, 0, FrameCount());
  update();
}

void TAnimate::SetActive(bool active) {
  if (active == Active()) return;
  if (active && FrameCount() > 0) {
    FCurrentFrame = FStartFrame;
    FTimer.start();
  } else {
    FTimer.stop();
    FCurrentFrame = FStartFrame;
  }
  update();
}

void TAnimate::NextFrame() {
  const int last = FStopFrame > 0 ? FStopFrame : FrameCount();
  FCurrentFrame = FCurrentFrame >= last ? FStartFrame : FCurrentFrame + 1;
  update();
}

void TAnimate::paintEvent(QPaintEvent*) {
  if (FCommonAVI != TCommonAVI::aviFindComputer) return;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const double w = width(), h = height();

  // A computer: monitor with a blue screen on a small stand.
  const QRectF monitor(w * 0.08, h * 0.30, w * 0.62, h * 0.46);
  p.setPen(QPen(QColor(64, 64, 64), 1));
  p.setBrush(QColor(200, 200, 200));
  p.drawRoundedRect(monitor, 2, 2);
  p.setBrush(QColor(0, 64, 160));
  p.drawRect(monitor.adjusted(4, 4, -4, -4));
  p.setBrush(QColor(170, 170, 170));
  p.drawRect(QRectF(monitor.center().x() - w * 0.08, monitor.bottom(), w * 0.16, h * 0.06));
  p.drawRect(QRectF(monitor.center().x() - w * 0.22, monitor.bottom() + h * 0.06, w * 0.44, h * 0.07));

  // A magnifying glass sweeping over it, one step of a half circle a frame.
  const int frames = kFindComputerFrames;
  const double t = (FCurrentFrame - 1) / static_cast<double>(frames - 1);
  const double angle = std::numbers::pi * (1.0 - t);
  const double cx = w * 0.45 + std::cos(angle) * w * 0.22;
  const double cy = h * 0.42 - std::sin(angle) * h * 0.14;
  const double r = std::min(w, h) * 0.17;
  p.setPen(QPen(QColor(120, 80, 20), 4, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(cx + r * 0.7, cy + r * 0.7), QPointF(cx + r * 1.6, cy + r * 1.6));
  p.setPen(QPen(QColor(40, 40, 40), 2));
  p.setBrush(QColor(210, 235, 255, 190));
  p.drawEllipse(QPointF(cx, cy), r, r);
}
