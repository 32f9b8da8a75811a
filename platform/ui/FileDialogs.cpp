#include "platform/ui/FileDialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QRegularExpression>

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

void PrepareForHook(QFileDialog& dialog) {
  if (ModalHookInstalled()) dialog.setOption(QFileDialog::DontUseNativeDialog);
}

}  // namespace

bool TOpenDialog::Execute(QWidget* owner) {
  QFileDialog dialog(OwnerOrDefault(owner), ToQString(Title));
  PrepareForHook(dialog);
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
  PrepareForHook(dialog);
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
