// Hollow-brush patterns: nine 8 x 8 one-bit patterns, HOLLOW_2 to HOLLOW_10, whose number of black
// pixels grows with the index (1, 4, 8, 16, 32, 48, 56, 60, 63), with a pen and a brush. Set up at
// start-up (after the application object exists) and freed at exit.
#pragma once

#include <array>
#include <memory>

class QBitmap;
class QBrush;
class QPen;

extern std::unique_ptr<QPen> HollowPen;
extern std::unique_ptr<QBrush> HollowBrush;
// Index 2 to 10; 0 and 1 stay empty.
extern std::array<std::unique_ptr<QBitmap>, 11> HollowBitmaps;
// Pattern bitmaps alive now.
extern int HollowBitmapCount;
// Black pixels of pattern n (2 to 10).
int HollowBlackPixels(int n);
void InitHollowBrushes();
void DoneHollowBrushes();
