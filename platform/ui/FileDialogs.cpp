#include "platform/ui/FileDialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QMimeDatabase>
#include <QLayout>
#include <QRegularExpression>
#include <QScrollBar>
#include <QScreen>
#include <QTreeView>
#include <algorithm>

#include "platform/rtl/AnsiText.h"
#include "platform/ui/Application.h"
#include "platform/ui/UiText.h"

namespace {

QWidget* OwnerOrDefault(QWidget* owner) {
  if (owner) return owner;
  if (QWidget* active = QApplication::activeWindow()) return active;
  return Application->MainForm();
}

// "desc|*.a;*.b|..." to Qt's name filters "desc (*.a *.b)"; a description's own trailing pattern
// list in parentheses gives way to the real one.
QStringList NameFilters(const std::string& filter) {
  const QStringList parts = ToQString(filter).split(QLatin1Char('|'));
  QStringList result;
  static const QRegularExpression trailingPatterns(QStringLiteral("\\s*\\([^()]*\\)\\s*$"));
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString description = parts[i];
    description.remove(trailingPatterns);
    QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (QString& p : patterns) {
      p = p.trimmed();
      if (p == QStringLiteral("*.*")) p = QStringLiteral("*");
    }
    result << description + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
  }
  return result;
}

// The columns of Qt's file model.
enum { SizeColumn = 1, TypeColumn = 2, DateColumn = 3 };

// The details columns of Qt's own picker in the default locale, which the program makes Russian:
// Qt's file model writes sizes and dates in the system's locale (English under the C locale) and
// calls a folder "Folder" in any. Sizes read in whole kilobytes, rounded up, as file managers
// show them; a detail the model does not know yet stays blank, as the model leaves it.
class TLocalDetails : public QIdentityProxyModel {
 public:
  using QIdentityProxyModel::QIdentityProxyModel;

  QVariant data(const QModelIndex& index, int role) const override {
    QVariant shown = QIdentityProxyModel::data(index, role);
    if (role != Qt::DisplayRole || index.column() < SizeColumn || shown.toString().isEmpty()) return shown;
    const auto* files = static_cast<const QFileSystemModel*>(sourceModel());
    const QModelIndex source = mapToSource(index);
    const QLocale locale;
    switch (index.column()) {
      case SizeColumn:
        return locale.toString((files->size(source) + 1023) / 1024) + ToQString(" КБ"_ansi);
      case TypeColumn:
        if (files->isDir(source)) return ToQString("Папка"_ansi);
        if (files->fileInfo(source).isSymLink()) return ToQString("Ярлык"_ansi);
        return shown;  // the file type's own name, in the default locale's language
      case DateColumn:
        return locale.toString(files->lastModified(source), QLocale::ShortFormat);
      default:
        return shown;
    }
  }
};

// Makes the details columns of Qt's own picker at least as wide as their headings and their usual
// texts (Qt sizes them for short English ones); columns the user made wider stay so.
void GiveDetailsRoom(QTreeView& view) {
  QHeaderView* header = view.header();
  const QFontMetrics metrics(view.font());
  const int margin = 2 * (view.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &view) + 1);
  const QLocale locale;
  struct TColumn {
    int Column;
    QString Widest;
  };
  const TColumn columns[] = {
      {SizeColumn, locale.toString(999999) + ToQString(" КБ"_ansi)},
      // The name of a type Qt does not know, which Paradox tables have.
      {TypeColumn, QMimeDatabase().mimeTypeForName(QStringLiteral("application/octet-stream")).comment()},
      {DateColumn, locale.toString(QDateTime(QDate(2000, 12, 28), QTime(23, 58)), QLocale::ShortFormat)},
  };
  for (const TColumn& c : columns) {
    const int needed = std::max(header->sectionSizeHint(c.Column), metrics.horizontalAdvance(c.Widest) + margin);
    if (header->sectionSize(c.Column) < needed) header->resizeSection(c.Column, needed);
  }
}

