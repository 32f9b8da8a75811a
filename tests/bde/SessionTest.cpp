// Sessions, databases found by session and database name, transactions of a Paradox folder, and
// aliases read from the alias file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "platform/bde/BdeAliases.h"
#include "platform/bde/BdeInternal.h"
#include "tests/bde/BdeTestSupport.h"

using namespace bde;
using bdetest::TFolder;

namespace {

// Points COPYORVEL_ALIASES at a file for one test.
class TAliasFile {
 public:
  explicit TAliasFile(const std::string& utf8Text) {
    FPath = FDir / "aliases.conf";
    std::ofstream(FPath) << utf8Text;
    setenv("COPYORVEL_ALIASES", FPath.c_str(), 1);
  }
  ~TAliasFile() { unsetenv("COPYORVEL_ALIASES"); }
  std::string Path() const { return FPath; }

 private:
  testsupport::TempDir FDir;
  std::string FPath;
};

std::vector<std::string> Lines(const TStrings& s) {
  std::vector<std::string> out;
  for (int i = 0; i < s.Count(); ++i) out.push_back(s.Strings(i));
  return out;
}

}  // namespace

TEST(BdeSession, NamesFindTheirDatabases) {
  TFolder a, b;
  EXPECT_EQ(FindSession(a.Name), &a.Session);
  EXPECT_EQ(FindSession(""), &Session());
  EXPECT_EQ(FindSession("default"), &Session());
  EXPECT_EQ(FindSession("NoSuchSession"), nullptr);
  TSession dup;
  EXPECT_THROW(dup.SetSessionName(a.Name), EDBEngineError);
  EXPECT_THROW(dup.SetSessionName("Default"), EDBEngineError);
  EXPECT_EQ(a.Session.FindDatabase(a.Db.DatabaseName()), &a.Db);
  EXPECT_EQ(a.Session.FindDatabase(b.Db.DatabaseName()), nullptr);

  // The same database name in two sessions names two folders.
  b.Db.Close();
  b.Db.SetDatabaseName(a.Db.DatabaseName());
  b.Db.Open();
  auto t = a.Table("OnlyInA");
  t->FieldDefs().Add("ID", ftInteger);
  t->CreateTable();
  EXPECT_TRUE(t->Exists());
  EXPECT_FALSE(b.Table("OnlyInA")->Exists());
  // A second open database of one name in one session is refused; names are fixed while open.
  TDatabase clash;
  clash.SetSessionName(a.Name);
  clash.SetDatabaseName(a.Db.DatabaseName());
  clash.SetDriverName("STANDARD");
  clash.Params().Add("PATH=" + Utf8ToAnsi(a.Dir.Path().string()));
  EXPECT_THROW(clash.Open(), EDBEngineError);
  EXPECT_THROW(a.Db.SetDatabaseName("Other"), EDBEngineError);
  // Unknown session or database: clear errors naming them.
  TQuery q;
  q.SetSessionName("NoSuchSession");
  q.SetDatabaseName(a.Db.DatabaseName());
  q.SQL().SetText("SELECT * FROM OnlyInA");
  EXPECT_THROW(q.Open(), EDBEngineError);
  q.SetSessionName(a.Name);
  q.SetDatabaseName("NoSuchDatabase");
  try {
    q.Open();
    ADD_FAILURE();
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(int(e.Kind()), int(TDBErrorKind::NotFound));
    EXPECT_NE(e.Message().find("NoSuchDatabase"), std::string::npos) << e.what();
  }
  // A query whose database disconnects writes its batch first; a closed database refuses work.
  auto ins = a.Query("INSERT INTO OnlyInA (ID) VALUES (:ID)");
  ins->Params()[0].SetAsInteger(5);
  ins->ExecSQL();
  a.Db.Close();
  a.Db.Open();
  EXPECT_EQ(a.Scalar("SELECT COUNT(*) FROM OnlyInA"), 1);
}

