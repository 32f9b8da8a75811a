// The folder picker as a component: set the prompt, the options and the folder to preselect, call
// Execute, read the chosen folder. The caller creates it for one use and frees it.
#pragma once

#include <QObject>
#include <set>
#include <string>

enum TShellBrowseFlag { sbFileSysDirs, sbDisableNetwork, sbStatusText, sbFileSysAncestors, sbComputers, sbPrinters };
using TShellBrowseFlags = std::set<TShellBrowseFlag>;

// The picker's option bits for a set of flags (sbFileSysDirs 1, sbDisableNetwork 2, sbStatusText 4,
// sbFileSysAncestors 8, sbComputers $1000, sbPrinters $2000).
unsigned ShellBrowseFlagBits(const TShellBrowseFlags& flags);

class TShellBrowseDialog : public QObject {
 public:
  explicit TShellBrowseDialog(QObject* owner = nullptr) : QObject(owner) {}

  std::string Title;        // the prompt shown with the folders
  TShellBrowseFlags Flags;
  std::string DisplayName;  // after Execute: the chosen folder's display name
  std::string Folder;       // before Execute: the folder to preselect; after: the chosen full path

  // Runs the picker, owned by the first window up the chain of owners (none when there is none).
  // True with DisplayName and Folder set when a folder was chosen; false, nothing changed, when
  // the user cancelled.
  bool Execute();
};
