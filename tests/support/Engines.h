// The database engines the tests run on: every back-end that exists, each with a way to make a
// new, empty database and the connection parameters that reach it. Engines whose server is not
// running here (no COPYORVEL_FB_SERVER, no COPYORVEL_PG_PORT) are left out, and the tests say so.
#pragma once

#include <string>
#include <vector>

#include "gisdb/DbConnParams.h"
#include "tests/support/TestSupport.h"

namespace testsupport {

enum class TEngine { ParadoxFolder, ParadoxAlias, FirebirdEmbedded, FirebirdServer, SqliteOdbc, PostgresOdbc };

// True for the engines reached through ODBC (ENGINE=OLEDB).
bool IsOdbcEngine(TEngine engine);
// True for the Paradox engines (a folder, or an alias of the file driver).
bool IsParadoxEngine(TEngine engine);

struct TEngineInfo {
  TEngine Engine;
  const char* Name;   // for test names: "FirebirdEmbedded", ...
  bool Available;     // false when its server is not running here
  const char* Why;    // why it is unavailable
};

// Every engine, available or not.
std::vector<TEngineInfo> AllEngines();
std::string EngineName(TEngine engine);

// Makes a new, empty database of the engine inside `dir` and returns the parameters that reach
// it ("name" tells two databases of one test apart). A PostgreSQL database is created on the
// server under a name of its own and dropped when the process ends.
IConnParamsPtr NewDatabase(TEngine engine, TempDir& dir, const std::string& name);

}  // namespace testsupport

// Skips a test whose engine is not available here, saying why.
#define REQUIRE_ENGINE(engine)                                                          \
  do {                                                                                  \
    for (const auto& e : testsupport::AllEngines())                                     \
      if (e.Engine == (engine) && !e.Available) GTEST_SKIP() << e.Name << ": " << e.Why; \
  } while (0)
