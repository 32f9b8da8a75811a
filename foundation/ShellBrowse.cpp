#include "foundation/ShellBrowse.h"

#include <QWidget>

#include "platform/ui/FileDialogs.h"

unsigned ShellBrowseFlagBits(const TShellBrowseFlags& flags) {
  static constexpr unsigned kBits[] = {0x1, 0x2, 0x4, 0x8, 0x1000, 0x2000};
  unsigned bits = 0;
  for (TShellBrowseFlag f : flags) bits |= kBits[f];
  return bits;
}

bool TShellBrowseDialog::Execute() {
  QWidget* ownerWindow = nullptr;
  for (QObject* o = parent(); o; o = o->parent()) {
    auto* w = qobject_cast<QWidget*>(o);
    if (w && w->isWindow()) {
      ownerWindow = w;
      break;
    }
  }
  const auto chosen = BrowseForFolder(ownerWindow, Title, Folder, ShellBrowseFlagBits(Flags));
  if (!chosen) return false;
  DisplayName = chosen->DisplayName;
  Folder = chosen->Folder;
  return true;
}
