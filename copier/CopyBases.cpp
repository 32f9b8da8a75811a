// The copy engine: the table items with their name maps, then TCopyBaseFrame's run.
//
// Where to look first: Execute runs the four phases in order (ReadInfo, BeforeCreateTables,
// CreateTables, CopyTables) and decides how the run ends; CopyTable moves one table's rows
// through a source cursor and one prepared INSERT, closing the INSERT however the copy ends so
// that rows an engine holds back are written, or fail, inside the run. Every question to a
// database goes through Ask (AskRun): it runs on a thread of its own while the window waits in
// WaitInWindow, painted and taking input, and a question the window gives up goes on alone with
// what it holds (the run, TCopyRun). The rows go in runs of a few milliseconds a question
// (CopyRows), so the hand-over costs nothing per row. The progress steps (StepTables, StepRows)
// and the waits are where the message loop runs, and so where Stop takes effect; the
// specialisations (CopyOrvelBases, CopySemTables) override the phases, not the loop.
#include "copier/CopyBases.h"

#include <QLabel>
#include <QProgressBar>
#include <QThread>
#include <QTime>
#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>
#include <vector>

#include "copier/WaitingWork.h"
#include "foundation/ConfirmForms.h"
#include "foundation/DialogIcons.h"
#include "foundation/LongOperations.h"
#include "gisdb/OrvelDbUtils.h"
#include "platform/ui/Anchors.h"
#include "platform/ui/Application.h"
#include "platform/ui/UiText.h"

namespace {

// Cut at every separator; a separator at the very end yields no further item.
std::vector<std::string> SplitList(const std::string& list, char sep) {
  std::vector<std::string> items;
  std::size_t from = 0;
  while (from < list.size()) {
    std::size_t at = list.find(sep, from);
    if (at == std::string::npos) {
      items.push_back(list.substr(from));
      break;
    }
    items.push_back(list.substr(from, at - from));
    from = at + 1;
  }
  return items;
}

std::string SourceAt(const TStrings& map, const Variant& key) { return map.Names(key.ToInt32()); }

std::string MapSource(const TStrings& map, const Variant& key, const std::string& missingFormat) {
  if (IsOrdinalKey(key)) return SourceAt(map, key);
  std::string name = key.ToString();
  int i = IndexOfTarget(map, name);
  if (i < 0) throw Exception(Format(missingFormat, {name}));
  return map.Names(i);
}

std::string MapTarget(const TStrings& map, const Variant& key) {
  std::string source = IsOrdinalKey(key) ? SourceAt(map, key) : key.ToString();
  return map.Values(source);
}

void SetMapTarget(TStrings& map, const Variant& key, const std::string& target) {
  std::string source = IsOrdinalKey(key) ? SourceAt(map, key) : key.ToString();
  map.SetValues(source, target);
}

}  // namespace

TCopyTableInfo::TCopyTableInfo(const std::string& name)
    : Fields(std::make_unique<TStringList>()),
      Indexes(std::make_unique<TStringList>()),
      Errors(std::make_unique<TStringList>()),
      SrcName(name) {}

TCopyTableInfo::~TCopyTableInfo() = default;

std::string TCopyTableInfo::GetFieldSource(const Variant& key) const {
  return MapSource(*Fields, key, "Не найдено соответствия для поля %s"_ansi);
}

std::string TCopyTableInfo::GetFieldTarget(const Variant& key) const { return MapTarget(*Fields, key); }

void TCopyTableInfo::SetFieldTarget(const Variant& key, const std::string& target) {
  SetMapTarget(*Fields, key, target);
}

std::string TCopyTableInfo::GetIndexSource(const Variant& key) const {
  return MapSource(*Indexes, key, "Не найдено соответствия для индекса %s"_ansi);
}

std::string TCopyTableInfo::GetIndexTarget(const Variant& key) const { return MapTarget(*Indexes, key); }

void TCopyTableInfo::SetIndexTarget(const Variant& key, const std::string& target) {
  SetMapTarget(*Indexes, key, target);
}

