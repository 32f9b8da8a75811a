// Work on a thread of its own that the window waiting for it may stop waiting for, so that a
// server that never answers holds up that thread and never the window (TCopyOrvel::RunWaiting,
// the copy's questions in TCopyBaseFrame).
//
// The thread and the window share a TWaitingWork. The work holds what it uses, never pointers
// into its caller, and tells before each question to a database which one it asks and for how
// long (Asking); the window may give up at any moment, after which the thread ends alone, once
// the client library call it is held up in returns: it asks nothing more, and what its work holds
// goes on that thread. WaitInWindow is how the window waits: painted, with the waiting window over
// it while the work lasts. LetGo hands a database the window no longer needs to such a thread,
// so that its close never holds the window either.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

#include "gisdb/OrvelDbs.h"

class QWidget;

// Raised where the waiting was given up: to the window's handler that waited, which says nothing,
// and to the work at its next question, which it then never asks.
class EWaitAbandoned : public std::exception {
 public:
  const char* what() const noexcept override;
};

// A question that kept the window waiting past its database's time; the waiting is given up.
class EWaitTimedOut : public std::exception {
 public:
  explicit EWaitTimedOut(IOrvDb* asked) : Asked(asked) {}
  const char* what() const noexcept override { return "a database did not answer in time"; }
  IOrvDb* Asked;  // for comparing only: the object may be gone
};

class TWaitingWork {
 public:
  using TClock = std::chrono::steady_clock;

  // Runs the work on a thread of its own that shares `state`.
  static void Start(std::shared_ptr<TWaitingWork> state, std::function<void(TWaitingWork&)> work);
  // Runs the work on the calling thread, then lets go of what it holds and says that it has ended.
  static void Run(std::shared_ptr<TWaitingWork> state, std::function<void(TWaitingWork&)> work);

  // For the work, before each question to a database: db is what it waits on now, for at most
  // `seconds` (0: no limit). Raises EWaitAbandoned once the window has given up.
  void Asking(IOrvDb* db, int32_t seconds);
  // The database the work asked last; null before the first question.
  IOrvDb* Asked();
  // For the work: whether the window has given it up, so that what it leaves pending is undone
  // rather than kept by a later close.
  bool Abandoned();

  // For the window: whether the work has ended within `time`.
  bool WaitFor(std::chrono::milliseconds time);
  // Whether the database being asked has had its time.
  bool Overdue();
  // Gives up unless the work has ended already (false then); `asked` is what it was asking.
  bool Abandon(IOrvDb*& asked);
  // Raises what the work raised, once it has ended.
  void Rethrow();

 private:
  std::mutex FLock;
  std::condition_variable FEnded;
  bool FFinished = false;
  bool FAbandoned = false;
  std::exception_ptr FError;
  IOrvDb* FAsked = nullptr;
  TClock::time_point FDeadline = TClock::time_point::max();
};

// One thread that runs works one after another, each as TWaitingWork::Start would run it on a
// thread of its own: the many short questions of one copy then cost no thread each, and share
// one thread's caches and heap. A work given up holds the thread up; works started after it wait
// their turn.
class TWorkThread {
 public:
  // Starts the thread (counted by RunningWaitThreads).
  TWorkThread();
  // Lets the thread end once its last work has ended; never waits for it.
  ~TWorkThread();
  TWorkThread(const TWorkThread&) = delete;
  TWorkThread& operator=(const TWorkThread&) = delete;

  // Runs the work on this thread, sharing `state`, once the works started before it have ended.
  void Start(std::shared_ptr<TWaitingWork> state, std::function<void(TWaitingWork&)> work);

 private:
  struct TQueue;
  std::shared_ptr<TQueue> FQueue;
};

// How WaitInWindow ended: the work ended (its error, if any, is still to be raised), or the wait
// was given up, the work still running: by the waiting window's Cancel (or Escape), by the
// caller's GiveUp, or because the database asked has had its time.
enum TWaitEnd : uint8_t { weDone, weCancelled, weGivenUp, weOverdue };

struct TWaitRules {
  // The work's first moments, in which nothing is painted and the window takes no input: a quick
  // answer shows nothing.
  std::chrono::milliseconds Quiet{0};
  // From Quiet on the window is painted and takes input; from ShowAfter on it takes none and the
  // waiting window stands over it until the wait ends.
  std::chrono::milliseconds ShowAfter{0};
  // Asked after each turn of the message loop: true gives the wait up.
  std::function<bool()> GiveUp;
};

// Waits for the work of `state` while `window` stays painted, as `rules` say. Keys and clicks
// made while the window took no input are dropped when the wait ends, so that none of them acts
// on what the window shows after it; while the waiting window shows they are its own. The focus
// goes back where it was. Does not give the work up: on any end but weDone the caller calls
// Abandon, which may still find the work ended.
TWaitEnd WaitInWindow(TWaitingWork& state, QWidget& window, const TWaitRules& rules);

// Drops the reference, on a thread of its own where closing the database may wait for a server
// (ClosingWaitsForServer), so that a close it leads to never holds the window; nothing when db is
// null.
void LetGo(IOrvDbPtr db);

// The threads of TWaitingWork::Start, TWorkThread and LetGo still running, those given up
// included; each has let go of all it held by the time it stops counting.
int RunningWaitThreads();
// Waits up to `time` for RunningWaitThreads to reach 0; whether it did.
bool WaitThreadsEnd(std::chrono::milliseconds time);
