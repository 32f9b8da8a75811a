#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <chrono>
#include <thread>

#include "copier/CopyBases.h"
#include "foundation/ConfirmForms.h"
#include "foundation/LongOperations.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "tests/support/MemoryDb.h"

using testsupport::TMemDb;

namespace {

// A source with two tables: MAPS (ID primary key, NAME, SCALE; index on NAME) with `rows` rows,
// and EMPTY_T with none.
RefPtr<TMemDb> MakeSource(int rows = 5) {
  RefPtr<TMemDb> db(new TMemDb);
  auto def = db->GetTableDef("");
  def->SetTableName("MAPS");
  def->AddField({"ID", dftInt32, 0, false});
  def->AddField({"NAME", dftString, 20, true});
  def->AddField({"SCALE", dftDouble, 0, false});
  def->AddIndex({"IX_NAME", "NAME", 0});
  def->AddIndex({"PK", "ID", dioPrimary | dioUnique});
  def->ApplyChanges();
  auto ins = BuildInsertSQL(db.get(), "MAPS", {"ID", "NAME", "SCALE"});
  for (int i = 1; i <= rows; ++i)
    ins->Execute({IntParam(i), StrParam("Карта "_ansi + std::to_string(i)), {dftDouble, i % 2 ? Variant(i * 1.5) : Variant::Null()}});
  auto empty = db->GetTableDef("");
  empty->SetTableName("EMPTY_T");
  empty->AddField({"A", dftInt32, 0, false});
  empty->ApplyChanges();
  db->Log.clear();
  return db;
}

struct TFrameFixture : ::testing::Test {
  TCopyBaseFrame Frame;
  RefPtr<TMemDb> Src = MakeSource();
  RefPtr<TMemDb> Dst = RefPtr<TMemDb>(new TMemDb);

  void Init(bool mapsCritical = true) {
    Frame.Init("Копирование"_ansi, IOrvDbPtr(Src.get()), IOrvDbPtr(Dst.get()));
    Frame.AddTable("MAPS", "Карты"_ansi, mapsCritical);
    Frame.AddTable("EMPTY_T", "Пустая"_ansi, false);
  }
  // Makes the destination refuse the INSERTs whose 1-based numbers are listed.
  void FailInserts(std::vector<int> numbers) {
    auto counter = std::make_shared<int>(0);
    Dst->Fault = [counter, numbers](const std::string& op, const std::string&) {
      if (op != "insert") return;
      int n = ++*counter;
      if (std::find(numbers.begin(), numbers.end(), n) != numbers.end())
        throw Exception("строка "_ansi + std::to_string(n) + " отвергнута"_ansi);
    };
  }
};

std::function<std::optional<TModalResult>(const TModalInfo&, QDialog&)> Click(const std::string& caption) {
  return [caption](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    ClickButton(d, caption);
    return std::nullopt;
  };
}

}  // namespace

TEST_F(TFrameFixture, CopiesStructureAndRowsAndEndsFinished) {
  Init();
  const std::string title = Application->Title();
  Frame.Execute();
  EXPECT_EQ(Frame.State, csFinished);
  EXPECT_EQ(Frame.lblCaption->text().toStdString(), "Копирование завершено");
  EXPECT_EQ(Application->Title(), title);
  EXPECT_FALSE(Frame.Progress1->isVisible());
  EXPECT_EQ(LongOperationMode, 2);
  TCopyTableInfo* maps = Frame.GetTable(0);
  EXPECT_EQ(maps->RowCount, 5);
  EXPECT_EQ(maps->Copied, 5);
  EXPECT_EQ(maps->DstName, "MAPS");
  EXPECT_EQ(Frame.GetTable(1)->RowCount, 0);
  EXPECT_EQ(Dst->Table("MAPS").Rows, Src->Table("MAPS").Rows);
  // Required comes from the primary key only; indexes are carried over.
  const auto& fields = Dst->Table("MAPS").Fields;
  EXPECT_TRUE(fields[0].Required);
  EXPECT_FALSE(fields[1].Required);
  EXPECT_EQ(Dst->Table("MAPS").Indexes.size(), 2u);
  // The run ends with a bracket closed on the destination, so the rows are durable.
  ASSERT_GE(Dst->Log.size(), 2u);
  EXPECT_EQ(Dst->Log[Dst->Log.size() - 2], "start ");
  EXPECT_EQ(Dst->Log.back(), "commit ");
}