bool IsOrdinalKey(const Variant& key) {
  TVarType t = key.VarType();
  return t == varSmallint || t == varInteger || t == varByte;
}

int IndexOfTarget(const TStrings& map, const std::string& name) {
  for (int i = 0; i < map.Count(); ++i)
    if (CompareText(map.ValueFromIndex(i), name) == 0) return i;
  return -1;
}

int FindFieldDef(IOrvDbTableDef* def, const std::string& name, TOrvDbFieldDef& field) {
  for (int i = 0; i < def->GetFieldCount(); ++i) {
    field = def->GetField(i);
    if (CompareText(field.Name, name) == 0) return i;
  }
  throw Exception("Ошибка, не найдено соответствующее поле"_ansi);
}

int FindIndexDef(IOrvDbTableDef* def, const std::string& name, TOrvDbIndexDef& index) {
  for (int i = 0; i < def->GetIndexCount(); ++i) {
    index = def->GetIndex(i);
    if (CompareText(index.Name, name) == 0) return i;
  }
  throw Exception("Ошибка, не найден соответствующий индекс: \""_ansi + name + "\"");
}

int FindIndexOfField(IOrvDbTableDef* def, const std::string& fieldName, TOrvDbIndexDef& index) {
  for (int i = 0; i < def->GetIndexCount(); ++i) {
    TOrvDbIndexDef candidate = def->GetIndex(i);
    for (const std::string& f : SplitList(candidate.Fields, ';')) {
      if (CompareText(f, fieldName) == 0) {
        index = candidate;
        return i;
      }
    }
  }
  return -1;
}

std::string MapFieldList(const std::string& list, const TCopyTableInfo& item, char sep) {
  std::string result, joint;
  for (const std::string& f : SplitList(list, sep)) {
    std::string target = item.GetFieldTarget(Variant(f));
    if (target.empty()) continue;
    result += joint + target;
    joint = std::string(1, sep);
  }
  return result;
}

// --- the copy engine ---------------------------------------------------------------------

namespace {

TDateTime TimeOfDay() {
  TDateTime now = Now();
  return now - std::floor(now);
}

// Runs an action when the scope is left by an exception.
class TOnFailure {
 public:
  explicit TOnFailure(std::function<void()> action) : FAction(std::move(action)) {}
  ~TOnFailure() {
    if (std::uncaught_exceptions() > FExceptions) FAction();
  }
  TOnFailure(const TOnFailure&) = delete;
  TOnFailure& operator=(const TOnFailure&) = delete;

 private:
  std::function<void()> FAction;
  int FExceptions = std::uncaught_exceptions();
};

// The message of an error held for later; empty for one that is no std::exception.
std::string MessageOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return ExceptionMessage(e);
  } catch (...) {
    return "";
  }
}

bool ConnectionLost(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return IsConnectionLost(e);
  } catch (...) {
    return false;
  }
}

// The rows one question copied, and how its turn ended.
struct TRows {
  int32_t Copied = 0;              // INSERTs that succeeded
  int32_t Passed = 0;              // rows the cursor moved past
  bool End = false;                // the row copy is over: the cursor ended, or the run was stopped
  std::exception_ptr InsertError;  // the current row's INSERT failed; the cursor stays on the row
  std::exception_ptr Error;        // reading the source, or closing the statements at the end, failed
};

// How long one question copies rows before the window has its turn: long enough that handing the
// rows over costs nothing, short enough that the progress moves on smoothly.
constexpr auto kRowsTurn = std::chrono::milliseconds(25);

// On a question's thread, at the end of a row copy: closes the cursor, then the INSERT, so that the
// rows an engine holds back are written, or fail, here. The INSERT stays with the run when its
// close fails, for the close after a failure.
void CloseRows(TCopyRun& run) {
  run.Cursor->Close();
  run.Cursor = nullptr;
  run.Insert->Close();
  run.Insert = nullptr;
}

