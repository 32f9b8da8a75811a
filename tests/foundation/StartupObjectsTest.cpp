#include <gtest/gtest.h>

#include <filesystem>

#include "foundation/DebugProfiler.h"
#include "foundation/GisLogs.h"
#include "foundation/LazyObjects.h"
#include "foundation/SimpleXML.h"

TEST(XmlNameTable, PresetNamesThenNewOnesInOrder) {
  InitSimpleXML();
  auto& table = XmlNameTable();
  EXPECT_EQ(table->GetID("#text"), 0);
  EXPECT_EQ(table->GetID("xml"), 4);
  EXPECT_EQ(table->GetID("layer"), 5);
  EXPECT_EQ(table->GetID("map"), 6);
  EXPECT_EQ(table->GetID("layer"), 5);
  EXPECT_EQ(table->GetID("Layer"), 7) << "names are case-sensitive";
  EXPECT_EQ(table->GetID(""), -1);
  EXPECT_EQ(table->GetName(6), "map");
  EXPECT_EQ(table->GetName(-1), "");
  EXPECT_EQ(table->GetName(99), "");
  EXPECT_EQ(DefaultEncoding, "windows-1251");
  DoneSimpleXML();
  EXPECT_FALSE(XmlNameTable());
  EXPECT_EQ(BinXmlSignature, "");
}

TEST(StartupObjects, NamesAreComputedButNoFileIsMade) {
  InitGisLogs();
  InitDebugProfiler();
  const std::string path = ProgramPath();
  EXPECT_EQ(ErrLog->FileName, ChangeFileExt(path, ".Err"));
  EXPECT_EQ(WrkLog->FileName, ChangeFileExt(path, ".Wrk"));
  EXPECT_TRUE(ErrLog->Enabled);
  EXPECT_EQ(ProfileFileName, ChangeFileExt(path, ".prof"));
  DoneDebugProfiler();
  DoneGisLogs();
  DoneLazyObjects();
  EXPECT_EQ(ErrLog, nullptr);
  for (const char* ext : {".Err", ".Wrk", ".prof"})
    EXPECT_FALSE(std::filesystem::exists(ChangeFileExt(path, ext))) << ext;
  EXPECT_EQ(ChangeFileExt("/a.b/prog", ".Err"), "/a.b/prog.Err");
  EXPECT_EQ(ChangeFileExt("/a/prog.exe", ".Err"), "/a/prog.Err");
}

#include <QBitmap>
#include <QImage>

#include "foundation/HollowBrushes.h"

TEST(StartupObjects, HollowPatternsDarkenStepByStep) {
  InitHollowBrushes();
  EXPECT_EQ(HollowBitmapCount, 9);
  for (int n = 2; n <= 10; ++n) {
    QImage image = HollowBitmaps[static_cast<std::size_t>(n)]->toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(image.size(), QSize(8, 8));
    int black = 0;
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x) black += qGray(image.pixel(x, y)) < 128;
    EXPECT_EQ(black, HollowBlackPixels(n)) << "HOLLOW_" << n;
  }
  DoneHollowBrushes();
  EXPECT_EQ(HollowBitmapCount, 0);
}
