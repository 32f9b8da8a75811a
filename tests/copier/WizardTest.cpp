// The wizard driven through its buttons and fields under the offscreen platform, with every message
// box answered by the test.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QHeaderView>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QProcess>
#include <QRegularExpression>
#include <QPushButton>
#include <QScreen>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTest>
#include <QThread>
#include <QTranslator>
#include <QTreeView>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <fstream>

#include "copier/CopyOrvelBases.h"
#include "copier/ConvertSettings.h"
#include "copier/CopySemTables.h"
#include "copier/DbLocations.h"
#include "copier/Main.h"
#include "copier/WaitingWork.h"
#include "foundation/CommonUtils.h"
#include "foundation/LongOperations.h"
#include "foundation/XListView.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/UiText.h"
#include "tests/copier/ConvertDialogsTestKeys.h"
#include "tests/support/DemoGisDb.h"
#include "tests/support/Engines.h"
#include "tests/support/ParadoxFaults.h"
#include "tests/support/StandInServer.h"

using testsupport::TEngine;

namespace {

class Wizard : public ::testing::Test {
 protected:
  void SetUp() override { SetCommandLineArgs({}); }
  void TearDown() override { SetCommandLineArgs({}); }

  // A demo GIS database on the embedded engine; its location parameters.
  IConnParamsPtr DemoSource(int largeRows = 300) {
    testsupport::TDemoOptions options;
    options.LargeRows = largeRows;
    options.BlobBytes = 3000;
    return Demo(TEngine::FirebirdEmbedded, "src", options);
  }
  // A demo GIS database of a few rows in each table.
  IConnParamsPtr SmallDemo(TEngine engine, const std::string& name) {
    testsupport::TDemoOptions options;
    options.LargeRows = 10;
    return Demo(engine, name, options);
  }
  // A demo GIS database in a Paradox folder.
  IConnParamsPtr DemoParadoxSource(int largeRows) {
    testsupport::TDemoOptions options;
    options.LargeRows = largeRows;
    return Demo(TEngine::ParadoxFolder, "pdox", options);
  }
  IConnParamsPtr Demo(TEngine engine, const std::string& name, const testsupport::TDemoOptions& options) {
    IConnParamsPtr params = testsupport::NewDatabase(engine, FDir, name);
    IOrvDbPtr db = ConnectDb(params.get(), true);
    testsupport::BuildDemoGisDb(db.get(), options);
    db->Close();
    return params;
  }
  IConnParamsPtr EmptyDestination() { return testsupport::NewDatabase(TEngine::FirebirdEmbedded, FDir, "dst"); }

  static void Pump() {
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
  }
  // Makes the window the one that gets the keys; under a real window manager that takes a moment.
  static void Activate(QWidget& window) {
    window.activateWindow();
    for (int i = 0; i < 150 && !window.isActiveWindow(); ++i) {
      QThread::msleep(20);
      Pump();
    }
  }
  static std::string Caption(TCopyOrvel& form) { return FromQString(form.windowTitle()); }

  // Fills a location frame with parameters, as a user would through its fields.
  static void Enter(TDbLocationFrame* frame, IConnParams* params) {
    ASSERT_TRUE(frame->SetLocation(params));
    frame->IBConfirm->setText(frame->IBPassword->text());
  }

  testsupport::TempDir FDir;
};

// The waiting window shown, or null.
TLongOperationForm* ShownWaitingWindow() {
  for (QWidget* window : QApplication::topLevelWidgets())
    if (auto* waiting = dynamic_cast<TLongOperationForm*>(window); waiting && waiting->isVisible()) return waiting;
  return nullptr;
}

// Whether the threads of the waits that the wizard gave up end within 20 s, the window's messages
// handled meanwhile.
bool WaitThreadsEnd() {
  for (int i = 0; i < 2000 && RunningWaitThreads() > 0; ++i) {
    QThread::msleep(10);
    QApplication::processEvents();
  }
  return RunningWaitThreads() == 0;
}

// The connections the wizard lets go of close on threads of their own: the test program waits for
// them before it ends, so that the client libraries' clean-up at exit never meets one.
class TLetGoThreadsEnd : public ::testing::Environment {
 public:
  void TearDown() override { ::WaitThreadsEnd(std::chrono::seconds(20)); }
};
const auto* const LetGoThreadsEnd = ::testing::AddGlobalTestEnvironment(new TLetGoThreadsEnd);

}  // namespace

TEST_F(Wizard, StartsOnTheSourcePageWithParadoxDefaults) {
  TCopyOrvel form;
  EXPECT_EQ(form.ActivePage(), form.pSourceBase);
  EXPECT_EQ(Caption(form), "Что копировать"_ansi);
  EXPECT_FALSE(form.btnPrev->isEnabled());
  EXPECT_TRUE(form.btnNext->isDefault());
  EXPECT_TRUE(form.SrcDbLocation->UsePDOX->isChecked());
  EXPECT_EQ(form.SrcDbLocation->EnginePages->currentWidget(), form.SrcDbLocation->PDOXPage);
}

TEST_F(Wizard, ValidationMessagesKeepThePageAndFocusTheField) {
  TCopyOrvel form;
  form.show();
  form.activateWindow();
  Pump();
  form.SrcDbLocation->PDOXFolder->setText(QStringLiteral("   "));
  {
    TDialogScript script;
    script.ExpectMessageBox("Ошибка"_ansi, "ВНИМАНИЕ! Не задана папка, в которой расположена база данных."_ansi, mrOk);
    form.btnNext->click();
  }
  EXPECT_EQ(form.ActivePage(), form.pSourceBase);
  EXPECT_TRUE(form.SrcDbLocation->PDOXFolder->hasFocus());

  form.SrcDbLocation->UseIB->setChecked(true);
  form.SrcDbLocation->IBDatabase->setText(QStringLiteral("/x.fdb"));
  form.SrcDbLocation->IBConfirm->setText(QStringLiteral("quillcart "));
  {
    TDialogScript script;
    script.ExpectMessageBox("Ошибка"_ansi, "ВНИМАНИЕ! Подтверждение пароля не совпадает с паролем"_ansi, mrOk);
    form.btnNext->click();
  }
  EXPECT_TRUE(form.SrcDbLocation->IBConfirm->hasFocus());
}

TEST_F(Wizard, SourceSwitchFillsTheSourceAndMovesOn) {
  IConnParamsPtr source = DemoSource(20);
  source->SetValue("PASSWORD", "quillcart");  // the confirmation field's preset
  SetCommandLineArgs({"-Source:" + ConnParamsToStr(source.get())});
  TCopyOrvel form;
  EXPECT_EQ(form.ActivePage(), form.pSourceBase);
  Pump();
  EXPECT_EQ(form.ActivePage(), form.pDestBase);
  EXPECT_EQ(form.DbCaption, "Демонстрационная база ГИС"_ansi);
  EXPECT_TRUE(form.SrcDbLocation->UseIB->isChecked());
}

TEST_F(Wizard, AnUnreadableSourceSwitchIsIgnoredSilently) {
  SetCommandLineArgs({"/SOURCE:?"});
  TCopyOrvel form;
  Pump();
  EXPECT_EQ(form.ActivePage(), form.pSourceBase);
  EXPECT_TRUE(form.SrcDbLocation->UseOLEDB->isChecked()) << "the frame keeps its designed state";
}

