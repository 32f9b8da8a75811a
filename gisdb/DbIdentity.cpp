#include "gisdb/DbIdentity.h"

#include <sys/stat.h>

#include <optional>

#include "platform/ibx/IBDatabase.h"
#include "platform/ibx/IBSQL.h"

namespace {

// The answer every question starts with: another family's token names another database; a token
// of no family, or of this family made by another question, cannot be told. Nothing when the
// question itself has to answer.
std::optional<TOrvDbAttachment> PlainAnswer(const TDbToken& token, const std::string& family,
                                            const std::string& question, size_t facts) {
  if (token.Family.empty()) return oaUnknown;
  if (token.Family != family) return oaElsewhere;
  if (token.Question != question || token.Facts.size() != facts) return oaUnknown;
  for (const std::string& fact : token.Facts)
    if (fact.empty()) return oaUnknown;
  return std::nullopt;
}

// The first row of a query as text, through a statement of the database; empty without a row.
std::vector<std::string> FirstRow(IOrvDb& db, const std::string& sql, const TOrvDbParams& params = {}) {
  IOrvDbSQLPtr statement = db.CreateSQL(sql);
  statement->Execute(params);
  std::vector<std::string> row;
  if (!statement->Eof())
    for (int i = 0; i < statement->FieldCount(); ++i) row.push_back(Trim(statement->AsString(Variant(int32_t(i)))));
  statement->Close();
  return row;
}

// The first row of a query on a Firebird attachment, as text. It runs in a read-only transaction
// of its own: the monitoring tables are a snapshot taken once per transaction.
std::vector<std::string> FirebirdRow(TIBDatabase& db, const std::string& sql,
                                     const std::vector<std::string>& params = {}) {
  db.CheckActive();
  TIBTransaction transaction;
  transaction.SetDefaultDatabase(&db);
  for (const char* line : {"read", "read_committed", "rec_version", "nowait"}) transaction.Params().Add(line);
  transaction.StartTransaction();
  std::vector<std::string> row;
  {
    TIBSQL query;
    query.SetDatabase(&db);
    query.SetTransaction(&transaction);
    query.SQL().SetText(sql);
    for (size_t i = 0; i < params.size(); ++i) query.Params()[static_cast<int>(i)].SetAsString(params[i]);
    query.ExecQuery();
    if (!query.Eof())
      for (int i = 0; i < query.Current().Count(); ++i) row.push_back(Trim(query.Fields(i).AsString()));
  }
  transaction.Commit();
  return row;
}

bool FileId(const std::string& path, struct stat& info) { return !path.empty() && stat(path.c_str(), &info) == 0; }

}  // namespace

std::string MakeDbToken(const TDbToken& token) {
  std::string text = token.Family + "\t" + token.Question;
  for (const std::string& fact : token.Facts) text += "\t" + fact;
  return text;
}

TDbToken ParseDbToken(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t tab; (tab = text.find('\t', start)) != std::string::npos; start = tab + 1)
    parts.push_back(text.substr(start, tab - start));
  parts.push_back(text.substr(start));
  TDbToken token;
  token.Family = parts[0];
  if (parts.size() > 1) token.Question = parts[1];
  token.Facts.assign(parts.begin() + std::min<size_t>(parts.size(), 2), parts.end());
  return token;
}

std::string DbmsFamily(const std::string& dbmsName) {
  const std::string name = AnsiLowerCase(Trim(dbmsName));
  if (name.find("firebird") != std::string::npos || name.find("interbase") != std::string::npos) return "firebird";
  if (name == "postgresql") return "postgresql";
  if (name == "sqlite") return "sqlite";
  return name;
}

// --- Firebird -----------------------------------------------------------------------------

std::string FirebirdToken(TIBDatabase& db) {
  const std::vector<std::string> row = FirebirdRow(
      db,
      "SELECT CAST(a.MON$ATTACHMENT_ID AS VARCHAR(20)), CAST(a.MON$TIMESTAMP AS VARCHAR(40)), "
      "CAST(d.MON$CREATION_DATE AS VARCHAR(40)), CURRENT_USER "
      "FROM MON$ATTACHMENTS a CROSS JOIN MON$DATABASE d WHERE a.MON$ATTACHMENT_ID = CURRENT_CONNECTION");
  return MakeDbToken({"firebird", "attachment", row});
}