TEST(BdeSession, AStatementLooksForItsDatabaseAgainAfterAChange) {
  // Folder A holds one row, folder B two. "Shared" names B in session a and A in session b; the
  // query counts through "Shared" in session a, then after each change counts again: the rows
  // its names find now, -1 when they find nothing.
  struct TWorld {
    TFolder a, b;
    std::unique_ptr<TDatabase> shared, sharedInB;
    TQuery q;
  };
  auto open = [](const std::string& session, const TFolder& folder) {
    auto db = std::make_unique<TDatabase>();
    db->SetSessionName(session);
    db->SetDatabaseName("Shared");
    db->SetDriverName("STANDARD");
    db->Params().Add("PATH=" + Utf8ToAnsi(folder.Dir.Path().string()));
    db->Open();
    return db;
  };
  auto count = [](TQuery& q) {
    try {
      q.Open();
      const int n = q.Fields(0).AsInteger();
      q.Close();
      return n;
    } catch (const EDBEngineError&) {
      return -1;
    }
  };
  struct {
    const char* name;
    std::function<void(TWorld&)> change;
    int rows;
  } cases[] = {
      {"the query's session", [](TWorld& w) { w.q.SetSessionName(w.b.Name); }, 1},
      {"the query's database", [](TWorld& w) { w.q.SetDatabaseName(w.a.Db.DatabaseName()); }, 1},
      {"the database closed", [](TWorld& w) { w.shared->Close(); }, 2},
      {"the database freed", [](TWorld& w) { w.shared.reset(); }, -1},
      {"the database renamed", [](TWorld& w) { w.shared->Close(); w.shared->SetDatabaseName("Other"); }, -1},
      {"the session renamed", [](TWorld& w) { w.a.Session.SetSessionName(w.a.Name + "Renamed"); }, -1},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    TWorld w;
    for (auto [folder, rows] : {std::pair{&w.a, 1}, {&w.b, 2}}) {
      auto t = folder->Table("T");
      t->FieldDefs().Add("ID", ftInteger);
      t->CreateTable();
      for (int i = 0; i < rows; ++i) folder->Exec("INSERT INTO T (ID) VALUES (" + std::to_string(i) + ")");
    }
    w.shared = open(w.a.Name, w.b);
    w.sharedInB = open(w.b.Name, w.a);
    w.q.SetSessionName(w.a.Name);
    w.q.SetDatabaseName("Shared");
    w.q.SQL().SetText("SELECT COUNT(*) FROM T");
    ASSERT_EQ(count(w.q), 2);
    c.change(w);
    EXPECT_EQ(count(w.q), c.rows);
  }
}

TEST(BdeSession, ParadoxFolderHasNoTransactions) {
  TFolder f;
  EXPECT_FALSE(f.Db.IsSQLBased());
  EXPECT_EQ(f.Db.DriverName(), "STANDARD");
  EXPECT_FALSE(f.Db.InTransaction());
  EXPECT_THROW(f.Db.StartTransaction(), EDBEngineError);
  EXPECT_THROW(f.Db.Commit(), EDBEngineError);
  TDatabase none;
  none.SetDatabaseName("NoFolder");
  none.SetDriverName("STANDARD");
  none.Params().Add("PATH=");
  EXPECT_THROW(none.Open(), EDBEngineError);
  none.Params().Clear();
  none.Params().Add("PATH=" + Utf8ToAnsi((f.Dir.Path() / "missing").string()));
  EXPECT_THROW(none.Open(), EDBEngineError);
  EXPECT_FALSE(none.Connected());
}

