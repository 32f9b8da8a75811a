#include "tests/support/Engines.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <filesystem>

#include "platform/ado/Ado.h"
#include "platform/ibx/IBDatabase.h"

namespace testsupport {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// The embedded engine keeps its lock files in /tmp/firebird, which belongs to root; any other
// user needs a folder of its own.
void PrepareFirebirdLocks() {
  if (geteuid() == 0 || std::getenv("FIREBIRD_LOCK")) return;
  std::string dir = (std::filesystem::temp_directory_path() / ("copyorvel-fblock-" + std::to_string(geteuid()))).string();
  std::filesystem::create_directories(dir);
  setenv("FIREBIRD_LOCK", dir.c_str(), 1);
}

std::string PgConnectionString(const std::string& database) {
  // MaxVarcharSize: without it the driver reports every varchar as at most 255 long.
  // BoolsAsChar=0: boolean columns come back as booleans rather than as text.
  return "DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=" + Env("COPYORVEL_PG_PORT") + ";Database=" + database +
         ";Uid=postgres;Pwd=;MaxVarcharSize=8000;BoolsAsChar=0";
}

void PgAdmin(const std::string& sql) {
  RefPtr<_Connection> admin(new _Connection);
  admin->Open(PgConnectionString("postgres"));
  admin->Execute(sql);
}

// The PostgreSQL databases this process made, dropped at its end.
std::vector<std::string>& PgDatabases() {
  static std::vector<std::string> names;
  return names;
}

void DropPgDatabases() {
  for (const std::string& name : PgDatabases()) {
    try {
      PgAdmin("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
    } catch (...) {
    }
  }
}

std::string NewPgDatabase(const std::string& name) {
  static std::atomic<int> counter{0};
  static std::once_flag cleanup;
  std::string db = "copyorvel_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_";
  for (char c : name) db += std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '_';
  PgAdmin("DROP DATABASE IF EXISTS " + db);
  PgAdmin("CREATE DATABASE " + db + " ENCODING 'UTF8'");
  PgDatabases().push_back(db);
  // Registered after the ODBC environment came to be, so that it runs while the environment lives.
  std::call_once(cleanup, [] { std::atexit(DropPgDatabases); });
  return db;
}

}  // namespace

bool IsOdbcEngine(TEngine engine) { return engine == TEngine::SqliteOdbc || engine == TEngine::PostgresOdbc; }

bool IsParadoxEngine(TEngine engine) { return engine == TEngine::ParadoxFolder || engine == TEngine::ParadoxAlias; }

std::vector<TEngineInfo> AllEngines() {
  return {
      {TEngine::ParadoxFolder, "ParadoxFolder", true, ""},
      {TEngine::ParadoxAlias, "ParadoxAlias", true, ""},
      {TEngine::FirebirdEmbedded, "FirebirdEmbedded", true, ""},
      {TEngine::FirebirdServer, "FirebirdServer", !Env("COPYORVEL_FB_SERVER").empty(),
       "COPYORVEL_FB_SERVER is not set: no Firebird server to test against"},
      {TEngine::SqliteOdbc, "SqliteOdbc", true, ""},
      {TEngine::PostgresOdbc, "PostgresOdbc", !Env("COPYORVEL_PG_PORT").empty(),
       "COPYORVEL_PG_PORT is not set: no PostgreSQL server to test against"},
  };
}

std::string EngineName(TEngine engine) {
  for (const auto& e : AllEngines())
    if (e.Engine == engine) return e.Name;
  return "?";
}

IConnParamsPtr NewDatabase(TEngine engine, TempDir& dir, const std::string& name) {
  switch (engine) {
    case TEngine::ParadoxFolder: {
      const std::filesystem::path folder = dir.Path() / name;
      std::filesystem::create_directories(folder);
      // The double-quote marks, as the location frame gives them, so names with blanks work.
      return CreateConnParams({"ENGINE", "PDOX", "FOLDER", Utf8ToAnsi(folder.string()), "LEFTQUOTEMARK", "\"",
                               "RIGHTQUOTEMARK", "\""});
    }
    case TEngine::ParadoxAlias: {
      // A folder named by an alias of the file driver, in an alias file of the test's own.
      const std::filesystem::path folder = dir.Path() / name;
      std::filesystem::create_directories(folder);
      const std::string file = dir / "aliases.conf";
      setenv("COPYORVEL_ALIASES", file.c_str(), 1);
      std::FILE* f = std::fopen(file.c_str(), "a");
      if (!f) throw Exception("cannot write " + file);
      std::fprintf(f, "[%s]\nDRIVER=STANDARD\nPATH=%s\n\n", ("ALIAS_" + name).c_str(), folder.c_str());
      std::fclose(f);
      return CreateConnParams({"ENGINE", "BDE", "ALIAS", "ALIAS_" + name, "LEFTQUOTEMARK", "\"", "RIGHTQUOTEMARK", "\""});
    }
    case TEngine::FirebirdEmbedded:
    case TEngine::FirebirdServer: {
      PrepareFirebirdLocks();
      const bool server = engine == TEngine::FirebirdServer;
      // The server runs as its own user: it must be able to create and write files here.
      if (server) std::filesystem::permissions(dir.Path(), std::filesystem::perms::all);
      const std::string path = dir / (name + ".fdb");
      const std::string password = Env("COPYORVEL_FB_PASSWORD").empty() ? "masterkey" : Env("COPYORVEL_FB_PASSWORD");
      TIBDatabase db;
      db.SetDatabaseName(server ? Env("COPYORVEL_FB_SERVER") + ":" + path : path);
      db.Params().Add("user_name=SYSDBA");
      db.Params().Add("password=" + password);
      db.Params().Add("lc_ctype=WIN1251");
      db.CreateDatabase();
      db.Close();
      if (server)
        return CreateConnParams({"ENGINE", "IB", "SERVER", Env("COPYORVEL_FB_SERVER"), "PROTOCOL", "TCP", "DATABASE",
                                 Utf8ToAnsi(path), "USER", "SYSDBA", "PASSWORD", password, "CTYPE", "WIN1251"});
      return CreateConnParams({"ENGINE", "IB", "DATABASE", Utf8ToAnsi(path), "USER", "SYSDBA", "PASSWORD", password,
                               "CTYPE", "WIN1251"});
    }
    case TEngine::SqliteOdbc:
      // The marks the location frame gives an ODBC source, so names with blanks work.
      return CreateConnParams({"ENGINE", "OLEDB", "CONNECTIONSTRING", "DRIVER=SQLite3;Database=" + Utf8ToAnsi(dir / (name + ".db")),
                               "LEFTQUOTEMARK", "[", "RIGHTQUOTEMARK", "]"});
    case TEngine::PostgresOdbc:
      return CreateConnParams({"ENGINE", "OLEDB", "CONNECTIONSTRING", PgConnectionString(NewPgDatabase(name)),
                               "LEFTQUOTEMARK", "\"", "RIGHTQUOTEMARK", "\""});
  }
  throw Exception("unknown engine");
}

}  // namespace testsupport