TEST_F(Wizard, RefusesToCopyADatabaseOntoItself) {
  IConnParamsPtr source = DemoSource(10);
  TCopyOrvel form;
  Enter(form.SrcDbLocation, source.get());
  form.btnNext->click();
  ASSERT_EQ(form.ActivePage(), form.pDestBase);
  // The same file by another spelling.
  IConnParamsPtr same = StrToConnParams(ConnParamsToStr(source.get()));
  std::string path = GetConnParam(same.get(), "DATABASE", "");
  auto slash = path.rfind('/');
  same->SetValue("DATABASE", path.substr(0, slash) + "/./" + path.substr(slash + 1));
  Enter(form.DstDbLocation, same.get());
  {
    TDialogScript script;
    script.ExpectMessageBox("Ошибка"_ansi, "Нельзя скопировать базу саму в себя"_ansi, mrOk);
    form.btnNext->click();
  }
  EXPECT_EQ(form.ActivePage(), form.pDestBase);
}

// The source's own server reached again through the unspecified address, which Linux connects to
// this machine: the spelling differs, the engine knows its own attachment, and the copy that would
// empty the source never starts.
TEST_F(Wizard, RefusesACopyOntoItselfThroughTheUnspecifiedAddress) {
  REQUIRE_ENGINE(TEngine::FirebirdServer);
  testsupport::TDemoOptions options;
  options.LargeRows = 10;
  IConnParamsPtr source = Demo(TEngine::FirebirdServer, "src", options);
  TCopyOrvel form;
  Enter(form.SrcDbLocation, source.get());
  form.btnNext->click();
  ASSERT_EQ(form.ActivePage(), form.pDestBase);
  IConnParamsPtr same = StrToConnParams(ConnParamsToStr(source.get()));
  same->SetValue("SERVER", "0.0.0.0");
  Enter(form.DstDbLocation, same.get());
  {
    TDialogScript script;
    script.ExpectMessageBox("Ошибка"_ansi, "Нельзя скопировать базу саму в себя"_ansi, mrOk);
    form.btnNext->click();
  }
  EXPECT_EQ(form.ActivePage(), form.pDestBase);
  EXPECT_FALSE(form.DestDb);
}

// A destination whose server takes the connection and answers nothing for a second, then hangs
// up: the wizard asks it once, and while it waits the window goes on being painted, takes no input
// and shows the waiting window.
TEST_F(Wizard, ASlowDestinationIsAskedOnceWhileTheWindowIsPainted) {
  testsupport::TDemoOptions options;
  options.LargeRows = 10;
  IConnParamsPtr source = Demo(TEngine::SqliteOdbc, "src", options);
  testsupport::TStandInServer slow;
  TCopyOrvel form;
  Enter(form.SrcDbLocation, source.get());
  form.btnNext->click();
  ASSERT_EQ(form.ActivePage(), form.pDestBase);
  Enter(form.DstDbLocation, testsupport::ServerLocation(TEngine::PostgresOdbc, slow.Port()).get());
  int paintedWhileWaiting = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (!form.isEnabled() && ShownWaitingWindow()) ++paintedWhileWaiting;
  });
  timer.start(20);
  QTimer::singleShot(1000, &form, [&] { slow.Reset(); });
  {
    TDialogScript script;
    script.ExpectDialog("MessageBox", [](const TModalInfo&, QDialog&) { return std::optional<TModalResult>(mrOk); },
                        "Ошибка"_ansi);
    form.btnNext->click();
  }
  EXPECT_EQ(form.ActivePage(), form.pDestBase);
  EXPECT_GT(paintedWhileWaiting, 10);
  EXPECT_TRUE(form.isEnabled());
  EXPECT_EQ(slow.Accepted(), 1);
}

// A source whose server takes the connection and never answers, Firebird's or PostgreSQL's: the
// waiting window shows whenever the wizard takes no input, also once a copy has switched the
// brackets' window off, and its Cancel, or Escape, gives the page back at once. The next Next
// tries again, and every attempt left waiting ends once the server hangs up.
TEST_F(Wizard, TheWaitingWindowGivesThePageBackAtOnce) {
  struct TCase {
    TEngine Engine;
    std::function<void(TLongOperationForm&)> Cancel;
  };
  const std::vector<TCase> cases = {
      {TEngine::FirebirdServer, [](TLongOperationForm& w) { w.TerminateButton->click(); }},
      {TEngine::PostgresOdbc, [](TLongOperationForm& w) { QTest::keyClick(&w, Qt::Key_Escape); }},
  };
  LongOperationMode = 2;
  TCopyOrvel form;
  form.show();
  {
    testsupport::TStandInServer silent;
    int attempts = 0;
    for (const TCase& c : cases) {
      for (int attempt = 0; attempt < 2; ++attempt) {
        SCOPED_TRACE(testsupport::EngineName(c.Engine) + ", attempt " + std::to_string(attempt));
        Enter(form.SrcDbLocation, testsupport::ServerLocation(c.Engine, silent.Port()).get());
        bool disabledWithoutWindow = false;
        QElapsedTimer cancelled;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
          TLongOperationForm* waiting = ShownWaitingWindow();
          if (!form.isEnabled() && !waiting) disabledWithoutWindow = true;
          if (!waiting || cancelled.isValid()) return;
          cancelled.start();
          c.Cancel(*waiting);
        });
        poll.start(10);
        form.btnNext->click();
        ASSERT_TRUE(cancelled.isValid()) << "no waiting window";
        EXPECT_LT(cancelled.elapsed(), 1000);
        EXPECT_FALSE(disabledWithoutWindow);
        EXPECT_EQ(form.ActivePage(), form.pSourceBase);
        EXPECT_TRUE(form.isEnabled());
        EXPECT_EQ(ShownWaitingWindow(), nullptr);
        EXPECT_EQ(silent.Accepted(), ++attempts);
      }
    }
  }
  LongOperationMode = 0;
  EXPECT_TRUE(WaitThreadsEnd());
}

// A source whose connection goes silent (its server stalls) or is reset after its page: the check
// of the destination neither holds the wizard nor hides why. A close is obeyed at once; a silent
// source is given up after its connection timeout and a reset one at once, each with the message
// that sends the user back to the source page.
TEST_F(Wizard, ASourceLostAfterItsPageNeverHoldsTheWizard) {
  REQUIRE_ENGINE(TEngine::FirebirdServer);
  REQUIRE_ENGINE(TEngine::PostgresOdbc);
  const IConnParamsPtr firebird = SmallDemo(TEngine::FirebirdServer, "fb");
  const IConnParamsPtr postgres = SmallDemo(TEngine::PostgresOdbc, "pg");
  const std::string lost =
      "Соединение с исходной базой данных потеряно. Вернитесь на страницу выбора исходной базы, чтобы подключиться к ней заново."_ansi;
  enum TLoss { lsStalledAndClosed, lsStalled, lsReset };
  struct TCase {
    IConnParams* Source;
    int Port;
    TLoss Loss;
  };
  const std::vector<TCase> cases = {
      {firebird.get(), 3050, lsStalledAndClosed},
      {postgres.get(), std::stoi(std::getenv("COPYORVEL_PG_PORT")), lsStalled},
      {firebird.get(), 3050, lsReset},
      {postgres.get(), std::stoi(std::getenv("COPYORVEL_PG_PORT")), lsReset},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const TCase& c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i));
    testsupport::TStandInServer proxy(c.Port);
    TCopyOrvel form;
    form.show();
    Enter(form.SrcDbLocation, testsupport::ThroughPort(c.Source, proxy.Port()).get());
    form.btnNext->click();
    ASSERT_EQ(form.ActivePage(), form.pDestBase);
    form.SourceParams->SetValue("CONNECTION_TIMEOUT", "2");
    Enter(form.DstDbLocation, testsupport::NewDatabase(TEngine::SqliteOdbc, FDir, "dst" + std::to_string(i)).get());
    c.Loss == lsReset ? proxy.Reset() : proxy.Stall();
    QElapsedTimer closed;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
      if (c.Loss != lsStalledAndClosed || closed.isValid() || !ShownWaitingWindow()) return;
      closed.start();
      form.close();
    });
    closer.start(10);
    QTimer::singleShot(10000, &form, [&] { proxy.Reset(); });  // a wizard that would wait for ever fails instead
    QElapsedTimer asked;
    asked.start();
    {
      TDialogScript script;
      if (c.Loss != lsStalledAndClosed) script.ExpectMessageBox("Ошибка"_ansi, lost, mrOk);
      form.btnNext->click();
    }
    EXPECT_EQ(form.ActivePage(), form.pDestBase);
    if (c.Loss == lsStalledAndClosed) {
      EXPECT_TRUE(closed.isValid() && closed.elapsed() < 1000);
      EXPECT_FALSE(form.isVisible());
    } else if (c.Loss == lsStalled) {
      EXPECT_GE(asked.elapsed(), 2000);
      EXPECT_LT(asked.elapsed(), 5000);
    }
  }
  EXPECT_TRUE(WaitThreadsEnd());
}