// On a question's thread: copies rows from the run's cursor into its INSERT until the cursor ends,
// the run is stopped, an INSERT fails or the turn is over. skipFirst first moves past the row whose
// INSERT failed last time. At the end of the row copy it closes the statements (CloseRows).
TRows CopyRows(TCopyRun& run, bool skipFirst) {
  TRows rows;
  const auto until = std::chrono::steady_clock::now() + kRowsTurn;
  const std::size_t n = run.Params.size();
  try {
    if (skipFirst) {
      run.Cursor->Next();
      ++rows.Passed;
    }
    while (!run.Stopped.load(std::memory_order_relaxed) && !run.Cursor->Eof()) {
      for (std::size_t i = 0; i < n; ++i) run.Params[i].Value = run.Cursor->GetValue(run.Columns[i]);
      try {
        run.Insert->Execute(run.Params);
      } catch (const std::exception&) {
        rows.InsertError = std::current_exception();
        return rows;
      }
      ++rows.Copied;
      run.Cursor->Next();
      ++rows.Passed;
      if ((rows.Passed & 63) == 0 && std::chrono::steady_clock::now() >= until) return rows;
    }
    rows.End = true;
    CloseRows(run);
  } catch (const std::exception&) {
    rows.Error = std::current_exception();
  }
  return rows;
}

}  // namespace

void TCopyRun::Undo() {
  for (const IOrvDbPtr& db : Written) {
    if (!db) continue;
    try {
      // Every bracket is closed with a rollback, and at depth 0 one more, so that nothing of the
      // run stays pending for the close to commit.
      if (!db->InTransaction()) db->StartTransaction();
      for (int depth = 0; depth < 64 && db->InTransaction(); ++depth) db->Rollback();
    } catch (...) {
    }
  }
}

TCopyBaseFrame::TCopyBaseFrame(QWidget* owner) : QFrame(owner) {
  resize(281, 168);
  auto* layout = new TAnchorLayout(this, QSize(281, 168));
  lbl1 = new QLabel(this);
  lbl2 = new QLabel(this);
  Progress1 = new QProgressBar(this);
  Progress2 = new QProgressBar(this);
  DialogIcon1 = new TDialogIcon(this);
  lblCaption = new QLabel(ToQString("Копирование базы данных"_ansi), this);
  AppraisalTime = new QLabel(QStringLiteral("0:00:00"), this);
  for (QProgressBar* bar : {Progress1, Progress2}) {
    bar->setTextVisible(false);
    bar->setRange(0, 0);
    bar->hide();
  }
  lbl1->setTextFormat(Qt::PlainText);
  lbl2->setTextFormat(Qt::PlainText);
  lblCaption->setTextFormat(Qt::PlainText);
  lblCaption->setWordWrap(true);
  lblCaption->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  AppraisalTime->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  AppraisalTime->hide();
  layout->Place(lbl1, QRect(8, 72, 265, 24), akLeft | akRight | akBottom);
  layout->Place(lbl2, QRect(8, 124, 210, 16), akLeft | akRight | akBottom);
  layout->Place(Progress1, QRect(8, 99, 264, 20), akLeft | akRight | akBottom);
  layout->Place(Progress2, QRect(8, 141, 264, 20), akLeft | akRight | akBottom);
  layout->Place(DialogIcon1, QRect(8, 8, 16, 16));
  layout->Place(lblCaption, QRect(40, 8, 233, 65), akAll);
  layout->Place(AppraisalTime, QRect(197, 124, 75, 16), akRight | akBottom);
  ItemClass = [](const std::string& name) { return std::make_unique<TCopyTableInfo>(name); };
}

TCopyBaseFrame::~TCopyBaseFrame() {
  FAsker = nullptr;
  LetGo(std::move(Source));
  LetGo(std::move(Destination));
}

void TCopyBaseFrame::Init(const std::string& caption, const IOrvDbPtr& source, const IOrvDbPtr& destination) {
  LetGo(std::exchange(Source, source));
  LetGo(std::exchange(Destination, destination));
  lblCaption->setText(ToQString(caption));
  Tables.Clear();
  State = csReady;
}

TCopyTableInfo* TCopyBaseFrame::GetTable(int index) const {
  auto* item = dynamic_cast<TCopyTableInfo*>(Tables.Items(index));
  if (!item) throw Exception(Format("Элемент %d списка таблиц не является описанием таблицы"_ansi, {index}));
  return item;
}

