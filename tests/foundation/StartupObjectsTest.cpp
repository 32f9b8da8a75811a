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
