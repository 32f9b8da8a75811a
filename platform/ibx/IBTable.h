// The InterBase table component (TIBTable): whether a table exists, its field and index
// definitions read from the catalogue, and creating and dropping it.
//
// The table name is an identifier in the database's dialect (QuoteIdentifier): in dialect 3 it is
// kept exactly, letter case included. All work runs in the component's transaction, which must be
// active; nothing is committed here (the caller's transaction decides).
#pragma once

#include <string>
#include <vector>

#include "platform/ibx/IBDatabase.h"
#include "platform/rtl/DB.h"

class TIBTable : public TIBBase {
 public:
  TIBTable();

  const std::string& TableName() const { return FTableName; }
  void SetTableName(const std::string& name) { FTableName = name; }

  // FieldDefs.Update reads the columns in their order from RDB$RELATION_FIELDS and RDB$FIELDS:
  // name, type, size (characters of CHAR/VARCHAR, scale digits of NUMERIC as ftBCD with its
  // Precision), NOT NULL. A table that does not exist gives an empty list.
  TFieldDefs& FieldDefs() { return FFieldDefs; }
  // IndexDefs.Update reads the indexes in their order of creation from RDB$INDICES,
  // RDB$INDEX_SEGMENTS and RDB$RELATION_CONSTRAINTS: name, fields joined by ";" in key order
  // (the expression for an expression index), ixPrimary for the primary key, ixUnique for unique
  // indexes and constraints, ixDescending, ixExpression.
  TIndexDefs& IndexDefs() { return FIndexDefs; }

  bool Exists();
  // Creates the table from FieldDefs and IndexDefs. Each field type has one column type, chosen
  // so that the table reads back with its values exact:
  //   ftString, ftFixedChar, ftWideString       VARCHAR(Size)
  //   ftSmallint, ftBoolean                      SMALLINT
  //   ftInteger, ftWord, ftAutoInc               INTEGER
  //   ftLargeint                                 BIGINT
  //   ftCurrency                                 NUMERIC(18,4)
  //   ftBCD, ftFMTBcd                            NUMERIC(Precision,Size) (DOUBLE PRECISION
  //                                              without a precision of 1 to 18)
  //   ftFloat                                    DOUBLE PRECISION
  //   ftDate, ftTime, ftDateTime, ftTimeStamp    TIMESTAMP
  //   ftMemo, ftFmtMemo, ftOraClob               BLOB SUB_TYPE 1
  //   ftBlob, ftBytes, ftVarBytes, ftGraphic,
  //   ftParadoxOle, ftDBaseOle, ftTypedBinary,
  //   ftOraBlob                                  BLOB SUB_TYPE 0
  // Any other type raises EIBClientError naming the field. Required gives NOT NULL, and so does
  // membership of the primary key. The index with ixPrimary becomes the PRIMARY KEY constraint
  // named after it (unnamed when its name is empty); the others become CREATE [UNIQUE]
  // [DESCENDING] INDEX, or COMPUTED BY their Fields for ixExpression.
  void CreateTable();
  // The statements CreateTable runs, in order.
  std::vector<std::string> CreateTableSQL();
  void DeleteTable();
  // Deletes every row.
  void EmptyTable();

 private:
  void UpdateFieldDefs(TFieldDefs& defs);
  void UpdateIndexDefs(TIndexDefs& defs);
  void ExecuteDDL(const std::string& sql);
  int Dialect() const;

  std::string FTableName;
  TFieldDefs FFieldDefs;
  TIndexDefs FIndexDefs;
};
