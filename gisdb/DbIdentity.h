// Where a database lies, as its engine tells it: the questions behind IOrvDb::ConnectionToken and
// IOrvDb::IsAttached. Two locations may name one database in many spellings (host names and
// addresses, socket folders, links, URIs, keys a driver ignores), and two databases may differ
// only in the letter case of their names; so a connection is named by facts its engine gives, and
// another connection's engine is asked whether the connection those facts name is attached to it.
//
// A token is text: the engine family, the question that made it and that question's facts,
// separated by tabs. A token of another family names another database; one of the same family
// made by another question, or lacking its facts, cannot be told.
//
//   Firebird    The attachment: CURRENT_CONNECTION with its MON$TIMESTAMP, the user, and the
//               database's MON$CREATION_DATE. Attached when MON$ATTACHMENTS holds that
//               attachment. Elsewhere when the creation date differs, or when the attachment is
//               missing although this connection sees every attachment of the database (as
//               SYSDBA, the owner, under RDB$ADMIN, or as the same user: anyone else sees only
//               the attachments of their own user). The monitoring tables are read in a
//               transaction of their own, since a transaction keeps its first snapshot of them,
//               across commits with retaining too.
//   PostgreSQL  The backend: pg_backend_pid() with its backend_start in microseconds. Attached
//               when pg_stat_activity holds that pid with that start in current_database().
//               Elsewhere when the pid is absent (every backend of the cluster is listed to
//               every user), in another database, or started at another moment. A start hidden
//               from this role (another role's session) cannot be told.
//   SQLite      Device and inode of the file PRAGMA database_list names for the main database;
//               the driver runs in this process, so the file is one of this machine. A database
//               in memory has no file and cannot be told.
//   Paradox     Device and inode of the folder the engine opened (a folder, or an alias of one).
//   other ODBC  The DBMS name and the current catalog (SQLGetInfo): another engine is
//               elsewhere, and so is another catalog name; the same name may be another
//               server's database and cannot be told.
#pragma once

#include <string>
#include <vector>

#include "gisdb/OrvelDbs.h"

class TIBDatabase;

struct TDbToken {
  std::string Family;    // "firebird", "postgresql", "sqlite", "paradox", or a DBMS name
  std::string Question;  // what made it: "attachment", "backend", "file", "catalog"
  std::vector<std::string> Facts;
};
std::string MakeDbToken(const TDbToken& token);
// Any text reads; a text without tabs gives only a Family.
TDbToken ParseDbToken(const std::string& text);
// The family of an ODBC data source by its DBMS name: Firebird and InterBase are "firebird",
// PostgreSQL "postgresql", SQLite "sqlite"; any other name in small letters.
std::string DbmsFamily(const std::string& dbmsName);

// Firebird, over a connected attachment (an InterBase database, or an alias of one).
std::string FirebirdToken(TIBDatabase& db);
TOrvDbAttachment FirebirdAttachment(TIBDatabase& db, const TDbToken& token);
// PostgreSQL, through the database's own statements.
std::string PostgresToken(IOrvDb& db);
TOrvDbAttachment PostgresAttachment(IOrvDb& db, const TDbToken& token);
// A database that is one file or folder of this machine, by its path (UTF-8, "" for none).
std::string FileToken(const std::string& family, const std::string& path);
TOrvDbAttachment FileAttachment(const std::string& family, const std::string& path, const TDbToken& token);
// The file of a SQLite database's main database (UTF-8), "" when it lies in memory.
std::string SqliteMainFile(IOrvDb& db);
// Any other ODBC data source, by its family and current catalog.
std::string CatalogToken(const std::string& family, const std::string& catalog);
TOrvDbAttachment CatalogAttachment(const std::string& family, const std::string& catalog, const TDbToken& token);
