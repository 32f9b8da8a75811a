#include "copier/FormConvertList.h"

#include <QAction>
#include <QCheckBox>
#include <QFocusEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "copier/ConvertObj.h"
#include "copier/ReplaceForm.h"
#include "foundation/XListView.h"
#include "platform/rtl/AnsiText.h"
#include "platform/rtl/SysUtils.h"
#include "platform/ui/Application.h"
#include "platform/ui/DialogButtons.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/UiText.h"

namespace {

constexpr int EntryRole = Qt::UserRole;

// The list of the editor. Its in-place editor never writes the model itself: when an edit is
// submitted the text is kept until the editor is gone, and only then handed to the form, whose
// checks may show a message box without the closing editor committing a second time.
class TConvertListView : public TXListView {
 public:
  TConvertListView(TConvertList& form, QWidget* parent) : TXListView(parent), FForm(form) {}

  bool Editing() const { return state() == EditingState; }

 protected:
  bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override {
    // Only the new name (the first column) is edited, whichever column was clicked, and only when
    // the form allows it.
    const QModelIndex name = index.siblingAtColumn(0);
    if (!name.isValid() || !FForm.ListViewEditing(topLevelItem(name.row()))) return false;
    const bool started = TXListView::edit(name, trigger, event);
    if (started) FEditRow = name.row();
    return started;
  }

  void commitData(QWidget* editor) override {
    if (auto* line = qobject_cast<QLineEdit*>(editor)) {
      FPending = line->text();
      FHasPending = true;
    }
  }

  void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override {
    // Tab ends the edit without moving on: the next column is the source name, which is not edited.
    if (hint == QAbstractItemDelegate::EditNextItem || hint == QAbstractItemDelegate::EditPreviousItem)
      hint = QAbstractItemDelegate::NoHint;
    TXListView::closeEditor(editor, hint);
    if (!FHasPending) return;
    FHasPending = false;
    const QString text = FPending;
    QTreeWidgetItem* item = FEditRow >= 0 && FEditRow < topLevelItemCount() ? topLevelItem(FEditRow) : nullptr;
    FEditRow = -1;
    if (!item) return;
    std::string edited = FromQStringLossy(text);
    FForm.ListViewEdited(item, edited);
    item->setText(0, ToQString(edited));
  }

  void keyPressEvent(QKeyEvent* event) override {
    if (FForm.ListViewKeyDown(event)) return;
    TXListView::keyPressEvent(event);
  }

  void focusInEvent(QFocusEvent* event) override {
    TXListView::focusInEvent(event);
    FForm.ListViewEnter();
  }

 private:
  TConvertList& FForm;
  QString FPending;  // the submitted text, while FHasPending
  bool FHasPending = false;
  int FEditRow = -1;
};

// The first entry whose value equals `value` with a-z folded; -1 when none.
int IndexOfValue(const TStrings& items, const std::string& value) {
  for (int i = 0; i < items.Count(); ++i)
    if (SameText(items.ValueFromIndex(i), value)) return i;
  return -1;
}

int EntryOf(const QTreeWidgetItem* item) { return item->data(0, EntryRole).toInt(); }

// Every group has its list and converter, and every entry is key=value: an entry without "="
// would lose its text when its value is set.
void RequireComplete(const std::vector<TConvertListData>& groups) {
  for (const TConvertListData& group : groups) {
    if (!group.Items || !group.Convert)
      throw Exception(Format("Ошибка: у группы имен \"%s\" нет списка имен или правил конвертации"_ansi,
                             {group.Caption}));
    for (int j = 0; j < group.Items->Count(); ++j)
      if (group.Items->Strings(j).find('=') == std::string::npos)
        throw Exception(Format("Ошибка: строка \"%s\" группы имен \"%s\" не имеет вида имя=значение"_ansi,
                               {group.Items->Strings(j), group.Caption}));
  }
}

}  // namespace

