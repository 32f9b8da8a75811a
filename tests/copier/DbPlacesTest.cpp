// Whether two locations are one database, asked of the real engines.
#include "copier/DbPlaces.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "platform/ibx/IBDatabase.h"
#include "tests/support/Engines.h"

using testsupport::TEngine;

namespace {

bool Available(TEngine engine) {
  for (const auto& e : testsupport::AllEngines())
    if (e.Engine == engine) return e.Available;
  return false;
}

IConnParamsPtr With(IConnParams* params, const std::string& key, const std::string& value) {
  IConnParamsPtr copy = StrToConnParams(ConnParamsToStr(params));
  copy->SetValue(key, value);
  return copy;
}

IConnParamsPtr Odbc(const std::string& text) { return CreateConnParams({"ENGINE", "OLEDB", "CONNECTIONSTRING", text}); }

std::string Replaced(std::string text, const std::string& what, const std::string& by) {
  return text.replace(text.find(what), what.size(), by);
}

void Execute(IOrvDb* db, const std::string& sql) { db->CreateSQL(sql)->Execute({}); }

// Runs each step given, failing or not, and goes back to the folder the test started in.
struct TCleanup {
  std::filesystem::path Folder = std::filesystem::current_path();
  std::vector<std::function<void()>> Steps;
  ~TCleanup() {
    for (const auto& step : Steps) {
      try {
        step();
      } catch (const std::exception& e) {
        std::printf("cleanup: %s\n", e.what());
      }
    }
    unsetenv("COPYORVEL_ALIASES");
    std::filesystem::current_path(Folder);
  }
};

struct TPair {
  std::string Why;
  IConnParamsPtr A, B;
  TSameDatabase Expected;
};

}  // namespace

