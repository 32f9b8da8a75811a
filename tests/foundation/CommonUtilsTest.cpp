#include "foundation/CommonUtils.h"

#include <gtest/gtest.h>

namespace {

std::string Written(const std::string& s) {
  TMemoryStream m;
  StreamWriteStr(m, s);
  return m.DataString();
}

std::string ReadBack(const std::string& bytes) {
  TMemoryStream m(bytes);
  std::string s;
  StreamReadStr(m, s);
  EXPECT_EQ(m.Position(), m.Size()) << "the whole string is consumed";
  return s;
}

}  // namespace

TEST(StringBuilder, CapacityGrowsAtTheDocumentedSteps) {
  const std::pair<int, int> cases[] = {{1, 5}, {8, 12}, {9, 25}, {64, 80}, {65, 81}, {100, 125}};
  for (auto [len, capacity] : cases) {
    TStringBuilder b;
    b.Append(std::string(static_cast<std::size_t>(len), 'x'));
    EXPECT_EQ(static_cast<int>(b.Buffer.size()), capacity) << "new length " << len;
    EXPECT_EQ(b.Length, len);
  }
}

TEST(StringBuilder, InsertPositionsAreClamped) {
  TStringBuilder b;
  b.Append("world");
  b.Insert(0, "hello ");
  b.Insert(-5, ">");
  b.Insert(1000, "!");
  b.Insert(8, "__");
  EXPECT_EQ(b.ToString(), ">hello __world!");
  b.Insert(3, "");
  EXPECT_EQ(b.Length, 15);
  b.Clear();
  EXPECT_EQ(b.ToString(), "");
}

TEST(StreamStrings, ShortAndLongFormsAtTheBoundary) {
  EXPECT_EQ(Written(""), std::string(1, '\0'));
  EXPECT_EQ(Written(std::string(253, 'a')).size(), 254u);
  std::string s254 = Written(std::string(254, 'b'));
  ASSERT_EQ(s254.size(), 1u + 4u + 254u);
  EXPECT_EQ(static_cast<unsigned char>(s254[0]), 254);
  EXPECT_EQ(s254.substr(1, 4), std::string("\xFE\x00\x00\x00", 4));
  for (std::size_t len : {0u, 1u, 253u, 254u, 255u, 70000u}) {
    std::string text(len, 'q');
    if (len > 0) text[0] = '\xC0';
    EXPECT_EQ(ReadBack(Written(text)), text) << len;
  }
  EXPECT_EQ(ReadBack(std::string(1, '\xFF') + std::string(255, 'z')), std::string(255, 'z'));
}

TEST(StreamStrings, TruncatedOrHostileInputRaisesTheReadError) {
  std::string s;
  {
    TMemoryStream m(std::string("\x05" "abc", 4));
    EXPECT_THROW(StreamReadStr(m, s), EReadError);
  }
  {
    TMemoryStream m(std::string("\xFE\x01\x00", 3));  // length cut short
    EXPECT_THROW(StreamReadStr(m, s), EReadError);
  }
  {
    TMemoryStream m(std::string("\xFE\xFF\xFF\xFF\x7F" "abc", 8));  // claims 2 GB, holds 3 bytes
    EXPECT_THROW(StreamReadStr(m, s), EReadError);
    EXPECT_LE(s.capacity(), 1u << 17);
  }
  {
    TMemoryStream m(std::string("\xFE\x00\x00\x00\x80", 5));  // negative length: empty string
    StreamReadStr(m, s);
    EXPECT_EQ(s, "");
  }
  TMemoryStream empty;
  EXPECT_THROW(StreamReadByte(empty), EReadError);
}

TEST(StreamIntegers, LittleEndianSigned) {
  TMemoryStream m;
  StreamWriteInt(m, -2);
  StreamWriteByte(m, 7);
  EXPECT_EQ(m.DataString(), std::string("\xFE\xFF\xFF\xFF\x07", 5));
  m.SetPosition(0);
  EXPECT_EQ(StreamReadInt(m), -2);
  EXPECT_EQ(StreamReadByte(m), 7);
}

TEST(StrToFloatAnySep, AcceptsEitherSeparatorWhateverTheLocale) {
  char saved = FormatSettings().DecimalSeparator;
  for (char sep : {'.', ','}) {
    FormatSettings().DecimalSeparator = sep;
    EXPECT_DOUBLE_EQ(StrToFloatAnySep("3,5"), 3.5);
    EXPECT_DOUBLE_EQ(StrToFloatAnySep("3.5"), 3.5);
    EXPECT_THROW(StrToFloatAnySep("abc"), EConvertError);
  }
  FormatSettings().DecimalSeparator = '.';
  EXPECT_THROW(StrToFloatAnySep("1,234,5"), EConvertError);  // only the first comma is replaced
  FormatSettings().DecimalSeparator = saved;
}

TEST(FindCmdLineValue, MatchesDashOrSlashNameColonInAnyCase) {
  SetCommandLineArgs({"", "-SourceX:Y", "-Source", "/source:first", "-SOURCE:second", "-Empty:"});
  std::string v;
  EXPECT_TRUE(FindCmdLineValue("Source", v));
  EXPECT_EQ(v, "first");
  EXPECT_TRUE(FindCmdLineValue("empty", v));
  EXPECT_EQ(v, "");
  EXPECT_FALSE(FindCmdLineValue("Missing", v));
  SetCommandLineArgs({"-Источник:папка"_ansi});
  EXPECT_TRUE(FindCmdLineValue("ИСТОЧНИК"_ansi, v));
  EXPECT_EQ(v, "папка"_ansi);
  SetCommandLineArgs({});
}

TEST(FreeObjects, StringsAndListsFreeFromTheLastEntry) {
  std::vector<int> order;
  struct TItem : TObject {
    TItem(std::vector<int>* o, int id) : Order(o), Id(id) {}
    ~TItem() override { Order->push_back(Id); }
    std::vector<int>* Order;
    int Id;
  };
  TStringList sl;
  sl.AddObject("a", new TItem(&order, 1));
  sl.AddObject("b", nullptr);
  sl.AddObject("c", new TItem(&order, 3));
  FreeStringsObjects(&sl);
  EXPECT_EQ(sl.Count(), 0);
  TList list;
  list.Add(new TItem(&order, 4));
  list.Add(new TItem(&order, 5));
  FreeListObjects(&list);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(order, (std::vector<int>{3, 1, 5, 4}));
  FreeListObjects(nullptr);
  FreeStringsAndObjects(nullptr);
}
