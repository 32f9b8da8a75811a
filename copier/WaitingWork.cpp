// Work on a thread of its own that the waiting window may give up on (see WaitingWork.h): the
// thread holds the shared state and what the work uses, and lets go of both before it stops
// counting; the window waits in WaitInWindow.
#include "copier/WaitingWork.h"

#include <QApplication>
#include <QPointer>
#include <QWidget>
#include <atomic>
#include <deque>
#include <utility>
#include <thread>

#include "foundation/LongOperations.h"
#include "platform/rtl/AnsiText.h"
#include "platform/ui/Application.h"

namespace {

std::atomic<int> WaitThreads{0};

}  // namespace

const char* EWaitAbandoned::what() const noexcept { return "Ожидание ответа базы данных прервано"_ansi.c_str(); }

void TWaitingWork::Start(std::shared_ptr<TWaitingWork> state, std::function<void(TWaitingWork&)> work) {
  ++WaitThreads;
  try {
    std::thread([state, work = std::move(work)]() mutable {
      Run(std::move(state), std::move(work));
      --WaitThreads;
    }).detach();
  } catch (...) {
    --WaitThreads;
    throw;
  }
}

void TWaitingWork::Run(std::shared_ptr<TWaitingWork> state, std::function<void(TWaitingWork&)> work) {
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
}

struct TWorkThread::TQueue {
  std::mutex Lock;
  std::condition_variable Posted;
  std::deque<std::pair<std::shared_ptr<TWaitingWork>, std::function<void(TWaitingWork&)>>> Works;
  bool Closing = false;
};

TWorkThread::TWorkThread() : FQueue(std::make_shared<TQueue>()) {
  ++WaitThreads;
  try {
    std::thread([queue = FQueue] {
      for (;;) {
        std::shared_ptr<TWaitingWork> state;
        std::function<void(TWaitingWork&)> work;
        {
          std::unique_lock lock(queue->Lock);
          queue->Posted.wait(lock, [&] { return !queue->Works.empty() || queue->Closing; });
          if (queue->Works.empty()) break;
          state = std::move(queue->Works.front().first);
          work = std::move(queue->Works.front().second);
          queue->Works.pop_front();
        }
        TWaitingWork::Run(std::move(state), std::move(work));
      }
      --WaitThreads;
    }).detach();
  } catch (...) {
    --WaitThreads;
    throw;
  }
}

TWorkThread::~TWorkThread() {
  {
    std::lock_guard lock(FQueue->Lock);
    FQueue->Closing = true;
  }
  FQueue->Posted.notify_all();
}

void TWorkThread::Start(std::shared_ptr<TWaitingWork> state, std::function<void(TWaitingWork&)> work) {
  {
    std::lock_guard lock(FQueue->Lock);
    FQueue->Works.emplace_back(std::move(state), std::move(work));
  }
  FQueue->Posted.notify_all();
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

bool TWaitingWork::Abandoned() {
  std::lock_guard lock(FLock);
  return FAbandoned;
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

TWaitEnd WaitInWindow(TWaitingWork& state, QWidget& window, const TWaitRules& rules) {
  using namespace std::chrono;
  const auto start = steady_clock::now();
  if (rules.Quiet.count() > 0 && state.WaitFor(rules.Quiet)) {
    Application->DiscardInput();
    return weDone;
  }
  QPointer<QWidget> focus;
  // A window of its own, whatever LongOperationMode says: the window it covers takes no input
  // while it shows, and it shows exactly as long. It belongs to no window, since a disabled one
  // would disable it too.
  std::unique_ptr<TLongOperationForm> waiting;
  TWaitEnd end = weDone;
  while (!state.WaitFor(milliseconds(10))) {
    if (!waiting && steady_clock::now() - start >= rules.ShowAfter) {
      focus = QApplication::focusWidget();
      waiting = std::make_unique<TLongOperationForm>();
      waiting->AskBeforeTerminating = false;
      waiting->ShowTerminateButton();
      window.setEnabled(false);
      waiting->ShowRunning();
    }
    Application->ProcessMessages();
    if (waiting && waiting->Terminated) {
      end = weCancelled;
      break;
    }
    if (rules.GiveUp && rules.GiveUp()) {
      end = weGivenUp;
      break;
    }
    if (state.Overdue()) {
      end = weOverdue;
      break;
    }
  }
  if (waiting || rules.Quiet.count() > 0) Application->DiscardInput();
  if (waiting) {
    waiting.reset();
    window.setEnabled(true);
    if (focus) focus->setFocus();
  }
  return end;
}

void LetGo(IOrvDbPtr db) {
  // Nothing else waits: a close here is as quick as any other step of the window's.
  if (!ClosingWaitsForServer(db.get())) return;
  TWaitingWork::Start(std::make_shared<TWaitingWork>(), [db = std::move(db)](TWaitingWork&) mutable { db = nullptr; });
}

int RunningWaitThreads() { return WaitThreads; }

bool WaitThreadsEnd(std::chrono::milliseconds time) {
  const auto until = std::chrono::steady_clock::now() + time;
  while (WaitThreads > 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return WaitThreads == 0;
}
