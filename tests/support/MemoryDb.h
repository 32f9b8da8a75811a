// A small database held in memory, for testing the table-definition model and the restructuring
// without an engine. It understands exactly the statements the model sends (SELECT * FROM [T],
// SELECT COUNT(*) FROM [T], INSERT INTO [T] (...) VALUES(...)), checks NOT NULL and unique
// indexes, and lets a test make any operation fail on purpose.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "gisdb/OrvelDbUtils.h"

namespace testsupport {

struct TMemTable {
  std::string Name;
  std::vector<TOrvDbFieldDef> Fields;
  std::vector<TOrvDbIndexDef> Indexes;
  std::vector<std::vector<Variant>> Rows;
};

class TMemDb : public TOrvDb {
 public:
  // Operations the fault hook sees: "create", "drop", "rename", "select", "insert", "count",
  // "start", "commit", "rollback" (the table is empty for the last three).
  // It may throw to make that operation fail.
  std::function<void(const std::string& op, const std::string& table)> Fault;
  // INSERTs into this table report success but store nothing.
  std::string LoseInsertsInto;
  // Whether RenameTable renames in place (an engine that can) or answers false.
  bool CanRename = true;
  // Every operation in order, as "op table".
  std::vector<std::string> Log;

  TOrvDbTableDef* CreateTableDef() override;
  void Close() override {}
  void StartTransaction() override { Touch("start", ""); }
  void Commit() override { Touch("commit", ""); }
  void Rollback() override { Touch("rollback", ""); }
  bool InTransaction() override { return false; }
  bool IsLocal() override { return false; }
  IOrvDbSQLPtr CreateSQL(const std::string& sql) override;
  bool TableExists(const std::string& name) override;
  void DropTable(const std::string& name) override;
  // Nothing here can tell where a database lies.
  std::string ConnectionToken() override { return "memory"; }
  TOrvDbAttachment IsAttached(const std::string&) override { return oaUnknown; }

  TMemTable* Find(const std::string& name);
  TMemTable& Table(const std::string& name);  // raises when absent
  void Touch(const std::string& op, const std::string& table);
  std::map<std::string, TMemTable> Tables;  // by upper-case name
};

}  // namespace testsupport
