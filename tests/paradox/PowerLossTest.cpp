// Power cuts swept over the changes of CrashScenarios.h. A recording environment notes every file
// operation of a change; at a sample of points in it, the files a power cut there could leave (see
// ParadoxPowerLoss.h: what was synced stays, a name only once its folder was synced, the rest at
// random) are opened afresh, as after a restart. The table must be there and whole, as read and
// once opened for writing (which plays back a journal and rebuilds indexes), with no scratch file
// or set-aside journal left; a single change is in or out; a batch keeps every record from before
// and none it never tried; and a change that returned is there, whole.
// The suite cuts around every sync and at a spread of other points, two draws each, and just
// before each sync also keeps a journal's header and loses its entries, with a table's blocks
// kept and its header lost, or the other way round;
// COPYORVEL_LONG_SWEEP=1 cuts after every operation, with more draws.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <set>

#include "tests/paradox/CrashScenarios.h"
#include "tests/support/ParadoxPowerLoss.h"
#include "tests/support/TestSupport.h"

using namespace pdxcrash;
using testsupport::TRecordingEnv;
namespace fs = std::filesystem;

namespace {

// A table's records, or none when the table is not there.
using TState = std::optional<TRows>;

TState ReadState(TPdxDatabase& db, const std::string& table) {
  if (!db.TableExists(table)) return std::nullopt;
  return ReadRows(db, table);
}

std::string Show(const TState& s) { return s ? std::to_string(s->size()) + " records" : "no table"; }

// How the records found differ from those wanted.
std::string Compare(const TState& found, const TState& wanted, const char* when) {
  std::string s = Show(found) + ", " + Show(wanted) + " " + when;
  if (!found || !wanted) return s;
  TRows missing, extra;
  std::set_difference(wanted->begin(), wanted->end(), found->begin(), found->end(), std::inserter(missing, missing.end()));
  std::set_difference(found->begin(), found->end(), wanted->begin(), wanted->end(), std::inserter(extra, extra.end()));
  return s + " (" + std::to_string(missing.size()) + " of those missing, " + std::to_string(extra.size()) + " others)";
}

// What the change did when it ran through.
struct TRecorded {
  TState Before, After;
  TRows Tried;          // the records it tried to write
  size_t Returned = 0;  // operations until it returned
};

// Files that live only while a call or a batch runs: scratch files and journals set aside.
bool IsLeftover(const std::string& name) {
  static const std::regex leftover(R"(\.(tmp|run\d+)$|\.jnl\.)", std::regex::icase);
  return std::regex_search(name, leftover);
}

// Opens the image in `dir` as the next process would. Answers the first check it fails, as
// "<check>: <what was found>"; empty when it passes them all.
std::string CheckImage(const TScenario& sc, const TRecorded& rec, size_t cut, const fs::path& dir) {
  TPdxDatabase db(dir.string());
  std::string table = sc.Table;
  if (!sc.Renamed.empty() && !db.TableExists(table)) table = sc.Renamed;
  TState stored;
  if (db.TableExists(table)) {
    std::string step = "read";
    try {
      const TRows rows = ReadRows(db, table);
      step = "integrity as read";
      if (auto problems = db.CheckIntegrity(table); !problems.empty()) return step + ": " + AnsiToUtf8(problems[0]);
      step = "open for writing";
      db.OpenTable(table);
      step = "integrity once opened";
      if (auto problems = db.CheckIntegrity(table); !problems.empty()) return step + ": " + AnsiToUtf8(problems[0]);
      step = "read once opened";
      stored = ReadRows(db, table);
      if (*stored != rows) return "records changed by the open: " + std::to_string(rows.size()) + " as read, " + Show(stored) + " once opened";
    } catch (const std::exception& e) {
      return step + ": " + e.what();
    }
    for (const auto& e : fs::directory_iterator(dir))
      if (IsLeftover(e.path().filename().string())) return "left behind: " + e.path().filename().string();
  }
  const bool returned = cut >= rec.Returned;
  if (!stored) {
    // A table the change makes is durable with the change's end.
    const bool mayBeGone = returned ? !rec.After : !rec.Before || !rec.After;
    return mayBeGone ? "" : "the table is gone: " + Show(rec.Before) + " before, " + Show(rec.After) + " after";
  }
  if (returned) {
    if (stored != rec.After || table != (sc.Renamed.empty() ? sc.Table : sc.Renamed))
      return "the change that returned is lost: " + table + ": " + Compare(stored, rec.After, "after it");
    return {};
  }
  if (!sc.Batch) {
    if (stored != rec.Before && stored != rec.After)
      return "in part: " + Compare(stored, rec.Before, "before") + "; " + Compare(stored, rec.After, "after");
    return {};
  }
  const TRows before = rec.Before.value_or(TRows{});
  if (!Includes(*stored, before)) return "records from before lost: " + Compare(stored, rec.Before, "before");
  TRows allowed = before;
  allowed.insert(rec.Tried.begin(), rec.Tried.end());
  if (!Includes(allowed, *stored)) return "a record never tried: " + Show(stored);
  return {};
}

// Where a cut falls, for a developer to find it again.
std::string Where(const TRecordingEnv& env, size_t cut, size_t count, uint64_t draw) {
  const std::string drawn = draw == TRecordingEnv::kTornBlocksKept    ? "torn, blocks kept"
                            : draw == TRecordingEnv::kTornHeadersKept ? "torn, headers kept"
                                                                      : std::to_string(draw);
  std::string s = "cut " + std::to_string(cut) + " of " + std::to_string(count) + ", draw " + drawn;
  if (cut > 0) s += ", after \"" + env.Describe(cut - 1) + "\"";
  if (cut < count) s += ", before \"" + env.Describe(cut) + "\"";
  return s;
}

}  // namespace

