#include <QAbstractButton>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QRegularExpression>
#include <QTimer>
#include <QTranslator>
#include <QTreeView>
#include <QWidget>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <memory>

#include "platform/ui/Application.h"
#include "tests/support/TestSupport.h"

// When no descriptor is left for the termination signals, they are not held either: blocked with
// nothing to read them, SIGTERM and Ctrl+C would do nothing at all.
TEST(Application, TerminationSignalsThatCannotBeReadAreNotHeld) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowestFree = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(lowestFree, 0);
  close(lowestFree);
  rlimit none = saved;
  none.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  Application->HoldTerminationSignals();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  sigset_t blocked;
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) EXPECT_FALSE(sigismember(&blocked, signal)) << strsignal(signal);
}

TEST(Application, ProcessMessagesRunsPendingEvents) {
  bool ran = false;
  QTimer::singleShot(0, [&] { ran = true; });
  EXPECT_FALSE(ran);
  Application->ProcessMessages();
  EXPECT_TRUE(ran);
}

TEST(Application, OwnsFormsUntilTheyGo) {
  const size_t before = Application->Forms().size();
  auto* a = Application->CreateForm<QWidget>();
  auto* b = Application->CreateForm<QWidget>();
  EXPECT_EQ(Application->Forms().size(), before + 2);
  delete a;
  ASSERT_EQ(Application->Forms().size(), before + 1);
  EXPECT_EQ(Application->Forms().back(), b);
  delete b;
  EXPECT_EQ(Application->Forms().size(), before);
}

TEST(Application, MainFormIsClearedWhenDestroyed) {
  auto* main = new QWidget;
  Application->SetMainForm(main);
  EXPECT_EQ(Application->MainForm(), main);
  delete main;
  EXPECT_EQ(Application->MainForm(), nullptr);
}

// Qt's own texts a user meets: the file and folder pickers (labels, buttons, the list's column
// heads) and an edit field's context menu (its shortcuts keep the keys' names, as on the keyboard).
// With the Russian catalogue none reads English; without it (a folder where it is missing) the
// program goes on with Qt's English.
TEST(Application, QtsOwnTextsAreRussian) {
  const QRegularExpression english(QStringLiteral("[A-Za-z]{2,}"));
  auto englishTexts = [&] {
    QStringList texts;
    std::vector<std::string> found;
    for (QFileDialog::FileMode mode : {QFileDialog::ExistingFile, QFileDialog::Directory}) {
      QFileDialog picker;
      picker.setOption(QFileDialog::DontUseNativeDialog);
      picker.setFileMode(mode);
      for (QLabel* label : picker.findChildren<QLabel*>()) texts << label->text();
      for (QAbstractButton* button : picker.findChildren<QAbstractButton*>()) texts << button->text() << button->toolTip();
      for (QTreeView* view : picker.findChildren<QTreeView*>())
        for (int c = 0; c < view->model()->columnCount(); ++c)
          texts << view->model()->headerData(c, Qt::Horizontal).toString();
    }
    QLineEdit edit(QStringLiteral("текст"));
    std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
    for (QAction* action : menu->actions()) texts << action->text().section(QLatin1Char('\t'), 0, 0);
    for (const QString& t : texts)
      if (t.contains(english)) found.push_back(t.toStdString());
    return found;
  };
  testsupport::TempDir empty;
  EXPECT_EQ(Application->LoadQtTranslation(QString::fromStdString(empty.Path().string())), nullptr);
  EXPECT_FALSE(englishTexts().empty()) << "without the catalogue Qt speaks English";
  QTranslator* russian = Application->LoadQtTranslation();
  ASSERT_NE(russian, nullptr) << "Qt's Russian catalogue is missing";
  EXPECT_EQ(englishTexts(), std::vector<std::string>());
  delete russian;
}
