// A table with one column of every field type the GIS tables use, three rows that exercise them
// (full values with Cyrillic text and a large blob, all Null, zeros and empty strings), and the
// checks that read them back through a statement.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "gisdb/OrvelDbs.h"

namespace testsupport {

// ID, NAME, SMALL, BIG, X, PRICE, STAMP, NOTE, DATA.
const std::vector<TOrvDbFieldDef>& EveryTypeFields();
// The three rows; the first row's DATA blob holds `blobSize` bytes of every value.
std::vector<std::vector<Variant>> EveryTypeRows(std::size_t blobSize);
// Creates table VALS with primary key ID and inserts the rows, each insert counting one row.
void CreateEveryTypeTable(IOrvDb* db, const std::vector<std::vector<Variant>>& rows);
// Reads the rows back from an executed statement over VALS in ID order, column by column, and
// expects the statement to end after them; reading the blob or the memo a second time in a row
// raises.
void ExpectEveryTypeRows(IOrvDbSQL* select, const std::vector<std::vector<Variant>>& rows);

// A field definition as one line ("NAME type 3 size 60 required"), for comparing loaded structures.
std::string Describe(const TOrvDbFieldDef& f);

}  // namespace testsupport
