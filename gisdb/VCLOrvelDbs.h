// The database back-end for a Paradox folder ("PDOX"), an alias ("BDE") and an InterBase
// database ("IB"): TVCLOrvDb with its table definitions (TVCLOrvDbTableDef) and statements
// (TVCLOrvDbSQL over a local query, TIBOrvDbSQL over an InterBase statement).
//
// Everything that touches an engine goes through the data-access components: sessions,
// databases, tables and queries of platform/bde over our Paradox engine, and the InterBase
// components of platform/ibx over the Firebird client. An InterBase connection keeps one
// transaction open from Open to Close and counts the brackets opened on it: only a bracket closed
// at depth 0 commits (or rolls back) its work, with retaining; a commit the engine refuses there
// rolls that work back and raises. Dropping and creating a table each open a bracket of their own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "gisdb/OrvelDbUtils.h"
#include "platform/rtl/DB.h"

class TIBDatabase;
class TIBTransaction;
class TIBTable;
class TIBSQL;
namespace bde {
class TSession;
class TDatabase;
class TTable;
class TQuery;
class TField;
}  // namespace bde

// What a TVCLOrvDb is connected to.
enum TVCLDbKind : uint8_t { vkParadoxFolder = 0, vkAlias = 1, vkInterBase = 2 };

class TVCLOrvDb : public TOrvDb {
 public:
  TVCLOrvDb();
  // Closes as Close does; a failure there has no caller to reach and goes to standard error.
  ~TVCLOrvDb() override;

  TOrvDbTableDef* CreateTableDef() override;
  // Closes first, keeps the parameters, then connects by ENGINE ("IB", "PDOX" or "BDE").
  void Open(IConnParams* params) override;
  // Disconnects and frees the connection objects however it ends; on a Paradox folder or alias
  // raises the first failure to write a statement's pending rows.
  void Close() override;
  void StartTransaction() override;
  void Commit() override;
  void Rollback() override;
  bool InTransaction() override;
  bool IsLocal() override;
  IOrvDbSQLPtr CreateSQL(const std::string& sql) override;
  bool TableExists(const std::string& name) override;
  void DropTable(const std::string& name) override;
  // Firebird's attachment, for InterBase and an alias of a server; the folder's device and inode,
  // for a Paradox folder and an alias of one.
  std::string ConnectionToken() override;
  TOrvDbAttachment IsAttached(const std::string& token) override;

  TVCLDbKind Kind() const { return FKind; }
  int32_t TransCount() const { return FTransCount; }
  TIBDatabase* IBDatabase() const { return FIBDatabase.get(); }
  TIBTransaction* IBTransaction() const { return FIBTransaction.get(); }

  // A new table object on this connection (Paradox folder or alias; InterBase); the caller owns it.
  // On a folder or alias that is not open it raises instead.
  std::unique_ptr<bde::TTable> CreateBDETableObject(const std::string& name);
  std::unique_ptr<TIBTable> CreateIBTableObject(const std::string& name);
  bde::TSession* Session() const { return FSession.get(); }
  bde::TDatabase* Database() const { return FDatabase.get(); }

 private:
  void OpenInterBase();
  // Raises when the folder or alias is not open (before Open, after Close).
  void CheckBDEOpen() const;
  // The InterBase attachment the connection works through (InterBase, or an alias of a server);
  // null for a folder. Raises when the database is not open.
  TIBDatabase* ServerAttachment() const;
  // Commit and Rollback alike: closes a bracket, and at depth 0 commits or rolls back its work.
  void EndBracket(bool commit);
  // Rolls back the InterBase work after a refused commit, keeping a transaction open.
  void UndoInterBaseWork();
  void CreateSession();
  TVCLDbKind FKind = vkParadoxFolder;
  std::unique_ptr<bde::TSession> FSession;
  std::unique_ptr<bde::TDatabase> FDatabase;
  std::unique_ptr<TIBDatabase> FIBDatabase;
  std::unique_ptr<TIBTransaction> FIBTransaction;
  int32_t FTransCount = 0;
};

class TVCLOrvDbTableDef : public TOrvDbTableDef {
 public:
  explicit TVCLOrvDbTableDef(TVCLOrvDb* db) : TOrvDbTableDef(db), FVCLDb(db) {}
  void Load(const std::string& name) override;
  void CreateTable(const std::string& name, bool full) override;
  bool RenameTable(const std::string& oldName, const std::string& newName) override;

 private:
  void LoadInterBase(const std::string& name);
  void LoadBDE(const std::string& name);
  void LoadIndexes(TIndexDefs& defs);
  TVCLOrvDb* FVCLDb;
};

