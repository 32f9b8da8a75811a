// Helpers for the widget suites, which run under UiTestMain.cpp: there every dialog failure is a
// failure of the running test, and a modal dialog no script expects is one.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/Dialogs.h"

namespace uitest {

// Collects the dialog failures reported while it lives, instead of failing the test; for tests of
// the failure reporting itself.
class CapturedDialogFailures {
 public:
  CapturedDialogFailures()
      : FPrevious(SetDialogFailureReporter([this](const std::string& m) { FMessages.push_back(m); })) {}
  ~CapturedDialogFailures() { SetDialogFailureReporter(std::move(FPrevious)); }
  const std::vector<std::string>& Messages() const { return FMessages; }

 private:
  std::vector<std::string> FMessages;
  TDialogFailureReporter FPrevious;
};

// Removes the modal hook while it lives, so that dialogs run their own modal loop as in the program;
// pair it with WhenModal, or the test waits for a person.
class RealModalLoops {
 public:
  RealModalLoops() : FPrevious(SetModalHook({})) {}
  ~RealModalLoops() { SetModalHook(std::move(FPrevious)); }

 private:
  TModalHook FPrevious;
};

// Once a modal loop runs, calls `act` with its window (which must close it). Five seconds later the
// watch ends: a window it found still open is rejected and reported, so a broken test fails
// instead of hanging; a loop that never started is reported too. A watch the program outlives goes
// with the application.
inline void WhenModal(std::function<void(QWidget&)> act) {
  auto* poll = new QTimer(QCoreApplication::instance());
  auto found = std::make_shared<QPointer<QWidget>>();
  auto acted = std::make_shared<bool>(false);
  poll->setInterval(10);
  QObject::connect(poll, &QTimer::timeout, [poll, act, found, acted] {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      poll->stop();
      *found = modal;
      *acted = true;
      act(*modal);
    }
  });
  poll->start();
  QTimer::singleShot(5000, poll, [poll, found, acted] {
    poll->stop();
    poll->deleteLater();
    if (!*acted) {
      ReportDialogFailure("no modal loop started within 5 s");
    } else if (auto* dialog = qobject_cast<QDialog*>(found->data()); dialog && dialog->isVisible()) {
      ReportDialogFailure(std::string("a modal loop was still running after 5 s: ") +
                          dialog->metaObject()->className());
      dialog->reject();
    }
  });
}

}  // namespace uitest
