#include "platform/ui/FileDialogs.h"

#include <QFileDialog>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#include "platform/rtl/AnsiText.h"
#include "tests/support/TestSupport.h"
#include "tests/ui/UiTestSupport.h"

namespace {

TDialogScript::TAction Choose(const std::string& path) {
  return [path](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    SelectPath(d, path);
    return mrOk;
  };
}

TDialogScript::TAction Cancel() {
  return [](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    d.reject();
    return std::nullopt;
  };
}

// The Windows-1251 form of a path on disk.
std::string Ansi(const std::filesystem::path& p) { return Utf8ToAnsi(p.string()); }

}  // namespace

TEST(OpenDialog, ChoosesAFileWithTheGivenFiltersAndCaption) {
  testsupport::TempDir dir;
  std::ofstream(dir / "orvel.gdb") << "x";
  TOpenDialog dialog;
  dialog.Title = "Выберите базу данных"_ansi;
  dialog.Filter = "Базы данных InterBase (*.gdb)|*.gdb|Все файлы (*.*)|*.*"_ansi;
  dialog.DefaultExt = "gdb";
  dialog.Options = ofHideReadOnly | ofFileMustExist | ofEnableSizing;

  QStringList filters;
  QFileDialog::FileMode mode{};
  TDialogScript script;
  script.ExpectDialog("TOpenDialog", [&](const TModalInfo& info, QDialog& d) -> std::optional<TModalResult> {
    EXPECT_EQ(info.Kind, TModalKind::FileDialog);
    filters = static_cast<QFileDialog&>(d).nameFilters();
    mode = static_cast<QFileDialog&>(d).fileMode();
    SelectPath(d, dir / "orvel.gdb");
    return mrOk;
  }, "Выберите базу данных"_ansi);
  ASSERT_TRUE(dialog.Execute());
  EXPECT_EQ(dialog.FileName, Ansi(dir.Path() / "orvel.gdb"));
  EXPECT_EQ(dialog.FilterIndex, 1);
  EXPECT_EQ(filters, (QStringList{QString::fromUtf8("Базы данных InterBase (*.gdb)"),
                                  QString::fromUtf8("Все файлы (*)")}));
  EXPECT_EQ(mode, QFileDialog::ExistingFile);
}

TEST(OpenDialog, DefaultExtensionAndCancel) {
  testsupport::TempDir dir;
  TOpenDialog dialog;
  dialog.DefaultExt = "gdb";
  dialog.FileName = dir / "first.gdb";
  TDialogScript script;
  script.ExpectDialog("TOpenDialog", Choose(dir / "newbase")).ExpectDialog("TOpenDialog", Cancel());
  ASSERT_TRUE(dialog.Execute());
  EXPECT_EQ(dialog.FileName, Ansi(dir.Path() / "newbase.gdb"));
  EXPECT_FALSE(dialog.Execute());
  EXPECT_EQ(dialog.FileName, Ansi(dir.Path() / "newbase.gdb"));
  EXPECT_EQ(script.Seen()[1].Text, Ansi(dir.Path() / "newbase.gdb"));
}

TEST(FolderPicker, ChoosesAFolderWithItsDisplayName) {
  testsupport::TempDir dir;
  const auto folder = dir.Path() / "База ГИС";
  std::filesystem::create_directory(folder);
  TDialogScript script;
  script.ExpectDialog("BrowseForFolder", Choose(Ansi(folder)), "Выберите папку:"_ansi)
      .ExpectDialog("BrowseForFolder", Cancel());
  const auto chosen = BrowseForFolder(nullptr, "Выберите папку:"_ansi, Ansi(dir.Path()), 1);
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(chosen->Folder, Ansi(folder));
  EXPECT_EQ(chosen->DisplayName, "База ГИС"_ansi);
  EXPECT_EQ(script.Seen()[0].Kind, TModalKind::FolderDialog);
  EXPECT_EQ(script.Seen()[0].Text, Ansi(dir.Path()));
  EXPECT_EQ(script.Seen()[0].Flags, 1u);
  EXPECT_FALSE(BrowseForFolder(nullptr, "Выберите папку:"_ansi, Ansi(folder)).has_value());
}

TEST(FolderPicker, SelectPathOnAnotherDialogIsReported) {
  uitest::CapturedDialogFailures failures;
  QDialog plain;
  SelectPath(plain, "/tmp");
  ASSERT_EQ(failures.Messages().size(), 1u);
  EXPECT_NE(failures.Messages()[0].find("no file or folder picker"), std::string::npos);
}
