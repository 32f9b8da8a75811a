// demogisdb: makes the demo GIS database, or an empty Firebird database to copy into.
//   demogisdb paradox <folder>         the demo GIS database in a Paradox folder (made when missing)
//   demogisdb firebird-empty <file>    an empty Firebird database file (made when missing)
#include <cstdio>
#include <filesystem>
#include <string>

#include "gisdb/OrvelDbs.h"
#include "platform/ibx/IBDatabase.h"
#include "tests/support/DemoGisDb.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: demogisdb paradox <folder> | firebird-empty <file>\n");
    return 2;
  }
  const std::string what = argv[1];
  const std::filesystem::path path = argv[2];
  try {
    if (what == "paradox") {
      std::filesystem::create_directories(path);
      // The double-quote marks, as the location frame gives a folder: some demo names hold blanks.
      IConnParamsPtr params = CreateConnParams(
          {"ENGINE", "PDOX", "FOLDER", Utf8ToAnsi(path.string()), "LEFTQUOTEMARK", "\"", "RIGHTQUOTEMARK", "\""});
      IOrvDbPtr db = ConnectDb(params.get(), true);
      if (db->TableExists("ORVEL_DBINFO")) {
        std::printf("The demo GIS database is already in %s\n", path.c_str());
        return 0;
      }
      testsupport::TDemoOptions options;
      options.LargeRows = 20000;
      testsupport::BuildDemoGisDb(db.get(), options);
      db->Close();
      std::printf("The demo GIS database is made in %s\n", path.c_str());
      return 0;
    }
    if (what == "firebird-empty") {
      if (std::filesystem::exists(path)) return 0;
      std::filesystem::create_directories(path.parent_path());
      TIBDatabase db;
      db.SetDatabaseName(path.string());
      db.Params().Add("user_name=SYSDBA");
      db.Params().Add("password=quillcart");
      db.CreateDatabase();
      db.Close();
      std::printf("An empty Firebird database is made in %s\n", path.c_str());
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "demogisdb: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "usage: demogisdb paradox <folder> | firebird-empty <file>\n");
  return 2;
}
