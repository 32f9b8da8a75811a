#include "platform/rtl/Classes.h"

#include <gtest/gtest.h>

#include "platform/rtl/Interfaces.h"

namespace {

class TProbe : public TInterfacedObject {
 public:
  explicit TProbe(bool* destroyed) : FDestroyed(destroyed) {}
  ~TProbe() override { *FDestroyed = true; }

 private:
  bool* FDestroyed;
};

}  // namespace

TEST(Streams, ExactReadsAndWritesRaiseOnShortTransfers) {
  TMemoryStream s;
  s.WriteBuffer("abc", 3);
  s.SetPosition(0);
  char buf[4] = {};
  s.ReadBuffer(buf, 2);
  EXPECT_EQ(std::string(buf, 2), "ab");
  EXPECT_THROW(s.ReadBuffer(buf, 2), EReadError);
  EXPECT_EQ(s.Size(), 3);
}

TEST(Streams, FileStreamReportsMissingFilesWithTheirName) {
  try {
    TFileStream f("/nonexistent/folder/x.db", TFileStream::fmOpenRead);
    FAIL();
  } catch (const EFileError& e) {
    EXPECT_NE(e.Message().find("/nonexistent/folder/x.db"), std::string::npos);
  }
}

TEST(Lists, IndexErrorsRaiseListErrors) {
  TList list;
  EXPECT_THROW(list.Items(0), EListError);
  EXPECT_THROW(list.Delete(-1), EListError);
  TStringList sl;
  EXPECT_THROW(sl.Strings(0), EListError);
}

TEST(Lists, StringListNameValuePairs) {
  TStringList sl;
  sl.SetValues("Имя"_ansi, "a");
  sl.SetValues("имя"_ansi, "b");
  EXPECT_EQ(sl.Count(), 1);
  EXPECT_EQ(sl.Values("ИМЯ"_ansi), "b");
  sl.SetValues("Имя"_ansi, "");
  EXPECT_EQ(sl.Count(), 0);
  sl.SetText("a\r\nb\nc");
  EXPECT_EQ(sl.Count(), 3);
  EXPECT_EQ(sl.Text(), "a\r\nb\r\nc\r\n");
}

TEST(Interfaces, AnObjectLivesWhileAnyReferenceExists) {
  bool destroyed = false;
  RefPtr<IInterface> a(new TProbe(&destroyed));
  {
    RefPtr<IInterface> b = a;
    a.reset();
    EXPECT_FALSE(destroyed);
  }
  EXPECT_TRUE(destroyed);
  TProbe* raw = nullptr;
  bool gone = false;
  RefPtr<TProbe> p(raw = new TProbe(&gone));
  EXPECT_EQ(raw->ClassName(), "TProbe");
  EXPECT_EQ(raw->RefCount(), 1);
}