// A statement over a Paradox folder or an alias. Rows written by Execute are batched: Close ends
// the batch and raises when its rows cannot be written. The destructor ends a batch left open but
// has no caller to tell of a failure (it goes to standard error): close statements that write.
class TVCLOrvDbSQL final : public TOrvDbObject, public IOrvDbSQL {
 public:
  TVCLOrvDbSQL(TVCLOrvDb* db, std::unique_ptr<bde::TQuery> query);
  ~TVCLOrvDbSQL() override;

  std::string GetSQL() override { return FSQL; }
  void SetSQL(const std::string& sql) override;
  IOrvDbSQLPtr Execute(const TOrvDbParams& params) override;
  bool Eof() override;
  int RowsAffected() override;
  int FieldCount() override;
  int FieldIndex(const std::string& name) override;
  std::string FieldName(int index) override;
  TOrvDbFieldType FieldType(const Variant& column) override;
  Variant GetValue(const Variant& column) override;
  std::string AsString(const Variant& column) override;
  std::string AsBlob(const Variant& column) override;
  bool AsBoolean(const Variant& column) override;
  int32_t AsInt32(const Variant& column) override;
  uint32_t AsUInt32(const Variant& column) override;
  float AsSingle(const Variant& column) override;
  double AsDouble(const Variant& column) override;
  TDateTime AsDateTime(const Variant& column) override;
  void Next() override;
  void Close() override;

  // Whether a statement text is a SELECT (its first six characters, blanks trimmed).
  static bool IsSelect(const std::string& sql);

 private:
  bde::TField& Column(const Variant& column);
  // The column, counted as read when it holds a memo or blob.
  bde::TField& Read(const Variant& column);
  std::unique_ptr<bde::TQuery> FQuery;
  std::string FSQL;
  bool FIsSelect = false;  // IsSelect(FSQL), decided once a text rather than once a row
  TLongValueReads FLongReads;
  // The columns of the open result by position, looked up at its first GetValue rather than at
  // every value a copy reads; emptied whenever the result changes (Execute, Close, SetSQL).
  struct TColumn {
    bde::TField* Field;
    bool Long;  // a memo or blob, read once a row
  };
  std::vector<TColumn> FColumns;
};

class TIBOrvDbSQL : public TOrvDbObject, public IOrvDbSQL {
 public:
  TIBOrvDbSQL(TVCLOrvDb* db, std::unique_ptr<TIBSQL> sql);
  ~TIBOrvDbSQL() override;

  std::string GetSQL() override { return FSQL; }
  void SetSQL(const std::string& sql) override;
  IOrvDbSQLPtr Execute(const TOrvDbParams& params) override;
  bool Eof() override;
  int RowsAffected() override;
  int FieldCount() override;
  int FieldIndex(const std::string& name) override;
  std::string FieldName(int index) override;
  TOrvDbFieldType FieldType(const Variant& column) override;
  Variant GetValue(const Variant& column) override;
  std::string AsString(const Variant& column) override;
  std::string AsBlob(const Variant& column) override;
  bool AsBoolean(const Variant& column) override;
  int32_t AsInt32(const Variant& column) override;
  uint32_t AsUInt32(const Variant& column) override;
  float AsSingle(const Variant& column) override;
  double AsDouble(const Variant& column) override;
  TDateTime AsDateTime(const Variant& column) override;
  void Next() override;
  void Close() override;

 private:
  class TIBXSQLVAR& Column(const Variant& column);
  // The column, counted as read when it holds a memo or blob.
  class TIBXSQLVAR& Read(const Variant& column);
  std::unique_ptr<TIBSQL> FIBSQL;
  std::string FSQL;
  TLongValueReads FLongReads;
};

// The database name the client is given for an InterBase location: DATABASE alone without a
// SERVER, else SERVER and DATABASE joined as PROTOCOL says (srv:path, \\srv\path,
// srv@path); an unknown protocol raises "Ошибка открытия базы данных InterBase: некорректный
// протокол".
std::string IBDatabaseName(IConnParams* params);

// The class-library field type of an engine-neutral one, and back.
TFieldType FieldTypeToVCL(TOrvDbFieldType type);
TOrvDbFieldType VCLToFieldType(TFieldType type);
// The field type an InterBase catalogue code (RDB$FIELD_TYPE) stands for, with the column's scale;
// false for a code no field type fits.
bool IBColumnToFieldType(int code, int scale, TOrvDbFieldType& type);
// The field type of an InterBase result column by its SQL type (null bit removed) and scale.
TOrvDbFieldType IBResultToFieldType(int sqlType, int scale);
// "?" marks outside quoted literals become ":PARAM0", ":PARAM1", ...
std::string ConvertParamMarks(const std::string& text);
// Whether a column argument is a position (8-, 16- and 32-bit integers, signed or unsigned).
bool IsColumnPosition(const Variant& column);
// The message raised for a blob parameter that is no byte string.
const std::string& BlobParamMessage();
