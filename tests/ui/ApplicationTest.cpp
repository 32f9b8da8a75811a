#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include "platform/ui/Application.h"

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