TEST(BdeSession, AliasesComeFromTheAliasFile) {
  testsupport::TempDir data;
  std::string gisPath = (data.Path() / "гис").string();
  std::filesystem::create_directory(gisPath);
  TAliasFile file("; aliases for the tests\n"
                  "[GISDATA]\n"
                  "DRIVER = STANDARD\n"
                  "PATH = " + gisPath + "\n"
                  "\n"
                  "[Сервер]\n"
                  "DRIVER=INTRBASE\n"
                  "SERVER NAME=127.0.0.1:/db/gis.fdb\n"
                  "USER NAME=SYSDBA\n"
                  "[ORA]\n"
                  "DRIVER=ORACLE\n");
  TStringList names;
  Session().GetAliasNames(names);
  EXPECT_EQ(Lines(names), (std::vector<std::string>{"GISDATA", "Сервер"_ansi, "ORA"}));
  EXPECT_EQ(Session().GetAliasDriverName("сервер"_ansi), "INTRBASE");
  TStringList params;
  Session().GetAliasParams("Сервер"_ansi, params);
  EXPECT_EQ(Lines(params), (std::vector<std::string>{"SERVER NAME=127.0.0.1:/db/gis.fdb", "USER NAME=SYSDBA"}));
  EXPECT_THROW(Session().GetAliasParams("NOPE", params), EDBEngineError);

  TSession s;
  s.SetSessionName("AliasSession");
  TDatabase db;
  db.SetSessionName("AliasSession");
  db.SetDatabaseName("ByAlias");
  db.SetDriverName("STANDARD");
  db.SetAliasName("gisdata");
  EXPECT_EQ(db.DriverName(), "STANDARD");  // read from the alias
  EXPECT_FALSE(db.IsSQLBased());
  db.Params().Add("USER NAME=nobody");
  db.SetConnected(true);
  EXPECT_EQ(db.Directory(), gisPath);
  TTable t;
  t.SetSessionName("AliasSession");
  t.SetDatabaseName("ByAlias");
  t.SetTableName("T");
  t.FieldDefs().Add("A", ftString, 5);
  t.CreateTable();
  EXPECT_TRUE(std::filesystem::exists(data.Path() / "гис" / "T.DB"));
  // The alias name itself serves as a database name: a temporary database of the session.
  TQuery q;
  q.SetSessionName("AliasSession");
  q.SetDatabaseName("GISDATA");
  q.SQL().SetText("INSERT INTO T VALUES ('x')");
  q.ExecSQL();
  EXPECT_EQ(q.RowsAffected(), 1);

  TDatabase server;
  server.SetSessionName("AliasSession");
  server.SetDatabaseName("Server");
  server.SetAliasName("Сервер"_ansi);
  EXPECT_EQ(server.DriverName(), "INTRBASE");
  EXPECT_TRUE(server.IsSQLBased());
  TDatabase oracle;
  oracle.SetSessionName("AliasSession");
  oracle.SetDatabaseName("Oracle");
  oracle.SetAliasName("ora");
  EXPECT_TRUE(oracle.IsSQLBased());
  try {
    oracle.SetConnected(true);
    ADD_FAILURE();
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(int(e.Kind()), int(TDBErrorKind::Unsupported));
    EXPECT_NE(e.Message().find("не поддерживается"_ansi), std::string::npos) << e.what();
  }
  TDatabase unknown;
  unknown.SetDatabaseName("Unknown");
  unknown.SetAliasName("NOSUCHALIAS");
  EXPECT_EQ(unknown.DriverName(), "");
  EXPECT_THROW(unknown.Open(), EDBEngineError);
}

TEST(BdeSession, ConnectionErrorsNameTheFolderOrAliasNotTheDatabase) {
  testsupport::TempDir data;
  const std::string missing = Utf8ToAnsi((data.Path() / "нет такой").string());
  TAliasFile file("[ORA]\nDRIVER=ORACLE\n[NOPATH]\nDRIVER=STANDARD\n[NODRIVER]\nPATH=/tmp\n");
  struct {
    std::string alias, params, part;
    TDBErrorKind kind;
  } cases[] = {
      {"", "PATH=" + missing, missing, TDBErrorKind::NotFound},
      {"", "PATH=", "PATH", TDBErrorKind::NotFound},
      {"NOALIAS", "", "NOALIAS", TDBErrorKind::NotFound},
      {"ORA", "", "ORACLE", TDBErrorKind::Unsupported},
      {"NOPATH", "", "NOPATH", TDBErrorKind::NotFound},
      {"NODRIVER", "", "NODRIVER", TDBErrorKind::NotFound},
  };
  for (auto& c : cases) {
    TDatabase db;
    db.SetDatabaseName("OrvelDb7");
    if (c.alias.empty()) db.SetDriverName("STANDARD"); else db.SetAliasName(c.alias);
    if (!c.params.empty()) db.Params().Add(c.params);
    try {
      db.Open();
      ADD_FAILURE() << c.part;
    } catch (const EDBEngineError& e) {
      EXPECT_EQ(int(e.Kind()), int(c.kind)) << e.what();
      EXPECT_NE(e.Message().find(c.part), std::string::npos) << e.what();
      EXPECT_EQ(e.Message().find("OrvelDb7"), std::string::npos) << e.what();
    }
  }
}