TConvertList::TConvertList(QWidget* parent) : QDialog(parent) {
  setWindowTitle(ToQString("Таблица конвертации имен таблиц, полей и индексов"_ansi));
  setSizeGripEnabled(true);
  resize(640, 420);

  Splitter = new QSplitter(Qt::Horizontal, this);
  TreeView = new QTreeWidget(Splitter);
  TreeView->setHeaderHidden(true);
  TreeView->setRootIsDecorated(false);
  TreeView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListView = new TConvertListView(*this, Splitter);
  ListView->setColumnCount(2);
  ListView->setHeaderLabels({ToQString("После"_ansi), ToQString("Исходное значение"_ansi)});
  ListView->header()->resizeSection(0, 150);
  ListView->setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);
  ListView->setContextMenuPolicy(Qt::CustomContextMenu);
  Splitter->addWidget(TreeView);
  Splitter->addWidget(ListView);
  Splitter->setStretchFactor(0, 0);
  Splitter->setStretchFactor(1, 1);
  Splitter->setSizes({160, 480});

  btnPanel = new QWidget(this);
  HideUnChanged = new QCheckBox(ToQString("Скрыть не изменненые имена"_ansi), btnPanel);
  HideUnChanged->setChecked(true);
  auto* panel = new QHBoxLayout(btnPanel);
  panel->setContentsMargins(0, 0, 0, 0);
  panel->addWidget(HideUnChanged);
  // Enter belongs to the list (it starts editing); no button takes it as a default button. Nor
  // does Escape close the window: it has no cancel key (an in-place edit still takes Escape).
  const TOkCancelButtons okCancel =
      AddOkCancelButtons(*this, *panel, "Ok"_ansi, "Отмена"_ansi, TOkCancelKeys::NoEscape);
  btnOk = okCancel.Ok;
  btnCancel = okCancel.Cancel;

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Splitter, 1);
  layout->addWidget(btnPanel);

  // The shortcuts shown in the menu are the list's own keys (ListViewKeyDown); the menu's actions
  // answer only while the menu is open.
  PopupMenu = new QMenu(this);
  mnuEdit = PopupMenu->addAction(ToQString("Редактировать"_ansi));
  mnuEdit->setShortcut(QKeySequence(Qt::Key_F4));
  mnuReplace = PopupMenu->addAction(ToQString("Заменить"_ansi));
  mnuReplace->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
  mnuUndo = PopupMenu->addAction(ToQString("Отмена изменений"_ansi));
  mnuUndo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));

  connect(TreeView, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* current, QTreeWidgetItem*) { TreeViewChange(current); });
  connect(HideUnChanged, &QCheckBox::toggled, this, [this] { HideUnChangedClick(); });
  connect(ListView, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    PopupMenuPopup();
    PopupMenu->popup(ListView->viewport()->mapToGlobal(at));
  });
  connect(mnuEdit, &QAction::triggered, this, [this] { mnuEditClick(); });
  connect(mnuReplace, &QAction::triggered, this, [this] { mnuReplaceClick(); });
  connect(mnuUndo, &QAction::triggered, this, [this] { mnuUndoClick(); });
}

TConvertList::~TConvertList() = default;

bool TConvertList::Execute(const std::vector<TConvertListData>& groups) {
  RequireComplete(groups);
  Groups.clear();
  for (const TConvertListData& group : groups)
    if (group.Convert->Enabled) Groups.push_back(group);
  InitGroups();
  CenterOnMainForm(*this);
  return ShowModal(*this, "TConvertList") == mrOk;
}

void TConvertList::CreateSnapshots() {
  Snapshots.clear();
  for (std::size_t g = 0; g < Groups.size(); ++g) Snapshots.push_back(std::make_unique<TStringList>());
}