int TCopyBaseFrame::AddTable(const std::string& name, const std::string& description, bool critical) {
  std::unique_ptr<TCopyTableInfo> item = ItemClass(name);
  item->Description = description;
  item->Critical = critical;
  return Tables.Add(std::move(item));
}

void TCopyBaseFrame::Stop() {
  State = csStopped;
  if (FRun) FRun->Stopped = true;
  auto empty = [this] {
    lbl1->clear();
    lbl2->clear();
    Progress1->setValue(0);
    Progress2->setValue(0);
    FRowPosition = 0;
    Progress1->setToolTip(QString());
    Progress2->setToolTip(QString());
  };
  if (QThread::currentThread() == thread())
    empty();
  else
    QMetaObject::invokeMethod(this, empty, Qt::QueuedConnection);
}

void TCopyBaseFrame::GiveUpWaitingIn(std::chrono::milliseconds time) {
  const auto at = std::chrono::steady_clock::now() + time;
  if (!FGiveUpAt || at < *FGiveUpAt) FGiveUpAt = at;
}

void TCopyBaseFrame::BeginRun() {
  FRun = std::make_shared<TCopyRun>();
  FRun->Source = Source;
  FRun->Destination = Destination;
  FRun->Written = WrittenDatabases();
  FGivenUp = false;
  FGiveUpAt.reset();
  FHoldsRows = HoldsWorkUntilCommit(Destination.get());
}

void TCopyBaseFrame::AskRun(std::function<void(TCopyRun&)> question) {
  if (FGivenUp) throw EWaitAbandoned();
  if (!FRun) BeginRun();
  if (!FAsker) FAsker = std::make_unique<TWorkThread>();
  auto state = std::make_shared<TWaitingWork>();
  FAsker->Start(state, [run = FRun, question = std::move(question)](TWaitingWork& work) {
    try {
      question(*run);
    } catch (...) {
      if (work.Abandoned()) run->Undo();
      throw;
    }
    if (work.Abandoned()) run->Undo();
  });
  const TWaitEnd end = WaitInWindow(*state, *window(), {std::chrono::milliseconds(0), std::chrono::seconds(1), [this] {
                                      return FGiveUpAt && std::chrono::steady_clock::now() >= *FGiveUpAt;
                                    }});
  IOrvDb* asked = nullptr;
  if (end != weDone && state->Abandon(asked)) {
    FGivenUp = true;
    throw EWaitAbandoned();
  }
  state->Rethrow();
}

void TCopyBaseFrame::LetGoDatabases() {
  LetGo(std::move(Source));
  LetGo(std::move(Destination));
}

void TCopyBaseFrame::BeginTablesProgress(int max, const std::string& caption) {
  Progress1->setRange(0, max);
  Progress1->setValue(0);
  Progress1->setToolTip(ToQString(caption));
  SetTablesCaption(caption);
}

void TCopyBaseFrame::SetTablesCaption(const std::string& caption) {
  lbl1->setText(ToQString(caption));
  Progress1->setToolTip(ToQString(caption));
  PumpMessages();
}

void TCopyBaseFrame::StepTables() {
  Progress1->setValue(std::min(Progress1->value() + 1, Progress1->maximum()));
  PumpMessages();
}

void TCopyBaseFrame::BeginRowsProgress(const std::string& caption, int max) {
  lbl2->setText(ToQString(caption));
  Progress2->setRange(0, std::max(0, max));
  Progress2->setValue(0);
  Progress2->setToolTip(ToQString(caption));
  FRowPosition = 0;
  FRowMaximum = Progress2->maximum();
  LastShownRemaining = 0;
  StartTime = TimeOfDay();
  FRowClock.start();
}

std::string TCopyBaseFrame::FormatRemaining(TDateTime days) {
  int64_t seconds = std::max<int64_t>(0, std::llround(days * 86400.0));
  char buf[48];
  std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return buf;
}

