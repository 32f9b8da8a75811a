// Where the database of a location lies, so that one database reached through two spellings is
// known as one: the wizard refuses to copy a database onto itself.
//
// The place is told from the location's spelling first: a Paradox folder (given directly or by
// an alias of the file driver), a Firebird database name ("path", "host:path", "host/port:path",
// "[v6 address]:path", "inet://host:port/path", given directly or by an INTRBASE alias), an ODBC
// connection string (a SQLite database file; a PostgreSQL server, port and database). A host
// reaches this machine when it is a loopback name or address, this machine's own name, or
// resolves to one of its addresses. Where the spelling cannot tell (a name the server resolves
// itself, a data source name, a database left to the server's default), the engine is asked:
// Firebird names the file it opened (MON$DATABASE), PostgreSQL its cluster's system identifier
// and the current database, SQLite the file of its main database.
#pragma once

#include "gisdb/OrvelDbs.h"

// Whether two locations reach one database, whatever their spelling. aDb and bDb, when given,
// are databases already connected to a and b, asked instead of connecting anew; where the
// spelling cannot tell, a location without one is connected for the question and disconnected
// after it. A location that cannot be reached or told counts as another database. False when
// either location is null.
bool SameDatabase(IConnParams* a, IConnParams* b, IOrvDb* aDb = nullptr, IOrvDb* bDb = nullptr);
