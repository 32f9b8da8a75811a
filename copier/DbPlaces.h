// Whether two locations are one database, so that the wizard refuses to copy a database onto
// itself. A location's spelling can only tell that it names the same database as another; that
// two differ is the engines' word, asked of both open connections (IOrvDb::IsAttached).
#pragma once

#include <cstdint>
#include <functional>

#include "gisdb/OrvelDbs.h"

enum TSameDatabase : uint8_t { sdDifferent, sdSame, sdUnknown };

// True when the keys that name a database are equal: ENGINE in any letter case, FOLDER, ALIAS,
// SERVER, PROTOCOL, DATABASE, CONNECTIONSTRING and USER byte for byte. Such locations reach one
// database without asking. False when either is null.
bool SpelledAlike(IConnParams* a, IConnParams* b);

// Whether two open databases are one: b is asked whether a's connection is attached to it, and
// where b cannot tell, a whether b's is. sdUnknown when neither can tell; an engine's failure
// raises. `asking`, when given, is called with each database before it is asked anything, and what
// it raises passes on.
TSameDatabase SameDatabase(IOrvDb* a, IOrvDb* b, const std::function<void(IOrvDb*)>& asking = {});
