#include "tests/bde/BdeTestSupport.h"

namespace bdetest {

TFolder::TFolder() {
  static int counter = 0;
  Name = "BdeTest" + std::to_string(++counter);
  Session.SetSessionName(Name);
  Db.SetDatabaseName("Db" + Name);
  Db.SetSessionName(Name);
  Db.SetDriverName("STANDARD");
  Db.Params().Add("PATH=" + Utf8ToAnsi(Dir.Path().string()));
  Db.SetConnected(true);
}

std::unique_ptr<bde::TQuery> TFolder::Query(const std::string& text) {
  auto q = std::make_unique<bde::TQuery>();
  q->SetSessionName(Name);
  q->SetDatabaseName(Db.DatabaseName());
  q->SQL().SetText(text);
  return q;
}

int TFolder::Exec(const std::string& text) {
  auto q = Query(text);
  q->ExecSQL();
  return q->RowsAffected();
}

int TFolder::Scalar(const std::string& text) {
  auto q = Query(text);
  q->Open();
  return q->Fields(0).AsInteger();
}

std::unique_ptr<bde::TTable> TFolder::Table(const std::string& name) {
  auto t = std::make_unique<bde::TTable>();
  t->SetSessionName(Name);
  t->SetDatabaseName(Db.DatabaseName());
  t->SetTableName(name);
  return t;
}

std::vector<std::string> TFolder::Rows(const std::string& text) {
  auto q = Query(text);
  std::vector<std::string> out;
  for (q->Open(); !q->Eof(); q->Next()) {
    std::string row;
    for (int i = 0; i < q->FieldCount(); ++i) row += (i ? "|" : "") + (q->Fields(i).IsNull() ? std::string("<null>") : q->Fields(i).AsString());
    out.push_back(row);
  }
  return out;
}

}  // namespace bdetest
