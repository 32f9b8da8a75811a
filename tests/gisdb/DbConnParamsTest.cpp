#include "gisdb/DbConnParams.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "tests/support/TestSupport.h"

namespace {

std::string Text(const IConnParamsPtr& p) {
  std::string t;
  p->GetText(t);
  return t;
}

std::string Value(const IConnParamsPtr& p, const std::string& name) {
  std::string v;
  p->GetValue(name, v);
  return v;
}

const std::string kBadParams = "Ошибка открытия базы данных: некорректные параметры"_ansi;

}  // namespace

TEST(ConnParams, SetValueKeepsPositionAndFirstLetterCase) {
  auto p = CreateConnParams({"ENGINE", "PDOX", "FOLDER", "/data", "USER"});
  EXPECT_EQ(p->GetCount(), 2) << "a last name without a value is ignored";
  p->SetValue("engine", "IB");
  EXPECT_EQ(Text(p), "ENGINE=\"IB\" FOLDER=\"/data\"");
  p->SetValue("Folder", "");
  EXPECT_EQ(p->GetCount(), 1);
  EXPECT_FALSE(p->HasParam("FOLDER"));
  p->SetValue("Папка"_ansi, "x");
  EXPECT_TRUE(p->HasParam("ПАПКА"_ansi));
  p->SetValue("new", "");
  EXPECT_EQ(p->GetCount(), 2);
  EXPECT_EQ(GetConnParam(p.get(), "MISSING", "def"), "def");
  EXPECT_EQ(GetConnParam(p.get(), "engine", "def"), "IB");
}

TEST(ConnParams, TextFormRoundTripsAwkwardValues) {
  const std::vector<std::string> values = {
      "plain", "with blank", "quote\"inside", "\"\"", "вопрос?знак"_ansi, "a=b", "<DB >", " lead", "trail "};
  auto p = CreateConnParams({});
  for (std::size_t i = 0; i < values.size(); ++i) p->SetValue("K" + std::to_string(i), values[i]);
  auto back = ConnParamsFromText(Text(p));
  ASSERT_EQ(back->GetCount(), static_cast<int>(values.size()));
  for (std::size_t i = 0; i < values.size(); ++i) EXPECT_EQ(Value(back, "K" + std::to_string(i)), values[i]);
  auto viaString = StrToConnParams(ConnParamsToStr(p.get()));
  EXPECT_TRUE(viaString->Equals(p.get()));
}

TEST(ConnParams, ReaderRules) {
  auto p = ConnParamsFromText("A=x B = \"q\"\"1\"C=\"z\" y D=\"open");
  EXPECT_EQ(Value(p, "A"), "x");
  EXPECT_EQ(Value(p, "B "), "q\"1") << "blanks before = stay part of the name";
  EXPECT_FALSE(p->HasParam("B"));
  EXPECT_EQ(Value(p, "C"), "z") << "a pair may follow a closing quote directly";
  EXPECT_FALSE(p->HasParam("D")) << "the name runs up to the next =";
  EXPECT_EQ(Value(p, "y D"), "open") << "an unterminated value is what was collected";
  EXPECT_EQ(Value(ConnParamsFromText("A= B=2"), "A"), "B=2") << "blanks after = are skipped";
  auto q = ConnParamsFromText("A=1 A=\"\" B=2 trailing");
  EXPECT_FALSE(q->HasParam("A")) << "an empty value removes the earlier pair";
  EXPECT_EQ(Text(q), "B=\"2\"");
  EXPECT_EQ(ConnParamsFromText("")->GetCount(), 0);
}

TEST(LocationString, HeadInAnyCaseAndOlderForms) {
  auto p = StrToConnParams("  <db ENGINE=\"IB\" DATABASE=\"/x.fdb\">  ");
  EXPECT_EQ(Value(p, "DATABASE"), "/x.fdb");
  EXPECT_EQ(StrToConnParams("<DB >")->GetCount(), 0);
  EXPECT_EQ(ConnParamsToStr(CreateConnParams({}).get()), "<DB >");

  auto folder = StrToConnParams("<DB>");  // no blank after the head: an older-form folder
  EXPECT_EQ(Value(folder, "ENGINE"), "PDOX");
  EXPECT_EQ(Value(folder, "FOLDER"), "<DB>");

  auto alias = StrToConnParams(":GIS:?admin?pa?ss");
  EXPECT_EQ(Text(alias), "ENGINE=\"BDE\" ALIAS=\"GIS\" USER=\"admin\" PASSWORD=\"pa?ss\"");
  EXPECT_EQ(Text(StrToConnParams(":GIS:")), "ENGINE=\"BDE\" ALIAS=\"GIS\"");

  EXPECT_EQ(Value(StrToConnParams(" /data?u?p"), "FOLDER"), " /data") << "the older form keeps the blank";
  EXPECT_EQ(Value(StrToConnParams(" :GIS:"), "ENGINE"), "PDOX");

  for (const char* bad : {"", "   ", "C:", "C:?user?pw", "::"}) {
    try {
      StrToConnParams(bad);
      ADD_FAILURE() << "accepted \"" << bad << "\"";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), kBadParams);
    }
  }
}

