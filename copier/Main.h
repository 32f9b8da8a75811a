// TCopyOrvel: the program's one window, a wizard of nine pages. It asks where the GIS database lies
// and where it is to go, which options apply, optionally where the semantic tables lie and go and
// how their identifiers are converted, runs the whole-database copy and the semantic-table copy, and
// ends on a summary of every table's outcome.
//
// Each copy runs nested inside the Next handler that led to its page; the copy frames pump the
// message loop while their questions run on threads of their own, so Cancel stays live during a
// run and acts only through the frame's state.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "copier/DbPlaces.h"
#include "gisdb/OrvelDbs.h"
#include "platform/rtl/Classes.h"

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QTreeWidgetItem;
class TCopyBaseFrame;
class TCopyOrvelBaseFrame;
class TCopySemTablesFrame;
class TCopyTableInfo;
class TDbLocationFrame;
class TDialogIcon;
class TWaitingWork;
class TXListView;

// One wizard page: its caption (also the window caption while shown) and its Tag (a page whose
// Tag is not 0 is skipped by the navigation).
class TWizardPage : public QWidget {
 public:
  TWizardPage(const std::string& caption, QWidget* parent = nullptr) : QWidget(parent), Caption(caption) {}
  std::string Caption;
  int Tag = 0;
};

class TCopyOrvel : public QWidget {
 public:
  explicit TCopyOrvel(QWidget* parent = nullptr);
  ~TCopyOrvel() override;

  QStackedWidget* Pages;
  TWizardPage* pSourceBase;
  TWizardPage* pDestBase;
  TWizardPage* pOptions;
  TWizardPage* pSrcSemTables;
  TWizardPage* pDstSemTables;
  TWizardPage* pConvertOptions;
  TWizardPage* pCopyBase;
  TWizardPage* pCopySemTable;
  TWizardPage* pStop;

  TDbLocationFrame* SrcDbLocation;
  TDbLocationFrame* DstDbLocation;
  TDbLocationFrame* SrcSemDbLocation;
  TDbLocationFrame* DstSemLocation;
  QCheckBox* CopySem;
  QCheckBox* Unfasten;
  QCheckBox* AutoDelete;
  QCheckBox* HideWarnings;
  QCheckBox* ConvertTableNames;
  QCheckBox* EditConvertNames;
  QCheckBox* UniqueIndexes;
  QPushButton* Settings;
  TCopyOrvelBaseFrame* CopyBase;
  TCopySemTablesFrame* CopySemTables;
  TDialogIcon* DialogIcon;
  QLabel* FinishInfo;
  TXListView* InfoList;
  QPlainTextEdit* DetailsList;
  QPushButton* btnPrev;
  QPushButton* btnNext;
  QPushButton* btnCancel;

  IConnParamsPtr SourceParams;
  IConnParamsPtr DestParams;
  IConnParamsPtr SemSourceParams;
  IConnParamsPtr SemDestParams;
  IOrvDbPtr SourceDb;
  IOrvDbPtr DestDb;
  IOrvDbPtr SemSourceDb;
  IOrvDbPtr SemDestDb;
  std::unique_ptr<TStringList> Details;
  std::string DbCaption;

  void FormCreate();
  void btnNextClick();
  void btnPrevClick();
  void btnCancelClick();
  void PagesChanging();
  void PagesChange();
  void UpdateButtons(bool processMessages);
  void GoToPage(bool forward);
  void AcceptSource();
  void AcceptDestination();
  void AcceptOptions();
  // Reads DbCaption from the source's ORVEL_DBINFO through RunWaiting; false when the source has
  // no such table.
  bool ReadDbCaption();
  void RunBaseCopy();
  void AcceptSemSource();
  void AcceptSemDestination();
  void ApplyConvertDefaults();
  void ConvertTableNamesClick();
  void SettingsClick();
  void RunSemCopy();
  void ShowSummary();
  void AddResultRow(TCopyTableInfo* item, const std::string& text, int& warnings, int& errors);
  void InfoListSelectItem(QTreeWidgetItem* item);
  void ShowError(const std::string& text);
  bool AskYesNo(const std::string& text);
  bool AskStop(const std::string& text);

  int ActivePageIndex() const;
  TWizardPage* ActivePage() const;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // The constructor's steps, in the order they run: the pages, what each holds, then the buttons
  // below them.
  void CreatePages();
  void BuildLocationPages();  // the four location frames: source, destination, semantic both ways
  void BuildOptionsPage();
  void BuildConvertOptionsPage();
  void BuildCopyPages();      // the two copy frames
  void BuildSummaryPage();
  void BuildNavigation();     // Back, Next, Cancel, their keys and the window's layout

  TCopyBaseFrame* RunningFrame() const;
  // Runs work on a thread of its own while the window stays painted, and returns when it has
  // ended; the work's exception passes on. The window takes no input meanwhile, and when the work
  // lasts the waiting window shows. The wizard stops waiting, and raises EWaitAbandoned, on the
  // waiting window's Cancel (or Escape) and on a close, which then happens once the handler has
  // ended; it raises EWaitTimedOut when a database the work asks (TWaitingWork::Asking) keeps it
  // past the time given. The work then ends alone: it must hold what it uses (references,
  // results) rather than point into the caller, and the database it was asking is forgotten
  // (ForgetDatabase).
  void RunWaiting(std::function<void(TWaitingWork&)> work);
  // Drops the form's references to db, which a thread may still be using (LetGo).
  void ForgetDatabase(IOrvDb* db);
  // Drops every database the form holds (LetGo).
  void ForgetDatabases();
  // A new database connected to the location, through RunWaiting.
  IOrvDbPtr Connect(IConnParams* params);
  // A new database connected to a destination, through RunWaiting, that the engines tell from the
  // source's: raises selfCopy when it is the source's database, and says why no copy can run where
  // they cannot tell. asBefore, when given, tells whether it is the database before is connected to.
  // Each database is given its location's connection timeout to answer; a source that fails to,
  // or is gone (sourceDb null), raises the message that sends the user back to its page.
  IOrvDbPtr ConnectDestination(IConnParams* source, IOrvDb* sourceDb, IConnParams* params,
                               const std::string& selfCopy, IOrvDb* before = nullptr, bool* asBefore = nullptr);
  // Runs a copy nested in the handler that led to its page: its error is shown and the page stays;
  // the buttons follow; a close asked for meanwhile happens once the copy has ended. A copy given
  // up while a database kept it waiting closes the wizard as Остановить does, and the wizard lets
  // go of its databases.
  void RunCopy(const std::function<void()>& run);
  // The copy frame of the active page, or null on the other pages.
  TCopyBaseFrame* PageFrame() const;
  bool FCloseRequested = false;
  int FRunDepth = 0;
};

// The index of the page shown before the last page change.
extern int PrevPageIndex;
// The one main form; null until the program creates it.
extern TCopyOrvel* CopyOrvel;
