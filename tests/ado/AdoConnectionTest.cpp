#include "tests/ado/AdoEngines.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/ado/OdbcConnectionStrings.h"

using AdoConnection = AdoEngineTest;
INSTANTIATE_ENGINES(AdoConnection);

TEST_P(AdoConnection, OpensReportsItselfAndCloses) {
  RefPtr<_Connection> c(new _Connection);
  EXPECT_EQ(c->State(), adStateClosed);
  EXPECT_EQ(c->CommandTimeout(), 600);
  c->Open(ConnectionString());
  EXPECT_EQ(c->State(), adStateOpen);
  std::string provider = AnsiUpperCase(c->Provider());
  EXPECT_NE(provider.find(IsPg() ? "POSTGRESQL" : "SQLITE"), std::string::npos) << provider;
  EXPECT_EQ(provider.find("ORACLE"), std::string::npos);
  Variant user = c->Properties().Item("user name").Value;
  if (IsPg()) { EXPECT_EQ(user.ToString(), "postgres"); }
  EXPECT_THROW(c->Properties().Item("no such property"), EAdoError);

  c->Close();
  EXPECT_EQ(c->State(), adStateClosed);
  EXPECT_THROW(c->Execute("SELECT 1"), EAdoError);
  EXPECT_THROW(c->OpenSchema(adSchemaTables), EAdoError);
  c->Close();  // closing twice is harmless
  c->Open(ConnectionString());
  auto rs = c->Execute("SELECT 1 AS one");
  EXPECT_EQ(Val(rs, "ONE").ToInt32(), 1);
}

TEST_P(AdoConnection, UserAndPasswordJoinTheConnectionString) {
  if (!IsPg()) GTEST_SKIP() << "SQLite has no users";
  std::string base = ConnectionString();
  base = base.substr(0, base.find(";Uid="));
  RefPtr<_Connection> c(new _Connection);
  c->Open(base + ";MaxVarcharSize=8000", "postgres", "");
  EXPECT_EQ(c->Properties().Item("USER NAME").Value.ToString(), "postgres");
  // A user name with the characters that quote a connection string arrives whole, given apart
  // or written into the string.
  const std::string name = "{u;s}e=r" + std::to_string(getpid());
  Exec("CREATE ROLE \"" + name + "\" LOGIN");
  for (const bool apart : {true, false}) {
    SCOPED_TRACE(apart);
    RefPtr<_Connection> odd(new _Connection);
    if (apart)
      odd->Open(base, name, "p;a{s}s=+%41");
    else
      odd->Open(base + ";Uid=" + QuoteOdbcValue(name) + ";Pwd=" + QuoteOdbcValue("p;a{s}s=+%41"));
    EXPECT_EQ(Val(odd->Execute("SELECT current_user AS u"), "U").ToString(), name);
  }
  Exec("DROP ROLE \"" + name + "\"");
  // The login reaches the driver also after a value the string leaves open in braces.
  for (const std::string tail : {"", ";ApplicationName={left open"}) {
    RefPtr<_Connection> refused(new _Connection);
    try {
      refused->Open(base + tail, "no_such_user_here", "secret;with{braces}");
      ADD_FAILURE() << "a login with an unknown user was accepted: " << tail;
    } catch (const EAdoError& e) {
      EXPECT_FALSE(e.SQLState().empty());
      EXPECT_NE(e.Message().find("no_such_user_here"), std::string::npos) << e.what();
    }
  }
}

TEST(AdoConnectionErrors, BadConnectionStringsGiveTheDriversMessage) {
  RefPtr<_Connection> c(new _Connection);
  try {
    c->Open("DRIVER={No Such Driver};Database=x");
    FAIL() << "an unknown driver was accepted";
  } catch (const EAdoError& e) {
    EXPECT_EQ(e.SQLState(), "01000") << e.what();  // unixODBC: the driver library cannot be loaded
    EXPECT_NE(e.Message().find("No Such Driver"), std::string::npos) << e.what();
  } catch (const std::exception& e) {
    FAIL() << "wrong exception class: " << e.what();
  }
  EXPECT_EQ(c->State(), adStateClosed);
  EXPECT_THROW(c->Open("DSN=no_such_data_source"), EAdoError);
  EXPECT_THROW(c->Open("DRIVER=SQLite3;Database=/no/such/folder/x.db"), EAdoError);
  c->SetConnectionTimeout(3);
  // Nothing listens on this port: refused at once, not after the time-out.
  EXPECT_THROW(c->Open("DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=1;Database=x;Uid=u"),
               EAdoError);
  EXPECT_EQ(c->State(), adStateClosed);
}

TEST_P(AdoConnection, StatementErrorsCarrySqlStateAndLeaveTheConnectionUsable) {
  try {
    FConnection->Execute("SELEKT nothing");
    FAIL() << "a syntax error passed";
  } catch (const EAdoError& e) {
    EXPECT_FALSE(e.SQLState().empty());
    EXPECT_FALSE(e.Message().empty());
  }
  EXPECT_THROW(FConnection->Execute("SELECT * FROM no_such_table"), EAdoError);
  Exec("CREATE TABLE t (id INTEGER)");
  Variant affected;
  FConnection->Execute("INSERT INTO t VALUES (1)", &affected);
  EXPECT_EQ(affected.ToInt32(), 1);
  auto closed = FConnection->Execute("INSERT INTO t VALUES (2)");
  EXPECT_EQ(closed->State(), adStateClosed);
  EXPECT_THROW(closed->Eof(), EAdoError);
  FConnection->Execute("UPDATE t SET id = id + 10", &affected);
  EXPECT_EQ(affected.ToInt32(), 2);
}