// Every question the wizard asks a server that stops answering (a stand-in that forwards, then
// stalls): the source's caption read after connecting, the copy's first question against the
// source, and a copy under way into Firebird (creating its tables) or PostgreSQL (writing rows).
// The window goes on being painted, the waiting window comes up, and its Cancel gives the page
// back or, during a copy, stops it as Остановить does, the wizard closing; a close ends a copy
// within a moment. Going back to the source page and on again after the source went silent waits
// for nothing. A server that would hold the wizard for ever is reset after 8 s, so that the test
// fails instead of hanging.
TEST_F(Wizard, AServerThatStopsAnsweringNeverHoldsTheWizard) {
  REQUIRE_ENGINE(TEngine::FirebirdServer);
  REQUIRE_ENGINE(TEngine::PostgresOdbc);
  const IConnParamsPtr firebird = SmallDemo(TEngine::FirebirdServer, "fb");
  const IConnParamsPtr postgres = SmallDemo(TEngine::PostgresOdbc, "pg");
  const IConnParamsPtr local = DemoSource(1000);
  enum TWhere { wCaption, wCopyStart, wCopyRows, wBackAndNext };
  struct TCase {
    TWhere Where;
    TEngine Engine;  // of the server that stops answering
    bool Close;      // the window's close box rather than the waiting window's Cancel
  };
  const std::vector<TCase> cases = {
      {wCaption, TEngine::FirebirdServer, false},  {wCaption, TEngine::PostgresOdbc, false},
      {wCopyStart, TEngine::FirebirdServer, false}, {wCopyRows, TEngine::FirebirdServer, false},
      {wCopyRows, TEngine::PostgresOdbc, true},     {wBackAndNext, TEngine::FirebirdServer, false},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const TCase& c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i));
    const bool fb = c.Engine == TEngine::FirebirdServer;
    testsupport::TStandInServer proxy(fb ? 3050 : std::stoi(std::getenv("COPYORVEL_PG_PORT")));
    const IConnParamsPtr server = c.Where == wCopyRows ? testsupport::NewDatabase(c.Engine, FDir, "dst" + std::to_string(i))
                                                       : (fb ? firebird : postgres);
    const IConnParamsPtr proxied = testsupport::ThroughPort(server.get(), proxy.Port());
    TCopyOrvel form;
    form.show();
    // Up to the page where the server stops answering.
    if (c.Where == wCaption) {
      form.SourceDb = ConnectDb(proxied.get(), true);
    } else {
      Enter(form.SrcDbLocation, (c.Where == wCopyRows ? local : proxied).get());
      form.btnNext->click();
      ASSERT_EQ(form.ActivePage(), form.pDestBase);
      if (c.Where != wBackAndNext) {
        Enter(form.DstDbLocation,
              (c.Where == wCopyRows ? proxied : testsupport::NewDatabase(TEngine::SqliteOdbc, FDir, "lite" + std::to_string(i))).get());
        form.btnNext->click();
        ASSERT_EQ(form.ActivePage(), form.pOptions);
      }
    }
    QElapsedTimer stalled, shown;
    auto stall = [&] {
      proxy.Stall();
      proxy.ResetAfter(std::chrono::seconds(8));
      stalled.start();
    };
    // During a copy the server stops answering once the large table's rows are under way.
    if (c.Where != wCopyRows) stall();
    auto under = [&](const std::string& step) { return FromQString(form.CopyBase->lbl1->text()).find(step) != std::string::npos; };
    int painted = 0;
    QElapsedTimer closed;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (!stalled.isValid() && (fb ? under("Создание таблиц"_ansi) && form.CopyBase->Progress1->value() >= 2
                                    : under("ORVEL_OBJINFO") && form.CopyBase->Progress2->value() > 100))
        stall();
      if (c.Close && !closed.isValid() && stalled.isValid() && stalled.elapsed() > 300) {
        closed.start();
        form.close();
      }
      TLongOperationForm* waiting = ShownWaitingWindow();
      if (!waiting) return;
      ++painted;
      if (shown.isValid()) return;
      shown.start();
      if (!c.Close) waiting->TerminateButton->click();
    });
    poll.start(10);
    if (c.Where == wCaption) {
      EXPECT_THROW(form.ReadDbCaption(), EWaitAbandoned);
      EXPECT_FALSE(form.SourceDb) << "the database its thread may still be asking is forgotten";
    } else if (c.Where == wBackAndNext) {
      form.btnPrev->click();
      Enter(form.SrcDbLocation, server.get());
      form.btnNext->click();
      EXPECT_EQ(form.ActivePage(), form.pDestBase);
      EXPECT_EQ(form.DbCaption, "Демонстрационная база ГИС"_ansi);
    } else {
      form.btnNext->click();
      EXPECT_EQ(form.CopyBase->State, csStopped);
      EXPECT_FALSE(form.isVisible()) << "the wizard ends as after Остановить";
    }
    poll.stop();
    const qint64 held = stalled.isValid() ? stalled.elapsed() : -1;
    if (c.Where == wBackAndNext) {
      EXPECT_LT(held, 2000);
    } else if (c.Close) {
      EXPECT_TRUE(closed.isValid() && closed.elapsed() < 1000) << "a close ends the copy within a moment";
    } else if (!shown.isValid()) {
      ADD_FAILURE() << "no waiting window";
    } else {
      // The copy's questions bring the waiting window up after a second, a connection's at once.
      EXPECT_LT(held - shown.elapsed(), c.Where == wCaption ? 500 : 1500);
      EXPECT_LT(shown.elapsed(), 500) << "Cancel gives the page back at once";
    }
    EXPECT_TRUE(form.isEnabled());
    EXPECT_EQ(ShownWaitingWindow(), nullptr);
  }
  EXPECT_TRUE(WaitThreadsEnd());
}