// Widens Qt's own picker as it is shown, within the screen, until its view holds every column and
// a vertical scroll bar, so that the names keep their room: only then is the view laid out and
// its width known.
class TWidenToColumns : public QObject {
 public:
  TWidenToColumns(QFileDialog& dialog, QTreeView& view) : QObject(&dialog), FDialog(dialog), FView(view) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != &FDialog || event->type() != QEvent::Show) return false;
    const int scrollBar = FView.style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, &FView);
    const int missing = FView.header()->length() + scrollBar - FView.viewport()->width();
    int width = FDialog.width() + std::max(missing, 0);
    if (QScreen* screen = FDialog.screen()) width = std::min(width, screen->availableGeometry().width());
    if (width > FDialog.width()) FDialog.resize(width, FDialog.height());
    return false;
  }

 private:
  QFileDialog& FDialog;
  QTreeView& FView;
};

// Qt's own picker (not a native one) speaks the default locale throughout. While a modal hook is
// installed the picker is always Qt's own, so that tests answer it.
void PreparePicker(QFileDialog& dialog) {
  if (ModalHookInstalled()) dialog.setOption(QFileDialog::DontUseNativeDialog);
  auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
  if (!view) return;  // a native picker, in the desktop's own language
  dialog.setProxyModel(new TLocalDetails(&dialog));
  GiveDetailsRoom(*view);
  dialog.installEventFilter(new TWidenToColumns(dialog, *view));
}

}  // namespace

bool TOpenDialog::Execute(QWidget* owner) {
  QFileDialog dialog(OwnerOrDefault(owner), ToQString(Title));
  PreparePicker(dialog);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode((Options & ofFileMustExist) ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  if (!DefaultExt.empty()) dialog.setDefaultSuffix(ToQString(DefaultExt));
  const QStringList filters = NameFilters(Filter);
  if (!filters.isEmpty()) {
    dialog.setNameFilters(filters);
    if (FilterIndex >= 1 && FilterIndex <= filters.size()) dialog.selectNameFilter(filters[FilterIndex - 1]);
  }
  const QString initial = ToQString(FileName);
  if (!InitialDir.empty())
    dialog.setDirectory(ToQString(InitialDir));
  else if (!initial.isEmpty())
    dialog.setDirectory(QFileInfo(initial).absolutePath());
  if (!initial.isEmpty()) dialog.selectFile(initial);
  dialog.setSizeGripEnabled(Options & ofEnableSizing);

  const TModalInfo info{
      .Kind = TModalKind::FileDialog, .Id = "TOpenDialog", .Caption = Title, .Text = FileName, .Flags = Options};
  if (ExecModal(dialog, info) != QDialog::Accepted) return false;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return false;
  FileName = FromQString(QDir::toNativeSeparators(chosen.first()));
  FilterIndex = static_cast<int>(filters.indexOf(dialog.selectedNameFilter())) + 1;
  return true;
}

std::optional<TBrowseForFolderResult> BrowseForFolder(QWidget* owner, const std::string& title,
                                                      const std::string& folder, unsigned flags) {
  QFileDialog dialog(owner, ToQString(title));
  PreparePicker(dialog);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  if (!folder.empty()) dialog.setDirectory(ToQString(folder));

  const TModalInfo info{
      .Kind = TModalKind::FolderDialog, .Id = "BrowseForFolder", .Caption = title, .Text = folder, .Flags = flags};
  if (ExecModal(dialog, info) != QDialog::Accepted) return std::nullopt;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return std::nullopt;
  const QString path = QDir::cleanPath(QFileInfo(chosen.first()).absoluteFilePath());
  QString name = QFileInfo(path).fileName();
  if (name.isEmpty()) name = path;  // the root
  return TBrowseForFolderResult{FromQString(QDir::toNativeSeparators(path)), FromQString(name)};
}

void SelectPath(QDialog& dialog, const std::string& path) {
  auto* picker = qobject_cast<QFileDialog*>(&dialog);
  if (!picker) {
    ReportDialogFailure(std::string("SelectPath on a ") + dialog.metaObject()->className() +
                        ", which is no file or folder picker");
    return;
  }
  const QString p = ToQString(path);
  const QFileInfo info(p);
  if (picker->fileMode() == QFileDialog::Directory) {
    picker->setDirectory(p);
    picker->selectFile(p);
  } else {
    if (info.isAbsolute()) picker->setDirectory(info.absolutePath());
    picker->selectFile(p);
  }
}
