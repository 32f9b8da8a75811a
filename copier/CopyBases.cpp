// The copy engine: the table items with their name maps, then TCopyBaseFrame's run.
//
// Where to look first: Execute runs the four phases in order (ReadInfo, BeforeCreateTables,
// CreateTables, CopyTables) and decides how the run ends; CopyTable moves one table's rows
// through a source cursor and one prepared INSERT, closing the INSERT however the copy ends so
// that rows an engine holds back are written, or fail, inside the run. The progress steps
// (StepTables, StepRows) are where the message loop runs, and so where Stop takes effect; the
// specialisations (CopyOrvelBases, CopySemTables) override the phases, not the loop.
#include "copier/CopyBases.h"

#include <QLabel>
#include <QProgressBar>
#include <QTime>
#include <algorithm>
#include <cmath>
#include <exception>
#include <vector>

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

}  // namespace

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

TCopyBaseFrame::~TCopyBaseFrame() = default;

void TCopyBaseFrame::Init(const std::string& caption, const IOrvDbPtr& source, const IOrvDbPtr& destination) {
  Source = source;
  Destination = destination;
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
  lbl1->clear();
  lbl2->clear();
  Progress1->setValue(0);
  Progress2->setValue(0);
  FRowPosition = 0;
  Progress1->setToolTip(QString());
  Progress2->setToolTip(QString());
  State = csStopped;
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

void TCopyBaseFrame::StepRows() {
  // A fast row costs less than setting the bar and pumping the messages, so the rows are counted
  // on every step and shown when a pump is due; the estimate is worked out for what a pump shows
  // and at the last row, so that the label ends with the table. A step that does not pump reads
  // the clock once, to ask whether a pump is due.
  const bool reachedEnd = FRowPosition < FRowMaximum && ++FRowPosition == FRowMaximum;
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
  // already failed.
  std::exception_ptr commitError;
  if (Destination) {
    try {
      Destination->StartTransaction();
      Destination->Commit();
    } catch (...) {
      commitError = std::current_exception();
    }
  }
  for (QWidget* w : std::initializer_list<QWidget*>{lbl1, lbl2, Progress1, Progress2, AppraisalTime}) w->hide();
  Application->SetTitle(savedTitle);
  if (runError) std::rethrow_exception(runError);
  if (commitError) {
    State = csStopped;
    std::rethrow_exception(commitError);
  }
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
  if (!Source->TableExists(item->SrcName))
    throw Exception(Format("Не найдена таблица \"%s\""_ansi, {item->SrcName}));
  IOrvDbTableDefPtr def = Source->GetTableDef(item->SrcName);
  item->DstName = item->SrcName;
  for (int i = 0; i < def->GetFieldCount(); ++i) {
    const std::string name = def->GetField(i).Name;
    item->SetFieldTarget(Variant(name), name);
  }
  for (int i = 0; i < def->GetIndexCount(); ++i) {
    const std::string name = def->GetIndex(i).Name;
    item->SetIndexTarget(Variant(name), name);
  }
}

void TCopyBaseFrame::BeforeCreateTables() {}

void TCopyBaseFrame::CreateTables() {
  BeginTablesProgress(TableCount(), "Создание таблиц"_ansi);
  for (int i = 0; i < TableCount() && State != csStopped; ++i) {
    TCopyTableInfo* item = GetTable(i);
    try {
      if (Destination->TableExists(item->DstName)) {
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
        Destination->DropTable(item->DstName);
      }
      CreateTable(item);
    } catch (const std::exception& e) {
      item->Errors->Add(ExceptionMessage(e));
      throw;
    }
    StepTables();
  }
}

void TCopyBaseFrame::CreateTable(TCopyTableInfo* item) {
  IOrvDbTableDefPtr src = Source->GetTableDef(item->SrcName);
  IOrvDbTableDefPtr dst = Destination->GetTableDef("");
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
  IOrvDbTableDefPtr dst = Destination->GetTableDef(item->DstName);
  const int n = item->FieldMapCount();
  TOrvDbParams params(static_cast<std::size_t>(n));
  std::vector<std::string> names(static_cast<std::size_t>(n));
  std::vector<std::string> sources(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    const std::string target = item->GetFieldTarget(Variant(int32_t(i)));
    TOrvDbFieldDef field;
    FindFieldDef(dst.get(), target, field);
    params[static_cast<std::size_t>(i)].DataType = field.FieldType;
    names[static_cast<std::size_t>(i)] = field.Name;
    sources[static_cast<std::size_t>(i)] = item->GetFieldSource(Variant(target));
  }
  IOrvDbSQLPtr insert = BuildInsertSQL(Destination.get(), item->DstName, names);

  IOrvDbSQLPtr count = Source->CreateSQL(Format("SELECT Count(*) FROM [%s]", {item->SrcName}));
  count->Execute({});
  item->RowCount = count->AsInt32(Variant(int32_t(0)));
  count->Close();
  count.reset();
  // The destination table may hold rows already (another item of the run may write into the same
  // table): the item counts only what it adds.
  const int64_t rowsBefore = CountTableRows(Destination.get(), item->DstName);

  bool autoIgnore = HideWarnings && !item->Critical;
  BeginRowsProgress("Копирование"_ansi, item->RowCount);
  IOrvDbSQLPtr cursor = OpenTableSQL(Source.get(), item->SrcName);
  // Each destination column is fed from the source column whose map entry carries its name; the
  // positions are found once, and a column the cursor lacks is asked for by name (the engine's
  // error then names it).
  std::vector<Variant> columns;
  for (const std::string& source : sources) {
    int pos = cursor->FieldIndex(source);
    columns.push_back(pos >= 0 ? Variant(int32_t(pos)) : Variant(source));
  }
  // An engine may hold rows back and write them in groups: closing the INSERT statement writes the
  // last of them, and a failed group may surface with a later row or at the close. So the
  // statement is closed however the copy ends, and after any failure the count of copied rows is
  // checked against what the table gained. When the copy fails, its error is the run's; what fails
  // in closing and counting only adds to the item's errors.
  TOnFailure closeAfterFailure([&] {
    try {
      insert->Close();
    } catch (const std::exception& e) {
      item->Errors->Add(ExceptionMessage(e));
    }
    try {
      CountCopiedRows(item, rowsBefore);
    } catch (const std::exception& e) {
      item->Errors->Add(ExceptionMessage(e));
    }
  });
  bool rowFailed = false;
  while (State != csStopped && !cursor->Eof()) {
    for (int i = 0; i < n; ++i)
      params[static_cast<std::size_t>(i)].Value = cursor->GetValue(columns[static_cast<std::size_t>(i)]);
    try {
      insert->Execute(params);
      ++item->Copied;
    } catch (const std::exception& e) {
      rowFailed = true;
      const std::string message = ExceptionMessage(e);
      item->Errors->Add(message);
      if (!autoIgnore) {
        const std::string caption =
            Format("%s (таблица %s)"_ansi, {item->Critical ? "Ошибка"_ansi : "Предупреждение"_ansi, item->DstName});
        const std::string text =
            Format("%s.%sТекст ошибки: %s. "_ansi, {item->Description, "\r\n\r\n", message}) + "\r\n" + "SQL: " +
            insert->GetSQL();
        const int choice =
            ChooseActionNoConfirm(caption, text, {"Игнорировать"_ansi, "Игнорировать всё"_ansi, "Остановить"_ansi});
        if (choice == 1) autoIgnore = true;
        if (choice != 0 && choice != 1) throw;
      }
    }
    cursor->Next();
    StepRows();
  }
  cursor->Close();
  insert->Close();
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
  const int64_t gained = CountTableRows(Destination.get(), item->DstName) - rowsBefore;
  item->Copied = static_cast<int32_t>(std::clamp<int64_t>(gained, 0, item->Copied));
}
