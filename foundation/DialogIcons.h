// The status icon: a fixed 16 x 16 picture from a small built-in set, placed beside explanations
// and results to say what they are (something to do, a warning, information, done, a step).
#pragma once

#include <QWidget>
#include <cstdint>
#include <memory>

class TImageList;

enum TDialogIconType : uint8_t { diToDo, diAttention, diInformation, diDone, di1, di2, di3 };

class TDialogIcon : public QWidget {
 public:
  // Loads the pictures; the control is 16 x 16 and cannot be resized.
  explicit TDialogIcon(QWidget* owner = nullptr);
  ~TDialogIcon() override;

  TDialogIconType Icon() const { return FIcon; }
  // Repaints only when the picture changes.
  void SetIcon(TDialogIconType value);

 protected:
  void paintEvent(QPaintEvent* event) override;
  // Draws the current picture at 0,0.
  void Paint();

 private:
  TDialogIconType FIcon = diToDo;
  std::unique_ptr<TImageList> FImages;
};
