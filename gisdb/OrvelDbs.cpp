#include "gisdb/OrvelDbs.h"

#include <ibase.h>

#include <algorithm>

#include "gisdb/AdoOrvelDbs.h"
#include "gisdb/VCLOrvelDbs.h"
#include "platform/ibx/IBDatabase.h"

IOrvDbPtr ConnectDb(IConnParams* params, bool open) {
  const std::string engine = GetConnParam(params, "ENGINE", "");
  IOrvDbPtr db;
  if (AnsiSameText(engine, "BDE") || AnsiSameText(engine, "PDOX") || AnsiSameText(engine, "IB"))
    db = IOrvDbPtr(new TVCLOrvDb);
  else if (AnsiSameText(engine, "OLEDB"))
    db = IOrvDbPtr(new TAdoOrvDb);
  else
    throw Exception("Ошибка присоединения к базе данных: неизвестный тип СУБД"_ansi);
  if (open) db->Open(params);
  return db;
}

int32_t ConnectionTimeout(IConnParams* params) {
  const std::string engine = GetConnParam(params, "ENGINE", "");
  if (AnsiSameText(engine, "OLEDB"))
    return std::max(0, TimeoutParam(params, "CONNECTION_TIMEOUT", _Connection::DefaultConnectionTimeout));
  if (AnsiSameText(engine, "IB") || AnsiSameText(engine, "BDE")) return IBDefaultConnectTimeout;
  return 0;
}

namespace {

// The parameters a database of the back-ends here was opened with; null for any other.
IConnParams* OpenedWith(IOrvDb* db) {
  auto* orvDb = dynamic_cast<TOrvDb*>(db);
  return orvDb ? orvDb->Params() : nullptr;
}

}  // namespace

bool HoldsWorkUntilCommit(IOrvDb* db) {
  IConnParams* params = OpenedWith(db);
  return params && AnsiSameText(GetConnParam(params, "ENGINE", ""), "IB");
}

bool ClosingWaitsForServer(IOrvDb* db) {
  IConnParams* params = OpenedWith(db);
  if (!params) return false;
  const std::string engine = GetConnParam(params, "ENGINE", "");
  if (AnsiSameText(engine, "IB"))
    return !GetConnParam(params, "SERVER", "").empty() || GetConnParam(params, "DATABASE", "").find(':') != std::string::npos;
  return AnsiSameText(engine, "OLEDB") || AnsiSameText(engine, "BDE");
}

bool IsConnectionLost(const std::exception& error) {
  const auto* ib = dynamic_cast<const EIBError*>(&error);
  if (!ib) return false;
  switch (ib->IBErrorCode()) {
    case isc_network_error:
    case isc_net_read_err:
    case isc_net_write_err:
    case isc_lost_db_connection:
    case isc_att_shutdown:
    case isc_shutdown:
      return true;
    default:
      return false;
  }
}

std::string ReplaceOutsideLiterals(const std::string& text, std::string_view marks,
                                   const std::function<std::string(char mark)>& replace) {
  std::string out;
  out.reserve(text.size() + 16);
  char literal = 0;  // the quote that opened the current literal, or 0 outside
  for (char c : text) {
    if (literal != 0) {
      if (c == literal) literal = 0;
    } else if (c == '\'' || c == '"') {
      literal = c;
    } else if (marks.find(c) != std::string_view::npos) {
      out += replace(c);
      continue;
    }
    out += c;
  }
  return out;
}

int CountParamMarks(const std::string& text) {
  int marks = 0;
  ReplaceOutsideLiterals(text, "?", [&marks](char mark) {
    ++marks;
    return std::string(1, mark);
  });
  return marks;
}

void CheckParamCount(int marks, std::size_t given) {
  if (given >= static_cast<std::size_t>(std::max(marks, 0))) return;
  throw Exception(Format("Ошибка выполнения запроса: в тексте запроса знаков «?» %d, а параметров задано %d"_ansi,
                         {marks, static_cast<int>(given)}));
}