// Escape pressed while the wizard reads the caption of a Paradox source, quickly or on a slow
// folder (each opening of ORVEL_DBINFO's files slowed through the engine's file layer): the key is
// dropped, or taken by the waiting window; it never reaches the page shown after the wait.
TEST_F(Wizard, AKeyPressedWhileTheWizardWaitsNeverReachesTheNextPage) {
  const IConnParamsPtr source = DemoParadoxSource(10);
  for (int delay : {0, 300}) {
    SCOPED_TRACE("a file call takes " + std::to_string(delay) + " ms more");
    TCopyOrvel form;
    form.show();
    Activate(form);
    testsupport::TFaultEnv slow;
    testsupport::TFaultEnv::TFault fault;
    fault.FilePrefix = "ORVEL_DBINFO";
    fault.Ops = testsupport::TFaultEnv::opOpen;
    fault.Delay = std::chrono::milliseconds(delay);
    fault.OnCounted = [&form] {
      QCoreApplication::postEvent(&form, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
    };
    slow.Set(fault);
    paradox::SetProcessEnv(&slow);
    Enter(form.SrcDbLocation, source.get());
    form.btnNext->click();
    Pump();
    paradox::SetProcessEnv(nullptr);
    EXPECT_GT(slow.Count(), 0) << "the caption was read through the slowed files";
    EXPECT_TRUE(form.isVisible()) << "Escape reached the page after the wait";
    EXPECT_TRUE(form.ActivePage() == form.pDestBase || form.ActivePage() == form.pSourceBase);
  }
  EXPECT_TRUE(WaitThreadsEnd());
}

TEST_F(Wizard, AWholeCopyEndsOnTheSummary) {
  IConnParamsPtr source = DemoSource(300);
  IConnParamsPtr destination = EmptyDestination();
  TCopyOrvel form;
  Enter(form.SrcDbLocation, source.get());
  form.btnNext->click();
  Enter(form.DstDbLocation, destination.get());
  form.btnNext->click();
  ASSERT_EQ(form.ActivePage(), form.pOptions);
  EXPECT_EQ(Caption(form), "Опций"_ansi);
  form.Unfasten->setChecked(true);
  form.btnNext->click();  // runs the copy and moves on to the summary
  ASSERT_EQ(form.ActivePage(), form.pStop);
  EXPECT_EQ(form.CopyBase->State, csFinished);
  EXPECT_EQ(Caption(form), "Работа завершена"_ansi);
  EXPECT_EQ(FromQString(form.btnCancel->text()), "Закрыть"_ansi);
  EXPECT_FALSE(form.btnPrev->isEnabled()) << "no way back after a finished copy";
  EXPECT_EQ(form.InfoList->topLevelItemCount(), 24);
  for (int i = 0; i < 24; ++i) EXPECT_EQ(form.InfoList->topLevelItem(i)->text(1).toStdString(), "100%");
  EXPECT_EQ(FromQString(form.FinishInfo->text()),
            "Копирование базы \"Демонстрационная база ГИС\" завершено успешно, создана независимая копия БД\r\n"
            "Предупреждений: 0\r\nОшибок: 0"_ansi);
  form.InfoList->setCurrentItem(form.InfoList->topLevelItem(14));
  EXPECT_EQ(FromQString(form.DetailsList->toPlainText()),
            "Таблица ГИС Орвел \"ORVEL_MAPS\"\nВсего записей: 12\nСкопировано: 12"_ansi);
  IOrvDbPtr dst = ConnectDb(destination.get(), true);
  EXPECT_EQ(testsupport::CanonicalRows(dst.get(), "ORVEL_OBJINFO", {"ID"}).size(), 300u);
}

TEST_F(Wizard, CancelDuringACopyStopsItAndClosesAfterTheLoop) {
  IConnParamsPtr source = DemoSource(3000);
  IConnParamsPtr destination = EmptyDestination();
  TCopyOrvel form;
  form.show();
  Enter(form.SrcDbLocation, source.get());
  form.btnNext->click();
  Enter(form.DstDbLocation, destination.get());
  form.btnNext->click();
  TDialogScript script;
  script.ExpectMessageBox("Вопрос"_ansi, "Остановить копирование?"_ansi, mrYes);
  // Cancel is pressed while the copy pumps the message loop, once the row copy is under way.
  QTimer cancel;
  cancel.setInterval(0);
  bool pressed = false;
  bool visibleAfterPress = false;
  QObject::connect(&cancel, &QTimer::timeout, [&] {
    if (!pressed && form.CopyBase->State == csRunning && form.CopyBase->TableCount() > 0 &&
        form.CopyBase->GetTable(19)->Copied > 100) {
      pressed = true;
      form.btnCancel->click();
      visibleAfterPress = form.isVisible();
    }
  });
  cancel.start();
  form.btnNext->click();
  cancel.stop();
  EXPECT_TRUE(pressed);
  EXPECT_TRUE(visibleAfterPress) << "the window stays while the copy loop runs";
  EXPECT_EQ(form.CopyBase->State, csStopped);
  EXPECT_FALSE(form.isVisible()) << "and closes once it has ended";
  EXPECT_EQ(form.ActivePage(), form.pStop);
  EXPECT_EQ(FromQString(form.FinishInfo->text()), "База не скопирована"_ansi);
}

TEST_F(Wizard, AStoppedCopyCanBeRestartedAndTheWayBackStaysOpen) {
  IConnParamsPtr source = DemoSource(10);
  IConnParamsPtr destination = EmptyDestination();
  {
    IOrvDbPtr dst = ConnectDb(destination.get(), true);
    dst->CreateSQL("CREATE TABLE ORVEL_DBINFO (X INTEGER)")->Execute({});
    dst->Close();
  }
  TCopyOrvel form;
  Enter(form.SrcDbLocation, source.get());
  form.btnNext->click();
  Enter(form.DstDbLocation, destination.get());
  form.btnNext->click();
  {
    TDialogScript script;
    script.ExpectDialogClick("TActionForm", "Остановить процесс"_ansi);
    script.ExpectMessageBox("Ошибка"_ansi, "Копирование прервано пользователем"_ansi, mrOk);
    form.btnNext->click();
  }
  ASSERT_EQ(form.ActivePage(), form.pStop);
  EXPECT_EQ(form.CopyBase->State, csStopped);
  EXPECT_TRUE(form.btnPrev->isEnabled());
  form.btnPrev->click();
  EXPECT_EQ(form.ActivePage(), form.pCopyBase);
  EXPECT_EQ(FromQString(form.btnCancel->text()), "Отмена"_ansi);
  form.btnPrev->click();
  EXPECT_EQ(form.ActivePage(), form.pOptions);
  form.AutoDelete->setChecked(true);
  {
    TDialogScript script;
    script.ExpectMessageBox("Вопрос"_ansi, "Копирование не завершено, начать заново?"_ansi, mrYes);
    form.btnNext->click();
  }
  EXPECT_EQ(form.ActivePage(), form.pStop);
  EXPECT_EQ(form.CopyBase->State, csFinished);
}

// Return presses the default button from whatever field has the focus, on every page, a focused
// button presses itself, and Escape presses Cancel; on the summary both close the window.
TEST_F(Wizard, ReturnAndEscapeOnEveryPage) {
  IConnParamsPtr source = DemoSource(10);
  IConnParamsPtr destination = EmptyDestination();
  TCopyOrvel form;
  form.show();
  Activate(form);
  TDbLocationFrame* f = form.SrcDbLocation;
  // Keys go to the active window (a window that came and went, such as the long-operation window,
  // hands the activation back through the window manager, which the offscreen platform lacks).
  auto press = [](QWidget* field, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    Activate(*field->window());
    field->setFocus();
    ASSERT_TRUE(field->hasFocus());
    convtest::Key(field, key, modifiers, key == Qt::Key_Escape ? QString() : QStringLiteral("\r"));
  };
  // Every kind of field on the source page: Next answers with its validation message.
  struct TCase {
    QRadioButton* kind;
    QWidget* field;
    std::string message;
  };
  f->OLEDBConnectionString->clear();
  f->IBDatabase->clear();
  f->IBCType->setCurrentText(QStringLiteral("KOI8R"));
  f->BDEAlias->setCurrentText(QString());
  const std::vector<TCase> cases = {
      {f->UsePDOX, f->PDOXFolder, "Не задана папка, в которой расположена база данных."_ansi},
      {f->UsePDOX, f->UsePDOX, "Не задана папка, в которой расположена база данных."_ansi},
      {f->UseOLEDB, f->OLEDBConnectionString, "Не задана строка соединения"_ansi},
      {f->UseIB, f->IBCType, "Не задана база данных"_ansi},
      {f->UseIB, f->IBServer, "Не задана база данных"_ansi},
      {f->UseBDE, f->BDEAlias, "Не выбран псевдоним BDE, который следует использовать для доступа к базе данных."_ansi},
      {f->UseBDE, f->BDEPassword, "Не выбран псевдоним BDE, который следует использовать для доступа к базе данных."_ansi},
  };
  const int charsets = f->IBCType->count();
  for (const TCase& c : cases) {
    SCOPED_TRACE(AnsiToUtf8(c.message) + " from " + c.field->metaObject()->className());
    c.kind->setChecked(true);
    TDialogScript script;
    script.ExpectMessageBox("Ошибка"_ansi, "ВНИМАНИЕ! "_ansi + c.message, mrOk);
    press(c.field, Qt::Key_Return);
    EXPECT_EQ(form.ActivePage(), form.pSourceBase);
  }
  EXPECT_EQ(f->OLEDBConnectionString->toPlainText(), QString()) << "Return breaks no line in the connection string";
  EXPECT_EQ(f->IBCType->count(), charsets) << "nor adds an entry to an editable list";

  Enter(f, source.get());
  press(f->IBUser, Qt::Key_Enter, Qt::KeypadModifier);
  ASSERT_EQ(form.ActivePage(), form.pDestBase);
  press(form.btnPrev, Qt::Key_Return);
  ASSERT_EQ(form.ActivePage(), form.pSourceBase) << "a focused button presses itself";
  press(f->IBDatabase, Qt::Key_Return);
  ASSERT_EQ(form.ActivePage(), form.pDestBase);
  Enter(form.DstDbLocation, destination.get());
  press(form.DstDbLocation->IBConfirm, Qt::Key_Return);
  ASSERT_EQ(form.ActivePage(), form.pOptions);
  press(form.Unfasten, Qt::Key_Return);  // runs the copy and ends on the summary
  ASSERT_EQ(form.ActivePage(), form.pStop);
  EXPECT_TRUE(form.btnCancel->isDefault());
  EXPECT_FALSE(form.btnNext->isDefault());
  press(form.InfoList, Qt::Key_Return);
  EXPECT_FALSE(form.isVisible()) << "Return presses Close on the summary";
  form.show();
  Activate(form);
  press(form.DetailsList, Qt::Key_Escape);
  EXPECT_FALSE(form.isVisible()) << "and so does Escape";

  TCopyOrvel other;
  other.show();
  Activate(other);
  press(other.SrcDbLocation->PDOXFolder, Qt::Key_Escape);
  EXPECT_FALSE(other.isVisible()) << "Escape presses Cancel on the first page";
}

// The summary's list is drawn with grid lines, and its details follow the selected row only: a
// list filled again, or a row that is merely current because the list took the focus, shows none.
TEST_F(Wizard, TheSummaryShowsTheDetailsOfTheSelectedRowOnly) {
  TCopyOrvel form;
  for (const char* name : {"ORVEL_MAPS", "ORVEL_ACL"}) {
    const int i = form.CopyBase->AddTable(name, "", std::string(name) == "ORVEL_MAPS");
    form.CopyBase->GetTable(i)->DstName = name;
    form.CopyBase->GetTable(i)->RowCount = 4;
    form.CopyBase->GetTable(i)->Copied = 3;
  }
  form.Pages->setCurrentWidget(form.pStop);
  form.show();
  form.ShowSummary();
  Activate(form);
  TXListView* list = form.InfoList;

  const QImage picture = list->viewport()->grab().toImage();
  const QRect row = list->visualItemRect(list->topLevelItem(0));
  const QColor grid = list->GridColor();
  const int columnEdge = list->header()->sectionSize(0) - 1;
  EXPECT_EQ(picture.pixelColor(columnEdge + 20, row.bottom()), grid) << "a line under the row";
  EXPECT_EQ(picture.pixelColor(columnEdge, row.center().y()), grid) << "a line between the columns";
  EXPECT_NE(picture.pixelColor(columnEdge + 20, row.center().y()), grid);

  list->setCurrentItem(list->topLevelItem(1));
  EXPECT_EQ(FromQString(form.DetailsList->toPlainText()),
            "Таблица ГИС Орвел \"ORVEL_ACL\"\nВсего записей: 4\nСкопировано: 3"_ansi);
  form.ShowSummary();
  EXPECT_EQ(form.DetailsList->toPlainText(), QString()) << "no row is selected in the list filled again";
  list->setFocus(Qt::TabFocusReason);
  Pump();
  EXPECT_TRUE(list->selectedItems().isEmpty());
  EXPECT_EQ(form.DetailsList->toPlainText(), QString()) << "a current row that is not selected shows nothing";
  list->topLevelItem(0)->setSelected(true);
  EXPECT_NE(FromQString(form.DetailsList->toPlainText()).find("ORVEL_MAPS"), std::string::npos);
}

// The texts of the wizard's pages: every button's and every short caption's text stands whole on
// one line, and every longer text that wraps has the room its lines need. The test scripts run this
// one at 96 and at 120 dpi too.
TEST_F(Wizard, NothingOnThePagesWrapsOrIsCut) {
  TCopyOrvel form;
  form.show();
  auto check = [&](const std::string& where) {
    SCOPED_TRACE(where);
    Pump();
    for (QLabel* label : form.ActivePage()->findChildren<QLabel*>()) {
      if (!label->isVisible() || label->text().isEmpty()) continue;
      const std::string text = label->text().toStdString();
      const QFontMetrics metrics(label->font());
      const int oneLine = metrics.horizontalAdvance(QString(label->text()).remove(QLatin1Char('&')));
      if (label->text().count(QLatin1Char(' ')) < 2) {
        EXPECT_GE(label->contentsRect().width(), oneLine) << text << " is cut or wraps";
        EXPECT_LT(label->height(), 2 * metrics.lineSpacing()) << text << " wraps";
      } else if (label->wordWrap()) {
        EXPECT_GE(label->height(), label->heightForWidth(label->width())) << text << " is cut";
      } else {
        EXPECT_GE(label->contentsRect().width(), oneLine) << text << " is cut";
      }
    }
    for (QAbstractButton* button : form.findChildren<QAbstractButton*>()) {
      if (button->isVisible()) {
        EXPECT_GE(button->width(), button->sizeHint().width()) << button->text().toStdString() << " is cut";
      }
    }
  };
  for (TDbLocationFrame* frame : {form.SrcDbLocation, form.DstDbLocation, form.SrcSemDbLocation, form.DstSemLocation}) {
    form.Pages->setCurrentWidget(frame->parentWidget());
    for (QRadioButton* kind : {frame->UseOLEDB, frame->UseIB, frame->UsePDOX, frame->UseBDE}) {
      kind->setChecked(true);
      check(AnsiToUtf8(form.ActivePage()->Caption) + ", " + kind->text().toStdString());
    }
  }
  for (TWizardPage* page : {form.pOptions, form.pConvertOptions}) {
    form.Pages->setCurrentWidget(page);
    check(AnsiToUtf8(page->Caption));
  }
}

// What the window manager allows to be done with a window, as it announces it on the window
// ("" without a window manager or without xprop).
std::string AllowedActions(QWidget& window) {
  QProcess xprop;
  xprop.start(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(window.winId()),
                                        QStringLiteral("_NET_WM_ALLOWED_ACTIONS")});
  if (!xprop.waitForFinished(5000)) return "";
  return xprop.readAllStandardOutput().toStdString();
}

