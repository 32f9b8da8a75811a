// The copy engine's table items and their name maps.
//
// A copy run works through a list of TCopyTableInfo items, one per table: source and destination
// names, a field map and an index map (source name -> destination name), the errors collected for
// the table, and its row counts. Map entries are lines "source=destination" of a string list;
// lookups by source name fold case in the user's locale, lookups by destination name fold only
// ASCII letters. An entry never holds an empty destination: setting one deletes the entry.
//
// A map key is a Variant: a 16-bit or 32-bit signed or an 8-bit unsigned integer is a position,
// anything else is taken as a name (its text).
//
// TCopyBaseFrame is the copy engine: a frame on a wizard page that copies each listed table from
// the source database to the destination in four phases (read the structures, a step before
// creation, create the tables, copy the rows), showing its progress and asking the user what to do
// about existing tables and rows that cannot be written. Everything runs in the user-interface
// thread; the progress steps pump the message loop, so the wizard's Cancel can call Stop mid-run.
#pragma once

#include <QElapsedTimer>
#include <QFrame>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "foundation/ObjectLists.h"

#include "gisdb/OrvelDbs.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/Variant.h"

class TCopyTableInfo : public TObject {
 public:
  explicit TCopyTableInfo(const std::string& name);
  ~TCopyTableInfo() override;

  // Field map. GetFieldSource: the source name at a position, or of the first entry whose
  // destination is the given name (raises "Не найдено соответствия для поля %s" when none).
  // GetFieldTarget: the destination for a position's source name or for a source name ("" when
  // absent). SetFieldTarget: sets or (with "") deletes the entry of that source name.
  std::string GetFieldSource(const Variant& key) const;
  std::string GetFieldTarget(const Variant& key) const;
  void SetFieldTarget(const Variant& key, const std::string& target);
  int FieldMapCount() const { return Fields->Count(); }

  // The same four over the index map.
  std::string GetIndexSource(const Variant& key) const;
  std::string GetIndexTarget(const Variant& key) const;
  void SetIndexTarget(const Variant& key, const std::string& target);
  int IndexMapCount() const { return Indexes->Count(); }

  std::unique_ptr<TStringList> Fields;
  std::unique_ptr<TStringList> Indexes;
  std::unique_ptr<TStringList> Errors;
  std::string SrcName;
  std::string DstName;       // empty until the structure is read
  bool Critical = false;     // errors count as errors, not warnings
  std::string Description;   // put before the error text in the row-error dialog
  int32_t RowCount = -1;     // -1: the table never reached its row copy
  int32_t Copied = 0;
};

// True for the integer Variant types that count as positions.
bool IsOrdinalKey(const Variant& key);
// The first position whose destination equals name under CompareText; -1 when none.
int IndexOfTarget(const TStrings& map, const std::string& name);
// The position of the first field (index) whose name equals name under CompareText, with its
// definition; raises "Ошибка, не найдено соответствующее поле" ("... индекс") when none.
int FindFieldDef(IOrvDbTableDef* def, const std::string& name, TOrvDbFieldDef& field);
int FindIndexDef(IOrvDbTableDef* def, const std::string& name, TOrvDbIndexDef& index);
// The position of the first index whose ";"-separated field list holds fieldName under
// CompareText, with its definition; -1 when none.
int FindIndexOfField(IOrvDbTableDef* def, const std::string& fieldName, TOrvDbIndexDef& index);
// The list cut at sep, each item translated through the item's field map; unmapped and empty
// items are dropped, the rest joined by sep in their order.
std::string MapFieldList(const std::string& list, const TCopyTableInfo& item, char sep);

class QLabel;
class QProgressBar;
class TDialogIcon;

enum TCopyState : uint8_t { csReady = 0, csRunning = 1, csStopped = 2, csFinished = 3 };

class TCopyBaseFrame : public QFrame {
 public:
  explicit TCopyBaseFrame(QWidget* owner = nullptr);
  ~TCopyBaseFrame() override;

  QLabel* lbl1;
  QLabel* lbl2;
  QProgressBar* Progress1;
  QProgressBar* Progress2;
  TDialogIcon* DialogIcon1;
  QLabel* lblCaption;
  QLabel* AppraisalTime;

  TObjectList Tables;  // the items in copy order, owned
  int32_t LockCount = 0;
  IOrvDbPtr Source;
  IOrvDbPtr Destination;
  // Makes the items AddTable appends; a specialisation sets its own item class.
  std::function<std::unique_ptr<TCopyTableInfo>(const std::string& name)> ItemClass;
  TCopyState State = csReady;
  bool AutoDelete = false;    // drop existing destination tables without asking
  bool HideWarnings = false;  // row errors of non-critical tables without the dialog
  TDateTime LastShownRemaining = 0;
  TDateTime StartTime = 0;    // time of day the current table's row copy began

  // Stores both databases, shows the caption, clears the items; State := csReady.
  void Init(const std::string& caption, const IOrvDbPtr& source, const IOrvDbPtr& destination);
  TCopyTableInfo* GetTable(int index) const;
  int TableCount() const { return Tables.Count(); }
  void Lock() { ++LockCount; }
  void Unlock() {
    if (LockCount > 0) --LockCount;
  }
  bool IsLocked() const { return LockCount > 0; }

  // The four phases and their steps.
  virtual void ReadTableInfo(TCopyTableInfo* item);
  virtual void CreateTable(TCopyTableInfo* item);
  virtual void CopyTable(TCopyTableInfo* item);
  virtual void ReadInfo();
  virtual void BeforeCreateTables();
  virtual void CreateTables();
  virtual void CopyTables();
  // Appends a new item of ItemClass; returns its position.
  virtual int AddTable(const std::string& name, const std::string& description, bool critical);
  // Runs the copy. An exception leaves it with State csStopped. However it ends, the rows written
  // are committed on the destination before it returns.
  virtual void Execute();
  // Empties the progress display and sets State := csStopped; the loops end at their next test.
  virtual void Stop();

  void BeginTablesProgress(int max, const std::string& caption);
  void SetTablesCaption(const std::string& caption);
  void StepTables();
  void BeginRowsProgress(const std::string& caption, int max);
  // Counts a row; the bar takes the count, the messages are pumped and the estimate is updated
  // when the application says a pump is due (the other steps pump every time), and the estimate
  // also at the row that reaches the bar's maximum.
  void StepRows();
  // "hh:mm:ss" of a span of days, hours not wrapped at 24 ("36:00:00").
  static std::string FormatRemaining(TDateTime days);

 private:
  // Copied := the rows the item's destination table gained since it held rowsBefore, when that is
  // fewer than Copied says.
  void CountCopiedRows(TCopyTableInfo* item, int64_t rowsBefore);
  // Every pump of the frame shows FRowPosition on Progress2 first: between the pumps of StepRows
  // the bar lags behind the rows, and the step after a table's last row brings it to the end.
  void PumpMessages();
  QElapsedTimer FRowClock;  // elapsed time of the current row copy, unaffected by midnight
  int FRowPosition = 0;     // rows stepped in the current row copy, at most FRowMaximum
  int FRowMaximum = 0;      // Progress2's maximum, as BeginRowsProgress set it
};
