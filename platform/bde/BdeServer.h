// The InterBase side of the components: the connection of a database whose driver is INTRBASE,
// the prepared statement of a query on it, and the table operations there.
//
// A connection holds two transactions. The automatic one is started at connect time and stays
// active: work done outside StartTransaction runs in it and is committed with retaining right
// after each statement, so that cursors that are still being read stay open. The explicit one
// lives from StartTransaction to Commit or Rollback; while it is active every query and table of
// the database works in it instead.
#pragma once

#include <string>
#include <vector>

#include "platform/bde/Bde.h"
#include "platform/bde/BdeSql.h"
#include "platform/ibx/IBDatabase.h"
#include "platform/ibx/IBSQL.h"
#include "platform/ibx/IBTable.h"

namespace bde::detail {

struct TServerConnection {
  TServerConnection();
  ~TServerConnection();  // detaches the statements still registered
  TServerConnection(const TServerConnection&) = delete;
  TServerConnection& operator=(const TServerConnection&) = delete;

  // The transaction that work runs in now.
  TIBTransaction& Current() { return Explicit.Active() ? Explicit : Auto; }
  // Ends the work of one statement: committed with retaining unless an explicit transaction is
  // open. A commit that fails is undone as a failed statement is.
  void AutoCommit();
  // Inside a catch block, once a statement failed: undoes its work (unless an explicit
  // transaction is open) and raises the failure again. Should the undo fail too, the failed work
  // may stay pending for the next commit; that failure is then added to the first one's message.
  [[noreturn]] void RethrowAfterAutoRollback();
  // Releases the statement handles of queries that have no open cursor: the server refuses to
  // drop or alter a table while a prepared statement of the same connection refers to it. The
  // queries prepare again when they next run.
  void ReleaseIdleStatements(const TServerStatement* except);

  TIBDatabase Database;
  TIBTransaction Auto;
  TIBTransaction Explicit;
  std::vector<TServerStatement*> Statements;
};

struct TServerStatement {
  TServerStatement() = default;
  ~TServerStatement();  // unregisters from its connection
  TServerStatement(const TServerStatement&) = delete;
  TServerStatement& operator=(const TServerStatement&) = delete;
  // Ties the statement to a connection (releasing what it held on another one) and to the
  // connection's current transaction.
  void Attach(TServerConnection& connection);

  TIBSQL SQL;
  TServerConnection* Connection = nullptr;
};

// The rows of an open server cursor, fetched one at a time.
class TServerResult : public sql::TResult {
 public:
  explicit TServerResult(TIBSQL& sql) : FSQL(sql) {}
  // Closes the cursor; a failure there is dropped (the cursor only read rows).
  ~TServerResult() override;
  bool Fetch() override;
  Variant Value(int column) override;
  bool Closed() const override { return FSQL.Eof(); }

 private:
  TIBSQL& FSQL;
};

// The class-library type of a result column or catalogue field, and the size it reports.
TFieldType ServerFieldType(const TIBXSQLVAR& column);
// A field definition read by TIBTable, in the types this layer reports (see TTable).
TFieldDef ServerFieldDef(const TFieldDef& def);

// A table name, field name or index field list as the server stores it (see TTable).
std::string ServerIdentifier(const std::string& name);
std::string ServerFieldList(const std::string& fields);

// Sets a server parameter from a parameter of a query.
void BindServerParam(TIBXSQLVAR& target, const TParam& source);

// The table operations on the server, in the connection's current transaction; creation and
// deletion commit on their own outside an explicit transaction.
bool ServerTableExists(TServerConnection& connection, const std::string& table);
void ServerFieldDefs(TServerConnection& connection, const std::string& table, TFieldDefs& defs);
void ServerIndexDefs(TServerConnection& connection, const std::string& table, TIndexDefs& defs);
void ServerCreateTable(TServerConnection& connection, const std::string& table, const TFieldDefs& fields,
                       const TIndexDefs& indexes);
void ServerDeleteTable(TServerConnection& connection, const std::string& table);

}  // namespace bde::detail
