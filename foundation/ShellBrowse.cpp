#include "foundation/ShellBrowse.h"

#include "platform/ui/FileDialogs.h"

unsigned TShellBrowseDialog::BrowseFlags(TShellBrowseFlags flags) {
  static const unsigned values[] = {0x1, 0x2, 0x4, 0x8, 0x1000, 0x2000};
  unsigned result = 0;
  for (int i = 0; i < 6; ++i)
    if (flags & (1u << i)) result |= values[i];
  return result;
}

bool TShellBrowseDialog::Execute() {
  QWidget* window = FOwner ? FOwner->window() : nullptr;
  auto chosen = BrowseForFolder(window, Title, Folder, BrowseFlags(Flags));
  if (!chosen) return false;
  DisplayName = chosen->DisplayName;
  Folder = chosen->Folder;
  return true;
}