// Waits until the window manager has taken the window, when one runs (COPYORVEL_WINDOW_MANAGER):
// it takes a window a moment after it is mapped (on a loaded machine, seconds), and then announces
// on it what it allows to be done with it. Returns that announcement ("" without a window manager).
std::string WaitForWindowManager(QWidget& window) {
  QApplication::processEvents();
  if (!std::getenv("COPYORVEL_WINDOW_MANAGER")) return "";
  std::string allowed = AllowedActions(window);
  for (int i = 0; i < 200 && allowed.find("_NET_WM_ACTION") == std::string::npos; ++i) {
    QThread::msleep(50);
    QApplication::processEvents();
    allowed = AllowedActions(window);
  }
  QThread::msleep(100);
  QApplication::processEvents();
  return allowed;
}

// When COPYORVEL_SCREENSHOTS names a folder, saves a picture of the screen where the window is,
// with its frame as the window manager draws it, in that folder as <name>.png.
void SaveScreenshot(QWidget& window, const std::string& name) {
  const char* shots = std::getenv("COPYORVEL_SCREENSHOTS");
  if (!shots) return;
  std::filesystem::create_directories(shots);
  const std::string file = std::string(shots) + "/" + name + ".png";
  const QRect frame = window.frameGeometry().adjusted(-8, -8, 8, 8);
  const QPixmap picture = window.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
  EXPECT_TRUE(picture.save(QString::fromStdString(file))) << file;
}

