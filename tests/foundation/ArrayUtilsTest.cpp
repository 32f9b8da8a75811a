#include "foundation/ArrayUtils.h"

#include <gtest/gtest.h>

TEST(StrArray, CapacityDoubles) {
  TStrArray a;
  a.Init(0);
  a.Add("x");
  EXPECT_EQ(a.Items.size(), 2u);
  for (int i = 0; i < 3; ++i) a.Add("y");
  EXPECT_EQ(a.Items.size(), 4u);
  EXPECT_EQ(a.Add("fifth"), 4);
  EXPECT_EQ(a.Items.size(), 8u);
  a.Init(1);
  EXPECT_EQ(a.Count, 0);
  a.Add("a");
  a.Add("b");
  EXPECT_EQ(a.Items.size(), 2u);
}

TEST(StrArray, SplitKeepsEmptyItems) {
  TStrArray a;
  a.Split("a;b;", ";");
  ASSERT_EQ(a.Count, 3);
  EXPECT_EQ(a.Items[2], "");
  a.Split("a;;b", ";");
  EXPECT_EQ(a.Count, 3);
  a.Split("", ";");
  EXPECT_EQ(a.Count, 0);
  a.Split("a;b", "");
  ASSERT_EQ(a.Count, 1);
  EXPECT_EQ(a.Items[0], "a;b");
  a.Split("aXXbXXc", "XX");
  EXPECT_EQ(a.Join("|", ""), "a|b|c");
  a.Split("aXb", "x");  // case-sensitive
  EXPECT_EQ(a.Count, 1);
}

TEST(StrArray, JoinRangeClampsItsBounds) {
  TStrArray a;
  a.Split("ID;GPID;NAME", ";");
  EXPECT_EQ(a.JoinRange(-3, 2, ",", ""), "ID,GPID");
  EXPECT_EQ(a.JoinRange(1, 100, ",", ""), "GPID,NAME");
  EXPECT_EQ(a.JoinRange(3, 1, ",", ""), "");
  EXPECT_EQ(a.JoinRange(0, 0, ",", ""), "");
  EXPECT_EQ(a.Join(",", "\"%s\""), "\"ID\",\"GPID\",\"NAME\"");
}
