// Helpers for the widget suites, which run under UiTestMain.cpp: there every dialog failure is a
// failure of the running test, and a modal dialog no script expects is one.
#pragma once

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

}  // namespace uitest