void TCopyBaseFrame::PumpMessages() {
  if (Progress2->value() != FRowPosition) Progress2->setValue(FRowPosition);
  Application->ProcessMessages();
}

void TCopyBaseFrame::StepRows(int count) {
  // A fast row costs less than setting the bar and pumping the messages, so the rows are counted
  // on every step and shown when a pump is due; the estimate is worked out for what a pump shows
  // and at the last row, so that the label ends with the table. A step that does not pump reads
  // the clock once, to ask whether a pump is due.
  const bool reachedEnd =
      FRowPosition < FRowMaximum && (FRowPosition = std::min(FRowMaximum, FRowPosition + count)) == FRowMaximum;
  if (Application->MessagesDue())
    PumpMessages();
  else if (!reachedEnd)
    return;
  // The elapsed time comes from a monotonic clock, so a copy that runs past midnight (or across a
  // change of the system time) still gets a right estimate.
  const int pos = FRowPosition;
  TDateTime remaining = 0;
  if (pos > 0) {
    const double elapsedDays = static_cast<double>(FRowClock.elapsed()) / 86400000.0;
    remaining = (FRowMaximum - pos) * elapsedDays / pos;
  }
  if (LastShownRemaining == 0 || std::fabs(LastShownRemaining - remaining) > 1.0 / 86400.0) {
    AppraisalTime->setText(ToQString(FormatRemaining(remaining)));
    LastShownRemaining = remaining;
  }
}

void TCopyBaseFrame::Execute() {
  LongOperationMode = 2;
  const std::string savedTitle = Application->Title();
  for (QWidget* w : std::initializer_list<QWidget*>{lbl1, lbl2, Progress1, Progress2, AppraisalTime}) w->show();
  BeginRun();
  std::exception_ptr runError;
  try {
    State = csRunning;
    ReadInfo();
    BeforeCreateTables();
    CreateTables();
    CopyTables();
    if (State != csStopped) {
      lblCaption->setText(ToQString("Копирование завершено"_ansi));
      State = csFinished;
    }
  } catch (...) {
    runError = std::current_exception();
    State = csStopped;
  }
  // Rows written outside a transaction bracket may still be pending on the destination (an
  // InterBase connection keeps them in its one transaction): a bracket closed at depth 0 makes
  // them durable before the run is reported. Its failure is the run's error unless the run
  // already failed. The statements go first, on the question's thread.
  std::exception_ptr commitError;
  try {
    Ask([](TCopyRun& run) {
      run.Cursor = nullptr;
      run.Insert = nullptr;
      if (!run.Destination) return;
      run.Destination->StartTransaction();
      run.Destination->Commit();
    });
  } catch (...) {
    commitError = std::current_exception();
  }
  // Where the rows were pending, a failed commit or a run given up took them with it.
  std::string lost;
  if (FHoldsRows && (commitError || FGivenUp)) lost = ForgetPendingRows(FGivenUp || ConnectionLost(commitError));
  for (QWidget* w : std::initializer_list<QWidget*>{lbl1, lbl2, Progress1, Progress2, AppraisalTime}) w->hide();
  Application->SetTitle(savedTitle);
  FRun = nullptr;
  FAsker = nullptr;
  // A question given up may still be using the databases: the frame never asks them again.
  if (FGivenUp) LetGoDatabases();
  std::exception_ptr error = runError ? runError : commitError;
  if (!error) return;
  State = csStopped;
  if (!lost.empty() && !FGivenUp) throw Exception(lost + "\r\n" + MessageOf(error));
  std::rethrow_exception(error);
}

std::string TCopyBaseFrame::ForgetPendingRows(bool connectionLost) {
  bool forgotten = false;
  for (int i = 0; i < TableCount(); ++i) {
    TCopyTableInfo* item = GetTable(i);
    if (item->Copied <= 0) continue;
    item->Copied = 0;
    item->Errors->Add(connectionLost
                          ? "Соединение с базой данных назначения потеряно, записи таблицы в ней не сохранены"_ansi
                          : "Транзакция базы данных назначения не подтверждена, записи таблицы в ней не сохранены"_ansi);
    forgotten = true;
  }
  if (!forgotten) return "";
  return connectionLost ? "Соединение с базой данных назначения потеряно: скопированные в неё записи не сохранены."_ansi
                        : "Транзакция базы данных назначения не подтверждена: скопированные в неё записи не сохранены."_ansi;
}

