#include <QFileDialog>
#include <QImage>
#include <QPainter>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>

#include "foundation/DialogIcons.h"
#include "foundation/ShellBrowse.h"
#include "foundation/XListView.h"
#include "platform/rtl/AnsiText.h"
#include "platform/ui/Application.h"
#include "platform/ui/FileDialogs.h"
#include "tests/support/TestSupport.h"

namespace {

class CountingIcon : public TDialogIcon {
 public:
  int Paints = 0;

 protected:
  void paintEvent(QPaintEvent* event) override {
    ++Paints;
    TDialogIcon::paintEvent(event);
  }
};

// The icon drawn over white.
QImage Render(TDialogIconType type) {
  TDialogIcon icon;
  icon.SetIcon(type);
  QImage image(16, 16, QImage::Format_RGB32);
  image.fill(Qt::white);
  icon.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
  return image;
}

}  // namespace

TEST(DialogIcon, FixedSizeAndDistinctPicturesWithoutTheMaskColour) {
  TDialogIcon icon;
  EXPECT_EQ(icon.size(), QSize(16, 16));
  icon.resize(32, 32);
  EXPECT_EQ(icon.size(), QSize(16, 16));
  EXPECT_EQ(icon.Icon(), diToDo);

  std::set<QByteArray> pictures;
  QImage strip(16 * 7, 16, QImage::Format_RGB32);
  QPainter painter(&strip);
  for (int i = diToDo; i <= di3; ++i) {
    const QImage image = Render(static_cast<TDialogIconType>(i));
    painter.drawImage(16 * i, 0, image);
    pictures.insert(QByteArray(reinterpret_cast<const char*>(image.constBits()), image.sizeInBytes()));
    EXPECT_EQ(image.pixelColor(0, 0), QColor(Qt::white)) << "icon " << i;  // transparent corner
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) ASSERT_NE(image.pixelColor(x, y), QColor(0xFF, 0x00, 0xFF)) << "icon " << i;
  }
  painter.end();
  EXPECT_EQ(pictures.size(), 7u);
  EXPECT_EQ(Render(diAttention).pixelColor(4, 3), QColor(0xFF, 0x00, 0x00));  // red mark
  strip.scaled(strip.size() * 4).save(
      QString::fromStdString((std::filesystem::temp_directory_path() / "dialog-icons.png").string()));
}

TEST(DialogIcon, RepaintsOnlyWhenThePictureChanges) {
  CountingIcon icon;
  icon.show();
  Application->ProcessMessages();
  const int painted = icon.Paints;
  icon.SetIcon(diToDo);
  Application->ProcessMessages();
  EXPECT_EQ(icon.Paints, painted);
  icon.SetIcon(diDone);
  Application->ProcessMessages();
  EXPECT_EQ(icon.Icon(), diDone);
  EXPECT_GT(icon.Paints, painted);
}

TEST(ShellBrowseDialog, FlagBits) {
  EXPECT_EQ(ShellBrowseFlagBits({}), 0u);
  EXPECT_EQ(ShellBrowseFlagBits({sbFileSysDirs, sbStatusText}), 5u);
  EXPECT_EQ(ShellBrowseFlagBits({sbDisableNetwork, sbFileSysAncestors, sbComputers, sbPrinters}), 0x300Au);
}

TEST(ShellBrowseDialog, ChoosesAFolderOwnedByTheFirstWindowUpTheChain) {
  testsupport::TempDir dir;
  std::filesystem::create_directory(dir.Path() / "Карты");
  const std::string start = Utf8ToAnsi(dir.Path().string());
  const std::string chosenPath = Utf8ToAnsi((dir.Path() / "Карты").string());

  QWidget window;
  QObject holder(&window);
  TShellBrowseDialog dialog(&holder);
  dialog.Title = "Выберите папку, в которой расположена база данных:"_ansi;
  dialog.Flags = {sbFileSysDirs};
  dialog.Folder = start;
  QWidget* pickerOwner = nullptr;
  TDialogScript script;
  script.ExpectDialog("BrowseForFolder", [&](const TModalInfo& info, QDialog& d) -> std::optional<TModalResult> {
    pickerOwner = d.parentWidget();
    EXPECT_EQ(info.Text, start);
    EXPECT_EQ(info.Flags, 1u);
    SelectPath(d, chosenPath);
    return mrOk;
  }, "Выберите папку, в которой расположена база данных:"_ansi);
  ASSERT_TRUE(dialog.Execute());
  EXPECT_EQ(pickerOwner, &window);
  EXPECT_EQ(dialog.Folder, chosenPath);
  EXPECT_EQ(dialog.DisplayName, "Карты"_ansi);
}

TEST(ShellBrowseDialog, CancelLeavesTheFolderAndNoFormMeansNoOwner) {
  QObject holder;
  TShellBrowseDialog dialog(&holder);
  dialog.Folder = "/nowhere";
  bool asked = false;
  QWidget* pickerOwner = nullptr;
  TDialogScript script;
  script.ExpectDialog("BrowseForFolder", [&](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    asked = true;
    pickerOwner = d.parentWidget();
    d.reject();
    return std::nullopt;
  });
  EXPECT_FALSE(dialog.Execute());
  EXPECT_TRUE(asked);
  EXPECT_EQ(dialog.Folder, "/nowhere");
  EXPECT_EQ(dialog.DisplayName, "");
  EXPECT_EQ(pickerOwner, nullptr);
}

TEST(XListView, ReportColumnsAndRows) {
  TXListView list;
  EXPECT_EQ(list.AddColumn("Таблица"_ansi, -1), 0);
  EXPECT_EQ(list.AddColumn("Скопировано"_ansi, 90), 1);
  list.AddItem({"ORVEL_MAPS", "100%"});
  list.AddItem({"ORVEL_LAYERS"});
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.ItemText(0, 1), "100%");
  EXPECT_EQ(list.ItemText(1, 0), "ORVEL_LAYERS");
  EXPECT_EQ(list.ItemText(1, 1), "");
  EXPECT_EQ(list.ItemText(5, 0), "");
  EXPECT_EQ(list.columnWidth(1), 90);
  EXPECT_FALSE(list.rootIsDecorated());
}