TEST(ParadoxPowerLoss, APowerCutLeavesTheTableWholeAndAChangeThatReturnedInPlace) {
  const bool longSweep = std::getenv("COPYORVEL_LONG_SWEEP") != nullptr;
  const uint64_t draws = longSweep ? 8 : 2;
  const size_t spread = 24;  // evenly spaced cuts besides those around syncs
  for (const TScenario& sc : Scenarios()) {
    if (!sc.PowerLoss) continue;
    testsupport::TempDir dir;
    TRecordingEnv env;
    TRecorded rec;
    {
      TPdxDatabase db(dir.Path().string());
      sc.Make(db);
      rec.Before = ReadState(db, sc.Table);
    }
    {
      env.Start(dir.Path());
      TPdxDatabase db(dir.Path().string(), {}, &env);
      TRun run(db);
      sc.Change(run);
      rec.Returned = env.Count();
      rec.Tried = run.Tried;
    }
    {
      TPdxDatabase db(dir.Path().string());
      rec.After = ReadState(db, sc.Renamed.empty() ? sc.Table : sc.Renamed);
    }
    ASSERT_TRUE(rec.Before != rec.After || !sc.Renamed.empty()) << sc.Name;
    std::set<size_t> cuts = {rec.Returned};
    for (size_t i = 0; i < rec.Returned; ++i) {
      const TRecordingEnv::TKind kind = env.Kind(i);
      if (longSweep || kind == TRecordingEnv::okSync || kind == TRecordingEnv::okSyncFolder) cuts.insert({i, i + 1});
    }
    for (size_t j = 0; j <= spread; ++j) cuts.insert(rec.Returned * j / spread);
    // Every image is checked; the failure names each check that failed, how often, and where first.
    std::map<std::string, std::pair<int, std::string>> failed;
    int images = 0, failing = 0;
    for (size_t cut : cuts) {
      // Just before a sync, also the images that keep a journal's header and lose its entries.
      std::vector<uint64_t> drawn;
      for (uint64_t draw = 1; draw <= draws; ++draw) drawn.push_back(draw);
      if (cut < rec.Returned && env.Kind(cut) == TRecordingEnv::okSync) drawn.insert(drawn.end(), {TRecordingEnv::kTornBlocksKept, TRecordingEnv::kTornHeadersKept});
      for (uint64_t draw : drawn) {
        ++images;
        testsupport::TempDir image;
        env.Image(cut, draw, image.Path());
        const std::string problem = CheckImage(sc, rec, cut, image.Path());
        if (problem.empty()) continue;
        ++failing;
        auto& [times, first] = failed[problem.substr(0, problem.find(':'))];
        if (times++ == 0) first = Where(env, cut, rec.Returned, draw) + ": " + problem;
      }
    }
    if (failing > 0) {
      std::string report;
      for (const auto& [check, f] : failed) report += "\n  " + std::to_string(f.first) + " x " + check + "; first at " + f.second;
      ADD_FAILURE() << sc.Name << ": " << failing << " of " << images << " images fail" << report;
    }
  }
}