// The whole walk once more. When COPYORVEL_SCREENSHOTS names a folder, a picture of the screen is
// saved at every page, engine page and dialog it passes; when COPYORVEL_WINDOW_MANAGER
// says a window manager runs (the test script runs this one under a real X server), every window
// must be taken by it and none of the fixed-size ones may be offered for maximising.
TEST_F(Wizard, WalkThroughEveryPageOfAWholeCopy) {
  IConnParamsPtr source = DemoSource(200);
  IConnParamsPtr destination = EmptyDestination();
  const bool managed = std::getenv("COPYORVEL_WINDOW_MANAGER") != nullptr;
  TCopyOrvel form;
  form.show();
  auto settle = [&](QWidget& window) {
    if (!managed) {
      Pump();
      return;
    }
    const std::string allowed = WaitForWindowManager(window);
    EXPECT_NE(allowed.find("_NET_WM_ACTION"), std::string::npos) << "the window manager manages every window";
    EXPECT_EQ(allowed.find("MAXIMIZE"), std::string::npos) << "a fixed-size window is not maximised";
  };
  auto snap = [&](QWidget& window, const std::string& name) {
    settle(window);
    SaveScreenshot(window, name);
  };
  TDbLocationFrame* f = form.SrcDbLocation;
  snap(form, "01-source-paradox");
  f->UseOLEDB->setChecked(true);
  snap(form, "02-source-odbc");
  f->UseBDE->setChecked(true);
  snap(form, "03-source-alias");
  Enter(f, source.get());
  snap(form, "04-source-interbase");
  form.btnNext->click();
  ASSERT_EQ(form.ActivePage(), form.pDestBase);
  Enter(form.DstDbLocation, destination.get());
  snap(form, "05-destination");
  form.btnNext->click();
  ASSERT_EQ(form.ActivePage(), form.pOptions);
  form.Unfasten->setChecked(true);
  snap(form, "06-options");
  {
    // The narrow confirmation and the conversion settings, as they appear over the wizard.
    TDialogScript script;
    script.ExpectDialog("MessageBox", [&](const TModalInfo&, QDialog& box) -> std::optional<TModalResult> {
      snap(box, "07-confirmation");
      return mrNo;
    });
    script.ExpectDialog("TEditConvertOptions", [&](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
      snap(d, "08-conversion-settings");
      return mrCancel;
    });
    ConfirmBox("Вы уверены?"_ansi, &form);
    ExecuteConvertOptions(*form.CopySemTables);
  }
  form.activateWindow();
  form.btnNext->click();
  ASSERT_EQ(form.ActivePage(), form.pStop);
  form.InfoList->setCurrentItem(form.InfoList->topLevelItem(0));
  snap(form, "09-summary");
  form.btnCancel->click();
  EXPECT_FALSE(form.isVisible());
}

// The folder and file pickers as the program sets Qt up, whatever the system's locale (the test
// scripts run this one under the C locale and save their pictures): Russian headings, sizes, type
// names and dates, each with room to be read whole.
TEST_F(Wizard, ThePickersShowTheirDetailsInRussianAndWhole) {
  QTranslator* russian = Application->LoadQtTranslation();
  ASSERT_NE(russian, nullptr);
  const QLocale previous;
  Application->UseRussianLocale();
  std::filesystem::create_directories(FDir.Path() / "демо");
  std::filesystem::create_directories(FDir.Path() / "копия");
  {
    std::ofstream file(FDir / "copy.fdb", std::ios::binary);
    file << std::string(70000, '\0');
  }
  TCopyOrvel form;
  form.show();
  TDbLocationFrame* f = form.SrcDbLocation;
  f->PDOXFolder->setText(QString::fromStdString(FDir.Path().string()));
  f->IBDatabase->setText(QString::fromStdString(FDir / "copy.fdb"));
  auto check = [&](const std::string& shot, int rows) {
    return [=](const TModalInfo&, QDialog& dialog) -> std::optional<TModalResult> {
      auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
      EXPECT_NE(view, nullptr);
      if (!view) return mrCancel;
      // Qt's file model reads the folder in the background.
      auto loaded = [&] {
        const QModelIndex root = view->rootIndex();
        if (view->model()->rowCount(root) != rows) return false;
        for (int r = 0; r < rows; ++r)
          if (view->model()->index(r, 3, root).data().toString().isEmpty()) return false;
        return true;
      };
      for (int i = 0; i < 250 && !loaded(); ++i) {
        QThread::msleep(20);
        Pump();
      }
      EXPECT_TRUE(QTest::qWaitForWindowExposed(&dialog));
      WaitForWindowManager(dialog);
      SaveScreenshot(dialog, shot);
      EXPECT_TRUE(loaded()) << shot;
      const QHeaderView* header = view->header();
      const QFontMetrics metrics(view->font());
      const int margin = 2 * (view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1);
      const QRegularExpression latin(QStringLiteral("[A-Za-z]"));
      for (int c = 0; c < 4; ++c) {
        const QString heading = view->model()->headerData(c, Qt::Horizontal).toString();
        EXPECT_FALSE(heading.contains(latin)) << shot << ": " << heading.toStdString();
        EXPECT_GE(header->sectionSize(c), header->sectionSizeHint(c))
            << shot << ": " << heading.toStdString() << " is cut";
        if (c == 0) continue;  // the names: the user's own
        for (int r = 0; r < view->model()->rowCount(view->rootIndex()); ++r) {
          const QString text = view->model()->index(r, c, view->rootIndex()).data().toString();
          EXPECT_FALSE(text.contains(latin)) << shot << ": " << text.toStdString();
          EXPECT_GE(header->sectionSize(c), metrics.horizontalAdvance(text) + margin)
              << shot << ": " << text.toStdString() << " is cut";
        }
      }
      EXPECT_LE(header->length(), view->viewport()->width()) << shot << ": the last columns are cut";
      return mrCancel;
    };
  };
  struct TPicker {
    QRadioButton* Kind;
    QPushButton* Browse;
    std::string Id;
    std::string Shot;
    int Rows;  // the two folders, and the database file where files are shown
  };
  const std::vector<TPicker> pickers = {
      {f->UsePDOX, f->PDOXFolderBrowse, "BrowseForFolder", "10-folder-picker", 2},
      {f->UseIB, f->IBDatabaseBrowse, "TOpenDialog", "11-file-picker", 3},
  };
  for (const TPicker& p : pickers) {
    p.Kind->setChecked(true);
    TDialogScript script;
    script.ExpectDialog(p.Id, check(p.Shot, p.Rows));
    p.Browse->click();
  }
  QLocale::setDefault(previous);
  delete russian;
}