// Pairs of locations as users spell them, each connected, and what the engines say of them, asked
// both ways. One database reached through spellings the drivers accept (the unspecified address,
// a socket folder, an address behind another host name, keys a driver ignores or takes first, file
// URIs, links, aliases, a role that sees little) is one; names that differ only in letter case, and
// a relative path that the server resolves in its own folder, are two.
TEST(DbPlaces, TheEnginesTellWhetherTwoLocationsAreOneDatabase) {
  testsupport::TempDir dir;
  TCleanup cleanup;
  std::filesystem::current_path(dir.Path());
  std::vector<TPair> pairs;

  // Paradox folders, directly and by alias.
  std::filesystem::create_directories(dir.Path() / "pdx");
  std::filesystem::create_directories(dir.Path() / "PDX");
  const std::string aliases = dir / "aliases.conf";
  {
    std::FILE* f = std::fopen(aliases.c_str(), "w");
    std::fprintf(f, "[GISALIAS]\nDRIVER=STANDARD\nPATH=%s/\n\n[RELATIVE]\nDRIVER=STANDARD\nPATH=pdx\n",
                 (dir.Path() / "pdx").c_str());
    std::fclose(f);
  }
  setenv("COPYORVEL_ALIASES", aliases.c_str(), 1);
  auto folder = [&](const char* name) { return CreateConnParams({"ENGINE", "PDOX", "FOLDER", dir / name}); };
  auto alias = [](const char* name) { return CreateConnParams({"ENGINE", "BDE", "ALIAS", name}); };
  pairs.push_back({"folders differing in letter case", folder("pdx"), folder("PDX"), sdDifferent});
  pairs.push_back({"an alias of the folder", folder("pdx"), alias("gisalias"), sdSame});
  pairs.push_back({"a relative alias of the folder", folder("pdx"), alias("RELATIVE"), sdSame});

  // SQLite files through the ODBC driver.
  const std::string s = dir / "s.db", t = dir / "t.db";
  const std::string sqlite = "DRIVER=SQLite3;Database=";
  for (const std::string& file : {s, t}) ConnectDb(Odbc(sqlite + file).get(), true)->Close();
  pairs.push_back({"a file: URI", Odbc(sqlite + s), Odbc(sqlite + "file:" + s), sdSame});
  pairs.push_back({"a file:/// URI", Odbc(sqlite + s), Odbc(sqlite + "file://" + s), sdSame});
  pairs.push_back({"a relative URI with options", Odbc(sqlite + s), Odbc(sqlite + "file:s.db?mode=rw"), sdSame});
  pairs.push_back({"DBQ after Database", Odbc(sqlite + s), Odbc(sqlite + s + ";DBQ=" + t), sdSame});
  pairs.push_back({"a second Database", Odbc(sqlite + s), Odbc(sqlite + s + ";Database=" + t), sdSame});
  pairs.push_back({"a path through \".\"", Odbc(sqlite + s),
                   Odbc("Driver={SQLite3};database=" + dir.Path().string() + "/./s.db"), sdSame});
  pairs.push_back({"another file", Odbc(sqlite + s), Odbc(sqlite + t), sdDifferent});

  // Firebird, embedded and through the server.
  const IConnParamsPtr lower = testsupport::NewDatabase(TEngine::FirebirdEmbedded, dir, "src");
  const IConnParamsPtr upper = testsupport::NewDatabase(TEngine::FirebirdEmbedded, dir, "SRC");
  pairs.push_back({"files differing in letter case", lower, upper, sdDifferent});
  if (Available(TEngine::FirebirdServer)) {
    const IConnParamsPtr gis = testsupport::NewDatabase(TEngine::FirebirdServer, dir, "gis");
    const IConnParamsPtr other = testsupport::NewDatabase(TEngine::FirebirdServer, dir, "other");
    const std::string path = GetConnParam(gis.get(), "DATABASE", "");
    std::filesystem::create_symlink(path, dir.Path() / "link.fdb");
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    auto at = [&](const std::string& server) { return With(gis.get(), "SERVER", server); };
    pairs.push_back({"the unspecified address", gis, at("0.0.0.0"), sdSame});
    pairs.push_back({"the unspecified address as 0", gis, at("0"), sdSame});
    pairs.push_back({"host/port and this machine's name through a link", With(gis.get(), "SERVER", "127.0.0.1/3050"),
                     With(at(host).get(), "DATABASE", dir / "link.fdb"), sdSame});
    pairs.push_back({"another file on the server", at("localhost"), other, sdDifferent});
    IConnParamsPtr viaAlias = alias("FBLOOP");
    viaAlias->SetValue("USER", "SYSDBA");
    viaAlias->SetValue("PASSWORD", GetConnParam(gis.get(), "PASSWORD", ""));
    {
      std::FILE* f = std::fopen(aliases.c_str(), "a");
      std::fprintf(f, "\n[FBLOOP]\nDRIVER=INTRBASE\nSERVER NAME=localhost:%s\n", path.c_str());
      std::fclose(f);
    }
    pairs.push_back({"an alias of the server's database", viaAlias, gis, sdSame});
    // The server opens a relative path in its own folder, not in the wizard's.
    const std::string stem = "copyorvel_rel_" + std::to_string(getpid()), relative = stem + ".fdb";
    const IConnParamsPtr here = testsupport::NewDatabase(TEngine::FirebirdServer, dir, stem);
    auto server = std::make_shared<TIBDatabase>();
    server->SetDatabaseName(GetConnParam(gis.get(), "SERVER", "") + ":" + relative);
    server->Params().Add("user_name=SYSDBA");
    server->Params().Add("password=" + GetConnParam(gis.get(), "PASSWORD", ""));
    try {
      server->CreateDatabase();
      server->Close();
      cleanup.Steps.push_back([server] {
        server->Open();
        server->DropDatabase();
      });
      pairs.push_back({"a relative path on the server", here, With(here.get(), "DATABASE", relative), sdDifferent});
    } catch (const std::exception& e) {
      std::printf("the server cannot make a database in its own folder (%s): no relative path\n", e.what());
    }
  }

  // PostgreSQL through the ODBC driver.
  if (Available(TEngine::PostgresOdbc)) {
    auto pgDatabase = [&](const char* name) {
      return GetConnParam(testsupport::NewDatabase(TEngine::PostgresOdbc, dir, name).get(), "CONNECTIONSTRING", "");
    };
    const std::string pg = pgDatabase("pg"), pgOther = pgDatabase("relodbc_src");
    const std::string server = pg.substr(0, pg.find("Database=")) + "Uid=postgres;Pwd=;";
    const size_t name = pgOther.find("Database=") + 9;
    const std::string database = pgOther.substr(name, pgOther.find(';', name) - name);
    const std::string capitals = UpperCase(database);
    const std::string role = "copyorvel_" + std::to_string(getpid()) + "_reader";
    IOrvDbPtr admin = ConnectDb(Odbc(server + "Database=postgres").get(), true);
    IOrvDbSQLPtr show = admin->CreateSQL("SHOW unix_socket_directories");
    show->Execute({});
    std::string socketFolder = show->AsString(Variant(int32_t(0)));
    socketFolder = socketFolder.substr(0, socketFolder.find(','));
    show->Close();
    Execute(admin.get(), "CREATE DATABASE \"" + capitals + "\"");
    Execute(admin.get(), "CREATE ROLE " + role + " LOGIN");
    cleanup.Steps.push_back([admin, capitals, role] {
      Execute(admin.get(), "DROP DATABASE \"" + capitals + "\" WITH (FORCE)");
      Execute(admin.get(), "DROP ROLE " + role);
    });
    auto pgAt = [&](const std::string& host) { return Odbc(Replaced(pg, "Server=127.0.0.1", "Server=" + host)); };
    pairs.push_back({"the unspecified address", Odbc(pg), pgAt("0.0.0.0"), sdSame});
    pairs.push_back({"the socket folder", Odbc(pg), pgAt(socketFolder), sdSame});
    pairs.push_back({"an address behind another name", Odbc(pg), pgAt("gis.example;pqopt={hostaddr=127.0.0.1}"), sdSame});
    pairs.push_back({"a Host key the driver ignores", Odbc(pg), pgAt("127.0.0.1;Host=10.255.255.1"), sdSame});
    pairs.push_back({"the server by name", Odbc(pg), pgAt("localhost"), sdSame});
    pairs.push_back({"the server's default database", Odbc(server), Odbc(server + "Database=postgres"), sdSame});
    pairs.push_back({"a role that sees no other role's sessions", Odbc(pg),
                     Odbc(Replaced(pg, "Uid=postgres", "Uid=" + role)), sdSame});
    pairs.push_back({"another database", Odbc(pg), Odbc(pgOther), sdDifferent});
    pairs.push_back({"a database named in capitals", Odbc(pgOther),
                     Odbc(Replaced(pgOther, "Database=" + database, "Database=" + capitals)), sdDifferent});
  }

  for (const TPair& pair : pairs) {
    SCOPED_TRACE(pair.Why);
    try {
      IOrvDbPtr a = ConnectDb(pair.A.get(), true);
      IOrvDbPtr b = ConnectDb(pair.B.get(), true);
      EXPECT_EQ(SameDatabase(a.get(), b.get()), pair.Expected);
      EXPECT_EQ(SameDatabase(b.get(), a.get()), pair.Expected);
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
  }
}
