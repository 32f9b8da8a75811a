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
// about existing tables and rows that cannot be written. The phases run in the user-interface
// thread; each question to a database runs on a thread of its own (Ask), which the window waits for
// while the message loop runs, so the wizard's Cancel can call Stop mid-run and a server that stops
// answering never holds the window. Rows are copied in runs of many rows a question.
#pragma once

#include <QElapsedTimer>
#include <QFrame>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

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
class TWorkThread;

enum TCopyState : uint8_t { csReady = 0, csRunning = 1, csStopped = 2, csFinished = 3 };

// What the questions of one run share: the databases it asks and the statements of the row copy.
// Only questions use it, one at a time, each on a thread of its own; the frame holds it between
// them and touches nothing in it but Stopped. So when the window gives a question up, the thread
// held up in a client library keeps whatever it uses, and lets it go there.
struct TCopyRun {
  IOrvDbPtr Source;
  IOrvDbPtr Destination;
  // The databases the run writes to, whose pending work a run given up undoes.
  std::vector<IOrvDbPtr> Written;
  // The row copy of the current table: the source's cursor, the destination's INSERT, its
  // parameters and the cursor's columns that feed them.
  IOrvDbSQLPtr Cursor;
  IOrvDbSQLPtr Insert;
  TOrvDbParams Params;
  std::vector<Variant> Columns;
  std::atomic<bool> Stopped{false};

  // On the question's thread once the window has given it up: rolls back the work the written
  // databases hold pending (what a later close would otherwise commit); failures are ignored.
  void Undo();
};

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
  // Set by the window's thread, and by Stop on any thread.
  std::atomic<TCopyState> State{csReady};
  bool AutoDelete = false;    // drop existing destination tables without asking
  bool HideWarnings = false;  // row errors of non-critical tables without the dialog
  TDateTime LastShownRemaining = 0;
  TDateTime StartTime = 0;    // time of day the current table's row copy began

  // Stores both databases (those stored before are let go of, LetGo), shows the caption, clears
  // the items; State := csReady.
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
  // are committed on the destination before it returns. Where that commit fails, or the run was
  // given up, on a destination that holds work pending until a commit (HoldsWorkUntilCommit), the
  // rows it held are lost: each table that had rows copied then counts none, and says why. A
  // question the window gives up (the waiting window's Cancel, GiveUpWaitingIn) ends the run with
  // EWaitAbandoned; the frame then lets go of its databases, which that question's thread may
  // still be using.
  virtual void Execute();
  // Empties the progress display and sets State := csStopped; the loops end at their next test.
  // May be called on any thread (the display is then emptied by the window's thread).
  virtual void Stop();
  // A question still running `time` from now is given up (as the waiting window's Cancel does),
  // and so is every later one that lasts; until the next Execute. A run stopped this way ends
  // soon whatever a database still owes it.
  void GiveUpWaitingIn(std::chrono::milliseconds time);

  void BeginTablesProgress(int max, const std::string& caption);
  void SetTablesCaption(const std::string& caption);
  void StepTables();
  void BeginRowsProgress(const std::string& caption, int max);
  // Counts `count` rows; the bar takes the count, the messages are pumped and the estimate is
  // updated when the application says a pump is due (the other steps pump every time), and the
  // estimate also at the row that reaches the bar's maximum.
  void StepRows(int count = 1);
  // "hh:mm:ss" of a span of days, hours not wrapped at 24 ("36:00:00").
  static std::string FormatRemaining(TDateTime days);

 protected:
  // Runs question(run) on a thread of its own and returns what it returns, while the window stays
  // painted and takes input; a question that lasts a second brings the waiting window up over it.
  // The question must hold what it uses (by value, or in the run), never pointers into the frame
  // or its items, and return plain values (no database objects): a question the window gives up
  // goes on alone. Its exception passes on; EWaitAbandoned once the run has been given up.
  template <class F>
  auto Ask(F question) -> std::invoke_result_t<F&, TCopyRun&>;
  // Lets go of the databases the frame holds (LetGo).
  virtual void LetGoDatabases();
  // A copy of the item's names and maps, for a question to hold.
  static std::shared_ptr<const TCopyTableInfo> MapsOf(const TCopyTableInfo& item);
  // The databases a run writes to (TCopyRun::Written).
  virtual std::vector<IOrvDbPtr> WrittenDatabases() const { return {Destination}; }

 private:
  // A new run of the frame's databases, no question given up yet.
  void BeginRun();
  void AskRun(std::function<void(TCopyRun&)> question);
  // Copied := the rows the item's destination table gained since it held rowsBefore, when that is
  // fewer than Copied says.
  void CountCopiedRows(TCopyTableInfo* item, int64_t rowsBefore);
  // After a failed final commit, or a run given up, on a destination that holds work until a
  // commit: the tables whose rows were in that work count none. Returns the reason given them.
  std::string ForgetPendingRows(bool connectionLost);
  // Every pump of the frame shows FRowPosition on Progress2 first: between the pumps of StepRows
  // the bar lags behind the rows, and the step after a table's last row brings it to the end.
  void PumpMessages();
  QElapsedTimer FRowClock;  // elapsed time of the current row copy, unaffected by midnight
  int FRowPosition = 0;     // rows stepped in the current row copy, at most FRowMaximum
  int FRowMaximum = 0;      // Progress2's maximum, as BeginRowsProgress set it
  std::shared_ptr<TCopyRun> FRun;  // the run under way, or null
  std::unique_ptr<TWorkThread> FAsker;  // the thread its questions run on
  bool FGivenUp = false;           // a question of this run was given up
  bool FHoldsRows = false;         // the destination holds the rows until a commit
  std::optional<std::chrono::steady_clock::time_point> FGiveUpAt;
};

template <class F>
auto TCopyBaseFrame::Ask(F question) -> std::invoke_result_t<F&, TCopyRun&> {
  using R = std::invoke_result_t<F&, TCopyRun&>;
  if constexpr (std::is_void_v<R>) {
    AskRun([q = std::move(question)](TCopyRun& run) mutable { q(run); });
  } else {
    auto answer = std::make_shared<std::optional<R>>();
    AskRun([answer, q = std::move(question)](TCopyRun& run) mutable { answer->emplace(q(run)); });
    return std::move(**answer);
  }
}
