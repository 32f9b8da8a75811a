// A demo GIS database, built through the system's own catalogue and statements in any open
// database: the 24 system tables with plausible, varied rows (Cyrillic names, Null values, blobs
// of several sizes, one large table), plus the reference books and semantic tables that
// ORVEL_REFBOOKS and ORVEL_SEMTABLS list. And a comparer that tells whether two databases hold
// the same rows.
#pragma once

#include <string>
#include <vector>

#include "gisdb/OrvelDbs.h"

namespace testsupport {

struct TDemoOptions {
  int LargeRows = 2000;     // rows of ORVEL_OBJINFO, the large table
  int BlobBytes = 100000;   // the largest blob written
  bool SemanticTables = true;
};

// Creates and fills the whole demo database. The database must not hold the tables yet.
void BuildDemoGisDb(IOrvDb* db, const TDemoOptions& options = {});

// The names of the semantic tables and reference books the demo lists.
std::vector<std::string> DemoSemanticTables();

// Every row of a table, each as one canonical text (numbers compared by value, Null apart from
// every value unless emptyIsNull, for engines that cannot store an empty text or blob apart from
// Null), sorted; columns in the order given.
std::vector<std::string> CanonicalRows(IOrvDb* db, const std::string& table, const std::vector<std::string>& columns,
                                       bool emptyIsNull = false);

// "" when both tables hold the same rows over the given columns, else what differs.
std::string CompareTables(IOrvDb* a, const std::string& tableA, IOrvDb* b, const std::string& tableB,
                          const std::vector<std::string>& columns, bool emptyIsNull = false);

}  // namespace testsupport
