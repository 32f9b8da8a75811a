// File and folder pickers over QFileDialog, run through ExecModal so that tests answer them.
//
// Paths cross as Windows-1251 texts like every other text of the system; a chosen path that
// Windows-1251 cannot hold raises EConvertError naming it. While a modal hook is installed the
// pickers are Qt's own widgets (never a native window), and a test answers them by selecting a
// path and returning mrOk (SelectPath below), or by rejecting them. Qt's own pickers show their
// details (size, type, date) in the default locale, with room for them.
#pragma once

#include <QWidget>
#include <optional>
#include <string>

#include "platform/ui/Dialogs.h"

class QFileDialog;

// Options of TOpenDialog.
inline constexpr unsigned ofHideReadOnly = 0x1;   // no read-only box (Qt's dialog has none anyway)
inline constexpr unsigned ofPathMustExist = 0x2;  // the folder of the chosen file must exist
inline constexpr unsigned ofFileMustExist = 0x4;  // the chosen file must exist
inline constexpr unsigned ofEnableSizing = 0x8;   // the dialog can be resized

// A file-open dialog. Filter lists description|patterns pairs separated by '|', patterns separated
// by ';' ("Базы данных InterBase (*.gdb)|*.gdb|Все файлы (*.*)|*.*"); "*.*" means every file.
// DefaultExt (without the dot) is added to a typed name that has no extension.
class TOpenDialog {
 public:
  std::string Title;
  std::string FileName;  // in: the file shown first; out: the chosen file
  std::string InitialDir;
  std::string Filter;
  int FilterIndex = 1;  // 1-based, as chosen
  std::string DefaultExt;
  unsigned Options = ofHideReadOnly | ofEnableSizing;

  // Shows the dialog modally (id "TOpenDialog", kind FileDialog, caption Title, text FileName);
  // true with FileName set when the user chose a file, false with nothing changed otherwise.
  bool Execute(QWidget* owner = nullptr);
};

// The folder picker: `title` is its prompt, `folder` the folder preselected; it belongs to `owner`
// exactly (none when null). Runs modally (id
// "BrowseForFolder", kind FolderDialog, caption the title, text the folder, Flags `flags`). On OK
// gives the chosen folder's full path and its display name (the last part of the path).
struct TBrowseForFolderResult {
  std::string Folder;
  std::string DisplayName;
};
std::optional<TBrowseForFolderResult> BrowseForFolder(QWidget* owner, const std::string& title,
                                                      const std::string& folder, unsigned flags = 0);

// For tests: selects `path` (Windows-1251) in a file or folder picker; answer the hook with mrOk
// afterwards. Reports a failure when the dialog is no picker.
void SelectPath(QDialog& dialog, const std::string& path);
