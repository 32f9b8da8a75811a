// Connection strings read as the driver manager reads them, written so that they read back, and
// the login each driver is given.
#include <gtest/gtest.h>

#include "platform/ado/Ado.h"
#include "platform/ado/OdbcConnectionStrings.h"
#include "tests/support/TestSupport.h"

// Each string is read into its pairs, and the driver manager, given it, finds the SQLite driver
// exactly when the reading has DRIVER=SQLite3: the two agree on which key is which.
TEST(OdbcConnectionStrings, TheReadingIsTheDriverManagers) {
  testsupport::TempDir dir;
  const std::string db = dir / "x.db";
  struct TCase {
    std::string Text;
    TOdbcPairs Pairs;
  } cases[] = {
      {"DRIVER={SQLite3};Database=" + db, {{"DRIVER", "SQLite3"}, {"Database", db}}},
      {" ;; DRIVER=SQLite3; Database=" + db, {{"DRIVER", "SQLite3"}, {"Database", db}}},
      {"Foo;DRIVER={SQLite3};Database=" + db, {{"Foo;DRIVER", "SQLite3"}, {"Database", db}}},
      {"DRIVER =SQLite3;Database=" + db, {{"DRIVER ", "SQLite3"}, {"Database", db}}},
      {"DRIVER= SQLite3;Database=" + db, {{"DRIVER", " SQLite3"}, {"Database", db}}},
      {"X={a;DRIVER=No}}pe};DRIVER=SQLite3;Database=" + db,
       {{"X", "a;DRIVER=No}pe"}, {"DRIVER", "SQLite3"}, {"Database", db}}},
      {"X={a}DRIVER=SQLite3;Database=" + db, {{"X", "a"}, {"DRIVER", "SQLite3"}, {"Database", db}}},
      {"DRIVER=No;DRIVER=SQLite3;Database=" + db, {{"DRIVER", "No"}, {"DRIVER", "SQLite3"}, {"Database", db}}},
      {"Database=" + db + ";DRIVER={SQLite3", {{"Database", db}, {"DRIVER", "SQLite3"}}},
      {"DRIVER=SQLite3;Database=" + db + ";junk", {{"DRIVER", "SQLite3"}, {"Database", db}}},
      {std::string("DRIVER=SQLite3;Database=") + db + '\0' + ";DRIVER=No", {{"DRIVER", "SQLite3"}, {"Database", db}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    const TOdbcPairs pairs = ParseOdbcConnectionString(c.Text);
    EXPECT_EQ(pairs, c.Pairs);
    EXPECT_EQ(ParseOdbcConnectionString(BuildOdbcConnectionString(pairs)), pairs) << BuildOdbcConnectionString(pairs);
    const bool sqlite = FindOdbcValue(pairs, {"driver"}) == "SQLite3";
    RefPtr<_Connection> connection(new _Connection);
    std::string refusal;
    try {
      connection->Open(c.Text);
    } catch (const EAdoError& e) {
      refusal = e.Message();
    }
    EXPECT_EQ(refusal.find("Driver Manager") == std::string::npos, sqlite) << refusal;
  }
}

// The login reaches each driver whole: psqlODBC takes UID as written and URL-decodes a password
// outside braces, so a name that needs braces goes through libpq's options and a password always
// in braces; other drivers get both quoted as the driver manager reads them.
TEST(OdbcConnectionStrings, TheLoginIsWrittenAsTheDriverReadsIt) {
  struct TCase {
    const char* Library;
    std::string Given;
    std::string User, Password;
    std::string Added;
  } cases[] = {
      {"libsqlite3odbc.so", "", "ann", "a;b", "UID=ann;PWD={a;b}"},
      {"libsqlite3odbc.so", "Uid=x", "", "", ""},
      {"psqlodbcw.so", "", "ann", "a+b%41", "UID=ann;PWD={a+b%41}"},
      {"psqlodbcw.so", "", "a=b}c", "", "UID=a=b}c"},
      {"psqlodbcw.so", "Uid=old;pqopt={sslmode=disable}", "rel;od}bc", "",
       "UID=;pqopt={sslmode=disable user='rel;od}}bc'}"},
      {"psqlodbcw.so", "", "{it's\\", "", "UID=;pqopt={user='{it\\'s\\\\'}"},
      {"psqlodbcw.so", "Uid={rel;od}}bc};Pwd=p+q", "", "", "UID=;pqopt={user='rel;od}}bc'};PWD={p+q}"},
      {"psqlodbcw.so", "Uid=plain;Pwd={x}", "", "", ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Library) + " " + c.Given + " " + c.User);
    EXPECT_EQ(OdbcLoginAttributes(c.Library, ParseOdbcConnectionString(c.Given), c.User, c.Password), c.Added);
  }
}