void TConvertList::InitGroups() {
  CreateSnapshots();
  for (std::size_t g = 0; g < Groups.size(); ++g) {
    TStrings& items = *Groups[g].Items;
    for (int j = 0; j < items.Count(); ++j) {
      Snapshots[g]->Add(items.ValueFromIndex(j));
      items.SetValueFromIndex(j, items.Names(j));
    }
  }
  TreeView->setUpdatesEnabled(false);
  TreeView->clear();
  for (std::size_t g = 0; g < Groups.size(); ++g) {
    auto* node = new QTreeWidgetItem(TreeView, {ToQString(Groups[g].Caption)});
    node->setData(0, EntryRole, static_cast<int>(g));
  }
  TreeView->setUpdatesEnabled(true);
  if (TreeView->topLevelItemCount() > 0) TreeView->setCurrentItem(TreeView->topLevelItem(0));
}

void TConvertList::TreeViewChange(QTreeWidgetItem* node) {
  CurrentGroup = -1;
  if (!node) return;
  ListView->setUpdatesEnabled(false);
  ListView->clear();
  CurrentGroup = node->data(0, EntryRole).toInt();
  FillListView();
  ListView->setUpdatesEnabled(true);
}

void TConvertList::HideUnChangedClick() { TreeViewChange(TreeView->currentItem()); }

void TConvertList::FillListView() {
  const TStrings& items = *Groups[CurrentGroup].Items;
  for (int j = 0; j < items.Count(); ++j) {
    if (!IsItemVisible(CurrentGroup, j)) continue;
    auto* item = new QTreeWidgetItem(ListView);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsEditable);
    item->setData(0, EntryRole, j);
    item->setText(1, ToQString(Snapshots[CurrentGroup]->Strings(j)));
    UpdateItemCaption(item);
  }
}

void TConvertList::UpdateItemCaption(QTreeWidgetItem* item) {
  item->setText(0, ToQString(Groups[CurrentGroup].Items->ValueFromIndex(EntryOf(item))));
}

bool TConvertList::IsItemVisible(int group, int index) const {
  if (!HideUnChanged->isChecked()) return true;
  return Groups[group].Items->ValueFromIndex(index) != Snapshots[group]->Strings(index);
}

bool TConvertList::SetConvertName(const TConvertListData& group, int index, const std::string& newName,
                                  bool silent) {
  TStrings& items = *group.Items;
  if (SameText(newName, items.ValueFromIndex(index))) {
    items.SetValueFromIndex(index, newName);
    return true;
  }
  try {
    group.Convert->Check(newName, false);
    if (IndexOfValue(items, newName) >= 0) throw Exception(Format("Имя %S дублируется"_ansi, {newName}));
    items.SetValueFromIndex(index, newName);
    return true;
  } catch (const Exception& e) {
    if (!silent) ShowError(e.Message());
    return false;
  }
}

QTreeWidgetItem* TConvertList::SelectedItem() const {
  const auto selected = ListView->selectedItems();
  return selected.isEmpty() ? nullptr : selected.first();
}

QTreeWidgetItem* TConvertList::FocusedItem() const { return ListView->currentItem(); }

bool TConvertList::Editing() const { return static_cast<const TConvertListView*>(ListView)->Editing(); }

void TConvertList::PopupMenuPopup() {
  QTreeWidgetItem* selected = SelectedItem();
  const bool editable = CurrentGroup != -1 && selected && !Editing();
  mnuEdit->setEnabled(editable);
  const int j = selected ? EntryOf(selected) : -1;
  mnuUndo->setEnabled(editable && Groups[CurrentGroup].Items->ValueFromIndex(j) != Groups[CurrentGroup].Items->Names(j));
  mnuReplace->setEnabled(CurrentGroup != -1 && FocusedItem() && !Editing());
}

void TConvertList::mnuEditClick() {
  PopupMenuPopup();
  if (!mnuEdit->isEnabled()) return;
  QTreeWidgetItem* item = SelectedItem();
  ListView->scrollToItem(item);
  ListView->editItem(item, 0);
}

void TConvertList::mnuUndoClick() {
  PopupMenuPopup();
  if (!mnuUndo->isEnabled()) return;
  QTreeWidgetItem* item = SelectedItem();
  const TConvertListData& group = Groups[CurrentGroup];
  const int j = EntryOf(item);
  SetConvertName(group, j, group.Items->Names(j), false);
  UpdateItemCaption(item);
}

