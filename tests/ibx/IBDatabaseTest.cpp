// Connections, transactions and errors of the InterBase components.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <thread>

#include "tests/ibx/IBXFixture.h"
#include "tests/support/StandInServer.h"

using namespace ibxtest;

namespace {

int CountRows(TIBDatabase& db, const std::string& table) {
  TIBSQL q;
  q.SetDatabase(&db);
  q.SQL().SetText("SELECT COUNT(*) FROM " + table);
  q.ExecQuery();
  return q.Fields(0).AsLong();
}

}  // namespace

TEST_P(IBXTest, CreatedDatabaseHasPageSizeCharsetAndDialect) {
  auto db = CreateDb();
  EXPECT_TRUE(db->Connected());
  EXPECT_EQ(db->DBSQLDialect(), 3);
  TIBSQL q;
  q.SetDatabase(db.get());
  q.SQL().SetText("SELECT MON$PAGE_SIZE, MON$SQL_DIALECT FROM MON$DATABASE");
  q.ExecQuery();
  EXPECT_EQ(q.Fields(0).AsLong(), 8192);
  q.SQL().SetText("SELECT RDB$CHARACTER_SET_NAME FROM RDB$DATABASE");
  q.ExecQuery();
  EXPECT_EQ(TrimRight(q.Fields(0).AsString()), "WIN1251");

  // A second creation of the same file is the engine's error, and leaves the component usable.
  db->Close();
  auto again = NewDatabase("test.fdb");
  try {
    again->CreateDatabase();
    FAIL() << "creating an existing database succeeded";
  } catch (const EIBInterBaseError& e) {
    EXPECT_NE(e.Message().find("exists"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(again->Connected());
}

TEST_P(IBXTest, CyrillicFileNamesReachTheFileSystemInUtf8AndDropDeletes) {
  auto db = CreateDb("База_данных.fdb"_ansi);
  std::filesystem::path file = FDir.Path() / AnsiToUtf8("База_данных.fdb"_ansi);
  EXPECT_TRUE(std::filesystem::exists(file));
  db->Close();
  db->Open();
  EXPECT_TRUE(db->Connected());
  db->DropDatabase();
  EXPECT_FALSE(db->Connected());
  EXPECT_FALSE(std::filesystem::exists(file));
  // The engine's message quotes the name as it was given, in Windows-1251.
  try {
    db->Open();
    FAIL();
  } catch (const EIBInterBaseError& e) {
    EXPECT_NE(e.Message().find("База_данных.fdb"_ansi), std::string::npos) << e.what();
  }
}

TEST_P(IBXTest, DisconnectCommitsPendingWorkOfTheDefaultTransaction) {
  {
    auto db = CreateDb();
    Exec(*db, "CREATE TABLE T (ID INTEGER)");
    db->DefaultTransaction()->CommitRetaining();
    TIBSQL ins;
    ins.SetDatabase(db.get());
    ins.SQL().SetText("INSERT INTO T VALUES (:ID)");
    for (int i = 0; i < 3; ++i) {
      ins.Params()[0].SetAsLong(i);
      ins.ExecQuery();
    }
    // The statement is still alive when the database goes: its handle is released first.
    db->SetConnected(false);
    EXPECT_FALSE(db->DefaultTransaction()->Active());
    EXPECT_THROW(ins.ExecQuery(), EIBClientError);
  }
  auto db = NewDatabase("test.fdb");
  db->Open();
  db->DefaultTransaction()->StartTransaction();
  EXPECT_EQ(CountRows(*db, "T"), 3);
}

// A server that stops answering (a stand-in that forwards, then stalls) holds a close no longer
// than the connect timeout: the client's side is cut, the close raises the network error, and the
// work still pending is not kept.
TEST_P(IBXTest, ACloseTheServerNeverAnswersEndsAtTheConnectTimeout) {
  if (GetParam() == Engine::Embedded) GTEST_SKIP() << "only a server can stop answering";
  {
    auto db = CreateDb();
    Exec(*db, "CREATE TABLE T (ID INTEGER)");
  }
  testsupport::TStandInServer proxy(3050);
  auto db = NewDatabase("test.fdb");
  db->SetDatabaseName("127.0.0.1/" + std::to_string(proxy.Port()) + ":" + (FDir / "test.fdb"));
  db->Params().Add("connect_timeout=1");
  db->Open();
  db->DefaultTransaction()->StartTransaction();
  Exec(*db, "INSERT INTO T VALUES (1)");
  proxy.Stall();
  proxy.ResetAfter(std::chrono::seconds(8));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(db->Close(), EIBInterBaseError);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 3.0);
  EXPECT_FALSE(db->Connected());
  auto check = NewDatabase("test.fdb");
  check->Open();
  check->DefaultTransaction()->StartTransaction();
  EXPECT_EQ(CountRows(*check, "T"), 0);
}

TEST_P(IBXTest, RetainingCommitKeepsTransactionAndCursorsRollbackUndoes) {
  auto db = CreateDb();
  TIBTransaction& tr = *db->DefaultTransaction();
  Exec(*db, "CREATE TABLE T (ID INTEGER)");
  tr.CommitRetaining();
  Exec(*db, "INSERT INTO T VALUES (1)");
  Exec(*db, "INSERT INTO T VALUES (2)");

  TIBSQL q;
  q.SetDatabase(db.get());
  q.SQL().SetText("SELECT ID FROM T ORDER BY ID");
  q.ExecQuery();
  tr.CommitRetaining();
  EXPECT_TRUE(tr.Active());
  ASSERT_FALSE(q.Eof());
  EXPECT_EQ(q.Fields(0).AsLong(), 1);
  q.Next();
  EXPECT_EQ(q.Fields(0).AsLong(), 2);

  Exec(*db, "INSERT INTO T VALUES (3)");
  tr.RollbackRetaining();
  EXPECT_TRUE(tr.Active());
  EXPECT_EQ(CountRows(*db, "T"), 2);

  // A hard commit ends the transaction and closes the cursors that stand on it.
  q.ExecQuery();
  tr.Commit();
  EXPECT_FALSE(tr.Active());
  EXPECT_FALSE(q.Open());
  EXPECT_THROW(q.ExecQuery(), EIBClientError);
  EXPECT_THROW(tr.Commit(), EIBClientError);
  tr.StartTransaction();
  Exec(*db, "DELETE FROM T");
  tr.Rollback();
  tr.StartTransaction();
  EXPECT_EQ(CountRows(*db, "T"), 2);
}

TEST_P(IBXTest, ConflictingUpdateFailsAtOnceInsteadOfWaiting) {
  auto db = CreateDb();
  Exec(*db, "CREATE TABLE L (ID INTEGER)");
  db->DefaultTransaction()->CommitRetaining();
  Exec(*db, "INSERT INTO L VALUES (1)");
  db->DefaultTransaction()->CommitRetaining();
  Exec(*db, "UPDATE L SET ID = 2");  // uncommitted

  auto other = NewDatabase("test.fdb");
  other->Open();
  other->DefaultTransaction()->StartTransaction();
  try {
    Exec(*other, "UPDATE L SET ID = 3");
    FAIL() << "the second update did not conflict";
  } catch (const EIBInterBaseError& e) {
    EXPECT_NE(e.Message().find("conflict"), std::string::npos) << e.what();
  }
  // Read committed: the other connection sees the first one's work once it is committed.
  db->DefaultTransaction()->CommitRetaining();
  TIBSQL q;
  q.SetDatabase(other.get());
  q.SQL().SetText("SELECT ID FROM L");
  q.ExecQuery();
  EXPECT_EQ(q.Fields(0).AsLong(), 2);
}

TEST_P(IBXTest, EngineErrorsCarryMessageAndSQLCode) {
  auto db = CreateDb();
  TIBSQL q;
  q.SetDatabase(db.get());
  q.SQL().SetText("SELEKT 1 FROM RDB$DATABASE");
  try {
    q.ExecQuery();
    FAIL();
  } catch (const EIBInterBaseError& e) {
    EXPECT_EQ(e.SQLCode(), -104);
    EXPECT_NE(e.Message().find("Token unknown"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(q.Prepared());

  q.SQL().SetText("SELECT * FROM NO_SUCH_TABLE");
  try {
    q.ExecQuery();
    FAIL();
  } catch (const EIBInterBaseError& e) {
    EXPECT_EQ(e.SQLCode(), -204);
    EXPECT_NE(e.Message().find("NO_SUCH_TABLE"), std::string::npos) << e.what();
  }

  // Names longer than 31 bytes (Cyrillic letters take two in the catalogue) are refused.
  std::string longName(32, 'N');
  std::string cyrillic = "Очень_длинное_имя_таблицы"_ansi;  // 25 letters, 48 bytes in UTF-8
  for (const auto& name : {longName, cyrillic}) {
    q.SQL().SetText("CREATE TABLE \"" + name + "\" (ID INTEGER)");
    try {
      q.ExecQuery();
      FAIL() << name;
    } catch (const EIBInterBaseError& e) {
      EXPECT_NE(e.Message().find("longer"), std::string::npos) << e.what();
    }
    TIBTable t;
    t.SetDatabase(db.get());
    t.SetTableName(name);
    EXPECT_FALSE(t.Exists());
  }

  // A cyrillic name in a message comes back in Windows-1251.
  q.SQL().SetText("SELECT * FROM \"Нет_такой\""_ansi);
  try {
    q.ExecQuery();
    FAIL();
  } catch (const EIBInterBaseError& e) {
    EXPECT_NE(e.Message().find("Нет_такой"_ansi), std::string::npos) << e.what();
  }

  // A unique key violation at execution.
  Exec(*db, "CREATE TABLE U (ID INTEGER NOT NULL PRIMARY KEY)");
  db->DefaultTransaction()->CommitRetaining();
  Exec(*db, "INSERT INTO U VALUES (1)");
  try {
    Exec(*db, "INSERT INTO U VALUES (1)");
    FAIL();
  } catch (const EIBInterBaseError& e) {
    EXPECT_EQ(e.SQLCode(), -803);
  }
}

TEST_P(IBXTest, ComponentMisuseIsReportedClearly) {
  auto db = NewDatabase("missing.fdb");
  db->Params().Add("no_such_option=1");
  EXPECT_THROW(db->Open(), EIBClientError);
  db->Params().Delete(db->Params().Count() - 1);

  TIBSQL q;
  EXPECT_THROW(q.ExecQuery(), EIBClientError);  // no database
  q.SetDatabase(db.get());
  EXPECT_THROW(q.ExecQuery(), EIBClientError);  // not connected
  EXPECT_THROW(db->DBSQLDialect(), EIBClientError);
  EXPECT_THROW(db->DefaultTransaction()->StartTransaction(), EIBClientError);

  auto real = CreateDb();
  q.SetDatabase(real.get());
  q.SQL().SetText("SELECT 1 FROM RDB$DATABASE");
  q.ExecQuery();
  EXPECT_THROW(q.Fields(1), EIBClientError);
  EXPECT_THROW(q.FieldByName("NONE"), EIBClientError);
  EXPECT_EQ(q.FieldIndex("NONE"), -1);
  EXPECT_THROW(q.Fields(0).SetAsLong(1), EIBClientError);  // columns are read-only
  q.SQL().SetText("   ");
  EXPECT_THROW(q.ExecQuery(), EIBClientError);
  EXPECT_THROW(real->SetDatabaseName("x"), EIBClientError);
}

// The components' own errors that a user can meet speak Russian and name the field, the table or
// the location field the value came from.
TEST_P(IBXTest, ErrorsAUserCanMeetNameWhatTheUserKnows) {
  auto db = CreateDb();
  TIBSQL q;
  q.SetDatabase(db.get());
  q.SQL().SetText("SELECT CAST(70000 AS INTEGER) AS BIG FROM RDB$DATABASE");
  q.ExecQuery();
  TIBSQL ins;
  ins.SetDatabase(db.get());
  Exec(*db, "CREATE TABLE S (V VARCHAR(10), D TIMESTAMP)");
  db->DefaultTransaction()->CommitRetaining();
  ins.SQL().SetText("INSERT INTO S VALUES (?, ?)");
  TIBTable table;
  table.SetDatabase(db.get());
  table.SetTableName("BAD");
  auto login = NewDatabase("test.fdb");
  login->Params().SetValues("password", std::string(300, 'p'));

  const struct {
    const char* what;
    std::function<void()> run;
    std::vector<std::string> parts;
  } cases[] = {
      {"a narrow read", [&] { q.Fields(0).AsShort(); }, {"Значение поля «BIG»"_ansi, "16-битное целое"_ansi}},
      {"a missing column", [&] { q.FieldByName("NONE"); }, {"Поле не найдено: NONE"_ansi}},
      {"a long string", [&] { ins.Params()[0].SetAsString(std::string(40000, 's')); }, {"40000 байт"_ansi}},
      {"a far date", [&] { ins.Params()[1].SetAsDateTime(1e7); }, {"Значение даты и времени"_ansi}},
      {"no fields", [&] { table.CreateTable(); }, {"таблицы BAD: не задан список полей"_ansi}},
      {"an odd type", [&] { table.FieldDefs().Add("ODD", ftADT); table.CreateTable(); },
       {"таблицы BAD"_ansi, "тип поля ODD"_ansi}},
      {"a long password", [&] { login->Open(); }, {"«Пароль» длиннее 255 байт"_ansi}},
  };
  for (const auto& c : cases) {
    try {
      c.run();
      ADD_FAILURE() << c.what << ": no error";
    } catch (const EIBClientError& e) {
      for (const std::string& part : c.parts)
        EXPECT_NE(e.Message().find(part), std::string::npos) << c.what << ": " << AnsiToUtf8(e.Message());
    }
  }
}

TEST_P(IBXTest, MissingFileGivesTheEngineMessage) {
  auto db = NewDatabase("no-such-file.fdb");
  try {
    db->Open();
    FAIL();
  } catch (const EIBInterBaseError& e) {
    EXPECT_NE(e.Message().find("no-such-file.fdb"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(db->Connected());
}

TEST_P(IBXTest, WrongPasswordIsRefusedByTheServer) {
  if (GetParam() == Engine::Embedded) GTEST_SKIP() << "the embedded engine accepts any password";
  CreateDb().reset();
  auto db = NewDatabase("test.fdb");
  db->Params().SetValues("password", "wrong-password");
  try {
    db->Open();
    FAIL();
  } catch (const EIBInterBaseError& e) {
    EXPECT_NE(e.Message().find("user name and password"), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, IBXTest, ::testing::Values(Engine::Embedded, Engine::Server),
                         EngineName);

// --- network failures: these need no server -----------------------------------------------------

TEST(IBXNetwork, ServerThatDoesNotAnswerTimesOut) {
  PrepareLockFolder();
  // A listener that accepts connections and never says a word.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 4), 0);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  int port = ntohs(addr.sin_port);

  TIBDatabase db;
  db.SetDatabaseName("127.0.0.1/" + std::to_string(port) + ":/tmp/none.fdb");
  db.Params().Add("user_name=SYSDBA");
  db.Params().Add("password=x");
  db.Params().Add("connect_timeout=2");
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(db.Open(), EIBInterBaseError);
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 30);
  close(fd);
}

TEST(IBXNetwork, OtherProtocolNamesPassTheClientsOwnError) {
  PrepareLockFolder();
  // "\\server\path" and "server@path": the client's answer passes on, whatever it is.
  for (std::string name : {std::string("\\\\127.0.0.1\\tmp\\none.fdb"), std::string("127.0.0.1@/tmp/none.fdb"),
                           std::string("127.0.0.1/1:/tmp/none.fdb")}) {
    TIBDatabase db;
    db.SetDatabaseName(name);
    db.Params().Add("user_name=SYSDBA");
    // A path without a host may reach a local server through the loopback provider; the right
    // password spares the test the server's delay after failed logins.
    const char* password = std::getenv("COPYORVEL_FB_PASSWORD");
    db.Params().Add(std::string("password=") + (password ? password : "x"));
    EXPECT_THROW(db.Open(), EIBInterBaseError) << name;
    EXPECT_FALSE(db.Connected());
  }
}
