// Work on a thread of its own that the window waiting for it may stop waiting for, so that a
// server that never answers holds up that thread and never the window (TCopyOrvel::RunWaiting).
//
// The thread and the window share a TWaitingWork. The work holds what it uses, never pointers
// into its caller, and tells before each question to a database which one it asks and for how
// long (Asking); the window may give up at any moment, after which the thread ends alone, once
// the client library call it is held up in returns: it asks nothing more, and what its work holds
// goes on that thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

#include "gisdb/OrvelDbs.h"

// Raised where the waiting was given up: to the window's handler that waited, which says nothing,
// and to the work at its next question, which it then never asks.
class EWaitAbandoned : public std::exception {
 public:
  const char* what() const noexcept override { return "the wait was given up"; }
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

  // For the work, before each question to a database: db is what it waits on now, for at most
  // `seconds` (0: no limit). Raises EWaitAbandoned once the window has given up.
  void Asking(IOrvDb* db, int32_t seconds);
  // The database the work asked last; null before the first question.
  IOrvDb* Asked();

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

// The threads of TWaitingWork::Start still running, those given up included; each has let go of
// all it held by the time it stops counting.
int RunningWaitThreads();
