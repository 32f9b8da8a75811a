#include "foundation/ObjectLists.h"

#include <gtest/gtest.h>

#include "foundation/RefObjects.h"

namespace {

struct TTracked : TObject {
  TTracked(std::vector<std::string>* log, std::string name) : Log(log), Name(std::move(name)) {}
  ~TTracked() override { Log->push_back("free " + Name); }
  std::vector<std::string>* Log;
  std::string Name;
};

class THookedList : public TObjectList {
 public:
  explicit THookedList(std::vector<std::string>* log) : Log(log) {}
  ~THookedList() override { Clear(); }
  std::vector<std::string>* Log;

 protected:
  void ItemAdded(TObject* item) override { Log->push_back("added " + static_cast<TTracked*>(item)->Name); }
  void ItemRemoved(TObject* item) override {
    // The item has already left the list when its hook runs.
    Log->push_back("removed " + static_cast<TTracked*>(item)->Name + (IndexOf(item) < 0 ? "" : " (still in)"));
  }
};

class TCounted : public TInterfacedObject {};

}  // namespace

TEST(ObjectList, HooksAndOwnership) {
  std::vector<std::string> log;
  auto* kept = new TTracked(&log, "kept");
  {
    THookedList list(&log);
    list.Add(new TTracked(&log, "a"));
    list.Add(nullptr);
    list.Add(kept);
    list.Add(new TTracked(&log, "b"));
    TTracked stranger(&log, "stranger");
    EXPECT_EQ(list.Remove(&stranger), -1);
    EXPECT_EQ(list.Extract(2), kept);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    list.Add(new TTracked(&log, "c"));
  }
  EXPECT_EQ(log, (std::vector<std::string>{"added a", "added kept", "added b", "removed kept", "removed b",
                                           "free b", "removed a", "free a", "added c", "free stranger", "removed c",
                                           "free c"}));
  log.clear();
  delete kept;  // Extract handed it over, alive
  EXPECT_EQ(log, std::vector<std::string>{"free kept"});
}

TEST(RefObjects, ReleaseEndsEitherKindOfObject) {
  std::vector<std::string> log;
  TObject* plain = new TTracked(&log, "plain");
  ReleaseRefObject(plain);
  EXPECT_EQ(plain, nullptr);
  EXPECT_EQ(log, std::vector<std::string>{"free plain"});

  TObject* none = nullptr;
  ReleaseRefObject(none);
  EXPECT_EQ(none, nullptr);

  auto* counted = new TCounted;
  counted->_AddRef();
  counted->_AddRef();
  TCounted* var = counted;
  ReleaseRefObject(var);
  EXPECT_EQ(var, nullptr);
  EXPECT_EQ(counted->RefCount(), 1);
  counted->_Release();
}

TEST(RefObjects, ReleasingAnObjectWithNoReferenceLeftIsAnAssertion) {
  auto* counted = new TCounted;  // count 0
  TCounted* var = counted;
  try {
    ReleaseRefObject(var);
    FAIL() << "expected the assertion";
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(e.Message().find("Объект не инициализирован, имя класса \"TCounted\""_ansi), std::string::npos);
  }
  EXPECT_EQ(var, counted) << "the variable keeps its value";
  EXPECT_EQ(ObjectClassName(nullptr), "НЕ известно"_ansi);
  delete counted;
}