TEST_P(AdoConnection, CommitAndRollbackCloseOpenRecordsets) {
  Exec("CREATE TABLE t (id INTEGER)");
  Exec("INSERT INTO t VALUES (1)");
  Exec("INSERT INTO t VALUES (2)");
  EXPECT_EQ(FConnection->BeginTrans(), 1);
  auto rs = FConnection->Execute("SELECT id FROM t ORDER BY id");
  EXPECT_FALSE(rs->Eof());
  RefPtr<Field> id = rs->Fields().Item("id");
  Exec("INSERT INTO t VALUES (3)");
  FConnection->CommitTrans();
  EXPECT_EQ(rs->State(), adStateClosed);
  try {
    rs->Eof();
    FAIL() << "a recordset read across a commit";
  } catch (const EAdoError& e) {
    EXPECT_NE(e.Message().find("транзакция завершена"_ansi), std::string::npos) << e.what();
  }
  EXPECT_THROW(rs->MoveNext(), EAdoError);
  EXPECT_THROW(id->Value(), EAdoError);

  // Rollback: the insert is gone, and so is the recordset opened inside.
  FConnection->BeginTrans();
  Exec("INSERT INTO t VALUES (4)");
  auto inside = FConnection->Execute("SELECT COUNT(*) AS n FROM t");
  EXPECT_EQ(Val(inside, "n").ToInt32(), 4);
  FConnection->RollbackTrans();
  EXPECT_THROW(inside->Eof(), EAdoError);
  EXPECT_EQ(Val(FConnection->Execute("SELECT COUNT(*) AS n FROM t"), "n").ToInt32(), 3);

  // Recordsets of another connection are untouched.
  RefPtr<_Connection> other = Connect();
  auto foreign = other->Execute("SELECT id FROM t ORDER BY id");
  FConnection->BeginTrans();
  FConnection->CommitTrans();
  EXPECT_EQ(Val(foreign, "id").ToInt32(), 1);

  EXPECT_THROW(FConnection->CommitTrans(), EAdoError);
  EXPECT_THROW(FConnection->RollbackTrans(), EAdoError);
}

TEST_P(AdoConnection, NestedLevelsAreSavepoints) {
  Exec("CREATE TABLE t (id INTEGER)");
  EXPECT_EQ(FConnection->BeginTrans(), 1);
  Exec("INSERT INTO t VALUES (1)");
  EXPECT_EQ(FConnection->BeginTrans(), 2);
  Exec("INSERT INTO t VALUES (2)");
  FConnection->RollbackTrans();  // only the inner level
  EXPECT_EQ(FConnection->TransactionLevel(), 1);
  EXPECT_EQ(FConnection->BeginTrans(), 2);
  Exec("INSERT INTO t VALUES (3)");
  FConnection->CommitTrans();
  EXPECT_EQ(FConnection->TransactionLevel(), 1);
  FConnection->CommitTrans();
  EXPECT_EQ(FConnection->TransactionLevel(), 0);
  RefPtr<_Connection> other = Connect();
  auto rows = Rows(other->Execute("SELECT id FROM t ORDER BY id"), {"id"});
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][0].ToInt32(), 1);
  EXPECT_EQ(rows[1][0].ToInt32(), 3);
}

TEST_P(AdoConnection, CloseRollsBackAndClosesRecordsets) {
  Exec("CREATE TABLE t (id INTEGER)");
  RefPtr<_Command> count(new _Command);
  count->SetActiveConnection(FConnection);
  count->SetCommandText("SELECT COUNT(*) AS n FROM t");
  EXPECT_EQ(Val(count->Execute(), "n").ToInt32(), 0);
  FConnection->BeginTrans();
  Exec("INSERT INTO t VALUES (1)");
  auto rs = FConnection->Execute("SELECT id FROM t");
  FConnection->Close();
  EXPECT_THROW(rs->Eof(), EAdoError);
  EXPECT_THROW(count->Execute(), EAdoError);
  FConnection->Open(ConnectionString());
  EXPECT_EQ(FConnection->TransactionLevel(), 0);
  EXPECT_TRUE(FConnection->Execute("SELECT id FROM t")->Eof());
  // The command prepares its text again on the new connection.
  EXPECT_EQ(Val(count->Execute(), "n").ToInt32(), 0);
}

TEST_P(AdoConnection, CommandTimeoutEndsALongStatement) {
  if (!IsPg()) GTEST_SKIP() << "SQLite has no statement that waits";
  RefPtr<_Command> cmd(new _Command);
  cmd->SetActiveConnection(FConnection);
  cmd->SetCommandText("SELECT pg_sleep(30)");
  cmd->SetCommandTimeout(1);
  try {
    cmd->Execute();
    FAIL() << "the statement outlived its time-out";
  } catch (const EAdoError& e) {
    EXPECT_FALSE(e.SQLState().empty()) << e.what();
  }
  EXPECT_EQ(Val(FConnection->Execute("SELECT 2 AS two"), "two").ToInt32(), 2);
}

TEST_P(AdoConnection, ADroppedServerConnectionGivesTheDriversMessage) {
  if (!IsPg()) GTEST_SKIP() << "SQLite has no server to lose";
  int32_t pid = Val(FConnection->Execute("SELECT pg_backend_pid() AS pid"), "pid").ToInt32();
  RefPtr<_Connection> admin = Connect();
  admin->Execute("SELECT pg_terminate_backend(" + IntToStr(pid) + ")");
  try {
    FConnection->Execute("SELECT 1");
    FAIL() << "a statement ran on a terminated connection";
  } catch (const EAdoError& e) {
    EXPECT_FALSE(e.Message().empty());
    EXPECT_FALSE(e.SQLState().empty()) << e.what();
  }
  FConnection->Close();
}