void TCopyBaseFrame::ReadInfo() {
  BeginTablesProgress(TableCount(), "Считывание информации"_ansi);
  for (int i = 0; i < TableCount(); ++i) {
    TCopyTableInfo* item = GetTable(i);
    try {
      ReadTableInfo(item);
    } catch (const std::exception& e) {
      item->Errors->Add(ExceptionMessage(e));
      throw;
    }
    StepTables();
  }
}

void TCopyBaseFrame::ReadTableInfo(TCopyTableInfo* item) {
  item->Errors->Clear();
  struct TNames {
    bool Exists = false;
    std::vector<std::string> Fields, Indexes;
  };
  const TNames names = Ask([name = item->SrcName](TCopyRun& run) {
    TNames answer;
    if (!run.Source->TableExists(name)) return answer;
    answer.Exists = true;
    IOrvDbTableDefPtr def = run.Source->GetTableDef(name);
    for (int i = 0; i < def->GetFieldCount(); ++i) answer.Fields.push_back(def->GetField(i).Name);
    for (int i = 0; i < def->GetIndexCount(); ++i) answer.Indexes.push_back(def->GetIndex(i).Name);
    return answer;
  });
  if (!names.Exists) throw Exception(Format("Не найдена таблица \"%s\""_ansi, {item->SrcName}));
  item->DstName = item->SrcName;
  for (const std::string& name : names.Fields) item->SetFieldTarget(Variant(name), name);
  for (const std::string& name : names.Indexes) item->SetIndexTarget(Variant(name), name);
}

void TCopyBaseFrame::BeforeCreateTables() {}

void TCopyBaseFrame::CreateTables() {
  BeginTablesProgress(TableCount(), "Создание таблиц"_ansi);
  for (int i = 0; i < TableCount() && State != csStopped; ++i) {
    TCopyTableInfo* item = GetTable(i);
    try {
      if (Ask([name = item->DstName](TCopyRun& run) { return run.Destination->TableExists(name); })) {
        if (!AutoDelete) {
          const int choice = ChooseAction(
              "Ошибка"_ansi, Format("Таблица %s уже существует. Что делать дальше?"_ansi, {item->DstName}),
              {"Удалить таблицу"_ansi, "Всегда удалять"_ansi, "Остановить процесс"_ansi},
              {"Вы уверены?"_ansi,
               "В дальнешем все таблицы будут удаляться автоматически. Вы уверены?"_ansi, ""});
          if (choice == 1) AutoDelete = true;
          if (choice != 0 && choice != 1) State = csStopped;
        }
        if (State == csStopped) break;
        Ask([name = item->DstName](TCopyRun& run) { run.Destination->DropTable(name); });
      }
      CreateTable(item);
    } catch (const std::exception& e) {
      item->Errors->Add(ExceptionMessage(e));
      throw;
    }
    StepTables();
  }
}

std::shared_ptr<const TCopyTableInfo> TCopyBaseFrame::MapsOf(const TCopyTableInfo& item) {
  auto copy = std::make_shared<TCopyTableInfo>(item.SrcName);
  copy->DstName = item.DstName;
  for (int i = 0; i < item.Fields->Count(); ++i) copy->Fields->Add(item.Fields->Strings(i));
  for (int i = 0; i < item.Indexes->Count(); ++i) copy->Indexes->Add(item.Indexes->Strings(i));
  return copy;
}

