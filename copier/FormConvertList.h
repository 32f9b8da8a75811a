// The conversion list editor: the window in which the user reviews and edits the identifiers the
// semantic copy is about to give to the tables, fields and indices it creates.
//
// The copy hands over up to three groups, each a list of name=value entries with the converter of
// that kind. On entry an entry is key=source name, the key being the converted name. The editor
// keeps the source names aside, sets every value to its key, and from then on the value is the
// entry's current new name; keys never change, so after OK the caller finds each new name by its
// key. Every new name must pass the group's converter and be unique in its group (a-z folded).
#pragma once

#include <QDialog>
#include <memory>
#include <string>
#include <vector>

#include "platform/rtl/Classes.h"

class QAction;
class QCheckBox;
class QKeyEvent;
class QMenu;
class QPushButton;
class QSplitter;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;
class TConvert;
class TXListView;

// One group of names. The list and the converter stay the caller's.
struct TConvertListData {
  std::string Caption;         // the group's node in the tree
  TStrings* Items = nullptr;   // key=value entries, changed in place
  TConvert* Convert = nullptr; // checks every name typed for this group
};

class TConvertList : public QDialog {
 public:
  explicit TConvertList(QWidget* parent = nullptr);
  ~TConvertList() override;

  QTreeWidget* TreeView;  // one root node per group; a node's data is the group's index
  QSplitter* Splitter;
  TXListView* ListView;   // "После" (the new name, editable in place) and "Исходное значение"
  QWidget* btnPanel;
  QCheckBox* HideUnChanged;
  QPushButton* btnOk;
  QPushButton* btnCancel;
  QMenu* PopupMenu;
  QAction* mnuEdit;     // F4, and Enter in the list
  QAction* mnuReplace;  // Ctrl+R
  QAction* mnuUndo;     // Ctrl+Z

  // The groups shown (those whose converter is enabled), in the given order.
  std::vector<TConvertListData> Groups;
  // Entry j of Snapshots[g] is the source name of entry j of group g.
  std::vector<std::unique_ptr<TStringList>> Snapshots;
  // The group in the list, -1 when none.
  int CurrentGroup = -1;

  // Runs the window once over the groups; true when the user closed it with OK. Raises Exception,
  // before anything is changed, when a group lacks its list or its converter or holds an entry
  // without "=".
  bool Execute(const std::vector<TConvertListData>& groups);

  // Validates and stores a new name of entry `index` of `group`. A change of letter case (a-z) only
  // is stored without tests; otherwise the converter's check and the uniqueness in the group must
  // pass. On failure the entry keeps its name, the message goes to an error box unless `silent`,
  // and the result is false.
  bool SetConvertName(const TConvertListData& group, int index, const std::string& newName, bool silent);

  // Whether entry `index` of group `group` is listed: always, unless HideUnChanged is checked;
  // then only when its current name differs from its source name (exactly).
  bool IsItemVisible(int group, int index) const;

  // Handlers, named after what they answer.
  void TreeViewChange(QTreeWidgetItem* node);
  void HideUnChangedClick();
  // Sets which commands are available now; every command asks again before it acts.
  void PopupMenuPopup();
  void mnuEditClick();
  void mnuUndoClick();
  void mnuReplaceClick();
  // Whether the item's name may be edited in place.
  bool ListViewEditing(QTreeWidgetItem* item);
  // An in-place edit ended with `text`; on refusal `text` becomes the item's unchanged caption.
  void ListViewEdited(QTreeWidgetItem* item, std::string& text);
  // The list's keys: F4, Ctrl+R, Ctrl+Z run their commands, Enter starts editing; true when the key
  // was consumed (Enter always is).
  bool ListViewKeyDown(QKeyEvent* event);
  // The list got the focus: select the first item when none is, and focus the selected one.
  void ListViewEnter();
  // Whether the window may close with `result`: anything but OK asks first.
  bool FormCloseQuery(int result);

  void ShowError(const std::string& text);
  void ShowInfo(const std::string& text);
  bool AskYesNo(const std::string& text);

 protected:
  void done(int result) override;

 private:
  void CreateSnapshots();
  void InitGroups();
  void FillListView();
  void UpdateItemCaption(QTreeWidgetItem* item);
  void ReplaceInGroup(int group, const std::string& pattern, const std::string& replacement, int& found,
                      int& replaced);
  // The selected item and the focused item of the list, null when there is none.
  QTreeWidgetItem* SelectedItem() const;
  QTreeWidgetItem* FocusedItem() const;
  bool Editing() const;
};

// Shows the editor when at least one group has an enabled converter and at least one entry, and
// returns whether the user closed it with OK; false without showing anything otherwise.
// Incomplete groups raise as in TConvertList::Execute.
bool ShowConvertList(const std::vector<TConvertListData>& groups);
