// A Paradox folder opened through its own session and database, for the component tests.
#pragma once

#include <memory>
#include <string>

#include "platform/bde/Bde.h"
#include "tests/support/TestSupport.h"

namespace bdetest {

class TFolder {
 public:
  TFolder();
  // A query of this folder's database with the text.
  std::unique_ptr<bde::TQuery> Query(const std::string& text);
  // Runs a statement; returns RowsAffected.
  int Exec(const std::string& text);
  // The first column of the first row of a SELECT, as an integer.
  int Scalar(const std::string& text);
  // A table object of this folder's database.
  std::unique_ptr<bde::TTable> Table(const std::string& name);
  // Every row of a SELECT, each row's fields as text joined by "|".
  std::vector<std::string> Rows(const std::string& text);

  testsupport::TempDir Dir;
  bde::TSession Session;
  bde::TDatabase Db;
  std::string Name;
};

}  // namespace bdetest
