// A small looping animation control drawn by the program itself: the stand-in for the system's
// stock animations shown while something is being searched for.
#pragma once

#include <QTimer>
#include <QWidget>

enum class TCommonAVI { aviNone, aviFindComputer };

class TAnimate : public QWidget {
 public:
  explicit TAnimate(QWidget* parent = nullptr);

  // The stock animation shown; aviFindComputer has kFindComputerFrames frames.
  TCommonAVI CommonAVI() const { return FCommonAVI; }
  void SetCommonAVI(TCommonAVI avi);
  static constexpr int kFindComputerFrames = 8;

  // Frames are numbered from 1; playing loops from StartFrame to StopFrame.
  int StartFrame() const { return FStartFrame; }
  void SetStartFrame(int frame);
  int StopFrame() const { return FStopFrame; }
  void SetStopFrame(int frame);
  int CurrentFrame() const { return FCurrentFrame; }
  int FrameCount() const;

  // Playing advances a frame every FrameInterval milliseconds while the message loop runs;
  // stopping shows the start frame again.
  bool Active() const { return FTimer.isActive(); }
  void SetActive(bool active);
  void Play() { SetActive(true); }
  void Stop() { SetActive(false); }
  static constexpr int FrameInterval = 120;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void NextFrame();

  TCommonAVI FCommonAVI = TCommonAVI::aviNone;
  int FStartFrame = 1;
  int FStopFrame = 0;
  int FCurrentFrame = 1;
  QTimer FTimer;
};