TEST_F(TFrameFixture, ExistingTableQuestion) {
  Init();
  Frame.Execute();
  Dst->Table("MAPS").Rows.clear();
  // Delete after a refused and then an accepted confirmation; "always" for the next table.
  Init();
  {
    TDialogScript script;
    script.ExpectDialog("TActionForm", [](const TModalInfo& info, QDialog& d) -> std::optional<TModalResult> {
      EXPECT_EQ(info.Caption, "Ошибка"_ansi);
      EXPECT_EQ(info.Text, "Таблица MAPS уже существует. Что делать дальше?"_ansi);
      ClickButton(d, "Удалить таблицу"_ansi);
      ClickButton(d, "Удалить таблицу"_ansi);
      return std::nullopt;
    });
    script.ExpectMessageBox("Предупреждение"_ansi, "Вы уверены?"_ansi, mrNo);
    script.ExpectMessageBox("Предупреждение"_ansi, "Вы уверены?"_ansi, mrYes);
    script.ExpectDialog("TActionForm", Click("Всегда удалять"_ansi));
    script.ExpectMessageBox("Предупреждение"_ansi,
                            "В дальнешем все таблицы будут удаляться автоматически. Вы уверены?"_ansi, mrYes);
    Frame.Execute();
  }
  EXPECT_TRUE(Frame.AutoDelete);
  EXPECT_EQ(Frame.State, csFinished);
  EXPECT_EQ(Dst->Table("MAPS").Rows.size(), 5u);
  // With AutoDelete nothing is asked.
  Init();
  Frame.Execute();
  EXPECT_EQ(Frame.State, csFinished);
}

TEST_F(TFrameFixture, StopAtTheExistingTableQuestionCreatesAndCopiesNothing) {
  Init();
  Frame.Execute();
  Dst->Log.clear();
  Init();
  {
    TDialogScript script;
    script.ExpectDialog("TActionForm", Click("Остановить процесс"_ansi));
    Frame.Execute();
  }
  EXPECT_EQ(Frame.State, csStopped);
  EXPECT_EQ(Frame.GetTable(0)->RowCount, -1) << "the row copy never started";
  for (const auto& entry : Dst->Log) EXPECT_TRUE(entry.rfind("drop", 0) != 0 && entry.rfind("create", 0) != 0) << entry;
}

TEST_F(TFrameFixture, RowErrorsOfACriticalTableAskWhateverHideWarningsSays) {
  Init(true);
  Frame.HideWarnings = true;
  FailInserts({2, 3, 5});
  TDialogScript script;
  script.ExpectDialog("TActionForm", [](const TModalInfo& info, QDialog& d) -> std::optional<TModalResult> {
    EXPECT_EQ(info.Caption, "Ошибка (таблица MAPS)"_ansi);
    EXPECT_EQ(info.Text, "Карты.\r\n\r\nТекст ошибки: строка 2 отвергнута. \r\nSQL: INSERT INTO [MAPS] ([ID],[NAME],[SCALE]) VALUES(?,?,?)"_ansi);
    EXPECT_EQ(info.Buttons, (std::vector<std::string>{"Игнорировать"_ansi, "Игнорировать всё"_ansi, "Остановить"_ansi}));
    ClickButton(d, "Игнорировать"_ansi);
    return std::nullopt;
  });
  script.ExpectDialog("TActionForm", Click("Игнорировать всё"_ansi));
  Frame.Execute();
  EXPECT_EQ(Frame.State, csFinished);
  TCopyTableInfo* maps = Frame.GetTable(0);
  EXPECT_EQ(maps->RowCount, 5);
  EXPECT_EQ(maps->Copied, 2);
  EXPECT_EQ(maps->Errors->Count(), 3);
}

