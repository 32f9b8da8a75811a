// TShellBrowseDialog: the folder picker as a component. The caller sets Title, Flags and Folder
// (the folder to preselect), calls Execute and reads Folder and DisplayName on success.
#pragma once

#include <QWidget>
#include <cstdint>
#include <string>

enum TShellBrowseFlag : uint8_t {
  sbFileSysDirs,       // only file-system folders
  sbDisableNetwork,    // nothing below the domain
  sbStatusText,        // a status line
  sbFileSysAncestors,  // only file-system ancestors
  sbComputers,         // computers
  sbPrinters,          // printers
};
using TShellBrowseFlags = uint8_t;  // a set of TShellBrowseFlag (bit n = flag n)

class TShellBrowseDialog {
 public:
  // The picker belongs to the window of `owner` (none when owner is null).
  explicit TShellBrowseDialog(QWidget* owner = nullptr) : FOwner(owner) {}
  std::string Title;
  TShellBrowseFlags Flags = 0;
  std::string DisplayName;
  std::string Folder;
  // Runs the picker; true with Folder and DisplayName set when a folder was chosen, false with
  // both unchanged when the user cancelled.
  bool Execute();
  // The picker's flag word for a set of flags (1, 2, 4, 8, $1000, $2000).
  static unsigned BrowseFlags(TShellBrowseFlags flags);

 private:
  QWidget* FOwner;
};