TEST_F(Wizard, EveryValidationMessageFocusesItsField) {
  TCopyOrvel form;
  form.show();
  form.activateWindow();
  Pump();
  TDbLocationFrame* f = form.SrcDbLocation;
  struct TCase {
    QRadioButton* kind;
    std::function<void()> fill;
    QWidget* focused;
    std::string message;
  };
  const std::vector<TCase> cases = {
      {f->UseOLEDB, [f] { f->OLEDBConnectionString->setPlainText(QStringLiteral(" \t ")); }, f->OLEDBConnectionString,
       "Не задана строка соединения"_ansi},
      {f->UseOLEDB,
       [f] {
         f->OLEDBConnectionString->setPlainText(QStringLiteral("DSN=x"));
         f->OLEDBPassword->setText(QStringLiteral("a"));
         f->OLEDBConfirm->setText(QStringLiteral("a "));
       },
       f->OLEDBConfirm, "Подтверждение пароля не совпадает с паролем"_ansi},
      {f->UseIB, [f] { f->IBDatabase->setText(QStringLiteral("  ")); }, f->IBDatabase, "Не задана база данных"_ansi},
      {f->UseBDE, [f] { f->BDEAlias->setCurrentText(QString()); }, f->BDEAlias,
       "Не выбран псевдоним BDE, который следует использовать для доступа к базе данных."_ansi},
      {f->UseBDE,
       [f] {
         f->BDEAlias->setCurrentText(QStringLiteral("GIS"));
         f->BDEPassword->setText(QStringLiteral("x"));
       },
       f->BDEConfirm, "Подтверждение пароля не совпадает с паролем"_ansi},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(AnsiToUtf8(c.message));
    c.kind->setChecked(true);
    c.fill();
    form.btnNext->setFocus();
    {
      TDialogScript script;
      script.ExpectMessageBox("Ошибка"_ansi, "ВНИМАНИЕ! "_ansi + c.message, mrOk);
      form.btnNext->click();
    }
    EXPECT_EQ(form.ActivePage(), form.pSourceBase);
    EXPECT_TRUE(c.focused->hasFocus());
  }
  // An empty password with an empty confirmation passes and stores no PASSWORD.
  f->UseOLEDB->setChecked(true);
  f->OLEDBPassword->clear();
  f->OLEDBConfirm->clear();
  f->OLEDBConnectionString->setPlainText(QStringLiteral("DSN=x"));
  IConnParamsPtr p = f->GetLocation();
  EXPECT_FALSE(p->HasParam("PASSWORD"));
  EXPECT_EQ(GetConnParam(p.get(), "LEFTQUOTEMARK", ""), "[");
}

TEST_F(Wizard, LocationFrameShowsAndReadsEachKind) {
  TDbLocationFrame frame;
  EXPECT_FALSE(frame.SetLocation(nullptr));
  EXPECT_TRUE(frame.UsePDOX->isChecked());
  auto oledb = CreateConnParams({"ENGINE", "oledb", "CONNECTIONSTRING", "DSN=gis", "USER", "u", "PASSWORD", "p"});
  ASSERT_TRUE(frame.SetLocation(oledb.get()));
  EXPECT_TRUE(frame.UseOLEDB->isChecked());
  EXPECT_EQ(frame.LeftMark->text().toStdString(), "\"") << "the stored marks, not the page's default";
  frame.OLEDBConfirm->setText(QStringLiteral("p"));
  EXPECT_EQ(ConnParamsToStr(frame.GetLocation().get()),
            "<DB ENGINE=\"OLEDB\" CONNECTIONSTRING=\"DSN=gis\" USER=\"u\" PASSWORD=\"p\" LEFTQUOTEMARK=\"\"\"\" "
            "RIGHTQUOTEMARK=\"\"\"\">");
  auto ib = CreateConnParams({"ENGINE", "IB", "SERVER", "srv", "PROTOCOL", "SPX", "DATABASE", "/g.fdb"});
  ASSERT_TRUE(frame.SetLocation(ib.get()));
  EXPECT_EQ(frame.IBProtocol->currentText().toStdString(), "SPX");
  frame.IBServer->setText(QStringLiteral("srv2"));
  EXPECT_EQ(frame.IBProtocol->currentText().toStdString(), "TCP") << "typing the server resets the protocol";
  frame.IBServer->clear();
  EXPECT_FALSE(frame.IBProtocol->isEnabled());
  EXPECT_TRUE(frame.IBDatabaseBrowse->isEnabled());
  frame.IBPassword->setText(QStringLiteral("quillcart"));
  {
    // A local database file is browsed for; the first filter shows Firebird's files too.
    TDialogScript script;
    script.ExpectDialog("TOpenDialog", [](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
      const QStringList filters = static_cast<QFileDialog&>(d).nameFilters();
      EXPECT_TRUE(filters.first().contains(QStringLiteral("*.gdb")) && filters.first().contains(QStringLiteral("*.fdb")))
          << filters.first().toStdString();
      d.reject();
      return std::nullopt;
    });
    frame.IBDatabaseBrowse->click();
  }
  IConnParamsPtr local = frame.GetLocation();
  EXPECT_FALSE(local->HasParam("SERVER"));
  EXPECT_FALSE(local->HasParam("PROTOCOL"));
  EXPECT_FALSE(frame.SetLocation(CreateConnParams({"ENGINE", "ODBC"}).get()));
  EXPECT_TRUE(frame.UsePDOX->isChecked());
  EXPECT_FALSE(frame.SetLocation(CreateConnParams({}).get()));
  frame.UseOLEDB->setChecked(true);
  EXPECT_EQ(frame.LeftMark->text().toStdString(), "[");
}

TEST_F(Wizard, AParadoxSourceCopiesIntoFirebird) {
  IConnParamsPtr source = DemoParadoxSource(500);
  IConnParamsPtr destination = EmptyDestination();
  TCopyOrvel form;
  Enter(form.SrcDbLocation, source.get());
  form.btnNext->click();
  ASSERT_EQ(form.ActivePage(), form.pDestBase);
  Enter(form.DstDbLocation, destination.get());
  form.btnNext->click();
  form.btnNext->click();
  ASSERT_EQ(form.ActivePage(), form.pStop);
  EXPECT_EQ(form.CopyBase->State, csFinished);
  for (int i = 0; i < form.CopyBase->TableCount(); ++i)
    EXPECT_EQ(form.CopyBase->GetTable(i)->Copied, form.CopyBase->GetTable(i)->RowCount);
}