TEST_F(TFrameFixture, RowErrorsOfAnOtherTableWithHideWarningsAreOnlyCollected) {
  Init(false);
  Frame.HideWarnings = true;
  FailInserts({1});
  Frame.Execute();
  EXPECT_EQ(Frame.GetTable(0)->Errors->Count(), 1);
  EXPECT_EQ(Frame.GetTable(0)->Copied, 4);
}

TEST_F(TFrameFixture, StopInTheRowDialogEndsTheRunWithTheMessageTwice) {
  Init(false);
  FailInserts({3});
  TDialogScript script;
  script.ExpectDialog("TActionForm", [](const TModalInfo& info, QDialog& d) -> std::optional<TModalResult> {
    EXPECT_EQ(info.Caption, "Предупреждение (таблица MAPS)"_ansi);
    ClickButton(d, "Остановить"_ansi);
    return std::nullopt;
  });
  try {
    Frame.Execute();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "строка 3 отвергнута"_ansi);
  }
  EXPECT_EQ(Frame.State, csStopped);
  TCopyTableInfo* maps = Frame.GetTable(0);
  ASSERT_EQ(maps->Errors->Count(), 2);
  EXPECT_EQ(maps->Errors->Strings(0), maps->Errors->Strings(1));
  EXPECT_EQ(maps->Copied, 2);
  EXPECT_EQ(Frame.GetTable(1)->RowCount, -1);
  EXPECT_FALSE(Frame.lbl1->isVisible());
}

TEST_F(TFrameFixture, StopBetweenRowsAndBetweenTables) {
  Init();
  int inserts = 0;
  Dst->Fault = [&](const std::string& op, const std::string&) {
    if (op == "insert" && ++inserts == 2) Frame.Stop();
  };
  Frame.Execute();
  EXPECT_EQ(Frame.State, csStopped);
  EXPECT_EQ(Frame.GetTable(0)->Copied, 2);
  EXPECT_EQ(Frame.GetTable(1)->RowCount, -1);
  EXPECT_NE(Frame.lblCaption->text().toStdString(), "Копирование завершено");

  // Stop during the reading phase does not cut it short; nothing is created afterwards.
  Dst = RefPtr<TMemDb>(new TMemDb);
  Init();
  Dst->Log.clear();
  Src->Fault = [&](const std::string& op, const std::string&) {
    if (op == "select" && Frame.State == csRunning) Frame.Stop();
  };
  Dst->Fault = nullptr;
  Frame.Execute();
  Src->Fault = nullptr;
  EXPECT_EQ(Frame.State, csStopped);
  EXPECT_EQ(Frame.GetTable(1)->DstName, "EMPTY_T") << "every structure was read";
}

TEST_F(TFrameFixture, StopPressedThroughTheEventLoopWhileRowsAreCopied) {
  Src = MakeSource(3000);
  Init();
  // Rows slow enough that the copy hands the window several turns within the table.
  Dst->Fault = [](const std::string& op, const std::string&) {
    if (op == "insert") std::this_thread::sleep_for(std::chrono::microseconds(50));
  };
  // A timer stands for the Cancel button: it fires while the engine pumps the message loop, and
  // presses Stop once the row copy is under way.
  QTimer cancel;
  cancel.setInterval(0);
  QObject::connect(&cancel, &QTimer::timeout, [this] {
    if (Frame.State == csRunning && Frame.TableCount() > 0 && Frame.GetTable(0)->Copied >= 100) Frame.Stop();
  });
  cancel.start();
  Frame.Execute();
  EXPECT_EQ(Frame.State, csStopped);
  EXPECT_GE(Frame.GetTable(0)->Copied, 100);
  EXPECT_LT(Frame.GetTable(0)->Copied, 3000);
}

TEST_F(TFrameFixture, TheRowBarIsFullWhenATableEnds) {
  // Between pumps the bar lags behind the rows; the last row of a table brings it to the end.
  Src = MakeSource(3000);
  Init();
  std::vector<std::pair<int, int>> barAtCount;
  Src->Fault = [&](const std::string& op, const std::string&) {
    if (op == "count") barAtCount.emplace_back(Frame.Progress2->value(), Frame.Progress2->maximum());
  };
  Frame.Execute();
  Src->Fault = nullptr;
  ASSERT_EQ(barAtCount.size(), 2u);
  EXPECT_EQ(barAtCount[1], std::make_pair(3000, 3000));
}