void TCopyBaseFrame::CreateTable(TCopyTableInfo* item) {
  Ask([item = MapsOf(*item)](TCopyRun& run) {
    IOrvDbTableDefPtr src = run.Source->GetTableDef(item->SrcName);
    IOrvDbTableDefPtr dst = run.Destination->GetTableDef("");
    dst->SetTableName(item->DstName);
    for (int i = 0; i < item->FieldMapCount(); ++i) {
      const std::string source = item->GetFieldSource(Variant(int32_t(i)));
      TOrvDbFieldDef field;
      FindFieldDef(src.get(), source, field);
      field.Name = item->GetFieldTarget(Variant(source));
      TOrvDbIndexDef first;
      field.Required = FindIndexOfField(src.get(), source, first) >= 0 && (first.Options & dioPrimary);
      dst->AddField(field);
    }
    for (int i = 0; i < item->IndexMapCount(); ++i) {
      const std::string source = item->GetIndexSource(Variant(int32_t(i)));
      TOrvDbIndexDef index;
      FindIndexDef(src.get(), source, index);
      index.Name = item->GetIndexTarget(Variant(source));
      index.Fields = MapFieldList(index.Fields, *item, ';');
      if (!index.Fields.empty()) dst->AddIndex(index);
    }
    dst->ApplyChanges();
  });
}

void TCopyBaseFrame::CopyTables() {
  BeginTablesProgress(TableCount(), "");
  for (int i = 0; i < TableCount() && State != csStopped; ++i) {
    TCopyTableInfo* item = GetTable(i);
    try {
      SetTablesCaption(Format("Копирование таблицы %s -> %s"_ansi, {item->SrcName, item->DstName}));
      const auto percent = static_cast<int>(RoundHalfEven(i * 100.0 / TableCount()));
      Application->SetTitle(Format("%s, выполнено %d"_ansi, {FromQStringLossy(lblCaption->text()), percent}) + "%");
      CopyTable(item);
    } catch (const std::exception& e) {
      item->Errors->Add(ExceptionMessage(e));
      throw;
    }
    StepTables();
  }
}

