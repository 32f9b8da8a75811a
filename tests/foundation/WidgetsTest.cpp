#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>
#include <set>

#include "foundation/DialogIcons.h"
#include "foundation/ShellBrowse.h"
#include "foundation/XListView.h"
#include "platform/rtl/AnsiText.h"
#include "platform/ui/FileDialogs.h"
#include "tests/support/TestSupport.h"

TEST(DialogIcon, FixedSizeAndRepaintOnlyOnChange) {
  TDialogIcon icon;
  icon.resize(32, 32);
  EXPECT_EQ(icon.size(), QSize(16, 16));
  EXPECT_EQ(icon.Icon(), diToDo);
  icon.SetIcon(diToDo);
  EXPECT_EQ(icon.RepaintRequests(), 0);
  icon.SetIcon(diDone);
  EXPECT_EQ(icon.RepaintRequests(), 1);
  EXPECT_EQ(icon.Icon(), diDone);
}

TEST(DialogIcon, SevenDistinctPicturesWithAShadow) {
  std::set<QByteArray> seen;
  for (int i = diToDo; i <= di3; ++i) {
    QImage image = DialogIconPixmap(static_cast<TDialogIconType>(i)).toImage();
    ASSERT_EQ(image.size(), QSize(16, 16));
    int painted = 0, grey = 0;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) {
        QColor c = image.pixelColor(x, y);
        if (c.alpha() > 128) ++painted;
        if (c.alpha() > 128 && c.red() == c.green() && c.green() == c.blue()) ++grey;
      }
    EXPECT_GT(painted, 12) << "icon " << i;
    EXPECT_GT(grey, 0) << "icon " << i << " has a grey shadow";
    seen.insert(QByteArray(reinterpret_cast<const char*>(image.constBits()), static_cast<int>(image.sizeInBytes())));
  }
  EXPECT_EQ(seen.size(), 7u);
}

TEST(ShellBrowse, CancelKeepsTheFolderAndOkTakesTheChoice) {
  testsupport::TempDir tmp;
  TShellBrowseDialog dialog;
  dialog.Title = "Выберите папку"_ansi;
  dialog.Folder = "/start";
  {
    TDialogScript script;
    script.ExpectDialog("BrowseForFolder", [](const TModalInfo& info, QDialog&) -> std::optional<TModalResult> {
      EXPECT_EQ(info.Caption, "Выберите папку"_ansi);
      EXPECT_EQ(info.Text, "/start");
      return mrCancel;
    });
    EXPECT_FALSE(dialog.Execute());
  }
  EXPECT_EQ(dialog.Folder, "/start");
  {
    const std::string chosen = Utf8ToAnsi(tmp.Path().string());
    TDialogScript script;
    script.ExpectDialog("BrowseForFolder", [&](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
      SelectPath(d, chosen);
      return mrOk;
    });
    ASSERT_TRUE(dialog.Execute());
    EXPECT_EQ(dialog.Folder, chosen);
    EXPECT_EQ(dialog.DisplayName, Utf8ToAnsi(tmp.Path().filename().string()));
  }
  EXPECT_EQ(TShellBrowseDialog::BrowseFlags((1 << sbFileSysDirs) | (1 << sbPrinters)), 0x2001u);
}

TEST(XListView, IsAFlatReportList) {
  TXListView list;
  list.setHeaderLabels({QStringLiteral("a"), QStringLiteral("b")});
  EXPECT_FALSE(list.rootIsDecorated());
  EXPECT_EQ(list.columnCount(), 2);
}