TEST_F(TFrameFixture, AFailureInEachPhaseIsKeptInItsItemAndEndsTheRun) {
  // Reading: a missing source table.
  Frame.Init("К"_ansi, IOrvDbPtr(Src.get()), IOrvDbPtr(Dst.get()));
  Frame.AddTable("MISSING", "", true);
  EXPECT_THROW(Frame.Execute(), Exception);
  EXPECT_EQ(Frame.State, csStopped);
  EXPECT_EQ(Frame.GetTable(0)->Errors->Strings(0), "Не найдена таблица \"MISSING\""_ansi);
  // Creating.
  Init();
  Dst->Fault = [](const std::string& op, const std::string& t) {
    if (op == "create" && t == "EMPTY_T") throw Exception("нет места"_ansi);
  };
  EXPECT_THROW(Frame.Execute(), Exception);
  EXPECT_EQ(Frame.GetTable(1)->Errors->Strings(0), "нет места"_ansi);
  EXPECT_EQ(Frame.GetTable(0)->RowCount, -1);
  // Copying: counting the source rows fails.
  Dst = RefPtr<TMemDb>(new TMemDb);
  Init();
  Src->Fault = [](const std::string& op, const std::string& t) {
    if (op == "count" && t == "MAPS") throw Exception("сбой чтения"_ansi);
  };
  EXPECT_THROW(Frame.Execute(), Exception);
  Src->Fault = nullptr;
  EXPECT_EQ(Frame.GetTable(0)->Errors->Count(), 1);
}

TEST_F(TFrameFixture, AFailingFinalCommitIsTheRunsErrorUnlessTheRunFailedFirst) {
  Init();
  Dst->Fault = [](const std::string& op, const std::string&) {
    if (op == "commit") throw Exception("commit refused");
  };
  EXPECT_THROW(Frame.Execute(), Exception);
  EXPECT_EQ(Frame.State, csStopped);

  Dst = RefPtr<TMemDb>(new TMemDb);
  Init();
  Dst->Fault = [](const std::string& op, const std::string& t) {
    if (op == "commit") throw Exception("commit refused");
    if (op == "create" && t == "MAPS") throw Exception("first error");
  };
  try {
    Frame.Execute();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "first error");
  }
}

TEST_F(TFrameFixture, TitleCarriesThePercentRoundedHalfToEven) {
  Frame.Init("Копирование"_ansi, IOrvDbPtr(Src.get()), IOrvDbPtr(Dst.get()));
  for (int i = 0; i < 8; ++i) Frame.AddTable("EMPTY_T", "", false);
  for (int i = 1; i < 8; ++i) Frame.GetTable(i)->SrcName = "EMPTY_T";
  std::vector<std::string> titles;
  Src->Fault = [&](const std::string& op, const std::string&) {
    if (op == "count") titles.push_back(Application->Title());
  };
  Frame.AutoDelete = true;
  Frame.Execute();
  Src->Fault = nullptr;
  ASSERT_EQ(titles.size(), 8u);
  EXPECT_EQ(titles[0], "Копирование, выполнено 0%"_ansi);
  EXPECT_EQ(titles[1], "Копирование, выполнено 12%"_ansi);
  EXPECT_EQ(titles[7], "Копирование, выполнено 88%"_ansi);
}

TEST(CopyEngine, RemainingTimeFormat) {
  EXPECT_EQ(TCopyBaseFrame::FormatRemaining(0), "00:00:00");
  EXPECT_EQ(TCopyBaseFrame::FormatRemaining(5.0 / 86400), "00:00:05");
  EXPECT_EQ(TCopyBaseFrame::FormatRemaining(1.0 / 24 + 61.0 / 86400), "01:01:01");
  EXPECT_EQ(TCopyBaseFrame::FormatRemaining(1.5), "36:00:00");
  EXPECT_EQ(TCopyBaseFrame::FormatRemaining(-0.1), "00:00:00");
}