TOrvDbAttachment FirebirdAttachment(TIBDatabase& db, const TDbToken& token) {
  if (auto answer = PlainAnswer(token, "firebird", "attachment", 4)) return *answer;
  const std::string& id = token.Facts[0];
  const std::string& attached = token.Facts[1];
  const std::string& created = token.Facts[2];
  const std::string& user = token.Facts[3];
  const std::vector<std::string> row = FirebirdRow(
      db,
      "SELECT CAST(MON$CREATION_DATE AS VARCHAR(40)), MON$OWNER, CURRENT_USER, CURRENT_ROLE, "
      "(SELECT COUNT(*) FROM MON$ATTACHMENTS WHERE CAST(MON$ATTACHMENT_ID AS VARCHAR(20)) = ? "
      "AND CAST(MON$TIMESTAMP AS VARCHAR(40)) = ?) FROM MON$DATABASE",
      {id, attached});
  if (row.size() != 5) return oaUnknown;
  if (row[0] != created) return oaElsewhere;
  if (row[4] != "0") return oaAttached;
  const bool seesAll = row[2] == user || row[2] == "SYSDBA" || row[2] == row[1] || row[3] == "RDB$ADMIN";
  return seesAll ? oaElsewhere : oaUnknown;
}

// --- PostgreSQL ---------------------------------------------------------------------------

std::string PostgresToken(IOrvDb& db) {
  const std::vector<std::string> row = FirstRow(
      db,
      "SELECT pg_backend_pid(), CAST(EXTRACT(EPOCH FROM backend_start) * 1000000 AS BIGINT) "
      "FROM pg_stat_activity WHERE pid = pg_backend_pid()");
  return MakeDbToken({"postgresql", "backend", row});
}

TOrvDbAttachment PostgresAttachment(IOrvDb& db, const TDbToken& token) {
  if (auto answer = PlainAnswer(token, "postgresql", "backend", 2)) return *answer;
  int64_t pid = 0;
  if (!TryStrToInt64(token.Facts[0], pid) || pid <= 0 || pid > INT32_MAX) return oaUnknown;
  // Inside a transaction the activity list is the one read first; a fresh one is wanted.
  FirstRow(db, "SELECT 1 FROM pg_stat_clear_snapshot()");
  const std::vector<std::string> row = FirstRow(
      db,
      "SELECT CASE WHEN datname = current_database() THEN 1 ELSE 0 END, "
      "CAST(EXTRACT(EPOCH FROM backend_start) * 1000000 AS BIGINT) FROM pg_stat_activity WHERE pid = ?",
      {IntParam(static_cast<int32_t>(pid))});
  if (row.size() != 2 || row[0] != "1") return oaElsewhere;
  if (row[1].empty()) return oaUnknown;
  return row[1] == token.Facts[1] ? oaAttached : oaElsewhere;
}

// --- a file or folder ---------------------------------------------------------------------

std::string FileToken(const std::string& family, const std::string& path) {
  struct stat info;
  if (!FileId(path, info)) return MakeDbToken({family, "file", {}});
  return MakeDbToken({family, "file", {std::to_string(info.st_dev), std::to_string(info.st_ino)}});
}

TOrvDbAttachment FileAttachment(const std::string& family, const std::string& path, const TDbToken& token) {
  if (auto answer = PlainAnswer(token, family, "file", 2)) return *answer;
  struct stat info;
  if (!FileId(path, info)) return oaUnknown;
  return token.Facts[0] == std::to_string(info.st_dev) && token.Facts[1] == std::to_string(info.st_ino)
             ? oaAttached
             : oaElsewhere;
}

std::string SqliteMainFile(IOrvDb& db) {
  // In hexadecimal, so that the name's UTF-8 bytes come through whatever the driver converts.
  const std::vector<std::string> row = FirstRow(db, "SELECT hex(file) FROM pragma_database_list WHERE name = 'main'");
  std::string path;
  if (row.empty()) return path;
  const std::string& hex = row[0];
  for (size_t i = 0; i + 1 < hex.size(); i += 2) path += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return path;
}

// --- any other data source ----------------------------------------------------------------

std::string CatalogToken(const std::string& family, const std::string& catalog) {
  return MakeDbToken({family, "catalog", {catalog}});
}

TOrvDbAttachment CatalogAttachment(const std::string& family, const std::string& catalog, const TDbToken& token) {
  if (auto answer = PlainAnswer(token, family, "catalog", 1)) return *answer;
  return !catalog.empty() && catalog != token.Facts[0] ? oaElsewhere : oaUnknown;
}
