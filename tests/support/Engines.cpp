#include "tests/support/Engines.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

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

}  // namespace

std::vector<TEngineInfo> AllEngines() {
  return {
      {TEngine::ParadoxFolder, "ParadoxFolder", true, ""},
      {TEngine::ParadoxAlias, "ParadoxAlias", true, ""},
      {TEngine::FirebirdEmbedded, "FirebirdEmbedded", true, ""},
      {TEngine::FirebirdServer, "FirebirdServer", !Env("COPYORVEL_FB_SERVER").empty(),
       "COPYORVEL_FB_SERVER is not set: no Firebird server to test against"},
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
  }
  throw Exception("unknown engine");
}

}  // namespace testsupport