TEST(LocationString, AnyBytesEitherParseOrRaiseTheParameterError) {
  std::mt19937 rng(1234);
  for (int n = 0; n < 20000; ++n) {
    std::string s(rng() % 40, '\0');
    for (char& c : s) c = static_cast<char>(rng() % 8 == 0 ? "<DB =\"?: "[rng() % 9] : rng() % 256);
    if (rng() % 3 == 0) s = "<DB " + s;
    try {
      auto p = StrToConnParams(s);
      auto again = StrToConnParams(ConnParamsToStr(p.get()));
      EXPECT_EQ(Text(again), Text(p)) << "written form reads back";
    } catch (const Exception& e) {
      ASSERT_EQ(e.Message(), kBadParams);
    }
  }
}

TEST(ConnParams, EqualsIgnoresOrderAndLetterCaseOfValues) {
  auto a = CreateConnParams({"ENGINE", "PDOX", "FOLDER", "/Данные"_ansi});
  auto b = CreateConnParams({"folder", "/данные"_ansi, "engine", "pdox"});
  EXPECT_TRUE(a->Equals(b.get()));
  b->SetValue("USER", "x");
  EXPECT_FALSE(a->Equals(b.get()));
  EXPECT_TRUE(CreateConnParams({})->Equals(CreateConnParams({}).get()));
}

TEST(SameDbLocation, ComparesTheLocationKeysFoldingAsciiOnly) {
  auto a = CreateConnParams({"ENGINE", "PDOX", "FOLDER", "/no/such/Data", "USER", "u1"});
  auto b = CreateConnParams({"ENGINE", "pdox", "FOLDER", "/NO/SUCH/DATA", "PASSWORD", "p"});
  EXPECT_TRUE(SameDbLocation(a.get(), b.get()));
  auto c = CreateConnParams({"ENGINE", "PDOX", "FOLDER", "/no/such/Папка"_ansi});
  auto d = CreateConnParams({"ENGINE", "PDOX", "FOLDER", "/no/such/ПАПКА"_ansi});
  EXPECT_FALSE(SameDbLocation(c.get(), d.get()));
  EXPECT_FALSE(SameDbLocation(a.get(), nullptr));
  EXPECT_FALSE(SameDbLocation(nullptr, nullptr));
  auto e = CreateConnParams({"ENGINE", "PDOX", "FOLDER", "/no/such/Data", "RASTERSFOLDER", "/r"});
  EXPECT_FALSE(SameDbLocation(a.get(), e.get()));
}

TEST(SameDbLocation, OneFolderUnderManySpellingsIsOneLocation) {
  testsupport::TempDir tmp;
  namespace fs = std::filesystem;
  fs::create_directories(tmp.Path() / "gis" / "sub");
  fs::create_directory_symlink(tmp.Path() / "gis", tmp.Path() / "link");
  const std::string base = tmp.Path().string();
  auto folder = [](const std::string& path) { return CreateConnParams({"ENGINE", "PDOX", "FOLDER", Utf8ToAnsi(path)}); };
  auto gis = folder(base + "/gis");
  for (const std::string& spelling : {base + "/gis/", base + "/gis/sub/..", base + "/./gis", base + "/link"})
    EXPECT_TRUE(SameDbLocation(gis.get(), folder(spelling).get())) << spelling;
  EXPECT_FALSE(SameDbLocation(gis.get(), folder(base + "/gis/sub").get()));

  // A relative spelling, from the current folder.
  auto cwd = fs::current_path();
  fs::current_path(tmp.Path());
  EXPECT_TRUE(SameDbLocation(gis.get(), folder("gis").get()));
  fs::current_path(cwd);

  // A local database file; with a server the path is the server's and only the text counts.
  std::string file = base + "/gis/base.fdb";
  { std::FILE* f = std::fopen(file.c_str(), "w"); std::fclose(f); }
  auto local = [](const std::string& path, const std::string& server) {
    return CreateConnParams({"ENGINE", "IB", "SERVER", server, "DATABASE", Utf8ToAnsi(path)});
  };
  EXPECT_TRUE(SameDbLocation(local(file, "").get(), local(base + "/link/base.fdb", "").get()));
  EXPECT_FALSE(SameDbLocation(local(file, "srv").get(), local(base + "/link/base.fdb", "srv").get()));
}