bool SameFieldDef(const TOrvDbFieldDef& a, const TOrvDbFieldDef& b) {
  return a.Name == b.Name && a.FieldType == b.FieldType && a.Size == b.Size && a.Required == b.Required;
}

bool SameIndexDef(const TOrvDbIndexDef& a, const TOrvDbIndexDef& b) {
  return a.Name == b.Name && a.Fields == b.Fields && a.Options == b.Options;
}

void StrParam(TOrvDbParam& param, const std::string& value) {
  param.DataType = dftString;
  param.Value = Variant(value);
}

void IntParam(TOrvDbParam& param, int32_t value) {
  param.DataType = dftInt32;
  param.Value = Variant(value);
}

void BlobParam(TOrvDbParam& param, const std::string& bytes) {
  param.DataType = dftBlob;
  param.Value = Variant(bytes);
}

TOrvDbParam StrParam(const std::string& value) {
  TOrvDbParam p;
  StrParam(p, value);
  return p;
}

TOrvDbParam IntParam(int32_t value) {
  TOrvDbParam p;
  IntParam(p, value);
  return p;
}

TOrvDbParam BlobParam(const std::string& bytes) {
  TOrvDbParam p;
  BlobParam(p, bytes);
  return p;
}

std::string FormatList(const std::vector<std::string>& items, const std::string& fmt, const std::string& sep) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += sep;
    out += Format(fmt, {items[i]});
  }
  return out;
}

std::string RepeatStr(const std::string& text, int count, const std::string& sep) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    if (i > 0) out += sep;
    out += text;
  }
  return out;
}

namespace {

// "[T].[%s]" with the table name already in place; a "%" in the name is doubled so that the
// name reaches the text as it stands.
std::string QualifiedFormat(const std::string& table, const char* tail) {
  std::string t;
  for (char c : table) {
    if (c == '%') t += '%';
    t += c;
  }
  return "[" + t + "]." + tail;
}

std::string WhereClause(const std::string& table, const std::vector<std::string>& keys) {
  if (keys.empty()) return std::string();
  return "WHERE " + FormatList(keys, "(" + QualifiedFormat(table, "[%s]=?") + ")", " AND ");
}

}  // namespace

IOrvDbSQLPtr BuildInsertSQL(IOrvDb* db, const std::string& table, const std::vector<std::string>& fields) {
  std::string columns = db->IsLocal() ? FormatList(fields, QualifiedFormat(table, "[%s]"), ",")
                                      : FormatList(fields, "[%s]", ",");
  std::string marks = RepeatStr("?", static_cast<int>(fields.size()), ",");
  return db->CreateSQL("INSERT INTO [" + table + "] (" + columns + ") VALUES(" + marks + ")");
}

IOrvDbSQLPtr BuildUpdateSQL(IOrvDb* db, const std::string& table, const std::vector<std::string>& fields,
                            const std::vector<std::string>& keys) {
  // The SET list names bare columns: several engines refuse a table-qualified column there.
  std::string set = FormatList(fields, "[%s]=?", ",");
  return db->CreateSQL("UPDATE [" + table + "] SET " + set + " " + WhereClause(table, keys));
}

IOrvDbSQLPtr BuildSelectSQL(IOrvDb* db, const std::string& table, const std::vector<std::string>& fields,
                            const std::vector<std::string>& keys) {
  std::string columns = fields.empty() ? "*" : FormatList(fields, QualifiedFormat(table, "[%s]"), ",");
  return db->CreateSQL("SELECT " + columns + " FROM [" + table + "] " + WhereClause(table, keys));
}

IOrvDbSQLPtr OpenTableSQL(IOrvDb* db, const std::string& table) {
  IOrvDbSQLPtr sql = BuildSelectSQL(db, table, {}, {});
  return sql->Execute({});
}