void TCopyBaseFrame::CopyTable(TCopyTableInfo* item) {
  const int n = item->FieldMapCount();
  std::vector<std::string> targets(static_cast<std::size_t>(n));
  std::vector<std::string> sources(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    targets[static_cast<std::size_t>(i)] = item->GetFieldTarget(Variant(int32_t(i)));
    sources[static_cast<std::size_t>(i)] = item->GetFieldSource(Variant(targets[static_cast<std::size_t>(i)]));
  }
  // The INSERT and the source's count, then the rows the destination table holds already (another
  // item of the run may write into the same table: the item counts only what it adds) and the
  // source's cursor; the INSERT and the cursor stay with the run. Each destination column is fed
  // from the source column whose map entry carries its name; the positions are found once, and a
  // column the cursor lacks is asked for by name (the engine's error then names it).
  struct TPrepared {
    std::string InsertSQL;
    int32_t RowCount = -1;
    int64_t RowsBefore = 0;
    std::exception_ptr Error;  // what failed once the source's rows were counted
  };
  const TPrepared prepared =
      Ask([dstName = item->DstName, srcName = item->SrcName, targets, sources](TCopyRun& run) {
        IOrvDbTableDefPtr dst = run.Destination->GetTableDef(dstName);
        std::vector<std::string> names(targets.size());
        run.Params.assign(targets.size(), TOrvDbParam());
        for (std::size_t i = 0; i < targets.size(); ++i) {
          TOrvDbFieldDef field;
          FindFieldDef(dst.get(), targets[i], field);
          run.Params[i].DataType = field.FieldType;
          names[i] = field.Name;
        }
        run.Insert = BuildInsertSQL(run.Destination.get(), dstName, names);
        TPrepared answer;
        answer.InsertSQL = run.Insert->GetSQL();
        IOrvDbSQLPtr count = run.Source->CreateSQL(Format("SELECT Count(*) FROM [%s]", {srcName}));
        count->Execute({});
        answer.RowCount = count->AsInt32(Variant(int32_t(0)));
        count->Close();
        try {
          answer.RowsBefore = CountTableRows(run.Destination.get(), dstName);
          run.Cursor = OpenTableSQL(run.Source.get(), srcName);
          run.Columns.clear();
          for (const std::string& source : sources) {
            const int pos = run.Cursor->FieldIndex(source);
            run.Columns.push_back(pos >= 0 ? Variant(int32_t(pos)) : Variant(source));
          }
        } catch (const std::exception&) {
          answer.Error = std::current_exception();
        }
        return answer;
      });
  item->RowCount = prepared.RowCount;
  if (prepared.Error) std::rethrow_exception(prepared.Error);
  const int64_t rowsBefore = prepared.RowsBefore;

  bool autoIgnore = HideWarnings && !item->Critical;
  BeginRowsProgress("Копирование"_ansi, item->RowCount);
  // An engine may hold rows back and write them in groups: closing the INSERT statement writes the
  // last of them, and a failed group may surface with a later row or at the close. So the
  // statement is closed however the copy ends, and after any failure the count of copied rows is
  // checked against what the table gained. When the copy fails, its error is the run's; what fails
  // in closing and counting only adds to the item's errors (nothing when the run was given up).
  TOnFailure closeAfterFailure([&] {
    try {
      Ask([](TCopyRun& run) {
        run.Cursor = nullptr;
        if (IOrvDbSQLPtr insert = std::exchange(run.Insert, nullptr)) insert->Close();
      });
    } catch (const EWaitAbandoned&) {
    } catch (const std::exception& e) {
      item->Errors->Add(ExceptionMessage(e));
    }
    // A count the destination cannot give leaves Copied at the INSERTs that succeeded; where each
    // row is kept as it is written, the one being written when the copy failed may be kept too.
    try {
      CountCopiedRows(item, rowsBefore);
    } catch (const EWaitAbandoned&) {
    } catch (const std::exception& e) {
      item->Errors->Add(FHoldsRows ? ExceptionMessage(e)
                                   : "Число сохранённых записей не проверено, запись, которая писалась при сбое, могла сохраниться: "_ansi +
                                         ExceptionMessage(e));
    }
  });
  bool rowFailed = false;
  bool skipFailedRow = false;
  bool ended = false;
  while (!ended && State != csStopped) {
    const TRows rows = Ask([skipFailedRow](TCopyRun& run) { return CopyRows(run, skipFailedRow); });
    skipFailedRow = false;
    item->Copied += rows.Copied;
    StepRows(rows.Passed);
    if (rows.Error) std::rethrow_exception(rows.Error);
    if (rows.InsertError) {
      rowFailed = true;
      const std::string message = MessageOf(rows.InsertError);
      item->Errors->Add(message);
      if (!autoIgnore) {
        const std::string caption =
            Format("%s (таблица %s)"_ansi, {item->Critical ? "Ошибка"_ansi : "Предупреждение"_ansi, item->DstName});
        const std::string text =
            Format("%s.%sТекст ошибки: %s. "_ansi, {item->Description, "\r\n\r\n", message}) + "\r\n" + "SQL: " +
            prepared.InsertSQL;
        const int choice =
            ChooseActionNoConfirm(caption, text, {"Игнорировать"_ansi, "Игнорировать всё"_ansi, "Остановить"_ansi});
        if (choice == 1) autoIgnore = true;
        if (choice != 0 && choice != 1) std::rethrow_exception(rows.InsertError);
      }
      skipFailedRow = true;
      continue;
    }
    ended = rows.End;
  }
  // Stopped between two questions: the statements are closed as at the end of the rows.
  if (!ended) Ask([](TCopyRun& run) { CloseRows(run); });
  if (rowFailed) {
    const int32_t taken = item->Copied;
    CountCopiedRows(item, rowsBefore);
    if (item->Copied < taken)
      throw Exception(Format("Ошибка записи в таблицу %s: сохранено строк %d из %d записанных"_ansi,
                             {item->DstName, item->Copied, taken}));
  }
}

void TCopyBaseFrame::CountCopiedRows(TCopyTableInfo* item, int64_t rowsBefore) {
  // A failed INSERT never counted, so the count only ever goes down: to what the table gained
  // when fewer rows than counted reached it.
  const int64_t gained =
      Ask([name = item->DstName](TCopyRun& run) { return CountTableRows(run.Destination.get(), name); }) - rowsBefore;
  item->Copied = static_cast<int32_t>(std::clamp<int64_t>(gained, 0, item->Copied));
}