TEST(BdeSession, StepsThatMustAllRunReportEveryFailureAfterTheFirst) {
  auto raise = [](int i) {
    switch (i) {
      case 0: throw EDBEngineError("first", TDBErrorKind::KeyViolation);
      case 1: throw std::runtime_error("plain");
      default: throw EConvertError("later");
    }
  };
  struct {
    std::vector<int> failures;
    std::string message;
    TDBErrorKind kind;
  } cases[] = {
      {{0}, "first", TDBErrorKind::KeyViolation},
      {{0, 2, 2}, "first; x: later; x: later", TDBErrorKind::KeyViolation},
      {{1, 0}, "plain; x: first", TDBErrorKind::General},
  };
  for (auto& c : cases) {
    detail::TFailures failures;
    for (int i : c.failures) {
      try {
        raise(i);
      } catch (...) {
        failures.Catch("x: ");
      }
    }
    try {
      failures.Raise();
      ADD_FAILURE() << c.message;
    } catch (const EDBEngineError& e) {
      EXPECT_EQ(e.Message(), c.message);
      EXPECT_EQ(int(e.Kind()), int(c.kind)) << e.what();
    }
  }
  detail::TFailures none;
  EXPECT_NO_THROW(none.Raise());
}

TEST(BdeSession, AliasFileFormatErrorsAndAbsence) {
  {
    testsupport::TempDir dir;
    setenv("COPYORVEL_ALIASES", (dir.Path() / "none.conf").c_str(), 1);
    TStringList names;
    names.Add("stale");
    Session().GetAliasNames(names);
    EXPECT_EQ(names.Count(), 0);  // a missing file: no aliases
    unsetenv("COPYORVEL_ALIASES");
  }
  auto fails = [](const std::string& text, const std::string& part) {
    try {
      ParseAliases(text, "test.conf");
      ADD_FAILURE() << text;
    } catch (const EDBEngineError& e) {
      EXPECT_NE(e.Message().find(part), std::string::npos) << e.what();
      EXPECT_NE(e.Message().find("test.conf"), std::string::npos) << e.what();
    }
  };
  fails("PATH=/x\n", "строка 1"_ansi);
  fails("[A]\nDRIVER=STANDARD\n[a]\n", "дважды"_ansi);
  fails("[A\n", "строка 1"_ansi);
  fails("[A]\njunk\n", "строка 2"_ansi);
  fails("[]\n", "имени"_ansi);
  auto ok = ParseAliases("\xEF\xBB\xBF# comment\r\n[A]\r\nDRIVER=standard\r\nPATH=/x y\r\n", "ok.conf");
  ASSERT_EQ(ok.size(), 1u);
  EXPECT_EQ(ok[0].Driver, "STANDARD");
  EXPECT_EQ(ok[0].Param("path"), "/x y");

  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string saved = xdg ? xdg : "";
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(AliasFileName(), "/cfg/copyorvel/aliases.conf");
  if (xdg) setenv("XDG_CONFIG_HOME", saved.c_str(), 1); else unsetenv("XDG_CONFIG_HOME");
  setenv("COPYORVEL_ALIASES", "/elsewhere/a.conf", 1);
  EXPECT_EQ(AliasFileName(), "/elsewhere/a.conf");
  unsetenv("COPYORVEL_ALIASES");
}