TEST_F(Wizard, TheSemanticRoadCopiesAndConvertsIntoFirebird) {
  IConnParamsPtr source = DemoParadoxSource(100);
  IConnParamsPtr destination = EmptyDestination();
  TCopyOrvel form;
  Enter(form.SrcDbLocation, source.get());
  form.btnNext->click();
  Enter(form.DstDbLocation, destination.get());
  form.btnNext->click();
  ASSERT_EQ(form.ActivePage(), form.pOptions);
  form.CopySem->setChecked(true);
  form.btnNext->click();
  ASSERT_EQ(form.ActivePage(), form.pSrcSemTables);
  EXPECT_EQ(Caption(form), "Откуда копировать"_ansi);
  // The semantic destination is prefilled with the destination; the source may not be the same.
  Enter(form.SrcSemDbLocation, destination.get());
  form.btnNext->click();
  ASSERT_EQ(form.ActivePage(), form.pDstSemTables);
  form.DstSemLocation->IBConfirm->setText(form.DstSemLocation->IBPassword->text());
  {
    TDialogScript script;
    script.ExpectMessageBox("Ошибка"_ansi, "Нельзя скопировать сементические таблицы сама в себя"_ansi, mrOk);
    form.btnNext->click();
  }
  form.btnPrev->click();
  Enter(form.SrcSemDbLocation, source.get());
  form.btnNext->click();
  form.DstSemLocation->IBConfirm->setText(form.DstSemLocation->IBPassword->text());
  form.btnNext->click();
  ASSERT_EQ(form.ActivePage(), form.pConvertOptions);
  EXPECT_EQ(form.ConvertTableNames->checkState(), Qt::Checked) << "InterBase names are converted by default";
  EXPECT_TRUE(form.UniqueIndexes->isChecked());
  EXPECT_EQ(form.CopySemTables->FieldConvert->MaxLength, 30);
  form.btnNext->click();  // both copies run, then the summary
  ASSERT_EQ(form.ActivePage(), form.pStop);
  EXPECT_EQ(form.CopySemTables->State, csFinished);
  EXPECT_EQ(form.InfoList->topLevelItemCount(), 30);
  EXPECT_NE(FromQString(form.FinishInfo->text()).find(", семантические таблицы скопированы."_ansi), std::string::npos);
  form.InfoList->setCurrentItem(form.InfoList->topLevelItem(29));
  EXPECT_EQ(FromQString(form.DetailsList->toPlainText()).rfind("Семантическая таблица (копирование из таблицы \"Дорожная сеть\" в \""_ansi, 0), 0u);
  // Unchecking the conversion turns every converter off.
  form.ConvertTableNames->setCheckState(Qt::Unchecked);
  EXPECT_FALSE(form.CopySemTables->AnyConvertEnabled());
  EXPECT_FALSE(form.EditConvertNames->isEnabled());
}

TEST_F(Wizard, ClosingTheWindowDuringACopyStopsItAndClosesAfterTheLoop) {
  IConnParamsPtr source = DemoSource(3000);
  IConnParamsPtr destination = EmptyDestination();
  TCopyOrvel form;
  form.show();
  Enter(form.SrcDbLocation, source.get());
  form.btnNext->click();
  Enter(form.DstDbLocation, destination.get());
  form.btnNext->click();
  QTimer closer;
  closer.setInterval(0);
  bool closed = false, visibleAfterClose = false;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (!closed && form.CopyBase->State == csRunning && form.CopyBase->TableCount() > 0 &&
        form.CopyBase->GetTable(19)->Copied > 100) {
      closed = true;
      form.close();  // the window's close box: no question
      visibleAfterClose = form.isVisible();
    }
  });
  closer.start();
  form.btnNext->click();
  closer.stop();
  EXPECT_TRUE(closed);
  EXPECT_TRUE(visibleAfterClose);
  EXPECT_EQ(form.CopyBase->State, csStopped);
  EXPECT_FALSE(form.isVisible());
}

TEST_F(Wizard, TheSettingsDialogDecidesTheThreeStateBox) {
  TCopyOrvel form;
  form.ConvertTableNames->setCheckState(Qt::Checked);
  TDialogScript script;
  script.ExpectDialog("TEditConvertOptions", [](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    auto& options = static_cast<TEditConvertOptions&>(d);
    EXPECT_TRUE(options.ConvertIndexNames->isChecked());
    options.ConvertIndexNames->setChecked(false);
    ClickButton(d, "Ok");
    return std::nullopt;
  });
  form.Settings->click();
  EXPECT_EQ(form.ConvertTableNames->checkState(), Qt::PartiallyChecked);
  EXPECT_TRUE(form.EditConvertNames->isEnabled());
  EXPECT_TRUE(form.CopySemTables->TableConvert->Enabled);
  EXPECT_FALSE(form.CopySemTables->IndexConvert->Enabled) << "grayed leaves the converters as the dialog set them";
  form.ConvertTableNames->click();  // a user's click goes from grayed to checked
  EXPECT_EQ(form.ConvertTableNames->checkState(), Qt::Checked);
  EXPECT_TRUE(form.CopySemTables->IndexConvert->Enabled);
}

// The whole road into SQLite through ODBC: the base copy and the semantic copy with conversion,
// then the catalogues name the converted tables.
TEST_F(Wizard, ParadoxIntoSqliteWithTheSemanticTablesConverted) {
  IConnParamsPtr source = DemoParadoxSource(100);
  IConnParamsPtr destination = testsupport::NewDatabase(TEngine::SqliteOdbc, FDir, "lite");
  TCopyOrvel form;
  Enter(form.SrcDbLocation, source.get());
  form.btnNext->click();
  Enter(form.DstDbLocation, destination.get());
  form.btnNext->click();
  form.CopySem->setChecked(true);
  form.btnNext->click();
  Enter(form.SrcSemDbLocation, source.get());
  form.btnNext->click();
  ASSERT_EQ(form.ActivePage(), form.pDstSemTables);
  EXPECT_TRUE(form.DstSemLocation->UseOLEDB->isChecked()) << "prefilled with the destination";
  form.btnNext->click();
  ASSERT_EQ(form.ActivePage(), form.pConvertOptions);
  EXPECT_EQ(form.ConvertTableNames->checkState(), Qt::Checked);
  EXPECT_TRUE(form.UniqueIndexes->isChecked()) << "index names are database-wide in SQLite";
  EXPECT_EQ(form.CopySemTables->TableConvert->MaxLength, 31);
  form.btnNext->click();
  ASSERT_EQ(form.ActivePage(), form.pStop);
  EXPECT_EQ(form.CopyBase->State, csFinished);
  ASSERT_EQ(form.CopySemTables->State, csFinished);
  for (int i = 0; i < form.CopySemTables->TableCount(); ++i) {
    TCopySemTableInfo* item = form.CopySemTables->GetItem(i);
    EXPECT_FALSE(item->Failed) << AnsiToUtf8(item->Errors->Text());
    EXPECT_EQ(item->Copied, item->RowCount);
  }
  IOrvDbPtr dst = ConnectDb(destination.get(), true);
  std::vector<std::string> names;
  for (const auto& row : testsupport::CanonicalRows(dst.get(), "ORVEL_SEMTABLS", {"TABLENAME"})) names.push_back(row);
  EXPECT_EQ(names, (std::vector<std::string>{"S13:SEM_BUILDINGS|", "S14:Dorozhnaya_set|", "S9:SEM_ROADS|"}));
  EXPECT_TRUE(dst->TableExists("Dorozhnaya_set"));
}

TEST_F(Wizard, OledbDefaultsAskForUniqueIndexNames) {
  TCopyOrvel form;
  form.SemDestParams = CreateConnParams({"ENGINE", "OLEDB", "CONNECTIONSTRING", "DSN=x"});
  form.ApplyConvertDefaults();
  EXPECT_TRUE(form.UniqueIndexes->isChecked());
  EXPECT_EQ(form.CopySemTables->IndexConvert->MaxLength, 31);
  form.SemDestParams = CreateConnParams({"ENGINE", "oledb"});
  form.CopySemTables->IndexConvert->MaxLength = 77;
  form.ApplyConvertDefaults();
  EXPECT_EQ(form.CopySemTables->IndexConvert->MaxLength, 77) << "a lower-case engine gets no defaults";
  form.SemDestParams = CreateConnParams({"ENGINE", "PDOX"});
  form.ApplyConvertDefaults();
  EXPECT_EQ(form.CopySemTables->TableConvert->MaxLength, 100);
  EXPECT_EQ(form.CopySemTables->FieldConvert->MaxLength, 24);
}