void TConvertList::mnuReplaceClick() {
  PopupMenuPopup();
  if (!mnuReplace->isEnabled()) return;
  std::string pattern = FromQStringLossy(FocusedItem()->text(0));
  std::string replacement;
  bool everywhere = false;
  if (!ExecuteReplaceDialog("Найти и заменить"_ansi, pattern, replacement, everywhere)) return;
  int found = 0, replaced = 0;
  if (everywhere) {
    for (std::size_t g = 0; g < Groups.size(); ++g) ReplaceInGroup(static_cast<int>(g), pattern, replacement, found, replaced);
  } else {
    ReplaceInGroup(CurrentGroup, pattern, replacement, found, replaced);
  }
  for (int i = 0; i < ListView->topLevelItemCount(); ++i) UpdateItemCaption(ListView->topLevelItem(i));
  ShowInfo(Format("Заменено %d из %d найденных"_ansi, {replaced, found}));
}

void TConvertList::ReplaceInGroup(int group, const std::string& pattern, const std::string& replacement,
                                  int& found, int& replaced) {
  const TConvertListData& data = Groups[group];
  for (int j = 0; j < data.Items->Count(); ++j) {
    if (!IsItemVisible(group, j)) continue;
    std::string name = data.Items->ValueFromIndex(j);
    if (!ReplaceByPattern(pattern, replacement, name)) continue;
    ++found;
    if (SetConvertName(data, j, name, true)) ++replaced;
  }
}

bool TConvertList::ListViewEditing(QTreeWidgetItem* item) { return item && CurrentGroup != -1; }

void TConvertList::ListViewEdited(QTreeWidgetItem* item, std::string& text) {
  if (CurrentGroup == -1 || !SetConvertName(Groups[CurrentGroup], EntryOf(item), text, false))
    text = FromQStringLossy(item->text(0));
}

bool TConvertList::ListViewKeyDown(QKeyEvent* event) {
  const int key = event->key();
  const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
  if ((key == Qt::Key_Return || key == Qt::Key_Enter) && mods == Qt::NoModifier) {
    mnuEditClick();
    return true;
  }
  if (key == Qt::Key_F4 && mods == Qt::NoModifier) {
    mnuEditClick();
    return true;
  }
  if (key == Qt::Key_R && mods == Qt::ControlModifier) {
    mnuReplaceClick();
    return true;
  }
  if (key == Qt::Key_Z && mods == Qt::ControlModifier) {
    mnuUndoClick();
    return true;
  }
  return false;
}

void TConvertList::ListViewEnter() {
  if (ListView->topLevelItemCount() == 0) return;
  if (!SelectedItem()) ListView->topLevelItem(0)->setSelected(true);
  if (!FocusedItem()) ListView->setCurrentItem(SelectedItem());
}

bool TConvertList::FormCloseQuery(int result) {
  return result == mrOk || AskYesNo("Хотите выйти без сохранения изменений?"_ansi);
}

void TConvertList::done(int result) {
  if (!FormCloseQuery(result)) return;
  QDialog::done(result);
}

void TConvertList::ShowError(const std::string& text) {
  Application->MessageBox(text, "Ошибка"_ansi, MB_OK | MB_ICONERROR, this);
}

void TConvertList::ShowInfo(const std::string& text) {
  Application->MessageBox(text, "Информация"_ansi, MB_OK | MB_ICONINFORMATION, this);
}

bool TConvertList::AskYesNo(const std::string& text) {
  return Application->MessageBox(text, "Вопрос"_ansi, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, this) == IDYES;
}

bool ShowConvertList(const std::vector<TConvertListData>& groups) {
  RequireComplete(groups);
  const bool any = std::any_of(groups.begin(), groups.end(), [](const TConvertListData& group) {
    return group.Convert->Enabled && group.Items->Count() > 0;
  });
  if (!any) return false;
  std::unique_ptr<TConvertList> form(Application->CreateForm<TConvertList>());
  return form->Execute(groups);
}
