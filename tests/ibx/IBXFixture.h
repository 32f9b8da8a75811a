// Shared set-up of the InterBase component tests: each test runs on the embedded engine and, when
// COPYORVEL_FB_SERVER names a server, once more over TCP against it.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/ibx/IBDatabase.h"
#include "platform/ibx/IBSQL.h"
#include "platform/ibx/IBTable.h"
#include "tests/support/TestSupport.h"

namespace ibxtest {

enum class Engine { Embedded, Server };

inline std::string EngineName(const ::testing::TestParamInfo<Engine>& info) {
  return info.param == Engine::Embedded ? "Embedded" : "Server";
}

// The embedded engine keeps its lock files in /tmp/firebird, which belongs to root; any other
// user needs a folder of its own.
inline void PrepareLockFolder() {
  if (geteuid() == 0 || std::getenv("FIREBIRD_LOCK")) return;
  std::string dir = (std::filesystem::temp_directory_path() /
                     ("copyorvel-fblock-" + std::to_string(geteuid()))).string();
  std::filesystem::create_directories(dir);
  setenv("FIREBIRD_LOCK", dir.c_str(), 1);
}

class IBXTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    PrepareLockFolder();
    // The embedded engine takes any password; passing the server's own spares the server's delay
    // after failed logins when a local path ends up there through the loopback provider.
    const char* password = std::getenv("COPYORVEL_FB_PASSWORD");
    FPassword = password ? password : "";
    if (GetParam() == Engine::Server) {
      const char* server = std::getenv("COPYORVEL_FB_SERVER");
      if (!server || !*server)
        GTEST_SKIP() << "COPYORVEL_FB_SERVER is not set: no Firebird server to test against";
      FServer = server;
      // The server runs as its own user: it must be able to create and write files here.
      std::filesystem::permissions(FDir.Path(), std::filesystem::perms::all);
    }
  }

  // The connection string of a database file in the test folder.
  std::string DbName(const std::string& file) const {
    std::string path = FDir / file;
    return FServer.empty() ? path : FServer + ":" + path;
  }

  // A database component set up for this engine (not connected), with its default transaction.
  std::unique_ptr<TIBDatabase> NewDatabase(const std::string& file, bool withTransaction = true) {
    auto db = std::make_unique<TIBDatabase>();
    db->SetDatabaseName(DbName(file));
    db->SetLoginPrompt(false);
    db->Params().Add("user_name=SYSDBA");
    if (!FPassword.empty()) db->Params().Add("password=" + FPassword);
    db->Params().Add("lc_ctype=WIN1251");
    if (withTransaction) {
      auto tr = std::make_unique<TIBTransaction>();
      db->SetDefaultTransaction(tr.get());
      FTransactions.push_back(std::move(tr));
    }
    return db;
  }

  // Creates the database file and starts the default transaction.
  std::unique_ptr<TIBDatabase> CreateDb(const std::string& file = "test.fdb") {
    auto db = NewDatabase(file);
    db->CreateDatabase();
    db->DefaultTransaction()->StartTransaction();
    return db;
  }

  // Runs one statement in the database's default transaction.
  static void Exec(TIBDatabase& db, const std::string& sql) {
    TIBSQL q;
    q.SetDatabase(&db);
    q.SQL().SetText(sql);
    q.ExecQuery();
  }

  testsupport::TempDir FDir;
  std::string FServer;
  std::string FPassword;
  // Declared after FDir and destroyed before it; databases of a test are destroyed first.
  std::vector<std::unique_ptr<TIBTransaction>> FTransactions;
};

}  // namespace ibxtest
