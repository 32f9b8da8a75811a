// Work on a thread of its own that the waiting window may give up on (see WaitingWork.h): the
// thread holds the shared state and what the work uses, and lets go of both before it stops counting.
#include "copier/WaitingWork.h"

#include <atomic>
#include <thread>

namespace {

std::atomic<int> WaitThreads{0};

}  // namespace

void TWaitingWork::Start(std::shared_ptr<TWaitingWork> state, std::function<void(TWaitingWork&)> work) {
  ++WaitThreads;
  try {
    std::thread([state, work = std::move(work)]() mutable {
      std::exception_ptr error;
      try {
        work(*state);
      } catch (...) {
        error = std::current_exception();
      }
      // What the work holds goes here, before anyone hears that it has ended.
      work = nullptr;
      {
        std::lock_guard lock(state->FLock);
        state->FFinished = true;
        state->FError = error;
      }
      state->FEnded.notify_all();
      state.reset();
      --WaitThreads;
    }).detach();
  } catch (...) {
    --WaitThreads;
    throw;
  }
}

void TWaitingWork::Asking(IOrvDb* db, int32_t seconds) {
  std::lock_guard lock(FLock);
  if (FAbandoned) throw EWaitAbandoned();
  FAsked = db;
  FDeadline = seconds > 0 ? TClock::now() + std::chrono::seconds(seconds) : TClock::time_point::max();
}

IOrvDb* TWaitingWork::Asked() {
  std::lock_guard lock(FLock);
  return FAsked;
}

bool TWaitingWork::WaitFor(std::chrono::milliseconds time) {
  std::unique_lock lock(FLock);
  return FEnded.wait_for(lock, time, [this] { return FFinished; });
}

bool TWaitingWork::Overdue() {
  std::lock_guard lock(FLock);
  return TClock::now() >= FDeadline;
}

bool TWaitingWork::Abandon(IOrvDb*& asked) {
  std::lock_guard lock(FLock);
  asked = FAsked;
  FAbandoned = !FFinished;
  return FAbandoned;
}

void TWaitingWork::Rethrow() {
  std::lock_guard lock(FLock);
  if (FError) std::rethrow_exception(FError);
}

int RunningWaitThreads() { return WaitThreads; }
